#include "observation_bus/observation_bus.h"

#include <algorithm>
#include <mutex>

namespace kiv::observation_bus {

ObservationBus::ObservationBus(std::uint64_t capacity)
    : buffer_(std::make_shared<Buffer>(std::max<std::uint64_t>(capacity, 1))), capacity_(capacity) {}

void ObservationBus::write(common::ByteView entry) {
  std::unique_lock lock(buffer_->mutex);
  auto& entries = buffer_->entries;
  if (entries.full()) {
    // The oldest entry's storage becomes the newest: once warm, no allocation.
    common::assign_reusing(entries.front(), entry);
    entries.push_back(entries.pop_front());
  } else {
    entries.emplace_back(entry.begin(), entry.end());
  }
}

std::optional<common::Bytes> ObservationBus::read_latest() const {
  std::optional<common::Bytes> latest;
  visit_latest([&](common::ByteView entry) { latest.emplace(entry.begin(), entry.end()); });
  return latest;
}

std::vector<common::Bytes> ObservationBus::read_window(std::uint64_t n) const {
  std::vector<common::Bytes> window;
  std::shared_lock lock(buffer_->mutex);
  const auto& entries = buffer_->entries;
  const std::size_t count = std::min<std::uint64_t>(n, entries.size());
  window.reserve(count);
  for (std::size_t i = entries.size() - count; i < entries.size(); ++i) window.push_back(entries[i]);
  return window;
}

std::uint64_t ObservationBus::len() const {
  std::shared_lock lock(buffer_->mutex);
  return buffer_->entries.size();
}

bool ObservationBus::is_empty() const {
  std::shared_lock lock(buffer_->mutex);
  return buffer_->entries.empty();
}

}  // namespace kiv::observation_bus
