#!/usr/bin/env python3
"""tarn-call's sessions against tarn-example-server over TLS with a pinned thumbprint.

usage: tarn_call_session.py SERVER TARN_CALL

Makes a certificate for 127.0.0.1, serves the example inventory over HTTPS on a free
loopback port, and runs tarn-call against it as a user would: pinned to the thumbprint
exactly as `openssl x509 -fingerprint -sha256` prints it, refused before logging in,
logged in with the password from TARN_PASSWORD into a session file of mode 0600, calls
that share the session, and a logout that ends it on the server. Every process has a
timeout; the server is always stopped.
"""
import os
import stat
import subprocess
import sys
import tempfile
import threading
import unittest

SERVER = TARN_CALL = None


class TarnCallSession(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.TemporaryDirectory(prefix="tarn-call-session-")
        d = cls.dir.name
        cert, key = os.path.join(d, "cert.pem"), os.path.join(d, "key.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                        "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
                        "-keyout", key, "-out", cert], check=True, capture_output=True, timeout=60)
        printed = subprocess.run(["openssl", "x509", "-noout", "-fingerprint", "-sha256", "-in", cert],
                                 check=True, capture_output=True, text=True, timeout=30).stdout
        cls.pin = printed.strip()  # "sha256 Fingerprint=AB:..." (or "SHA256 ..."), as printed
        cls.server = subprocess.Popen([SERVER, "--port", "0", "--seconds", "120", "--certificate", cert,
                                       "--private-key", key], stdout=subprocess.PIPE, text=True)
        line = []
        reader = threading.Thread(target=lambda: line.append(cls.server.stdout.readline()), daemon=True)
        reader.start()
        reader.join(20)
        if not line or not line[0].startswith("listening on https://"):
            cls.tearDownClass()
            raise RuntimeError("the server did not come up: %r" % line)
        cls.url = line[0].split()[-1]

    @classmethod
    def tearDownClass(cls):
        cls.server.terminate()
        try:
            cls.server.communicate(timeout=20)
        except subprocess.TimeoutExpired:
            cls.server.kill()
            cls.server.communicate()
        cls.dir.cleanup()

    def call(self, *words, password="secret"):
        env = dict(os.environ)
        env.pop("TARN_PASSWORD", None)
        if password is not None:
            env["TARN_PASSWORD"] = password
        # No terminal: a missing password must fail, not wait for a prompt.
        return subprocess.run([TARN_CALL, "--pin", self.pin, *words], capture_output=True, text=True, timeout=60,
                              env=env, stdin=subprocess.DEVNULL, start_new_session=True)

    def test_login_call_logout(self):
        session = os.path.join(self.dir.name, "session")
        r = self.call("--session", session, self.url, "Folder:group-d1", "createFolder", "name=Early")
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertTrue(r.stderr.startswith("fault tarn.fault.NotAuthenticated"), r.stderr)
        self.assertFalse(os.path.exists(session), "no session to keep before a login")

        r = self.call("--user", "admin", "--session", session, self.url, "login", password="wrong")
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertIn("tarn.fault.InvalidLogin", r.stderr)
        self.assertFalse(os.path.exists(session))

        r = self.call("--user", "admin", "--session", session, self.url, "login")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(stat.S_IMODE(os.stat(session).st_mode), 0o600)
        with open(session) as f:
            kept = f.read()
        self.assertIn("url " + self.url + "\n", kept)

        # Later invocations share the session without the password.
        r = self.call("--session", session, self.url, "Folder:group-d1", "createFolder", "name=Production",
                      password=None)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn('"type": "Folder"', r.stdout.replace('":"', '": "'))
        r = self.call("--session", session, self.url, "Folder:group-d1", "createFolder", "name=Production",
                      password=None)
        self.assertEqual(r.returncode, 1)
        self.assertTrue(r.stderr.startswith("fault tarn.fault.DuplicateName"), r.stderr)

        with open(os.path.join(self.dir.name, "copy"), "w") as f:
            f.write(kept)
        os.chmod(os.path.join(self.dir.name, "copy"), 0o600)
        r = self.call("--session", session, "logout", password=None)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertFalse(os.path.exists(session))
        # The cookie of the ended session opens nothing any more.
        r = self.call("--session", os.path.join(self.dir.name, "copy"), self.url, "Folder:group-d1",
                      "createFolder", "name=Late", password=None)
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertTrue(r.stderr.startswith("fault tarn.fault.NotAuthenticated"), r.stderr)

    def test_no_password_and_bad_settings_are_usage_errors(self):
        session = os.path.join(self.dir.name, "other")
        r = self.call("--user", "admin", "--session", session, self.url, "login", password=None)
        self.assertEqual(r.returncode, 2, r.stderr)
        self.assertIn("TARN_PASSWORD", r.stderr)
        r = self.call("--password", "secret", self.url, "login")
        self.assertEqual(r.returncode, 2, "a password is never taken from the command line")
        r = subprocess.run([TARN_CALL, "--pin", "AB", "https://127.0.0.1:1/sdk", "Folder:group-d1", "createFolder"],
                           capture_output=True, text=True, timeout=60)
        self.assertEqual(r.returncode, 2, r.stderr)
        self.assertIn("'AB' is not a SHA-256 thumbprint", r.stderr)


if __name__ == "__main__":
    SERVER, TARN_CALL = sys.argv[1], sys.argv[2]
    unittest.main(argv=sys.argv[:1] + sys.argv[3:], verbosity=2)
