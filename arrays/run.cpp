#include "arrays/run.hpp"

#include <cxxabi.h>

#include <algorithm>
#include <exception>
#include <new>
#include <stdexcept>

#include "core/fault.hpp"
#include "interpreter/lifecycle.hpp"
#include "interpreter/pyref.hpp"
#include "interpreter/signals.hpp"

namespace vyr::arrays {

namespace {

// Leaves of the pool look for cancellation after about this much work, in
// the units of Work::item_cost: half a millisecond of one core.
constexpr std::uint64_t kCancelCheckCost = 1'000'000;

// The interpreter lock for the calling thread, whether or not it holds it.
class LockHeld {
 public:
  LockHeld() : state_(PyGILState_Ensure()) {}
  ~LockHeld() { PyGILState_Release(state_); }
  LockHeld(const LockHeld&) = delete;
  LockHeld& operator=(const LockHeld&) = delete;

 private:
  PyGILState_STATE state_;
};

// Sets the exception for the failure in flight (the interpreter lock held).
void set_failure(const std::exception_ptr& failure, PyRef raised) {
  try {
    std::rethrow_exception(failure);
  } catch (const parallel::Cancelled&) {
    if (raised) {
      PyErr_SetRaisedException(raised.release());
    } else {
      PyErr_SetString(PyExc_SystemError,
                      "vyr_spectral_arrays: a loop was cancelled without an exception");
    }
    return;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    PyErr_NoMemory();
  } catch (const std::exception& other) {
    // A fault of the engine (the pool could not start) or a child that cannot
    // finish a loop begun before its fork: ordinary errors for array users.
    PyErr_SetString(PyExc_RuntimeError, other.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "vyr_spectral_arrays: unknown native failure");
  }
}

// Reports `failure` with the lock taken if needed; returns -1.
int report(const std::exception_ptr& failure, SignalPoll* poll) {
  const LockHeld lock;
  set_failure(failure, poll != nullptr ? poll->take_raised() : PyRef());
  return -1;
}

int run_on_pool(std::size_t count, const Work& work, parallel::RangeFn runs) {
  const std::size_t chunk = std::max<std::uint64_t>(1, kCancelCheckCost / work.item_cost);
  auto leaf = [&](std::size_t begin, std::size_t end) {
    end = std::min(end, count);
    for (std::size_t first = begin; first < end; first += chunk) {
      parallel::throw_if_cancelled();
      runs(first, std::min(end, first + chunk));
    }
  };
  // numpy releases the lock for all but small loops; where it has not, the
  // loop releases it here, so that other threads run while the pool works.
  PyThreadState* const saved = PyGILState_Check() ? PyEval_SaveThread() : nullptr;
  SignalPoll poll(SignalPoll::Lock::kReleased);
  std::exception_ptr failure;
  {
    const parallel::WaitHook hook = poll.hook();
    const parallel::ScopedWaitHook scoped(&hook);
    try {
      // A single item still goes to a worker (beside an empty index), so that
      // the calling thread is free to answer signals while it runs.
      parallel::for_each_piece(std::max<std::size_t>(count, 2), parallel::RangeFn(leaf),
                               work.output_aliases_input ? parallel::ChildRerun::kForbidden
                                                         : parallel::ChildRerun::kAllowed);
    } catch (abi::__forced_unwind&) {
      throw;
    } catch (...) {
      failure = std::current_exception();
    }
  }
  if (saved != nullptr) {
    // During finalization this ends the thread; nothing here needs releasing.
    PyEval_RestoreThread(saved);
  }
  if (!failure) {
    return 0;
  }
  return report(failure, &poll);
}

}  // namespace

int poll_signals() {
  if (interpreter_finalizing()) {
    return 0;
  }
  const LockHeld lock;
  return PyErr_CheckSignals() == 0 ? 0 : -1;
}

int fail(PyObject* type, const char* message) {
  const LockHeld lock;
  PyErr_SetString(type, message);
  return -1;
}

int run_items(std::size_t count, const Work& work, parallel::RangeFn runs) {
  if (count == 0) {
    return 0;
  }
  const FloatingPointFlagsKept flags;
  const std::uint64_t item_cost = std::max<std::uint64_t>(work.item_cost, 1);
  if (item_cost < work.pool_threshold && count < work.pool_threshold / item_cost) {
    try {
      runs(0, count);
      return 0;
    } catch (abi::__forced_unwind&) {
      throw;
    } catch (...) {
      return report(std::current_exception(), nullptr);
    }
  }
  Work pooled = work;
  pooled.item_cost = item_cost;
  return run_on_pool(count, pooled, runs);
}

}  // namespace vyr::arrays
