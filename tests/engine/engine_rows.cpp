// What the engine offers its users beyond the indexed map: the row form of the
// map, and the fatal notice that a module hands in.
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include "check.hpp"
#include "parallel/engine.hpp"
#include "parallel/fatal.hpp"

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
  group("a fatal engine fault prints the notice handed in", fatal_notice_is_the_one_handed_in);
  return engine_test::summary("engine_rows");
}
