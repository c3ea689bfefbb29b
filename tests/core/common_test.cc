#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "common/float_text.h"
#include "common/format.h"
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

}  // namespace
}  // namespace kiv::common
