// The vyr_runtime module: makes the fault exception type importable, so that
// Python code can name it in `except` clauses and pickle can find it again.
//
// It shares the type with the list module through the engine's library:
// whichever of the two asks first makes it, and both hand out that one
// object.  Importing this module makes the type if no fault has yet, and
// nothing else: it faults, prints and reports nothing.
#include <Python.h>

#include <cstdint>

#include "binding/fault_type.hpp"
#include "binding/pyref.hpp"
#include "core/process_state.hpp"

namespace {

using vyr::binding::PyRef;

constexpr const char kModuleDoc[] =
    "Runtime support of vyr_spectral_core: PanicException, the exception that its "
    "functions raise when native code faults.";

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
  const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (interpreter == -1) {
    return nullptr;
  }
  // The type belongs to one interpreter, the same one as the list module's
  // functions.
  if (!vyr::claim_owner_interpreter(interpreter)) {
    PyErr_SetString(PyExc_ImportError, kSubinterpreterMessage);
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
  PyRef all(Py_BuildValue("[s]", "PanicException"));
  if (!all || PyModule_AddObjectRef(module.get(), "__all__", all.get()) < 0) {
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
