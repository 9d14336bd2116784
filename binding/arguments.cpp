#include "binding/arguments.hpp"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace vyr::binding {

namespace {

// The function as argument errors name it: "name()".
std::string shown_name(const FunctionDescription& description) {
  return std::string(description.name) + "()";
}

// 'a', 'a' and 'b', or 'a', 'b', and 'c'.
std::string quoted_list(const std::vector<const char*>& names) {
  std::string list;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      list += names.size() > 2 ? ", " : " ";
      if (i + 1 == names.size()) {
        list += "and ";
      }
    }
    list += "'";
    list += names[i];
    list += "'";
  }
  return list;
}

}  // namespace

Arguments::Arguments(const FunctionDescription& function, PyObject* const* args,
                     Py_ssize_t positional_count, PyObject* keyword_names)
    : function_(function) {
  const std::size_t parameter_count = function.parameters.size();
  const std::size_t given = static_cast<std::size_t>(positional_count);
  const std::size_t taken = std::min(given, parameter_count);
  std::copy(args, args + taken, slots_.begin());
  if (given > parameter_count) {
    throw_type_error(shown_name(function) + " takes " + std::to_string(parameter_count) +
                     " positional arguments but " + std::to_string(given) + " were given");
  }

  const Py_ssize_t keyword_count = keyword_names ? PyTuple_GET_SIZE(keyword_names) : 0;
  for (Py_ssize_t i = 0; i < keyword_count; ++i) {
    PyObject* keyword = PyTuple_GET_ITEM(keyword_names, i);
    PyObject* value = args[positional_count + i];
    Py_ssize_t length = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(keyword, &length);
    bool matched = false;
    if (utf8 == nullptr) {
      PyErr_Clear();
    } else {
      std::size_t index = 0;
      for (const char* parameter : function.parameters) {
        if (std::strlen(parameter) == static_cast<std::size_t>(length) &&
            std::memcmp(parameter, utf8, static_cast<std::size_t>(length)) == 0) {
          if (slots_[index] != nullptr) {
            throw_type_error(shown_name(function) + " got multiple values for argument '" +
                             parameter + "'");
          }
          slots_[index] = value;
          matched = true;
          break;
        }
        ++index;
      }
    }
    if (!matched) {
      throw_type_error(shown_name(function) + " got an unexpected keyword argument '" +
                       lossy_utf8(keyword) + "'");
    }
  }

  if (given < parameter_count) {
    std::vector<const char*> missing;
    std::size_t index = 0;
    for (const char* parameter : function.parameters) {
      if (slots_[index++] == nullptr) {
        missing.push_back(parameter);
      }
    }
    if (!missing.empty()) {
      throw_type_error(shown_name(function) + " missing " + std::to_string(missing.size()) +
                       " required positional " + (missing.size() == 1 ? "argument" : "arguments") +
                       ": " + quoted_list(missing));
    }
  }
}

PythonError wrap_argument_error(const char* name, PythonError&& error) {
  if (error.type() != PyExc_TypeError) {
    return std::move(error);
  }
  std::string message = std::string("argument '") + name + "': " + error.text();
  PyRef original = error.take_exception();
  PyRef cause(PyException_GetCause(original.get()));
  if (!cause) {
    return PythonError(PyExc_TypeError, std::move(message));
  }
  PyRef wrapped = make_exception(PyExc_TypeError, message);
  PyException_SetCause(wrapped.get(), cause.release());
  return PythonError(std::move(wrapped));
}

}  // namespace vyr::binding
