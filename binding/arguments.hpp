// Exported functions as the interpreter calls them: each one's description,
// and its arguments bound to its parameters.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <initializer_list>
#include <tuple>
#include <utility>

#include "binding/python_error.hpp"

namespace vyr::binding {

// One exported function, described once: its name, its parameters in order
// (every one required, each passed by position or by keyword) and the
// summary that its docstring shows.  The docstring with its text signature,
// the calling convention and the names in argument errors derive from it.
struct FunctionDescription {
  const char* name;
  std::initializer_list<const char*> parameters;
  const char* summary;
};

// The most parameters an exported function has.
inline constexpr std::size_t kMaxParameters = 3;

// The error to raise for a failed conversion of parameter `name`: a TypeError
// gets the name in front of its message, any other error passes unchanged.
PythonError wrap_argument_error(const char* name, PythonError&& error);

// The arguments of one call, bound to the parameters of its function.
class Arguments {
 public:
  // Binds a fast call's arguments (borrowed references; the values of the
  // keyword arguments follow the positional ones).  Throws
  // PythonError(TypeError) for a call of the wrong shape.
  Arguments(const FunctionDescription& function, PyObject* const* args, Py_ssize_t positional_count,
            PyObject* keyword_names);
  // The empty binding of a function without parameters, which the
  // interpreter calls without arguments.
  explicit Arguments(const FunctionDescription& function) noexcept : function_(function) {}

  // Converts every argument, argument i with converters[i], in parameter
  // order; returns the values as a tuple.
  template <class... Converters>
  auto convert_all(Converters&&... converters) const {
    return convert_each(std::index_sequence_for<Converters...>(),
                        std::forward<Converters>(converters)...);
  }

  // Converts the argument of parameter `index` with `converter`.
  template <class Converter>
  auto convert(std::size_t index, Converter&& converter) const -> decltype(converter(nullptr)) {
    try {
      return converter(slots_[index]);
    } catch (PythonError& error) {
      throw wrap_argument_error(std::data(function_.parameters)[index], std::move(error));
    }
  }

 private:
  template <std::size_t... Index, class... Converters>
  auto convert_each(std::index_sequence<Index...>, Converters&&... converters) const {
    // A braced list is evaluated from left to right.
    return std::tuple<decltype(converters(nullptr))...>{
        convert(Index, std::forward<Converters>(converters))...};
  }

  const FunctionDescription& function_;
  std::array<PyObject*, kMaxParameters> slots_{};
};

}  // namespace vyr::binding
