// Signal handlers while the engine works for a Python caller: the wait hook
// of both front-ends.
#pragma once

#include <Python.h>

#include "interpreter/pyref.hpp"
#include "parallel/engine.hpp"

namespace vyr {

// The calling thread's wait hook while a kernel runs: runs the interpreter's
// signal handlers (Ctrl-C) every time the engine polls, and keeps the
// exception a handler raised, which cancels the work; the caller raises it
// once no worker touches the call's data any more.
class SignalPoll {
 public:
  // Whether the caller holds the interpreter lock while the engine works
  // (the list module) or has released it (the array module, whose poll
  // takes it back for the handlers).
  enum class Lock { kHeld, kReleased };

  explicit SignalPoll(Lock lock) noexcept : lock_(lock) {}

  parallel::WaitHook hook() noexcept { return {&SignalPoll::poll, this}; }

  // The exception a handler raised, handed over (null if none did); with the
  // interpreter lock held.
  PyRef take_raised() noexcept { return std::move(raised_); }

 private:
  static bool poll(void* context) noexcept;

  Lock lock_;
  PyRef raised_;
};

}  // namespace vyr
