// In-memory store of recent camera frames.
//
// Two views of every accepted frame: each camera's newest frame (by
// timestamp), which Python reads back, and a time-bounded history in arrival
// order, each frame numbered from 1, from which recorders take the frames
// that are new since their last visit. The history is trimmed only on
// submission, from the front: a frame stays until every frame before it has
// expired.
//
// `ImageHub` is a handle: copies share one store, which lives as long as the
// last handle (the Python object's and every recorder attachment's).
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/bytes.h"
#include "common/text_hash.h"
#include "cycle_record/cycle_record.h"

namespace kiv::image_hub {

using cycle_record::ImageData;

inline constexpr double kMinWindowSec = 0.1;

struct SequencedImage {
  ImageData image;  // the store's own copy of name and bytes
  std::uint64_t sequence = 0;
};

// Guarded by its owner's mutex.
struct ImageHubInner {
  std::deque<SequencedImage> frames;  // ascending sequence numbers, oldest first
  common::TextMap<SequencedImage> latest;  // never trimmed
  double window_sec = kMinWindowSec;
  std::uint64_t sequence = 0;  // the last number given out; 0 before the first frame
};

// Drops expired frames from the front of the history: those older than
// `now - window_sec`, and frames stamped NaN, which no recorder can ever take
// and which must not hold back everything behind them.
void trim_image_hub_locked(ImageHubInner& inner, double now);

class ImageHub {
 public:
  // The window is at least 0.1 s; NaN gives 0.1 s.
  explicit ImageHub(double window_sec);

  // Stores the frame; an empty `data` is ignored (no number used).
  void submit_jpeg(std::string camera_name, double timestamp, std::uint32_t width, std::uint32_t height,
                   common::Bytes data);

  std::optional<ImageData> latest_for(std::string_view camera_name) const;
  // One frame per camera seen, in no defined order.
  std::vector<ImageData> latest_all() const;
  std::uint64_t current_sequence() const;

  // Copies of the history's frames numbered above `after_sequence` with a
  // timestamp at most `until_timestamp` (NaN never matches), in history order.
  std::vector<std::pair<std::uint64_t, ImageData>> frames_after_until(std::uint64_t after_sequence,
                                                                      double until_timestamp) const;

 private:
  struct Store {
    mutable std::mutex mutex;
    ImageHubInner inner;  // guarded by mutex
  };
  std::shared_ptr<Store> store_;
};

}  // namespace kiv::image_hub
