// The module's initialiser: creates the module once and registers the
// exported functions.
#include <Python.h>

#include "binding/call_frame.hpp"
#include "binding/function_table.hpp"
#include "binding/python_error.hpp"
#include "core/fault.hpp"
#include "core/process_state.hpp"
#include "interpreter/lifecycle.hpp"
#include "interpreter/pyref.hpp"
#include "parallel/engine.hpp"

namespace {

using vyr::PyRef;
using vyr::binding::PythonError;
using vyr::binding::throw_pending_error;

constexpr const char kSubinterpreterMessage[] =
    "vyr_spectral_core does not yet support subinterpreters, see "
    "docs/subinterpreters.md in the vyr_spectral_core sources";

// The C API version that this module declares to the interpreter when it is
// created: the version its code was written and tested against, stated as a
// number.  The vyr_runtime and array modules use PyModule_Create instead,
// which declares PYTHON_API_VERSION from whichever headers they are built
// with.  Every CPython 3 so far has API version 1013, so today both forms
// create the same module; they part only on an interpreter whose API version
// has moved on, where a build of this module would otherwise claim the new
// version unchecked.  With the number fixed, the interpreter compares it with
// its own and warns (a RuntimeWarning, "C API version mismatch") at import.
// The list module has been created this way since its first version.
constexpr int kDeclaredCApiVersion = 1013;

PyModuleDef g_definition = {
    PyModuleDef_HEAD_INIT,
    "vyr_spectral_core",  // m_name
    "",                   // m_doc: the module's __doc__ is the empty string
    0,                    // m_size
    nullptr,              // m_methods: functions are added by registration
    nullptr,              // m_slots: single-phase initialisation
    nullptr,
    nullptr,
    nullptr,
};

// The one module object, kept for the life of the process once made.
PyObject* g_module = nullptr;

PyObject* interned(const char* text) {
  PyObject* name = PyUnicode_InternFromString(text);
  if (name == nullptr) {
    throw_pending_error();
  }
  return name;
}

// Adds one function of the table to the module and to its __all__.
void register_function(PyObject* module, PyMethodDef* record) {
  static PyObject* const name_key = interned("__name__");
  static PyObject* const all_key = interned("__all__");

  PyRef module_name(PyModule_GetNameObject(module));
  if (!module_name) {
    throw_pending_error();
  }
  PyRef function(PyCMethod_New(record, module, module_name.get(), nullptr));
  if (!function) {
    throw_pending_error();
  }
  PyRef name(PyObject_GetAttr(function.get(), name_key));
  if (!name) {
    throw_pending_error();
  }
  if (!PyUnicode_Check(name.get())) {
    vyr::binding::throw_type_error(vyr::binding::downcast_message(name.get(), "PyString"));
  }
  PyRef all(PyObject_GetAttr(module, all_key));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
      throw_pending_error();
    }
    PyErr_Clear();
    all = PyRef(PyList_New(0));
    if (!all || PyObject_SetAttr(module, all_key, all.get()) < 0) {
      throw_pending_error();
    }
  }
  if (!PyList_Check(all.get())) {
    vyr::binding::throw_type_error(vyr::binding::downcast_message(all.get(), "PyList"));
  }
  if (PyList_Append(all.get(), name.get()) < 0) {
    PyErr_Clear();
    vyr::raise_fault("could not append __name__ to __all__");
  }
  if (PyObject_SetAttr(module, name.get(), function.get()) < 0) {
    throw_pending_error();
  }
}

PyObject* initialise() {
  vyr::parallel::set_fatal_notice(vyr::kEngineFatalNotice);
  // The owner is shared with the vyr_runtime module, which hands out the same
  // fault type: both serve the interpreter that came first.
  if (!vyr::claim_process_for_this_interpreter(kSubinterpreterMessage)) {
    throw_pending_error();
  }
  if (g_module != nullptr) {
    return Py_NewRef(g_module);
  }
  PyRef module(PyModule_Create2(&g_definition, kDeclaredCApiVersion));
  if (!module) {
    throw_pending_error();
  }
  for (PyMethodDef& record : vyr::binding::function_table()) {
    register_function(module.get(), &record);
  }
  if (g_module != nullptr) {
    // A nested import finished first; keep the module it stored.
    return Py_NewRef(g_module);
  }
  g_module = Py_NewRef(module.get());
  return module.release();
}

}  // namespace

// The interpreter's way in, and the one symbol the module exports.
PyMODINIT_FUNC PyInit_vyr_spectral_core(void);

PyMODINIT_FUNC PyInit_vyr_spectral_core(void) {
  return vyr::binding::call_frame(initialise);
}
