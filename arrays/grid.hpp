// The items of one call: the broadcast of the operands' leading (batch) axes,
// walked as runs of items along the innermost axis, each run handed to an item
// loop with one base pointer and one item step per operand.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vyr::arrays {

inline constexpr int kMaxOperands = 3;
inline constexpr int kMaxAxes = 64;

class ItemGrid {
 public:
  // The batch shape of the result; operands are added against it.
  ItemGrid(const std::int64_t* shape, int axes) noexcept;

  // Operand k (in the order added): its first item and its batch axes, right
  // aligned with the result's.  Axes of length 1 (and missing leading axes)
  // repeat the operand along the result's axis: their step is 0.
  void add_operand(char* data, const std::int64_t* shape, const std::int64_t* strides,
                   int axes) noexcept;

  // Drops axes of length 1 and merges neighbouring axes that every operand
  // steps through evenly, so that a contiguous batch is one run.
  void coalesce() noexcept;

  std::size_t count() const noexcept { return count_; }

  // Calls run(n, pointers, steps) for runs covering the items [begin, end) in
  // order; pointers[k] is operand k's first item of the run, steps[k] its step.
  template <class Run>
  void for_runs(std::size_t begin, std::size_t end, Run&& run) const;

 private:
  int axes_ = 0;
  int operands_ = 0;
  std::size_t count_ = 1;
  std::int64_t shape_[kMaxAxes] = {};
  std::int64_t strides_[kMaxOperands][kMaxAxes] = {};
  char* data_[kMaxOperands] = {};
};

template <class Run>
void ItemGrid::for_runs(std::size_t begin, std::size_t end, Run&& run) const {
  if (begin >= end) {
    return;
  }
  if (axes_ == 0) {
    // One item (a batch of no axes).
    std::ptrdiff_t steps[kMaxOperands] = {};
    run(std::size_t{1}, data_, static_cast<const std::ptrdiff_t*>(steps));
    return;
  }
  const int last = axes_ - 1;
  // The multi-index of `begin`, and every operand's pointer there.
  std::int64_t index[kMaxAxes];
  std::size_t rest = begin;
  for (int axis = last; axis >= 0; --axis) {
    const auto extent = static_cast<std::size_t>(shape_[axis]);
    index[axis] = static_cast<std::int64_t>(rest % extent);
    rest /= extent;
  }
  char* pointers[kMaxOperands];
  std::ptrdiff_t steps[kMaxOperands];
  for (int k = 0; k < operands_; ++k) {
    char* p = data_[k];
    for (int axis = 0; axis < axes_; ++axis) {
      p += index[axis] * strides_[k][axis];
    }
    pointers[k] = p;
    steps[k] = static_cast<std::ptrdiff_t>(strides_[k][last]);
  }
  std::size_t position = begin;
  while (position < end) {
    const auto room = static_cast<std::size_t>(shape_[last] - index[last]);
    const std::size_t n = room < end - position ? room : end - position;
    run(n, static_cast<char* const*>(pointers), static_cast<const std::ptrdiff_t*>(steps));
    position += n;
    if (position == end) {
      break;
    }
    // Next run: carry into the outer axes, moving every pointer along.
    for (int k = 0; k < operands_; ++k) {
      pointers[k] += static_cast<std::ptrdiff_t>(n) * steps[k];
    }
    index[last] += static_cast<std::int64_t>(n);
    for (int axis = last; axis > 0 && index[axis] == shape_[axis]; --axis) {
      index[axis] = 0;
      ++index[axis - 1];
      for (int k = 0; k < operands_; ++k) {
        pointers[k] += strides_[k][axis - 1] - shape_[axis] * strides_[k][axis];
      }
    }
  }
}

}  // namespace vyr::arrays
