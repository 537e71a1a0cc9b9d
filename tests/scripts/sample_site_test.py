#!/usr/bin/env python3
"""The sample video site's guarded files (scripts/sample_site.py), built and served here on
127.0.0.1: what each host refuses, the bytes and Range answers, the cut, and the media ffmpeg made.

    sample_site_test.py SITE_SCRIPT
"""
import http.client
import importlib.util
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

SITE = None  # the module, loaded from the path given


def big_expected(offset, length):
    """A big file's bytes by the formula its documentation gives, not by the site's code."""
    def fmix32(x):
        x ^= x >> 16
        x = x * 0x85EBCA6B & 0xFFFFFFFF
        x ^= x >> 13
        x = x * 0xC2B2AE35 & 0xFFFFFFFF
        return x ^ x >> 16
    return bytes(fmix32(n % 65521) & 0xFF for n in range(offset, offset + length))


class SampleSiteTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="sample-site-test.")
        cls.folder = os.path.join(cls.work, "site")
        script = SITE.__file__
        subprocess.run([sys.executable, script, "build", cls.folder], check=True, timeout=60)
        port_file = os.path.join(cls.work, "port")
        cls.log = open(os.path.join(cls.work, "log"), "w+")
        cls.server = subprocess.Popen([sys.executable, script, "serve", cls.folder, port_file],
                                      stdout=subprocess.DEVNULL, stderr=cls.log)
        try:
            for _ in range(100):
                if os.path.exists(port_file) or cls.server.poll() is not None:
                    break
                time.sleep(0.1)
            with open(port_file) as f:
                cls.port = int(f.read())
        except OSError:
            cls.tearDownClass()
            raise
        cls.site = "http://127.0.0.1:%d/" % cls.port

    @classmethod
    def tearDownClass(cls):
        cls.server.terminate()
        cls.server.wait(10)
        cls.log.close()
        shutil.rmtree(cls.work)

    def get(self, path, method="GET", **headers):
        """(status, headers, body, whether the body was cut short) of one request."""
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=30)
        try:
            connection.request(method, path, headers=headers)
            response = connection.getresponse()
            try:
                return response.status, response.headers, response.read(), False
            except http.client.IncompleteRead as short:
                return response.status, response.headers, short.partial, True
        finally:
            connection.close()

    def file(self, path):
        with open(os.path.join(self.folder, path.lstrip("/")), "rb") as f:
            return f.read()

    def test_big_file_bytes_and_ranges(self):
        size = SITE.BIG_CHUNK + 70001  # two chunks, several periods, a ragged end
        path = "/files/big-%d.mp4" % size
        status, headers, body, _ = self.get(path)
        self.assertEqual((status, len(body)), (200, size))
        self.assertEqual(body, big_expected(0, size))
        self.assertEqual(SITE.big_bytes(size - 9, 9), body[-9:])
        cases = [  # Range, expected status, expected span
            ("bytes=0-0", 206, (0, 1)),
            ("bytes=65500-65600", 206, (65500, 65601)),  # across the period
            ("bytes=%d-" % (SITE.BIG_CHUNK - 7), 206, (SITE.BIG_CHUNK - 7, size)),
            ("bytes=-100", 206, (size - 100, size)),
            ("bytes=%d-%d" % (size - 5, size + 500), 206, (size - 5, size)),
            ("bytes=%d-" % size, 416, None),
            ("bytes=-0", 416, None),
            ("bytes=0-1,5-6", 200, (0, size)),  # several ranges: the whole file
        ]
        for header, expected, span in cases:
            with self.subTest(header):
                status, headers, body, _ = self.get(path, Range=header)
                self.assertEqual(status, expected)
                if span is None:
                    self.assertEqual(headers["Content-Range"], "bytes */%d" % size)
                    continue
                self.assertEqual(body, big_expected(span[0], span[1] - span[0]))
                if status == 206:
                    self.assertEqual(headers["Content-Range"],
                                     "bytes %d-%d/%d" % (span[0], span[1] - 1, size))
        status, headers, body, _ = self.get(path, Range="bytes=5-", **{"If-Range": '"old"'})
        self.assertEqual((status, len(body)), (200, size))
        status, headers, body, _ = self.get(path, "HEAD")
        self.assertEqual((status, headers["Content-Length"], body), (200, str(size), b""))

    def test_each_host_refuses_what_it_should(self):
        self.get("/expiring.html")
        stale = re.search(r"\?t=(\d+)", self.get("/expiring.html")[2].decode()).group(1)
        newest = re.search(r"\?t=(\d+)", self.get("/expiring.html")[2].decode()).group(1)
        cookie = self.get("/cookie.html")[1]["Set-Cookie"].split(";")[0]
        here, elsewhere = {"Referer": self.site + "hotlink.html"}, {"Referer": "http://x.test/"}
        cases = [  # path, headers, expected status
            ("/files/protected/hotlink.mp4", {}, 403),
            ("/files/protected/hotlink.mp4", elsewhere, 403),
            ("/files/protected/hotlink.mp4", here, 200),
            ("/files/dash/../protected/hotlink.mp4", {}, 403),  # other spellings of the path
            ("//files/protected/hotlink.mp4", {}, 403),
            ("/files/%70rotected/hotlink.mp4", {}, 403),
            ("/files/protected/hls/key.bin", {}, 403),
            ("/files/protected/hls/key.bin", here, 200),
            ("/files/cookie/clip.mp4", {}, 403),
            ("/files/cookie/clip.mp4", {"Cookie": "sample_session=0123"}, 403),
            ("/files/cookie/clip.mp4", {"Cookie": "a=b; " + cookie}, 200),
            ("/files/expiring.mp4?t=" + stale, {}, 403),
            ("/files/expiring.mp4?t=" + newest, {}, 200),
            ("/files/bound.mp4?ip=203.0.113.7&expire=1", {}, 200),
            ("/files/lake.mp4", {}, 200),
        ]
        for path, headers, expected in cases:
            with self.subTest(path=path, headers=headers):
                status, _, body, _ = self.get(path, **headers)
                self.assertEqual(status, expected)
                if status == 200:
                    self.assertEqual(body, self.file(SITE.site_path(path)))
        self.get("/cookie-other.html")
        self.log.flush()
        with open(self.log.name) as log:
            lines = log.read().splitlines()
        self.assertIn('127.0.0.1 cookie "GET /cookie-other.html HTTP/1.1" -', lines)
        self.assertIn('127.0.0.1 cookie "GET /files/cookie/clip.mp4 HTTP/1.1" a=b; ' + cookie,
                      lines)

    def test_cut_files_end_at_their_middle(self):
        for path in ("/files/cut.mp4", "/files/protected/dash-cut/sound.m4a"):
            data = self.file(path)
            half = len(data) // 2
            for header, status, body in ((None, 200, data[:half]),
                                         ("bytes=10-", 206, data[10:half]),
                                         ("bytes=%d-" % half, 206, b"")):
                with self.subTest(path=path, range=header):
                    headers = {"Referer": self.site}
                    if header:
                        headers["Range"] = header
                    got = self.get(path, **headers)
                    self.assertEqual((got[0], got[2], got[3]), (status, body, True))

    @unittest.skipUnless(shutil.which("ffmpeg"), "no ffmpeg, so the site has no media")
    def test_media_is_what_the_pages_promise(self):
        referer = "Referer: %sdash.html\r\n" % self.site
        durations = {}
        for role in ("picture", "sound"):
            entry = next(f for f in json.loads(subprocess.run(
                [sys.executable, SITE.__file__, "describe", self.folder, "dash.html"],
                check=True, capture_output=True, timeout=30).stdout)["files"]
                if f["role"] == role)
            probe = json.loads(subprocess.run(
                ["ffprobe", "-v", "error", "-headers", referer, "-show_streams", "-of", "json",
                 self.site + entry["path"][1:]], check=True, capture_output=True,
                timeout=30).stdout)["streams"]
            self.assertEqual([s["codec_name"] for s in probe],
                             ["h264" if role == "picture" else "aac"])
            durations[role] = float(probe[0]["duration"])
        self.assertAlmostEqual(durations["picture"], durations["sound"], delta=1 / 25)
        read = subprocess.run(
            ["ffmpeg", "-nostdin", "-v", "error", "-headers", referer, "-i",
             self.site + "files/protected/hls/master.m3u8", "-c", "copy", "-f", "null", "-"],
            capture_output=True, text=True, timeout=60)
        self.assertEqual((read.returncode, read.stderr), (0, ""))


if __name__ == "__main__":
    found = importlib.util.spec_from_file_location("sample_site", sys.argv.pop(1))
    SITE = importlib.util.module_from_spec(found)
    found.loader.exec_module(SITE)
    unittest.main()
