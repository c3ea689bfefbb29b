#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "work_queue/work_item.h"

namespace kiv::work_queue {
namespace {

using namespace std::chrono_literals;

WorkItem stop_item(std::uint64_t sequence) { return Stop{sequence}; }

std::uint64_t sequence_of(const WorkItem& item) { return std::get<Stop>(item).sequence; }

// Polls for up to 10 s, for a loaded machine.
template <typename Predicate>
bool eventually(Predicate predicate) {
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!predicate()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

TEST(WorkQueue, HoldsExactly1024ItemsAndGivesTheRefusedOneBack) {
  auto [sender, receiver] = make_bounded_queue<WorkItem>(kWorkQueueCapacity);
  for (std::uint64_t i = 0; i < 1024; ++i) ASSERT_EQ(sender.try_put(stop_item(i)).outcome, PutOutcome::accepted);
  auto refused = sender.try_put(stop_item(1024));
  EXPECT_EQ(refused.outcome, PutOutcome::full);
  ASSERT_TRUE(refused.returned);
  EXPECT_EQ(sequence_of(*refused.returned), 1024u);

  auto first = receiver.receive_for(50ms);
  ASSERT_EQ(first.outcome, ReceiveOutcome::item);
  EXPECT_EQ(sequence_of(*first.item), 0u);
  EXPECT_EQ(sender.try_put(stop_item(1025)).outcome, PutOutcome::accepted);
  EXPECT_EQ(sender.try_put(stop_item(1026)).outcome, PutOutcome::full);
}

TEST(WorkQueue, PutsReportClosedOnceTheReceiverIsGone) {
  auto [sender, receiver] = make_bounded_queue<WorkItem>(kWorkQueueCapacity);
  { auto gone = std::move(receiver); }
  auto waiting = sender.put(Start{"/tmp/a.mcap"});
  EXPECT_EQ(waiting.outcome, PutOutcome::closed);
  ASSERT_TRUE(waiting.returned);
  EXPECT_EQ(std::get<Start>(*waiting.returned).path, "/tmp/a.mcap");
  EXPECT_EQ(sender.try_put(stop_item(0)).outcome, PutOutcome::closed);
}

TEST(WorkQueue, ReceiverDrainsInOrderAfterTheSenderIsGone) {
  auto [sender, receiver] = make_bounded_queue<WorkItem>(kWorkQueueCapacity);
  for (std::uint64_t i = 0; i < 3; ++i) ASSERT_EQ(sender.put(stop_item(i)).outcome, PutOutcome::accepted);
  { auto gone = std::move(sender); }
  for (std::uint64_t i = 0; i < 3; ++i) {
    auto received = receiver.receive_for(50ms);
    ASSERT_EQ(received.outcome, ReceiveOutcome::item);
    EXPECT_EQ(sequence_of(*received.item), i);
  }
  const auto start = std::chrono::steady_clock::now();
  auto closed = receiver.receive_for(10s);
  EXPECT_EQ(closed.outcome, ReceiveOutcome::closed);
  EXPECT_FALSE(closed.item);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);  // closed at once, not after the limit
}

TEST(WorkQueue, ReceiveTimesOutOnAnOpenEmptyQueue) {
  auto [sender, receiver] = make_bounded_queue<WorkItem>(kWorkQueueCapacity);
  // Blocking when idle, and polling right after an item: both keep the limit.
  for (bool just_received : {false, true}) {
    if (just_received) {
      ASSERT_EQ(sender.try_put(stop_item(0)).outcome, PutOutcome::accepted);
      ASSERT_EQ(receiver.receive_for(50ms).outcome, ReceiveOutcome::item);
    }
    const auto start = std::chrono::steady_clock::now();
    auto received = receiver.receive_for(50ms);
    EXPECT_EQ(received.outcome, ReceiveOutcome::timed_out);
    EXPECT_FALSE(received.item);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 50ms);
  }
}

TEST(WorkQueue, WaitingPutWaitsForRoomAndEndsWhenTheReceiverGoes) {
  auto [sender, receiver] = make_bounded_queue<WorkItem>(2);
  ASSERT_EQ(sender.try_put(stop_item(0)).outcome, PutOutcome::accepted);
  ASSERT_EQ(sender.try_put(stop_item(1)).outcome, PutOutcome::accepted);
  std::atomic<int> outcome{-1};
  std::thread blocked([&, &sender = sender] { outcome = static_cast<int>(sender.put(stop_item(2)).outcome); });
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(outcome.load(), -1);
  ASSERT_EQ(receiver.receive_for(50ms).outcome, ReceiveOutcome::item);
  EXPECT_TRUE(eventually([&] { return outcome.load() == static_cast<int>(PutOutcome::accepted); }));
  blocked.join();

  // Full again: a waiting put now ends as closed when the receiver is dropped.
  std::optional<WorkReceiver> owned(std::move(receiver));
  outcome = -1;
  std::thread closing([&, &sender = sender] { outcome = static_cast<int>(sender.put(stop_item(3)).outcome); });
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(outcome.load(), -1);
  owned.reset();
  EXPECT_TRUE(eventually([&] { return outcome.load() == static_cast<int>(PutOutcome::closed); }));
  closing.join();
}

TEST(WorkQueue, PutWithADeadlineGivesUpFullOrTakesTheRoomThatComes) {
  auto [sender, receiver] = make_bounded_queue<WorkItem>(1);
  ASSERT_EQ(sender.try_put(stop_item(0)).outcome, PutOutcome::accepted);
  const auto start = std::chrono::steady_clock::now();
  auto refused = sender.put_until(stop_item(1), start + 50ms);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 50ms);
  ASSERT_EQ(refused.outcome, PutOutcome::full);
  EXPECT_EQ(std::get<Stop>(*refused.returned).sequence, 1u);

  std::thread taker([&, &receiver = receiver] {
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(receiver.receive_for(50ms).outcome, ReceiveOutcome::item);
  });
  EXPECT_EQ(sender.put_until(stop_item(2), std::chrono::steady_clock::now() + 20s).outcome, PutOutcome::accepted);
  taker.join();
}

TEST(WorkQueue, ItemsLeftBehindAreFreedWithTheReceiver) {
  auto [sender, receiver] = make_bounded_queue<std::shared_ptr<int>>(4);
  auto value = std::make_shared<int>(7);
  ASSERT_EQ(sender.try_put(value).outcome, PutOutcome::accepted);
  EXPECT_EQ(value.use_count(), 2);
  { auto gone = std::move(receiver); }
  EXPECT_EQ(value.use_count(), 1);
}

TEST(WorkQueue, ConcurrentPutsKeepEachSendersOrder) {
  auto [sender, receiver] = make_bounded_queue<WorkItem>(16);
  constexpr std::uint64_t kThreads = 3, kPerThread = 2000;
  std::vector<std::thread> threads;
  for (std::uint64_t t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t, &sender = sender] {
      for (std::uint64_t i = 0; i < kPerThread; ++i) {
        // Alternate both puts; a refused try_put is retried with the returned item.
        WorkItem item = stop_item(t * kPerThread + i);
        if (i % 2 == 0) {
          ASSERT_EQ(sender.put(std::move(item)).outcome, PutOutcome::accepted);
          continue;
        }
        for (auto put = sender.try_put(std::move(item)); put.outcome != PutOutcome::accepted;
             put = sender.try_put(std::move(*put.returned))) {
          ASSERT_EQ(put.outcome, PutOutcome::full);
          std::this_thread::yield();
        }
      }
    });
  }
  std::vector<std::uint64_t> next(kThreads, 0);
  for (std::uint64_t received = 0; received < kThreads * kPerThread;) {
    auto item = receiver.receive_for(50ms);
    if (item.outcome == ReceiveOutcome::timed_out) continue;
    ASSERT_EQ(item.outcome, ReceiveOutcome::item);
    const std::uint64_t sequence = sequence_of(*item.item);
    EXPECT_EQ(sequence % kPerThread, next[sequence / kPerThread]++);
    ++received;
  }
  for (auto& thread : threads) thread.join();
}

TEST(AttachmentSlot, ReplacesTheWholeAttachment) {
  AttachmentSlot slot;
  EXPECT_FALSE(slot.with_attachment([](auto& attachment) { return attachment.has_value(); }));
  image_hub::ImageHub first(1.0), second(1.0);
  second.submit_jpeg("cam0", 1.0, 1, 1, common::Bytes{1});
  slot.replace({first, 5});
  slot.replace({second, 0});
  slot.with_attachment([](std::optional<ImageHubAttachment>& attachment) {
    ASSERT_TRUE(attachment);
    EXPECT_EQ(attachment->cursor, 0u);
    EXPECT_EQ(attachment->hub.current_sequence(), 1u);
  });
  first.submit_jpeg("cam0", 1.0, 1, 1, common::Bytes{1});  // its store lives on with its other handle
  EXPECT_EQ(first.current_sequence(), 1u);
}

}  // namespace
}  // namespace kiv::work_queue
