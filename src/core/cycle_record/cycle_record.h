// The typed cycle record: what the recorder writes for every control cycle.
//
// Field order is part of the recording format: it is the key order of the
// MessagePack maps and the value order of the JSON array form.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/bytes.h"
#include "common/result.h"
#include "json/value.h"

namespace kiv::cycle_record {

using FloatMap = std::unordered_map<std::string, double>;
using ChannelMap = std::unordered_map<std::string, std::vector<double>>;

struct ImageData {
  std::string camera_name;
  double timestamp = 0.0;  // seconds
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  common::Bytes data;  // the encoded frame (JPEG from the image hub)
};

struct GuardResultData {
  std::uint64_t cycle_id = 0;
  double timestamp = 0.0;  // seconds
  std::string guard_name;
  std::optional<std::string> event_class;
  std::uint32_t layer = 0;
  std::uint32_t decision = 0;
  std::string decision_name;
  std::string reason;
  std::optional<double> latency_ms;
  bool is_violation = false;
  bool is_clamp = false;
  std::optional<std::string> fault_source;
  json::Value metadata;  // null when absent
};

std::string default_context_name();

struct CycleRecordData {
  std::uint64_t cycle_id = 0;
  double obs_timestamp = 0.0;  // seconds
  bool has_violation = false;
  bool has_clamp = false;
  std::uint32_t violated_layer_mask = 0;
  std::uint32_t clamped_layer_mask = 0;
  std::optional<std::string> active_task;
  std::vector<std::string> active_boundaries;
  std::vector<std::string> active_cameras;
  std::vector<double> obs_joint_positions;
  ChannelMap obs_channels;
  std::vector<double> action_positions;
  std::optional<std::vector<double>> action_velocities;
  std::optional<std::vector<double>> validated_positions;
  std::optional<std::vector<double>> validated_velocities;
  bool was_clamped = false;
  std::optional<std::string> fallback_triggered;
  std::string active_context = default_context_name();
  std::uint32_t context_severity = 0;
  std::optional<json::Value> context_event;
  std::vector<GuardResultData> guard_results;
  FloatMap latency_stages;  // ms by stage name
  FloatMap latency_layers;  // ms by layer name "L0".."L4"
  FloatMap latency_guards;  // ms by guard name
  std::vector<ImageData> image_data;
  std::uint64_t config_version = 0;
  std::optional<std::string> failure_type;
  std::vector<std::string> failure_guard_names;
  std::vector<std::string> failure_layers;
  std::vector<std::string> failure_decisions;
  std::vector<std::string> failure_reasons;
  std::optional<json::Value> failure_tuple;
};

// Reads one record from JSON text (object or array form). The error is the
// reader's message followed by " at line {} column {}".
common::Result<CycleRecordData> read_cycle_record(std::string_view json_text);
// The same rules for the nested types on their own.
common::Result<GuardResultData> read_guard_result(std::string_view json_text);
common::Result<ImageData> read_image_data(std::string_view json_text);

// Append the MessagePack form to `out`. Fail only when memory runs out (or
// a text is too long for the format); `out` is then left as it was.
common::Status encode_msgpack(const CycleRecordData& record, common::Bytes& out);
common::Status encode_msgpack(const GuardResultData& guard_result, common::Bytes& out);
common::Status encode_msgpack(const ImageData& image, common::Bytes& out);

}  // namespace kiv::cycle_record
