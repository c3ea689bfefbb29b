#include "cycle_record/cycle_record.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "msgpack_reader.h"

namespace kiv::cycle_record {
namespace {

using testing::Item;
using testing::ItemList;
using testing::ItemMap;
using testing::MsgpackReader;

// The sixteen required fields and nothing else.
constexpr std::string_view kMinimalRecord =
    R"({"cycle_id": 7, "obs_timestamp": 12, "has_violation": false, "has_clamp": true, )"
    R"("violated_layer_mask": 0, "clamped_layer_mask": 4294967295, "active_boundaries": ["table"], )"
    R"("obs_joint_positions": [0.5, -1], "obs_channels": {}, "action_positions": [], "was_clamped": false, )"
    R"("guard_results": [], "latency_stages": {}, "latency_layers": {}, "latency_guards": {}, "image_data": []})";

// Every field set, as the Python layer sends it (declaration order).
constexpr std::string_view kFullRecord = R"({
  "cycle_id": 18446744073709551615, "obs_timestamp": 1717171717.25, "has_violation": true, "has_clamp": true,
  "violated_layer_mask": 4, "clamped_layer_mask": 2, "active_task": "pick", "active_boundaries": ["table", "wall"],
  "active_cameras": ["wrist"], "obs_joint_positions": [0.1, -0.2, 3],
  "obs_channels": {"ee_pose": [1.5, 2.5], "torques": []},
  "action_positions": [0.25], "action_velocities": [-1.0], "validated_positions": [0.125], "validated_velocities": null,
  "was_clamped": true, "fallback_triggered": "hold", "active_context": "rain", "context_severity": 2,
  "context_event": {"kind": "wet", "level": -3},
  "guard_results": [
    {"cycle_id": 5, "timestamp": 1.5, "guard_name": "speed", "event_class": "limit", "layer": 1, "decision": 2,
     "decision_name": "CLAMP", "reason": "too fast", "latency_ms": 3, "is_violation": false, "is_clamp": true,
     "fault_source": "joint_3", "metadata": {"b": 1, "a": 2.5}},
    {"cycle_id": 5, "timestamp": 1.5, "guard_name": "zone", "event_class": null, "layer": 4, "decision": 0,
     "decision_name": "PASS", "reason": "", "latency_ms": null, "is_violation": false, "is_clamp": false,
     "fault_source": null}
  ],
  "latency_stages": {"source": 0.5, "total": 2}, "latency_layers": {"L1": 0.25}, "latency_guards": {"speed": 0.75},
  "image_data": [
    {"camera_name": "wrist", "timestamp": 1.25, "width": 2, "height": 1, "data": "\u0001\u0002"},
    ["top", 1.5, 1, 1, [255, 0]]
  ],
  "config_version": 9, "failure_type": "violation", "failure_guard_names": ["zone"], "failure_layers": ["L4"],
  "failure_decisions": ["REJECT"], "failure_reasons": ["outside"], "failure_tuple": ["zone", 4, null]
})";

const std::vector<std::string> kCycleKeys = {
    "cycle_id", "obs_timestamp", "has_violation", "has_clamp", "violated_layer_mask", "clamped_layer_mask",
    "active_task", "active_boundaries", "active_cameras", "obs_joint_positions", "obs_channels", "action_positions",
    "action_velocities", "validated_positions", "validated_velocities", "was_clamped", "fallback_triggered",
    "active_context", "context_severity", "context_event", "guard_results", "latency_stages", "latency_layers",
    "latency_guards", "image_data", "config_version", "failure_type", "failure_guard_names", "failure_layers",
    "failure_decisions", "failure_reasons", "failure_tuple"};
const std::vector<std::string> kGuardKeys = {"cycle_id",      "timestamp",  "guard_name", "event_class", "layer",
                                             "decision",      "decision_name", "reason", "latency_ms",
                                             "is_violation",  "is_clamp",   "fault_source", "metadata"};
const std::vector<std::string> kImageKeys = {"camera_name", "timestamp", "width", "height", "data"};

CycleRecordData read_ok(std::string_view text) {
  auto result = read_cycle_record(text);
  if (!result.ok()) ADD_FAILURE() << result.error();
  return result.ok() ? std::move(result).value() : CycleRecordData{};
}

std::string read_error(std::string_view text) {
  auto result = read_cycle_record(text);
  return result.ok() ? "(accepted)" : result.error();
}

template <typename Record>
common::Bytes encoded(const Record& record) {
  common::Bytes out;
  auto status = encode_msgpack(record, out);
  EXPECT_TRUE(status.ok()) << status.error();
  return out;
}

// The bytes that follow the MessagePack key `key` (a fixstr) in `bytes`.
common::Bytes bytes_after_key(const common::Bytes& bytes, std::string_view key, std::size_t count) {
  common::Bytes needle{static_cast<std::uint8_t>(0xa0 | key.size())};
  needle.insert(needle.end(), key.begin(), key.end());
  auto at = std::search(bytes.begin(), bytes.end(), needle.begin(), needle.end());
  if (at == bytes.end()) {
    ADD_FAILURE() << "key not found: " << key;
    return {};
  }
  at += static_cast<std::ptrdiff_t>(needle.size());
  return common::Bytes(at, at + static_cast<std::ptrdiff_t>(std::min<std::size_t>(count, bytes.end() - at)));
}

common::Bytes float64_bytes(double value) {
  common::Bytes out{0xcb};
  const auto bits = std::bit_cast<std::uint64_t>(value);
  for (int shift = 56; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(bits >> shift));
  return out;
}

// ---- Reading -------------------------------------------------------------------

TEST(ReadCycleRecord, GivesDefaultsToEveryFieldLeftOut) {
  const CycleRecordData record = read_ok(kMinimalRecord);
  EXPECT_EQ(record.cycle_id, 7u);
  EXPECT_EQ(record.obs_timestamp, 12.0);
  EXPECT_EQ(record.clamped_layer_mask, 4294967295u);
  EXPECT_EQ(record.obs_joint_positions, (std::vector<double>{0.5, -1.0}));
  EXPECT_FALSE(record.active_task);
  EXPECT_FALSE(record.action_velocities);
  EXPECT_FALSE(record.validated_positions);
  EXPECT_FALSE(record.validated_velocities);
  EXPECT_FALSE(record.fallback_triggered);
  EXPECT_FALSE(record.context_event);
  EXPECT_FALSE(record.failure_type);
  EXPECT_FALSE(record.failure_tuple);
  EXPECT_TRUE(record.active_cameras.empty());
  EXPECT_TRUE(record.failure_guard_names.empty() && record.failure_layers.empty() &&
              record.failure_decisions.empty() && record.failure_reasons.empty());
  EXPECT_EQ(record.active_context, "normal");
  EXPECT_EQ(default_context_name(), "normal");
  EXPECT_EQ(record.context_severity, 0u);
  EXPECT_EQ(record.config_version, 0u);
}

TEST(ReadCycleRecord, ReadsEveryField) {
  const CycleRecordData record = read_ok(kFullRecord);
  EXPECT_EQ(record.cycle_id, 18446744073709551615u);
  EXPECT_EQ(record.obs_timestamp, 1717171717.25);
  EXPECT_TRUE(record.has_violation && record.has_clamp && record.was_clamped);
  EXPECT_EQ(record.active_task, "pick");
  EXPECT_EQ(record.active_boundaries, (std::vector<std::string>{"table", "wall"}));
  EXPECT_EQ(record.obs_joint_positions, (std::vector<double>{0.1, -0.2, 3.0}));
  EXPECT_EQ(record.obs_channels, (ChannelMap{{"ee_pose", {1.5, 2.5}}, {"torques", {}}}));
  EXPECT_EQ(record.action_velocities, (std::vector<double>{-1.0}));
  EXPECT_FALSE(record.validated_velocities);
  EXPECT_EQ(record.fallback_triggered, "hold");
  EXPECT_EQ(record.active_context, "rain");
  EXPECT_EQ(record.context_severity, 2u);
  EXPECT_EQ(record.context_event, json::Value(json::Object{{"kind", "wet"}, {"level", -3}}));
  ASSERT_EQ(record.guard_results.size(), 2u);
  const GuardResultData& speed = record.guard_results[0];
  EXPECT_EQ(speed.guard_name, "speed");
  EXPECT_EQ(speed.event_class, "limit");
  EXPECT_EQ(speed.layer, 1u);
  EXPECT_EQ(speed.decision, 2u);
  EXPECT_EQ(speed.latency_ms, 3.0);
  EXPECT_EQ(speed.fault_source, "joint_3");
  EXPECT_EQ(speed.metadata, json::Value(json::Object{{"a", 2.5}, {"b", 1}}));
  const GuardResultData& zone = record.guard_results[1];
  EXPECT_FALSE(zone.event_class || zone.latency_ms || zone.fault_source);
  EXPECT_TRUE(zone.metadata.is_null());
  EXPECT_EQ(record.latency_stages, (FloatMap{{"source", 0.5}, {"total", 2.0}}));
  ASSERT_EQ(record.image_data.size(), 2u);
  EXPECT_EQ(record.image_data[0].data, (common::Bytes{1, 2}));
  EXPECT_EQ(record.image_data[1].camera_name, "top");
  EXPECT_EQ(record.image_data[1].data, (common::Bytes{0xff, 0x00}));
  EXPECT_EQ(record.config_version, 9u);
  EXPECT_EQ(record.failure_reasons, (std::vector<std::string>{"outside"}));
  EXPECT_EQ(record.failure_tuple, json::Value(json::Array{"zone", 4, nullptr}));
}

TEST(ReadCycleRecord, SkipsUnknownKeysWhateverTheyHold) {
  std::string text(kMinimalRecord);
  text.insert(1, R"("extra": {"deep": [[1, {"x": null}], "s", -2.5e300]}, "cycle": 1, )");
  const CycleRecordData record = read_ok(text);
  EXPECT_EQ(record.cycle_id, 7u);
  EXPECT_EQ(MsgpackReader::decode(encoded(record)).keys(), kCycleKeys);
}

TEST(ReadCycleRecord, KeepsTheLastValueOfARepeatedMapKey) {
  std::string text(kMinimalRecord);
  text.replace(text.find(R"("latency_stages": {})"), 20, R"("latency_stages": {"total": 1, "total": 2})");
  EXPECT_EQ(read_ok(text).latency_stages, (FloatMap{{"total", 2.0}}));
}

TEST(ReadCycleRecord, NamesTheFirstMissingFieldInDeclarationOrder) {
  std::string text(kMinimalRecord);
  for (std::string_view field : {R"("cycle_id": 7, )", R"("has_clamp": true, )"}) {
    text.erase(text.find(field), field.size());
  }
  EXPECT_EQ(read_error(text), "missing field `cycle_id` at line 1 column " + std::to_string(text.size()));
}

TEST(ReadCycleRecord, RefusesARepeatedFieldAfterItsKey) {
  EXPECT_EQ(read_error(R"({"cycle_id": 1, "cycle_id": 2})"), "duplicate field `cycle_id` at line 1 column 26");
  EXPECT_EQ(read_error(R"({"guard_results": [{"layer": 1, "layer": 1}]})"),
            "duplicate field `layer` at line 1 column 39");
}

// A record whose first member is refused, so reading stops there.
struct FieldCase {
  std::string text;
  std::string message;
};

class FieldRefusal : public ::testing::TestWithParam<FieldCase> {};

TEST_P(FieldRefusal, NamesWhatWasFoundAndWhatTheFieldTakes) {
  EXPECT_EQ(read_error(GetParam().text), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, FieldRefusal,
    ::testing::Values(
        FieldCase{R"({"cycle_id": 7.5})", "invalid type: floating point `7.5`, expected u64 at line 1 column 16"},
        FieldCase{R"({"cycle_id": 7.0})", "invalid type: floating point `7.0`, expected u64 at line 1 column 16"},
        FieldCase{R"({"cycle_id": 1e3})", "invalid type: floating point `1000.0`, expected u64 at line 1 column 16"},
        FieldCase{R"({"cycle_id": -1})", "invalid value: integer `-1`, expected u64 at line 1 column 15"},
        FieldCase{R"({"cycle_id": true})", "invalid type: boolean `true`, expected u64 at line 1 column 17"},
        FieldCase{R"({"cycle_id": null})", "invalid type: null, expected u64 at line 1 column 17"},
        FieldCase{R"({"cycle_id": 18446744073709551616})",
                  "invalid type: floating point `18446744073709551616.0`, expected u64 at line 1 column 33"},
        FieldCase{R"({"context_severity": -1})", "invalid value: integer `-1`, expected u32 at line 1 column 23"},
        FieldCase{R"({"violated_layer_mask": 4294967296})",
                  "invalid value: integer `4294967296`, expected u32 at line 1 column 34"},
        FieldCase{R"({"obs_timestamp": "12"})", "invalid type: string \"12\", expected f64 at line 1 column 22"},
        FieldCase{R"({"obs_timestamp": NaN})", "expected value at line 1 column 19"},
        FieldCase{R"({"has_clamp": 1})", "invalid type: integer `1`, expected a boolean at line 1 column 15"},
        FieldCase{R"({"active_task": 5})", "invalid type: integer `5`, expected a string at line 1 column 17"},
        FieldCase{R"({"active_context": null})", "invalid type: null, expected a string at line 1 column 23"},
        FieldCase{R"({"config_version": null})", "invalid type: null, expected u64 at line 1 column 23"},
        FieldCase{R"({"active_cameras": null})", "invalid type: null, expected a sequence at line 1 column 23"},
        FieldCase{R"({"active_boundaries": "table"})",
                  "invalid type: string \"table\", expected a sequence at line 1 column 29"},
        FieldCase{R"({"active_boundaries": [1]})", "invalid type: integer `1`, expected a string at line 1 column 24"},
        FieldCase{R"({"obs_joint_positions": [1, null]})",
                  "invalid type: null, expected f64 at line 1 column 32"},
        FieldCase{R"({"obs_channels": []})", "invalid type: sequence, expected a map at line 1 column 17"},
        FieldCase{R"({"obs_channels": {"a": null}})", "invalid type: null, expected a sequence at line 1 column 27"},
        FieldCase{R"({"latency_stages": {"total": "1"}})",
                  "invalid type: string \"1\", expected f64 at line 1 column 32"},
        FieldCase{R"({"guard_results": [5]})",
                  "invalid type: integer `5`, expected struct GuardResultData at line 1 column 20"},
        FieldCase{R"({"guard_results": [{"metadata": NaN}]})", "expected value at line 1 column 33"},
        FieldCase{R"({"guard_results": [{"layer": 5000000000}]})",
                  "invalid value: integer `5000000000`, expected u32 at line 1 column 39"},
        FieldCase{R"({"guard_results": [{"cycle_id": 1}]})", "missing field `timestamp` at line 1 column 34"},
        FieldCase{R"({"image_data": [{"data": [255, 256]}]})",
                  "invalid value: integer `256`, expected u8 at line 1 column 34"},
        FieldCase{R"({"image_data": [{"data": [-1]}]})", "invalid value: integer `-1`, expected u8 at line 1 column 28"},
        FieldCase{R"({"image_data": [{"data": [1.5]}]})",
                  "invalid type: floating point `1.5`, expected u8 at line 1 column 29"},
        FieldCase{R"({"image_data": [{"data": 5}]})", "invalid type: integer `5`, expected byte array at line 1 column 26"},
        FieldCase{R"({"image_data": [{"width": 1, "camera_name": "c"}]})",
                  "missing field `timestamp` at line 1 column 48"},
        FieldCase{R"({"image_data": [null]})", "invalid type: null, expected struct ImageData at line 1 column 20"},
        // The whole text of the wrong kind.
        FieldCase{"5", "invalid type: integer `5`, expected struct CycleRecordData at line 1 column 1"},
        FieldCase{"\"x\"", "invalid type: string \"x\", expected struct CycleRecordData at line 1 column 3"},
        FieldCase{"null", "invalid type: null, expected struct CycleRecordData at line 1 column 4"},
        FieldCase{"{", "EOF while parsing an object at line 1 column 1"}));

TEST(ReadCycleRecord, RefusesAnythingAfterTheRecord) {
  std::string text(kMinimalRecord);
  text.append(" \n x");
  EXPECT_EQ(read_error(text), "trailing characters at line 2 column 2");
  EXPECT_TRUE(read_cycle_record(std::string(kMinimalRecord) + " \r\n\t").ok());
}

// ---- Array form ------------------------------------------------------------------

// The field values of kMinimalRecord in declaration order, through
// `image_data`, with the optional ones null.
std::string array_record(int extra_fields = 0) {
  std::string text =
      R"([7, 12, false, true, 0, 4294967295, null, ["table"], [], [0.5, -1], {}, [], null, null, null, false, )"
      R"(null, "normal", 0, null, [], {}, {}, {}, [])";
  const char* const rest[] = {"9", "\"oops\"", "[]", "[]", "[]", "[\"why\"]", "{\"t\": 1}", "0"};
  for (int i = 0; i < extra_fields; ++i) text.append(", ").append(rest[i]);
  return text + "]";
}

TEST(ReadCycleRecord, ReadsTheArrayFormWithTheLastFieldsLeftOff) {
  const CycleRecordData record = read_ok(array_record());
  EXPECT_EQ(record.cycle_id, 7u);
  EXPECT_EQ(record.clamped_layer_mask, 4294967295u);
  EXPECT_EQ(record.active_boundaries, (std::vector<std::string>{"table"}));
  EXPECT_EQ(record.config_version, 0u);
  EXPECT_FALSE(record.failure_tuple);

  const CycleRecordData full = read_ok(array_record(7));
  EXPECT_EQ(full.config_version, 9u);
  EXPECT_EQ(full.failure_type, "oops");
  EXPECT_EQ(full.failure_reasons, (std::vector<std::string>{"why"}));
  EXPECT_EQ(full.failure_tuple, json::Value(json::Object{{"t", 1}}));
}

TEST(ReadCycleRecord, RefusesAShortOrLongArrayForm) {
  EXPECT_EQ(read_error("[]"), "invalid length 0, expected struct CycleRecordData with 32 elements at line 1 column 2");
  std::string short_form = array_record();
  short_form.erase(short_form.rfind(", []"), 4);  // drop image_data
  EXPECT_EQ(read_error(short_form), "invalid length 24, expected struct CycleRecordData with 32 elements at line 1 column " +
                                        std::to_string(short_form.size()));
  const std::string long_form = array_record(8);
  EXPECT_EQ(read_error(long_form), "trailing characters at line 1 column " + std::to_string(long_form.size() - 1));
}

TEST(ReadGuardResult, TakesTheArrayFormWithoutMetadataOnly) {
  auto guard = read_guard_result(R"([1, 2.5, "g", null, 3, 0, "PASS", "ok", null, false, false, null])");
  ASSERT_TRUE(guard.ok()) << guard.error();
  EXPECT_EQ(guard->guard_name, "g");
  EXPECT_TRUE(guard->metadata.is_null());
  EXPECT_EQ(read_guard_result(R"([1, 2.5, "g", null, 3, 0, "PASS", "ok", null, false, false])").error(),
            "invalid length 11, expected struct GuardResultData with 13 elements at line 1 column 59");
}

TEST(ReadImageData, NeedsAllFiveValuesInTheArrayForm) {
  auto image = read_image_data(R"(["cam", 1.5, 2, 1, "abc"])");
  ASSERT_TRUE(image.ok()) << image.error();
  EXPECT_EQ(image->data, (common::Bytes{'a', 'b', 'c'}));
  EXPECT_EQ(read_image_data(R"(["cam", 1.5, 2, 1])").error(),
            "invalid length 4, expected struct ImageData with 5 elements at line 1 column 18");
}

// ---- MessagePack -------------------------------------------------------------------

TEST(EncodeMsgpack, WritesTheImageExampleByteForByte) {
  ImageData image{"cam", 1.5, 2, 1, {0x01, 0x02, 0x03}};
  common::Bytes expected{0x85};
  auto key = [&](std::string_view name) {
    expected.push_back(static_cast<std::uint8_t>(0xa0 | name.size()));
    expected.insert(expected.end(), name.begin(), name.end());
  };
  key("camera_name");
  expected.insert(expected.end(), {0xa3, 'c', 'a', 'm'});
  key("timestamp");
  expected.insert(expected.end(), {0xcb, 0x3f, 0xf8, 0, 0, 0, 0, 0, 0});
  key("width");
  expected.push_back(0x02);
  key("height");
  expected.push_back(0x01);
  key("data");
  expected.insert(expected.end(), {0xc4, 0x03, 0x01, 0x02, 0x03});
  EXPECT_EQ(encoded(image), expected);
}

TEST(EncodeMsgpack, WritesEveryKeyOfAMinimalRecordWithAbsentOnesAsNil) {
  const common::Bytes bytes = encoded(read_ok(kMinimalRecord));
  EXPECT_EQ(common::Bytes(bytes.begin(), bytes.begin() + 3), (common::Bytes{0xde, 0x00, 0x20}));
  const Item record = MsgpackReader::decode(bytes);
  EXPECT_EQ(record.keys(), kCycleKeys);
  for (const char* absent : {"active_task", "action_velocities", "validated_positions", "validated_velocities",
                             "fallback_triggered", "context_event", "failure_type", "failure_tuple"}) {
    EXPECT_TRUE(record.at(absent).is_nil()) << absent;
  }
  EXPECT_EQ(record.at("active_context").as<std::string>(), "normal");
  EXPECT_TRUE(record.at("failure_reasons").as<ItemList>().empty());
  // Whatever a field's width, integers take their smallest form; floats
  // stay float 64 even when whole.
  EXPECT_EQ(bytes_after_key(bytes, "cycle_id", 1), (common::Bytes{0x07}));
  EXPECT_EQ(bytes_after_key(bytes, "clamped_layer_mask", 5), (common::Bytes{0xce, 0xff, 0xff, 0xff, 0xff}));
  EXPECT_EQ(bytes_after_key(bytes, "obs_timestamp", 9), float64_bytes(12.0));
  EXPECT_EQ(bytes_after_key(bytes, "obs_joint_positions", 19),
            (common::Bytes{0x92, 0xcb, 0x3f, 0xe0, 0, 0, 0, 0, 0, 0, 0xcb, 0xbf, 0xf0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(bytes_after_key(bytes, "image_data", 1), (common::Bytes{0x90}));
  EXPECT_EQ(bytes_after_key(bytes, "latency_stages", 1), (common::Bytes{0x80}));
}

TEST(EncodeMsgpack, WritesAFullRecordThatDecodesToItsValues) {
  const common::Bytes bytes = encoded(read_ok(kFullRecord));
  const Item record = MsgpackReader::decode(bytes);
  EXPECT_EQ(record.keys(), kCycleKeys);
  EXPECT_EQ(record.at("cycle_id").as<std::uint64_t>(), 18446744073709551615u);
  EXPECT_EQ(record.at("obs_joint_positions").as<ItemList>()[2].as<double>(), 3.0);
  EXPECT_EQ(record.at("obs_channels").at("ee_pose").as<ItemList>()[1].as<double>(), 2.5);
  EXPECT_EQ(record.at("latency_stages").at("total").as<double>(), 2.0);
  EXPECT_TRUE(record.at("validated_velocities").is_nil());
  EXPECT_EQ(record.at("context_event").keys(), (std::vector<std::string>{"kind", "level"}));
  EXPECT_EQ(record.at("context_event").at("level").as<std::int64_t>(), -3);
  EXPECT_EQ(bytes_after_key(bytes, "level", 1), (common::Bytes{0xfd}));  // negative fixint

  const auto& guards = record.at("guard_results").as<ItemList>();
  ASSERT_EQ(guards.size(), 2u);
  EXPECT_EQ(guards[0].keys(), kGuardKeys);
  EXPECT_EQ(guards[0].at("latency_ms").as<double>(), 3.0);
  // Object members come out in key order, whatever order they were read in.
  const Item& metadata = guards[0].at("metadata");
  EXPECT_EQ(metadata.keys(), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(bytes_after_key(bytes, "metadata", 14),
            (common::Bytes{0x82, 0xa1, 'a', 0xcb, 0x40, 0x04, 0, 0, 0, 0, 0, 0, 0xa1, 'b'}));
  EXPECT_EQ(metadata.at("b").as<std::uint64_t>(), 1u);
  EXPECT_TRUE(guards[1].at("latency_ms").is_nil());
  EXPECT_TRUE(guards[1].at("metadata").is_nil());

  const auto& images = record.at("image_data").as<ItemList>();
  ASSERT_EQ(images.size(), 2u);
  EXPECT_EQ(images[0].keys(), kImageKeys);
  EXPECT_EQ(images[0].at("data").as<common::Bytes>(), (common::Bytes{1, 2}));
  EXPECT_EQ(images[1].at("data").as<common::Bytes>(), (common::Bytes{0xff, 0x00}));

  const auto& failure_tuple = record.at("failure_tuple").as<ItemList>();
  ASSERT_EQ(failure_tuple.size(), 3u);
  EXPECT_EQ(failure_tuple[0].as<std::string>(), "zone");
  EXPECT_TRUE(failure_tuple[2].is_nil());
}

TEST(EncodeMsgpack, WritesAGuardResultOnItsOwn) {
  GuardResultData guard;
  guard.guard_name = "g";
  guard.latency_ms = 3.0;
  const common::Bytes bytes = encoded(guard);
  EXPECT_EQ(bytes.front(), 0x8d);
  const Item item = MsgpackReader::decode(bytes);
  EXPECT_EQ(item.keys(), kGuardKeys);
  EXPECT_TRUE(item.at("event_class").is_nil());
  EXPECT_EQ(bytes_after_key(bytes, "latency_ms", 9), float64_bytes(3.0));
}

TEST(EncodeMsgpack, AppendsToTheCallersBuffer) {
  common::Bytes out{0xaa};
  ASSERT_TRUE(encode_msgpack(ImageData{"c", 0.0, 0, 0, {}}, out).ok());
  EXPECT_EQ(out.front(), 0xaa);
  EXPECT_EQ(out[1], 0x85);
  EXPECT_EQ(out.back(), 0x00);  // bin 8 of length 0
}

}  // namespace
}  // namespace kiv::cycle_record
