#!/usr/bin/env python3
"""One headless Chromium for a whole test run or demo, and a relay that lets Windows programs
under Wine reach its DevTools protocol.

Chromium speaks the protocol over a pipe (--remote-debugging-pipe: it reads fd 3, writes fd 4,
each message JSON ended by a NUL byte). Programs under Wine cannot hold those descriptors, so the
relay listens on 127.0.0.1 and carries the same NUL-ended messages over TCP. Each connection gets
its own message ids and the events of the sessions it attached; the browser contexts it created
are disposed of when it goes away, so a program that crashes leaves nothing behind in Chromium.
Chromium's profile is a temporary folder named after the relay's process id; a relay that starts
removes the folders of relays that no longer run (a relay ended by SIGKILL cannot).

    chromium_relay.py PORT_FILE     starts Chromium, writes "127.0.0.1:PORT" to PORT_FILE once
                                    it listens, and runs until SIGTERM or Chromium ends
"""
import json
import os
import selectors
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import traceback

# REELHAWK_RELAY_TRACE=file writes the start of every message to that file, for debugging.
TRACE = open(os.environ["REELHAWK_RELAY_TRACE"], "a") if os.environ.get("REELHAWK_RELAY_TRACE") else None


def start_chromium(profile):
    # Chromium's ends of the two pipes become its fds 3 and 4.
    to_chromium_r, to_chromium_w = os.pipe()
    from_chromium_r, from_chromium_w = os.pipe()

    def child_fds():
        # Copies first: a pipe may itself be fd 3 or 4, and dup2 onto itself would keep it
        # closed on exec.
        reading, writing = os.dup(to_chromium_r), os.dup(from_chromium_w)
        os.dup2(reading, 3)
        os.dup2(writing, 4)

    binary = os.environ.get("REELHAWK_CHROMIUM_BINARY", "chromium")
    args = [
        binary, "--headless=new", "--no-sandbox", "--remote-debugging-pipe",
        "--user-data-dir=" + profile,
        # Nothing goes to the network: no updates, no sync, no metrics, no DNS prefetching.
        "--disable-background-networking", "--disable-component-update", "--disable-sync",
        "--disable-default-apps", "--disable-extensions", "--no-first-run",
        "--no-default-browser-check", "--metrics-recording-only", "--disable-breakpad",
        "--disable-features=Translate,OptimizationHints,MediaRouter,DialMediaRouteProvider",
        "--disable-gpu", "--mute-audio",
        # Every connection goes to a proxy nobody answers at, except those to 127.0.0.1: the
        # stand-in answers each request itself or hands it on to a live server it was given on
        # this machine (REELHAWK_STANDIN_UPSTREAM), so this is the backstop, not the gate.
        "--proxy-server=127.0.0.1:9", "--proxy-bypass-list=<-loopback>;127.0.0.1",
        "about:blank",
    ]
    # The pipes are not inherited (Python's default); only the two copies made in the child are.
    process = subprocess.Popen(args, preexec_fn=child_fds, close_fds=False,
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
    os.close(to_chromium_r)
    os.close(from_chromium_w)
    return process, to_chromium_w, from_chromium_r


PROFILE_PREFIX = "reelhawk-chromium-"


def relay_running(pid):
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as cmdline:
            return b"chromium_relay" in cmdline.read()
    except FileNotFoundError:
        return False
    except OSError:
        return True  # there, but not ours to read: leave its folder alone


def remove_dead_profiles(folder):
    """Removes the profile folders of relays that no longer run (ended by SIGKILL, say, so they
    could not clean up), each named after its relay's process id. Folders of running relays, and
    folders not named so, are left alone."""
    try:
        names = os.listdir(folder)
    except OSError:
        return
    for name in names:
        pid = name[len(PROFILE_PREFIX):].split("-", 1)[0]
        if not name.startswith(PROFILE_PREFIX) or not pid.isdigit() or relay_running(int(pid)):
            continue
        path = os.path.join(folder, name)
        if os.path.isdir(path) and not os.path.islink(path):
            shutil.rmtree(path, ignore_errors=True)


class Client:
    def __init__(self, sock):
        self.sock = sock
        self.inbox = b""
        self.outbox = b""
        self.contexts = set()
        self.sessions = set()


class Relay:
    def __init__(self, to_chromium, from_chromium):
        self.to_chromium = to_chromium
        self.from_chromium = from_chromium
        self.inbox = b""
        self.next_id = 1
        self.pending = {}  # relay id -> (client, client's id, method)
        self.session_owner = {}
        self.selector = selectors.DefaultSelector()

    def send_to_chromium(self, message):
        data = json.dumps(message).encode() + b"\0"
        if TRACE:
            TRACE.write(">> %s\n" % data[:300].decode(errors="replace"))
            TRACE.flush()
        while data:
            written = os.write(self.to_chromium, data)
            data = data[written:]

    def forward(self, client, raw):
        try:
            message = json.loads(raw)
        except ValueError:
            return
        relay_id = self.next_id
        self.next_id += 1
        self.pending[relay_id] = (client, message.get("id"), message.get("method"))
        message["id"] = relay_id
        self.send_to_chromium(message)

    def deliver(self, client, message):
        if client is None or client.sock is None:
            return
        client.outbox += json.dumps(message).encode() + b"\0"
        self.flush(client)

    def flush(self, client):
        # A client can go in the middle of a select() batch (a reply to it failed to send), while
        # the batch still holds its write event.
        if client.sock is None:
            return
        try:
            while client.outbox:
                sent = client.sock.send(client.outbox)
                client.outbox = client.outbox[sent:]
        except BlockingIOError:
            pass
        except OSError:
            self.drop(client)
            return
        events = selectors.EVENT_READ | (selectors.EVENT_WRITE if client.outbox else 0)
        self.selector.modify(client.sock, events, client)

    def from_browser(self, raw):
        if TRACE:
            TRACE.write("<< %s\n" % raw[:300].decode(errors="replace"))
            TRACE.flush()
        try:
            message = json.loads(raw)
        except ValueError:
            return
        if "id" in message:
            client, client_id, method = self.pending.pop(message["id"], (None, None, None))
            result = message.get("result") or {}
            if client is not None:
                if method == "Target.createBrowserContext" and "browserContextId" in result:
                    client.contexts.add(result["browserContextId"])
                if method == "Target.attachToTarget" and "sessionId" in result:
                    client.sessions.add(result["sessionId"])
                    self.session_owner[result["sessionId"]] = client
                message["id"] = client_id
                self.deliver(client, message)
            return
        session = message.get("sessionId")
        if session in self.session_owner:
            self.deliver(self.session_owner[session], message)
        if message.get("method") == "Target.detachedFromTarget":
            self.session_owner.pop(message.get("params", {}).get("sessionId"), None)

    def drop(self, client):
        if client.sock is None:
            return
        self.selector.unregister(client.sock)
        client.sock.close()
        client.sock = None
        for session in client.sessions:
            self.session_owner.pop(session, None)
        # What the program left open in Chromium goes with it.
        for context in client.contexts:
            relay_id = self.next_id
            self.next_id += 1
            self.pending[relay_id] = (None, None, None)
            self.send_to_chromium({"id": relay_id, "method": "Target.disposeBrowserContext",
                                   "params": {"browserContextId": context}})

    def run(self, server):
        server.setblocking(False)
        self.selector.register(server, selectors.EVENT_READ, "accept")
        self.selector.register(self.from_chromium, selectors.EVENT_READ, "chromium")
        while True:
            for key, events in self.selector.select():
                if key.data == "accept":
                    try:
                        sock, _ = server.accept()
                        sock.setblocking(False)
                        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
                    except OSError:
                        continue  # the connection was reset before it was taken
                    self.selector.register(sock, selectors.EVENT_READ, Client(sock))
                elif key.data == "chromium":
                    data = os.read(self.from_chromium, 1 << 20)
                    if not data:
                        return  # Chromium has ended
                    self.inbox += data
                    *messages, self.inbox = self.inbox.split(b"\0")
                    for raw in messages:
                        self.from_browser(raw)
                else:
                    client = key.data
                    if events & selectors.EVENT_WRITE:
                        self.flush(client)
                    if client.sock is None or not events & selectors.EVENT_READ:
                        continue
                    try:
                        data = client.sock.recv(1 << 20)
                    except OSError:
                        data = b""
                    if not data:
                        self.drop(client)
                        continue
                    client.inbox += data
                    *messages, client.inbox = client.inbox.split(b"\0")
                    for raw in messages:
                        self.forward(client, raw)


def main():
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    port_file = sys.argv[1]
    remove_dead_profiles(tempfile.gettempdir())
    profile = tempfile.mkdtemp(prefix="%s%d-" % (PROFILE_PREFIX, os.getpid()))
    process, to_chromium, from_chromium = start_chromium(profile)

    def stop(*_, status=0):
        process.terminate()
        try:
            process.wait(5)
        except subprocess.TimeoutExpired:
            process.kill()
        # Chromium's helpers may still write into the profile for a moment after its main
        # process has gone (longer on a busy machine): removed until it stays gone.
        for _ in range(25):
            subprocess.run(["rm", "-rf", profile])
            time.sleep(0.2)
            if not os.path.exists(profile):
                break
        sys.exit(status)

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind(("127.0.0.1", 0))
    server.listen(64)
    with open(port_file + ".tmp", "w") as out:
        out.write("127.0.0.1:%d\n" % server.getsockname()[1])
    os.replace(port_file + ".tmp", port_file)
    try:
        Relay(to_chromium, from_chromium).run(server)
    except Exception:
        traceback.print_exc()  # stop() ends the process, which would hide why
        stop(status=1)
    stop()


if __name__ == "__main__":
    sys.exit(main())
