#include "Json.h"

#include <cassert>
#include <cstdio>

namespace Inspect {

namespace {

// Length of the well-formed UTF-8 sequence starting at s[i], or 0 when the
// bytes there are not one (overlong forms, surrogates and values past
// U+10FFFF included, so a reader that checks strictly accepts the output).
std::size_t Utf8Length(std::string_view s, std::size_t i) {
  auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char c = byte(i);
  std::size_t n;
  unsigned char lo = 0x80, hi = 0xBF;
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

}  // namespace

void AppendJsonString(std::string& out, std::string_view s) {
  out += '"';
  for (std::size_t i = 0; i < s.size();) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c >= 0x80) {
      std::size_t n = Utf8Length(s, i);
      if (n == 0) {
        out += "\\ufffd";
        ++i;
      } else {
        out.append(s.substr(i, n));
        i += n;
      }
      continue;
    }
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
    ++i;
  }
  out += '"';
}

void JsonWriter::Break(std::size_t depth) {
  if (static_cast<int>(depth) > _breakDepth) return;
  _out += '\n';
  _out.append(2 * depth, ' ');
}

void JsonWriter::BeforeValue() {
  if (_stack.empty()) {
    assert(!_wroteTop && "a JSON document has one top-level value");
    _wroteTop = true;
    return;
  }
  Level& top = _stack.back();
  if (top.object) {
    assert(_afterKey && "a value inside an object needs a key first");
    _afterKey = false;
    return;
  }
  if (top.count++) _out += ',';
  Break(_stack.size());
}

void JsonWriter::Key(std::string_view key) {
  assert(!_stack.empty() && _stack.back().object && !_afterKey);
  Level& top = _stack.back();
  if (top.count++) _out += ',';
  Break(_stack.size());
  AppendJsonString(_out, key);
  _out += ':';
  if (static_cast<int>(_stack.size()) <= _breakDepth) _out += ' ';
  _afterKey = true;
}

void JsonWriter::Open(char c, bool object) {
  BeforeValue();
  _out += c;
  _stack.push_back({object, 0});
}

void JsonWriter::Close(char c, bool object) {
  assert(!_stack.empty() && _stack.back().object == object && !_afterKey);
  (void)object;
  bool broken = _stack.back().count != 0 && static_cast<int>(_stack.size()) <= _breakDepth;
  _stack.pop_back();
  if (broken) Break(_stack.size());
  _out += c;
}

void JsonWriter::BeginObject() { Open('{', true); }
void JsonWriter::EndObject() { Close('}', true); }
void JsonWriter::BeginArray() { Open('[', false); }
void JsonWriter::EndArray() { Close(']', false); }

void JsonWriter::String(std::string_view s) {
  BeforeValue();
  AppendJsonString(_out, s);
}

void JsonWriter::StringOrNull(char const* s) {
  if (s) {
    String(s);
  } else {
    Null();
  }
}

void JsonWriter::Null() {
  BeforeValue();
  _out += "null";
}

void JsonWriter::Bool(bool b) {
  BeforeValue();
  _out += b ? "true" : "false";
}

void JsonWriter::Int(std::int64_t v) {
  BeforeValue();
  _out += std::to_string(v);
}

void JsonWriter::UInt(std::uint64_t v) {
  BeforeValue();
  _out += std::to_string(v);
}

}  // namespace Inspect
