// Bounded first-in-first-out queue between one sending and one receiving
// thread, with the outcomes the recorder needs: a waiting put (with or
// without a deadline) and a non-waiting one, a receive with a time limit, and
// "closed" once the other end is gone.
//
//   auto [sender, receiver] = make_bounded_queue<Item>(1024);
//   if (auto put = sender.try_put(std::move(item)); put.outcome != PutOutcome::accepted) {
//     // put.returned holds the item again; the sender decides what to do with it
//   }
//
// Each end is a move-only handle; destroying one closes the queue for the
// other. Items left in the queue when the receiver goes are destroyed with
// it. Storage for `capacity` items is reserved once.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "common/ring.h"

namespace kiv::work_queue {

enum class PutOutcome { accepted, full, closed };
enum class ReceiveOutcome { item, timed_out, closed };

template <typename T>
struct PutResult {
  PutOutcome outcome;
  std::optional<T> returned;  // the item, given back unless accepted
};

template <typename T>
struct Received {
  ReceiveOutcome outcome;
  std::optional<T> item;  // set exactly when outcome is `item`
};

namespace detail {

template <typename T>
struct QueueState {
  explicit QueueState(std::size_t capacity) : items(capacity) {}

  std::mutex mutex;
  std::condition_variable item_ready;  // the receiver waits here
  std::condition_variable room_ready;  // waiting puts wait here
  common::Ring<T> items;               // guarded by mutex
  bool sender_alive = true;            // guarded by mutex
  bool receiver_alive = true;          // guarded by mutex
};

}  // namespace detail

template <typename T>
class Sender;
template <typename T>
class Receiver;

template <typename T>
class Sender {
 public:
  Sender(Sender&&) noexcept = default;
  Sender& operator=(Sender&&) = delete;
  ~Sender() {
    if (!state_) return;
    {
      std::lock_guard lock(state_->mutex);
      state_->sender_alive = false;
    }
    state_->item_ready.notify_all();
  }

  // Waits for room while the queue is full and the receiver is there.
  PutResult<T> put(T item) {
    std::unique_lock lock(state_->mutex);
    state_->room_ready.wait(lock, [&] { return room_or_closed(); });
    return put_locked(std::move(item), std::move(lock));
  }

  // As put, but waits no longer than `deadline`: then full.
  template <typename Clock, typename Duration>
  PutResult<T> put_until(T item, std::chrono::time_point<Clock, Duration> deadline) {
    std::unique_lock lock(state_->mutex);
    state_->room_ready.wait_until(lock, deadline, [&] { return room_or_closed(); });
    return put_locked(std::move(item), std::move(lock));
  }

  PutResult<T> try_put(T item) { return put_locked(std::move(item), std::unique_lock(state_->mutex)); }

 private:
  bool room_or_closed() const { return !state_->receiver_alive || !state_->items.full(); }

  PutResult<T> put_locked(T item, std::unique_lock<std::mutex> lock) {
    if (!state_->receiver_alive) return {PutOutcome::closed, std::move(item)};
    if (state_->items.full()) return {PutOutcome::full, std::move(item)};
    state_->items.emplace_back(std::move(item));
    lock.unlock();
    state_->item_ready.notify_one();
    return {PutOutcome::accepted, std::nullopt};
  }

  template <typename U>
  friend std::pair<Sender<U>, Receiver<U>> make_bounded_queue(std::size_t capacity);
  explicit Sender(std::shared_ptr<detail::QueueState<T>> state) : state_(std::move(state)) {}

  std::shared_ptr<detail::QueueState<T>> state_;
};

template <typename T>
class Receiver {
 public:
  Receiver(Receiver&&) noexcept = default;
  Receiver& operator=(Receiver&&) = delete;
  ~Receiver() {
    if (!state_) return;
    {
      std::lock_guard lock(state_->mutex);
      state_->receiver_alive = false;
      // Nobody will take them; free them now rather than with the sender.
      state_->items.clear();
    }
    state_->room_ready.notify_all();
  }

  // The oldest item; or, once the limit passes without one, timed_out; or,
  // when the sender is gone and nothing is left, closed.
  //
  // While items keep coming, an empty queue is polled every `kPollInterval`
  // instead of waited on: a waiting receiver must be woken by each put, and
  // that wake-up is paid on the sender's thread (tens of microseconds on a
  // virtual machine), which here is the control loop. After `kBusyWindow`
  // without an item the receiver blocks again, so an idle queue costs nothing.
  template <typename Rep, typename Period>
  Received<T> receive_for(std::chrono::duration<Rep, Period> limit) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::ceil<Clock::duration>(limit);
    for (;;) {
      {
        std::unique_lock lock(state_->mutex);
        if (!state_->items.empty()) {
          Received<T> received{ReceiveOutcome::item, state_->items.pop_front()};
          lock.unlock();
          state_->room_ready.notify_one();
          last_item_at_ = Clock::now();
          return received;
        }
        if (!state_->sender_alive) return {ReceiveOutcome::closed, std::nullopt};
        const auto now = Clock::now();
        if (now >= deadline) return {ReceiveOutcome::timed_out, std::nullopt};
        if (now - last_item_at_ > kBusyWindow) {
          state_->item_ready.wait_until(lock, deadline,
                                        [&] { return !state_->items.empty() || !state_->sender_alive; });
          continue;
        }
      }
      std::this_thread::sleep_for(std::min<Clock::duration>(kPollInterval, deadline - Clock::now()));
    }
  }

 private:
  template <typename U>
  friend std::pair<Sender<U>, Receiver<U>> make_bounded_queue(std::size_t capacity);
  explicit Receiver(std::shared_ptr<detail::QueueState<T>> state) : state_(std::move(state)) {}

  static constexpr std::chrono::microseconds kPollInterval{1000};
  static constexpr std::chrono::milliseconds kBusyWindow{50};

  std::shared_ptr<detail::QueueState<T>> state_;
  std::chrono::steady_clock::time_point last_item_at_{};  // the epoch: idle at first
};

// `capacity` must be at least 1. Throws std::bad_alloc when the storage
// cannot be reserved.
template <typename T>
std::pair<Sender<T>, Receiver<T>> make_bounded_queue(std::size_t capacity) {
  auto state = std::make_shared<detail::QueueState<T>>(capacity);
  return {Sender<T>(state), Receiver<T>(state)};
}

}  // namespace kiv::work_queue
