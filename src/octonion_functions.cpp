#include "src/octonion_functions.hpp"

namespace vyr::octonion {

std::span<const UnaryFunction> unary_functions() noexcept {
  return {};
}

}  // namespace vyr::octonion
