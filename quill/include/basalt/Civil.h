// Days since 1970-01-01 and proleptic Gregorian dates, both ways, for every
// year a 64-bit day count holds. What writes or reads a date in text (the
// runtime's ISO 8601 forms, the codec's) goes through these.
#pragma once

#include <cstdint>

namespace Basalt::System {

struct CivilDate {
  std::int64_t year;
  unsigned month;  // 1-12
  unsigned day;    // 1-31
};

constexpr std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) noexcept {
  y -= m <= 2;
  std::int64_t const era = (y >= 0 ? y : y - 399) / 400;
  unsigned const yoe = static_cast<unsigned>(y - era * 400);
  unsigned const doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  unsigned const doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

constexpr CivilDate CivilFromDays(std::int64_t z) noexcept {
  z += 719468;
  std::int64_t const era = (z >= 0 ? z : z - 146096) / 146097;
  unsigned const doe = static_cast<unsigned>(z - era * 146097);
  unsigned const yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  unsigned const doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  unsigned const mp = (5 * doy + 2) / 153;
  unsigned const m = mp < 10 ? mp + 3 : mp - 9;
  return {static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2), m, doy - (153 * mp + 2) / 5 + 1};
}

}  // namespace Basalt::System
