// An owned reference to an interpreter object, released on every path.
#pragma once

#include <Python.h>

#include <memory>

namespace vyr::arrays {

struct DecRef {
  void operator()(PyObject* object) const noexcept { Py_DECREF(object); }
};

// Adopts a new reference (null allowed).
using Ref = std::unique_ptr<PyObject, DecRef>;

// A new reference to a borrowed object.
inline Ref new_ref(PyObject* borrowed) noexcept {
  return Ref(Py_NewRef(borrowed));
}

}  // namespace vyr::arrays
