#!/usr/bin/env python3
"""Runs tarn-example-server on a free loopback port and tarn-example-client against it.

usage: run_example.py [--tls] SERVER CLIENT
With --tls the server serves HTTPS with a certificate made for the run, and the client
accepts exactly that certificate by its thumbprint (as openssl prints it).
Fails when either program fails, the server does not come up within 20 s, or anything
takes longer than its timeout; the server is always stopped.
"""
import os
import subprocess
import sys
import tempfile
import threading


def certificate(directory):
    """A self-signed certificate for 127.0.0.1: the server's arguments and the client's."""
    cert, key = os.path.join(directory, "cert.pem"), os.path.join(directory, "key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                    "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
                    "-keyout", key, "-out", cert], check=True, capture_output=True, timeout=60)
    printed = subprocess.run(["openssl", "x509", "-noout", "-fingerprint", "-sha256", "-in", cert],
                             check=True, capture_output=True, text=True, timeout=30).stdout
    return ["--certificate", cert, "--private-key", key], ["--thumbprint", printed.strip()]


def main():
    args = sys.argv[1:]
    tls = "--tls" in args
    if tls:
        args.remove("--tls")
    with tempfile.TemporaryDirectory(prefix="tarn-example-") as directory:
        server_args, client_args = certificate(directory) if tls else ([], [])
        return run(args[0], args[1], server_args, client_args, tls)


def run(server_exe, client_exe, server_args, client_args, tls):
    server = subprocess.Popen([server_exe, "--address", "127.0.0.1", "--port", "0", "--seconds", "120",
                               *server_args], stdout=subprocess.PIPE, text=True)
    try:
        line = []
        reader = threading.Thread(target=lambda: line.append(server.stdout.readline()), daemon=True)
        reader.start()
        reader.join(20)
        scheme = "https://" if tls else "http://"
        if not line or not line[0].startswith("listening on " + scheme):
            print("server did not come up:", line)
            return 1
        url = line[0].split()[-1]
        print("server:", line[0].strip())
        client = subprocess.run([client_exe, url, *client_args], capture_output=True, text=True, timeout=60)
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
