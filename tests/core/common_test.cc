#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <string>
#include <thread>

#include "common/bytes.h"
#include "common/float_text.h"
#include "common/format.h"
#include "common/pending_work.h"
#include "common/ring.h"

namespace kiv::common {
namespace {

TEST(Format, FillsPlaceholdersInOrder) {
  EXPECT_EQ(format("Failed to process cycle {}: {}", std::uint64_t{7}, "boom"), "Failed to process cycle 7: boom");
  EXPECT_EQ(format("{}x{} {}", 2u, -3, true), "2x-3 true");
  EXPECT_EQ(format("no placeholders"), "no placeholders");
  EXPECT_EQ(format("{} and {}", "only one"), "only one and {}");
}

struct FloatCase {
  double value;
  const char* text;
};

class PlainFloatText : public ::testing::TestWithParam<FloatCase> {};

TEST_P(PlainFloatText, SpellsShortestPlainDecimal) {
  EXPECT_EQ(plain_float_text(GetParam().value), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Values, PlainFloatText,
    ::testing::Values(FloatCase{100.0, "100"}, FloatCase{2.5, "2.5"}, FloatCase{0.0001, "0.0001"},
                      FloatCase{1e21, "1000000000000000000000"}, FloatCase{33.3, "33.3"},
                      FloatCase{std::nan(""), "NaN"}, FloatCase{std::numeric_limits<double>::infinity(), "inf"},
                      FloatCase{-std::numeric_limits<double>::infinity(), "-inf"}, FloatCase{-0.0, "-0"},
                      FloatCase{0.1 + 0.2, "0.30000000000000004"}, FloatCase{123456789012.5, "123456789012.5"}));

TEST(Ring, KeepsOrderAcrossWrapAround) {
  Ring<int> ring(3);
  for (int i = 1; i <= 5; ++i) ring.push_back_evicting(i);
  ASSERT_EQ(ring.size(), 3u);
  EXPECT_EQ(ring.front(), 3);
  EXPECT_EQ(ring[1], 4);
  EXPECT_EQ(ring.back(), 5);
  EXPECT_EQ(ring.pop_front(), 3);
  ring.push_back(6);
  EXPECT_EQ(ring[0], 4);
  EXPECT_EQ(ring[2], 6);
}

TEST(Ring, ReleasesOwnedEntries) {
  auto shared = std::make_shared<int>(1);
  {
    Ring<std::shared_ptr<int>> ring(2);
    ring.push_back(shared);
    ring.push_back_evicting(shared);
    ring.push_back_evicting(shared);
    EXPECT_EQ(shared.use_count(), 3);
  }
  EXPECT_EQ(shared.use_count(), 1);
}

TEST(Ring, RefusesImpossibleCapacity) {
  EXPECT_THROW(Ring<std::string>(std::numeric_limits<std::size_t>::max()), std::bad_alloc);
}

TEST(AssignReusing, KeepsStorageOfSimilarSizeAndGivesBackFarLarger) {
  common::Bytes buffer(1 << 20, 1);
  const common::Bytes small(100, 2);
  common::assign_reusing(buffer, small);
  EXPECT_EQ(buffer, small);
  EXPECT_LT(buffer.capacity(), std::size_t{1} << 20);  // one large entry does not keep its memory

  common::Bytes similar(300, 3);
  buffer.reserve(400);
  const auto* storage = buffer.data();
  common::assign_reusing(buffer, similar);
  EXPECT_EQ(buffer, similar);
  EXPECT_EQ(buffer.data(), storage);  // no allocation on the warm path
}

TEST(PendingWork, CountsFromBeginUntilReleasedWhereverItMoved) {
  using namespace std::chrono_literals;
  const auto soon = [] { return std::chrono::steady_clock::now() + 20ms; };
  ASSERT_EQ(pending_work_count(), 0u);
  EXPECT_TRUE(wait_for_pending_work(soon()));
  { PendingWork nothing; }
  EXPECT_EQ(pending_work_count(), 0u);

  PendingWork first = PendingWork::begin();
  PendingWork second = PendingWork::begin();
  EXPECT_EQ(pending_work_count(), 2u);
  PendingWork moved = std::move(first);
  first = std::move(moved);  // moved back: still one count, not two or none
  EXPECT_EQ(pending_work_count(), 2u);
  second = PendingWork();  // releases what it held
  EXPECT_EQ(pending_work_count(), 1u);
  EXPECT_FALSE(wait_for_pending_work(soon()));

  std::thread finisher([work = std::move(first)]() mutable {
    std::this_thread::sleep_for(20ms);
    work.release();
  });
  EXPECT_TRUE(wait_for_pending_work(std::chrono::steady_clock::now() + 20s));
  EXPECT_EQ(pending_work_count(), 0u);
  finisher.join();
}

}  // namespace
}  // namespace kiv::common
