"""From parsed files to the resolved catalogue, checking every rule on the way.

Every problem is collected with its file and line, so one run reports them all.
"""
import glob
import os

from .. import names
from ..errors import SedgeError, SedgeErrors
from ..parse import parse_module_file, parse_version_file
from ..parse.versions import KINDS as VERSION_KINDS
from .runtime import DATA_ROOT, MANAGED_ROOT, PRIMITIVES, RUNTIME_VERSIONS, runtime_names
from .types import (F_ARRAY, F_LINK, F_LINKABLE, F_MANAGED, F_OPTIONAL, F_SECRET, FLAG_BITS,
                    Catalogue, Method, Module, Property, Type, Version)

NO_RESULT_VERSION = "sedge.version.version0"
SECRET_TYPES = ("string", "binary")


def load_catalogue(schema_dir):
    """Parse and resolve every file of a schema folder; raise SedgeErrors on any problem."""
    errors, files = [], []
    version_file = None
    for path in sorted(glob.glob(os.path.join(schema_dir, "*.sedge"))):
        try:
            if os.path.basename(path) == "versions.sedge":
                version_file = parse_version_file(path)
            else:
                files.append(parse_module_file(path))
        except SedgeErrors as e:
            errors.extend(e.errors)
    if version_file is None:
        errors.append(SedgeError(None, f"{schema_dir}: no versions.sedge"))
    if errors:
        raise SedgeErrors(errors)
    return build_model(files, version_file)


class _Builder:
    def __init__(self, files, version_file):
        self.files = files
        self.vf = version_file
        names.set_root(version_file.namespace)
        self.errors = []
        self.types = {}
        self.runtime = runtime_names()

    def error(self, loc, message):
        self.errors.append(SedgeError(loc, message))

    # -- versions -------------------------------------------------------------
    def versions(self):
        vf, rows, seen = self.vf, [], {}
        s = vf.settings
        for row in vf.rows:
            if row.name in seen:
                self.error(row.loc, f"version '{row.name}' listed twice")
                continue
            v = Version(row.name, row.wire_namespace or s.get("wireNamespace", ""),
                        row.wire_version, VERSION_KINDS[row.kind],
                        row.version_flags if row.version_flags is not None else s.get("versionFlags", 0))
            seen[row.name] = v
            rows.append(v)
        for name, parent, loc in vf.parents:
            if name not in seen:
                self.error(loc, f"parent pair names '{name}', which is not a row of the table")
            elif parent not in seen and parent not in RUNTIME_VERSIONS:
                self.error(loc, f"unknown parent version '{parent}'")
            else:
                seen[name].parents.append(parent)
        for key in ("dependencies", "wireNamespace", "taskType", "taskNamespace", "versionFlags",
                    "ltsSlots", "trailer"):
            if key not in s:
                self.error(None, f"{vf.path}: the namespace settings lack '{key}'")
        self.version_names = set(seen) | set(RUNTIME_VERSIONS)
        self.version_rows = rows
        self._check_version_cycles(seen)

    def _check_version_cycles(self, rows):
        state = {}

        def visit(name, path):
            if state.get(name) == 1:
                self.error(self.vf.parents[0][2] if self.vf.parents else None,
                           "the parent pairs form a cycle: " + " -> ".join(path + [name]))
                return
            if state.get(name) == 2 or name not in rows:
                return
            state[name] = 1
            for p in rows[name].parents:
                visit(p, path + [name])
            state[name] = 2

        for name in rows:
            visit(name, [])

    def version(self, written, loc, default):
        if written is None:
            return default
        full = written if "." in written else f"{self.vf.namespace}.version.{written}"
        if full not in self.version_names:
            self.error(loc, f"unknown version '{written}'")
        return full

    # -- declarations ---------------------------------------------------------
    def declare(self):
        modules, loads = [], {}
        namespaces = {f.namespace for f in self.files} | {names.ROOT}
        for f in self.files:
            prefix = f.prefix or names.default_wsdl_prefix(f.namespace)
            expected = os.path.basename(f.path)
            if expected != f"{f.namespace}.sedge" and not f.path.startswith("<"):
                self.error(f.loc, f"module {f.namespace} belongs in a file named {f.namespace}.sedge")
            if f.load is None:
                self.error(f.loc, f"module {f.namespace} has no load position")
            elif f.load in loads:
                self.error(f.loc, f"load position {f.load} also used by {loads[f.load]}")
            else:
                loads[f.load] = f.namespace
            m = Module(f.namespace, f.load or 0, prefix, f.path)
            modules.append(m)
            for d in f.decls:
                full = names.full_name(d.name)
                home = _home_module(full, namespaces)
                if home != f.namespace:
                    self.error(d.loc, f"'{d.name}' does not belong to module {f.namespace}"
                               + (f" but to {home}" if home else ""))
                    continue
                if full in self.types:
                    other = self.types[full]
                    self.error(d.loc, f"'{d.name}' is declared twice (first at {other.loc})")
                    continue
                if d.name in PRIMITIVES or d.name in self.runtime:
                    self.error(d.loc, f"'{d.name}' is the name of a built-in type")
                t = Type(d.kind, full, m, d.wsdl or "", bool(d.wsdl),
                         self.version(d.since, d.loc, _default_version()), None, d.loc)
                t.decl = d
                if d.kind == "enum":
                    t.tags = list(d.tags)
                self.types[full] = t
                m.types.append(t)
        modules.sort(key=lambda m: m.load)
        self.modules = modules

    def resolve(self, ref, what):
        """A catalogue type, a runtime type or a primitive; None (and an error) if unknown."""
        name = ref.name
        found = []
        if name in PRIMITIVES:
            found.append(PRIMITIVES[name])
        if name in self.runtime:
            found.append(self.runtime[name])
        full = names.full_name(name)
        if full in self.types:
            found.append(self.types[full])
        if not found:
            self.error(ref.loc, f"unknown {what} '{name}'")
            return None
        if len(found) > 1:
            self.error(ref.loc, f"ambiguous {what} '{name}'")
        return found[0]

    # -- bases ------------------------------------------------------------------
    def bases(self):
        for t in self.types.values():
            d = t.decl
            if t.kind == "enum":
                continue
            if d.base is not None:
                base = self.resolve(d.base, "base type")
                if base is None:
                    continue
                want = {"data": ("data",), "fault": ("fault",), "managed": ("managed",)}[t.kind]
                if getattr(base, "kind", None) not in want:
                    self.error(d.base.loc, f"{t.kind} type '{d.name}' cannot derive from "
                                           f"{getattr(base, 'kind', 'primitive')} '{d.base.name}'")
                    continue
                t.base = base
            elif t.kind == "managed":
                t.base = MANAGED_ROOT
            elif t.kind == "fault":
                self.error(d.loc, f"fault '{d.name}' has no base: faults take their place in the fault tree")
            elif t.module.namespace == f"{names.ROOT}.event" and len(t.type_components) == 1 \
                    and t.name.endswith("Event") and t.name != _event_base() and _event_base() in self.types:
                t.base = self.types[_event_base()]
            else:
                t.base = DATA_ROOT
        # cycles
        for t in self.types.values():
            seen, b = {t}, t.base
            while isinstance(b, Type):
                if b in seen:
                    self.error(t.loc, f"'{t.rel_name}' derives from itself through its bases")
                    t.base = None
                    break
                seen.add(b)
                b = b.base
        # creation order: within a module a base comes before what derives from it
        for m in self.modules:
            pos = {t: i for i, t in enumerate(m.types)}
            for t in m.types:
                b = t.base
                if isinstance(b, Type) and b.module is m and pos[b] > pos[t]:
                    self.error(t.loc, f"'{t.rel_name}' comes before its base '{b.rel_name}' "
                                      f"(declared at {b.loc})")

    # -- members ----------------------------------------------------------------
    def flags_of(self, written, ref, loc):
        flags = F_ARRAY if ref.array else 0
        for w in written:
            flags |= FLAG_BITS[w]
        return flags

    def props(self, t):
        seen = {}
        for p in t.decl.props:
            if p.name in seen:
                self.error(p.loc, f"property '{p.name}' declared twice in '{t.rel_name}'")
                continue
            ty = self.resolve(p.type, "property type")
            flags = self.flags_of(p.flags, p.type, p.loc)
            if t.kind == "managed":
                flags |= F_MANAGED
            default = NO_RESULT_VERSION if (p.name == "dynamicProperty" and not t.props) else _default_version()
            prop = Property(p.name, ty, flags, self.version(p.since, p.loc, default), p.priv,
                            p.inferred, t, loc=p.loc)
            self.check_prop_flags(prop, t, p)
            seen[p.name] = prop
            t.props.append(prop)

    def check_prop_flags(self, prop, t, decl):
        ty, f = prop.type, prop.flags
        if ty is None:
            return
        kind = getattr(ty, "kind", None)
        if f & F_LINK:
            if t.kind == "managed" or kind not in ("data",) or getattr(ty, "runtime", False):
                self.error(decl.loc, f"'{prop.name}': only a data object property of a data type "
                                     f"can be a link (it holds the key of a linkable object)")
        if f & F_LINKABLE:
            if t.kind == "managed" or kind != "data" or not (f & F_ARRAY) or not (f & F_OPTIONAL):
                self.error(decl.loc, f"'{prop.name}': a linkable property is an optional array of "
                                     f"data objects")
        if f & F_SECRET and getattr(ty, "name", None) not in SECRET_TYPES:
            self.error(decl.loc, f"'{prop.name}': only string and binary values can be secret")

    def methods(self, t):
        seen = set()
        for md in t.decl.methods:
            if md.name in seen:
                self.error(md.loc, f"method '{md.name}' declared twice in '{t.rel_name}'")
                continue
            seen.add(md.name)
            version = self.version(md.since, md.loc, _default_version())
            wsdl = md.wsdl or names.cap(md.name)
            if md.task != wsdl.endswith("_Task"):
                self.error(md.loc, f"method '{md.name}': WSDL name '{wsdl}' "
                           + ("of a task method must end in '_Task'" if md.task
                              else "ends in '_Task' but the method is not marked task"))
            if md.result is None:
                if md.result_flags:
                    self.error(md.loc, f"method '{md.name}': a void result has no flags")
                result = Property("result", None, 0, NO_RESULT_VERSION, None, loc=md.loc)
            else:
                rty = self.resolve(md.result, "result type")
                result = Property("result", rty, self.flags_of(md.result_flags, md.result, md.loc),
                                  version, None, loc=md.loc)
                if result.flags & F_SECRET and getattr(rty, "name", None) not in SECRET_TYPES:
                    self.error(md.loc, f"method '{md.name}': only string and binary results can be secret")
            params, pseen = [], set()
            for pd in md.params:
                if pd.name in pseen:
                    self.error(pd.loc, f"parameter '{pd.name}' declared twice in '{md.name}'")
                    continue
                pseen.add(pd.name)
                pty = self.resolve(pd.type, "parameter type")
                p = Property(pd.name, pty, self.flags_of(pd.flags, pd.type, pd.loc),
                             self.version(pd.since, pd.loc, version), pd.needs, loc=pd.loc)
                if p.flags & F_SECRET and getattr(pty, "name", None) not in SECRET_TYPES:
                    self.error(pd.loc, f"parameter '{pd.name}': only string and binary values can be secret")
                params.append(p)
            faults = []
            for ref in md.raises:
                f = self.resolve(ref, "fault")
                if f is not None and getattr(f, "kind", None) != "fault":
                    self.error(ref.loc, f"'{ref.name}' in the fault list of '{md.name}' is not a fault")
                elif f is not None:
                    faults.append(f)
            tprivs = []
            for ref, priv in md.typeprivs:
                tt = self.resolve(ref, "managed type")
                if tt is not None and getattr(tt, "kind", None) != "managed":
                    self.error(ref.loc, f"'{ref.name}' in a typepriv line is not a managed type")
                elif tt is not None:
                    tprivs.append((tt, priv))
            if tprivs and md.priv is not None:
                self.error(md.loc, f"method '{md.name}' has per-type privileges and a privilege of its own")
            t.methods.append(Method(md.name, wsdl, md.priv, tprivs, result, params, faults,
                                    md.task, md.internal, version, t, loc=md.loc))

    def members(self):
        for t in self.types.values():
            if t.kind == "enum":
                consts = {}
                for tag in t.tags:
                    c = names.tag_constant(t.simple_name, tag)
                    if c in consts:
                        self.error(t.loc, f"tags \"{consts[c]}\" and \"{tag}\" of '{t.rel_name}' "
                                          f"both give the constant {c}")
                    consts[c] = tag
                continue
            self.props(t)
            self.methods(t)

    # -- managed sequences --------------------------------------------------------
    def sequences(self):
        done = set()

        def seq(t):
            if t in done or not isinstance(t, Type):
                return
            done.add(t)
            inherited = []
            if isinstance(t.base, Type):
                seq(t.base)
                inherited = list(t.base.all_props)
            by_name = {p.name: p for p in inherited}
            t.all_props = inherited
            for p in t.props:
                old = by_name.get(p.name)
                if old is not None:
                    p.redeclares = old
                    p.index = old.index
                else:
                    p.index = len(t.all_props)
                    t.all_props = t.all_props + [p]
            for i, m in enumerate(t.methods):
                m.index = i

        for t in self.types.values():
            if t.kind == "managed":
                seq(t)

    # -- WSDL names -----------------------------------------------------------------
    def wsdl_names(self):
        taken = {}
        ordered = [t for m in self.modules for t in m.types]
        for t in ordered:
            if t.wsdl_given:
                if t.wsdl in taken:
                    self.error(t.loc, f"WSDL name '{t.wsdl}' is also that of '{taken[t.wsdl].rel_name}'")
                taken[t.wsdl] = t
        for t in ordered:
            if t.wsdl_given:
                continue
            if t.kind == "fault":
                candidates = [t.simple_name]
            else:
                joined = names.joined_type_components(t.name, t.module.namespace)
                candidates = [joined, t.module.prefix + names.cap(joined)]
            for c in candidates:
                if c not in taken:
                    t.wsdl = c
                    break
            else:
                self.error(t.loc, f"no free WSDL name for '{t.rel_name}' ('{candidates[-1]}' is "
                                  f"taken by '{taken[candidates[-1]].rel_name}'); give one with 'wsdl'")
                t.wsdl = candidates[-1]
            taken.setdefault(t.wsdl, t)

    def build(self):
        self.versions()
        self.declare()
        self.bases()
        self.members()
        self.sequences()
        self.wsdl_names()
        if self.errors:
            raise SedgeErrors(sorted(self.errors, key=_order))
        return Catalogue(self.modules, self.types, self.version_rows,
                         [(a, b) for a, b, _ in self.vf.parents], self.vf.settings, self.vf.namespace)


def _default_version():
    return f"{names.ROOT}.version.version1"


def _event_base():
    return f"{names.ROOT}.event.Event"


def _home_module(full, namespaces):
    """The module of a type is its innermost namespace: the longest module prefix of its name."""
    parts = full.split(".")
    for n in range(len(parts) - 1, 0, -1):
        prefix = ".".join(parts[:n])
        if prefix in namespaces:
            return prefix
    return None


def _order(e):
    loc = e.loc
    return (loc.path, loc.line) if loc else ("", 0)


def build_model(files, version_file):
    return _Builder(files, version_file).build()
