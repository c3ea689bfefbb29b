// Byte-level building blocks of MCAP records: opcodes, little-endian fields,
// length-prefixed strings, and records whose body length is patched in once
// the body is complete. Fields are written one by one, never as structs.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/bytes.h"

namespace kiv::mcap::detail {

enum class Opcode : std::uint8_t {
  header = 0x01,
  footer = 0x02,
  schema = 0x03,
  channel = 0x04,
  message = 0x05,
  chunk = 0x06,
  message_index = 0x07,
  chunk_index = 0x08,
  statistics = 0x0B,
  summary_offset = 0x0E,
  data_end = 0x0F,
};

inline constexpr std::uint8_t kMagic[8] = {0x89, 'M', 'C', 'A', 'P', '0', '\r', '\n'};
inline constexpr std::size_t kRecordPrefixSize = 9;  // opcode and body length

template <std::unsigned_integral T>
void store_le(std::uint8_t* at, T value) {
  for (std::size_t i = 0; i < sizeof(T); ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

template <std::unsigned_integral T>
void append_le(common::Bytes& out, T value) {
  const std::size_t at = out.size();
  out.resize(at + sizeof(T));
  store_le(out.data() + at, value);
}

inline void append_bytes(common::Bytes& out, common::ByteView bytes) { out.insert(out.end(), bytes.begin(), bytes.end()); }

inline void append_text(common::Bytes& out, std::string_view text) {
  const auto* begin = reinterpret_cast<const std::uint8_t*>(text.data());
  out.insert(out.end(), begin, begin + text.size());
}

// String: u32 byte count, then the bytes.
inline void append_string(common::Bytes& out, std::string_view text) {
  append_le(out, static_cast<std::uint32_t>(text.size()));
  append_text(out, text);
}

// Starts a record at the end of `out`; returns where it starts.
inline std::size_t begin_record(common::Bytes& out, Opcode opcode) {
  const std::size_t start = out.size();
  out.push_back(static_cast<std::uint8_t>(opcode));
  append_le(out, std::uint64_t{0});
  return start;
}

// Fills in the body length of the record that starts at `start`.
inline void end_record(common::Bytes& out, std::size_t start) {
  store_le(out.data() + start + 1, static_cast<std::uint64_t>(out.size() - start - kRecordPrefixSize));
}

// Starts a length-prefixed group (Array or Map): u32 byte count, patched by end_group.
inline std::size_t begin_group(common::Bytes& out) {
  const std::size_t start = out.size();
  append_le(out, std::uint32_t{0});
  return start;
}

inline void end_group(common::Bytes& out, std::size_t start) {
  store_le(out.data() + start, static_cast<std::uint32_t>(out.size() - start - sizeof(std::uint32_t)));
}

}  // namespace kiv::mcap::detail
