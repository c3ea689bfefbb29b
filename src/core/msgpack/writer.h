// MessagePack writer: appends each item in the smallest form of its family
// to a buffer the caller owns. Floats are always float 64.
//
// Growing the buffer may throw std::bad_alloc; a string, byte string or
// container longer than the format's 32-bit lengths throws std::length_error.
// Nothing else can fail.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/bytes.h"

namespace kiv::msgpack {

class Writer {
 public:
  explicit Writer(common::Bytes& out) : out_(out) {}

  void nil();
  void boolean(bool value);
  void unsigned_integer(std::uint64_t value);
  void signed_integer(std::int64_t value);  // non-negative values take the unsigned forms
  void float64(double value);
  void string(std::string_view text);
  void binary(common::ByteView bytes);
  void array_header(std::size_t size);
  void map_header(std::size_t size);

 private:
  void byte(std::uint8_t value) { out_.push_back(value); }
  template <typename T>
  void big_endian(T value);
  // Tag then length, in the smallest of the 8/16/32-bit length forms;
  // tag8 == 0 means the family has no 8-bit form.
  void length(std::size_t size, std::uint8_t tag8, std::uint8_t tag16, std::uint8_t tag32);

  common::Bytes& out_;
};

}  // namespace kiv::msgpack
