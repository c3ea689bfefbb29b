// The reader's small hot paths, inline: every value of a text passes
// through them, and the typed readers call them from other files. Included
// by reader.h only.
#pragma once

namespace kiv::json {

namespace detail {
inline bool is_digit(char c) { return c >= '0' && c <= '9'; }
}  // namespace detail

inline void Reader::skip_whitespace() {
  while (pos_ != end_ && (*pos_ == ' ' || *pos_ == '\n' || *pos_ == '\r' || *pos_ == '\t')) ++pos_;
}

inline char Reader::begin_value() {
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

inline Reader::Next Reader::peek() {
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

// After peek() the reader stands on the value's first byte; checking that
// byte spares a second peek, and anything else falls back to one.
inline bool Reader::at_value_starting_with(bool (*first_byte)(char)) const {
  return !colon_pending_ && pos_ != end_ && first_byte(*pos_);
}

inline void Reader::read_null() {
  if (!at_value_starting_with([](char c) { return c == 'n'; }) && peek() != Next::Null) misuse("read_null without null");
  expect_word("ull");
}

inline bool Reader::read_bool() {
  if (!at_value_starting_with([](char c) { return c == 't' || c == 'f'; })) {
    const Next next = peek();
    if (next != Next::True && next != Next::False) misuse("read_bool without a boolean");
  }
  if (*pos_ == 't') {
    expect_word("rue");
    return true;
  }
  expect_word("alse");
  return false;
}

inline Number Reader::read_number() {
  if (!at_value_starting_with([](char c) { return c == '-' || detail::is_digit(c); }) && peek() != Next::Number) {
    misuse("read_number without a number");
  }
  return number_here();
}

inline std::string_view Reader::read_string() {
  if (!at_value_starting_with([](char c) { return c == '"'; }) && peek() != Next::String) {
    misuse("read_string without a string");
  }
  return string_here();
}

inline void Reader::enter_container() {
  if (depth_ == kMaxDepth) fail_at_next("recursion limit exceeded");
  ++depth_;
  ++pos_;
}

inline Reader::ArrayItems Reader::begin_array() {
  if (!at_value_starting_with([](char c) { return c == '['; }) && peek() != Next::Array) {
    misuse("begin_array without an array");
  }
  enter_container();
  return ArrayItems(*this);
}

inline Reader::ObjectMembers Reader::begin_object() {
  if (!at_value_starting_with([](char c) { return c == '{'; }) && peek() != Next::Object) {
    misuse("begin_object without an object");
  }
  enter_container();
  return ObjectMembers(*this);
}

inline bool Reader::next_element(bool& first) {
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

inline std::optional<std::string_view> Reader::next_key(bool& first) {
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
  std::string_view key = string_here();
  colon_pending_ = true;
  return key;
}

}  // namespace kiv::json
