#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <bit>
#include <charconv>
#include <cstdio>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>

#include "common/format.h"
#include "json/document.h"
#include "json/key_order.h"
#include "json/reader.h"
#include "json/value.h"
#include "json/writer.h"

namespace kiv::json {
namespace {

Value parsed(std::string_view text) {
  auto result = parse(text);
  EXPECT_TRUE(result.ok()) << text << ": " << (result.ok() ? "" : result.error());
  return result.ok() ? std::move(result).value() : Value();
}

std::string parse_error(std::string_view text) {
  auto result = parse(text);
  return result.ok() ? "(accepted)" : result.error();
}

std::string nested(int depth) { return std::string(depth, '[') + std::string(depth, ']'); }

// ---- Syntax errors: wording and position ----------------------------------------

struct SyntaxCase {
  std::string text;
  std::string message;
};

class SyntaxError : public ::testing::TestWithParam<SyntaxCase> {};

TEST_P(SyntaxError, NamesTheFaultAndWhereReadingStopped) {
  EXPECT_EQ(parse_error(GetParam().text), GetParam().message) << GetParam().text;
  auto document = Document::read(GetParam().text);
  EXPECT_EQ(document.ok() ? "(accepted)" : document.error(), GetParam().message) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Reader, SyntaxError,
    ::testing::Values(
        // End of input: the column of the last byte.
        SyntaxCase{"", "EOF while parsing a value at line 1 column 0"},
        SyntaxCase{"  ", "EOF while parsing a value at line 1 column 2"},
        SyntaxCase{"[1, 2", "EOF while parsing a list at line 1 column 5"},
        SyntaxCase{"[1,", "EOF while parsing a value at line 1 column 3"},
        SyntaxCase{"{\"a\": 1", "EOF while parsing an object at line 1 column 7"},
        SyntaxCase{"{\"a\"", "EOF while parsing an object at line 1 column 4"},
        SyntaxCase{"{\"a\":", "EOF while parsing a value at line 1 column 5"},
        SyntaxCase{"\"abc", "EOF while parsing a string at line 1 column 4"},
        SyntaxCase{"\"\\", "EOF while parsing a string at line 1 column 2"},
        SyntaxCase{"\"\\u12", "EOF while parsing a string at line 1 column 5"},
        SyntaxCase{"nul", "EOF while parsing a value at line 1 column 3"},
        SyntaxCase{"-", "EOF while parsing a value at line 1 column 1"},
        SyntaxCase{"1.", "EOF while parsing a value at line 1 column 2"},
        SyntaxCase{"1e+", "EOF while parsing a value at line 1 column 3"},
        SyntaxCase{"[\n", "EOF while parsing a list at line 2 column 0"},
        // An unexpected byte: that byte's own column.
        SyntaxCase{"{\"a\" 1}", "expected `:` at line 1 column 6"},
        SyntaxCase{"[1 2]", "expected `,` or `]` at line 1 column 4"},
        SyntaxCase{"{\"a\":1 \"b\":2}", "expected `,` or `}` at line 1 column 8"},
        SyntaxCase{"nulx", "expected ident at line 1 column 4"},
        SyntaxCase{"trve", "expected ident at line 1 column 3"},
        SyntaxCase{"x", "expected value at line 1 column 1"},
        SyntaxCase{"[,1]", "expected value at line 1 column 2"},
        SyntaxCase{"\"\\x\"", "invalid escape at line 1 column 3"},
        SyntaxCase{"\"\\u12g4\"", "invalid escape at line 1 column 6"},
        SyntaxCase{"01", "invalid number at line 1 column 2"},
        SyntaxCase{"-a", "invalid number at line 1 column 2"},
        SyntaxCase{"1.x", "invalid number at line 1 column 3"},
        SyntaxCase{"1ex", "invalid number at line 1 column 3"},
        SyntaxCase{"{1:2}", "key must be a string at line 1 column 2"},
        SyntaxCase{"[1,]", "trailing comma at line 1 column 4"},
        SyntaxCase{"{\"a\":1,}", "trailing comma at line 1 column 8"},
        SyntaxCase{"1 2", "trailing characters at line 1 column 3"},
        SyntaxCase{"{}}", "trailing characters at line 1 column 3"},
        SyntaxCase{"\"a\tb\"", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"},
        SyntaxCase{"\"a\nb\"", "control character (\\u0000-\\u001F) found while parsing a string at line 2 column 0"},
        SyntaxCase{"{\n  \"a\": x\n}", "expected value at line 2 column 8"},
        // Not JSON: the non-finite words.
        SyntaxCase{"NaN", "expected value at line 1 column 1"},
        SyntaxCase{"[1, Infinity]", "expected value at line 1 column 5"},
        SyntaxCase{"-Infinity", "invalid number at line 1 column 2"},
        // Lone surrogates and malformed UTF-8.
        SyntaxCase{"\"\\udc00\"", "lone leading surrogate in hex escape at line 1 column 7"},
        SyntaxCase{"\"\\ud800\\u0041\"", "lone leading surrogate in hex escape at line 1 column 13"},
        SyntaxCase{"\"\\ud800\"", "unexpected end of hex escape at line 1 column 8"},
        SyntaxCase{"\"\\ud800\\n\"", "unexpected end of hex escape at line 1 column 9"},
        SyntaxCase{"\"\xff\"", "invalid unicode code point at line 1 column 2"},
        SyntaxCase{"\"a\xc3(\"", "invalid unicode code point at line 1 column 3"},
        SyntaxCase{"\"\xed\xa0\x80\"", "invalid unicode code point at line 1 column 2"},   // an encoded surrogate
        SyntaxCase{"\"\xc0\xaf\"", "invalid unicode code point at line 1 column 2"},       // overlong
        SyntaxCase{"\"\xf4\x90\x80\x80\"", "invalid unicode code point at line 1 column 2"},  // above U+10FFFF
        // Numbers beyond a double.
        SyntaxCase{"1e400", "number out of range at line 1 column 5"},
        SyntaxCase{"[-1.5e309]", "number out of range at line 1 column 9"},
        SyntaxCase{std::string(400, '9'), "number out of range at line 1 column 400"},
        // Nesting: the 128th level is refused at its bracket.
        SyntaxCase{nested(128), "recursion limit exceeded at line 1 column 128"},
        SyntaxCase{std::string(127, '[') + "{", "recursion limit exceeded at line 1 column 128"}));

TEST(Reader, AcceptsTheDeepestNestingAllowed) {
  Value value = parsed(nested(127));
  for (unsigned depth = 1; depth < kMaxDepth; ++depth) {
    ASSERT_NE(value.as_array(), nullptr);
    ASSERT_EQ(value.as_array()->size(), 1u);
    Value inner = value.as_array()->front();
    value = std::move(inner);
  }
  EXPECT_EQ(value, Value(Array{}));
}

TEST(Reader, LimitsNestingPerPathNotInTotal) {
  // Siblings do not add up: depth returns as containers close.
  std::string text = "[";
  text.append(nested(126)).append(",").append(nested(126)).append("]");
  EXPECT_TRUE(parse(text).ok());
}

// ---- Numbers -------------------------------------------------------------------

TEST(Reader, KeepsTheThreeNumberForms) {
  EXPECT_EQ(parsed("0"), Value(std::uint64_t{0}));
  EXPECT_EQ(parsed("18446744073709551615"), Value(std::numeric_limits<std::uint64_t>::max()));
  EXPECT_EQ(parsed("-1"), Value(std::int64_t{-1}));
  EXPECT_EQ(parsed("-9223372036854775808"), Value(std::numeric_limits<std::int64_t>::min()));
  // Integers beyond both integer forms, and anything with a fraction or
  // exponent, are floats.
  EXPECT_EQ(parsed("18446744073709551616"), Value(18446744073709551616.0));
  EXPECT_EQ(parsed("-9223372036854775809"), Value(-9223372036854775809.0));
  EXPECT_EQ(parsed("7.0"), Value(7.0));
  EXPECT_EQ(parsed("1e3"), Value(1000.0));
  EXPECT_EQ(parsed("1E+2"), Value(100.0));
  EXPECT_EQ(parsed("-2.5e-3"), Value(-0.0025));
}

TEST(Reader, ReadsFloatsCorrectlyRounded) {
  EXPECT_EQ(parsed("0.1"), Value(0.1));
  EXPECT_EQ(parsed("3.14159265358979323846264338327950288"), Value(3.141592653589793));
  EXPECT_EQ(parsed("1.7976931348623157e308"), Value(std::numeric_limits<double>::max()));
  EXPECT_EQ(parsed("5e-324"), Value(std::numeric_limits<double>::denorm_min()));
}

TEST(Reader, ReadsNegativeZeroAndUnderflowAsSignedZeroFloats) {
  for (const char* text : {"-0", "-0.0", "-1e-400"}) {
    const Value read = parsed(text);
    const double* value = std::get_if<double>(&read.data);
    ASSERT_NE(value, nullptr) << text;
    EXPECT_EQ(*value, 0.0);
    EXPECT_TRUE(std::signbit(*value)) << text;
  }
  EXPECT_EQ(parsed("1e-400"), Value(0.0));
  EXPECT_EQ(parsed("0e999999999999999999"), Value(0.0));
}

// ---- Strings -------------------------------------------------------------------

TEST(Reader, DecodesEscapes) {
  EXPECT_EQ(parsed(R"("\"\\\/\b\f\n\r\t")"), Value(std::string("\"\\/\b\f\n\r\t")));
  EXPECT_EQ(parsed(R"("caf\u00e9")"), Value(std::string("caf\xc3\xa9")));
  EXPECT_EQ(parsed(R"("\u20AC")"), Value(std::string("\xe2\x82\xac")));
  EXPECT_EQ(parsed(R"("\ud83d\ude00")"), Value(std::string("\xf0\x9f\x98\x80")));
  EXPECT_EQ(parsed(R"("a\u0000b")"), Value(std::string("a\0b", 3)));
}

TEST(Reader, PassesRawUtf8Through) {
  EXPECT_EQ(parsed("\"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\x7f\""), Value(std::string("\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\x7f")));
}

TEST(Reader, KeepsKeysWithEscapesApartFromTheirValues) {
  // A key decoded into scratch space must survive reading its value.
  Value value = parsed(R"({"k\u0031": "v\u0032", "k\u0033": ["\u0034"]})");
  EXPECT_EQ(value, Value(Object{{"k1", std::string("v2")}, {"k3", Array{std::string("4")}}}));
}

// ---- Objects -------------------------------------------------------------------

TEST(Reader, SortsMembersAndKeepsTheLastOfARepeatedKey) {
  Value value = parsed(R"({"b": 1, "a": [true, false, null], "B": {}, "b": 3})");
  const Object* object = value.as_object();
  ASSERT_NE(object, nullptr);
  std::vector<std::string> keys;
  for (const auto& [key, member] : *object) keys.push_back(key);
  EXPECT_EQ(keys, (std::vector<std::string>{"B", "a", "b"}));
  EXPECT_EQ(*object->find("b"), Value(3));
  EXPECT_EQ(*object->find("a"), Value(Array{true, false, nullptr}));
}

TEST(Value, ObjectKeepsKeyOrderThroughEveryInsertion) {
  Object object{{"m", 1}, {"c", 2}, {"m", 3}};
  object["a"] = std::string("x");
  object.insert_or_assign("z", 4.5);
  object.insert_or_assign("c", nullptr);
  std::vector<std::string> keys;
  for (const auto& [key, member] : object) keys.push_back(key);
  EXPECT_EQ(keys, (std::vector<std::string>{"a", "c", "m", "z"}));
  EXPECT_EQ(*object.find("m"), Value(3));
  EXPECT_TRUE(object.find("c")->is_null());
  EXPECT_EQ(object.find("missing"), nullptr);
}

TEST(Value, IntegersTakeTheFormsTheReaderGives) {
  EXPECT_EQ(Value(3), parsed("3"));
  EXPECT_EQ(Value(-3), parsed("-3"));
  EXPECT_EQ(Value(std::uint32_t{7}), parsed("7"));
  EXPECT_EQ(Value("text"), Value(std::string("text")));
}

// ---- Reading by pull ---------------------------------------------------------

TEST(Reader, DescribesWhatItFoundInTypedRefusals) {
  auto refusal = [](std::string_view text) {
    auto result = read_text(text, [](Reader& reader) -> int { reader.fail_invalid_type("u64"); });
    return result.ok() ? std::string("(accepted)") : result.error();
  };
  EXPECT_EQ(refusal("null"), "invalid type: null, expected u64 at line 1 column 4");
  EXPECT_EQ(refusal(" true"), "invalid type: boolean `true`, expected u64 at line 1 column 5");
  EXPECT_EQ(refusal("-12"), "invalid type: integer `-12`, expected u64 at line 1 column 3");
  EXPECT_EQ(refusal("7e0"), "invalid type: floating point `7.0`, expected u64 at line 1 column 3");
  EXPECT_EQ(refusal("-0"), "invalid type: floating point `-0.0`, expected u64 at line 1 column 2");
  EXPECT_EQ(refusal("1e21"), "invalid type: floating point `1000000000000000000000.0`, expected u64 at line 1 column 4");
  EXPECT_EQ(refusal(R"("a\"b\\c\n")"), R"(invalid type: string "a\"b\\c\n", expected u64 at line 1 column 11)");
  // Containers are refused before they are read.
  EXPECT_EQ(refusal(" [1]"), "invalid type: sequence, expected u64 at line 1 column 1");
  EXPECT_EQ(refusal("{}"), "invalid type: map, expected u64 at line 1 column 0");
  // A malformed scalar is a syntax error first.
  EXPECT_EQ(refusal("\"abc"), "EOF while parsing a string at line 1 column 4");
}

TEST(Reader, SkipsAnyWellFormedValue) {
  auto skip = [](std::string_view text) {
    return read_text(text, [](Reader& reader) {
      reader.skip_value();
      return 0;
    });
  };
  EXPECT_TRUE(skip(R"({"a": [1, -2.5e3, "x\u00e9", {"b": null}], "c": true})").ok());
  // A skipped number is not converted, so no range applies to it.
  EXPECT_TRUE(skip("1e400").ok());
  EXPECT_EQ(skip("[1, NaN]").error(), "expected value at line 1 column 5");
  EXPECT_EQ(skip(nested(128)).error(), "recursion limit exceeded at line 1 column 128");
}

// ---- Writing -------------------------------------------------------------------

struct FloatCase {
  double value;
  const char* text;
};

class FloatSpelling : public ::testing::TestWithParam<FloatCase> {};

TEST_P(FloatSpelling, IsShortestRoundTripWithPlainOrExponentForm) {
  std::string out;
  append_float(out, GetParam().value);
  EXPECT_EQ(out, GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Writer, FloatSpelling,
    ::testing::Values(FloatCase{2.0, "2.0"}, FloatCase{3.0, "3.0"}, FloatCase{0.5, "0.5"}, FloatCase{12.25, "12.25"},
                      FloatCase{0.0, "0.0"}, FloatCase{-0.0, "-0.0"}, FloatCase{-1.5, "-1.5"},
                      FloatCase{1e-05, "0.00001"}, FloatCase{0.0001, "0.0001"}, FloatCase{1.25e-5, "0.0000125"},
                      FloatCase{9.5e-6, "9.5e-6"}, FloatCase{1e-07, "1e-7"}, FloatCase{1.5e-7, "1.5e-7"},
                      FloatCase{-1e-7, "-1e-7"}, FloatCase{2.5e-300, "2.5e-300"}, FloatCase{5e-324, "5e-324"},
                      FloatCase{1e15, "1000000000000000.0"}, FloatCase{123456789012345.67, "123456789012345.67"},
                      FloatCase{1e16, "1e+16"}, FloatCase{1.2345678901234568e+17, "1.2345678901234568e+17"},
                      FloatCase{1.7976931348623157e308, "1.7976931348623157e+308"},
                      FloatCase{0.1 + 0.2, "0.30000000000000004"}, FloatCase{1717171717.123456, "1717171717.123456"},
                      FloatCase{std::numeric_limits<double>::infinity(), "null"},
                      FloatCase{std::nan(""), "null"}));

TEST(Writer, EscapesOnlyQuotesBackslashesAndControlCharacters) {
  std::string out;
  append_string(out, std::string("q\"\\\b\t\n\f\r\x01\x1f\0/\x7f \xc3\xa9", 16));
  EXPECT_EQ(out, "\"q\\\"\\\\\\b\\t\\n\\f\\r\\u0001\\u001f\\u0000/\x7f \xc3\xa9\"");
}

TEST(Writer, WritesCompactTextWithMembersInKeyOrder) {
  const Value value = Object{{"b", Array{1, -2, 2.0, true, nullptr}},
                             {"a", Object{{"z", std::string("t")}, {"B", Object{}}}},
                             {"c", Array{}}};
  EXPECT_EQ(to_text(value), R"({"a":{"B":{},"z":"t"},"b":[1,-2,2.0,true,null],"c":[]})");
  EXPECT_EQ(to_text(Value(std::numeric_limits<std::uint64_t>::max())), "18446744073709551615");
  EXPECT_EQ(to_text(Value(std::numeric_limits<std::int64_t>::min())), "-9223372036854775808");
}

TEST(Writer, ReadsBackEveryFiniteDoubleItWrites) {
  std::mt19937_64 bits(20240601);
  for (int i = 0; i < 20000; ++i) {
    const double value = std::bit_cast<double>(bits());
    if (!std::isfinite(value)) continue;
    std::string text;
    append_float(text, value);
    const Value back = parsed(text);
    const double* read = std::get_if<double>(&back.data);
    ASSERT_NE(read, nullptr) << text;
    ASSERT_EQ(std::bit_cast<std::uint64_t>(*read), std::bit_cast<std::uint64_t>(value)) << text;
  }
}

// Shortcuts in reading and spelling floats (exact conversion of short
// significands, digits taken as written) must agree with the general path:
// from_chars for the value, the shortest-digits writer for the spelling.
TEST(Reader, ConvertsAndSpellsFloatLiteralsLikeTheGeneralPath) {
  std::mt19937_64 bits(7);
  std::uniform_real_distribution<double> everyday(-5000.0, 5000.0);
  char literal[64];
  for (int i = 0; i < 40000; ++i) {
    // Any bit pattern, or the magnitudes records mostly hold.
    const double source = i % 4 < 2 ? std::bit_cast<double>(bits()) : everyday(bits) * std::pow(10.0, i % 13 - 6);
    if (!std::isfinite(source)) continue;
    const int precision = 1 + i % 17;
    const int length = std::snprintf(literal, sizeof literal, i % 2 ? "%.*g" : "%.*e", precision, source);
    const std::string_view text(literal, static_cast<std::size_t>(length));
    auto number = read_text(text, [](Reader& reader) { return reader.read_number(); });
    ASSERT_TRUE(number.ok()) << text << ": " << number.error();
    if (number->form != Number::Form::Float) continue;
    double expected = 0.0;
    const auto parsed_reference = std::from_chars(text.data(), text.data() + text.size(), expected);
    if (parsed_reference.ec == std::errc::result_out_of_range) expected = std::signbit(source) ? -0.0 : 0.0;
    ASSERT_EQ(std::bit_cast<std::uint64_t>(number->float_value()), std::bit_cast<std::uint64_t>(expected)) << text;
    char spelled[kFloatTextCapacity];
    std::string reference;
    append_float(reference, expected);
    ASSERT_EQ(std::string_view(spelled, number->write_json(spelled)), reference) << text;
  }
}

TEST(Writer, RoundTripsTextsThroughTheReader) {
  const std::string text = R"({"a":["\u0000\u001f\"\\","é€😀",-0.0,1e+300,0.00001],"b":{"":null}})";
  EXPECT_EQ(to_text(parsed(text)), text);
}

// ---- Document ------------------------------------------------------------------

Document read_document(std::string_view text) {
  auto document = Document::read(text);
  if (!document.ok()) throw std::runtime_error(document.error());
  return std::move(document).value();
}

std::string document_json(const Document& document) {
  std::string out;
  document.root().append_json(out);
  EXPECT_EQ(out.size(), document.root().json_size());
  return out;
}

class DocumentText : public ::testing::TestWithParam<std::string> {};

// The document's own spelling of every value must be the writer's.
TEST_P(DocumentText, WritesWhatTheValueTreeWrites) {
  const Document document = read_document(GetParam());
  EXPECT_EQ(document_json(document), to_text(parsed(GetParam())));
}

INSTANTIATE_TEST_SUITE_P(
    Document, DocumentText,
    ::testing::Values(R"({"b": 1, "a": [true, false, null], "B": {}, "b": 3})", R"([])", R"({})", R"("")",
                      R"(["\u0000\u001f\"\\\/\b\f\n\r\t", "caf\u00e9 \ud83d\ude00", "raw Ã©"])",
                      R"({"k\u00e9": 1, "k\u0065": 2, "ke": 3})",
                      R"([0, -0, 18446744073709551615, 18446744073709551616, -9223372036854775808, -9223372036854775809])",
                      R"([1e-05, 1e16, 1.5e-7, 2.0, 0.1, 100.0, 1.50, 0.30000000000000004, 1717171717.123456])",
                      R"([1e-400, -1e-400, 5e-324, 1.7976931348623157e308, 123456789012345678901234567890.5])",
                      R"([9.999999999999999, 1.000000000000001, 0.1000000000000000055511151231257827])",
                      R"({"a": {"c": [1, {"e": null, "d": [2.5]}], "b": "x"}})"));

TEST(Document, FindsMembersWithAndWithoutACursor) {
  const Document document = read_document(R"({"delta": 4, "alpha": 1, "charlie": 3, "bravo": 2, "alpha": 9})");
  const Document::Node root = document.root();
  EXPECT_EQ(root.size(), 4u);
  EXPECT_EQ(root.find("alpha")->unsigned_value(), 9u);  // the last one read
  EXPECT_FALSE(root.find("echo"));
  EXPECT_FALSE(root.find("alpha")->find("x"));  // not an object
  std::uint32_t cursor = 0;
  EXPECT_EQ(root.find("bravo", cursor)->unsigned_value(), 2u);
  EXPECT_EQ(root.find("delta", cursor)->unsigned_value(), 4u);
  EXPECT_FALSE(root.find("echo", cursor));
  EXPECT_EQ(root.find("alpha", cursor)->unsigned_value(), 9u);  // behind the cursor
  EXPECT_EQ(root.find("charlie", cursor)->unsigned_value(), 3u);
}

TEST(Document, FindsMembersOfLargeObjects) {
  std::string text = "{";
  for (int i = 99; i >= 0; --i) text += common::format("\"key{}\": {},", i, i);
  text.back() = '}';
  const Document document = read_document(text);
  for (int i : {0, 7, 42, 99}) {
    const std::string key = common::format("key{}", i);
    EXPECT_EQ(document.root().find(std::string_view(key))->unsigned_value(), static_cast<std::uint64_t>(i)) << key;
  }
  EXPECT_FALSE(document.root().find("key100"));
  EXPECT_EQ(document.root().member_key(0), "key0");
  EXPECT_EQ(document.root().member_key(1), "key1");
  EXPECT_EQ(document.root().member_key(2), "key10");
}

TEST(Document, ReportsKindsAndIntegerValues) {
  const Document document = read_document(R"([null, true, 7, -7, 9223372036854775808, 7.0, "t", [], {}])");
  const Document::Node root = document.root();
  const Document::Kind kinds[] = {Document::Kind::Null,     Document::Kind::Bool,   Document::Kind::Unsigned,
                                  Document::Kind::Negative, Document::Kind::Unsigned, Document::Kind::Float,
                                  Document::Kind::String,   Document::Kind::Array,  Document::Kind::Object};
  ASSERT_EQ(root.size(), std::size(kinds));
  for (std::size_t i = 0; i < root.size(); ++i) EXPECT_EQ(root.element(i).kind(), kinds[i]) << i;
  EXPECT_EQ(root.element(3).signed_value(), -7);
  EXPECT_FALSE(root.element(4).signed_value());  // beyond the signed range
  EXPECT_FALSE(root.element(5).unsigned_value());
  EXPECT_EQ(root.element(6).text(), "t");
  EXPECT_THROW(root.element(9), std::out_of_range);
}

TEST(KeyOrder, IsByteOrderWhateverTheKeysShare) {
  const std::string_view keys[] = {"",
                                   std::string_view("\0", 1),
                                   "B",
                                   "a",
                                   "ab",
                                   std::string_view("ab\0", 3),
                                   "abcdefgh",
                                   "abcdefgh_",
                                   "abcdefghijklmnop",
                                   "abcdefghijklmnopq",
                                   "abcdefghijklmnopr",
                                   "abcdefghijklmnopr_longer",
                                   "\x7f",
                                   "\xc3\xa9"};
  for (std::string_view a : keys) {
    for (std::string_view b : keys) {
      EXPECT_EQ(Key(a) < Key(b), a < b) << '"' << a << "\" < \"" << b << '"';
      EXPECT_EQ(Key(a) == Key(b), a == b);
    }
  }
}

}  // namespace
}  // namespace kiv::json
