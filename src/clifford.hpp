// Geometric products in the Clifford algebra of a given signature.
#pragma once

#include <bit>
#include <cstdint>
#include <span>
#include <vector>

#include "core/containers.hpp"
#include "core/strided.hpp"

namespace vyr::clifford {

// What a signature fixes for every product of a call, worked out once.
struct Metric {
  std::span<const std::int8_t> entries;
  // Every entry is -1, 0 or +1 (every Cl(p, q, r)): then multiplying g by the
  // entries in ascending order only tracks a sign, or yields a signed zero
  // when a null vector is shared, so one parity per term stands for the whole
  // chain of multiplications.
  bool unit = true;
  std::uint64_t negative_mask = 0;  // bit m set when e_m squares to -1
  std::uint64_t null_mask = 0;      // bit m set when e_m squares to 0
  // For any other signature (up to kMaxChainedBasisVectors entries),
  // chained[m]: 1.0 multiplied by the entries of the basis vectors in m, one
  // at a time in ascending order.  The g of a term is that chain started from
  // ±1.0, and since negating a factor negates a product exactly, g is
  // chained[j & k] with the reordering sign on.  Empty when the signature is
  // unit, too long, or the table could not be had: then each term multiplies
  // its chain out.
  std::vector<double> chained;
};

// Longest signature whose chained products are tabulated: 2^16 doubles, as
// large as one product's output.
inline constexpr std::size_t kMaxChainedBasisVectors = 16;

// Never fails: without memory for `chained`, the terms multiply their chains
// out instead.
Metric describe(std::span<const std::int8_t> signature) noexcept;

// Bit t of the result is the parity of the set bits of `left_blade` above
// position t.  The reordering sign of e_J·e_K is then the parity of the bits
// shared by this mask and K: every basis vector of K must pass each vector of
// J with a higher index.  The map is linear over XOR: the mask of J ^ J' is
// the XOR of their masks.
constexpr std::uint64_t reorder_parity_mask(std::uint64_t left_blade) noexcept {
  std::uint64_t mask = left_blade >> 1;
  mask ^= mask >> 1;
  mask ^= mask >> 2;
  mask ^= mask >> 4;
  mask ^= mask >> 8;
  mask ^= mask >> 16;
  mask ^= mask >> 32;
  return mask;
}

// The reverse of a multivector of 2^n components: each blade's factors in the
// opposite order, which negates (flips the sign bit of) the components of
// grades 2 and 3 mod 4.
void reverse_into(const double* a, std::size_t dimension, double* out) noexcept;

// Whether the reverse negates the component of blade index k.
constexpr bool reverse_negates(std::uint64_t blade) noexcept {
  const int grade = std::popcount(blade);
  return (grade * (grade - 1) / 2) % 2 != 0;
}

// Writes the geometric product of a (left) and b (right), walked term by
// term, to the 2^n components of `out`.  Faults when it reads past the end of
// either factor: the routine that every product comes down to one at a time.
void product_into(std::span<const double> a, std::span<const double> b, const Metric& metric,
                  double* out);

// The geometric products a[i] b[i] of the first min(len) pairs of
// multivectors, in the algebra whose basis vector e_m squares to
// signature[m], on the worker pool.  Multivectors hold 2^n coefficients in
// blade-mask order, n = signature.size(); a product faults when it reads past
// the end of either factor, and with "capacity overflow" when a product of 2^n
// doubles cannot be sized.  Throws std::bad_alloc when the products of all
// pairs do not fit in one allocation, or memory for them cannot be had.
Rows geometric_product_n(const Batch& a, const Batch& b, std::span<const std::int8_t> signature);

// Item loop: products[i] = a[i] b[i] for items of 2^n components, in the
// algebra that `metric` (describe(signature), made once for all of a call's
// loops) describes, n = metric.entries.size() (at most 59).  Answers
// cancellation between items (parallel::Cancelled).  Throws std::bad_alloc
// when operands or an output whose components lie apart need scratch (about
// 256 KiB, and at least one item) that cannot be had.
void product_items(std::size_t count, ItemsIn a, ItemsIn b, const Metric& metric,
                   ItemsOut products);

// Item loop: products[i] = (r[i] x[i]) r̃[i], the two products with the
// reverse of r[i], as product_items would make them.  Throws std::bad_alloc,
// as product_items does, also when the products r[i] x[i] that some paths
// hold aside for a chunk of items cannot be had.
void sandwich_items(std::size_t count, ItemsIn r, ItemsIn x, const Metric& metric,
                    ItemsOut products);

}  // namespace vyr::clifford
