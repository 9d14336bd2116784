// The call frame: the one place where C++ failures become Python exceptions.
#pragma once

#include <Python.h>

#include <new>
#include <stdexcept>

#include "binding/panic_exception.hpp"
#include "binding/pyref.hpp"
#include "binding/python_error.hpp"
#include "core/fault.hpp"
#include "parallel/engine.hpp"

namespace vyr::binding {

// The wait hook of the calling thread while a batch runs: lets signal handlers
// run (Ctrl-C) while the pool works, and keeps the exception they raise.
struct SignalCheck {
  PyRef raised;
  static bool poll(void* context) noexcept;
};

// Runs `body` as the native side of an exported function: every C++ failure
// becomes the matching Python exception and a null return.
template <class Body>
PyObject* call_frame(Body&& body) noexcept {
  try {
    SignalCheck signals;
    const parallel::WaitHook hook{&SignalCheck::poll, &signals};
    const parallel::ScopedWaitHook scoped(&hook);
    try {
      return body();
    } catch (const parallel::Cancelled&) {
      if (signals.raised) {
        PyErr_SetRaisedException(signals.raised.release());
      } else {
        set_fault_exception("map cancelled without a pending exception");
      }
      return nullptr;
    }
  } catch (PythonError& error) {
    error.restore();
  } catch (const Fault& fault) {
    set_fault_exception(fault.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    PyErr_NoMemory();
  } catch (const std::exception& other) {
    set_fault_exception(other.what());
  } catch (...) {
    set_fault_exception(nullptr);
  }
  return nullptr;
}

}  // namespace vyr::binding
