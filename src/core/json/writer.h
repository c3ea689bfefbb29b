// Compact JSON text from values: no whitespace, object members in key order
// (as the tree keeps them), minimal string escapes, shortest round-trip
// floats.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "json/value.h"

namespace kiv::json {

// A JSON string: only '"', '\\' and U+0000..U+001F are escaped (\b \t \n \f
// \r by name, the others as \u00xx); all other bytes, non-ASCII included,
// are copied as they are.
void append_string(std::string& out, std::string_view text);

// The shortest digits that read back to the same double. With E the decimal
// exponent of the first digit, plain notation with at least one fractional
// digit for E in -5..15 ("3.0", "0.00001"), otherwise d.ddd e, sign and
// exponent ("1e+16", "1.5e-7"). Non-finite values, which JSON cannot hold,
// are written as null.
void append_float(std::string& out, double value);
// The same spelling written to `out`, which holds kFloatTextCapacity
// characters; gives the end of what was written.
inline constexpr std::size_t kFloatTextCapacity = 32;
char* write_float(char* out, double value);
// The same rule for a value given as its shortest significant digits (no
// leading or trailing zeros) and the decimal exponent of the first one.
char* write_float_digits(char* out, bool negative, std::string_view digits, int exponent);

void append_value(std::string& out, const Value& value);
std::string to_text(const Value& value);

}  // namespace kiv::json
