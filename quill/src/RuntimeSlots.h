// Slot arrays and descriptors of the runtime's own modules.
#pragma once

#include "quill/Type.h"
#include "quill/TypeInfo.h"

namespace Quill::Detail {

// Module "sedge": data and fault types in creation order, then the primitive
// types, then the managed root.
enum SedgeSlot : int {
  S_DynamicData,
  S_KeyAnyValue,
  S_LocalizableMessage,
  S_DynamicProperty,
  S_MethodFault,
  S_RuntimeFault,
  S_InvalidArgument,
  S_NotSupported,
  S_SecurityError,
  S_RequestCanceled,
  S_ManagedObjectNotFound,
  S_SystemError,
  S_InvalidRequest,
  S_InvalidType,
  S_DataEnd,
  S_String = S_DataEnd,
  S_Bool,
  S_Byte,
  S_Short,
  S_Int,
  S_Long,
  S_Float,
  S_Double,
  S_DateTime,
  S_Binary,
  S_Any,
  S_TypeName,
  S_MethodName,
  S_PropertyPath,
  S_Uri,
  S_ManagedObject,
  S_Count
};
extern Type* gSedgeSlots[S_Count];

// Data descriptors, each defined beside its class.
extern DataTypeInfo const gDynamicDataDesc;
extern DataTypeInfo const gKeyAnyValueDesc;
extern DataTypeInfo const gLocalizableMessageDesc;
extern DataTypeInfo const gDynamicPropertyDesc;
extern DataTypeInfo const gMethodFaultDesc;
extern DataTypeInfo const gRuntimeFaultDesc;
extern DataTypeInfo const gInvalidArgumentDesc;
extern DataTypeInfo const gNotSupportedDesc;
extern DataTypeInfo const gSecurityErrorDesc;
extern DataTypeInfo const gRequestCanceledDesc;
extern DataTypeInfo const gManagedObjectNotFoundDesc;
extern DataTypeInfo const gSystemErrorDesc;
extern DataTypeInfo const gInvalidRequestDesc;
extern DataTypeInfo const gInvalidTypeDesc;

// A type object for a primitive or the "any" type.
Type* CreatePrimitiveType(TypeInfo const* info);

inline DataObjectType* SlotDo(int i) { return static_cast<DataObjectType*>(gSedgeSlots[i]); }

}  // namespace Quill::Detail
