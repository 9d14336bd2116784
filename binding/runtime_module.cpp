// The vyr_runtime module: makes the fault exception type importable, so that
// Python code can name it in `except` clauses and pickle can find it again,
// and offers `checked`, which turns a fault into an ordinary exception for
// frameworks that expect every task's error to be an Exception.
//
// It shares the type with the list module through the engine's library:
// whichever of the two asks first makes it, and both hand out that one
// object.  Importing this module makes the type if no fault has yet, and
// nothing else: it faults, prints and reports nothing.
#include <Python.h>

#include <cstdint>

#include "binding/fault_type.hpp"
#include "core/process_state.hpp"
#include "interpreter/lifecycle.hpp"
#include "interpreter/pyref.hpp"

namespace {

using vyr::PyRef;

constexpr const char kModuleDoc[] =
    "Runtime support of vyr_spectral_core: PanicException, the exception that its "
    "functions raise when native code faults.";

// The part written in Python, run in the module's namespace.  A fault
// derives from BaseException, which task frameworks (dask's event loop,
// multiprocessing.Pool's workers) do not expect from a task; checked()
// turns it into FaultError, an Exception with the same message.
constexpr const char kPythonPart[] = R"python(
class FaultError(Exception):
    """A fault of a vyr_spectral_core function (PanicException) as an
    ordinary exception with the same message, raised by checked()."""


def checked(function, /, *args, **kwargs):
    """function(*args, **kwargs), with a PanicException it raises re-raised
    as FaultError (an Exception) carrying the same message.  Wrap list
    functions with it where a framework runs them as tasks:
    client.submit(checked, vyr_spectral_core.octonion_mul_n, a, b)."""
    try:
        return function(*args, **kwargs)
    except PanicException as fault:
        raise FaultError(*fault.args) from None


__all__ = ["PanicException", "FaultError", "checked"]
)python";

constexpr const char kSubinterpreterMessage[] =
    "vyr_runtime serves only the interpreter that vyr_spectral_core serves (the first one "
    "of the process to import either), see docs/subinterpreters.md in the vyr_spectral_core "
    "sources";

// Single-phase initialisation with no per-module state: the interpreter calls
// the initialiser again at every import, so the owner check below holds for
// each interpreter, and interpreters with their own GIL refuse the module.
PyModuleDef g_definition = {
    PyModuleDef_HEAD_INIT,
    "vyr_runtime",
    kModuleDoc,
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The one module object, kept for the life of the process once made.
PyObject* g_module = nullptr;

PyObject* make_module() {
  // The type belongs to one interpreter, the same one as the list module's
  // functions.
  if (!vyr::claim_process_for_this_interpreter(kSubinterpreterMessage)) {
    return nullptr;
  }
  if (g_module != nullptr) {
    return Py_NewRef(g_module);
  }
  PyObject* type = vyr::binding::fault_exception_type();
  if (type == nullptr) {
    return nullptr;
  }
  PyRef module(PyModule_Create(&g_definition));
  if (!module || PyModule_AddObjectRef(module.get(), "PanicException", type) < 0) {
    return nullptr;
  }
  if (!vyr::run_in_module(module.get(), kPythonPart, "vyr_runtime/checked.py")) {
    return nullptr;
  }
  if (g_module == nullptr) {
    g_module = Py_NewRef(module.get());
  }
  return Py_NewRef(g_module);
}

}  // namespace

PyMODINIT_FUNC PyInit_vyr_runtime(void);

PyMODINIT_FUNC PyInit_vyr_runtime(void) {
  return make_module();
}
