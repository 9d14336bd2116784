// A process forked after the pool exists inherits the pool's record but none
// of its threads.  The child must build a pool of its own on first use --
// also a grandchild, also a child forked from inside an element function on a
// worker, also while other threads of the parent are mid-map -- and the
// parent's pool must keep working.  A child forked by the wait hook of a
// caller whose map is in flight finishes that map itself, unless the map
// forbids it (an update in place), and then it throws ForkedDuringMap.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "check.hpp"
#include "parallel/engine.hpp"
#include "parallel/testing.hpp"

namespace par = vyr::parallel;

namespace {

using engine_test::mix;

// A map whose result is checked against a serial loop; true when right.
bool map_is_right(std::size_t n, std::uint64_t salt) {
  std::vector<std::uint64_t> out;
  par::indexed_map(out, n, [salt](std::size_t i) { return mix(i + salt); });
  if (out.size() != n) {
    return false;
  }
  for (std::size_t i = 0; i < n; ++i) {
    if (out[i] != mix(i + salt)) {
      return false;
    }
  }
  return true;
}

void child_and_grandchild() {
  const std::size_t parent_size = par::pool_size();
  CHECK(map_is_right(10000, 1));
  engine_test::expect_child("child", [parent_size] {
    alarm(20);
    if (par::pool_size() != parent_size) {
      return 1;
    }
    if (!map_is_right(10000, 2)) {
      return 2;
    }
    // A grandchild of a process whose pool was itself rebuilt after a fork.
    const int grandchild = engine_test::in_child([parent_size] {
      alarm(20);
      if (par::pool_size() != parent_size) {
        return 1;
      }
      return map_is_right(20000, 3) ? 0 : 2;
    });
    if (grandchild != 0) {
      return 10 + grandchild;
    }
    return map_is_right(5000, 4) ? 0 : 3;
  });
  CHECK(map_is_right(10000, 5));
  // A child that forks before using its inherited pool at all.
  engine_test::expect_child("child forking at once", [] {
    alarm(20);
    const int grandchild = engine_test::in_child([] { return map_is_right(3000, 6) ? 0 : 1; });
    return grandchild == 0 && map_is_right(3000, 7) ? 0 : 1;
  });
  CHECK(map_is_right(10000, 8));
}

void fork_from_a_worker() {
  // The element function forks: the child's only thread was a worker of the
  // parent's pool and is an ordinary outside thread in the child.
  std::atomic<int> child_status{-1};
  std::vector<int> out;
  par::indexed_map(out, 64, [&](std::size_t i) {
    if (i == 40) {
      child_status.store(engine_test::in_child([] {
        alarm(20);
        return map_is_right(4000, 9) ? 0 : 1;
      }));
    }
    return static_cast<int>(i);
  });
  CHECK(child_status.load() == 0);
  CHECK(out.size() == 64 && out[63] == 63);
  CHECK(map_is_right(10000, 10));
}

void fork_while_maps_run() {
  // Other threads keep handing maps to the parent's pool while children are
  // forked; neither side may hang or go wrong.
  std::atomic<bool> stop{false};
  std::atomic<int> wrong{0};
  std::vector<std::thread> busy;
  for (int t = 0; t < 2; ++t) {
    busy.emplace_back([&, t] {
      std::uint64_t salt = static_cast<std::uint64_t>(t) << 40;
      while (!stop.load()) {
        if (!map_is_right(2000, salt++)) {
          wrong.fetch_add(1);
        }
      }
    });
  }
  int failed_children = 0;
  for (int k = 0; k < 10; ++k) {
    const int status = engine_test::in_child([k] {
      alarm(20);
      return map_is_right(3000 + static_cast<std::size_t>(k), 11) ? 0 : 1;
    });
    failed_children += status != 0;
  }
  stop.store(true);
  for (auto& thread : busy) {
    thread.join();
  }
  CHECK(failed_children == 0);
  CHECK(wrong.load() == 0);
  CHECK(map_is_right(10000, 12));
}

// The wait hook's polls in this process, set back to 0 in the child it forks.
std::atomic<int> g_polls_here{0};
struct ForkingHook {
  pid_t child = -1;
  bool is_child = false;
};

bool poll_and_fork_once(void* context) {
  auto* hook = static_cast<ForkingHook*>(context);
  g_polls_here.fetch_add(1);
  if (hook->child == -1 && !hook->is_child) {
    std::fflush(nullptr);
    hook->child = fork();
    if (hook->child == 0) {
      alarm(20);
      hook->is_child = true;
      g_polls_here.store(0);
    }
  }
  return false;
}

void fork_from_the_wait_hook() {
  // The hook forks at its first poll, with the map in flight.  The child, where
  // no worker of the parent's pool lives on, finishes the map itself: the same
  // results (which own memory here), polling its hook as it goes.  Element 0
  // waits (up to 10 s) until the caller in its own process has polled.
  ForkingHook state;
  const par::WaitHook hook{&poll_and_fork_once, &state};
  std::vector<std::vector<std::uint64_t>> out;
  {
    const par::ScopedWaitHook scope(&hook);
    par::indexed_map(out, 3000, [](std::size_t i) {
      for (int k = 0; i == 0 && k < 10000 && g_polls_here.load() == 0; ++k) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      return std::vector<std::uint64_t>(3, mix(i));
    });
  }
  bool right = out.size() == 3000;
  for (std::size_t i = 0; right && i < 3000; ++i) {
    right = out[i] == std::vector<std::uint64_t>(3, mix(i));
  }
  if (state.is_child) {
    std::fflush(nullptr);
    _exit(right && g_polls_here.load() > 0 && map_is_right(5000, 13) ? 0 : 1);
  }
  CHECK(right && state.child > 0);
  int status = 0;
  while (waitpid(state.child, &status, 0) < 0) {
  }
  CHECK(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// What a child forked by the wait hook makes of a map that updates its data
// in place, as its exit status says.
enum ChildOutcome : int {
  kForkedDuringMap = 0,
  kCancelled = 1,
  kFinished = 2,  // and every element applied at least once
  kWrong = 3,     // finished with an element never applied, or another fault
  kPoolBroken = 4,
};

struct ForkingCancelHook : ForkingHook {
  bool cancel_in_child = false;
};

bool poll_fork_and_maybe_cancel(void* context) {
  auto* hook = static_cast<ForkingCancelHook*>(context);
  poll_and_fork_once(context);
  return hook->is_child && hook->cancel_in_child;
}

// Adds 1 to each of n counters with for_each_piece while the hook forks at its
// first poll; element 0 holds the map (up to 10 s) until that poll.  Returns
// the child's outcome; the parent's counters must each be 1.
int forking_update_in_place(par::ChildRerun rerun, bool cancel_in_child) {
  constexpr std::size_t n = 3000;
  std::vector<int> counts(n, 0);
  auto leaf = [&counts](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
      for (int k = 0; i == 0 && k < 10000 && g_polls_here.load() == 0; ++k) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      counts[i] += 1;
    }
  };
  ForkingCancelHook state;
  state.cancel_in_child = cancel_in_child;
  g_polls_here.store(0);
  const par::WaitHook hook{&poll_fork_and_maybe_cancel, &state};
  int outcome = kFinished;
  try {
    const par::ScopedWaitHook scope(&hook);
    par::for_each_piece(n, par::RangeFn(leaf), rerun);
    for (std::size_t i = 0; i < n; ++i) {
      if (counts[i] < 1) {
        outcome = kWrong;
      }
    }
  } catch (const par::ForkedDuringMap& fault) {
    outcome =
        std::string(fault.what()).find("twice") != std::string::npos ? kForkedDuringMap : kWrong;
  } catch (const par::Cancelled&) {
    outcome = kCancelled;
  } catch (...) {
    outcome = kWrong;
  }
  if (state.is_child) {
    // The child's own pool still works after the map it could not finish.
    std::fflush(nullptr);
    _exit(map_is_right(5000, 14) ? outcome : kPoolBroken);
  }
  CHECK(outcome == kFinished && state.child > 0);
  CHECK(std::all_of(counts.begin(), counts.end(), [](int c) { return c == 1; }));
  int status = 0;
  while (waitpid(state.child, &status, 0) < 0) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void fork_during_an_update_in_place() {
  // Forbidden: the child must not apply again what the parent's workers had
  // applied before the fork; it throws instead.  A hook that asks to cancel
  // gets Cancelled as before.  Allowed: the child runs the map again.
  CHECK(forking_update_in_place(par::ChildRerun::kForbidden, false) == kForkedDuringMap);
  CHECK(forking_update_in_place(par::ChildRerun::kForbidden, true) == kCancelled);
  CHECK(forking_update_in_place(par::ChildRerun::kAllowed, false) == kFinished);
  CHECK(forking_update_in_place(par::ChildRerun::kAllowed, true) == kCancelled);
}

}  // namespace

int main() {
  using engine_test::group;
  group("child and grandchild get pools of their own", child_and_grandchild);
  group("fork from inside an element function", fork_from_a_worker);
  group("fork while other threads run maps", fork_while_maps_run);
  group("fork from the wait hook of a waiting caller", fork_from_the_wait_hook);
  group("fork from the wait hook during an update in place", fork_during_an_update_in_place);
  return engine_test::summary("engine_fork");
}
