#include "watchdog/duration.h"

namespace kiv::watchdog {

std::uint64_t deadline_micros(double deadline_ms) {
  const double micros = deadline_ms * 1000.0;
  if (!(micros > 0.0)) return 0;  // also NaN
  // 2^64 is exact as a double; anything from there up does not fit.
  if (micros >= 18446744073709551616.0) return UINT64_MAX;
  return static_cast<std::uint64_t>(micros);
}

Duration duration_from_micros(std::uint64_t micros) {
  return {micros / 1'000'000, static_cast<std::uint32_t>(micros % 1'000'000 * 1000)};
}

Duration elapsed_between(Clock::time_point stamp, Clock::time_point now) {
  const std::int64_t nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(now - stamp).count();
  if (nanos <= 0) return {};
  return {static_cast<std::uint64_t>(nanos / 1'000'000'000), static_cast<std::uint32_t>(nanos % 1'000'000'000)};
}

double to_milliseconds(Duration duration) {
  return (static_cast<double>(duration.seconds) + static_cast<double>(duration.nanoseconds) / 1e9) * 1000.0;
}

}  // namespace kiv::watchdog
