// Latency metrics store of the control loop. Per guard name and per stage
// name it keeps a rolling history of the most recent values and the latest
// value; per guard layer it adds up the guard latencies of the current cycle
// and keeps the committed per-cycle sums. Values are milliseconds supplied
// by the caller: the store has no clock of its own.
//
// Four tables, each behind a mutex of its own. Every operation takes one
// table lock at a time, except commit_cycle(), which holds the accumulator
// lock and inside it the layer history lock (never the other way round).
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/ring.h"

namespace kiv::metric_bus {

// Entries every rolling history keeps, reserved when it is created.
inline constexpr std::size_t kHistoryLength = 64;

using NamedValues = std::vector<std::pair<std::string, double>>;
using LayerValues = std::vector<std::pair<std::uint8_t, double>>;

struct Snapshot {
  NamedValues stages;  // latest value per stage
  LayerValues layers;  // most recent committed sum per layer with history
  NamedValues guards;  // latest value per guard
};

class MetricBus {
 public:
  // Into the guard's series, without a layer.
  void push(std::string_view guard_name, double value);
  // Into the guard's series and the layer's sum for the current cycle.
  void push_guard(std::string_view guard_name, std::uint8_t layer, double value_ms);
  void push_stage(std::string_view stage, double value_ms);
  // Appends every layer's sum to its history and zeroes it; a layer stays
  // known (and gets a 0.0 sum each commit) until clear().
  void commit_cycle();

  std::optional<double> latest(std::string_view guard_name) const;
  // Of the guard's history: summed oldest first from -0.0 (a NaN makes it NaN).
  std::optional<double> mean(std::string_view guard_name) const;
  // Of the guard's history, NaN skipped: only NaN values give -inf.
  std::optional<double> max(std::string_view guard_name) const;

  NamedValues all_latest() const;
  std::vector<std::string> guard_names() const;
  std::size_t guard_count() const;
  // The three parts are read one after another, each under its own lock.
  Snapshot snapshot() const;
  // Committed sums of one layer, oldest first (diagnostics and tests).
  std::vector<double> layer_history(std::uint8_t layer) const;
  void clear();

 private:
  struct Series {
    explicit Series(double first) : latest(first) { history.push_back(first); }
    common::Ring<double> history{kHistoryLength};
    double latest;
  };

  // Looks names up without building a std::string on the hot path.
  struct NameHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view name) const { return std::hash<std::string_view>{}(name); }
  };

  class SeriesTable {
   public:
    void record(std::string_view name, double value);
    // Calls fn(series) under the lock if the name is present.
    template <typename Fn>
    auto with_series(std::string_view name, Fn&& fn) const -> std::optional<decltype(fn(std::declval<const Series&>()))>;
    NamedValues latest_values() const;
    std::vector<std::string> names() const;
    std::size_t size() const;
    void clear();

   private:
    mutable std::mutex mutex_;
    std::unordered_map<std::string, Series, NameHash, std::equal_to<>> series_;  // guarded by mutex_
  };

  SeriesTable guards_;
  SeriesTable stages_;
  mutable std::mutex accumulators_mutex_;
  std::unordered_map<std::uint8_t, double> accumulators_;  // guarded by accumulators_mutex_
  mutable std::mutex layer_history_mutex_;
  std::unordered_map<std::uint8_t, common::Ring<double>> layer_history_;  // guarded by layer_history_mutex_
};

}  // namespace kiv::metric_bus
