#include "action_bus/action_bus.h"

#include <algorithm>

namespace kiv::action_bus {

ActionBus::ActionBus(std::uint64_t capacity) : queue_(std::max<std::uint64_t>(capacity, 1)) {}

void ActionBus::write(common::ByteView entry) {
  std::lock_guard lock(mutex_);
  if (queue_.full()) {
    // The dropped entry's storage holds the new one.
    common::assign_reusing(queue_.front(), entry);
    queue_.push_back(queue_.pop_front());
    return;
  }
  common::Bytes storage = std::move(spare_);
  common::assign_reusing(storage, entry);
  queue_.push_back(std::move(storage));
}

std::optional<common::Bytes> ActionBus::read() {
  std::optional<common::Bytes> entry;
  read_with([&](common::ByteView oldest) { entry.emplace(oldest.begin(), oldest.end()); });
  return entry;
}

bool ActionBus::is_empty() const {
  std::lock_guard lock(mutex_);
  return queue_.empty();
}

}  // namespace kiv::action_bus
