// Test helper: an independent reader of MCAP files, written from the format's
// description and not from the writer. `read_mcap` walks a finished file
// record by record, decompresses zstd chunks, and checks every CRC, every
// index against what it points at, the summary's repeats, groups, offsets and
// statistics; `read_mcap_recovering` reads what a crash left (the complete
// chunks of a file cut anywhere). Any fault throws McapFault naming the file
// offset, so it serves both GoogleTest (which reports the exception) and the
// fuzz targets (which abort on it).
#pragma once

#include <zstd.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "common/bytes.h"
#include "mcap/crc32.h"

namespace kiv::testing {

using common::Bytes;

class McapFault : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

inline void require(bool holds, const char* what, std::size_t at) {
  if (!holds) throw McapFault(std::string(what) + " at offset " + std::to_string(at));
}

// Little-endian fields; `bytes.at` keeps a bad offset from reading past the end.
inline std::uint64_t le_at(const Bytes& bytes, std::size_t at, int size) {
  std::uint64_t value = 0;
  for (int i = size - 1; i >= 0; --i) value = value << 8 | bytes.at(at + static_cast<std::size_t>(i));
  return value;
}
inline std::uint64_t u64_at(const Bytes& bytes, std::size_t at) { return le_at(bytes, at, 8); }
inline std::uint32_t u32_at(const Bytes& bytes, std::size_t at) { return static_cast<std::uint32_t>(le_at(bytes, at, 4)); }
inline std::uint16_t u16_at(const Bytes& bytes, std::size_t at) { return static_cast<std::uint16_t>(le_at(bytes, at, 2)); }

inline constexpr std::uint8_t kMcapMagic[8] = {0x89, 'M', 'C', 'A', 'P', '0', '\r', '\n'};

namespace mcap_opcode {
inline constexpr std::uint8_t header = 0x01, footer = 0x02, schema = 0x03, channel = 0x04, message = 0x05,
                              chunk = 0x06, message_index = 0x07, chunk_index = 0x08, statistics = 0x0B,
                              summary_offset = 0x0E, data_end = 0x0F;
}

// Well-formed UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
inline bool is_utf8(const std::string& text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p < end) {
    const unsigned char lead = *p;
    std::size_t length = 1;
    unsigned char low = 0x80, high = 0xBF;  // the second byte's range
    if (lead < 0x80) {
      ++p;
      continue;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    } else {
      return false;
    }
    if (static_cast<std::size_t>(end - p) < length || p[1] < low || p[1] > high) return false;
    for (std::size_t i = 2; i < length; ++i) {
      if ((p[i] & 0xC0) != 0x80) return false;
    }
    p += length;
  }
  return true;
}

// A record's fields in order; every read is bounded by the record's body.
class FieldReader {
 public:
  FieldReader(const Bytes& bytes, std::size_t from, std::size_t to) : bytes_(bytes), at_(from), end_(to) {}

  std::uint8_t u8() { return static_cast<std::uint8_t>(take(1)); }
  std::uint16_t u16() { return static_cast<std::uint16_t>(take(2)); }
  std::uint32_t u32() { return static_cast<std::uint32_t>(take(4)); }
  std::uint64_t u64() { return take(8); }
  Bytes bytes(std::uint64_t count) {
    require(count <= end_ - at_, "field overruns its record", at_);
    Bytes out(bytes_.begin() + static_cast<long>(at_), bytes_.begin() + static_cast<long>(at_ + count));
    at_ += count;
    return out;
  }
  std::string string() {
    const Bytes raw = bytes(u32());
    std::string text(raw.begin(), raw.end());
    require(is_utf8(text), "string is not UTF-8", at_);
    return text;
  }
  std::map<std::string, std::string> string_map() {
    const std::uint32_t length = u32();
    require(length <= end_ - at_, "map overruns its record", at_);
    FieldReader entries(bytes_, at_, at_ + length);
    std::map<std::string, std::string> map;
    while (!entries.done()) {
      std::string key = entries.string();
      require(map.emplace(std::move(key), entries.string()).second, "repeated map key", entries.at_);
    }
    at_ += length;
    return map;
  }
  std::map<std::uint16_t, std::uint64_t> id_map() {
    const std::uint32_t length = u32();
    require(length % 10 == 0 && length <= end_ - at_, "bad Map<uint16, uint64> length", at_);
    std::map<std::uint16_t, std::uint64_t> map;
    for (std::uint32_t i = 0; i < length; i += 10) {
      const std::uint16_t key = u16();
      require(map.emplace(key, u64()).second, "repeated map key", at_);
    }
    return map;
  }
  std::size_t position() const { return at_; }
  bool done() const { return at_ == end_; }
  // This writer emits exactly the fields it knows: nothing may be left over.
  void expect_end() const { require(done(), "record body longer than its fields", at_); }

 private:
  std::uint64_t take(int size) {
    require(static_cast<std::size_t>(size) <= end_ - at_, "field overruns its record", at_);
    const std::uint64_t value = le_at(bytes_, at_, size);
    at_ += static_cast<std::size_t>(size);
    return value;
  }

  const Bytes& bytes_;
  std::size_t at_;
  std::size_t end_;
};

struct Record {
  std::uint8_t opcode;
  std::size_t offset;  // of the opcode byte
  Bytes body;
};

// The record at `at`, or nothing when fewer than its bytes lie before `to`.
inline std::optional<Record> record_at(const Bytes& bytes, std::size_t at, std::size_t to) {
  if (to - at < 9) return std::nullopt;
  const std::uint64_t length = u64_at(bytes, at + 1);
  if (length > to - at - 9) return std::nullopt;
  return Record{bytes[at], at,
                Bytes(bytes.begin() + static_cast<long>(at + 9), bytes.begin() + static_cast<long>(at + 9 + length))};
}

// Splits a run of records (a file after its magic, or a chunk's contents).
inline std::vector<Record> split_records(const Bytes& bytes, std::size_t from, std::size_t to) {
  std::vector<Record> records;
  while (from < to) {
    auto record = record_at(bytes, from, to);
    require(record.has_value(), "record overruns", from);
    from += 9 + record->body.size();
    records.push_back(std::move(*record));
  }
  return records;
}

inline bool starts_with_magic(const Bytes& bytes, std::size_t at) {
  return bytes.size() >= at + 8 && std::equal(kMcapMagic, kMcapMagic + 8, bytes.begin() + static_cast<long>(at));
}

// Top-level records between the leading and trailing magic.
inline std::vector<Record> file_records(const Bytes& file) {
  require(file.size() >= 16 && starts_with_magic(file, 0) && starts_with_magic(file, file.size() - 8),
          "file does not start and end with the magic", 0);
  return split_records(file, 8, file.size() - 8);
}

inline std::vector<std::uint8_t> opcodes(const std::vector<Record>& records) {
  std::vector<std::uint8_t> out;
  for (const auto& record : records) out.push_back(record.opcode);
  return out;
}

struct ChunkHeader {
  std::uint64_t message_start_time;
  std::uint64_t message_end_time;
  std::uint64_t uncompressed_size;
  std::uint32_t uncompressed_crc;
  std::string compression;
  std::uint64_t compressed_size;
  Bytes records;  // uncompressed, their CRC checked
};

inline ChunkHeader read_chunk_header(const Record& chunk) {
  FieldReader fields(chunk.body, 0, chunk.body.size());
  ChunkHeader header{fields.u64(), fields.u64(), fields.u64(), fields.u32(), fields.string(), fields.u64(), {}};
  Bytes stored = fields.bytes(header.compressed_size);
  fields.expect_end();
  if (header.compression == "zstd") {
    require(ZSTD_getFrameContentSize(stored.data(), stored.size()) == header.uncompressed_size,
            "zstd frame size differs from the chunk's uncompressed size", chunk.offset);
    header.records.resize(header.uncompressed_size);
    const std::size_t size = ZSTD_decompress(header.records.data(), header.records.size(), stored.data(), stored.size());
    require(!ZSTD_isError(size) && size == header.uncompressed_size, "zstd chunk does not decompress", chunk.offset);
  } else {
    require(header.compression.empty(), "unknown chunk compression", chunk.offset);
    header.records = std::move(stored);
  }
  require(header.records.size() == header.uncompressed_size, "chunk size differs from its records", chunk.offset);
  require(header.uncompressed_crc == 0 || mcap::crc32(header.records) == header.uncompressed_crc, "chunk CRC mismatch",
          chunk.offset);
  return header;
}

// A Chunk body's records, decompressed when needed.
inline Bytes chunk_contents(const Record& chunk) { return read_chunk_header(chunk).records; }

struct SchemaRecord {
  std::uint16_t id;
  std::string name;
  std::string encoding;
  Bytes data;
  bool operator==(const SchemaRecord&) const = default;
};

struct ChannelRecord {
  std::uint16_t id;
  std::uint16_t schema_id;
  std::string topic;
  std::string message_encoding;
  std::map<std::string, std::string> metadata;
  bool operator==(const ChannelRecord&) const = default;
};

struct MessageRecord {
  std::uint16_t channel_id;
  std::uint32_t sequence;
  std::uint64_t log_time;
  std::uint64_t publish_time;
  Bytes data;
  bool operator==(const MessageRecord&) const = default;
};

struct ChunkInfo {
  std::uint64_t offset;  // of the Chunk record
  std::uint64_t length;  // of the Chunk record, prefix included
  std::uint64_t message_start_time;
  std::uint64_t message_end_time;
  std::string compression;
  std::uint64_t compressed_size;
  std::uint64_t uncompressed_size;
  std::size_t first_message;  // its messages in McapFile::messages
  std::size_t message_count;
  std::map<std::uint16_t, std::uint64_t> message_index_offsets;  // as found after the chunk
  std::uint64_t message_index_length = 0;
};

struct McapStatistics {
  std::uint64_t message_count;
  std::uint16_t schema_count;
  std::uint32_t channel_count;
  std::uint32_t attachment_count;
  std::uint32_t metadata_count;
  std::uint32_t chunk_count;
  std::uint64_t message_start_time;
  std::uint64_t message_end_time;
  std::map<std::uint16_t, std::uint64_t> channel_message_counts;
};

struct McapFile {
  std::string profile;
  std::string library;
  std::map<std::uint16_t, SchemaRecord> schemas;  // by id, from the data section
  std::map<std::uint16_t, ChannelRecord> channels;
  std::vector<MessageRecord> messages;  // in file order
  std::vector<ChunkInfo> chunks;        // in file order
  std::optional<McapStatistics> statistics;
  bool finished = false;  // data end, summary and footer read and checked
};

class McapFileReader {
 public:
  // `may_be_cut`: the file may end anywhere (after a crash); only what lies
  // in complete records counts, and no data end or summary is required.
  McapFileReader(const Bytes& file, bool may_be_cut) : file_(file), may_be_cut_(may_be_cut) {}

  McapFile read() {
    if (may_be_cut_ && file_.size() < 8) {
      require(std::equal(file_.begin(), file_.end(), kMcapMagic), "file does not start with the magic", 0);
      return std::move(out_);
    }
    require(starts_with_magic(file_, 0), "file does not start with the magic", 0);
    const std::size_t end = data_section_end();
    auto header = record_at(file_, 8, end);
    if (!header) {
      require(may_be_cut_, "no header", 8);
      return std::move(out_);
    }
    require(header->opcode == mcap_opcode::header, "first record is not the header", 8);
    FieldReader fields(header->body, 0, header->body.size());
    out_.profile = fields.string();
    out_.library = fields.string();
    fields.expect_end();
    if (read_data_section(8 + 9 + header->body.size(), end) && !may_be_cut_) read_summary();
    return std::move(out_);
  }

 private:
  // Where the data section's walk must stop: the file's end when cut,
  // else the footer, which a finished file has at a fixed distance from its end.
  std::size_t data_section_end() const {
    if (may_be_cut_) return file_.size();
    require(file_.size() >= 8 + 37 && starts_with_magic(file_, file_.size() - 8), "file does not end with the magic",
            file_.size());
    return file_.size() - 37;
  }

  // Reads up to and including the Data End; false when the file was cut first.
  bool read_data_section(std::size_t at, std::size_t end) {
    for (;;) {
      auto record = record_at(file_, at, end);
      if (!record) {
        require(may_be_cut_, "data section has no data end", at);
        return false;
      }
      at += 9 + record->body.size();
      switch (record->opcode) {
        case mcap_opcode::schema: add_schema(*record); break;
        case mcap_opcode::channel: add_channel(*record); break;
        case mcap_opcode::chunk:
          if (!read_chunk(*record, at, end)) return false;
          break;
        case mcap_opcode::data_end: {
          FieldReader fields(record->body, 0, record->body.size());
          const std::uint32_t crc = fields.u32();
          fields.expect_end();
          require(crc == 0 || crc == mcap::crc32(common::ByteView(file_).first(record->offset)), "data section CRC mismatch",
                  record->offset);
          data_end_ = record->offset;
          return true;
        }
        default: require(false, "record not expected in the data section", record->offset);
      }
    }
  }

  SchemaRecord parse_schema(const Record& record) const {
    FieldReader fields(record.body, 0, record.body.size());
    SchemaRecord schema{fields.u16(), fields.string(), fields.string(), {}};
    schema.data = fields.bytes(fields.u32());
    fields.expect_end();
    require(schema.id != 0, "schema id 0", record.offset);
    require(!schema.encoding.empty() || schema.data.empty(), "schema data without an encoding", record.offset);
    return schema;
  }

  ChannelRecord parse_channel(const Record& record) const {
    FieldReader fields(record.body, 0, record.body.size());
    ChannelRecord channel{fields.u16(), fields.u16(), fields.string(), fields.string(), fields.string_map()};
    fields.expect_end();
    return channel;
  }

  // A registration seen in the data section: a repeat of an id must be identical.
  void add_schema(const Record& record) {
    SchemaRecord schema = parse_schema(record);
    auto [found, added] = out_.schemas.emplace(schema.id, schema);
    require(added || found->second == schema, "schema id reused with other content", record.offset);
  }

  void add_channel(const Record& record) {
    ChannelRecord channel = parse_channel(record);
    require(channel.schema_id == 0 || out_.schemas.count(channel.schema_id), "channel before its schema",
            record.offset);
    auto [found, added] = out_.channels.emplace(channel.id, channel);
    require(added || found->second == channel, "channel id reused with other content", record.offset);
  }

  // One chunk and the message indexes after it; `at` moves past both. False
  // when the file was cut inside the indexes (the chunk itself still counts).
  bool read_chunk(const Record& record, std::size_t& at, std::size_t end) {
    ChunkHeader header = read_chunk_header(record);
    ChunkInfo chunk{record.offset, 9 + record.body.size(), header.message_start_time, header.message_end_time,
                    header.compression, header.compressed_size, header.uncompressed_size, out_.messages.size(), 0,
                    {}, 0};
    using IndexEntries = std::vector<std::pair<std::uint64_t, std::uint64_t>>;  // log time, offset
    std::map<std::uint16_t, IndexEntries> expected_indexes;
    std::optional<std::pair<std::uint64_t, std::uint64_t>> time_range;
    for (const Record& inner : split_records(header.records, 0, header.records.size())) {
      if (inner.opcode == mcap_opcode::schema) {
        add_schema(inner);
      } else if (inner.opcode == mcap_opcode::channel) {
        add_channel(inner);
      } else {
        require(inner.opcode == mcap_opcode::message, "record not allowed in a chunk", record.offset);
        FieldReader fields(inner.body, 0, inner.body.size());
        MessageRecord message{fields.u16(), fields.u32(), fields.u64(), fields.u64(), {}};
        message.data = fields.bytes(inner.body.size() - fields.position());
        require(out_.channels.count(message.channel_id) > 0, "message before its channel", record.offset);
        expected_indexes[message.channel_id].emplace_back(message.log_time, inner.offset);
        time_range = time_range ? std::pair{std::min(time_range->first, message.log_time),
                                            std::max(time_range->second, message.log_time)}
                                : std::pair{message.log_time, message.log_time};
        out_.messages.push_back(std::move(message));
        ++chunk.message_count;
      }
    }
    const auto [start_time, end_time] = time_range.value_or(std::pair<std::uint64_t, std::uint64_t>{0, 0});
    require(chunk.message_start_time == start_time && chunk.message_end_time == end_time,
            "chunk times are not its messages' range", record.offset);

    // Then one index per channel with messages here, listing them in append order.
    const std::size_t indexes_start = at;
    bool cut = false;
    for (;;) {
      auto index = record_at(file_, at, end);
      if (!index) {
        cut = true;
        break;
      }
      if (index->opcode != mcap_opcode::message_index) break;
      FieldReader fields(index->body, 0, index->body.size());
      const std::uint16_t channel_id = fields.u16();
      const std::uint32_t length = fields.u32();
      require(length % 16 == 0, "bad message index length", index->offset);
      IndexEntries entries;
      for (std::uint32_t i = 0; i < length; i += 16) {
        const std::uint64_t log_time = fields.u64();
        entries.emplace_back(log_time, fields.u64());
      }
      fields.expect_end();
      auto expected = expected_indexes.find(channel_id);
      require(expected != expected_indexes.end(), "message index for a channel without messages here", index->offset);
      require(entries == expected->second, "message index does not list its messages", index->offset);
      require(chunk.message_index_offsets.emplace(channel_id, index->offset).second, "channel indexed twice",
              index->offset);
      at += 9 + index->body.size();
    }
    chunk.message_index_length = at - indexes_start;
    out_.chunks.push_back(std::move(chunk));
    if (cut) {
      require(may_be_cut_, "file ends inside the message indexes", at);
      return false;
    }
    require(out_.chunks.back().message_index_offsets.size() == expected_indexes.size(), "message index missing",
            indexes_start);
    return true;
  }

  void read_summary() {
    const std::size_t footer_at = file_.size() - 37;
    auto footer = record_at(file_, footer_at, file_.size() - 8);
    require(footer && footer->opcode == mcap_opcode::footer && footer->body.size() == 20, "no footer", footer_at);
    FieldReader fields(footer->body, 0, 20);
    const std::uint64_t summary_start = fields.u64();
    const std::uint64_t summary_offset_start = fields.u64();
    const std::uint32_t summary_crc = fields.u32();
    const std::size_t after_data_end = data_end_ + 13;
    require(after_data_end <= footer_at, "data end overruns the footer", data_end_);
    if (summary_start == 0) {
      require(after_data_end == footer_at && summary_offset_start == 0, "records after the data end but no summary",
              after_data_end);
    } else {
      require(summary_start == after_data_end, "summary does not follow the data end", summary_start);
    }
    const std::size_t crc_from = summary_start != 0 ? summary_start : footer_at;
    require(summary_crc == 0 ||
                summary_crc == mcap::crc32(common::ByteView(file_).subspan(crc_from, footer_at + 25 - crc_from)),
            "summary CRC mismatch", footer_at);
    if (summary_start == 0) return;

    const std::size_t groups_end = summary_offset_start != 0 ? summary_offset_start : footer_at;
    require(summary_offset_start == 0 || (summary_offset_start >= summary_start && summary_offset_start <= footer_at),
            "summary offsets outside the summary", footer_at);
    struct Group {
      std::uint8_t opcode;
      std::uint64_t start;
      std::uint64_t length;
      bool operator==(const Group&) const = default;
    };
    std::vector<Group> groups;
    std::map<std::uint16_t, SchemaRecord> schemas;
    std::map<std::uint16_t, ChannelRecord> channels;
    std::map<std::uint64_t, const ChunkInfo*> chunks_by_offset;
    for (const ChunkInfo& chunk : out_.chunks) chunks_by_offset.emplace(chunk.offset, &chunk);
    for (const Record& record : split_records(file_, summary_start, groups_end)) {
      if (groups.empty() || groups.back().opcode != record.opcode) {
        for (const Group& group : groups) require(group.opcode != record.opcode, "summary records not grouped", record.offset);
        groups.push_back({record.opcode, record.offset, 0});
      }
      groups.back().length += 9 + record.body.size();
      switch (record.opcode) {
        case mcap_opcode::schema: {
          SchemaRecord schema = parse_schema(record);
          auto in_data = out_.schemas.find(schema.id);
          require(in_data != out_.schemas.end() && in_data->second == schema, "summary schema differs from the data's",
                  record.offset);
          require(schemas.emplace(schema.id, schema).second, "schema repeated twice in the summary", record.offset);
          break;
        }
        case mcap_opcode::channel: {
          ChannelRecord channel = parse_channel(record);
          auto in_data = out_.channels.find(channel.id);
          require(in_data != out_.channels.end() && in_data->second == channel,
                  "summary channel differs from the data's", record.offset);
          require(channels.emplace(channel.id, channel).second, "channel repeated twice in the summary", record.offset);
          break;
        }
        case mcap_opcode::statistics:
          require(!out_.statistics, "second statistics record", record.offset);
          out_.statistics = read_statistics(record);
          require(out_.statistics->channel_message_counts.empty() || channels.size() == out_.channels.size(),
                  "statistics before every channel", record.offset);
          break;
        case mcap_opcode::chunk_index: {
          FieldReader fields(record.body, 0, record.body.size());
          ChunkInfo index{};
          index.message_start_time = fields.u64();
          index.message_end_time = fields.u64();
          index.offset = fields.u64();
          index.length = fields.u64();
          index.message_index_offsets = fields.id_map();
          index.message_index_length = fields.u64();
          index.compression = fields.string();
          index.compressed_size = fields.u64();
          index.uncompressed_size = fields.u64();
          fields.expect_end();
          auto found = chunks_by_offset.find(index.offset);
          require(found != chunks_by_offset.end(), "chunk index points at no chunk", record.offset);
          const ChunkInfo& chunk = *found->second;
          chunks_by_offset.erase(found);  // a second index for it will find nothing
          const bool matches = index.message_start_time == chunk.message_start_time &&
                               index.message_end_time == chunk.message_end_time && index.length == chunk.length &&
                               index.message_index_offsets == chunk.message_index_offsets &&
                               index.message_index_length == chunk.message_index_length &&
                               index.compression == chunk.compression &&
                               index.compressed_size == chunk.compressed_size &&
                               index.uncompressed_size == chunk.uncompressed_size;
          require(matches, "chunk index differs from its chunk", record.offset);
          break;
        }
        default: require(false, "record not allowed in the summary", record.offset);
      }
    }
    // This writer repeats every schema and channel and writes statistics.
    require(schemas == out_.schemas && channels == out_.channels, "summary lacks a schema or channel", summary_start);
    require(chunks_by_offset.empty(), "chunk without a chunk index", summary_start);
    require(out_.statistics.has_value(), "no statistics", summary_start);

    std::vector<Group> listed;
    if (summary_offset_start != 0) {
      for (const Record& record : split_records(file_, summary_offset_start, footer_at)) {
        require(record.opcode == mcap_opcode::summary_offset, "record not allowed among the summary offsets",
                record.offset);
        FieldReader offset(record.body, 0, record.body.size());
        listed.push_back({offset.u8(), offset.u64(), offset.u64()});
        offset.expect_end();
      }
    }
    require(listed == groups, "summary offsets do not match the groups", summary_offset_start);
    out_.finished = true;
  }

  McapStatistics read_statistics(const Record& record) const {
    FieldReader fields(record.body, 0, record.body.size());
    McapStatistics statistics{fields.u64(), fields.u16(), fields.u32(), fields.u32(), fields.u32(),
                              fields.u32(), fields.u64(), fields.u64(), fields.id_map()};
    fields.expect_end();
    std::map<std::uint16_t, std::uint64_t> counts;
    std::uint64_t start_time = 0, end_time = 0;
    for (std::size_t i = 0; i < out_.messages.size(); ++i) {
      const MessageRecord& message = out_.messages[i];
      ++counts[message.channel_id];
      start_time = i == 0 ? message.log_time : std::min(start_time, message.log_time);
      end_time = i == 0 ? message.log_time : std::max(end_time, message.log_time);
    }
    const bool matches = statistics.message_count == out_.messages.size() &&
                         statistics.schema_count == out_.schemas.size() &&
                         statistics.channel_count == out_.channels.size() && statistics.attachment_count == 0 &&
                         statistics.metadata_count == 0 && statistics.chunk_count == out_.chunks.size() &&
                         statistics.message_start_time == start_time && statistics.message_end_time == end_time &&
                         (statistics.channel_message_counts.empty() || statistics.channel_message_counts == counts);
    require(matches, "statistics differ from the file's contents", record.offset);
    return statistics;
  }

  const Bytes& file_;
  bool may_be_cut_;
  McapFile out_;
  std::size_t data_end_ = 0;
};

// A finished file, every part of it checked.
inline McapFile read_mcap(const Bytes& file) { return McapFileReader(file, false).read(); }

// What a file cut anywhere still holds: the complete chunks before the cut.
inline McapFile read_mcap_recovering(const Bytes& file) { return McapFileReader(file, true).read(); }

struct ReadMessage {
  std::string topic;
  std::uint32_t sequence;
  std::uint64_t log_time;
  std::uint64_t publish_time;
  Bytes data;
};

// Every message of a read file in file order, its channel resolved to a topic.
inline std::vector<ReadMessage> read_messages(McapFile read) {
  std::vector<ReadMessage> messages;
  for (MessageRecord& message : read.messages) {
    messages.push_back({read.channels.at(message.channel_id).topic, message.sequence, message.log_time,
                        message.publish_time, std::move(message.data)});
  }
  return messages;
}

// Every message of a finished file, every part of the file checked.
inline std::vector<ReadMessage> read_messages(const Bytes& file) { return read_messages(read_mcap(file)); }

}  // namespace kiv::testing
