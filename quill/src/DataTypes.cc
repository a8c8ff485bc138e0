// The runtime's data classes and their descriptors, written the way a
// generated data class is.
#include "quill/DataTypes.h"

#include "Internal.h"
#include "RuntimeSlots.h"
#include "quill/Accessors.h"
#include "quill/Array.h"
#include "quill/Compare.h"
#include "quill/Registry.h"
#include "quill/Type.h"

namespace Quill {

// Path components, shared by every class with a property of that name.
namespace {
char const kKey[] = ".key";
char const kValue[] = ".value";
char const kArg[] = ".arg";
char const kMessage[] = ".message";
char const kName[] = ".name";
char const kVal[] = ".val";
}  // namespace

template <>
DataObjectType* GetDoType<KeyAnyValue>() {
  return Detail::SlotDo(Detail::S_KeyAnyValue);
}
template <>
DataObjectType* GetDoType<LocalizableMessage>() {
  return Detail::SlotDo(Detail::S_LocalizableMessage);
}
template <>
DataObjectType* GetDoType<DynamicProperty>() {
  return Detail::SlotDo(Detail::S_DynamicProperty);
}
template <>
DataObjectType* GetDoType<DynamicData>() {
  return Detail::SlotDo(Detail::S_DynamicData);
}

template class DataArray<KeyAnyValue>;
template class DataArray<LocalizableMessage>;
template class DataArray<DynamicProperty>;

// --- KeyAnyValue -------------------------------------------------------------------

KeyAnyValue::KeyAnyValue() = default;
KeyAnyValue::KeyAnyValue(KeyAnyValue const& other)
    : DynamicData(other), key(other.key), value(CloneField(other.value)) {}
KeyAnyValue::~KeyAnyValue() = default;

Type* KeyAnyValue::_GetType() const { return GetDoType<KeyAnyValue>(); }
DataObjectType* KeyAnyValue::_GetDataType() const { return GetDoType<KeyAnyValue>(); }
Any* KeyAnyValue::_Clone() const { return new KeyAnyValue(*this); }

bool KeyAnyValue::_IsEqual(Any const* other, bool lenient) const {
  if (!Detail::SameClass(this, other)) return false;
  auto const* o = static_cast<KeyAnyValue const*>(other);
  return Cmp::Eq(key, o->key) && AreEqualAnysInt(value.get(), o->value.get(), 0, lenient);
}
void KeyAnyValue::_DiffProperties(Any const* other, std::string const& prefix, PropertyDiffSet& diffs) const {
  if (!Detail::SameClass(this, other)) {
    diffs.Append(prefix);
    return;
  }
  auto const* o = static_cast<KeyAnyValue const*>(other);
  Cmp::Diff(key, o->key, prefix, kKey, diffs);
  DiffAnyPropertiesInt(value.get(), o->value.get(), prefix, kValue, 0, diffs);
}

// --- LocalizableMessage ---------------------------------------------------------------

LocalizableMessage::LocalizableMessage() = default;
LocalizableMessage::LocalizableMessage(LocalizableMessage const& other)
    : DynamicData(other), key(other.key), arg(CloneField(other.arg)), message(other.message) {}
LocalizableMessage::~LocalizableMessage() = default;

Type* LocalizableMessage::_GetType() const { return GetDoType<LocalizableMessage>(); }
DataObjectType* LocalizableMessage::_GetDataType() const { return GetDoType<LocalizableMessage>(); }
Any* LocalizableMessage::_Clone() const { return new LocalizableMessage(*this); }

bool LocalizableMessage::_IsEqual(Any const* other, bool lenient) const {
  if (!Detail::SameClass(this, other)) return false;
  auto const* o = static_cast<LocalizableMessage const*>(other);
  return Cmp::Eq(key, o->key) && AreEqualAnysInt(arg.get(), o->arg.get(), 3, lenient) &&
         Cmp::EqOpt(message, o->message, lenient);
}
void LocalizableMessage::_DiffProperties(Any const* other, std::string const& prefix, PropertyDiffSet& diffs) const {
  if (!Detail::SameClass(this, other)) {
    diffs.Append(prefix);
    return;
  }
  auto const* o = static_cast<LocalizableMessage const*>(other);
  Cmp::Diff(key, o->key, prefix, kKey, diffs);
  DiffAnyPropertiesInt(arg.get(), o->arg.get(), prefix, kArg, 3, diffs);
  Cmp::Diff(message, o->message, prefix, kMessage, diffs);
}

DataArray<KeyAnyValue>* LocalizableMessage::GetArg() {
  return Basalt::GetOrCreate(arg, [] { return new DataArray<KeyAnyValue>(); });
}

// --- DynamicProperty -------------------------------------------------------------------

DynamicProperty::DynamicProperty() = default;
DynamicProperty::DynamicProperty(DynamicProperty const& other)
    : DynamicData(other), name(other.name), val(CloneField(other.val)) {}
DynamicProperty::~DynamicProperty() = default;

Type* DynamicProperty::_GetType() const { return GetDoType<DynamicProperty>(); }
DataObjectType* DynamicProperty::_GetDataType() const { return GetDoType<DynamicProperty>(); }
Any* DynamicProperty::_Clone() const { return new DynamicProperty(*this); }

bool DynamicProperty::_IsEqual(Any const* other, bool lenient) const {
  if (!Detail::SameClass(this, other)) return false;
  auto const* o = static_cast<DynamicProperty const*>(other);
  return Cmp::Eq(name, o->name) && AreEqualAnysInt(val.get(), o->val.get(), 0, lenient);
}
void DynamicProperty::_DiffProperties(Any const* other, std::string const& prefix, PropertyDiffSet& diffs) const {
  if (!Detail::SameClass(this, other)) {
    diffs.Append(prefix);
    return;
  }
  auto const* o = static_cast<DynamicProperty const*>(other);
  Cmp::Diff(name, o->name, prefix, kName, diffs);
  DiffAnyPropertiesInt(val.get(), o->val.get(), prefix, kVal, 0, diffs);
}

// --- descriptors -------------------------------------------------------------------------

namespace {

constexpr char kV0[] = "sedge.version.version0";
constexpr char kV1[] = "sedge.version.version1";
constexpr PropertyInfo kNoProperties[] = {{}};

// KeyAnyValue
constexpr PropertyInfo kKeyAnyValueProps[] = {
    {&gStringTypeInfo, 0, "key", nullptr, kV1},
    {&gAnyTypeInfo, 0, "value", nullptr, kV1},
    {},
};
void KeyAnyValueGet(DynamicData* o, std::uint32_t i, void* out) {
  auto* self = static_cast<KeyAnyValue*>(o);
  switch (i) {
    case 0:
      Access::Get(self->key, out);
      break;
    case 1:
      Access::Get(self->value, out);
      break;
  }
}
void* KeyAnyValuePtr(DynamicData* o, std::uint32_t i) {
  auto* self = static_cast<KeyAnyValue*>(o);
  switch (i) {
    case 0:
      return Access::Ptr(self->key);
    default:
      return Access::Ptr(self->value);
  }
}
void KeyAnyValueSet(DynamicData* o, std::uint32_t i, void const* in) {
  auto* self = static_cast<KeyAnyValue*>(o);
  switch (i) {
    case 0:
      Access::Set(self->key, in);
      break;
    case 1:
      Access::Set(self->value, in);
      break;
  }
}
void KeyAnyValueSwap(DynamicData* o, std::uint32_t i, void* var) {
  auto* self = static_cast<KeyAnyValue*>(o);
  switch (i) {
    case 0:
      Access::Swap(self->key, var);
      break;
    case 1:
      Access::Swap(self->value, var);
      break;
  }
}
bool KeyAnyValueIsSet(DynamicData const* o, std::uint32_t i) {
  auto const* self = static_cast<KeyAnyValue const*>(o);
  switch (i) {
    case 0:
      return Access::IsSet(self->key);
    default:
      return Access::IsSet(self->value);
  }
}
DynamicData* KeyAnyValueCreate() { return new KeyAnyValue(); }
DataArrayBase* KeyAnyValueCreateArray() { return new DataArray<KeyAnyValue>(); }

// LocalizableMessage
constexpr PropertyInfo kLocalizableMessageProps[] = {
    {&gStringTypeInfo, 0, "key", nullptr, kV1},
    {&gSedgeKeyAnyValueTypeInfo, F_ARRAY | F_OPTIONAL, "arg", nullptr, kV1},
    {&gStringTypeInfo, F_OPTIONAL, "message", nullptr, kV1},
    {},
};
void LocalizableMessageGet(DynamicData* o, std::uint32_t i, void* out) {
  auto* self = static_cast<LocalizableMessage*>(o);
  switch (i) {
    case 0:
      Access::Get(self->key, out);
      break;
    case 1:
      Access::Get(self->GetArg(), out);
      break;
    case 2:
      Access::Get(self->message, out);
      break;
  }
}
void* LocalizableMessagePtr(DynamicData* o, std::uint32_t i) {
  auto* self = static_cast<LocalizableMessage*>(o);
  switch (i) {
    case 0:
      return Access::Ptr(self->key);
    case 1:
      return Access::Ptr(self->arg);
    default:
      return Access::Ptr(self->message);
  }
}
void LocalizableMessageSet(DynamicData* o, std::uint32_t i, void const* in) {
  auto* self = static_cast<LocalizableMessage*>(o);
  switch (i) {
    case 0:
      Access::Set(self->key, in);
      break;
    case 1:
      Access::Set(self->arg, in);
      break;
    case 2:
      Access::Set(self->message, in);
      break;
  }
}
void LocalizableMessageSwap(DynamicData* o, std::uint32_t i, void* var) {
  auto* self = static_cast<LocalizableMessage*>(o);
  switch (i) {
    case 0:
      Access::Swap(self->key, var);
      break;
    case 1:
      Access::Swap(self->arg, var);
      break;
    case 2:
      Access::Swap(self->message, var);
      break;
  }
}
bool LocalizableMessageIsSet(DynamicData const* o, std::uint32_t i) {
  auto const* self = static_cast<LocalizableMessage const*>(o);
  switch (i) {
    case 0:
      return Access::IsSet(self->key);
    case 1:
      return Access::IsSet(self->arg);
    default:
      return Access::IsSet(self->message);
  }
}
void LocalizableMessageUnset(DynamicData* o, std::uint32_t i) {
  auto* self = static_cast<LocalizableMessage*>(o);
  switch (i) {
    case 1:
      Access::Unset(self->arg);
      break;
    case 2:
      Access::Unset(self->message);
      break;
  }
}
DynamicData* LocalizableMessageCreate() { return new LocalizableMessage(); }
DataArrayBase* LocalizableMessageCreateArray() { return new DataArray<LocalizableMessage>(); }

// DynamicProperty
constexpr PropertyInfo kDynamicPropertyProps[] = {
    {&gStringTypeInfo, 0, "name", nullptr, kV0},
    {&gAnyTypeInfo, 0, "val", nullptr, kV0},
    {},
};
void DynamicPropertyGet(DynamicData* o, std::uint32_t i, void* out) {
  auto* self = static_cast<DynamicProperty*>(o);
  switch (i) {
    case 0:
      Access::Get(self->name, out);
      break;
    case 1:
      Access::Get(self->val, out);
      break;
  }
}
void* DynamicPropertyPtr(DynamicData* o, std::uint32_t i) {
  auto* self = static_cast<DynamicProperty*>(o);
  switch (i) {
    case 0:
      return Access::Ptr(self->name);
    default:
      return Access::Ptr(self->val);
  }
}
void DynamicPropertySet(DynamicData* o, std::uint32_t i, void const* in) {
  auto* self = static_cast<DynamicProperty*>(o);
  switch (i) {
    case 0:
      Access::Set(self->name, in);
      break;
    case 1:
      Access::Set(self->val, in);
      break;
  }
}
void DynamicPropertySwap(DynamicData* o, std::uint32_t i, void* var) {
  auto* self = static_cast<DynamicProperty*>(o);
  switch (i) {
    case 0:
      Access::Swap(self->name, var);
      break;
    case 1:
      Access::Swap(self->val, var);
      break;
  }
}
bool DynamicPropertyIsSet(DynamicData const* o, std::uint32_t i) {
  auto const* self = static_cast<DynamicProperty const*>(o);
  switch (i) {
    case 0:
      return Access::IsSet(self->name);
    default:
      return Access::IsSet(self->val);
  }
}
DynamicData* DynamicPropertyCreate() { return new DynamicProperty(); }
DataArrayBase* DynamicPropertyCreateArray() { return new DataArray<DynamicProperty>(); }

// DynamicData: the abstract root; no properties, nothing to create.
DataArrayBase* DynamicDataCreateArray() { return new DataArray<DynamicData>(); }

}  // namespace

template class DataArray<DynamicData>;

namespace Detail {
DataTypeInfo const gDynamicDataDesc = {&gSedgeDynamicDataTypeInfo,
                                       nullptr,
                                       kNoProperties,
                                       nullptr,
                                       nullptr,
                                       nullptr,
                                       nullptr,
                                       &Access::AlwaysSet,
                                       nullptr,
                                       nullptr,
                                       &DynamicDataCreateArray,
                                       0};
DataTypeInfo const gKeyAnyValueDesc = {&gSedgeKeyAnyValueTypeInfo,
                                       &gSedgeDynamicDataTypeInfo,
                                       kKeyAnyValueProps,
                                       &KeyAnyValueGet,
                                       &KeyAnyValuePtr,
                                       &KeyAnyValueSet,
                                       &KeyAnyValueSwap,
                                       &KeyAnyValueIsSet,
                                       nullptr,
                                       &KeyAnyValueCreate,
                                       &KeyAnyValueCreateArray,
                                       0};
DataTypeInfo const gLocalizableMessageDesc = {&gSedgeLocalizableMessageTypeInfo,
                                              &gSedgeDynamicDataTypeInfo,
                                              kLocalizableMessageProps,
                                              &LocalizableMessageGet,
                                              &LocalizableMessagePtr,
                                              &LocalizableMessageSet,
                                              &LocalizableMessageSwap,
                                              &LocalizableMessageIsSet,
                                              &LocalizableMessageUnset,
                                              &LocalizableMessageCreate,
                                              &LocalizableMessageCreateArray,
                                              0};
DataTypeInfo const gDynamicPropertyDesc = {&gSedgeDynamicPropertyTypeInfo,
                                           &gSedgeDynamicDataTypeInfo,
                                           kDynamicPropertyProps,
                                           &DynamicPropertyGet,
                                           &DynamicPropertyPtr,
                                           &DynamicPropertySet,
                                           &DynamicPropertySwap,
                                           &DynamicPropertyIsSet,
                                           nullptr,
                                           &DynamicPropertyCreate,
                                           &DynamicPropertyCreateArray,
                                           0};
}  // namespace Detail

}  // namespace Quill
