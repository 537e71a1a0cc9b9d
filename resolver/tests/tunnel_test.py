#!/usr/bin/python3
"""The tunnel, with the real yt-dlp against the sample video site on 127.0.0.1: which files get one,
downloads through it as curl and a browser make them (ranges, If-Range, HEAD, a cut host, a host
that refuses once, an HLS stream), its refusals (unknown or altered addresses, internal hosts,
too many streams), and tunnels shared by two instances through Redis without anything readable
there.

    tunnel_test.py --binary RESOLVER

Every process it starts is ended by its PID. Exit status 0: passed, 1: failed.
"""
import argparse
import hashlib
import http.server
import os
import socket
import subprocess
import sys
import threading
import time
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import (ROOT, Redis, SampleSite, Service, check, curl, finish, say)  # noqa: E402

sys.path.insert(0, os.path.join(ROOT, "scripts"))
from sample_site import big_bytes  # noqa: E402

ALLOW = ["--allow-address", "127.0.0.1/32", "--rate", "0", "--workers", "1", "--timeout", "8"]


def tunnel_of(service, page):
    files = service.files(page)
    return files[0]["url"] if files else ""


class Internal:
    """A server on an internal address that counts every connection made to it."""

    def __init__(self, host):
        self.connections = 0
        family = socket.AF_INET6 if ":" in host else socket.AF_INET
        self.socket = socket.socket(family)
        self.socket.bind((host, 0))
        self.socket.listen(16)
        self.port = self.socket.getsockname()[1]
        threading.Thread(target=self.run, daemon=True).start()

    def run(self):
        while True:
            try:
                connection, _ = self.socket.accept()
            except OSError:
                return
            self.connections += 1
            connection.close()


def redirecting_site(targets):
    """Pages /N.html whose video's address redirects to targets[N]."""

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            n = self.path.split("/")[1].split(".")[0]
            if self.path.endswith(".html"):
                body = ("<html><body><video src=\"/%s.mp4\"></video></body></html>" % n).encode()
                self.send_response(200)
                self.send_header("Content-Type", "text/html")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)
            else:
                self.send_response(302)
                self.send_header("Location", targets[int(n)])
                self.send_header("Content-Length", "0")
                self.end_headers()

        def log_message(self, *args):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def check_listing(service, site):
    expected = {"one.html": False, "big.html": False, "hotlink.html": True, "cookie.html": True,
                "bound.html": True, "hls-protected.html": True}
    for page, tunnelled in expected.items():
        files = service.files(site.url(page))
        check(len(files) == 1 and files[0]["tunnel"] == tunnelled,
              "%s: listed as %s, expected tunnel=%s" % (page, files, tunnelled))
    # The result page links the same address the JSON gives, with the name it shows.
    url = tunnel_of(service, site.url("hotlink.html"))
    page = service.request("/resolve?url=" + urllib.request.quote(site.url("hotlink.html")))[2]
    check(('href="%s"' % url).encode() in page, "the result page does not link " + url)
    check(url.startswith(service.base + "/t/") and url.endswith(".mp4"), "tunnel address " + url)


def check_downloads(service, site):
    url = tunnel_of(service, site.url("hotlink.html"))
    whole = site.file("/files/protected/hotlink.mp4")
    status, body = curl("-f", url)
    check(status == 0 and body == whole, "a plain GET did not give the file (curl %d)" % status)
    status, body = curl("-f", "-r", "1000-1999", url)
    check(status == 0 and body == whole[1000:2000], "a range from the middle gave other bytes")
    status, headers, body = service.request(url[len(service.base):], "HEAD")
    check(status == 200 and body == b"" and headers.get("content-length") == str(len(whole)) and
          headers.get("accept-ranges") == "bytes" and headers.get("etag", "").startswith('"'),
          "HEAD answered %d %s" % (status, headers))
    check('filename="A kite over the dunes.mp4"' in headers.get("content-disposition", ""),
          "Content-Disposition: %s" % headers.get("content-disposition"))
    etag = headers.get("etag", "")
    path = url[len(service.base):]
    for if_range, status_wanted, bytes_wanted in ((etag, 206, whole[4000:]),
                                                  ('"not-this-file"', 200, whole)):
        status, headers, body = service.request(path, headers={"Range": "bytes=4000-",
                                                               "If-Range": if_range})
        check(status == status_wanted and body == bytes_wanted,
              "If-Range %s answered %d with %d bytes" % (if_range, status, len(body)))
    # As a browser asks, with Python's own client.
    request = urllib.request.Request(url, headers={"Accept": "*/*", "User-Agent": "Mozilla/5.0"})
    with urllib.request.urlopen(request, timeout=30) as answer:
        check(answer.read() == whole, "a browser's GET did not give the file")
    for page, path in (("cookie.html", "/files/cookie/clip.mp4"), ("bound.html", "/files/bound.mp4")):
        status, body = curl("-f", tunnel_of(service, site.url(page)))
        check(status == 0 and body == site.file(path), "%s through the tunnel: curl %d" % (page, status))


def check_failures(always, site):
    """Through a service that tunnels every file: a cut host, a host that refuses once, HLS."""
    status, _ = curl("-f", tunnel_of(always, site.url("cut.html")))
    check(status == 18, "a host that cut the file midway: curl exit %d, expected 18" % status)
    url = tunnel_of(always, site.url("expiring.html"))
    urllib.request.urlopen(site.url("expiring.html"), timeout=10).read()  # the listed one is stale
    before = always.health()["workers"]["started"], always.request("/healthz")
    status, body = curl("-f", url)
    check(status == 0 and len(body) > 0, "a host that refused the address once: curl %d" % status)
    hls = tunnel_of(always, site.url("hls-protected.html"))
    segments = site.requests("/files/protected/hls/seg")
    ffmpeg = subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-i", hls, "-c", "copy",
                             "-f", "null", "-"], capture_output=True, text=True, timeout=60)
    described = site.describe("hls-protected.html")["files"]
    wanted = sum(1 for f in described if f["role"] == "segment")
    check(ffmpeg.returncode == 0 and site.requests("/files/protected/hls/seg") - segments == wanted,
          "ffmpeg through the tunnel (exit %d, %d of %d segments): %s" % (
              ffmpeg.returncode, site.requests("/files/protected/hls/seg") - segments, wanted,
              ffmpeg.stderr[-300:]))
    # Addresses that are not a tunnel's: unknown, or altered in its name or its key.
    token = url.split("/t/")[1].split("/")[0]
    for name, changed in (("its name", ("A" if token[0] != "A" else "B") + token[1:]),
                          ("its key", token[:-1] + ("A" if token[-1] != "A" else "B")),
                          ("a made-up one", "x" * 64)):
        status, _, body = always.request("/t/%s/file.mp4" % changed)
        check(status == 404 and b"expired" in body, "a tunnel with %s changed answered %d" % (
            name, status))


def check_pieces(binary, always, site):
    """Files a host serves in pieces, through the tunnel as one file: a DASH stream's fragments
    in order, and a file served in ranges of a size (fetched range by range, resumable)."""
    files = always.files(site.url("dash-segments.html"))
    picture = [f["url"] for f in files if f["kind"] == "picture"]
    pieces = b"".join(site.file(f["path"]) for f in site.describe("dash-segments.html")["files"]
                      if f["role"] == "picture")
    status, body = curl("-f", picture[0] if picture else "")
    check(status == 0 and body == pieces, "the DASH picture's fragments through the tunnel: curl "
          "%d, %d bytes of %d" % (status, len(body), len(pieces)))
    fake = Service(binary, "--python", os.path.join(os.path.dirname(__file__), "fake_worker.py"),
                   "--allow-address", "127.0.0.1/32", "--rate", "0", "--tunnel", "always")
    try:
        port = site.base.split(":")[2].rstrip("/")
        size, chunk = 100000, 30000
        url = fake.files("http://127.0.0.1:9/chunked/%s/%d/%d" % (port, size, chunk))[0]["url"]
        before = site.requests("/files/big-%d.mp4" % size)
        status, body = curl("-f", url)
        ranges = site.requests("/files/big-%d.mp4" % size) - before
        check(status == 0 and body == big_bytes(0, size) and ranges == 4,
              "a file in ranges of %d: curl %d, %d bytes, %d requests to its host" % (
                  chunk, status, len(body), ranges))
        status, body = curl("-f", "-r", "25000-69999", url)
        check(status == 0 and body == big_bytes(25000, 45000),
              "a range across pieces: curl %d, %d bytes" % (status, len(body)))
    finally:
        fake.stop()


def check_guard(always):
    internal = [Internal("127.0.0.2"), Internal("::1")]
    targets = ["http://127.0.0.2:%d/x.mp4" % internal[0].port,
               "http://[::ffff:127.0.0.2]:%d/x.mp4" % internal[0].port,
               "http://[::1]:%d/x.mp4" % internal[1].port]
    site = redirecting_site(targets)
    try:
        for n, target in enumerate(targets):
            page = "http://127.0.0.1:%d/%d.html" % (site.server_address[1], n)
            url = tunnel_of(always, page)
            status, _, body = always.request(url[len(always.base):]) if url else (0, {}, b"")
            check(status == 403, "a host redirecting to %s: %d %s" % (target, status, body[:120]))
        check(sum(i.connections for i in internal) == 0, "an internal server was connected to")
    finally:
        site.shutdown()


def check_limits(binary, site):
    service = Service(binary, *ALLOW, "--tunnel", "always", "--tunnel-client-streams", "2")
    try:
        url = tunnel_of(service, site.url("big.html"))
        slow = [subprocess.Popen(["curl", "-s", "-o", "/dev/null", "--limit-rate", "50k", url])
                for _ in range(2)]
        time.sleep(1.0)
        status, headers, _ = service.request(url[len(service.base):], "GET")
        check(status == 429 and headers.get("retry-after") == "5",
              "a third stream of one client answered %d" % status)
        for process in slow:
            process.kill()
            process.wait()
        for _ in range(50):
            if service.health()["tunnels"]["streams"] == 0:
                break
            time.sleep(0.1)
        check(service.health()["tunnels"]["streams"] == 0, "streams left counted after the clients went")
    finally:
        service.stop()


def check_shared(binary, site):
    redis = Redis()
    a = Service(binary, *ALLOW, "--redis", redis.address)
    b = Service(binary, *ALLOW, "--redis", redis.address)
    try:
        url = tunnel_of(a, site.url("cookie.html"))
        path = url[len(a.base):]
        status, _, body = b.request(path)
        check(status == 200 and body == site.file("/files/cookie/clip.mp4"),
              "a tunnel made by one instance was answered %d by the other" % status)
        a.stop()
        status, _, _ = b.request(path, headers={"Range": "bytes=0-99"})
        check(status == 206, "after the instance that made it ended, the tunnel answered %d" % status)
        cookie = [line.split()[-1] for line in open(site.log) if "cookie.html" in line and
                  " cookie " in line]
        secrets = [site.base.encode(), b"127.0.0.1", b"clip.mp4"] + [c.encode() for c in cookie if c != "-"]
        for key, value in redis.values().items():
            raw = value.encode("latin-1")
            for secret in secrets:
                check(secret not in raw and secret.decode() not in key,
                      "Redis's %s holds %r in clear" % (key, secret))
    finally:
        a.stop()
        b.stop()
        redis.stop()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", required=True)
    args = parser.parse_args()
    site = SampleSite()
    auto = Service(args.binary, *ALLOW)
    always = Service(args.binary, *ALLOW, "--tunnel", "always")
    try:
        say("which files get a tunnel")
        check_listing(auto, site)
        say("downloads through it")
        check_downloads(auto, site)
        say("hosts that fail, refuse once, or serve HLS; addresses that are not a tunnel's")
        check_failures(always, site)
        say("files in pieces")
        check_pieces(args.binary, always, site)
        say("hosts that redirect inside")
        check_guard(always)
        say("the per-client limit")
        check_limits(args.binary, site)
        say("two instances sharing Redis")
        check_shared(args.binary, site)
    finally:
        auto.stop()
        always.stop()
        site.stop()
    return finish()


if __name__ == "__main__":
    sys.exit(main())
