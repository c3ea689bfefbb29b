#include "image_writer/image_writer.h"

#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>

#include "image_writer/baseline_encoder.h"
#include "log_capture.h"

namespace kiv::image_writer {
namespace {

using common::Bytes;

// A frame whose colour changes in both directions, so that misplaced
// blocks, swapped channels or a wrong transform all show.
Bytes gradient(std::uint32_t width, std::uint32_t height) {
  Bytes rgb;
  rgb.reserve(std::size_t{width} * height * 3);
  for (std::uint32_t y = 0; y < height; ++y) {
    for (std::uint32_t x = 0; x < width; ++x) {
      rgb.push_back(static_cast<std::uint8_t>(255 * x / std::max(width - 1, 1u)));
      rgb.push_back(static_cast<std::uint8_t>(255 * y / std::max(height - 1, 1u)));
      rgb.push_back(static_cast<std::uint8_t>(128 + 100 * ((x / 16 + y / 16) % 2)));
    }
  }
  return rgb;
}

struct Decoded {
  int width = 0;
  int height = 0;
  Bytes rgb;
};

// libjpeg-turbo's decoder, independent of the encoder under test.
Decoded decode(const Bytes& jpeg) {
  tjhandle decompressor = tjInitDecompress();
  Decoded out;
  int subsampling = 0, colourspace = 0;
  if (tjDecompressHeader3(decompressor, jpeg.data(), jpeg.size(), &out.width, &out.height, &subsampling,
                          &colourspace) != 0) {
    std::string message = tjGetErrorStr2(decompressor);
    tjDestroy(decompressor);
    throw std::runtime_error(message);
  }
  out.rgb.resize(std::size_t(out.width) * out.height * 3);
  const int status = tjDecompress2(decompressor, jpeg.data(), jpeg.size(), out.rgb.data(), out.width, 0,
                                   out.height, TJPF_RGB, TJFLAG_ACCURATEDCT);
  std::string message = tjGetErrorStr2(decompressor);
  tjDestroy(decompressor);
  if (status != 0) throw std::runtime_error(message);
  return out;
}

double mean_abs_difference(const Bytes& a, const Bytes& b) {
  double sum = 0;
  for (std::size_t i = 0; i < a.size(); ++i) sum += std::abs(int(a[i]) - int(b[i]));
  return sum / double(a.size());
}

TEST(ImageWriter, EncodesAFrameThatDecodesBack) {
  const Bytes rgb = gradient(61, 37);
  auto jpeg = ImageWriter().encode_jpeg(rgb, 61, 37, 90);
  ASSERT_TRUE(jpeg) << jpeg.error();
  ASSERT_GE(jpeg->size(), 4u);
  EXPECT_EQ((*jpeg)[0], 0xFF);
  EXPECT_EQ((*jpeg)[1], 0xD8);
  EXPECT_EQ(jpeg->end()[-2], 0xFF);
  EXPECT_EQ(jpeg->end()[-1], 0xD9);
  Decoded decoded = decode(*jpeg);
  EXPECT_EQ(decoded.width, 61);
  EXPECT_EQ(decoded.height, 37);
  EXPECT_LT(mean_abs_difference(decoded.rgb, rgb), 4.0);
}

std::string size_error(std::uint32_t width, std::uint32_t height) {
  return "JPEG encoding failed: Format error encoding Jpeg:\nInvalid image size (" + std::to_string(width) + " x " +
         std::to_string(height) + ") to encode as JPEG: width and height must be >= 1 and <= 65535";
}

struct ErrorCase {
  std::uint32_t width;
  std::uint32_t height;
  std::size_t length;
  std::string message;
};

class ImageWriterErrors : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(ImageWriterErrors, ReportTheDocumentedText) {
  const ErrorCase& c = GetParam();
  const Bytes rgb(c.length, 0x40);
  auto result = ImageWriter().encode_jpeg(rgb, c.width, c.height, 85);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ImageWriterErrors,
    ::testing::Values(
        ErrorCase{2, 2, 11, "Invalid image data: expected 12 bytes for 2x2 RGB, got 11"},
        ErrorCase{2, 2, 13, "Invalid image data: expected 12 bytes for 2x2 RGB, got 13"},
        // width * height * 3 wraps modulo 2^64, and the expected length says so.
        ErrorCase{4294967295u, 4294967295u, 0,
                  "Invalid image data: expected 18446744047939747843 bytes for 4294967295x4294967295 RGB, got 0"},
        // The wrapped length matches, but no such frame can exist.
        ErrorCase{1431724848u, 4294760058u, 11936, "Failed to create image buffer"},
        // The size check passes; the sides are out of range.
        ErrorCase{0, 5, 0, size_error(0, 5)}, ErrorCase{5, 0, 0, size_error(5, 0)},
        ErrorCase{70000, 1, 210000, size_error(70000, 1)}, ErrorCase{1, 65536, 196608, size_error(1, 65536)}));

// Our own encoder serves only sides above libjpeg-turbo's limit, so it is
// checked here directly, at sizes libjpeg-turbo's decoder accepts too.
class BaselineEncoder : public ::testing::TestWithParam<std::tuple<std::uint32_t, std::uint32_t, int>> {};

TEST_P(BaselineEncoder, OutputDecodesWithinJpegTolerance) {
  const auto [width, height, quality] = GetParam();
  const Bytes rgb = gradient(width, height);
  Bytes jpeg;
  encode_baseline_jpeg(rgb, width, height, quality, jpeg);
  Decoded decoded = decode(jpeg);
  ASSERT_EQ(decoded.width, int(width));
  ASSERT_EQ(decoded.height, int(height));
  // Quality 1 quantises away nearly everything but each block's mean.
  const double tolerance = quality >= 90 ? 2.0 : quality >= 50 ? 6.0 : 40.0;
  EXPECT_LT(mean_abs_difference(decoded.rgb, rgb), tolerance);
}

INSTANTIATE_TEST_SUITE_P(Sizes, BaselineEncoder,
                         ::testing::Combine(::testing::Values(1u, 8u, 9u, 61u), ::testing::Values(1u, 7u, 37u),
                                            ::testing::Values(1, 50, 95, 100)));

TEST(BaselineEncoder, KeepsSolidColours) {
  for (const auto& [r, g, b] : {std::tuple{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {0, 0, 0}, {255, 255, 255}}) {
    Bytes rgb;
    for (int i = 0; i < 19 * 11; ++i) rgb.insert(rgb.end(), {std::uint8_t(r), std::uint8_t(g), std::uint8_t(b)});
    Bytes jpeg;
    encode_baseline_jpeg(rgb, 19, 11, 85, jpeg);
    Decoded decoded = decode(jpeg);
    for (std::size_t i = 0; i < decoded.rgb.size(); ++i) {
      ASSERT_NEAR(decoded.rgb[i], rgb[i], 3) << "colour " << r << "," << g << "," << b << " at byte " << i;
    }
  }
}

// Polls, since the encoding threads finish whenever the machine lets them.
template <typename Done>
bool eventually(Done done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

TEST(ImageWriterAsync, LogsEachOutcomeUnderTheBindingTarget) {
  testing::LogCapture capture(log::Level::Debug);
  const Bytes rgb = gradient(16, 8);
  const auto sync = ImageWriter().encode_jpeg(rgb, 16, 8, 85);
  ASSERT_TRUE(sync);
  ImageWriter().submit_async(rgb, 16, 8, 85, log_async_outcome);
  ImageWriter().submit_async(Bytes(11), 2, 2, 85, log_async_outcome);
  ImageWriter().submit_async(Bytes(), 0, 5, 85, log_async_outcome);
  ASSERT_TRUE(eventually([&] { return capture.records().size() == 3; }));
  EXPECT_TRUE(capture.contains(
      {log::Level::Debug, "kiv_rs", "ImageWriter: encoded " + std::to_string(sync->size()) + " bytes async"}));
  EXPECT_TRUE(capture.contains({log::Level::Error, "kiv_rs",
                                "ImageWriter: async encoding failed: Invalid image data: expected 12 bytes for 2x2 "
                                "RGB, got 11"}));
  EXPECT_TRUE(capture.contains({log::Level::Error, "kiv_rs", "ImageWriter: async encoding failed: " + size_error(0, 5)}));
}

TEST(ImageWriterAsync, SkipsRecordsTheMaximumLevelRefuses) {
  testing::LogCapture capture(log::Level::Error);
  std::atomic<int> done = 0;
  auto report = [&](common::Result<Bytes> outcome) {
    log_async_outcome(outcome);
    ++done;
  };
  ImageWriter().submit_async(gradient(4, 4), 4, 4, 85, report);
  ImageWriter().submit_async(Bytes(1), 4, 4, 85, report);
  ASSERT_TRUE(eventually([&] { return done == 2; }));
  auto records = capture.records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].level, log::Level::Error);
}

TEST(ImageWriterAsync, ManyConcurrentEncodingsEachReportTheirOwnFrame) {
  constexpr int kFrames = 48;
  std::atomic<int> matched = 0, finished = 0;
  for (int i = 0; i < kFrames; ++i) {
    const std::uint32_t width = 8 + i;  // a different frame, and so stream, per call
    Bytes rgb = gradient(width, 6);
    const Bytes expected = ImageWriter().encode_jpeg(rgb, width, 6, 80).value();
    ImageWriter().submit_async(std::move(rgb), width, 6, 80, [&, expected](common::Result<Bytes> outcome) {
      if (outcome && outcome.value() == expected) ++matched;
      ++finished;
    });
  }
  ASSERT_TRUE(eventually([&] { return finished == kFrames; }));
  EXPECT_EQ(matched, kFrames);
}

TEST(ImageWriterAsync, ACallbackThatThrowsDoesNotEndTheProcess) {
  std::atomic<bool> called = false;
  ImageWriter().submit_async(gradient(2, 2), 2, 2, 85, [&](common::Result<Bytes>) {
    called = true;
    throw std::runtime_error("sink failed");
  });
  ASSERT_TRUE(eventually([&] { return called.load(); }));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the thread unwinds and ends
}

}  // namespace
}  // namespace kiv::image_writer
