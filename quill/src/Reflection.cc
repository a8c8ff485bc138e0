// Checked property access: the descriptor accessors are only ever handed a
// variable of the exact type they write, an object of the class they cast
// to, and values the field can hold.
#include "quill/Reflection.h"

#include <string>
#include <type_traits>
#include <typeinfo>
#include <vector>

#include "Internal.h"
#include "basalt/DateTime.h"
#include "basalt/Exception.h"
#include "quill/Primitive.h"
#include "quill/Registry.h"
#include "quill/Values.h"

namespace Quill::Reflection {
namespace {

using Detail::ValueKindOf;

std::string Describe(DynamicData const* obj) {
  DataObjectType const* t = obj->_GetDataType();
  return t ? t->GetName() : Basalt::Demangle(typeid(*obj));
}

void RequireObject(void const* obj) {
  if (!obj) Detail::ThrowBadArgument("obj", "quill.reflect.nullObject", "obj is null");
}

// `p` must be an entry of the complete property sequence of obj's class (or
// of one of its bases): the accessors it names cast obj to their own class.
void RequireOwnProperty(DynamicData const* obj, DataProperty const& p) {
  RequireObject(obj);
  DataObjectType const* type = obj->_GetDataType();
  for (DataObjectType const* t = type; t; t = t->GetBaseType()) {
    if (t->GetDescriptor() == p.owner && p.info && p.ownIndex < t->GetOwnPropertyCount() &&
        &p.owner->properties[p.ownIndex] == p.info) {
      return;
    }
  }
  Detail::ThrowBadArgument(p.info && p.info->name ? p.info->name : "?", "quill.reflect.foreignProperty",
                           std::string("property '") + (p.info && p.info->name ? p.info->name : "?") +
                               "' does not belong to " + (obj ? Describe(obj) : std::string("(null)")));
}

EnumType const* EnumOf(DataProperty const& p) {
  auto const* et = dynamic_cast<EnumType const*>(FindTypeByInfo(p.info->type));
  if (!et) {
    Detail::ThrowInvalidType(p.info->type->name,
                             "enumeration type of property '" + std::string(p.info->name) + "' is not bound");
  }
  return et;
}

template <class V>
Basalt::Ref<Any> BoxRead(DynamicData* obj, DataProperty const& p) {
  V v{};
  p.owner->getProperty(obj, p.ownIndex, &v);
  if constexpr (std::is_same_v<V, bool>) {
    return Primitive<bool>::Get(v);
  } else {
    return new Primitive<V>(std::move(v));
  }
}

template <class V>
void WriteUnboxed(DynamicData* obj, DataProperty const& p, Any const* value) {
  // Throws TypeMismatchException (Primitive<V>, the box's class) before
  // anything is written.
  V const& v = Unbox<V>(value);
  p.owner->setProperty(obj, p.ownIndex, &v);
}

}  // namespace

DataProperty const& PropertyOf(DynamicData const* obj, std::string_view name) {
  RequireObject(obj);
  DataObjectType const* type = obj->_GetDataType();
  DataProperty const* p = type ? type->FindProperty(name) : nullptr;
  if (!p) {
    Detail::ThrowBadArgument(std::string(name), "quill.reflect.unknownProperty",
                             Describe(obj) + " has no property '" + std::string(name) + "'");
  }
  return *p;
}

Basalt::Ref<Any> Get(DynamicData const* cobj, DataProperty const& p) {
  RequireOwnProperty(cobj, p);
  auto* obj = const_cast<DynamicData*>(cobj);  // the readers below do not modify the object
  Kind kind = ValueKindOf(*p.info);
  if (kind == Kind::Data) {
    return p.owner->getPropertyPtr ? static_cast<Any*>(p.owner->getPropertyPtr(obj, p.ownIndex)) : nullptr;
  }
  if (!p.owner->isPropertySet(obj, p.ownIndex)) return nullptr;
  if (kind == Kind::Enum) {
    int v = 0;
    p.owner->getProperty(obj, p.ownIndex, &v);
    return EnumOf(p)->GetFuncs().box(v);
  }
  return VisitScalar(kind, [&](auto t) -> Basalt::Ref<Any> {
    using T = typename decltype(t)::type;
    if constexpr (std::is_void_v<T>) {
      return nullptr;
    } else {
      return BoxRead<T>(obj, p);
    }
  });
}

void Set(DynamicData* obj, DataProperty const& p, Basalt::Ref<Any> const& value) {
  RequireOwnProperty(obj, p);
  Any* v = value.get();
  if (!v) {
    Unset(obj, p);
    return;
  }
  if (!p.owner->setProperty) {
    Detail::ThrowNotSupported("quill.reflect.readOnly", Describe(obj) + " has no property setter");
  }
  Kind kind = ValueKindOf(*p.info);
  if (kind == Kind::Enum) {
    EnumType const* et = EnumOf(p);
    int n = et->GetFuncs().unbox(v);  // a box of another class: TypeMismatchException
    et->GetTag(n);                    // a value without a tag: InvalidArgument
    p.owner->setProperty(obj, p.ownIndex, &n);
    return;
  }
  VisitScalar(kind, [&](auto t) {
    using T = typename decltype(t)::type;
    if constexpr (std::is_void_v<T>) {
      // The field's own setter checks the object's class against the
      // field's (TypeMismatchException naming both) before it stores it.
      Basalt::Ref<Any> held(v);
      p.owner->setProperty(obj, p.ownIndex, &held);
    } else {
      WriteUnboxed<T>(obj, p, v);
    }
  });
}

void Unset(DynamicData* obj, DataProperty const& p) {
  RequireOwnProperty(obj, p);
  Kind kind = ValueKindOf(*p.info);
  if (kind == Kind::Data) {
    if (!p.owner->setProperty) {
      Detail::ThrowNotSupported("quill.reflect.readOnly", Describe(obj) + " has no property setter");
    }
    Basalt::Ref<Any> none;
    p.owner->setProperty(obj, p.ownIndex, &none);
    return;
  }
  if (!(p.info->flags & F_OPTIONAL) || !p.owner->unsetProperty) {
    Detail::ThrowBadArgument(
        p.info->name, "quill.reflect.required",
        std::string("property '") + p.info->name + "' of " + Describe(obj) + " is required and cannot be unset");
  }
  p.owner->unsetProperty(obj, p.ownIndex);
}

bool IsSet(DynamicData const* obj, DataProperty const& p) {
  RequireOwnProperty(obj, p);
  if (ValueKindOf(*p.info) == Kind::Data) {
    return p.owner->getPropertyPtr && p.owner->getPropertyPtr(const_cast<DynamicData*>(obj), p.ownIndex) != nullptr;
  }
  return p.owner->isPropertySet(obj, p.ownIndex);
}

Basalt::Ref<Any> Get(DynamicData const* obj, std::string_view name) { return Get(obj, PropertyOf(obj, name)); }
void Set(DynamicData* obj, std::string_view name, Basalt::Ref<Any> const& value) {
  Set(obj, PropertyOf(obj, name), value);
}
void Unset(DynamicData* obj, std::string_view name) { Unset(obj, PropertyOf(obj, name)); }
bool IsSet(DynamicData const* obj, std::string_view name) { return IsSet(obj, PropertyOf(obj, name)); }

}  // namespace Quill::Reflection
