#include "metric_bus/metric_bus.h"

#include <memory>

#include "bindings/classes.h"
#include "common/format.h"
#include "kit/type_builder.h"

namespace kiv::python {
namespace {

using metric_bus::MetricBus;

constexpr char kClassDoc[] =
    "MetricBus()\n--\n\n"
    "Per-guard latency / score metrics store with rolling history.\n\n"
    "Three aggregation tiers:\n"
    "  - Per-guard rolling history (push / push_guard)\n"
    "  - Pipeline-stage timing (push_stage): \"source\", \"policy\", \"guards\", \"sink\", \"total\"\n"
    "  - Per-layer guard sums (accumulated via push_guard, committed via commit_cycle)\n\n"
    "Typical call sequence per cycle:\n"
    "  1. push_guard(name, layer, ms)  \u2014 once per guard\n"
    "  2. push_stage(\"source\", ms) \u2026 push_stage(\"total\", ms)\n"
    "  3. commit_cycle()\n"
    "  4. snapshot() \u2192 dict for telemetry broadcast\n\n"
    "Constructor: ``MetricBus()``";
constexpr char kPushDoc[] =
    "push($self, guard_name, value)\n--\n\n"
    "Record a guard latency (ms) without layer info.  Kept for backward compat;\n"
    "prefer ``push_guard`` for new call-sites.";
constexpr char kPushGuardDoc[] =
    "push_guard($self, guard_name, layer, value_ms)\n--\n\n"
    "Record a guard latency (ms) and accumulate into the per-layer sum for\n"
    "the current cycle.  ``layer`` is the raw ``GuardLayer`` integer value.";
constexpr char kPushStageDoc[] =
    "push_stage($self, stage, value_ms)\n--\n\n"
    "Record a pipeline-stage latency (ms).\n"
    "Stage names: ``\"source\"``, ``\"policy\"``, ``\"guards\"``, ``\"sink\"``, ``\"total\"``.";
constexpr char kCommitCycleDoc[] =
    "commit_cycle($self)\n--\n\n"
    "Atomically commit the current cycle's layer accumulators to history and\n"
    "reset them to zero.  Call exactly once per cycle after all push_guard /\n"
    "push_stage calls.";
constexpr char kLatestDoc[] = "latest($self, guard_name)\n--\n\n";
constexpr char kMeanDoc[] = "mean($self, guard_name)\n--\n\n";
constexpr char kMaxDoc[] = "max($self, guard_name)\n--\n\n";
constexpr char kAllLatestDoc[] = "all_latest($self)\n--\n\n";
constexpr char kGuardNamesDoc[] = "guard_names($self)\n--\n\n";
constexpr char kSnapshotDoc[] =
    "snapshot($self)\n--\n\n"
    "Return a point-in-time snapshot of all metrics as a nested dict::\n\n"
    "  {\n"
    "    \"stages\": {\"source\": ms, \"policy\": ms, \"guards\": ms, \"sink\": ms, \"total\": ms},\n"
    "    \"layers\": {\"L0\": ms, \"L2\": ms, ...},   # only layers with data\n"
    "    \"guards\": {\"guard_name\": ms, ...},\n"
    "  }";
constexpr char kClearDoc[] = "clear($self)\n--\n\n";

std::unique_ptr<MetricBus> make() { return std::make_unique<MetricBus>(); }

void push(MetricBus& bus, std::string_view guard_name, double value) { bus.push(guard_name, value); }
void push_guard(MetricBus& bus, std::string_view guard_name, std::uint8_t layer, double value_ms) {
  bus.push_guard(guard_name, layer, value_ms);
}
void push_stage(MetricBus& bus, std::string_view stage, double value_ms) { bus.push_stage(stage, value_ms); }
void commit_cycle(MetricBus& bus) { bus.commit_cycle(); }
std::optional<double> latest(MetricBus& bus, std::string_view guard_name) { return bus.latest(guard_name); }
std::optional<double> mean(MetricBus& bus, std::string_view guard_name) { return bus.mean(guard_name); }
std::optional<double> max(MetricBus& bus, std::string_view guard_name) { return bus.max(guard_name); }
Ref all_latest(MetricBus& bus) { return dict_from(bus.all_latest()); }
std::vector<std::string> guard_names(MetricBus& bus) { return bus.guard_names(); }
void clear(MetricBus& bus) { bus.clear(); }

// The core's copy is taken first: no Python object is built under its locks.
Ref snapshot(MetricBus& bus) {
  const metric_bus::Snapshot snapshot = bus.snapshot();
  DictBuilder layers;
  for (const auto& [layer, sum] : snapshot.layers) layers.set(common::format("L{}", layer), sum);
  DictBuilder result;
  result.set("stages", dict_from(snapshot.stages)).set("layers", layers.release()).set("guards", dict_from(snapshot.guards));
  return result.release();
}

std::string repr(MetricBus& bus) { return common::format("MetricBus(guards={})", bus.guard_count()); }

}  // namespace

PyTypeObject* build_metric_bus_class() {
  return ClassBuilder<MetricBus, kClassDoc>()
      .constructor<&make>()
      .method<&push, kPushDoc>()
      .method<&push_guard, kPushGuardDoc>()
      .method<&push_stage, kPushStageDoc>()
      .method<&commit_cycle, kCommitCycleDoc>()
      .method<&latest, kLatestDoc>()
      .method<&mean, kMeanDoc>()
      .method<&max, kMaxDoc>()
      .method<&all_latest, kAllLatestDoc>()
      .method<&guard_names, kGuardNamesDoc>()
      .method<&snapshot, kSnapshotDoc>()
      .method<&clear, kClearDoc>()
      .repr<&repr>()
      .build();
}

}  // namespace kiv::python
