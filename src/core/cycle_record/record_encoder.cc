// The MessagePack layout of the record types: a map of every field, keys in
// declaration order, absent optionals as nil.
#include <new>
#include <stdexcept>
#include <variant>

#include "cycle_record/record_schema.h"

namespace kiv::cycle_record {
namespace schema {
namespace {

template <typename Struct>
void encode_struct(msgpack::Writer& writer, const Struct& value) {
  const auto fields = Schema<Struct>::fields;
  writer.map_header(fields.size());
  for (const auto& field : fields) {
    writer.string(field.name);
    field.encode(writer, value);
  }
}

// Appends all of `value` or, on failure, nothing.
template <typename Struct>
common::Status encode_whole(const Struct& value, common::Bytes& out) {
  const std::size_t size_before = out.size();
  try {
    msgpack::Writer writer(out);
    encode_struct(writer, value);
    return {};
  } catch (const std::bad_alloc&) {
    out.resize(size_before);
    return common::fail("out of memory while encoding MessagePack");
  } catch (const std::length_error& error) {
    out.resize(size_before);
    return common::fail(error.what());
  }
}

}  // namespace

void encode_value(msgpack::Writer& writer, std::uint64_t value) { writer.unsigned_integer(value); }
void encode_value(msgpack::Writer& writer, std::uint32_t value) { writer.unsigned_integer(value); }
void encode_value(msgpack::Writer& writer, double value) { writer.float64(value); }
void encode_value(msgpack::Writer& writer, bool value) { writer.boolean(value); }
void encode_value(msgpack::Writer& writer, const std::string& value) { writer.string(value); }
void encode_value(msgpack::Writer& writer, const common::Bytes& value) { writer.binary(value); }
void encode_value(msgpack::Writer& writer, const ImageData& value) { encode_struct(writer, value); }
void encode_value(msgpack::Writer& writer, const GuardResultData& value) { encode_struct(writer, value); }

void encode_value(msgpack::Writer& writer, const json::Value& value) {
  struct Visit {
    msgpack::Writer& writer;
    void operator()(std::nullptr_t) const { writer.nil(); }
    void operator()(bool v) const { writer.boolean(v); }
    void operator()(std::uint64_t v) const { writer.unsigned_integer(v); }
    void operator()(std::int64_t v) const { writer.signed_integer(v); }
    void operator()(double v) const { writer.float64(v); }
    void operator()(const std::string& v) const { writer.string(v); }
    void operator()(const json::Array& items) const {
      writer.array_header(items.size());
      for (const auto& item : items) encode_value(writer, item);
    }
    void operator()(const json::Object& members) const {
      writer.map_header(members.size());
      for (const auto& [key, member] : members) {  // already in key order
        writer.string(key);
        encode_value(writer, member);
      }
    }
  };
  std::visit(Visit{writer}, value.data);
}

}  // namespace schema

common::Status encode_msgpack(const CycleRecordData& record, common::Bytes& out) {
  return schema::encode_whole(record, out);
}

common::Status encode_msgpack(const GuardResultData& guard_result, common::Bytes& out) {
  return schema::encode_whole(guard_result, out);
}

common::Status encode_msgpack(const ImageData& image, common::Bytes& out) {
  return schema::encode_whole(image, out);
}

}  // namespace kiv::cycle_record
