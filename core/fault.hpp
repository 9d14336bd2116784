// Faults: how a kernel that cannot go on stops the current call.
//
// A fault is a C++ exception carrying the text that the caller will see as the
// message of the Python-level fault exception.  Kernels raise faults through
// `raise_fault`, which first writes the one-time report to standard error on
// the thread where the fault happens and then throws.  Faults are plain C++ and
// carry no interpreter state, so worker threads may raise them freely; the
// parallel engine carries them back to the calling thread unchanged.
#pragma once

#include <cstddef>
#include <exception>
#include <source_location>
#include <span>
#include <string>

namespace vyr {

class Fault : public std::exception {
 public:
  explicit Fault(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const noexcept { return message_; }

 private:
  std::string message_;
};

// Writes the standard-error report for a fault (thread name and id, source
// location, message; the first report of the process adds a hint line).
void report_fault(const std::string& message, const std::source_location& where) noexcept;

// Reports the fault where it happens and throws it.
[[noreturn]] void raise_fault(std::string message,
                              std::source_location where = std::source_location::current());

// The fault of a read at `index` past the end of a vector of `length` elements.
[[noreturn]] void raise_index_fault(std::size_t length, std::size_t index,
                                    std::source_location where = std::source_location::current());

// vector[index], or the fault of a read past the end of `vector`, reported
// where the read is written.
inline double element_or_fault(std::span<const double> vector, std::size_t index,
                               std::source_location where = std::source_location::current()) {
  if (index >= vector.size()) {
    raise_index_fault(vector.size(), index, where);
  }
  return vector[index];
}

// The fault of a reservation whose byte size exceeds what any allocation may ask for.
[[noreturn]] void raise_capacity_overflow(
    std::source_location where = std::source_location::current());

// Largest byte size that a single reservation may request: the largest signed
// 64-bit value, so that pointer differences within it stay representable.  For
// 8-byte elements the largest reservation is therefore 2^63 - 8 bytes.
inline constexpr unsigned long long kMaxAllocationBytes = 0x7FFFFFFFFFFFFFFFULL;

// True when `count` elements of `element_size` bytes fit within kMaxAllocationBytes.
constexpr bool fits_allocation(unsigned long long count, unsigned long long element_size) noexcept {
  return element_size == 0 || count <= kMaxAllocationBytes / element_size;
}

}  // namespace vyr
