#include "src/add.hpp"

#include <algorithm>

#include "parallel/engine.hpp"
#include "src/lanes.hpp"

namespace vyr::add {

namespace {

constexpr std::ptrdiff_t kDouble = sizeof(double);

// Elements handed to the lane kernel at once.
constexpr std::size_t kElementsPerRun = std::size_t{1} << 14;

}  // namespace

void add_items(std::size_t count, ItemsIn a, ItemsIn b, ItemsOut sums) noexcept {
  // The contiguous and repeated layouts go to the lane kernel, the rest is
  // added one element at a time.
  const auto lane_step = [](const ItemsIn& items) -> std::size_t {
    return items.item_step == kDouble ? 1 : items.item_step == 0 ? 0 : 2;
  };
  const std::size_t a_step = lane_step(a);
  const std::size_t b_step = lane_step(b);
  if (sums.item_step == kDouble && a_step < 2 && b_step < 2) {
    return lanes::kernels().add(count, a.item(0), a_step, b.item(0), b_step, sums.item(0));
  }
  for (std::size_t i = 0; i < count; ++i) {
    *sums.item(i) = sum(*a.item(i), *b.item(i));
  }
}

std::vector<double> add_n(std::span<const double> a, std::span<const double> b) {
  std::vector<double> sums;
  const lanes::Kernels& kernels = lanes::kernels();
  parallel::indexed_runs(sums, std::min(a.size(), b.size()), kElementsPerRun,
                         [&](std::size_t first, std::size_t last, double* out) {
                           kernels.add(last - first, a.data() + first, 1, b.data() + first, 1, out);
                         });
  return sums;
}

}  // namespace vyr::add
