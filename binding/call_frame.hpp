// The call frame: the one place where C++ failures become Python exceptions.
#pragma once

#include <new>
#include <stdexcept>

#include "parallel/engine.hpp"
#include "src/fault.hpp"

namespace vyr::binding {

// The wait hook of the calling thread while a batch runs: lets signal handlers
// run (Ctrl-C) while the pool works, and keeps the exception they raise.
struct SignalCheck {
  PyRef raised;
  static bool poll(void* context) noexcept;
};

// Sets the fault exception for `message`; aborts if even that fails.
void set_fault_exception(const char* message) noexcept;

// Ends the process with the frame's last-resort message.
[[noreturn]] void abort_at_boundary() noexcept;

template <class Body>
PyObject* call_frame(Body&& body) noexcept {
  try {
    SignalCheck signals;
    const parallel::WaitHook hook{&SignalCheck::poll, &signals};
    parallel::ScopedWaitHook scoped(&hook);
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
