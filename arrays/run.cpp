#include "arrays/run.hpp"

#include <exception>

#include "arrays/frame.hpp"
#include "arrays/ref.hpp"

namespace vyr::arrays {

namespace {

bool interpreter_finalizing() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsFinalizing() != 0;
#else
  return _Py_IsFinalizing() != 0;
#endif
}

// The wait hook of a call that released the interpreter lock.
struct SignalPoll {
  PyThreadState* saved = nullptr;
  Ref raised;

  static bool check(void* context) noexcept {
    auto* self = static_cast<SignalPoll*>(context);
    // A thread that takes the lock back while the interpreter shuts down is
    // stopped on the spot, with workers still writing into its frame.
    if (interpreter_finalizing()) {
      return false;
    }
    PyEval_RestoreThread(self->saved);
    const bool stop = PyErr_CheckSignals() != 0;
    if (stop) {
      self->raised = Ref(PyErr_GetRaisedException());
    }
    self->saved = PyEval_SaveThread();
    return stop;
  }
};

}  // namespace

void run_on_pool(std::size_t n, parallel::RangeFn leaf) {
  SignalPoll poll;
  std::exception_ptr failure;
  poll.saved = PyEval_SaveThread();
  {
    const parallel::WaitHook hook{&SignalPoll::check, &poll};
    const parallel::ScopedWaitHook scoped(&hook);
    try {
      parallel::for_each_piece(n, leaf);
    } catch (...) {
      failure = std::current_exception();
    }
  }
  PyEval_RestoreThread(poll.saved);
  if (!failure) {
    return;
  }
  try {
    std::rethrow_exception(failure);
  } catch (const parallel::Cancelled&) {
    if (!poll.raised) {
      raise(PyExc_SystemError, "vyr_spectral_arrays: a call was cancelled without an exception");
    }
    PyErr_SetRaisedException(poll.raised.release());
    raise_pending();
  }
}

}  // namespace vyr::arrays
