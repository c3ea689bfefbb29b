// Deadlines and elapsed times as whole seconds plus nanoseconds: wide enough
// for any deadline a double can ask for (2^64 µs is about 584,000 years),
// which a signed nanosecond count is not.
#pragma once

#include <chrono>
#include <compare>
#include <cstdint>

namespace kiv::watchdog {

using Clock = std::chrono::steady_clock;

struct Duration {
  std::uint64_t seconds = 0;
  std::uint32_t nanoseconds = 0;  // below one second

  // Seconds first, then nanoseconds.
  friend constexpr auto operator<=>(const Duration&, const Duration&) = default;
};

// deadline_ms × 1000 as whole microseconds, truncated toward zero and
// saturated: NaN and negative values give 0, values beyond the range the
// largest count.
std::uint64_t deadline_micros(double deadline_ms);

Duration duration_from_micros(std::uint64_t micros);

// The time from `stamp` to `now`; zero if `now` is earlier.
Duration elapsed_between(Clock::time_point stamp, Clock::time_point now);

double to_milliseconds(Duration duration);

}  // namespace kiv::watchdog
