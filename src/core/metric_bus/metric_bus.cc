#include "metric_bus/metric_bus.h"

#include <limits>

namespace kiv::metric_bus {

// ---- Series tables ---------------------------------------------------------

void MetricBus::SeriesTable::record(std::string_view name, double value) {
  std::lock_guard lock(mutex_);
  auto found = series_.find(name);
  if (found == series_.end()) {
    series_.try_emplace(std::string(name), value);
    return;
  }
  found->second.history.push_back_evicting(value);
  found->second.latest = value;
}

template <typename Fn>
auto MetricBus::SeriesTable::with_series(std::string_view name, Fn&& fn) const
    -> std::optional<decltype(fn(std::declval<const Series&>()))> {
  std::lock_guard lock(mutex_);
  auto found = series_.find(name);
  if (found == series_.end()) return std::nullopt;
  return fn(found->second);
}

NamedValues MetricBus::SeriesTable::latest_values() const {
  NamedValues values;
  std::lock_guard lock(mutex_);
  values.reserve(series_.size());
  for (const auto& [name, series] : series_) values.emplace_back(name, series.latest);
  return values;
}

std::vector<std::string> MetricBus::SeriesTable::names() const {
  std::vector<std::string> names;
  std::lock_guard lock(mutex_);
  names.reserve(series_.size());
  for (const auto& entry : series_) names.push_back(entry.first);
  return names;
}

std::size_t MetricBus::SeriesTable::size() const {
  std::lock_guard lock(mutex_);
  return series_.size();
}

void MetricBus::SeriesTable::clear() {
  std::lock_guard lock(mutex_);
  series_.clear();
}

// ---- Pushes and commits ----------------------------------------------------

void MetricBus::push(std::string_view guard_name, double value) { guards_.record(guard_name, value); }

void MetricBus::push_guard(std::string_view guard_name, std::uint8_t layer, double value_ms) {
  guards_.record(guard_name, value_ms);
  std::lock_guard lock(accumulators_mutex_);
  accumulators_[layer] += value_ms;  // a new entry starts from 0.0
}

void MetricBus::push_stage(std::string_view stage, double value_ms) { stages_.record(stage, value_ms); }

void MetricBus::commit_cycle() {
  // Held together, so a push_guard lands wholly in this cycle or the next.
  std::lock_guard accumulators_lock(accumulators_mutex_);
  std::lock_guard history_lock(layer_history_mutex_);
  for (auto& [layer, sum] : accumulators_) {
    layer_history_.try_emplace(layer, kHistoryLength).first->second.push_back_evicting(sum);
    sum = 0.0;
  }
}

// ---- Queries ---------------------------------------------------------------

std::optional<double> MetricBus::latest(std::string_view guard_name) const {
  return guards_.with_series(guard_name, [](const Series& series) { return series.latest; });
}

std::optional<double> MetricBus::mean(std::string_view guard_name) const {
  return guards_.with_series(guard_name, [](const Series& series) {
    double sum = -0.0;
    series.history.for_each([&](double value) { sum += value; });
    return sum / static_cast<double>(series.history.size());
  });
}

std::optional<double> MetricBus::max(std::string_view guard_name) const {
  return guards_.with_series(guard_name, [](const Series& series) {
    double largest = -std::numeric_limits<double>::infinity();
    series.history.for_each([&](double value) {
      if (value > largest) largest = value;  // false for NaN: it never wins
    });
    return largest;
  });
}

NamedValues MetricBus::all_latest() const { return guards_.latest_values(); }

std::vector<std::string> MetricBus::guard_names() const { return guards_.names(); }

std::size_t MetricBus::guard_count() const { return guards_.size(); }

Snapshot MetricBus::snapshot() const {
  Snapshot snapshot;
  snapshot.stages = stages_.latest_values();
  {
    std::lock_guard lock(layer_history_mutex_);
    snapshot.layers.reserve(layer_history_.size());
    for (const auto& [layer, history] : layer_history_) {
      if (!history.empty()) snapshot.layers.emplace_back(layer, history.back());
    }
  }
  snapshot.guards = guards_.latest_values();
  return snapshot;
}

std::vector<double> MetricBus::layer_history(std::uint8_t layer) const {
  std::vector<double> sums;
  std::lock_guard lock(layer_history_mutex_);
  auto found = layer_history_.find(layer);
  if (found != layer_history_.end()) found->second.for_each([&](double sum) { sums.push_back(sum); });
  return sums;
}

void MetricBus::clear() {
  guards_.clear();
  stages_.clear();
  {
    std::lock_guard lock(accumulators_mutex_);
    accumulators_.clear();
  }
  std::lock_guard lock(layer_history_mutex_);
  layer_history_.clear();
}

}  // namespace kiv::metric_bus
