// The fault exception type "vyr_runtime.PanicException": one type object per
// process, which the list module raises and the vyr_runtime module lets
// Python import.
#pragma once

#include <Python.h>

namespace vyr::binding {

// The type (a borrowed reference), made on first use by whichever module needs
// it first and then kept for the life of the process.  Returns null with an
// interpreter error set if it cannot be made.
PyObject* fault_exception_type() noexcept;

// The type if it has been made, else null.  Before it is made no exception of
// that type can exist, so asking whether a pending exception is one needs no
// type (and never fails, even at the recursion limit or out of memory).
PyObject* fault_exception_type_if_made() noexcept;

}  // namespace vyr::binding
