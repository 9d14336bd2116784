// The queue through which threads outside the pool hand in root jobs: a
// bounded lock-free multi-producer multi-consumer ring (Vyukov's design).
//
// Every cell carries a sequence number that says whose turn it is: a producer
// may fill cell `pos` when its sequence equals pos, a consumer may empty it
// when it equals pos + 1.  The claim of a position is a relaxed
// compare-and-exchange on the shared counter; the cell's payload is published
// by the release store of its sequence and picked up by the acquire load.
//
// The ring holds one entry per outside thread that is waiting for a map, so it
// only fills up when more threads than its capacity hand in work at the same
// moment.  A push into a full ring fails; the caller then yields and tries
// again, which is safe because only workers consume and workers never wait
// for room.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>

namespace vyr::parallel::detail {

template <class T>
class InjectQueue {
 public:
  explicit InjectQueue(std::size_t capacity = 1024) {
    std::size_t size = 2;
    while (size < capacity) {
      size *= 2;
    }
    mask_ = size - 1;
    cells_ = std::make_unique<Cell[]>(size);
    for (std::size_t i = 0; i < size; ++i) {
      cells_[i].sequence.store(i, std::memory_order_relaxed);
    }
  }
  InjectQueue(const InjectQueue&) = delete;
  InjectQueue& operator=(const InjectQueue&) = delete;

  // False when the ring is full.  `was_nonempty` tells whether entries were
  // already waiting (a racy hint).
  bool push(T* item, bool& was_nonempty) noexcept {
    std::size_t pos = tail_.load(std::memory_order_relaxed);
    was_nonempty = pos != head_.load(std::memory_order_relaxed);
    // A cell is free for the producer at `pos` when its sequence is pos.
    Cell* const cell = claim(tail_, 0, pos);
    if (cell == nullptr) {
      return false;
    }
    cell->item = item;
    cell->sequence.store(pos + 1, std::memory_order_release);
    return true;
  }

  // The oldest entry, or null when empty.
  T* pop() noexcept {
    // A cell holds an entry for the consumer at `pos` when its sequence is pos + 1.
    std::size_t pos = head_.load(std::memory_order_relaxed);
    Cell* const cell = claim(head_, 1, pos);
    if (cell == nullptr) {
      return nullptr;
    }
    T* item = cell->item;
    cell->sequence.store(pos + mask_ + 1, std::memory_order_release);
    return item;
  }

 private:
  struct Cell {
    std::atomic<std::size_t> sequence{0};
    T* item = nullptr;
  };

  // Claims the next position of `counter` (the tail for producers, the head
  // for consumers), starting from `pos` as last read from it: the cell whose
  // sequence equals the position plus `lag`.  Leaves the claimed position in
  // `pos`.  Null when the ring is full (producers) or empty (consumers).
  Cell* claim(std::atomic<std::size_t>& counter, std::size_t lag, std::size_t& pos) noexcept {
    for (;;) {
      Cell* const cell = &cells_[pos & mask_];
      const std::size_t sequence = cell->sequence.load(std::memory_order_acquire);
      const auto difference =
          static_cast<std::ptrdiff_t>(sequence) - static_cast<std::ptrdiff_t>(pos + lag);
      if (difference == 0) {
        if (counter.compare_exchange_weak(pos, pos + 1, std::memory_order_relaxed,
                                          std::memory_order_relaxed)) {
          return cell;
        }
      } else if (difference < 0) {
        return nullptr;
      } else {
        pos = counter.load(std::memory_order_relaxed);
      }
    }
  }
  std::unique_ptr<Cell[]> cells_;
  std::size_t mask_ = 0;
  alignas(64) std::atomic<std::size_t> tail_{0};
  alignas(64) std::atomic<std::size_t> head_{0};
};

}  // namespace vyr::parallel::detail
