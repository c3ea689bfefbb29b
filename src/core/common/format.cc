#include "common/format.h"

#include <charconv>

namespace kiv::common {

void append_text(std::string& out, std::string_view value) { out.append(value); }

void append_text(std::string& out, bool value) { out.append(value ? "true" : "false"); }

void append_text(std::string& out, double value) {
  char buffer[32];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, result.ptr);
}

void append_text(std::string& out, std::int64_t value) {
  char buffer[24];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, result.ptr);
}

void append_text(std::string& out, std::uint64_t value) {
  char buffer[24];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, result.ptr);
}

namespace detail {
std::string_view append_until_placeholder(std::string& out, std::string_view pattern) {
  auto at = pattern.find("{}");
  if (at == std::string_view::npos) {
    out.append(pattern);
    return {};
  }
  out.append(pattern.substr(0, at));
  return pattern.substr(at + 2);
}
}  // namespace detail

}  // namespace kiv::common
