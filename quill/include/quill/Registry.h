// Lookups over everything the bound modules registered: types by name, by
// WSDL name and by kind; versions by name and by wire version; the version
// graph. All lookups are hash-table or binary-search lookups; none scans.
// Unknown names give null (or an empty list), never an exception.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "quill/Forward.h"
#include "quill/TypeInfo.h"

namespace Quill {

class Version {
 public:
  Version(Version const&) = delete;
  Version& operator=(Version const&) = delete;

  char const* GetName() const noexcept { return _info->name; }
  char const* GetWireNamespace() const noexcept { return _info->wireNamespace; }
  char const* GetWireVersion() const noexcept { return _info->wireVersion; }
  VersionKind GetKind() const noexcept { return static_cast<VersionKind>(_info->kind); }
  VersionInfo const* GetInfo() const noexcept { return _info; }
  SedgeVersions const* GetNamespace() const noexcept { return _table; }
  std::uint32_t GetId() const noexcept { return _id; }  // dense, in registration order

  // True when `older` is an ancestor of this version: reachable through one
  // or more parent pairs, across namespaces. Not reflexive.
  bool Succeeds(Version const* older) const noexcept;
  // This version or one of its ancestors: what a client of this version sees.
  bool Includes(Version const* v) const noexcept { return v == this || Succeeds(v); }

 private:
  friend class Registry;
  Version(VersionInfo const* info, SedgeVersions const* table, std::uint32_t id) noexcept
      : _info(info), _table(table), _id(id) {}
  VersionInfo const* _info;
  SedgeVersions const* _table;
  std::uint32_t _id;
};

// --- types ---------------------------------------------------------------------
// Array types answer to their derived names too ("tarn.vm.ConfigSpec[]",
// "ArrayOfVirtualMachineConfigSpec"), made on first request like GetArrayType().
Type* FindType(std::string_view sedgeName);
// WSDL names are unique per wire namespace only; this answers the type
// registered first under the name.
Type* FindTypeByWsdlName(std::string_view wsdlName);
Type* FindTypeByInfo(TypeInfo const* record);
// In registration order.
std::vector<Type*> GetTypesOfKind(TypeKind kind);
std::size_t GetTypeCount();

// --- versions --------------------------------------------------------------------
Version const* FindVersion(std::string_view name);
// Within one namespace ("tarn", "sedge.query"); the one-argument form tries the
// namespaces in registration order.
Version const* FindVersionByWireVersion(std::string_view namespaceName, std::string_view wireVersion);
Version const* FindVersionByWireVersion(std::string_view wireVersion);
std::vector<Version const*> GetVersions();
// By name; false when either name is unknown.
bool Succeeds(std::string_view newer, std::string_view older);

// Whether something introduced in `introducedIn` exists for a client of
// `version`: the same version or one `version` succeeds. Unknown names: false.
bool ExistsInVersion(char const* introducedIn, Version const* version);
bool ExistsInVersion(Type const* type, Version const* version);
bool ExistsInVersion(PropertyInfo const& property, Version const* version);
bool ExistsInVersion(ManagedMethod const* method, Version const* version);

// The runtime's own version tables: "sedge", "sedge.query", "sedge.reflect".
extern SedgeVersions const gSedgeVersions;
extern SedgeVersions const gSedgeQueryVersions;
extern SedgeVersions const gSedgeReflectVersions;

}  // namespace Quill
