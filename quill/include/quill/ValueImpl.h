// Template bodies of the value arrays and boxes that libquill instantiates,
// and of the enumeration function tables (EnumFuncsOf<E>, CreateEnumType<E>)
// that a type library instantiates in its sources. Enumeration arrays and
// boxes have their members in quill/Array.h and quill/Primitive.h.
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

// --- shared by every enumeration instance ------------------------------------------
// What differs between enumerations is only their type object, the identity of
// their classes and the function that allocates an empty array; the members of
// Array<E>, Primitive<E> and EnumFuncsOf<E> pass those in.

// The array type of `element`; null while `element` is.
Type* ArrayTypeOf(Type* element);

// "(<enumeration>[]) [tag, ...]" over the values of `view`.
std::string FormatEnumArray(EnumType const* type, Array<int> const& view);
// Any Array<int> (another enumeration's too) with the same values as `view`;
// a null or foreign `other` is unequal.
bool SameEnumValues(Array<int> const& view, Any const* other) noexcept;
// A new array from `create` (count 0, its view on itself) holding the values
// of `view` once each, in order. If filling it throws, it is deleted.
Any* CloneEnumArray(Array<int> const& view, Any* (*create)());
// `out` = a new array of strings, the tag of each value of `view` in order.
void EnumToTags(Array<int> const& view, EnumType const* type, Basalt::Ref<Array<std::string>>& out);
// `strings` must be an Array<std::string> (else TypeMismatchException); a new
// array from `create` holding type->GetValue() of each string in order. An
// unknown tag deletes the array and passes the exception on.
Any* EnumFromTags(Any const* strings, EnumType const* type, Any* (*create)());
EnumType* NewEnumType(EnumTypeInfo const* info, EnumFuncs const& funcs);

}  // namespace Quill::Detail

namespace Quill {

// --- Array<V> -------------------------------------------------------------------
template <class V>
Array<V>::Array(Array const&) = default;
template <class V>
Array<V>::~Array() = default;
template <class V>
std::string Array<V>::ToString() const {
  std::vector<std::string> items;
  items.reserve(_values.size());
  for (auto const& v : _values) items.push_back(Detail::FormatValue(v));
  return Detail::FormatList(items, Detail::ValueTypeName<V>());
}
template <class V>
Type* Array<V>::_GetType() const {
  return Detail::ArrayTypeOf(GetNoType<V>());
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
void Array<V>::_DiffProperties(Any const* other, std::string const& prefix, PropertyDiffSet& diffs) const {
  Detail::DiffWhole(this, other, prefix, diffs);
}
template <class V>
std::uint32_t Array<V>::GetCollectionLength() const {
  return static_cast<std::uint32_t>(_values.size());
}

// --- enumeration function table ----------------------------------------------------
template <class E>
struct EnumFuncsOf {
  static int Unbox(Any const* box) { return static_cast<int>(Quill::Unbox<E>(box)); }
  static Any* Box(int value) { return new Primitive<E>(static_cast<E>(value)); }
  static void ToTags(Any const* values, EnumType const* type, Basalt::Ref<Array<std::string>>& out) {
    auto const* arr = static_cast<Array<E> const*>(Detail::CastOrThrow(values, typeid(Array<E>)));
    Detail::EnumToTags(*arr->view, type, out);
  }
  static Any* FromTags(Any const* strings, EnumType const* type) {
    return Detail::EnumFromTags(strings, type, &CreateArray);
  }
  static Any* CreateArray() { return new Array<E>(); }

  static constexpr EnumFuncs kFuncs{&Unbox, &Box, &ToTags, &FromTags, &CreateArray};
};

// A new EnumType for E from its descriptor; the module callback stores it.
template <class E>
EnumType* CreateEnumType(EnumTypeInfo const* info) {
  return Detail::NewEnumType(info, EnumFuncsOf<E>::kFuncs);
}

// Array<E> (enumerations) has its members in quill/Array.h.

// --- Primitive<V> -------------------------------------------------------------------
template <class V>
std::string Primitive<V>::ToString() const {
  return Detail::FormatValue(_value);
}
template <class V>
Type* Primitive<V>::_GetType() const {
  return GetNoType<V>();
}
template <class V>
bool Primitive<V>::_IsEqual(Any const* other, bool) const {
  if (!other) return false;
  return Detail::SameValue(_value, Unbox<V>(other));
}
template <class V>
void Primitive<V>::_DiffProperties(Any const* other, std::string const& prefix, PropertyDiffSet& diffs) const {
  Detail::DiffWhole(this, other, prefix, diffs);
}

}  // namespace Quill
