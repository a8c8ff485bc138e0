#!/usr/bin/python3
"""A SOAP client nobody here wrote (zeep) against tarn-sim, through the WSDL it serves: log
in, find a machine that is off through the query service, power it on as a task, follow the
task to its end and read the machine back through the query service, find the event the
power-on left, log out and be refused.

usage: test_zeep.py TARN_SIM WSDL_DIR
The simulator runs on a free loopback port and is always stopped; every wait is bounded.
"""
import os
import sys
import time
import unittest

import zeep.exceptions

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from zeep_fixture import NS, Served  # noqa: E402

SIM = WSDL_DIR = None


class ZeepAgainstSimulator(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.served = Served([SIM, "--listen", "127.0.0.1:0", "--wsdl-dir", WSDL_DIR, "--task-delay-ms", "100"],
                            "tarn-sim serving ")
        cls.service = cls.served.service
        cls.t = staticmethod(cls.served.type)

    @classmethod
    def tearDownClass(cls):
        cls.served.stop()

    def retrieve(self, collector, spec):
        """Every object the query selects, with its values by name."""
        return {r.obj._value_1: {v.name: v.val for v in r.values or []}
                for r in self.served.results(collector, spec, 10)}

    def machines(self, content):
        t = self.t
        spec = t("QuerySpecification")(
            objects=[t("QueryObjectSelection")(obj=content.rootFolder, skip=True, follow=["children"])],
            hops=[t("QueryHop")(name="children", type="tarn.Folder", path="childEntity", follow=["children", "dcVm"]),
                  t("QueryHop")(name="dcVm", type="tarn.Datacenter", path="vmFolder", follow=["children"])],
            properties=[t("QueryPropertySelection")(type="tarn.VirtualMachine", paths=["name", "customValue"])])
        return self.retrieve(content.propertyCollector, spec)

    @staticmethod
    def power(values):
        return next(v.value for v in values["customValue"].CustomFieldValue if v.key == 1)

    def test_power_on_a_machine_found_through_the_query_service(self):
        anonymous = self.service.RetrieveServiceContent(target="ServiceInstance", targetType="ServiceInstance")
        self.assertEqual(anonymous.about.name, "tarn-sim")
        session = self.service.Login(target="SessionManager", targetType="SessionManager",
                                     userName="admin", password="tarn-sim")
        self.assertEqual(session.userName, "admin")
        content = self.service.RetrieveServiceContent(target="ServiceInstance", targetType="ServiceInstance")

        machines = self.machines(content)
        self.assertEqual(len(machines), 28)  # the default model
        off = sorted(vm for vm, values in machines.items() if self.power(values) == "poweredOff")
        self.assertTrue(off, "the model has no machine powered off")
        vm = off[0]

        task = self.service.PowerOnVM_Task(target=vm, targetType="VirtualMachine")
        self.assertEqual(task.type, "Task")
        t = self.t
        # the type as the reference names it on the wire
        spec = t("QuerySpecification")(objects=[t("QueryObjectSelection")(obj=task)],
                                       properties=[t("QueryPropertySelection")(type=task.type, paths=["info"])])
        info = None
        for _ in range(200):  # the task takes 100 ms
            info = self.retrieve(content.propertyCollector, spec)[task._value_1]["info"]
            if info.state in ("success", "error"):
                break
            time.sleep(0.05)
        self.assertEqual(info.state, "success")
        self.assertEqual(info.entity._value_1, vm)

        after = self.machines(content)
        self.assertEqual(self.power(after[vm]), "poweredOn")
        self.assertEqual({m for m, v in after.items() if self.power(v) == "poweredOff"}, set(off) - {vm})

        events = []
        for _ in range(100):  # the event is made just after the task's end
            events = self.service.QueryEvents(target=content.eventManager._value_1, targetType="EventManager",
                                              filter=t("EventFilterSpec")()) or []
            if events:
                break
            time.sleep(0.05)
        self.assertEqual([type(e).__name__ for e in events], ["VmPoweredOnEvent"])
        self.assertEqual(events[0].userName, "admin")
        self.assertIn("(%s): VirtualMachine.powerOn completed" % vm, events[0].fullFormattedMessage)

        self.service.Logout(target="SessionManager", targetType="SessionManager")
        with self.assertRaises(zeep.exceptions.Fault) as caught:
            self.machines(content)
        self.assertEqual(caught.exception.detail[0].tag, "{%s}NotAuthenticatedFault" % NS)


if __name__ == "__main__":
    SIM, WSDL_DIR = sys.argv[1], sys.argv[2]
    unittest.main(argv=sys.argv[:1], verbosity=2)
