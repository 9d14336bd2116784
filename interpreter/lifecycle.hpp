// Where the front-ends meet the interpreter's life: which interpreter owns
// the process, whether the interpreter is shutting down, and the Python code
// a module runs at import.
#pragma once

#include <Python.h>

namespace vyr {

// Whether the interpreter is finalizing: a thread that takes the interpreter
// lock then is ended on the spot.
inline bool interpreter_finalizing() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsFinalizing() != 0;
#else
  return _Py_IsFinalizing() != 0;
#endif
}

// Claims the process for the calling interpreter, shared by every module of
// the package: true when it is the owner (by this claim or an earlier one);
// otherwise sets ImportError with `refusal` and returns false.  Every module
// of the package serves the interpreter that imported the first of them.
bool claim_process_for_this_interpreter(const char* refusal);

// Runs `source`, Python code shipped inside a module, in the module's
// namespace, as the interpreter runs a module's own code (`filename` names
// it in tracebacks); false with an exception set when it fails.
bool run_in_module(PyObject* module, const char* source, const char* filename);

// The line that the engine writes before it aborts the process on a fault in
// its own bookkeeping; every module hands it to the engine at import.
inline constexpr char kEngineFatalNotice[] =
    "vyr_spectral_core: detected unexpected panic; aborting";

}  // namespace vyr
