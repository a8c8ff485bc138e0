"""The resolved model: derived facts and every rule the validator enforces."""
import unittest

from sedgec import names
from sedgec.model.types import Type
from sedgec.tests.util import catalogue, errors_of

ROOT = """\
module tarn load 1
managed ExtensibleManagedObject
  prop value CustomFieldsManager.Value[] opt priv "System.View"
  prop availableField CustomFieldsManager.FieldDef[] opt
  method setCustomValue wsdl setCustomValue returns void priv "dynamic"
    param key string
managed ManagedEntity : ExtensibleManagedObject
  prop parent ManagedEntity opt
  prop name string priv "System.View"
  method rename wsdl Rename_Task returns void since version2 task
    param newName string
    raises fault.DuplicateName, Quill::Fault::InvalidArgument
    typepriv Network "System.Read"
    typepriv Folder "Folder.Rename"
managed Network : ManagedEntity
  prop summary Network.Summary opt
  prop name string
  prop parent ManagedEntity opt since version2
  method destroyNetwork returns void
managed Folder : ManagedEntity
data CustomFieldsManager.Value
  prop key int
data CustomFieldsManager.FieldDef
data Network.Summary
  prop network Network opt
  prop port HostPort[] opt linkable
  prop vswitch HostSwitch link
data HostPort
  prop key string
data HostSwitch
enum Datastore.SectorFormat wsdl DatastoreSectorFormat
  tags "native_512" "emulated_512"
"""
FAULTS = """\
module tarn.fault load 2
fault fault.TarnFault : Quill::MethodFault wsdl TarnFault
fault fault.DuplicateName : fault.TarnFault
  prop name string
fault fault.NoPermission : Quill::Fault::SecurityError
"""
EVENTS = """\
module tarn.event load 3 prefix Ev
data event.Event
data event.VmPoweredOnEvent
data event.EventFilterSpec
data event.EventFilterSpec.ByTime
data event.HostSwitch
"""


class DerivedFactsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.cat = catalogue(ROOT, FAULTS, EVENTS)

    def t(self, name):
        return self.cat.types["tarn." + name]

    def test_complete_property_sequence_keeps_base_index_for_redeclarations(self):
        net = self.t("Network")
        self.assertEqual([(p.name, p.index) for p in net.all_props],
                         [("value", 0), ("availableField", 1), ("parent", 2), ("name", 3),
                          ("summary", 4)])
        self.assertEqual([(p.name, p.index, p.redeclares is not None) for p in net.props],
                         [("summary", 4, False), ("name", 3, True), ("parent", 2, True)])
        self.assertEqual((net.methods[0].index, net.method_slots), (0, 5))

    def test_flag_words(self):
        summary = self.t("Network.Summary")
        self.assertEqual([p.flags for p in summary.props], [2, 19, 32])
        self.assertEqual([p.flags for p in self.t("ExtensibleManagedObject").props], [7, 7])
        self.assertEqual(self.t("ManagedEntity").props[1].flags, 4)

    def test_versions_default_and_inherit(self):
        rename = self.t("ManagedEntity").methods[0]
        self.assertEqual(rename.version, "tarn.version.version2")
        self.assertEqual(rename.params[0].version, "tarn.version.version2")
        self.assertEqual((rename.result.type, rename.result.flags, rename.result.version),
                         (None, 0, "sedge.version.version0"))
        self.assertEqual(self.t("Folder").version, "tarn.version.version1")
        self.assertEqual(self.t("Network").props[2].version, "tarn.version.version2")

    def test_bases_by_rule(self):
        self.assertEqual(self.t("Folder").base, self.t("ManagedEntity"))
        self.assertEqual(self.t("ExtensibleManagedObject").base.cpp, "Quill::ManagedObject")
        self.assertEqual(self.t("HostPort").base.record, "gSedgeDynamicDataTypeInfo")
        self.assertIs(self.t("event.VmPoweredOnEvent").base, self.t("event.Event"))
        # nested types and the event root itself keep the data root
        self.assertEqual(self.t("event.EventFilterSpec.ByTime").base.cpp, "Quill::DynamicData")
        self.assertEqual(self.t("event.Event").base.cpp, "Quill::DynamicData")
        self.assertEqual(self.t("fault.NoPermission").base.cpp, "Quill::Fault::SecurityError")

    def test_wsdl_names(self):
        self.assertEqual(self.t("fault.DuplicateName").wsdl, "DuplicateName")
        self.assertEqual(self.t("event.EventFilterSpec.ByTime").wsdl, "EventFilterSpecByTime")
        self.assertEqual(self.t("Network.Summary").wsdl, "NetworkSummary")
        # "HostSwitch" is taken by the root type, so the module prefix goes in front
        self.assertEqual(self.t("event.HostSwitch").wsdl, "EvHostSwitch")
        rename = self.t("ManagedEntity").methods[0]
        self.assertEqual((rename.wsdl, self.t("Network").methods[0].wsdl),
                         ("Rename_Task", "DestroyNetwork"))

    def test_names_and_constants(self):
        sf = self.t("Datastore.SectorFormat")
        self.assertEqual(sf.tag_constants(), ["SECTORFORMAT_NATIVE_512", "SECTORFORMAT_EMULATED_512"])
        self.assertEqual(self.t("event.EventFilterSpec.ByTime").cpp, "Tarn::Event::EventFilterSpec::ByTime")
        self.assertEqual(names.record_name("tarn.event.iScsiBootFailureEvent"),
                         "gTarnEventIScsiBootFailureEventTypeInfo")
        self.assertEqual(names.cpp_class("tarn.event.iScsiBootFailureEvent", "tarn.event"),
                         "Tarn::Event::iScsiBootFailureEvent")
        self.assertEqual(names.record_name("tarn.profile.cluster.ClusterProfile.ServiceType"),
                         "gTarnProfileClusterClusterProfileServiceTypeTypeInfo")
        self.assertEqual(names.method_constant("UpdateProgress"), "METHOD_UPDATEPROGRESS")
        self.assertEqual(names.cpp_identifier("template"), "template_")

    def test_slots_are_data_then_enums_then_managed(self):
        root = self.cat.modules[0]
        kinds = [t.kind for t in root.slots]
        self.assertEqual(kinds, sorted(kinds, key=["data", "fault", "enum", "managed"].index))
        self.assertEqual([m.namespace for m in self.cat.modules], ["tarn", "tarn.fault", "tarn.event"])

    def test_faults_and_type_privileges_resolve(self):
        rename = self.t("ManagedEntity").methods[0]
        self.assertEqual([f.record for f in rename.faults],
                         ["gTarnFaultDuplicateNameTypeInfo", "gSedgeFaultInvalidArgumentTypeInfo"])
        self.assertEqual([(t.name, p) for t, p in rename.type_privileges],
                         [("tarn.Network", "System.Read"), ("tarn.Folder", "Folder.Rename")])


def one_module(body, load=1):
    return f"module tarn load {load}\n" + body


class ValidatorTest(unittest.TestCase):
    def assertRejected(self, *modules, fragment, line=None):
        errs = errors_of(*modules)
        self.assertTrue(errs, "expected a validation error")
        self.assertTrue(any(fragment in e for e in errs), errs)
        if line is not None:
            self.assertTrue(any(f"tarn.sedge:{line}:" in e and fragment in e for e in errs), errs)

    def test_unknown_and_ambiguous_references(self):
        self.assertRejected(one_module("data A\n  prop x Nowhere\n"), fragment="unknown property type 'Nowhere'",
                            line=3)
        self.assertRejected(one_module("managed M\n  method m returns Gone[]\n"), fragment="unknown result type")
        self.assertRejected(one_module("managed M\n  method m returns void\n    raises fault.Lost\n"),
                            fragment="unknown fault")
        self.assertRejected(one_module("data string\n"), fragment="name of a built-in type")

    def test_duplicates(self):
        self.assertRejected(one_module("data A\ndata A\n"), fragment="declared twice", line=3)
        self.assertRejected(one_module("data A\n  prop x int\n  prop x long\n"), fragment="property 'x' declared twice")
        self.assertRejected(one_module("managed M\n  method m returns void\n  method m returns void\n"),
                            fragment="method 'm' declared twice")
        self.assertRejected(one_module("managed M\n  method m returns void\n    param p int\n    param p int\n"),
                            fragment="parameter 'p' declared twice")
        self.assertRejected(one_module("data A wsdl Same\ndata B wsdl Same\n"), fragment="WSDL name 'Same'")

    def test_bases(self):
        self.assertRejected(one_module("data A : B\ndata B : A\n"), fragment="derives from itself")
        self.assertRejected(one_module("data B : A\ndata A\n"), fragment="comes before its base 'A'", line=2)
        self.assertRejected(one_module("data A : M\nmanaged M\n"), fragment="cannot derive from managed")
        self.assertRejected(one_module("fault F\n"), fragment="has no base")
        # a base in another module may come later in load order
        self.assertEqual(errors_of(one_module("data A : option.Spec\n"),
                                   "module tarn.option load 2\ndata option.Spec\n"), [])

    def test_versions_must_be_rows_or_runtime_versions(self):
        self.assertRejected(one_module("data A since version9\n"), fragment="unknown version 'version9'")
        self.assertEqual(errors_of(one_module("data A\n  prop dynamicProperty Quill::DynamicProperty[] opt "
                                              "since sedge.version.version0\n")), [])

    def test_version_table_needs_its_settings(self):
        errs = errors_of(one_module("data A\n"), versions="namespace tarn\nrelease version1 \"2.0\"\n")
        self.assertTrue(any("lack 'ltsSlots'" in e for e in errs), errs)

    def test_task_methods_and_wsdl_names_agree(self):
        self.assertRejected(one_module("managed M\n  method m wsdl M returns void task\n"),
                            fragment="must end in '_Task'")
        self.assertRejected(one_module("managed M\n  method m wsdl M_Task returns void\n"), fragment="not marked task")

    def test_flags_only_where_they_fit(self):
        self.assertRejected(one_module("data A\n  prop x string link\n"), fragment="can be a link")
        self.assertRejected(one_module("data A\n  prop x B[] linkable\ndata B\n"), fragment="optional array")
        self.assertRejected(one_module("data A\n  prop x B opt linkable\ndata B\n"), fragment="optional array")
        self.assertRejected(one_module("data A\n  prop x int secret\n"), fragment="can be secret")
        self.assertRejected(one_module("managed M\n  prop x B link\ndata B\n"), fragment="can be a link")
        self.assertRejected(one_module("managed M\n  method m returns int secret\n"), fragment="can be secret")

    def test_tag_constants_must_not_collide(self):
        self.assertRejected(one_module('enum E\n  tags "inProgress" "in_progress" "INPROGRESS"\n'),
                            fragment='both give the constant E_INPROGRESS')

    def test_module_placement(self):
        self.assertRejected(one_module("data vm.Thing\n"), "module tarn.vm load 2\n",
                            fragment="does not belong to module tarn but to tarn.vm")
        errs = errors_of("module tarn.vm load 1\ndata Thing\n")
        self.assertTrue(any("does not belong to module tarn.vm" in e for e in errs), errs)
        errs = errors_of("module tarn load 1\n", "module tarn.vm load 1\n")
        self.assertTrue(any("load position 1 also used" in e for e in errs), errs)


class TypeProtocolTest(unittest.TestCase):
    def test_ancestors_reach_the_runtime_root(self):
        cat = catalogue(FAULTS)
        dup = cat.types["tarn.fault.DuplicateName"]
        self.assertIsInstance(dup, Type)
        self.assertEqual([a.cpp for a in dup.ancestors()],
                         ["Tarn::Fault::TarnFault", "Quill::MethodFault", "Quill::DynamicData"])


if __name__ == "__main__":
    unittest.main()
