#include "interpreter/lifecycle.hpp"

#include <cstdint>

#include "core/process_state.hpp"
#include "interpreter/pyref.hpp"

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

bool run_in_module(PyObject* module, const char* source, const char* filename) {
  PyObject* globals = PyModule_GetDict(module);
  // As for any module's code: its names fall back to the builtins.
  if (PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins()) < 0) {
    return false;
  }
  PyRef code(Py_CompileString(source, filename, Py_file_input));
  if (!code) {
    return false;
  }
  PyRef ran(PyEval_EvalCode(code.get(), globals, globals));
  return static_cast<bool>(ran);
}

}  // namespace vyr
