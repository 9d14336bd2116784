#include "binding/fault_exception.hpp"

#include <cstring>

#include "interpreter/pyref.hpp"

namespace vyr::binding {

namespace {

constexpr const char kFallbackFaultMessage[] = "native code faulted without a message";

}  // namespace

void set_fault_exception(const char* message) noexcept {
  PyObject* type = fault_exception_type();
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
