// Sleep and wake-up of idle workers, kept apart from the scheduling.
//
// A worker that runs out of work first spins for a bounded time, looking for
// work (see Pool::wait_until); it counts as idle, not as sleeping, so that
// handing in work while some worker spins costs the pusher one
// read-modify-write and no wake-up.  After that it sleeps on its own mutex
// and condition variable; whoever hands in work wakes one sleeper when no
// awake worker is idle to find the job (or jobs were already waiting), and
// setting a latch wakes the worker that sleeps on it.
//
// The protocol that loses no wake-up:
//  1. A worker about to sleep reads the announcement count (events(),
//     seq_cst), searches every queue once more, and then, under its sleep
//     mutex, registers as sleeping with a seq_cst compare-and-exchange that
//     fails if the count moved since step 1 (it then searches again).
//  2. A pusher publishes its job (the queues' own release stores), then
//     increments the count with a seq_cst fetch_add that also reads how many
//     workers sleep and how many are idle.
// Both are read-modify-writes of one word, so they are totally ordered: if
// the registration comes first, the pusher sees the sleeper and wakes it;
// if the push comes first, the registration fails and the worker's search
// finds the job.  A wake-up sets the sleeper's flag under its mutex, so a
// notify between registration and wait cannot be lost either.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include "parallel/latch.hpp"

namespace vyr::parallel::detail {

class Notifier {
 public:
  // One sleeping place per worker, numbered 0 to workers - 1.
  explicit Notifier(std::size_t workers);
  Notifier(const Notifier&) = delete;
  Notifier& operator=(const Notifier&) = delete;

  // A worker starts or stops looking for work; sleeping workers count as idle.
  void idle_begin() noexcept;
  void idle_end() noexcept;

  // Called after a job was pushed.  Wakes one sleeper when some sleep and
  // either the queue already held jobs or no awake worker is idle to find it.
  void announce_work(bool queue_was_busy) noexcept;

  // The number of announcements so far, as a worker notes it before its last
  // search ahead of sleeping.
  std::uint32_t events() const noexcept;

  // Puts `worker` to sleep until it is woken, unless `latch` is set already or
  // work was announced since `events_seen`.
  void sleep(std::size_t worker, SpinLatch& latch, std::uint32_t events_seen) noexcept;

  // Wakes `worker` if it sleeps.
  void wake(std::size_t worker) noexcept;

 private:
  struct alignas(64) Sleeper {
    std::mutex mutex;
    std::condition_variable wake_up;
    bool blocked = false;  // under mutex: asleep and not yet woken
  };

  bool wake_if_blocked(Sleeper& sleeper) noexcept;
  bool wake_any() noexcept;

  // One word so that a sleeper's registration and a pusher's announcement are
  // read-modify-writes of the same location, totally ordered without fences:
  // bits 0-15 sleeping workers, bits 16-31 idle workers (the sleeping ones
  // included), bits 32-63 a count of pushes that sleepers compare against.
  static constexpr std::uint64_t kSleepingOne = 1;
  static constexpr std::uint64_t kIdleOne = std::uint64_t{1} << 16;
  static constexpr std::uint64_t kEventOne = std::uint64_t{1} << 32;
  alignas(64) std::atomic<std::uint64_t> counters_{0};
  alignas(64) std::atomic<std::size_t> wake_cursor_{0};
  const std::size_t count_;
  const std::unique_ptr<Sleeper[]> sleepers_;
};

}  // namespace vyr::parallel::detail
