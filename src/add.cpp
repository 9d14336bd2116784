#include "src/add.hpp"

#include <algorithm>

#include "parallel/engine.hpp"

namespace vyr::add {

std::vector<double> add_n(std::span<const double> a, std::span<const double> b) {
  std::vector<double> sums;
  parallel::indexed_map(sums, std::min(a.size(), b.size()),
                        [a, b](std::size_t i) { return a[i] + b[i]; });
  return sums;
}

}  // namespace vyr::add
