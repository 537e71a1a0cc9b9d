#!/usr/bin/env python3
"""The Chromium relay (scripts/chromium_relay.py) against a fake Chromium that answers only when
told, so a test can line up what the relay sees in one select() batch.

    chromium_relay_test.py RELAY
"""
import json
import os
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
import unittest

RELAY = None

# The fake Chromium: what arrives on fd 3 is appended to $FAKE_SEEN, one message a line; each line
# of the control FIFO is written to fd 4 as one message, then acknowledged in $FAKE_DONE. It ends
# when the relay closes its end of the pipe, as Chromium does.
FAKE = r'''
import os, sys, threading
seen, done, control = os.environ["FAKE_SEEN"], os.environ["FAKE_DONE"], os.environ["FAKE_CONTROL"]
def read_requests():
    inbox = b""
    while True:
        data = os.read(3, 1 << 16)
        if not data:
            os._exit(0)
        inbox += data
        *messages, inbox = inbox.split(b"\0")
        with open(seen, "ab") as out:
            for message in messages:
                out.write(message + b"\n")
threading.Thread(target=read_requests, daemon=True).start()
with open(control, "rb") as commands:
    for line in commands:
        message = line.rstrip(b"\n")
        while message:
            message = message[os.write(4, message):]
        os.write(4, b"\0")
        with open(done, "a") as out:
            out.write("done\n")
threading.Event().wait()
'''


def wait_for(what, condition, seconds=10.0):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(0.02)
    raise AssertionError("timed out waiting for " + what)


class Relay:
    """A relay with the fake Chromium behind it, in a private temporary folder."""

    def __init__(self, work):
        self.work = work
        self.seen = os.path.join(work, "seen")
        self.done = os.path.join(work, "done")
        self.control_path = os.path.join(work, "control-%d" % time.monotonic_ns())
        os.mkfifo(self.control_path)
        fake = os.path.join(work, "fake-chromium")
        with open(fake, "w") as out:
            out.write("#!%s\n%s" % (sys.executable, FAKE))
        os.chmod(fake, 0o755)
        port_file = os.path.join(work, "port-%d" % time.monotonic_ns())
        env = dict(os.environ, TMPDIR=work, REELHAWK_CHROMIUM_BINARY=fake, FAKE_SEEN=self.seen,
                   FAKE_DONE=self.done, FAKE_CONTROL=self.control_path)
        self.stderr = open(os.path.join(work, "relay-stderr-%d" % time.monotonic_ns()), "w+")
        self.process = subprocess.Popen([sys.executable, RELAY, port_file], env=env,
                                        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                        stderr=self.stderr)
        # Opening the FIFO waits for the fake Chromium; a relay that died first must not hang it.
        self.control = None
        wait_for("the fake Chromium", lambda: self.open_control() or self.process.poll() is not None)
        address = wait_for("the relay's port", lambda: self.read(port_file))
        host, port = address.strip().rsplit(":", 1)
        self.address = (host, int(port))

    def open_control(self):
        try:
            fd = os.open(self.control_path, os.O_WRONLY | os.O_NONBLOCK)
        except OSError:
            return False
        os.set_blocking(fd, True)
        self.control = os.fdopen(fd, "wb", buffering=0)
        return True

    @staticmethod
    def read(path):
        try:
            with open(path, errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return None

    def lines(self, path):
        text = self.read(path)
        return text.splitlines() if text else []

    def answer(self, message):
        """Has the fake Chromium write one message, and waits until the relay took all of it."""
        before = len(self.lines(self.done))
        self.control.write(json.dumps(message).encode() + b"\n")
        wait_for("the relay to read the answer", lambda: len(self.lines(self.done)) > before, 30)

    def idle(self):
        """Whether the relay waits for its next select() batch (and nothing in the kernel is ready
        for it yet: a batch started while its sockets still change can come in any order)."""
        with open("/proc/%d/wchan" % self.process.pid) as wchan:
            if wchan.read() != "do_epoll_wait":
                return False
        time.sleep(0.1)
        with open("/proc/%d/wchan" % self.process.pid) as wchan:
            return wchan.read() == "do_epoll_wait"

    def stopped(self):
        with open("/proc/%d/stat" % self.process.pid) as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] == "T"

    def connect(self):
        return socket.create_connection(self.address, timeout=10)

    def profiles(self):
        return sorted(n for n in os.listdir(self.work) if n.startswith("reelhawk-chromium-"))

    def stop(self, sig=signal.SIGTERM):
        if self.process.poll() is None:
            os.kill(self.process.pid, sig)
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                os.kill(self.process.pid, signal.SIGKILL)
                self.process.wait(10)
        if self.control:
            self.control.close()
            self.control = None
        if not self.stderr.closed:
            self.stderr.seek(0)
            self.said = self.stderr.read()
            self.stderr.close()
        return self.said


def receive(sock):
    data = b""
    while not data.endswith(b"\0"):
        chunk = sock.recv(1 << 16)
        if not chunk:
            raise AssertionError("the relay closed the connection")
        data += chunk
    return [json.loads(m) for m in data.split(b"\0")[:-1]]


class ChromiumRelay(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="relay-test-")
        self.relays = []

    def tearDown(self):
        for relay in self.relays:
            relay.stop()
        subprocess.run(["rm", "-rf", self.work])

    def start(self):
        relay = Relay(self.work)
        self.relays.append(relay)
        self.assertIsNone(relay.process.poll(), "the relay ended at start-up")
        return relay

    def test_a_client_reset_while_answers_wait_for_it_does_not_end_the_relay(self):
        relay = self.start()
        gone = relay.connect()
        gone.sendall(b'{"id":1,"method":"A.first"}\0{"id":2,"method":"A.second"}\0')
        wait_for("both requests at Chromium", lambda: len(relay.lines(relay.seen)) == 2)
        # An answer far larger than the sockets hold leaves a backlog, so the relay waits to write.
        relay.answer({"id": 1, "result": {"data": "x" * (16 << 20)}})
        wait_for("the relay to wait in select()", relay.idle)
        # While the relay is held, the second answer arrives and then the client resets: the relay
        # sees both in one batch, the answer first.
        os.kill(relay.process.pid, signal.SIGSTOP)
        try:
            wait_for("the relay to stop", relay.stopped)
            relay.answer({"id": 2, "result": {}})
            gone.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            gone.close()
            time.sleep(0.2)
        finally:
            os.kill(relay.process.pid, signal.SIGCONT)
        wait_for("the relay to take the batch", lambda: relay.process.poll() is not None or relay.idle())
        if relay.process.poll() is not None:
            self.fail("the relay ended with code %d:\n%s" % (relay.process.returncode, relay.stop()))
        # The relay still serves another client.
        other = relay.connect()
        other.sendall(b'{"id":7,"method":"B.only"}\0')
        wait_for("the other request at Chromium", lambda: len(relay.lines(relay.seen)) == 3)
        forwarded = json.loads(relay.lines(relay.seen)[2])
        self.assertEqual(forwarded["method"], "B.only")
        relay.answer({"id": forwarded["id"], "result": {"ok": True}})
        self.assertEqual(receive(other), [{"id": 7, "result": {"ok": True}}])
        other.close()
        self.assertIsNone(relay.process.poll(), "the relay ended")
        self.assertNotIn("Traceback", relay.stop())

    def test_the_profile_of_a_killed_relay_goes_when_the_next_starts_and_a_running_ones_stays(self):
        killed = self.start()
        [left] = killed.profiles()
        killed.stop(signal.SIGKILL)
        self.assertEqual(killed.profiles(), [left], "a killed relay cannot remove its profile")
        running = self.start()
        [own] = [p for p in running.profiles() if p != left] or [None]
        self.assertNotIn(left, running.profiles(), "the killed relay's profile is still there")
        self.assertIsNotNone(own)
        later = self.start()
        self.assertIn(own, later.profiles(), "a running relay's profile was removed")
        self.assertEqual(len(later.profiles()), 2)
        running.stop()
        later.stop()
        self.assertEqual(later.profiles(), [], "a relay ended by SIGTERM leaves its profile")


if __name__ == "__main__":
    RELAY = sys.argv.pop(1)
    unittest.main(verbosity=2)
