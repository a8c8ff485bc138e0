"""The runtime's declared types (quill/sedge/): their headers, classes, field tables and
descriptors, written for libquill through the templates of the catalogue's classes.

The data and fault types of the modules "sedge" and "sedge.fault" take the slots of the module
"sedge" after its roots (RuntimeSlots.h); every other runtime module (sedge.query) has a slot
array of its own and a generated Bind function that the runtime calls when it binds that module.
Its managed types get interfaces, stubs, skeletons, dispatch and method-object arrays as the
catalogue's do."""
from .. import names
from ..model.types import Primitive, RuntimeType, Type
from ..model.runtime import PRIMITIVES
from .cppmodel import CppCatalogue, q
from .generate import decorate_managed
from .views import EnumView, TypeView

# The public header of each runtime module, under the names the runtime has always had.
RUNTIME_HEADERS = {"sedge": "quill/DataTypes.h", "sedge.fault": "quill/Faults.h", "sedge.query": "quill/Query.h"}
# Modules whose data types take the slots of "sedge".
SEDGE_SLOT_MODULES = ("sedge", "sedge.fault")
# Headers of the roots that declared types derive from.
_ROOT_HEADERS = {"Quill::DynamicData": "quill/Any.h", "Quill::MethodFault": "quill/MethodFault.h",
                 "Quill::RuntimeFault": "quill/MethodFault.h"}
_MANAGED_HEADERS = {"quill/ManagedObject.h", "quill/Stub.h", "quill/StubSupport.h", "basalt/ScheduledItem.h"}


class RuntimeView(TypeView):
    """A declared type as the templates see it: exported by libquill, its tables in
    Quill::Detail, its type object in the runtime's slots after the roots."""
    api = "QUILL_API"
    data_api = "QUILL_API"
    gen_ns = "Quill::Detail"
    module_slots = "gSedgeSlots"


class RuntimeEnumView(EnumView):
    api = "QUILL_API"
    data_api = "QUILL_API"
    gen_ns = "Quill::Detail"
    created_by_template = False


def module_stem(namespace):
    """"sedge.query" -> "SedgeQuery": names the module's slot array and Bind function."""
    return "".join(names.cap(c) for c in namespace.split("."))


def _header_of(ty):
    if isinstance(ty, Type):
        return RUNTIME_HEADERS[ty.module.namespace]
    if isinstance(ty, RuntimeType):
        return _ROOT_HEADERS.get(ty.cpp, "quill/Values.h")   # the managed root: Quill::MoRef
    if isinstance(ty, Primitive):
        return "quill/Any.h" if ty.name == "any" else ty.header
    return None


def _includes(m):
    """What a module's header needs: its bases' and its members' classes, complete."""
    hs = {"basalt/Object.h", "basalt/Optional.h", "quill/Forward.h"}
    for t in m.types:
        refs = [t.base] + [p.type for p in t.props]
        for meth in t.methods:
            refs += [p.type for p in meth.params] + [meth.result.type] + list(meth.faults)
        hs.update(_header_of(ty) for ty in refs)
        if t.kind == "managed":
            hs.update(_MANAGED_HEADERS)
    hs.discard(None)
    hs.discard(RUNTIME_HEADERS[m.namespace])
    return sorted(h for h in hs if "/" in h), sorted(h for h in hs if "/" not in h)


def _views(cc, cat):
    views, declared = {}, 0
    for m in cat.modules:
        own = m.namespace not in SEDGE_SLOT_MODULES
        for i, t in enumerate(m.slots):
            if not own and t.kind not in ("data", "fault"):
                raise ValueError(f"{t.name}: module {m.namespace} holds data and fault types only")
            if own:
                v = (RuntimeEnumView if t.kind == "enum" else RuntimeView)(cc, t, i)
                v.module_slots = "gSlots" + module_stem(m.namespace)
            else:
                v = RuntimeView(cc, t, f"::Quill::Detail::S_Declared + {declared}")
                declared += 1
            if t.kind == "enum":
                outer = cc.outer(t)
                v.scope = ("::" + outer.cpp + "::") if outer else ("::" + names.cpp_namespace(m.namespace) + "::")
            if t.kind == "managed":
                decorate_managed(cc, v)
            views[t] = v
    return views


def runtime_files(cat):
    """(relative path, template, context) of every output file."""
    cc = CppCatalogue(cat)
    views = _views(cc, cat)
    out = []
    for m in cat.modules:
        local, system = _includes(m)
        mv = [views[t] for t in m.types]
        out.append(("include/" + RUNTIME_HEADERS[m.namespace], "runtime_header.h.j2", {
            "module": m, "views": mv, "includes": local, "system_includes": system,
            "namespace": names.cpp_namespace(m.namespace),
            "records": m.namespace not in SEDGE_SLOT_MODULES}))
    sedge_slot = [views[t] for m in cat.modules if m.namespace in SEDGE_SLOT_MODULES for t in m.types]
    own_modules = [{"module": m, "stem": module_stem(m.namespace), "slots": [views[t] for t in m.slots]}
                   for m in cat.modules if m.namespace not in SEDGE_SLOT_MODULES]
    all_views = [views[t] for t in cat.all_types()]
    out.append(("src/RuntimeTypes.h", "runtime_internal.h.j2", {
        "views": sedge_slot, "all_views": all_views, "own_modules": own_modules}))
    out.append(("src/RuntimeTypes.cpp", "runtime_unit.cpp.j2", {
        "views": all_views, "sedge_slot": sedge_slot, "own_modules": own_modules,
        "headers": [RUNTIME_HEADERS[m.namespace] for m in cat.modules],
        "primitives": [(p, q(p.cpp)) for p in PRIMITIVES.values()]}))
    return out
