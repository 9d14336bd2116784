// The job queues on their own: the work-stealing deque and the injection ring,
// single-threaded for their order and growth, and under concurrent owners,
// thieves, producers and consumers for "every item comes out exactly once".
#include <atomic>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "check.hpp"
#include "parallel/deque.hpp"
#include "parallel/inject_queue.hpp"

using vyr::parallel::detail::InjectQueue;
using vyr::parallel::detail::WorkDeque;
using Status = WorkDeque<int>::StealStatus;

namespace {

constexpr int kScale = engine_test::kThreadSanitizer ? 10 : 1;

void deque_order_and_growth() {
  WorkDeque<int> deque(2);
  std::vector<int> items(100);
  CHECK(deque.take() == nullptr);
  CHECK(deque.steal().status == Status::kEmpty);

  // The owner's end is last in, first out, across several growths.
  for (int& item : items) {
    deque.push(&item);
  }
  CHECK(deque.capacity() >= items.size());
  bool lifo = true;
  for (int i = 99; i >= 0; --i) {
    lifo = lifo && deque.take() == &items[static_cast<std::size_t>(i)];
  }
  CHECK(lifo);
  CHECK(deque.take() == nullptr);

  // The thieves' end is first in, first out, and the two ends meet cleanly.
  for (int& item : items) {
    deque.push(&item);
  }
  bool fifo = true;
  for (int i = 0; i < 50; ++i) {
    const auto stolen = deque.steal();
    fifo = fifo && stolen.status == Status::kTaken &&
           stolen.item == &items[static_cast<std::size_t>(i)];
  }
  CHECK(fifo);
  bool rest = true;
  for (int i = 99; i >= 50; --i) {
    rest = rest && deque.take() == &items[static_cast<std::size_t>(i)];
  }
  CHECK(rest);
  CHECK(deque.take() == nullptr);
  CHECK(deque.steal().status == Status::kEmpty);

  // Growing while the ring has wrapped keeps every item in order.
  WorkDeque<int> wrapped(4);
  for (int round = 0; round < 3; ++round) {
    for (int i = 0; i < 3; ++i) {
      wrapped.push(&items[static_cast<std::size_t>(i)]);
    }
    for (int i = 0; i < 3; ++i) {
      (void)wrapped.steal();
    }
  }
  for (int i = 0; i < 20; ++i) {
    wrapped.push(&items[static_cast<std::size_t>(i)]);
  }
  bool wrapped_fifo = true;
  for (int i = 0; i < 20; ++i) {
    wrapped_fifo = wrapped_fifo && wrapped.steal().item == &items[static_cast<std::size_t>(i)];
  }
  CHECK(wrapped_fifo);

  // push tells whether the deque already held items (the wake-up hint).
  WorkDeque<int> hint(4);
  CHECK(!hint.push(&items[0]));
  CHECK(hint.push(&items[1]));
}

// One owner pushes and takes at random, thieves steal all along; every item
// must be taken exactly once.  A small start capacity makes the owner grow the
// buffer while thieves read it.
void deque_concurrent(int thieves, int items_count) {
  WorkDeque<int> deque(2);
  std::vector<int> items(static_cast<std::size_t>(items_count));
  auto seen = std::make_unique<std::atomic<int>[]>(items.size());
  for (std::size_t i = 0; i < items.size(); ++i) {
    items[i] = static_cast<int>(i);
    seen[i].store(0, std::memory_order_relaxed);
  }
  std::atomic<bool> done{false};
  std::atomic<long> stolen_count{0};
  auto record = [&](int* item) {
    seen[static_cast<std::size_t>(*item)].fetch_add(1, std::memory_order_relaxed);
  };

  std::vector<std::thread> pool;
  for (int t = 0; t < thieves; ++t) {
    pool.emplace_back([&] {
      long mine = 0;
      for (;;) {
        const bool finished = done.load(std::memory_order_acquire);
        const auto stolen = deque.steal();
        if (stolen.status == Status::kTaken) {
          record(stolen.item);
          ++mine;
        } else if (stolen.status == Status::kEmpty && finished) {
          break;
        }
      }
      stolen_count.fetch_add(mine, std::memory_order_relaxed);
    });
  }

  std::mt19937 random(12345);
  long taken = 0;
  for (int& item : items) {
    deque.push(&item);
    // Take back now and then, often enough that the owner and the thieves
    // fight over the last item.
    if (random() % 3 == 0) {
      if (int* back = deque.take()) {
        record(back);
        ++taken;
      }
    }
  }
  while (int* back = deque.take()) {
    record(back);
    ++taken;
  }
  done.store(true, std::memory_order_release);
  for (auto& thread : pool) {
    thread.join();
  }

  int lost = 0, twice = 0;
  for (std::size_t i = 0; i < items.size(); ++i) {
    const int count = seen[i].load(std::memory_order_relaxed);
    if (count == 0) {
      ++lost;
    }
    if (count > 1) {
      ++twice;
    }
  }
  CHECK_MSG(lost == 0, std::to_string(lost) + " items lost");
  CHECK_MSG(twice == 0, std::to_string(twice) + " items taken twice");
  CHECK(taken + stolen_count.load() == items_count);
}

void inject_order_and_capacity() {
  InjectQueue<int> queue(4);
  std::vector<int> items(8);
  bool busy = true;
  CHECK(queue.pop() == nullptr);
  CHECK(queue.push(&items[0], busy));
  CHECK(!busy);
  for (int i = 1; i < 4; ++i) {
    CHECK(queue.push(&items[static_cast<std::size_t>(i)], busy));
  }
  CHECK(busy);
  CHECK(!queue.push(&items[4], busy));  // full: refused, nothing lost
  for (int i = 0; i < 4; ++i) {
    CHECK(queue.pop() == &items[static_cast<std::size_t>(i)]);
  }
  CHECK(queue.pop() == nullptr);
  // Reusing the ring many times over keeps first-in-first-out.
  bool fifo = true;
  for (int round = 0; round < 50; ++round) {
    for (int i = 0; i < 3; ++i) {
      fifo = fifo && queue.push(&items[static_cast<std::size_t>(i)], busy);
    }
    for (int i = 0; i < 3; ++i) {
      fifo = fifo && queue.pop() == &items[static_cast<std::size_t>(i)];
    }
  }
  CHECK(fifo);
}

void inject_concurrent(int producers, int consumers, int per_producer) {
  InjectQueue<int> queue(8);  // small, so producers meet a full ring often
  const int total = producers * per_producer;
  std::vector<int> items(static_cast<std::size_t>(total));
  auto seen = std::make_unique<std::atomic<int>[]>(items.size());
  for (std::size_t i = 0; i < items.size(); ++i) {
    items[i] = static_cast<int>(i);
    seen[i].store(0, std::memory_order_relaxed);
  }
  std::atomic<int> consumed{0};
  std::atomic<bool> order_ok{true};
  std::vector<std::thread> threads;
  for (int p = 0; p < producers; ++p) {
    threads.emplace_back([&, p] {
      for (int k = 0; k < per_producer; ++k) {
        bool busy;
        int* item = &items[static_cast<std::size_t>(p * per_producer + k)];
        while (!queue.push(item, busy)) {
          std::this_thread::yield();
        }
      }
    });
  }
  for (int c = 0; c < consumers; ++c) {
    threads.emplace_back([&] {
      // Items of one producer must come out in the order it pushed them, as
      // seen by any one consumer.
      std::vector<int> last(static_cast<std::size_t>(producers), -1);
      while (consumed.load(std::memory_order_relaxed) < total) {
        if (int* item = queue.pop()) {
          const int producer = *item / per_producer;
          if (*item <= last[static_cast<std::size_t>(producer)]) {
            order_ok.store(false);
          }
          last[static_cast<std::size_t>(producer)] = *item;
          seen[static_cast<std::size_t>(*item)].fetch_add(1, std::memory_order_relaxed);
          consumed.fetch_add(1, std::memory_order_relaxed);
        } else {
          std::this_thread::yield();
        }
      }
    });
  }
  for (auto& thread : threads) {
    thread.join();
  }
  int wrong = 0;
  for (std::size_t i = 0; i < items.size(); ++i) {
    wrong += seen[i].load() != 1;
  }
  CHECK_MSG(wrong == 0, std::to_string(wrong) + " items not seen exactly once");
  CHECK(order_ok.load());
}

}  // namespace

int main() {
  using engine_test::group;
  group("deque order and growth", deque_order_and_growth);
  group("deque, one thief", [] { deque_concurrent(1, 200000 / kScale); });
  group("deque, three thieves", [] { deque_concurrent(3, 200000 / kScale); });
  group("injection ring order and capacity", inject_order_and_capacity);
  group("injection ring, 3 producers 2 consumers", [] { inject_concurrent(3, 2, 50000 / kScale); });
  group("injection ring, 1 producer 3 consumers", [] { inject_concurrent(1, 3, 50000 / kScale); });
  return engine_test::summary("engine_deque");
}
