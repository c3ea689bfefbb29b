#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <thread>

#include "log_capture.h"
#include "mcap_file_reader.h"
#include "common/pending_work.h"
#include "recorder/mcap_writer.h"
#include "recorder/worker.h"

namespace kiv::recorder {
namespace {

using namespace std::chrono_literals;
using cycle_record::CycleRecordData;
using cycle_record::ImageData;
using kiv::testing::LogCapture;
using kiv::testing::LogRecord;
using log::Level;
using work_queue::AttachmentSlot;
using work_queue::PutOutcome;
using work_queue::WorkItem;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Polls for up to 20 s, for a loaded machine.
template <typename Predicate>
bool eventually(Predicate predicate) {
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (!predicate()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

LogRecord info(std::string message) { return {Level::Info, kLogTarget, std::move(message)}; }
LogRecord error(std::string message) { return {Level::Error, kLogTarget, std::move(message)}; }
LogRecord warn(std::string message) { return {Level::Warn, kLogTarget, std::move(message)}; }

CycleRecordData record(std::uint64_t cycle_id, double obs_timestamp) {
  CycleRecordData data;
  data.cycle_id = cycle_id;
  data.obs_timestamp = obs_timestamp;
  return data;
}

WorkItem cycle_item(std::uint64_t cycle_id, double obs_timestamp, std::uint64_t sequence) {
  return work_queue::Cycle{std::make_unique<CycleRecordData>(record(cycle_id, obs_timestamp)), sequence};
}

// Work items are move-only, so no initializer list.
template <typename... Items>
std::vector<WorkItem> items(Items&&... item) {
  std::vector<WorkItem> out;
  (out.emplace_back(std::forward<Items>(item)), ...);
  return out;
}

common::Bytes read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return common::Bytes(std::istreambuf_iterator<char>(in), {});
}

std::vector<double> timestamps(const std::vector<ImageData>& frames) {
  std::vector<double> out;
  for (const auto& frame : frames) out.push_back(frame.timestamp);
  return out;
}

class RecorderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/kiv-recorder-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string path(const std::string& name) const { return (dir_ / name).string(); }

  // Runs the worker over `work` on a thread of the test's own, to its end;
  // the queue closes after the last item.
  common::Status run(std::vector<WorkItem> work, const std::shared_ptr<AttachmentSlot>& slot) {
    auto [sender, receiver] = work_queue::make_bounded_queue<WorkItem>(work_queue::kWorkQueueCapacity);
    for (auto& item : work) EXPECT_EQ(sender.put(std::move(item)).outcome, PutOutcome::accepted);
    { auto closing = std::move(sender); }
    common::Status status;
    std::thread worker([&, &receiver = receiver] {
      common::PendingWork finishing;
      status = run_worker(receiver, *slot, finishing);
    });
    worker.join();
    return status;
  }

  std::filesystem::path dir_;
};

TEST(Nanoseconds, TruncateAndSaturate) {
  EXPECT_EQ(to_nanoseconds(1.5), 1500000000u);
  EXPECT_EQ(to_nanoseconds(0.0), 0u);
  EXPECT_EQ(to_nanoseconds(-1.0), 0u);
  EXPECT_EQ(to_nanoseconds(kNaN), 0u);
  EXPECT_EQ(to_nanoseconds(-kInf), 0u);
  EXPECT_EQ(to_nanoseconds(0.9e-9), 0u);
  EXPECT_EQ(to_nanoseconds(1e10), 10000000000000000000u);
  EXPECT_EQ(to_nanoseconds(18446744073.709553), std::numeric_limits<std::uint64_t>::max());  // 2^64 ns
  EXPECT_EQ(to_nanoseconds(kInf), std::numeric_limits<std::uint64_t>::max());
}

TEST(DrainImagesUntil, FollowsTheCursorAndTheInclusiveTimeBound) {
  AttachmentSlot slot;
  EXPECT_TRUE(drain_images_until(slot, kInf).empty());

  image_hub::ImageHub hub(100.0);
  hub.submit_jpeg("cam0", 1.0, 1, 1, {1});
  hub.submit_jpeg("cam1", 2.0, 1, 1, {2});
  hub.submit_jpeg("cam0", 3.0, 1, 1, {3});
  slot.replace({hub, 0});
  EXPECT_EQ(timestamps(drain_images_until(slot, 2.5)), (std::vector<double>{1.0, 2.0}));
  EXPECT_TRUE(drain_images_until(slot, 2.5).empty());
  EXPECT_TRUE(drain_images_until(slot, kNaN).empty());
  EXPECT_EQ(timestamps(drain_images_until(slot, 3.0)), (std::vector<double>{3.0}));

  // A frame skipped for being too new, while a later-numbered one was
  // taken, is skipped for good.
  image_hub::ImageHub out_of_order(100.0);
  out_of_order.submit_jpeg("cam0", 10.0, 1, 1, {1});
  out_of_order.submit_jpeg("cam0", 9.0, 1, 1, {2});
  slot.replace({out_of_order, 0});
  EXPECT_EQ(timestamps(drain_images_until(slot, 9.5)), (std::vector<double>{9.0}));
  EXPECT_TRUE(drain_images_until(slot, kInf).empty());

  // A starting cursor skips the frames up to it.
  slot.replace({hub, 2});
  EXPECT_EQ(timestamps(drain_images_until(slot, kInf)), (std::vector<double>{3.0}));
}

struct UnwritableCase {
  const char* name;
  // Prepares the path under the test's directory; false when the case
  // cannot be made here.
  bool (*prepare)(const std::filesystem::path& dir, std::string& path);
  const char* system_text;
};

class UnwritablePathTest : public RecorderTest, public ::testing::WithParamInterface<UnwritableCase> {};

const UnwritableCase kUnwritableCases[] = {
    {"MissingDirectory",
     [](const std::filesystem::path& dir, std::string& path) {
       path = (dir / "missing/run.mcap").string();
       return true;
     },
     "No such file or directory (errno 2)"},
    {"UnderARegularFile",
     [](const std::filesystem::path& dir, std::string& path) {
       std::ofstream(dir / "file").put('x');
       path = (dir / "file/run.mcap").string();
       return true;
     },
     "Not a directory (errno 20)"},
    {"ADirectory",
     [](const std::filesystem::path& dir, std::string& path) {
       path = dir.string();
       return true;
     },
     "Is a directory (errno 21)"},
    {"ReadOnlyDirectory",
     [](const std::filesystem::path& dir, std::string& path) {
       if (geteuid() == 0) return false;  // permissions do not stop root
       std::filesystem::create_directory(dir / "read-only");
       std::filesystem::permissions(dir / "read-only", std::filesystem::perms::owner_read |
                                                           std::filesystem::perms::owner_exec);
       path = (dir / "read-only/run.mcap").string();
       return true;
     },
     "Permission denied (errno 13)"},
};

INSTANTIATE_TEST_SUITE_P(Paths, UnwritablePathTest, ::testing::ValuesIn(kUnwritableCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_P(UnwritablePathTest, EndsTheWorkerWithTheSystemTextAndClosesTheQueue) {
  std::string unwritable;
  if (!GetParam().prepare(dir_, unwritable)) GTEST_SKIP() << "cannot be made here";
  LogCapture capture;
  auto [sender, receiver] = work_queue::make_bounded_queue<WorkItem>(work_queue::kWorkQueueCapacity);
  ASSERT_EQ(sender.put(work_queue::Start{unwritable}).outcome, PutOutcome::accepted);
  ASSERT_EQ(sender.put(cycle_item(1, 1.0, 0)).outcome, PutOutcome::accepted);
  std::thread worker(worker_thread_main, std::move(receiver), std::make_shared<AttachmentSlot>());
  worker.join();
  EXPECT_EQ(capture.records(), (std::vector<LogRecord>{
                                   info("McapWriter: starting file \"" + unwritable + "\""),
                                   error(std::string("McapWriter worker failed: Failed to create file: ") +
                                         GetParam().system_text),
                               }));
  EXPECT_EQ(sender.try_put(cycle_item(2, 2.0, 1)).outcome, PutOutcome::closed);
}

TEST_F(RecorderTest, PathIsLoggedQuotedWithEscapes) {
  LogCapture capture;
  const auto status = run(items(work_queue::Start{path("missing/a\"b\\c\nd\x01")}), std::make_shared<AttachmentSlot>());
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(capture.records().at(0),
            info("McapWriter: starting file \"" + path("missing/a\\\"b\\\\c\\nd\\u{1}") + "\""));
}

TEST_F(RecorderTest, CycleWithoutAFileIsDroppedWithAWarning) {
  LogCapture capture;
  ASSERT_TRUE(run(items(cycle_item(7, 1.0, 0), work_queue::Stop{1}), std::make_shared<AttachmentSlot>()).ok());
  EXPECT_EQ(capture.records(), (std::vector<LogRecord>{
                                   warn("McapWriter: received cycle but file not started"),
                                   info("McapWriter worker stopped"),
                               }));
  EXPECT_TRUE(std::filesystem::is_empty(dir_));
}

TEST_F(RecorderTest, NormalRunRecordsOneChunkPerCycleAndStops) {
  LogCapture capture;
  const std::string file = path("run.mcap");
  image_hub::ImageHub hub(100.0);
  hub.submit_jpeg("cam0", 1.0, 1, 1, {0xA});
  hub.submit_jpeg("front/left", 2.0, 1, 1, {0xB});
  hub.submit_jpeg("cam0", 3.0, 1, 1, {0xC});
  auto slot = std::make_shared<AttachmentSlot>();
  slot->replace({hub, 0});

  ASSERT_TRUE(run(items(work_queue::Start{file}, cycle_item(100, 1.5, 0),
                        cycle_item(101, 2.5, (1ull << 32) + 1),  // only the low 32 bits reach the file
                        work_queue::Stop{7, kInf}),
                  slot)
                  .ok());
  EXPECT_EQ(capture.records(), (std::vector<LogRecord>{
                                   info("McapWriter: starting file \"" + file + "\""),
                                   info("McapWriter worker stopped"),
                               }));

  const common::Bytes bytes = read_file(file);
  struct Expected {
    std::string topic;
    std::uint32_t sequence;
    std::uint64_t time;
  };
  const std::vector<Expected> expected = {
      {"/kiv/cycle", 0, 1500000000},          {"/kiv/images/cam0", 0, 1000000000},
      {"/kiv/cycle", 1, 2500000000},          {"/kiv/images/front/left", 1, 2000000000},
      {"/kiv/images/cam0", 7, 3000000000},
  };
  const auto messages = kiv::testing::read_messages(bytes);
  ASSERT_EQ(messages.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(messages[i].topic, expected[i].topic) << i;
    EXPECT_EQ(messages[i].sequence, expected[i].sequence) << i;
    EXPECT_EQ(messages[i].log_time, expected[i].time) << i;
    EXPECT_EQ(messages[i].publish_time, expected[i].time) << i;
  }
  int chunks = 0;
  for (const auto& record : kiv::testing::file_records(bytes)) chunks += record.opcode == 0x06;
  EXPECT_EQ(chunks, 3);  // two cycles and the stop's frames
}

// /dev/full takes the open and refuses every write: nothing may pass for recorded.
TEST_F(RecorderTest, OutputFailuresAreLoggedForEveryCycleAndTheFinish) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  LogCapture capture;
  auto [sender, receiver] = work_queue::make_bounded_queue<WorkItem>(work_queue::kWorkQueueCapacity);
  for (auto& item : items(work_queue::Start{"/dev/full"}, cycle_item(1, 1.0, 0), cycle_item(2, 2.0, 1),
                          work_queue::Stop{2})) {
    ASSERT_EQ(sender.put(std::move(item)).outcome, PutOutcome::accepted);
  }
  std::thread worker(worker_thread_main, std::move(receiver), std::make_shared<AttachmentSlot>());
  worker.join();
  const std::string full = "No space left on device (errno 28)";
  const std::string earlier = "output failed earlier: " + full;
  EXPECT_EQ(capture.records(), (std::vector<LogRecord>{
                                   info("McapWriter: starting file \"/dev/full\""),
                                   error("Failed to flush: " + full),
                                   error("Failed to process cycle 2: Failed to add schema: " + earlier),
                                   error("Failed to flush: " + earlier),
                                   error("Failed to flush stop: " + earlier),
                                   error("McapWriter worker failed: Finish failed: " + earlier),
                               }));
}

// A soft file-size limit for the test's duration, with SIGXFSZ ignored so
// that a write past it fails with EFBIG instead of ending the process.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &saved_);
    previous_handler_ = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit = saved_;
    limit.rlim_cur = bytes;
    ok_ = setrlimit(RLIMIT_FSIZE, &limit) == 0;
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    std::signal(SIGXFSZ, previous_handler_);
  }
  bool ok() const { return ok_; }

 private:
  rlimit saved_{};
  void (*previous_handler_)(int) = SIG_DFL;
  bool ok_ = false;
};

// The file reaches its size limit part-way through a chunk: what came before
// reads back, and every cycle from there on is reported, none lost silently.
TEST_F(RecorderTest, FileSizeLimitIsReportedForEveryLaterCycleAndWhatCameBeforeReadsBack) {
  constexpr std::size_t kLimit = 64 * 1024;
  constexpr std::uint64_t kCycles = 100;
  const std::string file = path("limited.mcap");
  std::vector<WorkItem> work = items(work_queue::Start{file});
  std::uint32_t noise = 1;
  for (std::uint64_t i = 0; i < kCycles; ++i) {
    auto data = std::make_unique<CycleRecordData>(record(i, 1.0 + static_cast<double>(i)));
    common::Bytes frame(1024);
    for (auto& byte : frame) byte = static_cast<std::uint8_t>((noise = noise * 1664525u + 1013904223u) >> 24);
    data->image_data.push_back({"cam0", data->obs_timestamp, 1, 1, std::move(frame)});  // ~2 KB a cycle
    work.emplace_back(work_queue::Cycle{std::move(data), i});
  }
  work.emplace_back(work_queue::Stop{kCycles});

  LogCapture capture;
  {
    FileSizeLimit limit(kLimit);
    ASSERT_TRUE(limit.ok());
    const auto status = run(std::move(work), std::make_shared<AttachmentSlot>());
    ASSERT_FALSE(status.ok());
    EXPECT_EQ(status.error(), "Finish failed: output failed earlier: File too large (errno 27)");
  }
  const common::Bytes bytes = read_file(file);
  EXPECT_EQ(bytes.size(), kLimit);
  std::vector<std::uint64_t> recorded;
  for (const auto& message : kiv::testing::read_messages(kiv::testing::read_mcap_recovering(bytes))) {
    if (message.topic == "/kiv/cycle") recorded.push_back(message.sequence);
  }
  const std::uint64_t cut = recorded.size();  // the cycle whose chunk met the limit
  ASSERT_GT(cut, 10u);
  ASSERT_LT(cut, kCycles - 10);
  for (std::uint64_t i = 0; i < cut; ++i) EXPECT_EQ(recorded[i], i);

  const std::string earlier = "output failed earlier: File too large (errno 27)";
  std::vector<LogRecord> expected = {info("McapWriter: starting file \"" + file + "\""),
                                     error("Failed to flush: File too large (errno 27)")};
  for (std::uint64_t i = cut + 1; i < kCycles; ++i) {
    expected.push_back(error(common::format("Failed to process cycle {}: Failed to add schema: {}", i, earlier)));
    expected.push_back(error("Failed to flush: " + earlier));
  }
  expected.push_back(error("Failed to flush stop: " + earlier));
  EXPECT_EQ(capture.records(), expected);
}

TEST_F(RecorderTest, ClosedQueueFinishesTheOpenFile) {
  LogCapture capture;
  const std::string file = path("run.mcap");
  // The sender goes with `run`, so the queue closes with the file open.
  ASSERT_TRUE(run(items(work_queue::Start{file}, cycle_item(1, 1.0, 0)), std::make_shared<AttachmentSlot>()).ok());
  EXPECT_TRUE(capture.contains(info("McapWriter worker stopped")));
  const auto records = kiv::testing::file_records(read_file(file));
  EXPECT_EQ(records.back().opcode, 0x02);  // footer: the file was finished
}

// The handle with its detached worker, end to end.
TEST_F(RecorderTest, HandleRunsOneRecordingAndNeverAStartAfterStop) {
  LogCapture capture;
  const std::string file = path("run.mcap");
  {
    McapWriter writer;
    auto refused = writer.write_cycle(record(1, 1.0));
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error(), "McapWriter not started");
    EXPECT_EQ(writer.current_sequence(), 0u);
    writer.stop();  // nothing to stop
    EXPECT_EQ(writer.current_sequence(), 0u);

    ASSERT_TRUE(writer.start(file).ok());
    ASSERT_TRUE(writer.start(path("other.mcap")).ok());  // ignored while recording
    EXPECT_EQ(writer.write_cycle(record(1, 1.0)).value(), 0u);
    EXPECT_EQ(writer.write_cycle(record(2, 2.0)).value(), 1u);
    writer.stop_at(5.0);
    EXPECT_EQ(writer.current_sequence(), 3u);
    writer.stop();
    EXPECT_EQ(writer.current_sequence(), 3u);

    auto after_stop = writer.write_cycle(record(3, 3.0));
    ASSERT_FALSE(after_stop.ok());
    EXPECT_EQ(after_stop.error(), "McapWriter not started");
    auto restart = writer.start(path("again.mcap"));
    ASSERT_FALSE(restart.ok());
    EXPECT_EQ(restart.error(), "Channel closed");
  }
  ASSERT_TRUE(eventually([&] { return capture.contains(info("McapWriter worker stopped")); }));
  EXPECT_EQ(kiv::testing::read_messages(read_file(file)).size(), 2u);
  EXPECT_FALSE(std::filesystem::exists(path("other.mcap")));
  EXPECT_FALSE(std::filesystem::exists(path("again.mcap")));
}

// Until the worker has finished the file, process exit has something to
// wait for; stop_all stops the writers that are still recording and only those.
TEST_F(RecorderTest, StopRequestIsPendingWorkUntilTheFileIsFinished) {
  LogCapture capture;
  const std::string fifo = path("held.fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  McapWriter idle;
  McapWriter stopped;
  ASSERT_TRUE(stopped.start(path("stopped.mcap")).ok());
  stopped.stop();
  ASSERT_TRUE(common::wait_for_pending_work(std::chrono::steady_clock::now() + 20s));
  const std::uint64_t stopped_sequence = stopped.current_sequence();

  McapWriter held;  // a FIFO without a reader holds its worker in open()
  ASSERT_TRUE(held.start(fifo).ok());
  ASSERT_EQ(held.write_cycle(record(1, 1.0)).value(), 0u);
  McapWriter::stop_all(std::chrono::steady_clock::now() + 20s);
  EXPECT_EQ(held.current_sequence(), 2u);  // the stop request took number 1
  EXPECT_EQ(stopped.current_sequence(), stopped_sequence);
  EXPECT_EQ(idle.current_sequence(), 0u);
  EXPECT_EQ(common::pending_work_count(), 1u);
  EXPECT_FALSE(common::wait_for_pending_work(std::chrono::steady_clock::now() + 50ms));

  common::Bytes bytes;
  std::thread reader([&] { bytes = read_file(fifo); });
  EXPECT_TRUE(common::wait_for_pending_work(std::chrono::steady_clock::now() + 20s));
  reader.join();
  EXPECT_EQ(kiv::testing::file_records(bytes).back().opcode, 0x02);  // finished, footer and all
  EXPECT_EQ(kiv::testing::read_messages(bytes).size(), 1u);
}

TEST_F(RecorderTest, HandleNeverStartedStopsItsWorkerOnRelease) {
  LogCapture capture;
  { McapWriter writer; }
  ASSERT_TRUE(eventually([&] { return capture.contains(info("McapWriter worker stopped")); }));
  EXPECT_EQ(capture.records().size(), 1u);
  EXPECT_TRUE(std::filesystem::is_empty(dir_));
}

TEST_F(RecorderTest, HandleReportsClosedOnceTheWorkerHasFailed) {
  LogCapture capture;
  McapWriter writer;
  ASSERT_TRUE(writer.start(path("missing/run.mcap")).ok());
  ASSERT_TRUE(eventually([&] {
    auto result = writer.write_cycle(record(1, 1.0));
    return !result.ok() && result.error() == "Channel closed";
  }));
  EXPECT_TRUE(capture.contains(
      error("McapWriter worker failed: Failed to create file: No such file or directory (errno 2)")));
}

// A FIFO without a reader holds the worker in open(): nothing drains the queue.
TEST_F(RecorderTest, HandleRefusesTheCycleAfter1024Waiting) {
  LogCapture capture;
  const std::string fifo = path("stalled.fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  McapWriter writer;
  ASSERT_TRUE(writer.start(fifo).ok());
  ASSERT_TRUE(eventually([&] { return capture.contains(info("McapWriter: starting file \"" + fifo + "\"")); }));
  for (std::uint64_t i = 0; i < 1024; ++i) ASSERT_EQ(writer.write_cycle(record(i, 1.0)).value(), i);
  auto refused = writer.write_cycle(record(1024, 1.0));
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error(), "McapWriter queue full; dropping cycle");
  EXPECT_EQ(writer.current_sequence(), 1025u);  // the refused cycle used its number up

  // A reader releases the worker, which then records every accepted cycle.
  common::Bytes bytes;
  std::thread reader([&] { bytes = read_file(fifo); });
  writer.stop();
  ASSERT_TRUE(eventually([&] { return capture.contains(info("McapWriter worker stopped")); }));
  reader.join();
  const auto messages = kiv::testing::read_messages(bytes);
  ASSERT_EQ(messages.size(), 1024u);
  EXPECT_EQ(messages.back().sequence, 1023u);
}

// Several threads writing cycles, submitting frames and re-attaching the hub
// while the worker runs; run under TSan and ASan as well.
TEST_F(RecorderTest, ConcurrentCallersLoseNothingAccepted) {
  LogCapture capture;
  const std::string file = path("run.mcap");
  image_hub::ImageHub hub(1.0);
  std::atomic<std::uint64_t> accepted{0};
  std::atomic<bool> done{false};
  {
    McapWriter writer;
    writer.attach_image_hub(hub, 1.0, false, std::nullopt);
    ASSERT_TRUE(writer.start(file).ok());
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
      threads.emplace_back([&, t] {
        for (int i = 0; i < 300; ++i) {
          auto result = writer.write_cycle(record(static_cast<std::uint64_t>(t * 1000 + i), i * 0.01));
          if (result.ok()) accepted.fetch_add(1);
          else EXPECT_EQ(result.error(), "McapWriter queue full; dropping cycle");
        }
      });
    }
    for (int t = 0; t < 2; ++t) {
      threads.emplace_back([&, t] {
        const std::string camera = "cam" + std::to_string(t);
        for (int i = 0; !done.load(); ++i) {
          hub.submit_jpeg(camera, i * 0.01, 4, 4, common::Bytes(256, static_cast<std::uint8_t>(i)));
          std::this_thread::yield();
        }
      });
    }
    threads.emplace_back([&] {
      while (!done.load()) {
        writer.attach_image_hub(hub, 1.0, true, hub.current_sequence());
        (void)writer.current_sequence();
        std::this_thread::sleep_for(1ms);
      }
    });
    for (int t = 0; t < 2; ++t) threads[static_cast<std::size_t>(t)].join();
    writer.stop();
    done = true;
    for (std::size_t t = 2; t < threads.size(); ++t) threads[t].join();
  }
  ASSERT_TRUE(eventually([&] { return capture.contains(info("McapWriter worker stopped")); }));
  EXPECT_EQ(capture.records().size(), 2u);  // starting and stopped: no warning or error
  std::uint64_t cycles = 0;
  for (const auto& message : kiv::testing::read_messages(read_file(file))) {
    if (message.topic == "/kiv/cycle") {
      ++cycles;
    } else {
      EXPECT_TRUE(message.topic == "/kiv/images/cam0" || message.topic == "/kiv/images/cam1") << message.topic;
    }
  }
  EXPECT_EQ(cycles, accepted.load());
}

}  // namespace
}  // namespace kiv::recorder
