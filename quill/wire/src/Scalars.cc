// Plain values in and out of boxes, arrays and data objects.
#include <type_traits>

#include "Common.h"
#include "basalt/Optional.h"
#include "quill/DataTypes.h"
#include "quill/ManagedObject.h"

namespace Quill::Wire::Detail {

namespace {
using Basalt::System::DateTime;
template <class T>
inline constexpr bool kIsVoid = std::is_void_v<T>;
}  // namespace

void* Scalar::Ptr(VK k) noexcept {
  if (k == VK::Enum) return &i;
  return VisitScalar(k, [this](auto t) -> void* {
    using T = typename decltype(t)::type;
    if constexpr (kIsVoid<T>) {
      return nullptr;
    } else {
      return &Of<T>();
    }
  });
}

void StoreScalar(Slot const& s, DynamicData* obj, VK k, Scalar& v) {
  if (k == VK::String && s.owner->swapProperty) {
    if (s.optional) {
      Basalt::Optional<std::string> o;
      o.Emplace().swap(v.str);
      s.owner->swapProperty(obj, s.ownIndex, &o);
    } else {
      s.owner->swapProperty(obj, s.ownIndex, &v.str);
    }
    return;
  }
  s.owner->setProperty(obj, s.ownIndex, v.Ptr(k));
}

Basalt::Ref<Any> BoxScalar(VK k, Type const* type, Scalar& v) {
  if (k == VK::Enum) return Basalt::Ref<Any>(static_cast<EnumType const*>(type)->GetFuncs().box(v.i));
  if (k == VK::Bool) return Basalt::Ref<Any>(Primitive<bool>::Get(v.b));  // the two shared boxes
  return VisitScalar(k, [&v](auto t) -> Basalt::Ref<Any> {
    using T = typename decltype(t)::type;
    if constexpr (kIsVoid<T>) {
      return {};
    } else {
      return Basalt::Ref<Any>(new Primitive<T>(std::move(v.Of<T>())));
    }
  });
}

Basalt::Ref<Any> NewArray(VK k, Type const* elementType) {
  switch (k) {
    case VK::Enum:
      return Basalt::Ref<Any>(static_cast<EnumType const*>(elementType)->GetFuncs().createArray());
    case VK::Ref:
      return Basalt::Ref<Any>(new DataArray<MoRef>());
    case VK::Any:
      return Basalt::Ref<Any>(new DataArray<Any>());
    case VK::Data:
      return Basalt::Ref<Any>(static_cast<DataObjectType const*>(elementType)->CreateArray());
    default:
      break;
  }
  return VisitScalar(k, [](auto t) -> Basalt::Ref<Any> {
    using T = typename decltype(t)::type;
    if constexpr (kIsVoid<T> || std::is_same_v<T, DateTime>) {
      return {};  // the runtime has no array of date-times
    } else {
      return Basalt::Ref<Any>(new Array<T>());
    }
  });
}

void AppendScalar(Any* array, VK k, Scalar& v) {
  if (k == VK::Enum) k = VK::Int;  // an array of enumerations holds their integers
  VisitScalar(k, [array, &v](auto t) {
    using T = typename decltype(t)::type;
    if constexpr (!kIsVoid<T> && !std::is_same_v<T, DateTime>) {
      static_cast<Array<T>*>(array)->GetValues().push_back(std::move(v.Of<T>()));
    }
  });
}

void ReserveItems(Any* a, VK k, std::size_t n) {
  auto values = [&]<class T>(T*) { static_cast<Array<T>*>(a)->GetValues().reserve(n); };
  switch (k) {
    case VK::Int:
    case VK::Enum:
      return values(static_cast<int*>(nullptr));
    case VK::Long:
      return values(static_cast<long*>(nullptr));
    case VK::String:
      return values(static_cast<std::string*>(nullptr));
    case VK::Ref:
    case VK::Any:
    case VK::Data:
      static_cast<DataArrayBase*>(a)->GetItems().reserve(n);
      return;
    default:
      return;  // the rarer kinds grow as they go
  }
}

std::size_t ArrayLength(Any const* a, VK k) noexcept {
  if (!a) return 0;
  if (k == VK::Ref || k == VK::Any || k == VK::Data) return static_cast<DataArrayBase const*>(a)->size();
  return static_cast<Collection const*>(a)->GetCollectionLength();
}

void const* ArrayItem(Any const* a, VK k, std::size_t i) noexcept {
  if (k == VK::Enum) k = VK::Int;
  return VisitScalar(k, [a, i](auto t) -> void const* {
    using T = typename decltype(t)::type;
    if constexpr (kIsVoid<T> || std::is_same_v<T, DateTime>) {
      return static_cast<DataArrayBase const*>(a)->GetAny(i);
    } else {
      return &static_cast<Array<T> const*>(a)->GetValues()[i];
    }
  });
}

void const* BoxValue(Any const* box, VK k, Type const* type, int& tmp) {
  if (k == VK::Enum) {
    tmp = static_cast<EnumType const*>(type)->GetFuncs().unbox(box);
    return &tmp;
  }
  return VisitScalar(k, [box, &tmp](auto t) -> void const* {
    using T = typename decltype(t)::type;
    if constexpr (kIsVoid<T>) {
      return box;
    } else if constexpr (std::is_same_v<T, bool>) {  // a box of bool gives its value, not its address
      tmp = static_cast<Primitive<bool> const*>(box)->GetValue();
      return &tmp;
    } else {
      return &static_cast<Primitive<T> const*>(box)->GetValue();
    }
  });
}

std::string const& StringOf(VK k, void const* p) noexcept {
  switch (k) {
    case VK::TypeName:
      return static_cast<TypeName const*>(p)->GetString();
    case VK::MethodName:
      return static_cast<MethodName const*>(p)->GetString();
    case VK::PropertyPath:
      return static_cast<PropertyPath const*>(p)->GetString();
    case VK::Uri:
      return static_cast<Uri const*>(p)->GetString();
    default:
      return *static_cast<std::string const*>(p);
  }
}

void SetStringScalar(VK k, std::string&& text, Scalar& v) {
  switch (k) {
    case VK::TypeName:
      v.tn.GetString() = std::move(text);
      break;
    case VK::MethodName:
      v.mn.GetString() = std::move(text);
      break;
    case VK::PropertyPath:
      v.pp = PropertyPath(std::move(text));
      break;
    case VK::Uri:
      v.uri.GetString() = std::move(text);
      break;
    default:
      v.str = std::move(text);
      break;
  }
}

}  // namespace Quill::Wire::Detail
