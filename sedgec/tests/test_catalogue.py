"""The real catalogue in schema/: its counts against the numbers the API documents.

Where our catalogue differs on purpose, the difference is listed in schema/README.md and
the expected number here says why.
"""
import os
import re
import shutil
import tempfile
import unittest

from sedgec.model import load_catalogue
from sedgec.emit import wsdl
from sedgec.emit.generate import write_files
from sedgec.stats import module_rows, totals

SCHEMA = os.path.join(os.path.dirname(__file__), "..", "..", "schema")

# namespace: (data, faults, enums, managed) in load order, as the API documents them.
MODULES = [
    ("tarn", 365, 0, 75, 67),      # 78 enumerations less the three that are named nowhere
    ("tarn.fault", 9, 683, 27, 0), ("tarn.net", 21, 0, 5, 0), ("tarn.vm", 178, 0, 57, 6),
    ("tarn.vm.device", 216, 0, 24, 0), ("tarn.vm.guest", 32, 0, 2, 6),
    ("tarn.vm.replication", 4, 0, 0, 0), ("tarn.host", 534, 0, 137, 55),
    ("tarn.cluster", 105, 0, 25, 2), ("tarn.event", 454, 0, 11, 2), ("tarn.action", 7, 0, 1, 0),
    ("tarn.option", 10, 0, 1, 1), ("tarn.alarm", 19, 0, 6, 2), ("tarn.scheduler", 14, 0, 2, 2),
    ("tarn.view", 0, 0, 0, 6), ("tarn.dvs", 157, 0, 26, 4), ("tarn.vm.customization", 36, 0, 2, 0),
    ("tarn.vm.check", 1, 0, 1, 2), ("tarn.coppice", 19, 0, 5, 0), ("tarn.profile", 48, 0, 3, 3),
    ("tarn.profile.host", 75, 0, 10, 3), ("tarn.profile.host.profileEngine", 10, 0, 1, 3),
    ("tarn.profile.cluster", 5, 0, 1, 2), ("tarn.ext", 5, 0, 0, 0), ("tarn.storageTiller", 25, 0, 6, 0),
    ("tarn.cbrc", 8, 0, 0, 0), ("tarn.modularity", 1, 0, 0, 0), ("tarn.cairn.cluster", 2, 0, 0, 0),
    ("tarn.cairn.host", 19, 0, 5, 0), ("tarn.external", 0, 0, 0, 6), ("tarn.fescue", 5, 0, 2, 2),
    ("tarn.tansy", 35, 0, 8, 2), ("tarn.tansy.corrie", 3, 0, 0, 2), ("tarn.tansy.host", 0, 0, 0, 2),
    ("tarn.encryption", 27, 0, 3, 4), ("tarn.wicket", 15, 0, 5, 2), ("tarn.deployment", 1, 0, 0, 1),
    ("tarn.cdc", 3, 0, 3, 1), ("tarn.recovery", 1, 0, 1, 1), ("tarn.dp", 10, 0, 4, 1),
    ("tarn.tenant", 0, 0, 0, 1),
]

TOTALS = {
    "types": 3812, "data": 2479, "faults": 683, "enums": 459, "managed": 191,
    "methods": 1422, "task methods": 379, "internal methods": 499,
    "methods without result": 679, "null privileges": 117, "dynamic privileges": 97,
    "method-object slots": 1907, "managed property entries": 294,
    "redeclared dynamicProperty": 10,
    "versions": 87, "parent pairs": 147,
}


class CatalogueTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.cat = load_catalogue(SCHEMA)

    def test_modules_in_load_order_with_their_counts(self):
        got = [(r[1], *r[2:6]) for r in module_rows(self.cat)]
        self.assertEqual([g[0] for g in got], [m[0] for m in MODULES])
        for want, have in zip(MODULES, got):
            with self.subTest(module=want[0]):
                self.assertEqual(have, want)

    def test_totals(self):
        have = totals(self.cat)
        for key, want in TOTALS.items():
            with self.subTest(total=key):
                self.assertEqual(have[key], want)

    def test_worked_examples(self):
        t = self.cat.types
        net = t["tarn.Network"]
        index = {p.name: p.index for p in net.all_props}
        self.assertEqual([index[n] for n in ("value", "parent", "name", "summary", "host")],
                         [0, 2, 9, 16, 17])
        cfm = t["tarn.CustomFieldsManager"]
        self.assertEqual([m.name for m in cfm.methods][:2], ["addFieldDefinition", "removeFieldDefinition"])
        self.assertEqual(len(cfm.methods), 6)
        rename = next(m for m in t["tarn.ManagedEntity"].methods if m.name == "rename")
        self.assertEqual(len(rename.type_privileges), 11)
        self.assertIn((t["tarn.Network"], "System.Read"), rename.type_privileges)
        destroy = next(m for m in t["tarn.ManagedEntity"].methods if m.name == "destroy")
        self.assertEqual(len(destroy.type_privileges), 14)
        self.assertEqual(t["tarn.ServiceInstanceContent"].wsdl, "ServiceContent")
        self.assertEqual(len(t["tarn.vm.GuestOsDescriptor.GuestOsIdentifier"].tags), 195)
        self.assertIs(t["tarn.vm.ConfigSpec.CpuIdInfoSpec"].base, t["tarn.option.ArrayUpdateSpec"])
        self.assertEqual(t["tarn.fault.NoPermission"].ancestors()[0].cpp, "Quill::Fault::SecurityError")
        pool = t["tarn.ResourcePool"].props
        self.assertEqual(pool[[p.name for p in pool].index("childConfiguration")].flags, 1031)

    def test_every_task_method_is_a_task_by_its_wsdl_name(self):
        for m in self.cat.methods():
            self.assertEqual(m.is_task, m.wsdl.endswith("_Task"), m.name)

    def test_wsdl_names_are_unique(self):
        seen = {}
        for ty in self.cat.all_types():
            self.assertNotIn(ty.wsdl, seen, ty.name)
            seen[ty.wsdl] = ty


if __name__ == "__main__":
    unittest.main()


class WireSchemaTest(unittest.TestCase):
    """The real catalogue's schemas: an older namespace's is what its releases have."""

    def test_each_namespace_declares_only_what_its_releases_have(self):
        cat = load_catalogue(SCHEMA)
        tmp = tempfile.mkdtemp()
        try:
            write_files([f for f in wsdl.files(cat) if f[0].endswith(".xsd")], tmp)
            for ns in wsdl.wire_namespaces(cat):
                with self.subTest(ns=ns), open(os.path.join(tmp, wsdl.OUT_DIR, ns + ".xsd")) as f:
                    text = f.read()
                    closure = wsdl.version_closure(cat, ns)
                    newer = sorted({v for v in re.findall(r'v:since="([^"]+)"', text) if v not in closure})
                    self.assertEqual(newer, [])
                    declared = set(re.findall(r'<xsd:(?:complexType|simpleType) name="([^"]+)"', text))
                    self.assertEqual(sorted(set(re.findall(r'type="tns:([^"]+)"', text)) - declared), [])
        finally:
            shutil.rmtree(tmp)
