#include "log/log.h"

#include <memory>
#include <mutex>

namespace kiv::log {
namespace {

std::mutex g_sink_mutex;
std::shared_ptr<const Sink> g_sink;  // guarded by g_sink_mutex

}  // namespace

namespace detail {
std::atomic<int> g_max_level{static_cast<int>(Level::Off)};

void deliver(Level level, std::string_view target, const std::string& message) {
  std::shared_ptr<const Sink> sink;
  {
    std::lock_guard lock(g_sink_mutex);
    sink = g_sink;
  }
  // Called outside the lock so a sink may log or replace itself.
  if (sink) (*sink)(level, target, message);
}
}  // namespace detail

void set_sink(Sink sink) {
  auto shared = sink ? std::make_shared<const Sink>(std::move(sink)) : nullptr;
  std::lock_guard lock(g_sink_mutex);
  g_sink = std::move(shared);
}

void set_max_level(Level level) {
  detail::g_max_level.store(static_cast<int>(level), std::memory_order_relaxed);
}

Level max_level() { return static_cast<Level>(detail::g_max_level.load(std::memory_order_relaxed)); }

}  // namespace kiv::log
