// Runtime internals shared by the sources of libquill. Not installed.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

#include "quill/MethodFault.h"
#include "quill/Registry.h"
#include "quill/Type.h"
#include "quill/TypeInfo.h"

namespace Quill::Detail {

// Open-addressing hash index with no per-entry allocation: registering a few
// thousand types costs a hash and a probe each.
template <class Key, class Value, class Hash = std::hash<Key>>
class FlatIndex {
 public:
  // Returns the value already stored under `key`, or stores `value` and
  // returns null.
  Value Insert(Key key, Value value) {
    if ((_count + 1) * 4 > _slots.size() * 3) Grow();
    std::size_t h = Hash{}(key);
    for (std::size_t i = h & (_slots.size() - 1);; i = (i + 1) & (_slots.size() - 1)) {
      Slot& s = _slots[i];
      if (!s.value) {
        s = Slot{key, value, h};
        ++_count;
        return Value{};
      }
      if (s.hash == h && s.key == key) return s.value;
    }
  }
  Value Find(Key key) const noexcept {
    if (_slots.empty()) return Value{};
    std::size_t h = Hash{}(key);
    for (std::size_t i = h & (_slots.size() - 1);; i = (i + 1) & (_slots.size() - 1)) {
      Slot const& s = _slots[i];
      if (!s.value) return Value{};
      if (s.hash == h && s.key == key) return s.value;
    }
  }
  std::size_t size() const noexcept { return _count; }
  void Reserve(std::size_t n) {
    while (_slots.size() * 3 < n * 4) Grow();
  }

 private:
  struct Slot {
    Key key{};
    Value value{};
    std::size_t hash = 0;
  };
  void Grow() {
    std::vector<Slot> old = std::move(_slots);
    _slots.assign(old.empty() ? 64 : old.size() * 2, Slot{});
    for (Slot const& s : old) {
      if (!s.value) continue;
      for (std::size_t i = s.hash & (_slots.size() - 1);; i = (i + 1) & (_slots.size() - 1)) {
        if (!_slots[i].value) {
          _slots[i] = s;
          break;
        }
      }
    }
  }
  std::vector<Slot> _slots;
  std::size_t _count = 0;
};

struct PtrHash {
  std::size_t operator()(void const* p) const noexcept {
    auto v = reinterpret_cast<std::uintptr_t>(p);
    return static_cast<std::size_t>((v >> 4) * 0x9E3779B97F4A7C15ull);
  }
};

}  // namespace Quill::Detail

namespace Quill {

class Registry {
 public:
  static Registry& Get();

  // Registers a new type object; throws InvalidType when another record
  // already uses its sedge name. Returns the type registered earlier for the
  // same record, or null when `type` was added.
  Type* AddType(Type* type);
  Type* ByInfo(TypeInfo const* info) const;
  Type* ByName(std::string_view name) const;
  Type* ByWsdlName(std::string_view name) const;
  std::vector<Type*> OfKind(TypeKind kind) const;
  std::size_t TypeCount() const;

  void AddVersions(SedgeVersions const* table);
  Version const* VersionByName(std::string_view name) const;
  Version const* VersionByWire(std::string_view ns, std::string_view wire) const;
  Version const* VersionByWire(std::string_view wire) const;
  std::vector<Version const*> AllVersions() const;
  bool Succeeds(Version const* newer, Version const* older) const noexcept;

 private:
  Registry();
  struct Graph {
    std::size_t words = 0;
    std::vector<std::uint64_t> bits;  // row per version: its ancestors
  };
  struct Namespace {
    SedgeVersions const* table;
    Detail::FlatIndex<std::string_view, Version*> byWire;
  };
  void RebuildGraph();  // with _mutex held exclusively

  mutable std::shared_mutex _mutex;
  Detail::FlatIndex<void const*, Type*, Detail::PtrHash> _byInfo;
  Detail::FlatIndex<std::string_view, Type*> _byName;
  Detail::FlatIndex<std::string_view, Type*> _byWsdl;
  std::array<std::vector<Type*>, 19> _byKind;
  std::vector<Namespace> _namespaces;
  std::vector<Version*> _versions;
  Detail::FlatIndex<std::string_view, Version*> _versionByName;
  std::atomic<Graph const*> _graph{nullptr};
  // Every graph ever published: readers may still hold an older one, and a
  // process registers only a handful of tables.
  std::vector<std::unique_ptr<Graph>> _graphs;
};

// Binds the runtime's own modules once; every public entry point that needs
// runtime types calls it.
void EnsureRuntimeBound();

namespace Detail {
[[noreturn]] void ThrowInvalidArgument(std::string const& key, std::string const& text);
[[noreturn]] void ThrowInvalidType(std::string const& typeName, std::string const& text);
// Faults of calls (CallFaults.cc). Each carries one LocalizableMessage with
// `key` and the readable `text`.
[[noreturn]] void ThrowBadArgument(std::string const& property, std::string const& key, std::string const& text);
[[noreturn]] void ThrowNotSupported(std::string const& key, std::string const& text);
[[noreturn]] void ThrowRequestCanceled(std::string const& text);
[[noreturn]] void ThrowSystemError(std::string const& reason);
[[noreturn]] void ThrowNotFound(MoRef const* ref);
// A new RequestCanceled exception, not thrown (for completion callbacks).
MethodFault::Exception* MakeRequestCanceled(std::string const& text);
// A new SystemError exception for an exception that is not a Basalt one.
MethodFault::Exception* MakeSystemError(std::string const& reason);

// Reflection over data type descriptors (Reflect.cc).
void DumpAny(Any const* value, std::string& out, int indent);
bool ReflectIsEqual(DynamicData const* mine, DynamicData const* theirs, bool lenient);
void ReflectDiff(DynamicData const* mine, DynamicData const* theirs, std::string const& prefix,
                 PropertyDiffSet& diffs);
}  // namespace Detail

}  // namespace Quill
