#include <gtest/gtest.h>

#include "log/log.h"
#include "log_capture.h"

namespace kiv::log {
namespace {

// Observes whether the facade formats a message (found by argument lookup).
struct CountsFormatting {
  int* formatted;
};
void append_text(std::string& out, const CountsFormatting& probe) {
  ++*probe.formatted;
  out.append("probe");
}

TEST(Log, DeliversAdmittedRecordsWithLevelAndTarget) {
  testing::LogCapture capture(Level::Info);
  write(Level::Info, "mcap_writer", "McapWriter: starting file {}", "\"/tmp/x\"");
  write(Level::Debug, "kiv_rs", "ImageWriter: encoded {} bytes async", 10);
  auto records = capture.records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0], (testing::LogRecord{Level::Info, "mcap_writer", "McapWriter: starting file \"/tmp/x\""}));
}

TEST(Log, FormatsOnlyWhenAdmitted) {
  int formatted = 0;
  {
    testing::LogCapture capture(Level::Error);
    write(Level::Warn, "kiv_rs", "{}", CountsFormatting{&formatted});
    EXPECT_EQ(formatted, 0);
    write(Level::Error, "kiv_rs", "{}", CountsFormatting{&formatted});
    EXPECT_EQ(formatted, 1);
  }
  // Off by default: nothing is formatted without a configured level.
  write(Level::Error, "kiv_rs", "{}", CountsFormatting{&formatted});
  EXPECT_EQ(formatted, 1);
  EXPECT_EQ(max_level(), Level::Off);
}

}  // namespace
}  // namespace kiv::log
