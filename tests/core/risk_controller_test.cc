#include "risk_controller/risk_controller.h"

#include <gtest/gtest.h>

#include <atomic>
#include <limits>
#include <new>
#include <stdexcept>
#include <thread>
#include <vector>

namespace kiv::risk_controller {
namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

void record_times(RiskController& risk, int times, bool clamped, bool rejected) {
  for (int i = 0; i < times; ++i) risk.record(clamped, rejected);
}

TEST(RiskController, FreshControllerIsNormal) {
  RiskController risk(10, 3, 2);
  const RiskStats stats = risk.stats();
  EXPECT_EQ(stats.window_size, 0u);
  EXPECT_EQ(stats.clamp_count, 0u);
  EXPECT_EQ(stats.reject_count, 0u);
  EXPECT_EQ(stats.clamp_threshold, 3u);
  EXPECT_EQ(stats.reject_threshold, 2u);
  EXPECT_EQ(stats.risk_level, kNormal);
  EXPECT_FALSE(stats.is_emergency);
}

TEST(RiskController, GradesTheWindowAndSlides) {
  RiskController risk(10, 3, 2);
  record_times(risk, 2, false, true);
  EXPECT_EQ(risk.risk_level(), kElevated);  // reject threshold reached
  record_times(risk, 4, false, true);
  EXPECT_EQ(risk.risk_level(), kCritical);  // 6 = 3 × 2 rejects
  record_times(risk, 10, false, false);
  EXPECT_EQ(risk.risk_level(), kNormal);  // all slid out
  record_times(risk, 3, true, false);
  EXPECT_EQ(risk.risk_level(), kElevated);
  record_times(risk, 7, true, false);
  EXPECT_EQ(risk.risk_level(), kElevated);  // clamps alone never go higher
  const RiskStats stats = risk.stats();
  EXPECT_EQ(stats.window_size, 10u);
  EXPECT_EQ(stats.clamp_count, 10u);
  EXPECT_EQ(stats.reject_count, 0u);
}

struct ThresholdCase {
  std::uint64_t clamp_threshold;
  std::uint64_t reject_threshold;
  int rejects;  // recorded before grading, without clamps
  std::uint8_t level;
};

class Thresholds : public ::testing::TestWithParam<ThresholdCase> {};

TEST_P(Thresholds, GradeWholeCounts) {
  const ThresholdCase& c = GetParam();
  RiskController risk(100, c.clamp_threshold, c.reject_threshold);
  record_times(risk, c.rejects, false, true);
  EXPECT_EQ(risk.risk_level(), c.level);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Thresholds,
    ::testing::Values(ThresholdCase{5, 0, 0, kCritical},  // 0 >= 3 × 0 from the start
                      ThresholdCase{0, 2, 1, kElevated},  // 0 >= clamp threshold 0
                      ThresholdCase{5, 1, 3, kCritical}, ThresholdCase{5, 1, 2, kElevated},
                      // 3 × (kMax / 3) is exactly kMax: no overflow.
                      ThresholdCase{kMax, kMax / 3, 2, kNormal},
                      // 3 × this would wrap to 2: saturated, two rejects stay normal.
                      ThresholdCase{kMax, kMax / 3 + 1, 2, kNormal}, ThresholdCase{kMax, kMax, 3, kNormal}));

TEST(RiskController, ZeroWindowJudgesTheLatestOutcome) {
  RiskController risk(0, 1, 1);
  EXPECT_EQ(risk.stats().window_size, 0u);
  risk.record(false, true);
  EXPECT_EQ(risk.risk_level(), kElevated);
  risk.record(false, false);
  EXPECT_EQ(risk.risk_level(), kNormal);
  record_times(risk, 5, true, false);
  EXPECT_EQ(risk.stats().window_size, 1u);
  EXPECT_EQ(risk.stats().clamp_count, 1u);
}

TEST(RiskController, EmergencyLatchOverridesTheGrade) {
  RiskController risk(10, 3, 2);
  risk.trigger_emergency();
  risk.trigger_emergency();
  EXPECT_EQ(risk.risk_level(), kEmergency);
  record_times(risk, 20, false, false);
  EXPECT_TRUE(risk.is_emergency());  // recording does not clear it
  EXPECT_EQ(risk.stats().risk_level, kEmergency);
  record_times(risk, 2, false, true);
  risk.clear_emergency();
  EXPECT_FALSE(risk.is_emergency());
  EXPECT_EQ(risk.risk_level(), kElevated);
}

TEST(RiskController, WindowsFrom2To63AreACapacityOverflow) {
  for (std::uint64_t samples : {std::uint64_t{1} << 63, kMax}) {
    try {
      RiskController risk(samples, 1, 1);
      ADD_FAILURE() << samples;
    } catch (const std::runtime_error& error) {
      EXPECT_STREQ(error.what(), "capacity overflow");
    }
  }
}

TEST(RiskController, UnreservableWindowIsBadAlloc) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizers' operator new reports an impossible size instead of throwing";
#else
  EXPECT_THROW(RiskController((std::uint64_t{1} << 63) - 1, 1, 1), std::bad_alloc);
#endif
}

// Recorders and readers at once (run under ThreadSanitizer).
TEST(RiskController, ConcurrentRecordsAndReads) {
  RiskController risk(32, 4, 4);
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 20000; ++i) risk.record(i % 2 == t, i % 7 == 0);
    });
  }
  threads.emplace_back([&] {
    while (!stop.load()) {
      const RiskStats stats = risk.stats();
      EXPECT_LE(stats.window_size, 32u);
      EXPECT_LE(stats.clamp_count, stats.window_size);
      EXPECT_LE(risk.risk_level(), kCritical);
    }
  });
  threads[0].join();
  threads[1].join();
  stop = true;
  threads[2].join();
  EXPECT_EQ(risk.stats().window_size, 32u);
}

}  // namespace
}  // namespace kiv::risk_controller
