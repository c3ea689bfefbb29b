#include "image_writer/image_writer.h"

#include <memory>
#include <utility>

#include "bindings/classes.h"
#include "kit/type_builder.h"

namespace kiv::python {
namespace {

using image_writer::ImageWriter;

constexpr char kClassDoc[] =
    "ImageWriter()\n--\n\n"
    "Async JPEG encoder for fire-and-forget image encoding (no GIL).\n\n"
    "Accepts raw RGB bytes from Python and encodes to JPEG in background threads.\n"
    "Returns immediately without waiting for encoding to complete.\n\n"
    "Constructor: ``ImageWriter()``\n\n"
    "Methods:\n"
    "  - encode_jpeg(data, width, height, quality) -> bytes (synchronous)\n"
    "  - submit_async(data, width, height, quality) -> None (fire-and-forget)\n\n"
    "Example (Python):\n"
    "```python\n"
    "from kiv_rs import ImageWriter\n"
    "writer = ImageWriter()\n"
    "# Fire-and-forget: returns immediately, encoding happens on background thread\n"
    "writer.submit_async(frame.tobytes(), 640, 480, 85)\n"
    "```";
constexpr char kEncodeJpegDoc[] =
    "encode_jpeg($self, data, width, height, quality)\n--\n\n"
    "Encode raw RGB bytes to JPEG synchronously.\n\n"
    "Args:\n"
    "  data: Raw RGB bytes (width * height * 3 bytes)\n"
    "  width: Image width in pixels\n"
    "  height: Image height in pixels\n"
    "  quality: JPEG quality (1-100, default 85)\n\n"
    "Returns:\n"
    "  JPEG bytes encoded from the input image";
constexpr char kSubmitAsyncDoc[] =
    "submit_async($self, data, width, height, quality)\n--\n\n"
    "Submit image for async JPEG encoding (fire-and-forget).\n\n"
    "Returns immediately. Encoding happens on a background thread.\n"
    "No callback or return value \u2014 designed for hot-path Python code.\n\n"
    "Args:\n"
    "  data: Raw RGB bytes (width * height * 3 bytes)\n"
    "  width: Image width in pixels\n"
    "  height: Image height in pixels\n"
    "  quality: JPEG quality (1-100, default 85)";

std::unique_ptr<ImageWriter> make() { return std::make_unique<ImageWriter>(); }

// Encodes in the calling thread, with the GIL held; the stream comes back as
// a list of byte values.
PyObject* encode_jpeg(ImageWriter& writer, common::ByteView data, std::uint32_t width, std::uint32_t height,
                      std::uint8_t quality) {
  auto encoded = writer.encode_jpeg(data, width, height, quality);
  if (!encoded) raise(PyExc_ValueError, encoded.error());
  return to_int_list(*encoded);
}

// `data` was copied during argument conversion; the thread owns that copy.
void submit_async(ImageWriter& writer, common::Bytes data, std::uint32_t width, std::uint32_t height,
                  std::uint8_t quality) {
  writer.submit_async(std::move(data), width, height, quality, &image_writer::log_async_outcome);
}

std::string repr(ImageWriter&) { return "ImageWriter()"; }

}  // namespace

PyTypeObject* build_image_writer_class() {
  return ClassBuilder<ImageWriter, kClassDoc>()
      .constructor<&make>()
      .method<&encode_jpeg, kEncodeJpegDoc>()
      .method<&submit_async, kSubmitAsyncDoc>()
      .repr<&repr>()
      .build();
}

}  // namespace kiv::python
