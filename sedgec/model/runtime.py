"""Types that the runtime supplies: primitives and the runtime's own types and faults.

The catalogue refers to them by runtime class or by record; both spellings resolve here.
"""
from .types import Primitive, RuntimeType

PRIMITIVES = {p.name: p for p in [
    Primitive("string", "Quill::gStringTypeInfo", "std::string"),
    Primitive("boolean", "Quill::gBoolTypeInfo", "bool"),
    Primitive("byte", "Quill::gByteTypeInfo", "signed char"),
    Primitive("short", "Quill::gShortTypeInfo", "short"),
    Primitive("int", "Quill::gIntTypeInfo", "int"),
    Primitive("long", "Quill::gLongTypeInfo", "long"),
    Primitive("float", "Quill::gFloatTypeInfo", "float"),
    Primitive("double", "Quill::gDoubleTypeInfo", "double"),
    Primitive("dateTime", "Quill::gDateTimeTypeInfo", "Basalt::System::DateTime"),
    Primitive("binary", "Quill::gBinaryTypeInfo", "std::vector<unsigned char>"),
    Primitive("any", "Quill::gAnyTypeInfo", "Quill::Any"),
    Primitive("typeName", "Quill::gTypeNameTypeInfo", "Quill::TypeName"),
    Primitive("methodName", "Quill::gMethodNameTypeInfo", "Quill::MethodName"),
    Primitive("propertyPath", "Quill::gPropertyPathTypeInfo", "Quill::PropertyPath"),
    Primitive("uri", "Quill::gUriTypeInfo", "Quill::Uri"),
]}


def _rt(kind, sedge, record, cpp, base=None, aliases=()):
    return RuntimeType(kind, sedge, record, cpp, base, tuple(aliases))


_MANAGED = _rt("managed", "sedge.ManagedObject", "Quill::gSedgeManagedObjectTypeInfo",
               "Quill::ManagedObject", aliases=["Quill::ManagedObject"])
_DYNAMIC = _rt("data", "sedge.DynamicData", "gSedgeDynamicDataTypeInfo", "Quill::DynamicData",
               aliases=["Quill::DynamicData"])
_METHOD_FAULT = _rt("fault", "sedge.MethodFault", "Quill::gSedgeMethodFaultTypeInfo",
                    "Quill::MethodFault", _DYNAMIC, ["Quill::MethodFault"])
_RUNTIME_FAULT = _rt("fault", "sedge.RuntimeFault", "Quill::gSedgeRuntimeFaultTypeInfo",
                     "Quill::RuntimeFault", _METHOD_FAULT, ["Quill::RuntimeFault"])


def _fault(name, base=_RUNTIME_FAULT):
    return _rt("fault", f"sedge.fault.{name}", f"gSedgeFault{name}TypeInfo",
               f"Quill::Fault::{name}", base, [f"Quill::Fault::{name}"])


_FAULTS = [_fault(n) for n in ("InvalidArgument", "NotSupported", "RequestCanceled",
                               "ManagedObjectNotFound", "SystemError", "InvalidRequest",
                               "SecurityError")]
_FAULTS.append(_fault("InvalidType", _FAULTS[5]))  # under InvalidRequest, as the runtime has it

RUNTIME_TYPES = [
    _MANAGED, _DYNAMIC, _METHOD_FAULT, _RUNTIME_FAULT, *_FAULTS,
    _rt("data", "sedge.LocalizableMessage", "gSedgeLocalizableMessageTypeInfo",
        "Quill::LocalizableMessage", _DYNAMIC, ["Quill::LocalizableMessage"]),
    _rt("data", "sedge.KeyAnyValue", "gSedgeKeyAnyValueTypeInfo", "Quill::KeyAnyValue",
        _DYNAMIC, ["Quill::KeyAnyValue"]),
    _rt("data", "sedge.DynamicProperty", "gSedgeDynamicPropertyTypeInfo",
        "Quill::DynamicProperty", _DYNAMIC, ["Quill::DynamicProperty"]),
    _rt("managed", "sedge.query.PropertyCollector", "gSedgeQueryPropertyCollectorTypeInfo",
        "Quill::MoRef", _MANAGED),
    _rt("managed", "sedge.reflect.DynamicTypeManager", "gSedgeReflectDynamicTypeManagerTypeInfo",
        "Quill::MoRef", _MANAGED),
    _rt("managed", "sedge.reflect.ManagedMethodExecuter",
        "gSedgeReflectManagedMethodExecuterTypeInfo", "Quill::MoRef", _MANAGED),
]


def runtime_names():
    """Every spelling under which the catalogue may refer to a runtime type."""
    names = {}
    for t in RUNTIME_TYPES:
        bare = t.record.split("::")[-1]
        for alias in (*t.aliases, t.record, bare):
            names[alias] = t
    return names


RUNTIME_VERSIONS = {
    "sedge.version.version0": [],
    "sedge.version.version1": ["sedge.version.version0"],
    "sedge.query.version.version1": ["sedge.version.version1"],
    "sedge.query.version.version2": ["sedge.query.version.version1"],
    "sedge.query.version.version3": ["sedge.query.version.version2"],
    "sedge.query.version.version4": ["sedge.query.version.version3"],
    "sedge.reflect.version.version1": ["sedge.version.version1"],
    "sedge.reflect.version.version2": ["sedge.reflect.version.version1"],
}

MANAGED_ROOT = _MANAGED
DATA_ROOT = _DYNAMIC
