#include "binding/from_python.hpp"

#include <algorithm>
#include <new>
#include <stdexcept>
#include <string>

#include "binding/from_buffer.hpp"
#include "binding/python_error.hpp"
#include "binding/signal_checks.hpp"
#include "core/fault.hpp"
#include "interpreter/pyref.hpp"

namespace vyr::binding {

namespace {

// Reserves room for `hint` more elements, growing geometrically so that
// repeated reservations (one per vector of a batch) stay linear.  A failed
// reservation is no error: the hint only sizes the first allocation.
template <class T>
void reserve_hint(std::vector<T>& storage, std::size_t hint) {
  const std::size_t wanted = storage.size() + hint;
  if (wanted <= storage.capacity()) {
    return;
  }
  try {
    storage.reserve(std::max(wanted, storage.capacity() * 2));
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
}

// The length a sequence reports, or 0 when asking fails with an ordinary
// error.  What is no Exception (KeyboardInterrupt from a Ctrl-C that landed in
// __len__, SystemExit) is no answer about the length and ends the call.
std::size_t size_hint(PyObject* sequence) {
  if (PyList_CheckExact(sequence)) {
    return static_cast<std::size_t>(PyList_GET_SIZE(sequence));
  }
  if (PyTuple_CheckExact(sequence)) {
    return static_cast<std::size_t>(PyTuple_GET_SIZE(sequence));
  }
  const Py_ssize_t size = PySequence_Size(sequence);
  if (size < 0) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) {
      throw_pending_error();
    }
    PyErr_Clear();
    return 0;
  }
  return static_cast<std::size_t>(size);
}

// Converts every item of a sequence with `convert_item(item)`, in iteration
// order.  `reserve(hint)` is called once with the reported length.  `read_whole`
// may take the whole sequence at once (the buffer fast path, from_buffer.hpp),
// returning false when it cannot.
template <class Reserve, class ReadWhole, class ConvertItem>
void convert_sequence(PyObject* object, std::size_t element_size, Reserve&& reserve,
                      ReadWhole&& read_whole, ConvertItem&& convert_item) {
  if (PyUnicode_Check(object)) {
    throw_type_error("Can't extract `str` to `Vec`");
  }
  if (!PySequence_Check(object)) {
    throw_type_error(downcast_message(object, "Sequence"));
  }
  const std::size_t hint = size_hint(object);
  if (!fits_allocation(hint, element_size)) {
    raise_capacity_overflow();
  }
  reserve(hint);
  if (read_whole(object)) {
    return;
  }

  // Exact lists and tuples are walked by index, exactly as their iterators walk
  // them: the list's length is read again before every item, so a conversion
  // callback (or a signal handler) that shrinks or grows the list is seen as
  // iteration would see it.
  if (PyList_CheckExact(object)) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(object); ++i) {
      count_item_for_signals();
      convert_item(PyList_GET_ITEM(object, i));
    }
    return;
  }
  if (PyTuple_CheckExact(object)) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(object); ++i) {
      count_item_for_signals();
      convert_item(PyTuple_GET_ITEM(object, i));
    }
    return;
  }
  PyRef iterator(PyObject_GetIter(object));
  if (!iterator) {
    throw_pending_error();
  }
  while (PyRef item{PyIter_Next(iterator.get())}) {
    count_item_for_signals();
    convert_item(item.get());
  }
  if (PyErr_Occurred()) {
    throw_pending_error();
  }
}

constexpr auto kNoWholeRead = [](PyObject*) { return false; };

// Item converters receive a borrowed item.  Anything that may run Python code
// holds its own reference first, since that code may drop the item from its
// container.
double item_to_double(PyObject* item) {
  if (PyFloat_CheckExact(item)) {
    return PyFloat_AS_DOUBLE(item);
  }
  PyRef held = PyRef::borrow(item);
  return to_double(held.get());
}

void append_float_vector(PyObject* object, std::vector<double>& values) {
  convert_sequence(
      object, sizeof(double), [&](std::size_t hint) { reserve_hint(values, hint); },
      [&](PyObject* whole) { return append_vector_from_buffer(whole, values); },
      [&](PyObject* item) { values.push_back(item_to_double(item)); });
}

std::int8_t to_int8(PyObject* object) {
  const long value = PyLong_AsLong(object);
  if (value == -1 && PyErr_Occurred()) {
    throw_pending_error();
  }
  if (value < -128 || value > 127) {
    throw PythonError(PyExc_OverflowError, "out of range integral type conversion attempted");
  }
  return static_cast<std::int8_t>(value);
}

PointPair to_point_pair(PyObject* object) {
  if (!PyTuple_Check(object)) {
    throw_type_error(downcast_message(object, "PyTuple"));
  }
  const Py_ssize_t length = PyTuple_GET_SIZE(object);
  if (length != 2) {
    throw PythonError(PyExc_ValueError, "expected tuple of length 2, but got tuple of length " +
                                            std::to_string(length));
  }
  const double x = item_to_double(PyTuple_GET_ITEM(object, 0));
  const double y = item_to_double(PyTuple_GET_ITEM(object, 1));
  return {x, y};
}
}  // namespace

double to_double(PyObject* object) {
  if (PyFloat_CheckExact(object)) {
    return PyFloat_AS_DOUBLE(object);
  }
  const double value = PyFloat_AsDouble(object);
  if (value == -1.0 && PyErr_Occurred()) {
    throw_pending_error();
  }
  return value;
}

std::uint64_t to_size(PyObject* object) {
  unsigned long long value = 0;
  if (PyLong_Check(object)) {
    value = PyLong_AsUnsignedLongLong(object);
  } else {
    PyRef index(PyNumber_Index(object));
    if (!index) {
      throw_pending_error();
    }
    value = PyLong_AsUnsignedLongLong(index.get());
  }
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    throw_pending_error();
  }
  return value;
}

std::vector<double> to_float_vector(PyObject* object) {
  std::vector<double> values;
  append_float_vector(object, values);
  return values;
}

Batch to_batch(PyObject* object) {
  Batch batch;
  convert_sequence(
      object, sizeof(std::size_t), [&](std::size_t hint) { reserve_hint(batch.offsets, hint); },
      [&](PyObject* whole) { return batch_from_buffer(whole, batch); },
      [&](PyObject* item) {
        PyRef held = PyRef::borrow(item);
        append_float_vector(held.get(), batch.values);
        batch.offsets.push_back(batch.values.size());
      });
  return batch;
}

std::vector<PointPair> to_point_pairs(PyObject* object) {
  std::vector<PointPair> pairs;
  convert_sequence(
      object, sizeof(PointPair), [&](std::size_t hint) { reserve_hint(pairs, hint); }, kNoWholeRead,
      [&](PyObject* item) {
        PyRef held = PyRef::borrow(item);
        pairs.push_back(to_point_pair(held.get()));
      });
  return pairs;
}

std::vector<std::int8_t> to_int8_sequence(PyObject* object) {
  std::vector<std::int8_t> values;
  convert_sequence(
      object, sizeof(std::int8_t), [&](std::size_t hint) { reserve_hint(values, hint); },
      kNoWholeRead,
      [&](PyObject* item) {
        PyRef held = PyRef::borrow(item);
        values.push_back(to_int8(held.get()));
      });
  return values;
}

}  // namespace vyr::binding
