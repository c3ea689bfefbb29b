#include "msgpack/writer.h"

#include <bit>
#include <limits>
#include <stdexcept>

namespace kiv::msgpack {

template <typename T>
void Writer::big_endian(T value) {
  for (int shift = 8 * (static_cast<int>(sizeof(T)) - 1); shift >= 0; shift -= 8) {
    byte(static_cast<std::uint8_t>(value >> shift));
  }
}

void Writer::length(std::size_t size, std::uint8_t tag8, std::uint8_t tag16, std::uint8_t tag32) {
  if (tag8 != 0 && size <= std::numeric_limits<std::uint8_t>::max()) {
    byte(tag8);
    byte(static_cast<std::uint8_t>(size));
  } else if (size <= std::numeric_limits<std::uint16_t>::max()) {
    byte(tag16);
    big_endian(static_cast<std::uint16_t>(size));
  } else if (size <= std::numeric_limits<std::uint32_t>::max()) {
    byte(tag32);
    big_endian(static_cast<std::uint32_t>(size));
  } else {
    throw std::length_error("too long for a MessagePack length");
  }
}

void Writer::nil() { byte(0xc0); }

void Writer::boolean(bool value) { byte(value ? 0xc3 : 0xc2); }

void Writer::unsigned_integer(std::uint64_t value) {
  if (value < 0x80) {
    byte(static_cast<std::uint8_t>(value));
  } else if (value <= std::numeric_limits<std::uint8_t>::max()) {
    byte(0xcc);
    byte(static_cast<std::uint8_t>(value));
  } else if (value <= std::numeric_limits<std::uint16_t>::max()) {
    byte(0xcd);
    big_endian(static_cast<std::uint16_t>(value));
  } else if (value <= std::numeric_limits<std::uint32_t>::max()) {
    byte(0xce);
    big_endian(static_cast<std::uint32_t>(value));
  } else {
    byte(0xcf);
    big_endian(value);
  }
}

void Writer::signed_integer(std::int64_t value) {
  if (value >= 0) {
    unsigned_integer(static_cast<std::uint64_t>(value));
  } else if (value >= -32) {
    byte(static_cast<std::uint8_t>(value));  // negative fixint: 111xxxxx
  } else if (value >= std::numeric_limits<std::int8_t>::min()) {
    byte(0xd0);
    byte(static_cast<std::uint8_t>(value));
  } else if (value >= std::numeric_limits<std::int16_t>::min()) {
    byte(0xd1);
    big_endian(static_cast<std::uint16_t>(value));
  } else if (value >= std::numeric_limits<std::int32_t>::min()) {
    byte(0xd2);
    big_endian(static_cast<std::uint32_t>(value));
  } else {
    byte(0xd3);
    big_endian(static_cast<std::uint64_t>(value));
  }
}

void Writer::float64(double value) {
  byte(0xcb);
  big_endian(std::bit_cast<std::uint64_t>(value));
}

void Writer::string(std::string_view text) {
  if (text.size() < 32) {
    byte(static_cast<std::uint8_t>(0xa0 | text.size()));
  } else {
    length(text.size(), 0xd9, 0xda, 0xdb);
  }
  const auto* data = reinterpret_cast<const std::uint8_t*>(text.data());
  out_.insert(out_.end(), data, data + text.size());
}

void Writer::binary(common::ByteView bytes) {
  length(bytes.size(), 0xc4, 0xc5, 0xc6);
  out_.insert(out_.end(), bytes.begin(), bytes.end());
}

void Writer::array_header(std::size_t size) {
  if (size < 16) {
    byte(static_cast<std::uint8_t>(0x90 | size));
  } else {
    length(size, 0, 0xdc, 0xdd);
  }
}

void Writer::map_header(std::size_t size) {
  if (size < 16) {
    byte(static_cast<std::uint8_t>(0x80 | size));
  } else {
    length(size, 0, 0xde, 0xdf);
  }
}

}  // namespace kiv::msgpack
