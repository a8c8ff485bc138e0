"""What the zeep interoperability tests share: a program that serves SOAP on a free loopback
port and names its URL as the last word of its first line, and a zeep client of the WSDL it
serves. Every wait is bounded and the program is always stopped."""
import signal
import subprocess
import threading

import requests
import zeep
from zeep.transports import Transport

NS = "urn:tarn25"


class Served:
    def __init__(self, command, ready):
        self.process = subprocess.Popen(command, stdout=subprocess.PIPE, text=True)
        line = []
        reader = threading.Thread(target=lambda: line.append(self.process.stdout.readline()), daemon=True)
        reader.start()
        reader.join(30)
        if not line or not line[0].startswith(ready):
            self.stop()
            raise RuntimeError(f"{command[0]} did not come up: {line}")
        self.url = line[0].split()[-1]
        self.session = requests.Session()
        self.session.trust_env = False  # loopback only: no proxy from the environment
        transport = Transport(session=self.session, timeout=120, operation_timeout=30)
        settings = zeep.Settings(strict=False, xml_huge_tree=True)
        self.client = zeep.Client(self.url + "/tarn.wsdl", transport=transport, settings=settings)
        self.service = self.client.create_service("{%s}TarnBinding" % NS, self.url)

    def type(self, name):
        return self.client.get_type("{%s}%s" % (NS, name))

    def results(self, collector, spec, max_objects):
        """Every object the query selects, page by page (at most 100 pages)."""
        target = dict(target=collector._value_1, targetType=collector.type)
        options = self.type("QueryRetrieveOptions")(maxObjects=max_objects)
        page = self.service.QueryRetrieve(**target, specs=[spec], options=options)
        for _ in range(100):
            yield from page.objects or []
            if not page.token:
                return
            page = self.service.QueryContinueRetrieve(**target, token=page.token)
        raise AssertionError("more than 100 pages")

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        try:
            self.process.communicate(timeout=20)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.communicate()
