// Copying short texts into an output buffer without a library call per
// text: most keys and scalars are a few bytes, where a call to memcpy costs
// more than the copy.
#pragma once

#include <cstring>
#include <string_view>

namespace kiv::json::detail {

// Copies `text` to `out` and advances it. Up to sixteen bytes, two fixed-size
// copies that may overlap cover the text exactly (nothing outside it is read).
inline void copy_text(char*& out, std::string_view text) {
  const char* from = text.data();
  const std::size_t size = text.size();
  if (size >= 8 && size <= 16) {
    std::memcpy(out, from, 8);
    std::memcpy(out + size - 8, from + size - 8, 8);
  } else if (size >= 4 && size < 8) {
    std::memcpy(out, from, 4);
    std::memcpy(out + size - 4, from + size - 4, 4);
  } else if (size < 4) {
    for (std::size_t i = 0; i < size; ++i) out[i] = from[i];
  } else {
    std::memcpy(out, from, size);
  }
  out += size;
}

}  // namespace kiv::json::detail
