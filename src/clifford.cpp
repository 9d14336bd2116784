#include "src/clifford.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <new>
#include <vector>

#include "core/fault.hpp"
#include "parallel/engine.hpp"
#include "src/lanes.hpp"

namespace vyr::clifford {

namespace {

// Number of basis vectors from which a product's output can no longer be sized:
// 2^60 doubles exceed the largest allocation.
constexpr std::size_t kMaxBasisVectors = 59;

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

// Pairs handed to the lane kernels at once: about 2^16 terms of work, and at
// least a full vector of items.
std::size_t pairs_per_run(std::size_t dimension) noexcept {
  constexpr std::size_t kTerms = std::size_t{1} << 16;
  // Larger products (2^14 terms and more each, up to 2^59 components) are
  // never fewer than a vector's worth; squaring them could overflow.
  if (dimension >= 128) {
    return 8;
  }
  return std::max<std::size_t>(8, kTerms / (dimension * dimension));
}

}  // namespace

Metric describe(std::span<const std::int8_t> signature) noexcept {
  Metric metric{signature, true, 0, 0, {}};
  for (std::size_t m = 0; m < signature.size() && metric.unit; ++m) {
    if (signature[m] == -1) {
      metric.negative_mask |= std::uint64_t{1} << m;
    } else if (signature[m] == 0) {
      metric.null_mask |= std::uint64_t{1} << m;
    } else if (signature[m] != 1) {
      metric.unit = false;
    }
  }
  if (!metric.unit && signature.size() <= kMaxChainedBasisVectors) {
    const std::uint64_t dimension = std::uint64_t{1} << signature.size();
    try {
      metric.chained.resize(dimension);
    } catch (const std::bad_alloc&) {
      return metric;  // each term then multiplies its chain out
    }
    // The chain of m is the chain of m without its highest basis vector,
    // times that vector's entry: the walk's ascending order, step by step.
    metric.chained[0] = 1.0;
    for (std::uint64_t m = 1; m < dimension; ++m) {
      const int top = 63 - std::countl_zero(m);
      metric.chained[m] = metric.chained[m ^ (std::uint64_t{1} << top)] *
                          static_cast<double>(signature[static_cast<std::size_t>(top)]);
    }
  }
  return metric;
}

void reverse_into(const double* a, std::size_t dimension, double* out) noexcept {
  for (std::size_t k = 0; k < dimension; ++k) {
    const std::uint64_t sign = reverse_negates(k) ? std::uint64_t{1} << 63 : 0;
    out[k] = std::bit_cast<double>(std::bit_cast<std::uint64_t>(a[k]) ^ sign);
  }
}

// Never inlined: every product that comes down to this routine, from either
// front-end or from a lane kernel, runs these very instructions, so that NaN
// payloads come out alike.
[[gnu::noinline]] void product_into(std::span<const double> a, std::span<const double> b,
                                    const Metric& metric, double* out) {
  const std::uint64_t dimension = std::uint64_t{1} << metric.entries.size();
  std::fill(out, out + dimension, 0.0);
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
  } else if (!metric.chained.empty()) {
    walk_terms(a, b, dimension, out, [&metric](std::uint64_t j, double x) {
      const std::uint64_t parity_mask = reorder_parity_mask(j);
      const double* chained = metric.chained.data();
      return [=](std::uint64_t k) {
        const std::uint64_t flip = static_cast<std::uint64_t>(__builtin_parityll(parity_mask & k))
                                   << 63;
        const double g = std::bit_cast<double>(std::bit_cast<std::uint64_t>(chained[j & k]) ^ flip);
        return g * x;
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
  const lanes::Kernels& kernels = lanes::kernels();
  const ItemStarts left = starts_of(a);
  const ItemStarts right = starts_of(b);
  const auto complete = [&](std::size_t i) {
    return a[i].size() >= dimension && b[i].size() >= dimension;
  };
  const auto row_step = static_cast<std::ptrdiff_t>(dimension * sizeof(double));
  auto fill = [&](std::size_t first, std::size_t last, double* rows) {
    const auto row = [&](std::size_t i) { return rows + (i - first) * dimension; };
    lanes::complete_runs(
        first, last, complete,
        [&](std::size_t begin, std::size_t end) {
          kernels.clifford(end - begin, left.from(begin), right.from(begin), metric,
                           ItemsOut{reinterpret_cast<char*>(row(begin)), row_step});
        },
        [&](std::size_t i) { product_into(a[i], b[i], metric, row(i)); });
  };
  return parallel::indexed_row_runs(pairs, dimension, pairs_per_run(dimension), fill);
}

namespace {

// An item loop on one of the Clifford lane kernels (a member of Kernels),
// or on its form for component-major operands where those suit it.
template <auto Kernel, auto ByComponents>
void items_on(std::size_t count, ItemsIn a, ItemsIn b, const Metric& metric, ItemsOut products) {
  const std::size_t dimension = std::size_t{1} << metric.entries.size();
  const lanes::Kernels& kernels = lanes::kernels();
  if (kernels.*ByComponents != nullptr && lanes::suits_by_components(a, b, products) &&
      (kernels.*ByComponents)(count, a, b, metric, products)) {
    return;
  }
  over_adjacent_items<2>(count, {a, b}, dimension, products, dimension,
                         [&](std::size_t n, const ItemStarts* starts, ItemsOut out) {
                           (kernels.*Kernel)(n, starts[0], starts[1], metric, out);
                         });
}

}  // namespace

void product_items(std::size_t count, ItemsIn a, ItemsIn b, const Metric& metric,
                   ItemsOut products) {
  items_on<&lanes::Kernels::clifford, &lanes::Kernels::clifford_by_components>(count, a, b, metric,
                                                                               products);
}

void sandwich_items(std::size_t count, ItemsIn r, ItemsIn x, const Metric& metric,
                    ItemsOut products) {
  items_on<&lanes::Kernels::sandwich, &lanes::Kernels::sandwich_by_components>(count, r, x, metric,
                                                                               products);
}

}  // namespace vyr::clifford
