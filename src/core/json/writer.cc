#include "json/writer.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
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

// Whether any of the eight bytes at `p` is a quote, a backslash or below
// 0x20 (the classic has-zero-byte / has-less-than word tests).
bool word_needs_escape(const char* p) {
  std::uint64_t word;
  std::memcpy(&word, p, sizeof word);
  constexpr std::uint64_t kOnes = 0x0101010101010101;
  constexpr std::uint64_t kHighs = 0x8080808080808080;
  auto has_zero_byte = [](std::uint64_t v) { return (v - kOnes) & ~v & kHighs; };
  const std::uint64_t below_space = (word - kOnes * 0x20) & ~word & kHighs;
  return (below_space | has_zero_byte(word ^ (kOnes * '"')) | has_zero_byte(word ^ (kOnes * '\\'))) != 0;
}

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
  const char* p = text.data();
  const char* const end = p + text.size();
  const char* run = p;  // start of the bytes not yet copied
  while (true) {
    while (end - p >= 8 && !word_needs_escape(p)) p += 8;
    if (p == end) break;
    if (kNeedsEscape[static_cast<unsigned char>(*p)]) {
      out.append(run, p);
      append_escape(out, *p);
      run = p + 1;
    }
    ++p;
  }
  out.append(run, p);
  out.push_back('"');
}

void append_float(std::string& out, double value) {
  char text[kFloatTextCapacity];
  out.append(text, write_float(text, value));
}

char* write_float(char* out, double value) {
  if (!std::isfinite(value)) return std::copy_n("null", 4, out);
  // Shortest round-trip digits in scientific form: "-d.ddde-XX".
  char scientific[32];
  const char* const end =
      std::to_chars(scientific, scientific + sizeof scientific, value, std::chars_format::scientific).ptr;
  const char* p = scientific;
  const bool negative = *p == '-';
  if (negative) ++p;
  const char* e = p;
  while (*e != 'e') ++e;
  char digits[17];
  std::size_t count = 1;
  digits[0] = p[0];
  if (p[1] == '.') {
    const auto fraction = static_cast<std::size_t>(e - (p + 2));
    std::memcpy(digits + 1, p + 2, fraction);
    count += fraction;
  }
  int exponent = 0;
  for (const char* q = e + 2; q != end; ++q) exponent = exponent * 10 + (*q - '0');
  if (e[1] == '-') exponent = -exponent;
  return write_float_digits(out, negative, std::string_view(digits, count), exponent);
}

char* write_float_digits(char* t, bool negative, std::string_view digits, int exponent) {
  // At most a sign, "0.0000" and 17 digits, or 17 digits, a point and "e-324".
  char* const text_end = t + kFloatTextCapacity;
  const std::size_t count = digits.size();
  if (negative) *t++ = '-';
  if (exponent >= 0 && exponent <= 15) {
    const auto whole = static_cast<std::size_t>(exponent) + 1;
    if (count > whole) {
      std::memcpy(t, digits.data(), whole);
      t += whole;
      *t++ = '.';
      std::memcpy(t, digits.data() + whole, count - whole);
      t += count - whole;
    } else {
      std::memcpy(t, digits.data(), count);
      std::memset(t + count, '0', whole - count);
      t += whole;
      *t++ = '.';
      *t++ = '0';
    }
  } else if (exponent < 0 && exponent >= -5) {
    const auto zeros = static_cast<std::size_t>(-exponent - 1);
    *t++ = '0';
    *t++ = '.';
    std::memset(t, '0', zeros);
    t += zeros;
    std::memcpy(t, digits.data(), count);
    t += count;
  } else {
    *t++ = digits[0];
    if (count > 1) {
      *t++ = '.';
      std::memcpy(t, digits.data() + 1, count - 1);
      t += count - 1;
    }
    *t++ = 'e';
    *t++ = exponent < 0 ? '-' : '+';
    t = std::to_chars(t, text_end, exponent < 0 ? -exponent : exponent).ptr;
  }
  return t;
}

void append_value(std::string& out, const Value& value) { std::visit(AppendValue{out}, value.data); }

std::string to_text(const Value& value) {
  std::string out;
  append_value(out, value);
  return out;
}

}  // namespace kiv::json
