// Building blocks of the descriptor accessor functions (getProperty,
// getPropertyPtr, setProperty, swapProperty, isPropertySet, unsetProperty).
// A generated accessor is a switch over the own index with one call per
// property, e.g.
//
//   case 4: Quill::Access::Get(self->patchLevel, out); break;
//   case 7: Quill::Access::Get(self->GetLocked(), out); break;   // array: via its getter
//
// The value variable behind `out`/`in` has the value type documented in
// quill/TypeInfo.h (enumerations as int, references as Basalt::Ref<Quill::Any>).
// Include in generated sources only.
#pragma once

#include <cassert>
#include <cstdint>
#include <type_traits>
#include <typeinfo>
#include <utility>

#include "basalt/Exception.h"
#include "basalt/Object.h"
#include "basalt/Optional.h"
#include "quill/Any.h"
#include "quill/Array.h"

// Debug builds check the preconditions of a generated accessor (obj of its
// class, an own index); release builds trust the caller, as the descriptor
// contract in quill/TypeInfo.h says. Checked access is quill/Reflection.h.
#ifdef NDEBUG
#define QUILL_ACCESS_ASSERT(T, obj, i, n) ((void)0)
#else
#define QUILL_ACCESS_ASSERT(T, obj, i, n) \
  assert(::Quill::Access::Detail::IsOf<T>(obj) && static_cast<std::uint32_t>(i) < (n))
#endif

namespace Quill::Access {
namespace Detail {
template <class T>
bool IsOf(DynamicData const* obj) {
  return obj && dynamic_cast<T const*>(obj) != nullptr;
}
template <class T>
struct IsOptional : std::false_type {};
template <class T>
struct IsOptional<Basalt::Optional<T>> : std::true_type {
  using type = T;
};
template <class T>
struct IsRef : std::false_type {};
template <class T>
struct IsRef<Basalt::Ref<T>> : std::true_type {
  using type = T;
};

template <class V>
void CopyOut(V const& v, void* out) {
  if constexpr (std::is_enum_v<V>) {
    *static_cast<int*>(out) = static_cast<int>(v);
  } else {
    *static_cast<V*>(out) = v;
  }
}
template <class V>
void CopyIn(V& v, void const* in) {
  if constexpr (std::is_enum_v<V>) {
    v = static_cast<V>(*static_cast<int const*>(in));
  } else {
    v = *static_cast<V const*>(in);
  }
}
}  // namespace Detail

// An array field's object, as returned by its Get<Property>() accessor.
template <class A>
requires std::is_base_of_v<Collection, A>
void Get(A* array, void* out) { *static_cast<Basalt::Ref<Any>*>(out) = static_cast<Any*>(array); }

template <class F>
void Get(F const& field, void* out) {
  if constexpr (Detail::IsRef<F>::value) {
    *static_cast<Basalt::Ref<Any>*>(out) = static_cast<Any*>(field.get());
  } else if constexpr (Detail::IsOptional<F>::value) {
    if constexpr (std::is_same_v<F, Basalt::Optional<bool>>) {
      *static_cast<bool*>(out) = field.GetValue();
    } else {
      Detail::CopyOut(field.GetValue(), out);
    }
  } else {
    Detail::CopyOut(field, out);
  }
}

template <class F>
void* Ptr(F& field) {
  if constexpr (Detail::IsRef<F>::value) {
    using T = typename Detail::IsRef<F>::type;
    if constexpr (std::is_base_of_v<Collection, T>) {
      if (!field || field->GetCollectionLength() == 0) return nullptr;
    }
    return static_cast<Any*>(field.get());
  } else if constexpr (std::is_same_v<F, Basalt::Optional<bool>>) {
    return field.IsSet() ? static_cast<void*>(field.GetStatePtr()) : nullptr;
  } else if constexpr (Detail::IsOptional<F>::value) {
    return field.IsSet() ? static_cast<void*>(&field.GetValue()) : nullptr;
  } else {
    return static_cast<void*>(&field);
  }
}

// An incoming object of another class than the field's raises
// TypeMismatchException (expected field class, actual class).
template <class F>
void Set(F& field, void const* in) {
  if constexpr (Detail::IsRef<F>::value) {
    using T = typename Detail::IsRef<F>::type;
    Any* a = static_cast<Basalt::Ref<Any> const*>(in)->get();
    if constexpr (std::is_same_v<T, Any>) {
      field = a;
    } else {
      T* t = a ? dynamic_cast<T*>(a) : nullptr;
      if (a && !t) Basalt::ThrowTypeMismatchException(typeid(T), typeid(*a));
      field = t;
    }
  } else if constexpr (std::is_same_v<F, Basalt::Optional<bool>>) {
    field = *static_cast<bool const*>(in);
  } else if constexpr (Detail::IsOptional<F>::value) {
    Detail::CopyIn(field.Emplace(), in);
  } else {
    Detail::CopyIn(field, in);
  }
}

template <class F>
void Swap(F& field, void* var) {
  using std::swap;
  swap(field, *static_cast<F*>(var));
}

template <class F>
bool IsSet(F const& field) {
  if constexpr (Detail::IsRef<F>::value) {
    using T = typename Detail::IsRef<F>::type;
    if constexpr (std::is_base_of_v<Collection, T>) {
      return field && field->GetCollectionLength() != 0;
    } else {
      return static_cast<bool>(field);
    }
  } else if constexpr (Detail::IsOptional<F>::value) {
    return field.IsSet();
  } else {
    return true;
  }
}

template <class F>
void Unset(F& field) {
  if constexpr (Detail::IsRef<F>::value) {
    field.reset();
  } else if constexpr (Detail::IsOptional<F>::value) {
    field.Unset();
  }
}

// isPropertySet of a type without own properties.
inline bool AlwaysSet(DynamicData const*, std::uint32_t) { return true; }

}  // namespace Quill::Access
