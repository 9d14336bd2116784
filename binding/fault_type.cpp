#include "binding/fault_type.hpp"

#include "core/process_state.hpp"

namespace vyr::binding {

namespace {

constexpr const char kFaultExceptionDoc[] =
    "Raised when native code called from Python faults.\n\n"
    "Like SystemExit, this exception derives from BaseException, so that it will "
    "usually propagate all the way up the stack and make the interpreter exit.";

}  // namespace

PyObject* fault_exception_type() noexcept {
  // The slot is in the engine's shared library: the list module and the
  // vyr_runtime module each carry this code, and must hand out one object.
  if (void* published = published_fault_exception_type()) {
    return static_cast<PyObject*>(published);
  }
  PyObject* made = PyErr_NewExceptionWithDoc("vyr_runtime.PanicException", kFaultExceptionDoc,
                                             PyExc_BaseException, nullptr);
  if (made == nullptr) {
    return nullptr;
  }
  // Making a type may run Python code (a collection, a finaliser) that asks
  // for the type too; the first one published stays, and the other goes.
  void* kept = publish_fault_exception_type(made);
  if (kept != made) {
    Py_DECREF(made);
  }
  return static_cast<PyObject*>(kept);
}

PyObject* fault_exception_type_if_made() noexcept {
  return static_cast<PyObject*>(published_fault_exception_type());
}

}  // namespace vyr::binding
