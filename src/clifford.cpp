#include "clifford.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <new>
#include <vector>

#include "fault.hpp"
#include "parallel/engine.hpp"

namespace vyr::clifford {

namespace {

// Bit t of the result is the parity of the set bits of `left_blade` above
// position t.  The reordering sign of e_J·e_K is then the parity of the bits
// shared by this mask and K: every basis vector of K must pass each vector of J
// with a higher index.
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

// Number of basis vectors from which a product's output can no longer be sized:
// 2^60 doubles exceed the largest allocation.
constexpr std::size_t kMaxBasisVectors = 59;

}  // namespace

void geometric_product(std::span<const double> a, std::span<const double> b,
                       std::span<const std::int8_t> signature, double* out) {
  const std::uint64_t dimension = std::uint64_t{1} << signature.size();
  const std::uint64_t a_length = a.size();
  const std::uint64_t b_length = b.size();
  // The right factor is read in full for every non-zero left coefficient; a
  // short right factor faults at its end the first time it is walked.
  const std::uint64_t right_limit = std::min(dimension, b_length);
  for (std::uint64_t j = 0; j < dimension; ++j) {
    if (j == a_length) {
      raise_index_fault(a.size(), a.size());
    }
    const double x = a[j];
    if (x == 0.0) {
      continue;
    }
    const std::uint64_t parity_mask = reorder_parity_mask(j);
    for (std::uint64_t k = 0; k < right_limit; ++k) {
      const double y = b[k];
      if (y == 0.0) {
        continue;
      }
      double g = (std::popcount(parity_mask & k) & 1) ? -1.0 : 1.0;
      for (std::uint64_t shared = j & k; shared != 0; shared &= shared - 1) {
        g = g * static_cast<double>(signature[std::countr_zero(shared)]);
      }
      const std::uint64_t r = j ^ k;
      out[r] = y * (g * x) + out[r];
    }
    if (right_limit < dimension) {
      raise_index_fault(b.size(), b.size());
    }
  }
}

Rows geometric_product_n(const Batch& a, const Batch& b, std::span<const std::int8_t> signature) {
  const std::size_t pairs = std::min(a.size(), b.size());
  if (pairs == 0) {
    // With nothing to multiply, no product is sized, whatever the signature.
    auto nothing = [](std::size_t, std::size_t) {};
    parallel::for_each_piece(0, nothing);
    return Rows{};
  }
  if (signature.size() > kMaxBasisVectors) {
    raise_capacity_overflow();
  }
  const std::size_t dimension = std::size_t{1} << signature.size();
  if (!fits_allocation(pairs, dimension * sizeof(double))) {
    throw std::bad_alloc();
  }
  Rows products{dimension, pairs, {}};
  products.values.resize(pairs * dimension);
  double* const out = products.values.data();
  auto leaf = [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
      geometric_product(a[i], b[i], signature, out + i * dimension);
    }
  };
  parallel::for_each_piece(pairs, leaf);
  return products;
}

}  // namespace vyr::clifford
