#include "json/writer.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <variant>

namespace kiv::json {
namespace {

constexpr std::array<bool, 256> kNeedsEscape = [] {
  std::array<bool, 256> table{};
  for (int c = 0; c < 0x20; ++c) table[c] = true;
  table['"'] = true;
  table['\\'] = true;
  return table;
}();

void append_escape(std::string& out, char c) {
  switch (c) {
    case '"': out.append("\\\""); return;
    case '\\': out.append("\\\\"); return;
    case '\b': out.append("\\b"); return;
    case '\t': out.append("\\t"); return;
    case '\n': out.append("\\n"); return;
    case '\f': out.append("\\f"); return;
    case '\r': out.append("\\r"); return;
    default: {
      constexpr char kHex[] = "0123456789abcdef";
      const auto byte = static_cast<unsigned char>(c);
      const char escape[] = {'\\', 'u', '0', '0', kHex[byte >> 4], kHex[byte & 0xF]};
      out.append(escape, sizeof escape);
    }
  }
}

template <typename Integer>
void append_integer(std::string& out, Integer value) {
  char buffer[24];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, result.ptr);
}

struct AppendValue {
  std::string& out;
  void operator()(std::nullptr_t) const { out.append("null"); }
  void operator()(bool value) const { out.append(value ? "true" : "false"); }
  void operator()(std::uint64_t value) const { append_integer(out, value); }
  void operator()(std::int64_t value) const { append_integer(out, value); }
  void operator()(double value) const { append_float(out, value); }
  void operator()(const std::string& text) const { append_string(out, text); }
  void operator()(const Array& items) const {
    out.push_back('[');
    for (std::size_t i = 0; i < items.size(); ++i) {
      if (i) out.push_back(',');
      append_value(out, items[i]);
    }
    out.push_back(']');
  }
  void operator()(const Object& members) const {
    out.push_back('{');
    bool first = true;
    for (const auto& [key, member] : members) {
      if (!first) out.push_back(',');
      first = false;
      append_string(out, key);
      out.push_back(':');
      append_value(out, member);
    }
    out.push_back('}');
  }
};

}  // namespace

void append_string(std::string& out, std::string_view text) {
  out.push_back('"');
  std::size_t run = 0;  // start of the bytes not yet copied
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (!kNeedsEscape[static_cast<unsigned char>(text[i])]) continue;
    out.append(text.data() + run, i - run);
    append_escape(out, text[i]);
    run = i + 1;
  }
  out.append(text.data() + run, text.size() - run);
  out.push_back('"');
}

void append_float(std::string& out, double value) {
  if (!std::isfinite(value)) {
    out.append("null");
    return;
  }
  // Shortest round-trip digits in scientific form: "-d.ddde-XX".
  char buffer[32];
  const char* const end = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific).ptr;
  const char* p = buffer;
  if (*p == '-') out.push_back(*p++);
  char digits[20];
  std::size_t count = 0;
  for (; *p != 'e'; ++p) {
    if (*p != '.') digits[count++] = *p;
  }
  int exponent = 0;
  std::from_chars(p[1] == '+' ? p + 2 : p + 1, end, exponent);

  if (exponent >= 0 && exponent <= 15) {
    const auto whole = static_cast<std::size_t>(exponent) + 1;
    for (std::size_t i = 0; i < whole; ++i) out.push_back(i < count ? digits[i] : '0');
    out.push_back('.');
    if (count > whole) {
      out.append(digits + whole, count - whole);
    } else {
      out.push_back('0');
    }
  } else if (exponent < 0 && exponent >= -5) {
    out.append("0.");
    out.append(static_cast<std::size_t>(-exponent - 1), '0');
    out.append(digits, count);
  } else {
    out.push_back(digits[0]);
    if (count > 1) {
      out.push_back('.');
      out.append(digits + 1, count - 1);
    }
    out.push_back('e');
    out.push_back(exponent < 0 ? '-' : '+');
    append_integer(out, exponent < 0 ? -exponent : exponent);
  }
}

void append_value(std::string& out, const Value& value) { std::visit(AppendValue{out}, value.data); }

std::string to_text(const Value& value) {
  std::string out;
  append_value(out, value);
  return out;
}

}  // namespace kiv::json
