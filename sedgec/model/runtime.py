"""Types that the runtime supplies: primitives and the runtime's own types and faults.

The catalogue refers to them by runtime class or by record; both spellings resolve here.
"""
import glob
import os

from ..errors import SedgeError, SedgeErrors
from ..parse import parse_module_file
from .types import F_ARRAY, F_OPTIONAL, Catalogue, Module, Primitive, Property, RuntimeType, Type

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
    type resolved); raise SedgeErrors on any problem."""
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

    for f in sorted(files, key=lambda f: f.load or 0):
        m = Module(f.namespace, f.load or 0, "", f.path)
        modules.append(m)
        for d in f.decls:
            full = f"{RUNTIME_ROOT}.{d.name}"
            if d.kind not in ("data", "fault") or not full.startswith(f.namespace + ".") \
                    or "." in full[len(f.namespace) + 1:]:
                errors.append(SedgeError(d.loc, f"'{d.name}': module {f.namespace} declares data and fault "
                                                f"types directly under its namespace only"))
                continue
            t = Type(d.kind, full, m, d.wsdl or "", bool(d.wsdl), version(d.since, d.loc), None, d.loc)
            t.base = resolve(d.base, "base type") if d.base else None
            if t.base is not None and t.base.kind != d.kind:
                errors.append(SedgeError(d.loc, f"'{d.name}' is a {d.kind} type and cannot derive from "
                                                f"the {t.base.kind} type '{d.base.name}'"))
            for p in d.props:
                flags = (F_ARRAY if p.type.array else 0) | (F_OPTIONAL if "opt" in p.flags else 0)
                if set(p.flags) - {"opt"}:
                    errors.append(SedgeError(p.loc, f"'{p.name}': a runtime property takes no flag but 'opt'"))
                t.props.append(Property(p.name, resolve(p.type, "property type"), flags,
                                        version(p.since, p.loc) if p.since else t.version, None, owner=t,
                                        loc=p.loc))
            types[full] = t
            m.types.append(t)
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


MANAGED_ROOT = _MANAGED
DATA_ROOT = _DYNAMIC
