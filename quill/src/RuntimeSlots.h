// Slot arrays and descriptors of the runtime's own modules.
#pragma once

#include "RuntimeTypes.h"
#include "quill/Accessors.h"
#include "quill/Type.h"
#include "quill/TypeInfo.h"

namespace Quill::Detail {

// Module "sedge": the roots of data and faults, then the types declared in
// quill/sedge/ (generated, in their files' order), then the primitive types,
// then the managed root.
enum SedgeSlot : int {
  S_DynamicData,
  S_MethodFault,
  S_RuntimeFault,
  S_Declared,
  S_DataEnd = S_Declared + kDeclaredTypeCount,
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

// The descriptor of a root without own properties (DynamicData, RuntimeFault):
// nothing to get or set, every property of an instance reads as set.
inline constexpr PropertyInfo kNoOwnProperties[1] = {};
constexpr DataTypeInfo RootWithoutProperties(TypeInfo const* type, TypeInfo const* base, CreateFn create,
                                             CreateArrayFn createArray) {
  return {type,    base,   kNoOwnProperties, nullptr, nullptr, nullptr, nullptr, &Access::AlwaysSet,
          nullptr, create, createArray,      0};
}

// Descriptors of the roots, defined beside their classes; the declared types'
// are in RuntimeTypes.h.
extern DataTypeInfo const gDynamicDataDesc;
extern DataTypeInfo const gMethodFaultDesc;
extern DataTypeInfo const gRuntimeFaultDesc;

// A type object for a primitive or the "any" type.
Type* CreatePrimitiveType(TypeInfo const* info);

inline DataObjectType* SlotDo(int i) { return static_cast<DataObjectType*>(gSedgeSlots[i]); }

}  // namespace Quill::Detail
