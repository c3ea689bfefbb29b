#include "metric_bus/metric_bus.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <numeric>
#include <thread>
#include <vector>

namespace kiv::metric_bus {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Table order is arbitrary: compare sorted.
template <typename Items>
Items sorted(Items items) {
  std::sort(items.begin(), items.end());
  return items;
}

TEST(MetricBus, HistoryKeepsTheLast64Values) {
  MetricBus bus;
  for (int i = 1; i <= 70; ++i) bus.push("g", i);
  EXPECT_EQ(bus.mean("g"), 38.5);  // 7 .. 70
  EXPECT_EQ(bus.max("g"), 70.0);
  EXPECT_EQ(bus.latest("g"), 70.0);
}

TEST(MetricBus, UnknownNamesGiveNothing) {
  MetricBus bus;
  bus.push_stage("g", 1.0);  // stages are a table of their own
  EXPECT_EQ(bus.latest("g"), std::nullopt);
  EXPECT_EQ(bus.mean("g"), std::nullopt);
  EXPECT_EQ(bus.max("g"), std::nullopt);
}

TEST(MetricBus, PushAndPushGuardShareTheGuardSeries) {
  MetricBus bus;
  bus.push("g", 5.0);
  bus.push_guard("g", 1, 7.0);
  EXPECT_EQ(bus.latest("g"), 7.0);
  EXPECT_EQ(bus.mean("g"), 6.0);
  bus.commit_cycle();
  EXPECT_EQ(bus.layer_history(1), std::vector<double>{7.0});  // only the push_guard value
}

TEST(MetricBus, NaNHandling) {
  MetricBus bus;
  bus.push("all_nan", kNaN);
  bus.push("all_nan", kNaN);
  EXPECT_EQ(bus.max("all_nan"), -std::numeric_limits<double>::infinity());
  bus.push("mixed", 1.0);
  bus.push("mixed", kNaN);
  bus.push("mixed", 3.0);
  EXPECT_TRUE(std::isnan(*bus.mean("mixed")));
  EXPECT_EQ(bus.max("mixed"), 3.0);
  bus.push("mixed", kNaN);
  EXPECT_TRUE(std::isnan(*bus.latest("mixed")));
}

TEST(MetricBus, MeanStartsFromNegativeZero) {
  MetricBus bus;
  bus.push("g", -0.0);
  EXPECT_TRUE(std::signbit(*bus.mean("g")));  // -0.0 + -0.0; from +0.0 it would be +0.0
}

TEST(MetricBus, CommitMovesLayerSumsIntoHistory) {
  MetricBus bus;
  bus.commit_cycle();  // nothing known yet: no history appears
  EXPECT_TRUE(bus.snapshot().layers.empty());
  bus.push_guard("a", 0, 1.5);
  bus.push_guard("b", 0, 2.0);
  bus.push_guard("c", 2, 3.0);
  EXPECT_TRUE(bus.snapshot().layers.empty());  // pending sums are not shown
  bus.commit_cycle();
  EXPECT_EQ(sorted(bus.snapshot().layers), (LayerValues{{0, 3.5}, {2, 3.0}}));
  bus.commit_cycle();
  EXPECT_EQ(sorted(bus.snapshot().layers), (LayerValues{{0, 0.0}, {2, 0.0}}));
  for (int i = 0; i < 70; ++i) bus.commit_cycle();
  EXPECT_EQ(bus.layer_history(0).size(), kHistoryLength);
}

TEST(MetricBus, SnapshotAndListings) {
  MetricBus bus;
  bus.push_stage("source", 0.5);
  bus.push_stage("warmup", 1.0);
  bus.push_stage("source", 0.7);
  bus.push_guard("limits", 4, 0.25);
  bus.push("legacy", 2.0);
  bus.commit_cycle();
  const Snapshot snapshot = bus.snapshot();
  const NamedValues guards{{"legacy", 2.0}, {"limits", 0.25}};
  EXPECT_EQ(sorted(snapshot.stages), (NamedValues{{"source", 0.7}, {"warmup", 1.0}}));
  EXPECT_EQ(snapshot.layers, (LayerValues{{4, 0.25}}));
  EXPECT_EQ(sorted(snapshot.guards), guards);
  EXPECT_EQ(sorted(bus.all_latest()), guards);
  EXPECT_EQ(sorted(bus.guard_names()), (std::vector<std::string>{"legacy", "limits"}));
  EXPECT_EQ(bus.guard_count(), 2u);
}

TEST(MetricBus, ClearEmptiesEveryTable) {
  MetricBus bus;
  bus.push_guard("a", 1, 1.0);
  bus.push_stage("total", 2.0);
  bus.commit_cycle();
  bus.push_guard("a", 1, 1.0);  // pending at clear()
  bus.clear();
  EXPECT_EQ(bus.guard_count(), 0u);
  EXPECT_EQ(bus.latest("a"), std::nullopt);
  const Snapshot snapshot = bus.snapshot();
  EXPECT_TRUE(snapshot.stages.empty() && snapshot.layers.empty() && snapshot.guards.empty());
  bus.commit_cycle();  // no layer is known any more
  EXPECT_TRUE(bus.snapshot().layers.empty());
  bus.push_guard("a", 1, 4.0);
  bus.commit_cycle();
  EXPECT_EQ(bus.layer_history(1), std::vector<double>{4.0});  // the pending 1.0 was dropped
}

// Pushers, a committer and readers at once (run under ThreadSanitizer).
// Every accumulation lands in exactly one committed sum.
TEST(MetricBus, ConcurrentPushesAreCommittedExactlyOnce) {
  MetricBus bus;
  constexpr int kPushers = 3;
  constexpr int kPushesEach = 20000;
  std::atomic<int> pushers_running{kPushers};
  std::vector<std::thread> threads;
  for (int t = 0; t < kPushers; ++t) {
    threads.emplace_back([&, t] {
      const std::string name = "guard" + std::to_string(t);
      for (int i = 0; i < kPushesEach; ++i) {
        bus.push_guard(name, 3, 1.0);
        bus.push_stage("total", 0.5);
      }
      --pushers_running;
    });
  }
  // Fewer commits than the history holds, so every committed sum stays visible.
  threads.emplace_back([&] {
    for (int i = 0; i < 40 && pushers_running.load() > 0; ++i) {
      bus.commit_cycle();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  threads.emplace_back([&] {
    while (pushers_running.load() > 0) {
      const Snapshot snapshot = bus.snapshot();
      EXPECT_LE(snapshot.guards.size(), static_cast<std::size_t>(kPushers));
      EXPECT_LE(bus.mean("guard0").value_or(1.0), 1.0);
    }
  });
  for (auto& thread : threads) thread.join();
  bus.commit_cycle();
  const std::vector<double> sums = bus.layer_history(3);
  ASSERT_LE(sums.size(), 41u);
  EXPECT_EQ(std::accumulate(sums.begin(), sums.end(), 0.0), double{kPushers * kPushesEach});
}

}  // namespace
}  // namespace kiv::metric_bus
