"""The WSDL and XML Schema stage: what each wire namespace declares, and that messages of the
wire form validate against it (and wrong ones do not) with an independent validator."""
import os
import shutil
import subprocess
import tempfile
import unittest
import xml.etree.ElementTree as ET

from sedgec.emit import generate
from sedgec.emit.wsdl import WireSchema
from sedgec.tests.util import catalogue

XSD = "{http://www.w3.org/2001/XMLSchema}"
WSDL = "{http://schemas.xmlsoap.org/wsdl/}"
SINCE = "{urn:tarn-types:version}since"

ROOT = """\
module tarn load 1
managed ManagedEntity
  prop name string
  prop owner ManagedEntity opt since version2
  method rename wsdl Rename_Task returns Task since version1 task
    param newName string
    raises fault.DuplicateName
managed Task
managed Folder : ManagedEntity
  method createFolder wsdl CreateFolder returns Folder
    param name string
    param spec Spec opt
    raises fault.DuplicateName
  method listNames wsdl ListNames returns string[] since version2
data Spec
  prop label string
  prop level Level
  prop sizes int[] opt
  prop extra any opt
  prop added long since version2
  prop newer Newer opt since version2
data Spec.Big : Spec
  prop big boolean opt
data Newer since version2
  prop x int
  prop spec Spec
data Holder
  prop main Spec link
  prop others Spec[] opt link
enum Level
  tags "low" "high"
"""
FAULTS = """\
module tarn.fault load 2
fault fault.DuplicateName : Quill::RuntimeFault wsdl DuplicateName
  prop name string
  prop object ManagedEntity opt
"""


def render(cat, out):
    generate(cat, out)
    return os.path.join(out, "wsdl")


def envelope(body, ns="tarn25", version="2.5"):
    return ('<soapenv:Envelope xmlns:soapenv="http://schemas.xmlsoap.org/soap/envelope/" '
            'xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance" '
            'xmlns:xsd="http://www.w3.org/2001/XMLSchema">'
            f'<soapenv:Header><apiVersion xmlns="urn:{ns}">{version}</apiVersion></soapenv:Header>'
            f'<soapenv:Body>{body}</soapenv:Body></soapenv:Envelope>')


class SchemaContentTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.cat = catalogue(ROOT, FAULTS)
        cls.tmp = tempfile.mkdtemp()
        cls.dir = render(cls.cat, cls.tmp)
        cls.xsd = {ns: ET.parse(os.path.join(cls.dir, ns + ".xsd")).getroot() for ns in ("tarn25", "tarn2")}

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp)

    def named(self, ns, tag, name):
        found = [e for e in self.xsd[ns].findall(XSD + tag) if e.get("name") == name]
        self.assertLessEqual(len(found), 1, f"{tag} {name} declared twice")
        return found[0] if found else None

    def test_outputs_are_one_schema_and_wsdl_per_wire_namespace_and_the_envelope(self):
        self.assertEqual(sorted(os.listdir(self.dir)),
                         ["soap-envelope.xsd", "tarn.wsdl", "tarn2.wsdl", "tarn2.xsd", "tarn25.wsdl", "tarn25.xsd"])
        with open(os.path.join(self.dir, "tarn.wsdl")) as entry, open(os.path.join(self.dir, "tarn25.wsdl")) as newest:
            self.assertEqual(entry.read(), newest.read())
        env = ET.parse(os.path.join(self.dir, "soap-envelope.xsd")).getroot()
        self.assertEqual({(i.get("namespace"), i.get("schemaLocation")) for i in env.findall(XSD + "import")},
                         {("urn:tarn25", "tarn25.xsd"), ("urn:tarn2", "tarn2.xsd")})

    def test_data_types_extend_their_base_with_their_own_properties_in_order(self):
        big = self.named("tarn25", "complexType", "SpecBig")
        ext = big.find(f"{XSD}complexContent/{XSD}extension")
        self.assertEqual(ext.get("base"), "tns:Spec")
        self.assertEqual([e.get("name") for e in ext.iter(XSD + "element")], ["big"])
        spec = self.named("tarn25", "complexType", "Spec")
        elems = {e.get("name"): e for e in spec.iter(XSD + "element")}
        self.assertEqual(list(elems), ["label", "level", "sizes", "extra", "added", "newer"])
        self.assertEqual(elems["level"].get("type"), "tns:Level")
        self.assertEqual(elems["extra"].get("type"), "xsd:anyType")
        self.assertEqual((elems["sizes"].get("type"), elems["sizes"].get("maxOccurs")), ("xsd:int", "unbounded"))
        # required as old as the type; a later one may be missing from an older peer's message
        self.assertIsNone(elems["label"].get("minOccurs"))
        self.assertEqual(elems["added"].get("minOccurs"), "0")
        self.assertEqual(elems["added"].get(SINCE), "tarn.version.version2")
        self.assertEqual(spec.get(SINCE), "tarn.version.version1")

    def test_links_hold_keys(self):
        holder = self.named("tarn25", "complexType", "Holder")
        self.assertEqual([(e.get("type"), e.get("minOccurs"), e.get("maxOccurs"))
                          for e in holder.iter(XSD + "element")],
                         [("xsd:string", None, None), ("xsd:string", "0", "unbounded")])

    def test_enumerations_references_arrays_and_faults(self):
        level = self.named("tarn25", "simpleType", "Level")
        self.assertEqual([e.get("value") for e in level.iter(XSD + "enumeration")], ["low", "high"])
        kinds = self.named("tarn25", "simpleType", "ManagedObjectType")
        self.assertTrue({"ManagedEntity", "Folder", "Task", "ManagedObject"} <=
                        {e.get("value") for e in kinds.iter(XSD + "enumeration")})
        for array, item in (("ArrayOfSpec", "Spec"), ("ArrayOfInt", "int"), ("ArrayOfLevel", "Level"),
                            ("ArrayOfFolder", "Folder"), ("ArrayOfAnyType", "anyType"),
                            ("ArrayOfLocalizableMessage", "LocalizableMessage")):
            t = self.named("tarn25", "complexType", array)
            self.assertIsNotNone(t, array)
            self.assertEqual(t.find(f"{XSD}sequence/{XSD}element").get("name"), item)
        fault = self.named("tarn25", "element", "DuplicateNameFault")
        self.assertEqual(fault.get("type"), "tns:DuplicateName")
        self.assertIsNotNone(self.named("tarn25", "element", "RuntimeFaultFault"))
        self.assertIsNone(self.named("tarn25", "element", "SpecFault"))

    def test_requests_and_responses_of_methods_and_property_reads(self):
        req = self.named("tarn25", "complexType", "CreateFolderRequestType")
        self.assertEqual([(e.get("name"), e.get("minOccurs")) for e in req.iter(XSD + "element")],
                         [("name", None), ("spec", "0")])
        self.assertEqual({a.get("name") for a in req.iter(XSD + "attribute")}, {"target", "targetType"})
        task = self.named("tarn25", "complexType", "Rename_TaskResponseType")
        self.assertEqual(task.find(f"{XSD}sequence/{XSD}element").get("type"), "tns:ManagedObjectReference")
        resp = self.named("tarn25", "complexType", "ListNamesResponseType")
        self.assertEqual(resp.find(f"{XSD}sequence/{XSD}element").get("maxOccurs"), "unbounded")
        self.assertIsNotNone(self.named("tarn25", "element", "ownerResponse"))
        wsdl = ET.parse(os.path.join(self.dir, "tarn25.wsdl")).getroot()
        ops = {o.get("name"): o for o in wsdl.find(WSDL + "portType")}
        # the catalogue's operations, and those of the runtime's query service
        self.assertEqual({o for o in ops if not o.startswith("Query")}, {"Rename_Task", "CreateFolder", "ListNames"})
        wait = self.named("tarn25", "complexType", "QueryWaitForUpdatesRequestType")
        self.assertEqual([(e.get("name"), e.get("type"), e.get("minOccurs")) for e in wait.iter(XSD + "element")],
                         [("version", "xsd:string", "0"), ("options", "tns:QueryWaitOptions", "0")])
        kind = self.named("tarn25", "simpleType", "QueryChangeKind")
        self.assertEqual([e.get("value") for e in kind.iter(XSD + "enumeration")], ["enter", "modify", "leave"])
        # its own faults, then those the runtime may raise from any operation (the catalogue
        # here has no NotAuthenticated)
        runtime = ["NotSupported", "InvalidArgument", "ManagedObjectNotFound", "InvalidRequest", "RuntimeFault"]
        self.assertEqual([f.get("message") for f in ops["CreateFolder"].findall(WSDL + "fault")],
                         ["tns:DuplicateNameFaultMsg"] + [f"tns:{f}FaultMsg" for f in runtime])
        self.assertEqual([f.get("message") for f in ops["ListNames"].findall(WSDL + "fault")],
                         [f"tns:{f}FaultMsg" for f in runtime])
        binding = {o.get("name"): o for o in wsdl.find(WSDL + "binding").findall(WSDL + "operation")}
        self.assertEqual([f.get("name") for f in binding["ListNames"].findall(WSDL + "fault")],
                         [f + "Fault" for f in runtime])
        for f in runtime:
            self.assertIsNotNone(self.named("tarn25", "element", f + "Fault"), f)
        self.assertEqual([f.get("message") for f in ops["QueryContinueRetrieve"].findall(WSDL + "fault")],
                         ["tns:QueryInvalidTokenFaultMsg"] + [f"tns:{f}FaultMsg" for f in runtime])

    def test_only_the_root_class_is_abstract(self):
        abstract = {t.get("name") for t in self.xsd["tarn25"].findall(XSD + "complexType") if t.get("abstract")}
        self.assertEqual(abstract, {"DynamicData"})

    def test_an_older_namespace_holds_only_what_its_releases_have(self):
        for name in ("Newer", "ArrayOfNewer"):
            self.assertIsNotNone(self.named("tarn25", "complexType", name))
            self.assertIsNone(self.named("tarn2", "complexType", name))
        spec = self.named("tarn2", "complexType", "Spec")
        self.assertEqual([e.get("name") for e in spec.iter(XSD + "element")], ["label", "level", "sizes", "extra"])
        self.assertIsNone(self.named("tarn2", "element", "ListNames"))
        self.assertIsNone(self.named("tarn2", "element", "ownerResponse"))
        self.assertIsNotNone(self.named("tarn2", "element", "nameResponse"))
        versions = [e.get("value") for e in self.named("tarn2", "element", "apiVersion").iter(XSD + "enumeration")]
        self.assertEqual(versions, ["2.0"])

    def test_a_release_property_typed_by_a_newer_type_is_left_out_where_its_type_is_not(self):
        root = (ROOT.replace("prop newer Newer opt since version2", "prop newer Newer")
                .replace("    param spec Spec opt\n", "    param spec Spec opt\n    param more Newer opt\n")
                .replace("method listNames wsdl ListNames returns string[] since version2",
                         "method listNewer wsdl ListNewer returns Newer[]"))
        cat = catalogue(root, FAULTS)
        old, new = WireSchema(cat, "tarn2"), WireSchema(cat, "tarn25")
        self.assertNotIn("Newer", {t.name for t in old.data})
        self.assertNotIn("ArrayOfNewer", {a.name for a in old.arrays})
        spec = {t.name: t for t in old.data}["Spec"]
        self.assertEqual([e.name for e in spec.elements], ["label", "level", "sizes", "extra"])
        ops = {o.name: o for o in old.operations}
        self.assertEqual([e.name for e in ops["CreateFolder"].params], ["name", "spec"])
        self.assertEqual(ops["ListNewer"].results, [])
        # where the type is, the property is; not required, as a release between the two lacks it
        spec = {t.name: t for t in new.data}["Spec"]
        self.assertEqual({e.name: e.min for e in spec.elements}["newer"], 0)
        self.assertEqual([e.name for e in {o.name: o for o in new.operations}["CreateFolder"].params],
                         ["name", "spec", "more"])


@unittest.skipUnless(shutil.which("xmllint"), "xmllint (libxml2-utils) is not installed")
class ValidationTest(unittest.TestCase):
    """Messages of the wire form checked by xmllint against the generated schemas."""

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp()
        cls.dir = render(catalogue(ROOT, FAULTS), cls.tmp)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp)

    def validates(self, message, schema="soap-envelope.xsd"):
        path = os.path.join(self.tmp, "message.xml")
        with open(path, "w") as f:
            f.write(message)
        r = subprocess.run(["xmllint", "--noout", "--nonet", "--schema", os.path.join(self.dir, schema), path],
                           capture_output=True, text=True, timeout=60)
        self.assertNotIn("Schemas parser error", r.stderr)
        return r.returncode == 0

    def test_well_formed_messages_validate(self):
        good = [
            '<CreateFolder xmlns="urn:tarn25" target="group-d1" targetType="Folder"><name>a &amp; b</name>'
            '<spec xsi:type="SpecBig"><label>x</label><level>high</level><sizes>1</sizes><sizes>-2</sizes>'
            '<extra xsi:type="ArrayOfInt"><int>1</int><int>2</int></extra><big>true</big></spec></CreateFolder>',
            '<CreateFolderResponse xmlns="urn:tarn25"><result type="Folder">group-d2</result></CreateFolderResponse>',
            '<ListNamesResponse xmlns="urn:tarn25"><result>a</result><result>b</result></ListNamesResponse>',
            '<ListNamesResponse xmlns="urn:tarn25"/>',
            '<owner xmlns="urn:tarn25" target="group-d1" targetType="ManagedEntity"/>',
            '<soapenv:Fault><faultcode>soapenv:Server</faultcode><faultstring>dup</faultstring><detail>'
            '<DuplicateNameFault xmlns="urn:tarn25" xsi:type="DuplicateName"><faultMessage><key>k</key>'
            '<arg><key>n</key><value xsi:type="xsd:double">-INF</value></arg></faultMessage>'
            '<name>a</name><object type="Folder">group-d3</object></DuplicateNameFault></detail></soapenv:Fault>',
        ]
        for body in good:
            with self.subTest(body=body[:40]):
                self.assertTrue(self.validates(envelope(body)))
        self.assertTrue(self.validates(envelope(
            '<CreateFolder xmlns="urn:tarn2" target="group-d1" targetType="Folder"><name>a</name></CreateFolder>',
            ns="tarn2", version="2.0")))

    def test_documents_of_one_value_are_rooted_at_their_types_name(self):
        ns = 'xmlns="urn:tarn25" xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance"'
        self.assertTrue(self.validates(f'<Spec {ns}><label>x</label><level>low</level></Spec>', "tarn25.xsd"))
        self.assertTrue(self.validates(f'<Level {ns}>high</Level>', "tarn25.xsd"))
        self.assertTrue(self.validates(f'<ArrayOfSpec {ns}><Spec xsi:type="SpecBig"><label>x</label>'
                                       '<level>low</level><big>false</big></Spec></ArrayOfSpec>', "tarn25.xsd"))
        self.assertFalse(self.validates(f'<Spec {ns}><label>x</label></Spec>', "tarn25.xsd"))
        self.assertFalse(self.validates(f'<Level {ns}>middle</Level>', "tarn25.xsd"))
        # a required object held as null is sent as nil; a required number never is
        self.assertTrue(self.validates(f'<Newer {ns}><x>1</x><spec xsi:nil="true"/></Newer>', "tarn25.xsd"))
        self.assertFalse(self.validates(f'<Newer {ns}><x xsi:nil="true"/><spec xsi:nil="true"/></Newer>',
                                        "tarn25.xsd"))
        self.assertFalse(self.validates(f'<Newer {ns}><x>1</x></Newer>', "tarn25.xsd"))

    def test_faulty_messages_do_not_validate(self):
        bad = {
            "unknown element": '<CreateFolder xmlns="urn:tarn25" target="t" targetType="Folder"><name>a</name>'
                               '<colour>red</colour></CreateFolder>',
            "missing required": '<CreateFolder xmlns="urn:tarn25" target="t" targetType="Folder"/>',
            "unknown tag": '<CreateFolder xmlns="urn:tarn25" target="t" targetType="Folder"><name>a</name>'
                           '<spec><label>x</label><level>medium</level></spec></CreateFolder>',
            "out of order": '<CreateFolder xmlns="urn:tarn25" target="t" targetType="Folder"><name>a</name>'
                            '<spec><level>low</level><label>x</label></spec></CreateFolder>',
            "int out of range": '<CreateFolder xmlns="urn:tarn25" target="t" targetType="Folder"><name>a</name>'
                                '<spec><label>x</label><level>low</level><sizes>2147483648</sizes></spec>'
                                '</CreateFolder>',
            "unknown managed type": '<CreateFolderResponse xmlns="urn:tarn25"><result type="Tractor">x</result>'
                                    '</CreateFolderResponse>',
            "not derived": '<CreateFolder xmlns="urn:tarn25" target="t" targetType="Folder"><name>a</name>'
                           '<spec xsi:type="Newer"><x>1</x><spec xsi:nil="true"/></spec></CreateFolder>',
            "newer in older": '<ListNames xmlns="urn:tarn2" target="t" targetType="Folder"/>',
            "unknown body": '<Launch xmlns="urn:tarn25"/>',
            "unknown version": None,
        }
        for kind, body in bad.items():
            with self.subTest(kind=kind):
                message = (envelope('<ListNamesResponse xmlns="urn:tarn25"/>', version="9.9") if body is None
                           else envelope(body))
                self.assertFalse(self.validates(message))


if __name__ == "__main__":
    unittest.main()
