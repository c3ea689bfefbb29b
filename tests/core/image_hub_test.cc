#include "image_hub/image_hub.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <thread>

namespace kiv::image_hub {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

void submit(ImageHub& hub, const char* camera, double timestamp, std::uint8_t byte = 1) {
  hub.submit_jpeg(camera, timestamp, 2, 1, common::Bytes{byte});
}

// Timestamps of the whole history, in history order.
std::vector<double> history(const ImageHub& hub) {
  std::vector<double> out;
  for (const auto& [sequence, frame] : hub.frames_after_until(0, kInf)) out.push_back(frame.timestamp);
  return out;
}

std::vector<std::uint64_t> sequences(const std::vector<std::pair<std::uint64_t, ImageData>>& frames) {
  std::vector<std::uint64_t> out;
  for (const auto& [sequence, frame] : frames) out.push_back(sequence);
  return out;
}

class WindowFloor : public ::testing::TestWithParam<double> {};

// At 0.1 s, a frame at exactly the cutoff stays; a smaller (or negative)
// window would drop it, or even the frame just submitted.
TEST_P(WindowFloor, WindowBelowTheFloorActsAsOneTenthOfASecond) {
  ImageHub hub(GetParam());
  submit(hub, "cam0", 0.0);
  submit(hub, "cam0", 0.1);
  EXPECT_EQ(history(hub), (std::vector<double>{0.0, 0.1}));
  submit(hub, "cam0", 0.2);
  EXPECT_EQ(history(hub), (std::vector<double>{0.1, 0.2}));
}
INSTANTIATE_TEST_SUITE_P(ImageHub, WindowFloor, ::testing::Values(0.0, -5.0, kNaN, 0.1));

TEST(ImageHub, KeepsAWiderWindow) {
  ImageHub hub(2.0);
  for (double t : {0.0, 1.0, 2.0}) submit(hub, "cam0", t);
  EXPECT_EQ(history(hub), (std::vector<double>{0.0, 1.0, 2.0}));
  submit(hub, "cam0", 2.5);
  EXPECT_EQ(history(hub), (std::vector<double>{1.0, 2.0, 2.5}));
}

TEST(ImageHub, TrimsFromTheFrontOnlyAndKeepsTheCutoffFrame) {
  ImageHub hub(1.0);
  for (double t : {0.0, 0.5, 1.0, 2.0}) submit(hub, "cam0", t);
  EXPECT_EQ(history(hub), (std::vector<double>{1.0, 2.0}));

  ImageHub out_of_order(1.0);
  submit(out_of_order, "cam0", 10.0);
  submit(out_of_order, "cam0", 0.0);  // cutoff -1: nothing goes
  EXPECT_EQ(history(out_of_order), (std::vector<double>{10.0, 0.0}));
  submit(out_of_order, "cam0", 20.0);
  EXPECT_EQ(history(out_of_order), (std::vector<double>{20.0}));
}

TEST(ImageHub, NaNFramesNeverHoldBackTrimming) {
  ImageHub hub(1.0);
  submit(hub, "cam0", kNaN);
  submit(hub, "cam0", 1.0);
  submit(hub, "cam0", 1.5);
  // Recorders can never take a NaN frame.
  EXPECT_EQ(sequences(hub.frames_after_until(0, kInf)), (std::vector<std::uint64_t>{2, 3}));
  submit(hub, "cam0", 5.0);
  EXPECT_EQ(history(hub), (std::vector<double>{5.0}));

  // Behind a newer frame, a NaN frame waits its turn like any other.
  submit(hub, "cam0", kNaN);
  submit(hub, "cam0", 5.5);
  EXPECT_EQ(sequences(hub.frames_after_until(0, kInf)), (std::vector<std::uint64_t>{4, 6}));
  submit(hub, "cam0", 9.0);
  EXPECT_EQ(sequences(hub.frames_after_until(0, kInf)), (std::vector<std::uint64_t>{7}));
  EXPECT_EQ(hub.current_sequence(), 7u);
}

TEST(ImageHub, FramesAfterUntilIsExclusiveInSequenceInclusiveInTimeAndTakesNothingAway) {
  ImageHub hub(100.0);
  for (double t : {1.0, 2.0, 3.0, 4.0}) submit(hub, "cam0", t);
  const auto taken = hub.frames_after_until(1, 3.0);
  EXPECT_EQ(sequences(taken), (std::vector<std::uint64_t>{2, 3}));
  EXPECT_EQ(taken[0].second.timestamp, 2.0);
  EXPECT_EQ(taken[1].second.camera_name, "cam0");
  EXPECT_EQ(sequences(hub.frames_after_until(1, 3.0)), (std::vector<std::uint64_t>{2, 3}));
  EXPECT_TRUE(hub.frames_after_until(0, kNaN).empty());
  EXPECT_TRUE(hub.frames_after_until(4, kInf).empty());
  EXPECT_EQ(sequences(hub.frames_after_until(0, -kInf)), (std::vector<std::uint64_t>{}));
}

TEST(ImageHub, LatestFrameByTimestampPerCamera) {
  ImageHub hub(1.0);
  EXPECT_EQ(hub.current_sequence(), 0u);
  EXPECT_TRUE(hub.latest_all().empty());
  EXPECT_FALSE(hub.latest_for("cam0"));

  hub.submit_jpeg("cam0", 1.0, 2, 1, {});  // empty data: ignored
  EXPECT_EQ(hub.current_sequence(), 0u);
  EXPECT_FALSE(hub.latest_for("cam0"));

  submit(hub, "cam0", 5.0, 1);
  submit(hub, "cam0", 4.0, 2);  // older: history only
  EXPECT_EQ(hub.latest_for("cam0")->data, common::Bytes{1});
  submit(hub, "cam0", 5.0, 3);  // equal: replaces
  EXPECT_EQ(hub.latest_for("cam0")->data, common::Bytes{3});
  submit(hub, "cam0", kNaN, 4);  // NaN: keeps the stored frame
  EXPECT_EQ(hub.latest_for("cam0")->data, common::Bytes{3});
  submit(hub, "cam1", kNaN, 5);  // but a first frame is always taken
  EXPECT_EQ(hub.latest_for("cam1")->data, common::Bytes{5});
  EXPECT_FALSE(hub.latest_for("Cam0"));
  EXPECT_EQ(hub.latest_all().size(), 2u);
  EXPECT_EQ(hub.current_sequence(), 5u);

  const auto frame = *hub.latest_for("cam0");
  EXPECT_EQ(frame.camera_name, "cam0");
  EXPECT_EQ(frame.width, 2u);
  EXPECT_EQ(frame.height, 1u);
}

TEST(ImageHub, CopiesShareOneStore) {
  ImageHub hub(1.0);
  ImageHub attached = hub;
  submit(hub, "cam0", 1.0);
  EXPECT_EQ(attached.current_sequence(), 1u);
  EXPECT_EQ(sequences(attached.frames_after_until(0, kInf)), (std::vector<std::uint64_t>{1}));
}

TEST(ImageHub, ConcurrentSubmittersAndReadersSeeAscendingNumbers) {
  ImageHub hub(1000.0);
  constexpr int kThreads = 4, kPerThread = 500;
  std::atomic<bool> done{false};
  std::thread reader([&] {
    std::uint64_t cursor = 0;
    while (!done.load()) {
      for (const auto& [sequence, frame] : hub.frames_after_until(cursor, kInf)) {
        EXPECT_GT(sequence, cursor);
        cursor = sequence;
      }
      (void)hub.latest_all();
    }
  });
  std::vector<std::thread> submitters;
  for (int t = 0; t < kThreads; ++t) {
    submitters.emplace_back([&, t] {
      const std::string camera = "cam" + std::to_string(t);
      for (int i = 0; i < kPerThread; ++i) hub.submit_jpeg(camera, i * 0.001, 1, 1, common::Bytes(64, 7));
    });
  }
  for (auto& thread : submitters) thread.join();
  done = true;
  reader.join();
  EXPECT_EQ(hub.current_sequence(), std::uint64_t{kThreads * kPerThread});
  EXPECT_EQ(hub.frames_after_until(0, kInf).size(), std::size_t{kThreads * kPerThread});
  EXPECT_EQ(hub.latest_all().size(), std::size_t{kThreads});
}

}  // namespace
}  // namespace kiv::image_hub
