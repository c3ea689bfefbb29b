#include "image_hub/image_hub.h"

#include <memory>
#include <string>
#include <tuple>

#include "bindings/classes.h"
#include "kit/type_builder.h"

namespace kiv::python {
namespace {

using image_hub::ImageData;
using image_hub::ImageHub;

constexpr char kClassDoc[] = "ImageHub(window_sec)\n--\n\n";
constexpr char kSubmitJpegDoc[] = "submit_jpeg($self, camera_name, timestamp, width, height, data)\n--\n\n";
constexpr char kLatestJpegDoc[] = "latest_jpeg($self, camera_name)\n--\n\n";
constexpr char kLatestAllDoc[] = "latest_all($self)\n--\n\n";
constexpr char kCurrentSequenceDoc[] = "current_sequence($self)\n--\n\n";

// (camera_name, timestamp, width, height, data) over a frame copied out of
// the store; the Python objects are built after the store's lock is released.
using FrameTuple = std::tuple<std::string_view, double, std::uint32_t, std::uint32_t, common::ByteView>;

FrameTuple tuple_of(const ImageData& frame) {
  return {frame.camera_name, frame.timestamp, frame.width, frame.height, frame.data};
}

std::unique_ptr<ImageHub> make(double window_sec) { return std::make_unique<ImageHub>(window_sec); }

void submit_jpeg(ImageHub& hub, std::string_view camera_name, double timestamp, std::uint32_t width,
                 std::uint32_t height, common::ByteView data) {
  hub.submit_jpeg(std::string(camera_name), timestamp, width, height, common::Bytes(data.begin(), data.end()));
}

PyObject* latest_jpeg(ImageHub& hub, std::string_view camera_name) {
  auto frame = hub.latest_for(camera_name);
  return frame ? to_python(tuple_of(*frame)) : none();
}

PyObject* latest_all(ImageHub& hub) {
  const std::vector<ImageData> frames = hub.latest_all();
  std::vector<FrameTuple> tuples;
  tuples.reserve(frames.size());
  for (const ImageData& frame : frames) tuples.push_back(tuple_of(frame));
  return to_python(tuples);
}

std::uint64_t current_sequence(ImageHub& hub) { return hub.current_sequence(); }

std::string repr(ImageHub&) { return "ImageHub(native)"; }

}  // namespace

PyTypeObject* build_image_hub_class() {
  return ClassBuilder<ImageHub, kClassDoc>()
      .constructor<&make>()
      .method<&submit_jpeg, kSubmitJpegDoc>()
      .method<&latest_jpeg, kLatestJpegDoc>()
      .method<&latest_all, kLatestAllDoc>()
      .method<&current_sequence, kCurrentSequenceDoc>()
      .repr<&repr>()
      .build();
}

}  // namespace kiv::python
