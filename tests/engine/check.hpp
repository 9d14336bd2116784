// A small harness for the engine tests: named groups of checks, a failure
// count, and a summary line.  Shared by every test executable in this folder.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

#if defined(__SANITIZE_THREAD__)
// Children here start threads after a multi-threaded fork, which the thread
// sanitizer refuses by default; and it would wait a second at every exit of
// a process that has threads left, which adds up over many children.
extern "C" const char* __tsan_default_options() {
  return "die_after_fork=0:atexit_sleep_ms=0";
}
#endif

namespace engine_test {

// Under the thread sanitizer everything is slower, and it starts threads of
// its own.
#if defined(__SANITIZE_THREAD__)
inline constexpr bool kThreadSanitizer = true;
#else
inline constexpr bool kThreadSanitizer = false;
#endif

// A cheap hash: a distinct value for every index, to map and to check.
inline std::uint64_t mix(std::uint64_t x) {
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdULL;
  x ^= x >> 33;
  return x;
}

struct Tally {
  int passed = 0;
  int failed = 0;
};

inline Tally& tally() {
  static Tally t;
  return t;
}

// Records one check; prints the failing ones with their location.
inline bool check(bool ok, const char* what, const char* file, int line) {
  if (ok) {
    ++tally().passed;
  } else {
    ++tally().failed;
    std::fprintf(stderr, "FAILED %s:%d: %s\n", file, line, what);
  }
  return ok;
}

#define CHECK(condition) ::engine_test::check((condition), #condition, __FILE__, __LINE__)
#define CHECK_MSG(condition, message)                                                       \
  ::engine_test::check((condition), (std::string(#condition) + " -- " + (message)).c_str(), \
                       __FILE__, __LINE__)

// Runs one named group of checks and reports it if it failed anything.
inline void group(const char* name, const std::function<void()>& body) {
  const int before = tally().failed;
  try {
    body();
  } catch (const std::exception& error) {
    check(false, (std::string("unexpected exception: ") + error.what()).c_str(), name, 0);
  } catch (...) {
    check(false, "unexpected non-standard exception", name, 0);
  }
  if (tally().failed != before) {
    std::fprintf(stderr, "group '%s' failed\n", name);
  }
}

inline int summary(const char* program) {
  std::printf("%s: %d passed, %d failed\n", program, tally().passed, tally().failed);
  return tally().failed == 0 ? 0 : 1;
}

// Runs `body` in a forked child and returns its exit status (or 128 + signal).
// The child ends with _exit so that it never runs the parent's exit handlers.
inline int in_child(const std::function<int()>& body) {
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid < 0) {
    return -1;
  }
  if (pid == 0) {
    int code = 99;
    try {
      code = body();
    } catch (...) {
      code = 98;
    }
    std::fflush(nullptr);
    _exit(code);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
  }
  if (WIFEXITED(status)) {
    return WEXITSTATUS(status);
  }
  if (WIFSIGNALED(status)) {
    return 128 + WTERMSIG(status);
  }
  return -2;
}

// Runs `body` in a child process and records whether it exited with 0.
inline void expect_child(const char* what, const std::function<int()>& body) {
  const int status = in_child(body);
  check(status == 0, (std::string(what) + ": child exited with " + std::to_string(status)).c_str(),
        "child", 0);
}

}  // namespace engine_test
