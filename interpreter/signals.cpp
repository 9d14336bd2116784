#include "interpreter/signals.hpp"

#include "interpreter/lifecycle.hpp"

namespace vyr {

bool SignalPoll::poll(void* context) noexcept {
  auto* self = static_cast<SignalPoll*>(context);
  PyGILState_STATE state{};
  if (self->lock_ == Lock::kReleased) {
    // A thread that takes the lock while the interpreter shuts down is ended
    // on the spot, with workers still writing into its operands: it waits
    // for the work instead, and takes the lock once the work is done.
    if (interpreter_finalizing()) {
      return false;
    }
    state = PyGILState_Ensure();
  }
  const bool raised = PyErr_CheckSignals() != 0;
  if (raised) {
    self->raised_ = PyRef(PyErr_GetRaisedException());
  }
  if (self->lock_ == Lock::kReleased) {
    PyGILState_Release(state);
  }
  return raised;
}

}  // namespace vyr
