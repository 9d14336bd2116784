// The per-worker job queue: a growable Chase-Lev work-stealing deque.
//
// The owner pushes and takes at the bottom (newest first) without locks;
// thieves take from the top (oldest first) and settle races with a
// compare-and-exchange on `top_`.  The memory orders follow the C11 version of
// the algorithm by Le, Pop, Cohen and Zappa Nardelli, except that the two
// sequentially consistent fences are folded into the neighbouring operations
// (the bottom store and top load in take, the top and bottom loads in steal).
// That keeps the one store-load ordering the algorithm needs -- a taker and a
// thief racing for the last element cannot both miss each other's update --
// while staying visible to ThreadSanitizer, which does not model fences.
//
// Replaced buffers stay allocated until the deque itself dies: a thief may
// still be reading a slot of one after the owner has moved on, and the stale
// value it reads is discarded by its failing compare-and-exchange.  Buffers
// double, so the retired ones add up to less than the live one.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace vyr::parallel::detail {

template <class T>
class WorkDeque {
 public:
  enum class StealStatus { kEmpty, kLost, kTaken };
  struct Stolen {
    StealStatus status;
    T* item;
  };

  explicit WorkDeque(std::size_t initial_capacity = 64) {
    std::size_t capacity = 2;
    while (capacity < initial_capacity) {
      capacity *= 2;
    }
    auto first = std::make_unique<Buffer>(static_cast<std::int64_t>(capacity));
    buffer_.store(first.get(), std::memory_order_relaxed);
    buffers_.push_back(std::move(first));
  }
  WorkDeque(const WorkDeque&) = delete;
  WorkDeque& operator=(const WorkDeque&) = delete;

  // Owner only.  Returns whether the deque already held items before this
  // push (a hint for waking sleepers).  Throws std::bad_alloc if the buffer
  // must grow and cannot; the deque is unchanged then.
  bool push(T* item) {
    const std::int64_t b = bottom_.load(std::memory_order_relaxed);
    const std::int64_t t = top_.load(std::memory_order_acquire);
    Buffer* buffer = buffer_.load(std::memory_order_relaxed);
    if (b - t >= buffer->capacity) {
      buffer = grow(buffer, t, b);
    }
    buffer->put(b, item);
    // Publishes the slot (and everything the owner wrote to the item) to a
    // thief that reads the new bottom.
    bottom_.store(b + 1, std::memory_order_release);
    return b - t > 0;
  }

  // Owner only: the newest item, or null when empty (or lost to a thief).
  T* take() noexcept {
    const std::int64_t b = bottom_.load(std::memory_order_relaxed) - 1;
    Buffer* buffer = buffer_.load(std::memory_order_relaxed);
    bottom_.store(b, std::memory_order_seq_cst);
    std::int64_t t = top_.load(std::memory_order_seq_cst);
    if (t > b) {
      bottom_.store(b + 1, std::memory_order_release);
      return nullptr;
    }
    T* item = buffer->get(b);
    if (t == b) {
      // The last item: a thief may be after it too; whoever moves top wins.
      if (!top_.compare_exchange_strong(t, t + 1, std::memory_order_seq_cst,
                                        std::memory_order_relaxed)) {
        item = nullptr;
      }
      bottom_.store(b + 1, std::memory_order_release);
    }
    return item;
  }

  // Any thread: the oldest item.  kLost means another taker won a race; the
  // deque may still hold items.
  Stolen steal() noexcept {
    std::int64_t t = top_.load(std::memory_order_seq_cst);
    const std::int64_t b = bottom_.load(std::memory_order_seq_cst);
    if (t >= b) {
      return {StealStatus::kEmpty, nullptr};
    }
    Buffer* buffer = buffer_.load(std::memory_order_acquire);
    T* item = buffer->get(t);
    if (!top_.compare_exchange_strong(t, t + 1, std::memory_order_seq_cst,
                                      std::memory_order_relaxed)) {
      return {StealStatus::kLost, nullptr};
    }
    return {StealStatus::kTaken, item};
  }

  std::size_t capacity() const noexcept {
    return static_cast<std::size_t>(buffer_.load(std::memory_order_relaxed)->capacity);
  }

 private:
  struct Buffer {
    explicit Buffer(std::int64_t size)
        : capacity(size),
          slots(std::make_unique<std::atomic<T*>[]>(static_cast<std::size_t>(size))) {}
    T* get(std::int64_t index) const noexcept {
      return slots[static_cast<std::size_t>(index & (capacity - 1))].load(
          std::memory_order_relaxed);
    }
    void put(std::int64_t index, T* item) noexcept {
      slots[static_cast<std::size_t>(index & (capacity - 1))].store(item,
                                                                    std::memory_order_relaxed);
    }
    const std::int64_t capacity;
    std::unique_ptr<std::atomic<T*>[]> slots;
  };

  Buffer* grow(Buffer* old, std::int64_t t, std::int64_t b) {
    buffers_.reserve(buffers_.size() + 1);  // so that the push_back below cannot throw
    auto bigger = std::make_unique<Buffer>(old->capacity * 2);
    for (std::int64_t i = t; i < b; ++i) {
      bigger->put(i, old->get(i));
    }
    Buffer* raw = bigger.get();
    buffers_.push_back(std::move(bigger));
    buffer_.store(raw, std::memory_order_release);
    return raw;
  }

  alignas(64) std::atomic<std::int64_t> top_{0};
  alignas(64) std::atomic<std::int64_t> bottom_{0};
  std::atomic<Buffer*> buffer_{nullptr};
  std::vector<std::unique_ptr<Buffer>> buffers_;  // owner only; the live one is last
};

}  // namespace vyr::parallel::detail
