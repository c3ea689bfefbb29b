// Arbitrary bytes as a sequence of MCAP writer operations on an in-memory
// sink: schema and channel registrations (new ones and repeats), messages on
// known and unknown channels, flushes, a sink that fills up, and at the end
// either a finish or a crash. A small model says what each call must return
// and what the file must hold; the independent reader checks the file's every
// CRC, index, summary group and count. A crash, even one that cuts the last
// write short, must leave every message of a complete chunk readable.
#include <algorithm>
#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "fuzz_checks.h"
#include "mcap/sink.h"
#include "mcap/writer.h"
#include "mcap_file_reader.h"

namespace {

using kiv::common::ByteView;
using kiv::common::Bytes;
using kiv::testing::McapFile;
using kiv::testing::MessageRecord;

// The input read from the front; past its end every read gives 0.
class InputBytes {
 public:
  InputBytes(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool empty() const { return at_ == size_; }
  std::uint8_t u8() { return at_ < size_ ? data_[at_++] : 0; }
  std::uint64_t uint(int bytes) {
    std::uint64_t value = 0;
    for (int i = 0; i < bytes; ++i) value |= std::uint64_t{u8()} << (8 * i);
    return value;
  }

  // Short text: mostly from a small alphabet, so that equal registrations come
  // up by chance too; sometimes raw bytes, which need not be UTF-8.
  std::string text() {
    const std::uint8_t head = u8();
    std::string out;
    const std::size_t length = head & 0x0F;
    for (std::size_t i = 0; i < length; ++i) {
      const std::uint8_t byte = u8();
      if (head & 0x80) {
        out.push_back(static_cast<char>(byte));
      } else {
        static constexpr const char* kAlphabet[] = {"a", "b", "/", ".", "_", "\xC3\xA9", "\xE2\x82\xAC", "0"};
        out += kAlphabet[byte % 8];
      }
    }
    return out;
  }

  // Payload bytes; some far beyond the chunk target, so that chunks close on size.
  Bytes payload() {
    const std::uint8_t head = u8();
    const std::size_t size = head & 0x80 ? uint(2) % 8192 : head & 0x7F;
    std::uint32_t state = u8() * 2654435761u + 1;
    Bytes out(size);
    for (auto& byte : out) {
      state = state * 1664525u + 1013904223u;
      byte = static_cast<std::uint8_t>(state >> 24);
    }
    return out;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

// Keeps the file in memory; once filled up it takes what still fits of a
// write and refuses the rest, as a full disk does.
struct MemoryFile {
  Bytes bytes;
  std::optional<std::size_t> capacity;
  int refusals = 0;
  int flushes = 0;
  bool closed = false;
};

class MemorySink final : public kiv::mcap::Sink {
 public:
  explicit MemorySink(MemoryFile& file) : file_(file) {}
  kiv::common::Status write(ByteView bytes) override {
    KIV_FUZZ_CHECK(!file_.closed);
    const std::size_t room = file_.capacity ? *file_.capacity - file_.bytes.size() : bytes.size();
    file_.bytes.insert(file_.bytes.end(), bytes.begin(), bytes.begin() + static_cast<long>(std::min(room, bytes.size())));
    if (room < bytes.size()) {
      ++file_.refusals;
      return kiv::common::fail("disk full");
    }
    return {};
  }
  kiv::common::Status flush() override {
    ++file_.flushes;
    return {};
  }
  kiv::common::Status close() override {
    file_.closed = true;
    return {};
  }

 private:
  MemoryFile& file_;
};

using kiv::testing::is_utf8;

struct SchemaSpec {
  std::string name;
  std::string encoding;
  Bytes data;
  bool operator==(const SchemaSpec&) const = default;
  // Every string of a file is UTF-8, and data needs an encoding to mean anything.
  bool valid() const { return is_utf8(name) && is_utf8(encoding) && (!encoding.empty() || data.empty()); }
};

struct ChannelSpec {
  std::uint16_t schema_id;
  std::string topic;
  std::string encoding;
  kiv::mcap::Metadata metadata;
  bool operator==(const ChannelSpec&) const = default;
  bool valid() const {
    if (!is_utf8(topic) || !is_utf8(encoding)) return false;
    for (const auto& [key, value] : metadata) {
      if (!is_utf8(key) || !is_utf8(value)) return false;
    }
    return true;
  }
};

// What the writer was given and what its file must therefore hold.
class Model {
 public:
  explicit Model(std::uint64_t chunk_size) : chunk_size_(chunk_size) {}

  std::vector<SchemaSpec> schemas;    // id i + 1
  std::vector<ChannelSpec> channels;  // id i + 1
  std::vector<MessageRecord> messages;
  std::vector<std::size_t> chunk_ends;  // messages written when each chunk closed

  // The id an equal earlier registration has, or a new one.
  template <typename Spec>
  std::uint16_t register_spec(std::vector<Spec>& specs, const Spec& spec, std::size_t record_size) {
    for (std::size_t i = 0; i < specs.size(); ++i) {
      if (specs[i] == spec) return static_cast<std::uint16_t>(i + 1);
    }
    specs.push_back(spec);
    open_chunk_size_ += record_size;
    return static_cast<std::uint16_t>(specs.size());
  }

  // True when the message closes its chunk on size.
  bool add_message(MessageRecord message) {
    open_chunk_size_ += 9 + 22 + message.data.size();
    messages.push_back(std::move(message));
    if (open_chunk_size_ < chunk_size_) return false;
    close_chunk();
    return true;
  }

  // True when there was a chunk to close.
  bool close_chunk() {
    if (open_chunk_size_ == 0) return false;
    chunk_ends.push_back(messages.size());
    open_chunk_size_ = 0;
    return true;
  }

  // Record sizes as the format lays them out.
  static std::size_t schema_record_size(const SchemaSpec& s) {
    return 9 + 2 + 4 + s.name.size() + 4 + s.encoding.size() + 4 + s.data.size();
  }
  static std::size_t channel_record_size(const ChannelSpec& c) {
    std::size_t size = 9 + 2 + 2 + 4 + c.topic.size() + 4 + c.encoding.size() + 4;
    for (const auto& [key, value] : c.metadata) size += 8 + key.size() + value.size();
    return size;
  }

 private:
  std::uint64_t chunk_size_;
  std::size_t open_chunk_size_ = 0;
};

// The file holds exactly the model's first `chunks` chunks: their messages
// byte for byte in order, and registrations equal to the model's under its ids.
void check_holds(const McapFile& file, const Model& model, std::size_t chunks) {
  KIV_FUZZ_CHECK(file.chunks.size() == chunks);
  std::size_t first = 0;
  for (std::size_t i = 0; i < chunks; ++i) {
    KIV_FUZZ_CHECK(file.chunks[i].first_message == first);
    KIV_FUZZ_CHECK(file.chunks[i].message_count == model.chunk_ends[i] - first);
    first = model.chunk_ends[i];
  }
  KIV_FUZZ_CHECK(file.messages.size() == first);
  for (std::size_t i = 0; i < first; ++i) KIV_FUZZ_CHECK(file.messages[i] == model.messages[i]);
  for (const auto& [id, schema] : file.schemas) {
    KIV_FUZZ_CHECK(id >= 1 && id <= model.schemas.size());
    KIV_FUZZ_CHECK((SchemaSpec{schema.name, schema.encoding, schema.data} == model.schemas[id - 1u]));
  }
  for (const auto& [id, channel] : file.channels) {
    KIV_FUZZ_CHECK(id >= 1 && id <= model.channels.size());
    KIV_FUZZ_CHECK((ChannelSpec{channel.schema_id, channel.topic, channel.message_encoding, channel.metadata} ==
                    model.channels[id - 1u]));
  }
}

class Session {
 public:
  Session(InputBytes& input, kiv::mcap::Options options)
      : input_(input), model_(options.chunk_size), profile_(options.profile), library_(options.library) {
    auto writer = kiv::mcap::Writer::create(std::make_unique<MemorySink>(file_), std::move(options));
    KIV_FUZZ_CHECK(writer.ok());
    writer_ = std::move(*writer);
  }

  void run() {
    while (!input_.empty()) {
      switch (input_.u8() % 10) {
        case 0:
        case 1: add_schema(SchemaSpec{input_.text(), input_.text(), input_.payload()}); break;
        case 2:
          if (!model_.schemas.empty()) add_schema(model_.schemas[input_.u8() % model_.schemas.size()]);
          break;
        case 3: add_channel(new_channel()); break;
        case 4:
          if (!model_.channels.empty()) add_channel(model_.channels[input_.u8() % model_.channels.size()]);
          break;
        case 5:
        case 6: write_message(); break;
        case 7: flush(); break;
        case 8:
          if (!file_.capacity) file_.capacity = file_.bytes.size() + input_.uint(2);
          break;
        case 9: return crash();
      }
    }
    finish();
  }

 private:
  bool output_failed() const { return file_.refusals > 0; }

  // A call that met a refused write must report it; after one, every call fails.
  void check_status(bool ok, int refusals_before, bool closed_chunk) {
    if (file_.refusals > refusals_before || refusals_before > 0) {
      KIV_FUZZ_CHECK(!ok);
    } else {
      KIV_FUZZ_CHECK(ok);
      if (closed_chunk) durable_chunks_ = model_.chunk_ends.size();
    }
  }

  void add_schema(const SchemaSpec& spec) {
    const bool failed_before = output_failed();
    auto id = writer_->add_schema(spec.name, spec.encoding, spec.data);
    if (failed_before || !spec.valid()) {
      KIV_FUZZ_CHECK(!id.ok());
      return;
    }
    KIV_FUZZ_CHECK(id.ok());
    KIV_FUZZ_CHECK(*id == model_.register_spec(model_.schemas, spec, Model::schema_record_size(spec)));
  }

  ChannelSpec new_channel() {
    // Up to one id past the known schemas: 0 is "no schema", the last is unknown.
    ChannelSpec spec{static_cast<std::uint16_t>(input_.u8() % (model_.schemas.size() + 2)), input_.text(),
                     input_.text(), {}};
    for (int entries = input_.u8() % 4; entries > 0; --entries) {
      std::string key = input_.text();
      spec.metadata[std::move(key)] = input_.text();
    }
    return spec;
  }

  void add_channel(const ChannelSpec& spec) {
    const bool failed_before = output_failed();
    auto id = writer_->add_channel(spec.schema_id, spec.topic, spec.encoding, spec.metadata);
    if (failed_before || spec.schema_id > model_.schemas.size() || !spec.valid()) {
      KIV_FUZZ_CHECK(!id.ok());
      return;
    }
    KIV_FUZZ_CHECK(id.ok());
    KIV_FUZZ_CHECK(*id == model_.register_spec(model_.channels, spec, Model::channel_record_size(spec)));
  }

  std::uint64_t next_time(std::uint64_t previous) {
    switch (input_.u8() % 4) {
      case 0: return previous;
      case 1: return previous + input_.u8();
      case 2: return previous - std::min<std::uint64_t>(previous, input_.u8());
      default: return input_.uint(8);
    }
  }

  void write_message() {
    // 0 and one past the last channel are unknown ids.
    MessageRecord message{static_cast<std::uint16_t>(input_.u8() % (model_.channels.size() + 2)),
                          static_cast<std::uint32_t>(input_.uint(4)), 0, 0, {}};
    message.log_time = last_log_time_ = next_time(last_log_time_);
    message.publish_time = input_.u8() & 1 ? message.log_time : input_.uint(8);
    message.data = input_.payload();
    const int refusals = file_.refusals;
    const auto status = writer_->write_message({.channel_id = message.channel_id,
                                                .sequence = message.sequence,
                                                .log_time = message.log_time,
                                                .publish_time = message.publish_time,
                                                .data = message.data});
    if (message.channel_id == 0 || message.channel_id > model_.channels.size()) {
      KIV_FUZZ_CHECK(!status.ok());
      return;
    }
    const bool closed = refusals == 0 && model_.add_message(std::move(message));
    check_status(status.ok(), refusals, closed);
  }

  void flush() {
    const int refusals = file_.refusals;
    const int flushes = file_.flushes;
    const auto status = writer_->flush();
    const bool closed = refusals == 0 && model_.close_chunk();
    check_status(status.ok(), refusals, closed);
    if (status.ok()) KIV_FUZZ_CHECK(file_.flushes == flushes + 1);
  }

  // What reached the sink must read back up to the last complete chunk: all
  // that was written when no write was refused, and at least every chunk an
  // accepted call wrote when one was. Any cut of it keeps the chunks before the cut.
  void crash() {
    const McapFile so_far = kiv::testing::read_mcap_recovering(file_.bytes);
    check_recovered(so_far);
    const std::size_t cut = static_cast<std::size_t>(input_.uint(4) % (file_.bytes.size() + 1));
    const McapFile cut_file = kiv::testing::read_mcap_recovering(Bytes(file_.bytes.begin(), file_.bytes.begin() + static_cast<long>(cut)));
    std::size_t complete = 0;
    while (complete < so_far.chunks.size() &&
           so_far.chunks[complete].offset + so_far.chunks[complete].length <= cut) {
      ++complete;
    }
    check_holds(cut_file, model_, complete);
    // Releasing the writer finishes the file.
    writer_.reset();
    model_.close_chunk();
    KIV_FUZZ_CHECK(file_.closed);
    if (!output_failed()) check_finished();
  }

  void check_recovered(const McapFile& file) {
    KIV_FUZZ_CHECK(!file.finished);
    if (!output_failed()) return check_holds(file, model_, model_.chunk_ends.size());
    // The call that met the refusal may have completed its chunk before its indexes.
    KIV_FUZZ_CHECK(file.chunks.size() == durable_chunks_ || file.chunks.size() == durable_chunks_ + 1);
    KIV_FUZZ_CHECK(file.chunks.size() <= model_.chunk_ends.size());
    check_holds(file, model_, file.chunks.size());
  }

  void finish() {
    const int refusals = file_.refusals;
    const auto status = writer_->finish();
    const bool closed = refusals == 0 && model_.close_chunk();
    check_status(status.ok(), refusals, closed);
    KIV_FUZZ_CHECK(file_.closed);
    if (!status.ok()) return check_recovered(kiv::testing::read_mcap_recovering(file_.bytes));
    check_finished();
    const std::size_t size = file_.bytes.size();
    KIV_FUZZ_CHECK(writer_->finish().ok());
    KIV_FUZZ_CHECK(!writer_->add_schema("s", "e", {}).ok());
    KIV_FUZZ_CHECK(file_.bytes.size() == size);
  }

  void check_finished() {
    const McapFile file = kiv::testing::read_mcap(file_.bytes);
    KIV_FUZZ_CHECK(file.finished);
    KIV_FUZZ_CHECK(file.profile == profile_ && file.library == library_);
    check_holds(file, model_, model_.chunk_ends.size());
    KIV_FUZZ_CHECK(file.schemas.size() == model_.schemas.size());
    KIV_FUZZ_CHECK(file.channels.size() == model_.channels.size());
  }

  InputBytes& input_;
  MemoryFile file_;
  Model model_;
  std::string profile_;
  std::string library_;
  std::unique_ptr<kiv::mcap::Writer> writer_;
  std::size_t durable_chunks_ = 0;  // chunks closed by calls that reported success
  std::uint64_t last_log_time_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  InputBytes input(data, size);
  const std::uint8_t setup = input.u8();
  kiv::mcap::Options options;
  options.profile = "kiv-fuzz";
  options.library = "mcap_writer_fuzz";
  options.compression = setup & 1 ? kiv::mcap::Compression::zstd : kiv::mcap::Compression::none;
  options.chunk_size = input.uint(2) % 4096;
  try {
    Session(input, std::move(options)).run();
  } catch (const std::exception& fault) {
    std::fprintf(stderr, "the file does not read back: %s\n", fault.what());
    std::abort();
  }
  return 0;
}
