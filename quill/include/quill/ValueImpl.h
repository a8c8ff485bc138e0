// Template bodies of the value arrays and boxes. libquill instantiates the
// value types; a type library includes this in the one source file per
// enumeration group that instantiates its enumerations:
//
//   template class Quill::Array<Tarn::TaskInfo::State>;
//   template class Quill::Primitive<Tarn::TaskInfo::State>;
//
// Not for headers: it pulls in <cstring> and the type objects.
#pragma once

#include <cstring>
#include <string>
#include <type_traits>
#include <typeinfo>
#include <vector>

#include "basalt/Exception.h"
#include "quill/Array.h"
#include "quill/Primitive.h"
#include "quill/Type.h"
#include "quill/Values.h"

namespace Quill::Detail {

std::string FormatValue(std::string const& v);
std::string FormatValue(std::vector<unsigned char> const& v);
std::string FormatValue(bool v);
inline std::string FormatValue(BoolByte v) { return FormatValue(v.value); }
std::string FormatValue(signed char v);
std::string FormatValue(short v);
std::string FormatValue(int v);
std::string FormatValue(long v);
std::string FormatValue(float v);
std::string FormatValue(double v);
std::string FormatValue(Basalt::System::DateTime const& v);
std::string FormatValue(TypeName const& v);
std::string FormatValue(MethodName const& v);
std::string FormatValue(PropertyPath const& v);
std::string FormatValue(Uri const& v);
// The tag when the type is bound and the value in range, else the integer.
std::string FormatEnum(EnumType const* type, int value);
std::string FormatList(std::vector<std::string> const& items, char const* typeName);

template <class V>
bool SameValue(V const& a, V const& b) noexcept {
  if constexpr (std::is_same_v<V, Basalt::System::DateTime>) {
    return a.GetUtcTime() == b.GetUtcTime();
  } else if constexpr (std::is_same_v<V, PropertyPath>) {
    return a.Compare(b) == 0;
  } else {
    return a == b;  // floating point: NaN never matches
  }
}

template <class V>
bool SameValues(std::vector<V> const& a, std::vector<V> const& b) noexcept {
  if (a.size() != b.size()) return false;
  if constexpr (std::is_integral_v<V>) {
    return a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(V)) == 0;
  } else {
    for (std::size_t i = 0; i < a.size(); ++i) {
      if (!SameValue(a[i], b[i])) return false;
    }
    return true;
  }
}

template <class V>
char const* ValueTypeName();

}  // namespace Quill::Detail

namespace Quill {

// --- Array<V> -------------------------------------------------------------------
template <class V>
std::string Array<V>::ToString() const {
  std::vector<std::string> items;
  items.reserve(_values.size());
  for (auto const& v : _values) items.push_back(Detail::FormatValue(v));
  return Detail::FormatList(items, Detail::ValueTypeName<V>());
}
template <class V>
Type* Array<V>::_GetType() const {
  Type* t = GetNoType<V>();
  return t ? t->GetArrayType() : nullptr;
}
template <class V>
Array<V>* Array<V>::_Clone() const {
  return new Array(*this);
}
template <class V>
bool Array<V>::_IsEqual(Any const* other, bool) const {
  if (!other || typeid(*other) != typeid(Array<V>)) return false;
  return Detail::SameValues(_values, static_cast<Array<V> const*>(other)->_values);
}
template <class V>
void Array<V>::_DiffProperties(Any const* other, std::string const& prefix,
                               PropertyDiffSet& diffs) const {
  if (!this->_IsEqual(other, false)) diffs.Append(prefix);
}
template <class V>
std::uint32_t Array<V>::GetCollectionLength() const {
  return static_cast<std::uint32_t>(_values.size());
}

// --- Array<E> (enumerations) -------------------------------------------------------
template <class E>
  requires std::is_enum_v<E>
Array<E>::Array(Array const& other) : Array<int>(), view(this) {
  auto const& src = other.view->GetValues();
  _values.reserve(src.size());
  for (int v : src) _values.push_back(v);
}
template <class E>
  requires std::is_enum_v<E>
std::string Array<E>::ToString() const {
  EnumType const* type = GetEnumType<E>();
  std::vector<std::string> items;
  for (int v : view->GetValues()) items.push_back(Detail::FormatEnum(type, v));
  return Detail::FormatList(items, type ? type->GetName() : "enum");
}
template <class E>
  requires std::is_enum_v<E>
Type* Array<E>::_GetType() const {
  Type* t = GetEnumType<E>();
  return t ? t->GetArrayType() : nullptr;
}
template <class E>
  requires std::is_enum_v<E>
Array<E>* Array<E>::_Clone() const {
  return new Array(*this);
}
template <class E>
  requires std::is_enum_v<E>
bool Array<E>::_IsEqual(Any const* other, bool) const {
  auto const* o = dynamic_cast<Array<int> const*>(other);
  if (!o) return false;
  // Another enumeration array reads through its own view; a plain Array<int>
  // holds its values itself.
  std::vector<int> const& theirs = o->GetValues();
  return Detail::SameValues(view->GetValues(), theirs);
}
template <class E>
  requires std::is_enum_v<E>
void Array<E>::_DiffProperties(Any const* other, std::string const& prefix,
                               PropertyDiffSet& diffs) const {
  if (!this->_IsEqual(other, false)) diffs.Append(prefix);
}
template <class E>
  requires std::is_enum_v<E>
std::uint32_t Array<E>::GetCollectionLength() const {
  return static_cast<std::uint32_t>(view->GetValues().size());
}

// --- Primitive<V> -------------------------------------------------------------------
template <class V>
std::string Primitive<V>::ToString() const {
  if constexpr (std::is_enum_v<V>) {
    return Detail::FormatEnum(GetEnumType<V>(), static_cast<int>(_value));
  } else {
    return Detail::FormatValue(_value);
  }
}
template <class V>
Type* Primitive<V>::_GetType() const {
  if constexpr (std::is_enum_v<V>) {
    return GetEnumType<V>();
  } else {
    return GetNoType<V>();
  }
}
template <class V>
bool Primitive<V>::_IsEqual(Any const* other, bool) const {
  return Detail::SameValue(_value, Unbox<V>(other));
}
template <class V>
void Primitive<V>::_DiffProperties(Any const* other, std::string const& prefix,
                                   PropertyDiffSet& diffs) const {
  if (!this->_IsEqual(other, false)) diffs.Append(prefix);
}

// --- enumeration function table ----------------------------------------------------
template <class E>
struct EnumFuncsOf {
  static int Unbox(Any const* box) { return static_cast<int>(Quill::Unbox<E>(box)); }
  static Any* Box(int value) { return new Primitive<E>(static_cast<E>(value)); }
  static void ToTags(Any const* values, EnumType const* type, Basalt::Ref<Array<std::string>>& out) {
    auto const* arr = dynamic_cast<Array<E> const*>(values);
    if (!arr) Basalt::ThrowTypeMismatchException(typeid(Array<E>), typeid(*values));
    auto const& v = arr->view->GetValues();
    out = new Array<std::string>(std::vector<std::string>(v.size()));
    auto& tags = out->GetValues();
    for (std::size_t i = 0; i < v.size(); ++i) tags[i] = type->GetTag(v[i]);
  }
  static Any* FromTags(Any const* strings, EnumType const* type) {
    auto const& tags = static_cast<Array<std::string> const*>(strings)->GetValues();
    auto* arr = new Array<E>();
    try {
      auto& v = arr->view->GetValues();
      v.reserve(tags.size());
      v.assign(tags.size(), 0);
      for (std::size_t i = 0; i < tags.size(); ++i) v[i] = type->GetValue(tags[i]);
    } catch (...) {
      delete arr;  // never wrapped: count still 0
      throw;
    }
    return arr;
  }
  static Any* CreateArray() { return new Array<E>(); }

  static constexpr EnumFuncs kFuncs{&Unbox, &Box, &ToTags, &FromTags, &CreateArray};
};

// A new EnumType for E from its descriptor; the module callback stores it.
template <class E>
EnumType* CreateEnumType(EnumTypeInfo const* info) {
  EnumFuncs funcs = EnumFuncsOf<E>::kFuncs;
  return new EnumType(info, funcs);
}

}  // namespace Quill
