// The recorder's handle: what the control loop calls on its hot path.
//
// None of its calls touches the file. `start`, `write_cycle` and `stop`
// check a little state and put a work item on the bounded queue;
// `attach_image_hub` replaces the worker's link to a frame store. The worker
// thread, started by the constructor and never waited for by stop or
// release, does the rest (see worker.h). A writer records one file in its
// life. Each stop request is pending work (common/pending_work.h) until the
// worker has finished the file, so that process exit can wait for it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "common/result.h"
#include "cycle_record/cycle_record.h"
#include "image_hub/image_hub.h"
#include "work_queue/work_item.h"

namespace kiv::recorder {

class McapWriter {
 public:
  // Starts the worker thread; throws std::runtime_error("failed to spawn
  // thread: ...") when the system refuses one.
  McapWriter();
  McapWriter(const McapWriter&) = delete;
  McapWriter& operator=(const McapWriter&) = delete;
  // Does what stop() does, then closes the queue; the worker finishes the
  // file on its own thread.
  ~McapWriter();

  // Requests a recording into `path` (created on the worker; its failures
  // are only logged). Ignored while recording. "Channel closed" once the
  // worker is gone or a stop request has been sent: the worker ends with
  // that request, so a later recording could never happen.
  common::Status start(std::string path);

  // Queues the record without waiting and returns its sequence number.
  // Errors: "McapWriter not started", "McapWriter queue full; dropping
  // cycle", "Channel closed"; the last two use up a sequence number.
  common::Result<std::uint64_t> write_cycle(cycle_record::CycleRecordData record);

  // The worker takes frames from this hub from now on, starting after frame
  // number `cursor` (0: from the first). The other two arguments have no
  // effect on what is recorded.
  void attach_image_hub(const image_hub::ImageHub& hub, double window_sec, bool capture_images_on_clamp,
                        std::optional<std::uint64_t> cursor);

  // Queues a stop request (with the frames up to `stop_timestamp`) if
  // recording; returns without waiting for the worker.
  void stop();
  void stop_at(double stop_timestamp);

  // The number the next accepted cycle or stop request would get.
  std::uint64_t current_sequence() const;

  // Sends every writer of the process that is still recording its stop
  // request, as releasing it would, waiting for room in a queue until
  // `deadline` at most. For process exit, where a writer still referenced
  // would never be released (and its file never finished).
  static void stop_all(std::chrono::steady_clock::time_point deadline);

 private:
  explicit McapWriter(std::pair<work_queue::WorkSender, work_queue::WorkReceiver> queue);
  // Clears the started flag; the request to send if it was set.
  std::optional<work_queue::Stop> take_stop_request(double stop_timestamp);

  work_queue::WorkSender sender_;
  std::atomic<std::uint64_t> sequence_{0};
  std::atomic<bool> started_{false};
  std::atomic<bool> stop_sent_{false};
  std::shared_ptr<work_queue::AttachmentSlot> slot_;
};

}  // namespace kiv::recorder
