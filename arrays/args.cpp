#include "arrays/args.hpp"

#include "arrays/frame.hpp"

namespace vyr::arrays {

namespace {

// The index of the parameter called `keyword`, or -1.
Py_ssize_t parameter_index(const Parameters& parameters, PyObject* keyword) {
  Py_ssize_t index = 0;
  for (const char* name : parameters.names) {
    if (PyUnicode_Check(keyword) && PyUnicode_CompareWithASCIIString(keyword, name) == 0) {
      return index;
    }
    ++index;
  }
  return -1;
}

}  // namespace

void bind(const Parameters& parameters, PyObject* const* args, Py_ssize_t positional,
          PyObject* keyword_names, PyObject** slots) {
  const auto count = static_cast<Py_ssize_t>(parameters.names.size());
  const auto required = static_cast<Py_ssize_t>(parameters.required);
  if (positional > count) {
    if (required == count) {
      raise(PyExc_TypeError, "%s() takes %zd positional arguments but %zd were given",
            parameters.function, count, positional);
    }
    raise(PyExc_TypeError, "%s() takes from %zd to %zd positional arguments but %zd were given",
          parameters.function, required, count, positional);
  }
  for (Py_ssize_t i = 0; i < count; ++i) {
    slots[i] = i < positional ? args[i] : nullptr;
  }
  const Py_ssize_t keywords = keyword_names == nullptr ? 0 : PyTuple_GET_SIZE(keyword_names);
  for (Py_ssize_t k = 0; k < keywords; ++k) {
    PyObject* const keyword = PyTuple_GET_ITEM(keyword_names, k);
    const Py_ssize_t index = parameter_index(parameters, keyword);
    if (index < 0) {
      raise(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", parameters.function,
            keyword);
    }
    if (slots[index] != nullptr) {
      raise(PyExc_TypeError, "%s() got multiple values for argument '%S'", parameters.function,
            keyword);
    }
    slots[index] = args[positional + k];
  }
  Py_ssize_t index = 0;
  for (const char* name : parameters.names) {
    if (index < required && slots[index] == nullptr) {
      raise(PyExc_TypeError, "%s() missing required argument '%s' (pos %zd)", parameters.function,
            name, index + 1);
    }
    if (slots[index] == Py_None && index >= required) {
      slots[index] = nullptr;
    }
    ++index;
  }
}

}  // namespace vyr::arrays
