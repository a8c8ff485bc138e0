#include <cmath>

#include "Common.h"
#include "quill/MethodFault.h"

namespace Quill::Wire::Detail {
namespace {

std::string Where(std::string_view name) {
  std::string w;
  w.append("'").append(name).append("'");
  return w;
}

class JsonWriter {
 public:
  JsonWriter(std::string& out, Version const* v) : _out(out), _vf(v) { _path.reserve(16); }

  void Position(Any const* value, VK vk, Type const* declared, std::string_view where) {
    if (!value) ThrowEncode("null value for " + Where(where));
    switch (vk) {
      case VK::Ref:
        Ref(value, where, false);
        return;
      case VK::Data: {
        Type const* t = value->_GetType();
        if (!t || (t->GetKind() != KIND_DATA && t->GetKind() != KIND_FAULT) ||
            !static_cast<DataObjectType const*>(t)->IsSubtypeOf(static_cast<DataObjectType const*>(declared))) {
          ThrowEncode("value of " + Where(where) + " is not a " + declared->GetName());
        }
        Object(static_cast<DynamicData const*>(value), static_cast<DataObjectType const*>(declared), where);
        return;
      }
      case VK::Any:
        AnyValue(value, where);
        return;
      default: {
        Type const* t = value->_GetType();
        if (t != declared) {
          ThrowEncode("value of " + Where(where) + " is a " + (t ? t->GetName() : "?") + ", not a " +
                      declared->GetName());
        }
        int tmp = 0;
        Plain(vk, declared, BoxValue(value, vk, declared, tmp), where);
      }
    }
  }

  void Plain(VK k, Type const* type, void const* p, std::string_view where) {
    switch (InfoOf(k).text) {
      case TextForm::kText:
        String(StringOf(k, p), where);
        return;
      case TextForm::kTag:
        _out += '"';
        _out += static_cast<EnumType const*>(type)->GetTag(*static_cast<int const*>(p));
        _out += '"';
        return;
      case TextForm::kFloating: {
        double d = k == VK::Float ? *static_cast<float const*>(p) : *static_cast<double const*>(p);
        bool finite = d == d && d - d == 0;
        if (d == 0 && std::signbit(d)) {  // "-0" would read back as the integer 0
          _out += "-0.0";
          return;
        }
        if (!finite) _out += '"';
        AppendNumberText(_out, k, p);
        if (!finite) _out += '"';
        return;
      }
      case TextForm::kDateTime:
      case TextForm::kBase64:
        _out += '"';
        AppendNumberText(_out, k, p);
        _out += '"';
        return;
      default:
        AppendNumberText(_out, k, p);
        return;
    }
  }

  void SlotValue(Slot const& s, void const* p) {
    if (!s.array) {
      if (IsPlain(s.vk))
        Plain(s.vk, s.type, p, s.name);
      else
        Position(static_cast<Any const*>(p), s.vk, s.type, s.name);
      return;
    }
    Items(static_cast<Any const*>(p), s.vk, s.type, s.name);
  }

  void Items(Any const* a, VK k, Type const* elem, std::string_view where) {
    _out += '[';
    std::size_t n = ArrayLength(a, k);
    for (std::size_t i = 0; i < n; ++i) {
      if (i) _out += ',';
      void const* item = ArrayItem(a, k, i);
      if (IsPlain(k)) {
        Plain(k, elem, item, where);
      } else {
        if (!item) ThrowEncode("null item " + std::to_string(i) + " in the array of " + Where(where));
        Position(static_cast<Any const*>(item), k, elem, where);
      }
    }
    _out += ']';
  }

  void Ref(Any const* value, std::string_view where, bool typed) {
    auto const* ref = dynamic_cast<MoRef const*>(value);
    if (!ref) ThrowEncode("value of " + Where(where) + " is not a managed object reference");
    _out += typed ? "{\"_type\":\"ManagedObjectReference\",\"type\":" : "{\"type\":";
    String(RefWireType(ref->GetTypeName()), where);
    _out += ",\"value\":";
    String(ref->GetId(), where);
    _out += '}';
  }

  void Object(DynamicData const* obj, DataObjectType const* declared, std::string_view where) {
    DepthGuard guard(_depth, _path, where);
    DataObjectType const* t = WritableType(obj->_GetDataType(), declared, _vf, _path);
    _out += "{\"_type\":\"";
    _out += t->GetWsdlName();
    _out += '"';
    ForEachWrittenSlot(obj, t, _vf, [&](Slot const& s, void const* p) {
      _out += ',';
      _out += s.jsonKey;
      if (p)
        SlotValue(s, p);
      else
        _out += "null";
    });
    _out += '}';
  }

  void AnyValue(Any const* value, std::string_view where) {
    Type const* t = value->_GetType();
    if (!t) ThrowEncode("value of " + Where(where) + " has no type");
    if (t->GetKind() == KIND_DATA || t->GetKind() == KIND_FAULT) {
      Object(static_cast<DynamicData const*>(value), nullptr, where);
      return;
    }
    DepthGuard guard(_depth, _path, where);
    switch (t->GetKind()) {
      case KIND_MANAGED:
        Ref(value, where, true);
        return;
      case KIND_ENUM:
      case KIND_PRIMITIVE: {
        VK k = KindOf(t);
        if (k == VK::Any) ThrowEncode("value of " + Where(where) + " has an unknown primitive type");
        CheckVersion(t, where);
        _out += "{\"_type\":\"";
        _out += t->GetWsdlName();
        _out += "\",\"_value\":";
        int tmp = 0;
        Plain(k, t, BoxValue(value, k, t, tmp), where);
        _out += '}';
        return;
      }
      case KIND_ARRAY: {
        Type const* elem = t->GetElementType();
        VK k = KindOf(elem);
        CheckVersion(elem, where);
        _out += "{\"_type\":\"";
        _out += ArrayWsdlName(k, elem);
        _out += "\",\"_value\":";
        Items(value, k, elem, where);
        _out += '}';
        return;
      }
      default:
        ThrowEncode("value of " + Where(where) + " cannot be written");
    }
  }

 private:
  // A string of the API; the path is written out only for its refusal.
  void String(std::string_view s, std::string_view where) {
    std::size_t bad = 0;
    if (!TryAppendJsonString(_out, s, true, bad)) ThrowBadString(s, bad, PathText(_path, where));
  }

  void CheckVersion(Type const* t, std::string_view where) {
    if (!_vf.Has(t)) {
      ThrowNotSupported(std::string("type ") + t->GetName() + " of " + Where(where) + " does not exist in version " +
                        _vf.version()->GetName());
    }
  }

  std::string& _out;
  VersionFilter _vf;
  std::uint32_t _depth = 0;
  WritePath _path;
};

}  // namespace
}  // namespace Quill::Wire::Detail

namespace Quill::Wire {

void AppendJsonString(std::string& out, std::string_view text) { Detail::AppendJsonString(out, text, "the text"); }

void EncodeJson(std::string& out, Any const* value, Type const* declared, Version const* version) {
  using namespace Detail;
  version = VersionOrDefault(version);
  if (!declared) ThrowEncode("no declared type");
  if (!value) {
    out += "null";
    return;
  }
  JsonWriter w(out, version);
  if (declared->IsArray()) {
    Type const* elem = declared->GetElementType();
    Type const* t = value->_GetType();
    bool fits = t && t->IsArray() &&
                (IsPlain(KindOf(elem)) ? t == declared : dynamic_cast<DataArrayBase const*>(value) != nullptr);
    if (!fits) ThrowEncode(std::string("value is not an array of ") + elem->GetName());
    w.Items(value, KindOf(elem), elem, "the array");
  } else {
    w.Position(value, KindOf(declared), declared, "the value");
  }
}

}  // namespace Quill::Wire
