#include "recorder/mcap_writer.h"

#include <limits>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "common/format.h"
#include "recorder/worker.h"

namespace kiv::recorder {

using work_queue::PutOutcome;

McapWriter::McapWriter()
    : McapWriter(work_queue::make_bounded_queue<work_queue::WorkItem>(work_queue::kWorkQueueCapacity)) {}

McapWriter::McapWriter(std::pair<work_queue::WorkSender, work_queue::WorkReceiver> queue)
    : sender_(std::move(queue.first)), slot_(std::make_shared<work_queue::AttachmentSlot>()) {
  try {
    std::thread(worker_thread_main, std::move(queue.second), slot_).detach();
  } catch (const std::system_error& error) {
    throw std::runtime_error(common::format("failed to spawn thread: {}", error.what()));
  }
}

McapWriter::~McapWriter() { stop(); }

common::Status McapWriter::start(std::string path) {
  if (stop_sent_.load(std::memory_order_acquire)) return common::fail("Channel closed");
  if (started_.exchange(true, std::memory_order_acq_rel)) return {};
  if (sender_.put(work_queue::Start{std::move(path)}).outcome == PutOutcome::closed) {
    return common::fail("Channel closed");
  }
  return {};
}

common::Result<std::uint64_t> McapWriter::write_cycle(cycle_record::CycleRecordData record) {
  if (!started_.load(std::memory_order_acquire)) return common::fail("McapWriter not started");
  const std::uint64_t sequence = sequence_.fetch_add(1, std::memory_order_relaxed);
  auto put = sender_.try_put(
      work_queue::Cycle{std::make_unique<cycle_record::CycleRecordData>(std::move(record)), sequence});
  switch (put.outcome) {
    case PutOutcome::accepted: return sequence;
    case PutOutcome::full: return common::fail("McapWriter queue full; dropping cycle");
    case PutOutcome::closed: break;
  }
  return common::fail("Channel closed");
}

void McapWriter::attach_image_hub(const image_hub::ImageHub& hub, [[maybe_unused]] double window_sec,
                                  [[maybe_unused]] bool capture_images_on_clamp,
                                  std::optional<std::uint64_t> cursor) {
  slot_->replace({hub, cursor.value_or(0)});
}

void McapWriter::stop() { stop_at(std::numeric_limits<double>::infinity()); }

void McapWriter::stop_at(double stop_timestamp) {
  // Of two stop requests only one finds the flag set.
  if (!started_.exchange(false, std::memory_order_acq_rel)) return;
  stop_sent_.store(true, std::memory_order_release);
  const std::uint64_t sequence = sequence_.fetch_add(1, std::memory_order_relaxed);
  // A closed queue means the worker is gone; the request is dropped.
  (void)sender_.put(work_queue::Stop{sequence, stop_timestamp});
}

std::uint64_t McapWriter::current_sequence() const { return sequence_.load(std::memory_order_relaxed); }

}  // namespace kiv::recorder
