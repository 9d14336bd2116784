#include "src/lattice.hpp"

#include "src/lanes.hpp"

namespace vyr::lattice {

// Never inlined: every squared norm that comes down to this routine, from
// either front-end or from a lane kernel, runs these very instructions, so
// that a NaN meeting a NaN keeps the same payload in all of them.
[[gnu::noinline]] double add_squares(double sum, const double* first, std::size_t count,
                                     std::ptrdiff_t step) noexcept {
  const char* component = reinterpret_cast<const char*>(first);
  for (std::size_t i = 0; i < count; ++i, component += step) {
    const double x = *reinterpret_cast<const double*>(component);
    sum = x * x + sum;
  }
  return sum;
}

// Starting at -0.0 makes an empty point's norm -0.0 while any square added to
// it gives a non-negative-zero sum.
double norm_squared(std::span<const double> point) noexcept {
  return add_squares(-0.0, point.data(), point.size(), sizeof(double));
}

double norm_squared_cancellable(const double* first, std::size_t count, std::ptrdiff_t step) {
  return lanes::add_squares_in_chunks(add_squares, -0.0, first, count, step);
}

std::vector<double> norms_squared_n(const Batch& points) {
  return lanes::norms_of_batch<&lanes::Kernels::norms_squared>(points);
}

void norm_squared_items(std::size_t count, ItemsIn points, std::size_t length, ItemsOut norms) {
  if (lanes::reads_components_in_place(points, length)) {
    for (std::size_t i = 0; i < count; ++i) {
      *norms.item(i) = norm_squared_cancellable(points.item(i), length, points.component_step);
    }
    return;
  }
  const lanes::Kernels& kernels = lanes::kernels();
  over_adjacent_items<1>(count, {points}, length, norms, 0,
                         [&](std::size_t n, const ItemStarts* starts, ItemsOut out) {
                           kernels.norms_squared(n, starts[0], length, out);
                         });
}

}  // namespace vyr::lattice
