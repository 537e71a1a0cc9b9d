#!/usr/bin/python3
"""Slow and many connections against one instance on 127.0.0.1: 1,000 held open at once, half of
them sending a request's head a byte a second (and connecting again when dropped), half idle
after one request (and connecting again when closed). Meanwhile /healthz and a kept result page
are asked for on fresh connections, over and over.

Asserts: none of those answers fails; every slow connection is dropped at the request time limit
(not waited for); the service runs as many threads as before the load; afterwards every socket it
held is closed. Prints the answers' latencies and the service's memory (figures, not asserted).

    connections_test.py --binary RESOLVER --fake-worker FAKE [--seconds N] [--connections N]

Every process it starts is ended by its PID. Exit status 0: passed, 1: failed.
"""
import argparse
import os
import re
import resource
import selectors
import socket
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import Service, check, finish  # noqa: E402

REQUEST_TIMEOUT = 3  # the service's --request-timeout in this test


def threads_of(pid):
    return len(os.listdir("/proc/%d/task" % pid))


def sockets_of(pid):
    count = 0
    for fd in os.listdir("/proc/%d/fd" % pid):
        try:
            count += os.readlink("/proc/%d/fd/%s" % (pid, fd)).startswith("socket:")
        except OSError:
            pass
    return count


def resident_mib(pid):
    with open("/proc/%d/status" % pid) as f:
        return int(re.search(r"VmRSS:\s+(\d+)", f.read()).group(1)) / 1024.0


def timed_get(service, path):
    """Status and seconds taken, on a fresh connection."""
    started = time.monotonic()
    status = service.request(path, timeout=5)[0]
    return status, time.monotonic() - started


HEAD = b"GET /healthz HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: slow\r\n\r\n"


class Load:
    """The connections, driven from one thread with a selector."""

    def __init__(self, port, count):
        self.port = port
        self.count = count
        self.selector = selectors.DefaultSelector()
        self.slow_dropped_after = []  # seconds from a slow connection's first byte to its drop
        self.reconnects = 0
        self.stopping = False

    def connect(self, kind):
        s = socket.socket()
        s.setblocking(False)
        s.connect_ex(("127.0.0.1", self.port))
        state = {"kind": kind, "sent": 0, "first": None, "answered": False}
        self.selector.register(s, selectors.EVENT_READ, state)
        if kind == "idle":
            s.setblocking(True)
            s.settimeout(5)
            try:
                s.sendall(HEAD)
            except OSError:
                pass
            s.setblocking(False)
        return s

    def run(self, seconds):
        for i in range(self.count):
            self.connect("slow" if i % 2 == 0 else "idle")
        until = time.monotonic() + seconds
        next_byte = time.monotonic()
        while time.monotonic() < until:
            for key, _ in self.selector.select(timeout=0.2):
                s, state = key.fileobj, key.data
                try:
                    data = s.recv(65536)
                except (BlockingIOError, InterruptedError):
                    continue
                except OSError:
                    data = b""
                if data:
                    state["answered"] = True  # an idle connection's one answer
                    continue
                # Closed by the service: a slow one must have been dropped at the time limit.
                if state["kind"] == "slow" and state["first"] is not None:
                    self.slow_dropped_after.append(time.monotonic() - state["first"])
                self.selector.unregister(s)
                s.close()
                self.reconnects += 1
                self.connect(state["kind"])
            if time.monotonic() >= next_byte:
                next_byte += 1.0
                for key in list(self.selector.get_map().values()):
                    state = key.data
                    if state["kind"] == "slow" and state["sent"] < len(HEAD) - 1:
                        try:
                            key.fileobj.send(HEAD[state["sent"]:state["sent"] + 1])
                            state["sent"] += 1
                            if state["first"] is None:
                                state["first"] = time.monotonic()
                        except OSError:
                            pass
        for key in list(self.selector.get_map().values()):
            self.selector.unregister(key.fileobj)
            key.fileobj.close()


def percentile(samples, p):
    samples = sorted(samples)
    return samples[min(len(samples) - 1, int(round(p / 100.0 * (len(samples) - 1))))] * 1000.0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", required=True)
    parser.add_argument("--fake-worker", required=True)
    parser.add_argument("--seconds", type=float, default=10.0)
    parser.add_argument("--connections", type=int, default=1000)
    args = parser.parse_args()
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, max(soft, 4 * args.connections)), hard))

    service = Service(args.binary, "--python", args.fake_worker, "--workers", "1", "--rate", "0",
                      "--allow-address", "127.0.0.1/32", "--request-timeout", str(REQUEST_TIMEOUT))
    try:
        page = "/resolve?url=http%3A%2F%2F127.0.0.1%3A9%2Fvideo%2Fkept"
        check(timed_get(service, page)[0] == 200, "the page to keep was not resolved")
        time.sleep(0.5)
        threads_before = threads_of(service.process.pid)
        sockets_before = sockets_of(service.process.pid)

        load = Load(service.port, args.connections)
        runner = threading.Thread(target=load.run, args=(args.seconds,))
        runner.start()
        time.sleep(min(2.0, args.seconds / 4))  # every connection open
        latencies = {"/healthz": [], page: []}
        failed = []
        threads_seen = set()
        peak_mib = 0.0
        while runner.is_alive():
            for path in latencies:
                try:
                    status, took = timed_get(service, path)
                    latencies[path].append(took)
                    if status != 200:
                        failed.append("%s answered %d" % (path, status))
                except OSError as error:
                    failed.append("%s: %s" % (path, error))
            threads_seen.add(threads_of(service.process.pid))
            peak_mib = max(peak_mib, resident_mib(service.process.pid))
            time.sleep(0.02)
        runner.join()

        check(not failed, "answers failed under the load: %s" % failed[:5])
        check(min(len(v) for v in latencies.values()) > 20, "too few answers under the load")
        check(threads_seen == {threads_before},
              "threads went from %d to %s under the load" % (threads_before, sorted(threads_seen)))
        dropped = load.slow_dropped_after
        check(len(dropped) >= args.connections // 4,
              "only %d slow connections were dropped" % len(dropped))
        check(all(REQUEST_TIMEOUT - 1.1 <= d <= REQUEST_TIMEOUT + 1.5 for d in dropped),
              "slow connections were not dropped at the %d s limit: %s" % (
                  REQUEST_TIMEOUT, sorted(dropped)[:3] + sorted(dropped)[-3:]))
        # Every socket closed once the clients are gone (the server's side of each closes too).
        for _ in range(100):
            if sockets_of(service.process.pid) <= sockets_before:
                break
            time.sleep(0.1)
        check(sockets_of(service.process.pid) <= sockets_before,
              "%d sockets left open after the load (%d before)" % (
                  sockets_of(service.process.pid), sockets_before))
        for path, samples in latencies.items():
            print("%-60s n=%4d p50 %6.2f ms  p99 %6.2f ms" % (
                path[:60], len(samples), percentile(samples, 50), percentile(samples, 99)))
        print("%d connections for %.0f s: %d reconnects, %d slow ones dropped; threads %d; "
              "peak memory %.1f MiB" % (args.connections, args.seconds, load.reconnects,
                                        len(dropped), threads_before, peak_mib), flush=True)
    finally:
        service.stop()
    return finish()


if __name__ == "__main__":
    sys.exit(main())
