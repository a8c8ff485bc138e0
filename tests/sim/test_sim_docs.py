#!/usr/bin/env python3
"""docs/simulator.md's command lines, run against tarn-sim.

Every `tarn-call` and `curl` line of the page's sh blocks runs in order against a tarn-sim
started with fault injection on free loopback ports (the page's ports 8989 and 8990 are
replaced by them); each must end with the exit status its comment names ("# exit N"), else
0. The programs come from the environment: TARN_SIM, TARN_CALL; the page from DOCS.
"""
import os
import pathlib
import re
import shlex
import shutil
import subprocess
import unittest

from sim_process import Running

CALL = os.environ.get("TARN_CALL", "tarn-call")
DOCS = pathlib.Path(os.environ.get("DOCS", pathlib.Path(__file__).resolve().parents[2] / "docs"))
BLOCK = re.compile(r"^```sh\n(.*?)^```", re.S | re.M)
EXIT = re.compile(r"#\s*exit (\d+)")


def command_lines(page):
    for block in BLOCK.findall(page.read_text()):
        for line in block.splitlines():
            if line.startswith("tarn-call ") or line.startswith("curl "):
                yield line


class PageCommands(unittest.TestCase):
    def test_every_command_line_answers_as_the_page_says(self):
        lines = list(command_lines(DOCS / "simulator.md"))
        self.assertGreaterEqual(len(lines), 10, "the page lost its examples")
        if not shutil.which("curl"):
            self.skipTest("no curl")
        sim = Running("--control", "127.0.0.1:0")
        try:
            server = sim.address("tarn-sim serving")
            control = sim.address("fault injection:")
            env = dict(os.environ, TARN_PASSWORD="tarn-sim")
            for line in lines:
                want = int(EXIT.search(line).group(1)) if EXIT.search(line) else 0
                text = line.replace("http://127.0.0.1:8989", server).replace("http://127.0.0.1:8990", control)
                args = shlex.split(text, comments=True)
                args[0] = CALL if args[0] == "tarn-call" else args[0]
                if args[0] == "curl":
                    args[1:1] = ["-s", "-f", "--max-time", "20"]
                done = subprocess.run(args, capture_output=True, text=True, timeout=60, env=env)
                self.assertEqual(done.returncode, want, f"{line}\n{done.stdout}{done.stderr}")
        finally:
            sim.stop()


if __name__ == "__main__":
    unittest.main()
