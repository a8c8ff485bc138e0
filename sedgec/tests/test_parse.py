import unittest

from sedgec.errors import SedgeErrors
from sedgec.parse import parse_module_text, parse_version_text

GOOD = """\
module tarn load 1   # the root module
data AboutInfo : Quill::DynamicData wsdl AboutInfo since version1
  prop name string
  prop licenseProductName string opt since version5
managed ServiceInstance
  prop content ServiceInstanceContent priv "System.Anonymous"
  method validateMigration wsdl ValidateMigration returns event.Event[] opt priv "System.View"
    param vm VirtualMachine[]
    param state VirtualMachine.PowerState opt since version2 needs "Resource.X"
    raises fault.InvalidState, fault.NotFound
    raises Quill::Fault::InvalidArgument
enum ManagedEntity.Status wsdl ManagedEntityStatus
  tags "gray" "green"
  tags "yellow", "red"   # a second line continues the list
"""


class ParseTest(unittest.TestCase):
    def test_reads_every_construct(self):
        m = parse_module_text(GOOD, "tarn.sedge")
        self.assertEqual((m.namespace, m.load), ("tarn", 1))
        about, si, status = m.decls
        self.assertEqual((about.kind, about.base.name, about.wsdl, about.since),
                         ("data", "Quill::DynamicData", "AboutInfo", "version1"))
        self.assertEqual([(p.name, p.flags, p.since) for p in about.props],
                         [("name", [], None), ("licenseProductName", ["opt"], "version5")])
        (vm,) = si.methods
        self.assertEqual((vm.wsdl, vm.result.name, vm.result.array, vm.result_flags, vm.priv),
                         ("ValidateMigration", "event.Event", True, ["opt"], "System.View"))
        self.assertEqual([(p.name, p.type.array, p.flags, p.needs) for p in vm.params],
                         [("vm", True, [], None), ("state", False, ["opt"], "Resource.X")])
        self.assertEqual([r.name for r in vm.raises],
                         ["fault.InvalidState", "fault.NotFound", "Quill::Fault::InvalidArgument"])
        self.assertEqual(status.tags, ["gray", "green", "yellow", "red"])

    def assertSyntaxErrors(self, text, *fragments):
        with self.assertRaises(SedgeErrors) as cm:
            parse_module_text(text, "x.sedge")
        messages = [str(e) for e in cm.exception.errors]
        self.assertEqual(len(messages), len(fragments), messages)
        for message, fragment in zip(messages, fragments):
            self.assertIn(fragment, message)

    def test_errors_name_file_and_line_and_all_are_reported(self):
        self.assertSyntaxErrors(
            "module tarn load 1\n"
            "data A\n"
            "  prop x string bogus\n"       # 3
            "  method m returns void\n"     # 4: methods belong to managed types
            "enum E\n"
            "  tags gray\n"                  # 6: tags are quoted
            "thing B\n",                     # 7
            "x.sedge:3:", "x.sedge:4:", "x.sedge:6:", "x.sedge:7:")

    def test_member_lines_need_the_right_place(self):
        self.assertSyntaxErrors("module tarn load 1\n    param p int\n", "outside a declaration")
        self.assertSyntaxErrors("module tarn load 1\nmanaged M\n    param p int\n", "must follow a method")
        self.assertSyntaxErrors("module tarn load 1\nmanaged M\n   prop p int\n", "indent of 3")
        self.assertSyntaxErrors("data A\n", "starts with 'module")
        self.assertSyntaxErrors('module tarn load 1\nenum E\n  tags "a\n', "unterminated string")

    def test_repeated_attributes_and_malformed_words(self):
        self.assertSyntaxErrors("module tarn load 1\ndata A\n  prop x string opt opt\n", "given twice")
        self.assertSyntaxErrors("module tarn load 1\ndata A\n  prop x str[]ing\n", "bad property type")
        self.assertSyntaxErrors("module tarn load 1\ndata A : B[]\n", "cannot be an array")
        self.assertSyntaxErrors("module tarn load 1\nmanaged M\n  method m returns\n", "missing result type")
        self.assertSyntaxErrors("module tarn load 1\nmanaged M\n  prop p int priv System.View\n",
                                "must be a quoted string")


class VersionFileTest(unittest.TestCase):
    def test_rows_settings_and_parents(self):
        vf = parse_version_text(
            'namespace tarn\n  trailer 1 1 24 26\nrelease version1 "2.0" wireNamespace tarn2\n'
            'disabled disabled ""\nparent disabled version1\nparent version1 sedge.query.version.version1\n')
        self.assertEqual(vf.settings["trailer"], [1, 1, 24, 26])
        self.assertEqual([(r.kind, r.name, r.wire_version, r.wire_namespace) for r in vf.rows],
                         [("release", "tarn.version.version1", "2.0", "tarn2"),
                          ("disabled", "tarn.version.disabled", "", None)])
        self.assertEqual([p[:2] for p in vf.parents],
                         [("tarn.version.disabled", "tarn.version.version1"),
                          ("tarn.version.version1", "sedge.query.version.version1")])

    def test_bad_lines(self):
        for text, fragment in [("release x \"1\"\n", "starts with 'namespace"),
                               ("namespace tarn\nrelease v1\n", "a row is"),
                               ("namespace tarn\n  bogus 1\n", "unknown setting"),
                               ("namespace tarn\n  ltsSlots many\n", "bad value"),
                               ("namespace tarn\nparent a\n", "parent pair")]:
            with self.subTest(text=text), self.assertRaises(SedgeErrors) as cm:
                parse_version_text(text, "v.sedge")
            self.assertIn(fragment, str(cm.exception))


if __name__ == "__main__":
    unittest.main()
