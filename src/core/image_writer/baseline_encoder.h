// A small baseline JPEG encoder of our own, for the frame sizes libjpeg-turbo
// refuses.
//
// libjpeg-turbo caps both sides at 65500 pixels, while a JPEG frame header
// holds any size up to 65535 and so does ImageWriter. Frames with a side of
// 65501 to 65535 are encoded here: sequential DCT with 8-bit samples, JFIF
// YCbCr at 4:4:4, the standard Huffman tables and the standard quantisation
// tables scaled by quality the usual way. It is much slower than
// libjpeg-turbo and used for nothing else.
#pragma once

#include <cstdint>

#include "common/bytes.h"

namespace kiv::image_writer {

// Appends one complete JPEG stream to `out`. `rgb` holds width * height
// pixels of three bytes; width and height are 1 to 65535, quality 1 to 100.
void encode_baseline_jpeg(common::ByteView rgb, std::uint32_t width, std::uint32_t height, int quality,
                          common::Bytes& out);

}  // namespace kiv::image_writer
