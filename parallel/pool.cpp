#include "parallel/pool.hpp"

#include <pthread.h>
#include <sched.h>

#include <cerrno>
#include <string>
#include <system_error>

#include "core/fault.hpp"
#include "parallel/fatal.hpp"
#include "parallel/sizing.hpp"

namespace vyr::parallel::detail {

namespace {

thread_local Worker* tls_worker = nullptr;
thread_local const WaitHook* tls_hook = nullptr;
// The cancellation flag of the map whose leaf runs on this thread, if any.
thread_local const std::atomic<bool>* tls_cancel_flag = nullptr;

constexpr std::size_t kStackBytes = std::size_t{2} << 20;

// The start of every message of a failed creation of the process-wide pool.
constexpr char kCreationFailed[] = "The global thread pool has not been initialized.";
constexpr char kCreationOutOfMemory[] =
    "The global thread pool has not been initialized. Out of memory.";

// How long a thread that runs out of work keeps looking before it sleeps.
// Waking a sleeping thread costs far more than a small map on a virtual
// machine whose idle processors halt (milliseconds, measured on a 2-core one),
// so a worker that finishes one map stays awake for the next call for a while,
// and so does a caller for the end of its map.  Spinning is bounded: an idle
// process is back to sleep within this time after its last call.
constexpr std::chrono::microseconds kIdleSpin{200};

// While spinning, a thread looks again after this many pause instructions
// (about a microsecond), and yields the processor after every look, so that a
// thread that has work (the caller between two calls, or a worker the caller
// just handed a map) gets a core on a machine with fewer cores than threads:
// the scheduler often puts a caller and the worker it woke on one core, and
// then each would otherwise wait out the other's spin.
constexpr unsigned kPausesPerLook = 64;

// How often a waiting caller with a wait hook polls it.
constexpr std::chrono::milliseconds kPollInterval{10};

void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield" ::: "memory");
#endif
}

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

// Makes `flag` the cancellation flag that leaves on this thread look at, for
// the lifetime of the object; the flag of an enclosing map comes back after.
class ScopedCancelFlag {
 public:
  explicit ScopedCancelFlag(const std::atomic<bool>* flag) noexcept : previous_(tls_cancel_flag) {
    tls_cancel_flag = flag;
  }
  ~ScopedCancelFlag() { tls_cancel_flag = previous_; }
  ScopedCancelFlag(const ScopedCancelFlag&) = delete;
  ScopedCancelFlag& operator=(const ScopedCancelFlag&) = delete;

 private:
  const std::atomic<bool>* const previous_;
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
  if (map.cancelled.load(std::memory_order_acquire)) {
    throw Cancelled();
  }
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

struct GuardLock {
  explicit GuardLock(pthread_mutex_t& m) : mutex(m) {
    if (pthread_mutex_lock(&mutex) != 0) {
      fatal_engine_fault();
    }
  }
  ~GuardLock() { pthread_mutex_unlock(&mutex); }
  GuardLock(const GuardLock&) = delete;
  GuardLock& operator=(const GuardLock&) = delete;
  pthread_mutex_t& mutex;
};

// The once-guard of the process-wide pool.  It is hand-made rather than a
// std::call_once so that a child process made by fork can reset it: the child
// inherits the parent's pool record but none of its threads, and must build a
// pool of its own.
pthread_mutex_t g_guard = PTHREAD_MUTEX_INITIALIZER;
enum : int { kNoPool = 0, kPoolReady = 1, kPoolFailed = 2 };
std::atomic<int> g_state{kNoPool};
std::atomic<Pool*> g_pool{nullptr};
// Why creation failed: a message of its own, or kCreationOutOfMemory when even
// that could not be made.  Written under g_guard before g_state says failed.
const char* g_failure = nullptr;
std::atomic<SpawnFn> g_spawn{nullptr};
bool g_atfork_registered = false;  // under g_guard; inherited by children with the handler

// Counts the forks that this process descends from (since the first pool),
// so that a caller waiting for a map can tell that it now lives in a child.
std::atomic<std::uint64_t> g_fork_generation{0};

void forget_pool_in_child() noexcept {
  // Only the forking thread exists here.  The parent's pool, its queues and
  // its locks are left alone (possibly mid-operation in a thread that no
  // longer exists) and leaked.
  pthread_mutex_init(&g_guard, nullptr);
  g_pool.store(nullptr, std::memory_order_relaxed);
  g_failure = nullptr;
  g_state.store(kNoPool, std::memory_order_release);
  tls_worker = nullptr;
  g_fork_generation.fetch_add(1, std::memory_order_relaxed);
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

// ---------------------------------------------------------------- latches

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
  const WaitHook* hook = tls_hook;
  const std::uint64_t generation = g_fork_generation.load(std::memory_order_relaxed);
  std::exception_ptr poll_fault;
  bool cancel_requested = false;
  bool forked = false;
  try {
    if (done.spin_for(kIdleSpin)) {
      // Finished before the caller had to block.
    } else if (hook == nullptr) {
      done.wait();
    } else {
      while (!done.wait_for(kPollInterval)) {
        if (cancel_requested) {
          continue;
        }
        try {
          // What the poll runs may use the engine on this thread; it must not
          // poll this hook again from there.
          const ScopedWaitHook hidden(nullptr);
          cancel_requested = hook->poll(hook->context);
        } catch (...) {
          poll_fault = std::current_exception();
          cancel_requested = true;
        }
        if (g_fork_generation.load(std::memory_order_relaxed) != generation) {
          // The hook forked, and this is the child: no worker here will set
          // the latch, whose lock a worker of the parent may even hold.
          forked = true;
          break;
        }
        if (cancel_requested) {
          map.cancelled.store(true, std::memory_order_release);
        }
      }
    }
  } catch (...) {
    // Waiting itself failed: returning now would let the workers write into
    // a dead stack frame.
    fatal_engine_fault();
  }

  if (forked) {
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

// ---------------------------------------------------------------- the process-wide pool

namespace {

// A copy of `message` that lives as long as the process, or
// kCreationOutOfMemory when there is no memory for it.
const char* keep_failure(const std::string& message) noexcept {
  char* kept = new (std::nothrow) char[message.size() + 1];
  if (kept == nullptr) {
    return kCreationOutOfMemory;
  }
  message.copy(kept, message.size());
  kept[message.size()] = '\0';
  return kept;
}

// Builds the process-wide pool, under g_guard.  Null on success, else why it
// failed.
const char* create_global_pool() noexcept {
  if (!g_atfork_registered) {
    if (const int error = pthread_atfork(nullptr, nullptr, &forget_pool_in_child); error != 0) {
      // No pool without the handler that lets a forked child build its own;
      // only a lack of memory makes the registration fail.
      return kCreationOutOfMemory;
    }
    g_atfork_registered = true;
  }
  try {
    const std::size_t threads = pool_size_from_environment();
    g_pool.store(Pool::create(threads, g_spawn.load(std::memory_order_acquire)).release(),
                 std::memory_order_release);
    return nullptr;
  } catch (const Fault& fault) {
    return keep_failure(fault.message());
  } catch (const std::bad_alloc&) {
    return kCreationOutOfMemory;
  } catch (const std::exception& error) {
    try {
      return keep_failure(std::string(kCreationFailed) + " " + error.what());
    } catch (const std::bad_alloc&) {
      return kCreationOutOfMemory;
    }
  }
}

}  // namespace

Pool& global_pool() {
  int state = g_state.load(std::memory_order_acquire);
  if (state == kNoPool) {
    GuardLock lock(g_guard);
    state = g_state.load(std::memory_order_acquire);
    if (state == kNoPool) {
      g_failure = create_global_pool();
      state = g_failure == nullptr ? kPoolReady : kPoolFailed;
      g_state.store(state, std::memory_order_release);
    }
  }
  if (state == kPoolReady) {
    return *g_pool.load(std::memory_order_acquire);
  }
  // Every call that needs the pool faults here, on its own thread, and is
  // reported like any other fault.
  raise_fault(g_failure);
}

void set_global_spawn_for_testing(SpawnFn spawn) noexcept {
  g_spawn.store(spawn, std::memory_order_release);
}

const std::atomic<bool>* leaf_cancel_flag() noexcept {
  return tls_cancel_flag;
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

ScopedWaitHook::ScopedWaitHook(const WaitHook* hook) noexcept : previous_(detail::tls_hook) {
  detail::tls_hook = hook;
}

ScopedWaitHook::~ScopedWaitHook() {
  detail::tls_hook = previous_;
}

std::size_t pool_size() {
  if (detail::Worker* worker = detail::tls_worker) {
    return worker->pool->size();
  }
  return detail::global_pool().size();
}

bool cancel_requested() noexcept {
  const std::atomic<bool>* flag = detail::leaf_cancel_flag();
  return flag != nullptr && flag->load(std::memory_order_relaxed);
}

void check_cancellation() {
  if (cancel_requested()) {
    throw Cancelled();
  }
  if (const WaitHook* hook = detail::tls_hook) {
    bool stop = false;
    {
      const ScopedWaitHook hidden(nullptr);
      stop = hook->poll(hook->context);
    }
    if (stop) {
      throw Cancelled();
    }
  }
}

void for_each_piece(std::size_t n, RangeFn leaf, ChildRerun rerun) {
  detail::run_map(nullptr, n, leaf, nullptr, rerun);
}

}  // namespace vyr::parallel
