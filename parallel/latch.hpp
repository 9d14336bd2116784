// The latches that a thread waits on for work it handed out, and how a
// thread spins before it blocks.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace vyr::parallel::detail {

class Notifier;

// How long a thread that runs out of work keeps looking before it sleeps.
// Waking a sleeping thread costs far more than a small map on a virtual
// machine whose idle processors halt (milliseconds, measured on a 2-core one),
// so a worker that finishes one map stays awake for the next call for a while,
// and so does a caller for the end of its map.  Spinning is bounded: an idle
// process is back to sleep within this time after its last call.
inline constexpr std::chrono::microseconds kIdleSpin{200};

// While spinning, a thread looks again after this many pause instructions
// (about a microsecond), and yields the processor after every look, so that a
// thread that has work (the caller between two calls, or a worker the caller
// just handed a map) gets a core on a machine with fewer cores than threads:
// the scheduler often puts a caller and the worker it woke on one core, and
// then each would otherwise wait out the other's spin.
inline constexpr unsigned kPausesPerLook = 64;

inline void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield" ::: "memory");
#endif
}

// The latch of a forked half that the forking worker waits for while it keeps
// working.  The owner may go to sleep on it; setting it then wakes the owner.
class SpinLatch {
 public:
  SpinLatch(Notifier& notifier, std::size_t owner) noexcept : notifier_(notifier), owner_(owner) {}
  bool probe() const noexcept { return state_.load(std::memory_order_acquire) == kSet; }
  // Owner, under its sleep mutex: announce that it is about to block.  False
  // when the latch is already set.
  bool announce_sleep() noexcept {
    std::uint32_t expected = kUnset;
    return state_.compare_exchange_strong(expected, kSleeping, std::memory_order_acq_rel,
                                          std::memory_order_acquire);
  }
  // Owner, under its sleep mutex, after waking or giving up on sleeping.
  void withdraw_sleep() noexcept {
    std::uint32_t expected = kSleeping;
    state_.compare_exchange_strong(expected, kUnset, std::memory_order_acq_rel,
                                   std::memory_order_acquire);
  }
  // Any thread.  The latch may be destroyed by its owner as soon as this has
  // stored kSet, so nothing of it is touched afterwards.
  void set() noexcept;

 private:
  static constexpr std::uint32_t kUnset = 0;
  static constexpr std::uint32_t kSleeping = 1;
  static constexpr std::uint32_t kSet = 2;
  std::atomic<std::uint32_t> state_{kUnset};
  Notifier& notifier_;
  const std::size_t owner_;
};

// The latch that a thread outside the pool blocks on.  One per map, on the
// caller's stack, so that a map started on the same thread while it waits
// (from the wait hook, say) has a latch of its own.
class BlockingLatch {
 public:
  void set() noexcept;
  void wait();
  // False when `timeout` passed before the latch was set.
  bool wait_for(std::chrono::nanoseconds timeout);
  // Polls for up to `limit` before the caller blocks, yielding the processor
  // between looks (a worker that runs the map may share the caller's core):
  // a small map is often done sooner than a blocked caller could be woken.
  // True when set.
  bool spin_for(std::chrono::nanoseconds limit) noexcept;

 private:
  std::mutex mutex_;
  std::condition_variable condition_;
  bool set_ = false;
  // Mirrors set_ for the spinning phase; stored under the mutex.
  std::atomic<bool> set_seen_{false};
};

}  // namespace vyr::parallel::detail
