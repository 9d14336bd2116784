#include "interpreter/lifecycle.hpp"

#include <cstdint>

#include "core/process_state.hpp"

namespace vyr {

bool claim_process_for_this_interpreter(const char* refusal) {
  const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (interpreter == -1) {
    return false;
  }
  if (!claim_owner_interpreter(interpreter)) {
    PyErr_SetString(PyExc_ImportError, refusal);
    return false;
  }
  return true;
}

}  // namespace vyr
