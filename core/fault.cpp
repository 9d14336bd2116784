#include "core/fault.hpp"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>

namespace vyr {

namespace {

std::atomic<bool> g_hint_given{false};

}  // namespace

void report_fault(const std::string& message, const std::source_location& where) noexcept {
  char name[64] = "<unnamed>";
  if (pthread_getname_np(pthread_self(), name, sizeof name) != 0 || name[0] == '\0') {
    std::snprintf(name, sizeof name, "<unnamed>");
  }
  const long thread_id = static_cast<long>(syscall(SYS_gettid));
  // One fprintf per line keeps reports from concurrent workers readable.
  std::fprintf(stderr, "\nthread '%s' (%ld) faulted at %s:%u:%u:\n%s\n", name, thread_id,
               where.file_name(), static_cast<unsigned>(where.line()),
               static_cast<unsigned>(where.column()), message.c_str());
  if (!g_hint_given.exchange(true, std::memory_order_relaxed)) {
    std::fprintf(stderr,
                 "note: run the program under gdb with `catch throw` to get a backtrace of the "
                 "fault\n");
  }
  std::fflush(stderr);
}

void raise_fault(std::string message, std::source_location where) {
  report_fault(message, where);
  throw Fault(std::move(message));
}

void raise_index_fault(std::size_t length, std::size_t index, std::source_location where) {
  raise_fault("index out of bounds: the len is " + std::to_string(length) + " but the index is " +
                  std::to_string(index),
              where);
}

void raise_capacity_overflow(std::source_location where) {
  raise_fault("capacity overflow", where);
}

}  // namespace vyr
