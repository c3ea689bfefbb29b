// Telemetry messages of one finished cycle: the record, as a JSON value
// tree, in; one compact JSON text per topic out.
//
// Each builder checks only the members it needs and copies the others
// through whatever their kind, renaming some and filling its own defaults.
// Messages borrow their member values from the record (and from constants)
// instead of copying them, so a message is only valid while its record is.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "common/result.h"
#include "json/value.h"

namespace kiv::serializer_bus {

class Message {
 public:
  // Adds a member; a later member of the same name replaces the earlier.
  // Both the name and the value must outlive the message.
  void add(std::string_view key, const json::Value& value) { members_.emplace_back(key, &value); }

  // Compact JSON with the members in ascending byte order of their names.
  std::string to_json() const;

 private:
  std::vector<std::pair<std::string_view, const json::Value*>> members_;
};

common::Result<Message> build_cycle_message(const json::Value& record);
common::Result<Message> build_observation_message(const json::Value& record);
common::Result<Message> build_action_message(const json::Value& record);
common::Result<Message> build_guard_result_message(const json::Value& record, const json::Value& guard_result);
common::Result<Message> build_latency_message(const json::Value& record);

// One message for "/kiv/cycle", "/kiv/obs", "/kiv/action" and
// "/kiv/latency"; a list, in guard order, for each of "/kiv/L0".."/kiv/L4".
struct Topic {
  std::string_view name;
  std::variant<std::string, std::vector<std::string>> messages;
};
using TopicMap = std::vector<Topic>;

// All nine topics, or the first failure's message.
common::Result<TopicMap> serialize_cycle(const json::Value& record);

// The Python class's core: no state, every call independent.
class SerializerBus {
 public:
  common::Result<TopicMap> serialize_cycle(const json::Value& record) const {
    return serializer_bus::serialize_cycle(record);
  }
};

}  // namespace kiv::serializer_bus
