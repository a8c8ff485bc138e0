"""The runtime's declared types (quill/sedge/): their headers, classes, field tables and
descriptors, written for libquill through the templates of the catalogue's classes."""
from .. import names
from ..model.types import Primitive, RuntimeType, Type
from .cppmodel import _PRIMITIVE_HEADERS, CppCatalogue
from .views import TypeView

# The public header of each runtime module, under the names the runtime has always had.
RUNTIME_HEADERS = {"sedge": "quill/DataTypes.h", "sedge.fault": "quill/Faults.h"}
# Headers of the roots that declared types derive from.
_ROOT_HEADERS = {"Quill::DynamicData": "quill/Any.h", "Quill::MethodFault": "quill/MethodFault.h",
                 "Quill::RuntimeFault": "quill/MethodFault.h"}


class RuntimeView(TypeView):
    """A declared type as the templates see it: exported by libquill, its tables in
    Quill::Detail, its type object in the runtime's slots after the roots."""
    api = "QUILL_API"
    gen_ns = "Quill::Detail"
    module_slots = "gSedgeSlots"


def _header_of(ty):
    if isinstance(ty, Type):
        return RUNTIME_HEADERS[ty.module.namespace]
    if isinstance(ty, RuntimeType):
        return _ROOT_HEADERS.get(ty.cpp, "quill/Values.h")   # the managed root: Quill::MoRef
    if isinstance(ty, Primitive):
        return "quill/Any.h" if ty.name == "any" else _PRIMITIVE_HEADERS.get(ty.name)
    return None


def _includes(m):
    """What a module's header needs: its bases' and its members' classes, complete."""
    hs = {"basalt/Object.h", "basalt/Optional.h", "quill/Forward.h"}
    for t in m.types:
        hs.update(_header_of(ty) for ty in [t.base] + [p.type for p in t.props])
    hs.discard(None)
    hs.discard(RUNTIME_HEADERS[m.namespace])
    return sorted(h for h in hs if "/" in h), sorted(h for h in hs if "/" not in h)


def runtime_files(cat):
    """(relative path, template, context) of every output file."""
    cc = CppCatalogue(cat)
    views = [RuntimeView(cc, t, f"::Quill::Detail::S_Declared + {i}") for i, t in enumerate(cat.all_types())]
    out = []
    for m in cat.modules:
        local, system = _includes(m)
        out.append(("include/" + RUNTIME_HEADERS[m.namespace], "runtime_header.h.j2", {
            "module": m, "views": [v for v in views if v.t.module is m], "includes": local,
            "system_includes": system, "namespace": names.cpp_namespace(m.namespace)}))
    out.append(("src/RuntimeTypes.h", "runtime_internal.h.j2", {"views": views}))
    out.append(("src/RuntimeTypes.cpp", "runtime_unit.cpp.j2", {
        "views": views, "headers": [RUNTIME_HEADERS[m.namespace] for m in cat.modules]}))
    return out
