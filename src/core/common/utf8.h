// Well-formed UTF-8: what the JSON reader accepts inside strings and what
// the MCAP writer puts into a file's strings (readers reject anything else).
#pragma once

#include <cstddef>
#include <string_view>

namespace kiv::common {

inline bool is_utf8_continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// Length of the well-formed UTF-8 sequence at `p` (lead byte >= 0x80), or 0:
// no overlong forms, no surrogates, nothing above U+10FFFF.
inline std::size_t utf8_sequence_length(const char* p, const char* end) {
  const auto lead = static_cast<unsigned char>(p[0]);
  const std::size_t available = static_cast<std::size_t>(end - p);
  auto byte = [&](std::size_t i) { return i < available ? static_cast<unsigned char>(p[i]) : 0; };
  if (lead >= 0xC2 && lead <= 0xDF) return is_utf8_continuation(byte(1)) ? 2 : 0;
  if (lead >= 0xE0 && lead <= 0xEF) {
    const unsigned char second = byte(1);
    const bool second_ok = lead == 0xE0   ? second >= 0xA0 && second <= 0xBF
                           : lead == 0xED ? second >= 0x80 && second <= 0x9F
                                          : is_utf8_continuation(second);
    return second_ok && is_utf8_continuation(byte(2)) ? 3 : 0;
  }
  if (lead >= 0xF0 && lead <= 0xF4) {
    const unsigned char second = byte(1);
    const bool second_ok = lead == 0xF0   ? second >= 0x90 && second <= 0xBF
                           : lead == 0xF4 ? second >= 0x80 && second <= 0x8F
                                          : is_utf8_continuation(second);
    return second_ok && is_utf8_continuation(byte(2)) && is_utf8_continuation(byte(3)) ? 4 : 0;
  }
  return 0;
}

inline bool is_utf8(std::string_view text) {
  const char* p = text.data();
  const char* end = p + text.size();
  while (p < end) {
    if (static_cast<unsigned char>(*p) < 0x80) {
      ++p;
      continue;
    }
    const std::size_t length = utf8_sequence_length(p, end);
    if (length == 0) return false;
    p += length;
  }
  return true;
}

}  // namespace kiv::common
