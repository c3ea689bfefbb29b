#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <string>

#include "msgpack/writer.h"

namespace kiv::msgpack {
namespace {

common::Bytes written(const std::function<void(Writer&)>& write) {
  common::Bytes out;
  Writer writer(out);
  write(writer);
  return out;
}

// The first bytes of `bytes`, or all of them: enough to check a header.
common::Bytes head(const common::Bytes& bytes, std::size_t n) {
  return common::Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(std::min(n, bytes.size())));
}

struct FormCase {
  const char* name;
  std::function<void(Writer&)> write;
  common::Bytes head;    // expected leading bytes
  std::size_t size = 0;  // expected total size, when more than the head
};

class SmallestForm : public ::testing::TestWithParam<FormCase> {};

TEST_P(SmallestForm, IsWritten) {
  const common::Bytes out = written(GetParam().write);
  EXPECT_EQ(head(out, GetParam().head.size()), GetParam().head);
  EXPECT_EQ(out.size(), GetParam().size ? GetParam().size : GetParam().head.size());
}

FormCase unsigned_case(const char* name, std::uint64_t value, common::Bytes bytes) {
  return {name, [value](Writer& w) { w.unsigned_integer(value); }, std::move(bytes)};
}
FormCase signed_case(const char* name, std::int64_t value, common::Bytes bytes) {
  return {name, [value](Writer& w) { w.signed_integer(value); }, std::move(bytes)};
}
FormCase string_case(const char* name, std::size_t length, common::Bytes header) {
  const std::size_t size = header.size() + length;
  return {name, [length](Writer& w) { w.string(std::string(length, 'x')); }, std::move(header), size};
}
FormCase binary_case(const char* name, std::size_t length, common::Bytes header) {
  const std::size_t size = header.size() + length;
  return {name, [length](Writer& w) { w.binary(common::Bytes(length, 7)); }, std::move(header), size};
}

INSTANTIATE_TEST_SUITE_P(
    Writer, SmallestForm,
    ::testing::Values(
        unsigned_case("fixint0", 0, {0x00}), unsigned_case("fixint127", 127, {0x7f}),
        unsigned_case("uint8_128", 128, {0xcc, 0x80}), unsigned_case("uint8_255", 255, {0xcc, 0xff}),
        unsigned_case("uint16_256", 256, {0xcd, 0x01, 0x00}),
        unsigned_case("uint16_max", 65535, {0xcd, 0xff, 0xff}),
        unsigned_case("uint32_65536", 65536, {0xce, 0x00, 0x01, 0x00, 0x00}),
        unsigned_case("uint32_max", 4294967295u, {0xce, 0xff, 0xff, 0xff, 0xff}),
        unsigned_case("uint64", 4294967296u, {0xcf, 0, 0, 0, 1, 0, 0, 0, 0}),
        unsigned_case("uint64_max", std::numeric_limits<std::uint64_t>::max(),
                      {0xcf, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff}),
        signed_case("positive_as_unsigned", 200, {0xcc, 0xc8}), signed_case("minus1", -1, {0xff}),
        signed_case("minus32", -32, {0xe0}), signed_case("int8_minus33", -33, {0xd0, 0xdf}),
        signed_case("int8_min", -128, {0xd0, 0x80}), signed_case("int16_minus129", -129, {0xd1, 0xff, 0x7f}),
        signed_case("int16_min", -32768, {0xd1, 0x80, 0x00}),
        signed_case("int32_minus32769", -32769, {0xd2, 0xff, 0xff, 0x7f, 0xff}),
        signed_case("int64", -2147483649LL, {0xd3, 0xff, 0xff, 0xff, 0xff, 0x7f, 0xff, 0xff, 0xff}),
        signed_case("int64_min", std::numeric_limits<std::int64_t>::min(), {0xd3, 0x80, 0, 0, 0, 0, 0, 0, 0}),
        FormCase{"float_1_5", [](Writer& w) { w.float64(1.5); }, {0xcb, 0x3f, 0xf8, 0, 0, 0, 0, 0, 0}},
        FormCase{"float_whole", [](Writer& w) { w.float64(3.0); }, {0xcb, 0x40, 0x08, 0, 0, 0, 0, 0, 0}},
        FormCase{"float_minus_zero", [](Writer& w) { w.float64(-0.0); }, {0xcb, 0x80, 0, 0, 0, 0, 0, 0, 0}},
        FormCase{"nil", [](Writer& w) { w.nil(); }, {0xc0}},
        FormCase{"false", [](Writer& w) { w.boolean(false); }, {0xc2}},
        FormCase{"true", [](Writer& w) { w.boolean(true); }, {0xc3}},
        FormCase{"fixstr_abc", [](Writer& w) { w.string("abc"); }, {0xa3, 'a', 'b', 'c'}},
        string_case("fixstr0", 0, {0xa0}), string_case("fixstr31", 31, {0xbf}),
        string_case("str8_32", 32, {0xd9, 0x20}), string_case("str8_255", 255, {0xd9, 0xff}),
        string_case("str16", 256, {0xda, 0x01, 0x00}), string_case("str32", 65536, {0xdb, 0x00, 0x01, 0x00, 0x00}),
        binary_case("bin8_0", 0, {0xc4, 0x00}), binary_case("bin8_255", 255, {0xc4, 0xff}),
        binary_case("bin16", 256, {0xc5, 0x01, 0x00}), binary_case("bin32", 65536, {0xc6, 0x00, 0x01, 0x00, 0x00}),
        FormCase{"fixarray0", [](Writer& w) { w.array_header(0); }, {0x90}},
        FormCase{"fixarray15", [](Writer& w) { w.array_header(15); }, {0x9f}},
        FormCase{"array16", [](Writer& w) { w.array_header(16); }, {0xdc, 0x00, 0x10}},
        FormCase{"array32", [](Writer& w) { w.array_header(65536); }, {0xdd, 0x00, 0x01, 0x00, 0x00}},
        FormCase{"fixmap0", [](Writer& w) { w.map_header(0); }, {0x80}},
        FormCase{"fixmap15", [](Writer& w) { w.map_header(15); }, {0x8f}},
        FormCase{"map16_32", [](Writer& w) { w.map_header(32); }, {0xde, 0x00, 0x20}},
        FormCase{"map32", [](Writer& w) { w.map_header(65536); }, {0xdf, 0x00, 0x01, 0x00, 0x00}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Writer, AppendsToWhatTheBufferHolds) {
  common::Bytes out{0x01};
  Writer writer(out);
  writer.boolean(true);
  writer.string("a");
  EXPECT_EQ(out, (common::Bytes{0x01, 0xc3, 0xa1, 'a'}));
}

TEST(Writer, RefusesLengthsBeyondTheFormat) {
  common::Bytes out;
  Writer writer(out);
  EXPECT_THROW(writer.array_header(std::size_t{1} << 32), std::length_error);
  EXPECT_THROW(writer.map_header(std::size_t{1} << 32), std::length_error);
}

}  // namespace
}  // namespace kiv::msgpack
