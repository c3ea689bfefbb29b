// Logging facade: background threads report here, since they cannot raise
// into Python.
//
// A record has a level, a target (the reporting component: "kiv_rs",
// "mcap_writer") and a message. A process-wide maximum level (off by
// default) decides which records are admitted; a message is formatted only
// when admitted. Admitted records go to the one optional sink; the module
// installs none, embedding programs and tests do.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <string_view>

#include "common/format.h"

namespace kiv::log {

enum class Level : int { Off = 0, Error = 1, Warn = 2, Info = 3, Debug = 4, Trace = 5 };

using Sink = std::function<void(Level level, std::string_view target, std::string_view message)>;

// Installs (or, with an empty function, removes) the sink. Thread-safe.
void set_sink(Sink sink);
void set_max_level(Level level);
Level max_level();

namespace detail {
extern std::atomic<int> g_max_level;
void deliver(Level level, std::string_view target, const std::string& message);
}  // namespace detail

inline bool enabled(Level level) {
  return static_cast<int>(level) <= detail::g_max_level.load(std::memory_order_relaxed);
}

template <typename... Args>
void write(Level level, std::string_view target, std::string_view pattern, const Args&... args) {
  if (!enabled(level)) return;
  detail::deliver(level, target, common::format(pattern, args...));
}

}  // namespace kiv::log
