// Geometric products in the Clifford algebra of a given signature.
#pragma once

#include <cstdint>
#include <span>

#include "batch.hpp"
#include "strided.hpp"

namespace vyr::clifford {

// Writes the geometric product of the multivectors a (left) and b (right) into
// `out`, which holds 2^n zeros on entry, n = signature.size().  Faults when it
// reads past the end of either factor.
void geometric_product(std::span<const double> a, std::span<const double> b,
                       std::span<const std::int8_t> signature, double* out);

// Products of the first min(len) pairs, on the worker pool.  Faults with
// "capacity overflow" when a product of 2^n doubles cannot be sized.
Rows geometric_product_n(const Batch& a, const Batch& b, std::span<const std::int8_t> signature);

// Item loop: products[i] = a[i] b[i] for items of 2^n components, n =
// signature.size() (at most 59).  Answers cancellation between items.
void product_items(std::size_t count, ItemsIn a, ItemsIn b, std::span<const std::int8_t> signature,
                   ItemsOut products);

}  // namespace vyr::clifford
