// UTF-8 checks, the JSON string literal and XML text, written once for the
// runtime, the codec, the server and the tools.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "quill/Forward.h"

namespace Quill {

// Length of the well-formed UTF-8 sequence that starts at s[i], or 0 when the
// bytes there are not one (overlong forms, surrogates and values past
// U+10FFFF included).
QUILL_API std::size_t Utf8SequenceLength(std::string_view s, std::size_t i) noexcept;
// Offset of the first byte of `s` that is not part of well-formed UTF-8, or npos.
QUILL_API std::size_t InvalidUtf8At(std::string_view s) noexcept;

// What to do with bytes that are not UTF-8 in a JSON string.
enum class BadUtf8 : unsigned char {
  kStop,     // report the first (the literal appended holds them as they are)
  kReplace,  // write U+FFFD for each such byte
};

struct JsonStringResult {
  std::size_t badUtf8 = std::string_view::npos;  // kStop: offset of the first byte that is not UTF-8
  bool controls = false;                         // a control character (C0 or DEL) was escaped
  bool nonAscii = false;                         // bytes past ASCII were met
};

// Appends `s` as a JSON string literal, quotes included: '"' and '\' escaped,
// backspace, form feed, newline, carriage return and tab by their letters, the
// other C0 controls and DEL as \u00xx; the rest as it is (no escaped '/').
QUILL_API JsonStringResult AppendJsonString(std::string& out, std::string_view s, BadUtf8 bad = BadUtf8::kStop);

struct XmlTextResult {
  std::size_t control = std::string_view::npos;  // offset of a C0 control XML cannot carry; appending stopped there
  bool nonAscii = false;                         // bytes past ASCII were met (appended as they are, unchecked)
};

// Appends `s` as XML character data that also stands in a double-quoted
// attribute value: '<', '>', '&' and '"' as entities, and CR, tab and newline
// as character references (readers would fold them). Stops at any other C0
// control; bytes past ASCII are the caller's to check.
QUILL_API XmlTextResult AppendXmlText(std::string& out, std::string_view s);

}  // namespace Quill
