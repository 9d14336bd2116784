// The array functions as numpy ufuncs: each one a ufunc with a single loop
// over float64 (int64 where an operand holds integers), registered through
// numpy's loop API, and a promoter that sends every other real dtype to that
// loop.  numpy then does what a ufunc does (broadcasting, out=, where=,
// axes=, casting, overlaps, __array_ufunc__ dispatch); the loops hand the
// items to the kernels' item loops, on the pool for large loops.
#pragma once

#include "arrays/numpy_api.hpp"

#include <cstdint>
#include <span>

namespace vyr::arrays {

// The ufuncs of the module itself, by name: add, octonion_mul,
// octonion_norm, norms_squared, spectral_flow_step, the trajectories gufunc
// behind spectral_flow, and the functions of one octonion.  Each is a new
// reference; returns false with an exception set on failure.
bool add_module_ufuncs(PyObject* module);

// A dict of the gufuncs of the Clifford algebra of `signature` (each entry
// at most 62 entries of -128..127), by method name: geometric_product,
// sandwich and every operation the algebra has.  `prefix` starts each
// ufunc's name ("algebra([1, 1, 1])" gives "algebra([1, 1, 1]).sandwich").
// Null with an exception set on failure.
PyObject* algebra_ufuncs(std::span<const std::int8_t> signature, const char* prefix);

}  // namespace vyr::arrays
