#include "recorder/worker.h"

#include <chrono>
#include <limits>
#include <string>
#include <string_view>
#include <variant>

#include "common/format.h"
#include "log/log.h"
#include "mcap/index_spool.h"
#include "mcap/sink.h"

namespace kiv::recorder {
namespace {

using cycle_record::CycleRecordData;
using cycle_record::ImageData;
using log::Level;
using work_queue::ReceiveOutcome;

constexpr auto kReceiveSlice = std::chrono::milliseconds(50);
constexpr std::size_t kFileBufferSize = 8192;
constexpr unsigned kFileMode = 0666;
constexpr char kEncoding[] = "application/msgpack";
constexpr char kCycleTopic[] = "/kiv/cycle";
constexpr char kImageTopicPrefix[] = "/kiv/images/";

const mcap::Metadata kNoMetadata;

// The path as it appears in the log: double-quoted, with backslash escapes
// for quotes, backslashes and control characters. Spelled out by the log
// facade only when the message is admitted.
struct Quoted {
  std::string_view text;
};

void append_text(std::string& out, const Quoted& quoted) {
  out += '"';
  for (const char c : quoted.text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\0': out += "\\0"; break;
      default: {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
          constexpr char kHex[] = "0123456789abcdef";
          out += "\\u{";
          if (byte >= 0x10) out += kHex[byte >> 4];
          out += kHex[byte & 0xF];
          out += '}';
        } else {
          out += c;
        }
      }
    }
  }
  out += '"';
}

// The summary's chunk indexes (one per cycle) wait on disk beside the
// recording, so a long recording's memory stays flat; in memory where no
// temporary file can be made there.
std::unique_ptr<mcap::IndexSpool> index_spool_beside(const std::string& path) {
  const auto slash = path.rfind('/');
  const std::string directory = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  auto spool = mcap::make_file_spool(directory);
  return spool ? std::move(*spool) : mcap::make_memory_spool();
}

template <typename T>
common::Error failure(std::string_view pattern, const common::Result<T>& result) {
  return common::fail(common::format(pattern, result.error()));
}

mcap::Message message_at(std::uint16_t channel_id, std::uint64_t sequence, double timestamp, common::ByteView data) {
  const std::uint64_t time = to_nanoseconds(timestamp);
  return {.channel_id = channel_id,
          .sequence = static_cast<std::uint32_t>(sequence),  // the low 32 bits
          .log_time = time,
          .publish_time = time,
          .data = data};
}

// What the worker keeps between items: the open recording, if any.
class Worker {
 public:
  explicit Worker(work_queue::AttachmentSlot& slot) : slot_(slot) {}

  // An error ends the worker: the file cannot be created.
  common::Status open(const std::string& path) {
    log::write(Level::Info, kLogTarget, "McapWriter: starting file {}", Quoted{path});
    auto file = mcap::FileSink::create(path, kFileBufferSize, kFileMode);
    if (!file) {
      output_.reset();
      return failure("Failed to create file: {}", file);
    }
    auto writer = mcap::Writer::create(std::move(*file), recording_options(), index_spool_beside(path));
    if (!writer) {
      log::write(Level::Error, kLogTarget, "Failed to create MCAP writer: {}", writer.error());
      output_.reset();
      return {};
    }
    output_ = std::move(*writer);  // finishes any earlier file
    return {};
  }

  void record(work_queue::Cycle& cycle) {
    if (!output_) {
      log::write(Level::Warn, kLogTarget, "McapWriter: received cycle but file not started");
      return;
    }
    if (auto status = record_cycle(*cycle.record, cycle.sequence); !status) {
      log::write(Level::Error, kLogTarget, "Failed to process cycle {}: {}", cycle.record->cycle_id, status.error());
    }
    if (auto status = output_->flush(); !status) {
      log::write(Level::Error, kLogTarget, "Failed to flush: {}", status.error());
    }
  }

  // The stop's frames, in a chunk of their own.
  void stop(const work_queue::Stop& stop) {
    if (!output_) return;
    const auto frames = drain_images_until(slot_, stop.stop_timestamp);
    if (auto status = write_images(*output_, stop.sequence, frames); !status) {
      log::write(Level::Error, kLogTarget, "Failed to flush stop images: {}", status.error());
    }
    if (auto status = output_->flush(); !status) {
      log::write(Level::Error, kLogTarget, "Failed to flush stop: {}", status.error());
    }
  }

  common::Status close() {
    if (output_) {
      auto finished = output_->finish();
      output_.reset();
      if (!finished) return failure("Finish failed: {}", finished);
    }
    log::write(Level::Info, kLogTarget, "McapWriter worker stopped");
    return {};
  }

 private:
  // The cycle's frames, its message, then one message per frame; the first
  // failure ends it.
  common::Status record_cycle(CycleRecordData& record, std::uint64_t sequence) {
    // A record that brings frames of its own keeps them; the hub is not visited.
    if (record.image_data.empty()) record.image_data = drain_images_until(slot_, record.obs_timestamp);
    encoded_.clear();
    if (auto status = cycle_record::encode_msgpack(record, encoded_); !status) {
      return failure("Serialization failed: {}", status);
    }
    auto schema = output_->add_schema("kiv.Cycle", kEncoding, {});
    if (!schema) return failure("Failed to add schema: {}", schema);
    auto channel = output_->add_channel(*schema, kCycleTopic, kEncoding, kNoMetadata);
    if (!channel) return failure("Failed to add channel: {}", channel);
    if (auto status = output_->write_message(message_at(*channel, sequence, record.obs_timestamp, encoded_));
        !status) {
      return failure("Failed to write cycle: {}", status);
    }
    return write_images(*output_, sequence, record.image_data);
  }

  work_queue::AttachmentSlot& slot_;
  std::unique_ptr<mcap::Writer> output_;  // releasing it finishes its file
  common::Bytes encoded_;                 // reused from cycle to cycle
};

}  // namespace

std::uint64_t to_nanoseconds(double seconds) {
  const double nanoseconds = seconds * 1e9;
  if (!(nanoseconds > 0.0)) return 0;  // negative, zero or NaN
  constexpr double kTwoTo64 = 18446744073709551616.0;
  if (nanoseconds >= kTwoTo64) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(nanoseconds);
}

mcap::Options recording_options() {
  mcap::Options options;
  options.profile = "kiv";
  options.library = "kiv-loopback-writer/1.0";
  options.chunk_size = 786432;
  options.compression = mcap::Compression::zstd;
  options.compression_level = 0;
  return options;
}

std::vector<ImageData> drain_images_until(work_queue::AttachmentSlot& slot, double until) {
  return slot.with_attachment([&](std::optional<work_queue::ImageHubAttachment>& attachment) {
    std::vector<ImageData> frames;
    if (!attachment) return frames;
    auto taken = attachment->hub.frames_after_until(attachment->cursor, until);
    // Jumping to the last frame taken skips, for good, any earlier-numbered
    // frame that was newer than `until`.
    if (!taken.empty()) attachment->cursor = taken.back().first;
    frames.reserve(taken.size());
    for (auto& [sequence, frame] : taken) frames.push_back(std::move(frame));
    return frames;
  });
}

common::Status write_images(mcap::Writer& writer, std::uint64_t sequence, const std::vector<ImageData>& frames) {
  if (frames.empty()) return {};
  auto schema = writer.add_schema("kiv.Image", kEncoding, {});
  if (!schema) return failure("Failed to add image schema: {}", schema);
  std::string topic;
  common::Bytes encoded;
  for (const ImageData& frame : frames) {
    topic.assign(kImageTopicPrefix).append(frame.camera_name);  // unchanged: slashes add path segments
    auto channel = writer.add_channel(*schema, topic, kEncoding, kNoMetadata);
    if (!channel) return failure("Failed to add image channel: {}", channel);
    encoded.clear();
    if (auto status = cycle_record::encode_msgpack(frame, encoded); !status) {
      return failure("Failed to serialize image: {}", status);
    }
    if (auto status = writer.write_message(message_at(*channel, sequence, frame.timestamp, encoded)); !status) {
      return failure("Failed to write image: {}", status);
    }
  }
  return {};
}

common::Status run_worker(work_queue::WorkReceiver& receiver, work_queue::AttachmentSlot& slot,
                          common::PendingWork& finishing) {
  Worker worker(slot);
  for (;;) {
    auto received = receiver.receive_for(kReceiveSlice);
    if (received.outcome == ReceiveOutcome::timed_out) continue;
    if (received.outcome == ReceiveOutcome::closed) break;
    work_queue::WorkItem& item = *received.item;
    if (auto* start = std::get_if<work_queue::Start>(&item)) {
      if (auto status = worker.open(start->path); !status) return status;
    } else if (auto* cycle = std::get_if<work_queue::Cycle>(&item)) {
      worker.record(*cycle);
    } else {
      auto& stop = std::get<work_queue::Stop>(item);
      finishing = std::move(stop.finishing);  // held until the file is finished
      worker.stop(stop);
      break;  // a writer records one file in its life
    }
  }
  return worker.close();
}

void worker_thread_main(work_queue::WorkReceiver receiver, std::shared_ptr<work_queue::AttachmentSlot> slot) {
  common::PendingWork finishing;
  auto status = run_worker(receiver, *slot, finishing);
  if (!status) log::write(Level::Error, kLogTarget, "McapWriter worker failed: {}", status.error());
  { auto closing = std::move(receiver); }  // drops what is left in the queue
  slot.reset();
}  // `finishing` goes last

}  // namespace kiv::recorder
