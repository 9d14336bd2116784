// Plain containers that the kernels work on and the front-ends fill and read.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace vyr {

// A sequence of float vectors of possibly different lengths, stored flat:
// vector i occupies values[offsets[i] .. offsets[i + 1]).
struct Batch {
  std::vector<double> values;
  std::vector<std::size_t> offsets{0};

  std::size_t size() const noexcept { return offsets.size() - 1; }
  std::span<const double> operator[](std::size_t i) const noexcept {
    return {values.data() + offsets[i], offsets[i + 1] - offsets[i]};
  }
};

// A sequence of float vectors that all have the same length, stored flat.
struct Rows {
  std::size_t width = 0;
  std::size_t count = 0;
  std::vector<double> values;

  std::span<const double> operator[](std::size_t i) const noexcept {
    return {values.data() + i * width, width};
  }
};

// An ordered pair of doubles: a point of the plane.
struct PointPair {
  double x;
  double y;
};
static_assert(sizeof(PointPair) == 16);

}  // namespace vyr
