#include "common/float_text.h"

#include <charconv>
#include <cmath>

namespace kiv::common {

std::string plain_float_text(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  // Fixed notation without a precision gives the shortest round-trip digits;
  // the largest doubles need a little over 300 characters.
  char buffer[400];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
  return std::string(buffer, result.ptr);
}

}  // namespace kiv::common
