"""The C++ view of the catalogue: class names, field representations, header families,
include sets and translation-unit batches. Templates read only what this module computes."""
from dataclasses import dataclass, field
from typing import List

from .. import names
from ..model.types import F_ARRAY, F_LINK, F_OPTIONAL, Primitive, RuntimeType, Type

TYPES_PER_UNIT = 300


def q(cpp):
    """Fully qualified, so that a member named like a type never changes its meaning."""
    return cpp if cpp.startswith("::") or cpp.startswith("std::") or cpp in _SCALARS else "::" + cpp


_SCALARS = {"bool", "signed char", "short", "int", "long", "float", "double"}


def _kind_of(ty, link):
    """The Quill::Kind of a value of `ty` (a link holds the key of the object it names)."""
    if link:
        return "String"
    if isinstance(ty, Primitive):
        return ty.cpp_kind
    return {"managed": "Ref", "enum": "Enum"}.get(ty.kind, "Data")


@dataclass
class Field:
    prop: object
    name: str            # C++ member name
    form: str            # 'array', 'object' (a Basalt::Ref), 'optional' or 'value'
    value_cpp: str       # the class or value type of one element
    array_kind: str      # arrays: 'object' (DataArray) or 'value' (Array)
    getter: str          # for array fields: Get<Property>
    flags: int
    zero_init: bool      # required bool, number or enumeration
    kind: str            # Quill::Kind of the value (arrays: of an item)
    holder: str          # Quill::Fields::Holder enumerator

    @property
    def is_array(self):
        return self.form == "array"

    @property
    def is_ref(self):
        """A Basalt::Ref<> member: compared and diffed by the runtime."""
        return self.form in ("array", "object")

    @property
    def is_optional_value(self):
        return self.form == "optional"

    @property
    def checks_class(self):
        """setProperty checks an incoming object's class: everything but Quill::Any."""
        return self.form == "array" or (self.form == "object" and self.value_cpp != "::Quill::Any")


class CppCatalogue:
    """C++ facts about every type, computed once."""

    def __init__(self, cat):
        self.cat = cat
        self.by_path = {}
        for m in cat.modules:
            for t in m.types:
                self.by_path[(m.namespace, tuple(t.type_components))] = t
        self.families = {}      # top type -> [types in definition order]
        for m in cat.modules:
            for t in m.types:
                self.families.setdefault(self.family(t), []).append(t)
        self.fields = {t: [self.field(t, p) for p in t.props]
                       for t in cat.all_types() if t.kind in ("data", "fault")}

    # -- structure ------------------------------------------------------------
    def outer(self, t):
        comps = t.type_components
        if len(comps) == 1:
            return None
        return self.by_path[(t.module.namespace, tuple(comps[:-1]))]

    def family(self, t):
        comps = t.type_components
        return self.by_path[(t.module.namespace, tuple(comps[:1]))]

    def cpp(self, t):
        return "::" + t.cpp

    def header(self, t):
        """include path of the family header holding `t`."""
        top = self.family(t)
        ns = top.module.namespace.split(".")[1:]
        return "/".join([names.ROOT, *ns, top.simple_name + ".h"])

    # -- fields -----------------------------------------------------------------
    def value_cpp(self, ty, link):
        """(C++ value type, kind) of one element of a property's type."""
        if link:
            return "std::string", "value"
        if isinstance(ty, Primitive):
            if ty.name == "any":
                return "::Quill::Any", "object"
            return q(ty.cpp), "value"
        if ty.kind == "managed":
            return "::Quill::MoRef", "object"
        if ty.kind == "enum":
            return self.cpp(ty), "enum"
        return q(ty.cpp), "object"

    def field(self, t, p):
        link = bool(p.flags & F_LINK)
        vcpp, kind = self.value_cpp(p.type, link)
        name = names.cpp_identifier(p.name)
        vkind = _kind_of(p.type, link)
        if p.flags & F_ARRAY:
            akind = "object" if kind == "object" else "value"
            return Field(p, name, "array", vcpp, akind, names.getter_name(p.name, False), p.flags, False,
                         vkind, "kObjectArray" if akind == "object" else "kArray")
        if kind == "object":
            return Field(p, name, "object", vcpp, "", "", p.flags, False, vkind, "kObject")
        if p.flags & F_OPTIONAL:
            return Field(p, name, "optional", vcpp, "", "", p.flags, False, vkind, "kOptional")
        zero = kind == "enum" or vcpp in _SCALARS
        return Field(p, name, "value", vcpp, "", "", p.flags, zero, vkind, "kPlain")

    # -- what a class definition needs ---------------------------------------------
    def referenced(self, t):
        """(type, flags) of everything a class declaration names: its properties and, for a
        managed type, its methods' parameters and results."""
        out = [(p.type, p.flags) for p in t.props]
        for m in t.methods:
            out += [(p.type, p.flags) for p in m.params]
            if m.result.type is not None:
                out.append((m.result.type, m.result.flags))
        return out

    def needs_complete(self, t):
        """Catalogue types whose class (or enum) must be complete before `t`'s definition."""
        out = []
        if isinstance(t.base, Type):
            out.append(t.base)
        for ty, flags in self.referenced(t):
            if isinstance(ty, Type) and not (flags & F_LINK) and ty.kind != "managed":
                o = self.outer(ty)
                if o is not None:
                    out.append(o)          # naming a nested type needs its outer class
                elif ty.kind == "enum":
                    out.append(ty)         # enumerations are held by value
        return out

    def forward_decls(self, t):
        """Top-level classes that `t` names only through references."""
        out = []
        for ty, flags in self.referenced(t):
            if isinstance(ty, Type) and ty.kind in ("data", "fault") and not (flags & F_LINK) \
                    and self.outer(ty) is None:
                out.append(ty)
        return out

    def definition_headers(self, t):
        """Headers a class's member definitions need: every class its fields, parameters and
        results hold, complete."""
        hs = set()
        for ty, flags in self.referenced(t):
            if flags & F_LINK:
                continue
            if isinstance(ty, Type) and ty.kind in ("data", "fault", "enum"):
                hs.add(self.header(ty))
            elif isinstance(ty, RuntimeType):
                if ty.kind == "managed":
                    hs.add("quill/Values.h")
                elif ty.is_fault:
                    hs.add("quill/Faults.h")
                else:
                    hs.add("quill/DataTypes.h")
            elif isinstance(ty, Type) and ty.kind == "managed" or \
                    isinstance(ty, Primitive) and ty.name == "any":
                hs.add("quill/Values.h")
        if t.kind == "managed":
            hs.add(self.stub_header(t))
            for b in chain(t)[:-1]:
                hs.add(self.stub_header(b))
        return hs

    def stub_header(self, t):
        return self._companion_header(t, "Stub")

    def skeleton_header(self, t):
        return self._companion_header(t, "Skeleton")

    @staticmethod
    def _companion_header(t, suffix):
        ns = t.module.namespace.split(".")[1:]
        return "/".join([names.ROOT, *ns, ".".join(t.type_components) + suffix + ".h"])

    def value_headers(self, t):
        hs = set()
        for ty, flags in self.referenced(t):
            if isinstance(ty, Primitive) and ty.header and not (flags & F_ARRAY):
                hs.add(ty.header)
        if t.kind == "managed":
            hs.add("quill/ManagedObject.h")
        return hs


@dataclass
class Family:
    top: Type
    types: List[Type]                  # definition order: outer before nested, base first
    header: str
    includes: List[str] = field(default_factory=list)
    system_includes: List[str] = field(default_factory=list)
    forwards: dict = field(default_factory=dict)   # namespace -> [class names]
    records: List[Type] = field(default_factory=list)


def build_families(cc):
    fams = []
    for top, members in cc.families.items():
        order = _definition_order(cc, top, members)
        includes, forwards, sys_inc = set(), {}, {"string"}
        for t in members:
            for need in cc.needs_complete(t):
                if cc.family(need) is not top:
                    includes.add(cc.header(need))
            for fwd in cc.forward_decls(t):
                if cc.family(fwd) is not top:
                    ns = "::".join(names.cap(c) for c in fwd.module.namespace.split("."))
                    forwards.setdefault(ns, set()).add(names.cpp_identifier(fwd.simple_name))
            # Runtime classes a field holds come complete, so that users can reach into them.
            for h in cc.definition_headers(t):
                if h.startswith("quill/"):
                    includes.add(h)
            for h in cc.value_headers(t):
                (sys_inc if "/" not in h else includes).add(h)
            if isinstance(t.base, RuntimeType) and t.base.is_fault and t.base.cpp != "Quill::MethodFault":
                includes.add("quill/Faults.h")
            elif t.kind == "fault":
                includes.add("quill/MethodFault.h")
            elif isinstance(t.base, RuntimeType) and t.base.cpp not in ("Quill::DynamicData", "Quill::ManagedObject"):
                includes.add("quill/DataTypes.h")
        includes.discard(cc.header(top))
        fams.append(Family(top, order, cc.header(top), sorted(includes), sorted(sys_inc),
                           {k: sorted(v) for k, v in sorted(forwards.items())}, members))
    return fams


def _definition_order(cc, top, members):
    """Classes of one family in an order where every class's needs come first."""
    mset = set(members)
    done, out = set(), []

    def visit(t, stack):
        if t in done:
            return
        if t in stack:
            raise ValueError(f"{t.name}: its class and {stack[-1].name} need each other complete")
        o = cc.outer(t)
        deps = ([o] if o is not None else []) + cc.needs_complete(t)
        for d in deps:
            if d in mset and d is not t:
                visit(d, stack + [t])
        done.add(t)
        out.append(t)

    for t in members:
        visit(t, [])
    return out


def batches(families):
    """Translation units of one module: whole families, a few hundred types each."""
    total = sum(len(f.types) for f in families)
    if not total:
        return []
    n = max(1, -(-total // TYPES_PER_UNIT))
    target = -(-total // n)
    out, cur, size = [], [], 0
    for f in families:
        cur.append(f)
        size += len(f.types)
        if size >= target:
            out.append(cur)
            cur, size = [], 0
    if cur:
        out.append(cur)
    return out


# --- managed types: operations of interfaces, stubs and dispatch ---------------------------

@dataclass
class Param:
    name: str            # C++ parameter name
    form: str            # 'array', 'object' (a pointer), 'optional', 'ref' (const&) or 'value'
    value_cpp: str       # the class or value type of one element
    array_kind: str = ""  # arrays: 'object' or 'value'


@dataclass
class Operation:
    """One getter or method of a managed type, in the forms of interface, stub and dispatch."""
    owner: object        # the Type that declares it
    name: str            # C++ operation name (CreateFolder, GetName, IsRecursive)
    params: List[Param]
    result: str          # 'void', 'out', 'value', 'optional'
    result_value_cpp: str  # the result's class or value type (of one element for arrays)
    index: int           # slot in the owner's method-object array
    constant: str        # METHOD_ constant of a method, "" for a getter
    disabled: bool
    is_getter: bool
    prop_name: str = ""
    doc: str = ""
    redeclared: bool = False
    api_name: str = ""   # the method's own name in the catalogue ("createFolder")
    result_kind: str = ""  # array results: 'object' or 'value'

    @property
    def method_objects(self):
        return self.owner.method_objects

    @property
    def qualified_name(self):
        """The sedge name of the method or property: "tarn.Folder.createFolder"."""
        return f"{self.owner.name}.{self.prop_name or self.api_name}"

    @property
    def result_is_array(self):
        return bool(self.result_kind)

    @property
    def out_name(self):
        return _free_name("result", self.params)

    @property
    def callback_name(self):
        return _free_name("callback", self.params)

    @property
    def item_name(self):
        return _free_name("item", self.params)

    @property
    def arg_names(self):
        return ", ".join(p.name for p in self.params)

    @property
    def signature_key(self):
        return (self.name, tuple((p.form, p.value_cpp, p.array_kind) for p in self.params))


def _value_class(cc, ty):
    """(kind, C++ class) of one value of a parameter's or result's type."""
    if isinstance(ty, Primitive):
        if ty.name == "any":
            return "object", "::Quill::Any"
        return "value", q(ty.cpp)
    if ty.kind == "managed":
        return "object", "::Quill::MoRef"
    if ty.kind == "enum":
        return "value", "::" + ty.cpp
    return "object", "::" + ty.cpp


def _free_name(name, params):
    """`name`, or with underscores appended until no parameter has it."""
    taken = {p.name for p in params}
    while name in taken:
        name += "_"
    return name


def param_of(cc, p, i):
    kind, vcpp = _value_class(cc, p.type)
    name = names.cpp_identifier(p.name)
    if p.flags & F_ARRAY:
        return Param(name, "array", vcpp, kind)
    if kind == "object":
        return Param(name, "object", vcpp)
    if p.flags & F_OPTIONAL:
        return Param(name, "optional", vcpp)
    by_value = vcpp in _SCALARS or vcpp.startswith("::" + names.cpp_namespace(names.ROOT) + "::")
    return Param(name, "value" if by_value else "ref", vcpp)


def result_of(cc, ty, flags, task):
    """(form, value type, array kind) of a method's or getter's result."""
    if task:
        return "out", "::Quill::MoRef", ""
    if ty is None:
        return "void", "", ""
    kind, vcpp = _value_class(cc, ty)
    if flags & F_ARRAY:
        return "out", vcpp, kind
    if kind == "object":
        return "out", vcpp, ""
    return ("optional" if flags & F_OPTIONAL else "value"), vcpp, ""


def own_operations(cc, t, disabled_versions):
    """The operations a managed type adds at its level: getters of its new properties in
    property-list order, then its methods in method-list order."""
    ops = []
    nmethods = len(t.methods)
    for j, p in enumerate(t.props):
        if p.redeclares is not None:
            continue
        ops.append(_getter(cc, t, p, nmethods + j, disabled_versions))
    for i, m in enumerate(t.methods):
        params = [param_of(cc, p, k) for k, p in enumerate(m.params)]
        form, rcpp, rkind = result_of(cc, m.result.type, m.result.flags, m.is_task)
        priv = m.privilege or ("per target type" if m.type_privileges else "none")
        kind = "task method" if m.is_task else "method"
        ops.append(Operation(t, names.operation_name(m.name), params, form, rcpp, i, m.constant,
                             m.version in disabled_versions, False,
                             doc=f"{kind} {t.name}.{m.name} ({m.wsdl}), since {m.version}, privilege {priv}"
                                 + (", internal" if m.is_internal else ""), api_name=m.name, result_kind=rkind))
    return ops


def _getter(cc, t, p, index, disabled_versions):
    is_bool = getattr(p.type, "name", None) == "boolean" and not (p.flags & F_ARRAY)
    form, rcpp, rkind = result_of(cc, p.type, p.flags, False)
    return Operation(t, names.getter_name(p.name, is_bool), [], form, rcpp, index, "",
                     p.version in disabled_versions, True, p.name,
                     doc=f"property {p.name}, since {p.version}, read privilege {p.privilege or 'none'}",
                     redeclared=p.redeclares is not None, result_kind=rkind)


def redeclared_getters(cc, t, disabled_versions):
    """Getters a type re-declares (tarn.Network, tarn.Datastore): same signature as the
    inherited getter, the type's own method object."""
    nmethods = len(t.methods)
    return [_getter(cc, t, p, nmethods + j, disabled_versions)
            for j, p in enumerate(t.props) if p.redeclares is not None]


def chain(t):
    """The managed types from the root down to `t`."""
    out = []
    while isinstance(t, Type):
        out.append(t)
        t = t.base
    return out[::-1]
