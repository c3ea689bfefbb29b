#include "action_bus/action_bus.h"

#include <algorithm>

namespace kiv::action_bus {

ActionBus::ActionBus(std::uint64_t capacity) : queue_(std::max<std::uint64_t>(capacity, 1)) {}

void ActionBus::write(common::Bytes entry) {
  common::Bytes discarded;  // freed after the lock is released
  std::lock_guard lock(mutex_);
  if (queue_.full()) discarded = queue_.pop_front();
  queue_.push_back(std::move(entry));
}

std::optional<common::Bytes> ActionBus::read() {
  std::lock_guard lock(mutex_);
  if (queue_.empty()) return std::nullopt;
  return queue_.pop_front();
}

bool ActionBus::is_empty() const {
  std::lock_guard lock(mutex_);
  return queue_.empty();
}

}  // namespace kiv::action_bus
