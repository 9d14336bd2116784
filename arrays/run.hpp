// Running an item loop over the items of a call: small calls on the calling
// thread, large ones on the worker pool with the interpreter lock released.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "arrays/grid.hpp"
#include "parallel/engine.hpp"

namespace vyr::arrays {

// Costs are counted in units of about half a nanosecond of one core (one
// element of an add).  Below this much work (some 75 µs) a call stays on the
// calling thread and keeps the interpreter lock: handing work to the pool and
// waking its workers costs tens of microseconds, and an add of 10^5 elements
// is bound by memory, not by cores.
inline constexpr std::uint64_t kPoolThreshold = 150'000;
// For loops bound by memory rather than by the core (an add): a second core
// adds little bandwidth, and on a busy machine handing the work over costs
// more than it gains, so such calls stay on the calling thread up to here.
inline constexpr std::uint64_t kMemoryBoundPoolThreshold = std::uint64_t{1} << 22;
// Pool leaves look for cancellation after about this much work (~0.5 ms).
inline constexpr std::uint64_t kCancelCheckCost = 1'000'000;

// Runs `leaf` over [0, n) on the pool with the interpreter lock released.
// While it waits, the calling thread takes the lock back every ~10 ms to run
// signal handlers; an exception from a handler (KeyboardInterrupt) cancels
// the map and is raised once no worker touches the call's arrays any more.
void run_on_pool(std::size_t n, parallel::RangeFn leaf);

// Calls loop(n, pointers, steps) over runs covering every item of `grid`.
// `item_cost` is the work of one item; calls of less than `pool_threshold`
// stay on the calling thread.
template <class Loop>
void run_items(const ItemGrid& grid, std::uint64_t item_cost, Loop&& loop,
               std::uint64_t pool_threshold = kPoolThreshold) {
  const std::size_t count = grid.count();
  if (count == 0) {
    return;
  }
  item_cost = std::max<std::uint64_t>(item_cost, 1);
  if (item_cost < pool_threshold && count < pool_threshold / item_cost) {
    grid.for_runs(0, count, loop);
    return;
  }
  const std::size_t chunk = std::max<std::uint64_t>(1, kCancelCheckCost / item_cost);
  auto leaf = [&](std::size_t begin, std::size_t end) {
    end = std::min(end, count);
    for (std::size_t first = begin; first < end; first += chunk) {
      if (parallel::cancel_requested()) {
        throw parallel::Cancelled();
      }
      grid.for_runs(first, std::min(end, first + chunk), loop);
    }
  };
  // A single item still goes to a worker (beside an empty index), so that the
  // calling thread is free to answer signals while it runs.
  run_on_pool(std::max<std::size_t>(count, 2), parallel::RangeFn(leaf));
}

}  // namespace vyr::arrays
