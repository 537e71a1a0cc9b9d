#!/usr/bin/python3
"""Benchmark of the tunnel and the merge, in one run on 127.0.0.1 against the sample video site.
Prints figures; asserts nothing.

  - tunnel throughput: the 1 GiB file fetched by curl through the tunnel against curl fetching it
    directly from the site, and the service's CPU seconds per GiB;
  - under load: 200 downloads of it at once (half of them reading at 300 KiB/s) for 20 s while a
    kept result page is asked for over and over: the page's p50/p99, the service's peak memory,
    the bytes moved, and whether every download has ended once the clients are gone;
  - merge throughput: the DASH page's picture and sound (made larger here: a minute of 720p)
    merged through the service against ffmpeg joining the same two local files, and CPU seconds
    (service and ffmpeg) per GiB; then 20 merges at once: the page's p99 and peak memory.

    tunnel_bench.py SERVICE_BINARY [--quick]
"""
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
from harness import SampleSite, Service  # noqa: E402

QUICK = "--quick" in sys.argv
TICKS = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid, children=False):
    """User and system time of the process (with its ended children's, when asked)."""
    fields = open("/proc/%d/stat" % pid).read().rsplit(")", 1)[1].split()
    used = int(fields[11]) + int(fields[12])
    if children:
        used += int(fields[13]) + int(fields[14])
    return used / TICKS


def resident_mib(pid):
    return int(re.search(r"VmRSS:\s+(\d+)", open("/proc/%d/status" % pid).read()).group(1)) / 1024


def timed_curl(url, *extra):
    started = time.perf_counter()
    result = subprocess.run(["curl", "-s", "-o", "/dev/null", "-w", "%{size_download}", url] +
                            list(extra), capture_output=True, text=True)
    return int(result.stdout or 0), time.perf_counter() - started


class PageProbe:
    """Asks for a kept result page over and over on fresh connections, and keeps the latencies."""

    def __init__(self, service, page):
        self.service, self.page = service, page
        self.latencies, self.failed = [], 0
        self.running = True
        self.thread = threading.Thread(target=self.run)
        self.thread.start()

    def run(self):
        while self.running:
            started = time.perf_counter()
            try:
                status = self.service.request(self.page, timeout=10)[0]
                self.failed += status != 200
            except OSError:
                self.failed += 1
            self.latencies.append(time.perf_counter() - started)
            time.sleep(0.02)

    def stop(self):
        self.running = False
        self.thread.join()
        lat = sorted(self.latencies)
        return (len(lat), lat[len(lat) // 2] * 1000, lat[int(0.99 * (len(lat) - 1))] * 1000,
                self.failed)


def tunnel_figures(binary, site):
    service = Service(binary, "--allow-address", "127.0.0.1/32", "--rate", "0", "--workers", "1",
                      "--tunnel", "always", "--tunnel-client-streams", "1000",
                      "--max-connections", "4096")
    try:
        big = service.files(site.url("big.html"))[0]["url"]
        direct = site.url("files/big-1073741824.mp4")
        print("tunnel throughput (1 GiB, curl, loopback)     MB/s   service CPU s/GiB")
        rounds = 1 if QUICK else 2
        for name, url in (("direct from the site", direct), ("through the tunnel", big)) * rounds:
            before = cpu_seconds(service.process.pid)
            size, took = timed_curl(url)
            used = cpu_seconds(service.process.pid) - before
            print("  %-40s %8.0f %10.2f" % (name, size / took / 1e6, used / (size / 2**30)))

        seconds = 8 if QUICK else 20
        count = 50 if QUICK else 200
        page = "/resolve?url=" + site.url("big.html")
        service.request(page)
        probe = PageProbe(service, page)
        clients = []
        for i in range(count):
            extra = ["--limit-rate", "300k"] if i % 2 else []
            clients.append(subprocess.Popen(["curl", "-s", "-o", "/dev/null", big] + extra))
        peak = 0.0
        until = time.monotonic() + seconds
        while time.monotonic() < until:
            peak = max(peak, resident_mib(service.process.pid))
            time.sleep(0.2)
        streams = service.health()["tunnels"]["streams"]
        for client in clients:
            client.kill()
            client.wait()
        n, p50, p99, failed = probe.stop()
        for _ in range(50):
            if service.health()["tunnels"]["streams"] == 0:
                break
            time.sleep(0.1)
        moved = sum(int(m) for m in re.findall(r" bytes=(\d+)", open(service.access).read()))
        print()
        print("%d downloads of 1 GiB at once for %d s (half at 300 KiB/s), %d streams seen:" % (
            count, seconds, streams))
        print("  kept result page meanwhile: n=%d p50 %.2f ms p99 %.2f ms, %d failed" % (
            n, p50, p99, failed))
        print("  service peak memory %.1f MiB; %.2f GiB sent; streams left after: %d" % (
            peak, moved / 2**30, service.health()["tunnels"]["streams"]))
    finally:
        service.stop()


def merge_figures(binary, site, work):
    # A minute of 720p picture and its sound, in place of the sample's few seconds.
    described = {f["role"]: f["path"] for f in site.describe("dash.html")["files"]}
    picture = os.path.join(site.folder, described["picture"].lstrip("/"))
    sound = os.path.join(site.folder, described["sound"].lstrip("/"))
    length = "20" if QUICK else "60"
    subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                    "testsrc2=size=1280x720:rate=30", "-t", length, "-c:v", "libx264", "-preset",
                    "ultrafast", "-b:v", "4M", "-an", picture], check=True)
    subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                    "sine=frequency=440:sample_rate=48000", "-t", length, "-c:a", "aac", "-vn",
                    sound], check=True)
    service = Service(binary, "--allow-address", "127.0.0.1/32", "--rate", "0", "--workers", "1",
                      "--merges", "40")
    try:
        merged = service.files(site.url("dash.html"))[0]["url"]
        rounds = 2 if QUICK else 5
        print()
        print("merge throughput (%s s of 720p, %d times)           MB/s   CPU s/GiB" % (length, rounds))
        direct = ["ffmpeg", "-nostdin", "-loglevel", "error", "-i", picture, "-i", sound, "-map",
                  "0:v:0", "-map", "1:a:0", "-c", "copy", "-f", "mp4", "-movflags",
                  "frag_keyframe+empty_moov+default_base_moof", "pipe:1"]
        for name in ("ffmpeg joining the local files", "through the service") * 1:
            size, took, used = 0, 0.0, 0.0
            for _ in range(rounds):
                if name.startswith("ffmpeg"):
                    before = cpu_seconds(os.getpid(), children=True)
                    started = time.perf_counter()
                    out = subprocess.run(direct, capture_output=True).stdout
                    took += time.perf_counter() - started
                    used += cpu_seconds(os.getpid(), children=True) - before
                    size += len(out)
                else:
                    before = cpu_seconds(service.process.pid, children=True)
                    got, spent = timed_curl(merged)
                    size += got
                    took += spent
                    used += cpu_seconds(service.process.pid, children=True) - before
            print("  %-48s %8.0f %8.2f" % (name, size / took / 1e6, used / (size / 2**30)))

        page = "/resolve?url=" + site.url("dash.html")
        probe = PageProbe(service, page)
        peak = [0.0]
        done = threading.Event()

        def watch():
            while not done.is_set():
                peak[0] = max(peak[0], resident_mib(service.process.pid))
                time.sleep(0.1)

        watcher = threading.Thread(target=watch)
        watcher.start()
        started = time.perf_counter()
        results = []
        fetchers = [threading.Thread(target=lambda: results.append(timed_curl(merged)))
                    for _ in range(20)]
        for f in fetchers:
            f.start()
        for f in fetchers:
            f.join()
        took = time.perf_counter() - started
        done.set()
        watcher.join()
        n, p50, p99, failed = probe.stop()
        print()
        print("20 merges at once: %.1f s, %d whole of %d bytes each" % (
            took, sum(1 for size, _ in results if size == results[0][0]), results[0][0]))
        print("  kept result page meanwhile: n=%d p50 %.2f ms p99 %.2f ms, %d failed" % (
            n, p50, p99, failed))
        print("  service peak memory %.1f MiB (ffmpeg's own apart)" % peak[0])
    finally:
        service.stop()


def main():
    binary = sys.argv[1]
    site = SampleSite()
    work = tempfile.mkdtemp(prefix="reelhawk-tunnel-bench.")
    try:
        print("Tunnel and merge benchmark: one run on 127.0.0.1, %d cores" % os.cpu_count())
        print()
        tunnel_figures(binary, site)
        merge_figures(binary, site, work)
    finally:
        site.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
