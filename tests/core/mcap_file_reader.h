// Test helper: an independent reader of MCAP files, record by record,
// with zstd chunks decompressed and CRCs checked on the way.
#pragma once

#include <gtest/gtest.h>
#include <zstd.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "mcap/crc32.h"

namespace kiv::testing {

using common::Bytes;

// Little-endian fields; `bytes.at` keeps a bad offset from reading past the end.
inline std::uint64_t le_at(const Bytes& bytes, std::size_t at, int size) {
  std::uint64_t value = 0;
  for (int i = size - 1; i >= 0; --i) value = value << 8 | bytes.at(at + static_cast<std::size_t>(i));
  return value;
}
inline std::uint64_t u64_at(const Bytes& bytes, std::size_t at) { return le_at(bytes, at, 8); }
inline std::uint32_t u32_at(const Bytes& bytes, std::size_t at) { return static_cast<std::uint32_t>(le_at(bytes, at, 4)); }
inline std::uint16_t u16_at(const Bytes& bytes, std::size_t at) { return static_cast<std::uint16_t>(le_at(bytes, at, 2)); }

struct Record {
  std::uint8_t opcode;
  std::size_t offset;  // of the opcode byte
  Bytes body;
};

// Splits a run of records (a file after its magic, or a chunk's contents).
inline std::vector<Record> split_records(const Bytes& bytes, std::size_t from, std::size_t to) {
  std::vector<Record> records;
  while (from < to) {
    const std::uint64_t length = u64_at(bytes, from + 1);
    EXPECT_LE(from + 9 + length, to) << "record at " << from << " overruns";
    if (from + 9 + length > to) break;
    records.push_back({bytes[from], from, Bytes(bytes.begin() + static_cast<long>(from) + 9,
                                                bytes.begin() + static_cast<long>(from + 9 + length))});
    from += 9 + length;
  }
  return records;
}

// Top-level records between the leading and trailing magic.
inline std::vector<Record> file_records(const Bytes& file) {
  EXPECT_GE(file.size(), 16u);
  EXPECT_TRUE(std::equal(file.end() - 8, file.end(), file.begin()));
  return split_records(file, 8, file.size() - 8);
}

inline std::vector<std::uint8_t> opcodes(const std::vector<Record>& records) {
  std::vector<std::uint8_t> out;
  for (const auto& record : records) out.push_back(record.opcode);
  return out;
}

// A Chunk body's records, decompressed when needed.
inline Bytes chunk_contents(const Record& chunk) {
  const Bytes& body = chunk.body;
  const std::uint64_t uncompressed_size = u64_at(body, 16);
  const std::uint32_t name_length = u32_at(body, 28);
  const std::string compression(body.begin() + 32, body.begin() + 32 + name_length);
  const std::size_t records_at = 32 + name_length + 8;
  Bytes records(body.begin() + static_cast<long>(records_at), body.end());
  EXPECT_EQ(u64_at(body, 32 + name_length), records.size());
  if (compression == "zstd") {
    Bytes out(uncompressed_size);
    const std::size_t size = ZSTD_decompress(out.data(), out.size(), records.data(), records.size());
    EXPECT_FALSE(ZSTD_isError(size));
    out.resize(ZSTD_isError(size) ? 0 : size);
    records = std::move(out);
  } else {
    EXPECT_EQ(compression, "");
  }
  EXPECT_EQ(records.size(), uncompressed_size);
  EXPECT_EQ(mcap::crc32(records), u32_at(body, 24));
  return records;
}


struct ReadMessage {
  std::string topic;
  std::uint32_t sequence;
  std::uint64_t log_time;
  std::uint64_t publish_time;
  Bytes data;
};

// The complete top-level records of a file that may have been cut short.
inline std::vector<Record> complete_records(const Bytes& file) {
  std::vector<Record> records;
  std::size_t at = 8;
  while (at + 9 <= file.size()) {
    const std::uint64_t length = u64_at(file, at + 1);
    if (length > file.size() - at - 9) break;
    records.push_back({file[at], at, Bytes(file.begin() + static_cast<long>(at) + 9,
                                           file.begin() + static_cast<long>(at + 9 + length))});
    at += 9 + length;
  }
  return records;
}

// Every message of these top-level records in file order, its channel resolved to a topic.
inline std::vector<ReadMessage> read_messages(const std::vector<Record>& top_level) {
  std::map<std::uint16_t, std::string> topics;
  std::vector<ReadMessage> messages;
  for (const Record& top : top_level) {
    if (top.opcode != 0x06) continue;
    const Bytes contents = chunk_contents(top);
    for (const Record& record : split_records(contents, 0, contents.size())) {
      if (record.opcode == 0x04) {
        const std::uint32_t topic_length = u32_at(record.body, 4);
        topics[u16_at(record.body, 0)] = std::string(record.body.begin() + 8, record.body.begin() + 8 + topic_length);
      } else if (record.opcode == 0x05) {
        messages.push_back({topics.at(u16_at(record.body, 0)), u32_at(record.body, 2), u64_at(record.body, 6),
                            u64_at(record.body, 14), Bytes(record.body.begin() + 22, record.body.end())});
      }
    }
  }
  return messages;
}

inline std::vector<ReadMessage> read_messages(const Bytes& file) { return read_messages(file_records(file)); }

}  // namespace kiv::testing
