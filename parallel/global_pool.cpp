// The process-wide pool: built on first use, rebuilt in a child after fork.
#include <pthread.h>

#include <new>
#include <string>

#include "core/fault.hpp"
#include "parallel/fatal.hpp"
#include "parallel/pool.hpp"
#include "parallel/sizing.hpp"
#include "parallel/testing.hpp"

namespace vyr::parallel::detail {

namespace {

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

// See fork_generation().
std::atomic<std::uint64_t> g_fork_generation{0};

void forget_pool_in_child() noexcept {
  // Only the forking thread exists here.  The parent's pool, its queues and
  // its locks are left alone (possibly mid-operation in a thread that no
  // longer exists) and leaked.
  pthread_mutex_init(&g_guard, nullptr);
  g_pool.store(nullptr, std::memory_order_relaxed);
  g_failure = nullptr;
  g_state.store(kNoPool, std::memory_order_release);
  set_current_worker(nullptr);
  g_fork_generation.fetch_add(1, std::memory_order_relaxed);
}

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

std::uint64_t fork_generation() noexcept {
  return g_fork_generation.load(std::memory_order_relaxed);
}

}  // namespace vyr::parallel::detail

namespace vyr::parallel {

std::size_t pool_size() {
  if (detail::Worker* worker = detail::current_worker()) {
    return worker->pool->size();
  }
  return detail::global_pool().size();
}

}  // namespace vyr::parallel
