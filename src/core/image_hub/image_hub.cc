#include "image_hub/image_hub.h"

#include <algorithm>
#include <cmath>

namespace kiv::image_hub {

void trim_image_hub_locked(ImageHubInner& inner, double now) {
  const double cutoff = now - inner.window_sec;
  while (!inner.frames.empty()) {
    const double timestamp = inner.frames.front().image.timestamp;
    // A NaN cutoff matches nothing, so only NaN frames go then.
    if (!std::isnan(timestamp) && !(timestamp < cutoff)) break;
    inner.frames.pop_front();
  }
}

ImageHub::ImageHub(double window_sec) : store_(std::make_shared<Store>()) {
  // std::fmax prefers the number over a NaN.
  store_->inner.window_sec = std::fmax(window_sec, kMinWindowSec);
}

void ImageHub::submit_jpeg(std::string camera_name, double timestamp, std::uint32_t width, std::uint32_t height,
                           common::Bytes data) {
  if (data.empty()) return;
  SequencedImage frame{ImageData{std::move(camera_name), timestamp, width, height, std::move(data)}, 0};
  std::lock_guard lock(store_->mutex);
  ImageHubInner& inner = store_->inner;
  frame.sequence = inner.sequence + 1;

  // An equal timestamp replaces; a NaN on either side keeps the stored frame.
  auto entry = inner.latest.find(frame.image.camera_name);
  if (entry == inner.latest.end()) {
    inner.latest.emplace(frame.image.camera_name, frame);
  } else if (timestamp >= entry->second.image.timestamp) {
    entry->second = frame;
  }
  inner.frames.push_back(std::move(frame));
  inner.sequence += 1;
  trim_image_hub_locked(inner, timestamp);
}

std::optional<ImageData> ImageHub::latest_for(std::string_view camera_name) const {
  std::lock_guard lock(store_->mutex);
  const auto& latest = store_->inner.latest;
  auto entry = latest.find(camera_name);
  if (entry == latest.end()) return std::nullopt;
  return entry->second.image;
}

std::vector<ImageData> ImageHub::latest_all() const {
  std::lock_guard lock(store_->mutex);
  std::vector<ImageData> frames;
  frames.reserve(store_->inner.latest.size());
  for (const auto& [name, entry] : store_->inner.latest) frames.push_back(entry.image);
  return frames;
}

std::uint64_t ImageHub::current_sequence() const {
  std::lock_guard lock(store_->mutex);
  return store_->inner.sequence;
}

std::vector<std::pair<std::uint64_t, ImageData>> ImageHub::frames_after_until(std::uint64_t after_sequence,
                                                                              double until_timestamp) const {
  std::lock_guard lock(store_->mutex);
  const auto& history = store_->inner.frames;
  // Sequence numbers ascend, so the frames still to be taken are a suffix.
  auto first = std::partition_point(history.begin(), history.end(),
                                    [&](const SequencedImage& frame) { return frame.sequence <= after_sequence; });
  std::vector<std::pair<std::uint64_t, ImageData>> frames;
  for (auto frame = first; frame != history.end(); ++frame) {
    if (frame->image.timestamp <= until_timestamp) frames.emplace_back(frame->sequence, frame->image);
  }
  return frames;
}

}  // namespace kiv::image_hub
