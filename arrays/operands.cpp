#include "arrays/operands.hpp"

#include <cstdarg>

#include "arrays/frame.hpp"

namespace vyr::arrays {

void raise(PyObject* type, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  PyErr_FormatV(type, format, arguments);
  va_end(arguments);
  throw ErrorSet{};
}

namespace {

bool is_native_float64(PyArrayObject* array) noexcept {
  return PyArray_TYPE(array) == NPY_DOUBLE && PyArray_ISALIGNED(array) &&
         PyArray_ISNOTSWAPPED(array);
}

// Replaces a pending TypeError or ValueError by one of `type` whose message
// names the argument, keeping the original as its cause.  Anything else (a
// KeyboardInterrupt raised while numbers were read, say) passes unchanged.
[[noreturn]] void reraise_for_argument(PyObject* type, const char* function, const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_ValueError)) {
    raise_pending();
  }
  Ref original(PyErr_GetRaisedException());
  Ref text(original ? PyObject_Str(original.get()) : nullptr);
  if (!text) {
    raise_pending();
  }
  PyErr_Format(type, "%s: argument '%s': %U", function, name, text.get());
  Ref replacement(PyErr_GetRaisedException());
  PyException_SetCause(replacement.get(), original.release());
  PyErr_SetRaisedException(replacement.release());
  raise_pending();
}

// True for the dtype kinds that hold real numbers: bool, signed and unsigned
// integers, floats.  Object arrays are tried item by item by the cast.
bool converts_to_real(char kind) noexcept {
  return kind == 'b' || kind == 'i' || kind == 'u' || kind == 'f' || kind == 'O';
}

void memory_span(PyArrayObject* array, const char*& low, const char*& high) noexcept {
  low = high = PyArray_BYTES(array);
  for (int axis = 0; axis < PyArray_NDIM(array); ++axis) {
    const npy_intp extent = PyArray_DIMS(array)[axis];
    if (extent == 0) {
      high = low;
      return;
    }
    const npy_intp reach = (extent - 1) * PyArray_STRIDES(array)[axis];
    (reach < 0 ? low : high) += reach;
  }
  high += PyArray_ITEMSIZE(array);
}

bool may_share_memory(PyArrayObject* a, PyArrayObject* b) noexcept {
  const char *a_low, *a_high, *b_low, *b_high;
  memory_span(a, a_low, a_high);
  memory_span(b, b_low, b_high);
  return a_low < a_high && b_low < b_high && a_low < b_high && b_low < a_high;
}

bool same_layout(PyArrayObject* a, PyArrayObject* b) noexcept {
  if (PyArray_BYTES(a) != PyArray_BYTES(b) || PyArray_NDIM(a) != PyArray_NDIM(b)) {
    return false;
  }
  for (int axis = 0; axis < PyArray_NDIM(a); ++axis) {
    if (PyArray_DIMS(a)[axis] != PyArray_DIMS(b)[axis] ||
        (PyArray_DIMS(a)[axis] > 1 && PyArray_STRIDES(a)[axis] != PyArray_STRIDES(b)[axis])) {
      return false;
    }
  }
  return true;
}

std::string shape_of(const Operand& operand) {
  return shape_text({operand.shape(), static_cast<std::size_t>(operand.axes())});
}

Ref new_float64_array(std::span<const npy_intp> shape) {
  Ref array(PyArray_SimpleNew(static_cast<int>(shape.size()), const_cast<npy_intp*>(shape.data()),
                              NPY_DOUBLE));
  if (!array) {
    raise_pending();
  }
  return array;
}

}  // namespace

std::string shape_text(std::span<const npy_intp> shape) {
  std::string text = "(";
  for (std::size_t axis = 0; axis < shape.size(); ++axis) {
    if (axis > 0) {
      text += ", ";
    }
    text += std::to_string(shape[axis]);
  }
  if (shape.size() == 1) {
    text += ",";
  }
  return text + ")";
}

Operand to_float64(const char* function, const char* name, PyObject* object) {
  Ref discovered;
  if (PyArray_Check(object)) {
    if (is_native_float64(reinterpret_cast<PyArrayObject*>(object))) {
      return {new_ref(object)};
    }
    discovered = new_ref(object);
  } else {
    discovered = Ref(PyArray_FromAny(object, nullptr, 0, 0, 0, nullptr));
    if (!discovered) {
      reraise_for_argument(
          PyErr_ExceptionMatches(PyExc_ValueError) ? PyExc_ValueError : PyExc_TypeError, function,
          name);
    }
  }
  auto* array = reinterpret_cast<PyArrayObject*>(discovered.get());
  if (is_native_float64(array)) {
    return {std::move(discovered)};
  }
  PyArray_Descr* const dtype = PyArray_DESCR(array);
  if (!converts_to_real(dtype->kind)) {
    raise(PyExc_TypeError, "%s: argument '%s' must hold real numbers, not %S", function, name,
          reinterpret_cast<PyObject*>(dtype));
  }
  // Unsafe casting, as numpy.asarray(x, dtype=float64) does: long doubles
  // are rounded, integers too large for a double's mantissa as well.
  Ref converted(PyArray_FromAny(discovered.get(), PyArray_DescrFromType(NPY_DOUBLE), 0, 0,
                                NPY_ARRAY_ALIGNED | NPY_ARRAY_NOTSWAPPED | NPY_ARRAY_FORCECAST,
                                nullptr));
  if (!converted) {
    // Only an object array can fail here, on an item that is no real number.
    reraise_for_argument(PyExc_TypeError, function, name);
  }
  return {std::move(converted)};
}

void require_last_axis(const char* function, const char* name, const Operand& operand,
                       std::int64_t extent, const char* extent_text, const char* other_name,
                       const Operand* other) {
  if (operand.axes() == 0) {
    raise(PyExc_ValueError, "%s: argument '%s' must have at least one axis, but has shape ()",
          function, name);
  }
  if (extent < 0 || operand.last_extent() == extent) {
    return;
  }
  if (other == nullptr) {
    raise(PyExc_ValueError, "%s: the last axis of '%s' must have length %s, but %s has shape %s",
          function, name, extent_text, name, shape_of(operand).c_str());
  }
  raise(PyExc_ValueError,
        "%s: the last axis of '%s' must have length %s, but %s has shape %s (and %s has shape %s)",
        function, name, extent_text, name, shape_of(operand).c_str(), other_name,
        shape_of(*other).c_str());
}

BatchShape batch_of(const Operand& a, int core) {
  BatchShape batch;
  batch.axes = a.axes() - core;
  for (int axis = 0; axis < batch.axes; ++axis) {
    batch.extents[axis] = a.shape()[axis];
  }
  return batch;
}

BatchShape broadcast_batches(const char* function, const char* a_name, const Operand& a,
                             const char* b_name, const Operand& b, int core) {
  const int a_axes = a.axes() - core;
  const int b_axes = b.axes() - core;
  BatchShape batch;
  batch.axes = a_axes > b_axes ? a_axes : b_axes;
  for (int axis = 0; axis < batch.axes; ++axis) {
    const int a_axis = axis - (batch.axes - a_axes);
    const int b_axis = axis - (batch.axes - b_axes);
    const npy_intp a_extent = a_axis < 0 ? 1 : a.shape()[a_axis];
    const npy_intp b_extent = b_axis < 0 ? 1 : b.shape()[b_axis];
    if (a_extent != b_extent && a_extent != 1 && b_extent != 1) {
      raise(PyExc_ValueError,
            "%s: '%s' of shape %s and '%s' of shape %s cannot be broadcast together%s", function,
            a_name, shape_of(a).c_str(), b_name, shape_of(b).c_str(),
            core > 0 ? " (over all axes but the last)" : "");
    }
    batch.extents[axis] = a_extent == 1 ? b_extent : a_extent;
  }
  return batch;
}

Result make_result(const char* function, std::span<const npy_intp> shape, PyObject* out,
                   std::span<const Operand* const> inputs, Aliasing aliasing) {
  Result result;
  if (out == nullptr) {
    result.target = new_float64_array(shape);
    result.returned = new_ref(result.target.get());
    return result;
  }
  if (!PyArray_Check(out)) {
    raise(PyExc_TypeError, "%s: out must be a numpy.ndarray, not '%s'", function,
          Py_TYPE(out)->tp_name);
  }
  auto* array = reinterpret_cast<PyArrayObject*>(out);
  if (PyArray_TYPE(array) != NPY_DOUBLE) {
    raise(PyExc_TypeError, "%s: out must have dtype float64, not %S", function,
          reinterpret_cast<PyObject*>(PyArray_DESCR(array)));
  }
  const std::span<const npy_intp> out_shape{PyArray_DIMS(array),
                                            static_cast<std::size_t>(PyArray_NDIM(array))};
  if (!std::equal(out_shape.begin(), out_shape.end(), shape.begin(), shape.end())) {
    raise(PyExc_ValueError, "%s: out has shape %s, but the result has shape %s", function,
          shape_text(out_shape).c_str(), shape_text(shape).c_str());
  }
  if (!PyArray_ISWRITEABLE(array)) {
    raise(PyExc_ValueError, "%s: output array is read-only", function);
  }
  bool aside = !PyArray_ISALIGNED(array) || !PyArray_ISNOTSWAPPED(array);
  for (const Operand* input : inputs) {
    if (aside) {
      break;
    }
    aside = may_share_memory(array, input->array()) &&
            !(aliasing == Aliasing::kSameItemSafe && same_layout(array, input->array()));
  }
  result.returned = new_ref(out);
  if (aside) {
    // Computed into a fresh array and copied over afterwards: the same
    // numbers as without the overlap, and the copy handles any layout.
    result.target = new_float64_array(shape);
    result.copy_back = true;
  } else {
    result.target = new_ref(out);
  }
  return result;
}

PyObject* finish(Result& result) {
  if (result.copy_back && PyArray_CopyInto(reinterpret_cast<PyArrayObject*>(result.returned.get()),
                                           result.array()) < 0) {
    raise_pending();
  }
  return result.returned.release();
}

}  // namespace vyr::arrays
