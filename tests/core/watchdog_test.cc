#include "watchdog/watchdog.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace kiv::watchdog {
namespace {

using namespace std::chrono_literals;

constexpr double kInf = std::numeric_limits<double>::infinity();

// Generous, so that the timing tests pass on a loaded machine.
constexpr auto kPatience = 5s;

template <typename Predicate>
bool eventually(Predicate predicate) {
  const auto give_up = Clock::now() + kPatience;
  while (!predicate()) {
    if (Clock::now() > give_up) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

int watcher_threads() {
  int count = 0;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream comm(task.path() / "comm");
    std::string name;
    if (std::getline(comm, name) && name == "kiv-watchdog") ++count;
  }
  return count;
}

// ---- Deadline conversion ---------------------------------------------------

struct MicrosCase {
  double deadline_ms;
  std::uint64_t micros;
};

void PrintTo(const MicrosCase& c, std::ostream* out) { *out << c.deadline_ms << " ms"; }

class DeadlineMicros : public ::testing::TestWithParam<MicrosCase> {};

TEST_P(DeadlineMicros, TruncatesAndSaturates) {
  EXPECT_EQ(deadline_micros(GetParam().deadline_ms), GetParam().micros);
}

INSTANTIATE_TEST_SUITE_P(
    Values, DeadlineMicros,
    ::testing::Values(MicrosCase{100.0, 100'000}, MicrosCase{10.0004, 10'000}, MicrosCase{0.0004, 0},
                      MicrosCase{0.0, 0}, MicrosCase{-0.0, 0}, MicrosCase{-5.0, 0}, MicrosCase{std::nan(""), 0},
                      MicrosCase{-kInf, 0}, MicrosCase{1e16, 10'000'000'000'000'000'000u},
                      MicrosCase{18446744073709551.616, UINT64_MAX}, MicrosCase{1e300, UINT64_MAX},
                      MicrosCase{kInf, UINT64_MAX}));

TEST(Duration, SplitsMicrosIntoSecondsAndNanoseconds) {
  EXPECT_EQ(duration_from_micros(10'000), (Duration{0, 10'000'000}));
  EXPECT_EQ(duration_from_micros(2'500'001), (Duration{2, 500'001'000}));
  EXPECT_EQ(duration_from_micros(UINT64_MAX), (Duration{18'446'744'073'709, 551'615'000}));
}

TEST(Duration, ComparesSecondsBeforeNanoseconds) {
  EXPECT_GT((Duration{1, 0}), (Duration{0, 999'999'999}));
  EXPECT_GT((Duration{1, 2}), (Duration{1, 1}));
  EXPECT_FALSE((Duration{1, 1}) > (Duration{1, 1}));  // equal to the deadline is not late
}

TEST(Duration, ElapsedIsNeverNegative) {
  const Clock::time_point now = Clock::now();
  EXPECT_EQ(elapsed_between(now, now - 1s), Duration{});
  EXPECT_EQ(elapsed_between(now, now + 1500ms), (Duration{1, 500'000'000}));
  EXPECT_DOUBLE_EQ(to_milliseconds(Duration{1, 500'000'000}), 1500.0);
}

// ---- Arming epochs ---------------------------------------------------------

TEST(ArmingState, ExpiryRaisesEmergencyAndEndsTheArming) {
  ArmingState state;
  EXPECT_FALSE(state.is_armed());
  const auto epoch = state.arm();
  EXPECT_TRUE(state.watches(epoch));
  EXPECT_TRUE(state.expire(epoch));
  EXPECT_TRUE(state.is_emergency());
  EXPECT_FALSE(state.is_armed());
  EXPECT_FALSE(state.watches(epoch));
  EXPECT_FALSE(state.expire(epoch));  // fires once
}

TEST(ArmingState, WatcherOfAnEarlierArmingCannotFireOrCancel) {
  ArmingState state;
  const auto first = state.arm();
  const auto second = state.arm();
  EXPECT_NE(first, second);
  EXPECT_FALSE(state.watches(first));
  EXPECT_FALSE(state.expire(first));
  EXPECT_FALSE(state.is_emergency());
  EXPECT_TRUE(state.watches(second));
  EXPECT_TRUE(state.is_armed());
}

TEST(ArmingState, DisarmWinsOverALaterExpiry) {
  ArmingState state;
  const auto epoch = state.arm();
  state.disarm();
  EXPECT_FALSE(state.expire(epoch));
  EXPECT_FALSE(state.is_emergency());
}

TEST(ArmingState, FlagsChangeIndependently) {
  ArmingState state;
  const auto epoch = state.arm();
  ASSERT_TRUE(state.expire(epoch));
  state.clear_emergency();
  EXPECT_FALSE(state.is_emergency());
  EXPECT_FALSE(state.is_armed());  // clearing the flag does not re-arm
  const auto next = state.arm();
  ASSERT_TRUE(state.expire(next));
  state.disarm();
  EXPECT_TRUE(state.is_emergency());  // disarm leaves the latch set
  state.arm();
  EXPECT_FALSE(state.is_emergency());  // arm clears it
  EXPECT_TRUE(state.is_armed());
}

// ---- The timer -------------------------------------------------------------

TEST(WatchdogTimer, ZeroNegativeAndNaNDeadlinesExpireAtTheFirstPoll) {
  for (double deadline : {0.0, 0.0004, -3.0, std::nan("")}) {
    WatchdogTimer timer(deadline);
    timer.arm();
    EXPECT_TRUE(eventually([&] { return timer.is_emergency(); })) << deadline;
    EXPECT_FALSE(timer.is_armed());
    timer.ping();
    EXPECT_TRUE(timer.is_emergency());  // a ping does not clear the latch
  }
}

TEST(WatchdogTimer, ExpiresAfterTheDeadlineNeverBefore) {
  WatchdogTimer timer(30.0);
  timer.arm();
  const auto pinged = Clock::now();
  timer.ping();
  ASSERT_TRUE(eventually([&] { return timer.is_emergency(); }));
  EXPECT_GE(Clock::now() - pinged, 30ms);
  EXPECT_FALSE(timer.is_armed());
}

TEST(WatchdogTimer, RegularPingsKeepItFromExpiring) {
  WatchdogTimer timer(250.0);
  timer.arm();
  const auto until = Clock::now() + 400ms;
  while (Clock::now() < until) {
    timer.ping();
    std::this_thread::sleep_for(2ms);
  }
  EXPECT_FALSE(timer.is_emergency());
  EXPECT_TRUE(timer.is_armed());
}

TEST(WatchdogTimer, NothingIsRaisedAfterDisarm) {
  // With a zero deadline every poll finds the deadline passed: only the
  // arming epoch keeps a watcher that was asleep at disarm() from firing
  // when it wakes. The pause lets the watcher reach its first sleep.
  for (int round = 0; round < 20; ++round) {
    WatchdogTimer timer(0.0);
    timer.arm();
    std::this_thread::sleep_for(300us);
    timer.disarm();
    const bool raised_before_disarm = timer.is_emergency();
    std::this_thread::sleep_for(5ms);
    EXPECT_EQ(timer.is_emergency(), raised_before_disarm) << round;
  }
}

TEST(WatchdogTimer, ClearEmergencyAfterExpiryLeavesItUnarmedUntilArm) {
  WatchdogTimer timer(0.0);
  timer.arm();
  ASSERT_TRUE(eventually([&] { return timer.is_emergency(); }));
  timer.clear_emergency();
  EXPECT_FALSE(timer.is_emergency());
  EXPECT_FALSE(timer.is_armed());
  timer.arm();
  EXPECT_TRUE(timer.is_armed());
  EXPECT_TRUE(eventually([&] { return timer.is_emergency(); }));
}

TEST(WatchdogTimer, ReArmingStillExpiresOncePingsStop) {
  WatchdogTimer timer(20.0);
  timer.arm();
  timer.arm();
  EXPECT_FALSE(timer.is_emergency());
  EXPECT_TRUE(timer.is_armed());
  EXPECT_TRUE(eventually([&] { return timer.is_emergency(); }));
}

TEST(WatchdogTimer, InfiniteDeadlineNeverExpires) {
  WatchdogTimer timer(kInf);
  timer.arm();
  std::this_thread::sleep_for(20ms);
  EXPECT_FALSE(timer.is_emergency());
  EXPECT_TRUE(timer.is_armed());
}

TEST(WatchdogTimer, StaleWatchersEndAndReleasingDisarms) {
  ASSERT_TRUE(eventually([] { return watcher_threads() == 0; }));  // earlier tests' watchers
  auto timer = std::make_unique<WatchdogTimer>(kInf);
  for (int i = 0; i < 5; ++i) timer->arm();
  EXPECT_TRUE(eventually([] { return watcher_threads() == 1; }));
  timer.reset();
  EXPECT_TRUE(eventually([] { return watcher_threads() == 0; }));
}

TEST(WatchdogTimer, ElapsedSincePingMeasuresFromTheLastStamp) {
  WatchdogTimer timer(100.0);
  const double fresh = timer.elapsed_since_ping_ms();
  EXPECT_GE(fresh, 0.0);
  std::this_thread::sleep_for(20ms);
  const double later = timer.elapsed_since_ping_ms();
  EXPECT_GE(later, 20.0);
  timer.ping();
  EXPECT_LT(timer.elapsed_since_ping_ms(), later);
  EXPECT_EQ(timer.deadline_ms(), 100.0);
}

// Several threads ping, arm, disarm, clear and read at once (run under
// ThreadSanitizer); afterwards the timer still works and no watcher is left.
TEST(WatchdogTimer, ConcurrentUseStaysConsistent) {
  auto timer = std::make_unique<WatchdogTimer>(2.0);
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (int i = 0; i < 2; ++i) {
    threads.emplace_back([&] {
      while (!stop.load()) timer->ping();
    });
  }
  threads.emplace_back([&] {
    for (int i = 0; !stop.load(); ++i) {
      timer->arm();
      if (i % 3 == 0) timer->disarm();
      std::this_thread::sleep_for(1ms);
    }
  });
  threads.emplace_back([&] {
    while (!stop.load()) {
      if (timer->is_emergency()) timer->clear_emergency();
      EXPECT_GE(timer->elapsed_since_ping_ms(), 0.0);
    }
  });
  std::this_thread::sleep_for(300ms);
  stop = true;
  for (auto& thread : threads) thread.join();

  timer->arm();
  EXPECT_TRUE(eventually([&] { return timer->is_emergency(); }));
  timer.reset();
  EXPECT_TRUE(eventually([] { return watcher_threads() == 0; }));
}

}  // namespace
}  // namespace kiv::watchdog
