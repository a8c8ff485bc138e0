// The fault roots and the shared throwing and exception machinery.
// Written in the pattern of a generated fault class, on a field table.
#include "quill/MethodFault.h"

#include <cstddef>
#include <typeinfo>

#include "Internal.h"
#include "RuntimeSlots.h"
#include "basalt/Exception.h"
#include "quill/Array.h"
#include "quill/DataTypes.h"
#include "quill/FaultMessage.h"
#include "quill/Fields.h"
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

// Its two fields run on a field table, like every generated class.
namespace {
constexpr PropertyInfo kMethodFaultProps[] = {
    {&Quill::gSedgeMethodFaultTypeInfo, F_OPTIONAL, "faultCause", nullptr, kV1},
    {&gSedgeLocalizableMessageTypeInfo, F_ARRAY | F_OPTIONAL, "faultMessage", nullptr, kV1},
    {},
};
// The offsets of members of a class with virtual functions, which the language leaves to the
// compiler: single non-virtual inheritance gives fixed offsets here.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
Fields::Field const kMethodFaultFields[] = {
    {offsetof(MethodFault, faultCause), {Kind::Data, Fields::Holder::kObject}, &typeid(MethodFault), nullptr},
    {offsetof(MethodFault, faultMessage),
     {Kind::Data, Fields::Holder::kObjectArray},
     &typeid(DataArray<LocalizableMessage>),
     &Fields::NewArray<DataArray<LocalizableMessage>>},
};
#pragma GCC diagnostic pop
Fields::Layout const kMethodFaultLayout = {nullptr, kMethodFaultProps, kMethodFaultFields, 2};

void MethodFaultGet(DynamicData* o, std::uint32_t i, void* out) { Fields::GetProperty(kMethodFaultLayout, o, i, out); }
void* MethodFaultPtr(DynamicData* o, std::uint32_t i) { return Fields::GetPropertyPtr(kMethodFaultLayout, o, i); }
void MethodFaultSet(DynamicData* o, std::uint32_t i, void const* in) {
  Fields::SetProperty(kMethodFaultLayout, o, i, in);
}
void MethodFaultSwap(DynamicData* o, std::uint32_t i, void* var) {
  Fields::SwapProperty(kMethodFaultLayout, o, i, var);
}
bool MethodFaultIsSet(DynamicData const* o, std::uint32_t i) { return Fields::IsPropertySet(kMethodFaultLayout, o, i); }
void MethodFaultUnset(DynamicData* o, std::uint32_t i) { Fields::UnsetProperty(kMethodFaultLayout, o, i); }
DynamicData* MethodFaultCreate() { return new MethodFault(); }
DataArrayBase* MethodFaultCreateArray() { return new DataArray<MethodFault>(); }
}  // namespace

MethodFault::MethodFault() = default;
MethodFault::MethodFault(MethodFault const& other)
    : DynamicData(other), faultCause(CloneField(other.faultCause)), faultMessage(CloneField(other.faultMessage)) {}
MethodFault::~MethodFault() = default;
Type* MethodFault::_GetType() const { return GetDoType<MethodFault>(); }
DataObjectType* MethodFault::_GetDataType() const { return GetDoType<MethodFault>(); }
Any* MethodFault::_Clone() const { return new MethodFault(*this); }
// Derived faults call this first with the same `other`: its class check compares the
// most-derived classes, and so covers their own casts too.
bool MethodFault::_IsEqual(Any const* other, bool lenient) const {
  return Fields::IsEqual(&kMethodFaultLayout, this, other, lenient);
}
DataArray<LocalizableMessage>* MethodFault::GetFaultMessage() {
  return static_cast<DataArray<LocalizableMessage>*>(Fields::GetArray(kMethodFaultFields[1], this));
}

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

constinit DataTypeInfo const Detail::gRuntimeFaultDesc =
    Detail::RootWithoutProperties(&Quill::gSedgeRuntimeFaultTypeInfo, &Quill::gSedgeMethodFaultTypeInfo,
                                  &RuntimeFaultCreate, &RuntimeFaultCreateArray);
}  // namespace Quill
