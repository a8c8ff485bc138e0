"""Renders the templates over the catalogue and writes the generated tree.

Layout of the output folder:
  include/tarn/Support.h, include/tarn/Records.h         runtime glue and the type records
  include/tarn/<ns...>.h                                   one header per module
  include/tarn/<ns...>/<Type>.h                            one header per top-level type
  include/tarn/internal/Generated.h                        shared by generated sources only
  src/types/<module>/part<N>.cpp                           classes, a few hundred types each
  src/typeinfo/<module>.cpp, <module>.h                    tables and registration
  src/typeinfo/versions.cpp, paths.cpp                     version table, diff path components
"""
import os

import jinja2

from .. import names
from .cppmodel import CppCatalogue, batches, build_families
from .views import EnumView, PropRow, TypeView, cstr, record_ref

TEMPLATES = os.path.join(os.path.dirname(__file__), "..", "templates")
# Module 8 creates this many of its enumerations through Quill::CreateEnumType<E>;
# all others are created inline by the callback. Both forms behave alike.
TEMPLATE_CREATED_ENUMS = ("tarn.host", 24)


def environment():
    env = jinja2.Environment(loader=jinja2.FileSystemLoader(TEMPLATES), undefined=jinja2.StrictUndefined,
                             trim_blocks=True, lstrip_blocks=True, keep_trailing_newline=True,
                             autoescape=False)
    # Every naming and formatting helper the templates use, in one table.
    env.filters.update({
        "record_ref": record_ref,
        "addr": lambda rec: "&::" + rec,
        "prop_row": lambda p: PropRow(p).init,
        "cstr": cstr,
        "cap": names.cap,
    })
    return env


def _module_dir(ns):
    return ns.split(".")[1:]


def module_header_path(ns):
    parts = _module_dir(ns)
    return "/".join(["tarn", *parts]) + ".h" if parts else "tarn/tarn.h"


class Plan:
    """Everything that will be written, computed once from the catalogue."""

    def __init__(self, cat):
        self.cat = cat
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
                self.views[t] = v
        for f in fams:
            f.views = [self.views[t] for t in f.types]
            f.namespace = names.cpp_namespace(f.top.module.namespace)
        self.path_names = sorted({p.name for t in cat.all_types() if t.kind in ("data", "fault") for p in t.props})

    def units(self, m):
        return batches(self.families_by_module.get(m.namespace, []))

    def files(self):
        """(relative path, template, context) of every output file."""
        out = [("include/tarn/Support.h", "support_header.h.j2", {}),
               ("include/tarn/Export.h", "export_header.h.j2", {}),
               ("include/tarn/Records.h", "records_header.h.j2",
                {"modules": self.cat.modules, "lts_slots": self.cat.settings["ltsSlots"]}),
               ("include/tarn/internal/Generated.h", "generated_internal.h.j2", {"path_names": self.path_names}),
               ("src/typeinfo/paths.cpp", "paths.cpp.j2", {"path_names": self.path_names}),
               ("facts.txt", "facts.txt.j2", {"modules": self.cat.modules}),
               ("src/typeinfo/versions.cpp", "version_table.cpp.j2", self.version_context())]
        for m in self.cat.modules:
            fams = self.families_by_module.get(m.namespace, [])
            for f in fams:
                out.append(("include/" + f.header, "family_header.h.j2", {"fam": f}))
            out.append(("include/" + module_header_path(m.namespace), "module_header.h.j2",
                        {"module": m, "headers": [f.header for f in fams]}))
            internal = f"src/typeinfo/{m.namespace}.h"
            ctx = {"module": m, "views": [self.views[t] for t in m.slots],
                   "slots_name": self.views[m.slots[0]].module_slots, "slot_count": len(m.slots),
                   "internal_header": os.path.basename(internal)}
            out.append((internal, "module_internal.h.j2", ctx))
            out.append((f"src/typeinfo/{m.namespace}.cpp", "module_registration.cpp.j2", dict(
                ctx, data=[self.views[t] for t in m.data_types], enums=[self.views[t] for t in m.enums],
                managed=[self.views[t] for t in m.managed])))
            for n, unit in enumerate(self.units(m), 1):
                views = [v for f in unit for v in f.views]
                # a unit defines slot accessors by slot order, whatever its families' order
                views.sort(key=lambda v: v.slot)
                own = [f.header for f in unit]
                extra = sorted({h for v in views for h in self.cc.definition_headers(v.t)} - set(own))
                out.append((f"src/types/{m.namespace}/part{n}.cpp", "types_unit.cpp.j2", {
                    "module": m, "part": n, "views": views, "headers": own + extra,
                    "has_enums": any(v.kind == "enum" for v in views),
                    "own_enums": [v for v in views if v.kind == "enum"],
                    "foreign_enums": self.foreign_enums(views),
                    "internal_header": f"../../typeinfo/{m.namespace}.h"}))
        return out

    def foreign_enums(self, views):
        """Enumerations of other units whose arrays this unit's fields hold."""
        own = {v.t for v in views}
        found = {}
        for v in views:
            for p in v.t.props:
                ty = p.type
                if getattr(ty, "kind", None) == "enum" and p.array and ty not in own:
                    found[ty] = self.views[ty]
        return sorted(found.values(), key=lambda e: e.name)

    def version_context(self):
        s = self.cat.settings
        return {"namespace": self.cat.namespace, "versions": self.cat.versions, "parents": self.cat.parents,
                "dependencies": s["dependencies"], "lts_slots": s["ltsSlots"], "trailer": s["trailer"],
                "task_type": s["taskType"], "task_namespace": s["taskNamespace"]}


def planned_outputs(cat):
    return [path for path, _, _ in Plan(cat).files()]


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


def generate(cat, outdir):
    """Write every output under `outdir`; files whose content is unchanged keep their time stamp."""
    env = environment()
    plan = Plan(cat)
    written = 0
    files = plan.files()
    for path, template, ctx in files:
        text = env.get_template(template).render(**ctx)
        written += _write_if_changed(os.path.join(outdir, path), text)
    return len(files), written
