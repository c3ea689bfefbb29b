// Minimal "{}" formatting (the toolchain's <format> is not available).
//
// Every "{}" in the pattern takes the next argument in turn; arguments are
// text, integers, booleans ("true"/"false") or floats (shortest round-trip
// digits). Used for log and error texts, so it stays small rather than fast.
#pragma once

#include <concepts>
#include <cstdint>
#include <string>
#include <string_view>

namespace kiv::common {

void append_text(std::string& out, std::string_view value);
void append_text(std::string& out, bool value);
void append_text(std::string& out, double value);
void append_text(std::string& out, std::int64_t value);
void append_text(std::string& out, std::uint64_t value);

template <std::integral T>
  requires(!std::same_as<T, bool> && !std::same_as<T, char>)
void append_text(std::string& out, T value) {
  if constexpr (std::signed_integral<T>) {
    append_text(out, static_cast<std::int64_t>(value));
  } else {
    append_text(out, static_cast<std::uint64_t>(value));
  }
}
inline void append_text(std::string& out, const char* value) {
  append_text(out, std::string_view(value));
}
inline void append_text(std::string& out, const std::string& value) {
  append_text(out, std::string_view(value));
}

namespace detail {
// Appends pattern text up to the next "{}" and returns the rest after it,
// or appends everything and returns an empty view when none is left.
std::string_view append_until_placeholder(std::string& out, std::string_view pattern);
}  // namespace detail

template <typename... Args>
std::string format(std::string_view pattern, const Args&... args) {
  std::string out;
  out.reserve(pattern.size() + 16 * sizeof...(Args));
  ((pattern = detail::append_until_placeholder(out, pattern), append_text(out, args)), ...);
  out.append(pattern);
  return out;
}

}  // namespace kiv::common
