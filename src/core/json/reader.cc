#include "json/reader.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <stdexcept>
#include <system_error>

#include "common/float_text.h"
#include "common/format.h"
#include "json/writer.h"

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


int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool is_continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

constexpr std::uint64_t kOnes = 0x0101010101010101;
constexpr std::uint64_t kHighs = 0x8080808080808080;

std::uint64_t load_word(const char* p) {
  std::uint64_t word;
  std::memcpy(&word, p, sizeof word);
  return word;
}

// The high bit of each byte of `word` that ends a plain run inside a
// string: a quote, a backslash, a control character or a non-ASCII byte.
// (The has-zero-byte test may also mark bytes after the first marked one,
// never before it, so the lowest mark is exact.)
std::uint64_t plain_run_ends(std::uint64_t word) {
  auto zero_bytes = [](std::uint64_t v) { return (v - kOnes) & ~v & kHighs; };
  const std::uint64_t below_space = (word - kOnes * 0x20) & ~word & kHighs;
  return (word & kHighs) | below_space | zero_bytes(word ^ (kOnes * '"')) | zero_bytes(word ^ (kOnes * '\\'));
}

bool all_eight_digits(std::uint64_t word) {
  return (((word + kOnes * 0x46) | (word - kOnes * 0x30)) & kHighs) == 0;
}

// The value of eight decimal digits, the first one in the lowest byte.
std::uint32_t eight_digits_value(std::uint64_t word) {
  constexpr std::uint64_t kMask = 0x000000FF000000FF;
  constexpr std::uint64_t kHundredsAndMillions = 100 + (1000000ULL << 32);
  constexpr std::uint64_t kOnesAndTenThousands = 1 + (10000ULL << 32);
  word -= kOnes * 0x30;
  word = word * 10 + (word >> 8);
  return static_cast<std::uint32_t>(
      (((word & kMask) * kHundredsAndMillions) + (((word >> 16) & kMask) * kOnesAndTenThousands)) >> 32);
}

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

namespace {

// significand × 10^exponent as the nearest double, when that takes a single
// exactly rounded operation: the significand and the power of ten are both
// exact doubles.
constexpr double kExactPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                   1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

std::optional<double> exact_product(std::uint64_t significand, std::int64_t exponent) {
  constexpr std::uint64_t kExactIntegers = std::uint64_t{1} << 53;
  if (significand > kExactIntegers || exponent < -22 || exponent > 22) return std::nullopt;
  const auto value = static_cast<double>(significand);
  return exponent < 0 ? value / kExactPowers[-exponent] : value * kExactPowers[exponent];
}

// Whether sixteen significant digits, significand × 10^exponent, are the
// shortest that read back to their double: no fifteen-digit decimal does
// (were any to, one of the two around the literal would), and neither
// sixteen-digit neighbour does (so the literal is the only candidate, and
// the closest). Unknown when the checks cannot all be made exactly.
bool is_shortest_of_sixteen(std::uint64_t significand, std::int64_t exponent) {
  const std::optional<double> value = exact_product(significand, exponent);
  if (!value) return false;
  auto reads_back = [&](std::uint64_t candidate, std::int64_t candidate_exponent) {
    const std::optional<double> other = exact_product(candidate, candidate_exponent);
    return !other || *other == *value;  // unknown counts as reading back
  };
  if (reads_back(significand / 10, exponent + 1) || reads_back(significand / 10 + 1, exponent + 1)) return false;
  // A sixteen-digit neighbour lies a whole step away from the literal, which
  // is within half an ulp of the value: with a step above one ulp it cannot
  // read back, so only finer steps need the checks.
  // Scaling the ulp, a power of two, by an exact power of ten is exact.
  const double ulp = std::nextafter(*value, std::numeric_limits<double>::infinity()) - *value;
  const bool step_above_ulp = exponent < 0 ? ulp * kExactPowers[-exponent] < 1.0 : kExactPowers[exponent] > ulp;
  if (step_above_ulp) return true;
  return !reads_back(significand - 1, exponent) && !reads_back(significand + 1, exponent);
}

}  // namespace

double Number::float_value() const {
  if (decimal.is_zero()) return decimal.negative ? -0.0 : 0.0;
  if (decimal.exact()) {
    if (const std::optional<double> value = exact_product(decimal.significand, decimal.exponent)) {
      return decimal.negative ? -*value : *value;
    }
  }
  double value = 0.0;
  const auto result = std::from_chars(literal.data(), literal.data() + literal.size(), value);
  if (result.ec == std::errc::result_out_of_range) {
    const double zero = decimal.negative ? -0.0 : 0.0;
    return decimal.magnitude() < 0 ? zero : std::copysign(std::numeric_limits<double>::infinity(), zero);
  }
  return value;
}

char* Number::write_json(char* out) const {
  if (form != Form::Float) return std::copy(literal.begin(), literal.end(), out);
  if (decimal.is_zero()) return std::copy_n(decimal.negative ? "-0.0" : "0.0", decimal.negative ? 4 : 3, out);
  // When the digits as written (less trailing zeros) are known to be the
  // shortest that read back to this double, they are the ones to write, and
  // no conversion is needed: up to fifteen digits in the normal range no
  // other digits as few read back to it; sixteen are checked.
  std::uint64_t significand = decimal.significand;
  std::int64_t digits = decimal.digits;
  std::int64_t exponent = decimal.exponent;
  if (decimal.exact()) {
    for (; significand % 10 == 0; --digits, ++exponent) significand /= 10;
  }
  const std::int64_t magnitude = decimal.magnitude();
  const bool shortest = decimal.exact() && ((digits <= 15 && magnitude >= -307 && magnitude <= 307) ||
                                            (digits == 16 && is_shortest_of_sixteen(significand, exponent)));
  if (!shortest) return write_float(out, float_value());
  char text[Decimal::kSignificandDigits + 1];
  const char* const end = std::to_chars(text, text + sizeof text, significand).ptr;
  return write_float_digits(out, decimal.negative, std::string_view(text, static_cast<std::size_t>(end - text)),
                            static_cast<int>(magnitude));
}

Value Number::to_value() const {
  switch (form) {
    case Form::Unsigned: return Value(unsigned_value);
    case Form::Negative: return Value(negative_value);
    case Form::Float: return Value(float_value());
  }
  return Value();
}

std::string describe(const Number& number) {
  switch (number.form) {
    case Number::Form::Unsigned: return common::format("integer `{}`", number.unsigned_value);
    case Number::Form::Negative: return common::format("integer `{}`", number.negative_value);
    case Number::Form::Float: break;
  }
  std::string text = common::plain_float_text(number.float_value());
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
    case Next::Null: expect_word("ull"); fail_invalid_type("null", expected);
    case Next::True:
    case Next::False: fail_invalid_type(read_bool() ? "boolean `true`" : "boolean `false`", expected);
    case Next::Number: fail_invalid_type(describe(number_here()), expected);
    case Next::String: fail_invalid_type(describe_string(string_here()), expected);
    case Next::Array: fail_invalid_type("sequence", expected);
    case Next::Object: fail_invalid_type("map", expected);
  }
  misuse("unreachable value kind");
}

// ---- Scalars -------------------------------------------------------------------

void Reader::expect_word(std::string_view rest) {
  ++pos_;  // the first letter, already seen
  for (char expected : rest) {
    if (pos_ == end_) fail("EOF while parsing a value");
    if (*pos_++ != expected) fail("expected ident");
  }
}

void Reader::misuse(const char* what) { throw std::logic_error(what); }

// Checks the literal's form and takes it apart: the integer part (for the
// integer forms) and the decimal significand and exponent (for floats).
Reader::NumberShape Reader::scan_number_here(Decimal& decimal) {
  NumberShape literal;
  decimal.negative = *pos_ == '-';
  if (decimal.negative) ++pos_;
  if (pos_ == end_) fail("EOF while parsing a value");
  if (*pos_ == '0') {
    ++pos_;
    if (pos_ != end_ && detail::is_digit(*pos_)) fail_at_next("invalid number");
  } else if (detail::is_digit(*pos_)) {
    // The first 19 digits always fit in 64 bits and are the significand.
    const char* const digits = pos_;
    do {
      literal.integer_part = literal.integer_part * 10 + static_cast<std::uint64_t>(*pos_ - '0');
      ++pos_;
    } while (pos_ != end_ && detail::is_digit(*pos_) && pos_ - digits < Decimal::kSignificandDigits);
    decimal.significand = literal.integer_part;
    const char* const left_out = pos_;
    constexpr std::uint64_t kLimit = std::numeric_limits<std::uint64_t>::max();
    for (; pos_ != end_ && detail::is_digit(*pos_); ++pos_) {
      const auto digit = static_cast<std::uint64_t>(*pos_ - '0');
      if (literal.integer_part > (kLimit - digit) / 10) literal.overflow = true;
      literal.integer_part = literal.integer_part * 10 + digit;
    }
    decimal.digits = (pos_ - digits);
    decimal.exponent = pos_ - left_out;
  } else {
    ++pos_;
    fail("invalid number");
  }
  if (pos_ != end_ && *pos_ == '.') {
    literal.integer = false;
    ++pos_;
    if (pos_ == end_) fail_at_next("EOF while parsing a value");
    if (!detail::is_digit(*pos_)) fail_at_next("invalid number");
    if (decimal.is_zero()) {
      const char* const zeros = pos_;
      while (pos_ != end_ && *pos_ == '0') ++pos_;
      decimal.exponent -= pos_ - zeros;
    }
    const char* const digits = pos_;
    if constexpr (std::endian::native == std::endian::little) {
      while (end_ - pos_ >= 8 && decimal.digits + (pos_ - digits) + 8 <= Decimal::kSignificandDigits &&
             all_eight_digits(load_word(pos_))) {
        decimal.significand = decimal.significand * 100000000 + eight_digits_value(load_word(pos_));
        pos_ += 8;
      }
    }
    while (pos_ != end_ && detail::is_digit(*pos_) && decimal.digits + (pos_ - digits) < Decimal::kSignificandDigits) {
      decimal.significand = decimal.significand * 10 + static_cast<std::uint64_t>(*pos_ - '0');
      ++pos_;
    }
    decimal.exponent -= pos_ - digits;
    while (pos_ != end_ && detail::is_digit(*pos_)) ++pos_;
    decimal.digits += (pos_ - digits);
  }
  if (pos_ != end_ && (*pos_ == 'e' || *pos_ == 'E')) {
    literal.integer = false;
    ++pos_;
    bool negative_exponent = false;
    if (pos_ != end_ && (*pos_ == '+' || *pos_ == '-')) negative_exponent = *pos_++ == '-';
    if (pos_ == end_) fail("EOF while parsing a value");
    if (!detail::is_digit(*pos_)) {
      ++pos_;
      fail("invalid number");
    }
    // Far beyond any double's range, an exponent only needs to stay so.
    constexpr std::int64_t kSaturated = std::int64_t{1} << 40;
    std::int64_t exponent = 0;
    for (; pos_ != end_ && detail::is_digit(*pos_); ++pos_) exponent = std::min(exponent * 10 + (*pos_ - '0'), kSaturated);
    decimal.exponent += negative_exponent ? -exponent : exponent;
  }
  return literal;
}

Number Reader::number_here() {
  const char* const begin = pos_;
  Number number;
  const NumberShape literal = scan_number_here(number.decimal);
  number.literal = std::string_view(begin, static_cast<std::size_t>(pos_ - begin));
  if (literal.integer && !literal.overflow) {
    constexpr std::uint64_t kMostNegative = std::uint64_t{1} << 63;
    if (!number.decimal.negative) {
      number.form = Number::Form::Unsigned;
      number.unsigned_value = literal.integer_part;
      return number;
    }
    // "-0" has no negative integer form; it is the float -0.0.
    if (literal.integer_part != 0 && literal.integer_part <= kMostNegative) {
      number.form = Number::Form::Negative;
      number.negative_value = static_cast<std::int64_t>(0 - literal.integer_part);
      return number;
    }
  }
  number.form = Number::Form::Float;
  // Doubles end just below 1.8e308: only a literal of that magnitude needs
  // converting to tell.
  if (!number.decimal.is_zero()) {
    const std::int64_t magnitude = number.decimal.magnitude();
    if (magnitude > 308 || (magnitude == 308 && std::isinf(number.float_value()))) fail("number out of range");
  }
  return number;
}

// ---- Strings -------------------------------------------------------------------

// The plain bytes of a string up to the first that is not: a local
// pointer, since the text's bytes might alias the reader's members.
const char* Reader::skip_plain(const char* p) const {
  const char* const end = end_;
  while (end - p >= 8) {
    const std::uint64_t ends = plain_run_ends(load_word(p));
    if constexpr (std::endian::native == std::endian::little) {
      if (ends != 0) return p + std::countr_zero(ends) / 8;
    } else if (ends != 0) {
      break;
    }
    p += 8;
  }
  while (p != end && kStringBytes[static_cast<unsigned char>(*p)] == kPlain) ++p;
  return p;
}

std::string_view Reader::string_here() {
  ++pos_;
  const char* run = pos_;  // start of the bytes not yet copied
  bool escaped = false;
  while (true) {
    pos_ = skip_plain(pos_);
    if (pos_ == end_) fail("EOF while parsing a string");
    switch (kStringBytes[static_cast<unsigned char>(*pos_)]) {
      case kQuote: {
        std::string_view text(run, static_cast<std::size_t>(pos_ - run));
        ++pos_;
        last_string_escaped_ = escaped;
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
      case kControl: ++pos_; fail(std::string(kControlInString));
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

// ---- Whole values ----------------------------------------------------------------

Value Reader::read_value() { return value_here(peek()); }

Value Reader::value_here(Next next) {
  switch (next) {
    case Next::Null: expect_word("ull"); return Value();
    case Next::True: expect_word("rue"); return Value(true);
    case Next::False: expect_word("alse"); return Value(false);
    case Next::Number: return number_here().to_value();
    case Next::String: return Value(std::string(string_here()));
    case Next::Array: return array_here();
    case Next::Object: return object_here();
  }
  misuse("unreachable value kind");
}

Value Reader::array_here() {
  enter_container();
  const std::size_t base = element_stack_.size();
  bool first = true;
  while (next_element(first)) element_stack_.push_back(value_here(peek()));
  const auto begin = element_stack_.begin() + static_cast<std::ptrdiff_t>(base);
  Array array(std::make_move_iterator(begin), std::make_move_iterator(element_stack_.end()));
  element_stack_.erase(begin, element_stack_.end());
  return Value(std::move(array));
}

Value Reader::object_here() {
  enter_container();
  const std::size_t base = member_stack_.size();
  bool first = true;
  while (auto key = next_key(first)) {
    std::string name(*key);  // the key's view ends with the next read
    Value value = value_here(peek());
    member_stack_.emplace_back(std::move(name), std::move(value));
  }
  const auto begin = member_stack_.begin() + static_cast<std::ptrdiff_t>(base);
  Object object = Object::from_member_range(begin, member_stack_.end());
  member_stack_.erase(begin, member_stack_.end());
  return Value(std::move(object));
}

void Reader::skip_value() {
  switch (peek()) {
    case Next::Null: read_null(); return;
    case Next::True:
    case Next::False: read_bool(); return;
    // A skipped number needs no value, so it is checked for form only.
    case Next::Number: {
      Decimal unused;
      scan_number_here(unused);
      return;
    }
    case Next::String: string_here(); return;
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
