// Binding the arguments of an array function's fast call to its parameters.
#pragma once

#include "arrays/numpy_api.hpp"

#include <cstddef>
#include <initializer_list>

namespace vyr::arrays {

// A function's name and parameters, in order.  The first `required` ones must
// be given; the others default to None.  Every parameter may be passed by
// position or by keyword.
struct Parameters {
  const char* function;
  std::initializer_list<const char*> names;
  std::size_t required;
};

// Fills `slots` (borrowed references, one per parameter; null for an optional
// parameter not given or given as None).  A call of the wrong shape raises the
// interpreter's usual TypeError for it.
void bind(const Parameters& parameters, PyObject* const* args, Py_ssize_t positional,
          PyObject* keyword_names, PyObject** slots);

}  // namespace vyr::arrays
