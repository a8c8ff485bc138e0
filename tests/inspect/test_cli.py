"""tarn-inspect against the catalogue.

The tool reads the runtime's registry; these tests read schema/ through the generator's own
resolved model (sedgec) and compare. TARN_INSPECT names the built tool.
"""
import json
import os
import re
import subprocess
import sys
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, ROOT)
from sedgec import names  # noqa: E402
from sedgec.model import load_catalogue  # noqa: E402
from sedgec.parse.versions import KINDS, full_version_name  # noqa: E402

SCHEMA = os.path.join(ROOT, "schema")
TOOL = os.environ.get("TARN_INSPECT", os.path.join(ROOT, "build", "dev", "tools", "tarn-inspect"))
# The tool lies in <build>/tools; the generated headers in <build>/generated/include.
GENERATED_INCLUDE = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(TOOL))), "generated", "include")
RUNTIME_INCLUDE = os.path.join(ROOT, "quill", "include")
# The runtime's declared types (quill/sedge/) have generated headers in the build tree.
RUNTIME_GENERATED_INCLUDE = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(TOOL))),
                                         "quill", "generated", "include")


def runtime_header(header):
    """Path of a runtime header, written by hand or generated."""
    generated = os.path.join(RUNTIME_GENERATED_INCLUDE, header)
    return generated if os.path.exists(generated) else os.path.join(RUNTIME_INCLUDE, header)


PRIMITIVES = {"string", "boolean", "byte", "short", "int", "long", "float", "double", "dateTime",
              "binary", "any", "typeName", "methodName", "propertyPath", "uri"}
PROPERTY_KEYS = {"name", "type", "flags", "version", "privilege"}
METHOD_KEYS = {"name", "wsdlName", "privilege", "typePrivileges", "version", "isTask", "isInternal",
               "result", "params", "faults"}


def run(*args):
    return subprocess.run([TOOL, *args], capture_output=True, text=True, timeout=300)


def run_to_full_disk(*args):
    """Runs the tool with its standard output on /dev/full (every write fails)."""
    with open("/dev/full", "w") as full:
        return subprocess.run([TOOL, *args], stdout=full, stderr=subprocess.PIPE, text=True, timeout=300)


def project_version():
    with open(os.path.join(ROOT, "CMakeLists.txt")) as f:
        return re.search(r"project\(tarn\b[^)]*\bVERSION ([0-9.]+)", f.read()).group(1)


def run_ok(*args):
    r = run(*args)
    if r.returncode != 0:
        raise AssertionError(f"tarn-inspect {' '.join(args)} exited {r.returncode}: {r.stderr}")
    return r.stdout


def run_json(*args):
    return json.loads(run_ok(*args, "--json"))


# --- what the tool should say, from the generator's model ----------------------------

CATALOGUE = load_catalogue(SCHEMA)
DECLS = {t.name: t for t in CATALOGUE.all_types()}
VERSION_KIND_WORDS = {code: word for word, code in KINDS.items()}
PARENTS = [(v.name, p) for v in CATALOGUE.versions for p in v.parents]


def full_version(written):
    return full_version_name(CATALOGUE.namespace, written)


def described_property(p):
    return {"name": p.name, "type": p.type.name if p.type else None, "flags": p.flags,
            "version": p.version, "privilege": p.privilege}


def described_method(m):
    return {"name": m.name, "wsdlName": m.wsdl, "privilege": m.privilege,
            "typePrivileges": [[ty.name, pr] for ty, pr in m.type_privileges],
            "version": m.version, "isTask": m.is_task, "isInternal": m.is_internal,
            "result": {"type": m.result.type.name if m.result.type else None,
                       "flags": m.result.flags, "version": m.result.version},
            "params": [described_property(p) for p in m.params],
            "faults": [f.name for f in m.faults]}


def described(t):
    """show --json of a catalogue type, but for its C++ names (checked on their own)."""
    want = {"name": t.name, "wsdlName": t.wsdl, "kind": t.kind, "module": t.module.namespace,
            "version": t.version, "base": t.base.name if t.base else None}
    if t.kind == "enum":
        want["tags"] = list(t.tags)
    else:
        want["properties"] = [described_property(p) for p in t.props]
    if t.kind == "managed":
        want["methods"] = [described_method(m) for m in t.methods]
    return want


def ancestors(name, parents):
    up = {}
    for child, parent in parents:
        up.setdefault(child, []).append(parent)
    seen, todo = set(), list(up.get(name, []))
    while todo:
        v = todo.pop()
        if v not in seen:
            seen.add(v)
            todo.extend(up.get(v, []))
    return seen


def cpp_exception(sedge_name):
    """The exception class a fault's name implies: namespaces capitalised, types as named."""
    parts = sedge_name.split(".")
    root = {"tarn": "Tarn", "sedge": "Quill"}[parts[0]]
    out = [root]
    for p in parts[1:]:
        out.append(p if p[0].isupper() else p[0].upper() + p[1:])
    return "::".join(out) + "::Exception"


_dump = None


def dump():
    global _dump
    if _dump is None:
        _dump = json.loads(run_ok("dump", "--json"))
    return _dump


def dumped_types():
    return {t["name"]: t for t in dump()["types"]}


# --- the tests ---------------------------------------------------------------------

class ShowAgainstSchema(unittest.TestCase):
    def check_shown(self, name):
        """show --json of a type against the model: every described key, the base chain's head."""
        t = DECLS[name]
        got = run_json("show", name)
        want = described(t)
        self.assertEqual({k: got.get(k) for k in want}, want)
        if t.base:
            self.assertEqual(got["baseChain"][0], t.base.name)
        return t, got

    def test_data_type_with_its_properties(self):
        t, _ = self.check_shown("tarn.AboutInfo")
        text = run_ok("show", "tarn.AboutInfo")
        self.assertTrue(text.startswith("tarn.AboutInfo\n"))
        self.assertRegex(text, r"\n  kind +data\n")
        self.assertRegex(text, r"\n  base +sedge\.DynamicData\n")
        self.assertIn(f"properties ({len(t.props)})", text)
        # patchLevel: optional, introduced later than the type.
        self.assertRegex(text, r"\n  patchLevel +string +optional +tarn\.version\.v7_0_2_0 +-\n")

    def test_managed_type_with_its_methods(self):
        t, got = self.check_shown("tarn.Folder")
        for have in got["methods"]:
            self.assertEqual(set(have), METHOD_KEYS)
        # Inherited members come from the bases, nearest first in the chain.
        self.assertEqual(got["baseChain"][-1], "sedge.ManagedObject")
        owners = {p["owner"] for p in got["inheritedProperties"]}
        self.assertIn(t.base.name, owners)
        self.assertNotIn("tarn.Folder", owners)

        text = run_ok("show", "Folder")
        self.assertRegex(text, r"\n  kind +managed\n")
        self.assertIn("\n  createFolder (CreateFolder)\n", text)
        self.assertRegex(text, r"\n      raises +tarn\.fault\.DuplicateName, tarn\.fault\.InvalidName\n")
        self.assertRegex(text, r"\n      marked +task\n")
        self.assertRegex(text, r"\n      param +pool +tarn\.ResourcePool +- +\S+ +Resource\.AssignVMToPool\n")

    def test_enumeration_tags_in_value_order(self):
        name = "tarn.ManagedEntity.Status"
        t, got = self.check_shown(name)
        self.assertNotIn("properties", got)
        text = run_ok("show", name)
        rows = re.findall(r"^  (\d+)  (\S+)$", text.split("tags (")[1], re.M)
        self.assertEqual([(int(v), tag) for v, tag in rows], list(enumerate(t.tags)))

    def test_fault_with_its_exception_class(self):
        for name in ("tarn.fault.DuplicateName", "tarn.fault.TarnFault"):
            with self.subTest(fault=name):
                _, got = self.check_shown(name)
                self.assertEqual(got["exception"], cpp_exception(name))
        self.assertIn("Tarn::Fault::DuplicateName::Exception", run_ok("show", "fault.DuplicateName"))
        # The runtime's own faults are in the registry too.
        got = run_json("show", "sedge.fault.InvalidArgument")
        self.assertEqual(got["exception"], "Quill::Fault::InvalidArgument::Exception")

    def test_names_by_wsdl_and_catalogue_spelling(self):
        by_sedge = run_json("show", "tarn.vm.ConfigSpec")
        self.assertEqual(run_json("show", by_sedge["wsdlName"]), by_sedge)
        self.assertEqual(run_json("show", "vm.ConfigSpec"), by_sedge)


class Dump(unittest.TestCase):
    def test_every_catalogue_type_once_with_kinds_adding_up(self):
        doc = dump()
        types = doc["types"]
        names = [t["name"] for t in types]
        self.assertEqual(names, sorted(names))
        self.assertEqual(len(names), len(set(names)))
        self.assertEqual(doc["typeCount"], len(types))
        ours = {t["name"]: t for t in types if t["name"].startswith("tarn.")}
        self.assertEqual(set(ours), set(DECLS))
        kinds = {}
        for t in types:
            kinds[t["kind"]] = kinds.get(t["kind"], 0) + 1
        self.assertEqual(set(kinds), {"data", "fault", "enum", "managed"})
        self.assertEqual(sum(kinds.values()), len(types))
        for kind, count in kinds.items():
            self.assertEqual(len(run_ok("list", "--kind", kind).splitlines()), count, kind)
        for name, t in ours.items():
            self.assertEqual((t["kind"], t["module"]), (DECLS[name].kind, DECLS[name].module.namespace), name)

    def test_members_follow_the_contract_and_references_resolve(self):
        types = dumped_types()
        known = set(types) | PRIMITIVES
        for t in types.values():
            with self.subTest(type=t["name"]):
                base = {"name", "wsdlName", "kind", "module", "version", "base", "cppClass", "header"}
                extra = {"enum": {"tags"}, "data": {"properties"}, "fault": {"properties", "exception"},
                         "managed": {"properties", "methods"}}[t["kind"]]
                self.assertEqual(set(t), base | extra)
                if t["base"] is not None:
                    self.assertIn(t["base"], types)
                    self.assertEqual(types[t["base"]]["kind"] == "managed", t["kind"] == "managed")
                for p in t.get("properties", []):
                    self.assertEqual(set(p), PROPERTY_KEYS)
                    self.assertIn(p["type"], known)
                for m in t.get("methods", []):
                    self.assertEqual(set(m), METHOD_KEYS)
                    for p in m["params"]:
                        self.assertEqual(set(p), PROPERTY_KEYS)
                        self.assertIn(p["type"], known)
                    self.assertTrue(m["result"]["type"] is None or m["result"]["type"] in known)
                    for f in m["faults"]:
                        self.assertEqual(types[f]["kind"], "fault")
                if t["kind"] == "fault":
                    self.assertTrue(t["exception"].endswith("::Exception"))

    def test_every_type_matches_the_resolved_catalogue(self):
        types = dumped_types()
        for t in DECLS.values():
            got = {k: v for k, v in types[t.name].items() if k not in ("exception", "cppClass", "header")}
            self.assertEqual(got, described(t), t.name)

    def test_versions_in_the_dump_are_the_version_table(self):
        self.assertEqual(dump()["versions"], run_json("versions"))


class ListFilters(unittest.TestCase):
    def names(self, *args):
        return [line.split()[0] for line in run_ok("list", *args).splitlines()]

    def test_kind_and_module(self):
        enums = self.names("--kind", "enum")
        self.assertEqual(set(enums), {n for n, t in dumped_types().items() if t["kind"] == "enum"})
        in_vm = set(self.names("--module", "tarn.vm"))
        self.assertEqual(in_vm, {n for n, t in DECLS.items() if t.module.namespace == "tarn.vm"})
        # Exactly the module: nothing of tarn.vm.device.
        self.assertFalse(any(n.startswith("tarn.vm.device.") for n in in_vm))
        both = set(self.names("--kind=managed", "--module=tarn.vm"))
        self.assertEqual(both, {n for n in in_vm if DECLS[n].kind == "managed"})
        self.assertTrue(both)

    def test_version_keeps_what_a_client_of_it_sees(self):
        for short in ("version1", "version5", "v7_0"):
            with self.subTest(version=short):
                full = full_version(short)
                seen = ancestors(full, PARENTS) | {full}
                got = {n for n in self.names("--api-version", short) if n.startswith("tarn.")}
                self.assertEqual(got, {n for n, t in DECLS.items() if t.version in seen})
        newer = set(self.names("--api-version", "v7_0"))
        self.assertLess(set(self.names("--api-version", "version1")), newer)

    def test_filters_combine_and_json_agrees_with_text(self):
        args = ("--kind", "data", "--module", "tarn.vm", "--api-version", "version2")
        text = self.names(*args)
        rows = run_json("list", *args)
        self.assertTrue(rows)
        self.assertEqual([r["name"] for r in rows], text)
        for r in rows:
            self.assertEqual((r["kind"], r["module"]), ("data", "tarn.vm"))
            self.assertIn(r["version"], ancestors("tarn.version.version2", PARENTS)
                          | {"tarn.version.version2"})

    def test_unknown_filters(self):
        r = run("list", "--version", "nosuchversion")
        self.assertEqual(r.returncode, 1)
        self.assertIn("no version named", r.stderr)
        r = run("list", "--module", "tarn.nosuch")
        self.assertEqual(r.returncode, 1)
        self.assertIn("no module named", r.stderr)
        r = run("list", "--kind", "primitive")
        self.assertEqual(r.returncode, 2)
        self.assertIn("--kind", r.stderr)

    def test_api_version_filter_and_its_old_spelling(self):
        new = run_ok("list", "--api-version", "version2")
        r = run("list", "--version", "version2")
        self.assertEqual(r.returncode, 0)
        self.assertEqual(r.stdout, new)
        self.assertIn("--api-version", r.stderr)  # told about the new spelling
        self.assertLess(len(new.splitlines()), len(run_ok("list").splitlines()))
        r = run("list", "--version", "version2", "--api-version", "version2")
        self.assertEqual(r.returncode, 2)


class Versions(unittest.TestCase):
    def test_table_against_the_version_file(self):
        rows = [(v.name, VERSION_KIND_WORDS[v.kind], v.wire_namespace, v.wire_version, v.version_flags)
                for v in CATALOGUE.versions]
        table = run_json("versions")
        ours = [v for v in table if v["namespace"] == "tarn"]
        self.assertEqual([(v["name"], v["kind"], v["wireNamespace"], v["wireVersion"], v["flags"])
                          for v in ours], rows)
        # The rows that override the table's defaults.
        self.assertIn(("tarn.version.version1", "release", "tarn2", "2.0", 4), rows)
        self.assertIn(("tarn.version.version3", "release", "tarn25", "2.5u2", 6), rows)
        for v in ours:
            self.assertEqual(sorted(v["parents"]), sorted(p for c, p in PARENTS if c == v["name"]))
        # The runtime's own versions are listed as well, and the text has one line a version.
        self.assertTrue(any(v["namespace"] == "sedge" for v in table))
        self.assertEqual(len(run_ok("versions").splitlines()), len(table) + 1)

    def test_one_version_and_what_it_succeeds(self):
        for short in ("version1", "v7_0", "Hasp_OnlineVMEncryption"):
            with self.subTest(version=short):
                full = full_version(short)
                got = run_json("version", short)
                self.assertEqual(got["name"], full)
                want = ancestors(full, PARENTS)
                self.assertEqual({s for s in got["succeeds"] if s.startswith("tarn.")},
                                 {s for s in want if s.startswith("tarn.")})
                self.assertNotIn(full, got["succeeds"])
                text = run_ok("version", full)
                self.assertIn(f"succeeds ({len(got['succeeds'])})", text)
        # Across namespaces: the first release builds on the runtime's versions.
        self.assertIn("sedge.version.version0", run_json("version", "version1")["succeeds"])

    def test_unknown_version_suggests_by_case(self):
        r = run("version", "tarn.version.VERSION1")
        self.assertEqual(r.returncode, 1)
        self.assertIn("no version named", r.stderr)
        self.assertIn("tarn.version.version1", r.stderr)


class ShowMore(unittest.TestCase):
    def test_method_by_type_and_name(self):
        want = next(described_method(m) for m in DECLS["tarn.VirtualMachine"].methods if m.name == "reconfigure")
        got = run_json("show", "tarn.VirtualMachine.reconfigure")
        self.assertEqual(got["declaredBy"], "tarn.VirtualMachine")
        for key in ("name", "wsdlName", "privilege", "version", "isTask", "params", "faults", "result"):
            self.assertEqual(got[key], want[key], key)
        # The same method by its WSDL name and by the type's other spellings.
        self.assertEqual(run_json("show", "VirtualMachine." + want["wsdlName"]), got)
        self.assertEqual(run_json("show", "VirtualMachine.reconfigure"), got)
        text = run_ok("show", "tarn.VirtualMachine.reconfigure")
        self.assertTrue(text.startswith("tarn.VirtualMachine.reconfigure\n"))
        self.assertRegex(text, r"\n  declared by +tarn\.VirtualMachine\n")
        self.assertRegex(text, r"\n      privilege +" + re.escape(want["privilege"] or "-") + r"\n")
        self.assertRegex(text, r"\n      version +" + re.escape(want["version"]) + r"\n")
        for p in want["params"]:
            self.assertRegex(text, r"\n      param +" + re.escape(p["name"]) + r" ")
        if want["faults"]:
            self.assertIn(", ".join(want["faults"]), text)

    def test_inherited_method_names_its_declaring_type(self):
        # Find a method the schema declares on a base of tarn.VirtualMachine only.
        chain, t = [], "tarn.VirtualMachine"
        while t in DECLS:
            chain.append(t)
            t = DECLS[t].base.name
        own = {m.name for m in DECLS[chain[0]].methods}
        owner, method = next((b, described_method(m)) for b in chain[1:] for m in DECLS[b].methods
                             if m.name not in own)
        got = run_json("show", "tarn.VirtualMachine." + method["name"])
        self.assertEqual(got["declaredBy"], owner)
        self.assertEqual(got["params"], method["params"])
        r = run("show", "tarn.VirtualMachine.noSuchMethod")
        self.assertEqual(r.returncode, 1)
        self.assertIn('no type or method named "tarn.VirtualMachine.noSuchMethod"', r.stderr)
        # Data types have no methods.
        self.assertEqual(run("show", "tarn.AboutInfo.name").returncode, 1)

    def test_primitives(self):
        for name, cpp, header in (("string", "std::string", None), ("long", "long", None),
                                  ("dateTime", "Basalt::System::DateTime", "basalt/DateTime.h"),
                                  ("any", "Quill::Any", "quill/Any.h")):
            with self.subTest(primitive=name):
                got = run_json("show", name)
                self.assertEqual((got["name"], got["cppClass"], got["header"]), (name, cpp, header))
                self.assertIn(got["kind"], ("primitive", "any"))
                if header:
                    self.assertTrue(os.path.exists(runtime_header(header)), header)
                text = run_ok("show", name)
                self.assertRegex(text, r"\n  c\+\+ class +" + re.escape(cpp) + r"\n")

    def test_cpp_class_and_header_of_every_type(self):
        headers = {}
        for t in dump()["types"]:
            with self.subTest(type=t["name"]):
                last = t["name"].rsplit(".", 1)[1]
                if t["name"].startswith("tarn."):
                    self.assertEqual(t["cppClass"], names.cpp_class(t["name"], t["module"]))
                    path = os.path.join(GENERATED_INCLUDE, t["header"])
                else:
                    # The runtime's own: a class in one of its headers, or neither.
                    self.assertEqual(t["cppClass"] is None, t["header"] is None, t)
                    if t["header"] is None:
                        continue
                    self.assertTrue(t["cppClass"].startswith("Quill::"), t["cppClass"])
                    path = runtime_header(t["header"])
                if path not in headers:
                    with open(path) as f:  # fails when the header does not exist
                        headers[path] = f.read()
                self.assertRegex(headers[path], r"\b(?:enum class|class)\s+(?:(?:TARN|QUILL)_API\s+)?(?:[\w:]*::)?"
                                 + re.escape(last) + r"\b")
        # Every described type of ours has a header; the runtime's are few.
        self.assertTrue(all(t["header"] for t in dump()["types"] if t["name"].startswith("tarn.")))
        got = run_json("show", "tarn.ManagedEntity.Status")
        self.assertEqual((got["cppClass"], got["header"]), ("Tarn::ManagedEntity::Status", "tarn/ManagedEntity.h"))
        self.assertRegex(run_ok("show", "tarn.vm.ConfigSpec"),
                         r"\n  c\+\+ class +Tarn::Vm::ConfigSpec\n  header +tarn/vm/ConfigSpec\.h\n")

    def test_ambiguous_short_and_wsdl_names_list_the_candidates(self):
        def candidates(name):
            return sorted(n for n, d in DECLS.items()
                          if n.endswith("." + name) or d.wsdl == name or n == "tarn." + name)

        many = candidates("ConfigSpec")
        self.assertGreater(len(many), 2)
        r = run("show", "ConfigSpec")
        listed = re.findall(r"^  (\S+)", r.stderr, re.M)
        self.assertEqual(sorted(listed), many)
        if r.returncode == 0:  # a WSDL name picked one: the warning says which
            self.assertIn("warning", r.stderr)
            self.assertIn("(shown)", r.stderr)
            self.assertEqual(r.stdout.splitlines()[0], run_json("show", "ConfigSpec")["name"])
        else:
            self.assertEqual((r.returncode, r.stdout), (1, ""))
            self.assertIn("ambiguous", r.stderr)
        # A short name of exactly one type is shown without a word.
        unique = next(n.rsplit(".", 1)[1] for n in sorted(DECLS)
                      if len(candidates(n.rsplit(".", 1)[1])) == 1 and "." in n[5:])
        r = run("show", unique)
        self.assertEqual((r.returncode, r.stderr), (0, ""))
        # A full name is never ambiguous.
        r = run("show", "tarn.vm.ConfigSpec")
        self.assertEqual((r.returncode, r.stderr), (0, ""))


class Errors(unittest.TestCase):
    def test_unknown_type_names_near_matches(self):
        r = run("show", "tarn.folder")
        self.assertEqual(r.returncode, 1)
        self.assertEqual(r.stdout, "")
        self.assertIn('no type or method named "tarn.folder"', r.stderr)
        self.assertIn("  tarn.Folder\n", r.stderr)
        r = run("show", "tarn.nowhere.AboutInfo")
        self.assertEqual(r.returncode, 1)
        self.assertIn("  tarn.AboutInfo\n", r.stderr)
        r = run("show", "NoSuchThingAnywhere")
        self.assertEqual(r.returncode, 1)
        self.assertNotIn("near matches", r.stderr)

    def test_bad_usage_is_one_line(self):
        for args in ([], ["frobnicate"], ["show"], ["show", "a", "b"], ["version"], ["versions", "x"],
                     ["show", "tarn.Folder", "--kind", "data"], ["list", "--colour"], ["list", "--kind"],
                     ["list", "--kind", "data", "--kind", "enum"], ["list", "--kind", "primitive"],
                     ["--json"]):
            with self.subTest(args=args):
                r = run(*args)
                self.assertEqual(r.returncode, 2)
                self.assertEqual(r.stdout, "")
                lines = r.stderr.splitlines()
                self.assertEqual(len(lines), 1, r.stderr)
                self.assertTrue(lines[0].startswith("tarn-inspect: "), lines[0])
                self.assertRegex(lines[0], r"\(see tarn-inspect( \w+)? --help\)$")
        # The message points at the command's own help.
        self.assertIn("tarn-inspect list --help", run("list", "--colour").stderr)

    def test_double_dash_ends_the_options(self):
        self.assertEqual(run_ok("show", "--", "tarn.AboutInfo"), run_ok("show", "tarn.AboutInfo"))
        r = run("show", "--", "--json")
        self.assertEqual(r.returncode, 1)
        self.assertIn('no type or method named "--json"', r.stderr)

    def test_help_per_command(self):
        r = run("--help")
        self.assertEqual((r.returncode, r.stderr), (0, ""))
        for command in ("list", "show", "modules", "versions", "version", "dump"):
            self.assertIn(command, r.stdout)
        r = run("show", "-h")
        self.assertEqual((r.returncode, r.stderr), (0, ""))
        self.assertIn("TYPE.METHOD", r.stdout)
        self.assertNotIn("--kind", r.stdout)
        r = run("list", "--help")
        self.assertEqual(r.returncode, 0)
        self.assertIn("--api-version", r.stdout)
        self.assertNotRegex(r.stdout, r"--version\b")  # the old spelling is not advertised

    def test_version_of_the_tool(self):
        r = run("--version")
        self.assertEqual((r.returncode, r.stderr), (0, ""))
        self.assertEqual(r.stdout, f"tarn-inspect {project_version()}\n")

    def test_output_errors_exit_non_zero(self):
        for args in (["show", "tarn.AboutInfo"], ["list"], ["dump", "--json"], ["versions", "--json"],
                     ["--help"], ["--version"]):
            with self.subTest(args=args):
                r = run_to_full_disk(*args)
                self.assertEqual(r.returncode, 3)
                self.assertIn("cannot write", r.stderr)


if __name__ == "__main__":
    unittest.main()
