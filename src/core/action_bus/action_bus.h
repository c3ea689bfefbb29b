// Hand-over of the validated action from the stage that produces it to the
// sink: a bounded FIFO of opaque byte strings that drops its oldest entry
// when full ("latest wins" with capacity 1). Reads take the entry out; its
// storage is kept for the next write, so a warm hand-over does not allocate.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>

#include "common/bytes.h"
#include "common/ring.h"

namespace kiv::action_bus {

class ActionBus {
 public:
  // A capacity of 0 is raised to 1. Throws std::bad_alloc when storage for
  // `capacity` entries cannot be reserved.
  explicit ActionBus(std::uint64_t capacity);

  // Throws std::bad_alloc, leaving the bus as it was, when the copy fails.
  void write(common::ByteView entry);
  // Calls `visit` with the oldest entry, under the lock, then takes the entry
  // out; gives whether there was one. When `visit` throws, the exception
  // passes through and the entry stays. `visit` must not use the bus.
  template <typename Visit>
  bool read_with(Visit&& visit) {
    std::lock_guard lock(mutex_);
    if (queue_.empty()) return false;
    visit(common::ByteView(queue_.front()));
    spare_ = queue_.pop_front();
    return true;
  }
  std::optional<common::Bytes> read();
  bool is_empty() const;
  std::uint64_t capacity() const { return queue_.capacity(); }

 private:
  mutable std::mutex mutex_;
  common::Ring<common::Bytes> queue_;  // guarded by mutex_
  common::Bytes spare_;                // guarded by mutex_: the storage of the last entry read
};

}  // namespace kiv::action_bus
