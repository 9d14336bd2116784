// The array module's initialiser: numpy's C API, the ufuncs, and the Python
// part of the module (the algebra objects and the functions over the
// ufuncs, arrays/algebra.py), run in the module's namespace.
#define VYR_ARRAYS_IMPORTS_NUMPY
#include "arrays/numpy_api.hpp"

#include <cstdint>
#include <vector>

#include "arrays/ufuncs.hpp"
#include "interpreter/lifecycle.hpp"
#include "interpreter/pyref.hpp"
#include "parallel/engine.hpp"
#include "src/lanes.hpp"

namespace {

using vyr::PyRef;

constexpr const char kModuleDoc[] =
    "The functions of vyr_spectral_core on numpy arrays, as numpy ufuncs: the same kernels and "
    "the same worker pool, with numpy's broadcasting, out=, where=, axes= and dispatch to other "
    "array types; and the Clifford algebras as objects whose operations are gufuncs.";

constexpr const char kNeedsNumpy[] =
    "vyr_spectral_arrays needs numpy (2.0 or later), which is not installed: install it "
    "with pip install 'vyr_spectral_core[arrays]' (or pip install numpy)";

// The Python part of the module, read from arrays/algebra.py at build time.
constexpr const char kPythonPart[] =
#include "algebra_source.inc"
    ;

// numpy's C API tables.  A numpy that cannot be imported at all becomes an
// ImportError that says what to install, with the interpreter's error as its
// cause; other failures (a numpy too old for the module) keep numpy's words.
bool import_numpy() {
  PyRef numpy(PyImport_ImportModule("numpy"));
  if (!numpy) {
    if (!PyErr_ExceptionMatches(PyExc_ImportError)) {
      return false;
    }
    PyRef cause(PyErr_GetRaisedException());
    PyErr_SetString(PyExc_ImportError, kNeedsNumpy);
    PyRef error(PyErr_GetRaisedException());
    PyException_SetCause(error.get(), cause.release());
    PyErr_SetRaisedException(error.release());
    return false;
  }
  return PyArray_ImportNumPyAPI() == 0 && PyUFunc_ImportUFuncAPI() == 0;
}

// _algebra_ufuncs(signature, prefix): the gufuncs of one algebra by method
// name.  The Python part has checked the signature (a tuple of at most 62
// integers in -128..127).
PyObject* algebra_ufuncs(PyObject*, PyObject* const* args, Py_ssize_t count) {
  if (count != 2 || !PyTuple_Check(args[0]) || !PyUnicode_Check(args[1])) {
    PyErr_SetString(PyExc_TypeError, "_algebra_ufuncs(signature: tuple, prefix: str)");
    return nullptr;
  }
  const Py_ssize_t size = PyTuple_GET_SIZE(args[0]);
  std::vector<std::int8_t> signature;
  for (Py_ssize_t i = 0; i < size; ++i) {
    const long entry = PyLong_AsLong(PyTuple_GET_ITEM(args[0], i));
    if (entry == -1 && PyErr_Occurred()) {
      return nullptr;
    }
    if (entry < -128 || entry > 127) {
      PyErr_SetString(PyExc_ValueError, "signature entries must lie in -128..127");
      return nullptr;
    }
    signature.push_back(static_cast<std::int8_t>(entry));
  }
  const char* prefix = PyUnicode_AsUTF8(args[1]);
  if (prefix == nullptr) {
    return nullptr;
  }
  return vyr::arrays::algebra_ufuncs(signature, prefix);
}

PyMethodDef g_functions[] = {
    {"_algebra_ufuncs", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(algebra_ufuncs)),
     METH_FASTCALL, "The gufuncs of one algebra (used by algebra())."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef g_definition = {
    PyModuleDef_HEAD_INIT,
    "vyr_spectral_arrays",
    kModuleDoc,
    -1,
    g_functions,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* make_module() {
  vyr::parallel::set_fatal_notice(vyr::kEngineFatalNotice);
  if (!vyr::claim_process_for_this_interpreter(
          "vyr_spectral_arrays serves only the first interpreter of a process") ||
      !import_numpy()) {
    return nullptr;
  }
  PyRef module(PyModule_Create(&g_definition));
  if (!module || !vyr::arrays::add_module_ufuncs(module.get())) {
    return nullptr;
  }
  // The instruction set the kernels run on in this process, decided here.
  if (PyModule_AddStringConstant(module.get(), "kernel_path", vyr::lanes::kernels_description()) <
      0) {
    return nullptr;
  }
  if (!vyr::run_in_module(module.get(), kPythonPart, "vyr_spectral_arrays/algebra.py")) {
    return nullptr;
  }
  return module.release();
}

}  // namespace

PyMODINIT_FUNC PyInit_vyr_spectral_arrays(void);

PyMODINIT_FUNC PyInit_vyr_spectral_arrays(void) {
  return make_module();
}
