// Runtime internals shared by the sources of libquill. Not installed.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <type_traits>
#include <typeinfo>
#include <vector>

#include "quill/Any.h"
#include "quill/Kinds.h"
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

// Insert-only hash index whose lookups take no lock, for the type registry:
// programs look types up by name on hot paths while the index, once the
// modules are bound, hardly changes. Writers are serialised by the caller. A
// lookup sees every entry inserted before it began and may or may not see one
// being inserted meanwhile. An outgrown table is kept, since a lookup may still
// be probing it; together the old tables are smaller than the current one.
// Entries are pointers that know their own key (KeyOf), so a slot is two words.
template <class Key, class Value, class KeyOf, class Hash = std::hash<Key>>
class ConcurrentIndex {
  static_assert(std::is_pointer_v<Value>, "entries are published through an atomic pointer");

 public:
  ConcurrentIndex() { _table.store(NewTable(kInitialSize), std::memory_order_release); }
  ConcurrentIndex(ConcurrentIndex const&) = delete;
  ConcurrentIndex& operator=(ConcurrentIndex const&) = delete;

  // Returns the entry already stored under value's key, or stores `value` and
  // returns null. The caller holds the writers' lock.
  Value Insert(Value value) {
    Table* t = _table.load(std::memory_order_relaxed);
    std::size_t count = _count.load(std::memory_order_relaxed);
    if ((count + 1) * 4 > (t->mask + 1) * 3) t = Grow(t);
    Key key = KeyOf{}(value);
    std::size_t h = Hash{}(key);
    for (std::size_t i = h & t->mask;; i = (i + 1) & t->mask) {
      Slot& s = t->slots[i];
      Value v = s.value.load(std::memory_order_relaxed);
      if (!v) {
        s.hash = h;
        s.value.store(value, std::memory_order_release);  // publishes the hash with it
        _count.store(count + 1, std::memory_order_relaxed);
        return nullptr;
      }
      if (s.hash == h && KeyOf{}(v) == key) return v;
    }
  }
  Value Find(Key key) const noexcept {
    Table const* t = _table.load(std::memory_order_acquire);
    std::size_t h = Hash{}(key);
    for (std::size_t i = h & t->mask;; i = (i + 1) & t->mask) {
      Slot const& s = t->slots[i];
      Value v = s.value.load(std::memory_order_acquire);
      if (!v) return nullptr;
      if (s.hash == h && KeyOf{}(v) == key) return v;
    }
  }
  std::size_t size() const noexcept { return _count.load(std::memory_order_relaxed); }

 private:
  static constexpr std::size_t kInitialSize = 1024;
  struct Slot {
    std::size_t hash = 0;
    std::atomic<Value> value{nullptr};
  };
  struct Table {
    std::size_t mask;
    std::unique_ptr<Slot[]> slots;
  };
  Table* NewTable(std::size_t size) {
    _tables.push_back(std::make_unique<Table>(Table{size - 1, std::make_unique<Slot[]>(size)}));
    return _tables.back().get();
  }
  // Fills a new table completely before any lookup can reach it. Old tables stay alive for
  // readers that may still be probing them, so growing in large steps keeps both the memory
  // given up to them and the rehashing small: a library of thousands of types grows once.
  static constexpr std::size_t kGrowth = 8;
  Table* Grow(Table const* old) {
    Table* t = NewTable((old->mask + 1) * kGrowth);
    for (std::size_t j = 0; j <= old->mask; ++j) {
      Slot const& o = old->slots[j];
      Value v = o.value.load(std::memory_order_relaxed);
      if (!v) continue;
      for (std::size_t i = o.hash & t->mask;; i = (i + 1) & t->mask) {
        Slot& s = t->slots[i];
        if (!s.value.load(std::memory_order_relaxed)) {
          s.hash = o.hash;
          s.value.store(v, std::memory_order_relaxed);
          break;
        }
      }
    }
    _table.store(t, std::memory_order_release);
    return t;
  }

  std::atomic<Table*> _table{nullptr};
  std::atomic<std::size_t> _count{0};
  std::vector<std::unique_ptr<Table>> _tables;  // every table made, the current one last
};

// The keys of a type object in the registry's indexes.
struct TypeRecordOf {
  void const* operator()(Type const* t) const noexcept { return t->GetTypeInfo(); }
};
struct TypeNameOf {
  std::string_view operator()(Type const* t) const noexcept { return t->GetName(); }
};
struct TypeWsdlNameOf {
  std::string_view operator()(Type const* t) const noexcept { return t->GetWsdlName(); }
};

struct PtrHash {
  std::size_t operator()(void const* p) const noexcept {
    auto v = reinterpret_cast<std::uintptr_t>(p);
    return static_cast<std::size_t>((v >> 4) * 0x9E3779B97F4A7C15ull);
  }
};

// The kind in which a property's value is read and written through the
// descriptor accessors: its own when plain (a link: String, the key of the
// object it names), Kind::Data for arrays, objects, references and any values.
Kind ValueKindOf(PropertyInfo const& p);

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
  // Read without _mutex (see ConcurrentIndex); written with it held exclusively.
  Detail::ConcurrentIndex<void const*, Type*, Detail::TypeRecordOf, Detail::PtrHash> _byInfo;
  Detail::ConcurrentIndex<std::string_view, Type*, Detail::TypeNameOf> _byName;
  Detail::ConcurrentIndex<std::string_view, Type*, Detail::TypeWsdlNameOf> _byWsdl;
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

// `other` is non-null and of exactly self's class: what a data class's
// _IsEqual and _DiffProperties require before they cast `other` to their own
// class (anything else is unequal, or differs as a whole).
inline bool SameClass(Any const* self, Any const* other) noexcept { return other && typeid(*self) == typeid(*other); }

// One step down an object graph (Compare.cc). Clone, comparison, diff and
// dump keep the objects they are inside of on a per-thread path; reaching an
// object that is already on it means the graph holds itself, and a path
// deeper than kMaxGraphDepth is refused too, before the stack runs out.
inline constexpr unsigned kMaxGraphDepth = 256;
class GraphStep {
 public:
  // Throws Fault::InvalidArgument::Exception naming `operation` and the
  // object's type on a cycle or a path too deep.
  GraphStep(Any const* object, char const* operation);
  // Never throws: Refused() tells why the step was not taken, if it was not.
  GraphStep(Any const* object, std::nothrow_t) noexcept;
  GraphStep(GraphStep const&) = delete;
  GraphStep& operator=(GraphStep const&) = delete;
  ~GraphStep();
  // Null when the step was taken, else "cycle" or "too deep".
  char const* Refused() const noexcept { return _refused; }

 private:
  bool _entered = false;
  char const* _refused = nullptr;
};

// Reflection over data type descriptors (Reflect.cc).
void DumpAny(Any const* value, std::string& out, int indent);
bool ReflectIsEqual(DynamicData const* mine, DynamicData const* theirs, bool lenient);
void ReflectDiff(DynamicData const* mine, DynamicData const* theirs, std::string const& prefix, PropertyDiffSet& diffs);
}  // namespace Detail

}  // namespace Quill
