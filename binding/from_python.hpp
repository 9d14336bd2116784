// Conversions of arguments: from one borrowed interpreter object to a plain
// value.  Each throws PythonError when the object does not convert.
#pragma once

#include <Python.h>

#include <cstdint>
#include <vector>

#include "core/containers.hpp"

namespace vyr::binding {

// A number, through __float__ (or __index__).
double to_double(PyObject* object);
// A non-negative integer below 2^64, through __index__.
std::uint64_t to_size(PyObject* object);
// A float vector: any sequence other than str, each item converted as a number.
std::vector<double> to_float_vector(PyObject* object);
// A sequence of float vectors.
Batch to_batch(PyObject* object);
// A sequence of tuples of exactly two numbers.
std::vector<PointPair> to_point_pairs(PyObject* object);
// A sequence of integers in -128..127.
std::vector<std::int8_t> to_int8_sequence(PyObject* object);

}  // namespace vyr::binding
