#include "image_writer/image_writer.h"

#include <algorithm>
#include <limits>
#include <new>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <utility>

#include "common/format.h"
#include "image_writer/baseline_encoder.h"
#include "image_writer/turbo_encoder.h"
#include "log/log.h"

namespace kiv::image_writer {
namespace {

// A JPEG frame header holds 16-bit sizes.
constexpr std::uint32_t kMaxDimension = 65535;

void encode_and_report(common::Bytes rgb, std::uint32_t width, std::uint32_t height, std::uint8_t quality,
                       const OnDone& on_done) noexcept {
  // Nothing may escape a detached thread: it would end the process.
  common::Result<common::Bytes> outcome = [&]() -> common::Result<common::Bytes> {
    try {
      return ImageWriter().encode_jpeg(rgb, width, height, quality);
    } catch (const std::bad_alloc&) {
      return common::fail("out of memory");
    } catch (const std::exception& error) {
      return common::fail(error.what());
    }
  }();
  try {
    if (on_done) on_done(std::move(outcome));
  } catch (...) {
    // A failing callback has no one left to tell.
  }
}

}  // namespace

common::Result<common::Bytes> ImageWriter::encode_jpeg(common::ByteView rgb, std::uint32_t width,
                                                       std::uint32_t height, std::uint8_t quality) const {
  const std::uint64_t pixels = std::uint64_t{width} * height;  // exact: both factors are below 2^32
  const std::uint64_t expected = pixels * 3;                    // may wrap; the check below catches that
  if (rgb.size() != expected) {
    return common::fail(common::format("Invalid image data: expected {} bytes for {}x{} RGB, got {}", expected,
                                       width, height, rgb.size()));
  }
  if (pixels > std::numeric_limits<std::uint64_t>::max() / 3) return common::fail("Failed to create image buffer");

  const int effective_quality = std::clamp<int>(quality, 1, 100);
  if (width == 0 || height == 0 || width > kMaxDimension || height > kMaxDimension) {
    return common::fail(common::format(
        "JPEG encoding failed: Format error encoding Jpeg:\nInvalid image size ({} x {}) to encode as JPEG: "
        "width and height must be >= 1 and <= 65535",
        width, height));
  }

  if (width <= kTurboMaxDimension && height <= kTurboMaxDimension) {
    auto encoded = turbo_encode(rgb, width, height, effective_quality);
    if (!encoded) return common::fail("JPEG encoding failed: " + encoded.error());
    return encoded;
  }
  common::Bytes out;
  out.reserve(pixels);  // typical output is well below a byte per pixel
  encode_baseline_jpeg(rgb, width, height, effective_quality, out);
  return out;
}

void ImageWriter::submit_async(common::Bytes rgb, std::uint32_t width, std::uint32_t height,
                               std::uint8_t quality, OnDone on_done) const {
  try {
    std::thread(encode_and_report, std::move(rgb), width, height, quality, std::move(on_done)).detach();
  } catch (const std::system_error& error) {
    throw std::runtime_error(common::format("failed to spawn thread: {}", error.what()));
  }
}

void log_async_outcome(const common::Result<common::Bytes>& outcome) {
  if (outcome) {
    log::write(log::Level::Debug, "kiv_rs", "ImageWriter: encoded {} bytes async", outcome->size());
  } else {
    log::write(log::Level::Error, "kiv_rs", "ImageWriter: async encoding failed: {}", outcome.error());
  }
}

}  // namespace kiv::image_writer
