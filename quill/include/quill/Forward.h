// Forward declarations of the runtime's classes, for headers that only name
// them (generated class headers include this instead of the definitions).
#pragma once

#include <string>

// libquill exports everything it defines; its generated classes say so the way the
// catalogue's classes do, so that one set of templates writes both.
#define QUILL_API __attribute__((visibility("default")))

namespace Basalt {
template <class T>
class Ref;
template <class T>
class Optional;
class ObjectImpl;
class Exception;
namespace System {
class DateTime;
class ScheduledItem;
}  // namespace System
}  // namespace Basalt

namespace Quill {
class Any;
class DynamicData;
class Collection;
class DataArrayBase;
template <class T>
class DataArray;
template <class V>
class Array;
template <class V>
class Primitive;
class MoRef;
class TypeName;
class MethodName;
class Uri;
class PropertyPath;
class PropertyDiffSet;
class Type;
class DataObjectType;
class EnumType;
class ManagedObjectType;
class ManagedMethod;
class ManagedObject;
class StubImpl;
class StubAdapter;
class RequestContext;
class LocalAdapter;
class PendingCall;
class MethodFault;
class RuntimeFault;
class LocalizableMessage;
class KeyAnyValue;
class DynamicProperty;
struct TypeInfo;
struct PropertyInfo;
struct MethodInfo;
struct DataTypeInfo;
struct ManagedTypeInfo;
struct EnumTypeInfo;
struct EnumFuncs;
struct SedgeVersions;
namespace Fault {
class InvalidArgument;
class NotSupported;
class SecurityError;
class RequestCanceled;
class ManagedObjectNotFound;
class SystemError;
class InvalidType;
class InvalidRequest;
}  // namespace Fault
}  // namespace Quill
