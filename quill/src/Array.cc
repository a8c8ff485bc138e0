// Arrays and boxes: the runtime's instances and their formatting.
#include <cxxabi.h>

#include <cmath>
#include <cstdio>

#include "Internal.h"
#include "quill/Compare.h"
#include "quill/Text.h"
#include "quill/ValueImpl.h"

namespace Quill {

// --- formatting ----------------------------------------------------------------------

namespace Detail {

// A dump is for logs and must not throw: bytes that are not UTF-8 are shown replaced.
std::string FormatValue(std::string const& v) {
  std::string out;
  AppendJsonString(out, v, BadUtf8::kReplace);
  return out;
}
std::string FormatValue(std::vector<unsigned char> const& v) {
  static constexpr char kHex[] = "0123456789abcdef";
  // Appended piecewise: "<" + std::to_string(...) trips a false -Wrestrict in g++ 12 -O3.
  std::string out = "<";
  out += std::to_string(v.size());
  out += " bytes";
  if (!v.empty()) out += ": ";
  std::size_t shown = std::min<std::size_t>(v.size(), 32);
  for (std::size_t i = 0; i < shown; ++i) {
    out += kHex[v[i] >> 4];
    out += kHex[v[i] & 15];
  }
  if (shown < v.size()) out += "...";
  return out + ">";
}
std::string FormatValue(bool v) { return v ? "true" : "false"; }
std::string FormatValue(signed char v) { return std::to_string(static_cast<int>(v)); }
std::string FormatValue(short v) { return std::to_string(v); }
std::string FormatValue(int v) { return std::to_string(v); }
std::string FormatValue(long v) { return std::to_string(v); }
std::string FormatValue(float v) { return FormatValue(static_cast<double>(v)); }
std::string FormatValue(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.17g", v);
  return buf;
}
std::string FormatValue(Basalt::System::DateTime const& v) { return v.ToIso8601(); }
std::string FormatValue(TypeName const& v) { return FormatValue(v.GetString()); }
std::string FormatValue(MethodName const& v) { return FormatValue(v.GetString()); }
std::string FormatValue(PropertyPath const& v) { return FormatValue(v.GetString()); }
std::string FormatValue(Uri const& v) { return FormatValue(v.GetString()); }

std::string FormatEnum(EnumType const* type, int value) {
  if (type && value >= 0 && value < type->GetTagCount()) return type->GetDescriptor()->tags[value];
  return std::to_string(value);
}

std::string FormatList(std::vector<std::string> const& items, char const* typeName) {
  std::string out = "(";
  out += typeName;
  out += "[]) [";
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i) out += ", ";
    out += items[i];
  }
  return out + "]";
}

template <>
char const* ValueTypeName<std::string>() {
  return "string";
}
template <>
char const* ValueTypeName<std::vector<unsigned char>>() {
  return "binary";
}
template <>
char const* ValueTypeName<bool>() {
  return "boolean";
}
template <>
char const* ValueTypeName<signed char>() {
  return "byte";
}
template <>
char const* ValueTypeName<short>() {
  return "short";
}
template <>
char const* ValueTypeName<int>() {
  return "int";
}
template <>
char const* ValueTypeName<long>() {
  return "long";
}
template <>
char const* ValueTypeName<float>() {
  return "float";
}
template <>
char const* ValueTypeName<double>() {
  return "double";
}
template <>
char const* ValueTypeName<TypeName>() {
  return "typeName";
}
template <>
char const* ValueTypeName<MethodName>() {
  return "methodName";
}
template <>
char const* ValueTypeName<PropertyPath>() {
  return "propertyPath";
}
template <>
char const* ValueTypeName<Uri>() {
  return "uri";
}

// --- bodies shared by the instances of the templates -------------------------------

void const* CastOrThrow(Any const* obj, std::type_info const& target) {
  // What a dynamic_cast from Any to the target class compiles to, with the
  // target's identity as an argument (-1: no hint about where Any lies in it).
  // Class type identities are __class_type_info objects in this ABI.
  using ClassId = abi::__class_type_info;
  if (!obj) Basalt::ThrowTypeMismatchException(target, typeid(std::nullptr_t));
  void const* p =
      abi::__dynamic_cast(obj, static_cast<ClassId const*>(&typeid(Any)), static_cast<ClassId const*>(&target), -1);
  if (!p) Basalt::ThrowTypeMismatchException(target, typeid(*obj));
  return p;
}

void DiffWhole(Any const* self, Any const* other, std::string const& prefix, PropertyDiffSet& diffs) {
  if (!self->_IsEqual(other, false)) diffs.Append(prefix);
}

Type* ArrayTypeOf(Type* element) { return element ? element->GetArrayType() : nullptr; }

Type* ItemArrayType(DataArrayBase const& a) { return ArrayTypeOf(a._GetItemType()); }

void AppendEnumValues(Array<int>& to, void const* values, std::size_t count) {
  auto& v = to.GetValues();
  std::size_t at = v.size();
  v.resize(at + count);
  if (count) std::memcpy(v.data() + at, values, count * sizeof(int));
}

void AppendEnumValue(Array<int>& to, int value) { to.GetValues().push_back(value); }

std::string FormatEnumArray(EnumType const* type, Array<int> const& view) {
  std::vector<std::string> items;
  for (int v : view.GetValues()) items.push_back(FormatEnum(type, v));
  return FormatList(items, type ? type->GetName() : "enum");
}

bool SameEnumValues(Array<int> const& view, Any const* other) noexcept {
  auto const* o = dynamic_cast<Array<int> const*>(other);
  if (!o) return false;
  // Another enumeration array reads through its own view; a plain Array<int>
  // holds its values itself.
  return SameValues(view.GetValues(), o->GetValues());
}

Any* CloneEnumArray(Array<int> const& view, Any* (*create)()) {
  Any* made = create();
  // A new enumeration array's view is the array itself.
  auto& v = static_cast<Array<int>*>(made)->GetValues();
  try {
    auto const& src = view.GetValues();
    v.reserve(src.size());
    v.insert(v.end(), src.begin(), src.end());
  } catch (...) {
    delete made;  // never wrapped: count still 0
    throw;
  }
  return made;
}

void EnumToTags(Array<int> const& view, EnumType const* type, Basalt::Ref<Array<std::string>>& out) {
  auto const& v = view.GetValues();
  out = new Array<std::string>(std::vector<std::string>(v.size()));
  auto& tags = out->GetValues();
  for (std::size_t i = 0; i < v.size(); ++i) tags[i] = type->GetTag(v[i]);
}

Any* EnumFromTags(Any const* strings, EnumType const* type, Any* (*create)()) {
  auto const* in = dynamic_cast<Array<std::string> const*>(strings);
  if (!in) {
    Basalt::ThrowTypeMismatchException(typeid(Array<std::string>), strings ? typeid(*strings) : typeid(std::nullptr_t));
  }
  auto const& tags = in->GetValues();
  Any* made = create();
  try {
    auto& v = static_cast<Array<int>*>(made)->GetValues();
    v.reserve(tags.size());
    v.assign(tags.size(), 0);
    for (std::size_t i = 0; i < tags.size(); ++i) v[i] = type->GetValue(tags[i]);
  } catch (...) {
    delete made;  // never wrapped: count still 0
    throw;
  }
  return made;
}

EnumType* NewEnumType(EnumTypeInfo const* info, EnumFuncs const& funcs) { return new EnumType(info, funcs); }

void ThrowIndexOutOfRange(std::size_t index, std::size_t size) {
  ThrowBadArgument("index", "quill.array.index",
                   "index " + std::to_string(index) + " is out of range for an array of " + std::to_string(size) +
                       (size == 1 ? " element" : " elements"));
}

}  // namespace Detail

Collection::~Collection() = default;
DataArrayBase::DataArrayBase(DataArrayBase const&) = default;
DataArrayBase::~DataArrayBase() = default;

void DataArrayBase::AppendAny(Any* item) { _items.emplace_back(item); }

std::uint32_t DataArrayBase::GetCollectionLength() const { return static_cast<std::uint32_t>(_items.size()); }

bool DataArrayBase::_IsEqual(Any const* other, bool lenient) const {
  auto const* o = dynamic_cast<DataArrayBase const*>(other);
  if (!o || o->_items.size() != _items.size()) return false;
  for (std::size_t i = 0; i < _items.size(); ++i) {
    if (!AreEqualAnysInt(_items[i].get(), o->_items[i].get(), 0, lenient)) return false;
  }
  return true;
}

void DataArrayBase::_DiffProperties(Any const* other, std::string const& prefix, PropertyDiffSet& diffs) const {
  auto const* o = dynamic_cast<DataArrayBase const*>(other);
  if (!o || o->_items.size() != _items.size()) {
    diffs.Append(prefix);
    return;
  }
  std::string component;
  for (std::size_t i = 0; i < _items.size(); ++i) {
    // Equal elements, the common case, are ruled out before a path is built.
    if (AreEqualAnysInt(_items[i].get(), o->_items[i].get(), 0, false)) continue;
    component.assign(1, '[').append(std::to_string(i)).append(1, ']');
    DiffAnyPropertiesInt(_items[i].get(), o->_items[i].get(), prefix, component.c_str(), 0, diffs);
  }
}

template <>
Type* DataArray<Any>::_GetItemType() const {
  return GetNoType<Any>();
}
template <>
Type* DataArray<MoRef>::_GetItemType() const {
  return GetMoType<ManagedObject>();
}

template class DataArray<Any>;
template class DataArray<MoRef>;

template class Array<std::string>;
template class Array<std::vector<unsigned char>>;
template class Array<bool>;
template class Array<signed char>;
template class Array<short>;
template class Array<int>;
template class Array<long>;
template class Array<float>;
template class Array<double>;
template class Array<TypeName>;
template class Array<MethodName>;
template class Array<PropertyPath>;
template class Array<Uri>;

template class Primitive<std::string>;
template class Primitive<std::vector<unsigned char>>;
template class Primitive<signed char>;
template class Primitive<short>;
template class Primitive<int>;
template class Primitive<long>;
template class Primitive<float>;
template class Primitive<double>;
template class Primitive<Basalt::System::DateTime>;
template class Primitive<TypeName>;
template class Primitive<MethodName>;
template class Primitive<PropertyPath>;
template class Primitive<Uri>;

// --- shared boolean boxes --------------------------------------------------------

struct BoolBoxes {
  static Primitive<bool> sTrueBox;
  static Primitive<bool> sFalseBox;
};
// Constant-initialised with a count of 1 that is never dropped: usable from
// any other library's static initialisers and never freed.
constinit Primitive<bool> BoolBoxes::sTrueBox{true, Any::Immortal{}};
constinit Primitive<bool> BoolBoxes::sFalseBox{false, Any::Immortal{}};
Primitive<bool>* const Primitive<bool>::Factory::sTrue = &BoolBoxes::sTrueBox;
Primitive<bool>* const Primitive<bool>::Factory::sFalse = &BoolBoxes::sFalseBox;

Primitive<bool>::~Primitive() = default;
std::string Primitive<bool>::ToString() const { return _value ? "true" : "false"; }
Type* Primitive<bool>::_GetType() const { return GetNoType<bool>(); }
bool Primitive<bool>::_IsEqual(Any const* other, bool) const { return other && _value == Unbox<bool>(other); }
void Primitive<bool>::_DiffProperties(Any const* other, std::string const& prefix, PropertyDiffSet& diffs) const {
  Detail::DiffWhole(this, other, prefix, diffs);
}

}  // namespace Quill
