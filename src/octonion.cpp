#include "src/octonion.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "core/fault.hpp"
#include "parallel/engine.hpp"

namespace vyr::octonion {

namespace {

// e_i · e_j = sign · e_target.
struct BasisProduct {
  std::int8_t sign;
  std::size_t target;
};

// Row: left factor e_i; column: right factor e_j.  Built from e0 as the
// identity, e_i·e_i = -1 and e_i·e_(i+1) = e_(i+3) on the indices 1..7 mod 7.
constexpr BasisProduct kBasisProducts[8][8] = {
    {{+1, 0}, {+1, 1}, {+1, 2}, {+1, 3}, {+1, 4}, {+1, 5}, {+1, 6}, {+1, 7}},
    {{+1, 1}, {-1, 0}, {+1, 4}, {+1, 7}, {-1, 2}, {+1, 6}, {-1, 5}, {-1, 3}},
    {{+1, 2}, {-1, 4}, {-1, 0}, {+1, 5}, {+1, 1}, {-1, 3}, {+1, 7}, {-1, 6}},
    {{+1, 3}, {-1, 7}, {-1, 5}, {-1, 0}, {+1, 6}, {+1, 2}, {-1, 4}, {+1, 1}},
    {{+1, 4}, {+1, 2}, {-1, 1}, {-1, 6}, {-1, 0}, {+1, 7}, {+1, 3}, {-1, 5}},
    {{+1, 5}, {-1, 6}, {+1, 3}, {-1, 2}, {-1, 7}, {-1, 0}, {+1, 1}, {+1, 4}},
    {{+1, 6}, {+1, 5}, {-1, 7}, {+1, 4}, {-1, 3}, {-1, 1}, {-1, 0}, {+1, 2}},
    {{+1, 7}, {+1, 3}, {+1, 6}, {-1, 1}, {+1, 5}, {-1, 4}, {-1, 2}, {-1, 0}},
};

// The table read by target: for the left unit e_i and the target e_k, the
// right unit e_j with e_i·e_j = ±e_k, and the sign as a sign-bit mask.
struct Contribution {
  std::size_t right;
  std::uint64_t sign_bit;
};

constexpr std::array<std::array<Contribution, 8>, 8> contributions_by_target() {
  std::array<std::array<Contribution, 8>, 8> by_target{};
  for (std::size_t i = 0; i < 8; ++i) {
    for (std::size_t j = 0; j < 8; ++j) {
      const BasisProduct& entry = kBasisProducts[i][j];
      by_target[i][entry.target] = {j, entry.sign < 0 ? std::uint64_t{1} << 63 : 0};
    }
  }
  return by_target;
}

constexpr auto kContributions = contributions_by_target();

// The product of two octonions of at least eight coefficients each, where no
// read can fault.  Each target receives its terms in increasing i, as in the
// term-by-term walk.  A term that the walk skips (a zero factor) is replaced
// by +0.0, which leaves the accumulator's bits unchanged: accumulators are
// never -0.0, and x + +0.0 is x for every other x, NaN included.  This keeps
// the loop free of unpredictable branches.  Never inlined: the list and the
// array products run these very instructions, so that a NaN meeting a NaN
// keeps the same payload in both (the compiler may order the operands of an
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
      const double signed_left = std::bit_cast<double>(left_bits ^ term.sign_bit);
      const double product = right * signed_left;
      c[k] = c[k] + ((left_zero || right == 0.0) ? 0.0 : product);
    }
  }
  return c;
}

}  // namespace

Octonion _mul(std::span<const double> a, std::span<const double> b) {
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

double norm(std::span<const double> v) noexcept {
  double sum = -0.0;
  for (const double x : v) {
    sum = sum + x * x;
  }
  return std::sqrt(sum);
}

Rows mul_n(const Batch& a_batch, const Batch& b_batch) {
  const std::size_t n = std::min(a_batch.size(), b_batch.size());
  return parallel::indexed_rows(n, 8, [&](std::size_t i, std::span<double> row) {
    const Octonion c = _mul(a_batch[i], b_batch[i]);
    std::copy(c.begin(), c.end(), row.begin());
  });
}

std::vector<double> norm_n(const Batch& batch) {
  std::vector<double> norms;
  parallel::indexed_map(norms, batch.size(), [&batch](std::size_t i) { return norm(batch[i]); });
  return norms;
}

void mul_items(std::size_t count, ItemsIn a, ItemsIn b, ItemsOut products) noexcept {
  double left[8];
  double right[8];
  for (std::size_t i = 0; i < count; ++i) {
    const Octonion c = mul_complete(a.gather(i, 8, left).data(), b.gather(i, 8, right).data());
    double* const out = products.item(i);
    for (std::size_t k = 0; k < 8; ++k) {
      products.component(out, k) = c[k];
    }
  }
}

void norm_items(std::size_t count, ItemsIn v, std::size_t length, ItemsOut norms) {
  reduce_items(count, v, length, norms, norm);
}

}  // namespace vyr::octonion
