#!/usr/bin/env python3
"""Benchmark of the fleet, in one run: throughput and p99 of cached answers through nginx (the
sample site in resolver/deploy/) to three instances sharing Redis, directly to one of those
instances, to one instance on its own memory (no Redis), nginx serving a static file of the
answer's size, and nginx proxying to that file (what proxying alone costs), side by side; wrk with 64 connections, the same time each. Loopback only; every
process it starts it ends. Prints figures, asserts nothing.

    fleet_bench.py SERVICE_BINARY NGINX_SITE [--seconds N]
"""
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

# The resolver benchmark's sample site and wrk, without leaving compiled files in the sources.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from resolver_bench import Site, wrk  # noqa: E402

CLIENTS = 64


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(predicate, seconds, what):
    deadline = time.time() + seconds
    while time.time() < deadline:
        if predicate():
            return
        time.sleep(0.05)
    raise RuntimeError(what + " did not start")


def answers(port, path):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=1) as s:
            s.sendall(("GET %s HTTP/1.0\r\n\r\n" % path).encode())
            return s.recv(64).startswith(b"HTTP/1.1 200")
    except OSError:
        return False


class Fleet:
    def __init__(self, binary, sample, work):
        self.binary = binary
        self.sample = sample
        self.work = work
        self.processes = []

    def start(self, args, **kw):
        process = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL, **kw)
        self.processes.append(process)
        return process

    def redis(self):
        port = free_port()
        self.start(["redis-server", "--port", str(port), "--bind", "127.0.0.1", "--save", "",
                    "--appendonly", "no", "--dir", self.work])

        def pong():
            try:
                with socket.create_connection(("127.0.0.1", port), timeout=1) as s:
                    s.sendall(b"PING\r\n")
                    return s.recv(16).startswith(b"+PONG")
            except OSError:
                return False
        wait_for(pong, 10, "Redis")
        return port

    def instance(self, *args):
        port = free_port()
        self.start([self.binary, "--listen", "127.0.0.1:%d" % port, "--workers", "1",
                    "--allow-address", "127.0.0.1/32", "--cache-ttl", "3600",
                    "--rate", "1000000000/60"] + list(args))
        wait_for(lambda: answers(port, "/healthz"), 15, "an instance")
        return port

    def nginx(self, instances, static_root):
        with open(self.sample) as f:
            site = f.read()
        for default, port in zip((8765, 8766, 8767), instances):
            site = site.replace("127.0.0.1:%d" % default, "127.0.0.1:%d" % port)
        proxy_port, static_port, floor_port = free_port(), free_port(), free_port()
        site = re.sub(r"^(\s*)listen 80;$", r"\1listen 127.0.0.1:%d;" % proxy_port, site,
                      flags=re.M)
        site = re.sub(r"^\s*listen \[::\]:80;\n", "", site, flags=re.M)
        temp = lambda name: os.path.join(self.work, name)
        with open(temp("site.conf"), "w") as f:
            f.write(site)
        with open(temp("nginx.conf"), "w") as f:
            f.write("\n".join([
                "user root;" if os.geteuid() == 0 else "",
                "daemon off;", "worker_processes auto;", "pid %s;" % temp("nginx.pid"),
                "error_log %s warn;" % temp("nginx-error.log"),
                "events { worker_connections 4096; }",
                "http {", "access_log off;", "default_type application/json;",
                "client_body_temp_path %s;" % temp("client_body"),
                "proxy_temp_path %s;" % temp("proxy"),
                "fastcgi_temp_path %s;" % temp("fastcgi"),
                "uwsgi_temp_path %s;" % temp("uwsgi"),
                "scgi_temp_path %s;" % temp("scgi"),
                "include %s;" % temp("site.conf"),
                "server { listen 127.0.0.1:%d; root %s; }" % (static_port, static_root),
                # nginx proxying to its own static file: what proxying itself costs here.
                "upstream static { server 127.0.0.1:%d; keepalive 32; }" % static_port,
                "server { listen 127.0.0.1:%d; location / { proxy_pass http://static; "
                "proxy_http_version 1.1; proxy_set_header Connection \"\"; } }" % floor_port,
                "}", ""]))
        self.start(["nginx", "-p", self.work, "-c", temp("nginx.conf"), "-e",
                    temp("nginx-error.log")])
        wait_for(lambda: answers(proxy_port, "/healthz"), 10, "nginx")
        return proxy_port, static_port, floor_port

    def stop(self):
        for process in reversed(self.processes):
            if process.poll() is None:
                process.send_signal(signal.SIGTERM)
                try:
                    process.wait(10)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()


def main():
    binary, sample = sys.argv[1], sys.argv[2]
    seconds = int(sys.argv[sys.argv.index("--seconds") + 1]) if "--seconds" in sys.argv else 10
    os.environ["PATH"] += ":/usr/sbin"
    work = tempfile.mkdtemp(prefix="reelhawk-fleet-bench.")
    site = Site()
    fleet = Fleet(binary, sample, work)
    try:
        redis = fleet.redis()
        shared = ["--redis", "redis://127.0.0.1:%d" % redis, "--trusted-proxy", "127.0.0.1"]
        instances = [fleet.instance(*shared) for _ in range(3)]
        alone = fleet.instance()
        path = "/api/resolve?url=" + urllib.parse.quote(site.url(0), safe="")
        # One extraction (the real yt-dlp on a sample page), kept in Redis for the three; the
        # instance on its own keeps its own.
        body = b""
        for port in (instances[0], alone):
            with socket.create_connection(("127.0.0.1", port), timeout=60) as s:
                s.sendall(("GET %s HTTP/1.0\r\n\r\n" % path).encode())
                reply = b""
                while chunk := s.recv(65536):
                    reply += chunk
            head, body = reply.split(b"\r\n\r\n", 1)
            if not head.startswith(b"HTTP/1.1 200"):
                raise RuntimeError("the sample page was not resolved: %r" % reply[:300])
        static_root = os.path.join(work, "static")
        os.mkdir(static_root)
        with open(os.path.join(static_root, "answer.json"), "wb") as f:
            f.write(body)
        proxy, static, floor = fleet.nginx(instances, static_root)

        print("Fleet benchmark: one run, cached answers of %d bytes, wrk with %d connections for "
              "%d s each, %d cores" % (len(body), CLIENTS, seconds, os.cpu_count()))
        print("  %-52s %10s %10s %8s" % ("", "req/s", "p99 ms", "non-2xx"))
        figures = {}
        for name, port, target in (
                ("nginx -> three instances sharing Redis", proxy, path),
                ("directly to one of those instances", instances[0], path),
                ("one instance on its own memory (no Redis)", alone, path),
                ("nginx, a static file of the same size", static, "/answer.json"),
                ("nginx -> nginx's static file (proxying alone)", floor, "/answer.json")):
            rate, p99, errors, socket_errors = wrk(port, target, CLIENTS, seconds)
            figures[name] = (rate, p99)
            print("  %-52s %10.0f %10.2f %8d%s" % (
                name, rate, p99, errors,
                " (socket errors: %s)" % socket_errors.group(1) if socket_errors else ""))
        through, static_rate = figures["nginx -> three instances sharing Redis"][0], \
            figures["nginx, a static file of the same size"][0]
        ratio = static_rate / through if through else float("inf")
        print()
        print("goal: through nginx within 2x of the static file's throughput: %.0f/s vs %.0f/s "
              "= %.2fx: %s" % (through, static_rate, ratio, "met" if ratio <= 2 else "NOT met"))
    finally:
        fleet.stop()
        site.close()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
