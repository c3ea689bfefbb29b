#include "recorder/mcap_writer.h"

#include <algorithm>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

#include "common/format.h"
#include "recorder/worker.h"

namespace kiv::recorder {
namespace {

// Every writer of the process, for stop_all.
struct LiveWriters {
  std::mutex mutex;
  std::vector<McapWriter*> writers;  // guarded by mutex
};

// Never destroyed: a writer may be released after static destructors have run.
LiveWriters& live_writers() {
  static LiveWriters* const live = new LiveWriters;
  return *live;
}

}  // namespace

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
  LiveWriters& live = live_writers();
  std::lock_guard lock(live.mutex);
  live.writers.push_back(this);
}

McapWriter::~McapWriter() {
  {
    LiveWriters& live = live_writers();
    std::lock_guard lock(live.mutex);
    std::erase(live.writers, this);
  }
  stop();
}

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
  // A closed queue means the worker is gone; the request is dropped, and
  // with it what kept process exit waiting.
  if (auto request = take_stop_request(stop_timestamp)) (void)sender_.put(std::move(*request));
}

std::optional<work_queue::Stop> McapWriter::take_stop_request(double stop_timestamp) {
  // Of two stop requests only one finds the flag set.
  if (!started_.exchange(false, std::memory_order_acq_rel)) return std::nullopt;
  stop_sent_.store(true, std::memory_order_release);
  const std::uint64_t sequence = sequence_.fetch_add(1, std::memory_order_relaxed);
  return work_queue::Stop{sequence, stop_timestamp, common::PendingWork::begin()};
}

void McapWriter::stop_all(std::chrono::steady_clock::time_point deadline) {
  LiveWriters& live = live_writers();
  std::lock_guard lock(live.mutex);  // no writer goes meanwhile
  for (McapWriter* writer : live.writers) {
    if (auto request = writer->take_stop_request(std::numeric_limits<double>::infinity())) {
      (void)writer->sender_.put_until(std::move(*request), deadline);
    }
  }
}

std::uint64_t McapWriter::current_sequence() const { return sequence_.load(std::memory_order_relaxed); }

}  // namespace kiv::recorder
