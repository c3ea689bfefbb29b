// Ring buffer of the most recent observations (opaque byte strings). Writes
// drop the oldest entry when full, reusing its storage; reads copy and never
// remove. Readers share a reader-writer lock, writers take it exclusively.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <vector>

#include "common/bytes.h"
#include "common/ring.h"

namespace kiv::observation_bus {

class ObservationBus {
 public:
  // Keeps `capacity` entries; a capacity of 0 still keeps the newest one.
  // Throws std::bad_alloc when the storage cannot be reserved.
  explicit ObservationBus(std::uint64_t capacity);

  // Throws std::bad_alloc, leaving the bus as it was, when the copy fails.
  void write(common::ByteView entry);
  // Calls `visit` with the newest entry, under the read lock, and gives
  // whether there was one. `visit` must not use the bus; what it throws
  // passes through.
  template <typename Visit>
  bool visit_latest(Visit&& visit) const {
    std::shared_lock lock(buffer_->mutex);
    if (buffer_->entries.empty()) return false;
    visit(common::ByteView(buffer_->entries.back()));
    return true;
  }
  std::optional<common::Bytes> read_latest() const;
  // Copies of the newest min(n, len) entries, oldest first.
  std::vector<common::Bytes> read_window(std::uint64_t n) const;
  std::uint64_t len() const;
  bool is_empty() const;
  // Exactly the value given to the constructor (0 stays 0).
  std::uint64_t capacity() const { return capacity_; }

 private:
  struct Buffer {
    explicit Buffer(std::uint64_t slots) : entries(slots) {}
    mutable std::shared_mutex mutex;
    common::Ring<common::Bytes> entries;  // guarded by mutex
  };

  std::shared_ptr<Buffer> buffer_;
  std::uint64_t capacity_;
};

}  // namespace kiv::observation_bus
