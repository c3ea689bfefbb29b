#include "serializer_bus/serializer_bus.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "json/document.h"

namespace kiv::serializer_bus {
namespace {

// Documents read by the tests; they must outlive the nodes handed out.
class Documents {
 public:
  Node operator()(std::string_view text) {
    auto document = json::Document::read(text);
    if (!document.ok()) throw std::runtime_error(document.error());
    documents_.push_back(std::make_unique<json::Document>(std::move(document).value()));
    return documents_.back()->root();
  }

 private:
  std::vector<std::unique_ptr<json::Document>> documents_;
};

// Topic name -> message texts (a single message as a list of one).
std::map<std::string, std::vector<std::string>> by_topic(const TopicMap& topics) {
  std::map<std::string, std::vector<std::string>> out;
  for (const Topic& topic : topics) {
    auto& texts = out[std::string(topic.name)];
    if (const auto* one = std::get_if<std::string>(&topic.messages)) {
      texts.push_back(*one);
    } else {
      texts = std::get<std::vector<std::string>>(topic.messages);
    }
  }
  return out;
}

constexpr std::string_view kRecord = R"({
  "cycle_id": 42, "obs_timestamp": 1717171717.5, "has_violation": false, "has_clamp": true,
  "violated_layer_mask": 0, "clamped_layer_mask": 2, "active_task": null, "active_boundaries": ["table"],
  "obs_joint_positions": [0.1, -0.25], "obs_channels": {"velocity": [1e-05, 2.0], "torque": null},
  "action_positions": [0.5], "action_velocities": null, "validated_positions": [0.25],
  "was_clamped": true, "context_severity": 1,
  "guard_results": [
    {"guard_name": "speed", "layer": 1, "decision": 1, "decision_name": "CLAMP", "reason": "fast\ttoo",
     "is_violation": false, "is_clamp": true, "latency_ms": 99, "metadata": {"limit": 1.5, "axis": "x"}},
    {"guard_name": "stray", "layer": 7, "decision": 0, "decision_name": "PASS", "reason": "",
     "is_violation": false, "is_clamp": false}
  ],
  "latency_stages": {"source": 0.5, "policy": 1, "total": 3.25},
  "latency_layers": {"L1": 0.125, "L5": 9},
  "latency_guards": {"speed": 0.0625}
})";

TEST(SerializeCycle, WritesEveryTopicWithItsRulesAndDefaults) {
  Documents tree;
  auto topics = serialize_cycle(tree(kRecord));
  ASSERT_TRUE(topics.ok()) << topics.error();
  ASSERT_EQ(topics->size(), 9u);
  const auto texts = by_topic(*topics);
  EXPECT_EQ(texts.at("/kiv/cycle"),
            std::vector<std::string>{
                R"({"active_boundaries":["table"],"active_context":"normal","active_task":null,)"
                R"("clamped_layer_mask":2,"config_version":0,"context_event":null,"context_severity":1,)"
                R"("cycle_id":42,"guards_ms":0.0,"has_clamp":true,"has_violation":false,"policy_ms":1,)"
                R"("sink_ms":0.0,"source_ms":0.5,"timestamp":1717171717.5,"total_ms":3.25,"violated_layer_mask":0})"});
  EXPECT_EQ(texts.at("/kiv/obs"), std::vector<std::string>{R"({"cycle_id":42,"joint_positions":[0.1,-0.25],)"
                                                           R"("timestamp":1717171717.5,"velocity":[0.00001,2.0]})"});
  EXPECT_EQ(texts.at("/kiv/action"),
            std::vector<std::string>{R"({"cycle_id":42,"fallback_triggered":null,"target_positions":[0.5],)"
                                     R"("timestamp":1717171717.5,"validated_positions":[0.25],"was_clamped":true})"});
  EXPECT_EQ(texts.at("/kiv/L1"),
            std::vector<std::string>{R"({"cycle_id":42,"decision":1,"decision_name":"CLAMP","event_class":null,)"
                                     R"("fault_source":null,"guard_name":"speed","is_clamp":true,"is_violation":false,)"
                                     R"("latency_ms":0.0625,"layer":1,"metadata":{"axis":"x","limit":1.5},)"
                                     R"("reason":"fast\ttoo","timestamp":1717171717.5})"});
  for (const char* empty : {"/kiv/L0", "/kiv/L2", "/kiv/L3", "/kiv/L4"}) {
    EXPECT_TRUE(texts.at(empty).empty()) << empty;  // layer 7 goes nowhere
  }
  EXPECT_EQ(texts.at("/kiv/latency"),
            std::vector<std::string>{R"({"L1_ms":0.125,"cycle_id":42,"guards_ms":0.0,"policy_ms":1,"sink_ms":0.0,)"
                                     R"("source_ms":0.5,"timestamp":1717171717.5,"total_ms":3.25})"});
}

TEST(SerializeCycle, GivesTheFirstFailureOnly) {
  Documents tree;
  EXPECT_EQ(serialize_cycle(tree("[]")).error(), "Missing or invalid cycle_id");
  EXPECT_EQ(serialize_cycle(tree(R"({"cycle_id": 1, "obs_timestamp": "t"})")).error(),
            "Missing or invalid obs_timestamp");
  EXPECT_EQ(serialize_cycle(tree(R"({"cycle_id": 1, "obs_timestamp": -2})")).error(), "Missing latency_stages");
}

// Each builder checks what it needs itself, whatever serialize_cycle checked.
TEST(Builders, CheckTheirOwnRequiredMembers) {
  Documents tree;
  const Node empty = tree("{}");
  const Node stages = tree(R"({"latency_stages": {}, "latency_layers": {}, "latency_guards": {}})");
  EXPECT_EQ(build_cycle_message(empty).error(), "Missing latency_stages");
  EXPECT_EQ(build_cycle_message(stages).error(), "Missing cycle_id");
  EXPECT_EQ(build_observation_message(tree(R"({"cycle_id": 1})")).error(), "Missing obs_timestamp");
  EXPECT_EQ(build_action_message(empty).error(), "Missing cycle_id");
  EXPECT_EQ(build_latency_message(tree(R"({"latency_stages": {}})")).error(), "Missing latency_layers");
  EXPECT_EQ(build_latency_message(stages).error(), "Missing cycle_id");
  const Node record = tree(R"({"cycle_id": 1, "obs_timestamp": 2, "latency_guards": {}})");
  EXPECT_EQ(build_guard_result_message(record, tree(R"({"guard_name": 5})")).error(), "Missing guard_name");
  EXPECT_EQ(build_guard_result_message(tree("{}"), tree(R"({"guard_name": "g"})")).error(), "Missing latency_guards");
  EXPECT_EQ(build_guard_result_message(record, tree(R"({"guard_name": "g"})")).error(), "Missing guard layer");
}

TEST(BuildObservationMessage, MergesChannelsInKeyOrderAndLetsThemReplaceMembers) {
  Documents tree;
  const Node record = tree(R"({"cycle_id": 1, "obs_timestamp": 2.5, "obs_joint_positions": [],
    "obs_channels": {"z\u00e9": "caf\u00e9", "a\"": [1], "timestamp": 7, "b": null, "cycle_id": {"x": 1}}})");
  EXPECT_EQ(build_observation_message(record).value(),
            "{\"a\\\"\":[1],\"cycle_id\":{\"x\":1},\"joint_positions\":[],\"timestamp\":7,\"z\xc3\xa9\":\"caf\xc3\xa9\"}");
}

}  // namespace
}  // namespace kiv::serializer_bus
