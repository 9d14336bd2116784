// Geometric products in the Clifford algebra of a given signature.
#pragma once

#include <cstdint>
#include <span>

#include "core/containers.hpp"
#include "core/strided.hpp"

namespace vyr::clifford {

// The geometric products a[i] b[i] of the first min(len) pairs of
// multivectors, in the algebra whose basis vector e_m squares to
// signature[m], on the worker pool.  Multivectors hold 2^n coefficients in
// blade-mask order, n = signature.size(); a product faults when it reads past
// the end of either factor, and with "capacity overflow" when a product of 2^n
// doubles cannot be sized.
Rows geometric_product_n(const Batch& a, const Batch& b, std::span<const std::int8_t> signature);

// Item loop: products[i] = a[i] b[i] for items of 2^n components, n =
// signature.size() (at most 59).  Answers cancellation between items.
void product_items(std::size_t count, ItemsIn a, ItemsIn b, std::span<const std::int8_t> signature,
                   ItemsOut products);

}  // namespace vyr::clifford
