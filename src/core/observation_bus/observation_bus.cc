#include "observation_bus/observation_bus.h"

#include <algorithm>
#include <mutex>

namespace kiv::observation_bus {

ObservationBus::ObservationBus(std::uint64_t capacity)
    : buffer_(std::make_shared<Buffer>(std::max<std::uint64_t>(capacity, 1))), capacity_(capacity) {}

void ObservationBus::write(common::Bytes entry) {
  common::Bytes discarded;  // freed after the lock is released
  std::unique_lock lock(buffer_->mutex);
  auto& entries = buffer_->entries;
  if (entries.full()) discarded = entries.pop_front();
  entries.push_back(std::move(entry));
}

std::optional<common::Bytes> ObservationBus::read_latest() const {
  std::shared_lock lock(buffer_->mutex);
  if (buffer_->entries.empty()) return std::nullopt;
  return buffer_->entries.back();
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
