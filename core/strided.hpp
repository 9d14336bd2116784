// Operands of the item loops: many items of one kernel, laid out in memory
// the way an array front-end hands them over.
//
// An item loop runs one kernel over `count` items.  Item i of an operand starts
// at `data + i * item_step` (steps in bytes, as array strides are); a step of
// 0 hands the same item to every index, which is how a broadcast operand
// arrives.  The components of one item lie `component_step` bytes apart.  The
// loops take every operand's steps as they come, so that a loop can later
// process several items at once without its callers changing.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace vyr {

struct ItemsIn {
  const char* data;
  std::ptrdiff_t item_step;
  std::ptrdiff_t component_step = sizeof(double);

  const double* item(std::size_t i) const noexcept {
    return reinterpret_cast<const double*>(data + static_cast<std::ptrdiff_t>(i) * item_step);
  }
  double component(const double* item, std::size_t k) const noexcept {
    return *reinterpret_cast<const double*>(reinterpret_cast<const char*>(item) +
                                            static_cast<std::ptrdiff_t>(k) * component_step);
  }
  bool contiguous_components() const noexcept {
    return component_step == static_cast<std::ptrdiff_t>(sizeof(double));
  }
  // The `length` components of item i side by side: the item itself when its
  // components are adjacent, else a copy in `scratch` (room for `length`).
  std::span<const double> gather(std::size_t i, std::size_t length,
                                 double* scratch) const noexcept {
    const double* first = item(i);
    if (contiguous_components()) {
      return {first, length};
    }
    for (std::size_t k = 0; k < length; ++k) {
      scratch[k] = component(first, k);
    }
    return {scratch, length};
  }
};

struct ItemsOut {
  char* data;
  std::ptrdiff_t item_step;
  std::ptrdiff_t component_step = sizeof(double);

  double* item(std::size_t i) const noexcept {
    return reinterpret_cast<double*>(data + static_cast<std::ptrdiff_t>(i) * item_step);
  }
  double& component(double* item, std::size_t k) const noexcept {
    return *reinterpret_cast<double*>(reinterpret_cast<char*>(item) +
                                      static_cast<std::ptrdiff_t>(k) * component_step);
  }
  bool contiguous_components() const noexcept {
    return component_step == static_cast<std::ptrdiff_t>(sizeof(double));
  }
};

// out[i] = reduce(item i of `in`, as a span of `length` doubles), for i < count.
template <class Reduce>
void reduce_items(std::size_t count, ItemsIn in, std::size_t length, ItemsOut out,
                  Reduce&& reduce) {
  std::vector<double> scratch(in.contiguous_components() ? 0 : length);
  for (std::size_t i = 0; i < count; ++i) {
    *out.item(i) = reduce(in.gather(i, length, scratch.data()));
  }
}

}  // namespace vyr
