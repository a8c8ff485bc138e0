"""Renders the templates over the catalogue and writes the generated tree.

Layout of the output folder:
  include/tarn/Support.h, include/tarn/Records.h         runtime glue and the type records
  include/tarn/<ns...>.h                                   one header per module
  include/tarn/<ns...>/<Type>.h                            one header per top-level type
  include/tarn/internal/Generated.h                        shared by generated sources only
  src/types/<module>/part<N>.cpp                           classes, a few hundred types each
  src/typeinfo/<module>.cpp, <module>.h                    tables and registration
  src/typeinfo/versions.cpp, support.cpp                   version table, shared helpers
  src/typeinfo/identity.cpp                                what the library calls itself on the network
"""
import os

import jinja2

from .. import names
from . import identity, wsdl
from .cppmodel import (CppCatalogue, batches, build_families, chain, own_operations,
                       redeclared_getters)
from ..model.types import Type
from .views import EnumView, TypeView, c_escape

TEMPLATES = os.path.join(os.path.dirname(__file__), "..", "templates")
# Module 8 creates this many of its enumerations through Quill::CreateEnumType<E>;
# all others are created inline by the callback. Both forms behave alike.
TEMPLATE_CREATED_ENUMS = ("tarn.host", 24)


def environment():
    env = jinja2.Environment(loader=jinja2.FileSystemLoader(TEMPLATES), undefined=jinja2.StrictUndefined,
                             trim_blocks=True, lstrip_blocks=True, keep_trailing_newline=True,
                             autoescape=False)
    # The text helpers the templates use; the C++ they write is in the templates (cpp.j2).
    env.filters.update({
        "c_escape": c_escape,
        "cap": names.cap,
    })
    return env


def _module_dir(ns):
    return ns.split(".")[1:]


def module_header_path(ns):
    parts = _module_dir(ns)
    return "/".join([names.ROOT, *parts]) + ".h" if parts else f"{names.ROOT}/{names.ROOT}.h"


class Library:
    """What the generated library is called, all of it derived from the catalogue's root
    namespace ("tarn"): the include folder, the C++ namespace, the prefix of its macros, the
    namespace of its internal tables and the name its comments give it."""

    def __init__(self, cat):
        root = cat.namespace
        self.root = root
        self.include = root
        self.cpp = names.cpp_namespace(root)
        self.macro = names.constant_word(root)
        self.gen = self.macro.lower() + "_gen"
        self.title = "lib" + cat.settings.get("product", f"{root}-types")
        # A library whose program binds its modules itself, in the order it chooses, gets a
        # bind function per module instead of initialisers that run at load.
        self.explicit_bind = cat.settings.get("binding") == "explicit"

    @staticmethod
    def bind_function(namespace):
        """"sample.ext" -> "BindSampleExt"."""
        return "Bind" + "".join(names.cap(c) for c in namespace.split("."))


def decorate_managed(cc, v, disabled=frozenset()):
    """Interface levels, stub overriders, dispatch entries and property lookup of a managed type."""
    t = v.t
    # A getter re-declared lower in the chain is served by the nearest re-declaring type.
    redeclared, levels = {}, []
    for level in chain(t):
        redeclared.update({op.prop_name: op for op in redeclared_getters(cc, level, disabled)})
    for level in chain(t):
        ops = own_operations(cc, level, disabled)
        if level is not t:
            ops = [redeclared.get(op.prop_name, op) if op.is_getter else op for op in ops]
        levels.append(type("Level", (), {"type": level, "ops": ops}))
    v.levels = levels
    v.inherited_names = sorted({op.name for lv in levels[:-1] for op in lv.ops})
    base = t.base
    v.base_stub = ("::" + base.cpp + "Stub") if isinstance(base, Type) else "::Quill::StubImpl"
    v.base_stub_header = cc.stub_header(base) if isinstance(base, Type) else ""
    v.header = cc.header(t)
    v.namespace = names.cpp_namespace(t.module.namespace)
    v.method_objects = "::" + t.method_objects
    own = own_operations(cc, t, disabled) + redeclared_getters(cc, t, disabled)
    v.dispatch_ops = sorted((op for op in own if op.is_getter or not op.disabled), key=lambda op: op.index)
    by_length = {}
    for p in t.all_props:
        by_length.setdefault(len(p.name.encode()), []).append((p.name, p.index))
    v.property_index = sorted(by_length.items())


class Plan:
    """Everything that will be written, computed once from the catalogue."""

    def __init__(self, cat):
        self.cat = cat
        self.lib = Library(cat)
        self.cc = CppCatalogue(cat)
        fams = build_families(self.cc)
        self.families_by_module = {}
        for f in fams:
            self.families_by_module.setdefault(f.top.module.namespace, []).append(f)
        self.views = {}
        for m in cat.modules:
            slots_name = "gSlots" + "".join(names.cap(c) for c in m.namespace.split("."))
            host_ns, host_n = TEMPLATE_CREATED_ENUMS
            for i, t in enumerate(m.slots):
                v = (EnumView if t.kind == "enum" else TypeView)(self.cc, t, i)
                v.module_slots = slots_name
                if t.kind == "enum":
                    ordinal = m.enums.index(t)
                    v.created_by_template = m.namespace == host_ns and ordinal < host_n
                    outer = self.cc.outer(t)
                    v.scope = ("::" + outer.cpp + "::") if outer else ("::" + names.cpp_namespace(m.namespace) + "::")
                v.api, v.data_api, v.gen_ns = self.lib.macro + "_API", self.lib.macro + "_DATA", self.lib.gen
                v.home_ns = self.lib.cpp
                self.views[t] = v
        self.disabled = {v.name for v in cat.versions if v.kind == 3}
        for t in cat.all_types():
            if t.kind == "managed":
                self.decorate_managed(self.views[t])
        for f in fams:
            f.views = [self.views[t] for t in f.types]
            f.namespace = names.cpp_namespace(f.top.module.namespace)

    def decorate_managed(self, v):
        decorate_managed(self.cc, v, self.disabled)

    def units(self, m):
        return batches(self.families_by_module.get(m.namespace, []))

    def files(self, extras=True):
        """(relative path, template, context) of every output file; without `extras`, only the
        library's sources (no WSDL, identity, facts or generated tests)."""
        inc = "include/" + self.lib.include
        out = [(f"{inc}/Support.h", "support_header.h.j2", {}),
               (f"{inc}/Export.h", "export_header.h.j2", {}),
               (f"{inc}/Records.h", "records_header.h.j2",
                {"modules": self.cat.modules, "lts_slots": self.cat.settings["ltsSlots"],
                 "bind_functions": {m.namespace: Library.bind_function(m.namespace) for m in self.cat.modules}}),
               (f"{inc}/internal/Generated.h", "generated_internal.h.j2", {}),
               ("src/typeinfo/support.cpp", "support.cpp.j2", {})]
        if extras:
            out.append(("facts.txt", "facts.txt.j2", {"modules": self.cat.modules}))
        out.append(("src/typeinfo/versions.cpp", "version_table.cpp.j2", self.version_context()))
        for m in self.cat.modules:
            fams = self.families_by_module.get(m.namespace, [])
            for f in fams:
                out.append(("include/" + f.header, "family_header.h.j2", {"fam": f}))
            stubs = [self.views[t] for t in m.managed]
            for v in stubs:
                out.append(("include/" + self.cc.stub_header(v.t), "stub_header.h.j2", {"v": v}))
                out.append(("include/" + self.cc.skeleton_header(v.t), "skeleton_header.h.j2", {"v": v}))
            out.append(("include/" + module_header_path(m.namespace), "module_header.h.j2",
                        {"module": m, "headers": [f.header for f in fams] +
                         [h for v in stubs for h in (self.cc.stub_header(v.t), self.cc.skeleton_header(v.t))]}))
            internal = f"src/typeinfo/{m.namespace}.h"
            ctx = {"module": m, "views": [self.views[t] for t in m.slots],
                   "slots_name": self.views[m.slots[0]].module_slots, "slot_count": len(m.slots),
                   "internal_header": os.path.basename(internal)}
            out.append((internal, "module_internal.h.j2", ctx))
            out.append((f"src/typeinfo/{m.namespace}.cpp", "module_registration.cpp.j2", dict(
                ctx, data=[self.views[t] for t in m.data_types], enums=[self.views[t] for t in m.enums],
                managed=[self.views[t] for t in m.managed], bind_function=Library.bind_function(m.namespace))))
            for n, unit in enumerate(self.units(m), 1):
                views = [v for f in unit for v in f.views]
                # a unit defines slot accessors by slot order, whatever its families' order
                views.sort(key=lambda v: v.slot)
                own = [f.header for f in unit]
                extra = sorted({h for v in views for h in self.cc.definition_headers(v.t)} - set(own))
                out.append((f"src/types/{m.namespace}/part{n}.cpp", "types_unit.cpp.j2", {
                    "module": m, "part": n, "views": views, "headers": own + extra,
                    "has_enums": any(v.kind == "enum" for v in views),
                    "has_managed": any(v.kind == "managed" for v in views),
                    "internal_header": f"../../typeinfo/{m.namespace}.h"}))
            managed = [self.views[t] for t in m.managed]
            if not extras:
                continue
            if managed:
                headers = sorted({h for v in managed for lv in chain(v.t)
                                  for h in self.cc.definition_headers(lv)} |
                                 {self.cc.header(v.t) for v in managed})
                out.append((f"tests/calls_{m.namespace}.cpp", "call_tests.cpp.j2",
                            {"module": m, "views": managed, "headers": headers}))
            views = [self.views[t] for t in m.types]
            headers = sorted({self.cc.header(t) for t in m.types} |
                             {self.cc.stub_header(t) for t in m.managed} |
                             {h for t in m.managed for lv in chain(t) for h in self.cc.definition_headers(lv)})
            out.append((f"tests/exports_{m.namespace}.cpp", "exports_check.cpp.j2",
                        {"module": m, "views": views, "headers": headers}))
        if not extras:
            return out
        return out + wsdl.files(self.cat) + identity.files(self.cat)

    def version_context(self):
        s = self.cat.settings
        return {"namespace": self.cat.namespace, "versions": self.cat.versions, "parents": self.cat.parents,
                "dependencies": s["dependencies"], "lts_slots": s["ltsSlots"], "trailer": s["trailer"],
                "task_type": s["taskType"], "task_namespace": s["taskNamespace"]}


def planned_outputs(cat, extras=True):
    return [path for path, _, _ in Plan(cat).files(extras)]


def _write_if_changed(path, text):
    try:
        with open(path, encoding="utf-8") as f:
            if f.read() == text:
                return False
    except FileNotFoundError:
        pass
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)
    return True


def write_files(files, outdir, lib=None):
    """Render (path, template, context) triples under `outdir`; files whose content is unchanged
    keep their time stamp. Returns (files, files rewritten)."""
    env = environment()
    env.globals["lib"] = lib
    written = 0
    for path, template, ctx in files:
        # Every file names the template that wrote it in its first comment.
        text = env.get_template(template).render(template=template, **ctx)
        written += _write_if_changed(os.path.join(outdir, path), text)
    return len(files), written


def generate(cat, outdir, extras=True):
    """Write every output of the catalogue under `outdir`."""
    plan = Plan(cat)
    return write_files(plan.files(extras), outdir, plan.lib)
