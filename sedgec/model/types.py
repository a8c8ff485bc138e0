"""The resolved catalogue: every reference a type, every default applied, every index known."""
from dataclasses import dataclass, field
from typing import List, Optional

from .. import names

F_ARRAY, F_OPTIONAL, F_MANAGED = 0x1, 0x2, 0x4
F_LINKABLE, F_LINK, F_FLAG40, F_SECRET, F_FLAG400 = 0x10, 0x20, 0x40, 0x200, 0x400
FLAG_BITS = {"opt": F_OPTIONAL, "linkable": F_LINKABLE, "link": F_LINK, "f64": F_FLAG40,
             "secret": F_SECRET, "f1024": F_FLAG400}

KIND_CODES = {"enum": 15, "data": 16, "fault": 17, "managed": 18}


@dataclass(eq=False)
class Primitive:
    """One of the runtime's primitives: the row of its kind in quill/Kinds.h, as the generator
    needs it (the generated runtime checks that the two tables agree)."""
    name: str
    record: str
    cpp: str                  # the value's C++ type
    cpp_kind: str             # its Quill::Kind
    wire: str                 # its name on the wire, the item element of its arrays
    xsd: bool                 # the wire name is one of the XML Schema namespace
    header: str = None        # what a class holding one needs included (others come with it)
    kind: str = "primitive"

    @property
    def xsd_type(self):
        return ("xsd:" if self.xsd else "tns:") + self.wire


@dataclass(eq=False)
class RuntimeType:
    kind: str                 # data, fault, managed
    name: str                 # sedge name in the runtime's namespaces
    record: str               # C++ expression naming its record
    cpp: str                  # C++ class
    base: Optional["RuntimeType"]
    aliases: tuple
    runtime: bool = True

    @property
    def is_fault(self):
        return self.kind == "fault"


@dataclass(eq=False)
class Version:
    name: str
    wire_namespace: str
    wire_version: str
    kind: int
    version_flags: int
    parents: List[str] = field(default_factory=list)


@dataclass(eq=False)
class Property:
    name: str
    type: object              # Type, RuntimeType or Primitive
    flags: int
    version: str
    privilege: Optional[str]
    inferred: bool = False
    owner: Optional["Type"] = None
    redeclares: Optional["Property"] = None   # managed: the inherited property re-declared
    index: int = -1                           # managed: index in the complete sequence
    loc: object = None

    @property
    def array(self):
        return bool(self.flags & F_ARRAY)

    @property
    def optional(self):
        return bool(self.flags & F_OPTIONAL)


@dataclass(eq=False)
class Method:
    name: str
    wsdl: str
    privilege: Optional[str]
    type_privileges: list     # [(Type, privilege)]
    result: Property          # type None when the method returns nothing
    params: List[Property]
    faults: list              # [Type or RuntimeType]
    is_task: bool
    is_internal: bool
    version: str
    owner: "Type" = None
    index: int = -1
    loc: object = None

    @property
    def constant(self):
        return names.method_constant(self.name)


@dataclass(eq=False)
class Type:
    kind: str                 # data, fault, enum, managed
    name: str                 # full sedge name
    module: "Module"
    wsdl: str
    wsdl_given: bool
    version: str
    base: object              # Type or RuntimeType; None for enumerations
    loc: object
    props: List[Property] = field(default_factory=list)
    methods: List[Method] = field(default_factory=list)
    tags: List[str] = field(default_factory=list)
    runtime: bool = False
    # managed types: the complete property sequence (inherited first), by index
    all_props: List[Property] = field(default_factory=list)

    @property
    def kind_code(self):
        return KIND_CODES[self.kind]

    @property
    def is_fault(self):
        return self.kind == "fault"

    @property
    def rel_name(self):
        return self.name[len(names.ROOT) + 1:]

    @property
    def type_components(self):
        return names.split_name(self.name, self.module.namespace)[1]

    @property
    def cpp(self):
        return names.cpp_class(self.name, self.module.namespace)

    @property
    def record(self):
        return names.record_name(self.name)

    @property
    def simple_name(self):
        return self.type_components[-1]

    @property
    def redeclares_inherited(self):
        return self.kind in ("data", "fault") and bool(self.props) and \
            self.props[0].name == "dynamicProperty"

    @property
    def method_objects(self):
        return names.method_objects_name(self.name)

    @property
    def method_slots(self):
        return len(self.methods) + len(self.props) + 1

    def tag_constants(self):
        return [names.tag_constant(self.simple_name, t) for t in self.tags]

    def ancestors(self):
        """Base chain from the direct base up to the root (catalogue and runtime types)."""
        out, t = [], self.base
        while t is not None:
            out.append(t)
            t = t.base
        return out


@dataclass(eq=False)
class Module:
    namespace: str
    load: int
    prefix: str
    path: str
    types: List[Type] = field(default_factory=list)   # file (creation) order

    @property
    def data_types(self):
        return [t for t in self.types if t.kind in ("data", "fault")]

    @property
    def enums(self):
        return [t for t in self.types if t.kind == "enum"]

    @property
    def managed(self):
        return [t for t in self.types if t.kind == "managed"]

    @property
    def slots(self):
        """Slot order: data and faults, then enumerations, then managed types."""
        return self.data_types + self.enums + self.managed


@dataclass(eq=False)
class Catalogue:
    modules: List[Module]
    types: dict               # full sedge name -> Type
    versions: List[Version]
    parents: List[tuple]
    settings: dict
    namespace: str

    def all_types(self):
        for m in self.modules:
            yield from m.types

    def methods(self):
        for t in self.all_types():
            yield from t.methods
