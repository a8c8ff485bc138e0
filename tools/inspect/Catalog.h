// What tarn-inspect reads from the runtime's registry: the described types
// with their modules, own members, base chains and exception classes, and the
// version table. Everything comes from the type objects and the descriptor
// tables the modules registered; nothing is read from schema files.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quill/Registry.h"
#include "quill/Type.h"
#include "quill/TypeInfo.h"

namespace Inspect {

// "enum", "data", "fault", "managed" (and "primitive", "any", "array" for the
// runtime's value types).
char const* KindName(Quill::TypeKind kind);
// The four described kinds by name; nullopt for anything else.
std::optional<Quill::TypeKind> ParseKind(std::string_view name);

// The module (namespace) a type was registered with. The registry keeps no
// module per type, but names do: a type's name is its module, then its type
// components, and every enclosing type of a nested type is itself registered
// ("tarn.ManagedEntity.Status" lies in "tarn" because "tarn.ManagedEntity" is
// a type). So the module is the longest proper prefix that is not a type.
std::string ModuleOf(Quill::Type const* type);

// Every type of the four described kinds, sorted by sedge name.
std::vector<Quill::Type*> DescribedTypes();

// Flag word as names ("array,optional"); "-" for none. Unknown bits appear in hex.
std::string FlagNames(std::uint32_t flags);
// The name of a property's element type with "[]" for arrays; "void" when a
// method result has no type.
std::string TypeRef(Quill::PropertyInfo const& p);

// The type's own members, in declaration order.
std::vector<Quill::PropertyInfo const*> OwnProperties(Quill::Type const* type);
std::vector<Quill::MethodInfo const*> OwnMethods(Quill::Type const* type);
// Inherited properties of a data or managed type, with the name of the type
// that declares each (re-declared managed properties count as own).
struct InheritedProperty {
  std::string owner;
  Quill::PropertyInfo const* info;
};
std::vector<InheritedProperty> InheritedProperties(Quill::Type const* type);

// Sedge name of the base in the type's descriptor; null for enumerations and roots.
char const* BaseName(Quill::Type const* type);
// Base types from the direct base up to the root, as bound in the runtime.
std::vector<Quill::Type*> BaseChain(Quill::Type const* type);

// C++ class of the exception a fault throws, read from an instance of the
// fault (its CreateException()); nullopt for non-faults and faults that
// cannot be instantiated.
std::optional<std::string> ExceptionClass(Quill::Type const* type);

// A type by sedge name, then by WSDL name, then by catalogue name (the sedge
// name less its leading "tarn.").
Quill::Type* ResolveType(std::string_view name);
// Types whose name is `name` in another case (sedge or WSDL), or whose last
// component equals the last component of `name` (in any case). Sorted, at
// most `limit`.
std::vector<Quill::Type*> NearTypes(std::string_view name, std::size_t limit = 12);

// The C++ class of a type as the generated library or the runtime declares it
// ("Tarn::Vm::ConfigSpec", "Tarn::ManagedEntity::Status", "Quill::Fault::InvalidType";
// "std::string" for the primitive "string"; "Quill::Any" for "any"). Empty
// for the runtime's managed types that no C++ class stands for.
std::string CppClass(Quill::Type const* type);
// The header a program includes for that class ("tarn/vm/ConfigSpec.h": the
// family header of its outermost type, "quill/Faults.h"); empty where the class
// is a standard one ("std::string", "int").
std::string CppHeader(Quill::Type const* type);

// The described types a name other than a sedge name may mean: those whose WSDL
// name is `name`, whose sedge name is "tarn." + `name`, or whose sedge name
// ends in "." + `name`. Sorted by sedge name. A sedge name (it is unique) gives
// only its own type.
std::vector<Quill::Type*> Candidates(std::string_view name);

// A method written as "<type>.<method>": the type by any name ResolveType
// accepts, the method by its own name or its WSDL name, declared on the type or
// inherited from one of its bases (nearest first).
struct MethodMatch {
  Quill::ManagedObjectType const* owner;  // the type that declares the method
  Quill::MethodInfo const* info;
};
std::optional<MethodMatch> ResolveMethod(std::string_view name);

// A version by full name, or by its short name in the "tarn" namespace
// ("version1" for "tarn.version.version1").
Quill::Version const* ResolveVersion(std::string_view name);
std::vector<Quill::Version const*> NearVersions(std::string_view name, std::size_t limit = 12);
// "release", "unstable", "feature", "disabled".
char const* VersionKindName(Quill::VersionKind kind);
// Direct parents as the version's own table lists them (sedge names; a parent
// may belong to another namespace).
std::vector<char const*> DirectParents(Quill::Version const* v);
// Every version `v` succeeds, in registration order.
std::vector<Quill::Version const*> Ancestors(Quill::Version const* v);

}  // namespace Inspect
