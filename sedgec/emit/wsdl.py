"""The WSDL 1.1 documents and XML Schemas of the wire form (docs/wire-format.md).

One schema and one WSDL per wire namespace of the version table: a namespace holds the types,
methods and properties of its own releases and of every version those succeed, each annotated
with the version that introduced it. A SOAP 1.1 envelope schema that imports them makes whole
messages checkable by an ordinary validator.

Every line of output comes from the templates; this module only decides what goes in them.
"""
from collections import OrderedDict
from dataclasses import dataclass, field
from typing import List, Optional

from ..model.runtime import PRIMITIVES, RUNTIME_CATALOGUE, RUNTIME_VERSIONS
from ..model.types import F_ARRAY, F_LINK, F_OPTIONAL, Primitive, RuntimeType, Type

OUT_DIR = "wsdl"
ENVELOPE = "soap-envelope.xsd"
ENTRY = "tarn.wsdl"  # what a server offers first: the newest release's service
# Foreign-namespace attributes on schema components: XML Schema ignores them, tools read them.
VERSION_NS = "urn:tarn-types:version"

# Name types carried as text that the schema names on its own.
NAME_TYPES = ("TypeName", "MethodName", "PropertyPath")
MOREF = "ManagedObjectReference"
MANAGED_TYPE_ENUM = "ManagedObjectType"
UNCHECKED = "UncheckedContent"
# Faults the runtime may raise from any operation, whatever the operation declares: each
# operation names them (those the namespace has) so that stub generators surface them typed.
RUNTIME_FAULTS = ("NotAuthenticated", "NotSupported", "InvalidArgument", "ManagedObjectNotFound", "InvalidRequest")
ABSTRACT = ("DynamicData",)  # no value is of this class alone: a reader cannot make one

# The runtime's own data and fault types: WSDL name, base, version and properties
# (name, sedge type, flags). The roots are the runtime's own; the rest are read from its Sedge
# files, in slot order.
_V0, _V1 = "sedge.version.version0", "sedge.version.version1"


def _runtime_row(t):
    return t.name, (t.wsdl, t.base.name, t.version, [(p.name, p.type.name, p.flags) for p in t.props])


_DECLARED = {m.namespace: [_runtime_row(t) for t in m.types] for m in RUNTIME_CATALOGUE.modules
             if m.namespace in ("sedge", "sedge.fault")}
# The runtime's modules with managed types and enumerations (sedge.query): listed, with their
# operations, as the catalogue's own types are.
RUNTIME_MODULE_TYPES = [t for m in RUNTIME_CATALOGUE.modules if m.namespace not in _DECLARED for t in m.types]
RUNTIME_DATA = OrderedDict([
    ("sedge.DynamicData", ("DynamicData", None, _V0, [])),
    *_DECLARED["sedge"],
    ("sedge.MethodFault", ("MethodFault", "sedge.DynamicData", _V1,
                           [("faultCause", "sedge.MethodFault", F_OPTIONAL),
                            ("faultMessage", "sedge.LocalizableMessage", F_ARRAY | F_OPTIONAL)])),
    ("sedge.RuntimeFault", ("RuntimeFault", "sedge.MethodFault", _V1, [])),
    *_DECLARED["sedge.fault"],
])
RUNTIME_MANAGED = OrderedDict([
    ("sedge.ManagedObject", ("ManagedObject", _V0)),
    *[(t.name, (t.wsdl, t.version)) for t in RUNTIME_MODULE_TYPES if t.kind == "managed"],
    ("sedge.reflect.DynamicTypeManager", ("InternalDynamicTypeManager", "sedge.reflect.version.version1")),
    ("sedge.reflect.ManagedMethodExecuter", ("ReflectManagedMethodExecuter", "sedge.reflect.version.version1")),
])


@dataclass
class Element:
    """One element of a sequence: a property, parameter or result."""
    name: str
    type: str
    min: int
    many: bool
    version: Optional[str]
    nillable: bool = False


@dataclass
class ComplexType:
    name: str
    base: Optional[str]
    version: str
    elements: List[Element] = field(default_factory=list)
    fault: bool = False
    abstract: bool = False


@dataclass
class ArrayType:
    name: str
    item: str
    type: str
    version: str


@dataclass
class Operation:
    name: str
    version: str
    params: List[Element]
    results: List[Element]
    faults: List[str]
    property_read: bool = False


@dataclass
class Named:
    name: str
    version: str
    tags: List[str] = field(default_factory=list)


def _upper_first(s):
    return s[:1].upper() + s[1:]


class WireSchema:
    """What one wire namespace's schema and WSDL declare."""

    def __init__(self, cat, wire_ns):
        self.cat = cat
        self.namespace = wire_ns
        self._ancestor_sets = {}
        self.closure = version_closure(cat, wire_ns)
        self.versions = [v for v in cat.versions if v.name in self.closure]
        self.wire_versions = [v.wire_version for v in cat.versions
                              if v.wire_namespace == wire_ns and v.wire_version]
        self.newest = next((v for v in cat.versions if v.wire_namespace == wire_ns and v.kind == 0), None)
        self.data, self.enums, self.managed, self.arrays = [], [], [], []
        self.operations, self.fault_elements = [], []
        self._collect_types()
        self._collect_operations()

    def _ancestors(self, version):
        if version not in self._ancestor_sets:
            self._ancestor_sets[version] = version_ancestors(self.cat, version)
        return self._ancestor_sets[version]

    def has(self, version):
        return version in self.closure

    def has_type(self, ty):
        """Whether the namespace has `ty`: a few properties are older than their type, and a
        namespace whose releases lack the type lacks the property too."""
        return not isinstance(ty, Type) or self.has(ty.version)

    def has_runtime_type(self, t):
        """Whether `t` is one of the runtime's declared types that this namespace's releases have."""
        return t in RUNTIME_MODULE_TYPES and self.has(t.version)

    def has_prop(self, p):
        return self.has(p.version) and self.has_type(p.type)

    # types -------------------------------------------------------------------------
    def xsd_type(self, ty):
        """The schema type of an element holding a value of `ty`."""
        if isinstance(ty, Primitive):
            return ty.xsd_type
        if ty.kind == "managed":
            return "tns:" + MOREF
        if isinstance(ty, RuntimeType):
            return "tns:" + RUNTIME_DATA[ty.name][0]
        return "tns:" + ty.wsdl

    def _element(self, name, ty, flags, version, since):
        """`since` is the version of the enclosing type or method: an element it did not
        always have may be missing from a message of an older release, so only elements no
        newer than their owner can be required."""
        many = bool(flags & F_ARRAY)
        # nor can one whose type is newer than the owner: a release in between leaves it out
        as_old = not isinstance(ty, Type) or ty.version in self._ancestors(since)
        required = not many and not (flags & F_OPTIONAL) and version in self._ancestors(since) and as_old
        if flags & F_LINK:
            # a link holds the key of an object held elsewhere in the message, not the object
            return Element(name, "xsd:string", 1 if required else 0, many, version)
        # a required object the owner holds as null is sent as xsi:nil rather than left out
        holds_object = (ty.name == "any") if isinstance(ty, Primitive) else ty.kind != "enum"
        return Element(name, self.xsd_type(ty), 1 if required else 0, many, version,
                       nillable=required and holds_object)

    def _included_types(self):
        """The namespace's own types: those its releases have. A property, parameter, result
        or fault of a newer type is left out with it, as the codec leaves it out of a message."""
        return {t for t in self.cat.all_types() if self.has(t.version)}

    def _collect_types(self):
        self.included = self._included_types()
        for sedge, (wsdl, base, version, props) in RUNTIME_DATA.items():
            ct = ComplexType(wsdl, RUNTIME_DATA[base][0] if base else None, version,
                             fault=sedge == "sedge.MethodFault" or base not in (None, "sedge.DynamicData"),
                             abstract=wsdl in ABSTRACT)
            for name, ty, flags in props:
                target = PRIMITIVES.get(ty) or _runtime_ref(ty)
                ct.elements.append(self._element(name, target, flags, version, version))
            self.data.append(ct)
        for sedge, (wsdl, version) in RUNTIME_MANAGED.items():
            if self.has(version):
                self.managed.append(Named(wsdl, version))
        for t in [*RUNTIME_MODULE_TYPES, *self.cat.all_types()]:
            if t not in self.included and not self.has_runtime_type(t):
                continue
            if t.kind == "managed" and t in RUNTIME_MODULE_TYPES:
                continue   # listed with the runtime's managed types above
            if t.kind in ("data", "fault"):
                ct = ComplexType(t.wsdl, _wsdl_of(t.base), t.version, fault=t.kind == "fault")
                ct.elements = [self._element(p.name, p.type, p.flags, p.version, t.version)
                               for p in t.props if self.has_prop(p)]
                self.data.append(ct)
            elif t.kind == "enum":
                self.enums.append(Named(t.wsdl, t.version, list(t.tags)))
            else:
                self.managed.append(Named(t.wsdl, t.version))
        # every type of the namespace has an array type the runtime names ArrayOf<Wsdl>,
        # whose items are elements named after the element type
        for p in PRIMITIVES.values():
            self.arrays.append(ArrayType("ArrayOf" + _upper_first(p.wire), p.wire, p.xsd_type, _V0))
        for ct in self.data:
            self.arrays.append(ArrayType("ArrayOf" + ct.name, ct.name, "tns:" + ct.name, ct.version))
        for e in self.enums:
            self.arrays.append(ArrayType("ArrayOf" + e.name, e.name, "tns:" + e.name, e.version))
        self.arrays.append(ArrayType("ArrayOf" + MOREF, MOREF, "tns:" + MOREF, _V0))
        for m in self.managed:
            self.arrays.append(ArrayType("ArrayOf" + m.name, m.name, "tns:" + MOREF, m.version))
        self.fault_elements = [ct for ct in self.data if ct.fault]
        names = {ct.name for ct in self.fault_elements}
        self.runtime_faults = [f for f in RUNTIME_FAULTS if f in names] + ["RuntimeFault"]

    # operations --------------------------------------------------------------------
    def _collect_operations(self):
        reads = OrderedDict()
        for t in [*RUNTIME_MODULE_TYPES, *self.cat.all_types()]:
            if t.kind != "managed" or (t not in self.included and not self.has_runtime_type(t)):
                continue
            for m in t.methods:
                if not self.has(m.version):
                    continue
                params = [self._element(p.name, p.type, p.flags, p.version, m.version)
                          for p in m.params if self.has_prop(p)]
                results = []
                if m.is_task:
                    # a task method answers at once with the task; its result comes later
                    results.append(Element("result", "tns:" + MOREF, 0, False, m.version))
                elif m.result.type is not None and self.has_type(m.result.type):
                    results.append(self._element("result", m.result.type, m.result.flags | F_OPTIONAL,
                                                 m.version, m.version))
                faults = [_wsdl_of(f) for f in m.faults if self.has_type(f)]
                faults += [f for f in self.runtime_faults if f not in faults]
                self.operations.append(Operation(m.wsdl, m.version, params, results, faults))
            for p in t.props:
                if self.has_prop(p):
                    reads.setdefault(p.name, []).append(p)
        for name, props in reads.items():
            kinds = {(self.xsd_type(p.type), p.array) for p in props}
            if len(kinds) == 1:
                result = self._element("result", props[0].type, props[0].flags | F_OPTIONAL,
                                       props[0].version, props[0].version)
            else:
                # managed types that share a property name but not its type: the response
                # element cannot say which, so its content is not checked
                result = Element("result", "tns:" + UNCHECKED, 0, True, None)
            version = min((p.version for p in props), key=self._age)
            self.operations.append(Operation(name, version, [], [result], [], property_read=True))

    def _age(self, version):
        """Orders versions by how many releases precede them: a property read is as old as
        the oldest managed type that has the property."""
        return len(version_ancestors(self.cat, version))


def _runtime_ref(sedge):
    if sedge in RUNTIME_MANAGED:
        return RuntimeType("managed", sedge, "", "", None, ())
    return RuntimeType("data", sedge, "", "", None, ())


def _wsdl_of(ty):
    if ty is None:
        return None
    if isinstance(ty, RuntimeType):
        return RUNTIME_DATA[ty.name][0] if ty.name in RUNTIME_DATA else RUNTIME_MANAGED[ty.name][0]
    return ty.wsdl


def version_ancestors(cat, name):
    """`name` and every version it succeeds, through the catalogue's and the runtime's tables."""
    parents = {v.name: list(v.parents) for v in cat.versions}
    for child, parent in cat.parents:
        parents.setdefault(child, [])
        if parent not in parents[child]:
            parents[child].append(parent)
    for v, ps in RUNTIME_VERSIONS.items():
        parents.setdefault(v, list(ps))
    seen, todo = set(), [name]
    while todo:
        v = todo.pop()
        if v not in seen:
            seen.add(v)
            todo.extend(parents.get(v, []))
    return seen


def version_closure(cat, wire_ns):
    """Every version that a release of `wire_ns` has: its own and all they succeed."""
    out = set()
    for v in cat.versions:
        if v.wire_namespace == wire_ns:
            out |= version_ancestors(cat, v.name)
    return out


def wire_namespaces(cat):
    """The wire namespaces of the version table, newest first."""
    return list(OrderedDict.fromkeys(v.wire_namespace for v in cat.versions if v.wire_namespace))


def files(cat):
    """(relative path, template, context) of the WSDL outputs."""
    schemas = [WireSchema(cat, ns) for ns in wire_namespaces(cat)]
    out = []
    for s in schemas:
        ctx = {"s": s, "version_ns": VERSION_NS, "name_types": NAME_TYPES, "moref": MOREF,
               "managed_enum": MANAGED_TYPE_ENUM, "unchecked": UNCHECKED}
        out.append((f"{OUT_DIR}/{s.namespace}.xsd", "schema.xsd.j2", ctx))
        out.append((f"{OUT_DIR}/{s.namespace}.wsdl", "wsdl.xml.j2", ctx))
        if s is schemas[0]:
            # a copy rather than a wsdl:import, which not every SOAP tool follows to the service
            out.append((f"{OUT_DIR}/{ENTRY}", "wsdl.xml.j2", ctx))
    out.append((f"{OUT_DIR}/{ENVELOPE}", "soap-envelope.xsd.j2", {"schemas": schemas}))
    return out
