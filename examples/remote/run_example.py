#!/usr/bin/env python3
"""Runs tarn-example-server on a free loopback port and tarn-example-client against it.

usage: run_example.py SERVER CLIENT
Fails when either program fails, the server does not come up within 20 s, or anything
takes longer than its timeout; the server is always stopped.
"""
import subprocess
import sys
import threading


def main():
    server_exe, client_exe = sys.argv[1], sys.argv[2]
    server = subprocess.Popen([server_exe, "--address", "127.0.0.1", "--port", "0", "--seconds", "120"],
                              stdout=subprocess.PIPE, text=True)
    try:
        line = []
        reader = threading.Thread(target=lambda: line.append(server.stdout.readline()), daemon=True)
        reader.start()
        reader.join(20)
        if not line or not line[0].startswith("listening on "):
            print("server did not come up:", line)
            return 1
        url = line[0].split()[-1]
        print("server:", line[0].strip())
        client = subprocess.run([client_exe, url], capture_output=True, text=True, timeout=60)
        sys.stdout.write(client.stdout)
        sys.stderr.write(client.stderr)
        if client.returncode != 0:
            print("client failed with", client.returncode)
            return 1
        for expected in ("before login: refused", "logged in as admin", "caught DuplicateName", ": success, created"):
            if expected not in client.stdout:
                print("client output lacks:", expected)
                return 1
    finally:
        server.terminate()
        try:
            rest, _ = server.communicate(timeout=20)
            sys.stdout.write(rest or "")
        except subprocess.TimeoutExpired:
            server.kill()
            server.communicate()
            print("server did not stop on SIGTERM")
            return 1
    if server.returncode != 0:
        print("server exited with", server.returncode)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
