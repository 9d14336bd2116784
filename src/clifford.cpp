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

namespace {

// Signatures whose entries are all -1, 0 or +1 (every Cl(p, q, r)) give a
// metric factor that is a sign, or a signed zero when a null vector is shared:
// multiplying g by the entries in ascending order then only tracks signs, so
// one popcount per term stands for the whole chain of multiplications.
struct UnitMetric {
  std::uint64_t negative_mask = 0;  // bit m set when e_m squares to -1
  std::uint64_t null_mask = 0;      // bit m set when e_m squares to 0
};

bool unit_metric(std::span<const std::int8_t> signature, UnitMetric& metric) noexcept {
  for (std::size_t m = 0; m < signature.size(); ++m) {
    switch (signature[m]) {
      case 1:
        break;
      case -1:
        metric.negative_mask |= std::uint64_t{1} << m;
        break;
      case 0:
        metric.null_mask |= std::uint64_t{1} << m;
        break;
      default:
        return false;
    }
  }
  return true;
}

}  // namespace

void geometric_product(std::span<const double> a, std::span<const double> b,
                       std::span<const std::int8_t> signature, double* out) {
  const std::uint64_t dimension = std::uint64_t{1} << signature.size();
  const std::uint64_t a_length = a.size();
  const std::uint64_t b_length = b.size();
  // The right factor is read in full for every non-zero left coefficient; a
  // short right factor faults at its end the first time it is walked.
  const std::uint64_t right_limit = std::min(dimension, b_length);
  UnitMetric metric;
  const bool unit = unit_metric(signature, metric);
  for (std::uint64_t j = 0; j < dimension; ++j) {
    if (j == a_length) {
      raise_index_fault(a.size(), a.size());
    }
    const double x = a[j];
    if (x == 0.0) {
      continue;
    }
    const std::uint64_t parity_mask = reorder_parity_mask(j);
    if (unit) {
      // Bits of k that flip the sign of g (reordering and negative squares),
      // and bits of k that make g a signed zero.
      const std::uint64_t sign_mask = parity_mask ^ (j & metric.negative_mask);
      const std::uint64_t zero_mask = j & metric.null_mask;
      for (std::uint64_t k = 0; k < right_limit; ++k) {
        const double y = b[k];
        if (y == 0.0) {
          continue;
        }
        // g × x for g = ±1 is ±x exactly; for g = ±0 it is (±x) × 0, which
        // has the sign, zero or NaN of (±0) × x.
        // Flipping the sign bit is the exact negation, without a branch that
        // dense inputs would mispredict half of the time.
        const std::uint64_t flip = static_cast<std::uint64_t>(__builtin_parityll(sign_mask & k))
                                   << 63;
        double gx = std::bit_cast<double>(std::bit_cast<std::uint64_t>(x) ^ flip);
        if ((k & zero_mask) != 0) {
          gx = gx * 0.0;
        }
        const std::uint64_t r = j ^ k;
        out[r] = y * gx + out[r];
      }
    } else {
      for (std::uint64_t k = 0; k < right_limit; ++k) {
        const double y = b[k];
        if (y == 0.0) {
          continue;
        }
        double g = __builtin_parityll(parity_mask & k) ? -1.0 : 1.0;
        for (std::uint64_t shared = j & k; shared != 0; shared &= shared - 1) {
          g = g * static_cast<double>(signature[std::countr_zero(shared)]);
        }
        const std::uint64_t r = j ^ k;
        out[r] = y * (g * x) + out[r];
      }
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
      // A product of a large signature takes long: answer cancellation
      // between products.
      parallel::throw_if_cancelled();
      geometric_product(a[i], b[i], signature, out + i * dimension);
    }
  };
  parallel::for_each_piece(pairs, leaf);
  return products;
}

}  // namespace vyr::clifford
