// Argument binding, argument conversion and result building.
#pragma once

#include <Python.h>

#include <cstdint>
#include <initializer_list>
#include <span>
#include <vector>

#include "binding/errors.hpp"
#include "binding/pyref.hpp"
#include "src/batch.hpp"
#include "src/spectral.hpp"

namespace vyr::binding {

// The parameters of one exported function.  Every parameter is required and
// may be passed by position or by keyword.
struct ArgumentDescription {
  const char* function_name;
  std::initializer_list<const char*> parameters;
};

// Fills `slots` (one per parameter, borrowed references) from a fast call.
// Throws PythonError(TypeError) for a call of the wrong shape.
void bind_arguments(const ArgumentDescription& description, PyObject* const* args,
                    Py_ssize_t positional_count, PyObject* keyword_names, PyObject** slots);

// Runs one conversion for the parameter `name`, putting the name into an error
// whose type is exactly TypeError.
template <class Convert>
auto convert_argument(const char* name, PyObject* object, Convert&& convert)
    -> decltype(convert(object));

// Conversions from one borrowed object to a plain value.
double to_double(PyObject* object);
std::uint64_t to_size(PyObject* object);
std::int8_t to_int8(PyObject* object);
std::vector<double> to_float_vector(PyObject* object);
Batch to_batch(PyObject* object);
spectral::PointPair to_point_pair(PyObject* object);
std::vector<spectral::PointPair> to_point_pairs(PyObject* object);
std::vector<std::int8_t> to_int8_sequence(PyObject* object);

// Result builders: each returns a new reference or faults with
// "Python API call failed".
PyRef build_float(double value);
PyRef build_float_list(std::span<const double> values);
PyRef build_rows(const Rows& rows);
PyRef build_point_pair(spectral::PointPair pair);
PyRef build_trajectory(std::span<const spectral::PointPair> trajectory);
PyRef build_trajectories(std::vector<spectral::Trajectory>&& trajectories);

// The error to raise for a failed conversion of parameter `name`.
PythonError wrap_argument_error(const char* name, PythonError&& error);

template <class Convert>
auto convert_argument(const char* name, PyObject* object, Convert&& convert)
    -> decltype(convert(object)) {
  try {
    return convert(object);
  } catch (PythonError& error) {
    throw wrap_argument_error(name, std::move(error));
  }
}

}  // namespace vyr::binding
