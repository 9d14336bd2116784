// The call frame: the one place where C++ failures become Python exceptions.
#pragma once

#include <Python.h>

#include <cxxabi.h>

#include <new>
#include <stdexcept>

#include "binding/fault_exception.hpp"
#include "binding/python_error.hpp"
#include "core/fault.hpp"
#include "interpreter/pyref.hpp"
#include "parallel/engine.hpp"

namespace vyr::binding {

// The wait hook of the calling thread while a kernel runs: lets signal
// handlers run (Ctrl-C) while the pool works, or between steps of work that
// the calling thread does itself, and keeps the exception they raise.
struct SignalCheck {
  PyRef raised;
  static bool poll(void* context) noexcept;
};

// Runs a call's kernel.  Signal handlers run while it works; when one raises,
// the kernel stops and that exception is thrown as a PythonError once no
// worker touches the call's data any more.  The hook is installed around the
// kernel alone: Python code that conversions run (a __float__) may use the
// engine itself, and must not poll this call's hook.
template <class Kernel>
decltype(auto) run_kernel(Kernel&& kernel) {
  SignalCheck signals;
  const parallel::WaitHook hook{&SignalCheck::poll, &signals};
  const parallel::ScopedWaitHook scoped(&hook);
  try {
    return kernel();
  } catch (const parallel::Cancelled&) {
    if (!signals.raised) {
      throw;
    }
    throw PythonError(std::move(signals.raised));
  }
}

// Runs `body` as the native side of an exported function: every C++ failure
// becomes the matching Python exception and a null return.  One unwind passes
// through: the interpreter ends a thread that takes its lock back while it
// finalizes (a daemon thread whose conversion ran Python code that released
// the lock), and such a thread must go on unwinding, with no exception set.
template <class Body>
PyObject* call_frame(Body&& body) {
  try {
    return body();
  } catch (abi::__forced_unwind&) {
    throw;
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
