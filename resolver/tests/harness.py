"""What the resolver's Python tests share: the service, the sample video site and Redis, each
started on 127.0.0.1 and ended by its PID (also when the test fails or is killed), and checks
that collect failures rather than stop at the first.
"""
import ctypes
import http.client
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.parse

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
SAMPLE_SITE = os.path.join(ROOT, "scripts", "sample_site.py")
PYTHON = "/usr/bin/python3"

failures = []
started_at = time.monotonic()


def say(text):
    print("[%5.1f s] %s" % (time.monotonic() - started_at, text), flush=True)


def check(condition, text):
    if not condition:
        failures.append(text)
        say("FAILED: " + text)
    return condition


def finish():
    """The exit status: 0 when every check held."""
    say("%d checks failed" % len(failures) if failures else "passed")
    return 1 if failures else 0


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def die_with_parent():
    """For preexec_fn: the child ends when this script does, even when it is killed first."""
    ctypes.CDLL("libc.so.6").prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


def spawn(args, out=subprocess.DEVNULL, err=subprocess.DEVNULL):
    return subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                            preexec_fn=die_with_parent)


def end(process, wait=10.0):
    if process.poll() is None:
        process.send_signal(signal.SIGTERM)
        try:
            process.wait(wait)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


class Service:
    """reelhawk-resolver on a free port of 127.0.0.1, with the arguments given."""

    def __init__(self, binary, *args):
        self.dir = tempfile.mkdtemp(prefix="reelhawk-service.")
        self.access = os.path.join(self.dir, "access")
        self.errors = os.path.join(self.dir, "errors")
        self.process = spawn([binary, "--listen", "127.0.0.1:0"] + list(args),
                             open(self.access, "w"), open(self.errors, "w"))
        self.port = None
        for _ in range(200):
            m = re.search(r"listening on http://127\.0\.0\.1:(\d+)/", open(self.errors).read())
            if m:
                self.port = int(m.group(1))
                break
            if self.process.poll() is not None:
                break
            time.sleep(0.05)
        if self.port is None:
            raise RuntimeError("the service did not start: " + open(self.errors).read())
        self.base = "http://127.0.0.1:%d" % self.port

    def request(self, path, method="GET", headers=None, timeout=60):
        """(status, headers as a dict of lower-case names, body) on a fresh connection."""
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=timeout)
        try:
            connection.request(method, path, headers=headers or {})
            response = connection.getresponse()
            body = response.read()
            return response.status, {k.lower(): v for k, v in response.getheaders()}, body
        finally:
            connection.close()

    def resolve(self, address):
        status, _, body = self.request("/api/resolve?url=" + urllib.parse.quote(address, safe=""))
        return status, json.loads(body)

    def files(self, address):
        """The files listed for a page (JSON)."""
        return self.resolve(address)[1].get("files", [])

    def health(self):
        return json.loads(self.request("/healthz")[2])

    def stop(self):
        end(self.process)
        shutil.rmtree(self.dir, ignore_errors=True)


class SampleSite:
    """scripts/sample_site.py built into a folder of its own and served."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="reelhawk-sample.")
        self.folder = os.path.join(self.dir, "site")
        subprocess.run([sys.executable, SAMPLE_SITE, "build", self.folder], check=True,
                       stdout=subprocess.DEVNULL)
        port_file = os.path.join(self.dir, "port")
        self.log = os.path.join(self.dir, "log")
        self.process = spawn([sys.executable, SAMPLE_SITE, "serve", self.folder, port_file],
                             err=open(self.log, "w"))
        for _ in range(100):
            if os.path.exists(port_file) and open(port_file).read():
                break
            time.sleep(0.05)
        self.base = "http://127.0.0.1:%s/" % open(port_file).read().strip()

    def url(self, page):
        return self.base + page

    def describe(self, page):
        return json.loads(subprocess.run([sys.executable, SAMPLE_SITE, "describe", self.folder, page],
                                         check=True, capture_output=True, text=True).stdout)

    def file(self, path):
        with open(os.path.join(self.folder, path.lstrip("/")), "rb") as f:
            return f.read()

    def requests(self, fragment):
        """How many requests the site has logged whose line holds the text."""
        return sum(1 for line in open(self.log) if fragment in line and " cookie " not in line)

    def stop(self):
        end(self.process)
        shutil.rmtree(self.dir, ignore_errors=True)


class Redis:
    """A redis-server of the test's own on a free port, writing nothing to disk."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="reelhawk-redis.")
        self.port = free_port()
        self.process = spawn(["/usr/bin/redis-server", "--port", str(self.port), "--bind",
                              "127.0.0.1", "--save", "", "--appendonly", "no", "--dir", self.dir])
        for _ in range(100):
            if self.command("PING") == "PONG":
                break
            time.sleep(0.05)
        self.address = "redis://127.0.0.1:%d" % self.port

    def command(self, *words):
        result = subprocess.run(["redis-cli", "-p", str(self.port)] + list(words),
                                capture_output=True)
        return result.stdout.decode("latin-1").strip()

    def values(self):
        """Every key and its value (strings only)."""
        keys = [k for k in self.command("--scan").splitlines() if k]
        return {k: self.command("GET", k) for k in keys}

    def stop(self):
        end(self.process)
        shutil.rmtree(self.dir, ignore_errors=True)


def curl(*args, timeout=60):
    """curl's exit status, and what it wrote to stdout."""
    result = subprocess.run(["curl", "-s", "--max-time", str(timeout)] + list(args),
                            capture_output=True, timeout=timeout + 10)
    return result.returncode, result.stdout
