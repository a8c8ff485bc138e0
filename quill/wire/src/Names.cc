// Kinds of positions and the names types go by on the wire.
#include <cctype>
#include <string>
#include <type_traits>

#include "Common.h"
#include "quill/ManagedObject.h"

namespace Quill::Wire::Detail {

VK KindOf(Type const* t) noexcept { return KindOf(t->GetTypeInfo()); }

Type* ScalarType(VK k) noexcept {
  if (k == VK::Any) return GetNoType<Any>();
  if (k == VK::Ref) return GetMoType<ManagedObject>();
  return VisitScalar(k, [](auto t) -> Type* {
    using T = typename decltype(t)::type;
    if constexpr (std::is_void_v<T>) {
      return nullptr;
    } else {
      return GetNoType<T>();
    }
  });
}

bool IsXsdScalar(VK k) noexcept { return InfoOf(k).xsd; }

char const* WsdlNameOf(VK k, Type const* type) {
  if (char const* name = InfoOf(k).wireName) return name;
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
