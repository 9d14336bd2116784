#include "binding/panic_exception.hpp"

#include <cstring>

#include "binding/pyref.hpp"

namespace vyr::binding {

namespace {

constexpr const char kPanicDoc[] =
    "Raised when native code called from Python faults.\n\n"
    "Like SystemExit, this exception derives from BaseException, so that it will "
    "usually propagate all the way up the stack and make the interpreter exit.";

constexpr const char kFallbackFaultMessage[] = "native code faulted without a message";

PyObject* g_panic_type = nullptr;  // written once, under the interpreter lock

}  // namespace

PyObject* panic_exception_type() noexcept {
  if (g_panic_type == nullptr) {
    g_panic_type = PyErr_NewExceptionWithDoc("vyr_runtime.PanicException", kPanicDoc,
                                             PyExc_BaseException, nullptr);
  }
  return g_panic_type;
}

PyObject* panic_exception_type_if_made() noexcept {
  return g_panic_type;
}

void set_fault_exception(const char* message) noexcept {
  PyObject* type = panic_exception_type();
  const char* text = message != nullptr ? message : kFallbackFaultMessage;
  PyRef py_message(
      type != nullptr
          ? PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(std::strlen(text)), "replace")
          : nullptr);
  PyRef args(py_message ? PyTuple_Pack(1, py_message.get()) : nullptr);
  if (args) {
    // Making the instance can fail as well; its error is then the one set.
    PyErr_SetObject(type, args.get());
  } else if (!PyErr_Occurred()) {
    PyErr_NoMemory();
  }
}

}  // namespace vyr::binding
