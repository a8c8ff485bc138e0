// Kinds of positions and the names types go by on the wire.
#include <cctype>
#include <string>

#include "Common.h"
#include "quill/ManagedObject.h"

namespace Quill::Wire::Detail {

VK KindOf(TypeInfo const* t) noexcept {
  switch (t->kind) {
    case KIND_ENUM:
      return VK::Enum;
    case KIND_MANAGED:
      return VK::Ref;
    case KIND_DATA:
    case KIND_FAULT:
      return VK::Data;
    case KIND_ANY:
      return VK::Any;
    default:
      break;
  }
  if (t == &gStringTypeInfo) return VK::String;
  if (t == &gIntTypeInfo) return VK::Int;
  if (t == &gLongTypeInfo) return VK::Long;
  if (t == &gBoolTypeInfo) return VK::Bool;
  std::string_view n = t->name ? t->name : "";
  if (n == "string") return VK::String;
  if (n == "boolean") return VK::Bool;
  if (n == "byte") return VK::Byte;
  if (n == "short") return VK::Short;
  if (n == "int") return VK::Int;
  if (n == "long") return VK::Long;
  if (n == "float") return VK::Float;
  if (n == "double") return VK::Double;
  if (n == "dateTime") return VK::DateTime;
  if (n == "binary") return VK::Binary;
  if (n == "typeName") return VK::TypeName;
  if (n == "methodName") return VK::MethodName;
  if (n == "propertyPath") return VK::PropertyPath;
  if (n == "uri") return VK::Uri;
  return VK::Any;
}

VK KindOf(Type const* t) noexcept { return KindOf(t->GetTypeInfo()); }

Type* ScalarType(VK k) noexcept {
  switch (k) {
    case VK::Bool:
      return GetNoType<bool>();
    case VK::Byte:
      return GetNoType<signed char>();
    case VK::Short:
      return GetNoType<short>();
    case VK::Int:
      return GetNoType<int>();
    case VK::Long:
      return GetNoType<long>();
    case VK::Float:
      return GetNoType<float>();
    case VK::Double:
      return GetNoType<double>();
    case VK::String:
      return GetNoType<std::string>();
    case VK::DateTime:
      return GetNoType<Basalt::System::DateTime>();
    case VK::Binary:
      return GetNoType<std::vector<unsigned char>>();
    case VK::TypeName:
      return GetNoType<TypeName>();
    case VK::MethodName:
      return GetNoType<MethodName>();
    case VK::PropertyPath:
      return GetNoType<PropertyPath>();
    case VK::Uri:
      return GetNoType<Uri>();
    case VK::Any:
      return GetNoType<Any>();
    case VK::Ref:
      return GetMoType<ManagedObject>();
    default:
      return nullptr;
  }
}

bool IsXsdScalar(VK k) noexcept { return k != VK::TypeName && k != VK::MethodName && k != VK::PropertyPath; }

char const* WsdlNameOf(VK k, Type const* type) {
  if (k == VK::Ref) return "ManagedObjectReference";
  if (IsScalar(k) || k == VK::Any) return ScalarType(k)->GetWsdlName();
  return type->GetWsdlName();
}

std::string ArrayWsdlName(VK k, Type const* elementType) {
  std::string name = "ArrayOf";
  name += WsdlNameOf(k, elementType);
  name[7] = static_cast<char>(std::toupper(static_cast<unsigned char>(name[7])));
  return name;
}

char const* ItemElementName(VK k, Type const* elementType) { return WsdlNameOf(k, elementType); }

Named ResolveWireType(std::string_view local) {
  Named n;
  if (local == "ManagedObjectReference") {
    n.known = true;
    n.vk = VK::Ref;
    n.type = ScalarType(VK::Ref);
    return n;
  }
  if (local == "ArrayOfManagedObjectReference") {
    n.known = n.array = true;
    n.vk = VK::Ref;
    n.type = ScalarType(VK::Ref);
    return n;
  }
  Type* t = FindTypeByWsdlName(local);
  if (!t) return n;
  if (t->IsArray()) {
    n.array = true;
    t = t->GetElementType();
  }
  n.vk = KindOf(t);
  // A managed type named as a value type is not a value.
  if (n.vk == VK::Ref) return Named{};
  if (n.vk == VK::Any && t->GetKind() != KIND_ANY) return Named{};
  n.known = true;
  n.type = t;
  return n;
}

std::string_view RefWireType(std::string const& sedgeName) {
  Type* t = FindType(sedgeName);
  if (t && t->GetKind() == KIND_MANAGED) return t->GetWsdlName();
  return sedgeName;
}

std::string RefSedgeType(std::string_view wireName) {
  Type* t = FindTypeByWsdlName(wireName);
  if (t && t->GetKind() == KIND_MANAGED) return t->GetName();
  // A sedge name, or a type of a newer peer: kept as written.
  return std::string(wireName);
}

}  // namespace Quill::Wire::Detail
