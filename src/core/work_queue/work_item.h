// What the recorder's handle sends its worker, and the slot through which
// the worker reaches the attached frame store.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "common/pending_work.h"
#include "cycle_record/cycle_record.h"
#include "image_hub/image_hub.h"
#include "work_queue/bounded_queue.h"

namespace kiv::work_queue {

struct Start {
  std::string path;
};

struct Cycle {
  // Behind one pointer, so that an item stays small and moving it through
  // the queue copies no record data.
  std::unique_ptr<cycle_record::CycleRecordData> record;
  std::uint64_t sequence = 0;
};

struct Stop {
  std::uint64_t sequence = 0;
  double stop_timestamp = std::numeric_limits<double>::infinity();  // seconds
  // Keeps process exit waiting until the worker has finished the file, or
  // until the request is dropped unhandled.
  common::PendingWork finishing{};
};

using WorkItem = std::variant<Start, Cycle, Stop>;

// Bounds what a stalled worker can make the handle hold.
inline constexpr std::size_t kWorkQueueCapacity = 1024;

// Compiled once, in work_item.cc.
extern template class Sender<WorkItem>;
extern template class Receiver<WorkItem>;
using WorkSender = Sender<WorkItem>;
using WorkReceiver = Receiver<WorkItem>;

struct ImageHubAttachment {
  image_hub::ImageHub hub;  // a share of the hub's store
  std::uint64_t cursor = 0;  // the last frame already taken
};

// Filled (and refilled) by the handle, read and advanced by the worker.
// Lock order: this slot first, then the hub's store; never the opposite.
class AttachmentSlot {
 public:
  // Replaces the content whole; the earlier hub share is released after the
  // lock, so a store's last release never happens under it.
  void replace(ImageHubAttachment attachment);

  // Runs `fn(std::optional<ImageHubAttachment>&)` with the slot locked.
  template <typename Fn>
  decltype(auto) with_attachment(Fn&& fn) {
    std::lock_guard lock(mutex_);
    return std::forward<Fn>(fn)(attachment_);
  }

 private:
  std::mutex mutex_;
  std::optional<ImageHubAttachment> attachment_;  // guarded by mutex_
};

}  // namespace kiv::work_queue
