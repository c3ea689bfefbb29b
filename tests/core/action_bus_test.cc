#include "action_bus/action_bus.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace kiv::action_bus {
namespace {

common::Bytes bytes_of(std::uint8_t value) { return common::Bytes{value}; }

TEST(ActionBus, CapacityOneKeepsOnlyTheLatest) {
  for (std::uint64_t capacity : {0u, 1u}) {
    ActionBus bus(capacity);
    EXPECT_EQ(bus.capacity(), 1u);
    bus.write(bytes_of(1));
    bus.write(bytes_of(2));
    EXPECT_EQ(bus.read(), bytes_of(2));
    EXPECT_EQ(bus.read(), std::nullopt);
    EXPECT_TRUE(bus.is_empty());
  }
}

TEST(ActionBus, LargerCapacityIsFifoDroppingOldest) {
  ActionBus bus(3);
  for (std::uint8_t i = 1; i <= 5; ++i) bus.write(bytes_of(i));
  EXPECT_EQ(bus.read(), bytes_of(3));
  EXPECT_EQ(bus.read(), bytes_of(4));
  EXPECT_EQ(bus.read(), bytes_of(5));
  EXPECT_EQ(bus.read(), std::nullopt);
}

TEST(ActionBus, EmptyEntryIsStillAnEntry) {
  ActionBus bus(2);
  bus.write({});
  EXPECT_FALSE(bus.is_empty());
  EXPECT_EQ(bus.read(), common::Bytes{});
  EXPECT_TRUE(bus.is_empty());
}

TEST(ActionBus, ConcurrentWritersAndReaderLoseNothingBeyondCapacity) {
  ActionBus bus(64);
  constexpr int kWriters = 4, kPerWriter = 5000;
  std::atomic<int> read_count{0};
  std::atomic<bool> done{false};
  std::thread reader([&] {
    while (!done.load() || !bus.is_empty()) {
      if (bus.read()) read_count.fetch_add(1);
    }
  });
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([&] {
      for (int i = 0; i < kPerWriter; ++i) bus.write(bytes_of(static_cast<std::uint8_t>(i)));
    });
  }
  for (auto& t : writers) t.join();
  done = true;
  reader.join();
  EXPECT_LE(read_count.load(), kWriters * kPerWriter);
  EXPECT_GT(read_count.load(), 0);
  EXPECT_TRUE(bus.is_empty());
}

}  // namespace
}  // namespace kiv::action_bus
