"""Validates every golden file and every message of the round-trip corpus against the generated
XML Schema with xmllint: value documents against the types schema, SOAP messages against the
envelope schema that imports it."""
import argparse
import os
import re
import shutil
import subprocess
import sys

BATCH = 400
# Fewer than this many files of a kind means the corpus program lost something.
MINIMUM = {"value": 3000, "fault": 600, "request": 1000, "response": 1000}


def is_envelope(path):
    with open(path, "rb") as f:
        return b"soapenv:Envelope" in f.read(400)


def listing(root, sub):
    return sorted(os.path.join(root, sub, f) for f in os.listdir(os.path.join(root, sub)))


def xmllint(tool, schema, files):
    """Failures among `files`: {path: [error lines]}."""
    failed = {}
    for i in range(0, len(files), BATCH):
        batch = files[i:i + BATCH]
        r = subprocess.run([tool, "--noout", "--nonet", "--schema", schema, *batch],
                           capture_output=True, text=True, timeout=600)
        if "Schemas parser error" in r.stderr or "failed to compile" in r.stderr:
            sys.exit(f"the schema {schema} does not compile:\n{r.stderr[:3000]}")
        ok = set(re.findall(r"^(.*) validates$", r.stderr, re.M))
        for path in batch:
            if path not in ok:
                failed[path] = [ln for ln in r.stderr.splitlines() if ln.startswith(path + ":")][:3]
    return failed


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--corpus", required=True, help="the tarn-wire-corpus program")
    ap.add_argument("--xmllint", default="xmllint")
    ap.add_argument("--wsdl", required=True, help="directory of the generated schemas")
    ap.add_argument("--golden", required=True)
    ap.add_argument("--work", required=True, help="scratch directory for the corpus")
    ap.add_argument("--namespace", default="tarn25")
    a = ap.parse_args()

    shutil.rmtree(a.work, ignore_errors=True)
    subprocess.run([a.corpus, a.work], check=True, timeout=600)
    kinds = {k: listing(a.work, k) for k in MINIMUM}
    for kind, least in MINIMUM.items():
        if len(kinds[kind]) < least:
            sys.exit(f"only {len(kinds[kind])} {kind} files in the corpus (at least {least} expected)")
    golden = sorted(os.path.join(a.golden, f) for f in os.listdir(a.golden) if f.endswith(".xml"))
    if len(golden) < 4:
        sys.exit(f"only {len(golden)} golden XML files in {a.golden}")

    values = kinds["value"] + [g for g in golden if not is_envelope(g)]
    messages = kinds["fault"] + kinds["request"] + kinds["response"] + [g for g in golden if is_envelope(g)]
    # A message the schema must refuse: the validator is really looking.
    broken = os.path.join(a.work, "broken.xml")
    with open(kinds["request"][0]) as f:
        text = f.read()
    with open(broken, "w") as f:
        f.write(re.sub(r"(<soapenv:Body>\s*<[^>]*>)", r"\1<noSuchArgument>1</noSuchArgument>", text, count=1))

    types_xsd = os.path.join(a.wsdl, a.namespace + ".xsd")
    envelope_xsd = os.path.join(a.wsdl, "soap-envelope.xsd")
    # an older wire namespace: its values against its own schema, its requests in the envelope
    older = sorted(d.split(".", 1)[1] for d in os.listdir(a.work) if d.startswith("value."))
    if not older:
        sys.exit("the corpus holds no release of an older wire namespace")
    failed = {}
    for ns in older:
        old_values, old_requests = listing(a.work, "value." + ns), listing(a.work, "request." + ns)
        if len(old_values) < 1000 or len(old_requests) < 200:
            sys.exit(f"only {len(old_values)} values and {len(old_requests)} requests of urn:{ns}")
        messages += old_requests
        failed.update(xmllint(a.xmllint, os.path.join(a.wsdl, ns + ".xsd"), old_values))
    failed.update(xmllint(a.xmllint, types_xsd, values))
    failed.update(xmllint(a.xmllint, envelope_xsd, messages + [broken]))
    if broken not in failed:
        sys.exit("a request with an unknown argument element validated: the schema checks nothing")
    del failed[broken]
    print(f"{len(values)} value documents, {len(messages)} messages and the values of {older} checked against "
          f"{a.wsdl}")
    if failed:
        for path, lines in list(failed.items())[:25]:
            print("\n".join(lines) or f"{path}: fails to validate")
        sys.exit(f"{len(failed)} file(s) do not validate")


if __name__ == "__main__":
    main()
