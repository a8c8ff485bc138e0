"""The runtime's own types: read from quill/sedge/, generated for libquill through the
catalogue's templates, and seen by the catalogue as runtime types."""
import os
import tempfile
import textwrap
import unittest

from sedgec.emit.generate import write_files
from sedgec.emit.runtime import runtime_files
from sedgec.errors import SedgeErrors
from sedgec.model.runtime import RUNTIME_CATALOGUE, load_runtime, runtime_names
from sedgec.model.types import RuntimeType


def _load(**files):
    with tempfile.TemporaryDirectory() as d:
        for name, text in files.items():
            with open(os.path.join(d, name.replace("_", ".") + ".sedge"), "w") as f:
                f.write(textwrap.dedent(text))
        return load_runtime(d)


class RuntimeFilesTest(unittest.TestCase):
    def test_every_problem_is_reported_at_once_with_its_line(self):
        with self.assertRaises(SedgeErrors) as e:
            _load(sedge="""\
                module sedge load 1
                data Good : Quill::DynamicData since version1
                  prop owner Unknown
                data Orphan : Quill::MethodFault since version1
                data Undated : Quill::DynamicData
                  prop list Good[] secret
                data Outer.Inner : Quill::DynamicData since version1
                """)
        text = [str(x) for x in e.exception.errors]
        self.assertEqual(len(text), 5, text)
        self.assertTrue(any("sedge.sedge:3" in t and "Unknown" in t for t in text), text)
        self.assertTrue(any("cannot derive from the fault type" in t for t in text), text)
        self.assertTrue(any("needs a version" in t for t in text), text)
        self.assertTrue(any("Outer.Inner" in t and "directly under" in t for t in text), text)
        self.assertTrue(any("no flag but 'opt'" in t for t in text), text)

    def test_types_of_another_runtime_module_resolve_in_load_order(self):
        cat = _load(sedge="""\
                module sedge load 1
                data Note : Quill::DynamicData since version0
                  prop text string opt
                """, sedge_fault="""\
                module sedge.fault load 2
                fault fault.Failed : Quill::RuntimeFault since version1
                  prop notes Note[] opt
                fault fault.Worse : fault.Failed since version1
                """)
        failed = cat.types["sedge.fault.Failed"]
        self.assertIs(failed.props[0].type, cat.types["sedge.Note"])
        self.assertEqual(failed.props[0].version, "sedge.version.version1")   # the type's, by default
        self.assertEqual(cat.types["sedge.fault.Worse"].cpp, "Quill::Fault::Worse")


class ShippedRuntimeTypesTest(unittest.TestCase):
    def test_the_catalogue_sees_each_declared_type_with_its_runtime_base(self):
        known = runtime_names()
        invalid_type = known["Quill::Fault::InvalidType"]
        self.assertIsInstance(invalid_type, RuntimeType)
        self.assertIs(known["gSedgeFaultInvalidTypeTypeInfo"], invalid_type)
        self.assertEqual([b.cpp for b in (invalid_type.base, invalid_type.base.base)],
                         ["Quill::Fault::InvalidRequest", "Quill::RuntimeFault"])
        for t in RUNTIME_CATALOGUE.all_types():
            self.assertIs(known[t.cpp].kind, t.kind)

    def test_generated_classes_keep_the_runtime_names_and_exception_tree(self):
        with tempfile.TemporaryDirectory() as out:
            write_files(runtime_files(RUNTIME_CATALOGUE), out)
            with open(os.path.join(out, "include/quill/Faults.h")) as f:
                faults = f.read()
            with open(os.path.join(out, "src/RuntimeTypes.cpp")) as f:
                unit = f.read()
        self.assertIn("namespace Quill::Fault {", faults)
        self.assertIn("class QUILL_API InvalidType::Exception : public ::Quill::Fault::InvalidRequest::Exception",
                      faults)
        # every declared type takes its own slot after the roots, in file order
        slots = [line for line in unit.splitlines() if "gSedgeSlots[::Quill::Detail::S_Declared + " in line]
        self.assertEqual(len(slots), len(list(RUNTIME_CATALOGUE.all_types())))


if __name__ == "__main__":
    unittest.main()
