// The XML half of the codec: a writer appending to one string, and a reader
// that parses the document in place (pugixml) and builds the objects in one
// walk over it, straight from the parsed text.
#pragma once

#include <string>
#include <string_view>

#include "Common.h"

namespace Quill::Wire::Detail {

inline constexpr char kXsiNs[] = "http://www.w3.org/2001/XMLSchema-instance";
inline constexpr char kXsdNs[] = "http://www.w3.org/2001/XMLSchema";
inline constexpr char kSoapNs[] = "http://schemas.xmlsoap.org/soap/envelope/";

class XmlWriter {
 public:
  XmlWriter(std::string& out, Version const* version) : _out(out), _vf(version) { _path.reserve(16); }
  VersionFilter& Filter() noexcept { return _vf; }

  // One element `name` holding `value` in a position of kind `vk` and
  // declared type `declared`; `attrs` go into the start tag as written.
  void Element(Any const* value, VK vk, Type const* declared, std::string_view name, std::string_view attrs = {});
  // A slot's elements (one per item for an array); `p` is a plain value's
  // address or the Any* of an object, array, reference or any value.
  void SlotValue(Slot const& s, void const* p);
  void Object(DynamicData const* obj, DataObjectType const* declared, std::string_view name, std::string_view attrs);
  void AnyValue(Any const* value, std::string_view name, std::string_view attrs);

 private:
  void Plain(VK k, Type const* type, void const* p, std::string_view where);
  void Open(std::string_view name, std::string_view attrs) {
    _out += '<';
    _out += name;
    _out += attrs;
  }
  void Close(std::string_view name) {
    _out += "</";
    _out += name;
    _out += '>';
  }
  void Text(std::string_view s, std::string_view where) {
    std::size_t bad = 0;
    if (!TryAppendXmlEscaped(_out, s, bad)) ThrowBadString(s, bad, PathText(_path, where));
  }
  std::string& _out;
  VersionFilter _vf;
  std::uint32_t _depth = 0;
  WritePath _path;
};

// What the body of a document holds.
enum class XmlDoc { Value, Request, Response };

struct XmlResult {
  Basalt::Ref<Any> value;          // Value documents; Response: the result
  Request request;                 // Request documents
  Basalt::Ref<MethodFault> fault;  // Response documents that carry a fault
  std::string faultString;
  bool isFault = false;
};

// Reads one document. `declared` is the root's type for Value documents;
// `method` the method a Response answers.
void ReadXml(std::string_view xml, XmlDoc doc, Type const* declared, ManagedMethod const* method,
             DecodeOptions const& options, XmlResult& result);

}  // namespace Quill::Wire::Detail
