#include "quill/Text.h"

#include <array>
#include <cstdint>

namespace Quill {

std::size_t Utf8SequenceLength(std::string_view s, std::size_t i) noexcept {
  auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char c = byte(i);
  if (c < 0x80) return 1;
  std::size_t n;
  unsigned char lo = 0x80, hi = 0xBF;  // the second byte's range: narrower after E0, ED, F0, F4
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (i + n > s.size()) return 0;
  if (byte(i + 1) < lo || byte(i + 1) > hi) return 0;
  for (std::size_t k = 2; k < n; ++k) {
    if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
  }
  return n;
}

std::size_t InvalidUtf8At(std::string_view s) noexcept {
  auto const* p = reinterpret_cast<unsigned char const*>(s.data());
  std::size_t n = s.size(), i = 0;
  while (i < n) {
    if (p[i] < 0x80) {  // most text is ASCII: no call per byte
      ++i;
      continue;
    }
    std::size_t len = Utf8SequenceLength(s, i);
    if (len == 0) return i;
    i += len;
  }
  return std::string_view::npos;
}

namespace {

// What a byte becomes in a JSON string: 0 itself, 'u' \u00xx, otherwise the
// letter that follows the backslash.
constexpr std::array<char, 256> kJsonEscapes = [] {
  std::array<char, 256> t{};
  for (int c = 0; c < 0x20; ++c) t[c] = 'u';
  t[0x7F] = 'u';
  t['\b'] = 'b';
  t['\f'] = 'f';
  t['\n'] = 'n';
  t['\r'] = 'r';
  t['\t'] = 't';
  t['"'] = '"';
  t['\\'] = '\\';
  return t;
}();

}  // namespace

JsonStringResult AppendJsonString(std::string& out, std::string_view s, BadUtf8 bad) {
  JsonStringResult r;
  out += '"';
  char const* const begin = s.data();
  char const* const end = begin + s.size();
  char const* run = begin;  // start of the bytes not yet appended
  for (char const* p = begin; p != end; ++p) {
    auto c = static_cast<unsigned char>(*p);
    if (c >= 0x80) {
      r.nonAscii = true;
      if (bad == BadUtf8::kReplace) {
        std::size_t n = Utf8SequenceLength(s, static_cast<std::size_t>(p - begin));
        if (n == 0) {
          out.append(run, p);
          out += "\\ufffd";
          run = p + 1;
        } else {
          p += n - 1;
        }
      }
      continue;
    }
    char esc = kJsonEscapes[c];
    if (!esc) continue;
    out.append(run, p);
    out += '\\';
    out += esc;
    if (esc == 'u') {
      r.controls = true;
      out += "00";
      out += "0123456789abcdef"[c >> 4];
      out += "0123456789abcdef"[c & 15];
    } else if (c < 0x20) {
      r.controls = true;
    }
    run = p + 1;
  }
  out.append(run, end);
  out += '"';
  if (r.nonAscii && bad == BadUtf8::kStop) r.badUtf8 = InvalidUtf8At(s);
  return r;
}

XmlTextResult AppendXmlText(std::string& out, std::string_view s) {
  XmlTextResult r;
  char const* p = s.data();
  char const* const e = p + s.size();
  char const* run = p;
  for (; p != e; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    char const* rep;
    if (c >= 0x3f) {  // past '>': nothing to escape
      r.nonAscii |= c >= 0x80;
      continue;
    }
    switch (c) {
      case '<':
        rep = "&lt;";
        break;
      case '>':
        rep = "&gt;";
        break;
      case '&':
        rep = "&amp;";
        break;
      case '"':
        rep = "&quot;";
        break;
      case '\r':
        rep = "&#13;";
        break;
      case '\t':
        rep = "&#9;";
        break;
      case '\n':
        rep = "&#10;";
        break;
      default:
        if (c < 0x20) {
          out.append(run, p);
          r.control = static_cast<std::size_t>(p - s.data());
          return r;
        }
        continue;
    }
    out.append(run, p);
    out += rep;
    run = p + 1;
  }
  out.append(run, p);
  return r;
}

}  // namespace Quill
