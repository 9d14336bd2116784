// Arguments as float64 arrays, the result array, and the checks between them.
#pragma once

#include "arrays/numpy_api.hpp"

#include <cstdint>
#include <span>
#include <string>

#include "arrays/ref.hpp"

namespace vyr::arrays {

// An argument converted to float64 exactly as numpy.asarray(x, dtype=float64)
// converts it, aligned and in native byte order, with whatever strides it
// had.  The array is held (and with it any buffer it was made from) for as
// long as the operand lives.
struct Operand {
  Ref object;

  PyArrayObject* array() const noexcept { return reinterpret_cast<PyArrayObject*>(object.get()); }
  int axes() const noexcept { return PyArray_NDIM(array()); }
  const npy_intp* shape() const noexcept { return PyArray_DIMS(array()); }
  const npy_intp* strides() const noexcept { return PyArray_STRIDES(array()); }
  char* data() const noexcept { return PyArray_BYTES(array()); }
  npy_intp last_extent() const noexcept { return shape()[axes() - 1]; }
  npy_intp last_stride() const noexcept { return strides()[axes() - 1]; }
};

// Converts the argument `name` of `function`.  Real numbers of every dtype
// and byte order are accepted; complex, text, dates and the like raise
// TypeError, and so does an object array whose items are not real numbers.
Operand to_float64(const char* function, const char* name, PyObject* object);

// Raises ValueError unless the operand has at least one axis, and, when
// `extent` is not negative, unless its last axis has exactly that length.
// The message names the argument, its shape and `other`'s (when given).
void require_last_axis(const char* function, const char* name, const Operand& operand,
                       std::int64_t extent, const char* extent_text, const char* other_name,
                       const Operand* other);

// "(2, 3)", "(3,)" or "()".
std::string shape_text(std::span<const npy_intp> shape);

// The broadcast of the batch axes (all but the last `core` of each operand),
// as numpy broadcasts shapes; ValueError naming both arguments and their
// shapes when they do not fit.
struct BatchShape {
  int axes = 0;
  npy_intp extents[NPY_MAXDIMS] = {};
};
BatchShape broadcast_batches(const char* function, const char* a_name, const Operand& a,
                             const char* b_name, const Operand& b, int core);
BatchShape batch_of(const Operand& a, int core);

// The array that receives a result of `shape`: a new C-contiguous float64
// array, or the caller's `out` after checking it (a numpy.ndarray of dtype
// float64, writable, of exactly that shape).
struct Result {
  Ref returned;            // what the call returns
  Ref target;              // where the kernels write
  bool copy_back = false;  // target is a temporary to be copied into `returned`

  PyArrayObject* array() const noexcept { return reinterpret_cast<PyArrayObject*>(target.get()); }
};

// How the kernels may treat an `out` that shares memory with an input.
enum class Aliasing {
  // Every item is read in full before its result is written, so an out that
  // is exactly an input (same memory, same layout, not broadcast) is safe.
  kSameItemSafe,
  // Any overlap needs a temporary.
  kNone,
};

Result make_result(const char* function, std::span<const npy_intp> shape, PyObject* out,
                   std::span<const Operand* const> inputs, Aliasing aliasing);

// Copies a temporary result into the caller's out, if one was used, and
// returns the call's result (a new reference).
PyObject* finish(Result& result);

}  // namespace vyr::arrays
