// The indexed map and the split rule: results against a serial loop for many
// lengths and pool sizes, the pieces that the split produces, faults (lowest
// index wins, nothing left behind) and maps nested inside maps.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <mutex>
#include <random>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "check.hpp"
#include "parallel/engine.hpp"
#include "parallel/pool.hpp"
#include "parallel/testing.hpp"

namespace par = vyr::parallel;
namespace detail = vyr::parallel::detail;

namespace {

using engine_test::mix;

// A result type that counts the live instances, to see that every partial
// result is destroyed exactly once.
std::atomic<long> g_live{0};
struct Tracked {
  explicit Tracked(std::uint64_t v) : value(v) { g_live.fetch_add(1, std::memory_order_relaxed); }
  Tracked(Tracked&& other) noexcept : value(other.value) {
    g_live.fetch_add(1, std::memory_order_relaxed);
  }
  Tracked(const Tracked&) = delete;
  Tracked& operator=(const Tracked&) = delete;
  ~Tracked() { g_live.fetch_sub(1, std::memory_order_relaxed); }
  std::uint64_t value;
};

struct IndexFault {
  std::size_t index;
};

const std::vector<std::size_t>& lengths() {
  static const std::vector<std::size_t> all = [] {
    std::vector<std::size_t> v;
    for (std::size_t n = 0; n <= 70; ++n) {
      v.push_back(n);
    }
    for (std::size_t n : {127, 128, 129, 255, 256, 257, 999, 1000, 1001, 4096, 100000}) {
      v.push_back(n);
    }
    return v;
  }();
  return all;
}

// Each index must be visited exactly once, by pieces that are non-empty and
// lie inside [0, n); returns the pieces.
struct PieceLog {
  std::mutex mutex;
  std::vector<std::pair<std::size_t, std::size_t>> pieces;
  void add(std::size_t begin, std::size_t end) {
    std::lock_guard<std::mutex> lock(mutex);
    pieces.emplace_back(begin, end);
  }
  bool covers_exactly(std::size_t n) {
    std::sort(pieces.begin(), pieces.end());
    std::size_t next = 0;
    for (auto [begin, end] : pieces) {
      if (begin != next || end <= begin) {
        return false;
      }
      next = end;
    }
    return next == n;
  }
};

void matches_serial_loop(detail::Pool* pool, std::size_t threads) {
  for (std::size_t n : lengths()) {
    // Appending keeps what was already there.
    std::vector<std::uint64_t> out = {7, 8, 9};
    detail::indexed_map_on(pool, out, n, [](std::size_t i) { return mix(i); });
    bool same = out.size() == n + 3 && out[0] == 7 && out[1] == 8 && out[2] == 9;
    for (std::size_t i = 0; same && i < n; ++i) {
      same = out[3 + i] == mix(i);
    }
    CHECK_MSG(same, "T=" + std::to_string(threads) + " n=" + std::to_string(n));

    PieceLog log;
    auto leaf = [&](std::size_t begin, std::size_t end) { log.add(begin, end); };
    detail::run_map(pool, n, par::RangeFn(leaf), nullptr);
    CHECK_MSG(log.covers_exactly(n),
              "pieces, T=" + std::to_string(threads) + " n=" + std::to_string(n));
  }
}

void results_in_order() {
  for (std::size_t threads : {1, 2, 3, 4, 8}) {
    auto pool = detail::Pool::create(threads);
    CHECK(pool->size() == threads);
    matches_serial_loop(pool.get(), threads);
  }
  // The process-wide pool, through the public entry points.
  matches_serial_loop(nullptr, par::pool_size());
  std::vector<double> out;
  par::indexed_map(out, 5000, [](std::size_t i) { return std::sqrt(static_cast<double>(i)); });
  bool same = out.size() == 5000;
  for (std::size_t i = 0; same && i < 5000; ++i) {
    same = out[i] == std::sqrt(static_cast<double>(i));
  }
  CHECK(same);

  // Non-trivial results are moved into place and none leaks.
  {
    std::vector<Tracked> tracked;
    par::indexed_map(tracked, 3000, [](std::size_t i) { return Tracked(mix(i)); });
    CHECK(tracked.size() == 3000 && tracked[2999].value == mix(2999));
    CHECK(g_live.load() == 3000);
  }
  CHECK(g_live.load() == 0);
  std::vector<std::vector<double>> vectors;
  par::indexed_map(vectors, 777, [](std::size_t i) { return std::vector<double>(i % 9, 1.0 * i); });
  bool vectors_ok = vectors.size() == 777;
  for (std::size_t i = 0; vectors_ok && i < 777; ++i) {
    vectors_ok = vectors[i] == std::vector<double>(i % 9, 1.0 * i);
  }
  CHECK(vectors_ok);
}

void tiny_maps_stay_on_the_caller() {
  auto pool = detail::Pool::create(2);
  for (detail::Pool* p : {pool.get(), static_cast<detail::Pool*>(nullptr)}) {
    int calls = 0;
    std::vector<int> out;
    detail::indexed_map_on(p, out, 0, [&](std::size_t) { return ++calls; });
    CHECK(calls == 0 && out.empty());
    const auto caller = std::this_thread::get_id();
    std::thread::id ran_on;
    detail::indexed_map_on(p, out, 1, [&](std::size_t i) {
      ran_on = std::this_thread::get_id();
      return static_cast<int>(i) + 41;
    });
    CHECK(ran_on == caller);
    CHECK(out == std::vector<int>{41});
  }
  // Longer maps are handed to the workers: the caller computes nothing.
  const auto caller = std::this_thread::get_id();
  std::atomic<int> on_caller{0};
  std::vector<int> out;
  detail::indexed_map_on(pool.get(), out, 500, [&](std::size_t) {
    if (std::this_thread::get_id() == caller) {
      on_caller.fetch_add(1);
    }
    return 0;
  });
  CHECK(on_caller.load() == 0);
}

// Leaves of the split when nothing is stolen: the root is split on the
// caller, both its halves run migrated on the pool, everything below runs
// where it was forked.
std::size_t simulate_leaves(std::size_t n, std::size_t threads, std::size_t* longest = nullptr,
                            std::size_t* shortest = nullptr) {
  std::size_t leaves = 0;
  auto visit = [&](auto& self, std::size_t length, std::size_t budget, bool migrated,
                   bool root) -> void {
    if (!detail::split_budget(length, budget, migrated, threads)) {
      ++leaves;
      if (longest) {
        *longest = std::max(*longest, length);
      }
      if (shortest) {
        *shortest = std::min(*shortest, length);
      }
      return;
    }
    self(self, length / 2, budget, root, false);
    self(self, length - length / 2, budget, root, false);
  };
  visit(visit, n, threads, false, true);
  return leaves;
}

void split_rule() {
  // The rule itself.
  std::size_t budget = 8;
  CHECK(!detail::split_budget(1, budget, false, 8) && budget == 8);
  CHECK(!detail::split_budget(0, budget, true, 8) && budget == 8);
  CHECK(detail::split_budget(2, budget, false, 8) && budget == 4);
  budget = 0;
  CHECK(!detail::split_budget(100, budget, false, 8) && budget == 0);
  CHECK(detail::split_budget(100, budget, true, 8) && budget == 8);
  budget = 40;
  CHECK(detail::split_budget(100, budget, true, 8) && budget == 20);

  // The stated examples.
  std::size_t longest = 0, shortest = SIZE_MAX;
  CHECK(simulate_leaves(1000, 4, &longest, &shortest) == 32);
  CHECK(longest == 32 && shortest == 31);
  longest = 0;
  shortest = SIZE_MAX;
  CHECK(simulate_leaves(100, 1, &longest, &shortest) == 8);
  CHECK(longest == 13 && shortest == 12);

  // 2^(floor(log2 T) + 3) leaves for long inputs, for every T up to 300 and
  // some large ones.
  std::vector<std::size_t> sizes;
  for (std::size_t t = 1; t <= 300; ++t) {
    sizes.push_back(t);
  }
  for (std::size_t t : {511, 512, 513, 1000, 4095, 4096, 65535}) {
    sizes.push_back(t);
  }
  int wrong = 0;
  for (std::size_t t : sizes) {
    const std::size_t expected = std::size_t{1} << (std::bit_width(t) - 1 + 3);
    const std::size_t n = expected * 16 + 5;
    const std::size_t leaves = simulate_leaves(n, t);
    if (leaves != expected) {
      ++wrong;
    }
    if (leaves <= 4 * t || leaves > 8 * t) {
      ++wrong;
    }
  }
  CHECK_MSG(wrong == 0, std::to_string(wrong) + " pool sizes off");
  // Short inputs end in single elements, never in empty pieces.
  CHECK(simulate_leaves(5, 4) == 5);
  CHECK(simulate_leaves(2, 1) == 2);
}

void split_on_real_pools() {
  // With one worker nothing can be stolen: exactly the simulated pieces.
  auto one = detail::Pool::create(1);
  for (int repeat = 0; repeat < 20; ++repeat) {
    PieceLog log;
    auto leaf = [&](std::size_t begin, std::size_t end) { log.add(begin, end); };
    detail::run_map(one.get(), 100, par::RangeFn(leaf), nullptr);
    bool sizes_ok = true;
    for (auto [begin, end] : log.pieces) {
      sizes_ok = sizes_ok && (end - begin == 12 || end - begin == 13);
    }
    CHECK(log.pieces.size() == 8 && sizes_ok);
    CHECK(log.covers_exactly(100));
  }
  // With more workers, stealing only cuts finer: at least the unstolen
  // count, no piece longer than an unstolen one, none empty.
  for (std::size_t threads : {2, 3, 4}) {
    auto pool = detail::Pool::create(threads);
    for (std::size_t n : {1000, 50000}) {
      std::size_t longest_unstolen = 0;
      const std::size_t unstolen = simulate_leaves(n, threads, &longest_unstolen);
      for (int repeat = 0; repeat < 10; ++repeat) {
        PieceLog log;
        auto leaf = [&](std::size_t begin, std::size_t end) { log.add(begin, end); };
        detail::run_map(pool.get(), n, par::RangeFn(leaf), nullptr);
        std::size_t longest = 0;
        for (auto [begin, end] : log.pieces) {
          longest = std::max(longest, end - begin);
        }
        CHECK_MSG(log.pieces.size() >= unstolen && log.pieces.size() <= n,
                  "T=" + std::to_string(threads) + " leaves=" + std::to_string(log.pieces.size()));
        CHECK(longest <= longest_unstolen);
        CHECK(log.covers_exactly(n));
      }
    }
  }
}

// Random fault sets on random pools: the lowest faulting index wins, the
// output is untouched and every partial result is gone.
void lowest_fault_wins() {
  std::mt19937_64 random(2024);
  std::vector<std::unique_ptr<detail::Pool>> pools;
  for (std::size_t t : {1, 2, 3, 4, 7}) {
    pools.push_back(detail::Pool::create(t));
  }
  const int trials = engine_test::kThreadSanitizer ? 150 : 600;
  int wrong_fault = 0, touched = 0, leaked = 0;
  for (int trial = 0; trial < trials; ++trial) {
    detail::Pool* pool = pools[random() % pools.size()].get();
    const std::size_t n = 2 + random() % (trial % 10 == 0 ? 20000 : 600);
    std::set<std::size_t> faulting;
    const std::size_t count = 1 + random() % (trial % 7 == 0 ? 60 : 4);
    for (std::size_t k = 0; k < count; ++k) {
      faulting.insert(random() % n);
    }
    std::vector<Tracked> out;
    out.emplace_back(1);
    try {
      detail::indexed_map_on(pool, out, n, [&](std::size_t i) {
        if (faulting.count(i)) {
          throw IndexFault{i};
        }
        return Tracked(mix(i));
      });
      ++wrong_fault;
    } catch (const IndexFault& fault) {
      if (fault.index != *faulting.begin()) {
        ++wrong_fault;
      }
    }
    if (out.size() != 1 || out[0].value != 1) {
      ++touched;
    }
    out.clear();
    if (g_live.load() != 0) {
      ++leaked;
    }
  }
  CHECK_MSG(wrong_fault == 0, std::to_string(wrong_fault) + " trials reported the wrong fault");
  CHECK(touched == 0);
  CHECK(leaked == 0);

  // Through the public entry point, with the engine's own fault type.
  std::vector<double> out = {1.5};
  try {
    par::indexed_map(out, 1000, [](std::size_t i) -> double {
      if (i == 777 || i == 901) {
        throw vyr::Fault("bad element " + std::to_string(i));
      }
      return 0.0;
    });
    CHECK(false);
  } catch (const vyr::Fault& fault) {
    CHECK(fault.message() == "bad element 777");
  }
  CHECK(out == std::vector<double>{1.5});

  // for_each_piece: the piece of the lowest failing index reports.
  try {
    auto leaf = [](std::size_t begin, std::size_t end) {
      for (std::size_t i = begin; i < end; ++i) {
        if (i % 97 == 50) {
          throw IndexFault{i};
        }
      }
    };
    par::for_each_piece(10000, par::RangeFn(leaf));
    CHECK(false);
  } catch (const IndexFault& fault) {
    CHECK(fault.index == 50);
  }
  // A single element faults on the caller, directly.
  try {
    auto leaf = [](std::size_t, std::size_t) { throw IndexFault{0}; };
    par::for_each_piece(1, par::RangeFn(leaf));
    CHECK(false);
  } catch (const IndexFault& fault) {
    CHECK(fault.index == 0);
  }
}

// A result whose move can throw: the hand-over into the output fails half
// way, and the output must still be cut back to what it was.
struct FragileMove {
  static inline std::atomic<int> moves_left{0};
  explicit FragileMove(int v) : value(v) { g_live.fetch_add(1); }
  FragileMove(FragileMove&& other) : value(other.value) {
    if (moves_left.fetch_sub(1) <= 0) {
      throw std::runtime_error("move failed");
    }
    g_live.fetch_add(1);
  }
  ~FragileMove() { g_live.fetch_sub(1); }
  int value;
};

void failures_outside_the_elements() {
  std::vector<double> out = {2.0};
  bool overflow = false;
  try {
    par::indexed_map(out, SIZE_MAX / 4, [](std::size_t) { return 0.0; });
  } catch (const vyr::Fault& fault) {
    overflow = fault.message() == "capacity overflow";
  }
  CHECK(overflow);
  CHECK(out == std::vector<double>{2.0});

  {
    std::vector<FragileMove> fragile;
    fragile.reserve(200);
    fragile.emplace_back(-1);
    FragileMove::moves_left.store(150);
    bool threw = false;
    try {
      // Elements are built in place, so only the hand-over moves them.
      par::indexed_map(fragile, 199,
                       [](std::size_t i) { return FragileMove(static_cast<int>(i)); });
    } catch (const std::runtime_error&) {
      threw = true;
    }
    CHECK(threw);
    CHECK(fragile.size() == 1 && fragile[0].value == -1);
  }
  CHECK(g_live.load() == 0);
}

void nested_maps() {
  // A map started by an element function runs on the same pool, from a
  // worker, without handing anything in.
  for (std::size_t threads : {1, 2, 4}) {
    auto pool = detail::Pool::create(threads);
    std::atomic<int> wrong_size{0};
    std::vector<std::uint64_t> out;
    detail::indexed_map_on(pool.get(), out, 64, [&](std::size_t i) {
      if (par::pool_size() != threads) {
        wrong_size.fetch_add(1);
      }
      std::vector<std::uint64_t> inner;
      par::indexed_map(inner, 200, [i](std::size_t k) { return mix(i * 1000 + k); });
      std::uint64_t sum = 0;
      for (std::uint64_t v : inner) {
        sum += v;
      }
      return sum;
    });
    bool same = out.size() == 64;
    for (std::size_t i = 0; same && i < 64; ++i) {
      std::uint64_t sum = 0;
      for (std::size_t k = 0; k < 200; ++k) {
        sum += mix(i * 1000 + k);
      }
      same = out[i] == sum;
    }
    CHECK(same);
    CHECK(wrong_size.load() == 0);
  }
  // A fault deep inside a nested map reaches the outer caller.
  auto pool = detail::Pool::create(3);
  try {
    std::vector<int> out;
    detail::indexed_map_on(pool.get(), out, 40, [](std::size_t i) {
      std::vector<int> inner;
      par::indexed_map(inner, 30, [i](std::size_t k) -> int {
        if (i >= 17 && k == 3) {
          throw IndexFault{i * 100 + k};
        }
        return 0;
      });
      return 0;
    });
    CHECK(false);
  } catch (const IndexFault& fault) {
    CHECK(fault.index == 1703);
  }
}

}  // namespace

int main() {
  using engine_test::group;
  group("results in input order for many lengths and pool sizes", results_in_order);
  group("maps of at most one element run on the caller", tiny_maps_stay_on_the_caller);
  group("split rule and its leaf counts", split_rule);
  group("split on real pools", split_on_real_pools);
  group("lowest faulting index wins, nothing left behind", lowest_fault_wins);
  group("capacity overflow and failing hand-over", failures_outside_the_elements);
  group("nested maps", nested_maps);
  return engine_test::summary("engine_map");
}
