#!/usr/bin/env python3
"""tarn-sim's fault-injection options: the rules they set show at the control URL, and a
malformed one stops the program with a message.

The program is named by the environment variable TARN_SIM; every run listens on free
loopback ports and is stopped within its timeout.
"""
import json
import os
import signal
import subprocess
import threading
import unittest
import urllib.request

SIM = os.environ.get("TARN_SIM", "tarn-sim")


def start(*args):
    process = subprocess.Popen([SIM, "--listen", "127.0.0.1:0", *args], stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True)
    lines = []

    def read():
        for line in process.stdout:
            lines.append(line.strip())
            if line.startswith("login:"):
                return

    reader = threading.Thread(target=read, daemon=True)
    reader.start()
    reader.join(30)
    return process, lines


def stop(process):
    process.send_signal(signal.SIGTERM)
    try:
        process.communicate(timeout=20)
    except subprocess.TimeoutExpired:
        process.kill()
        process.communicate()


class InjectionOptions(unittest.TestCase):
    def test_rules_from_options_show_at_the_control_url(self):
        process, lines = start("--control", "127.0.0.1:0", "--delay", "*=5",
                               "--delay", "tarn.Folder.createFolder=200", "--fault", "PowerOnVM_Task=InvalidState:3",
                               "--fault", "tarn.ManagedEntity.rename=NotFound", "--drop", "2", "--drop-when", "after",
                               "--slow", "4096:20")
        try:
            control = next((line.split()[-1] for line in lines if line.startswith("fault injection:")), None)
            self.assertIsNotNone(control, lines)
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
            stop(process)

    def test_a_malformed_rule_stops_the_program(self):
        for args, message in [(["--delay", "*=soon"], "--delay wants a number"),
                              (["--fault", "x=NoSuchFault"], "no fault type 'NoSuchFault'"),
                              (["--drop", "1", "--drop-when", "later"], "before"),
                              (["--control", "nowhere"], "--control wants address:port")]:
            process, _ = start(*args)
            try:
                _, err = process.communicate(timeout=20)
            except subprocess.TimeoutExpired:
                stop(process)
                self.fail(f"{args}: still running")
            self.assertNotEqual(process.returncode, 0, args)
            self.assertIn(message, err, args)


if __name__ == "__main__":
    unittest.main()
