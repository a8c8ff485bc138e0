// A point in time with the UTC offset it was written with. Two values are
// equal when they denote the same instant, whatever their offsets.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "basalt/Exception.h"

namespace Basalt::System {

class DateTime {
 public:
  // The default value is the Unix epoch, 1970-01-01T00:00:00Z.
  constexpr DateTime() noexcept = default;
  constexpr explicit DateTime(std::int64_t utcMicros, std::int16_t offsetMinutes = 0) noexcept
      : _utcMicros(utcMicros), _offsetMinutes(offsetMinutes) {}

  // Microseconds since 1970-01-01T00:00:00Z.
  constexpr std::int64_t GetUtcTime() const noexcept { return _utcMicros; }
  constexpr std::int16_t GetOffsetMinutes() const noexcept { return _offsetMinutes; }

  // Fields out of their ranges (month 1-12, a day the month has, hour 0-23,
  // minute and second 0-59, micros 0-999999, offset within +-23:59) and
  // instants beyond the +-292,000 years that 64-bit microseconds hold throw
  // Basalt::Exception naming the fields.
  static DateTime FromCivil(int year, int month, int day, int hour = 0, int minute = 0, int second = 0, int micros = 0,
                            int offsetMinutes = 0);
  static DateTime Now();

  // The same instant on the system clock, and back. The clock counts in
  // nanoseconds, so FromTimePoint drops what is finer than a microsecond
  // (rounding towards the past); ToTimePoint throws Basalt::Exception for an
  // instant the clock cannot hold (before 1677 or after 2262). The offset is
  // not part of a time_point: FromTimePoint takes it as an argument.
  static DateTime FromTimePoint(std::chrono::system_clock::time_point t, std::int16_t offsetMinutes = 0) {
    auto micros = std::chrono::floor<std::chrono::microseconds>(t.time_since_epoch());
    return DateTime(micros.count(), offsetMinutes);
  }
  std::chrono::system_clock::time_point ToTimePoint() const {
    using Clock = std::chrono::system_clock;
    constexpr auto kMin = std::chrono::ceil<std::chrono::microseconds>(Clock::time_point::min().time_since_epoch());
    constexpr auto kMax = std::chrono::floor<std::chrono::microseconds>(Clock::time_point::max().time_since_epoch());
    if (_utcMicros < kMin.count() || _utcMicros > kMax.count()) {
      throw Exception("DateTime " + ToIso8601() + " is outside the range of std::chrono::system_clock");
    }
    return Clock::time_point(std::chrono::duration_cast<Clock::duration>(std::chrono::microseconds(_utcMicros)));
  }

  // Accepts "YYYY-MM-DDTHH:MM:SS[.fraction][Z|+HH:MM|-HH:MM]"; without a zone
  // designator the time is taken as UTC. Throws Basalt::Exception on anything
  // else (out-of-range fields included).
  static DateTime FromIso8601(std::string_view text);
  static bool TryFromIso8601(std::string_view text, DateTime& out) noexcept;
  // Writes the local time of the stored offset: "2024-03-05T10:20:30.5+02:00",
  // "...Z" for offset 0; the fraction only when non-zero, trailing zeros cut.
  // Defined for every value, the extremes of the range included (years then
  // have more than four digits or a sign).
  std::string ToIso8601() const;

  friend constexpr bool operator==(DateTime const& a, DateTime const& b) noexcept {
    return a._utcMicros == b._utcMicros;
  }
  friend constexpr auto operator<=>(DateTime const& a, DateTime const& b) noexcept {
    return a._utcMicros <=> b._utcMicros;
  }

 private:
  std::int64_t _utcMicros = 0;
  std::int16_t _offsetMinutes = 0;
};

}  // namespace Basalt::System
