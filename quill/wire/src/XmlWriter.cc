#include <cstring>

#include "Xml.h"
#include "quill/MethodFault.h"

namespace Quill::Wire::Detail {

namespace {
std::string Where(std::string_view name) {
  std::string w;
  w.append("'").append(name).append("'");
  return w;
}

bool IsDataKind(Type const* t) { return t->GetKind() == KIND_DATA || t->GetKind() == KIND_FAULT; }
}  // namespace

void XmlWriter::Plain(VK k, Type const* type, void const* p, std::string_view where) {
  switch (InfoOf(k).text) {
    case TextForm::kText:
      Text(StringOf(k, p), where);
      break;
    case TextForm::kTag:
      _out += static_cast<EnumType const*>(type)->GetTag(*static_cast<int const*>(p));
      break;
    default:
      AppendNumberText(_out, k, p);
      break;
  }
}

void XmlWriter::SlotValue(Slot const& s, void const* p) {
  if (!s.array) {
    if (IsPlain(s.vk)) {
      _out += s.open;
      Plain(s.vk, s.type, p, s.name);
      _out += s.close;
    } else {
      Element(static_cast<Any const*>(p), s.vk, s.type, s.name);
    }
    return;
  }
  auto const* a = static_cast<Any const*>(p);
  std::size_t n = ArrayLength(a, s.vk);
  for (std::size_t i = 0; i < n; ++i) {
    void const* item = ArrayItem(a, s.vk, i);
    if (IsPlain(s.vk)) {
      _out += s.open;
      Plain(s.vk, s.type, item, s.name);
      _out += s.close;
    } else {
      if (!item) ThrowEncode("null item " + std::to_string(i) + " in the array of " + Where(s.name));
      Element(static_cast<Any const*>(item), s.vk, s.type, s.name);
    }
  }
}

void XmlWriter::Element(Any const* value, VK vk, Type const* declared, std::string_view name, std::string_view attrs) {
  if (!value) ThrowEncode("null value for " + Where(name));
  switch (vk) {
    case VK::Ref: {
      auto const* ref = dynamic_cast<MoRef const*>(value);
      if (!ref) ThrowEncode("value of " + Where(name) + " is not a managed object reference");
      Open(name, attrs);
      _out += " type=\"";
      Text(RefWireType(ref->GetTypeName()), name);
      _out += "\">";
      Text(ref->GetId(), name);
      Close(name);
      return;
    }
    case VK::Data: {
      Type const* t = value->_GetType();
      if (!t || !IsDataKind(t) ||
          !static_cast<DataObjectType const*>(t)->IsSubtypeOf(static_cast<DataObjectType const*>(declared))) {
        ThrowEncode("value of " + Where(name) + " is not a " + declared->GetName());
      }
      Object(static_cast<DynamicData const*>(value), static_cast<DataObjectType const*>(declared), name, attrs);
      return;
    }
    case VK::Any:
      AnyValue(value, name, attrs);
      return;
    default: {
      // A boxed plain value in a position of its own type.
      Type const* t = value->_GetType();
      if (t != declared) {
        ThrowEncode("value of " + Where(name) + " is a " + (t ? t->GetName() : "?") + ", not a " + declared->GetName());
      }
      int tmp = 0;
      void const* p = BoxValue(value, vk, declared, tmp);
      Open(name, attrs);
      _out += '>';
      Plain(vk, declared, p, name);
      Close(name);
    }
  }
}

void XmlWriter::Object(DynamicData const* obj, DataObjectType const* declared, std::string_view name,
                       std::string_view attrs) {
  DepthGuard guard(_depth, _path, name);
  DataObjectType const* t = WritableType(obj->_GetDataType(), declared, _vf, _path);
  Open(name, attrs);
  if (t != declared) {
    _out += " xsi:type=\"";
    _out += t->GetWsdlName();
    _out += '"';
  }
  _out += '>';
  ForEachWrittenSlot(obj, t, _vf, [&](Slot const& s, void const* p) {
    if (p)
      SlotValue(s, p);
    else
      Open(s.name, " xsi:nil=\"true\"/>");
  });
  Close(name);
}

void XmlWriter::AnyValue(Any const* value, std::string_view name, std::string_view attrs) {
  Type const* t = value->_GetType();
  if (!t) ThrowEncode("value of " + Where(name) + " has no type");
  if (t->GetKind() == KIND_DATA || t->GetKind() == KIND_FAULT) {
    Object(static_cast<DynamicData const*>(value), nullptr, name, attrs);
    return;
  }
  DepthGuard guard(_depth, _path, name);
  switch (t->GetKind()) {
    case KIND_MANAGED: {
      std::string a(attrs);
      a += " xsi:type=\"ManagedObjectReference\"";
      Element(value, VK::Ref, t, name, a);
      return;
    }
    case KIND_ENUM:
    case KIND_PRIMITIVE: {
      VK k = KindOf(t);
      if (k == VK::Any) ThrowEncode("value of " + Where(name) + " has an unknown primitive type");
      if (!_vf.Has(t)) {
        ThrowNotSupported(std::string("type ") + t->GetName() + " of " + Where(name) + " does not exist in version " +
                          _vf.version()->GetName());
      }
      Open(name, attrs);
      _out += " xsi:type=\"";
      if (k != VK::Enum && IsXsdScalar(k)) _out += "xsd:";
      _out += t->GetWsdlName();
      _out += "\">";
      int tmp = 0;
      Plain(k, t, BoxValue(value, k, t, tmp), name);
      Close(name);
      return;
    }
    case KIND_ARRAY: {
      Type const* elem = t->GetElementType();
      VK k = KindOf(elem);
      if (!_vf.Has(elem)) {
        ThrowNotSupported(std::string("type ") + elem->GetName() + " of " + Where(name) +
                          " does not exist in version " + _vf.version()->GetName());
      }
      Open(name, attrs);
      _out += " xsi:type=\"";
      _out += ArrayWsdlName(k, elem);
      _out += "\">";
      std::string_view item = ItemElementName(k, elem);
      std::size_t n = ArrayLength(value, k);
      for (std::size_t i = 0; i < n; ++i) {
        void const* p = ArrayItem(value, k, i);
        if (IsPlain(k)) {
          Open(item, {});
          _out += '>';
          Plain(k, elem, p, name);
          Close(item);
        } else {
          if (!p) ThrowEncode("null item " + std::to_string(i) + " in the array of " + Where(name));
          Element(static_cast<Any const*>(p), k, elem, item);
        }
      }
      Close(name);
      return;
    }
    default:
      ThrowEncode("value of " + Where(name) + " cannot be written");
  }
}

}  // namespace Quill::Wire::Detail

namespace Quill::Wire {

using namespace Detail;

void EncodeXml(std::string& out, Any const* value, Type const* declared, char const* elementName,
               Version const* version) {
  version = VersionOrDefault(version);
  if (!declared) ThrowEncode("no declared type");
  if (!value) ThrowEncode(std::string("null value for '") + elementName + "'");
  // The root's declarations, made once per thread and version.
  thread_local Version const* attrsFor = nullptr;
  thread_local std::string attrs;
  if (attrsFor != version) {
    attrs = " xmlns=\"urn:";
    attrs += version->GetWireNamespace();
    attrs += "\" xmlns:xsi=\"";
    attrs += kXsiNs;
    attrs += "\" xmlns:xsd=\"";
    attrs += kXsdNs;
    attrs += '"';
    attrsFor = version;
  }
  XmlWriter w(out, version);
  if (declared->IsArray()) {
    w.AnyValue(value, elementName, attrs);
  } else {
    w.Element(value, KindOf(declared), declared, elementName, attrs);
  }
}

}  // namespace Quill::Wire
