// The array module's functions.
#pragma once

#include "arrays/numpy_api.hpp"

namespace vyr::arrays {

// The module's method table, ended by a null record.
PyMethodDef* function_table();

}  // namespace vyr::arrays
