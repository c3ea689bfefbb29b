// Raw RGB camera frames to JPEG, in the calling thread or fire-and-forget on
// a thread of its own per frame.
#pragma once

#include <cstdint>
#include <functional>

#include "common/bytes.h"
#include "common/result.h"

namespace kiv::image_writer {

// Receives the outcome of one asynchronous encoding: the JPEG stream or the
// error text encode_jpeg would have returned.
using OnDone = std::function<void(common::Result<common::Bytes> outcome)>;

// Stateless: its operations are pure functions of their arguments, and
// encoding threads hold no share of it.
class ImageWriter {
 public:
  // Encodes `rgb` (width * height pixels, rows top to bottom, three bytes
  // R, G, B each) as one baseline JPEG stream. Quality 0 counts as 1 and
  // anything above 100 as 100. Fails with a message text for data of the
  // wrong length, sizes beyond 64 bits, or sides outside 1 to 65535.
  common::Result<common::Bytes> encode_jpeg(common::ByteView rgb, std::uint32_t width, std::uint32_t height,
                                            std::uint8_t quality) const;

  // Starts one detached thread that owns `rgb`, encodes it as encode_jpeg
  // does and calls `on_done` once with the outcome. Returns once the thread
  // is started; throws std::runtime_error "failed to spawn thread: ..." if
  // it cannot be.
  void submit_async(common::Bytes rgb, std::uint32_t width, std::uint32_t height, std::uint8_t quality,
                    OnDone on_done) const;
};

// The outcome report of the Python face's submit_async: a Debug record with
// the stream's length, or an Error record with the failure, target "kiv_rs".
void log_async_outcome(const common::Result<common::Bytes>& outcome);

}  // namespace kiv::image_writer
