#include "parallel/latch.hpp"

#include <sched.h>

#include "parallel/fatal.hpp"
#include "parallel/notifier.hpp"

namespace vyr::parallel::detail {

void SpinLatch::set() noexcept {
  Notifier& notifier = notifier_;
  const std::size_t owner = owner_;
  if (state_.exchange(kSet, std::memory_order_acq_rel) == kSleeping) {
    notifier.wake(owner);
  }
}

void BlockingLatch::set() noexcept {
  try {
    std::lock_guard<std::mutex> lock(mutex_);
    set_ = true;
    set_seen_.store(true, std::memory_order_release);
    // Notified under the lock: the waiter may return and destroy the latch
    // as soon as it can take the mutex.
    condition_.notify_all();
  } catch (...) {
    fatal_engine_fault();
  }
}

void BlockingLatch::wait() {
  std::unique_lock<std::mutex> lock(mutex_);
  condition_.wait(lock, [this] { return set_; });
}

bool BlockingLatch::spin_for(std::chrono::nanoseconds limit) noexcept {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  bool first_look = true;
  do {
    if (!first_look) {
      sched_yield();
    }
    first_look = false;
    for (unsigned pause = 0; pause < kPausesPerLook; ++pause) {
      if (set_seen_.load(std::memory_order_acquire)) {
        // The setter stored the flag under the mutex and may still hold it:
        // taking the mutex once waits until it has let go of the latch, which
        // the caller may destroy as soon as this returns.
        try {
          std::lock_guard<std::mutex> lock(mutex_);
        } catch (...) {
          fatal_engine_fault();
        }
        return true;
      }
      cpu_relax();
    }
  } while (std::chrono::steady_clock::now() < deadline);
  return false;
}

bool BlockingLatch::wait_for(std::chrono::nanoseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return condition_.wait_for(lock, timeout, [this] { return set_; });
}

}  // namespace vyr::parallel::detail
