// The fault exception: how a fault of native code reaches Python.
#pragma once

#include <Python.h>

namespace vyr::binding {

// The fault exception type "vyr_runtime.PanicException", made on first use.
// Returns null with an interpreter error set if it cannot be made.
PyObject* panic_exception_type() noexcept;

// Sets the fault exception for `message` (null: a fixed fallback message);
// aborts if even that fails.
void set_fault_exception(const char* message) noexcept;

// Ends the process with the frame's last-resort message.
[[noreturn]] void abort_at_boundary() noexcept;

}  // namespace vyr::binding
