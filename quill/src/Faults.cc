// The runtime's fault classes.
// Written in the pattern of a generated fault class.
#include "quill/Faults.h"

#include "RuntimeSlots.h"
#include "quill/Accessors.h"
#include "quill/Array.h"
#include "quill/Compare.h"
#include "quill/DataTypes.h"
#include "quill/Type.h"

namespace Quill {

namespace {
constexpr char kV1[] = "sedge.version.version1";
[[maybe_unused]] constexpr PropertyInfo kNoProperties[] = {{}};
}  // namespace

// --- InvalidArgument -------------------------------------------------------

template <>
DataObjectType* GetDoType<Fault::InvalidArgument>() {
  return Detail::SlotDo(Detail::S_InvalidArgument);
}
template class DataArray<Fault::InvalidArgument>;

namespace Fault {
InvalidArgument::InvalidArgument() = default;
InvalidArgument::InvalidArgument(InvalidArgument const& other)
    : RuntimeFault(other), invalidProperty(other.invalidProperty) {}
InvalidArgument::~InvalidArgument() = default;
Type* InvalidArgument::_GetType() const { return GetDoType<InvalidArgument>(); }
DataObjectType* InvalidArgument::_GetDataType() const { return GetDoType<InvalidArgument>(); }
Any* InvalidArgument::_Clone() const { return new InvalidArgument(*this); }
bool InvalidArgument::_IsEqual(Any const* other, bool lenient) const {
  if (!RuntimeFault::_IsEqual(other, lenient)) return false;
  auto const* o = static_cast<InvalidArgument const*>(other);
  return Cmp::EqOpt(invalidProperty, o->invalidProperty, lenient);
}
void InvalidArgument::ThrowInternal() { throw Exception(this); }
MethodFault::Exception* InvalidArgument::CreateException() { return new Exception(this); }
InvalidArgument::Exception::Exception(InvalidArgument* fault) : RuntimeFault::Exception(fault) {}
InvalidArgument::Exception::Exception(Exception const& other) = default;
InvalidArgument::Exception::~Exception() = default;
InvalidArgument::Exception* InvalidArgument::Exception::Clone() const { return new Exception(*this); }
void InvalidArgument::Exception::Throw() const { throw Exception(*this); }
}  // namespace Fault

namespace {
constexpr PropertyInfo kInvalidArgumentProps[] = {
    {&gPropertyPathTypeInfo, F_OPTIONAL, "invalidProperty", nullptr, kV1},
    {},
};
void InvalidArgumentGet(DynamicData* o, std::uint32_t i, void* out) {
  auto* self = static_cast<Fault::InvalidArgument*>(o);
  switch (i) {
    case 0:
      Access::Get(self->invalidProperty, out);
      break;
  }
}
void InvalidArgumentSet(DynamicData* o, std::uint32_t i, void const* in) {
  auto* self = static_cast<Fault::InvalidArgument*>(o);
  switch (i) {
    case 0:
      Access::Set(self->invalidProperty, in);
      break;
  }
}
void InvalidArgumentSwap(DynamicData* o, std::uint32_t i, void* var) {
  auto* self = static_cast<Fault::InvalidArgument*>(o);
  switch (i) {
    case 0:
      Access::Swap(self->invalidProperty, var);
      break;
  }
}
void* InvalidArgumentPtr(DynamicData* o, std::uint32_t i) {
  auto* self = static_cast<Fault::InvalidArgument*>(o);
  switch (i) {
    case 0:
      return Access::Ptr(self->invalidProperty);
  }
  return nullptr;
}
bool InvalidArgumentIsSet(DynamicData const* o, std::uint32_t i) {
  auto const* self = static_cast<Fault::InvalidArgument const*>(o);
  switch (i) {
    case 0:
      return Access::IsSet(self->invalidProperty);
  }
  return false;
}
void InvalidArgumentUnset(DynamicData* o, std::uint32_t i) {
  auto* self = static_cast<Fault::InvalidArgument*>(o);
  switch (i) {
    case 0:
      Access::Unset(self->invalidProperty);
      break;
  }
}
DynamicData* InvalidArgumentCreate() { return new Fault::InvalidArgument(); }
DataArrayBase* InvalidArgumentCreateArray() { return new DataArray<Fault::InvalidArgument>(); }
}  // namespace

DataTypeInfo const Detail::gInvalidArgumentDesc = {&gSedgeFaultInvalidArgumentTypeInfo,
                                                   &Quill::gSedgeRuntimeFaultTypeInfo,
                                                   kInvalidArgumentProps,
                                                   &InvalidArgumentGet,
                                                   &InvalidArgumentPtr,
                                                   &InvalidArgumentSet,
                                                   &InvalidArgumentSwap,
                                                   &InvalidArgumentIsSet,
                                                   &InvalidArgumentUnset,
                                                   &InvalidArgumentCreate,
                                                   &InvalidArgumentCreateArray,
                                                   0};
// --- NotSupported ----------------------------------------------------------

template <>
DataObjectType* GetDoType<Fault::NotSupported>() {
  return Detail::SlotDo(Detail::S_NotSupported);
}
template class DataArray<Fault::NotSupported>;

namespace Fault {
NotSupported::NotSupported() = default;
NotSupported::NotSupported(NotSupported const& other) : RuntimeFault(other) {}
NotSupported::~NotSupported() = default;
Type* NotSupported::_GetType() const { return GetDoType<NotSupported>(); }
DataObjectType* NotSupported::_GetDataType() const { return GetDoType<NotSupported>(); }
Any* NotSupported::_Clone() const { return new NotSupported(*this); }
bool NotSupported::_IsEqual(Any const* other, bool lenient) const { return RuntimeFault::_IsEqual(other, lenient); }
void NotSupported::ThrowInternal() { throw Exception(this); }
MethodFault::Exception* NotSupported::CreateException() { return new Exception(this); }
NotSupported::Exception::Exception(NotSupported* fault) : RuntimeFault::Exception(fault) {}
NotSupported::Exception::Exception(Exception const& other) = default;
NotSupported::Exception::~Exception() = default;
NotSupported::Exception* NotSupported::Exception::Clone() const { return new Exception(*this); }
void NotSupported::Exception::Throw() const { throw Exception(*this); }
}  // namespace Fault

namespace {
DynamicData* NotSupportedCreate() { return new Fault::NotSupported(); }
DataArrayBase* NotSupportedCreateArray() { return new DataArray<Fault::NotSupported>(); }
}  // namespace

DataTypeInfo const Detail::gNotSupportedDesc = {&gSedgeFaultNotSupportedTypeInfo,
                                                &Quill::gSedgeRuntimeFaultTypeInfo,
                                                kNoProperties,
                                                nullptr,
                                                nullptr,
                                                nullptr,
                                                nullptr,
                                                &Access::AlwaysSet,
                                                nullptr,
                                                &NotSupportedCreate,
                                                &NotSupportedCreateArray,
                                                0};
// --- SecurityError ---------------------------------------------------------

template <>
DataObjectType* GetDoType<Fault::SecurityError>() {
  return Detail::SlotDo(Detail::S_SecurityError);
}
template class DataArray<Fault::SecurityError>;

namespace Fault {
SecurityError::SecurityError() = default;
SecurityError::SecurityError(SecurityError const& other) : RuntimeFault(other) {}
SecurityError::~SecurityError() = default;
Type* SecurityError::_GetType() const { return GetDoType<SecurityError>(); }
DataObjectType* SecurityError::_GetDataType() const { return GetDoType<SecurityError>(); }
Any* SecurityError::_Clone() const { return new SecurityError(*this); }
bool SecurityError::_IsEqual(Any const* other, bool lenient) const { return RuntimeFault::_IsEqual(other, lenient); }
void SecurityError::ThrowInternal() { throw Exception(this); }
MethodFault::Exception* SecurityError::CreateException() { return new Exception(this); }
SecurityError::Exception::Exception(SecurityError* fault) : RuntimeFault::Exception(fault) {}
SecurityError::Exception::Exception(Exception const& other) = default;
SecurityError::Exception::~Exception() = default;
SecurityError::Exception* SecurityError::Exception::Clone() const { return new Exception(*this); }
void SecurityError::Exception::Throw() const { throw Exception(*this); }
}  // namespace Fault

namespace {
DynamicData* SecurityErrorCreate() { return new Fault::SecurityError(); }
DataArrayBase* SecurityErrorCreateArray() { return new DataArray<Fault::SecurityError>(); }
}  // namespace

DataTypeInfo const Detail::gSecurityErrorDesc = {&gSedgeFaultSecurityErrorTypeInfo,
                                                 &Quill::gSedgeRuntimeFaultTypeInfo,
                                                 kNoProperties,
                                                 nullptr,
                                                 nullptr,
                                                 nullptr,
                                                 nullptr,
                                                 &Access::AlwaysSet,
                                                 nullptr,
                                                 &SecurityErrorCreate,
                                                 &SecurityErrorCreateArray,
                                                 0};
// --- RequestCanceled -------------------------------------------------------

template <>
DataObjectType* GetDoType<Fault::RequestCanceled>() {
  return Detail::SlotDo(Detail::S_RequestCanceled);
}
template class DataArray<Fault::RequestCanceled>;

namespace Fault {
RequestCanceled::RequestCanceled() = default;
RequestCanceled::RequestCanceled(RequestCanceled const& other) : RuntimeFault(other) {}
RequestCanceled::~RequestCanceled() = default;
Type* RequestCanceled::_GetType() const { return GetDoType<RequestCanceled>(); }
DataObjectType* RequestCanceled::_GetDataType() const { return GetDoType<RequestCanceled>(); }
Any* RequestCanceled::_Clone() const { return new RequestCanceled(*this); }
bool RequestCanceled::_IsEqual(Any const* other, bool lenient) const { return RuntimeFault::_IsEqual(other, lenient); }
void RequestCanceled::ThrowInternal() { throw Exception(this); }
MethodFault::Exception* RequestCanceled::CreateException() { return new Exception(this); }
RequestCanceled::Exception::Exception(RequestCanceled* fault) : RuntimeFault::Exception(fault) {}
RequestCanceled::Exception::Exception(Exception const& other) = default;
RequestCanceled::Exception::~Exception() = default;
RequestCanceled::Exception* RequestCanceled::Exception::Clone() const { return new Exception(*this); }
void RequestCanceled::Exception::Throw() const { throw Exception(*this); }
}  // namespace Fault

namespace {
DynamicData* RequestCanceledCreate() { return new Fault::RequestCanceled(); }
DataArrayBase* RequestCanceledCreateArray() { return new DataArray<Fault::RequestCanceled>(); }
}  // namespace

DataTypeInfo const Detail::gRequestCanceledDesc = {&gSedgeFaultRequestCanceledTypeInfo,
                                                   &Quill::gSedgeRuntimeFaultTypeInfo,
                                                   kNoProperties,
                                                   nullptr,
                                                   nullptr,
                                                   nullptr,
                                                   nullptr,
                                                   &Access::AlwaysSet,
                                                   nullptr,
                                                   &RequestCanceledCreate,
                                                   &RequestCanceledCreateArray,
                                                   0};
// --- ManagedObjectNotFound -------------------------------------------------

template <>
DataObjectType* GetDoType<Fault::ManagedObjectNotFound>() {
  return Detail::SlotDo(Detail::S_ManagedObjectNotFound);
}
template class DataArray<Fault::ManagedObjectNotFound>;

namespace Fault {
ManagedObjectNotFound::ManagedObjectNotFound() = default;
ManagedObjectNotFound::ManagedObjectNotFound(ManagedObjectNotFound const& other)
    : RuntimeFault(other), obj(CloneField(other.obj)) {}
ManagedObjectNotFound::~ManagedObjectNotFound() = default;
Type* ManagedObjectNotFound::_GetType() const { return GetDoType<ManagedObjectNotFound>(); }
DataObjectType* ManagedObjectNotFound::_GetDataType() const { return GetDoType<ManagedObjectNotFound>(); }
Any* ManagedObjectNotFound::_Clone() const { return new ManagedObjectNotFound(*this); }
bool ManagedObjectNotFound::_IsEqual(Any const* other, bool lenient) const {
  if (!RuntimeFault::_IsEqual(other, lenient)) return false;
  auto const* o = static_cast<ManagedObjectNotFound const*>(other);
  return AreEqualAnysInt(obj.get(), o->obj.get(), 0, lenient);
}
void ManagedObjectNotFound::ThrowInternal() { throw Exception(this); }
MethodFault::Exception* ManagedObjectNotFound::CreateException() { return new Exception(this); }
ManagedObjectNotFound::Exception::Exception(ManagedObjectNotFound* fault) : RuntimeFault::Exception(fault) {}
ManagedObjectNotFound::Exception::Exception(Exception const& other) = default;
ManagedObjectNotFound::Exception::~Exception() = default;
ManagedObjectNotFound::Exception* ManagedObjectNotFound::Exception::Clone() const { return new Exception(*this); }
void ManagedObjectNotFound::Exception::Throw() const { throw Exception(*this); }
}  // namespace Fault

namespace {
constexpr PropertyInfo kManagedObjectNotFoundProps[] = {
    {&gSedgeManagedObjectTypeInfo, 0, "obj", nullptr, kV1},
    {},
};
void ManagedObjectNotFoundGet(DynamicData* o, std::uint32_t i, void* out) {
  auto* self = static_cast<Fault::ManagedObjectNotFound*>(o);
  switch (i) {
    case 0:
      Access::Get(self->obj, out);
      break;
  }
}
void ManagedObjectNotFoundSet(DynamicData* o, std::uint32_t i, void const* in) {
  auto* self = static_cast<Fault::ManagedObjectNotFound*>(o);
  switch (i) {
    case 0:
      Access::Set(self->obj, in);
      break;
  }
}
void ManagedObjectNotFoundSwap(DynamicData* o, std::uint32_t i, void* var) {
  auto* self = static_cast<Fault::ManagedObjectNotFound*>(o);
  switch (i) {
    case 0:
      Access::Swap(self->obj, var);
      break;
  }
}
void* ManagedObjectNotFoundPtr(DynamicData* o, std::uint32_t i) {
  auto* self = static_cast<Fault::ManagedObjectNotFound*>(o);
  switch (i) {
    case 0:
      return Access::Ptr(self->obj);
  }
  return nullptr;
}
bool ManagedObjectNotFoundIsSet(DynamicData const* o, std::uint32_t i) {
  auto const* self = static_cast<Fault::ManagedObjectNotFound const*>(o);
  switch (i) {
    case 0:
      return Access::IsSet(self->obj);
  }
  return false;
}
DynamicData* ManagedObjectNotFoundCreate() { return new Fault::ManagedObjectNotFound(); }
DataArrayBase* ManagedObjectNotFoundCreateArray() { return new DataArray<Fault::ManagedObjectNotFound>(); }
}  // namespace

DataTypeInfo const Detail::gManagedObjectNotFoundDesc = {&gSedgeFaultManagedObjectNotFoundTypeInfo,
                                                         &Quill::gSedgeRuntimeFaultTypeInfo,
                                                         kManagedObjectNotFoundProps,
                                                         &ManagedObjectNotFoundGet,
                                                         &ManagedObjectNotFoundPtr,
                                                         &ManagedObjectNotFoundSet,
                                                         &ManagedObjectNotFoundSwap,
                                                         &ManagedObjectNotFoundIsSet,
                                                         nullptr,
                                                         &ManagedObjectNotFoundCreate,
                                                         &ManagedObjectNotFoundCreateArray,
                                                         0};
// --- SystemError -----------------------------------------------------------

template <>
DataObjectType* GetDoType<Fault::SystemError>() {
  return Detail::SlotDo(Detail::S_SystemError);
}
template class DataArray<Fault::SystemError>;

namespace Fault {
SystemError::SystemError() = default;
SystemError::SystemError(SystemError const& other) : RuntimeFault(other), reason(other.reason) {}
SystemError::~SystemError() = default;
Type* SystemError::_GetType() const { return GetDoType<SystemError>(); }
DataObjectType* SystemError::_GetDataType() const { return GetDoType<SystemError>(); }
Any* SystemError::_Clone() const { return new SystemError(*this); }
bool SystemError::_IsEqual(Any const* other, bool lenient) const {
  if (!RuntimeFault::_IsEqual(other, lenient)) return false;
  auto const* o = static_cast<SystemError const*>(other);
  return Cmp::Eq(reason, o->reason);
}
void SystemError::ThrowInternal() { throw Exception(this); }
MethodFault::Exception* SystemError::CreateException() { return new Exception(this); }
SystemError::Exception::Exception(SystemError* fault) : RuntimeFault::Exception(fault) {}
SystemError::Exception::Exception(Exception const& other) = default;
SystemError::Exception::~Exception() = default;
SystemError::Exception* SystemError::Exception::Clone() const { return new Exception(*this); }
void SystemError::Exception::Throw() const { throw Exception(*this); }
}  // namespace Fault

namespace {
constexpr PropertyInfo kSystemErrorProps[] = {
    {&gStringTypeInfo, 0, "reason", nullptr, kV1},
    {},
};
void SystemErrorGet(DynamicData* o, std::uint32_t i, void* out) {
  auto* self = static_cast<Fault::SystemError*>(o);
  switch (i) {
    case 0:
      Access::Get(self->reason, out);
      break;
  }
}
void SystemErrorSet(DynamicData* o, std::uint32_t i, void const* in) {
  auto* self = static_cast<Fault::SystemError*>(o);
  switch (i) {
    case 0:
      Access::Set(self->reason, in);
      break;
  }
}
void SystemErrorSwap(DynamicData* o, std::uint32_t i, void* var) {
  auto* self = static_cast<Fault::SystemError*>(o);
  switch (i) {
    case 0:
      Access::Swap(self->reason, var);
      break;
  }
}
void* SystemErrorPtr(DynamicData* o, std::uint32_t i) {
  auto* self = static_cast<Fault::SystemError*>(o);
  switch (i) {
    case 0:
      return Access::Ptr(self->reason);
  }
  return nullptr;
}
bool SystemErrorIsSet(DynamicData const* o, std::uint32_t i) {
  auto const* self = static_cast<Fault::SystemError const*>(o);
  switch (i) {
    case 0:
      return Access::IsSet(self->reason);
  }
  return false;
}
DynamicData* SystemErrorCreate() { return new Fault::SystemError(); }
DataArrayBase* SystemErrorCreateArray() { return new DataArray<Fault::SystemError>(); }
}  // namespace

DataTypeInfo const Detail::gSystemErrorDesc = {&gSedgeFaultSystemErrorTypeInfo,
                                               &Quill::gSedgeRuntimeFaultTypeInfo,
                                               kSystemErrorProps,
                                               &SystemErrorGet,
                                               &SystemErrorPtr,
                                               &SystemErrorSet,
                                               &SystemErrorSwap,
                                               &SystemErrorIsSet,
                                               nullptr,
                                               &SystemErrorCreate,
                                               &SystemErrorCreateArray,
                                               0};
// --- InvalidRequest --------------------------------------------------------

template <>
DataObjectType* GetDoType<Fault::InvalidRequest>() {
  return Detail::SlotDo(Detail::S_InvalidRequest);
}
template class DataArray<Fault::InvalidRequest>;

namespace Fault {
InvalidRequest::InvalidRequest() = default;
InvalidRequest::InvalidRequest(InvalidRequest const& other) : RuntimeFault(other) {}
InvalidRequest::~InvalidRequest() = default;
Type* InvalidRequest::_GetType() const { return GetDoType<InvalidRequest>(); }
DataObjectType* InvalidRequest::_GetDataType() const { return GetDoType<InvalidRequest>(); }
Any* InvalidRequest::_Clone() const { return new InvalidRequest(*this); }
bool InvalidRequest::_IsEqual(Any const* other, bool lenient) const { return RuntimeFault::_IsEqual(other, lenient); }
void InvalidRequest::ThrowInternal() { throw Exception(this); }
MethodFault::Exception* InvalidRequest::CreateException() { return new Exception(this); }
InvalidRequest::Exception::Exception(InvalidRequest* fault) : RuntimeFault::Exception(fault) {}
InvalidRequest::Exception::Exception(Exception const& other) = default;
InvalidRequest::Exception::~Exception() = default;
InvalidRequest::Exception* InvalidRequest::Exception::Clone() const { return new Exception(*this); }
void InvalidRequest::Exception::Throw() const { throw Exception(*this); }
}  // namespace Fault

namespace {
DynamicData* InvalidRequestCreate() { return new Fault::InvalidRequest(); }
DataArrayBase* InvalidRequestCreateArray() { return new DataArray<Fault::InvalidRequest>(); }
}  // namespace

DataTypeInfo const Detail::gInvalidRequestDesc = {&gSedgeFaultInvalidRequestTypeInfo,
                                                  &Quill::gSedgeRuntimeFaultTypeInfo,
                                                  kNoProperties,
                                                  nullptr,
                                                  nullptr,
                                                  nullptr,
                                                  nullptr,
                                                  &Access::AlwaysSet,
                                                  nullptr,
                                                  &InvalidRequestCreate,
                                                  &InvalidRequestCreateArray,
                                                  0};
// --- InvalidType -----------------------------------------------------------

template <>
DataObjectType* GetDoType<Fault::InvalidType>() {
  return Detail::SlotDo(Detail::S_InvalidType);
}
template class DataArray<Fault::InvalidType>;

namespace Fault {
InvalidType::InvalidType() = default;
InvalidType::InvalidType(InvalidType const& other) : InvalidRequest(other), argument(other.argument) {}
InvalidType::~InvalidType() = default;
Type* InvalidType::_GetType() const { return GetDoType<InvalidType>(); }
DataObjectType* InvalidType::_GetDataType() const { return GetDoType<InvalidType>(); }
Any* InvalidType::_Clone() const { return new InvalidType(*this); }
bool InvalidType::_IsEqual(Any const* other, bool lenient) const {
  if (!InvalidRequest::_IsEqual(other, lenient)) return false;
  auto const* o = static_cast<InvalidType const*>(other);
  return Cmp::EqOpt(argument, o->argument, lenient);
}
void InvalidType::ThrowInternal() { throw Exception(this); }
MethodFault::Exception* InvalidType::CreateException() { return new Exception(this); }
InvalidType::Exception::Exception(InvalidType* fault) : InvalidRequest::Exception(fault) {}
InvalidType::Exception::Exception(Exception const& other) = default;
InvalidType::Exception::~Exception() = default;
InvalidType::Exception* InvalidType::Exception::Clone() const { return new Exception(*this); }
void InvalidType::Exception::Throw() const { throw Exception(*this); }
}  // namespace Fault

namespace {
constexpr PropertyInfo kInvalidTypeProps[] = {
    {&gPropertyPathTypeInfo, F_OPTIONAL, "argument", nullptr, kV1},
    {},
};
void InvalidTypeGet(DynamicData* o, std::uint32_t i, void* out) {
  auto* self = static_cast<Fault::InvalidType*>(o);
  switch (i) {
    case 0:
      Access::Get(self->argument, out);
      break;
  }
}
void InvalidTypeSet(DynamicData* o, std::uint32_t i, void const* in) {
  auto* self = static_cast<Fault::InvalidType*>(o);
  switch (i) {
    case 0:
      Access::Set(self->argument, in);
      break;
  }
}
void InvalidTypeSwap(DynamicData* o, std::uint32_t i, void* var) {
  auto* self = static_cast<Fault::InvalidType*>(o);
  switch (i) {
    case 0:
      Access::Swap(self->argument, var);
      break;
  }
}
void* InvalidTypePtr(DynamicData* o, std::uint32_t i) {
  auto* self = static_cast<Fault::InvalidType*>(o);
  switch (i) {
    case 0:
      return Access::Ptr(self->argument);
  }
  return nullptr;
}
bool InvalidTypeIsSet(DynamicData const* o, std::uint32_t i) {
  auto const* self = static_cast<Fault::InvalidType const*>(o);
  switch (i) {
    case 0:
      return Access::IsSet(self->argument);
  }
  return false;
}
void InvalidTypeUnset(DynamicData* o, std::uint32_t i) {
  auto* self = static_cast<Fault::InvalidType*>(o);
  switch (i) {
    case 0:
      Access::Unset(self->argument);
      break;
  }
}
DynamicData* InvalidTypeCreate() { return new Fault::InvalidType(); }
DataArrayBase* InvalidTypeCreateArray() { return new DataArray<Fault::InvalidType>(); }
}  // namespace

DataTypeInfo const Detail::gInvalidTypeDesc = {&gSedgeFaultInvalidTypeTypeInfo,
                                               &gSedgeFaultInvalidRequestTypeInfo,
                                               kInvalidTypeProps,
                                               &InvalidTypeGet,
                                               &InvalidTypePtr,
                                               &InvalidTypeSet,
                                               &InvalidTypeSwap,
                                               &InvalidTypeIsSet,
                                               &InvalidTypeUnset,
                                               &InvalidTypeCreate,
                                               &InvalidTypeCreateArray,
                                               0};
}  // namespace Quill
