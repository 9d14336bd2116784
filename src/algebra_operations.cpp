#include "src/algebra_operations.hpp"

namespace vyr::clifford {

std::span<const Operation> operations() noexcept {
  return {};
}

}  // namespace vyr::clifford
