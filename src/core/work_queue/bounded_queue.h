// Bounded first-in-first-out queue between one sending and one receiving
// thread, with the outcomes the recorder needs: a waiting and a non-waiting
// put, a receive with a time limit, and "closed" once the other end is gone.
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

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
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
    {
      std::unique_lock lock(state_->mutex);
      state_->room_ready.wait(lock, [&] { return !state_->receiver_alive || !state_->items.full(); });
      if (!state_->receiver_alive) return {PutOutcome::closed, std::move(item)};
      state_->items.emplace_back(std::move(item));
    }
    state_->item_ready.notify_one();
    return {PutOutcome::accepted, std::nullopt};
  }

  PutResult<T> try_put(T item) {
    {
      std::lock_guard lock(state_->mutex);
      if (!state_->receiver_alive) return {PutOutcome::closed, std::move(item)};
      if (state_->items.full()) return {PutOutcome::full, std::move(item)};
      state_->items.emplace_back(std::move(item));
    }
    state_->item_ready.notify_one();
    return {PutOutcome::accepted, std::nullopt};
  }

 private:
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
  template <typename Rep, typename Period>
  Received<T> receive_for(std::chrono::duration<Rep, Period> limit) {
    std::unique_lock lock(state_->mutex);
    const bool ready = state_->item_ready.wait_for(
        lock, limit, [&] { return !state_->items.empty() || !state_->sender_alive; });
    if (!state_->items.empty()) {
      Received<T> received{ReceiveOutcome::item, state_->items.pop_front()};
      lock.unlock();
      state_->room_ready.notify_one();
      return received;
    }
    return {ready ? ReceiveOutcome::closed : ReceiveOutcome::timed_out, std::nullopt};
  }

 private:
  template <typename U>
  friend std::pair<Sender<U>, Receiver<U>> make_bounded_queue(std::size_t capacity);
  explicit Receiver(std::shared_ptr<detail::QueueState<T>> state) : state_(std::move(state)) {}

  std::shared_ptr<detail::QueueState<T>> state_;
};

// `capacity` must be at least 1. Throws std::bad_alloc when the storage
// cannot be reserved.
template <typename T>
std::pair<Sender<T>, Receiver<T>> make_bounded_queue(std::size_t capacity) {
  auto state = std::make_shared<detail::QueueState<T>>(capacity);
  return {Sender<T>(state), Receiver<T>(state)};
}

}  // namespace kiv::work_queue
