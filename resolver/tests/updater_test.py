#!/usr/bin/python3
"""reelhawk-resolver-update offline, against a running service: wheels the test builds from Debian's
yt-dlp under other version numbers (one whose generic extractor raises) in a local folder, the
operator's canaries on a site served on 127.0.0.1.

A first run makes an environment; a newer version that resolves the canaries is taken and the
service, reloaded by SIGHUP, names it in /healthz while a request in flight is answered; one that
fails a canary is not taken and the run says why; --rollback goes back, and the version rolled back
from is not taken again. Every process it starts is ended by its PID.

Usage: updater_test.py UPDATER WORKER SERVICE_BINARY
"""
import base64
import hashlib
import http.server
import os
import re
import subprocess
import sys
import tempfile
import stat
import threading
import time
import zipfile

from harness import Service

DEBIAN_YTDLP = "/usr/lib/python3/dist-packages/yt_dlp"


def fail(message):
    print("FAIL: " + message)
    sys.exit(1)


def wheel(folder, version, broken=False):
    """yt-dlp from Debian's module as a wheel of this version; broken: its generic extractor
    raises, so that no page resolves."""
    dist = "yt_dlp-%s.dist-info" % version
    record = []
    with zipfile.ZipFile(os.path.join(folder, "yt_dlp-%s-py3-none-any.whl" % version), "w",
                         zipfile.ZIP_DEFLATED, compresslevel=1) as z:
        def add(name, data):
            z.writestr(name, data)
            digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=")
            record.append("%s,sha256=%s,%d" % (name, digest.decode(), len(data)))

        for top, dirs, files in os.walk(DEBIAN_YTDLP):
            dirs[:] = [d for d in dirs if d != "__pycache__"]
            for name in (f for f in files if f.endswith(".py")):
                path = os.path.join(top, name)
                inside = os.path.relpath(path, os.path.dirname(DEBIAN_YTDLP))
                with open(path, "rb") as f:
                    data = f.read()
                if inside == "yt_dlp/version.py":
                    data = re.sub(rb"__version__ = '[^']*'", b"__version__ = '%s'" % version.encode(),
                                  data)
                if broken and inside == "yt_dlp/extractor/generic.py":
                    data = data.replace(b"    def _real_extract(self, url):\n",
                                        b"    def _real_extract(self, url):\n"
                                        b"        raise ExtractorError('broken on purpose')\n", 1)
                add(inside, data)
        add(dist + "/METADATA", b"Metadata-Version: 2.1\nName: yt-dlp\nVersion: %s\n" % version.encode())
        add(dist + "/WHEEL", b"Wheel-Version: 1.0\nGenerator: updater_test\nRoot-Is-Purelib: true\n"
                             b"Tag: py3-none-any\n")
        z.writestr(dist + "/RECORD", "\n".join(record + [dist + "/RECORD,,"]) + "\n")


class Site:
    """The operator's canary (one HTML5 video) and a page held until the test lets it go."""

    def __init__(self):
        self.release = threading.Event()
        self.held = threading.Event()
        site = self

        class Page(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                if self.path == "/missing.html":
                    self.send_error(404)
                    return
                if self.path == "/held.html":
                    site.held.set()
                    site.release.wait(60)
                body = (b'<html><head><title>Clip</title></head><body><video src="/clip.mp4">'
                        b'</video></body></html>')
                self.send_response(200)
                self.send_header("Content-Type", "text/html")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Page)
        threading.Thread(target=self.server.serve_forever, daemon=True).start()
        self.base = "http://127.0.0.1:%d/" % self.server.server_address[1]


def wait_for(what, condition, seconds=30):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return
        time.sleep(0.1)
    fail("waited %d s for %s" % (seconds, what))


def main():
    updater, worker, binary = sys.argv[1:4]
    work = tempfile.TemporaryDirectory(prefix="reelhawk-updater-")
    wheels, state = os.path.join(work.name, "wheels"), os.path.join(work.name, "state")
    os.mkdir(wheels)
    site = Site()
    canaries = os.path.join(work.name, "canaries")
    with open(canaries, "w") as f:
        f.write("# the operator's pages\n%sclip.html\n%smissing.html  # gone\n" % (site.base, site.base))
    current = os.path.join(state, "yt-dlp", "current")

    def update(*more):
        result = subprocess.run(
            ["/usr/bin/python3", updater, "--state", state, "--find-links", wheels, "--worker",
             worker, "--canaries", canaries] + list(more),
            capture_output=True, text=True, timeout=300)
        print("$ reelhawk-resolver-update %s: status %d\n%s%s" %
              (" ".join(more), result.returncode, result.stdout, result.stderr))
        return result

    # The first run makes an environment of the newest version, readable by any user.
    wheel(wheels, "2099.1.1")
    if update("--no-reload").returncode != 0 or os.readlink(current) != "2099.1.1":
        fail("the first run did not make and switch to 2099.1.1")
    for top, dirs, files in os.walk(os.path.join(state, "yt-dlp")):
        for path in [top] + [os.path.join(top, f) for f in files if not f.startswith(".")]:
            mode = os.lstat(path).st_mode
            wanted = (0o755,) if stat.S_ISDIR(mode) else (0o644, 0o755)
            if not stat.S_ISLNK(mode) and stat.S_IMODE(mode) not in wanted:
                fail("%s is mode %o: the service, another user, must read it" % (path, mode))

    service = Service(binary, "--workers", "1", "--rate", "0", "--cache-ttl", "0",
                      "--allow-address", "127.0.0.1/32",
                      "--python", os.path.join(current, "bin", "python3"))
    try:
        def says(version):
            return lambda: service.health().get("yt_dlp") == version
        wait_for("the service on 2099.1.1", says("2099.1.1"))

        # A newer version that resolves the canaries is taken; the service reloads while a request
        # is in flight, and answers it.
        wheel(wheels, "2099.2.2")
        in_flight = {}
        asking = threading.Thread(
            target=lambda: in_flight.update(answer=service.resolve(site.base + "held.html")))
        asking.start()
        site.held.wait(30)
        result = update("--reload", "pid:%d" % service.process.pid)
        site.release.set()
        asking.join(60)
        if result.returncode != 0 or os.readlink(current) != "2099.2.2":
            fail("2099.2.2 was not taken")
        if "fails with the current yt-dlp too; not held against 2099.2.2" not in result.stdout:
            fail("a canary the current version cannot resolve either was not said so")
        if in_flight.get("answer", (0,))[0] != 200:
            fail("the request in flight during the reload got %s" % in_flight.get("answer"))
        wait_for("/healthz to name 2099.2.2", says("2099.2.2"))

        # One whose extractor raises is not taken, and the run says why.
        wheel(wheels, "2099.3.3", broken=True)
        result = update("--reload", "pid:%d" % service.process.pid)
        if (result.returncode != 1 or os.readlink(current) != "2099.2.2" or
                "2099.3.3 does not resolve" not in result.stderr or
                "not taken, yt-dlp 2099.2.2 stays" not in result.stderr):
            fail("the broken 2099.3.3 was taken, or the run did not say why")
        if os.path.exists(os.path.join(state, "yt-dlp", "2099.3.3")):
            fail("the environment of the version not taken was left behind")

        # Back to the previous one, which the service names after its reload; the version rolled
        # back from is not taken again.
        os.unlink(os.path.join(wheels, "yt_dlp-2099.3.3-py3-none-any.whl"))
        result = update("--rollback", "--reload", "pid:%d" % service.process.pid)
        if result.returncode != 0 or os.readlink(current) != "2099.1.1":
            fail("--rollback did not go back to 2099.1.1")
        wait_for("/healthz to name 2099.1.1 again", says("2099.1.1"))
        result = update("--no-reload")
        if os.readlink(current) != "2099.1.1" or "not taken again" not in result.stdout:
            fail("the version rolled back from was taken again")
        status, body = service.resolve(site.base + "clip.html")
        if status != 200 or [f["url"] for f in body["files"]] != [site.base + "clip.mp4"]:
            fail("the service on the rolled-back version answered %s %s" % (status, body))
    finally:
        site.release.set()
        service.stop()
        site.server.shutdown()
        work.cleanup()
    print("ok: taken when the canaries pass, not taken when one fails, rolled back; the service "
          "named each after its reload")


if __name__ == "__main__":
    main()
