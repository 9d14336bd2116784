#include "parallel/pool.hpp"

#include <pthread.h>
#include <sched.h>

#include <cerrno>
#include <string>
#include <system_error>

#include "core/fault.hpp"
#include "parallel/fatal.hpp"
#include "parallel/testing.hpp"
#include "parallel/wait_hook.hpp"

namespace vyr::parallel::detail {

namespace {

thread_local Worker* tls_worker = nullptr;

constexpr std::size_t kStackBytes = std::size_t{2} << 20;

std::uint64_t next_random(std::uint64_t& state) noexcept {
  // xorshift64*: cheap, and good enough to spread the victims of thieves.
  state ^= state >> 12;
  state ^= state << 25;
  state ^= state >> 27;
  return state * 0x2545F4914F6CDD1DULL;
}

// The second half of a fork-join.  When a thief runs it (or its owner finds it
// in the middle of its queue) it runs as migrated; when the owner takes it
// back it runs inline with the owner's migrated flag.
struct HalfJob : Job {
  HalfJob(MapState& state, Worker& owner, std::size_t first, std::size_t count,
          std::size_t split_budget) noexcept
      : Job{&HalfJob::run_stolen},
        map(state),
        begin(first),
        length(count),
        budget(split_budget),
        latch(owner.pool->notifier(), owner.index) {}

  static void run_stolen(Job* self) noexcept {
    auto* job = static_cast<HalfJob*>(self);
    job->run_here(true);
    job->latch.set();
  }

  void run_here(bool migrated) noexcept {
    try {
      run_piece(map, begin, length, budget, migrated);
    } catch (...) {
      fault = std::current_exception();
    }
  }

  static void run_piece(MapState& map, std::size_t begin, std::size_t length, std::size_t budget,
                        bool migrated);

  MapState& map;
  const std::size_t begin;
  const std::size_t length;
  const std::size_t budget;
  SpinLatch latch;
  std::exception_ptr fault;
};

// The root fork-join of a map handed in from outside the pool.
struct RootJob : Job {
  RootJob(MapState& state, std::size_t first, std::size_t split, std::size_t count,
          std::size_t split_budget, BlockingLatch& done) noexcept
      : Job{&RootJob::run},
        map(state),
        begin(first),
        mid(split),
        length(count),
        budget(split_budget),
        latch(done) {}

  static void run(Job* self) noexcept {
    auto* job = static_cast<RootJob*>(self);
    Worker* worker = tls_worker;
    try {
      worker->pool->fork_join(job->map, *worker, job->begin, job->mid, job->length, job->budget,
                              true);
    } catch (...) {
      job->fault = std::current_exception();
    }
    job->latch.set();
  }

  MapState& map;
  const std::size_t begin;
  const std::size_t mid;
  const std::size_t length;
  const std::size_t budget;
  BlockingLatch& latch;
  std::exception_ptr fault;
};

// Discards the results of a completed range whose neighbour failed.
void undo_range(const MapState& map, std::size_t begin, std::size_t end) noexcept {
  if (map.undo != nullptr && begin < end) {
    (*map.undo)(begin, end);
  }
}

// Joins the outcomes of two halves: the left half's fault wins, and the
// results of a half that completed are undone when the other one failed.
void join_outcomes(const MapState& map, std::size_t begin, std::size_t mid, std::size_t end,
                   const std::exception_ptr& left, const std::exception_ptr& right) {
  if (left) {
    if (!right) {
      undo_range(map, mid, end);
    }
    std::rethrow_exception(left);
  }
  if (right) {
    undo_range(map, begin, mid);
    std::rethrow_exception(right);
  }
}

// A fork on a thread that is no worker of the map's pool and whose pool has
// no threads: both halves run here, one after the other.
void serial_fork(MapState& map, std::size_t begin, std::size_t mid, std::size_t length,
                 std::size_t budget) {
  const bool migrated = !map.root_forked;  // the root's halves count as handed in
  map.root_forked = true;
  std::exception_ptr left, right;
  try {
    HalfJob::run_piece(map, begin, mid, budget, migrated);
  } catch (...) {
    left = std::current_exception();
  }
  try {
    HalfJob::run_piece(map, begin + mid, length - mid, budget, migrated);
  } catch (...) {
    right = std::current_exception();
  }
  join_outcomes(map, begin, begin + mid, begin + length, left, right);
}

void HalfJob::run_piece(MapState& map, std::size_t begin, std::size_t length, std::size_t budget,
                        bool migrated) {
  // Checked before every fork and every leaf, so a cancelled map starts
  // nothing new.
  throw_if_cancelled(&map.cancelled);
  if (!split_budget(length, budget, migrated, map.threads)) {
    // Leaves look at the flag between elements.
    const ScopedCancelFlag scoped(&map.cancelled);
    map.leaf(begin, begin + length);
    return;
  }
  const std::size_t mid = length / 2;
  Worker* worker = tls_worker;
  if (worker != nullptr && worker->pool == map.pool) {
    map.pool->fork_join(map, *worker, begin, mid, length, budget, false);
  } else if (map.serial) {
    serial_fork(map, begin, mid, length, budget);
  } else {
    map.pool->inject_root(map, begin, mid, length, budget);
  }
}

// The map handed in as `root` was left behind by a fork: this is the child,
// and the workers that had the map stayed in the parent.  Nothing will touch
// the map's data again, so it can be run once more here, from its start, on
// the child's own pool.  Only for maps started with ChildRerun::kAllowed:
// their elements depend only on their index, so what the parent had computed
// is computed again the same way.
void rerun_in_child(const MapState& map, std::size_t begin, std::size_t length) {
  auto leaf = [&map, begin](std::size_t first, std::size_t end) {
    map.leaf(begin + first, begin + end);
  };
  auto undo = [&map, begin](std::size_t first, std::size_t end) noexcept {
    undo_range(map, begin + first, begin + end);
  };
  const RangeFn undo_fn(undo);
  run_map(nullptr, length, RangeFn(leaf), map.undo != nullptr ? &undo_fn : nullptr);
}

}  // namespace

Worker* current_worker() noexcept {
  return tls_worker;
}

void set_current_worker(Worker* worker) noexcept {
  tls_worker = worker;
}

// ---------------------------------------------------------------- the pool

Pool::Pool(std::size_t threads) : notifier_(threads) {
  workers_.reserve(threads);
  for (std::size_t i = 0; i < threads; ++i) {
    workers_.push_back(std::make_unique<Worker>(this, notifier_, i));
  }
}

std::unique_ptr<Pool> Pool::create(std::size_t threads, SpawnFn spawn) {
  if (threads == 0) {
    threads = 1;
  }
  if (spawn == nullptr) {
    spawn = &pthread_create;
  }
  std::unique_ptr<Pool> pool;
  try {
    pool.reset(new Pool(threads));
    pool->threads_.reserve(threads);
  } catch (const std::bad_alloc&) {
    throw Fault(std::string(kCreationFailed) + " Out of memory while building a pool of " +
                std::to_string(threads) + " workers.");
  }

  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0 ||
      pthread_attr_setstacksize(&attributes, kStackBytes) != 0) {
    throw Fault(std::string(kCreationFailed) +
                " Could not set up the attributes of the worker threads.");
  }
  int error = 0;
  std::size_t failed_at = 0;
  for (std::size_t i = 0; i < threads; ++i) {
    pthread_t thread;
    error = spawn(&thread, &attributes, &Pool::thread_main, pool->workers_[i].get());
    if (error != 0) {
      failed_at = i;
      break;
    }
    pool->threads_.push_back(thread);
  }
  pthread_attr_destroy(&attributes);
  if (error == 0) {
    return pool;
  }

  pool->stop_threads();
  pool.reset();
  if ((error == ENOSYS || error == EOPNOTSUPP) && tls_worker == nullptr) {
    // No threads on this platform: the creating thread becomes the only
    // worker, and maps called from it run their whole split tree here.
    try {
      pool.reset(new Pool(1));
    } catch (const std::bad_alloc&) {
      throw Fault(std::string(kCreationFailed) +
                  " Out of memory while building a pool without threads.");
    }
    pool->threadless_ = true;
    tls_worker = pool->workers_[0].get();
    pool->started_.store(1, std::memory_order_release);
    return pool;
  }
  throw Fault(std::string(kCreationFailed) + " Could not start worker thread " +
              std::to_string(failed_at + 1) + " of " + std::to_string(threads) + ": " +
              std::generic_category().message(error) + ".");
}

std::size_t started_workers(const Pool& pool) noexcept {
  return pool.started_.load(std::memory_order_acquire);
}

Pool::~Pool() {
  stop_threads();
  if (threadless_ && tls_worker == workers_[0].get()) {
    tls_worker = nullptr;
  }
}

void Pool::stop_threads() noexcept {
  for (std::size_t i = 0; i < threads_.size(); ++i) {
    workers_[i]->terminate.set();
  }
  for (pthread_t thread : threads_) {
    pthread_join(thread, nullptr);
  }
  threads_.clear();
}

void* Pool::thread_main(void* argument) noexcept {
  auto* worker = static_cast<Worker*>(argument);
  // Workers carry no name of their own (Linux would have them inherit the
  // creating thread's), so that fault reports show them as unnamed.
  pthread_setname_np(pthread_self(), "");
  tls_worker = worker;
  Pool& pool = *worker->pool;
  pool.started_.fetch_add(1, std::memory_order_acq_rel);
  // The main loop: look for work, run it, sleep when idle, until the pool is
  // torn down (which the process-wide pool never is).
  pool.wait_until(*worker, worker->terminate);
  tls_worker = nullptr;
  return nullptr;
}

Job* Pool::find_work(Worker& worker) noexcept {
  if (Job* job = worker.deque.take()) {
    return job;
  }
  const std::size_t count = workers_.size();
  if (count > 1) {
    const std::size_t start = next_random(worker.random_state) % count;
    for (std::size_t k = 0; k < count; ++k) {
      Worker& victim = *workers_[(start + k) % count];
      if (&victim == &worker) {
        continue;
      }
      for (;;) {
        const auto stolen = victim.deque.steal();
        if (stolen.status == WorkDeque<Job>::StealStatus::kTaken) {
          return stolen.item;
        }
        if (stolen.status == WorkDeque<Job>::StealStatus::kEmpty) {
          break;
        }
      }
    }
  }
  return injected_.pop();
}

void Pool::wait_until(Worker& worker, SpinLatch& latch) noexcept {
  if (latch.probe()) {
    return;
  }
  notifier_.idle_begin();
  // Out of work: spin for kIdleSpin, looking at the latch, the worker's own
  // queue, the other workers' queues and the inject queue; then note the
  // announcement count, search once more, and sleep unless work was
  // announced since (see Notifier::sleep).
  bool spinning = false;
  std::chrono::steady_clock::time_point spin_end;
  bool sleepy = false;
  std::uint32_t sleepy_events = 0;
  while (!latch.probe()) {
    if (Job* job = find_work(worker)) {
      notifier_.idle_end();
      job->execute(job);
      notifier_.idle_begin();
      spinning = false;
      sleepy = false;
      continue;
    }
    if (!spinning) {
      spinning = true;
      spin_end = std::chrono::steady_clock::now() + kIdleSpin;
    }
    if (!sleepy && std::chrono::steady_clock::now() < spin_end) {
      for (unsigned pause = 0; pause < kPausesPerLook; ++pause) {
        cpu_relax();
      }
      sched_yield();
    } else if (!sleepy) {
      // One more full search after noting the announcement count; only then
      // sleep.
      sleepy_events = notifier_.events();
      sleepy = true;
    } else {
      notifier_.sleep(worker.index, latch, sleepy_events);
      // Woken for work (or by the latch): spin again before sleeping anew.
      spinning = false;
      sleepy = false;
    }
  }
  notifier_.idle_end();
}

void Pool::fork_join(MapState& map, Worker& worker, std::size_t begin, std::size_t mid,
                     std::size_t length, std::size_t budget, bool root) {
  HalfJob right(map, worker, begin + mid, length - mid, budget);
  bool queued = true;
  bool queue_was_busy = false;
  try {
    queue_was_busy = worker.deque.push(&right);
  } catch (const std::bad_alloc&) {
    queued = false;  // no room to share it: run it here after the left half
  }
  if (queued) {
    notifier_.announce_work(queue_was_busy);
  }

  std::exception_ptr left_fault;
  try {
    HalfJob::run_piece(map, begin, mid, budget, root);
  } catch (...) {
    left_fault = std::current_exception();
  }

  if (!queued) {
    right.run_here(root);
  } else {
    while (!right.latch.probe()) {
      Job* job = worker.deque.take();
      if (job == &right) {
        right.run_here(root);
        break;
      }
      if (job != nullptr) {
        job->execute(job);
        continue;
      }
      // Stolen: keep working until the thief is done with it.
      wait_until(worker, right.latch);
      break;
    }
  }
  join_outcomes(map, begin, begin + mid, begin + length, left_fault, right.fault);
}

void Pool::inject_root(MapState& map, std::size_t begin, std::size_t mid, std::size_t length,
                       std::size_t budget) {
  BlockingLatch done;
  RootJob root(map, begin, mid, length, budget, done);
  bool queue_was_busy = false;
  while (!injected_.push(&root, queue_was_busy)) {
    notifier_.announce_work(true);
    sched_yield();
  }
  notifier_.announce_work(queue_was_busy);

  // From here on the workers may touch the caller's data: nothing may leave
  // this function before the latch is set.
  const CallerWait wait = wait_for_map(done, map.cancelled);
  const bool cancel_requested = wait.cancel_requested;
  const std::exception_ptr& poll_fault = wait.poll_fault;

  if (wait.forked) {
    if (poll_fault) {
      std::rethrow_exception(poll_fault);
    }
    if (cancel_requested) {
      throw Cancelled();
    }
    if (map.child_rerun == ChildRerun::kForbidden) {
      throw ForkedDuringMap();
    }
    rerun_in_child(map, begin, length);
    return;
  }
  if (cancel_requested) {
    if (!root.fault) {
      undo_range(map, begin, begin + length);
    }
    if (poll_fault) {
      std::rethrow_exception(poll_fault);
    }
    throw Cancelled();
  }
  if (root.fault) {
    std::rethrow_exception(root.fault);
  }
}

void run_map(Pool* pool, std::size_t n, RangeFn leaf, const RangeFn* undo, ChildRerun rerun) {
  Worker* worker = tls_worker;
  if (pool == nullptr) {
    pool = worker != nullptr ? worker->pool : &global_pool();
  }
  MapState map{pool, pool->size(), leaf, undo, rerun};
  const bool on_own_worker = worker != nullptr && worker->pool == pool;
  map.serial = !on_own_worker && pool->threadless();
  if (n == 0) {
    return;
  }
  HalfJob::run_piece(map, 0, n, map.threads, false);
}

}  // namespace vyr::parallel::detail

namespace vyr::parallel {

void for_each_piece(std::size_t n, RangeFn leaf, ChildRerun rerun) {
  detail::run_map(nullptr, n, leaf, nullptr, rerun);
}

}  // namespace vyr::parallel