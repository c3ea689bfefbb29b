// JPEG encoding with libjpeg-turbo, the fast path for every frame size it
// accepts (both sides up to kTurboMaxDimension).
#pragma once

#include <cstdint>

#include "common/bytes.h"
#include "common/result.h"

namespace kiv::image_writer {

inline constexpr std::uint32_t kTurboMaxDimension = 65500;

// Encodes width * height RGB pixels (sides 1 to kTurboMaxDimension, quality
// 1 to 100) as baseline 4:2:0 JPEG. Fails with libjpeg-turbo's own message.
common::Result<common::Bytes> turbo_encode(common::ByteView rgb, std::uint32_t width, std::uint32_t height,
                                           int quality);

}  // namespace kiv::image_writer
