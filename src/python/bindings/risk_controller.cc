#include "risk_controller/risk_controller.h"

#include <memory>

#include "bindings/classes.h"
#include "common/format.h"
#include "kit/type_builder.h"

namespace kiv::python {
namespace {

using risk_controller::RiskController;

constexpr char kClassDoc[] =
    "RiskController(window_samples, clamp_threshold, reject_threshold)\n--\n\n"
    "Windowed risk aggregation.\n\n"
    "Maintains a sliding window of cycle outcomes and computes risk level:\n"
    "  0 = NORMAL, 1 = ELEVATED, 2 = CRITICAL, 3 = EMERGENCY.\n\n"
    "Constructor: ``RiskController(window_samples, clamp_threshold, reject_threshold)``";
constexpr char kRecordDoc[] = "record($self, was_clamped, was_rejected)\n--\n\n";
constexpr char kRiskLevelDoc[] = "risk_level($self)\n--\n\n";
constexpr char kIsEmergencyDoc[] = "is_emergency($self)\n--\n\n";
constexpr char kTriggerEmergencyDoc[] = "trigger_emergency($self)\n--\n\n";
constexpr char kClearEmergencyDoc[] = "clear_emergency($self)\n--\n\n";
constexpr char kStatsDoc[] = "stats($self)\n--\n\n";

std::unique_ptr<RiskController> make(std::uint64_t window_samples, std::uint64_t clamp_threshold,
                                     std::uint64_t reject_threshold) {
  return std::make_unique<RiskController>(window_samples, clamp_threshold, reject_threshold);
}

void record(RiskController& risk, bool was_clamped, bool was_rejected) { risk.record(was_clamped, was_rejected); }
std::uint8_t risk_level(RiskController& risk) { return risk.risk_level(); }
bool is_emergency(RiskController& risk) { return risk.is_emergency(); }
void trigger_emergency(RiskController& risk) { risk.trigger_emergency(); }
void clear_emergency(RiskController& risk) { risk.clear_emergency(); }

Ref stats(RiskController& risk) {
  const risk_controller::RiskStats stats = risk.stats();
  DictBuilder dict;
  dict.set("window_size", stats.window_size)
      .set("clamp_count", stats.clamp_count)
      .set("reject_count", stats.reject_count)
      .set("clamp_threshold", stats.clamp_threshold)
      .set("reject_threshold", stats.reject_threshold)
      .set("risk_level", stats.risk_level)
      .set("is_emergency", stats.is_emergency);
  return dict.release();
}

std::string repr(RiskController& risk) {
  return common::format("RiskController(risk_level={}, emergency={})", risk.risk_level(), risk.is_emergency());
}

}  // namespace

PyTypeObject* build_risk_controller_class() {
  return ClassBuilder<RiskController, kClassDoc>()
      .constructor<&make>()
      .method<&record, kRecordDoc>()
      .method<&risk_level, kRiskLevelDoc>()
      .method<&is_emergency, kIsEmergencyDoc>()
      .method<&trigger_emergency, kTriggerEmergencyDoc>()
      .method<&clear_emergency, kClearEmergencyDoc>()
      .method<&stats, kStatsDoc>()
      .repr<&repr>()
      .build();
}

}  // namespace kiv::python
