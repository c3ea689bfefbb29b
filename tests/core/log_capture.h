// Test helper: records every log record while alive, at every level.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "log/log.h"

namespace kiv::testing {

struct LogRecord {
  log::Level level;
  std::string target;
  std::string message;
  bool operator==(const LogRecord&) const = default;
};

class LogCapture {
 public:
  explicit LogCapture(log::Level max_level = log::Level::Trace) {
    log::set_max_level(max_level);
    log::set_sink([this](log::Level level, std::string_view target, std::string_view message) {
      std::lock_guard lock(mutex_);
      records_.push_back({level, std::string(target), std::string(message)});
    });
  }
  ~LogCapture() {
    log::set_sink({});
    log::set_max_level(log::Level::Off);
  }

  std::vector<LogRecord> records() const {
    std::lock_guard lock(mutex_);
    return records_;
  }

  bool contains(const LogRecord& wanted) const {
    std::lock_guard lock(mutex_);
    for (const auto& record : records_) {
      if (record == wanted) return true;
    }
    return false;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<LogRecord> records_;
};

}  // namespace kiv::testing
