// Field-by-field work of every data class, driven by its Layout. Each
// operation is written once per storage shape (a template over the member's
// declared type) and reached through one switch; the building blocks are those
// the descriptor contract and the comparison rules fix (quill/Accessors.h,
// quill/Compare.h), so a class behaves as if its members were spelled out.
#include "quill/Fields.h"

#include <cxxabi.h>

#include <string>
#include <utility>
#include <vector>

#include "Internal.h"
#include "basalt/DateTime.h"
#include "basalt/Exception.h"
#include "basalt/Optional.h"
#include "quill/Accessors.h"
#include "quill/Array.h"
#include "quill/Compare.h"
#include "quill/TypeInfo.h"
#include "quill/Values.h"

namespace Quill::Fields {
namespace {

using Basalt::Optional;
using AnyRef = Basalt::Ref<Any>;

// An enumeration member is an `enum E : int`; its storage is read as the int
// it holds (the compiler gives an enumeration the aliasing of its underlying
// type).
template <class F, class Fn>
decltype(auto) Typed(void* p, Fn&& fn) {
  return fn(*static_cast<F*>(p));
}

// Calls fn with the member of `f` in `object` as a reference of its declared
// type (object and array members both as Basalt::Ref<Any>: every Ref holds
// one pointer, and every class here derives from Any first).
template <class Fn>
decltype(auto) Visit(Field const& f, void* object, Fn&& fn) {
  void* p = At(object, f);
  switch (Code(f.shape)) {
#define QUILL_FIELD_CASES(kind, cpp, ...)   \
  case Code(Kind::kind, Holder::kPlain):    \
    return Typed<cpp>(p, fn);               \
  case Code(Kind::kind, Holder::kOptional): \
    return Typed<Optional<cpp>>(p, fn);
    QUILL_SCALAR_KINDS(QUILL_FIELD_CASES)
#undef QUILL_FIELD_CASES
    case Code(Kind::Enum, Holder::kPlain):
      return Typed<int>(p, fn);
    case Code(Kind::Enum, Holder::kOptional):
      return Typed<Optional<int>>(p, fn);
    default:
      break;
  }
  return Typed<AnyRef>(p, fn);
}

template <class F>
inline constexpr bool kIsRef = Access::Detail::IsRef<F>::value;
template <class F>
inline constexpr bool kIsOptional = Access::Detail::IsOptional<F>::value;

bool IsArray(Field const& f) { return f.shape.holder == Holder::kArray || f.shape.holder == Holder::kObjectArray; }
bool IsReference(Field const& f) { return f.shape.holder == Holder::kObject || IsArray(f); }

AnyRef& RefAt(void* object, Field const& f) { return *static_cast<AnyRef*>(At(object, f)); }
Any const* RefAt(void const* object, Field const& f) { return static_cast<AnyRef const*>(At(object, f))->get(); }

// What dynamic_cast<T*>(a) does, with T known by its type_info: the same ABI
// routine the compiler calls.
bool IsOfClass(Any* a, std::type_info const* cls) {
  if (!cls || typeid(*a) == *cls) return true;
  auto const* from = static_cast<abi::__class_type_info const*>(&typeid(Any));
  auto const* to = static_cast<abi::__class_type_info const*>(cls);
  return abi::__dynamic_cast(a, from, to, -1) != nullptr;
}

bool EqualField(Field const& f, unsigned flags, void const* self, void const* other, bool lenient) {
  if (IsReference(f)) return AreEqualAnysInt(RefAt(self, f), RefAt(other, f), flags, lenient);
  void const* theirs = At(other, f);
  return Visit(f, const_cast<void*>(self), [&](auto const& mine) {
    using F = std::remove_cvref_t<decltype(mine)>;
    auto const& t = *static_cast<F const*>(theirs);
    if constexpr (kIsOptional<F>) {
      return Cmp::EqOpt(mine, t, lenient);
    } else if constexpr (kIsRef<F>) {
      return false;  // not reached: references are compared above
    } else {
      return Cmp::Eq(mine, t);
    }
  });
}

bool EqualOwn(Layout const& l, void const* self, void const* other, bool lenient) {
  for (std::uint32_t i = 0; i < l.count; ++i) {
    Field const& f = l.fields[i];
    // Strings and integers, most fields of most classes, are compared here without the
    // generic path's indirections.
    switch (Code(f.shape)) {
      case Code(Kind::String, Holder::kPlain): {
        auto const& a = *static_cast<std::string const*>(At(self, f));
        auto const& b = *static_cast<std::string const*>(At(other, f));
        if (a.size() != b.size() || std::char_traits<char>::compare(a.data(), b.data(), a.size()) != 0) {
          return false;
        }
        continue;
      }
      case Code(Kind::String, Holder::kOptional): {
        auto const& a = *static_cast<Optional<std::string> const*>(At(self, f));
        auto const& b = *static_cast<Optional<std::string> const*>(At(other, f));
        if (!b.IsSet()) {
          if (lenient || !a.IsSet()) continue;
          return false;
        }
        if (!a.IsSet() || *a != *b) return false;
        continue;
      }
      case Code(Kind::Int, Holder::kPlain):
      case Code(Kind::Enum, Holder::kPlain):
        if (*static_cast<int const*>(At(self, f)) != *static_cast<int const*>(At(other, f))) return false;
        continue;
      case Code(Kind::Bool, Holder::kPlain):
        if (*static_cast<bool const*>(At(self, f)) != *static_cast<bool const*>(At(other, f))) return false;
        continue;
      default:
        if (!EqualField(f, l.props[i].flags, self, other, lenient)) return false;
    }
  }
  return true;
}

bool EqualChain(Layout const* l, void const* self, void const* other, bool lenient) {
  if (!l) return true;
  return EqualChain(l->base, self, other, lenient) && EqualOwn(*l, self, other, lenient);
}

std::string PathOf(std::string const& prefix, char const* name) {
  std::string p;
  p.reserve(prefix.size() + 1 + std::char_traits<char>::length(name));
  p.append(prefix).append(1, '.').append(name);
  return p;
}

void DiffChain(Layout const* l, void const* self, void const* other, std::string const& prefix,
               PropertyDiffSet& diffs) {
  if (!l) return;
  DiffChain(l->base, self, other, prefix, diffs);
  for (std::uint32_t i = 0; i < l->count; ++i) {
    Field const& f = l->fields[i];
    PropertyInfo const& p = l->props[i];
    // Most nested objects of two similar graphs are equal: the comparison,
    // which builds no paths, rules them out before the diff builds one. An
    // object array does the same per element, so it is not compared twice.
    if (f.shape.holder != Holder::kObjectArray && EqualField(f, p.flags, self, other, false)) continue;
    if (!IsReference(f)) {
      diffs.Append(PathOf(prefix, p.name));
      continue;
    }
    std::string component(1, '.');
    component.append(p.name);
    DiffAnyPropertiesInt(RefAt(self, f), RefAt(other, f), prefix, component.c_str(), p.flags, diffs);
  }
}

bool SameClass(Any const* self, Any const* other) { return other && typeid(*self) == typeid(*other); }

}  // namespace

bool IsEqual(Layout const* l, DynamicData const* self, Any const* other, bool lenient) {
  return SameClass(self, other) && EqualChain(l, self, other, lenient);
}

bool EqualFields(Layout const* l, DynamicData const* self, Any const* other, bool lenient) {
  return EqualChain(l, self, other, lenient);
}

void Diff(Layout const* l, DynamicData const* self, Any const* other, std::string const& prefix,
          PropertyDiffSet& diffs) {
  if (!SameClass(self, other)) return diffs.Append(prefix);
  DiffChain(l, self, other, prefix, diffs);
}

Collection* GetArray(Field const& f, DynamicData* self) {
  auto& field = *static_cast<Basalt::Ref<Collection>*>(At(self, f));
  return Basalt::GetOrCreate(field, f.makeArray);
}

void GetProperty(Layout const& l, DynamicData* self, std::uint32_t i, void* out) {
  Field const& f = l.fields[i];
  if (IsArray(f)) return Access::Get(GetArray(f, self), out);
  Visit(f, self, [&](auto& field) { Access::Get(field, out); });
}

void* GetPropertyPtr(Layout const& l, DynamicData* self, std::uint32_t i) {
  Field const& f = l.fields[i];
  if (IsArray(f)) {
    auto* a = static_cast<Collection*>(RefAt(self, f).get());
    return a && a->GetCollectionLength() != 0 ? static_cast<Any*>(a) : nullptr;
  }
  return Visit(f, self, [&](auto& field) -> void* { return Access::Ptr(field); });
}

void SetProperty(Layout const& l, DynamicData* self, std::uint32_t i, void const* in) {
  Field const& f = l.fields[i];
  if (IsReference(f)) {
    Any* a = static_cast<AnyRef const*>(in)->get();
    if (a && !IsOfClass(a, f.cls)) Basalt::ThrowTypeMismatchException(*f.cls, typeid(*a));
    RefAt(self, f) = a;
    return;
  }
  Visit(f, self, [&](auto& field) {
    using F = std::remove_cvref_t<decltype(field)>;
    if constexpr (!kIsRef<F>) Access::Set(field, in);
  });
}

void SwapProperty(Layout const& l, DynamicData* self, std::uint32_t i, void* var) {
  Visit(l.fields[i], self, [&](auto& field) { Access::Swap(field, var); });
}

bool IsPropertySet(Layout const& l, DynamicData const* self, std::uint32_t i) {
  Field const& f = l.fields[i];
  if (IsArray(f)) {
    auto const* a = static_cast<Collection const*>(RefAt(self, f));
    return a && a->GetCollectionLength() != 0;
  }
  return Visit(f, const_cast<DynamicData*>(self), [&](auto const& field) { return Access::IsSet(field); });
}

void UnsetProperty(Layout const& l, DynamicData* self, std::uint32_t i) {
  Visit(l.fields[i], self, [&](auto& field) { Access::Unset(field); });
}

}  // namespace Quill::Fields
