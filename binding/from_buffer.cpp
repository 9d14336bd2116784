#include "binding/from_buffer.hpp"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <initializer_list>

#include "binding/signal_checks.hpp"
#include "interpreter/pyref.hpp"

namespace vyr::binding {

namespace {

// A type defined by an extension module, found in that module once the
// program has loaded it.  The module is never imported from here: an object
// of the type cannot exist before its module is loaded.
struct DefinedType {
  const char* module;
  const char* attribute;
  PyObject* module_name = nullptr;  // interned on first use
  PyObject* type = nullptr;         // strong reference to the last type found
};

DefinedType g_array_type{"array", "array"};
DefinedType g_ndarray_type{"numpy", "ndarray"};

// The type `defined` names in its loaded module (a new reference), or null.
// Reads the module's dictionary rather than asking the module, so that no
// attribute hook of the module runs in the middle of a conversion.
PyObject* find_defined_type(DefinedType& defined) {
  if (defined.module_name == nullptr) {
    defined.module_name = PyUnicode_InternFromString(defined.module);
    if (defined.module_name == nullptr) {
      PyErr_Clear();
      return nullptr;
    }
  }
  PyRef module(PyImport_GetModule(defined.module_name));
  if (!module || !PyModule_Check(module.get())) {
    PyErr_Clear();
    return nullptr;
  }
  PyObject* dictionary = PyModule_GetDict(module.get());
  PyObject* found = PyDict_GetItemString(dictionary, defined.attribute);
  if (found == nullptr || !PyType_Check(found)) {
    return nullptr;
  }
  return Py_NewRef(found);
}

// Whether `object` is exactly of one of the `types`.  The types last found
// answer at once; for any other type they are looked up again, since a module
// loaded anew defines new type objects.
bool has_defined_type(PyObject* object, std::initializer_list<DefinedType*> types) {
  const PyBufferProcs* const buffer = Py_TYPE(object)->tp_as_buffer;
  if (buffer == nullptr || buffer->bf_getbuffer == nullptr) {
    // Lists, tuples and most other sequences export no buffer: not an array.
    return false;
  }
  PyObject* const type = reinterpret_cast<PyObject*>(Py_TYPE(object));
  for (const DefinedType* defined : types) {
    if (type == defined->type) {
      return true;
    }
  }
  for (DefinedType* defined : types) {
    Py_XSETREF(defined->type, find_defined_type(*defined));
    if (type == defined->type) {
      return true;
    }
  }
  return false;
}

// One-dimensional buffers: memoryview, array.array and numpy.ndarray.  Bytes
// and bytearray iterate as they are and are settled without a lookup.
bool iterates_as_vector_buffer(PyObject* object) {
  return Py_IS_TYPE(object, &PyMemoryView_Type) ||
         (!PyBytes_CheckExact(object) && !PyByteArray_CheckExact(object) &&
          has_defined_type(object, {&g_ndarray_type, &g_array_type}));
}

// Two-dimensional buffers: numpy.ndarray alone iterates into its rows.
bool iterates_as_batch_buffer(PyObject* object) {
  return has_defined_type(object, {&g_ndarray_type});
}

// A held buffer view with shape and strides, released on every path.
class BufferView {
 public:
  explicit BufferView(PyObject* object) {
    if (PyObject_GetBuffer(object, &view_, PyBUF_RECORDS_RO) == 0) {
      held_ = true;
    } else {
      // Iteration will meet (and report) the same problem, if any.
      PyErr_Clear();
    }
  }
  ~BufferView() {
    if (held_) {
      PyBuffer_Release(&view_);
    }
  }
  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;

  // Whether the view holds `dimensions` axes of plain strided memory.
  bool holds(int dimensions) const noexcept {
    return held_ && view_.ndim == dimensions && view_.shape != nullptr &&
           view_.strides != nullptr && view_.suboffsets == nullptr;
  }
  const Py_buffer& view() const noexcept { return view_; }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

// Values laid out in rows and columns, each axis with its own step in bytes
// (negative steps walk backwards), as a strided buffer holds them.
struct StridedValues {
  const char* first;
  std::size_t rows;
  Py_ssize_t row_step;
  std::size_t columns;
  Py_ssize_t column_step;
};

// Appends the values row by row, each converted to double.  Values are copied
// out byte-wise, since a strided view need not be aligned for its type.
template <class Stored>
void append_converted(const StridedValues& grid, std::vector<double>& out) {
  // Room for every value at once (no fill: the pages are touched as they are
  // written); the vector then grows a piece at a time, and signal handlers
  // run between pieces, as in every other long loop of a call: a copy of
  // 2^28 values takes the better part of a second.
  const std::size_t needed = out.size() + grid.rows * grid.columns;
  if (needed > out.capacity()) {
    // Geometric growth still, for a batch that appends vector after vector.
    out.reserve(std::max(needed, 2 * out.capacity()));
  }
  constexpr std::size_t kValuesBetweenSignalChecks = std::size_t{1} << 20;
  auto read_run = [&out](const char* run, std::size_t count, Py_ssize_t step) {
    for (std::size_t first = 0; first < count; first += kValuesBetweenSignalChecks) {
      if (first > 0) {
        check_signals();
      }
      const std::size_t last = std::min(count, first + kValuesBetweenSignalChecks);
      const std::size_t base = out.size();
      out.resize(base + (last - first));
      double* const values = out.data() + base - first;
      for (std::size_t i = first; i < last; ++i) {
        Stored stored;
        std::memcpy(&stored, run + static_cast<Py_ssize_t>(i) * step, sizeof stored);
        values[i] = static_cast<double>(stored);
      }
    }
  };
  constexpr auto kSize = static_cast<Py_ssize_t>(sizeof(Stored));
  const bool dense_rows = grid.column_step == kSize || grid.columns <= 1;
  if (dense_rows && grid.row_step == kSize * static_cast<Py_ssize_t>(grid.columns)) {
    // One contiguous run: a constant step that the compiler can vectorise.
    read_run(grid.first, grid.rows * grid.columns, kSize);
    return;
  }
  for (std::size_t row = 0; row < grid.rows; ++row) {
    count_item_for_signals();
    const char* const run = grid.first + static_cast<Py_ssize_t>(row) * grid.row_step;
    if (dense_rows) {
      read_run(run, grid.columns, kSize);
    } else {
      read_run(run, grid.columns, grid.column_step);
    }
  }
}

using AppendFn = void (*)(const StridedValues& grid, std::vector<double>& out);

// The struct-module format codes of native scalars that convert to double
// exactly as their __float__ (or __index__) does.
struct NativeFormat {
  char code;
  AppendFn append;
};
constexpr NativeFormat kNativeFormats[] = {
    {'d', append_converted<double>},      {'f', append_converted<float>},
    {'b', append_converted<signed char>}, {'B', append_converted<unsigned char>},
    {'h', append_converted<short>},       {'H', append_converted<unsigned short>},
    {'i', append_converted<int>},         {'I', append_converted<unsigned int>},
    {'l', append_converted<long>},        {'L', append_converted<unsigned long>},
    {'q', append_converted<long long>},   {'Q', append_converted<unsigned long long>},
    {'n', append_converted<Py_ssize_t>},  {'N', append_converted<std::size_t>},
};

// The reader of native values of struct-module format `format`, or null for a
// format whose scalars do not convert this way.
AppendFn native_reader(const char* format) {
  if (format == nullptr) {
    format = "B";
  }
  if (format[0] == '@') {
    ++format;
  }
  if (format[0] == '\0' || format[1] != '\0') {
    return nullptr;
  }
  for (const NativeFormat& native : kNativeFormats) {
    if (native.code == format[0]) {
      return native.append;
    }
  }
  return nullptr;
}

// Appends the values of a one- or two-dimensional view, row by row; false
// for a format whose scalars do not convert to double as their numbers do.
bool append_view(const Py_buffer& view, std::vector<double>& out) {
  const AppendFn append = native_reader(view.format);
  if (append == nullptr) {
    return false;
  }
  const bool two_dimensional = view.ndim == 2;
  const StridedValues grid{
      static_cast<const char*>(view.buf),
      two_dimensional ? static_cast<std::size_t>(view.shape[0]) : 1,
      two_dimensional ? view.strides[0] : 0,
      static_cast<std::size_t>(view.shape[view.ndim - 1]),
      view.strides[view.ndim - 1],
  };
  append(grid, out);
  return true;
}

}  // namespace

// One-dimensional arrays: the whole float vector from the buffer, in any
// layout.
bool append_vector_from_buffer(PyObject* object, std::vector<double>& out) {
  if (!iterates_as_vector_buffer(object)) {
    return false;
  }
  BufferView buffer(object);
  return buffer.holds(1) && append_view(buffer.view(), out);
}

// Two-dimensional numpy arrays iterate into one-dimensional rows, each read as
// above: the whole batch from the buffer, in any layout (sliced, transposed,
// Fortran-ordered, reversed).
bool batch_from_buffer(PyObject* object, Batch& batch) {
  if (!iterates_as_batch_buffer(object)) {
    return false;
  }
  BufferView buffer(object);
  if (!buffer.holds(2)) {
    return false;
  }
  const std::size_t values_before = batch.values.size();
  if (!append_view(buffer.view(), batch.values)) {
    return false;
  }
  const auto rows = static_cast<std::size_t>(buffer.view().shape[0]);
  const auto columns = static_cast<std::size_t>(buffer.view().shape[1]);
  batch.offsets.reserve(batch.offsets.size() + rows);
  for (std::size_t row = 1; row <= rows; ++row) {
    batch.offsets.push_back(values_before + row * columns);
  }
  return true;
}

}  // namespace vyr::binding
