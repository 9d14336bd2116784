// Element-wise sums of two float vectors.
#pragma once

#include <cstddef>

#include "src/strided.hpp"

namespace vyr {

// sums[i] = a[i] + b[i] for i < count, one IEEE addition each, a on the left.
void add_items(std::size_t count, ItemsIn a, ItemsIn b, ItemsOut sums) noexcept;

}  // namespace vyr
