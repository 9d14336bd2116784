// Functions of one octonion (eight components in, eight out), as item loops:
// one table, read by the array front-end, which makes each entry a ufunc.
#pragma once

#include <cstddef>
#include <span>

#include "core/strided.hpp"

namespace vyr::octonion {

struct UnaryFunction {
  // The ufunc's name and its docstring, which states the order of evaluation.
  const char* name;
  const char* summary;
  // results[i] = f(octonions[i]) for i < count; an output item may be the
  // memory of its own input item, but no other item's.
  void (*items)(std::size_t count, ItemsIn octonions, ItemsOut results);
};

// Every function, in the order the module lists them.
std::span<const UnaryFunction> unary_functions() noexcept;

}  // namespace vyr::octonion
