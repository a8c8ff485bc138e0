// A small streaming JSON writer: enough for the documents tarn-inspect prints,
// with strings escaped so that any byte sequence comes out as valid JSON.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace Inspect {

class JsonWriter {
 public:
  // Elements of containers nested less than `breakDepth` deep start on a line
  // of their own, indented two spaces a level; deeper ones stay on one line.
  // 0 writes everything on one line.
  explicit JsonWriter(std::string& out, int breakDepth = 1 << 30) : _out(out), _breakDepth(breakDepth) {}

  void BeginObject();
  void EndObject();
  void BeginArray();
  void EndArray();
  // Inside an object: the key of the next value.
  void Key(std::string_view key);

  void String(std::string_view s);
  // Null pointer: JSON null.
  void StringOrNull(char const* s);
  void Null();
  void Bool(bool b);
  void Int(std::int64_t v);
  void UInt(std::uint64_t v);

  // Shorthands for one member of an object.
  void Member(std::string_view key, std::string_view s) {
    Key(key);
    String(s);
  }
  void MemberOrNull(std::string_view key, char const* s) {
    Key(key);
    StringOrNull(s);
  }

  // True once every container that was opened has been closed again.
  bool Complete() const noexcept { return _stack.empty() && _wroteTop; }

 private:
  struct Level {
    bool object;
    std::uint32_t count;
  };
  void BeforeValue();
  void Open(char c, bool object);
  void Close(char c, bool object);
  void Break(std::size_t depth);

  std::string& _out;
  int _breakDepth;
  std::vector<Level> _stack;
  bool _afterKey = false;
  bool _wroteTop = false;
};

// `s` as a JSON string literal, quotes included. Control characters become
// escapes; bytes that are not valid UTF-8 become U+FFFD.
void AppendJsonString(std::string& out, std::string_view s);

}  // namespace Inspect
