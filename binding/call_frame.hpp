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
#include "interpreter/signals.hpp"
#include "parallel/engine.hpp"

namespace vyr::binding {

// Runs a call's kernel.  Signal handlers run while it works; when one raises,
// the kernel stops and that exception is thrown as a PythonError once no
// worker touches the call's data any more.  The hook is installed around the
// kernel alone: Python code that conversions run (a __float__) may use the
// engine itself, and must not poll this call's hook.
template <class Kernel>
decltype(auto) run_kernel(Kernel&& kernel) {
  // The list module keeps the interpreter lock throughout a call.
  SignalPoll signals(SignalPoll::Lock::kHeld);
  const parallel::WaitHook hook = signals.hook();
  const parallel::ScopedWaitHook scoped(&hook);
  try {
    return kernel();
  } catch (const parallel::Cancelled&) {
    PyRef raised = signals.take_raised();
    if (!raised) {
      throw;
    }
    throw PythonError(std::move(raised));
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
