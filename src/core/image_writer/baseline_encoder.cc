#include "image_writer/baseline_encoder.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <span>

namespace kiv::image_writer {
namespace {

using Block = std::array<float, 64>;
using QuantTable = std::array<std::uint8_t, 64>;

// Row-major index of each coefficient in zig-zag order.
constexpr std::array<std::uint8_t, 64> kZigZag = [] {
  std::array<std::uint8_t, 64> order{};
  int k = 0;
  for (int diagonal = 0; diagonal < 15; ++diagonal) {
    const int low = std::max(0, diagonal - 7);
    const int high = std::min(diagonal, 7);
    for (int i = 0; i <= high - low; ++i) {
      // Even diagonals run up and to the right, odd ones down and to the left.
      const int row = diagonal % 2 == 0 ? high - i : low + i;
      order[k++] = static_cast<std::uint8_t>(row * 8 + diagonal - row);
    }
  }
  return order;
}();

// The example tables of the JPEG standard (Annex K.1), row-major, for quality 50.
constexpr QuantTable kLuminanceQuant = {
    16, 11, 10, 16, 24,  40,  51,  61,   //
    12, 12, 14, 19, 26,  58,  60,  55,   //
    14, 13, 16, 24, 40,  57,  69,  56,   //
    14, 17, 22, 29, 51,  87,  80,  62,   //
    18, 22, 37, 56, 68,  109, 103, 77,   //
    24, 35, 55, 64, 81,  104, 113, 92,   //
    49, 64, 78, 87, 103, 121, 120, 101,  //
    72, 92, 95, 98, 112, 100, 103, 99,
};
constexpr QuantTable kChrominanceQuant = {
    17, 18, 24, 47, 99, 99, 99, 99,  //
    18, 21, 26, 66, 99, 99, 99, 99,  //
    24, 26, 56, 99, 99, 99, 99, 99,  //
    47, 66, 99, 99, 99, 99, 99, 99,  //
    99, 99, 99, 99, 99, 99, 99, 99,  //
    99, 99, 99, 99, 99, 99, 99, 99,  //
    99, 99, 99, 99, 99, 99, 99, 99,  //
    99, 99, 99, 99, 99, 99, 99, 99,
};

// The standard Huffman tables (Annex K.3): how many codes of each length
// 1..16, then the symbols in code order.
constexpr std::array<std::uint8_t, 16> kDcLuminanceCounts = {0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0};
constexpr std::array<std::uint8_t, 16> kDcChrominanceCounts = {0, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0};
constexpr std::array<std::uint8_t, 12> kDcSymbols = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};

constexpr std::array<std::uint8_t, 16> kAcLuminanceCounts = {0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 0x7d};
constexpr std::array<std::uint8_t, 162> kAcLuminanceSymbols = {
    0x01, 0x02, 0x03, 0x00, 0x04, 0x11, 0x05, 0x12, 0x21, 0x31, 0x41, 0x06, 0x13, 0x51, 0x61, 0x07, 0x22, 0x71,
    0x14, 0x32, 0x81, 0x91, 0xa1, 0x08, 0x23, 0x42, 0xb1, 0xc1, 0x15, 0x52, 0xd1, 0xf0, 0x24, 0x33, 0x62, 0x72,
    0x82, 0x09, 0x0a, 0x16, 0x17, 0x18, 0x19, 0x1a, 0x25, 0x26, 0x27, 0x28, 0x29, 0x2a, 0x34, 0x35, 0x36, 0x37,
    0x38, 0x39, 0x3a, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59,
    0x5a, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a, 0x83,
    0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99, 0x9a, 0xa2, 0xa3,
    0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4, 0xb5, 0xb6, 0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3,
    0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca, 0xd2, 0xd3, 0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe1, 0xe2,
    0xe3, 0xe4, 0xe5, 0xe6, 0xe7, 0xe8, 0xe9, 0xea, 0xf1, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa,
};
constexpr std::array<std::uint8_t, 16> kAcChrominanceCounts = {0, 2, 1, 2, 4, 4, 3, 4, 7, 5, 4, 4, 0, 1, 2, 0x77};
constexpr std::array<std::uint8_t, 162> kAcChrominanceSymbols = {
    0x00, 0x01, 0x02, 0x03, 0x11, 0x04, 0x05, 0x21, 0x31, 0x06, 0x12, 0x41, 0x51, 0x07, 0x61, 0x71, 0x13, 0x22,
    0x32, 0x81, 0x08, 0x14, 0x42, 0x91, 0xa1, 0xb1, 0xc1, 0x09, 0x23, 0x33, 0x52, 0xf0, 0x15, 0x62, 0x72, 0xd1,
    0x0a, 0x16, 0x24, 0x34, 0xe1, 0x25, 0xf1, 0x17, 0x18, 0x19, 0x1a, 0x26, 0x27, 0x28, 0x29, 0x2a, 0x35, 0x36,
    0x37, 0x38, 0x39, 0x3a, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58,
    0x59, 0x5a, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a,
    0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99, 0x9a,
    0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4, 0xb5, 0xb6, 0xb7, 0xb8, 0xb9, 0xba,
    0xc2, 0xc3, 0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca, 0xd2, 0xd3, 0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda,
    0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7, 0xe8, 0xe9, 0xea, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa,
};

// Every symbol a baseline AC coder may emit (end of block, run of 16 zeros,
// run/size pairs for sizes 1..10) must have a code, exactly once.
constexpr bool covers_every_ac_symbol(std::span<const std::uint8_t> symbols) {
  std::array<int, 256> seen{};
  for (std::uint8_t symbol : symbols) ++seen[symbol];
  for (int run = 0; run < 16; ++run) {
    for (int size = 1; size <= 10; ++size) {
      if (seen[run << 4 | size] != 1) return false;
    }
  }
  return seen[0x00] == 1 && seen[0xF0] == 1 && symbols.size() == 162;
}
static_assert(covers_every_ac_symbol(kAcLuminanceSymbols));
static_assert(covers_every_ac_symbol(kAcChrominanceSymbols));

struct HuffmanSpec {
  std::uint8_t class_and_id;  // high nibble 0 for DC, 1 for AC; low nibble the table slot
  std::span<const std::uint8_t, 16> counts;
  std::span<const std::uint8_t> symbols;
};

constexpr std::array<HuffmanSpec, 4> kHuffmanSpecs = {{
    {0x00, kDcLuminanceCounts, kDcSymbols},
    {0x10, kAcLuminanceCounts, kAcLuminanceSymbols},
    {0x01, kDcChrominanceCounts, kDcSymbols},
    {0x11, kAcChrominanceCounts, kAcChrominanceSymbols},
}};

struct HuffmanCodes {
  std::array<std::uint16_t, 256> code{};
  std::array<std::uint8_t, 256> length{};
};

// Canonical code assignment: consecutive codes within a length, shifted
// left by one between lengths.
HuffmanCodes build_codes(const HuffmanSpec& spec) {
  HuffmanCodes codes;
  std::uint32_t code = 0;
  std::size_t k = 0;
  for (int length = 1; length <= 16; ++length) {
    for (int i = 0; i < spec.counts[length - 1]; ++i, ++k) {
      codes.code[spec.symbols[k]] = static_cast<std::uint16_t>(code++);
      codes.length[spec.symbols[k]] = static_cast<std::uint8_t>(length);
    }
    code <<= 1;
  }
  return codes;
}

const std::array<HuffmanCodes, 4>& huffman_codes() {
  static const std::array<HuffmanCodes, 4> codes = {
      build_codes(kHuffmanSpecs[0]), build_codes(kHuffmanSpecs[1]),
      build_codes(kHuffmanSpecs[2]), build_codes(kHuffmanSpecs[3])};
  return codes;
}

// The usual quality scaling of the example tables; entries stay within
// 1..255 as baseline requires.
QuantTable scaled(const QuantTable& base, int quality) {
  const int scale = quality < 50 ? 5000 / quality : 200 - 2 * quality;
  QuantTable table{};
  for (std::size_t i = 0; i < 64; ++i) {
    table[i] = static_cast<std::uint8_t>(std::clamp((base[i] * scale + 50) / 100, 1, 255));
  }
  return table;
}

// The DCT below leaves coefficient (u, v) multiplied by 8 * s(u) * s(v);
// quantising divides that out together with the table entry.
std::array<float, 64> divisors(const QuantTable& table) {
  std::array<double, 8> s{};
  for (int k = 0; k < 8; ++k) s[k] = k == 0 ? 1.0 : std::cos(k * M_PI / 16) * std::sqrt(2.0);
  std::array<float, 64> out{};
  for (int u = 0; u < 8; ++u) {
    for (int v = 0; v < 8; ++v) out[u * 8 + v] = static_cast<float>(1.0 / (table[u * 8 + v] * s[u] * s[v] * 8.0));
  }
  return out;
}

// One 8-point pass of the Arai-Agui-Nakajima DCT over d[0], d[stride], ...
void dct_pass(float* d, int stride) {
  auto at = [&](int i) -> float& { return d[i * stride]; };
  const float tmp0 = at(0) + at(7), tmp7 = at(0) - at(7);
  const float tmp1 = at(1) + at(6), tmp6 = at(1) - at(6);
  const float tmp2 = at(2) + at(5), tmp5 = at(2) - at(5);
  const float tmp3 = at(3) + at(4), tmp4 = at(3) - at(4);

  const float even10 = tmp0 + tmp3, even13 = tmp0 - tmp3;
  const float even11 = tmp1 + tmp2, even12 = tmp1 - tmp2;
  at(0) = even10 + even11;
  at(4) = even10 - even11;
  const float z1 = (even12 + even13) * 0.707106781f;
  at(2) = even13 + z1;
  at(6) = even13 - z1;

  const float odd10 = tmp4 + tmp5, odd11 = tmp5 + tmp6, odd12 = tmp6 + tmp7;
  const float z5 = (odd10 - odd12) * 0.382683433f;
  const float z2 = 0.541196100f * odd10 + z5;
  const float z4 = 1.306562965f * odd12 + z5;
  const float z3 = odd11 * 0.707106781f;
  const float z11 = tmp7 + z3, z13 = tmp7 - z3;
  at(5) = z13 + z2;
  at(3) = z13 - z2;
  at(1) = z11 + z4;
  at(7) = z11 - z4;
}

void forward_dct(Block& block) {
  for (int row = 0; row < 8; ++row) dct_pass(block.data() + row * 8, 1);
  for (int col = 0; col < 8; ++col) dct_pass(block.data() + col, 8);
}

class BitWriter {
 public:
  explicit BitWriter(common::Bytes& out) : out_(out) {}

  // Appends the low `count` bits of `bits` (count <= 16), most significant first.
  void put(std::uint32_t bits, int count) {
    accumulator_ = (accumulator_ << count) | (bits & ((1u << count) - 1));
    pending_ += count;
    while (pending_ >= 8) {
      pending_ -= 8;
      const auto byte = static_cast<std::uint8_t>(accumulator_ >> pending_);
      out_.push_back(byte);
      if (byte == 0xFF) out_.push_back(0x00);  // stuffed, so that it cannot read as a marker
    }
  }

  // Completes the last byte with one bits.
  void flush() {
    if (pending_ > 0) put(0x7F, 8 - pending_);
  }

 private:
  common::Bytes& out_;
  std::uint64_t accumulator_ = 0;
  int pending_ = 0;
};

struct Component {
  std::array<float, 64> divisors;
  const HuffmanCodes* dc;
  const HuffmanCodes* ac;
  int previous_dc = 0;
};

void put_symbol(BitWriter& writer, const HuffmanCodes& codes, int symbol) {
  writer.put(codes.code[symbol], codes.length[symbol]);
}

// A coefficient is sent as its size category, then its low bits (negative
// values as value - 1, so that the category's leading bit tells the sign).
int category(int value) { return std::bit_width(static_cast<unsigned>(value < 0 ? -value : value)); }
void put_amount(BitWriter& writer, int value, int size) {
  writer.put(static_cast<std::uint32_t>(value < 0 ? value - 1 : value), size);
}

void encode_block(Block& samples, Component& component, BitWriter& writer) {
  forward_dct(samples);
  std::array<int, 64> zigzag{};
  for (int k = 0; k < 64; ++k) {
    const int natural = kZigZag[k];
    const long value = std::lround(samples[natural] * component.divisors[natural]);
    // Bounds of baseline: DC differences need at most 11 bits, AC values 10.
    zigzag[k] = static_cast<int>(k == 0 ? std::clamp(value, -1024L, 1023L) : std::clamp(value, -1023L, 1023L));
  }

  const int difference = zigzag[0] - component.previous_dc;
  component.previous_dc = zigzag[0];
  const int dc_size = category(difference);
  put_symbol(writer, *component.dc, dc_size);
  put_amount(writer, difference, dc_size);

  int run = 0;
  for (int k = 1; k < 64; ++k) {
    if (zigzag[k] == 0) {
      ++run;
      continue;
    }
    for (; run > 15; run -= 16) put_symbol(writer, *component.ac, 0xF0);
    const int size = category(zigzag[k]);
    put_symbol(writer, *component.ac, run << 4 | size);
    put_amount(writer, zigzag[k], size);
    run = 0;
  }
  if (run > 0) put_symbol(writer, *component.ac, 0x00);
}

// Level-shifted JFIF YCbCr of the 8 x 8 pixels from (x0, y0); blocks that
// overhang the frame repeat its last column and row.
void load_blocks(common::ByteView rgb, std::uint32_t width, std::uint32_t height, std::uint32_t x0,
                 std::uint32_t y0, Block& y, Block& cb, Block& cr) {
  for (std::uint32_t row = 0; row < 8; ++row) {
    const std::uint64_t py = std::min(y0 + row, height - 1);
    const std::uint8_t* line = rgb.data() + py * width * 3;
    for (std::uint32_t col = 0; col < 8; ++col) {
      const std::uint64_t px = std::min(x0 + col, width - 1);
      const std::uint8_t* pixel = line + px * 3;
      const float r = pixel[0], g = pixel[1], b = pixel[2];
      const std::size_t i = row * 8 + col;
      y[i] = 0.299f * r + 0.587f * g + 0.114f * b - 128.0f;
      cb[i] = -0.168736f * r - 0.331264f * g + 0.5f * b;
      cr[i] = 0.5f * r - 0.418688f * g - 0.081312f * b;
    }
  }
}

void put_marker(common::Bytes& out, std::uint8_t code) {
  out.push_back(0xFF);
  out.push_back(code);
}
void put_u16(common::Bytes& out, std::uint32_t value) {
  out.push_back(static_cast<std::uint8_t>(value >> 8));
  out.push_back(static_cast<std::uint8_t>(value));
}
void put_all(common::Bytes& out, std::span<const std::uint8_t> bytes) { out.insert(out.end(), bytes.begin(), bytes.end()); }

constexpr std::uint8_t kComponentIds[3] = {1, 2, 3};  // Y, Cb, Cr

void write_headers(common::Bytes& out, std::uint32_t width, std::uint32_t height, const QuantTable& luminance,
                   const QuantTable& chrominance) {
  put_marker(out, 0xD8);  // start of image

  // JFIF 1.01, no density unit, square pixels, no thumbnail.
  constexpr std::uint8_t kJfif[] = {'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 0, 0};
  put_marker(out, 0xE0);
  put_u16(out, 2 + sizeof kJfif);
  put_all(out, kJfif);

  put_marker(out, 0xDB);  // quantisation tables 0 and 1, 8-bit entries in zig-zag order
  put_u16(out, 2 + 2 * 65);
  for (std::uint8_t id : {0, 1}) {
    const QuantTable& table = id == 0 ? luminance : chrominance;
    out.push_back(id);
    for (std::uint8_t natural : kZigZag) out.push_back(table[natural]);
  }

  put_marker(out, 0xC0);  // baseline frame: 8-bit samples, three components, no subsampling
  put_u16(out, 8 + 3 * 3);
  out.push_back(8);
  put_u16(out, height);
  put_u16(out, width);
  out.push_back(3);
  for (std::uint8_t id : kComponentIds) {
    out.push_back(id);
    out.push_back(0x11);
    out.push_back(id == 1 ? 0 : 1);
  }

  put_marker(out, 0xC4);
  std::uint32_t length = 2;
  for (const HuffmanSpec& spec : kHuffmanSpecs) length += 1 + 16 + static_cast<std::uint32_t>(spec.symbols.size());
  put_u16(out, length);
  for (const HuffmanSpec& spec : kHuffmanSpecs) {
    out.push_back(spec.class_and_id);
    put_all(out, spec.counts);
    put_all(out, spec.symbols);
  }

  put_marker(out, 0xDA);  // one interleaved scan of all coefficients
  put_u16(out, 6 + 2 * 3);
  out.push_back(3);
  for (std::uint8_t id : kComponentIds) {
    out.push_back(id);
    out.push_back(id == 1 ? 0x00 : 0x11);
  }
  out.push_back(0);
  out.push_back(63);
  out.push_back(0);
}

}  // namespace

void encode_baseline_jpeg(common::ByteView rgb, std::uint32_t width, std::uint32_t height, int quality,
                          common::Bytes& out) {
  const QuantTable luminance = scaled(kLuminanceQuant, quality);
  const QuantTable chrominance = scaled(kChrominanceQuant, quality);
  write_headers(out, width, height, luminance, chrominance);

  const auto& codes = huffman_codes();
  std::array<Component, 3> components = {{
      {divisors(luminance), &codes[0], &codes[1]},
      {divisors(chrominance), &codes[2], &codes[3]},
      {divisors(chrominance), &codes[2], &codes[3]},
  }};
  BitWriter writer(out);
  std::array<Block, 3> blocks{};
  for (std::uint32_t y0 = 0; y0 < height; y0 += 8) {
    for (std::uint32_t x0 = 0; x0 < width; x0 += 8) {
      load_blocks(rgb, width, height, x0, y0, blocks[0], blocks[1], blocks[2]);
      for (std::size_t c = 0; c < 3; ++c) encode_block(blocks[c], components[c], writer);
    }
  }
  writer.flush();
  put_marker(out, 0xD9);  // end of image
}

}  // namespace kiv::image_writer
