#include "quill/Registry.h"

#include <cctype>
#include <cstring>

#include "Internal.h"
#include "quill/Loader.h"
#include "quill/Type.h"

namespace Quill {

Registry& Registry::Get() {
  static Registry* instance = new Registry();  // never destroyed, like the types
  return *instance;
}

Registry::Registry() = default;

Type* Registry::AddType(Type* type) {
  std::unique_lock lock(_mutex);
  if (Type* existing = _byInfo.Find(type->GetTypeInfo())) return existing;
  // One probe of the name index both checks for a clash and claims the name.
  if (Type* clash = _byName.Insert(type)) {
    lock.unlock();
    Detail::ThrowInvalidType(type->GetName(),
                             std::string("type name already registered by another record: ") + clash->GetName());
  }
  _byInfo.Insert(type);
  if (type->GetWsdlName() && *type->GetWsdlName()) _byWsdl.Insert(type);
  std::uint64_t kind = type->GetKind();
  if (kind < _byKind.size()) _byKind[kind].push_back(type);
  return nullptr;
}

Type* Registry::ByInfo(TypeInfo const* info) const { return _byInfo.Find(info); }
Type* Registry::ByName(std::string_view name) const { return _byName.Find(name); }
Type* Registry::ByWsdlName(std::string_view name) const { return _byWsdl.Find(name); }
std::vector<Type*> Registry::OfKind(TypeKind kind) const {
  std::shared_lock lock(_mutex);
  if (kind >= _byKind.size()) return {};
  return _byKind[kind];
}
std::size_t Registry::TypeCount() const { return _byName.size(); }

// --- versions ------------------------------------------------------------------

void Registry::AddVersions(SedgeVersions const* table) {
  std::unique_lock lock(_mutex);
  for (std::size_t n = 0; n < _namespaces.size(); ++n) {
    if (_namespaces[n].table == table) return;  // every module passes the same table
    if (std::strcmp(_namespaces[n].table->namespaceName, table->namespaceName) == 0) {
      lock.unlock();
      Detail::ThrowInvalidType(table->namespaceName, "a second version table for this namespace");
    }
  }
  Namespace ns{table, {}};
  std::vector<Version*> added;
  for (std::uint32_t i = 0; i < table->versionCount; ++i) {
    VersionInfo const* info = &table->versions[i];
    if (_versionByName.Find(info->name)) continue;  // first registration wins
    auto* v = new Version(info, table, static_cast<std::uint32_t>(_versions.size() + added.size()));
    added.push_back(v);
    _versionByName.Insert(info->name, v);
    if (info->wireVersion && *info->wireVersion) ns.byWire.Insert(info->wireVersion, v);
  }
  _versions.insert(_versions.end(), added.begin(), added.end());
  _namespaces.push_back(std::move(ns));
  int id = static_cast<int>(_namespaces.size() - 1);
  if (table->namespaceId) *table->namespaceId = id;
  // Official slots: the releases in table order. Internal slots: the same,
  // then the unstable version when there is room.
  std::uint32_t official = 0, internal = 0;
  for (Version* v : added) {
    if (v->GetKind() != VERSION_RELEASE) continue;
    if (table->officialSlots && official < table->ltsSlotCount) table->officialSlots[official++] = v;
    if (table->internalSlots && internal < table->ltsSlotCount) table->internalSlots[internal++] = v;
  }
  for (Version* v : added) {
    if (v->GetKind() == VERSION_UNSTABLE && table->internalSlots && internal < table->ltsSlotCount) {
      table->internalSlots[internal++] = v;
    }
  }
  RebuildGraph();
}

void Registry::RebuildGraph() {
  auto* g = new Graph();
  std::size_t n = _versions.size();
  g->words = (n + 63) / 64;
  g->bits.assign(n * g->words, 0);
  // Direct parents; a parent of a namespace not registered yet is picked up
  // when that namespace arrives and the graph is rebuilt.
  std::vector<std::vector<std::uint32_t>> parents(n);
  for (Namespace const& ns : _namespaces) {
    for (std::uint32_t i = 0; i < ns.table->parentCount; ++i) {
      VersionParent const& p = ns.table->parents[i];
      Version* child = _versionByName.Find(p.name);
      Version* parent = _versionByName.Find(p.parent);
      if (child && parent && child != parent) parents[child->GetId()].push_back(parent->GetId());
    }
  }
  // Transitive closure by depth-first search with memoised rows; a cycle (a
  // broken table) is cut at the back edge instead of looping.
  std::vector<std::uint8_t> state(n, 0);  // 0 new, 1 in progress, 2 done
  std::vector<std::pair<std::uint32_t, std::size_t>> stack;
  for (std::uint32_t root = 0; root < n; ++root) {
    if (state[root]) continue;
    stack.push_back({root, 0});
    state[root] = 1;
    while (!stack.empty()) {
      auto& [v, next] = stack.back();
      if (next < parents[v].size()) {
        std::uint32_t p = parents[v][next++];
        if (state[p] == 0) {
          state[p] = 1;
          stack.push_back({p, 0});
        }
        continue;
      }
      std::uint64_t* row = &g->bits[v * g->words];
      for (std::uint32_t p : parents[v]) {
        if (state[p] != 2) continue;
        row[p / 64] |= 1ull << (p % 64);
        std::uint64_t const* prow = &g->bits[p * g->words];
        for (std::size_t w = 0; w < g->words; ++w) row[w] |= prow[w];
      }
      state[v] = 2;
      stack.pop_back();
    }
  }
  _graphs.emplace_back(g);
  _graph.store(g, std::memory_order_release);
}

bool Registry::Succeeds(Version const* newer, Version const* older) const noexcept {
  if (!newer || !older) return false;
  Graph const* g = _graph.load(std::memory_order_acquire);
  std::size_t a = newer->GetId(), b = older->GetId();
  if (!g || g->words == 0 || a >= g->bits.size() / g->words || b >= g->words * 64) return false;
  return (g->bits[a * g->words + b / 64] >> (b % 64)) & 1;
}

Version const* Registry::VersionByName(std::string_view name) const {
  std::shared_lock lock(_mutex);
  return _versionByName.Find(name);
}
Version const* Registry::VersionByWire(std::string_view nsName, std::string_view wire) const {
  std::shared_lock lock(_mutex);
  for (Namespace const& ns : _namespaces) {
    if (nsName == ns.table->namespaceName) return ns.byWire.Find(wire);
  }
  return nullptr;
}
Version const* Registry::VersionByWire(std::string_view wire) const {
  std::shared_lock lock(_mutex);
  for (Namespace const& ns : _namespaces) {
    if (Version* v = ns.byWire.Find(wire)) return v;
  }
  return nullptr;
}
std::vector<Version const*> Registry::AllVersions() const {
  std::shared_lock lock(_mutex);
  return {_versions.begin(), _versions.end()};
}

bool Version::Succeeds(Version const* older) const noexcept { return Registry::Get().Succeeds(this, older); }

// --- public lookups --------------------------------------------------------------

Type* FindType(std::string_view sedgeName) {
  EnsureRuntimeBound();
  if (Type* t = Registry::Get().ByName(sedgeName)) return t;
  // Array types are made on first request and not indexed: "<element>[]".
  constexpr std::string_view kSuffix = "[]";
  if (sedgeName.size() > kSuffix.size() && sedgeName.ends_with(kSuffix)) {
    Type* element = Registry::Get().ByName(sedgeName.substr(0, sedgeName.size() - kSuffix.size()));
    if (element && !element->IsArray()) return element->GetArrayType();
  }
  return nullptr;
}
Type* FindTypeByWsdlName(std::string_view wsdlName) {
  EnsureRuntimeBound();
  if (Type* t = Registry::Get().ByWsdlName(wsdlName)) return t;
  // "ArrayOf<element>", the element's first letter raised ("ArrayOfInt" for "int").
  constexpr std::string_view kPrefix = "ArrayOf";
  if (wsdlName.size() > kPrefix.size() && wsdlName.starts_with(kPrefix)) {
    std::string element(wsdlName.substr(kPrefix.size()));
    Type* found = Registry::Get().ByWsdlName(element);
    if (!found) {
      element[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(element[0])));
      found = Registry::Get().ByWsdlName(element);
    }
    if (found && !found->IsArray()) {
      Type* array = found->GetArrayType();
      if (wsdlName == array->GetWsdlName()) return array;
    }
  }
  return nullptr;
}
Type* FindTypeByInfo(TypeInfo const* record) {
  EnsureRuntimeBound();
  return record ? Registry::Get().ByInfo(record) : nullptr;
}
std::vector<Type*> GetTypesOfKind(TypeKind kind) {
  EnsureRuntimeBound();
  return Registry::Get().OfKind(kind);
}
std::size_t GetTypeCount() {
  EnsureRuntimeBound();
  return Registry::Get().TypeCount();
}
Version const* FindVersion(std::string_view name) {
  EnsureRuntimeBound();
  return Registry::Get().VersionByName(name);
}
Version const* FindVersionByWireVersion(std::string_view ns, std::string_view wire) {
  EnsureRuntimeBound();
  return Registry::Get().VersionByWire(ns, wire);
}
Version const* FindVersionByWireVersion(std::string_view wire) {
  EnsureRuntimeBound();
  return Registry::Get().VersionByWire(wire);
}
std::vector<Version const*> GetVersions() {
  EnsureRuntimeBound();
  return Registry::Get().AllVersions();
}
bool Succeeds(std::string_view newer, std::string_view older) {
  Version const* a = FindVersion(newer);
  Version const* b = FindVersion(older);
  return a && b && a->Succeeds(b);
}

bool ExistsInVersion(char const* introducedIn, Version const* version) {
  if (!introducedIn || !version) return false;
  Version const* v = FindVersion(introducedIn);
  return v && version->Includes(v);
}
bool ExistsInVersion(Type const* type, Version const* version) {
  if (!type) return false;
  if (type->IsArray()) return ExistsInVersion(type->GetElementType(), version);
  return ExistsInVersion(type->GetVersionName(), version);
}
bool ExistsInVersion(PropertyInfo const& property, Version const* version) {
  return ExistsInVersion(property.version, version);
}
bool ExistsInVersion(ManagedMethod const* method, Version const* version) {
  return method && ExistsInVersion(method->GetVersionName(), version);
}

// --- loader ------------------------------------------------------------------------

TypeInfoLoader::TypeInfoLoader(SedgeVersions const* versions, ModuleCallback callback)
    : _versions(versions), _callback(callback) {
  EnsureRuntimeBound();
  if (!callback) Detail::ThrowBadArgument("callback", "quill.loader.noCallback", "a module loader needs a callback");
  if (versions) Registry::Get().AddVersions(versions);
  int count = 0;
  _slots = callback(count);
  _count = count;
}

}  // namespace Quill
