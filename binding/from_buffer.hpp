// The fast path of the sequence conversions: arrays read straight from their
// buffers.
//
// Arrays whose iteration yields exactly the doubles stored in their buffer (or
// numbers whose __float__ is the exact C conversion of the stored value) can be
// read straight from that buffer, in any layout, instead of item by item.
// Only the exact types qualify (memoryview, array.array, numpy.ndarray),
// identified by their type objects: a subclass, or any other class that
// exports a buffer, may iterate differently, and a name proves nothing.  Each
// function returns false, having added nothing, when `object` is not such an
// array or its buffer holds values that do not convert this way; the caller
// then iterates it.
#pragma once

#include <Python.h>

#include <vector>

#include "core/containers.hpp"

namespace vyr::binding {

// A one-dimensional array: appends the whole float vector to `out`.
bool append_vector_from_buffer(PyObject* object, std::vector<double>& out);

// A two-dimensional numpy array, which iterates into one-dimensional rows:
// appends every row to `batch`.
bool batch_from_buffer(PyObject* object, Batch& batch);

}  // namespace vyr::binding
