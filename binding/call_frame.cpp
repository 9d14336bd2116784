#include "binding/call_frame.hpp"

namespace vyr::binding {

bool SignalCheck::poll(void* context) noexcept {
  auto* check = static_cast<SignalCheck*>(context);
  if (PyErr_CheckSignals() == 0) {
    return false;
  }
  // Keep the handler's exception aside until every worker has let go of the
  // call's data; the frame raises it then.
  check->raised = PyRef(PyErr_GetRaisedException());
  return true;
}

}  // namespace vyr::binding
