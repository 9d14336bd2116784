#include "src/lattice.hpp"

#include "src/lanes.hpp"

namespace vyr::lattice {

// Never inlined: every squared norm that comes down to this routine, from
// either front-end or from a lane kernel, runs these very instructions, so
// that a NaN meeting a NaN keeps the same payload in all of them.
[[gnu::noinline]] double norm_squared(std::span<const double> point) noexcept {
  // Starting at -0.0 makes an empty point's norm -0.0 while any square added
  // to it gives a non-negative-zero sum.
  double sum = -0.0;
  for (const double x : point) {
    sum = x * x + sum;
  }
  return sum;
}

std::vector<double> norms_squared_n(const Batch& points) {
  return lanes::norms_n(points, false);
}

void norm_squared_items(std::size_t count, ItemsIn points, std::size_t length, ItemsOut norms) {
  const lanes::Kernels& kernels = lanes::kernels();
  over_adjacent_items<1>(count, {points}, length, norms, 0,
                         [&](std::size_t n, const ItemStarts* starts, ItemsOut out) {
                           kernels.norms(n, starts[0], length, false, out);
                         });
}

}  // namespace vyr::lattice
