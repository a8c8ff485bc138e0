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
        self.assertEqual(len(slots), sum(len(m.types) for m in RUNTIME_CATALOGUE.modules
                                         if m.namespace in ("sedge", "sedge.fault")))

    def test_the_query_module_has_slots_of_its_own_and_the_collector_its_methods(self):
        collector = RUNTIME_CATALOGUE.types["sedge.query.PropertyCollector"]
        self.assertEqual(collector.wsdl, "PropertyCollector")
        self.assertEqual(collector.record, "gSedgeQueryPropertyCollectorTypeInfo")
        self.assertIn("retrieve", [m.name for m in collector.methods])
        with tempfile.TemporaryDirectory() as out:
            write_files(runtime_files(RUNTIME_CATALOGUE), out)
            with open(os.path.join(out, "src/RuntimeTypes.cpp")) as f:
                unit = f.read()
        # created in slot order: data and faults, enumerations, managed types
        bind = unit[unit.index("Type* const* BindSedgeQuery(int& count)"):]
        self.assertLess(bind.index("CreateDataObjectType"), bind.index("new EnumType"))
        self.assertLess(bind.index("new EnumType"), bind.index("CreateManagedObjectType(&SedgeQueryWatch_Managed)"))
        self.assertLess(bind.index("SedgeQueryWatch_Managed"), bind.index("SedgeQueryPropertyCollector_Managed"))


class RuntimeManagedTypesTest(unittest.TestCase):
    FILES = dict(sedge="""\
        module sedge load 1
        """, sedge_query="""\
        module sedge.query load 3
        enum query.Mode since sedge.query.version.version1
          tags "fast" "slow"
        data query.Spec : Quill::DynamicData since sedge.query.version.version1
          prop mode query.Mode
          prop owner query.Reader opt
        managed query.Reader : Quill::ManagedObject wsdl QueryReader since sedge.query.version.version1
          prop spec query.Spec priv "System.View"
          method read wsdl ReadNow returns string[] opt priv "System.View"
            param spec query.Spec
            param limit int opt
            raises fault.Nope
        """, sedge_fault="""\
        module sedge.fault load 2
        fault fault.Nope : Quill::RuntimeFault since version1
        """)

    def test_enumerations_and_managed_types_are_generated_like_the_catalogues(self):
        cat = _load(**self.FILES)
        reader = cat.types["sedge.query.Reader"]
        self.assertEqual([p.index for p in reader.all_props], [0])
        self.assertEqual(reader.props[0].flags & 0x4, 0x4)          # every managed property is F_MANAGED
        self.assertIs(cat.types["sedge.query.Spec"].props[1].type, reader)  # declared below, resolved
        self.assertEqual(reader.methods[0].faults, [cat.types["sedge.fault.Nope"]])
        with tempfile.TemporaryDirectory() as out:
            write_files(runtime_files(cat), out)
            with open(os.path.join(out, "include/quill/Query.h")) as f:
                header = f.read()
            with open(os.path.join(out, "src/RuntimeTypes.cpp")) as f:
                unit = f.read()
        self.assertIn("enum class Mode : int {", header)
        self.assertIn("class QUILL_API Reader : public virtual ::Quill::ManagedObject {", header)
        self.assertIn("class QUILL_API ReaderStub : public virtual ::Quill::Query::Reader, public ::Quill::StubImpl",
                      header)
        self.assertIn("class ReaderSkeleton : public ::Quill::ServerObject<::Quill::Query::Reader>", header)
        self.assertIn("extern QUILL_API ::Quill::ManagedMethod* gSedgeQueryReaderMethodObjects[3];", header)
        self.assertIn('{"read", "ReadNow", "System.View", nullptr,', unit)
        self.assertIn("void SedgeQueryReader_Dispatch(", unit)
        self.assertIn("gSlotsSedgeQuery[2]", unit)      # Spec, Mode, Reader

    def test_what_a_runtime_module_cannot_declare_is_refused(self):
        files = dict(self.FILES)
        files["sedge_query"] = """\
            module sedge.query load 3
            managed query.Reader : Quill::ManagedObject since sedge.query.version.version1
              method start wsdl Start_Task returns string task
            enum query.Empty since sedge.query.version.version1
            """
        with self.assertRaises(SedgeErrors) as e:
            _load(**files)
        text = " ".join(str(x) for x in e.exception.errors)
        self.assertIn("neither tasks", text)
        self.assertIn("has no tags", text)


if __name__ == "__main__":
    unittest.main()
