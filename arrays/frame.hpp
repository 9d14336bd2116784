// How the array functions fail: every error becomes a Python exception set on
// the spot, and a C++ exception carries the failure out to the entry point.
#pragma once

#include "arrays/numpy_api.hpp"

#include <new>
#include <stdexcept>

#include "core/fault.hpp"

namespace vyr::arrays {

// Thrown once the interpreter's error indicator holds the exception to raise.
struct ErrorSet {};

// Sets `type` with a printf-style message (PyUnicode_FromFormat) and throws.
[[noreturn]] void raise(PyObject* type, const char* format, ...);

// The interpreter call that has just failed left its exception set: throws.
[[noreturn]] inline void raise_pending() {
  throw ErrorSet{};
}

// Runs an entry point's body; every failure ends as a set exception and null.
// A fault of the engine (the worker pool could not be started) is an ordinary
// RuntimeError here, since array users expect ordinary exceptions.
template <class Body>
PyObject* array_frame(Body&& body) noexcept {
  try {
    return body();
  } catch (const ErrorSet&) {
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    PyErr_NoMemory();
  } catch (const Fault& fault) {
    PyErr_SetString(PyExc_RuntimeError, fault.what());
  } catch (const std::exception& other) {
    PyErr_SetString(PyExc_RuntimeError, other.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "vyr_spectral_arrays: unknown native failure");
  }
  return nullptr;
}

}  // namespace vyr::arrays
