#include "image_writer/turbo_encoder.h"

#include <turbojpeg.h>

#include <memory>

namespace kiv::image_writer {
namespace {

struct HandleDestroyer {
  void operator()(void* handle) const { tjDestroy(handle); }
};

// A compressor must not be shared between threads; each thread keeps its
// own for its whole life instead of setting one up per frame.
tjhandle compressor_for_this_thread() {
  thread_local std::unique_ptr<void, HandleDestroyer> compressor;
  if (!compressor) compressor.reset(tjInitCompress());
  return compressor.get();
}

}  // namespace

common::Result<common::Bytes> turbo_encode(common::ByteView rgb, std::uint32_t width, std::uint32_t height,
                                           int quality) {
  tjhandle compressor = compressor_for_this_thread();
  if (compressor == nullptr) return common::fail(tjGetErrorStr2(nullptr));

  // A worst-case buffer with TJFLAG_NOREALLOC: libjpeg-turbo then writes in
  // place and never swaps or frees the buffer behind our back, as its
  // growing mode does.
  const unsigned long capacity = tjBufSize(static_cast<int>(width), static_cast<int>(height), TJSAMP_420);
  if (capacity == static_cast<unsigned long>(-1)) return common::fail(tjGetErrorStr2(nullptr));
  auto buffer = std::make_unique_for_overwrite<unsigned char[]>(capacity);
  unsigned char* out = buffer.get();
  unsigned long size = 0;
  if (tjCompress2(compressor, rgb.data(), static_cast<int>(width), 0, static_cast<int>(height), TJPF_RGB, &out,
                  &size, TJSAMP_420, quality, TJFLAG_NOREALLOC | TJFLAG_ACCURATEDCT) != 0) {
    return common::fail(tjGetErrorStr2(compressor));
  }
  return common::Bytes(out, out + size);
}

}  // namespace kiv::image_writer
