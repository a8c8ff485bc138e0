"""tarn-convert from the outside: conversions against the codec's golden files, checks, versions,
and each kind of failure with its exit code and one-line message.

TARN_CONVERT names the program; TARN_WSDL_DIR (optional) the generated schemas, to validate what
it writes with xmllint."""
import json
import os
import shutil
import subprocess
import tempfile
import unittest

TOOL = os.environ.get("TARN_CONVERT", "build/dev/tools/convert/tarn-convert")
WSDL = os.environ.get("TARN_WSDL_DIR", "")
GOLDEN = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "wire", "golden")
SPEC = "tarn.vm.ConfigSpec"
USAGE, INVALID, UNREADABLE, UNWRITABLE = 2, 1, 3, 4


def golden(name):
    with open(os.path.join(GOLDEN, name), encoding="utf-8") as f:
        return f.read()


def run(*args, stdin=None, stdout=subprocess.PIPE):
    return subprocess.run([TOOL, *args], input=stdin, stdout=stdout, stderr=subprocess.PIPE, text=True,
                          timeout=120)


def strip_declaration(xml):
    return xml.split("?>", 1)[1].lstrip("\n") if xml.startswith("<?xml") else xml


class ConvertTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp()

    def tearDown(self):
        shutil.rmtree(self.tmp)

    def path(self, name, text=None):
        p = os.path.join(self.tmp, name)
        if text is not None:
            with open(p, "w", encoding="utf-8") as f:
                f.write(text)
        return p

    def test_conversions_give_what_the_codec_writes(self):
        for stem, ty in (("config-spec", SPEC), ("option-value", "OptionValue")):
            with self.subTest(stem=stem):
                xml = run("--type", ty, os.path.join(GOLDEN, stem + ".json"), "--to", "xml")
                self.assertEqual(xml.returncode, 0, xml.stderr)
                self.assertEqual(strip_declaration(xml.stdout).rstrip("\n"), golden(stem + ".xml").rstrip("\n"))
                back = run("--type", ty, os.path.join(GOLDEN, stem + ".xml"))  # XML goes to JSON by default
                self.assertEqual(back.returncode, 0, back.stderr)
                self.assertEqual(json.loads(back.stdout), json.loads(golden(stem + ".json")))
        # by content when the name says nothing, from stdin, into a file
        same = run("--type", "VirtualMachineConfigSpec", "-", "--to", "json", "-o", self.path("out.json"),
                   stdin=golden("config-spec.xml"))
        self.assertEqual((same.returncode, same.stdout), (0, ""), same.stderr)
        with open(self.path("out.json")) as f:
            self.assertEqual(json.load(f), json.loads(golden("config-spec.json")))
        sniffed = run("--type", SPEC, self.path("noext", golden("config-spec.xml")), "--to", "xml")
        self.assertEqual(strip_declaration(sniffed.stdout).rstrip("\n"), golden("config-spec.xml").rstrip("\n"))

    def test_check_and_versions(self):
        ok = run("--type", SPEC, os.path.join(GOLDEN, "config-spec.json"), "--check")
        self.assertEqual(ok.returncode, 0, ok.stderr)
        self.assertIn("valid " + SPEC, ok.stdout)
        self.assertEqual(run("--type", SPEC, os.path.join(GOLDEN, "config-spec.xml"), "--check", "-q").stdout, "")
        newest = run("--type", SPEC, os.path.join(GOLDEN, "config-spec.json"), "--to", "xml")
        oldest = run("--type", SPEC, os.path.join(GOLDEN, "config-spec.json"), "--to", "xml", "--api-version", "2.0")
        self.assertEqual((newest.returncode, oldest.returncode), (0, 0), oldest.stderr)
        # a property introduced after the chosen release is left out, the rest kept
        self.assertIn("npivNodeWorldWideName", newest.stdout)
        self.assertNotIn("npivNodeWorldWideName", oldest.stdout)
        self.assertIn("<memoryMB>4096</memoryMB>", oldest.stdout)
        self.assertIn('xmlns="urn:tarn2"', oldest.stdout)

    def test_skipped_elements_are_reported_and_strict_refuses_them(self):
        value = json.loads(golden("config-spec.json"))
        value["hoverboardMode"] = True
        newer = self.path("newer.json", json.dumps(value))
        lenient = run("--type", SPEC, newer, "--check")
        self.assertEqual(lenient.returncode, 0, lenient.stderr)
        self.assertIn("hoverboardMode", lenient.stderr)
        self.assertIn("skipped", lenient.stdout)
        strict = run("--type", SPEC, newer, "--check", "--strict")
        self.assertEqual(strict.returncode, INVALID)
        self.assertIn("skipped", strict.stderr)

    def test_a_value_written_for_a_version_reads_back_as_that_version(self):
        # UserSession has required properties newer than 2.0, which a value written for 2.0 lacks
        session = self.path("session.json", json.dumps({
            "_type": "UserSession", "key": "52b8", "userName": "ops", "fullName": "Operator",
            "loginTime": "2026-12-07T10:00:00Z", "lastActiveTime": "2026-12-07T10:05:00Z", "locale": "en",
            "messageLocale": "en", "extensionSession": False, "ipAddress": "127.0.0.1", "userAgent": "t",
            "callCount": 3}))
        old = self.path("session-2.0.xml")
        wrote = run("--type", "UserSession", session, "--api-version", "2.0", "-o", old)
        self.assertEqual(wrote.returncode, 0, wrote.stderr)
        back = run("--type", "UserSession", old, "--api-version", "2.0")
        self.assertEqual(back.returncode, 0, back.stderr)
        value = json.loads(back.stdout)
        self.assertEqual((value["userName"], value["locale"]), ("ops", "en"))
        self.assertNotIn("callCount", value)
        # read as the newest release, the same file lacks what that release requires
        newest = run("--type", "UserSession", old)
        self.assertEqual(newest.returncode, INVALID)
        self.assertIn("missing required property", newest.stderr)
        if WSDL and shutil.which("xmllint"):
            r = subprocess.run(["xmllint", "--noout", "--nonet", "--schema", os.path.join(WSDL, "tarn2.xsd"), old],
                               capture_output=True, text=True, timeout=120)
            self.assertEqual(r.returncode, 0, r.stderr)

    def binary(self, name, data):
        p = os.path.join(self.tmp, name)
        with open(p, "wb") as f:
            f.write(data)
        return p

    def test_failures_have_their_exit_code_and_one_line(self):
        spec_json = os.path.join(GOLDEN, "config-spec.json")
        truncated = self.path("truncated.json", golden("config-spec.json")[:40])
        spec_xml = golden("config-spec.xml")
        not_utf8 = self.binary("latin1.xml", spec_xml.replace("<name>", "<name>caf\xe9 ", 1).encode("latin-1"))
        utf16 = self.binary("utf16.xml", spec_xml.encode("utf-16"))
        cases = [
            ("no arguments", [], USAGE),
            ("unknown option", ["--type", SPEC, spec_json, "--frobnicate"], USAGE),
            ("bad form", ["--type", SPEC, spec_json, "--to", "yaml"], USAGE),
            ("unknown type", ["--type", "tarn.vm.Teleporter", spec_json], USAGE),
            ("unknown version", ["--type", SPEC, spec_json, "--api-version", "99.1"], USAGE),
            ("missing file", ["--type", SPEC, self.path("absent.json")], UNREADABLE),
            ("directory", ["--type", SPEC, self.tmp, "--from", "json"], UNREADABLE),
            ("truncated", ["--type", SPEC, truncated], INVALID),
            ("malformed xml", ["--type", SPEC, self.path("bad.xml", "<VirtualMachineConfigSpec><name>")], INVALID),
            ("wrong type", ["--type", SPEC, os.path.join(GOLDEN, "option-value.json")], INVALID),
            ("not json", ["--type", SPEC, self.path("text.json", "memory: lots")], INVALID),
            ("no such directory", ["--type", SPEC, spec_json, "-o", self.path("nowhere/out.xml")], UNWRITABLE),
            ("not utf-8", ["--type", SPEC, not_utf8], INVALID),
            ("utf-16", ["--type", SPEC, utf16], INVALID),
        ]
        for name, args, code in cases:
            with self.subTest(name=name):
                r = run(*args)
                self.assertEqual(r.returncode, code, r.stderr)
                lines = r.stderr.strip().splitlines()
                self.assertEqual(len(lines), 1, r.stderr)
                self.assertTrue(lines[0].startswith("tarn-convert: "), lines[0])
        self.assertIn("truncated.json", run("--type", SPEC, truncated).stderr)
        self.assertIn("UTF-16", run("--type", SPEC, utf16).stderr)
        self.assertEqual([f for f in os.listdir(self.tmp) if f.endswith(".partial")], [])

    def test_a_failed_run_leaves_the_output_file_alone(self):
        out = self.path("keep.xml", "previous\n")
        r = run("--type", SPEC, self.path("bad.json", "{"), "-o", out)
        self.assertEqual(r.returncode, INVALID)
        with open(out) as f:
            self.assertEqual(f.read(), "previous\n")
        self.assertEqual(sorted(os.listdir(self.tmp)), ["bad.json", "keep.xml"])

    @unittest.skipUnless(os.path.exists("/dev/full"), "no /dev/full")
    def test_a_full_disk_is_an_output_error(self):
        with open("/dev/full", "w") as full:
            r = run("--type", SPEC, os.path.join(GOLDEN, "config-spec.json"), "--to", "xml", stdout=full)
        self.assertEqual(r.returncode, UNWRITABLE, r.stderr)
        self.assertIn("stdout", r.stderr)

    @unittest.skipUnless(WSDL and shutil.which("xmllint"), "no generated schema or xmllint")
    def test_what_it_writes_validates_against_the_schema(self):
        out = self.path("spec.xml")
        self.assertEqual(run("--type", SPEC, os.path.join(GOLDEN, "config-spec.json"), "-o", out).returncode, 0)
        r = subprocess.run(["xmllint", "--noout", "--nonet", "--schema", os.path.join(WSDL, "tarn25.xsd"), out],
                           capture_output=True, text=True, timeout=120)
        self.assertEqual(r.returncode, 0, r.stderr)


if __name__ == "__main__":
    unittest.main()
