"""An ordinary SOAP client (zeep, Debian python3-zeep) built from the generated tarn.wsdl: it must
see every operation, read the codec's golden response and fault, and write requests that the
envelope schema accepts. With --out it leaves those requests for the codec to decode.

Exits 77 (skipped) when zeep is not installed."""
import argparse
import os
import subprocess
import sys

try:
    import zeep
    from lxml import etree
except ImportError:
    print("python3-zeep is not installed: skipped")
    sys.exit(77)

ENVELOPE = "{http://schemas.xmlsoap.org/soap/envelope/}"


def fail(message):
    sys.exit("soap client: " + message)


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--wsdl", required=True, help="directory of the generated WSDL and schemas")
    ap.add_argument("--golden", required=True)
    ap.add_argument("--xmllint", default="xmllint")
    ap.add_argument("--out", help="write the client's requests here")
    a = ap.parse_args()

    client = zeep.Client(os.path.join(a.wsdl, "tarn.wsdl"))
    binding = client.wsdl.services["TarnService"].ports["TarnPort"].binding
    port_type = etree.parse(os.path.join(a.wsdl, "tarn.wsdl")).getroot().find(
        "{http://schemas.xmlsoap.org/wsdl/}portType")
    declared = {op.get("name") for op in port_type}
    if len(declared) < 1000 or set(binding._operations) != declared:
        fail(f"the client sees {len(binding._operations)} operations, the WSDL declares {len(declared)}")

    create = binding.get("CreateFolder")
    reply = create.process_reply(etree.parse(os.path.join(a.golden, "response.xml")).getroot())
    if (reply["type"], reply["_value_1"]) != ("Folder", "group-d2"):
        fail(f"golden response read as {reply!r}")
    try:
        binding.process_error(etree.parse(os.path.join(a.golden, "fault.xml")).getroot(), create)
        fail("the golden fault raised nothing")
    except zeep.exceptions.Fault as f:
        detail = f.detail.find("{urn:tarn25}DuplicateNameFault")
        if detail is None or detail.find("{urn:tarn25}name").text != "Production":
            fail("golden fault detail: " + etree.tostring(f.detail).decode()[:400])

    spec_type = client.get_type("{urn:tarn25}VirtualMachineConfigSpec")
    disk = client.get_type("{urn:tarn25}VirtualDisk")(key=-100, capacityInKB=16777216)
    change = client.get_type("{urn:tarn25}VirtualDeviceConfigSpec")(operation="add", device=disk)
    requests = {
        "ReconfigVM_Task": client.create_message(
            client.service, "ReconfigVM_Task", target="vm-12", targetType="VirtualMachine",
            spec=spec_type(name="web-01", numCPUs=2, memoryMB=4096, deviceChange=[change]),
            _soapheaders={"apiVersion": "8.0.0.1"}),
        "CreateFolder": client.create_message(
            client.service, "CreateFolder", target="group-d1", targetType="Folder", name="Production",
            _soapheaders={"apiVersion": "8.0.0.1"}),
    }
    out = a.out or os.path.join(os.getcwd(), "soap-client")
    os.makedirs(out, exist_ok=True)
    paths = []
    for name, message in requests.items():
        paths.append(os.path.join(out, name + ".xml"))
        with open(paths[-1], "wb") as f:
            f.write(etree.tostring(message, xml_declaration=True, encoding="UTF-8"))
    r = subprocess.run([a.xmllint, "--noout", "--nonet", "--schema", os.path.join(a.wsdl, "soap-envelope.xsd"),
                        *paths], capture_output=True, text=True, timeout=300)
    if r.returncode != 0:
        fail("the client's requests do not validate:\n" + r.stderr[:2000])
    print(f"{len(declared)} operations; golden response and fault read; {len(paths)} requests written to {out}")


if __name__ == "__main__":
    main()
