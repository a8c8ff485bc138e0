"""What the parser reads, as written: names unresolved, defaults not applied."""
from dataclasses import dataclass, field
from typing import List, Optional

from ..errors import Loc


@dataclass
class TypeRef:
    name: str
    array: bool
    loc: Loc


@dataclass
class PropDecl:
    name: str
    type: TypeRef
    flags: List[str]
    since: Optional[str]
    priv: Optional[str]
    inferred: bool
    loc: Loc


@dataclass
class ParamDecl:
    name: str
    type: TypeRef
    flags: List[str]
    since: Optional[str]
    needs: Optional[str]
    loc: Loc


@dataclass
class MethodDecl:
    name: str
    wsdl: Optional[str]
    result: Optional[TypeRef]          # None: returns void
    result_flags: List[str]
    priv: Optional[str]
    since: Optional[str]
    task: bool
    internal: bool
    loc: Loc
    params: List[ParamDecl] = field(default_factory=list)
    raises: List[TypeRef] = field(default_factory=list)
    typeprivs: List[tuple] = field(default_factory=list)   # (TypeRef, privilege)


@dataclass
class TypeDecl:
    kind: str                          # data, fault, enum, managed
    name: str                          # catalogue notation: without "tarn."
    base: Optional[TypeRef]
    wsdl: Optional[str]
    since: Optional[str]
    loc: Loc
    props: List[PropDecl] = field(default_factory=list)
    methods: List[MethodDecl] = field(default_factory=list)
    tags: List[str] = field(default_factory=list)


@dataclass
class ModuleFile:
    path: str
    namespace: str                     # full: "tarn.vm"
    load: Optional[int]
    prefix: Optional[str]
    loc: Loc
    decls: List[TypeDecl] = field(default_factory=list)


@dataclass
class VersionRow:
    kind: str
    name: str                          # full: "tarn.version.version1"
    wire_version: str
    wire_namespace: Optional[str]
    version_flags: Optional[int]
    loc: Loc


@dataclass
class VersionFile:
    path: str
    namespace: str
    settings: dict
    rows: List[VersionRow] = field(default_factory=list)
    parents: List[tuple] = field(default_factory=list)      # (name, parent, Loc)
