// Generic access to data objects through their type's descriptors: the
// runtime's ToString of data objects, and the comparison and diff that
// classes without generated ones (faults' _DiffProperties) inherit.
#include <cstring>
#include <iterator>
#include <typeinfo>

#include "Internal.h"
#include "basalt/DateTime.h"
#include "basalt/Exception.h"
#include "quill/Any.h"
#include "quill/Array.h"
#include "quill/Compare.h"
#include "quill/Kinds.h"
#include "quill/Primitive.h"
#include "quill/ValueImpl.h"

namespace Quill {

Kind KindNamed(std::string_view name) noexcept {
  for (std::uint8_t k = 0; k < kKindCount; ++k) {
    if (kKinds[k].name && name == kKinds[k].name) return static_cast<Kind>(k);
  }
  return Kind::Any;
}

Kind KindOf(TypeInfo const* t) noexcept {
  switch (t->kind) {
    case KIND_ENUM:
      return Kind::Enum;
    case KIND_MANAGED:
      return Kind::Ref;
    case KIND_DATA:
    case KIND_FAULT:
      return Kind::Data;
    case KIND_ANY:
      return Kind::Any;
    default:
      break;
  }
  // The runtime's own records, in the order of the kinds; a record of
  // another library is known by its name.
  static TypeInfo const* const kRecords[] = {
      &gBoolTypeInfo,     &gByteTypeInfo,       &gShortTypeInfo,        &gIntTypeInfo,      &gLongTypeInfo,
      &gFloatTypeInfo,    &gDoubleTypeInfo,     &gStringTypeInfo,       &gDateTimeTypeInfo, &gBinaryTypeInfo,
      &gTypeNameTypeInfo, &gMethodNameTypeInfo, &gPropertyPathTypeInfo, &gUriTypeInfo};
  static_assert(std::size(kRecords) == static_cast<std::size_t>(Kind::Uri) + 1);
  for (std::size_t k = 0; k < std::size(kRecords); ++k) {
    if (t == kRecords[k]) return static_cast<Kind>(k);
  }
  return t->name ? KindNamed(t->name) : Kind::Any;
}

}  // namespace Quill

namespace Quill::Detail {

Kind ValueKindOf(PropertyInfo const& p) {
  if (p.flags & F_ARRAY) return Kind::Data;
  if (p.flags & F_LINK) return Kind::String;  // the key of the linked object
  Kind k = p.type ? KindOf(p.type) : Kind::Any;
  return IsPlain(k) ? k : Kind::Data;
}

namespace {

// One property's value as read through the accessors.
struct Value {
  Kind kind = Kind::Data;
  bool set = false;
  Any* object = nullptr;  // Kind::Data: null when null or an empty array
  std::string text;       // strings and string-like names
  long integer = 0;       // bool, byte, short, int, long, enum
  double real = 0;
  Basalt::System::DateTime date;
  std::vector<unsigned char> bytes;
};

template <class V>
V Read(DataProperty const& p, DynamicData* obj) {
  V v{};
  p.owner->getProperty(obj, p.ownIndex, &v);
  return v;
}

Value ReadValue(DataProperty const& p, DynamicData const* cobj) {
  auto* obj = const_cast<DynamicData*>(cobj);  // value reads do not modify the object
  Value v;
  v.kind = ValueKindOf(*p.info);
  if (v.kind == Kind::Data) {
    v.object = p.owner->getPropertyPtr ? static_cast<Any*>(p.owner->getPropertyPtr(obj, p.ownIndex)) : nullptr;
    v.set = v.object != nullptr;
    return v;
  }
  v.set = p.owner->isPropertySet(obj, p.ownIndex);
  if (!v.set) return v;
  switch (v.kind) {
    case Kind::String:
      v.text = Read<std::string>(p, obj);
      break;
    case Kind::TypeName:
      v.text = Read<Quill::TypeName>(p, obj).GetString();
      break;
    case Kind::MethodName:
      v.text = Read<Quill::MethodName>(p, obj).GetString();
      break;
    case Kind::PropertyPath:
      v.text = Read<PropertyPath>(p, obj).GetString();
      break;
    case Kind::Uri:
      v.text = Read<Quill::Uri>(p, obj).GetString();
      break;
    case Kind::Bool:
      v.integer = Read<bool>(p, obj);
      break;
    case Kind::Byte:
      v.integer = Read<signed char>(p, obj);
      break;
    case Kind::Short:
      v.integer = Read<short>(p, obj);
      break;
    case Kind::Int:
      v.integer = Read<int>(p, obj);
      break;
    case Kind::Enum:
      v.integer = Read<int>(p, obj);
      break;
    case Kind::Long:
      v.integer = Read<long>(p, obj);
      break;
    case Kind::Float:
      v.real = Read<float>(p, obj);
      break;
    case Kind::Double:
      v.real = Read<double>(p, obj);
      break;
    case Kind::DateTime:
      v.date = Read<Basalt::System::DateTime>(p, obj);
      break;
    case Kind::Binary:
      v.bytes = Read<std::vector<unsigned char>>(p, obj);
      break;
    default:
      break;
  }
  return v;
}

bool SameSetValues(Value const& a, Value const& b) {
  switch (a.kind) {
    case Kind::PropertyPath:
      return PropertyPath(a.text).Compare(PropertyPath(b.text)) == 0;
    case Kind::String:
    case Kind::TypeName:
    case Kind::MethodName:
    case Kind::Uri:
      return a.text == b.text;
    case Kind::Float:
    case Kind::Double:
      return a.real == b.real;
    case Kind::DateTime:
      return a.date.GetUtcTime() == b.date.GetUtcTime();
    case Kind::Binary:
      return a.bytes == b.bytes;
    case Kind::Data:
      return a.object == b.object;
    default:
      return a.integer == b.integer;
  }
}

// Value fields follow the generated rules: required ones strictly; optional
// ones match when both are unset or both set and equal, and in lenient mode
// an unset `theirs` matches anything.
bool ValueMatches(Value const& mine, Value const& theirs, bool optional, bool lenient) {
  if (!theirs.set) return (lenient && optional) || !mine.set;
  return mine.set && SameSetValues(mine, theirs);
}

void Indent(std::string& out, int indent) { out.append(static_cast<std::size_t>(indent) * 3, ' '); }

std::string FormatSetValue(Value const& v, PropertyInfo const& p) {
  switch (v.kind) {
    case Kind::String:
    case Kind::TypeName:
    case Kind::MethodName:
    case Kind::PropertyPath:
    case Kind::Uri:
      return FormatValue(v.text);
    case Kind::Bool:
      return v.integer ? "true" : "false";
    case Kind::Float:
    case Kind::Double:
      return FormatValue(v.real);
    case Kind::DateTime:
      return v.date.ToIso8601();
    case Kind::Binary:
      return FormatValue(v.bytes);
    case Kind::Enum: {
      auto* et = dynamic_cast<EnumType*>(FindTypeByInfo(p.type));
      return FormatEnum(et, static_cast<int>(v.integer));
    }
    case Kind::Data:
      return {};
    default:
      return std::to_string(v.integer);
  }
}

void DumpData(DynamicData const* obj, std::string& out, int indent) {
  DataObjectType const* type = obj->_GetDataType();
  if (!type) {
    out.append(1, '(').append(Basalt::Demangle(typeid(*obj))).append(") {...}");
    return;
  }
  std::uint32_t n = 0;
  try {
    n = type->GetPropertyCount();
  } catch (Basalt::Exception const&) {  // a base not bound yet: show what is known
    out += "(" + std::string(type->GetName()) + ") {...}";
    return;
  }
  out += "(";
  out += type->GetName();
  out += ") {";
  if (n == 0) {
    out += "}";
    return;
  }
  out += "\n";
  for (std::uint32_t i = 0; i < n; ++i) {
    DataProperty const& p = type->GetProperty(i);
    Value v = ReadValue(p, obj);
    Indent(out, indent + 1);
    out += p.info->name;
    out += " = ";
    if (!v.set) {
      out += "<unset>";
    } else if (p.info->flags & F_SECRET) {
      out += "(secret)";
    } else if (v.kind == Kind::Data) {
      DumpAny(v.object, out, indent + 1);
    } else {
      out += FormatSetValue(v, *p.info);
    }
    out += i + 1 < n ? ",\n" : "\n";
  }
  Indent(out, indent);
  out += "}";
}

}  // namespace

void DumpAny(Any const* value, std::string& out, int indent) {
  if (!value) {
    out += "<unset>";
    return;
  }
  // A graph that holds itself prints the repeated object as a marker: a
  // dump is for logs and must not throw.
  GraphStep step(value, std::nothrow);
  if (char const* why = step.Refused()) {
    Type const* t = value->_GetType();
    out.append("(").append(t ? t->GetName() : Basalt::Demangle(typeid(*value))).append(") <").append(why).append(">");
    return;
  }
  if (auto const* data = dynamic_cast<DynamicData const*>(value)) {
    DumpData(data, out, indent);
    return;
  }
  if (auto const* arr = dynamic_cast<DataArrayBase const*>(value)) {
    Type const* item = arr->_GetItemType();
    out += "(";
    out += item ? item->GetName() : "object";
    out += "[]) [";
    if (arr->empty()) {
      out += "]";
      return;
    }
    out += "\n";
    for (std::size_t i = 0; i < arr->size(); ++i) {
      Indent(out, indent + 1);
      DumpAny(arr->GetAny(i), out, indent + 1);
      out += i + 1 < arr->size() ? ",\n" : "\n";
    }
    Indent(out, indent);
    out += "]";
    return;
  }
  out += value->ToString();
}

bool ReflectIsEqual(DynamicData const* mine, DynamicData const* theirs, bool lenient) {
  if (mine == theirs) return true;
  if (!mine || !theirs || typeid(*mine) != typeid(*theirs)) return false;
  DataObjectType const* type = mine->_GetDataType();
  if (!type) return false;
  for (std::uint32_t i = 0, n = type->GetPropertyCount(); i < n; ++i) {
    DataProperty const& p = type->GetProperty(i);
    Value a = ReadValue(p, mine), b = ReadValue(p, theirs);
    if (a.kind == Kind::Data) {
      if (!AreEqualAnysInt(a.object, b.object, p.info->flags, lenient)) return false;
    } else if (!ValueMatches(a, b, p.info->flags & F_OPTIONAL, lenient)) {
      return false;
    }
  }
  return true;
}

void ReflectDiff(DynamicData const* mine, DynamicData const* theirs, std::string const& prefix,
                 PropertyDiffSet& diffs) {
  if (!mine || !theirs || typeid(*mine) != typeid(*theirs)) {
    if (mine != theirs) diffs.Append(prefix);
    return;
  }
  DataObjectType const* type = mine->_GetDataType();
  if (!type) return;
  for (std::uint32_t i = 0, n = type->GetPropertyCount(); i < n; ++i) {
    DataProperty const& p = type->GetProperty(i);
    Value a = ReadValue(p, mine), b = ReadValue(p, theirs);
    if (a.kind == Kind::Data) {
      DiffAnyPropertiesInt(a.object, b.object, prefix, p.component.c_str(), p.info->flags, diffs);
    } else if (!ValueMatches(a, b, p.info->flags & F_OPTIONAL, false)) {
      diffs.Append(prefix, p.component.c_str());
    }
  }
}

}  // namespace Quill::Detail

namespace Quill {

Any::~Any() = default;
std::string Any::ToString() const {
  if (dynamic_cast<DynamicData const*>(this) || dynamic_cast<DataArrayBase const*>(this)) {
    std::string out;
    Detail::DumpAny(this, out, 0);
    return out;
  }
  std::string out(1, '(');
  return out.append(Basalt::Demangle(typeid(*this))).append(1, ')');
}

DynamicData::~DynamicData() = default;
bool DynamicData::_IsEqual(Any const* other, bool lenient) const {
  return Detail::ReflectIsEqual(this, dynamic_cast<DynamicData const*>(other), lenient);
}
void DynamicData::_DiffProperties(Any const* other, std::string const& prefix, PropertyDiffSet& diffs) const {
  Detail::ReflectDiff(this, dynamic_cast<DynamicData const*>(other), prefix, diffs);
}

}  // namespace Quill
