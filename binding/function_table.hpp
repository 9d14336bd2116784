// The exported functions, as records for the interpreter.
#pragma once

#include <Python.h>

#include <span>

namespace vyr::binding {

// One record per exported function, in registration order (also the order of
// the module's __all__).  Made at the first call; the records live as long as
// the process.
std::span<PyMethodDef> function_table();

}  // namespace vyr::binding
