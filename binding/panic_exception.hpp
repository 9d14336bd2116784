// The fault exception: how a fault of native code reaches Python.
#pragma once

#include <Python.h>

namespace vyr::binding {

// The fault exception type "vyr_runtime.PanicException", made on first use.
// Returns null with an interpreter error set if it cannot be made.
PyObject* panic_exception_type() noexcept;

// The fault exception type if it has been made, else null.  Before the first
// fault no exception of that type can exist, so asking whether a pending
// exception is one needs no type.
PyObject* panic_exception_type_if_made() noexcept;

// Sets the fault exception for `message` (null: a fixed fallback message).
// When the exception cannot be made (the interpreter is out of memory, or at
// its recursion limit while the type is made on a first fault), the error
// that stopped it is set instead: the call still ends in a Python exception.
void set_fault_exception(const char* message) noexcept;

}  // namespace vyr::binding
