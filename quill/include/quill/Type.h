// Runtime type objects. They are made from the descriptor tables when a
// module is bound and are never freed. Everything derived from the tables
// (base links, complete property sequences, name indexes) is computed on first
// use and published atomically, so binding a module costs one allocation per
// type and a few index insertions.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

#include "quill/TypeInfo.h"

namespace Quill {

class Version;

class Type {
 public:
  Type(Type const&) = delete;
  Type& operator=(Type const&) = delete;

  TypeKind GetKind() const noexcept { return static_cast<TypeKind>(_info->kind); }
  char const* GetName() const noexcept { return _info->name; }
  char const* GetWsdlName() const noexcept { return _info->wsdlName; }
  // Version name as written in the record; null for array types.
  char const* GetVersionName() const noexcept { return _info->version; }
  // The registered version of that name, or null if its table is not bound.
  Version const* GetVersion() const;
  TypeInfo const* GetTypeInfo() const noexcept { return _info; }

  bool IsArray() const noexcept { return GetKind() == KIND_ARRAY; }
  // For an array type, its element type; null otherwise.
  Type* GetElementType() const noexcept { return _element; }
  // The array type of this type: "<name>[]", WSDL "ArrayOf<WsdlName>" with the
  // first letter raised. Made on first request, then always the same object.
  Type* GetArrayType() const;

 protected:
  explicit Type(TypeInfo const* info) noexcept : _info(info) {}
  // Type objects are never freed; the destructor exists for completeness.
  virtual ~Type();

 private:
  friend class TypeFactory;
  TypeInfo const* _info;
  Type* _element = nullptr;
  mutable std::atomic<Type*> _array{nullptr};
};

class DataObjectType;
class ManagedObjectType;

// One property of a data type's complete sequence.
struct DataProperty {
  PropertyInfo const* info;
  DataTypeInfo const* owner;  // descriptor whose accessors serve it
  std::uint32_t ownIndex;     // index in `owner`'s own list
  std::string component;      // "." + name, the path component of diffs
};

class DataObjectType : public Type {
 public:
  DataTypeInfo const* GetDescriptor() const noexcept { return _desc; }
  bool IsFault() const noexcept { return GetKind() == KIND_FAULT; }

  // The base type, resolved through its record. Null for the root, and null
  // while the module of the base record is not bound yet; asked again after,
  // it answers the base.
  DataObjectType* GetBaseType() const;
  bool IsSubtypeOf(DataObjectType const* other) const;  // reflexive

  std::uint32_t GetOwnPropertyCount() const;
  // i >= GetOwnPropertyCount() throws Quill::Fault::InvalidArgument::Exception.
  PropertyInfo const& GetOwnProperty(std::uint32_t i) const;
  // Inherited properties first (root downwards), then the own ones. Throws
  // Quill::Fault::InvalidType::Exception when a base in the chain is not
  // bound (the sequence is not known yet); GetProperty throws
  // Quill::Fault::InvalidArgument::Exception for i >= GetPropertyCount().
  std::uint32_t GetPropertyCount() const;
  DataProperty const& GetProperty(std::uint32_t i) const;
  // O(log n) by name over the complete sequence; null when unknown.
  DataProperty const* FindProperty(std::string_view name) const;

  // A new default object through the descriptor; null for the abstract root.
  DynamicData* Create() const;
  DataArrayBase* CreateArray() const;

 private:
  friend class TypeFactory;
  DataObjectType(TypeInfo const* info, DataTypeInfo const* desc) noexcept : Type(info), _desc(desc) {}
  struct Table;
  Table const* GetTable() const;

  DataTypeInfo const* _desc;
  mutable std::atomic<DataObjectType*> _base{nullptr};
  mutable std::atomic<Table const*> _table{nullptr};
};

class EnumType : public Type {
 public:
  // Copies `funcs`: callers pass a temporary. A null `info` (or one without
  // its record) throws Quill::Fault::InvalidArgument::Exception; the tag list
  // must end with null.
  EnumType(EnumTypeInfo const* info, EnumFuncs const& funcs);
  ~EnumType() override;

  EnumTypeInfo const* GetDescriptor() const noexcept { return _desc; }
  EnumFuncs const& GetFuncs() const noexcept { return _funcs; }
  int GetTagCount() const noexcept { return _count; }

  // Tag of a value. Out-of-range values throw
  // Quill::Fault::InvalidArgument::Exception (the fault's message names the
  // enumeration and the value).
  char const* GetTag(int value) const;
  // Value of a tag, exact and case-sensitive, by hash. Unknown tags throw
  // Quill::Fault::InvalidArgument::Exception.
  int GetValue(std::string const& tag) const;
  // Non-throwing form: -1 for an unknown tag.
  int FindValue(std::string_view tag) const noexcept;

 private:
  EnumTypeInfo const* _desc;
  EnumFuncs _funcs;
  int _count;
  mutable std::atomic<std::uint16_t const*> _sorted{nullptr};  // hash table of tags, built on first use
};

// The object through which a method call or a property read goes.
class ManagedMethod {
 public:
  ManagedMethod() = default;
  ManagedMethod(ManagedMethod const&) = delete;
  ManagedMethod& operator=(ManagedMethod const&) = delete;

  ManagedObjectType* GetDeclaringType() const noexcept { return _type; }
  // Position in the declaring type's method-object array.
  std::uint32_t GetIndex() const noexcept { return _index; }
  bool IsProperty() const noexcept { return _property != nullptr; }
  MethodInfo const* GetMethodInfo() const noexcept { return _method; }        // null for a property
  PropertyInfo const* GetPropertyInfo() const noexcept { return _property; }  // null for a method
  char const* GetName() const noexcept;
  // A property read has no operation of its own; its WSDL name is its name.
  char const* GetWsdlName() const noexcept;
  char const* GetVersionName() const noexcept;
  bool IsTask() const noexcept { return _method && _method->isTask; }
  bool IsInternal() const noexcept { return _method && _method->isInternal; }
  // Privilege to call the method (or read the property) on a target of type
  // `target`: the method's own privilege, or, when it has a per-type list,
  // the one paired with the target's sedge name; null when none is named
  // (no privilege declared, or the target's type is not in the list).
  char const* GetPrivilege(Type const* target = nullptr) const noexcept;
  // Parameters in declaration order; a property read has none.
  // i >= GetParameterCount() throws Quill::Fault::InvalidArgument::Exception.
  std::uint32_t GetParameterCount() const noexcept { return _paramCount; }
  PropertyInfo const& GetParameter(std::uint32_t i) const;
  // True when the method (or property) was introduced in a version of the
  // disabled kind: it exists in the tables but no server carries it out.
  // Answered from the version registry once the version is registered, then
  // remembered.
  bool IsDisabled() const;

 private:
  friend class TypeFactory;
  ManagedObjectType* _type = nullptr;
  MethodInfo const* _method = nullptr;
  PropertyInfo const* _property = nullptr;
  std::uint32_t _index = 0;
  std::uint32_t _paramCount = 0;
  mutable std::atomic<std::uint8_t> _disabled{0};  // 0 not known yet, 1 no, 2 yes
};

// One property of a managed type's complete sequence.
struct ManagedProperty {
  PropertyInfo const* info;  // the latest declaration (a re-declaration wins)
  ManagedMethod* reader;     // the method object that reads it
};

class ManagedObjectType : public Type {
 public:
  ManagedTypeInfo const* GetDescriptor() const noexcept { return _desc; }
  ManagedObjectType* GetBaseType() const;  // null for the root and while unbound
  bool IsSubtypeOf(ManagedObjectType const* other) const;

  std::uint32_t GetOwnMethodCount() const noexcept { return _ownMethods; }
  std::uint32_t GetOwnPropertyCount() const noexcept { return _ownProperties; }
  // Slot i of the method-object array (methods, then properties); i past the
  // own methods and properties throws Quill::Fault::InvalidArgument::Exception.
  ManagedMethod* GetMethodObject(std::uint32_t i) const;

  // Complete property sequence: the base's properties, then the new own ones;
  // a re-declared property keeps its base index. Throws like DataObjectType
  // (an index past the end included).
  std::uint32_t GetPropertyCount() const;
  ManagedProperty const& GetProperty(std::uint32_t i) const;
  // Index in the complete sequence, -1 when unknown. O(log n).
  std::int32_t GetPropertyIndex(std::string_view name) const;
  ManagedProperty const* FindProperty(std::string_view name) const;
  // Own and inherited methods (the nearest declaration wins), O(log n).
  ManagedMethod* FindMethod(std::string_view name) const;
  ManagedMethod* FindMethodByWsdlName(std::string_view wsdlName) const;

 private:
  friend class TypeFactory;
  ManagedObjectType(TypeInfo const* info, ManagedTypeInfo const* desc) noexcept : Type(info), _desc(desc) {}
  struct Table;
  Table const* GetTable() const;

  ManagedTypeInfo const* _desc;
  std::uint32_t _ownMethods = 0;
  std::uint32_t _ownProperties = 0;
  ManagedMethod* _methodBlock = nullptr;
  mutable std::atomic<ManagedObjectType*> _base{nullptr};
  mutable std::atomic<Table const*> _table{nullptr};
};

// --- creation (module callbacks) ---------------------------------------------
// A second registration of the same record returns the existing type; another
// record with an already registered sedge name throws
// Quill::Fault::InvalidType::Exception and registers nothing. A null
// descriptor, or one without its record, throws
// Quill::Fault::InvalidArgument::Exception (a null property or method list
// counts as empty). The tables themselves are trusted (they are compiled
// constants): lists must end with their zero entry.
DataObjectType* CreateDataObjectType(DataTypeInfo const* info);
// Also fills info->methodObjects (one object per own method, one per own
// property, a null terminator).
ManagedObjectType* CreateManagedObjectType(ManagedTypeInfo const* info);

// --- slot accessors -----------------------------------------------------------
// Specialised by the library that owns each type: a plain read of its slot.
template <class T>
DataObjectType* GetDoType();
template <class E>
EnumType* GetEnumType();
template <class T>
ManagedObjectType* GetMoType();
// Runtime types of the value types (std::string, bool, signed char, short,
// int, long, float, double, DateTime, std::vector<unsigned char>, TypeName,
// MethodName, PropertyPath, Uri) and of Quill::Any (the "any" type).
template <class V>
Type* GetNoType();

// --- enumeration tags -------------------------------------------------------------
// The tag of an enumeration value ("success" for TaskInfo::State::success), and
// the value of a tag. Both throw Quill::Fault::InvalidArgument::Exception for a
// value or tag the enumeration does not have; FindEnumValue answers false instead.
template <class E>
char const* TagOf(E value) {
  return GetEnumType<E>()->GetTag(static_cast<int>(value));
}
template <class E>
E EnumValueOf(std::string const& tag) {
  return static_cast<E>(GetEnumType<E>()->GetValue(tag));
}
template <class E>
bool FindEnumValue(std::string_view tag, E& value) noexcept {
  int v = GetEnumType<E>()->FindValue(tag);
  if (v < 0) return false;
  value = static_cast<E>(v);
  return true;
}

}  // namespace Quill
