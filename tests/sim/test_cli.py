#!/usr/bin/env python3
"""The tarn-sim program: what it prints, its options and fault-injection rules, TLS and stopping
on SIGTERM.

The program is named by the environment variable TARN_SIM; every run listens on a free
loopback port and is stopped within its timeout.
"""
import json
import os
import shutil
import subprocess
import tempfile
import unittest
import urllib.request

from sim_process import SIM, Running


class CommandLine(unittest.TestCase):
    def test_prints_url_and_logins_and_stops_on_sigterm(self):
        env = dict(os.environ, SIM_TEST_PASSWORD="s3cret")
        sim = Running("--vms", "1", "--user", "root", "--password-env", "SIM_TEST_PASSWORD", env=env)
        try:
            self.assertGreaterEqual(len(sim.lines), 2, sim.lines)
            self.assertRegex(sim.lines[0], r"^tarn-sim serving 7 virtual machines at http://127\.0\.0\.1:\d+/sdk$")
            self.assertEqual(sim.lines[-1], "login: root / $SIM_TEST_PASSWORD (administrator), "
                                            "viewer / tarn-sim (read-only)")
            self.assertNotIn("s3cret", "\n".join(sim.lines))
        finally:
            code, out = sim.stop()
        self.assertEqual(code, 0)
        self.assertIn("stopping", out)

    def test_model_file_and_state_file(self):
        with tempfile.TemporaryDirectory() as tmp:
            model, state = os.path.join(tmp, "model.json"), os.path.join(tmp, "state.json")
            with open(model, "w") as f:
                f.write('{"datacenters": [{"name": "Lab", "clusters": [{"name": "Gold", "hosts": 2, "vms": 3}],'
                        ' "standalone": [{"name": "edge", "vms": 1}]}]}')
            sim = Running("--model", model, "--state", state)
            try:
                self.assertRegex(sim.lines[0], r"^tarn-sim serving 7 virtual machines at ")
            finally:
                code, _ = sim.stop()
            self.assertEqual(code, 0)
            with open(state) as f:
                self.assertIn('"Gold_H1_VM2"', f.read())
            # The saved state wins over the counts given.
            again = Running("--vms", "9", "--state", state)
            try:
                self.assertRegex(again.lines[0], r"^tarn-sim serving 7 virtual machines at ")
            finally:
                again.stop()
            with open(model, "w") as f:
                f.write('{"datacenters": [{"name": "Lab", "clusters": [{"name": "Gold", "hots": 2}]}]}')
            run = subprocess.run([SIM, "--listen", "127.0.0.1:0", "--model", model], capture_output=True, text=True,
                                 timeout=20)
            self.assertEqual(run.returncode, 1, run.stderr)
            self.assertIn("unknown key 'hots'", run.stderr)

    def test_refuses_bad_options_and_rules(self):
        without = {k: v for k, v in os.environ.items() if k != "SIM_TEST_UNSET"}
        # 2 for an option the parser refuses, 1 for a rule whose value it cannot use
        here = ["--listen", "127.0.0.1:0"]
        for args, env, code, message in (
                (["--listen", "127.0.0.1:http"], None, 2, ""),
                (["--listen", "127.0.0.1:70000"], None, 2, ""),
                (["--password-env", "SIM_TEST_UNSET"], without, 2, ""),
                (here + ["--control", "nowhere"], None, 2, "--control wants address:port"),
                (here + ["--delay", "*=soon"], None, 1, "--delay wants a number"),
                (here + ["--fault", "x=NoSuchFault"], None, 1, "no fault type 'NoSuchFault'"),
                (here + ["--drop", "1", "--drop-when", "later"], None, 1, "before")):
            run = subprocess.run([SIM, *args], capture_output=True, text=True, timeout=20, env=env)
            self.assertEqual(run.returncode, code, (args, run.stderr))
            self.assertTrue(run.stderr.startswith("tarn-sim: "), run.stderr)
            self.assertIn(message, run.stderr, args)

    def test_rules_from_options_show_at_the_control_url(self):
        sim = Running("--control", "127.0.0.1:0", "--delay", "*=5", "--delay", "tarn.Folder.createFolder=200",
                      "--fault", "PowerOnVM_Task=InvalidState:3", "--fault", "tarn.ManagedEntity.rename=NotFound",
                      "--drop", "2", "--drop-when", "after", "--slow", "4096:20")
        try:
            control = next((line.split()[-1] for line in sim.lines if line.startswith("fault injection:")), None)
            self.assertIsNotNone(control, sim.lines)
            opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))  # loopback: no proxy
            with opener.open(control, timeout=20) as reply:
                rules = json.load(reply)
            self.assertEqual(rules, {
                "delays": {"*": 5, "tarn.Folder.createFolder": 200},
                "faults": {"PowerOnVM_Task": {"fault": "tarn.fault.InvalidState", "count": 3},
                           "tarn.ManagedEntity.rename": {"fault": "tarn.fault.NotFound", "count": 1}},
                "drop": {"count": 2, "when": "after"},
                "slow": {"bytesPerSecond": 4096, "latencyMs": 20}})
        finally:
            sim.stop()

    @unittest.skipUnless(shutil.which("openssl"), "no openssl program")
    def test_tls_prints_the_certificates_thumbprint(self):
        with tempfile.TemporaryDirectory() as tmp:
            cert, key = os.path.join(tmp, "cert.pem"), os.path.join(tmp, "key.pem")
            subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=localhost",
                            "-days", "1", "-keyout", key, "-out", cert], check=True, capture_output=True, timeout=60)
            fingerprint = subprocess.run(["openssl", "x509", "-in", cert, "-noout", "-fingerprint", "-sha256"],
                                         check=True, capture_output=True, text=True).stdout
            sim = Running("--vms", "1", "--tls", cert, key)
            try:
                self.assertTrue(sim.url().startswith("https://127.0.0.1:"), sim.lines)
                printed = [line for line in sim.lines if line.startswith("thumbprint (SHA-256): ")]
                self.assertEqual(len(printed), 1, sim.lines)
                self.assertEqual(printed[0].split()[-1], fingerprint.strip().split("=")[-1])
            finally:
                code, _ = sim.stop()
            self.assertEqual(code, 0)

    def test_serves_the_wsdl(self):
        sim = Running("--vms", "1")
        try:
            if not any(line.startswith("WSDL: ") for line in sim.lines):
                self.skipTest("no WSDL directory in this build")
            with urllib.request.urlopen(sim.url() + "/tarn.wsdl", timeout=20) as answer:
                self.assertEqual(answer.status, 200)
                self.assertIn(b"definitions", answer.read())
        finally:
            sim.stop()


if __name__ == "__main__":
    unittest.main()
