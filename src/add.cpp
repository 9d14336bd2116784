#include "src/add.hpp"

#include <algorithm>

#include "parallel/engine.hpp"

namespace vyr::add {

namespace {

constexpr std::ptrdiff_t kDouble = sizeof(double);

// The contiguous and broadcast layouts get loops of their own, which the
// compiler turns into vector additions across items; each lane still adds one
// a[i] to one b[i].  They are built for several vector widths and the widest
// that the processor has is picked when the library loads: an add is bound by
// how fast the data moves, and narrow vectors cannot keep up with the caches.
#define VYR_VECTOR_WIDTHS __attribute__((target_clones("avx512f", "avx2", "default")))

VYR_VECTOR_WIDTHS void add_contiguous(std::size_t count, const double* a, const double* b,
                                      double* sums) noexcept {
  for (std::size_t i = 0; i < count; ++i) {
    sums[i] = sum(a[i], b[i]);
  }
}

VYR_VECTOR_WIDTHS void add_scalar_right(std::size_t count, const double* a, double b,
                                        double* sums) noexcept {
  for (std::size_t i = 0; i < count; ++i) {
    sums[i] = sum(a[i], b);
  }
}

VYR_VECTOR_WIDTHS void add_scalar_left(std::size_t count, double a, const double* b,
                                       double* sums) noexcept {
  for (std::size_t i = 0; i < count; ++i) {
    sums[i] = sum(a, b[i]);
  }
}

}  // namespace

void add_items(std::size_t count, ItemsIn a, ItemsIn b, ItemsOut sums) noexcept {
  if (sums.item_step == kDouble) {
    double* const out = sums.item(0);
    if (a.item_step == kDouble && b.item_step == kDouble) {
      return add_contiguous(count, a.item(0), b.item(0), out);
    }
    if (a.item_step == kDouble && b.item_step == 0) {
      return add_scalar_right(count, a.item(0), *b.item(0), out);
    }
    if (a.item_step == 0 && b.item_step == kDouble) {
      return add_scalar_left(count, *a.item(0), b.item(0), out);
    }
  }
  for (std::size_t i = 0; i < count; ++i) {
    *sums.item(i) = sum(*a.item(i), *b.item(i));
  }
}

std::vector<double> add_n(std::span<const double> a, std::span<const double> b) {
  std::vector<double> sums;
  parallel::indexed_map(sums, std::min(a.size(), b.size()),
                        [a, b](std::size_t i) { return sum(a[i], b[i]); });
  return sums;
}

}  // namespace vyr::add
