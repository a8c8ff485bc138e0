// The fault roots and the shared throwing and exception machinery.
// Written in the pattern of a generated fault class.
#include "quill/MethodFault.h"

#include "Internal.h"
#include "RuntimeSlots.h"
#include "basalt/Exception.h"
#include "quill/Accessors.h"
#include "quill/Array.h"
#include "quill/Compare.h"
#include "quill/DataTypes.h"
#include "quill/FaultMessage.h"
#include "quill/Type.h"

namespace Quill {

void AppendFaultMessage(MethodFault* fault, std::string key, std::string text) {
  if (!fault) Detail::ThrowBadArgument("fault", "quill.fault.null", "AppendFaultMessage: the fault is null");
  Basalt::Ref<LocalizableMessage> msg(new LocalizableMessage());
  msg->key = std::move(key);
  msg->message = std::move(text);
  fault->GetFaultMessage()->Append(msg.get());
}

namespace {
constexpr char kV1[] = "sedge.version.version1";
[[maybe_unused]] constexpr PropertyInfo kNoProperties[] = {{}};
}  // namespace

// --- MethodFault::Exception and the shared Throw --------------------------------

namespace {
std::string FaultTypeName(MethodFault const* fault) {
  Type const* t = fault ? fault->_GetType() : nullptr;
  return t ? t->GetName() : (fault ? Basalt::Demangle(typeid(*fault)) : std::string("(null)"));
}
}  // namespace

MethodFault::Exception::Exception(MethodFault* fault)
    : Basalt::Exception(Basalt::Detail::ASPrintInternal("Fault cause: %1\n", {FaultTypeName(fault)})), _fault(fault) {}
MethodFault::Exception::Exception(Exception const& other) = default;
MethodFault::Exception::~Exception() = default;
MethodFault::Exception* MethodFault::Exception::Clone() const { return new Exception(*this); }
void MethodFault::Exception::Throw() const { throw Exception(*this); }

void MethodFault::ThrowInternal() { throw Exception(this); }
void MethodFault::Throw() {
  ThrowInternal();
  Basalt::Panic("NOT_REACHED %s:%d\n", "quill/MethodFault", 165);
}
MethodFault::Exception* MethodFault::CreateException() { return new Exception(this); }

// --- MethodFault -----------------------------------------------------------

template <>
DataObjectType* GetDoType<MethodFault>() {
  return Detail::SlotDo(Detail::S_MethodFault);
}
template class DataArray<MethodFault>;

MethodFault::MethodFault() = default;
MethodFault::MethodFault(MethodFault const& other)
    : DynamicData(other), faultCause(CloneField(other.faultCause)), faultMessage(CloneField(other.faultMessage)) {}
MethodFault::~MethodFault() = default;
Type* MethodFault::_GetType() const { return GetDoType<MethodFault>(); }
DataObjectType* MethodFault::_GetDataType() const { return GetDoType<MethodFault>(); }
Any* MethodFault::_Clone() const { return new MethodFault(*this); }
bool MethodFault::_IsEqual(Any const* other, bool lenient) const {
  // Derived faults call this first with the same `other`: the check covers
  // their own casts too (typeid compares the most-derived classes).
  if (!Detail::SameClass(this, other)) return false;
  auto const* o = static_cast<MethodFault const*>(other);
  return AreEqualAnysInt(faultCause.get(), o->faultCause.get(), 2, lenient) &&
         AreEqualAnysInt(faultMessage.get(), o->faultMessage.get(), 3, lenient);
}
DataArray<LocalizableMessage>* MethodFault::GetFaultMessage() {
  return Basalt::GetOrCreate(faultMessage, [] { return new DataArray<LocalizableMessage>(); });
}

namespace {
constexpr PropertyInfo kMethodFaultProps[] = {
    {&Quill::gSedgeMethodFaultTypeInfo, F_OPTIONAL, "faultCause", nullptr, kV1},
    {&gSedgeLocalizableMessageTypeInfo, F_ARRAY | F_OPTIONAL, "faultMessage", nullptr, kV1},
    {},
};
void MethodFaultGet(DynamicData* o, std::uint32_t i, void* out) {
  auto* self = static_cast<MethodFault*>(o);
  switch (i) {
    case 0:
      Access::Get(self->faultCause, out);
      break;
    case 1:
      Access::Get(self->GetFaultMessage(), out);
      break;
  }
}
void MethodFaultSet(DynamicData* o, std::uint32_t i, void const* in) {
  auto* self = static_cast<MethodFault*>(o);
  switch (i) {
    case 0:
      Access::Set(self->faultCause, in);
      break;
    case 1:
      Access::Set(self->faultMessage, in);
      break;
  }
}
void MethodFaultSwap(DynamicData* o, std::uint32_t i, void* var) {
  auto* self = static_cast<MethodFault*>(o);
  switch (i) {
    case 0:
      Access::Swap(self->faultCause, var);
      break;
    case 1:
      Access::Swap(self->faultMessage, var);
      break;
  }
}
void* MethodFaultPtr(DynamicData* o, std::uint32_t i) {
  auto* self = static_cast<MethodFault*>(o);
  switch (i) {
    case 0:
      return Access::Ptr(self->faultCause);
    case 1:
      return Access::Ptr(self->faultMessage);
  }
  return nullptr;
}
bool MethodFaultIsSet(DynamicData const* o, std::uint32_t i) {
  auto const* self = static_cast<MethodFault const*>(o);
  switch (i) {
    case 0:
      return Access::IsSet(self->faultCause);
    case 1:
      return Access::IsSet(self->faultMessage);
  }
  return false;
}
void MethodFaultUnset(DynamicData* o, std::uint32_t i) {
  auto* self = static_cast<MethodFault*>(o);
  switch (i) {
    case 0:
      Access::Unset(self->faultCause);
      break;
    case 1:
      Access::Unset(self->faultMessage);
      break;
  }
}
DynamicData* MethodFaultCreate() { return new MethodFault(); }
DataArrayBase* MethodFaultCreateArray() { return new DataArray<MethodFault>(); }
}  // namespace

DataTypeInfo const Detail::gMethodFaultDesc = {&Quill::gSedgeMethodFaultTypeInfo,
                                               &gSedgeDynamicDataTypeInfo,
                                               kMethodFaultProps,
                                               &MethodFaultGet,
                                               &MethodFaultPtr,
                                               &MethodFaultSet,
                                               &MethodFaultSwap,
                                               &MethodFaultIsSet,
                                               &MethodFaultUnset,
                                               &MethodFaultCreate,
                                               &MethodFaultCreateArray,
                                               0};
// --- RuntimeFault ----------------------------------------------------------

template <>
DataObjectType* GetDoType<RuntimeFault>() {
  return Detail::SlotDo(Detail::S_RuntimeFault);
}
template class DataArray<RuntimeFault>;

RuntimeFault::RuntimeFault() = default;
RuntimeFault::RuntimeFault(RuntimeFault const& other) : MethodFault(other) {}
RuntimeFault::~RuntimeFault() = default;
Type* RuntimeFault::_GetType() const { return GetDoType<RuntimeFault>(); }
DataObjectType* RuntimeFault::_GetDataType() const { return GetDoType<RuntimeFault>(); }
Any* RuntimeFault::_Clone() const { return new RuntimeFault(*this); }
bool RuntimeFault::_IsEqual(Any const* other, bool lenient) const { return MethodFault::_IsEqual(other, lenient); }
void RuntimeFault::ThrowInternal() { throw Exception(this); }
MethodFault::Exception* RuntimeFault::CreateException() { return new Exception(this); }
RuntimeFault::Exception::Exception(RuntimeFault* fault) : MethodFault::Exception(fault) {}
RuntimeFault::Exception::Exception(Exception const& other) = default;
RuntimeFault::Exception::~Exception() = default;
RuntimeFault::Exception* RuntimeFault::Exception::Clone() const { return new Exception(*this); }
void RuntimeFault::Exception::Throw() const { throw Exception(*this); }

namespace {
DynamicData* RuntimeFaultCreate() { return new RuntimeFault(); }
DataArrayBase* RuntimeFaultCreateArray() { return new DataArray<RuntimeFault>(); }
}  // namespace

DataTypeInfo const Detail::gRuntimeFaultDesc = {&Quill::gSedgeRuntimeFaultTypeInfo,
                                                &Quill::gSedgeMethodFaultTypeInfo,
                                                kNoProperties,
                                                nullptr,
                                                nullptr,
                                                nullptr,
                                                nullptr,
                                                &Access::AlwaysSet,
                                                nullptr,
                                                &RuntimeFaultCreate,
                                                &RuntimeFaultCreateArray,
                                                0};
}  // namespace Quill
