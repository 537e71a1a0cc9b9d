#!/usr/bin/env python3
"""Benchmark of the resolver service, in one run on the same sample pages served on 127.0.0.1.

Prints, each as p50/p99 in milliseconds: yt-dlp's command line per request, yt-dlp kept alive in
one Python process (the in-process floor), the service cold (its first answer after a start), the
service warm without its cache, the same while its one worker is replaced every 50 requests, and
the service answering from its cache; then throughput of
cached answers with 1, 8 and 64 concurrent clients (wrk), and 64 concurrent clients asking for
different pages with the cache off, every answer's title checked against the page asked.

    resolver_bench.py SERVICE_BINARY [--quick] [--compare OTHER_BINARY] [--connections]

--compare: the warm and cached rows once more with another build of the service (today's before a
change, say), in the same run on the same pages, side by side. --connections: then 1,000 slow and
idle connections held for 30 s against one instance while /healthz and a kept page are asked for
(resolver/tests/connections_test.py), with the latencies, threads and memory it prints.
"""
import http.client
import http.server
import json
import os
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse

PYTHON = "/usr/bin/python3"
PAGES = 64
QUICK = "--quick" in sys.argv
COMPARE = sys.argv[sys.argv.index("--compare") + 1] if "--compare" in sys.argv else None
HERE = os.path.dirname(os.path.abspath(__file__))


def percentiles(samples):
    samples = sorted(samples)
    def at(p):
        return samples[min(len(samples) - 1, int(round(p / 100.0 * (len(samples) - 1))))]
    return at(50) * 1000.0, at(99) * 1000.0


class Site:
    """Sample pages: page-N.html holds one HTML5 video, titled "Sample N"."""

    def __init__(self):
        self.root = tempfile.mkdtemp(prefix="reelhawk-bench-site.")
        os.makedirs(os.path.join(self.root, "files"))
        for n in range(PAGES):
            # The files are there too: the service asks a file's host for its first byte.
            with open(os.path.join(self.root, "files", "clip-%d.mp4" % n), "wb") as f:
                f.write(b"clip %d" % n)
            with open(os.path.join(self.root, "page-%d.html" % n), "w") as f:
                f.write('<!DOCTYPE html><html><head><title>Sample %d</title></head><body>'
                        '<video controls><source src="/files/clip-%d.mp4" type="video/mp4"></video>'
                        '</body></html>' % (n, n))
        root = self.root

        class Handler(http.server.SimpleHTTPRequestHandler):
            disable_nagle_algorithm = True
            wbufsize = -1  # each answer in one write

            def __init__(self, *a, **k):
                super().__init__(*a, directory=root, **k)

            def log_message(self, *a):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.port = self.server.server_address[1]
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def url(self, n):
        return "http://127.0.0.1:%d/page-%d.html" % (self.port, n)

    def close(self):
        self.server.shutdown()
        shutil.rmtree(self.root, ignore_errors=True)


class Service:
    def __init__(self, binary, *args):
        self.log = tempfile.TemporaryFile()
        self.process = subprocess.Popen(
            [binary, "--listen", "127.0.0.1:0", "--allow-address", "127.0.0.1/32", "--rate", "0"] +
            list(args), stdout=subprocess.DEVNULL, stderr=self.log)
        deadline = time.time() + 10
        while time.time() < deadline:
            self.log.seek(0)
            m = re.search(rb"listening on http://127\.0\.0\.1:(\d+)/", self.log.read())
            if m:
                self.port = int(m.group(1))
                return
            time.sleep(0.02)
        self.stop()
        raise RuntimeError("the service did not start")

    def wait_ready(self, workers):
        deadline = time.time() + 10
        while time.time() < deadline:
            status, body = self.get("/healthz")
            counts = json.loads(body)["workers"] if status == 200 else {}
            if counts.get("ready", counts.get("alive", 0)) >= workers:  # (older builds: alive)
                return
            time.sleep(0.05)

    def get(self, path, connection=None):
        c = connection or http.client.HTTPConnection("127.0.0.1", self.port, timeout=60)
        c.request("GET", path)
        r = c.getresponse()
        body = r.read()
        if connection is None:
            c.close()
        return r.status, body

    def resolve(self, address, connection=None):
        return self.get("/api/resolve?url=" + urllib.parse.quote(address, safe=""), connection)

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        try:
            self.process.wait(10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()


def row(name, samples):
    p50, p99 = percentiles(samples)
    print("  %-44s %6d %10.2f %10.2f" % (name, len(samples), p50, p99))
    return p50


FLOOR = r'''
import json, sys, time, yt_dlp
class Quiet:
    def debug(self, m): pass
    info = warning = error = debug
ydl = yt_dlp.YoutubeDL({"logger": Quiet(), "quiet": True, "simulate": True, "skip_download": True,
                        "cachedir": False})
urls = sys.argv[2:]
ydl.extract_info(urls[0], download=False)   # warm
times = []
for i in range(int(sys.argv[1])):
    t = time.perf_counter()
    ydl.sanitize_info(ydl.extract_info(urls[i % len(urls)], download=False))
    times.append(time.perf_counter() - t)
print(json.dumps(times))
'''


def wrk(port, path, clients, seconds):
    out = subprocess.run(["wrk", "-t", "1" if clients < 8 else "2", "-c", str(clients), "-d", "%ds" % seconds,
                          "--latency", "http://127.0.0.1:%d%s" % (port, path)],
                         capture_output=True, text=True, timeout=seconds + 30).stdout
    rate = float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1))
    p99 = re.search(r"99%\s+([\d.]+)(us|ms|s)", out)
    scale = {"us": 0.001, "ms": 1.0, "s": 1000.0}[p99.group(2)]
    errors = re.search(r"Non-2xx or 3xx responses: (\d+)", out)
    socket_errors = re.search(r"Socket errors: (.*)", out)
    return rate, float(p99.group(1)) * scale, int(errors.group(1)) if errors else 0, socket_errors


def main():
    binary = sys.argv[1]
    site = Site()
    n = 5 if QUICK else 10
    try:
        print("Resolver benchmark: one run, sample pages on 127.0.0.1, %d cores" % os.cpu_count())
        print("  %-44s %6s %10s %10s" % ("latency", "n", "p50 ms", "p99 ms"))
        cli = []
        for i in range(n):
            t = time.perf_counter()
            subprocess.run([PYTHON, "-m", "yt_dlp", "--ignore-config", "--dump-single-json", site.url(i)],
                           capture_output=True, check=True)
            cli.append(time.perf_counter() - t)
        row("yt-dlp command line per request", cli)

        floor_times = json.loads(subprocess.run(
            [PYTHON, "-c", FLOOR, str(100)] + [site.url(i) for i in range(PAGES)],
            capture_output=True, check=True, text=True).stdout)
        floor = row("yt-dlp kept alive in-process (floor)", floor_times)

        cold = []
        for i in range(n):
            service = Service(binary, "--workers", "1", "--cache-ttl", "0")
            try:
                t = time.perf_counter()
                status, _ = service.resolve(site.url(i))
                cold.append(time.perf_counter() - t)
                assert status == 200
            finally:
                service.stop()
        row("service cold (first request after start)", cold)

        # Without the tunnel's question to each file's host: the front's and the pool's own cost.
        plain = Service(binary, "--workers", "2", "--cache-ttl", "0", "--tunnel", "never")
        try:
            plain_p50 = row("service warm, not cached, --tunnel never", warm_samples(plain, site))
        finally:
            plain.stop()
        service = Service(binary, "--workers", "2", "--cache-ttl", "0")
        warm_p50 = row("service warm, not cached", warm_samples(service, site))
        if COMPARE:
            other = Service(COMPARE, "--workers", "2", "--cache-ttl", "0")
            try:
                row("  the other build, warm, not cached", warm_samples(other, site))
            finally:
                other.stop()

        # One worker, replaced every 50 requests: each successor warms up while the old one
        # serves, so no request should pay for a start.
        replacing_service = Service(binary, "--workers", "1", "--cache-ttl", "0",
                                    "--worker-requests", "50")
        replacing_service.wait_ready(1)
        replacing = []
        connection = http.client.HTTPConnection("127.0.0.1", replacing_service.port, timeout=60)
        for i in range(200 if QUICK else 600):
            t = time.perf_counter()
            status, _ = replacing_service.resolve(site.url(i % PAGES), connection)
            replacing.append(time.perf_counter() - t)
            assert status == 200
        _, replaced_p99 = percentiles(replacing)
        replaced = json.loads(replacing_service.get("/healthz")[1])["workers"]["replaced"]
        row("service warm, worker replaced every 50", replacing)
        replacing_service.stop()

        # 64 clients at once, each its own page, cache off: every answer must be its own.
        lost, wrong, answered = 0, 0, 0
        lock = threading.Lock()

        def client(k):
            nonlocal lost, wrong, answered
            conn = http.client.HTTPConnection("127.0.0.1", service.port, timeout=60)
            for r in range(5):
                page = (k * 5 + r) % PAGES
                try:
                    status, body = service.resolve(site.url(page), conn)
                    title = json.loads(body).get("title") if status == 200 else None
                except Exception:
                    status, title = 0, None
                with lock:
                    if status != 200:
                        lost += 1
                    elif not str(title).startswith("Sample %d" % page):
                        wrong += 1
                    else:
                        answered += 1

        t = time.perf_counter()
        threads = [threading.Thread(target=client, args=(k,)) for k in range(64)]
        for th in threads:
            th.start()
        for th in threads:
            th.join()
        took = time.perf_counter() - t
        service.stop()

        service = Service(binary, "--workers", "2")
        service.wait_ready(2)
        service.resolve(site.url(0))
        cached = []
        connection = http.client.HTTPConnection("127.0.0.1", service.port, timeout=60)
        for i in range(2000):
            t = time.perf_counter()
            status, _ = service.resolve(site.url(0), connection)
            cached.append(time.perf_counter() - t)
        row("service cached", cached)
        path = "/api/resolve?url=" + urllib.parse.quote(site.url(0), safe="")
        print()
        print("  %-44s %10s %10s %8s" % ("throughput, cached answers (wrk)", "req/s", "p99 ms", "non-2xx"))
        best = 0.0
        rates = {}
        for clients in (1, 8, 64):
            rate, p99, errors, socket_errors = wrk(service.port, path, clients, 3 if QUICK else 5)
            best = max(best, rate)
            rates[clients] = rate
            print("  %-44s %10.0f %10.2f %8d%s" % ("%d concurrent clients" % clients, rate, p99, errors,
                                                  " (socket errors: %s)" % socket_errors.group(1) if socket_errors else ""))
        service.stop()
        other_rate = None
        if COMPARE:
            # Both builds in turn, three times each, 64 clients: the medians are compared (one run
            # against another on these shared machines moves by a tenth).
            builds = {"this build": [], "the other build": []}
            for _ in range(3):
                for name, binary_of in (("this build", binary), ("the other build", COMPARE)):
                    each = Service(binary_of, "--workers", "2")
                    try:
                        each.wait_ready(2)
                        each.resolve(site.url(0))
                        builds[name].append(wrk(each.port, path, 64, 3 if QUICK else 5)[0])
                    finally:
                        each.stop()
            rates[64] = statistics.median(builds["this build"])
            other_rate = statistics.median(builds["the other build"])
            for name, runs in builds.items():
                print("  %-44s %10.0f   (runs: %s)" % ("64 clients, %s, median" % name,
                                                       statistics.median(runs),
                                                       ", ".join("%.0f" % r for r in runs)))
        print("  %-44s %10.1f req/s; %d answered, %d lost, %d wrong" % (
            "64 clients, cache off, titles checked", answered / took, answered, lost, wrong))
        print()
        ratio = warm_p50 / floor if floor else float("inf")
        print("goal: warm uncached p50 within 1.2x of the in-process floor: %.2f ms / %.2f ms = %.2fx: %s" % (
            warm_p50, floor, ratio, "met" if ratio <= 1.2 else "NOT met"))
        print("      (--tunnel never, without asking each file's host: %.2f ms = %.2fx)" % (
            plain_p50, plain_p50 / floor if floor else float("inf")))
        if other_rate is not None:
            print("goal: cached answers with 64 clients not below the other build's: %.0f/s against %.0f/s: %s" % (
                rates[64], other_rate, "met" if rates[64] >= other_rate else "NOT met"))
        ratio = replaced_p99 / warm_p50 if warm_p50 else float("inf")
        print("goal: with the worker replaced every 50 requests (%d times), p99 within 2x of the warm "
              "p50: %.2f ms / %.2f ms = %.2fx: %s" % (replaced, replaced_p99, warm_p50, ratio,
                                                     "met" if ratio <= 2 else "NOT met"))
        print("goal: cached answers at least 5,000 a second: best %.0f/s: %s" % (best, "met" if best >= 5000 else "NOT met"))
        print("goal: under 64 clients no answer lost or wrong: %d lost, %d wrong: %s" % (
            lost, wrong, "met" if lost == 0 and wrong == 0 else "NOT met"))
    finally:
        site.close()
    if "--connections" in sys.argv:
        print()
        print("slow and many connections (30 s; the service's worker a stand-in):")
        subprocess.run([PYTHON, os.path.join(HERE, "..", "tests", "connections_test.py"),
                        "--binary", binary, "--fake-worker",
                        os.path.join(HERE, "..", "tests", "fake_worker.py"), "--seconds", "30"])


def warm_samples(service, site):
    """200 requests for different pages, the cache off, one after another on one connection."""
    service.wait_ready(2)
    for i in range(4):
        service.resolve(site.url(i))
    warm = []
    connection = http.client.HTTPConnection("127.0.0.1", service.port, timeout=60)
    for i in range(200):
        t = time.perf_counter()
        status, _ = service.resolve(site.url(i % PAGES), connection)
        warm.append(time.perf_counter() - t)
        assert status == 200
    return warm


if __name__ == "__main__":
    main()
