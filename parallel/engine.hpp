// The parallel map engine: a process-wide work-stealing worker pool and the
// indexed map that the batch kernels run on.
//
// Nothing in here knows about the interpreter.  Work arrives as plain index
// ranges; faults raised by the work (any C++ exception) travel back to the
// calling thread, the fault of the lowest failing index winning.
#pragma once

#include <cstddef>
#include <exception>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

namespace vyr::parallel {

// A non-owning reference to a callable `void(std::size_t begin, std::size_t end)`.
class RangeFn {
 public:
  template <class F>
    requires(!std::is_same_v<std::remove_cvref_t<F>, RangeFn>)
  RangeFn(F& callable) noexcept  // NOLINT: implicit by design
      : object_(static_cast<void*>(&callable)), call_(&invoke<F>) {}

  void operator()(std::size_t begin, std::size_t end) const { call_(object_, begin, end); }

 private:
  template <class F>
  static void invoke(void* object, std::size_t begin, std::size_t end) {
    (*static_cast<F*>(object))(begin, end);
  }
  void* object_;
  void (*call_)(void*, std::size_t, std::size_t);
};

// Thrown out of a map whose waiting caller asked for it to stop (see WaitHook).
class Cancelled : public std::exception {
 public:
  const char* what() const noexcept override { return "map cancelled by its caller"; }
};

// A hook that a thread outside the pool may install while it runs maps.  While
// that thread waits for a map to finish it calls `poll(context)` every few
// milliseconds; when poll returns true the map is cancelled: pieces not yet
// started are skipped, running ones finish, and the map throws Cancelled.
struct WaitHook {
  bool (*poll)(void* context);
  void* context;
};

// Installs `hook` as the calling thread's wait hook for the lifetime of the
// object, restoring the previous one afterwards (nested maps keep their own).
class ScopedWaitHook {
 public:
  explicit ScopedWaitHook(const WaitHook* hook) noexcept;
  ~ScopedWaitHook();
  ScopedWaitHook(const ScopedWaitHook&) = delete;
  ScopedWaitHook& operator=(const ScopedWaitHook&) = delete;

 private:
  const WaitHook* previous_;
};

// Number of worker threads T.  On a worker: that worker's pool.  Elsewhere: the
// process-wide pool, created on first use.  Creation failure throws vyr::Fault
// "The global thread pool has not been initialized. ..." (every later call too).
std::size_t pool_size();

// Runs `leaf(begin, end)` over pieces covering [0, n) split by the budget rule;
// every leaf handles its indexes in increasing order.  Returns when all pieces
// are done.  If leaves throw, rethrows the exception of the lowest piece that
// threw (so, with leaves that stop at their first failing index, the failure of
// the lowest failing index).  n <= 1 runs on the calling thread.
void for_each_piece(std::size_t n, RangeFn leaf);

// Appends n results to `out`, slot k holding element(k), in input order.  On a
// fault `out` is left as it was and every partial result is destroyed.
template <class R, class Element>
void indexed_map(std::vector<R>& out, std::size_t n, Element&& element) {
  const std::size_t base = out.size();
  out.reserve(base + n);
  // Results are constructed in the reserved storage and only adopted into the
  // vector once every slot is filled.
  struct Storage {
    R* slots;
    std::vector<unsigned char> filled;
  };
  std::vector<R> staging;
  staging.reserve(n);
  R* slots = std::allocator<R>().allocate(n == 0 ? 1 : n);
  std::vector<unsigned char> filled(n, 0);
  auto leaf = [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
      ::new (static_cast<void*>(slots + i)) R(element(i));
      filled[i] = 1;
    }
  };
  try {
    for_each_piece(n, leaf);
  } catch (...) {
    for (std::size_t i = 0; i < n; ++i) {
      if (filled[i]) slots[i].~R();
    }
    std::allocator<R>().deallocate(slots, n == 0 ? 1 : n);
    throw;
  }
  for (std::size_t i = 0; i < n; ++i) {
    out.push_back(std::move(slots[i]));
    slots[i].~R();
  }
  std::allocator<R>().deallocate(slots, n == 0 ? 1 : n);
  (void)staging;
}

}  // namespace vyr::parallel
