// The record types field by field, in declaration order: one table per type
// that both the JSON reader and the MessagePack encoder walk, so the two
// cannot disagree on names, order or defaults. Private to this component.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "cycle_record/cycle_record.h"
#include "json/reader.h"
#include "msgpack/writer.h"

namespace kiv::cycle_record::schema {

// A field that is not required takes the struct's default when its key is
// missing (an optional one stays absent).
enum class Presence : bool { Required, Defaulted };

template <typename Struct>
struct Field {
  std::string_view name;
  Presence presence;
  void (*read)(json::Reader& reader, Struct& into);
  void (*encode)(msgpack::Writer& writer, const Struct& from);
};

// ---- Reading one value of each kind (record_reader.cc) ------------------------

void read_into(json::Reader& reader, std::uint64_t& out);
void read_into(json::Reader& reader, std::uint32_t& out);
void read_into(json::Reader& reader, double& out);
void read_into(json::Reader& reader, bool& out);
void read_into(json::Reader& reader, std::string& out);
void read_into(json::Reader& reader, common::Bytes& out);  // `data`: a string or an array of bytes
void read_into(json::Reader& reader, json::Value& out);
void read_into(json::Reader& reader, ImageData& out);
void read_into(json::Reader& reader, GuardResultData& out);

// Lists take JSON arrays; the element kind decides the rest.
template <typename T>
void read_into(json::Reader& reader, std::vector<T>& out) {
  if (reader.peek() != json::Reader::Next::Array) reader.fail_invalid_type("a sequence");
  out.clear();
  for (auto items = reader.begin_array(); items.next();) read_into(reader, out.emplace_back());
}

// Maps take JSON objects; a repeated key keeps its last value.
template <typename V>
void read_into(json::Reader& reader, std::unordered_map<std::string, V>& out) {
  if (reader.peek() != json::Reader::Next::Object) reader.fail_invalid_type("a map");
  out.clear();
  auto members = reader.begin_object();
  while (auto key = members.next()) read_into(reader, out[std::string(*key)]);
}

// `null` means absent; anything else must fit the inner kind.
template <typename T>
void read_into(json::Reader& reader, std::optional<T>& out) {
  if (reader.peek() == json::Reader::Next::Null) {
    reader.read_null();
    out.reset();
    return;
  }
  read_into(reader, out.emplace());
}

// ---- Encoding one value of each kind (record_encoder.cc) ----------------------

void encode_value(msgpack::Writer& writer, std::uint64_t value);
void encode_value(msgpack::Writer& writer, std::uint32_t value);
void encode_value(msgpack::Writer& writer, double value);
void encode_value(msgpack::Writer& writer, bool value);
void encode_value(msgpack::Writer& writer, const std::string& value);
void encode_value(msgpack::Writer& writer, const common::Bytes& value);  // the bin family
void encode_value(msgpack::Writer& writer, const json::Value& value);
void encode_value(msgpack::Writer& writer, const ImageData& value);
void encode_value(msgpack::Writer& writer, const GuardResultData& value);

template <typename T>
void encode_value(msgpack::Writer& writer, const std::vector<T>& values) {
  writer.array_header(values.size());
  for (const T& value : values) encode_value(writer, value);
}

template <typename V>
void encode_value(msgpack::Writer& writer, const std::unordered_map<std::string, V>& entries) {
  writer.map_header(entries.size());
  for (const auto& [key, value] : entries) {
    writer.string(key);
    encode_value(writer, value);
  }
}

template <typename T>
void encode_value(msgpack::Writer& writer, const std::optional<T>& value) {
  if (value) {
    encode_value(writer, *value);
  } else {
    writer.nil();
  }
}

// ---- The tables ---------------------------------------------------------------

template <typename Member>
struct MemberOf;
template <typename Struct, typename T>
struct MemberOf<T Struct::*> {
  using StructType = Struct;
};

template <auto Member>
constexpr auto field(std::string_view name, Presence presence = Presence::Required) {
  using Struct = typename MemberOf<decltype(Member)>::StructType;
  return Field<Struct>{name, presence,
                       [](json::Reader& reader, Struct& into) { read_into(reader, into.*Member); },
                       [](msgpack::Writer& writer, const Struct& from) { encode_value(writer, from.*Member); }};
}

constexpr auto kDefaulted = Presence::Defaulted;

inline constexpr Field<ImageData> kImageDataFields[] = {
    field<&ImageData::camera_name>("camera_name"),
    field<&ImageData::timestamp>("timestamp"),
    field<&ImageData::width>("width"),
    field<&ImageData::height>("height"),
    field<&ImageData::data>("data"),
};

inline constexpr Field<GuardResultData> kGuardResultDataFields[] = {
    field<&GuardResultData::cycle_id>("cycle_id"),
    field<&GuardResultData::timestamp>("timestamp"),
    field<&GuardResultData::guard_name>("guard_name"),
    field<&GuardResultData::event_class>("event_class", kDefaulted),
    field<&GuardResultData::layer>("layer"),
    field<&GuardResultData::decision>("decision"),
    field<&GuardResultData::decision_name>("decision_name"),
    field<&GuardResultData::reason>("reason"),
    field<&GuardResultData::latency_ms>("latency_ms", kDefaulted),
    field<&GuardResultData::is_violation>("is_violation"),
    field<&GuardResultData::is_clamp>("is_clamp"),
    field<&GuardResultData::fault_source>("fault_source", kDefaulted),
    field<&GuardResultData::metadata>("metadata", kDefaulted),
};

inline constexpr Field<CycleRecordData> kCycleRecordDataFields[] = {
    field<&CycleRecordData::cycle_id>("cycle_id"),
    field<&CycleRecordData::obs_timestamp>("obs_timestamp"),
    field<&CycleRecordData::has_violation>("has_violation"),
    field<&CycleRecordData::has_clamp>("has_clamp"),
    field<&CycleRecordData::violated_layer_mask>("violated_layer_mask"),
    field<&CycleRecordData::clamped_layer_mask>("clamped_layer_mask"),
    field<&CycleRecordData::active_task>("active_task", kDefaulted),
    field<&CycleRecordData::active_boundaries>("active_boundaries"),
    field<&CycleRecordData::active_cameras>("active_cameras", kDefaulted),
    field<&CycleRecordData::obs_joint_positions>("obs_joint_positions"),
    field<&CycleRecordData::obs_channels>("obs_channels"),
    field<&CycleRecordData::action_positions>("action_positions"),
    field<&CycleRecordData::action_velocities>("action_velocities", kDefaulted),
    field<&CycleRecordData::validated_positions>("validated_positions", kDefaulted),
    field<&CycleRecordData::validated_velocities>("validated_velocities", kDefaulted),
    field<&CycleRecordData::was_clamped>("was_clamped"),
    field<&CycleRecordData::fallback_triggered>("fallback_triggered", kDefaulted),
    field<&CycleRecordData::active_context>("active_context", kDefaulted),
    field<&CycleRecordData::context_severity>("context_severity", kDefaulted),
    field<&CycleRecordData::context_event>("context_event", kDefaulted),
    field<&CycleRecordData::guard_results>("guard_results"),
    field<&CycleRecordData::latency_stages>("latency_stages"),
    field<&CycleRecordData::latency_layers>("latency_layers"),
    field<&CycleRecordData::latency_guards>("latency_guards"),
    field<&CycleRecordData::image_data>("image_data"),
    field<&CycleRecordData::config_version>("config_version", kDefaulted),
    field<&CycleRecordData::failure_type>("failure_type", kDefaulted),
    field<&CycleRecordData::failure_guard_names>("failure_guard_names", kDefaulted),
    field<&CycleRecordData::failure_layers>("failure_layers", kDefaulted),
    field<&CycleRecordData::failure_decisions>("failure_decisions", kDefaulted),
    field<&CycleRecordData::failure_reasons>("failure_reasons", kDefaulted),
    field<&CycleRecordData::failure_tuple>("failure_tuple", kDefaulted),
};

// What the readers need to know of each type beyond its fields.
template <typename Struct>
struct Schema;

template <>
struct Schema<ImageData> {
  static constexpr std::string_view expecting = "struct ImageData";
  static constexpr std::span<const Field<ImageData>> fields = kImageDataFields;
  static constexpr std::size_t min_array_length = 5;
};

template <>
struct Schema<GuardResultData> {
  static constexpr std::string_view expecting = "struct GuardResultData";
  static constexpr std::span<const Field<GuardResultData>> fields = kGuardResultDataFields;
  static constexpr std::size_t min_array_length = 12;  // only `metadata` may be left off
};

template <>
struct Schema<CycleRecordData> {
  static constexpr std::string_view expecting = "struct CycleRecordData";
  static constexpr std::span<const Field<CycleRecordData>> fields = kCycleRecordDataFields;
  static constexpr std::size_t min_array_length = 25;  // through `image_data`
};

}  // namespace kiv::cycle_record::schema
