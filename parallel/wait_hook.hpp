// The wait hook of a caller outside the pool, and the cancellation of maps
// that it asks for.
#pragma once

#include <atomic>
#include <exception>

#include "parallel/engine.hpp"
#include "parallel/latch.hpp"

namespace vyr::parallel::detail {

// Makes `flag` the cancellation flag that leaves on this thread look at, for
// the lifetime of the object; the flag of an enclosing map comes back after.
class ScopedCancelFlag {
 public:
  explicit ScopedCancelFlag(const std::atomic<bool>* flag) noexcept;
  ~ScopedCancelFlag();
  ScopedCancelFlag(const ScopedCancelFlag&) = delete;
  ScopedCancelFlag& operator=(const ScopedCancelFlag&) = delete;

 private:
  const std::atomic<bool>* const previous_;
};

// How a caller outside the pool waited for its map.
struct CallerWait {
  bool cancel_requested = false;  // the hook asked to stop, or threw
  bool forked = false;            // the hook forked, and this is the child
  std::exception_ptr poll_fault;  // what the hook threw
};

// Waits until `done` is set.  With a wait hook on this thread, polls it while
// waiting (see WaitHook) and sets `cancelled` when it asks to stop; returns
// before `done` is set only in a child that the hook forked, where no worker
// will ever set it.
CallerWait wait_for_map(BlockingLatch& done, std::atomic<bool>& cancelled) noexcept;

}  // namespace vyr::parallel::detail
