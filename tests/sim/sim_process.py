"""tarn-sim run by the command-line tests: started on a free loopback port, read until it
names its logins, and stopped by SIGTERM within a bound."""
import os
import re
import signal
import subprocess
import threading

SIM = os.environ.get("TARN_SIM", "tarn-sim")


class Running:
    """tarn-sim started with `args`; the lines it printed before serving in `lines`."""

    def __init__(self, *args, env=None):
        self.process = subprocess.Popen([SIM, "--listen", "127.0.0.1:0", *args], stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, text=True, env=env)
        self.lines = []
        reader = threading.Thread(target=self._read, daemon=True)
        reader.start()
        reader.join(20)

    def _read(self):
        for line in self.process.stdout:
            self.lines.append(line.strip())
            if line.startswith("login:"):
                return

    def url(self):
        return self.lines[0].split()[-1]

    def address(self, prefix):
        """The loopback URL on the line that starts with `prefix`."""
        for line in self.lines:
            if line.startswith(prefix):
                return re.search(r"https?://127\.0\.0\.1:\d+", line).group(0)
        raise AssertionError(f"tarn-sim printed no {prefix!r} line: {self.lines}")

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        try:
            out, err = self.process.communicate(timeout=20)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.communicate()
            raise AssertionError("tarn-sim did not stop on SIGTERM")
        return self.process.returncode, out
