// The wait hook: a caller that polls while it waits can cancel its map; the
// map then starts nothing new, destroys what it made and throws Cancelled
// only once no worker touches the caller's data.  Also a map started from
// inside the hook on the same thread, which needs a wait state of its own.
// No test assumes that a map outlasts the poll interval: elements that must
// still be running when the caller polls wait for that poll.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "check.hpp"
#include "parallel/engine.hpp"
#include "parallel/pool.hpp"

namespace par = vyr::parallel;
namespace detail = vyr::parallel::detail;
using Clock = std::chrono::steady_clock;

namespace {

std::atomic<long> g_live{0};
struct Tracked {
  explicit Tracked(long v) : value(v) { g_live.fetch_add(1); }
  Tracked(Tracked&& other) noexcept : value(other.value) { g_live.fetch_add(1); }
  ~Tracked() { g_live.fetch_sub(1); }
  long value;
};

struct PollState {
  std::atomic<int> polls{0};
  int cancel_at = 0;  // 0: never
  std::vector<Clock::time_point> times;
};

bool poll_counting(void* context) {
  auto* state = static_cast<PollState*>(context);
  state->times.push_back(Clock::now());
  const int polls = state->polls.fetch_add(1) + 1;
  return state->cancel_at != 0 && polls >= state->cancel_at;
}

void slow_element() {
  std::this_thread::sleep_for(std::chrono::microseconds(500));
}

// Sleeps until `ready()`, for ten seconds at the most.
template <class Ready>
void wait_until(Ready ready) {
  for (int i = 0; i < 20000 && !ready(); ++i) {
    slow_element();
  }
}

// Maps n slow elements that wait for the caller to cancel, counting them in
// `computed` and running `first()` at the start of each; whether the map threw
// Cancelled.
template <class First>
bool cancelled_map(detail::Pool* pool, std::vector<Tracked>& out, std::size_t n,
                   std::atomic<long>& computed, First first) {
  try {
    detail::indexed_map_on(pool, out, n, [&](std::size_t i) {
      first();
      wait_until(par::cancel_requested);
      slow_element();
      computed.fetch_add(1);
      return Tracked(static_cast<long>(i));
    });
  } catch (const par::Cancelled&) {
    return true;
  }
  return false;
}

void cancel_stops_the_map() {
  auto pool = detail::Pool::create(2);
  PollState state;
  state.cancel_at = 3;
  const par::WaitHook hook{&poll_counting, &state};
  par::ScopedWaitHook scope(&hook);

  std::vector<Tracked> out;
  out.emplace_back(-1);
  std::atomic<long> computed{0};
  const std::size_t n = 4000;
  CHECK(cancelled_map(pool.get(), out, n, computed, [] {}));
  CHECK(state.polls.load() == 3);  // no polling once cancelled
  CHECK(computed.load() < static_cast<long>(n) / 2);
  CHECK(out.size() == 1 && out[0].value == -1);
  out.clear();
  CHECK(g_live.load() == 0);

  // The pool is fine afterwards and an uncancelled map behaves as before.
  state.cancel_at = 0;
  std::vector<long> plain;
  detail::indexed_map_on(pool.get(), plain, 10000,
                         [](std::size_t i) { return static_cast<long>(i) * 2; });
  bool same = plain.size() == 10000;
  for (std::size_t i = 0; same && i < 10000; ++i) {
    same = plain[i] == static_cast<long>(i) * 2;
  }
  CHECK(same);
}

void started_pieces_finish() {
  // Every piece that started runs to its end; pieces that had not started
  // never run.  Nothing of the caller's is touched after the throw.  The
  // caller cancels at its first poll after a piece has started.
  auto pool = detail::Pool::create(2);
  std::atomic<int> pieces_started{0};
  const par::WaitHook hook{
      [](void* started) { return static_cast<std::atomic<int>*>(started)->load() > 0; },
      &pieces_started};
  par::ScopedWaitHook scope(&hook);
  std::mutex mutex;
  std::vector<std::pair<std::size_t, std::size_t>> started, finished;
  std::atomic<bool> returned{false};
  std::atomic<int> touched_after{0};
  auto leaf = [&](std::size_t begin, std::size_t end) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      started.emplace_back(begin, end);
    }
    pieces_started.fetch_add(1);
    wait_until(par::cancel_requested);
    for (std::size_t i = begin; i < end; ++i) {
      slow_element();
    }
    if (returned.load()) {
      touched_after.fetch_add(1);
    }
    std::lock_guard<std::mutex> lock(mutex);
    finished.emplace_back(begin, end);
  };
  bool cancelled = false;
  try {
    detail::run_map(pool.get(), 2000, par::RangeFn(leaf), nullptr);
  } catch (const par::Cancelled&) {
    cancelled = true;
  }
  returned.store(true);
  CHECK(cancelled);
  {
    std::lock_guard<std::mutex> lock(mutex);
    CHECK(!started.empty());
    CHECK(started.size() == finished.size());
    std::size_t covered = 0;
    for (auto [begin, end] : started) {
      covered += end - begin;
    }
    CHECK(covered < 2000);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  CHECK(touched_after.load() == 0);
}

void polling_rhythm() {
  // An uncancelled map with a hook gives the same results, polling every
  // 5 to 20 ms while it waits.
  auto pool = detail::Pool::create(2);
  PollState state;
  const par::WaitHook hook{&poll_counting, &state};
  std::vector<long> out;
  const auto start = Clock::now();
  {
    par::ScopedWaitHook scope(&hook);
    detail::indexed_map_on(pool.get(), out, 600, [&state](std::size_t i) {
      wait_until([&state] { return state.polls.load() >= 3; });
      slow_element();
      return static_cast<long>(i) + 1;
    });
  }
  bool same = out.size() == 600;
  for (std::size_t i = 0; same && i < 600; ++i) {
    same = out[i] == static_cast<long>(i) + 1;
  }
  CHECK(same);
  const int polls = state.polls.load();
  CHECK_MSG(polls >= 3, std::to_string(polls) + " polls");
  if (polls >= 3) {
    // The median gap: a few late wake-ups on a busy machine do not move it.
    std::vector<double> gaps;
    auto previous = start;
    for (const auto time : state.times) {
      gaps.push_back(std::chrono::duration<double>(time - previous).count());
      previous = time;
    }
    std::sort(gaps.begin(), gaps.end());
    const double median = gaps[gaps.size() / 2];
    CHECK_MSG(median >= 0.005 && median <= 0.030, std::to_string(median * 1000) + " ms per poll");
  }

  // The scope restored "no hook": no more polls.
  const int before = state.polls.load();
  out.clear();
  detail::indexed_map_on(pool.get(), out, 200, [](std::size_t i) {
    slow_element();
    return static_cast<long>(i);
  });
  CHECK(state.polls.load() == before);

  // Maps that finish sooner than the poll interval never poll.
  par::ScopedWaitHook scope(&hook);
  int early_polls = 0;
  for (int k = 0; k < 100; ++k) {
    out.clear();
    const int polls = state.polls.load();
    const auto map_start = Clock::now();
    detail::indexed_map_on(pool.get(), out, 64, [](std::size_t i) { return static_cast<long>(i); });
    const auto took = Clock::now() - map_start;
    early_polls += state.polls.load() != polls && took < std::chrono::milliseconds(9);
  }
  CHECK(early_polls == 0);
}

bool poll_throwing(void*) {
  throw std::runtime_error("interrupted");
}

void throwing_poll() {
  auto pool = detail::Pool::create(2);
  const par::WaitHook hook{&poll_throwing, nullptr};
  par::ScopedWaitHook scope(&hook);
  std::vector<Tracked> out;
  std::string message;
  try {
    detail::indexed_map_on(pool.get(), out, 3000, [](std::size_t i) {
      wait_until(par::cancel_requested);
      slow_element();
      return Tracked(static_cast<long>(i));
    });
  } catch (const std::runtime_error& error) {
    message = error.what();
  }
  CHECK(message == "interrupted");
  CHECK(out.empty());
  CHECK(g_live.load() == 0);
}

// A hook that starts a map of its own, on the same thread, while the outer
// map is still being waited for -- as a signal handler run from the poll
// might.
struct Reentrant {
  detail::Pool* pool;
  std::atomic<int> hooks_started{0};
  int depth = 0;
  int nested_ok = 0;
  int nested_runs = 0;
};

bool poll_with_nested_map(void* context) {
  auto* state = static_cast<Reentrant*>(context);
  if (state->depth > 0) {
    return false;
  }
  state->hooks_started.fetch_add(1);
  ++state->depth;
  std::vector<long> inner;
  detail::indexed_map_on(state->pool, inner, 300, [](std::size_t i) {
    slow_element();
    return static_cast<long>(i) * 7;
  });
  bool ok = inner.size() == 300;
  for (std::size_t i = 0; ok && i < 300; ++i) {
    ok = inner[i] == static_cast<long>(i) * 7;
  }
  ++state->nested_runs;
  state->nested_ok += ok;
  --state->depth;
  return false;
}

void nested_map_from_the_hook() {
  for (std::size_t threads : {1, 2}) {
    auto pool = detail::Pool::create(threads);
    Reentrant state{pool.get()};
    const par::WaitHook hook{&poll_with_nested_map, &state};
    par::ScopedWaitHook scope(&hook);
    std::vector<long> out;
    detail::indexed_map_on(pool.get(), out, 1000, [&state](std::size_t i) {
      wait_until([&state] { return state.hooks_started.load() > 0; });
      slow_element();
      return static_cast<long>(i) + 5;
    });
    bool same = out.size() == 1000;
    for (std::size_t i = 0; same && i < 1000; ++i) {
      same = out[i] == static_cast<long>(i) + 5;
    }
    CHECK(same);
    CHECK(state.nested_runs >= 1);
    CHECK(state.nested_ok == state.nested_runs);
  }
}

void long_leaves_stop_between_elements() {
  // A leaf whose elements check the flag stops at the next element once the
  // caller has asked, instead of running to its end: a single worker gets
  // eight leaves of 25 slow elements, and the caller asks at its first poll.
  auto pool = detail::Pool::create(1);
  struct CancelTime {
    std::atomic<bool> asked{false};
    Clock::time_point when;
  } cancel;
  const par::WaitHook hook{[](void* context) {
                             auto* state = static_cast<CancelTime*>(context);
                             state->when = Clock::now();
                             state->asked.store(true, std::memory_order_release);
                             return true;
                           },
                           &cancel};
  par::ScopedWaitHook scope(&hook);
  std::atomic<int> started_after_ask{0};
  std::atomic<long> computed{0};
  std::vector<Tracked> out;
  CHECK(cancelled_map(pool.get(), out, 200, computed, [&] {
    if (cancel.asked.load(std::memory_order_acquire)) {
      started_after_ask.fetch_add(1);
    }
  }));
  // The flag is stored just after the hook returns, so one element may slip in.
  CHECK(started_after_ask.load() <= 1);
  CHECK(computed.load() < 200);
  CHECK(out.empty());
  CHECK(g_live.load() == 0);
  CHECK(!par::cancel_requested());  // outside any leaf
}

void work_on_the_calling_thread_polls_its_hook() {
  // A map of one element runs on the calling thread, which then waits for
  // nobody: check_cancellation polls its hook there and stops the element
  // when the hook asks.  A check made from inside the hook polls nothing.
  int polls = 0;
  const par::WaitHook hook{[](void* context) {
                             par::check_cancellation();  // must not come back here
                             return ++*static_cast<int*>(context) == 3;
                           },
                           &polls};
  const par::ScopedWaitHook scope(&hook);
  long steps = 0;
  std::vector<long> out;
  try {
    par::indexed_map(out, 1, [&](std::size_t) {
      for (; steps < 1000; ++steps) {
        par::check_cancellation();
      }
      return steps;
    });
  } catch (const par::Cancelled&) {
  }
  CHECK(steps == 2 && polls == 3 && out.empty());
}

}  // namespace

int main() {
  using engine_test::group;
  group("cancel stops the map", cancel_stops_the_map);
  group("started pieces finish, then the map throws", started_pieces_finish);
  group("polling rhythm and no polling without a hook", polling_rhythm);
  group("a throwing poll cancels too", throwing_poll);
  group("a map started from the hook on the same thread", nested_map_from_the_hook);
  group("long leaves stop between elements", long_leaves_stop_between_elements);
  group("work on the calling thread polls its hook", work_on_the_calling_thread_polls_its_hook);
  return engine_test::summary("engine_cancel");
}
