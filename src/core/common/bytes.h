// Owned byte string: pickled values, encoded frames, file data.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace kiv::common {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

// Makes `buffer` a copy of `data`, in the storage it already has where that
// fits: hot paths that replace entries of similar size then stop allocating.
// Storage far larger than needed is given back, so one large entry does not
// keep its memory for good.
inline void assign_reusing(Bytes& buffer, ByteView data) {
  constexpr std::size_t kSlack = 4096;
  if (buffer.capacity() > 2 * data.size() + kSlack) {
    Bytes(data.begin(), data.end()).swap(buffer);
  } else {
    buffer.assign(data.begin(), data.end());
  }
}

}  // namespace kiv::common
