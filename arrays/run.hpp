// Running a ufunc loop's items: small loops on the calling thread, large ones
// on the worker pool while the calling thread answers signals.
#pragma once

#include "arrays/numpy_api.hpp"

#include <cfenv>
#if defined(__x86_64__)
#include <xmmintrin.h>
#endif
#include <cstddef>
#include <cstdint>

#include "parallel/engine.hpp"

namespace vyr::arrays {

// Costs are counted in units of about half a nanosecond of one core (one
// element of an add).  Below this much work (some 75 µs) a loop stays on the
// calling thread: handing work to the pool and waking its workers costs tens
// of microseconds.
inline constexpr std::uint64_t kPoolThreshold = 150'000;
// For loops bound by memory rather than by the core (an add): a second core
// adds little bandwidth, and on a busy machine handing the work over costs
// more than it gains, so such loops stay on the calling thread up to here.
inline constexpr std::uint64_t kMemoryBoundPoolThreshold = std::uint64_t{1} << 22;

// How a loop's items may be run.
struct Work {
  // The work of one item, in the units above.
  std::uint64_t item_cost;
  // Loops of less work than this stay on the calling thread.
  std::uint64_t pool_threshold = kPoolThreshold;
  // Whether an output lies in the memory of an input (an in-place add): a
  // process forked while such a loop runs cannot finish it, since it cannot
  // tell which items the parent had already updated.
  bool output_aliases_input = false;
};

// Keeps the calling thread's floating-point status flags as they were on
// construction: the kernels' results are IEEE results, infinities and NaNs
// included, and raise no numpy warning, on whichever thread they ran (flags
// raised on the pool's workers never reach numpy anyway).  Flags that numpy's
// casts raised before the loop stay raised.
class FloatingPointFlagsKept {
 public:
#if defined(__x86_64__)
  // The kernels compute with SSE and AVX only, whose flags live in MXCSR:
  // reading and writing it costs a few nanoseconds, where the C library's
  // fenv calls also save and load the x87 environment.
  FloatingPointFlagsKept() noexcept : saved_(_mm_getcsr() & kFlags) {}
  ~FloatingPointFlagsKept() { _mm_setcsr((_mm_getcsr() & ~kFlags) | saved_); }
#else
  FloatingPointFlagsKept() noexcept { fegetexceptflag(&saved_, FE_ALL_EXCEPT); }
  ~FloatingPointFlagsKept() { fesetexceptflag(&saved_, FE_ALL_EXCEPT); }
#endif
  FloatingPointFlagsKept(const FloatingPointFlagsKept&) = delete;
  FloatingPointFlagsKept& operator=(const FloatingPointFlagsKept&) = delete;

 private:
#if defined(__x86_64__)
  static constexpr unsigned kFlags = 0x3F;  // MXCSR's six exception flags
  unsigned saved_;
#else
  fexcept_t saved_{};
#endif
};

// Calls runs(first, last) over consecutive ranges covering [0, count), in
// increasing order within each range, and returns 0; or returns -1 with a
// Python exception set (the exception of a signal handler that ended the
// loop, MemoryError, or RuntimeError for a failure of the engine).  Loops run
// with or without the interpreter lock, as numpy calls them; a loop sent to
// the pool releases the lock if it holds it, and takes it back every ~10 ms
// to run signal handlers.  A KeyboardInterrupt from a handler cancels the
// loop and is raised once no worker touches the operands any more.
int run_items(std::size_t count, const Work& work, parallel::RangeFn runs);

// For a loop that runs on the calling thread for long: runs the signal
// handlers (taking the interpreter lock if needed) and returns 0, or -1 with
// the exception of a handler that raised.
int poll_signals();

// Sets `type` with `message` as the pending exception, taking the
// interpreter lock for it when the calling thread does not hold it; returns
// -1, a loop's failure.
int fail(PyObject* type, const char* message);

}  // namespace vyr::arrays
