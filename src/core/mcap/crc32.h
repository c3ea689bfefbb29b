// CRC-32 as zlib, gzip and PNG compute it (reflected polynomial 0xEDB88320),
// which is what MCAP stores for chunks, the data section and the summary.
#pragma once

#include <cstdint>

#include "common/bytes.h"

namespace kiv::mcap {

class Crc32 {
 public:
  void update(common::ByteView bytes);
  std::uint32_t value() const { return ~state_; }
  void reset() { state_ = kInitial; }

 private:
  static constexpr std::uint32_t kInitial = 0xFFFFFFFFu;
  std::uint32_t state_ = kInitial;
};

inline std::uint32_t crc32(common::ByteView bytes) {
  Crc32 crc;
  crc.update(bytes);
  return crc.value();
}

}  // namespace kiv::mcap
