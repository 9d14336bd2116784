// Element-wise sums of two float vectors.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/strided.hpp"

namespace vyr::add {

// a + b, one IEEE addition.  When both are NaN the sum is a's NaN, quieted:
// what the addition gives with a as its first operand.  The compiler may hand
// the two operands to the instruction either way round (a loop that keeps a
// in a register tends to swap them), so that case is settled here, and every
// loop of either front-end gives the same bits.
inline double sum(double a, double b) noexcept {
  constexpr std::uint64_t kQuietBit = std::uint64_t{1} << 51;
  const double s = a + b;
  const bool both_nan = a != a && b != b;
  return both_nan ? std::bit_cast<double>(std::bit_cast<std::uint64_t>(a) | kQuietBit) : s;
}

// sum(a[i], b[i]) for the first min(len) pairs, on the worker pool.
std::vector<double> add_n(std::span<const double> a, std::span<const double> b);

// Item loop: sums[i] = sum(a[i], b[i]) for i < count.
void add_items(std::size_t count, ItemsIn a, ItemsIn b, ItemsOut sums) noexcept;

}  // namespace vyr::add
