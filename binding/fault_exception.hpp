// The fault exception: how a fault of native code reaches Python.
#pragma once

#include <Python.h>

#include "binding/fault_type.hpp"

namespace vyr::binding {

// Sets the fault exception for `message` (null: a fixed fallback message).
// When the exception cannot be made (the interpreter is out of memory, or at
// its recursion limit while the type is made on a first fault), the error
// that stopped it is set instead: the call still ends in a Python exception.
void set_fault_exception(const char* message) noexcept;

}  // namespace vyr::binding
