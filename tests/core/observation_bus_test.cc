#include "observation_bus/observation_bus.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace kiv::observation_bus {
namespace {

common::Bytes bytes_of(std::uint8_t value) { return common::Bytes{value}; }

std::vector<common::Bytes> bytes_list(std::initializer_list<std::uint8_t> values) {
  std::vector<common::Bytes> out;
  for (auto v : values) out.push_back(bytes_of(v));
  return out;
}

TEST(ObservationBus, WindowsAreNewestEntriesOldestFirst) {
  ObservationBus bus(3);
  for (std::uint8_t i = 1; i <= 5; ++i) bus.write(bytes_of(i));
  EXPECT_EQ(bus.read_window(10), bytes_list({3, 4, 5}));
  EXPECT_EQ(bus.read_window(2), bytes_list({4, 5}));
  EXPECT_TRUE(bus.read_window(0).empty());
  EXPECT_EQ(bus.read_latest(), bytes_of(5));
  EXPECT_EQ(bus.len(), 3u);
  EXPECT_EQ(bus.capacity(), 3u);
}

TEST(ObservationBus, ZeroCapacityKeepsTheNewest) {
  ObservationBus bus(0);
  EXPECT_TRUE(bus.is_empty());
  EXPECT_EQ(bus.read_latest(), std::nullopt);
  bus.write(bytes_of(1));
  bus.write(bytes_of(2));
  EXPECT_EQ(bus.len(), 1u);
  EXPECT_EQ(bus.read_latest(), bytes_of(2));
  EXPECT_EQ(bus.capacity(), 0u);
}

TEST(ObservationBus, ReadersSeeConsistentWindowsWhileWriting) {
  ObservationBus bus(8);
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (int i = 0; i < 20000; ++i) bus.write(bytes_of(static_cast<std::uint8_t>(i)));
    done = true;
  });
  std::vector<std::thread> readers;
  for (int r = 0; r < 3; ++r) {
    readers.emplace_back([&] {
      while (!done.load()) {
        auto window = bus.read_window(8);
        ASSERT_LE(window.size(), 8u);
        // Entries written in order stay consecutive (mod 256) in any window.
        for (std::size_t i = 1; i < window.size(); ++i) {
          ASSERT_EQ(static_cast<std::uint8_t>(window[i - 1][0] + 1), window[i][0]);
        }
      }
    });
  }
  writer.join();
  for (auto& t : readers) t.join();
  EXPECT_EQ(bus.len(), 8u);
}

}  // namespace
}  // namespace kiv::observation_bus
