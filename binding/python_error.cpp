#include "binding/python_error.hpp"

#include <cstdio>

#include "binding/fault_exception.hpp"
#include "core/fault.hpp"

namespace vyr::binding {

namespace {

// A new str object holding `text`; throws PythonError if it cannot be made.
PyRef make_str(std::string_view text) {
  PyRef str(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  if (!str) {
    throw_pending_error();
  }
  return str;
}

// str() of an exception object, or null with the failure reported as unraisable.
PyRef exception_text(PyObject* exception) {
  PyRef text(PyObject_Str(exception));
  if (!text) {
    PyErr_WriteUnraisable(exception);
  }
  return text;
}

std::string unprintable_placeholder(PyObject* exception) {
  PyRef name(PyType_GetName(Py_TYPE(exception)));
  if (!name) {
    PyErr_Clear();
    return "<unprintable object>";
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size);
  if (utf8 == nullptr) {
    PyErr_Clear();
    return "<unprintable object>";
  }
  return "<unprintable " + std::string(utf8, static_cast<std::size_t>(size)) + " object>";
}

// A fault exception came back from Python code that this call ran: report it
// and carry its message on as a fault of this call.
[[noreturn]] void resume_fault(PyRef exception) {
  std::string message = "Unwrapped panic from Python code";
  if (PyRef text{PyObject_Str(exception.get())}) {
    message = lossy_utf8(text.get());
  } else {
    PyErr_Clear();
  }
  std::fprintf(stderr,
               "vyr_spectral_core: resuming a native fault after a PanicException came back "
               "from Python code\nPython stack trace below:\n");
  std::fflush(stderr);
  PyErr_SetRaisedException(exception.release());
  PyErr_PrintEx(0);
  throw Fault(std::move(message));
}

}  // namespace

std::string PythonError::text() const {
  if (!exception_) {
    return message_;
  }
  PyRef text = exception_text(exception_.get());
  if (!text) {
    return unprintable_placeholder(exception_.get());
  }
  return lossy_utf8(text.get());
}

PyRef PythonError::take_exception() {
  if (exception_) {
    return std::move(exception_);
  }
  return make_exception(type_, message_);
}

void PythonError::restore() {
  if (exception_) {
    PyErr_SetRaisedException(exception_.release());
    return;
  }
  PyRef message(
      PyUnicode_FromStringAndSize(message_.data(), static_cast<Py_ssize_t>(message_.size())));
  if (!message) {
    return;  // the failure to make the message is now the pending error
  }
  PyErr_SetObject(type_, message.get());
}

void throw_pending_error() {
  PyRef exception(PyErr_GetRaisedException());
  if (!exception) {
    throw PythonError(PyExc_SystemError, "attempted to fetch exception but none was set");
  }
  // Without the type there can be no pending fault exception: the type is not
  // made here, which could itself fail (at the recursion limit, say).
  PyObject* fault_type = fault_exception_type_if_made();
  if (fault_type != nullptr &&
      reinterpret_cast<PyObject*>(Py_TYPE(exception.get())) == fault_type) {
    resume_fault(std::move(exception));
  }
  throw PythonError(std::move(exception));
}

void throw_type_error(std::string message) {
  throw PythonError(PyExc_TypeError, std::move(message));
}

PyRef make_exception(PyObject* type, std::string_view message) {
  PyRef text = make_str(message);
  PyRef exception(PyObject_CallOneArg(type, text.get()));
  if (!exception) {
    throw_pending_error();
  }
  return exception;
}

std::string lossy_utf8(PyObject* text) {
  Py_ssize_t size = 0;
  if (const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size)) {
    return std::string(utf8, static_cast<std::size_t>(size));
  }
  PyErr_Clear();
  // Lone surrogates cannot be encoded: each one stands as U+FFFD.
  std::string text_utf8;
  const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
  const int kind = PyUnicode_KIND(text);
  const void* data = PyUnicode_DATA(text);
  for (Py_ssize_t i = 0; i < length; ++i) {
    Py_UCS4 code = PyUnicode_READ(kind, data, i);
    if (code >= 0xD800 && code <= 0xDFFF) {
      code = 0xFFFD;
    }
    if (code < 0x80) {
      text_utf8 += static_cast<char>(code);
    } else if (code < 0x800) {
      text_utf8 += static_cast<char>(0xC0 | (code >> 6));
      text_utf8 += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
      text_utf8 += static_cast<char>(0xE0 | (code >> 12));
      text_utf8 += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      text_utf8 += static_cast<char>(0x80 | (code & 0x3F));
    } else {
      text_utf8 += static_cast<char>(0xF0 | (code >> 18));
      text_utf8 += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
      text_utf8 += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      text_utf8 += static_cast<char>(0x80 | (code & 0x3F));
    }
  }
  return text_utf8;
}

std::string downcast_message(PyObject* object, const char* target) {
  std::string type_name = "<failed to extract type name>";
  if (PyRef name{PyType_GetQualName(Py_TYPE(object))}) {
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size)) {
      type_name.assign(utf8, static_cast<std::size_t>(size));
    } else {
      PyErr_Clear();
    }
  } else {
    PyErr_Clear();
  }
  return "'" + type_name + "' object cannot be converted to '" + target + "'";
}

}  // namespace vyr::binding
