// Element-wise sums of two float vectors.
#pragma once

#include <span>
#include <vector>

namespace vyr::add {

// a[i] + b[i] for the first min(len) pairs, on the worker pool.
std::vector<double> add_n(std::span<const double> a, std::span<const double> b);

}  // namespace vyr::add
