#include "parallel/notifier.hpp"

#include "parallel/fatal.hpp"

namespace vyr::parallel::detail {

Notifier::Notifier(std::size_t workers)
    : count_(workers), sleepers_(std::make_unique<Sleeper[]>(workers)) {}

void Notifier::idle_begin() noexcept {
  counters_.fetch_add(kIdleOne, std::memory_order_seq_cst);
}

void Notifier::idle_end() noexcept {
  counters_.fetch_sub(kIdleOne, std::memory_order_seq_cst);
}

std::uint32_t Notifier::events() const noexcept {
  return static_cast<std::uint32_t>(counters_.load(std::memory_order_seq_cst) >> 32);
}

void Notifier::announce_work(bool queue_was_busy) noexcept {
  // The increment is what a worker about to sleep checks against: if it read
  // the counters before this, its registration fails and it looks again;
  // if after, it sees the new job.
  const std::uint64_t before = counters_.fetch_add(kEventOne, std::memory_order_seq_cst);
  const std::uint64_t sleeping = before & 0xFFFF;
  const std::uint64_t idle = (before >> 16) & 0xFFFF;
  if (sleeping > 0 && (queue_was_busy || idle == sleeping)) {
    wake_any();
  }
}

bool Notifier::wake_if_blocked(Sleeper& sleeper) noexcept {
  try {
    std::lock_guard<std::mutex> lock(sleeper.mutex);
    if (!sleeper.blocked) {
      return false;
    }
    sleeper.blocked = false;
    counters_.fetch_sub(kSleepingOne, std::memory_order_seq_cst);
    sleeper.wake_up.notify_one();
    return true;
  } catch (...) {
    fatal_engine_fault();
  }
}

bool Notifier::wake_any() noexcept {
  const std::size_t start = wake_cursor_.fetch_add(1, std::memory_order_relaxed) % count_;
  for (std::size_t k = 0; k < count_; ++k) {
    if (wake_if_blocked(sleepers_[(start + k) % count_])) {
      return true;
    }
  }
  return false;
}

void Notifier::wake(std::size_t worker) noexcept {
  wake_if_blocked(sleepers_[worker]);
}

void Notifier::sleep(std::size_t worker, SpinLatch& latch, std::uint32_t events_seen) noexcept {
  Sleeper& sleeper = sleepers_[worker];
  try {
    std::unique_lock<std::mutex> lock(sleeper.mutex);
    if (!latch.announce_sleep()) {
      return;  // already set
    }
    std::uint64_t seen = counters_.load(std::memory_order_seq_cst);
    for (;;) {
      if (static_cast<std::uint32_t>(seen >> 32) != events_seen) {
        // Work was pushed since this worker last looked.
        latch.withdraw_sleep();
        return;
      }
      if (counters_.compare_exchange_weak(seen, seen + kSleepingOne, std::memory_order_seq_cst,
                                          std::memory_order_seq_cst)) {
        break;
      }
    }
    sleeper.blocked = true;
    while (sleeper.blocked) {
      sleeper.wake_up.wait(lock);
    }
    latch.withdraw_sleep();
  } catch (...) {
    fatal_engine_fault();
  }
}

}  // namespace vyr::parallel::detail
