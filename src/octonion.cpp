#include "src/octonion.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "core/fault.hpp"
#include "parallel/engine.hpp"
#include "src/lanes.hpp"

namespace vyr::octonion {

namespace {

// Products handed to the lane kernel at once.
constexpr std::size_t kPairsPerRun = 512;

}  // namespace

// Each target receives its terms in increasing i, as in the term-by-term walk.
// A term that the walk skips (a zero factor) is replaced by +0.0, which leaves
// the accumulator's bits unchanged: accumulators are never -0.0, and x + +0.0
// is x for every other x, NaN included.  This keeps the loop free of
// unpredictable branches.  Never inlined: every product of complete factors
// that comes down to this routine, from either front-end or from a lane
// kernel, runs these very instructions, so that a NaN meeting a NaN keeps the
// same payload in all of them (the compiler may order the operands of an
// addition differently in each copy).
[[gnu::noinline]] Octonion mul_complete(const double* a, const double* b) noexcept {
  Octonion c{0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
  for (std::size_t i = 0; i < 8; ++i) {
    const double left = a[i];
    const bool left_zero = left == 0.0;
    const std::uint64_t left_bits = std::bit_cast<std::uint64_t>(left);
    for (std::size_t k = 0; k < 8; ++k) {
      const Contribution& term = kContributions[i][k];
      const double right = b[term.right];
      // s · a[i] is a copy or a negation of a[i]: a sign-bit flip.
      const std::uint64_t sign_bit = term.negative ? std::uint64_t{1} << 63 : 0;
      const double signed_left = std::bit_cast<double>(left_bits ^ sign_bit);
      const double product = right * signed_left;
      c[k] = c[k] + ((left_zero || right == 0.0) ? 0.0 : product);
    }
  }
  return c;
}

Octonion mul_checked(std::span<const double> a, std::span<const double> b) {
  if (a.size() >= 8 && b.size() >= 8) {
    return mul_complete(a.data(), b.data());
  }
  // Short inputs: the term-by-term walk, which faults at the first read past
  // the end of either factor.
  Octonion c{0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
  for (std::size_t i = 0; i < 8; ++i) {
    const double left = element_or_fault(a, i);
    // A zero coefficient contributes nothing, so 0·inf and 0·NaN never arise.
    if (left == 0.0) {
      continue;
    }
    for (std::size_t j = 0; j < 8; ++j) {
      const double right = element_or_fault(b, j);
      if (right == 0.0) {
        continue;
      }
      const BasisProduct& entry = kBasisProducts[i][j];
      const double signed_left = entry.sign < 0 ? -left : left;
      c[entry.target] = c[entry.target] + right * signed_left;
    }
  }
  return c;
}

// Never inlined, for the reason given at mul_complete.
[[gnu::noinline]] double add_squares(double sum, const double* first, std::size_t count,
                                     std::ptrdiff_t step) noexcept {
  const char* component = reinterpret_cast<const char*>(first);
  for (std::size_t i = 0; i < count; ++i, component += step) {
    const double x = *reinterpret_cast<const double*>(component);
    sum = sum + x * x;
  }
  return sum;
}

double norm(std::span<const double> v) noexcept {
  return std::sqrt(add_squares(-0.0, v.data(), v.size(), sizeof(double)));
}

double norm_cancellable(const double* first, std::size_t count, std::ptrdiff_t step) {
  return std::sqrt(lanes::add_squares_in_chunks(add_squares, -0.0, first, count, step));
}

Rows mul_n(const Batch& a_batch, const Batch& b_batch) {
  const std::size_t n = std::min(a_batch.size(), b_batch.size());
  const lanes::Kernels& kernels = lanes::kernels();
  const ItemStarts left = starts_of(a_batch);
  const ItemStarts right = starts_of(b_batch);
  const auto complete = [&](std::size_t i) {
    return a_batch[i].size() >= 8 && b_batch[i].size() >= 8;
  };
  auto fill = [&](std::size_t first, std::size_t last, double* rows) {
    const auto row = [&](std::size_t i) { return rows + (i - first) * 8; };
    lanes::complete_runs(
        first, last, complete,
        [&](std::size_t begin, std::size_t end) {
          kernels.octonion_mul(end - begin, left.from(begin), right.from(begin),
                               ItemsOut{reinterpret_cast<char*>(row(begin)), 8 * sizeof(double)});
        },
        [&](std::size_t i) {
          const Octonion c = mul_checked(a_batch[i], b_batch[i]);
          std::copy(c.begin(), c.end(), row(i));
        });
  };
  return parallel::indexed_row_runs(n, 8, kPairsPerRun, fill);
}

std::vector<double> norm_n(const Batch& batch) {
  return lanes::norms_of_batch<&lanes::Kernels::octonion_norms>(batch);
}

void mul_items(std::size_t count, ItemsIn a, ItemsIn b, ItemsOut products) {
  const lanes::Kernels& kernels = lanes::kernels();
  over_adjacent_items<2>(count, {a, b}, 8, products, 8,
                         [&](std::size_t n, const ItemStarts* starts, ItemsOut out) {
                           kernels.octonion_mul(n, starts[0], starts[1], out);
                         });
}

void norm_items(std::size_t count, ItemsIn v, std::size_t length, ItemsOut norms) {
  if (lanes::reads_components_in_place(v, length)) {
    for (std::size_t i = 0; i < count; ++i) {
      *norms.item(i) = norm_cancellable(v.item(i), length, v.component_step);
    }
    return;
  }
  const lanes::Kernels& kernels = lanes::kernels();
  over_adjacent_items<1>(count, {v}, length, norms, 0,
                         [&](std::size_t n, const ItemStarts* starts, ItemsOut out) {
                           kernels.octonion_norms(n, starts[0], length, out);
                         });
}

}  // namespace vyr::octonion
