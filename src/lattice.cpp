#include "lattice.hpp"

#include "parallel/engine.hpp"

namespace vyr::lattice {

double norm_squared(std::span<const double> point) noexcept {
  // Starting at -0.0 makes an empty point's norm -0.0 while any square added
  // to it gives a non-negative-zero sum.
  double sum = -0.0;
  for (const double x : point) {
    sum = x * x + sum;
  }
  return sum;
}

std::vector<double> norms_squared_n(const Batch& points) {
  const std::size_t n = points.size();
  std::vector<double> norms(n);
  auto leaf = [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
      norms[i] = norm_squared(points[i]);
    }
  };
  parallel::for_each_piece(n, leaf);
  return norms;
}

void norm_squared_items(std::size_t count, ItemsIn points, std::size_t length, ItemsOut norms) {
  reduce_items(count, points, length, norms, norm_squared);
}

}  // namespace vyr::lattice
