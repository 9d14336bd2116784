// The parallel map engine: a process-wide work-stealing worker pool and the
// indexed map that the batch kernels run on.
//
// Nothing in here knows about the interpreter, the kernels or the module that
// uses it.  Work arrives as plain index ranges; faults raised by the work (any
// C++ exception) travel back to the calling thread, the fault of the lowest
// failing index winning.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <memory>
#include <new>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/containers.hpp"
#include "core/fault.hpp"

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
// Once the hook has asked, the map ends in Cancelled even if every piece had
// already started and finished, or if a piece faulted: the caller has given up
// on the result.
class Cancelled : public std::exception {
 public:
  const char* what() const noexcept override { return "map cancelled by its caller"; }
};

// Whether a child forked (by the wait hook) while the map ran may run the
// map's elements again.  A map whose elements read what they write (an update
// in place) must forbid it: the elements that the parent's workers had
// finished before the fork would be applied twice in the child.
enum class ChildRerun { kAllowed, kForbidden };

// Thrown in a forked child by a map started with ChildRerun::kForbidden (see
// WaitHook): the process forked while the call ran, and the child cannot
// finish it without applying some element twice.  Which elements were
// applied in the child's memory is unknown; the parent is unaffected.
class ForkedDuringMap : public std::exception {
 public:
  const char* what() const noexcept override {
    return "the process forked while a parallel call ran; the child cannot finish the call "
           "without applying some elements twice, and the call's output is incomplete there";
  }
};

// A hook that a thread outside the pool may install while it runs maps.  While
// that thread waits for a map to finish it calls `poll(context)` after every
// 10 ms of waiting (so never for a map that finishes sooner); when poll
// returns true the map is cancelled: pieces not yet started are skipped,
// leaves stop at their next look at the flag (the indexed maps look before
// every element or run, long elements where they call check_cancellation or
// throw_if_cancelled), partial results are destroyed, and once no worker can
// touch the caller's data any more the map throws Cancelled.  An exception
// thrown by poll cancels the map the same way and is rethrown in place of
// Cancelled.  Without a hook the caller just blocks.  Work that the thread
// runs itself (a map of 0 or 1 elements, or work outside any map) polls the
// hook through check_cancellation.  While poll runs, the thread has no hook:
// engine work started from inside poll does not poll it again.
//
// Poll may fork the process.  In the child only the polling thread lives on,
// and none of the pool's workers: the map is then cancelled there if poll
// asked for it.  Otherwise a map started with ChildRerun::kAllowed (every
// indexed map) is run again from its start on the child's own pool, which
// element functions that depend only on their index allow; one started with
// ChildRerun::kForbidden throws ForkedDuringMap in the child.  Results that an
// element had built in the parent's memory before the fork are overwritten
// without being destroyed (their storage is left behind in the child);
// nothing in the parent changes.
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

// The line that the engine writes to standard error before it aborts the
// process on a fault in its own bookkeeping, which has no caller to go to (a
// latch that cannot be set, a wait that fails).  The module that uses the
// engine sets it before its first map; `line` must live as long as the
// process.  Until then a line without the module's name is written.
void set_fatal_notice(const char* line) noexcept;

// Runs `leaf(begin, end)` over pieces covering [0, n) split by the budget rule;
// every leaf handles its indexes in increasing order.  Returns when all pieces
// are done.  If leaves throw, rethrows the exception of the lowest piece that
// threw (so, with leaves that stop at their first failing index, the failure of
// the lowest failing index).  n <= 1 runs on the calling thread.  `rerun`
// says what a child forked by the wait hook while the map runs does (see
// WaitHook).
void for_each_piece(std::size_t n, RangeFn leaf, ChildRerun rerun = ChildRerun::kAllowed);

// Inside a leaf: whether the caller of the running map has asked for it to
// stop.  The indexed maps look between elements, so that cancellation does not
// wait for the whole leaf.
bool cancel_requested() noexcept;

// Inside a leaf: throws Cancelled when cancel_requested().  The look that work
// between the steps of a long leaf makes; unlike check_cancellation it never
// polls a wait hook.
void throw_if_cancelled();

// For work that may run long (an element function, or work outside any map):
// call it every millisecond or so of work, between steps whose order the
// check does not change, so that a cancelled map waits for such work about a
// millisecond past the caller's poll.  Throws Cancelled when the caller of
// the running map has asked it to stop.  On a thread with a wait hook, which
// is not waiting while it works, the hook is polled here, and Cancelled (or
// the exception the hook threw) is thrown when it asks to stop.  Cheap, but
// not free: a thread-local read, and on such a thread the hook's poll.
void check_cancellation();

namespace detail {

class Pool;

// The cancellation flag of the map whose leaf runs on this thread; null
// outside every leaf.
const std::atomic<bool>* leaf_cancel_flag() noexcept;

// Throws Cancelled when `flag`, the cancellation flag of a map (null outside
// every map), says that the map's caller has asked it to stop.  The flag
// carries nothing else (the caller learns what the workers did through the
// map's latch), so a relaxed read does.
inline void throw_if_cancelled(const std::atomic<bool>* flag) {
  if (flag != nullptr && flag->load(std::memory_order_relaxed)) {
    throw Cancelled();
  }
}

// Cancellation as an indexed map's leaf sees it: the flag is looked up once
// per leaf and read before every element.
class LeafCancellation {
 public:
  LeafCancellation() noexcept : flag_(leaf_cancel_flag()) {}
  void check() const { throw_if_cancelled(flag_); }

 private:
  const std::atomic<bool>* flag_;
};

// Runs `leaf` over pieces covering [0, n) on `pool` (null: the calling
// worker's own pool, or the process-wide pool from any other thread).
// Every subtree of the split either completes all its pieces or fails; when
// `undo` is given, the engine calls it once for every range whose pieces all
// completed but whose results are being thrown away because a neighbour failed
// or the map was cancelled, so that a failing map leaves nothing behind.  A
// leaf that fails must clean up after itself before it throws.  `undo` must
// not throw.  `rerun` as for for_each_piece.
void run_map(Pool* pool, std::size_t n, RangeFn leaf, const RangeFn* undo,
             ChildRerun rerun = ChildRerun::kAllowed);

// indexed_map on a given pool (null as for run_map).
template <class R, class Element>
void indexed_map_on(Pool* pool, std::vector<R>& out, std::size_t n, Element&& element) {
  const std::size_t base = out.size();
  if (n > out.max_size() - base || !fits_allocation(base + n, sizeof(R))) {
    raise_capacity_overflow();
  }

  if constexpr (std::is_trivially_copyable_v<R> && std::is_trivially_default_constructible_v<R>) {
    // Results that need no destruction go straight into the output, which a
    // failed map cuts back to its old length.
    out.resize(base + n);
    R* const slots = out.data() + base;
    auto leaf = [slots, &element](std::size_t begin, std::size_t end) {
      const LeafCancellation cancellation;
      for (std::size_t i = begin; i < end; ++i) {
        cancellation.check();
        slots[i] = element(i);
      }
    };
    try {
      run_map(pool, n, RangeFn(leaf), nullptr);
    } catch (...) {
      out.resize(base);
      throw;
    }
  } else {
    out.reserve(base + n);

    // The results are built in a buffer of their own: a vector cannot hold
    // constructed elements beyond its length, and the output must stay
    // exactly as it was if the map fails.
    struct Buffer {
      explicit Buffer(std::size_t size)
          : count(size), slots(size == 0 ? nullptr : std::allocator<R>().allocate(size)) {}
      ~Buffer() {
        if (slots != nullptr) {
          std::allocator<R>().deallocate(slots, count);
        }
      }
      Buffer(const Buffer&) = delete;
      Buffer& operator=(const Buffer&) = delete;
      std::size_t count;
      R* slots;
    };
    Buffer buffer(n);
    R* const slots = buffer.slots;

    auto leaf = [slots, &element](std::size_t begin, std::size_t end) {
      const LeafCancellation cancellation;
      std::size_t i = begin;
      try {
        for (; i < end; ++i) {
          cancellation.check();
          ::new (static_cast<void*>(slots + i)) R(element(i));
        }
      } catch (...) {
        std::destroy(slots + begin, slots + i);
        throw;
      }
    };
    auto undo = [slots](std::size_t begin, std::size_t end) noexcept {
      std::destroy(slots + begin, slots + end);
    };
    const RangeFn undo_fn(undo);
    run_map(pool, n, RangeFn(leaf), &undo_fn);

    // Every slot is filled; hand the results over.  Room was reserved, so
    // only a throwing move of R can fail here, and then the output is cut
    // back.
    try {
      for (std::size_t i = 0; i < n; ++i) {
        out.push_back(std::move(slots[i]));
      }
    } catch (...) {
      while (out.size() > base) {
        out.pop_back();
      }
      std::destroy(slots, slots + n);
      throw;
    }
    std::destroy(slots, slots + n);
  }
}

}  // namespace detail

// Appends n results to `out`, slot k holding element(k), in input order.  The
// elements are computed on the pool (on the calling thread when n <= 1); the
// pool is created by the first map even when n is 0.  On a fault, or when the
// map is cancelled, `out` is left as it was, every partial result is
// destroyed, and the fault of the lowest failing index (or Cancelled) is
// rethrown.  A result count too large to allocate raises the capacity
// overflow fault before any work starts.
template <class R, class Element>
void indexed_map(std::vector<R>& out, std::size_t n, Element&& element) {
  detail::indexed_map_on(nullptr, out, n, std::forward<Element>(element));
}

// The indexed map for results that are rows of `width` doubles: returns
// `count` rows, row k written by element(k, row), where `row` is a
// std::span<double> of `width` zeros.  Elements, cancellation and faults are
// as for indexed_map; on a fault no row is returned.  The caller makes sure
// that count × width doubles can be sized.
template <class Element>
Rows indexed_rows(std::size_t count, std::size_t width, Element&& element) {
  Rows rows{width, count, std::vector<double>(count * width)};
  double* const values = rows.values.data();
  auto leaf = [values, width, &element](std::size_t begin, std::size_t end) {
    const detail::LeafCancellation cancellation;
    for (std::size_t i = begin; i < end; ++i) {
      cancellation.check();
      // Zeroed again here, so that an element run a second time (in a child
      // forked while the map ran) starts from zeros as well.
      const std::span<double> row(values + i * width, width);
      std::fill(row.begin(), row.end(), 0.0);
      element(i, row);
    }
  };
  detail::run_map(nullptr, count, RangeFn(leaf), nullptr);
  return rows;
}

namespace detail {

// A leaf's indexes [begin, end) handed to a kernel that computes several
// elements at once: `fill(first, last)` for consecutive ranges of at most
// `run` indexes, in increasing order, looking for cancellation before each.
template <class Fill>
void for_runs_of_leaf(std::size_t begin, std::size_t end, std::size_t run, Fill& fill) {
  const LeafCancellation cancellation;
  for (std::size_t first = begin; first < end;) {
    cancellation.check();
    const std::size_t last = end - first > run ? first + run : end;
    fill(first, last);
    first = last;
  }
}

}  // namespace detail

// indexed_map for double results computed several at a time:
// `fill(first, last, slots)` writes the results of the indexes [first, last)
// to slots[0 .. last - first).  Every index lies in exactly one such range,
// the ranges of a leaf come in increasing order and hold at most `run`
// indexes (`run` > 0), and cancellation is looked for between them.  Faults,
// cancellation and the state of `out` afterwards are as for indexed_map.
template <class Fill>
void indexed_runs(std::vector<double>& out, std::size_t n, std::size_t run, Fill&& fill) {
  const std::size_t base = out.size();
  if (n > out.max_size() - base || !fits_allocation(base + n, sizeof(double))) {
    raise_capacity_overflow();
  }
  out.resize(base + n);
  double* const slots = out.data() + base;
  auto leaf = [slots, run, &fill](std::size_t begin, std::size_t end) {
    auto fill_range = [slots, &fill](std::size_t first, std::size_t last) {
      fill(first, last, slots + first);
    };
    detail::for_runs_of_leaf(begin, end, run, fill_range);
  };
  try {
    detail::run_map(nullptr, n, RangeFn(leaf), nullptr);
  } catch (...) {
    out.resize(base);
    throw;
  }
}

// indexed_rows for rows computed several at a time: `fill(first, last, rows)`
// writes the rows [first, last), `rows` pointing at row `first` (zeros on
// entry).  Ranges, cancellation and faults as for indexed_runs.
template <class Fill>
Rows indexed_row_runs(std::size_t count, std::size_t width, std::size_t run, Fill&& fill) {
  Rows rows{width, count, std::vector<double>(count * width)};
  double* const values = rows.values.data();
  auto leaf = [values, width, run, &fill](std::size_t begin, std::size_t end) {
    auto fill_range = [values, width, &fill](std::size_t first, std::size_t last) {
      fill(first, last, values + first * width);
    };
    detail::for_runs_of_leaf(begin, end, run, fill_range);
  };
  detail::run_map(nullptr, count, RangeFn(leaf), nullptr);
  return rows;
}

}  // namespace vyr::parallel
