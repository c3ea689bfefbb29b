#include "serializer_bus/serializer_bus.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <optional>

#include "json/writer.h"

namespace kiv::serializer_bus {
namespace {

using json::Value;

const Value kNull;
const Value kZero{0};
const Value kZeroMs{0.0};
const Value kNormalContext{std::string("normal")};
const Value kEmptyObject{json::Object{}};

constexpr std::size_t kLayerCount = 5;  // the topics cover layers 0..4
constexpr std::array<std::string_view, kLayerCount> kLayerTopics = {"/kiv/L0", "/kiv/L1", "/kiv/L2", "/kiv/L3",
                                                                    "/kiv/L4"};
constexpr std::array<std::string_view, kLayerCount> kLayerNames = {"L0", "L1", "L2", "L3", "L4"};
constexpr std::array<std::string_view, kLayerCount> kLayerLatencyKeys = {"L0_ms", "L1_ms", "L2_ms", "L3_ms", "L4_ms"};

// A member copied from `source` of some object into the message as `key`.
struct Copy {
  std::string_view key;
  std::string_view source;
};

// A member the message cannot do without, and the failure when it is absent.
struct Required {
  std::string_view key;
  std::string_view source;
  std::string_view missing;
};

// Copies each member in turn; gives the failure of the first absent one.
std::optional<std::string_view> copy_required(Message& message, const Value& from,
                                              std::initializer_list<Required> members) {
  for (const Required& member : members) {
    const Value* value = from.find(member.source);
    if (value == nullptr) return member.missing;
    message.add(member.key, *value);
  }
  return std::nullopt;
}

void copy_or(Message& message, const Value& from, Copy member, const Value& fallback) {
  const Value* value = from.find(member.source);
  message.add(member.key, value ? *value : fallback);
}

// Members that only appear when the source holds something other than null.
void copy_if_set(Message& message, const Value& from, std::initializer_list<Copy> members) {
  for (const Copy& member : members) {
    const Value* value = from.find(member.source);
    if (value != nullptr && !value->is_null()) message.add(member.key, *value);
  }
}

const Value* object_member(const Value& from, std::string_view key) {
  const Value* value = from.find(key);
  return value != nullptr && value->as_object() != nullptr ? value : nullptr;
}

void add_stage_latencies(Message& message, const Value& stages) {
  for (Copy stage : {Copy{"source_ms", "source"}, Copy{"policy_ms", "policy"}, Copy{"guards_ms", "guards"},
                     Copy{"sink_ms", "sink"}, Copy{"total_ms", "total"}}) {
    copy_or(message, stages, stage, kZeroMs);
  }
}

// The layer of a guard result as a signed 64-bit integer, if it is one.
std::optional<std::int64_t> guard_layer(const Value& guard_result) {
  const Value* layer = guard_result.find("layer");
  if (layer == nullptr) return std::nullopt;
  if (const auto* value = std::get_if<std::uint64_t>(&layer->data)) {
    if (*value > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return std::nullopt;
    return static_cast<std::int64_t>(*value);
  }
  if (const auto* value = std::get_if<std::int64_t>(&layer->data)) return *value;
  return std::nullopt;
}

bool is_number(const Value& value) {
  return std::holds_alternative<std::uint64_t>(value.data) || std::holds_alternative<std::int64_t>(value.data) ||
         std::holds_alternative<double>(value.data);
}

}  // namespace

std::string Message::to_json() const {
  auto sorted = members_;
  // Stable, so that of equal names the member added last comes last.
  std::stable_sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  std::string out;
  out.reserve(256);
  out.push_back('{');
  bool first = true;
  for (std::size_t i = 0; i < sorted.size(); ++i) {
    if (i + 1 < sorted.size() && sorted[i + 1].first == sorted[i].first) continue;  // replaced later
    if (!first) out.push_back(',');
    first = false;
    json::append_string(out, sorted[i].first);
    out.push_back(':');
    json::append_value(out, *sorted[i].second);
  }
  out.push_back('}');
  return out;
}

common::Result<Message> build_cycle_message(const Value& record) {
  const Value* stages = object_member(record, "latency_stages");
  if (stages == nullptr) return common::fail("Missing latency_stages");
  Message message;
  if (auto missing = copy_required(message, record,
                                   {{"cycle_id", "cycle_id", "Missing cycle_id"},
                                    {"timestamp", "obs_timestamp", "Missing obs_timestamp"},
                                    {"active_boundaries", "active_boundaries", "Missing active_boundaries"},
                                    {"has_violation", "has_violation", "Missing has_violation"},
                                    {"has_clamp", "has_clamp", "Missing has_clamp"},
                                    {"violated_layer_mask", "violated_layer_mask", "Missing violated_layer_mask"},
                                    {"clamped_layer_mask", "clamped_layer_mask", "Missing clamped_layer_mask"}})) {
    return common::fail(std::string(*missing));
  }
  copy_or(message, record, {"config_version", "config_version"}, kZero);
  copy_or(message, record, {"active_task", "active_task"}, kNull);
  copy_or(message, record, {"active_context", "active_context"}, kNormalContext);
  copy_or(message, record, {"context_severity", "context_severity"}, kZero);
  copy_or(message, record, {"context_event", "context_event"}, kNull);
  add_stage_latencies(message, *stages);
  return message;
}

common::Result<Message> build_observation_message(const Value& record) {
  Message message;
  if (auto missing = copy_required(message, record,
                                   {{"cycle_id", "cycle_id", "Missing cycle_id"},
                                    {"timestamp", "obs_timestamp", "Missing obs_timestamp"},
                                    {"joint_positions", "obs_joint_positions", "Missing obs_joint_positions"}})) {
    return common::fail(std::string(*missing));
  }
  // Channels sit at the top level under their own names and win over the
  // members above.
  if (const Value* channels = object_member(record, "obs_channels")) {
    for (const auto& [name, values] : *channels->as_object()) {
      if (!values.is_null()) message.add(name, values);
    }
  }
  return message;
}

common::Result<Message> build_action_message(const Value& record) {
  Message message;
  if (auto missing = copy_required(message, record,
                                   {{"cycle_id", "cycle_id", "Missing cycle_id"},
                                    {"timestamp", "obs_timestamp", "Missing obs_timestamp"},
                                    {"target_positions", "action_positions", "Missing action_positions"},
                                    {"was_clamped", "was_clamped", "Missing was_clamped"}})) {
    return common::fail(std::string(*missing));
  }
  copy_or(message, record, {"fallback_triggered", "fallback_triggered"}, kNull);
  copy_if_set(message, record,
              {{"target_velocities", "action_velocities"},
               {"validated_positions", "validated_positions"},
               {"validated_velocities", "validated_velocities"}});
  return message;
}

common::Result<Message> build_guard_result_message(const Value& record, const Value& guard_result) {
  const Value* guard_name = guard_result.find("guard_name");
  if (guard_name == nullptr || guard_name->as_string() == nullptr) return common::fail("Missing guard_name");
  const Value* latency_guards = object_member(record, "latency_guards");
  if (latency_guards == nullptr) return common::fail("Missing latency_guards");
  Message message;
  if (auto missing = copy_required(message, record,
                                   {{"cycle_id", "cycle_id", "Missing cycle_id"},
                                    {"timestamp", "obs_timestamp", "Missing obs_timestamp"}})) {
    return common::fail(std::string(*missing));
  }
  message.add("guard_name", *guard_name);
  if (auto missing = copy_required(message, guard_result,
                                   {{"layer", "layer", "Missing guard layer"},
                                    {"decision", "decision", "Missing decision"},
                                    {"decision_name", "decision_name", "Missing decision_name"},
                                    {"reason", "reason", "Missing reason"},
                                    {"is_violation", "is_violation", "Missing is_violation"},
                                    {"is_clamp", "is_clamp", "Missing is_clamp"}})) {
    return common::fail(std::string(*missing));
  }
  copy_or(message, guard_result, {"event_class", "event_class"}, kNull);
  copy_or(message, guard_result, {"fault_source", "fault_source"}, kNull);
  copy_or(message, guard_result, {"metadata", "metadata"}, kEmptyObject);
  // The latency comes from the record's table, not from the element.
  copy_or(message, *latency_guards, {"latency_ms", *guard_name->as_string()}, kNull);
  return message;
}

common::Result<Message> build_latency_message(const Value& record) {
  const Value* stages = object_member(record, "latency_stages");
  if (stages == nullptr) return common::fail("Missing latency_stages");
  const Value* layers = object_member(record, "latency_layers");
  if (layers == nullptr) return common::fail("Missing latency_layers");
  Message message;
  if (auto missing = copy_required(message, record,
                                   {{"cycle_id", "cycle_id", "Missing cycle_id"},
                                    {"timestamp", "obs_timestamp", "Missing obs_timestamp"}})) {
    return common::fail(std::string(*missing));
  }
  add_stage_latencies(message, *stages);
  for (std::size_t n = 0; n < kLayerCount; ++n) {
    if (const Value* latency = layers->find(kLayerNames[n])) message.add(kLayerLatencyKeys[n], *latency);
  }
  return message;
}

common::Result<TopicMap> serialize_cycle(const Value& record) {
  const Value* cycle_id = record.find("cycle_id");
  if (cycle_id == nullptr || !std::holds_alternative<std::uint64_t>(cycle_id->data)) {
    return common::fail("Missing or invalid cycle_id");
  }
  const Value* obs_timestamp = record.find("obs_timestamp");
  if (obs_timestamp == nullptr || !is_number(*obs_timestamp)) return common::fail("Missing or invalid obs_timestamp");

  TopicMap topics;
  topics.reserve(4 + kLayerCount);
  using Builder = common::Result<Message> (*)(const Value&);
  for (auto [topic, build] : {std::pair<std::string_view, Builder>{"/kiv/cycle", &build_cycle_message},
                              {"/kiv/obs", &build_observation_message},
                              {"/kiv/action", &build_action_message}}) {
    auto message = build(record);
    if (!message.ok()) return common::fail(std::move(message).take_error());
    topics.push_back({topic, message->to_json()});
  }

  const Value* guard_results = record.find("guard_results");
  if (guard_results == nullptr || guard_results->as_array() == nullptr) {
    return common::fail("Missing or invalid guard_results");
  }
  std::array<std::vector<std::string>, kLayerCount> layer_messages;
  for (const Value& guard_result : *guard_results->as_array()) {
    const std::optional<std::int64_t> layer = guard_layer(guard_result);
    if (!layer) return common::fail("Missing or invalid guard layer");
    auto message = build_guard_result_message(record, guard_result);
    if (!message.ok()) return common::fail(std::move(message).take_error());
    // Layers beyond the topics are checked and built all the same.
    if (*layer >= 0 && *layer < static_cast<std::int64_t>(kLayerCount)) {
      layer_messages[static_cast<std::size_t>(*layer)].push_back(message->to_json());
    }
  }
  for (std::size_t n = 0; n < kLayerCount; ++n) topics.push_back({kLayerTopics[n], std::move(layer_messages[n])});

  auto latency = build_latency_message(record);
  if (!latency.ok()) return common::fail(std::move(latency).take_error());
  topics.push_back({"/kiv/latency", latency->to_json()});
  return topics;
}

}  // namespace kiv::serializer_bus
