#include "json/reader.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <limits>
#include <stdexcept>
#include <system_error>

#include "common/float_text.h"
#include "common/format.h"

namespace kiv::json {
namespace {

constexpr std::string_view kControlInString = "control character (\\u0000-\\u001F) found while parsing a string";

// What a byte inside a string asks of the scanner.
enum StringByte : std::uint8_t { kPlain, kQuote, kBackslash, kControl, kNonAscii };

constexpr std::array<std::uint8_t, 256> kStringBytes = [] {
  std::array<std::uint8_t, 256> table{};
  for (int c = 0; c < 0x20; ++c) table[c] = kControl;
  for (int c = 0x80; c < 0x100; ++c) table[c] = kNonAscii;
  table['"'] = kQuote;
  table['\\'] = kBackslash;
  return table;
}();

bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool is_continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// Length of the well-formed UTF-8 sequence at `p` (lead byte >= 0x80), or 0:
// no overlong forms, no surrogates, nothing above U+10FFFF.
std::size_t utf8_sequence_length(const char* p, const char* end) {
  const auto lead = static_cast<unsigned char>(p[0]);
  const std::size_t available = static_cast<std::size_t>(end - p);
  auto byte = [&](std::size_t i) { return i < available ? static_cast<unsigned char>(p[i]) : 0; };
  if (lead >= 0xC2 && lead <= 0xDF) return is_continuation(byte(1)) ? 2 : 0;
  if (lead >= 0xE0 && lead <= 0xEF) {
    const unsigned char second = byte(1);
    const bool second_ok = lead == 0xE0   ? second >= 0xA0 && second <= 0xBF
                           : lead == 0xED ? second >= 0x80 && second <= 0x9F
                                          : is_continuation(second);
    return second_ok && is_continuation(byte(2)) ? 3 : 0;
  }
  if (lead >= 0xF0 && lead <= 0xF4) {
    const unsigned char second = byte(1);
    const bool second_ok = lead == 0xF0   ? second >= 0x90 && second <= 0xBF
                           : lead == 0xF4 ? second >= 0x80 && second <= 0x8F
                                          : is_continuation(second);
    return second_ok && is_continuation(byte(2)) && is_continuation(byte(3)) ? 4 : 0;
  }
  return 0;
}

void append_utf8(std::string& out, std::uint32_t code_point) {
  if (code_point < 0x80) {
    out.push_back(static_cast<char>(code_point));
  } else if (code_point < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (code_point >> 6)));
    out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  } else if (code_point < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (code_point >> 12)));
    out.push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (code_point >> 18)));
    out.push_back(static_cast<char>(0x80 | ((code_point >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  }
}

// Whether a well-formed number literal too large or too small for a double
// is too large: the decimal exponent of its first significant digit is
// positive. (Too small reads as zero.)
bool literal_overflows(const char* p, const char* end) {
  if (*p == '-') ++p;
  std::int64_t magnitude = 0;
  bool significant = false;
  while (p != end && is_digit(*p)) {
    if (!significant && *p != '0') {
      significant = true;
      magnitude = -1;
    }
    if (significant) ++magnitude;
    ++p;
  }
  if (p != end && *p == '.') {
    ++p;
    std::int64_t zeros = 0;
    while (p != end && is_digit(*p)) {
      if (!significant) {
        if (*p != '0') {
          significant = true;
          magnitude = -(zeros + 1);
        } else {
          ++zeros;
        }
      }
      ++p;
    }
  }
  if (!significant) return false;  // zero is never out of range
  std::int64_t exponent = 0;
  bool negative_exponent = false;
  if (p != end && (*p == 'e' || *p == 'E')) {
    ++p;
    if (p != end && (*p == '+' || *p == '-')) negative_exponent = *p++ == '-';
    constexpr std::int64_t kSaturated = std::int64_t{1} << 40;
    while (p != end && is_digit(*p)) {
      exponent = std::min(exponent * 10 + (*p - '0'), kSaturated);
      ++p;
    }
  }
  return magnitude + (negative_exponent ? -exponent : exponent) > 0;
}

void append_escaped_for_message(std::string& out, std::string_view text) {
  for (char c : text) {
    switch (c) {
      case '"': out.append("\\\""); break;
      case '\\': out.append("\\\\"); break;
      case '\n': out.append("\\n"); break;
      case '\r': out.append("\\r"); break;
      case '\t': out.append("\\t"); break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          constexpr char kHex[] = "0123456789abcdef";
          out.append("\\u{");
          if (c >= 0x10) out.push_back('1');
          out.push_back(kHex[c & 0xF]);
          out.push_back('}');
        } else {
          out.push_back(c);
        }
    }
  }
}

}  // namespace

// ---- Descriptions ------------------------------------------------------------

Value Number::to_value() const {
  switch (form) {
    case Form::Unsigned: return Value(unsigned_value);
    case Form::Negative: return Value(negative_value);
    case Form::Float: return Value(float_value);
  }
  return Value();
}

std::string describe(const Number& number) {
  switch (number.form) {
    case Number::Form::Unsigned: return common::format("integer `{}`", number.unsigned_value);
    case Number::Form::Negative: return common::format("integer `{}`", number.negative_value);
    case Number::Form::Float: break;
  }
  std::string text = common::plain_float_text(number.float_value);
  if (text.find('.') == std::string::npos) text.append(".0");
  return common::format("floating point `{}`", text);
}

std::string describe_string(std::string_view text) {
  std::string out = "string \"";
  append_escaped_for_message(out, text);
  out.push_back('"');
  return out;
}

std::string error_text(std::string_view text, const ReadError& error) {
  const std::string_view before = text.substr(0, std::min(error.offset, text.size()));
  const std::size_t last_line_feed = before.rfind('\n');
  const std::size_t line_start = last_line_feed == std::string_view::npos ? 0 : last_line_feed + 1;
  const auto line = 1 + std::count(before.begin(), before.end(), '\n');
  return common::format("{} at line {} column {}", error.message, line, before.size() - line_start);
}

// ---- Failures ------------------------------------------------------------------

void Reader::fail(std::string message) const {
  throw ReadError{std::move(message), static_cast<std::size_t>(pos_ - begin_)};
}

void Reader::fail_at_next(std::string message) const {
  throw ReadError{std::move(message), static_cast<std::size_t>(std::min(pos_ + 1, end_) - begin_)};
}

void Reader::fail_invalid_type(std::string_view found, std::string_view expected) {
  fail(common::format("invalid type: {}, expected {}", found, expected));
}

void Reader::fail_invalid_value(std::string_view found, std::string_view expected) {
  fail(common::format("invalid value: {}, expected {}", found, expected));
}

void Reader::fail_invalid_type(std::string_view expected) {
  switch (peek()) {
    case Next::Null: read_null(); fail_invalid_type("null", expected);
    case Next::True:
    case Next::False: fail_invalid_type(read_bool() ? "boolean `true`" : "boolean `false`", expected);
    case Next::Number: fail_invalid_type(describe(read_number()), expected);
    case Next::String: fail_invalid_type(describe_string(read_string()), expected);
    case Next::Array: fail_invalid_type("sequence", expected);
    case Next::Object: fail_invalid_type("map", expected);
  }
  throw std::logic_error("unreachable value kind");
}

// ---- Scalars -------------------------------------------------------------------

void Reader::skip_whitespace() {
  while (pos_ != end_ && (*pos_ == ' ' || *pos_ == '\n' || *pos_ == '\r' || *pos_ == '\t')) ++pos_;
}

char Reader::begin_value() {
  if (colon_pending_) {
    colon_pending_ = false;
    skip_whitespace();
    if (pos_ == end_) fail_at_next("EOF while parsing an object");
    if (*pos_ != ':') fail_at_next("expected `:`");
    ++pos_;
  }
  skip_whitespace();
  if (pos_ == end_) fail_at_next("EOF while parsing a value");
  return *pos_;
}

Reader::Next Reader::peek() {
  switch (begin_value()) {
    case 'n': return Next::Null;
    case 't': return Next::True;
    case 'f': return Next::False;
    case '"': return Next::String;
    case '[': return Next::Array;
    case '{': return Next::Object;
    case '-':
    case '0': case '1': case '2': case '3': case '4':
    case '5': case '6': case '7': case '8': case '9': return Next::Number;
    default: fail_at_next("expected value");
  }
}

void Reader::expect_word(std::string_view rest) {
  ++pos_;  // the first letter, already seen
  for (char expected : rest) {
    if (pos_ == end_) fail("EOF while parsing a value");
    if (*pos_++ != expected) fail("expected ident");
  }
}

void Reader::read_null() {
  if (peek() != Next::Null) throw std::logic_error("read_null without null");
  expect_word("ull");
}

bool Reader::read_bool() {
  const Next next = peek();
  if (next == Next::True) {
    expect_word("rue");
    return true;
  }
  if (next != Next::False) throw std::logic_error("read_bool without a boolean");
  expect_word("alse");
  return false;
}

Reader::NumberLiteral Reader::scan_number() {
  if (peek() != Next::Number) throw std::logic_error("read_number without a number");
  NumberLiteral literal{pos_, *pos_ == '-', true, false, 0};
  if (literal.negative) ++pos_;
  if (pos_ == end_) fail("EOF while parsing a value");
  if (*pos_ == '0') {
    ++pos_;
    if (pos_ != end_ && is_digit(*pos_)) fail_at_next("invalid number");
  } else if (is_digit(*pos_)) {
    constexpr std::uint64_t kLimit = std::numeric_limits<std::uint64_t>::max();
    do {
      const auto digit = static_cast<std::uint64_t>(*pos_ - '0');
      if (literal.magnitude > (kLimit - digit) / 10) literal.overflow = true;
      literal.magnitude = literal.magnitude * 10 + digit;
      ++pos_;
    } while (pos_ != end_ && is_digit(*pos_));
  } else {
    ++pos_;
    fail("invalid number");
  }
  if (pos_ != end_ && *pos_ == '.') {
    literal.integer = false;
    ++pos_;
    if (pos_ == end_) fail_at_next("EOF while parsing a value");
    if (!is_digit(*pos_)) fail_at_next("invalid number");
    while (pos_ != end_ && is_digit(*pos_)) ++pos_;
  }
  if (pos_ != end_ && (*pos_ == 'e' || *pos_ == 'E')) {
    literal.integer = false;
    ++pos_;
    if (pos_ != end_ && (*pos_ == '+' || *pos_ == '-')) ++pos_;
    if (pos_ == end_) fail("EOF while parsing a value");
    if (!is_digit(*pos_)) {
      ++pos_;
      fail("invalid number");
    }
    while (pos_ != end_ && is_digit(*pos_)) ++pos_;
  }
  return literal;
}

double Reader::float_from_literal(const char* begin) const {
  double value = 0.0;
  const auto [end, error] = std::from_chars(begin, pos_, value);
  if (error == std::errc::result_out_of_range) {
    if (literal_overflows(begin, pos_)) fail("number out of range");
    return *begin == '-' ? -0.0 : 0.0;
  }
  if (error != std::errc() || end != pos_) throw std::logic_error("number literal not read whole");
  return value;
}

Number Reader::read_number() {
  const NumberLiteral literal = scan_number();
  Number number;
  if (literal.integer && !literal.overflow) {
    constexpr std::uint64_t kMostNegative = std::uint64_t{1} << 63;
    if (!literal.negative) {
      number.form = Number::Form::Unsigned;
      number.unsigned_value = literal.magnitude;
      return number;
    }
    // "-0" has no negative integer form; it is the float -0.0.
    if (literal.magnitude != 0 && literal.magnitude <= kMostNegative) {
      number.form = Number::Form::Negative;
      number.negative_value = static_cast<std::int64_t>(0 - literal.magnitude);
      return number;
    }
  }
  number.form = Number::Form::Float;
  number.float_value = float_from_literal(literal.begin);
  return number;
}

// ---- Strings -------------------------------------------------------------------

std::string_view Reader::read_string() {
  if (peek() != Next::String) throw std::logic_error("read_string without a string");
  ++pos_;
  const char* run = pos_;  // start of the bytes not yet copied
  bool escaped = false;
  while (true) {
    if (pos_ == end_) fail("EOF while parsing a string");
    switch (kStringBytes[static_cast<unsigned char>(*pos_)]) {
      case kPlain: ++pos_; break;
      case kQuote: {
        std::string_view text(run, static_cast<std::size_t>(pos_ - run));
        ++pos_;
        if (!escaped) return text;
        scratch_.append(text);
        return scratch_;
      }
      case kBackslash:
        if (!escaped) scratch_.clear();
        escaped = true;
        scratch_.append(run, pos_);
        ++pos_;
        read_escape();
        run = pos_;
        break;
      case kNonAscii: {
        const std::size_t length = utf8_sequence_length(pos_, end_);
        if (length == 0) fail_at_next("invalid unicode code point");
        pos_ += length;
        break;
      }
      default: ++pos_; fail(std::string(kControlInString));
    }
  }
}

void Reader::read_escape() {
  if (pos_ == end_) fail("EOF while parsing a string");
  switch (*pos_++) {
    case '"': scratch_.push_back('"'); return;
    case '\\': scratch_.push_back('\\'); return;
    case '/': scratch_.push_back('/'); return;
    case 'b': scratch_.push_back('\b'); return;
    case 'f': scratch_.push_back('\f'); return;
    case 'n': scratch_.push_back('\n'); return;
    case 'r': scratch_.push_back('\r'); return;
    case 't': scratch_.push_back('\t'); return;
    case 'u': break;
    default: fail("invalid escape");
  }
  std::uint32_t unit = read_hex_unit();
  if (unit >= 0xDC00 && unit <= 0xDFFF) fail("lone leading surrogate in hex escape");
  if (unit >= 0xD800 && unit <= 0xDBFF) {
    // A leading surrogate must be followed at once by a trailing one.
    for (char expected : {'\\', 'u'}) {
      if (pos_ == end_) fail("EOF while parsing a string");
      if (*pos_++ != expected) fail("unexpected end of hex escape");
    }
    const std::uint32_t low = read_hex_unit();
    if (low < 0xDC00 || low > 0xDFFF) fail("lone leading surrogate in hex escape");
    unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
  }
  append_utf8(scratch_, unit);
}

std::uint32_t Reader::read_hex_unit() {
  std::uint32_t unit = 0;
  for (int i = 0; i < 4; ++i) {
    if (pos_ == end_) fail("EOF while parsing a string");
    const int digit = hex_value(*pos_++);
    if (digit < 0) fail("invalid escape");
    unit = unit * 16 + static_cast<std::uint32_t>(digit);
  }
  return unit;
}

// ---- Containers ------------------------------------------------------------------

void Reader::enter_container() {
  if (depth_ == kMaxDepth) fail_at_next("recursion limit exceeded");
  ++depth_;
  ++pos_;
}

Reader::ArrayItems Reader::begin_array() {
  if (peek() != Next::Array) throw std::logic_error("begin_array without an array");
  enter_container();
  return ArrayItems(*this);
}

Reader::ObjectMembers Reader::begin_object() {
  if (peek() != Next::Object) throw std::logic_error("begin_object without an object");
  enter_container();
  return ObjectMembers(*this);
}

bool Reader::next_element(bool& first) {
  skip_whitespace();
  if (pos_ == end_) fail_at_next("EOF while parsing a list");
  if (*pos_ == ']') {
    ++pos_;
    --depth_;
    return false;
  }
  if (first) {
    first = false;
    return true;
  }
  if (*pos_ != ',') fail_at_next("expected `,` or `]`");
  ++pos_;
  skip_whitespace();
  if (pos_ == end_) fail_at_next("EOF while parsing a value");
  if (*pos_ == ']') fail_at_next("trailing comma");
  return true;
}

std::optional<std::string_view> Reader::next_key(bool& first) {
  skip_whitespace();
  if (pos_ == end_) fail_at_next("EOF while parsing an object");
  if (*pos_ == '}') {
    ++pos_;
    --depth_;
    return std::nullopt;
  }
  if (!first) {
    if (*pos_ != ',') fail_at_next("expected `,` or `}`");
    ++pos_;
    skip_whitespace();
    if (pos_ == end_) fail_at_next("EOF while parsing a value");
    if (*pos_ == '}') fail_at_next("trailing comma");
  }
  first = false;
  if (*pos_ != '"') fail_at_next("key must be a string");
  std::string_view key = read_string();
  colon_pending_ = true;
  return key;
}

// ---- Whole values ----------------------------------------------------------------

Value Reader::read_value() {
  switch (peek()) {
    case Next::Null: read_null(); return Value();
    case Next::True:
    case Next::False: return Value(read_bool());
    case Next::Number: return read_number().to_value();
    case Next::String: return Value(std::string(read_string()));
    case Next::Array: {
      Array array;
      for (auto items = begin_array(); items.next();) array.push_back(read_value());
      return Value(std::move(array));
    }
    case Next::Object: {
      std::vector<Object::Member> members;
      auto object = begin_object();
      while (auto key = object.next()) {
        std::string name(*key);  // the key's view ends with the next read
        members.emplace_back(std::move(name), read_value());
      }
      return Value(Object::from_members(std::move(members)));
    }
  }
  throw std::logic_error("unreachable value kind");
}

void Reader::skip_value() {
  switch (peek()) {
    case Next::Null: read_null(); return;
    case Next::True:
    case Next::False: read_bool(); return;
    // A skipped number needs no value, so it is checked for form only.
    case Next::Number: scan_number(); return;
    case Next::String: read_string(); return;
    case Next::Array:
      for (auto items = begin_array(); items.next();) skip_value();
      return;
    case Next::Object: {
      auto object = begin_object();
      while (object.next()) skip_value();
      return;
    }
  }
}

void Reader::finish() {
  skip_whitespace();
  if (pos_ != end_) fail_at_next("trailing characters");
}

common::Result<Value> parse(std::string_view text) {
  return read_text(text, [](Reader& reader) { return reader.read_value(); });
}

}  // namespace kiv::json
