// Layout of the constant tables through which a type library describes its
// types to the runtime. Field order and widths are fixed: generated tables
// are aggregate-initialised against these structs.
#pragma once

#include <cstdint>
#include <string>

#include "quill/Forward.h"

namespace Quill {

// Kind word of a type record. The four described kinds are fixed by the
// tables; the others are the runtime's own.
enum TypeKind : std::uint64_t {
  KIND_PRIMITIVE = 1,  // string, boolean, numbers, dateTime, binary, name types
  KIND_ANY = 2,        // any value
  KIND_ARRAY = 3,      // made by Type::GetArrayType, never in a table
  KIND_ENUM = 15,
  KIND_DATA = 16,
  KIND_FAULT = 17,
  KIND_MANAGED = 18,
};

// One per type, four 64-bit words.
struct TypeInfo {
  std::uint64_t kind;
  char const* name;      // sedge name, dotted
  char const* wsdlName;  // name on the wire
  char const* version;   // version that introduced the type
};
static_assert(sizeof(TypeInfo) == 32, "TypeInfo is four 64-bit words");

// Property flag bits.
inline constexpr std::uint32_t F_ARRAY = 0x1;
inline constexpr std::uint32_t F_OPTIONAL = 0x2;
inline constexpr std::uint32_t F_MANAGED = 0x4;
inline constexpr std::uint32_t F_LINKABLE = 0x10;
inline constexpr std::uint32_t F_LINK = 0x20;
inline constexpr std::uint32_t F_FLAG40 = 0x40;
inline constexpr std::uint32_t F_SECRET = 0x200;
inline constexpr std::uint32_t F_FLAG400 = 0x400;

// A property, a parameter or a method result. Lists end with an all-zero entry.
struct PropertyInfo {
  TypeInfo const* type;  // element type for arrays; null only for "no result"
  std::uint32_t flags;
  char const* name;
  char const* privilege;
  char const* version;
};
static_assert(sizeof(PropertyInfo) == 40);

// Privilege by the concrete type of the target; lists end with {null, null}.
struct TypePrivilege {
  char const* typeName;
  char const* privilege;
};

struct MethodInfo {
  char const* name;
  char const* wsdlName;
  char const* privilege;
  TypePrivilege const* typePrivileges;  // null or a list
  PropertyInfo result;                  // type null and flags 0: no result
  PropertyInfo const* params;           // list, ends with the zero entry
  TypeInfo const* const* faults;        // null-terminated
  std::uint8_t isTask;
  std::uint8_t isInternal;
  char const* version;
};

// --- data type accessors ---------------------------------------------------
// These are the raw functions through which generated code moves fields; they
// check nothing in release builds, for speed. Preconditions: `obj` is of the
// descriptor's class (or derived) and `index` an own index of that class
// (both asserted by generated accessors in debug builds), and the variable
// behind `out`/`value`/`var` has exactly the type listed below, a bool is 0
// or 1 and an enumeration value has a tag (not checkable through void*).
// Anything else corrupts memory. Code that learns a property at run time uses quill/Reflection.h,
// which checks all of it and throws.
//
// `index` is always the property's own index in the declaring type's list.
// Value variables (for getProperty, setProperty) have the property's value
// type: std::string (also link keys), bool, signed char, short, int, long,
// float, double, Basalt::System::DateTime, std::vector<unsigned char>,
// TypeName, MethodName, PropertyPath, Uri; an enumeration as int; every
// object, array, reference and any-valued property as Basalt::Ref<Quill::Any>.
// Optional value properties use the contained type.
using GetPropertyFn = void (*)(DynamicData* obj, std::uint32_t index, void* out);
// Object/array/reference properties: the Quill::Any* (converted to void*) or
// null when null or an empty array. Value properties: the field's address
// (for an optional, the contained value's address; a boolean optional has no
// bool to point at and yields the address of its signed state byte, which is
// 0 or 1 when set), null when the optional is unset.
using GetPropertyPtrFn = void* (*)(DynamicData* obj, std::uint32_t index);
using SetPropertyFn = void (*)(DynamicData* obj, std::uint32_t index, void const* value);
// `var` has the field's declared type (Basalt::Optional<T> for an optional).
using SwapPropertyFn = void (*)(DynamicData* obj, std::uint32_t index, void* var);
using IsPropertySetFn = bool (*)(DynamicData const* obj, std::uint32_t index);
using UnsetPropertyFn = void (*)(DynamicData* obj, std::uint32_t index);
using CreateFn = DynamicData* (*)();
using CreateArrayFn = DataArrayBase* (*)();

struct DataTypeInfo {
  TypeInfo const* type;
  TypeInfo const* base;  // gSedgeDynamicDataTypeInfo for root data types
  PropertyInfo const* properties;
  GetPropertyFn getProperty;
  GetPropertyPtrFn getPropertyPtr;
  SetPropertyFn setProperty;
  SwapPropertyFn swapProperty;
  IsPropertySetFn isPropertySet;
  UnsetPropertyFn unsetProperty;
  CreateFn create;
  CreateArrayFn createArray;
  std::uint64_t redeclaresInherited;
};

// --- managed type functions ---------------------------------------------------
// Index of `name` in the complete property sequence, -1 when unknown. `name`
// need not be terminated: at most `length` bytes are read, and never past a
// NUL within them (a `length` longer than a terminated name is safe and
// answers -1).
using PropertyIndexFn = std::int32_t (*)(char const* name, std::uint32_t length);
// `args` points at one Ref per parameter: a precondition (there is no count
// to check it against); a null `args` for an operation with parameters
// throws Fault::InvalidArgument. An index with no entry throws
// Fault::NotSupported, a null or foreign object Fault::InvalidArgument or
// Basalt::TypeMismatchException. Quill::Dispatch (quill/StubSupport.h) is the
// checked way in. `result` is cleared, then filled.
using DispatchFn = void (*)(ManagedObject* obj, std::uint32_t index, Basalt::Ref<Any> const* args,
                            Basalt::Ref<Any>* result);
using CreateStubFn = StubImpl* (*)(MoRef* moref, StubAdapter* adapter, RequestContext* context);

struct ManagedTypeInfo {
  TypeInfo const* type;
  TypeInfo const* base;  // Quill::gSedgeManagedObjectTypeInfo for roots
  PropertyInfo const* properties;
  MethodInfo const* methods;
  PropertyIndexFn propertyIndex;
  DispatchFn dispatch;
  CreateStubFn createStub;
  // Own methods + own properties + 1 slots, zero until the runtime fills them;
  // the last slot stays null as a terminator.
  ManagedMethod** methodObjects;
};

// --- enumerations --------------------------------------------------------------
struct EnumTypeInfo {
  TypeInfo const* type;
  char const* const* tags;  // null-terminated; a tag's value is its position
};

struct EnumFuncs {
  int (*unbox)(Any const* box);
  Any* (*box)(int value);
  void (*toTags)(Any const* values, EnumType const* type, Basalt::Ref<Array<std::string>>& out);
  Any* (*fromTags)(Any const* strings, EnumType const* type);
  Any* (*createArray)();
};

// --- versions -----------------------------------------------------------------
enum VersionKind : std::uint32_t {
  VERSION_RELEASE = 0,
  VERSION_UNSTABLE = 1,
  VERSION_FEATURE = 2,
  VERSION_DISABLED = 3,
};

struct VersionInfo {
  char const* name;
  char const* wireNamespace;
  char const* wireVersion;
  char const* taskType;
  char const* taskNamespace;
  std::uint32_t kind;
  std::uint32_t versionFlags;
};

struct VersionParent {
  char const* name;
  char const* parent;  // may belong to another namespace
};

struct SedgeVersions {
  char const* namespaceName;
  int* namespaceId;           // the runtime stores the namespace's index here
  char const** dependencies;  // dependencyCount entries, no end marker
  VersionInfo const* versions;
  VersionParent const* parents;
  void** officialSlots;  // ltsSlotCount entries each
  void** internalSlots;
  std::uint32_t versionCount;
  std::uint32_t ltsSlotCount;
  std::uint32_t parentCount;
  std::uint32_t dependencyCount;
  // Carried for the wire layer; this runtime part stores but does not read them.
  std::uint32_t extra[4];
};

// --- records the runtime exports ---------------------------------------------
extern TypeInfo const gStringTypeInfo;
extern TypeInfo const gBoolTypeInfo;
extern TypeInfo const gByteTypeInfo;
extern TypeInfo const gShortTypeInfo;
extern TypeInfo const gIntTypeInfo;
extern TypeInfo const gLongTypeInfo;
extern TypeInfo const gFloatTypeInfo;
extern TypeInfo const gDoubleTypeInfo;
extern TypeInfo const gDateTimeTypeInfo;
extern TypeInfo const gBinaryTypeInfo;
extern TypeInfo const gAnyTypeInfo;
extern TypeInfo const gTypeNameTypeInfo;
extern TypeInfo const gMethodNameTypeInfo;
extern TypeInfo const gPropertyPathTypeInfo;
extern TypeInfo const gUriTypeInfo;
extern TypeInfo const gSedgeManagedObjectTypeInfo;
extern TypeInfo const gSedgeMethodFaultTypeInfo;
extern TypeInfo const gSedgeRuntimeFaultTypeInfo;

}  // namespace Quill

extern Quill::TypeInfo const gSedgeDynamicDataTypeInfo;
extern Quill::TypeInfo const gSedgeFaultInvalidArgumentTypeInfo;
extern Quill::TypeInfo const gSedgeFaultNotSupportedTypeInfo;
extern Quill::TypeInfo const gSedgeFaultRequestCanceledTypeInfo;
extern Quill::TypeInfo const gSedgeFaultManagedObjectNotFoundTypeInfo;
extern Quill::TypeInfo const gSedgeFaultSystemErrorTypeInfo;
extern Quill::TypeInfo const gSedgeFaultInvalidTypeTypeInfo;
extern Quill::TypeInfo const gSedgeFaultInvalidRequestTypeInfo;
extern Quill::TypeInfo const gSedgeFaultSecurityErrorTypeInfo;
extern Quill::TypeInfo const gSedgeLocalizableMessageTypeInfo;
extern Quill::TypeInfo const gSedgeKeyAnyValueTypeInfo;
extern Quill::TypeInfo const gSedgeDynamicPropertyTypeInfo;
extern Quill::TypeInfo const gSedgeQueryPropertyCollectorTypeInfo;
extern Quill::TypeInfo const gSedgeReflectDynamicTypeManagerTypeInfo;
extern Quill::TypeInfo const gSedgeReflectManagedMethodExecuterTypeInfo;
