// Inside the engine: the worker pool, its jobs and latches, and the split rule.
#pragma once

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <vector>

#include "parallel/deque.hpp"
#include "parallel/engine.hpp"
#include "parallel/inject_queue.hpp"

namespace vyr::parallel::detail {

// The split rule for one piece of `length` elements with budget `budget`.
// Returns whether the piece is split and lowers the budget for its halves:
// a migrated piece restarts from at least the pool size, any other piece
// spends half of what it has left and stops splitting once it has none.
constexpr bool split_budget(std::size_t length, std::size_t& budget, bool migrated,
                            std::size_t threads) noexcept {
  if (length / 2 < 1)
    return false;
  if (migrated) {
    budget = budget / 2 > threads ? budget / 2 : threads;
    return true;
  }
  if (budget > 0) {
    budget /= 2;
    return true;
  }
  return false;
}

// Prints the one-line notice and aborts: for faults in the engine's own
// bookkeeping, which have no caller to go to.
[[noreturn]] void fatal_engine_fault() noexcept;

struct Worker;
class Pool;

// Something queued for a worker.  Jobs live on the stack of the thread that
// made them; queues only hold pointers.  `execute` runs the job as migrated
// work and sets its latch, after which the job may be gone.
struct Job {
  void (*execute)(Job* self) noexcept;
};

// The latch of a forked half that the forking worker waits for while it keeps
// working.  The owner may go to sleep on it; setting it then wakes the owner.
class SpinLatch {
 public:
  explicit SpinLatch(Worker* owner) noexcept : owner_(owner) {}
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
  Worker* const owner_;
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
  // Polls for up to `limit` before the caller blocks: a small map is often
  // done sooner than a sleeping thread could be woken.  True when set.
  bool spin_for(std::chrono::nanoseconds limit) noexcept;

 private:
  std::mutex mutex_;
  std::condition_variable condition_;
  bool set_ = false;
  // Mirrors set_ for the spinning phase; stored under the mutex.
  std::atomic<bool> set_seen_{false};
};

struct alignas(64) Worker {
  Worker(Pool* owner, std::size_t position) noexcept
      : pool(owner), index(position), terminate(this), random_state(position * 2 + 1) {}
  Pool* const pool;
  const std::size_t index;
  WorkDeque<Job> deque;
  std::mutex sleep_mutex;
  std::condition_variable wake_up;
  bool blocked = false;  // under sleep_mutex: asleep and not yet woken
  SpinLatch terminate;   // set only when a private pool is torn down
  std::uint64_t random_state;
};

// The state of one map, shared by all its pieces.
struct MapState {
  Pool* pool;
  std::size_t threads;
  RangeFn leaf;
  const RangeFn* undo;
  std::atomic<bool> cancelled{false};
  bool serial = false;       // the pool has no threads of its own: run on the caller
  bool root_forked = false;  // serial maps only: the first fork is the root
};

using SpawnFn = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

class Pool {
 public:
  // Starts `threads` workers.  If one cannot be started, those already
  // started are stopped and a vyr::Fault "The global thread pool has not been
  // initialized. ..." is thrown, except that when the platform has no threads
  // at all (ENOSYS, EOPNOTSUPP) and the calling thread is no worker, the pool
  // is built with one worker that is the calling thread, and no thread is
  // started.  `spawn` stands in for pthread_create (for tests).
  static std::unique_ptr<Pool> create(std::size_t threads, SpawnFn spawn = nullptr);

  // Stops and joins the workers.  Only for pools other than the process-wide
  // one, and only when no map runs on the pool.
  ~Pool();
  Pool(const Pool&) = delete;
  Pool& operator=(const Pool&) = delete;

  std::size_t size() const noexcept { return workers_.size(); }
  bool threadless() const noexcept { return threadless_; }
  // How many workers have entered their main loop so far.
  std::size_t started() const noexcept { return started_.load(std::memory_order_acquire); }

  // Engine internals.
  void fork_join(MapState& map, Worker& worker, std::size_t begin, std::size_t mid,
                 std::size_t length, std::size_t budget, bool root);
  void inject_root(MapState& map, std::size_t begin, std::size_t mid, std::size_t length,
                   std::size_t budget);
  void wake_worker(Worker& worker) noexcept;

 private:
  explicit Pool(std::size_t threads);
  static void* thread_main(void* worker) noexcept;
  void stop_threads() noexcept;
  void wait_until(Worker& worker, SpinLatch& latch) noexcept;
  Job* find_work(Worker& worker) noexcept;
  void sleep(Worker& worker, SpinLatch& latch, std::uint32_t sleepy_events) noexcept;
  void announce_work(bool queue_was_busy) noexcept;
  bool wake_any() noexcept;
  void idle_begin() noexcept;
  void idle_end() noexcept;

  // One word so that a sleeper's registration and a pusher's announcement are
  // read-modify-writes of the same location, totally ordered without fences:
  // bits 0-15 sleeping workers, bits 16-31 idle workers (the sleeping ones
  // included), bits 32-63 a count of pushes that sleepers compare against.
  static constexpr std::uint64_t kSleepingOne = 1;
  static constexpr std::uint64_t kIdleOne = std::uint64_t{1} << 16;
  static constexpr std::uint64_t kEventOne = std::uint64_t{1} << 32;
  alignas(64) std::atomic<std::uint64_t> counters_{0};
  alignas(64) std::atomic<std::size_t> wake_cursor_{0};
  std::atomic<std::size_t> started_{0};
  std::vector<std::unique_ptr<Worker>> workers_;
  InjectQueue<Job> injected_;
  std::vector<pthread_t> threads_;
  bool threadless_ = false;
};

// The calling thread's worker record, null on threads outside every pool.
Worker* current_worker() noexcept;

// The process-wide pool, created on first use.  Throws vyr::Fault if it
// cannot be created (now or at an earlier attempt).
Pool& global_pool();

// Replaces pthread_create for the next creation of the process-wide pool
// (for tests of creation failure; null restores pthread_create).
void set_global_spawn_for_testing(SpawnFn spawn) noexcept;

}  // namespace vyr::parallel::detail
