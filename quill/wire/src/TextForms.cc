// The text of numbers, date-times and binaries, written and parsed.
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include "Common.h"
#include "basalt/Civil.h"

namespace Quill::Wire::Detail {

namespace {
template <class F>
void AppendFloating(std::string& out, F v) {
  if (std::isnan(v)) {
    out += "NaN";
  } else if (std::isinf(v)) {
    out += v < 0 ? "-INF" : "INF";
  } else {
    char buf[40];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, r.ptr);
  }
}
template <class I>
void AppendInteger(std::string& out, I v) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, r.ptr);
}
}  // namespace

void AppendNumberText(std::string& out, VK k, void const* p) {
  // The kinds table gives the C++ type; the type picks the text form. Text
  // kinds are written by the writers' own escaping, not here.
  VisitScalar(k, [&]<class T>(std::type_identity<T>) {
    if constexpr (std::is_same_v<T, bool>) {
      out += *static_cast<unsigned char const*>(p) ? "true" : "false";  // any byte a bool may hold
    } else if constexpr (std::is_integral_v<T>) {
      AppendInteger(out, *static_cast<T const*>(p));
    } else if constexpr (std::is_floating_point_v<T>) {
      AppendFloating(out, *static_cast<T const*>(p));
    } else if constexpr (std::is_same_v<T, Basalt::System::DateTime>) {
      AppendDateTime(out, *static_cast<T const*>(p));
    } else if constexpr (std::is_same_v<T, std::vector<unsigned char>>) {
      AppendBase64(out, *static_cast<T const*>(p));
    }
  });
}

void AppendDateTime(std::string& out, Basalt::System::DateTime const& dt) {
  std::int64_t us = dt.GetUtcTime();
  std::int64_t secs = us >= 0 ? us / 1000000 : -((-us + 999999) / 1000000);
  std::int64_t frac = us - secs * 1000000;
  std::int64_t days = secs >= 0 ? secs / 86400 : -((-secs + 86399) / 86400);
  std::int64_t sod = secs - days * 86400;
  auto [y, m, d] = Basalt::System::CivilFromDays(days);
  char buf[48];
  auto two = [](char* p, std::int64_t v) {
    p[0] = static_cast<char>('0' + v / 10);
    p[1] = static_cast<char>('0' + v % 10);
  };
  char* p = buf;
  if (y < 0 || y > 9999) {
    auto r = std::to_chars(p, buf + 20, y);
    p = r.ptr;
  } else {
    two(p, y / 100);
    two(p + 2, y % 100);
    p += 4;
  }
  *p++ = '-';
  two(p, m);
  p += 2;
  *p++ = '-';
  two(p, d);
  p += 2;
  *p++ = 'T';
  two(p, sod / 3600);
  p += 2;
  *p++ = ':';
  two(p, sod / 60 % 60);
  p += 2;
  *p++ = ':';
  two(p, sod % 60);
  p += 2;
  if (frac) {
    *p++ = '.';
    std::int64_t div = 100000;
    while (frac) {
      *p++ = static_cast<char>('0' + frac / div);
      frac %= div;
      div /= 10;
    }
  }
  *p++ = 'Z';
  out.append(buf, p);
}

namespace {
constexpr char kB64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
}

void AppendBase64(std::string& out, std::vector<unsigned char> const& bin) {
  std::size_t n = bin.size();
  std::size_t at = out.size();
  out.resize(at + (n + 2) / 3 * 4);
  char* p = out.data() + at;
  std::size_t i = 0;
  for (; i + 3 <= n; i += 3) {
    unsigned v = (bin[i] << 16) | (bin[i + 1] << 8) | bin[i + 2];
    *p++ = kB64[v >> 18];
    *p++ = kB64[(v >> 12) & 63];
    *p++ = kB64[(v >> 6) & 63];
    *p++ = kB64[v & 63];
  }
  if (i < n) {
    unsigned v = bin[i] << 16;
    if (i + 1 < n) v |= bin[i + 1] << 8;
    *p++ = kB64[v >> 18];
    *p++ = kB64[(v >> 12) & 63];
    *p++ = i + 1 < n ? kB64[(v >> 6) & 63] : '=';
    *p++ = '=';
  }
}

bool DecodeBase64(std::string_view text, std::vector<unsigned char>& out) {
  static signed char const* const table = [] {
    static signed char t[256];
    std::memset(t, -1, sizeof t);
    for (int i = 0; i < 64; ++i) t[static_cast<unsigned char>(kB64[i])] = static_cast<signed char>(i);
    return t;
  }();
  out.clear();
  out.reserve(text.size() / 4 * 3);
  unsigned acc = 0;
  int bits = 0, pad = 0;
  for (char ch : text) {
    if (ch == ' ' || ch == '\n' || ch == '\r' || ch == '\t') continue;  // line-wrapped base64
    if (ch == '=') {
      ++pad;
      continue;
    }
    signed char v = table[static_cast<unsigned char>(ch)];
    if (v < 0 || pad) return false;
    acc = (acc << 6) | static_cast<unsigned>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<unsigned char>(acc >> bits));
      acc &= (1u << bits) - 1;
    }
  }
  // Leftover bits must be zeros, and exactly the padding that completes the quantum.
  if (bits == 6 || acc != 0) return false;
  return pad == (bits == 4 ? 2 : bits == 2 ? 1 : 0);
}

namespace {
std::string_view Trim(std::string_view s) {
  auto ws = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
  while (!s.empty() && ws(s.front())) s.remove_prefix(1);
  while (!s.empty() && ws(s.back())) s.remove_suffix(1);
  return s;
}
template <class I>
bool ParseInt(std::string_view t, I& out, long lo, long hi, char const*& what) {
  long v = 0;
  char const* b = t.data();
  char const* e = b + t.size();
  if (b != e && *b == '+') ++b;
  auto r = std::from_chars(b, e, v);
  if (r.ec == std::errc::result_out_of_range) {
    what = "out of range";
    return false;
  }
  if (r.ec != std::errc() || r.ptr != e || b == e) {
    what = "not an integer";
    return false;
  }
  if (v < lo || v > hi) {
    what = "out of range";
    return false;
  }
  out = static_cast<I>(v);
  return true;
}
template <class F>
bool ParseFloat(std::string_view t, F& out, char const*& what) {
  if (t == "NaN") {
    out = std::numeric_limits<F>::quiet_NaN();
    return true;
  }
  if (t == "INF" || t == "+INF") {
    out = std::numeric_limits<F>::infinity();
    return true;
  }
  if (t == "-INF") {
    out = -std::numeric_limits<F>::infinity();
    return true;
  }
  char const* b = t.data();
  char const* e = b + t.size();
  if (b != e && *b == '+') ++b;
  auto r = std::from_chars(b, e, out);
  if (r.ec == std::errc::result_out_of_range) {
    what = "out of range";
    return false;
  }
  if (r.ec != std::errc() || r.ptr != e || b == e) {
    what = "not a number";
    return false;
  }
  return true;
}
}  // namespace

bool ParseScalarText(VK k, std::string_view text, Scalar& v, char const*& what) {
  std::string_view t = Trim(text);
  return VisitScalar(k, [&]<class T>(std::type_identity<T>) -> bool {
    if constexpr (std::is_same_v<T, bool>) {
      if (t == "true" || t == "1") {
        v.b = true;
        return true;
      }
      if (t == "false" || t == "0") {
        v.b = false;
        return true;
      }
      what = "not a boolean";
      return false;
    } else if constexpr (std::is_integral_v<T>) {
      return ParseInt(t, v.Of<T>(), std::numeric_limits<T>::min(), std::numeric_limits<T>::max(), what);
    } else if constexpr (std::is_floating_point_v<T>) {
      return ParseFloat(t, v.Of<T>(), what);
    } else if constexpr (std::is_same_v<T, Basalt::System::DateTime>) {
      if (!Basalt::System::DateTime::TryFromIso8601(t, v.dt)) {
        what = "not an ISO 8601 date-time";
        return false;
      }
      return true;
    } else if constexpr (std::is_same_v<T, std::vector<unsigned char>>) {
      if (!DecodeBase64(t, v.bin)) {
        what = "not base64";
        return false;
      }
      return true;
    } else {
      what = "not a scalar";
      return false;
    }
  });
}

}  // namespace Quill::Wire::Detail
