// The array module's initialiser: numpy's C API, then the module object.
#define VYR_ARRAYS_IMPORTS_NUMPY
#include "arrays/numpy_api.hpp"

#include <atomic>
#include <cstdint>
#include <new>

#include "arrays/functions.hpp"
#include "arrays/ref.hpp"
#include "parallel/engine.hpp"
#include "src/lanes.hpp"

namespace {

using vyr::arrays::Ref;

constexpr const char kModuleDoc[] =
    "The functions of vyr_spectral_core on numpy arrays: the same kernels and the same "
    "worker pool, with arrays in and float64 arrays out.";

// The engine is the package's, shared with the list module: its last words
// name the package.
constexpr const char kEngineFatalNotice[] =
    "vyr_spectral_core: detected unexpected panic; aborting";

constexpr const char kNeedsNumpy[] =
    "vyr_spectral_arrays needs numpy (1.25 or later), which is not installed: install it "
    "with pip install 'vyr_spectral_core[arrays]' (or pip install numpy)";

PyModuleDef g_definition = {
    PyModuleDef_HEAD_INIT,
    "vyr_spectral_arrays",
    kModuleDoc,
    -1,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Id of the interpreter that first imported the module; -1 before that.
std::atomic<std::int64_t> g_owner_interpreter{-1};

// numpy's C API table.  A numpy that cannot be imported at all becomes an
// ImportError that says what to install, with the interpreter's error as its
// cause; other failures (a numpy too old for the module) keep numpy's words.
bool import_numpy() {
  Ref numpy(PyImport_ImportModule("numpy"));
  if (!numpy) {
    if (!PyErr_ExceptionMatches(PyExc_ImportError)) {
      return false;
    }
    Ref cause(PyErr_GetRaisedException());
    PyErr_SetString(PyExc_ImportError, kNeedsNumpy);
    Ref error(PyErr_GetRaisedException());
    PyException_SetCause(error.get(), cause.release());
    PyErr_SetRaisedException(error.release());
    return false;
  }
  return PyArray_ImportNumPyAPI() == 0;
}

PyObject* make_module() {
  vyr::parallel::set_fatal_notice(kEngineFatalNotice);
  const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (interpreter == -1) {
    return nullptr;
  }
  std::int64_t expected = -1;
  if (!g_owner_interpreter.compare_exchange_strong(expected, interpreter,
                                                   std::memory_order_acq_rel) &&
      expected != interpreter) {
    PyErr_SetString(PyExc_ImportError,
                    "vyr_spectral_arrays serves only the first interpreter of a process");
    return nullptr;
  }
  if (!import_numpy()) {
    return nullptr;
  }
  PyMethodDef* functions = nullptr;
  try {
    functions = vyr::arrays::function_table();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  Ref module(PyModule_Create(&g_definition));
  if (!module || PyModule_AddFunctions(module.get(), functions) < 0) {
    return nullptr;
  }
  Ref all(PyList_New(0));
  if (!all) {
    return nullptr;
  }
  for (const PyMethodDef* record = functions; record->ml_name != nullptr; ++record) {
    Ref name(PyUnicode_FromString(record->ml_name));
    if (!name || PyList_Append(all.get(), name.get()) < 0) {
      return nullptr;
    }
  }
  if (PyModule_AddObjectRef(module.get(), "__all__", all.get()) < 0) {
    return nullptr;
  }
  // The instruction set the kernels run on in this process, decided here.
  if (PyModule_AddStringConstant(module.get(), "kernel_path", vyr::lanes::kernels().name) < 0) {
    return nullptr;
  }
  return module.release();
}

}  // namespace

PyMODINIT_FUNC PyInit_vyr_spectral_arrays(void);

PyMODINIT_FUNC PyInit_vyr_spectral_arrays(void) {
  return make_module();
}
