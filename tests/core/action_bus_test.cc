#include "action_bus/action_bus.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <mutex>
#include <new>
#include <thread>
#include <utility>
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

// A reader that fails while copying the entry out must not lose it.
TEST(ActionBus, EntryStaysWhenTheReaderThrows) {
  ActionBus bus(2);
  bus.write(bytes_of(7));
  EXPECT_THROW(bus.read_with([](common::ByteView) { throw std::bad_alloc(); }), std::bad_alloc);
  common::Bytes seen;
  EXPECT_TRUE(bus.read_with([&](common::ByteView entry) { seen.assign(entry.begin(), entry.end()); }));
  EXPECT_EQ(seen, bytes_of(7));
  EXPECT_FALSE(bus.read_with([](common::ByteView) { FAIL() << "visited an empty bus"; }));
}

// Entries of every size pass through the recycled storage intact, whether
// they shrink or grow from one write to the next.
TEST(ActionBus, RecycledStorageKeepsEachEntryWhole) {
  ActionBus bus(1);
  for (std::size_t size : {300u, 10u, 100000u, 0u, 5000u, 300u}) {
    common::Bytes entry(size);
    for (std::size_t i = 0; i < size; ++i) entry[i] = static_cast<std::uint8_t>(i * 31 + size);
    bus.write(entry);
    EXPECT_EQ(bus.read(), entry);
    bus.write(bytes_of(1));  // dropped by the next write, its storage reused
  }
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

// With room for every entry, none may be dropped: each is read exactly once,
// and every reader sees each writer's entries in the order they were written.
TEST(ActionBus, ConcurrentHandOverIsExactlyOnceAndInOrder) {
  constexpr int kWriters = 3, kReaders = 2, kPerWriter = 20000, kTotal = kWriters * kPerWriter;
  ActionBus bus(kTotal);
  std::atomic<int> writers_running{kWriters};
  std::atomic<int> read_total{0};  // bounds the readers even if entries came out twice
  std::array<std::vector<int>, kWriters> times_read;
  for (auto& counts : times_read) counts.assign(kPerWriter, 0);
  std::mutex times_read_mutex;

  std::vector<std::thread> threads;
  for (int w = 0; w < kWriters; ++w) {
    threads.emplace_back([&, w] {
      for (int seq = 0; seq < kPerWriter; ++seq) {
        bus.write(common::Bytes{static_cast<std::uint8_t>(w), static_cast<std::uint8_t>(seq >> 8), static_cast<std::uint8_t>(seq)});
      }
      --writers_running;
    });
  }
  for (int r = 0; r < kReaders; ++r) {
    threads.emplace_back([&] {
      std::array<int, kWriters> last_seq;
      last_seq.fill(-1);
      std::vector<std::pair<int, int>> taken;
      while (read_total.load() < kTotal && (writers_running.load() > 0 || !bus.is_empty())) {
        const auto entry = bus.read();
        if (!entry) continue;
        ++read_total;
        ASSERT_EQ(entry->size(), 3u);
        const int writer = (*entry)[0];
        const int seq = (*entry)[1] << 8 | (*entry)[2];
        ASSERT_LT(writer, kWriters);
        EXPECT_GT(seq, last_seq[writer]) << "writer " << writer;
        last_seq[writer] = seq;
        taken.emplace_back(writer, seq);
      }
      std::lock_guard lock(times_read_mutex);
      for (const auto& [writer, seq] : taken) ++times_read[writer][seq];
    });
  }
  for (auto& thread : threads) thread.join();

  for (int w = 0; w < kWriters; ++w) {
    for (int seq = 0; seq < kPerWriter; ++seq) ASSERT_EQ(times_read[w][seq], 1) << w << "/" << seq;
  }
}

}  // namespace
}  // namespace kiv::action_bus
