#include "parallel/wait_hook.hpp"

#include <chrono>
#include <cstdint>

#include "parallel/fatal.hpp"
#include "parallel/pool.hpp"

namespace vyr::parallel::detail {

namespace {

thread_local const WaitHook* tls_hook = nullptr;
// The cancellation flag of the map whose leaf runs on this thread, if any.
thread_local const std::atomic<bool>* tls_cancel_flag = nullptr;

// How often a waiting caller with a wait hook polls it (see WaitHook).
constexpr std::chrono::milliseconds kPollInterval{10};

}  // namespace

ScopedCancelFlag::ScopedCancelFlag(const std::atomic<bool>* flag) noexcept
    : previous_(tls_cancel_flag) {
  tls_cancel_flag = flag;
}

ScopedCancelFlag::~ScopedCancelFlag() {
  tls_cancel_flag = previous_;
}

CallerWait wait_for_map(BlockingLatch& done, std::atomic<bool>& cancelled) noexcept {
  const WaitHook* hook = tls_hook;
  const std::uint64_t generation = fork_generation();
  CallerWait outcome;
  try {
    if (done.spin_for(kIdleSpin)) {
      // Finished before the caller had to block.
    } else if (hook == nullptr) {
      done.wait();
    } else {
      while (!done.wait_for(kPollInterval)) {
        if (outcome.cancel_requested) {
          continue;
        }
        try {
          // What the poll runs may use the engine on this thread; it must not
          // poll this hook again from there.
          const ScopedWaitHook hidden(nullptr);
          outcome.cancel_requested = hook->poll(hook->context);
        } catch (...) {
          outcome.poll_fault = std::current_exception();
          outcome.cancel_requested = true;
        }
        if (fork_generation() != generation) {
          // The hook forked, and this is the child: no worker here will set
          // the latch, whose lock a worker of the parent may even hold.
          outcome.forked = true;
          break;
        }
        if (outcome.cancel_requested) {
          cancelled.store(true, std::memory_order_release);
        }
      }
    }
  } catch (...) {
    // Waiting itself failed: returning now would let the workers write into
    // a dead stack frame.
    fatal_engine_fault();
  }
  return outcome;
}

const std::atomic<bool>* leaf_cancel_flag() noexcept {
  return tls_cancel_flag;
}

}  // namespace vyr::parallel::detail

namespace vyr::parallel {

ScopedWaitHook::ScopedWaitHook(const WaitHook* hook) noexcept : previous_(detail::tls_hook) {
  detail::tls_hook = hook;
}

ScopedWaitHook::~ScopedWaitHook() {
  detail::tls_hook = previous_;
}

bool cancel_requested() noexcept {
  const std::atomic<bool>* flag = detail::leaf_cancel_flag();
  return flag != nullptr && flag->load(std::memory_order_relaxed);
}

void throw_if_cancelled() {
  detail::throw_if_cancelled(detail::leaf_cancel_flag());
}

void check_cancellation() {
  throw_if_cancelled();
  if (const WaitHook* hook = detail::tls_hook) {
    bool stop = false;
    {
      const ScopedWaitHook hidden(nullptr);
      stop = hook->poll(hook->context);
    }
    if (stop) {
      throw Cancelled();
    }
  }
}

}  // namespace vyr::parallel
