// Pull reader over JSON text, with this system's error wordings and
// positions.
//
// Callers walk the text value by value (`peek`, then the matching `read_*`,
// or `begin_array` / `begin_object` and their cursors), so typed readers can
// fill their own structures without an intermediate tree. Any refusal
// throws ReadError; `read_text` runs a whole read and turns the error into
// "{message} at line L column C".
//
// Positions count lines from 1 and columns as bytes since the last line
// feed. A refusal of something already read (a value of the wrong kind or
// range, a missing or repeated field) is placed after the last byte
// consumed; a syntax error at an unexpected byte is placed at that byte, and
// one at the end of the text at its last byte.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/result.h"
#include "json/value.h"

namespace kiv::json {

// Arrays and objects nest at most this deep, the outermost counting as one.
inline constexpr unsigned kMaxDepth = 127;

struct ReadError {
  std::string message;
  std::size_t offset;  // bytes of the text before the reported position
};

// A float literal as significand × 10^exponent.
struct Decimal {
  static constexpr int kSignificandDigits = 19;  // always fit in 64 bits

  std::uint64_t significand = 0;  // its first significant digits, at most 19
  std::int64_t digits = 0;        // significant digits written, trailing zeros too
  std::int64_t exponent = 0;      // of the last digit kept in the significand
  bool negative = false;

  bool is_zero() const { return digits == 0; }
  bool exact() const { return digits <= kSignificandDigits; }
  // Decimal exponent of the first significant digit (not for zero).
  std::int64_t magnitude() const {
    return std::min<std::int64_t>(digits, kSignificandDigits) - 1 + exponent;
  }
};

struct Number {
  enum class Form : std::uint8_t { Unsigned, Negative, Float };
  Form form = Form::Unsigned;
  std::uint64_t unsigned_value = 0;  // Form::Unsigned
  std::int64_t negative_value = 0;   // Form::Negative, always < 0
  Decimal decimal;                   // Form::Float, within the range of a double
  std::string_view literal;          // as written in the text

  // Form::Float: the nearest double (a signed zero when too small).
  double float_value() const;
  // The number in compact JSON as the writer spells it: an integer as
  // written, a float by the writer's float rule (kFloatTextCapacity bytes).
  char* write_json(char* out) const;
  Value to_value() const;
};

// How a refusal names what it found: "integer `5`", "floating point `7.0`",
// "string \"abc\"".
std::string describe(const Number& number);
std::string describe_string(std::string_view text);

class Reader {
 public:
  enum class Next : std::uint8_t { Null, True, False, Number, String, Array, Object };

  // Walks the elements of an array: `next()` is true while an element
  // follows (read it before calling again), false once `]` is consumed.
  class ArrayItems {
   public:
    bool next() { return reader_->next_element(first_); }

   private:
    friend class Reader;
    explicit ArrayItems(Reader& reader) : reader_(&reader) {}
    Reader* reader_;
    bool first_ = true;
  };

  // Walks the members of an object: `next()` gives each key (valid until
  // the next read), after which exactly one value must be read or skipped;
  // no key once `}` is consumed.
  class ObjectMembers {
   public:
    std::optional<std::string_view> next() { return reader_->next_key(first_); }

   private:
    friend class Reader;
    explicit ObjectMembers(Reader& reader) : reader_(&reader) {}
    Reader* reader_;
    bool first_ = true;
  };

  explicit Reader(std::string_view text)
      : begin_(text.data()), end_(text.data() + text.size()), pos_(text.data()) {}
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  // The kind of the next value, judged from its first byte.
  Next peek();

  // Each reads the next value, which must be of its kind (see peek).
  void read_null();
  bool read_bool();
  Number read_number();
  std::string_view read_string();  // decoded; valid until the next read
  // Whether the string or key just read held escapes: without any, its view
  // is the span of the text between its quotes.
  bool last_string_escaped() const { return last_string_escaped_; }
  ArrayItems begin_array();
  ObjectMembers begin_object();

  // Any value: as a tree, or checked and dropped.
  Value read_value();
  void skip_value();

  // Only whitespace may follow the value just read.
  void finish();

  // "invalid type: {found}, expected {expected}", describing the next value
  // (a scalar is read first, so the position follows it).
  [[noreturn]] void fail_invalid_type(std::string_view expected);
  // The same for a value already read and described by the caller.
  [[noreturn]] void fail_invalid_type(std::string_view found, std::string_view expected);
  [[noreturn]] void fail_invalid_value(std::string_view found, std::string_view expected);
  // A refusal placed after the last byte consumed.
  [[noreturn]] void fail(std::string message) const;
  // A refusal of the next byte itself (or the last byte at the end).
  [[noreturn]] void fail_at_next(std::string message) const;

 private:
  // What a number's scan finds besides its decimal form.
  struct NumberShape {
    bool integer = true;    // no fraction and no exponent
    bool overflow = false;  // an integer part beyond 64 bits
    std::uint64_t integer_part = 0;
  };

  char begin_value();
  void skip_whitespace();
  bool at_value_starting_with(bool (*first_byte)(char)) const;
  // The *_here functions start at the value's first byte, its kind known.
  void expect_word(std::string_view rest);
  // Fills `decimal` in place: a returned copy would stall on its way in.
  NumberShape scan_number_here(Decimal& decimal);
  Number number_here();
  std::string_view string_here();
  const char* skip_plain(const char* p) const;
  void read_escape();
  std::uint32_t read_hex_unit();
  bool next_element(bool& first);
  std::optional<std::string_view> next_key(bool& first);
  void enter_container();
  [[noreturn]] static void misuse(const char* what);

  Value value_here(Next next);
  Value array_here();
  Value object_here();

  const char* const begin_;
  const char* const end_;
  const char* pos_;
  unsigned depth_ = 0;
  bool colon_pending_ = false;  // a key was read; ':' comes before its value
  bool last_string_escaped_ = false;
  std::string scratch_;         // decoded text of strings with escapes
  // Trees under construction: elements and members of every open container
  // on one stack each, so nested containers share the storage and each
  // takes an exact-size range of it when it closes.
  std::vector<Value> element_stack_;
  std::vector<Object::Member> member_stack_;
};

// "{message} at line L column C" for an error in `text`.
std::string error_text(std::string_view text, const ReadError& error);

// Runs `read(reader)` over the whole text, which must hold nothing else.
template <typename Read>
auto read_text(std::string_view text, Read&& read) -> common::Result<decltype(read(std::declval<Reader&>()))> {
  Reader reader(text);
  try {
    auto value = read(reader);
    reader.finish();
    return value;
  } catch (const ReadError& error) {
    return common::fail(error_text(text, error));
  }
}

// One JSON value as a tree.
common::Result<Value> parse(std::string_view text);

}  // namespace kiv::json

#include "json/reader-inl.h"
