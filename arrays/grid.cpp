#include "arrays/grid.hpp"

namespace vyr::arrays {

ItemGrid::ItemGrid(const std::int64_t* shape, int axes) noexcept : axes_(axes) {
  for (int axis = 0; axis < axes; ++axis) {
    shape_[axis] = shape[axis];
    count_ *= static_cast<std::size_t>(shape[axis]);
  }
}

void ItemGrid::add_operand(char* data, const std::int64_t* shape, const std::int64_t* strides,
                           int axes) noexcept {
  const int k = operands_++;
  data_[k] = data;
  const int offset = axes_ - axes;
  for (int axis = 0; axis < axes_; ++axis) {
    const int own = axis - offset;
    const bool repeated = own < 0 || shape[own] == 1;
    strides_[k][axis] = repeated ? 0 : strides[own];
  }
}

void ItemGrid::coalesce() noexcept {
  int kept = 0;
  for (int axis = 0; axis < axes_; ++axis) {
    if (shape_[axis] == 1) {
      continue;
    }
    bool merge = kept > 0;
    for (int k = 0; k < operands_ && merge; ++k) {
      merge = strides_[k][kept - 1] == strides_[k][axis] * shape_[axis];
    }
    if (merge) {
      shape_[kept - 1] *= shape_[axis];
      for (int k = 0; k < operands_; ++k) {
        strides_[k][kept - 1] = strides_[k][axis];
      }
      continue;
    }
    shape_[kept] = shape_[axis];
    for (int k = 0; k < operands_; ++k) {
      strides_[k][kept] = strides_[k][axis];
    }
    ++kept;
  }
  // An empty batch keeps one axis of length 0; a batch of ones keeps none.
  if (count_ == 0) {
    shape_[0] = 0;
    kept = 1;
  }
  axes_ = kept;
}

}  // namespace vyr::arrays
