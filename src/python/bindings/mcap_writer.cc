#include "recorder/mcap_writer.h"

#include <memory>
#include <optional>
#include <string>

#include "bindings/classes.h"
#include "common/format.h"
#include "cycle_record/cycle_record.h"
#include "kit/type_builder.h"

namespace kiv::python {
namespace {

using image_hub::ImageHub;
using recorder::McapWriter;

constexpr char kClassDoc[] =
    "McapWriter()\n--\n\n"
    "High-performance MCAP writer for KIV cycle records.\n\n"
    "Handles serialization (JSON for metadata, MessagePack for data) and\n"
    "MCAP channel/schema registration. Designed for fire-and-forget from Python.\n\n"
    "Constructor: ``McapWriter()``\n\n"
    "Methods:\n"
    "  - start(path: str) -> None  (starts writing to file)\n"
    "  - write_cycle(record: dict) -> int  (returns sequence number)\n"
    "  - stop() -> None\n"
    "  - current_sequence() -> int\n\n"
    "Example (Python):\n"
    "```python\n"
    "from kiv_rs import McapWriter\n"
    "writer = McapWriter()\n"
    "writer.start(\"/tmp/session.mcap\")\n"
    "seq = writer.write_cycle(record_dict)  # Returns sequence number\n"
    "```";
constexpr char kStartDoc[] =
    "start($self, path)\n--\n\n"
    "Start writing to the MCAP file.\n\n"
    "Args:\n"
    "  path: Path to the MCAP file to create";
constexpr char kWriteCycleDoc[] =
    "write_cycle($self, record_json)\n--\n\n"
    "Write a complete cycle to MCAP.\n\n"
    "Args:\n"
    "  record: Dictionary representation of CycleRecord (as JSON string from Python)\n\n"
    "Returns:\n"
    "  Sequence number (u64) for ordering verification";
constexpr char kAttachImageHubDoc[] =
    "attach_image_hub($self, image_hub, window_sec, capture_images_on_clamp, cursor=None)\n--\n\n";
constexpr char kStopDoc[] =
    "stop($self, stop_timestamp=None)\n--\n\n"
    "Stop writing and close the MCAP file after draining images up to stop_timestamp.";
constexpr char kCurrentSequenceDoc[] =
    "current_sequence($self)\n--\n\n"
    "Get the current sequence counter.";

std::unique_ptr<McapWriter> make() { return std::make_unique<McapWriter>(); }

void start(McapWriter& writer, std::string_view path) {
  if (auto status = writer.start(std::string(path)); !status) raise(PyExc_OSError, status.error());
}

// The record is read before anything else happens, so bad JSON leaves the
// writer untouched.
std::uint64_t write_cycle(McapWriter& writer, std::string_view record_json) {
  auto record = cycle_record::read_cycle_record(record_json);
  if (!record) raise(PyExc_ValueError, common::format("Failed to parse CycleRecord JSON: {}", record.error()));
  auto sequence = writer.write_cycle(std::move(record).value());
  if (!sequence) raise(PyExc_RuntimeError, sequence.error());
  return *sequence;
}

void attach_image_hub(McapWriter& writer, InstanceOf<ImageHub> image_hub, double window_sec,
                      bool capture_images_on_clamp, std::optional<std::uint64_t> cursor) {
  writer.attach_image_hub(image_hub.core, window_sec, capture_images_on_clamp, cursor);
}

void stop(McapWriter& writer, std::optional<double> stop_timestamp) {
  if (stop_timestamp) {
    writer.stop_at(*stop_timestamp);
  } else {
    writer.stop();
  }
}

std::uint64_t current_sequence(McapWriter& writer) { return writer.current_sequence(); }

std::string repr(McapWriter&) { return "McapWriter(async)"; }

}  // namespace

PyTypeObject* build_mcap_writer_class() {
  return ClassBuilder<McapWriter, kClassDoc>()
      .constructor<&make>()
      .method<&start, kStartDoc>()
      .method<&write_cycle, kWriteCycleDoc>()
      .method<&attach_image_hub, kAttachImageHubDoc>()
      .method<&stop, kStopDoc>()
      .method<&current_sequence, kCurrentSequenceDoc>()
      .repr<&repr>()
      .build();
}

}  // namespace kiv::python
