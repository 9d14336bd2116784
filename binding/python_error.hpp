// Python errors inside the native frame.
//
// Conversion and binding code signals a Python-level failure by throwing
// PythonError, which owns either an exception object fetched from the
// interpreter or a type and a message to raise later.  The call frame turns it
// back into the interpreter's current exception.
#pragma once

#include <Python.h>

#include <exception>
#include <string>
#include <string_view>

#include "interpreter/pyref.hpp"

namespace vyr::binding {

class PythonError : public std::exception {
 public:
  // An exception object already made (owned).
  explicit PythonError(PyRef raised) noexcept : exception_(std::move(raised)) {}
  // A type (a static interpreter type, borrowed) and a message.
  PythonError(PyObject* type, std::string message) noexcept
      : type_(type), message_(std::move(message)) {}

  const char* what() const noexcept override { return "Python error"; }

  // The exception's type, without making the exception object.
  PyObject* type() const noexcept {
    return exception_ ? reinterpret_cast<PyObject*>(Py_TYPE(exception_.get())) : type_;
  }
  // str() of the exception; throws PythonError if that fails.
  std::string text() const;
  // The exception object, made now if it was held as type and message.
  PyRef take_exception();
  // Makes this the interpreter's current exception.
  void restore();

 private:
  PyRef exception_;
  PyObject* type_ = nullptr;
  std::string message_;
};

// Fetches the interpreter's pending exception and throws it.  A pending fault
// exception of this module resumes the fault instead (vyr::Fault), and a
// missing exception becomes SystemError.
[[noreturn]] void throw_pending_error();

[[noreturn]] void throw_type_error(std::string message);

// A new exception object of `type` with the one argument `message`; throws
// PythonError if it cannot be made.
PyRef make_exception(PyObject* type, std::string_view message);

// "'{type}' object cannot be converted to '{target}'".
std::string downcast_message(PyObject* object, const char* target);

// UTF-8 text of a str object, with U+FFFD for what cannot be encoded.
std::string lossy_utf8(PyObject* text);

}  // namespace vyr::binding
