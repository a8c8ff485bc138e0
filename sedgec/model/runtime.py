"""Types that the runtime supplies: primitives and the runtime's own types and faults.

The catalogue refers to them by runtime class or by record; both spellings resolve here.
"""
import glob
import os

from ..errors import SedgeError, SedgeErrors
from ..parse import parse_module_file
from .. import names
from .types import (F_ARRAY, F_MANAGED, F_OPTIONAL, Catalogue, Method, Module, Primitive, Property,
                    RuntimeType, Type)

# The runtime's primitives: name, record, C++ type, Quill::Kind, wire name, whether that is an
# XML Schema name, and the header a class holding one needs.
PRIMITIVES = {p.name: p for p in [
    Primitive("string", "Quill::gStringTypeInfo", "std::string", "String", "string", True),
    Primitive("boolean", "Quill::gBoolTypeInfo", "bool", "Bool", "boolean", True),
    Primitive("byte", "Quill::gByteTypeInfo", "signed char", "Byte", "byte", True),
    Primitive("short", "Quill::gShortTypeInfo", "short", "Short", "short", True),
    Primitive("int", "Quill::gIntTypeInfo", "int", "Int", "int", True),
    Primitive("long", "Quill::gLongTypeInfo", "long", "Long", "long", True),
    Primitive("float", "Quill::gFloatTypeInfo", "float", "Float", "float", True),
    Primitive("double", "Quill::gDoubleTypeInfo", "double", "Double", "double", True),
    Primitive("dateTime", "Quill::gDateTimeTypeInfo", "Basalt::System::DateTime", "DateTime", "dateTime", True,
              "basalt/DateTime.h"),
    Primitive("binary", "Quill::gBinaryTypeInfo", "std::vector<unsigned char>", "Binary", "base64Binary", True,
              "vector"),
    Primitive("any", "Quill::gAnyTypeInfo", "Quill::Any", "Any", "anyType", True),
    Primitive("typeName", "Quill::gTypeNameTypeInfo", "Quill::TypeName", "TypeName", "TypeName", False,
              "quill/Values.h"),
    Primitive("methodName", "Quill::gMethodNameTypeInfo", "Quill::MethodName", "MethodName", "MethodName", False,
              "quill/Values.h"),
    Primitive("propertyPath", "Quill::gPropertyPathTypeInfo", "Quill::PropertyPath", "PropertyPath",
              "PropertyPath", False, "quill/Values.h"),
    Primitive("uri", "Quill::gUriTypeInfo", "Quill::Uri", "Uri", "anyURI", True, "quill/Values.h"),
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

# The runtime's own data and fault types, other than the roots above, are declared in Sedge
# beside libquill; sedgec generates their classes into libquill from those files
# (`sedgec runtime`) and refers to them from the catalogue as it refers to the roots.
RUNTIME_SCHEMA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "quill", "sedge")
RUNTIME_ROOT = "sedge"
_ROOTS = {t.cpp: t for t in (_DYNAMIC, _METHOD_FAULT, _RUNTIME_FAULT, _MANAGED)}


def load_runtime(folder=RUNTIME_SCHEMA):
    """The runtime's declared types as a catalogue of their own (modules in load order, each
    type resolved); raise SedgeErrors on any problem. Types are declared first and resolved
    after, so that a data type may hold a reference of a managed type declared below it."""
    errors, modules, types = [], [], {}
    files = []
    for path in sorted(glob.glob(os.path.join(folder, "*.sedge"))):
        try:
            files.append(parse_module_file(path))
        except SedgeErrors as e:
            errors.extend(e.errors)
    if errors:
        raise SedgeErrors(errors)

    def version(written, loc):
        full = written if written and "." in written else f"{RUNTIME_ROOT}.version.{written}"
        if written is None or full not in RUNTIME_VERSIONS:
            errors.append(SedgeError(loc, f"a runtime type needs a version of the runtime ('since version0' "
                                          f"or 'since version1'), not {written!r}"))
        return full

    def resolve(ref, what):
        name = ref.name
        found = PRIMITIVES.get(name) or _ROOTS.get(name) or types.get(f"{RUNTIME_ROOT}.{name}")
        if found is None:
            errors.append(SedgeError(ref.loc, f"unknown {what} '{name}'"))
        return found

    def flags_of(written, ref, loc, what):
        if set(written) - {"opt"}:
            errors.append(SedgeError(loc, f"'{what}': a runtime property takes no flag but 'opt'"))
        return (F_ARRAY if ref.array else 0) | (F_OPTIONAL if "opt" in written else 0)

    declared = []
    for f in sorted(files, key=lambda f: f.load or 0):
        m = Module(f.namespace, f.load or 0, "", f.path)
        modules.append(m)
        for d in f.decls:
            full = f"{RUNTIME_ROOT}.{d.name}"
            if not full.startswith(f.namespace + ".") or "." in full[len(f.namespace) + 1:]:
                errors.append(SedgeError(d.loc, f"'{d.name}': module {f.namespace} declares types directly "
                                                f"under its namespace only"))
                continue
            if full in types:
                errors.append(SedgeError(d.loc, f"'{d.name}' is declared twice"))
                continue
            t = Type(d.kind, full, m, d.wsdl or "", bool(d.wsdl), version(d.since, d.loc), None, d.loc)
            t.tags = list(d.tags)
            if d.kind == "enum" and not t.tags:
                errors.append(SedgeError(d.loc, f"enumeration '{d.name}' has no tags"))
            types[full] = t
            m.types.append(t)
            declared.append((t, d))

    for t, d in declared:
        if d.kind != "enum":
            t.base = resolve(d.base, "base type") if d.base else (_MANAGED if d.kind == "managed" else None)
            if t.base is not None and t.base.kind != d.kind:
                errors.append(SedgeError(d.loc, f"'{d.name}' is a {d.kind} type and cannot derive from "
                                                f"the {t.base.kind} type '{d.base.name}'"))
            if isinstance(t.base, Type) and t.base.module is t.module and \
                    t.module.types.index(t.base) > t.module.types.index(t):
                errors.append(SedgeError(d.loc, f"'{d.name}' comes before its base '{d.base.name}'"))
        managed = d.kind == "managed"
        for p in d.props:
            flags = flags_of(p.flags, p.type, p.loc, p.name) | (F_MANAGED if managed else 0)
            t.props.append(Property(p.name, resolve(p.type, "property type"), flags,
                                    version(p.since, p.loc) if p.since else t.version,
                                    p.priv if managed else None, owner=t, loc=p.loc))
        for i, md in enumerate(d.methods):
            mv = version(md.since, md.loc) if md.since else t.version
            if md.result is None:
                result = Property("result", None, 0, f"{RUNTIME_ROOT}.version.version0", None, loc=md.loc)
            else:
                result = Property("result", resolve(md.result, "result type"),
                                  flags_of(md.result_flags, md.result, md.loc, md.name), mv, None, loc=md.loc)
            params = [Property(pd.name, resolve(pd.type, "parameter type"),
                               flags_of(pd.flags, pd.type, pd.loc, pd.name),
                               version(pd.since, pd.loc) if pd.since else mv, pd.needs, loc=pd.loc)
                      for pd in md.params]
            faults = [resolve(r, "fault") for r in md.raises]
            if md.task or md.typeprivs:
                errors.append(SedgeError(md.loc, f"'{md.name}': runtime methods are neither tasks nor "
                                                 f"have per-type privileges"))
            t.methods.append(Method(md.name, md.wsdl or names.cap(md.name), md.priv, [], result, params,
                                    [f for f in faults if f is not None], False, md.internal, mv, t,
                                    index=i, loc=md.loc))
        if managed:
            inherited = list(t.base.all_props) if isinstance(t.base, Type) else []
            taken = {p.name for p in inherited}
            t.all_props = inherited
            for p in t.props:
                if p.name in taken:
                    errors.append(SedgeError(p.loc, f"'{p.name}': a runtime type does not re-declare "
                                                    f"an inherited property"))
                p.index = len(t.all_props)
                t.all_props = t.all_props + [p]
    if errors:
        raise SedgeErrors(errors)
    return Catalogue(modules, types, [], [], {}, RUNTIME_ROOT)


def _as_runtime_type(t, known):
    base = known.get(t.base.name) if isinstance(t.base, Type) else t.base
    return _rt(t.kind, t.name, t.record, t.cpp, base, [t.cpp])


def _declared(cat):
    known = {}
    for t in cat.all_types():
        known[t.name] = _as_runtime_type(t, known)
    return list(known.values())


RUNTIME_CATALOGUE = load_runtime()
RUNTIME_DECLARED = _declared(RUNTIME_CATALOGUE)

RUNTIME_TYPES = [
    _MANAGED, _DYNAMIC, _METHOD_FAULT, _RUNTIME_FAULT, *RUNTIME_DECLARED,
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


MANAGED_ROOT = _MANAGED
DATA_ROOT = _DYNAMIC
