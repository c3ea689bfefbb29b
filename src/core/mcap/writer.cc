#include "mcap/writer.h"

#include <algorithm>
#include <limits>

#include "common/format.h"
#include "common/utf8.h"
#include "mcap/chunk_compressor.h"
#include "mcap/record_encoding.h"

namespace kiv::mcap {

using namespace detail;

namespace {

constexpr std::size_t kIdOffset = kRecordPrefixSize;  // every registry record starts with its u16 id
constexpr std::size_t kMaxRegistrations = std::numeric_limits<std::uint16_t>::max();

bool fits_u32(std::size_t size) { return size <= std::numeric_limits<std::uint32_t>::max(); }

// Readers decode every string of a file as UTF-8, so one bad string would
// make the whole recording unreadable: the call that brings it is refused.
using common::is_utf8;

// The part of a Schema or Channel record after its id: equal content, equal registration.
std::string_view content_key(const common::Bytes& record) {
  const std::size_t skip = kIdOffset + sizeof(std::uint16_t);
  return {reinterpret_cast<const char*>(record.data()) + skip, record.size() - skip};
}

}  // namespace

common::Result<std::unique_ptr<Writer>> Writer::create(std::unique_ptr<Sink> sink, Options options,
                                                       std::unique_ptr<IndexSpool> spool) {
  if (!sink) return common::fail("no sink to write to");
  if (!spool) spool = make_memory_spool();
  if (!fits_u32(options.profile.size()) || !fits_u32(options.library.size())) {
    return common::fail("header strings too long");
  }
  if (!is_utf8(options.profile) || !is_utf8(options.library)) return common::fail("header strings are not valid UTF-8");
  auto compressor = make_chunk_compressor(options.compression, options.compression_level);
  if (!compressor) return common::fail(std::move(compressor).take_error());
  std::unique_ptr<Writer> writer(
      new Writer(std::move(sink), std::move(*compressor), std::move(spool), std::move(options)));

  auto& header = writer->scratch_;
  const std::size_t start = begin_record(header, Opcode::header);
  append_string(header, writer->options_.profile);
  append_string(header, writer->options_.library);
  end_record(header, start);
  auto status = writer->emit(kMagic);
  if (status) status = writer->emit(header);
  if (!status) {
    writer->finished_ = true;  // nothing worth finishing
    return common::fail(std::move(status).take_error());
  }
  return writer;
}

Writer::Writer(std::unique_ptr<Sink> sink, std::unique_ptr<ChunkCompressor> compressor,
               std::unique_ptr<IndexSpool> spool, Options options)
    : sink_(std::move(sink)),
      compressor_(std::move(compressor)),
      spool_(std::move(spool)),
      options_(std::move(options)) {
  chunk_index_entries_.resize(1);  // slot 0: no channel has id 0
  channel_message_counts_.resize(1);
}

Writer::~Writer() { (void)finish(); }

common::Status Writer::check_usable() const {
  if (output_failure_) return common::fail(common::format("output failed earlier: {}", *output_failure_));
  if (finished_) return common::fail("the file is already finished");
  return {};
}

common::Result<std::uint16_t> Writer::add_schema(std::string_view name, std::string_view encoding,
                                                 common::ByteView data) {
  if (auto status = check_usable(); !status) return common::fail(std::move(status).take_error());
  if (!fits_u32(name.size()) || !fits_u32(encoding.size()) || !fits_u32(data.size())) {
    return common::fail("schema fields too long");
  }
  if (!is_utf8(name) || !is_utf8(encoding)) return common::fail("schema name or encoding is not valid UTF-8");
  // Data without an encoding could never be interpreted; readers treat it as an error.
  if (encoding.empty() && !data.empty()) return common::fail("schema data without a schema encoding");
  scratch_.clear();
  const std::size_t start = begin_record(scratch_, Opcode::schema);
  append_le(scratch_, std::uint16_t{0});
  append_string(scratch_, name);
  append_string(scratch_, encoding);
  append_le(scratch_, static_cast<std::uint32_t>(data.size()));
  append_bytes(scratch_, data);
  end_record(scratch_, start);
  return register_record(schemas_, "schemas");
}

common::Result<std::uint16_t> Writer::add_channel(std::uint16_t schema_id, std::string_view topic,
                                                  std::string_view message_encoding, const Metadata& metadata) {
  if (auto status = check_usable(); !status) return common::fail(std::move(status).take_error());
  if (schema_id > schemas_.records.size()) return common::fail(common::format("unknown schema id {}", schema_id));
  if (!fits_u32(topic.size()) || !fits_u32(message_encoding.size())) return common::fail("channel fields too long");
  if (!is_utf8(topic) || !is_utf8(message_encoding)) return common::fail("channel topic or encoding is not valid UTF-8");
  for (const auto& [key, value] : metadata) {
    if (!is_utf8(key) || !is_utf8(value)) return common::fail("channel metadata is not valid UTF-8");
  }
  scratch_.clear();
  const std::size_t start = begin_record(scratch_, Opcode::channel);
  append_le(scratch_, std::uint16_t{0});
  append_le(scratch_, schema_id);
  append_string(scratch_, topic);
  append_string(scratch_, message_encoding);
  const std::size_t map = begin_group(scratch_);
  for (const auto& [key, value] : metadata) {
    append_string(scratch_, key);
    append_string(scratch_, value);
  }
  if (!fits_u32(scratch_.size() - map - sizeof(std::uint32_t))) return common::fail("channel metadata too long");
  end_group(scratch_, map);
  end_record(scratch_, start);
  auto id = register_record(channels_, "channels");
  if (id && *id >= chunk_index_entries_.size()) {
    chunk_index_entries_.resize(*id + 1u);
    channel_message_counts_.resize(*id + 1u);
  }
  return id;
}

common::Result<std::uint16_t> Writer::register_record(Registry& registry, const char* kind) {
  const std::string_view key = content_key(scratch_);
  if (auto found = registry.ids_by_content.find(key); found != registry.ids_by_content.end()) return found->second;
  if (registry.records.size() >= kMaxRegistrations) return common::fail(common::format("too many {}", kind));
  const auto id = static_cast<std::uint16_t>(registry.records.size() + 1);
  registry.ids_by_content.emplace(std::string(key), id);
  store_le(scratch_.data() + kIdOffset, id);
  registry.records.push_back(scratch_);
  append_bytes(chunk_, scratch_);
  return id;
}

common::Status Writer::write_message(const Message& message) {
  if (auto status = check_usable(); !status) return status;
  if (message.channel_id == 0 || message.channel_id > channels_.records.size()) {
    return common::fail(common::format("unknown channel id {}", message.channel_id));
  }
  auto& entries = chunk_index_entries_[message.channel_id];
  if (entries.empty()) chunk_channels_.push_back(message.channel_id);
  entries.push_back({message.log_time, chunk_.size()});

  const std::size_t start = begin_record(chunk_, Opcode::message);
  append_le(chunk_, message.channel_id);
  append_le(chunk_, message.sequence);
  append_le(chunk_, message.log_time);
  append_le(chunk_, message.publish_time);
  append_bytes(chunk_, message.data);
  end_record(chunk_, start);

  if (!chunk_has_messages_) {
    chunk_start_time_ = chunk_end_time_ = message.log_time;
    chunk_has_messages_ = true;
  } else {
    chunk_start_time_ = std::min(chunk_start_time_, message.log_time);
    chunk_end_time_ = std::max(chunk_end_time_, message.log_time);
  }
  if (message_count_ == 0) {
    message_start_time_ = message_end_time_ = message.log_time;
  } else {
    message_start_time_ = std::min(message_start_time_, message.log_time);
    message_end_time_ = std::max(message_end_time_, message.log_time);
  }
  ++message_count_;
  ++channel_message_counts_[message.channel_id];

  if (chunk_.size() >= options_.chunk_size) return close_chunk();
  return {};
}

common::Status Writer::close_chunk() {
  if (chunk_.empty()) return {};
  Crc32 records_crc;
  records_crc.update(chunk_);
  auto compressed = compressor_->compress(chunk_);
  if (!compressed) return common::fail(std::move(compressed).take_error());

  const std::uint64_t chunk_start = position_;
  scratch_.clear();
  const std::size_t start = begin_record(scratch_, Opcode::chunk);
  append_le(scratch_, chunk_start_time_);
  append_le(scratch_, chunk_end_time_);
  append_le(scratch_, static_cast<std::uint64_t>(chunk_.size()));
  append_le(scratch_, records_crc.value());
  append_string(scratch_, compressor_->name());
  append_le(scratch_, static_cast<std::uint64_t>(compressed->size()));
  // The records follow the prefix directly; the length covers them too.
  store_le(scratch_.data() + start + 1,
           static_cast<std::uint64_t>(scratch_.size() - start - kRecordPrefixSize + compressed->size()));
  if (auto status = emit(scratch_); !status) return status;
  if (auto status = emit(*compressed); !status) return status;

  // The summary's chunk index, its offsets map filled in as the message
  // indexes are built: one per channel with messages here, in channel id order.
  index_record_.clear();
  const std::size_t index_start = begin_record(index_record_, Opcode::chunk_index);
  append_le(index_record_, chunk_start_time_);
  append_le(index_record_, chunk_end_time_);
  append_le(index_record_, chunk_start);
  append_le(index_record_, position_ - chunk_start);
  const std::size_t offsets = begin_group(index_record_);
  std::sort(chunk_channels_.begin(), chunk_channels_.end());
  scratch_.clear();
  for (std::uint16_t channel_id : chunk_channels_) {
    append_le(index_record_, channel_id);
    append_le(index_record_, static_cast<std::uint64_t>(position_ + scratch_.size()));
    const std::size_t record = begin_record(scratch_, Opcode::message_index);
    append_le(scratch_, channel_id);
    const std::size_t array = begin_group(scratch_);
    for (const IndexEntry& entry : chunk_index_entries_[channel_id]) {
      append_le(scratch_, entry.log_time);
      append_le(scratch_, entry.offset);
    }
    end_group(scratch_, array);
    end_record(scratch_, record);
    chunk_index_entries_[channel_id].clear();
  }
  end_group(index_record_, offsets);
  append_le(index_record_, static_cast<std::uint64_t>(scratch_.size()));  // message index length
  append_string(index_record_, compressor_->name());
  append_le(index_record_, static_cast<std::uint64_t>(compressed->size()));
  append_le(index_record_, static_cast<std::uint64_t>(chunk_.size()));
  end_record(index_record_, index_start);

  chunk_channels_.clear();
  chunk_.clear();
  chunk_has_messages_ = false;
  chunk_start_time_ = chunk_end_time_ = 0;
  if (auto status = emit(scratch_); !status) return status;
  // A chunk missing from the summary would be lost to indexed readers.
  if (auto status = spool_->append(index_record_); !status) {
    return fail_output(common::format("chunk index spool failed: {}", status.error()));
  }
  ++chunk_count_;
  chunk_index_bytes_ += index_record_.size();
  return {};
}

common::Status Writer::flush() {
  if (auto status = check_usable(); !status) return status;
  if (auto status = close_chunk(); !status) return status;
  if (auto status = sink_->flush(); !status) return fail_output(std::move(status).take_error());
  return {};
}

common::Status Writer::finish() {
  if (finished_) return {};
  finished_ = true;
  if (output_failure_) {
    (void)sink_->close();
    return common::fail(common::format("output failed earlier: {}", *output_failure_));
  }
  if (auto status = close_chunk(); !status) {
    (void)sink_->close();
    return status;
  }
  if (auto status = write_summary_and_footer(); !status) {
    (void)sink_->close();
    return status;
  }
  if (auto status = sink_->close(); !status) return fail_output(std::move(status).take_error());
  return {};
}

common::Status Writer::write_summary_and_footer() {
  scratch_.clear();
  std::size_t start = begin_record(scratch_, Opcode::data_end);
  append_le(scratch_, running_crc_.value());
  end_record(scratch_, start);
  if (auto status = emit(scratch_); !status) return status;
  running_crc_.reset();

  struct Group {
    Opcode opcode;
    std::uint64_t start;
    std::uint64_t length;
  };
  std::vector<Group> groups;
  const std::uint64_t summary_start = position_;
  scratch_.clear();
  auto add_group = [&](Opcode opcode, std::size_t group_start) {
    if (scratch_.size() > group_start) {
      groups.push_back({opcode, summary_start + group_start, scratch_.size() - group_start});
    }
  };

  std::size_t group_start = scratch_.size();
  for (const auto& record : schemas_.records) append_bytes(scratch_, record);
  add_group(Opcode::schema, group_start);

  group_start = scratch_.size();
  for (const auto& record : channels_.records) append_bytes(scratch_, record);
  add_group(Opcode::channel, group_start);

  // Channels are repeated above, before Statistics, as its per-channel counts require.
  group_start = scratch_.size();
  start = begin_record(scratch_, Opcode::statistics);
  append_le(scratch_, message_count_);
  append_le(scratch_, static_cast<std::uint16_t>(schemas_.records.size()));
  append_le(scratch_, static_cast<std::uint32_t>(channels_.records.size()));
  append_le(scratch_, std::uint32_t{0});  // attachments
  append_le(scratch_, std::uint32_t{0});  // metadata records
  append_le(scratch_, static_cast<std::uint32_t>(chunk_count_));
  append_le(scratch_, message_start_time_);
  append_le(scratch_, message_end_time_);
  std::size_t map = begin_group(scratch_);
  for (std::size_t id = 1; id < channel_message_counts_.size(); ++id) {
    if (channel_message_counts_[id] == 0) continue;
    append_le(scratch_, static_cast<std::uint16_t>(id));
    append_le(scratch_, channel_message_counts_[id]);
  }
  end_group(scratch_, map);
  end_record(scratch_, start);
  add_group(Opcode::statistics, group_start);
  if (auto status = emit(scratch_); !status) return status;

  // The chunk indexes come back from the spool piece by piece.
  if (chunk_index_bytes_ > 0) groups.push_back({Opcode::chunk_index, position_, chunk_index_bytes_});
  if (auto status = spool_->replay([this](common::ByteView piece) { return emit(piece); }); !status) {
    if (output_failure_) return status;  // the file's, not the spool's
    return fail_output(common::format("chunk index spool failed: {}", status.error()));
  }

  const std::uint64_t summary_offset_start = position_;
  scratch_.clear();
  for (const Group& group : groups) {
    start = begin_record(scratch_, Opcode::summary_offset);
    scratch_.push_back(static_cast<std::uint8_t>(group.opcode));
    append_le(scratch_, group.start);
    append_le(scratch_, group.length);
    end_record(scratch_, start);
  }

  // The summary CRC covers the footer up to, not including, its own field.
  constexpr std::uint64_t kFooterBodySize = 20;
  start = begin_record(scratch_, Opcode::footer);
  store_le(scratch_.data() + start + 1, kFooterBodySize);
  append_le(scratch_, summary_start);
  append_le(scratch_, summary_offset_start);
  if (auto status = emit(scratch_); !status) return status;

  scratch_.clear();
  append_le(scratch_, running_crc_.value());
  append_bytes(scratch_, kMagic);
  return emit(scratch_);
}

common::Status Writer::emit(common::ByteView bytes) {
  if (output_failure_) return common::fail(common::format("output failed earlier: {}", *output_failure_));
  running_crc_.update(bytes);
  position_ += bytes.size();
  if (auto status = sink_->write(bytes); !status) return fail_output(std::move(status).take_error());
  return {};
}

common::Status Writer::fail_output(std::string message) {
  if (!output_failure_) output_failure_ = message;
  return common::fail(std::move(message));
}

}  // namespace kiv::mcap
