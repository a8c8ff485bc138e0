// The runtime's own types and versions: records, the "sedge", "sedge.query"
// and "sedge.reflect" modules and their version tables, and the binding of
// those modules before any library registers its own.
#include <mutex>

#include "Internal.h"
#include "RuntimeSlots.h"
#include "quill/Accessors.h"
#include "quill/Array.h"
#include "quill/DataTypes.h"
#include "quill/Faults.h"
#include "quill/Kinds.h"
#include "quill/Loader.h"
#include "quill/MethodFault.h"
#include "quill/Primitive.h"
#include "quill/Registry.h"
#include "quill/Type.h"

namespace {
constexpr char kV0[] = "sedge.version.version0";
constexpr char kV1[] = "sedge.version.version1";
constexpr char kR1[] = "sedge.reflect.version.version1";
}  // namespace

// --- records -----------------------------------------------------------------------
namespace Quill {
namespace {
// A primitive's names are those of its kind.
constexpr TypeInfo PrimitiveRecord(Kind k, std::uint64_t kind = KIND_PRIMITIVE) {
  return {kind, InfoOf(k).name, InfoOf(k).wireName, kV0};
}
}  // namespace
TypeInfo const gStringTypeInfo = PrimitiveRecord(Kind::String);
TypeInfo const gBoolTypeInfo = PrimitiveRecord(Kind::Bool);
TypeInfo const gByteTypeInfo = PrimitiveRecord(Kind::Byte);
TypeInfo const gShortTypeInfo = PrimitiveRecord(Kind::Short);
TypeInfo const gIntTypeInfo = PrimitiveRecord(Kind::Int);
TypeInfo const gLongTypeInfo = PrimitiveRecord(Kind::Long);
TypeInfo const gFloatTypeInfo = PrimitiveRecord(Kind::Float);
TypeInfo const gDoubleTypeInfo = PrimitiveRecord(Kind::Double);
TypeInfo const gDateTimeTypeInfo = PrimitiveRecord(Kind::DateTime);
TypeInfo const gBinaryTypeInfo = PrimitiveRecord(Kind::Binary);
TypeInfo const gAnyTypeInfo = PrimitiveRecord(Kind::Any, KIND_ANY);
TypeInfo const gTypeNameTypeInfo = PrimitiveRecord(Kind::TypeName);
TypeInfo const gMethodNameTypeInfo = PrimitiveRecord(Kind::MethodName);
TypeInfo const gPropertyPathTypeInfo = PrimitiveRecord(Kind::PropertyPath);
TypeInfo const gUriTypeInfo = PrimitiveRecord(Kind::Uri);
TypeInfo const gSedgeManagedObjectTypeInfo = {KIND_MANAGED, "sedge.ManagedObject", "ManagedObject", kV0};
TypeInfo const gSedgeMethodFaultTypeInfo = {KIND_FAULT, "sedge.MethodFault", "MethodFault", kV1};
TypeInfo const gSedgeRuntimeFaultTypeInfo = {KIND_FAULT, "sedge.RuntimeFault", "RuntimeFault", kV1};
}  // namespace Quill

using Quill::KIND_DATA;
using Quill::KIND_FAULT;
using Quill::KIND_MANAGED;
Quill::TypeInfo const gSedgeDynamicDataTypeInfo = {KIND_DATA, "sedge.DynamicData", "DynamicData", kV0};
// The declared types' records (those of "sedge.query" among them) are generated with their
// classes (RuntimeTypes.cpp).
Quill::TypeInfo const gSedgeReflectDynamicTypeManagerTypeInfo = {KIND_MANAGED, "sedge.reflect.DynamicTypeManager",
                                                                 "InternalDynamicTypeManager", kR1};
Quill::TypeInfo const gSedgeReflectManagedMethodExecuterTypeInfo = {KIND_MANAGED, "sedge.reflect.ManagedMethodExecuter",
                                                                    "ReflectManagedMethodExecuter", kR1};

namespace Quill {

// --- version tables -----------------------------------------------------------------
namespace {

constexpr VersionInfo kSedgeRows[] = {
    {"sedge.version.version1", "sedge", "1.0", "sedge.Task", "sedge", VERSION_RELEASE, 4},
    {"sedge.version.version0", "sedge", "0.0", "sedge.Task", "sedge", VERSION_RELEASE, 4},
};
constexpr VersionParent kSedgeParents[] = {
    {"sedge.version.version1", "sedge.version.version0"},
};
constexpr VersionInfo kQueryRows[] = {
    {"sedge.query.version.version4", "sedge.query", "4.0", "sedge.Task", "sedge", VERSION_RELEASE, 4},
    {"sedge.query.version.version3", "sedge.query", "3.0", "sedge.Task", "sedge", VERSION_RELEASE, 4},
    {"sedge.query.version.version2", "sedge.query", "2.0", "sedge.Task", "sedge", VERSION_RELEASE, 4},
    {"sedge.query.version.version1", "sedge.query", "1.0", "sedge.Task", "sedge", VERSION_RELEASE, 4},
};
constexpr VersionParent kQueryParents[] = {
    {"sedge.query.version.version1", "sedge.version.version1"},
    {"sedge.query.version.version2", "sedge.query.version.version1"},
    {"sedge.query.version.version3", "sedge.query.version.version2"},
    {"sedge.query.version.version4", "sedge.query.version.version3"},
};
constexpr VersionInfo kReflectRows[] = {
    {"sedge.reflect.version.version2", "sedge.reflect", "2.0", "sedge.Task", "sedge", VERSION_RELEASE, 4},
    {"sedge.reflect.version.version1", "sedge.reflect", "1.0", "sedge.Task", "sedge", VERSION_RELEASE, 4},
};
constexpr VersionParent kReflectParents[] = {
    {"sedge.reflect.version.version1", "sedge.version.version1"},
    {"sedge.reflect.version.version2", "sedge.reflect.version.version1"},
};
char const* gSedgeDependencies[1] = {nullptr};
char const* gQueryDependencies[] = {"sedge"};
char const* gReflectDependencies[] = {"sedge"};
int gSedgeNamespaceId = 0;
int gQueryNamespaceId = 0;
int gReflectNamespaceId = 0;

}  // namespace

SedgeVersions const gSedgeVersions = {
    "sedge", &gSedgeNamespaceId, gSedgeDependencies, kSedgeRows, kSedgeParents, nullptr, nullptr, 2, 0, 1, 0, {}};
SedgeVersions const gSedgeQueryVersions = {
    "sedge.query", &gQueryNamespaceId, gQueryDependencies, kQueryRows, kQueryParents, nullptr, nullptr, 4, 0, 4, 1, {}};
SedgeVersions const gSedgeReflectVersions = {"sedge.reflect",
                                             &gReflectNamespaceId,
                                             gReflectDependencies,
                                             kReflectRows,
                                             kReflectParents,
                                             nullptr,
                                             nullptr,
                                             2,
                                             0,
                                             2,
                                             1,
                                             {}};

// --- managed descriptors ------------------------------------------------------------
namespace {
constexpr MethodInfo kNoMethods[] = {{}};
ManagedMethod* gManagedObjectMethodObjects[1];
ManagedMethod* gDynamicTypeManagerMethodObjects[1];
ManagedMethod* gManagedMethodExecuterMethodObjects[1];

constexpr ManagedTypeInfo kManagedObjectDesc = {
    &gSedgeManagedObjectTypeInfo, nullptr, Detail::kNoOwnProperties, kNoMethods, nullptr, nullptr, nullptr,
    gManagedObjectMethodObjects};
constexpr ManagedTypeInfo kDynamicTypeManagerDesc = {&gSedgeReflectDynamicTypeManagerTypeInfo,
                                                     &gSedgeManagedObjectTypeInfo,
                                                     Detail::kNoOwnProperties,
                                                     kNoMethods,
                                                     nullptr,
                                                     nullptr,
                                                     nullptr,
                                                     gDynamicTypeManagerMethodObjects};
constexpr ManagedTypeInfo kManagedMethodExecuterDesc = {&gSedgeReflectManagedMethodExecuterTypeInfo,
                                                        &gSedgeManagedObjectTypeInfo,
                                                        Detail::kNoOwnProperties,
                                                        kNoMethods,
                                                        nullptr,
                                                        nullptr,
                                                        nullptr,
                                                        gManagedMethodExecuterMethodObjects};

Type* gReflectSlots[2];

}  // namespace

namespace {
DataArrayBase* DynamicDataCreateArray() { return new DataArray<DynamicData>(); }
}  // namespace

template <>
DataObjectType* GetDoType<DynamicData>() {
  return Detail::SlotDo(Detail::S_DynamicData);
}
template class DataArray<DynamicData>;

namespace Detail {

Type* gSedgeSlots[S_Count];

// DynamicData: the abstract root; no properties, nothing to create.
constinit DataTypeInfo const gDynamicDataDesc =
    RootWithoutProperties(&gSedgeDynamicDataTypeInfo, nullptr, nullptr, &DynamicDataCreateArray);

namespace {

Type* const* SedgeCallback(int& count) {
  DataTypeInfo const* roots[S_Declared] = {&gDynamicDataDesc, &gMethodFaultDesc, &gRuntimeFaultDesc};
  for (int i = 0; i < S_Declared; ++i) gSedgeSlots[i] = CreateDataObjectType(roots[i]);
  for (int i = 0; i < kDeclaredTypeCount; ++i) gSedgeSlots[S_Declared + i] = CreateDataObjectType(&gDeclaredTypes[i]);
  TypeInfo const* prims[] = {&gStringTypeInfo,     &gBoolTypeInfo,         &gByteTypeInfo,  &gShortTypeInfo,
                             &gIntTypeInfo,        &gLongTypeInfo,         &gFloatTypeInfo, &gDoubleTypeInfo,
                             &gDateTimeTypeInfo,   &gBinaryTypeInfo,       &gAnyTypeInfo,   &gTypeNameTypeInfo,
                             &gMethodNameTypeInfo, &gPropertyPathTypeInfo, &gUriTypeInfo};
  for (int i = 0; i < S_ManagedObject - S_String; ++i) gSedgeSlots[S_String + i] = CreatePrimitiveType(prims[i]);
  gSedgeSlots[S_ManagedObject] = CreateManagedObjectType(&kManagedObjectDesc);
  count = S_Count;
  return gSedgeSlots;
}

Type* const* QueryCallback(int& count) { return BindSedgeQuery(count); }

Type* const* ReflectCallback(int& count) {
  gReflectSlots[0] = CreateManagedObjectType(&kDynamicTypeManagerDesc);
  gReflectSlots[1] = CreateManagedObjectType(&kManagedMethodExecuterDesc);
  count = 2;
  return gReflectSlots;
}

void BindRuntimeModules() {
  Registry& r = Registry::Get();
  int count = 0;
  r.AddVersions(&gSedgeVersions);
  SedgeCallback(count);
  r.AddVersions(&gSedgeQueryVersions);
  QueryCallback(count);
  r.AddVersions(&gSedgeReflectVersions);
  ReflectCallback(count);
}

std::once_flag gRuntimeOnce;

// Bind while libquill itself is being loaded, so the runtime's slots are
// filled before any dependent library's initialisers run.
[[maybe_unused]] bool const gBoundAtLoad = (EnsureRuntimeBound(), true);

}  // namespace

// --- errors ---------------------------------------------------------------------------

[[noreturn]] void ThrowInvalidArgument(std::string const& key, std::string const& text) {
  Basalt::Ref<Fault::InvalidArgument> fault(new Fault::InvalidArgument());
  auto* msg = new LocalizableMessage();
  msg->key = key;
  msg->message = text;
  fault->GetFaultMessage()->Append(msg);
  fault->ThrowInternal();
  Basalt::Panic("NOT_REACHED %s:%d\n", __FILE__, __LINE__);
}

[[noreturn]] void ThrowInvalidType(std::string const& typeName, std::string const& text) {
  Basalt::Ref<Fault::InvalidType> fault(new Fault::InvalidType());
  fault->argument = PropertyPath(typeName);
  auto* msg = new LocalizableMessage();
  msg->key = "quill.type.invalid";
  msg->message = typeName + ": " + text;
  fault->GetFaultMessage()->Append(msg);
  fault->ThrowInternal();
  Basalt::Panic("NOT_REACHED %s:%d\n", __FILE__, __LINE__);
}

}  // namespace Detail

// Every lookup passes here: a flag answers the common case without call_once's
// per-call bookkeeping.
namespace {
std::atomic<bool> gRuntimeBound{false};
}
void EnsureRuntimeBound() {
  if (gRuntimeBound.load(std::memory_order_acquire)) return;
  std::call_once(Detail::gRuntimeOnce, [] {
    Detail::BindRuntimeModules();
    gRuntimeBound.store(true, std::memory_order_release);
  });
}

// --- slot accessors of the runtime's types ------------------------------------------------

// One per row of the kinds table; the slots are named after the kinds.
#define QUILL_NO_TYPE_OF_KIND(kind, cpp, ...)     \
  template <>                                     \
  Type* GetNoType<cpp>() {                        \
    return Detail::gSedgeSlots[Detail::S_##kind]; \
  }
QUILL_SCALAR_KINDS(QUILL_NO_TYPE_OF_KIND)
#undef QUILL_NO_TYPE_OF_KIND
template <>
Type* GetNoType<Any>() {
  return Detail::gSedgeSlots[Detail::S_Any];
}
template <>
ManagedObjectType* GetMoType<ManagedObject>() {
  return static_cast<ManagedObjectType*>(Detail::gSedgeSlots[Detail::S_ManagedObject]);
}

}  // namespace Quill
