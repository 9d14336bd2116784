// Building pools: nothing starts before the first use, the first map builds
// the pool even when empty, concurrent first callers share one pool, workers
// get 2 MiB stacks, a failed start is reported on every call, and a platform
// without threads falls back to running maps on the caller.
//
// Everything about the process-wide pool runs in child processes, each with a
// process-wide pool of its own.
#include <dirent.h>
#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "check.hpp"
#include "parallel/engine.hpp"
#include "parallel/pool.hpp"
#include "parallel/testing.hpp"

// Every C++ allocation of this program goes through here, so that a test can
// make the n-th one from a given moment fail.
namespace {
std::atomic<long> g_allocations_until_failure{0};  // 0: none fails
std::atomic<bool> g_allocation_failed{false};

void* allocate(std::size_t size, std::size_t alignment) {
  if (g_allocations_until_failure.load(std::memory_order_relaxed) > 0 &&
      g_allocations_until_failure.fetch_sub(1, std::memory_order_relaxed) == 1) {
    g_allocation_failed.store(true, std::memory_order_relaxed);
    throw std::bad_alloc();
  }
  const std::size_t rounded = (size + alignment - 1) / alignment * alignment;
  void* memory = alignment <= alignof(std::max_align_t) ? std::malloc(size == 0 ? 1 : size)
                                                        : std::aligned_alloc(alignment, rounded);
  if (memory == nullptr) {
    throw std::bad_alloc();
  }
  return memory;
}
}  // namespace

void* operator new(std::size_t size) {
  return allocate(size, 1);
}
void* operator new(std::size_t size, std::align_val_t alignment) {
  return allocate(size, static_cast<std::size_t>(alignment));
}
void operator delete(void* memory) noexcept {
  std::free(memory);
}
void operator delete(void* memory, std::size_t) noexcept {
  std::free(memory);
}
void operator delete(void* memory, std::align_val_t) noexcept {
  std::free(memory);
}
void operator delete(void* memory, std::size_t, std::align_val_t) noexcept {
  std::free(memory);
}

namespace par = vyr::parallel;
namespace detail = vyr::parallel::detail;

namespace {

const char kPrefix[] = "The global thread pool has not been initialized.";

int thread_count() {
  int count = 0;
  if (DIR* dir = opendir("/proc/self/task")) {
    while (dirent* entry = readdir(dir)) {
      count += entry->d_name[0] != '.';
    }
    closedir(dir);
  }
  return count;
}

// Thread counts only mean something without the thread sanitizer, which
// starts helper threads of its own, in children too.
constexpr bool kCountThreads = !engine_test::kThreadSanitizer;

// Waits (up to 10 s) for `pool` to have `expected` workers running.
bool workers_started(const detail::Pool& pool, std::size_t expected) {
  for (int i = 0; i < 2000; ++i) {
    if (detail::started_workers(pool) == expected) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

// Waits (up to 10 s) for the process to have `expected` threads.
bool settles_at(int expected) {
  if (!kCountThreads) {
    return true;
  }
  for (int i = 0; i < 2000; ++i) {
    if (thread_count() == expected) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

std::atomic<int> g_spawn_calls{0};
std::atomic<int> g_fail_at{0};
std::atomic<int> g_fail_error{0};

int failing_spawn(pthread_t* thread, const pthread_attr_t* attributes, void* (*start)(void*),
                  void* argument) {
  if (g_spawn_calls.fetch_add(1) + 1 == g_fail_at.load()) {
    return g_fail_error.load();
  }
  return pthread_create(thread, attributes, start, argument);
}

// failing_spawn fails its `at`-th call from now on with `error`.
void fail_spawn(int at, int error) {
  g_spawn_calls.store(0);
  g_fail_at.store(at);
  g_fail_error.store(error);
}

bool starts_with(const std::string& text, const char* prefix) {
  return text.compare(0, std::strlen(prefix), prefix) == 0;
}

void lazy_creation() {
  // A fresh process has no engine threads, an empty map starts them.
  engine_test::expect_child(__func__, [] {
    alarm(20);
    setenv("VYR_NUM_THREADS", "3", 1);
    if (kCountThreads && thread_count() != 1) {
      return 1;
    }
    auto leaf = [](std::size_t, std::size_t) {};
    par::for_each_piece(0, par::RangeFn(leaf));
    if (!settles_at(4) || !workers_started(detail::global_pool(), 3)) {
      return 2;
    }
    std::vector<int> out;
    par::indexed_map(out, 0, [](std::size_t) { return 1; });
    if (!out.empty() || !settles_at(4)) {
      return 3;
    }
    return 0;
  });
  // Same through indexed_map and through the size query.
  engine_test::expect_child(__func__, [] {
    alarm(20);
    setenv("VYR_NUM_THREADS", "2", 1);
    std::vector<int> out;
    par::indexed_map(out, 0, [](std::size_t) { return 1; });
    return settles_at(3) ? 0 : 1;
  });
  engine_test::expect_child(__func__, [] {
    alarm(20);
    setenv("VYR_NUM_THREADS", "2", 1);
    return par::pool_size() == 2 && settles_at(3) ? 0 : 1;
  });
}

void concurrent_first_callers() {
  engine_test::expect_child(__func__, [] {
    alarm(20);
    setenv("VYR_NUM_THREADS", "3", 1);
    std::atomic<bool> go{false};
    std::atomic<int> wrong{0};
    std::vector<std::thread> callers;
    for (int i = 0; i < 8; ++i) {
      callers.emplace_back([&, i] {
        while (!go.load()) {
        }
        std::vector<std::size_t> out;
        par::indexed_map(out, static_cast<std::size_t>(i * 50), [](std::size_t k) { return k; });
        if (par::pool_size() != 3 || out.size() != static_cast<std::size_t>(i * 50)) {
          wrong.fetch_add(1);
        }
      });
    }
    go.store(true);
    for (auto& caller : callers) {
      caller.join();
    }
    if (wrong.load() != 0) {
      return 1;
    }
    // One pool of three, not eight.
    return settles_at(4) && workers_started(detail::global_pool(), 3) ? 0 : 2;
  });
}

void worker_stacks() {
  auto pool = detail::Pool::create(2);
  std::atomic<std::size_t> smallest{SIZE_MAX}, largest{0};
  std::vector<int> out;
  detail::indexed_map_on(pool.get(), out, 64, [&](std::size_t) {
    pthread_attr_t attributes;
    std::size_t size = 0;
    if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
      pthread_attr_getstacksize(&attributes, &size);
      pthread_attr_destroy(&attributes);
    }
    std::size_t seen = smallest.load();
    while (size < seen && !smallest.compare_exchange_weak(seen, size)) {
    }
    seen = largest.load();
    while (size > seen && !largest.compare_exchange_weak(seen, size)) {
    }
    return 0;
  });
  CHECK(smallest.load() == largest.load());
  CHECK(smallest.load() >= (std::size_t{2} << 20) &&
        smallest.load() < (std::size_t{2} << 20) + 65536);
}

void failed_start_is_permanent() {
  // The second thread of four fails: the one started is stopped again, and
  // every call that needs the pool fails with the same fault.
  engine_test::expect_child(__func__, [] {
    alarm(20);
    setenv("VYR_NUM_THREADS", "4", 1);
    fail_spawn(2, EAGAIN);
    detail::set_global_spawn_for_testing(&failing_spawn);
    std::string first;
    try {
      par::pool_size();
      return 1;
    } catch (const vyr::Fault& fault) {
      first = fault.message();
    }
    if (!starts_with(first, kPrefix) || first.size() <= sizeof kPrefix) {
      return 2;
    }
    if (!settles_at(1)) {
      return 3;
    }
    // Retrying would succeed now, but the guard is spent.
    detail::set_global_spawn_for_testing(nullptr);
    const int calls = g_spawn_calls.load();
    for (int attempt = 0; attempt < 3; ++attempt) {
      try {
        std::vector<int> out;
        par::indexed_map(out, attempt * 10, [](std::size_t) { return 0; });
        return 4;
      } catch (const vyr::Fault& fault) {
        if (fault.message() != first) {
          return 5;
        }
      }
      try {
        auto leaf = [](std::size_t, std::size_t) {};
        par::for_each_piece(1, par::RangeFn(leaf));
        return 6;
      } catch (const vyr::Fault& fault) {
        if (fault.message() != first) {
          return 7;
        }
      }
    }
    return g_spawn_calls.load() == calls ? 0 : 8;
  });

  // The same on a private pool, from the test process itself.
  fail_spawn(3, EAGAIN);
  const int before = thread_count();
  bool failed = false;
  try {
    detail::Pool::create(5, &failing_spawn);
  } catch (const vyr::Fault& fault) {
    failed = starts_with(fault.message(), kPrefix) &&
             fault.message().find("thread 3 of 5") != std::string::npos;
  }
  CHECK(failed);
  CHECK(settles_at(before));
}

void allocation_failure_while_creating() {
  // The n-th allocation of the first map fails, for every n until the map no
  // longer needs that many: creation fails like any other failed creation,
  // for good, or (when the failing allocation is not the pool's) succeeds.
  // Never does the process end.
  bool every_allocation_tried = false;
  for (long n = 1; n <= 400 && !every_allocation_tried; ++n) {
    const int status = engine_test::in_child([n] {
      alarm(20);
      setenv("VYR_NUM_THREADS", "3", 1);
      std::vector<int> out;
      out.reserve(8);
      g_allocations_until_failure.store(n);
      std::string failure;
      try {
        par::indexed_map(out, 8, [](std::size_t k) { return static_cast<int>(k); });
      } catch (const vyr::Fault& fault) {
        failure = fault.message();
      } catch (const std::bad_alloc&) {
        failure = "bad_alloc";
      }
      g_allocations_until_failure.store(0);
      if (!g_allocation_failed.load()) {
        return out.size() == 8 && out[7] == 7 ? 10 : 1;
      }
      if (failure.empty()) {
        return out.size() == 8 && out[7] == 7 && par::pool_size() == 3 ? 0 : 2;
      }
      if (!starts_with(failure, kPrefix)) {
        return 3;
      }
      // Spent: a later map fails the same way, even with memory to spare.
      try {
        par::indexed_map(out, 8, [](std::size_t k) { return static_cast<int>(k); });
        return 4;
      } catch (const vyr::Fault& fault) {
        return fault.message() == failure && out.empty() ? 0 : 5;
      }
    });
    every_allocation_tried = status == 10;
    CHECK_MSG(status == 0 || status == 10,
              "allocation " + std::to_string(n) + ": child exited with " + std::to_string(status));
  }
  CHECK(every_allocation_tried);
}

void platform_without_threads() {
  // ENOSYS and EOPNOTSUPP: the caller becomes the only worker.
  for (int error : {ENOSYS, EOPNOTSUPP}) {
    engine_test::expect_child(__func__, [error] {
      alarm(20);
      setenv("VYR_NUM_THREADS", "4", 1);
      fail_spawn(1, error);
      detail::set_global_spawn_for_testing(&failing_spawn);
      if (par::pool_size() != 1) {
        return 1;
      }
      if (kCountThreads && thread_count() != 1) {
        return 2;
      }
      const auto self = std::this_thread::get_id();
      std::atomic<int> elsewhere{0};
      std::vector<std::size_t> out;
      par::indexed_map(out, 1000, [&](std::size_t k) {
        if (std::this_thread::get_id() != self) {
          elsewhere.fetch_add(1);
        }
        return k * 3;
      });
      for (std::size_t k = 0; k < 1000; ++k) {
        if (out[k] != k * 3) {
          return 3;
        }
      }
      if (elsewhere.load() != 0) {
        return 4;
      }
      // Another thread has no worker to hand its map to: it runs its
      // map itself instead of waiting forever.
      int other = 0;
      std::thread([&] {
        std::vector<std::size_t> mine;
        try {
          par::indexed_map(mine, 500, [](std::size_t k) { return k + 1; });
          bool ok = mine.size() == 500;
          for (std::size_t k = 0; ok && k < 500; ++k) {
            ok = mine[k] == k + 1;
          }
          other = ok ? 1 : 2;
          par::indexed_map(mine, 300, [](std::size_t k) -> std::size_t {
            if (k == 250 || k == 120) {
              throw static_cast<int>(k);
            }
            return k;
          });
          other = 3;
        } catch (int k) {
          if (other == 1 && k == 120 && mine.size() == 500) {
            other = 10;
          }
        }
      }).join();
      return other == 10 ? 0 : 5;
    });
  }
  // A private pool built on a thread outside every pool.
  fail_spawn(1, ENOSYS);
  std::thread([] {
    auto pool = detail::Pool::create(3, &failing_spawn);
    CHECK(pool->size() == 1 && pool->threadless());
    CHECK(par::pool_size() == 1);  // the creating thread is now its worker
    std::vector<int> out;
    detail::indexed_map_on(pool.get(), out, 100, [](std::size_t k) { return static_cast<int>(k); });
    CHECK(out.size() == 100 && out[99] == 99);
  }).join();
}

}  // namespace

int main() {
  using engine_test::group;
  group("pool created lazily, also by empty maps", lazy_creation);
  group("concurrent first callers share one pool", concurrent_first_callers);
  group("worker stacks of 2 MiB", worker_stacks);
  group("failed start is reported on every call", failed_start_is_permanent);
  group("allocation failure while creating", allocation_failure_while_creating);
  group("platform without threads", platform_without_threads);
  return engine_test::summary("engine_create");
}
