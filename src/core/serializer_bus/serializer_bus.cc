#include "serializer_bus/serializer_bus.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <span>

#include "json/key_order.h"
#include "json/text_copy.h"

namespace kiv::serializer_bus {
namespace {

// ---- Message tables ----------------------------------------------------------------

// Where a member's value is read.
enum class From : std::uint8_t {
  Record,
  Stages,        // the record's latency_stages
  Layers,        // the record's latency_layers
  Element,       // the guard result
  GuardLatency,  // the record's latency_guards, under the guard's name
};

enum class Rule : std::uint8_t {
  Required,   // absent: the message fails
  Defaulted,  // absent: a constant
  IfSet,      // absent or null: left out
  IfPresent,  // absent: left out
};

struct Member {
  json::Key name;  // in the message
  From from;
  json::Key source;  // the member read (unused for GuardLatency)
  Rule rule;
  std::string_view text = {};  // Required: the failure; Defaulted: the constant's JSON
  std::uint8_t rank = 0;       // Required: when it is checked, from 1
};

constexpr Member required(json::Key name, From from, json::Key source, std::string_view missing, std::uint8_t rank) {
  return {name, from, source, Rule::Required, missing, rank};
}
constexpr Member defaulted(json::Key name, From from, json::Key source, std::string_view fallback) {
  return {name, from, source, Rule::Defaulted, fallback};
}
constexpr Member if_set(json::Key name, From from, json::Key source) { return {name, from, source, Rule::IfSet}; }
constexpr Member if_present(json::Key name, From from, json::Key source) {
  return {name, from, source, Rule::IfPresent};
}

constexpr From kRecord = From::Record;
constexpr From kStages = From::Stages;
constexpr From kLayers = From::Layers;
constexpr From kElement = From::Element;

constexpr Member kCycleId = required("cycle_id", kRecord, "cycle_id", "Missing cycle_id", 1);
constexpr Member kTimestamp = required("timestamp", kRecord, "obs_timestamp", "Missing obs_timestamp", 2);
constexpr Member kGuardsMs = defaulted("guards_ms", kStages, "guards", "0.0");
constexpr Member kPolicyMs = defaulted("policy_ms", kStages, "policy", "0.0");
constexpr Member kSinkMs = defaulted("sink_ms", kStages, "sink", "0.0");
constexpr Member kSourceMs = defaulted("source_ms", kStages, "source", "0.0");
constexpr Member kTotalMs = defaulted("total_ms", kStages, "total", "0.0");

// Members in output order, that is in byte order of their names.
constexpr Member kCycleMessage[] = {
    required("active_boundaries", kRecord, "active_boundaries", "Missing active_boundaries", 3),
    defaulted("active_context", kRecord, "active_context", "\"normal\""),
    defaulted("active_task", kRecord, "active_task", "null"),
    required("clamped_layer_mask", kRecord, "clamped_layer_mask", "Missing clamped_layer_mask", 7),
    defaulted("config_version", kRecord, "config_version", "0"),
    defaulted("context_event", kRecord, "context_event", "null"),
    defaulted("context_severity", kRecord, "context_severity", "0"),
    kCycleId,
    kGuardsMs,
    required("has_clamp", kRecord, "has_clamp", "Missing has_clamp", 5),
    required("has_violation", kRecord, "has_violation", "Missing has_violation", 4),
    kPolicyMs,
    kSinkMs,
    kSourceMs,
    kTimestamp,
    kTotalMs,
    required("violated_layer_mask", kRecord, "violated_layer_mask", "Missing violated_layer_mask", 6),
};

constexpr Member kObservationMessage[] = {
    kCycleId,
    required("joint_positions", kRecord, "obs_joint_positions", "Missing obs_joint_positions", 3),
    kTimestamp,
};

constexpr Member kActionMessage[] = {
    kCycleId,
    defaulted("fallback_triggered", kRecord, "fallback_triggered", "null"),
    required("target_positions", kRecord, "action_positions", "Missing action_positions", 3),
    if_set("target_velocities", kRecord, "action_velocities"),
    kTimestamp,
    if_set("validated_positions", kRecord, "validated_positions"),
    if_set("validated_velocities", kRecord, "validated_velocities"),
    required("was_clamped", kRecord, "was_clamped", "Missing was_clamped", 4),
};

constexpr Member kGuardMessage[] = {
    kCycleId,
    required("decision", kElement, "decision", "Missing decision", 4),
    required("decision_name", kElement, "decision_name", "Missing decision_name", 5),
    defaulted("event_class", kElement, "event_class", "null"),
    defaulted("fault_source", kElement, "fault_source", "null"),
    if_present("guard_name", kElement, "guard_name"),  // checked beforehand
    required("is_clamp", kElement, "is_clamp", "Missing is_clamp", 8),
    required("is_violation", kElement, "is_violation", "Missing is_violation", 7),
    defaulted("latency_ms", From::GuardLatency, "", "null"),
    required("layer", kElement, "layer", "Missing guard layer", 3),
    defaulted("metadata", kElement, "metadata", "{}"),
    required("reason", kElement, "reason", "Missing reason", 6),
    kTimestamp,
};

constexpr Member kLatencyMessage[] = {
    if_present("L0_ms", kLayers, "L0"),
    if_present("L1_ms", kLayers, "L1"),
    if_present("L2_ms", kLayers, "L2"),
    if_present("L3_ms", kLayers, "L3"),
    if_present("L4_ms", kLayers, "L4"),
    kCycleId,
    kGuardsMs,
    kPolicyMs,
    kSinkMs,
    kSourceMs,
    kTimestamp,
    kTotalMs,
};

template <std::size_t N>
consteval bool in_output_order(const Member (&table)[N]) {
  for (std::size_t i = 1; i < N; ++i) {
    if (!(table[i - 1].name.name < table[i].name.name)) return false;  // plain byte order, at compile time
  }
  return true;
}
static_assert(in_output_order(kCycleMessage) && in_output_order(kObservationMessage) &&
              in_output_order(kActionMessage) && in_output_order(kGuardMessage) && in_output_order(kLatencyMessage));

constexpr std::size_t kMostMembers = std::size(kCycleMessage);
static_assert(std::size(kGuardMessage) <= kMostMembers && std::size(kLatencyMessage) <= kMostMembers);

// ---- Building ------------------------------------------------------------------------

// The objects a message's members are read from.
struct Sources {
  Node record;
  std::optional<Node> stages;
  std::optional<Node> layers;
  std::optional<Node> element;
  std::optional<Node> guard_latencies;
  std::string_view guard_name;
};

// One member as written: its name (quoted as it stands, or given as JSON
// already) and either a node or a constant.
struct Written {
  std::string_view name;
  std::string_view name_json;  // empty: `name` needs no escapes
  std::optional<Node> value;
  std::string_view literal;

  std::size_t size() const {
    const std::size_t name_size = name_json.empty() ? name.size() + 2 : name_json.size();
    return name_size + 1 + (value ? value->json_size() : literal.size());
  }
};

// A table's members as written: at most one per table row. Members are
// filled in where they stay: copying a temporary in costs a
// store-forwarding stall each.
struct WrittenMembers {
  std::array<Written, kMostMembers> items;
  std::size_t count = 0;

  void add_node(std::string_view name, Node value) {
    Written& member = items[count++];
    member.name = name;
    member.value = value;
  }
  void add_literal(std::string_view name, std::string_view literal) {
    Written& member = items[count++];
    member.name = name;
    member.literal = literal;
  }
  std::span<const Written> view() const { return {items.data(), count}; }
};

// Where the lookups in each source object have got to: the tables name
// their sources mostly in ascending key order.
struct Cursors {
  std::uint32_t record = 0, stages = 0, layers = 0, element = 0, guard_latencies = 0;
};

std::optional<Node> read_member(const Sources& sources, const Member& member, Cursors& cursors) {
  switch (member.from) {
    case From::Record: return sources.record.find(member.source, cursors.record);
    case From::Stages: return sources.stages->find(member.source, cursors.stages);
    case From::Layers: return sources.layers->find(member.source, cursors.layers);
    case From::Element: return sources.element->find(member.source, cursors.element);
    case From::GuardLatency: return sources.guard_latencies->find(sources.guard_name, cursors.guard_latencies);
  }
  return std::nullopt;
}

void copy_to(char*& out, std::string_view text) { json::detail::copy_text(out, text); }

std::string write_object(std::span<const Written> members) {
  std::size_t size = members.empty() ? 2 : 1 + members.size();  // braces and commas
  for (const Written& member : members) size += member.size();
  std::string out(size, '\0');
  char* p = out.data();
  *p++ = '{';
  for (std::size_t i = 0; i < members.size(); ++i) {
    if (i) *p++ = ',';
    if (members[i].name_json.empty()) {
      *p++ = '"';
      copy_to(p, members[i].name);
      *p++ = '"';
    } else {
      copy_to(p, members[i].name_json);
    }
    *p++ = ':';
    if (members[i].value) {
      p = members[i].value->write_json(p);
    } else {
      copy_to(p, members[i].literal);
    }
  }
  *p++ = '}';
  return out;
}

// Resolves a table's members in output order into `out`; fails with the
// lowest-ranked missing required member, which is the first failure in the
// order the checks are made.
std::optional<std::string_view> resolve(std::span<const Member> table, const Sources& sources, WrittenMembers& out) {
  const Member* first_missing = nullptr;
  Cursors cursors;
  for (const Member& member : table) {
    const std::optional<Node> value = read_member(sources, member, cursors);
    switch (member.rule) {
      case Rule::Required:
        if (!value) {
          if (first_missing == nullptr || member.rank < first_missing->rank) first_missing = &member;
          continue;
        }
        break;
      case Rule::Defaulted:
        if (!value) {
          out.add_literal(member.name.name, member.text);
          continue;
        }
        break;
      case Rule::IfSet:
        if (!value || value->is_null()) continue;
        break;
      case Rule::IfPresent:
        if (!value) continue;
        break;
    }
    out.add_node(member.name.name, *value);
  }
  if (first_missing != nullptr) return first_missing->text;
  return std::nullopt;
}

common::Result<std::string> build(std::span<const Member> table, const Sources& sources) {
  WrittenMembers members;
  if (auto missing = resolve(table, sources, members)) return common::fail(std::string(*missing));
  return write_object(members.view());
}

std::optional<Node> object_member(Node from, json::Key key) {
  std::optional<Node> value = from.find(key);
  if (value && !value->is_object()) value.reset();
  return value;
}

constexpr std::size_t kLayerCount = 5;  // the topics cover layers 0..4
constexpr std::array<std::string_view, kLayerCount> kLayerTopics = {"/kiv/L0", "/kiv/L1", "/kiv/L2", "/kiv/L3",
                                                                    "/kiv/L4"};

}  // namespace

common::Result<std::string> build_cycle_message(Node record) {
  const std::optional<Node> stages = object_member(record, "latency_stages");
  if (!stages) return common::fail("Missing latency_stages");
  return build(kCycleMessage, {record, stages, {}, {}, {}, {}});
}

common::Result<std::string> build_observation_message(Node record) {
  WrittenMembers resolved;
  if (auto missing = resolve(kObservationMessage, {record, {}, {}, {}, {}, {}}, resolved)) {
    return common::fail(std::string(*missing));
  }
  // All its members are required, so row i of the table is member i.
  const std::span<const Written> fixed = resolved.view();
  const std::optional<Node> channels = object_member(record, "obs_channels");
  if (!channels) return write_object(fixed);
  // Channels sit at the top level under their own names, in key order with
  // the members above; a channel replaces a member of its name, and one
  // holding null adds nothing.
  std::vector<Written> merged;
  merged.reserve(fixed.size() + channels->size());
  std::size_t next_fixed = 0;
  for (std::size_t i = 0; i < channels->size(); ++i) {
    const Node value = channels->member_value(i);
    if (value.is_null()) continue;
    const std::string_view name = channels->member_key(i);
    const json::Key key(name);
    for (; next_fixed < fixed.size() && kObservationMessage[next_fixed].name < key; ++next_fixed) {
      merged.push_back(fixed[next_fixed]);
    }
    if (next_fixed < fixed.size() && kObservationMessage[next_fixed].name == key) ++next_fixed;  // replaced
    merged.push_back({name, channels->member_key_json(i), value, {}});
  }
  merged.insert(merged.end(), fixed.begin() + static_cast<std::ptrdiff_t>(next_fixed), fixed.end());
  return write_object(merged);
}

common::Result<std::string> build_action_message(Node record) {
  return build(kActionMessage, {record, {}, {}, {}, {}, {}});
}

common::Result<std::string> build_guard_result_message(Node record, Node guard_result) {
  const std::optional<Node> guard_name = guard_result.find("guard_name");
  if (!guard_name || !guard_name->is_string()) return common::fail("Missing guard_name");
  const std::optional<Node> guard_latencies = object_member(record, "latency_guards");
  if (!guard_latencies) return common::fail("Missing latency_guards");
  return build(kGuardMessage, {record, {}, {}, guard_result, guard_latencies, guard_name->text()});
}

common::Result<std::string> build_latency_message(Node record) {
  const std::optional<Node> stages = object_member(record, "latency_stages");
  if (!stages) return common::fail("Missing latency_stages");
  const std::optional<Node> layers = object_member(record, "latency_layers");
  if (!layers) return common::fail("Missing latency_layers");
  return build(kLatencyMessage, {record, stages, layers, {}, {}, {}});
}

common::Result<TopicMap> serialize_cycle(Node record) {
  const std::optional<Node> cycle_id = record.find("cycle_id");
  if (!cycle_id || !cycle_id->unsigned_value()) return common::fail("Missing or invalid cycle_id");
  const std::optional<Node> obs_timestamp = record.find("obs_timestamp");
  if (!obs_timestamp || !obs_timestamp->is_number()) return common::fail("Missing or invalid obs_timestamp");

  TopicMap topics;
  topics.reserve(4 + kLayerCount);
  using Builder = common::Result<std::string> (*)(Node);
  for (auto [topic, build_message] : {std::pair<std::string_view, Builder>{"/kiv/cycle", &build_cycle_message},
                                      {"/kiv/obs", &build_observation_message},
                                      {"/kiv/action", &build_action_message}}) {
    auto message = build_message(record);
    if (!message.ok()) return common::fail(std::move(message).take_error());
    topics.push_back({topic, std::move(message).value()});
  }

  const std::optional<Node> guard_results = record.find("guard_results");
  if (!guard_results || !guard_results->is_array()) return common::fail("Missing or invalid guard_results");
  std::array<std::vector<std::string>, kLayerCount> layer_messages;
  for (std::size_t i = 0; i < guard_results->size(); ++i) {
    const Node guard_result = guard_results->element(i);
    const std::optional<Node> layer_node = guard_result.find("layer");
    const std::optional<std::int64_t> layer = layer_node ? layer_node->signed_value() : std::nullopt;
    if (!layer) return common::fail("Missing or invalid guard layer");
    auto message = build_guard_result_message(record, guard_result);
    if (!message.ok()) return common::fail(std::move(message).take_error());
    // Layers beyond the topics are checked and built all the same.
    if (*layer >= 0 && *layer < static_cast<std::int64_t>(kLayerCount)) layer_messages[static_cast<std::size_t>(*layer)].push_back(std::move(message).value());
  }
  for (std::size_t n = 0; n < kLayerCount; ++n) topics.push_back({kLayerTopics[n], std::move(layer_messages[n])});

  auto latency = build_latency_message(record);
  if (!latency.ok()) return common::fail(std::move(latency).take_error());
  topics.push_back({"/kiv/latency", std::move(latency).value()});
  return topics;
}

}  // namespace kiv::serializer_bus
