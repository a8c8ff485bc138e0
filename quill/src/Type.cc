#include "quill/Type.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "Internal.h"
#include "quill/Array.h"
#include "quill/Registry.h"

namespace Quill {

class TypeFactory {
 public:
  static Type* MakeArray(Type const* element);
  static DataObjectType* MakeData(DataTypeInfo const* info) { return new DataObjectType(info->type, info); }
  static ManagedObjectType* MakeManaged(ManagedTypeInfo const* info);
  static void FillMethodObjects(ManagedObjectType* t, ManagedTypeInfo const* info);
};

namespace {

// Array types own their record and its strings.
class ArrayType final : public Type {
 public:
  explicit ArrayType(Type const* element)
      : Type(&_record),
        _name(std::string(element->GetName()) + "[]"),
        _wsdl("ArrayOf" + std::string(element->GetWsdlName() ? element->GetWsdlName() : "")) {
    if (_wsdl.size() > 7) _wsdl[7] = static_cast<char>(std::toupper(static_cast<unsigned char>(_wsdl[7])));
    _record = TypeInfo{KIND_ARRAY, _name.c_str(), _wsdl.c_str(), element->GetVersionName()};
  }

 private:
  TypeInfo _record{};
  std::string _name;
  std::string _wsdl;
};

std::uint32_t CountEntries(PropertyInfo const* list) {
  std::uint32_t n = 0;
  if (list) {
    while (list[n].name) ++n;
  }
  return n;
}
std::uint32_t CountEntries(MethodInfo const* list) {
  std::uint32_t n = 0;
  if (list) {
    while (list[n].name) ++n;
  }
  return n;
}

template <class Table>
Table const* Publish(std::atomic<Table const*>& slot, Table* fresh) {
  Table const* expected = nullptr;
  if (slot.compare_exchange_strong(expected, fresh, std::memory_order_acq_rel)) return fresh;
  delete fresh;  // another thread built the same table first
  return expected;
}

[[noreturn]] void ThrowBadIndex(Type const* type, char const* what, std::size_t i, std::size_t n) {
  Detail::ThrowBadArgument("index", "quill.type.badIndex",
                           std::string(type->GetName()) + " has " + std::to_string(n) + " " + what +
                               (n == 1 ? "" : "s") + "; there is no " + what + " " + std::to_string(i));
}

}  // namespace

Type::~Type() = default;

Version const* Type::GetVersion() const { return _info->version ? FindVersion(_info->version) : nullptr; }

Type* Type::GetArrayType() const {
  Type* t = _array.load(std::memory_order_acquire);
  if (t) return t;
  Type* fresh = TypeFactory::MakeArray(this);
  Type* expected = nullptr;
  if (_array.compare_exchange_strong(expected, fresh, std::memory_order_acq_rel)) return fresh;
  delete fresh;
  return expected;
}

Type* TypeFactory::MakeArray(Type const* element) {
  auto* t = new ArrayType(element);
  t->_element = const_cast<Type*>(element);
  return t;
}

// --- data object types ----------------------------------------------------------

struct DataObjectType::Table {
  std::vector<DataProperty> props;
  std::vector<std::string_view> names;  // of props, lengths known
  // Open addressing over names: index into props + 1, 0 for an empty slot.
  std::vector<std::uint32_t> byName;

  // Property names of one type differ early, late or in length; mixing those few bytes
  // is enough for a table of a few dozen slots and costs no loop.
  static std::size_t Hash(std::string_view name) noexcept {
    if (name.empty()) return 0;
    auto at = [&](std::size_t i) { return static_cast<std::size_t>(static_cast<unsigned char>(name[i])); };
    std::size_t key = name.size() << 24 ^ at(0) << 16 ^ at(name.size() / 2) << 8 ^ at(name.size() - 1);
    return (key * 0x9E3779B97F4A7C15ull) >> 32;
  }
  void Index() {
    std::size_t size = 8;
    while (size < props.size() * 2) size *= 2;
    byName.assign(size, 0);
    names.reserve(props.size());
    for (std::uint32_t i = 0; i < props.size(); ++i) {
      names.emplace_back(props[i].info->name);
      std::size_t j = Hash(names[i]) & (size - 1);
      while (byName[j]) j = (j + 1) & (size - 1);
      byName[j] = i + 1;
    }
  }
  std::uint32_t const* Find(std::string_view name) const noexcept {
    std::size_t mask = byName.size() - 1;
    for (std::size_t j = Hash(name) & mask; byName[j]; j = (j + 1) & mask) {
      if (names[byName[j] - 1] == name) return &byName[j];
    }
    return nullptr;
  }
};

DataObjectType* DataObjectType::GetBaseType() const {
  DataObjectType* b = _base.load(std::memory_order_acquire);
  if (b || !_desc->base) return b;
  b = static_cast<DataObjectType*>(Registry::Get().ByInfo(_desc->base));
  if (b) _base.store(b, std::memory_order_release);
  return b;
}

bool DataObjectType::IsSubtypeOf(DataObjectType const* other) const {
  for (DataObjectType const* t = this; t; t = t->GetBaseType()) {
    if (t == other) return true;
  }
  return false;
}

std::uint32_t DataObjectType::GetOwnPropertyCount() const { return CountEntries(_desc->properties); }

DataObjectType::Table const* DataObjectType::GetTable() const {
  if (Table const* t = _table.load(std::memory_order_acquire)) return t;
  auto* table = new Table();
  if (_desc->base) {
    DataObjectType const* base = GetBaseType();
    if (!base) {
      delete table;
      Detail::ThrowInvalidType(GetName(), std::string("base type not bound: ") + _desc->base->name);
    }
    table->props = base->GetTable()->props;
  }
  std::uint32_t own = GetOwnPropertyCount();
  for (std::uint32_t i = 0; i < own; ++i) {
    PropertyInfo const* p = &_desc->properties[i];
    DataProperty entry{p, _desc, i, std::string(".") + p->name};
    if (i == 0 && _desc->redeclaresInherited) {
      auto it = std::find_if(table->props.begin(), table->props.end(),
                             [&](DataProperty const& d) { return std::strcmp(d.info->name, p->name) == 0; });
      if (it != table->props.end()) {
        *it = std::move(entry);  // the re-declaration takes the inherited slot
        continue;
      }
    }
    table->props.push_back(std::move(entry));
  }
  table->Index();
  return Publish(_table, table);
}

std::uint32_t DataObjectType::GetPropertyCount() const { return static_cast<std::uint32_t>(GetTable()->props.size()); }
DataProperty const& DataObjectType::GetProperty(std::uint32_t i) const {
  Table const* t = GetTable();
  if (i >= t->props.size()) ThrowBadIndex(this, "property", i, t->props.size());
  return t->props[i];
}

PropertyInfo const& DataObjectType::GetOwnProperty(std::uint32_t i) const {
  std::uint32_t n = GetOwnPropertyCount();
  if (i >= n) ThrowBadIndex(this, "own property", i, n);
  return _desc->properties[i];
}

DataProperty const* DataObjectType::FindProperty(std::string_view name) const {
  Table const* t = GetTable();
  std::uint32_t const* slot = t->Find(name);
  return slot ? &t->props[*slot - 1] : nullptr;
}

DynamicData* DataObjectType::Create() const { return _desc->create ? _desc->create() : nullptr; }
DataArrayBase* DataObjectType::CreateArray() const { return _desc->createArray ? _desc->createArray() : nullptr; }

DataObjectType* CreateDataObjectType(DataTypeInfo const* info) {
  if (!info || !info->type || !info->type->name) {
    Detail::ThrowBadArgument("info", "quill.type.badRecord", "a data type descriptor without its record");
  }
  std::unique_ptr<DataObjectType> t(TypeFactory::MakeData(info));
  if (Type* existing = Registry::Get().AddType(t.get())) {  // throws on a name clash
    return static_cast<DataObjectType*>(existing);
  }
  return t.release();
}

// --- enumerations ---------------------------------------------------------------

EnumType::EnumType(EnumTypeInfo const* info, EnumFuncs const& funcs)
    : Type(info ? info->type : nullptr), _desc(info), _funcs(funcs), _count(0) {
  if (!info || !info->type || !info->type->name) {
    Detail::ThrowBadArgument("info", "quill.type.badRecord", "an enumeration descriptor without its record");
  }
  if (info->tags) {
    while (info->tags[_count]) ++_count;
  }
  // A duplicate throws; the new-expression then frees this object.
  Registry::Get().AddType(this);
}
EnumType::~EnumType() { delete[] _sorted.load(); }

char const* EnumType::GetTag(int value) const {
  if (value < 0 || value >= _count) {
    Detail::ThrowInvalidArgument("quill.enum.badValue",
                                 std::string("value ") + std::to_string(value) + " is not a value of " + GetName());
  }
  return _desc->tags[value];
}

namespace {
// FNV-1a: short tags, one pass.
std::uint32_t HashTag(std::string_view s) noexcept {
  std::uint32_t h = 2166136261u;
  for (unsigned char c : s) h = (h ^ c) * 16777619u;
  return h;
}
bool SameTag(char const* stored, std::string_view tag) noexcept {
  if (tag.empty()) return stored[0] == '\0';  // a default string_view has no data to hand strncmp
  return std::strncmp(stored, tag.data(), tag.size()) == 0 && stored[tag.size()] == '\0';
}
}  // namespace

// Tags are found through an open-addressing table built on first use: slot 0 holds the
// mask, slots 1.. hold value + 1 (0 for empty), at least twice as many slots as tags.
int EnumType::FindValue(std::string_view tag) const noexcept {
  // SameTag stops at a NUL: a tag with one inside would match a stored
  // prefix and read past it.
  if (!tag.empty() && std::memchr(tag.data(), '\0', tag.size())) return -1;
  std::uint16_t const* table = _sorted.load(std::memory_order_acquire);
  if (!table) {
    std::uint32_t size = 4;
    while (size < 2u * static_cast<std::uint32_t>(_count)) size *= 2;
    auto* fresh = new (std::nothrow) std::uint16_t[size + 1]();
    if (!fresh) {  // fall back to a scan rather than fail a lookup
      for (int i = 0; i < _count; ++i) {
        if (SameTag(_desc->tags[i], tag)) return i;
      }
      return -1;
    }
    fresh[0] = static_cast<std::uint16_t>(size - 1);
    for (int i = 0; i < _count; ++i) {
      std::uint32_t slot = HashTag(_desc->tags[i]) & (size - 1);
      while (fresh[slot + 1]) slot = (slot + 1) & (size - 1);
      fresh[slot + 1] = static_cast<std::uint16_t>(i + 1);
    }
    std::uint16_t const* expected = nullptr;
    if (_sorted.compare_exchange_strong(expected, fresh, std::memory_order_acq_rel)) {
      table = fresh;
    } else {
      delete[] fresh;
      table = expected;
    }
  }
  std::uint32_t mask = table[0];
  for (std::uint32_t slot = HashTag(tag) & mask;; slot = (slot + 1) & mask) {
    std::uint16_t v = table[slot + 1];
    if (!v) return -1;
    if (SameTag(_desc->tags[v - 1], tag)) return v - 1;
  }
}

int EnumType::GetValue(std::string const& tag) const {
  int v = FindValue(tag);
  if (v < 0) {
    Detail::ThrowInvalidArgument("quill.enum.unknownTag", "'" + tag + "' is not a tag of " + GetName());
  }
  return v;
}

// --- managed types -----------------------------------------------------------------

char const* ManagedMethod::GetName() const noexcept {
  return _method ? _method->name : _property ? _property->name : nullptr;
}
char const* ManagedMethod::GetWsdlName() const noexcept {
  return _method ? _method->wsdlName : _property ? _property->name : nullptr;
}
char const* ManagedMethod::GetVersionName() const noexcept {
  return _method ? _method->version : _property ? _property->version : nullptr;
}
char const* ManagedMethod::GetPrivilege(Type const* target) const noexcept {
  if (_property) return _property->privilege;
  if (!_method) return nullptr;
  if (!_method->typePrivileges) return _method->privilege;
  if (!target) return nullptr;
  for (TypePrivilege const* p = _method->typePrivileges; p->typeName; ++p) {
    if (std::strcmp(p->typeName, target->GetName()) == 0) return p->privilege;
  }
  return nullptr;
}

PropertyInfo const& ManagedMethod::GetParameter(std::uint32_t i) const {
  if (i >= _paramCount) {
    Detail::ThrowBadArgument("index", "quill.type.badIndex",
                             std::string(GetName() ? GetName() : "?") + " has " + std::to_string(_paramCount) +
                                 " parameters; there is no parameter " + std::to_string(i));
  }
  return _method->params[i];
}

bool ManagedMethod::IsDisabled() const {
  std::uint8_t known = _disabled.load(std::memory_order_relaxed);
  if (known) return known == 2;
  char const* name = GetVersionName();
  Version const* v = name ? FindVersion(name) : nullptr;
  if (!v) return false;  // not registered (yet): nothing says it is disabled
  bool disabled = v->GetKind() == VERSION_DISABLED;
  _disabled.store(disabled ? 2 : 1, std::memory_order_relaxed);
  return disabled;
}

struct ManagedObjectType::Table {
  std::vector<ManagedProperty> props;
  std::vector<std::pair<std::string_view, std::int32_t>> propIndex;  // sorted by name
  std::vector<std::pair<std::string_view, ManagedMethod*>> methods;  // sorted by name
  std::vector<std::pair<std::string_view, ManagedMethod*>> wsdl;     // sorted by WSDL name
};

ManagedObjectType* TypeFactory::MakeManaged(ManagedTypeInfo const* info) {
  auto* t = new ManagedObjectType(info->type, info);
  t->_ownMethods = CountEntries(info->methods);
  t->_ownProperties = CountEntries(info->properties);
  return t;
}

ManagedObjectType* CreateManagedObjectType(ManagedTypeInfo const* info) {
  if (!info || !info->type || !info->type->name) {
    Detail::ThrowBadArgument("info", "quill.type.badRecord", "a managed type descriptor without its record");
  }
  std::unique_ptr<ManagedObjectType> owned(TypeFactory::MakeManaged(info));
  if (Type* existing = Registry::Get().AddType(owned.get())) {
    return static_cast<ManagedObjectType*>(existing);
  }
  ManagedObjectType* t = owned.release();
  TypeFactory::FillMethodObjects(t, info);
  return t;
}

void TypeFactory::FillMethodObjects(ManagedObjectType* t, ManagedTypeInfo const* info) {
  std::uint32_t m = t->_ownMethods, p = t->_ownProperties;
  if (m + p) t->_methodBlock = new ManagedMethod[m + p];
  for (std::uint32_t i = 0; i < m + p; ++i) {
    ManagedMethod& mm = t->_methodBlock[i];
    mm._type = t;
    mm._index = i;
    if (i < m) {
      mm._method = &info->methods[i];
      mm._paramCount = CountEntries(info->methods[i].params);
    } else {
      mm._property = &info->properties[i - m];
    }
    if (info->methodObjects) info->methodObjects[i] = &mm;
  }
  if (info->methodObjects) info->methodObjects[m + p] = nullptr;
}

ManagedObjectType* ManagedObjectType::GetBaseType() const {
  ManagedObjectType* b = _base.load(std::memory_order_acquire);
  if (b || !_desc->base) return b;
  b = static_cast<ManagedObjectType*>(Registry::Get().ByInfo(_desc->base));
  if (b) _base.store(b, std::memory_order_release);
  return b;
}

bool ManagedObjectType::IsSubtypeOf(ManagedObjectType const* other) const {
  for (ManagedObjectType const* t = this; t; t = t->GetBaseType()) {
    if (t == other) return true;
  }
  return false;
}

ManagedObjectType::Table const* ManagedObjectType::GetTable() const {
  if (Table const* t = _table.load(std::memory_order_acquire)) return t;
  auto* table = new Table();
  if (_desc->base) {
    ManagedObjectType const* base = GetBaseType();
    if (!base) {
      delete table;
      Detail::ThrowInvalidType(GetName(), std::string("base type not bound: ") + _desc->base->name);
    }
    Table const* bt = base->GetTable();
    table->props = bt->props;
    table->propIndex = bt->propIndex;
    table->methods = bt->methods;
    table->wsdl = bt->wsdl;
  }
  auto byName = [](auto const& a, auto const& b) { return a.first < b.first; };
  // Own methods replace inherited ones of the same name.
  auto merge = [&](std::vector<std::pair<std::string_view, ManagedMethod*>>& list, std::string_view key,
                   ManagedMethod* m) {
    auto it = std::lower_bound(list.begin(), list.end(), std::make_pair(key, m), byName);
    if (it != list.end() && it->first == key) {
      it->second = m;
    } else {
      list.insert(it, {key, m});
    }
  };
  for (std::uint32_t i = 0; i < _ownMethods; ++i) {
    ManagedMethod* m = _desc->methodObjects ? _desc->methodObjects[i] : &_methodBlock[i];
    merge(table->methods, m->GetName(), m);
    if (m->GetWsdlName()) merge(table->wsdl, m->GetWsdlName(), m);
  }
  for (std::uint32_t j = 0; j < _ownProperties; ++j) {
    PropertyInfo const* p = &_desc->properties[j];
    ManagedMethod* reader = _methodBlock ? &_methodBlock[_ownMethods + j] : nullptr;
    std::string_view name = p->name;
    auto it = std::lower_bound(table->propIndex.begin(), table->propIndex.end(), std::make_pair(name, std::int32_t{0}),
                               byName);
    if (it != table->propIndex.end() && it->first == name) {
      table->props[static_cast<std::size_t>(it->second)] = ManagedProperty{p, reader};  // re-declared
    } else {
      table->propIndex.insert(it, {name, static_cast<std::int32_t>(table->props.size())});
      table->props.push_back(ManagedProperty{p, reader});
    }
  }
  return Publish(_table, table);
}

std::uint32_t ManagedObjectType::GetPropertyCount() const {
  return static_cast<std::uint32_t>(GetTable()->props.size());
}
ManagedProperty const& ManagedObjectType::GetProperty(std::uint32_t i) const {
  Table const* t = GetTable();
  if (i >= t->props.size()) ThrowBadIndex(this, "property", i, t->props.size());
  return t->props[i];
}

ManagedMethod* ManagedObjectType::GetMethodObject(std::uint32_t i) const {
  std::uint32_t n = _ownMethods + _ownProperties;
  if (i >= n || !_desc->methodObjects) ThrowBadIndex(this, "method object", i, _desc->methodObjects ? n : 0);
  return _desc->methodObjects[i];
}

std::int32_t ManagedObjectType::GetPropertyIndex(std::string_view name) const {
  Table const* t = GetTable();
  auto it = std::lower_bound(t->propIndex.begin(), t->propIndex.end(), name,
                             [](auto const& e, std::string_view n) { return e.first < n; });
  return it != t->propIndex.end() && it->first == name ? it->second : -1;
}
ManagedProperty const* ManagedObjectType::FindProperty(std::string_view name) const {
  std::int32_t i = GetPropertyIndex(name);
  return i < 0 ? nullptr : &GetTable()->props[static_cast<std::size_t>(i)];
}

namespace {
ManagedMethod* FindIn(std::vector<std::pair<std::string_view, ManagedMethod*>> const& list, std::string_view name) {
  auto it =
      std::lower_bound(list.begin(), list.end(), name, [](auto const& e, std::string_view n) { return e.first < n; });
  return it != list.end() && it->first == name ? it->second : nullptr;
}
}  // namespace

ManagedMethod* ManagedObjectType::FindMethod(std::string_view name) const { return FindIn(GetTable()->methods, name); }
ManagedMethod* ManagedObjectType::FindMethodByWsdlName(std::string_view wsdlName) const {
  return FindIn(GetTable()->wsdl, wsdlName);
}

}  // namespace Quill

namespace Quill::Detail {
namespace {
class PrimitiveType final : public Type {
 public:
  explicit PrimitiveType(TypeInfo const* info) : Type(info) {}
};
}  // namespace

Type* CreatePrimitiveType(TypeInfo const* info) {
  std::unique_ptr<PrimitiveType> t(new PrimitiveType(info));
  if (Type* existing = Registry::Get().AddType(t.get())) return existing;
  return t.release();
}
}  // namespace Quill::Detail
