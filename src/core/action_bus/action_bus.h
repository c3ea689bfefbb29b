// Hand-over of the validated action from the stage that produces it to the
// sink: a bounded FIFO of opaque byte strings that drops its oldest entry
// when full ("latest wins" with capacity 1). Reads take the entry out.
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

  void write(common::Bytes entry);
  std::optional<common::Bytes> read();
  bool is_empty() const;
  std::uint64_t capacity() const { return queue_.capacity(); }

 private:
  mutable std::mutex mutex_;
  common::Ring<common::Bytes> queue_;  // guarded by mutex_
};

}  // namespace kiv::action_bus
