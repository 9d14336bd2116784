#include "src/clifford.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <new>
#include <vector>

#include "core/fault.hpp"
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

// The signature as the product uses it.  When every entry is -1, 0 or +1
// (every Cl(p, q, r)), multiplying g by the entries in ascending order only
// tracks signs, or yields a signed zero when a null vector is shared, so one
// parity per term stands for the whole chain of multiplications.
struct Metric {
  std::span<const std::int8_t> entries;
  bool unit = true;
  std::uint64_t negative_mask = 0;  // bit m set when e_m squares to -1
  std::uint64_t null_mask = 0;      // bit m set when e_m squares to 0
};

Metric describe(std::span<const std::int8_t> signature) noexcept {
  Metric metric{signature};
  for (std::size_t m = 0; m < signature.size() && metric.unit; ++m) {
    if (signature[m] == -1) {
      metric.negative_mask |= std::uint64_t{1} << m;
    } else if (signature[m] == 0) {
      metric.null_mask |= std::uint64_t{1} << m;
    } else if (signature[m] != 1) {
      metric.unit = false;
    }
  }
  return metric;
}

// Terms between two looks at whether the caller has given up on a product:
// about a millisecond of work.  Products of fewer than 2^10 components never
// look.
constexpr std::uint64_t kTermsBetweenChecks = std::uint64_t{1} << 20;

// Walks the left blades j in ascending order and, for each non-zero left
// coefficient x, the right blades k in ascending order, adding y × (g × x) to
// component j XOR k.  `left_row(j, x)` returns the function of k that gives
// g × x, so that what depends on j alone is worked out once per row.
template <class LeftRow>
void walk_terms(std::span<const double> a, std::span<const double> b, std::uint64_t dimension,
                double* out, LeftRow&& left_row) {
  // The right factor is read in full for every non-zero left coefficient; a
  // short right factor faults at its end the first time it is walked.
  const std::uint64_t right_limit = std::min<std::uint64_t>(dimension, b.size());
  std::uint64_t terms_since_check = 0;
  for (std::uint64_t j = 0; j < dimension; ++j) {
    const double x = element_or_fault(a, j);
    if (x == 0.0) {
      continue;
    }
    // A large product stops between rows when its caller gives up on it.
    terms_since_check += right_limit;
    if (terms_since_check >= kTermsBetweenChecks) {
      terms_since_check = 0;
      parallel::check_cancellation();
    }
    const auto scaled_left = left_row(j, x);
    for (std::uint64_t k = 0; k < right_limit; ++k) {
      const double y = b[k];
      if (y == 0.0) {
        continue;
      }
      const std::uint64_t r = j ^ k;
      out[r] = y * scaled_left(k) + out[r];
    }
    if (right_limit < dimension) {
      raise_index_fault(b.size(), b.size());
    }
  }
}

// Adds the geometric product of a (left) and b (right) into `out`, which holds
// 2^n zeros on entry.  Faults when it reads past the end of either factor.
// Never inlined: every product of either front-end runs these very
// instructions, so that NaN payloads come out alike.
[[gnu::noinline]] void product_with(std::span<const double> a, std::span<const double> b,
                                    const Metric& metric, double* out) {
  const std::uint64_t dimension = std::uint64_t{1} << metric.entries.size();
  if (metric.unit) {
    walk_terms(a, b, dimension, out, [&metric](std::uint64_t j, double x) {
      // Bits of k that flip the sign of g (reordering and negative squares),
      // and bits of k that make g a signed zero.
      const std::uint64_t sign_mask = reorder_parity_mask(j) ^ (j & metric.negative_mask);
      const std::uint64_t zero_mask = j & metric.null_mask;
      const std::uint64_t x_bits = std::bit_cast<std::uint64_t>(x);
      return [=](std::uint64_t k) {
        // Flipping the sign bit is the exact negation, without a branch that
        // dense inputs would mispredict half of the time.
        const std::uint64_t flip = static_cast<std::uint64_t>(__builtin_parityll(sign_mask & k))
                                   << 63;
        const double signed_x = std::bit_cast<double>(x_bits ^ flip);
        // For g = ±0, g × x is (±x) × 0: the same sign, zero or NaN.
        return (k & zero_mask) != 0 ? signed_x * 0.0 : signed_x;
      };
    });
  } else {
    walk_terms(a, b, dimension, out, [&metric](std::uint64_t j, double x) {
      const std::uint64_t parity_mask = reorder_parity_mask(j);
      return [=, &metric](std::uint64_t k) {
        double g = __builtin_parityll(parity_mask & k) ? -1.0 : 1.0;
        for (std::uint64_t shared = j & k; shared != 0; shared &= shared - 1) {
          g = g * static_cast<double>(metric.entries[std::countr_zero(shared)]);
        }
        return g * x;
      };
    });
  }
}

}  // namespace

Rows geometric_product_n(const Batch& a, const Batch& b, std::span<const std::int8_t> signature) {
  const std::size_t pairs = std::min(a.size(), b.size());
  if (signature.size() > kMaxBasisVectors) {
    // No product can size its output.  Each pair's product faults as it
    // starts, on the pool like any other product, so that the fault of the
    // lowest pair wins and no pairs at all give no fault.
    return parallel::indexed_rows(
        pairs, 0, [](std::size_t, std::span<double>) { raise_capacity_overflow(); });
  }
  const std::size_t dimension = std::size_t{1} << signature.size();
  if (!fits_allocation(pairs, dimension * sizeof(double))) {
    throw std::bad_alloc();
  }
  const Metric metric = describe(signature);
  return parallel::indexed_rows(pairs, dimension, [&](std::size_t i, std::span<double> product) {
    product_with(a[i], b[i], metric, product.data());
  });
}

void product_items(std::size_t count, ItemsIn a, ItemsIn b, std::span<const std::int8_t> signature,
                   ItemsOut products) {
  const std::size_t dimension = std::size_t{1} << signature.size();
  const Metric metric = describe(signature);
  std::vector<double> left(a.contiguous_components() ? 0 : dimension);
  std::vector<double> right(b.contiguous_components() ? 0 : dimension);
  std::vector<double> product(products.contiguous_components() ? 0 : dimension);
  for (std::size_t i = 0; i < count; ++i) {
    if (parallel::cancel_requested()) {
      throw parallel::Cancelled();
    }
    double* const out = products.item(i);
    // The walk adds into zeros; an output whose components are not adjacent
    // is filled from a product made aside.
    double* const target = products.contiguous_components() ? out : product.data();
    std::fill(target, target + dimension, 0.0);
    product_with(a.gather(i, dimension, left.data()), b.gather(i, dimension, right.data()), metric,
                 target);
    if (target != out) {
      for (std::size_t k = 0; k < dimension; ++k) {
        products.component(out, k) = target[k];
      }
    }
  }
}

}  // namespace vyr::clifford
