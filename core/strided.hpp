// Operands of the item loops: many items of one kernel, laid out in memory
// the way an array front-end hands them over.
//
// An item loop runs one kernel over `count` items.  Item i of an operand starts
// at `data + i * item_step` (steps in bytes, as array strides are); a step of
// 0 hands the same item to every index, which is how a broadcast operand
// arrives.  The components of one item lie `component_step` bytes apart.  The
// loops take every operand's steps as they come, and what they do with them is
// theirs to choose: the lane kernels process several items at once, one per
// vector lane (ItemStarts below, and over_adjacent_items for operands whose
// components lie apart), without their callers knowing.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <span>
#include <vector>

#include "core/containers.hpp"

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

// Items whose components are adjacent doubles, as the lane kernels read
// them.  Item i starts `i * item_step` bytes after `data` (a step of 0 repeats
// one item), or, when `offsets` is set, `offsets[i]` doubles after it: the
// vectors of a list batch, stored flat.
struct ItemStarts {
  const char* data;
  std::ptrdiff_t item_step = 0;
  const std::size_t* offsets = nullptr;

  const double* item(std::size_t i) const noexcept {
    if (offsets != nullptr) {
      return reinterpret_cast<const double*>(data) + offsets[i];
    }
    return reinterpret_cast<const double*>(data + static_cast<std::ptrdiff_t>(i) * item_step);
  }
  // The same items, counted from item `first`.
  ItemStarts from(std::size_t first) const noexcept {
    if (offsets != nullptr) {
      return {data, 0, offsets + first};
    }
    return {data + static_cast<std::ptrdiff_t>(first) * item_step, item_step, nullptr};
  }
};

// The vectors of a list batch as items.
inline ItemStarts starts_of(const Batch& batch) noexcept {
  return {reinterpret_cast<const char*>(batch.values.data()), 0, batch.offsets.data()};
}

// Calls loop(n, starts, out) on consecutive chunks of the `count` items, with
// starts[k] the items of in[k] and `out` those of the output (components
// adjacent in both).  An input whose components lie apart is copied into
// scratch first, an output whose components lie apart is filled from scratch
// afterwards, a chunk of items at a time; items of `in_length` components in,
// `out_length` out (0: one double per item, which has no components).
template <std::size_t Inputs, class Loop>
void over_adjacent_items(std::size_t count, const std::array<ItemsIn, Inputs>& in,
                         std::size_t in_length, ItemsOut out, std::size_t out_length, Loop&& loop) {
  std::array<ItemStarts, Inputs> starts;
  bool adjacent = out_length == 0 || out.contiguous_components();
  for (std::size_t k = 0; k < Inputs; ++k) {
    starts[k] = {in[k].data, in[k].item_step};
    adjacent = adjacent && in[k].contiguous_components();
  }
  if (adjacent) {
    loop(count, starts.data(), out);
    return;
  }
  // About 256 KiB of scratch per operand, and whole items.
  constexpr std::size_t kScratchDoubles = std::size_t{1} << 15;
  const std::size_t chunk =
      std::max<std::size_t>(1, kScratchDoubles / std::max({in_length, out_length, std::size_t{1}}));
  std::array<std::vector<double>, Inputs> in_scratch;
  std::vector<double> out_scratch;
  const auto bytes = [](std::size_t length) {
    return static_cast<std::ptrdiff_t>(length * sizeof(double));
  };
  for (std::size_t first = 0; first < count; first += chunk) {
    const std::size_t n = std::min(chunk, count - first);
    for (std::size_t k = 0; k < Inputs; ++k) {
      const ItemsIn& items = in[k];
      if (items.contiguous_components()) {
        starts[k] = {reinterpret_cast<const char*>(items.item(first)), items.item_step};
        continue;
      }
      // A repeated item is copied once and stays repeated.
      const std::size_t copies = items.item_step == 0 ? 1 : n;
      in_scratch[k].resize(copies * in_length);
      for (std::size_t i = 0; i < copies; ++i) {
        items.gather(first + i, in_length, in_scratch[k].data() + i * in_length);
      }
      starts[k] = {reinterpret_cast<const char*>(in_scratch[k].data()),
                   items.item_step == 0 ? 0 : bytes(in_length)};
    }
    if (out_length == 0 || out.contiguous_components()) {
      loop(n, starts.data(), ItemsOut{reinterpret_cast<char*>(out.item(first)), out.item_step});
      continue;
    }
    out_scratch.resize(n * out_length);
    loop(n, starts.data(),
         ItemsOut{reinterpret_cast<char*>(out_scratch.data()), bytes(out_length)});
    for (std::size_t i = 0; i < n; ++i) {
      double* const target = out.item(first + i);
      for (std::size_t c = 0; c < out_length; ++c) {
        out.component(target, c) = out_scratch[i * out_length + c];
      }
    }
  }
}

}  // namespace vyr
