// Owned byte string: pickled values, encoded frames, file data.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace kiv::common {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

}  // namespace kiv::common
