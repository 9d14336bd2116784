#include "parallel/fatal.hpp"

#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "parallel/engine.hpp"

namespace vyr::parallel {

namespace {

std::atomic<const char*> g_fatal_notice{"detected unexpected panic; aborting"};

}  // namespace

void set_fatal_notice(const char* line) noexcept {
  g_fatal_notice.store(line, std::memory_order_release);
}

namespace detail {

[[noreturn]] void fatal_engine_fault() noexcept {
  const char* const line = g_fatal_notice.load(std::memory_order_acquire);
  char newline[] = "\n";
  // One write for the line and its end, so that it stays whole beside the
  // output of other threads.
  iovec parts[2] = {{const_cast<char*>(line), std::strlen(line)}, {newline, 1}};
  [[maybe_unused]] const ssize_t written = ::writev(STDERR_FILENO, parts, 2);
  std::abort();
}

}  // namespace detail

}  // namespace vyr::parallel
