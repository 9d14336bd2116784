#include "src/lattice.hpp"

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
  std::vector<double> norms;
  parallel::indexed_map(norms, points.size(),
                        [&points](std::size_t i) { return norm_squared(points[i]); });
  return norms;
}

void norm_squared_items(std::size_t count, ItemsIn points, std::size_t length, ItemsOut norms) {
  reduce_items(count, points, length, norms, norm_squared);
}

}  // namespace vyr::lattice
