// Typed reading of the record types from JSON text, straight into the
// structs: only JSON-value fields build a tree.
#include <cstdint>
#include <limits>
#include <string>

#include "common/format.h"
#include "cycle_record/record_schema.h"

namespace kiv::cycle_record {
namespace schema {
namespace {

using json::Number;
using Next = json::Reader::Next;

constexpr std::size_t kNoField = static_cast<std::size_t>(-1);

std::uint64_t read_unsigned(json::Reader& reader, std::string_view expected, std::uint64_t max) {
  if (reader.peek() != Next::Number) reader.fail_invalid_type(expected);
  const Number number = reader.read_number();
  switch (number.form) {
    case Number::Form::Unsigned:
      if (number.unsigned_value > max) reader.fail_invalid_value(json::describe(number), expected);
      return number.unsigned_value;
    case Number::Form::Negative: reader.fail_invalid_value(json::describe(number), expected);
    case Number::Form::Float: break;
  }
  reader.fail_invalid_type(json::describe(number), expected);
}

// Senders list the fields in declaration order, so the field after the
// last one matched is tried first.
template <typename Struct>
std::size_t find_field(std::string_view key, std::size_t hint) {
  const auto fields = Schema<Struct>::fields;
  if (hint < fields.size() && fields[hint].name == key) return hint;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (fields[i].name == key) return i;
  }
  return kNoField;
}

template <typename Struct>
void read_object_form(json::Reader& reader, Struct& out) {
  const auto fields = Schema<Struct>::fields;
  static_assert(Schema<Struct>::fields.size() <= 64, "fields seen are kept in one 64-bit mask");
  std::uint64_t seen = 0;
  std::size_t hint = 0;
  auto members = reader.begin_object();
  while (auto key = members.next()) {
    const std::size_t index = find_field<Struct>(*key, hint);
    if (index == kNoField) {
      reader.skip_value();
      continue;
    }
    const std::uint64_t bit = std::uint64_t{1} << index;
    if (seen & bit) reader.fail(common::format("duplicate field `{}`", fields[index].name));
    seen |= bit;
    fields[index].read(reader, out);
    hint = index + 1;
  }
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (fields[i].presence == Presence::Required && !(seen & (std::uint64_t{1} << i))) {
      reader.fail(common::format("missing field `{}`", fields[i].name));
    }
  }
}

// The field values in declaration order; the fields after the minimum
// length keep their defaults when the array ends early.
template <typename Struct>
void read_array_form(json::Reader& reader, Struct& out) {
  const auto fields = Schema<Struct>::fields;
  auto items = reader.begin_array();
  for (std::size_t count = 0; count < fields.size(); ++count) {
    if (!items.next()) {
      if (count < Schema<Struct>::min_array_length) {
        reader.fail(common::format("invalid length {}, expected {} with {} elements", count,
                                   Schema<Struct>::expecting, fields.size()));
      }
      return;
    }
    fields[count].read(reader, out);
  }
  if (items.next()) reader.fail_at_next("trailing characters");
}

template <typename Struct>
void read_struct(json::Reader& reader, Struct& out) {
  switch (reader.peek()) {
    case Next::Object: read_object_form(reader, out); return;
    case Next::Array: read_array_form(reader, out); return;
    default: reader.fail_invalid_type(Schema<Struct>::expecting);
  }
}

template <typename Struct>
common::Result<Struct> read_whole(std::string_view json_text) {
  return json::read_text(json_text, [](json::Reader& reader) {
    Struct out;
    read_struct(reader, out);
    return out;
  });
}

}  // namespace

void read_into(json::Reader& reader, std::uint64_t& out) {
  out = read_unsigned(reader, "u64", std::numeric_limits<std::uint64_t>::max());
}

void read_into(json::Reader& reader, std::uint32_t& out) {
  out = static_cast<std::uint32_t>(read_unsigned(reader, "u32", std::numeric_limits<std::uint32_t>::max()));
}

void read_into(json::Reader& reader, double& out) {
  if (reader.peek() != Next::Number) reader.fail_invalid_type("f64");
  const Number number = reader.read_number();
  switch (number.form) {
    case Number::Form::Unsigned: out = static_cast<double>(number.unsigned_value); return;
    case Number::Form::Negative: out = static_cast<double>(number.negative_value); return;
    case Number::Form::Float: out = number.float_value(); return;
  }
}

void read_into(json::Reader& reader, bool& out) {
  const Next next = reader.peek();
  if (next != Next::True && next != Next::False) reader.fail_invalid_type("a boolean");
  out = reader.read_bool();
}

void read_into(json::Reader& reader, std::string& out) {
  if (reader.peek() != Next::String) reader.fail_invalid_type("a string");
  out.assign(reader.read_string());
}

void read_into(json::Reader& reader, common::Bytes& out) {
  switch (reader.peek()) {
    case Next::String: {
      const std::string_view text = reader.read_string();
      out.assign(text.begin(), text.end());
      return;
    }
    case Next::Array:
      out.clear();
      for (auto items = reader.begin_array(); items.next();) {
        out.push_back(static_cast<std::uint8_t>(read_unsigned(reader, "u8", 0xff)));
      }
      return;
    default: reader.fail_invalid_type("byte array");
  }
}

void read_into(json::Reader& reader, json::Value& out) { out = reader.read_value(); }

void read_into(json::Reader& reader, ImageData& out) { read_struct(reader, out); }

void read_into(json::Reader& reader, GuardResultData& out) { read_struct(reader, out); }

}  // namespace schema

common::Result<CycleRecordData> read_cycle_record(std::string_view json_text) {
  return schema::read_whole<CycleRecordData>(json_text);
}

common::Result<GuardResultData> read_guard_result(std::string_view json_text) {
  return schema::read_whole<GuardResultData>(json_text);
}

common::Result<ImageData> read_image_data(std::string_view json_text) {
  return schema::read_whole<ImageData>(json_text);
}

}  // namespace kiv::cycle_record
