// Octonion algebra on plain doubles.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/containers.hpp"
#include "core/strided.hpp"

namespace vyr::octonion {

using Octonion = std::array<double, 8>;

// e_i · e_j = sign · e_target.
struct BasisProduct {
  std::int8_t sign;
  std::size_t target;
};

// Row: left factor e_i; column: right factor e_j.  Built from e0 as the
// identity, e_i·e_i = -1 and e_i·e_(i+1) = e_(i+3) on the indices 1..7 mod 7.
inline constexpr BasisProduct kBasisProducts[8][8] = {
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
// right unit e_j with e_i·e_j = ±e_k, and whether the sign is negative.
struct Contribution {
  std::size_t right;
  bool negative;
};

constexpr std::array<std::array<Contribution, 8>, 8> contributions_by_target() {
  std::array<std::array<Contribution, 8>, 8> by_target{};
  for (std::size_t i = 0; i < 8; ++i) {
    for (std::size_t j = 0; j < 8; ++j) {
      const BasisProduct& entry = kBasisProducts[i][j];
      by_target[i][entry.target] = {j, entry.sign < 0};
    }
  }
  return by_target;
}

inline constexpr auto kContributions = contributions_by_target();

// The octonion product a·b, evaluated term by term from the basis product
// table, skipping zero coefficients.  Checks the length of each factor: faults
// when it reads past the end of either input.
Octonion mul_checked(std::span<const double> a, std::span<const double> b);

// mul_checked for factors of eight or more coefficients, where no read can
// fault: the routine that every product of complete factors comes down to one
// at a time.
Octonion mul_complete(const double* a, const double* b) noexcept;

// Euclidean norm: sqrt of the left-to-right sum of squares, starting at -0.0.
double norm(std::span<const double> v) noexcept;

// The norm's sum from `sum` on: sum = sum + x × x for the `count` components
// x that lie `step` bytes apart from `first`, in turn.  Every octonion norm
// comes down to this routine.
double add_squares(double sum, const double* first, std::size_t count,
                   std::ptrdiff_t step) noexcept;

// norm of the `count` components `step` bytes apart from `first`, looking
// for cancellation (parallel::check_cancellation) about every millisecond of
// work: for items that may be long.
double norm_cancellable(const double* first, std::size_t count, std::ptrdiff_t step);

// Pairwise products of the first min(len) pairs, on the worker pool.
Rows mul_n(const Batch& a_batch, const Batch& b_batch);

// The norm of every vector of the batch, on the worker pool.
std::vector<double> norm_n(const Batch& batch);

// Item loops: products[i] = a[i]·b[i] for items of eight components, and
// norms[i] = norm(v[i]) for items of `length` components.
void mul_items(std::size_t count, ItemsIn a, ItemsIn b, ItemsOut products);
void norm_items(std::size_t count, ItemsIn v, std::size_t length, ItemsOut norms);

}  // namespace vyr::octonion
