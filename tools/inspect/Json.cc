#include "Json.h"

#include <cassert>

#include "quill/Text.h"

namespace Inspect {

// Registry strings are the program's own: a byte that is not UTF-8 is shown
// replaced rather than refused, so that a listing always completes.
void AppendJsonString(std::string& out, std::string_view s) {
  Quill::AppendJsonString(out, s, Quill::BadUtf8::kReplace);
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
