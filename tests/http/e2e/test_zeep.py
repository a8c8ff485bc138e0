#!/usr/bin/python3
"""A SOAP client nobody here wrote (zeep) against tarn-example-server, through the WSDL the
server hands out: a method answering a data object, a method taking a filled data object, a
fault with its name and properties, a task method followed to its end, and properties of a
folder tree read through the query service, page by page.

usage: test_zeep.py SERVER_EXE WSDL_DIR
The server runs on a free loopback port and is always stopped; every wait is bounded.
"""
import os
import sys
import time
import unittest

import zeep.exceptions

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
from zeep_fixture import NS, Served  # noqa: E402

SERVER_EXE = WSDL_DIR = None


class ZeepAgainstServer(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.served = Served([SERVER_EXE, "--address", "127.0.0.1", "--port", "0", "--wsdl-dir", WSDL_DIR,
                             "--seconds", "600"], "listening on ")
        cls.url, cls.client, cls.service, cls.session = (cls.served.url, cls.served.client, cls.served.service,
                                                         cls.served.session)
        cls.ref = cls.served.type("ManagedObjectReference")

    @classmethod
    def tearDownClass(cls):
        cls.served.stop()

    def login(self):
        session = self.service.Login(target="SessionManager", targetType="SessionManager",
                                     userName="admin", password="secret")
        self.assertEqual(session.userName, "admin")
        self.assertIn("tarn_session", self.session.cookies.get_dict())

    def test_1_getter_answers_a_data_object(self):
        content = self.service.RetrieveServiceContent(target="ServiceInstance", targetType="ServiceInstance")
        self.assertEqual(content.about.fullName, "Example server 1.0 (over HTTP)")
        self.assertEqual(content.rootFolder._value_1, "group-d1")
        self.assertEqual(content.rootFolder.type, "Folder")
        self.assertEqual(content.sessionManager._value_1, "SessionManager")

    def test_2_fault_carries_its_name_and_properties(self):
        self.login()
        self.service.CreateFolder(target="group-d1", targetType="Folder", name="zeep-folder")
        with self.assertRaises(zeep.exceptions.Fault) as caught:
            self.service.CreateFolder(target="group-d1", targetType="Folder", name="zeep-folder")
        fault = caught.exception
        detail = fault.detail
        self.assertIsNotNone(detail)
        element = detail[0]
        self.assertEqual(element.tag, "{%s}DuplicateNameFault" % NS)
        xsi_type = element.get("{http://www.w3.org/2001/XMLSchema-instance}type")
        self.assertTrue(xsi_type and xsi_type.endswith("DuplicateName"), xsi_type)
        self.assertEqual(element.findtext("{%s}name" % NS), "zeep-folder")
        taken = element.find("{%s}object" % NS)
        self.assertIsNotNone(taken)
        self.assertEqual(taken.get("type"), "Folder")
        # zeep reads the detail with the schema's DuplicateName type too.
        parsed = self.client.get_element("{%s}DuplicateNameFault" % NS).parse(element, self.client.wsdl.types)
        self.assertEqual(parsed.name, "zeep-folder")

    def test_3_filled_data_object_and_task_method(self):
        self.login()
        spec_type = self.client.get_type("{%s}VirtualMachineConfigSpec" % NS)
        spec = spec_type(name="zeep-vm", numCPUs=2, memoryMB=2048, annotation="made by <zeep> & co",
                         guestId="otherLinux64Guest")
        task = self.service.CreateVM_Task(target="group-d1", targetType="Folder", config=spec,
                                          pool=self.ref(_value_1="resgroup-8", type="ResourcePool"))
        self.assertEqual(task.type, "Task")
        # Followed through the collector until the task is done (at most ~10 s).
        info = None
        for _ in range(200):
            infos = self.service.ReadNextTasks(target="collector-1", targetType="TaskHistoryCollector",
                                               maxCount=100) or []
            info = next((i for i in infos if i.key == task._value_1), None)
            if info is not None and info.state in ("success", "error"):
                break
            time.sleep(0.05)
        self.assertIsNotNone(info, "the task never showed up")
        self.assertEqual(info.state, "success")
        self.assertEqual(info.task._value_1, task._value_1)
        # The machine exists now: a folder of the same name is refused with its reference.
        with self.assertRaises(zeep.exceptions.Fault) as caught:
            self.service.CreateFolder(target="group-d1", targetType="Folder", name="zeep-vm")
        self.assertEqual(caught.exception.detail[0].find("{%s}object" % NS).get("type"), "VirtualMachine")

    def test_4_unreadable_request_is_a_client_fault(self):
        reply = self.session.post(self.url, data="<not-soap", headers={"Content-Type": "text/xml"}, timeout=30)
        self.assertEqual(reply.status_code, 500)
        self.assertIn("soapenv:Client", reply.text)

    def test_5_properties_through_the_query_service(self):
        self.login()
        for name in ("zeep-q1", "zeep-q2"):
            self.service.CreateFolder(target="group-d1", targetType="Folder", name=name)
        content = self.service.RetrieveServiceContent(target="ServiceInstance", targetType="ServiceInstance")
        collector = content.propertyCollector
        self.assertEqual(collector.type, "PropertyCollector")

        t = self.served.type
        # every folder under the root, with its name, one object per answer
        spec = t("QuerySpecification")(
            objects=[t("QueryObjectSelection")(obj=self.ref(_value_1="group-d1", type="Folder"), follow=["children"])],
            hops=[t("QueryHop")(name="children", type="tarn.Folder", path="childEntity", follow=["children"])],
            properties=[t("QueryPropertySelection")(type="tarn.Folder", paths=["name"])])
        names = {}
        for result in self.served.results(collector, spec, 1):
            self.assertEqual(result.obj.type, "Folder")
            self.assertEqual([v.name for v in result.values], ["name"])
            names[result.obj._value_1] = result.values[0].val
        self.assertEqual(names["group-d1"], "Datacenters")
        self.assertIn("zeep-q1", names.values())
        self.assertIn("zeep-q2", names.values())
        # a spec the service refuses is a fault naming the element
        spec.properties[0].paths = ["no.such.path"]
        with self.assertRaises(zeep.exceptions.Fault) as caught:
            self.service.QueryRetrieve(target=collector._value_1, targetType=collector.type, specs=[spec])
        self.assertIn("specs[0].properties[0].paths[0]", caught.exception.message)


if __name__ == "__main__":
    SERVER_EXE, WSDL_DIR = sys.argv[1], sys.argv[2]
    unittest.main(argv=sys.argv[:1], verbosity=2)
