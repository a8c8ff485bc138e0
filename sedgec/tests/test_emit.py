"""The back end's planning: header families, definition order, includes and units."""
import os
import tempfile
import unittest

from sedgec.emit import generate
from sedgec.emit.cppmodel import CppCatalogue, batches, build_families
from sedgec.emit.generate import Plan
from sedgec.tests.util import VERSIONS, catalogue

ROOT = """\
module tarn load 1
data Outer
  prop inner Outer.Inner opt
  prop state Outer.State
data Outer.Base
data Outer.Inner : Outer.Base
  prop mode vm.Thing.Mode
enum Outer.State
  tags "on" "off"
data Free
  prop outer Outer opt
  prop list Outer.Inner[] opt
enum Level
  tags "low" "high"
"""
VM = """\
module tarn.vm load 2
data vm.Thing
  prop level Level
  prop free Free opt
  prop template string
enum vm.Thing.Mode
  tags "delete" "4k"
"""


class FamilyTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.cat = catalogue(ROOT, VM)
        cls.cc = CppCatalogue(cls.cat)
        cls.fams = {f.top.rel_name: f for f in build_families(cls.cc)}

    def test_nested_types_share_their_top_types_header(self):
        self.assertEqual(self.fams["Outer"].header, "tarn/Outer.h")
        self.assertEqual([t.rel_name for t in self.fams["Outer"].types],
                         ["Outer", "Outer.Base", "Outer.Inner", "Outer.State"])
        self.assertEqual(self.fams["vm.Thing"].header, "tarn/vm/Thing.h")

    def test_headers_include_what_must_be_complete_and_declare_the_rest(self):
        free = self.fams["Free"]
        # naming Outer.Inner needs Outer complete; Outer itself is only referenced
        self.assertIn("tarn/Outer.h", free.includes)
        thing = self.fams["vm.Thing"]
        self.assertIn("tarn/Level.h", thing.includes)          # enumeration held by value
        self.assertNotIn("tarn/Free.h", thing.includes)
        self.assertEqual(thing.forwards, {"Tarn": ["Free"]})
        self.assertIn("tarn/vm/Thing.h", self.fams["Outer"].includes)

    def test_keywords_and_digits_become_identifiers(self):
        plan = Plan(self.cat)
        mode = plan.views[self.cat.types["tarn.vm.Thing.Mode"]]
        self.assertEqual(mode.enumerators, ["delete_", "_4k"])
        self.assertEqual([c for c, _, _ in mode.constants], ["MODE_DELETE", "MODE_4K"])
        thing = plan.views[self.cat.types["tarn.vm.Thing"]]
        self.assertEqual([f.name for f in thing.fields], ["level", "free", "template_"])

    def test_units_keep_families_whole(self):
        fams = list(self.fams.values())
        units = batches(fams)
        self.assertEqual(sum(len(u) for u in units), len(fams))


class GenerateTest(unittest.TestCase):
    def test_second_run_rewrites_nothing_and_outputs_match_the_plan(self):
        cat = catalogue(ROOT, VM)
        with tempfile.TemporaryDirectory() as out:
            total, written = generate(cat, out)
            self.assertEqual(total, written)
            self.assertEqual(generate(cat, out), (total, 0))
            self.assertTrue(os.path.exists(os.path.join(out, "src/types/tarn/part1.cpp")))
            with open(os.path.join(out, "include/tarn/Outer.h")) as f:
                header = f.read()
            # the nested class is declared in its outer class and defined after it
            self.assertLess(header.index("class Inner;"), header.index("class TARN_API Outer::Inner"))
            self.assertLess(header.index("class TARN_API Outer::Base"), header.index("class TARN_API Outer::Inner"))


class SecondLibraryTest(unittest.TestCase):
    """A library under another root, whose program binds its modules itself."""

    def test_every_name_follows_the_root_and_binding_is_a_call(self):
        versions = VERSIONS.replace("tarn", "lib").replace(
            "  ltsSlots 2\n", "  ltsSlots 2\n  binding explicit\n")
        cat = catalogue("module lib load 1\ndata Thing\n  prop n int\nmanaged Box\n"
                        "  method open returns void\n",
                        "module lib.ext load 2\ndata ext.More : Thing\n", versions=versions)
        with tempfile.TemporaryDirectory() as out:
            generate(cat, out, extras=False)
            written = {os.path.relpath(os.path.join(d, f), out) for d, _, fs in os.walk(out) for f in fs}
            texts = {}
            for path in written:
                with open(os.path.join(out, path)) as f:
                    texts[path] = f.read()
        self.assertIn("include/lib/ext/More.h", written)
        self.assertFalse([p for p in written if p.startswith(("wsdl/", "tests/")) or "identity" in p])
        # Nothing of the catalogue's own names leaks into another library.
        self.assertEqual([p for p, t in texts.items() if "tarn" in t.lower()], [])
        self.assertIn("class LIB_API More : public ::Lib::Thing", texts["include/lib/ext/More.h"])
        for ns, fn in (("lib", "BindLib"), ("lib.ext", "BindLibExt")):
            self.assertIn(f"LIB_API void {fn}();", texts["include/lib/Records.h"])
            self.assertIn(f"void Lib::{fn}() {{ static Module module; }}", texts[f"src/typeinfo/{ns}.cpp"])
            self.assertNotIn("init_priority", texts[f"src/typeinfo/{ns}.cpp"])


if __name__ == "__main__":
    unittest.main()
