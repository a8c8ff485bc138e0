// What a string may hold, and how it is escaped for XML and JSON.
#include <algorithm>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "Common.h"
#include "quill/Text.h"

namespace Quill::Wire::Detail {

namespace {
constexpr char kNonCharacter[] = "a non-character (U+FFFE or U+FFFF)";
}

std::size_t BadCharAt(std::string_view s, char const*& why) noexcept {
  auto const* p = reinterpret_cast<unsigned char const*>(s.data());
  std::size_t n = s.size();
  std::size_t i = 0;
#if defined(__SSE2__)
  // Past printable ASCII sixteen bytes at a time (signed: bytes from 0x80 up
  // compare below 0x20 too).
  for (; n - i >= 16; i += 16) {
    __m128i w = _mm_loadu_si128(reinterpret_cast<__m128i const*>(p + i));
    if (_mm_movemask_epi8(_mm_cmplt_epi8(w, _mm_set1_epi8(0x20))) != 0) break;
  }
#endif
  for (; i < n; ++i) {
    unsigned char c = p[i];
    if (c >= 0x20 && c < 0x80) continue;
    if (c < 0x20) {
      if (c == '\t' || c == '\n' || c == '\r') continue;
      why = "a control character";
      return i;
    }
    // From the first byte past ASCII: validate the rest, then look for the
    // two non-characters (EF BF BE, EF BF BF) XML excludes.
    std::size_t bad = InvalidUtf8At(s.substr(i));
    for (std::size_t k = i; k < n && (bad == std::string_view::npos || k < i + bad); ++k) {
      unsigned char d = p[k];
      if (d < 0x20 && d != '\t' && d != '\n' && d != '\r') {
        why = "a control character";
        return k;
      }
      if (d == 0xEF && k + 2 < n && p[k + 1] == 0xBF && (p[k + 2] == 0xBE || p[k + 2] == 0xBF)) {
        why = kNonCharacter;
        return k;
      }
    }
    if (bad != std::string_view::npos) {
      why = "invalid UTF-8";
      return i + bad;
    }
    return std::string_view::npos;
  }
  return std::string_view::npos;
}

std::string Printable(std::string_view s, std::size_t max) {
  bool cut = s.size() > max;
  if (cut) s = s.substr(0, max);
  std::string out;
  out.reserve(s.size());
  while (!s.empty()) {
    char const* why = nullptr;
    std::size_t bad = BadCharAt(s, why);
    if (bad == std::string_view::npos) {
      out.append(s);
      break;
    }
    out.append(s.substr(0, bad));
    // A non-character is three bytes, all shown; otherwise the one bad byte.
    std::size_t len = why == kNonCharacter ? 3 : 1;
    for (std::size_t k = 0; k < len && bad + k < s.size(); ++k) {
      auto b = static_cast<unsigned char>(s[bad + k]);
      out += "\\x";
      out += "0123456789ABCDEF"[b >> 4];
      out += "0123456789ABCDEF"[b & 15];
    }
    s.remove_prefix(std::min(s.size(), bad + len));
  }
  if (cut) out += "...";
  return out;
}

bool TryAppendXmlEscaped(std::string& out, std::string_view s, std::size_t& bad) {
  XmlTextResult r = AppendXmlText(out, s);
  if (r.control != std::string_view::npos) {
    bad = r.control;
    return false;
  }
  if (r.nonAscii) {
    char const* why = nullptr;
    bad = BadCharAt(s, why);
    if (bad != std::string_view::npos) return false;
  }
  return true;
}

void AppendXmlEscaped(std::string& out, std::string_view s, std::string_view where) {
  std::size_t bad = 0;
  if (!TryAppendXmlEscaped(out, s, bad)) ThrowBadString(s, bad, where);
}

bool TryAppendJsonString(std::string& out, std::string_view s, bool strict, std::size_t& bad) {
  JsonStringResult r = Quill::AppendJsonString(out, s, BadUtf8::kStop);
  bad = r.badUtf8;
  if (bad != std::string_view::npos) return false;
  if (strict && (r.controls || r.nonAscii)) {
    char const* why = nullptr;
    bad = BadCharAt(s, why);
    if (bad != std::string_view::npos) return false;
  }
  return true;
}

void AppendJsonString(std::string& out, std::string_view s, std::string_view where, bool strict) {
  std::size_t bad = 0;
  if (!TryAppendJsonString(out, s, strict, bad)) ThrowBadString(s, bad, where);
}

}  // namespace Quill::Wire::Detail
