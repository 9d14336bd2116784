// What the engine offers its users beyond the indexed map: the row form of the
// map, the maps whose elements are computed several at a time, and the fatal
// notice that a module hands in.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "check.hpp"
#include "parallel/engine.hpp"
#include "parallel/fatal.hpp"
#include "parallel/testing.hpp"

namespace par = vyr::parallel;

namespace {

struct IndexFault {
  std::size_t index;
};

void rows_in_order_from_zeros() {
  for (const std::size_t width : {0, 1, 3, 8}) {
    for (const std::size_t count : {0, 1, 2, 7, 1000}) {
      const vyr::Rows rows =
          par::indexed_rows(count, width, [](std::size_t i, std::span<double> row) {
            for (std::size_t k = 0; k < row.size(); ++k) {
              // Each row arrives as zeros; a row that was written twice or
              // handed to the wrong index shows here.
              row[k] = row[k] + static_cast<double>(i * 10 + k);
            }
          });
      bool same = rows.count == count && rows.width == width && rows.values.size() == count * width;
      for (std::size_t i = 0; same && i < count; ++i) {
        for (std::size_t k = 0; same && k < width; ++k) {
          same = rows[i][k] == static_cast<double>(i * 10 + k);
        }
      }
      CHECK_MSG(same, "count " + std::to_string(count) + ", width " + std::to_string(width));
    }
  }
}

void rows_fault_of_the_lowest_index() {
  std::atomic<int> finished{0};
  try {
    par::indexed_rows(5000, 4, [&](std::size_t i, std::span<double>) {
      if (i == 4321 || i == 777) {
        throw IndexFault{i};
      }
      finished.fetch_add(1, std::memory_order_relaxed);
    });
    CHECK(false);
  } catch (const IndexFault& fault) {
    CHECK(fault.index == 777);
  }
  CHECK(finished.load() < 5000);
}

// The value that both run maps compute for index i, column k.
double value_of(std::size_t i, std::size_t k = 0) {
  return static_cast<double>(i * 16 + k) + 0.5;
}

// Counts how often each index was handed to a fill, and whether every range
// was well formed: not empty, at most `run` long, inside [0, n).
struct RangeLog {
  RangeLog(std::size_t n, std::size_t max_run) : run(max_run), seen(n) {}
  void note(std::size_t first, std::size_t last) {
    if (first >= last || last - first > run || last > seen.size()) {
      bad.fetch_add(1);
      return;
    }
    for (std::size_t i = first; i < last; ++i) {
      seen[i].fetch_add(1, std::memory_order_relaxed);
    }
  }
  bool each_once() const {
    return bad.load() == 0 && std::all_of(seen.begin(), seen.end(),
                                          [](const std::atomic<int>& c) { return c.load() == 1; });
  }
  const std::size_t run;
  std::vector<std::atomic<int>> seen;
  std::atomic<int> bad{0};
};

void runs_in_order_each_index_once() {
  for (const std::size_t run : {1, 3, 64}) {
    for (const std::size_t n : {0, 1, 2, 7, 1000, 5000}) {
      const std::string what = "run " + std::to_string(run) + ", n " + std::to_string(n);
      RangeLog log(n, run);
      std::vector<double> out{-1.0, -2.0};  // kept: the results are appended
      par::indexed_runs(out, n, run, [&log](std::size_t first, std::size_t last, double* slots) {
        log.note(first, last);
        for (std::size_t i = first; i < last; ++i) {
          slots[i - first] = value_of(i);
        }
      });
      bool same = out.size() == n + 2 && out[0] == -1.0 && out[1] == -2.0;
      for (std::size_t i = 0; same && i < n; ++i) {
        same = out[i + 2] == value_of(i);
      }
      CHECK_MSG(same && log.each_once(), what);

      const std::size_t width = 3;
      RangeLog row_log(n, run);
      const vyr::Rows rows = par::indexed_row_runs(
          n, width, run, [&row_log](std::size_t first, std::size_t last, double* values) {
            row_log.note(first, last);
            for (std::size_t i = first; i < last; ++i) {
              for (std::size_t k = 0; k < width; ++k) {
                // Zeros on entry: a row written twice or to the wrong place shows.
                double& slot = values[(i - first) * width + k];
                slot = slot + value_of(i, k);
              }
            }
          });
      bool rows_same = rows.count == n && rows.width == width;
      for (std::size_t i = 0; rows_same && i < n; ++i) {
        for (std::size_t k = 0; rows_same && k < width; ++k) {
          rows_same = rows[i][k] == value_of(i, k);
        }
      }
      CHECK_MSG(rows_same && row_log.each_once(), "rows, " + what);
    }
  }
}

// Throws the fault of index 777 and of index 4321 from whichever range holds it.
void fail_at_two_indexes(std::size_t first, std::size_t last) {
  for (const std::size_t failing : {std::size_t{777}, std::size_t{4321}}) {
    if (first <= failing && failing < last) {
      throw IndexFault{failing};
    }
  }
}

void runs_fault_of_the_lowest_index() {
  for (const std::size_t run : {1, 8}) {
    std::vector<double> out{-1.0};
    try {
      par::indexed_runs(out, 5000, run, [](std::size_t first, std::size_t last, double* slots) {
        fail_at_two_indexes(first, last);
        for (std::size_t i = first; i < last; ++i) {
          slots[i - first] = value_of(i);
        }
      });
      CHECK(false);
    } catch (const IndexFault& fault) {
      CHECK(fault.index == 777);
    }
    CHECK(out.size() == 1 && out[0] == -1.0);  // cut back to what it was

    try {
      par::indexed_row_runs(5000, 2, run, [](std::size_t first, std::size_t last, double*) {
        fail_at_two_indexes(first, last);
      });
      CHECK(false);
    } catch (const IndexFault& fault) {
      CHECK(fault.index == 777);
    }
  }
}

// Sleeps until the running map is cancelled, ten seconds at the most.
void wait_for_cancellation() {
  for (int k = 0; k < 10000 && !par::cancel_requested(); ++k) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

void runs_cancelled_between_ranges() {
  // The caller cancels at its first poll; every fill waits for that.  No
  // range starts after a cancelled one, and the map throws Cancelled.
  const par::WaitHook hook{[](void*) { return true; }, nullptr};
  const par::ScopedWaitHook scope(&hook);
  const std::size_t n = 4000;
  std::atomic<int> fills{0};
  std::vector<double> out{-1.0};
  try {
    par::indexed_runs(out, n, 4, [&fills](std::size_t first, std::size_t last, double* slots) {
      fills.fetch_add(1);
      wait_for_cancellation();
      for (std::size_t i = first; i < last; ++i) {
        slots[i - first] = value_of(i);
      }
    });
    CHECK(false);
  } catch (const par::Cancelled&) {
  }
  CHECK(out.size() == 1 && out[0] == -1.0);
  // At most one range per worker had started before the caller asked.
  CHECK(fills.load() <= static_cast<int>(par::pool_size()));

  fills.store(0);
  try {
    par::indexed_row_runs(n, 2, 4, [&fills](std::size_t, std::size_t, double*) {
      fills.fetch_add(1);
      wait_for_cancellation();
    });
    CHECK(false);
  } catch (const par::Cancelled&) {
  }
  CHECK(fills.load() <= static_cast<int>(par::pool_size()));
}

// The notice the process writes when the engine aborts, read from a child.
std::string notice_of_a_fatal_fault(const char* handed_in) {
  int pipe_ends[2];
  if (pipe(pipe_ends) != 0) {
    return "<no pipe>";
  }
  const int status = engine_test::in_child([&] {
    dup2(pipe_ends[1], STDERR_FILENO);
    if (handed_in != nullptr) {
      par::set_fatal_notice(handed_in);
    }
    par::detail::fatal_engine_fault();
    return 0;
  });
  close(pipe_ends[1]);
  std::string text;
  char buffer[256];
  for (ssize_t got; (got = read(pipe_ends[0], buffer, sizeof buffer)) > 0;) {
    text.append(buffer, static_cast<std::size_t>(got));
  }
  close(pipe_ends[0]);
  CHECK_MSG(status == 128 + SIGABRT, "child exited with " + std::to_string(status));
  return text;
}

void fatal_notice_is_the_one_handed_in() {
  CHECK(notice_of_a_fatal_fault("some_module: engine fault; aborting") ==
        "some_module: engine fault; aborting\n");
  // Without one the engine names nothing.
  CHECK(notice_of_a_fatal_fault(nullptr) == "detected unexpected panic; aborting\n");
}

}  // namespace

int main() {
  using engine_test::group;
  group("rows come back in order, each written once from zeros", rows_in_order_from_zeros);
  group("a row map reports the fault of the lowest index", rows_fault_of_the_lowest_index);
  group("run maps: results in order, each index in exactly one range",
        runs_in_order_each_index_once);
  group("run maps report the fault of the lowest index", runs_fault_of_the_lowest_index);
  group("run maps are cancelled between ranges", runs_cancelled_between_ranges);
  group("a fatal engine fault prints the notice handed in", fatal_notice_is_the_one_handed_in);
  return engine_test::summary("engine_rows");
}
