// The engine's last resort, for faults in its own bookkeeping.
#pragma once

namespace vyr::parallel::detail {

// Writes the fatal notice (see set_fatal_notice) and aborts the process.
[[noreturn]] void fatal_engine_fault() noexcept;

}  // namespace vyr::parallel::detail
