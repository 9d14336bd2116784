// An owned reference to an interpreter object, released on every path: the
// one owning handle of both front-ends.
#pragma once

#include <Python.h>

#include <exception>
#include <utility>

#include "interpreter/lifecycle.hpp"

namespace vyr {

class PyRef {
 public:
  PyRef() noexcept = default;
  // Adopts a new (owned) reference; null is allowed.
  explicit PyRef(PyObject* owned) noexcept : object_(owned) {}
  static PyRef borrow(PyObject* borrowed) noexcept { return PyRef(Py_XNewRef(borrowed)); }

  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      release_owned(std::exchange(object_, std::exchange(other.object_, nullptr)));
    }
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { release_owned(object_); }

  PyObject* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  // Hands the reference to the caller.
  PyObject* release() noexcept { return std::exchange(object_, nullptr); }

 private:
  static void release_owned(PyObject* object) noexcept {
    if (object == nullptr) {
      return;
    }
    // A thread that takes the interpreter lock back while the interpreter
    // shuts down is ended by the interpreter (pthread_exit), and the unwind
    // runs this destructor without the lock: the object is left to the
    // process's exit then, since releasing it would touch the interpreter
    // from a thread that no longer belongs to it.
    if (std::uncaught_exceptions() > 0 && interpreter_finalizing()) {
      return;
    }
    Py_DECREF(object);
  }

  PyObject* object_ = nullptr;
};

}  // namespace vyr
