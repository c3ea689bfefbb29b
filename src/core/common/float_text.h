// Float spelling used in repr texts: the shortest plain decimal that reads
// back to the same value, never with an exponent, without a fractional part
// when the value is whole ("100", "2.5", "0.0001", "1000000000000000000000"),
// and "NaN", "inf", "-inf", "-0" for the special values.
#pragma once

#include <string>

namespace kiv::common {

std::string plain_float_text(double value);

}  // namespace kiv::common
