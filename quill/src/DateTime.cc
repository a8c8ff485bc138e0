#include "basalt/DateTime.h"

#include <chrono>
#include <cstdio>

#include "basalt/Civil.h"
#include "basalt/Exception.h"

namespace Basalt::System {
namespace {

constexpr std::int64_t kMicrosPerSecond = 1000000;
constexpr std::int64_t kMicrosPerDay = 86400 * kMicrosPerSecond;

static_assert(DaysFromCivil(1970, 1, 1) == 0);
static_assert(DaysFromCivil(2000, 3, 1) == 11017);

bool IsLeap(std::int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }
unsigned DaysInMonth(std::int64_t y, unsigned m) {
  static constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}

struct Cursor {
  std::string_view s;
  std::size_t i = 0;
  bool Digits(std::size_t n, int& out) {
    if (i + n > s.size()) return false;
    int v = 0;
    for (std::size_t k = 0; k < n; ++k) {
      char c = s[i + k];
      if (c < '0' || c > '9') return false;
      v = v * 10 + (c - '0');
    }
    i += n;
    out = v;
    return true;
  }
  bool Lit(char c) {
    if (i < s.size() && s[i] == c) {
      ++i;
      return true;
    }
    return false;
  }
  bool AtEnd() const { return i == s.size(); }
};

}  // namespace

DateTime DateTime::FromCivil(int year, int month, int day, int hour, int minute, int second, int micros,
                             int offsetMinutes) {
  if (month < 1 || month > 12 || day < 1 ||
      static_cast<unsigned>(day) > DaysInMonth(year, static_cast<unsigned>(month)) || hour < 0 || hour > 23 ||
      minute < 0 || minute > 59 || second < 0 || second > 59 || micros < 0 || micros > 999999 ||
      offsetMinutes < -(23 * 60 + 59) || offsetMinutes > 23 * 60 + 59) {
    throw Basalt::Exception(ASPrint("Invalid date and time fields: %1-%2-%3 %4:%5:%6.%7 offset %8 minutes",
                                    std::to_string(year), std::to_string(month), std::to_string(day),
                                    std::to_string(hour), std::to_string(minute), std::to_string(second),
                                    std::to_string(micros), std::to_string(offsetMinutes)));
  }
  std::int64_t days = DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day));
  std::int64_t local = 0;
  std::int64_t utc = 0;
  // Any int year gives days that fit; microseconds run out near +-292,000 years.
  if (__builtin_mul_overflow(days, kMicrosPerDay, &local) ||
      __builtin_add_overflow(local, ((hour * 60LL + minute) * 60LL + second) * kMicrosPerSecond + micros, &local) ||
      __builtin_sub_overflow(local, offsetMinutes * 60LL * kMicrosPerSecond, &utc)) {
    throw Basalt::Exception(ASPrint("Date out of range: year %1", std::to_string(year)));
  }
  return DateTime(utc, static_cast<std::int16_t>(offsetMinutes));
}

DateTime DateTime::Now() {
  auto now = std::chrono::system_clock::now().time_since_epoch();
  return DateTime(std::chrono::duration_cast<std::chrono::microseconds>(now).count());
}

bool DateTime::TryFromIso8601(std::string_view text, DateTime& out) noexcept {
  Cursor c{text};
  int year, month, day, hour, minute, second;
  if (!c.Digits(4, year) || !c.Lit('-') || !c.Digits(2, month) || !c.Lit('-') || !c.Digits(2, day) ||
      !(c.Lit('T') || c.Lit('t')) || !c.Digits(2, hour) || !c.Lit(':') || !c.Digits(2, minute) || !c.Lit(':') ||
      !c.Digits(2, second)) {
    return false;
  }
  int micros = 0;
  if (c.Lit('.') || c.Lit(',')) {
    int digits = 0;
    while (!c.AtEnd() && text[c.i] >= '0' && text[c.i] <= '9') {
      if (digits < 6) micros = micros * 10 + (text[c.i] - '0');
      ++digits;
      ++c.i;
    }
    if (digits == 0) return false;
    for (int k = digits; k < 6; ++k) micros *= 10;
  }
  int offset = 0;
  if (c.Lit('Z') || c.Lit('z')) {
  } else if (!c.AtEnd() && (text[c.i] == '+' || text[c.i] == '-')) {
    int sign = text[c.i] == '-' ? -1 : 1;
    ++c.i;
    int oh, om;
    if (!c.Digits(2, oh) || !c.Lit(':') || !c.Digits(2, om) || oh > 23 || om > 59) return false;
    offset = sign * (oh * 60 + om);
  }
  if (!c.AtEnd()) return false;
  if (month < 1 || month > 12 || day < 1 || static_cast<unsigned>(day) > DaysInMonth(year, month) || hour > 23 ||
      minute > 59 || second > 59) {
    return false;
  }
  out = FromCivil(year, month, day, hour, minute, second, micros, offset);
  return true;
}

DateTime DateTime::FromIso8601(std::string_view text) {
  DateTime out;
  if (!TryFromIso8601(text, out)) {
    throw Basalt::Exception(ASPrint("Invalid ISO 8601 date and time: '%1'", text));
  }
  return out;
}

std::string DateTime::ToIso8601() const {
  // Wide enough for every stored instant with every offset: the extremes of
  // the range would overflow 64 bits once the offset is added.
  __int128 local = static_cast<__int128>(_utcMicros) + _offsetMinutes * 60LL * kMicrosPerSecond;
  auto days = static_cast<std::int64_t>(local / kMicrosPerDay);
  auto rem = static_cast<std::int64_t>(local % kMicrosPerDay);
  if (rem < 0) {
    rem += kMicrosPerDay;
    --days;
  }
  auto [y, m, d] = CivilFromDays(days);
  int secs = static_cast<int>(rem / kMicrosPerSecond);
  int micros = static_cast<int>(rem % kMicrosPerSecond);
  char buf[64];
  int n = std::snprintf(buf, sizeof buf, "%04lld-%02u-%02uT%02d:%02d:%02d", static_cast<long long>(y), m, d,
                        secs / 3600, secs / 60 % 60, secs % 60);
  std::string out(buf, static_cast<std::size_t>(n));
  if (micros) {
    std::snprintf(buf, sizeof buf, ".%06d", micros);
    std::string frac(buf);
    while (frac.back() == '0') frac.pop_back();
    out += frac;
  }
  if (_offsetMinutes == 0) {
    out += 'Z';
  } else {
    int o = _offsetMinutes < 0 ? -_offsetMinutes : _offsetMinutes;
    std::snprintf(buf, sizeof buf, "%c%02d:%02d", _offsetMinutes < 0 ? '-' : '+', o / 60, o % 60);
    out += buf;
  }
  return out;
}

}  // namespace Basalt::System
