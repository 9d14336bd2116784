#include "core/process_state.hpp"

#include <atomic>

namespace vyr {

namespace {

std::atomic<std::int64_t> g_owner_interpreter{-1};
std::atomic<void*> g_fault_exception_type{nullptr};

}  // namespace

bool claim_owner_interpreter(std::int64_t interpreter) noexcept {
  std::int64_t expected = -1;
  return g_owner_interpreter.compare_exchange_strong(
             expected, interpreter, std::memory_order_acq_rel, std::memory_order_acquire) ||
         expected == interpreter;
}

void* published_fault_exception_type() noexcept {
  return g_fault_exception_type.load(std::memory_order_acquire);
}

void* publish_fault_exception_type(void* candidate) noexcept {
  void* expected = nullptr;
  if (g_fault_exception_type.compare_exchange_strong(expected, candidate, std::memory_order_acq_rel,
                                                     std::memory_order_acquire)) {
    return candidate;
  }
  return expected;
}

}  // namespace vyr
