// Telemetry messages of one finished cycle: the record, as a JSON document,
// in; one compact JSON text per topic out.
//
// Each message is described by a table of its members in output order (its
// keys in byte order): where each value comes from, and whether it is
// required, has a default, or appears only when set. The builders check
// only what the tables name and copy the values through whatever their
// kind; the first missing required member, in the order the checks are
// made, is the failure.
#pragma once

#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "common/result.h"
#include "json/document.h"

namespace kiv::serializer_bus {

using Node = json::Document::Node;

// Each gives one message's compact JSON text.
common::Result<std::string> build_cycle_message(Node record);
common::Result<std::string> build_observation_message(Node record);
common::Result<std::string> build_action_message(Node record);
common::Result<std::string> build_guard_result_message(Node record, Node guard_result);
common::Result<std::string> build_latency_message(Node record);

// One message for "/kiv/cycle", "/kiv/obs", "/kiv/action" and
// "/kiv/latency"; a list, in guard order, for each of "/kiv/L0".."/kiv/L4".
struct Topic {
  std::string_view name;
  std::variant<std::string, std::vector<std::string>> messages;
};
using TopicMap = std::vector<Topic>;

// All nine topics, or the first failure's message.
common::Result<TopicMap> serialize_cycle(Node record);

// The Python class's core: no state, every call independent.
class SerializerBus {
 public:
  common::Result<TopicMap> serialize_cycle(Node record) const { return serializer_bus::serialize_cycle(record); }
};

}  // namespace kiv::serializer_bus
