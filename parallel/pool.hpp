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
#include "parallel/notifier.hpp"

namespace vyr::parallel::detail {

// The split rule for one piece of `length` elements with budget `budget`.
// Returns whether the piece is split and lowers the budget for its halves:
// a migrated piece restarts from at least the pool size, any other piece
// spends half of what it has left and stops splitting once it has none.
constexpr bool split_budget(std::size_t length, std::size_t& budget, bool migrated,
                            std::size_t threads) noexcept {
  if (length / 2 < 1) {
    return false;
  }
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

class Pool;

// Something queued for a worker.  Jobs live on the stack of the thread that
// made them; queues only hold pointers.  `execute` runs the job as migrated
// work and sets its latch, after which the job may be gone.
struct Job {
  void (*execute)(Job* self) noexcept;
};

struct alignas(64) Worker {
  // Throws std::bad_alloc: the queue allocates its first buffer.
  Worker(Pool* owner, Notifier& notifier, std::size_t position)
      : pool(owner),
        index(position),
        terminate(notifier, position),
        random_state(position * 2 + 1) {}
  Pool* const pool;
  const std::size_t index;
  WorkDeque<Job> deque;
  SpinLatch terminate;  // set only when a private pool is torn down
  std::uint64_t random_state;
};

// The state of one map, shared by all its pieces.
struct MapState {
  Pool* pool;
  std::size_t threads;
  RangeFn leaf;
  const RangeFn* undo;
  ChildRerun child_rerun;
  std::atomic<bool> cancelled{false};
  bool serial = false;       // the pool has no threads of its own: run on the caller
  bool root_forked = false;  // serial maps only: the first fork is the root
};

using SpawnFn = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

class Pool {
 public:
  // Starts `threads` workers.  If one cannot be started, or memory runs out
  // while the pool is built, those already started are stopped and a
  // vyr::Fault "The global thread pool has not been initialized. ..." is
  // thrown (std::bad_alloc when not even its message can be made), except
  // that when the platform has no threads at all (ENOSYS, EOPNOTSUPP) and the
  // calling thread is no worker, the pool is built with one worker that is
  // the calling thread, and no thread is started.  `spawn` stands in for
  // pthread_create (for tests).
  static std::unique_ptr<Pool> create(std::size_t threads, SpawnFn spawn = nullptr);

  // Stops and joins the workers.  Only for pools other than the process-wide
  // one, and only when no map runs on the pool.
  ~Pool();
  Pool(const Pool&) = delete;
  Pool& operator=(const Pool&) = delete;

  std::size_t size() const noexcept { return workers_.size(); }
  bool threadless() const noexcept { return threadless_; }

  // Engine internals.
  void fork_join(MapState& map, Worker& worker, std::size_t begin, std::size_t mid,
                 std::size_t length, std::size_t budget, bool root);
  void inject_root(MapState& map, std::size_t begin, std::size_t mid, std::size_t length,
                   std::size_t budget);
  Notifier& notifier() noexcept { return notifier_; }

 private:
  explicit Pool(std::size_t threads);
  static void* thread_main(void* worker) noexcept;
  void stop_threads() noexcept;
  void wait_until(Worker& worker, SpinLatch& latch) noexcept;
  Job* find_work(Worker& worker) noexcept;

  friend std::size_t started_workers(const Pool& pool) noexcept;

  Notifier notifier_;
  std::atomic<std::size_t> started_{0};
  std::vector<std::unique_ptr<Worker>> workers_;
  InjectQueue<Job> injected_;
  std::vector<pthread_t> threads_;
  bool threadless_ = false;
};

// The start of every message of a failed creation of the process-wide pool.
inline constexpr char kCreationFailed[] = "The global thread pool has not been initialized.";
inline constexpr char kCreationOutOfMemory[] =
    "The global thread pool has not been initialized. Out of memory.";

// The worker that runs on this thread; null on every other thread.
Worker* current_worker() noexcept;
void set_current_worker(Worker* worker) noexcept;

// How many forks this process descends from since it first built the
// process-wide pool, so that a caller waiting for a map can tell that it now
// lives in a child.
std::uint64_t fork_generation() noexcept;

// The process-wide pool, created on first use.  Throws vyr::Fault if it
// cannot be created (now or at an earlier attempt).
Pool& global_pool();

}  // namespace vyr::parallel::detail
