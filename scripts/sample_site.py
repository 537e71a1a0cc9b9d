#!/usr/bin/env python3
"""A small video site for runs without the internet: pages as real sites make them, with files.

    sample_site.py build FOLDER               writes the site into FOLDER
    sample_site.py serve FOLDER PORT_FILE     serves FOLDER on 127.0.0.1 (a free port, written to
                                              PORT_FILE once it listens) until ended
    sample_site.py expect FOLDER PAGE         the files PAGE shows, in page order, one per line
                                              (paths in the site, as /files/NAME; for the guarded
                                              pages below without their query)
    sample_site.py describe FOLDER PAGE       what a test needs to know of PAGE, as JSON (below)

The pages:
    one.html    one video (an MP4 in a <video> element)
    hls.html    one HLS stream (.m3u8 playlist and its segment)
    two.html    two videos, in this order: first.mp4, second.mp4
    none.html   an article without any video
Every file's bytes differ from every other's, so a fetched file is known by its bytes. These
files answer any request as they are, without Range.

The guarded pages, whose files make it hard to download them as real file hosts do. Their files
answer a single Range (bytes=A-B, A-, -N) with 206 and Content-Range, 416 when it cannot be
satisfied, honour If-Range, carry a strong ETag and Last-Modified, and answer HEAD:
    hotlink.html        an og:video meta (no <video>) naming files/protected/hotlink.mp4
    cookie.html         sets a fresh cookie "sample_session" (Path=/) on every load and shows
                        files/cookie/clip.mp4, which needs a cookie this server issued
    cookie-other.html   an ordinary page of the same site (files/plain.mp4), to see in the log
                        that its fetch carried no cookie
    bound.html          files/bound.mp4?ip=203.0.113.7&expire=T (T: 6 hours after the load), as
                        YouTube binds its addresses; the file itself needs nothing
    big.html            files/big-1073741824.mp4, 1 GiB made while it is sent (big_bytes); any
                        big-SIZE.mp4 answers, and big-SIZE.html is a page showing it
    cut.html            files/cut.mp4, whose server announces the whole length and never sends a
                        byte from the middle on: a response closes the connection there
    expiring.html       every load names files/expiring.mp4?t=N with a new N; the file answers
                        only the newest N issued
    hls-protected.html  an og:video meta naming an HLS master playlist with one media playlist,
                        AES-128 encrypted MPEG-TS segments and their key
    dash.html           a <video><source> of a DASH MPD naming one picture-only MP4 (H.264) and
                        one sound-only M4A (AAC), each a single file
    dash-cut.html       the same, but the sound file is cut as cut.mp4 is
    dash-segments.html  a DASH MPD of two streams (H.264, AAC), each an initialization piece and
                        one-second pieces named by a template, as streaming sites serve them
Everything under files/protected/ answers 403 unless the request's Referer is a page of this
site (its host:port, as in the Host header). The last four pages need ffmpeg at build time;
without it the build leaves them out and says so.

The server's log (stderr) has, beside the usual line, one line for every request with the Cookie
header it carried ("-" without one):
    127.0.0.1 cookie "GET /cookie-other.html HTTP/1.1" -

big_bytes: the byte at offset n of every big file is fmix32(n mod 65521) & 0xFF, where fmix32 is
MurmurHash3's 32-bit finalizer (x ^= x >> 16; x *= 0x85ebca6b; x ^= x >> 13; x *= 0xc2b2ae35;
x ^= x >> 16, all modulo 2^32). The period, a prime, keeps any shift by a power of two visible.

describe prints {"page", "title", "markup" ("video" or "og:video"), "dynamic" (the page differs
on every load), "cookie" (the cookie's name the page sets, or null), "files": [...]}; each file
has "path" (in the site, without query), "query" (what the page puts after "?", with the parts
that change per load in angle brackets, or null), "header" ("Referer", "Cookie" or null: what
the host wants), "token" (only the newest page load's query works), "bound" (the address has
ip=), "role" (video, picture, sound, manifest, playlist, key, segment), "shown" (the page itself
names it; the others are named by a manifest or playlist), "size" (bytes), "cut_at"
(the offset the server cuts at, or null), "generated" (bytes from big_bytes, not in FOLDER).
"""

import collections
import email.utils
import functools
import http.server
import json
import os
import posixpath
import re
import secrets
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse

# page -> (title, the markup of its body, the files it shows in page order)
PAGES = {
    "one.html": (
        "A day at the lake",
        '<h1>A day at the lake</h1>\n'
        '<video controls width="640" height="360">'
        '<source src="files/lake.mp4" type="video/mp4"></video>\n'
        '<p>Filmed on a calm morning.</p>',
        ["lake.mp4"],
    ),
    "hls.html": (
        "Live from the harbour",
        '<h1>Live from the harbour</h1>\n'
        '<video controls><source src="files/harbour.m3u8" type="application/x-mpegURL"></video>',
        ["harbour.m3u8"],
    ),
    "two.html": (
        "Two clips",
        '<h1>Two clips</h1>\n'
        '<video controls src="files/first.mp4"></video>\n<p>and then</p>\n'
        '<video controls src="files/second.mp4"></video>',
        ["first.mp4", "second.mp4"],
    ),
    "none.html": (
        "Notes without pictures",
        '<h1>Notes without pictures</h1>\n<p>This page has text and a <a href="one.html">link'
        '</a>, but no video.</p>',
        [],
    ),
}

BOUND_IP = "203.0.113.7"
COOKIE = "sample_session"
BIG_SIZE = 1 << 30
BIG_PERIOD = 65521
BIG_CHUNK = 256 * 1024
BIG_LAST_MODIFIED = "Mon, 01 Jan 2024 00:00:00 GMT"
MEDIA_SECONDS = 3
HLS_SECONDS = 4
# Fixed, so that a build gives the same key every time (a test may decrypt a segment itself).
HLS_KEY = bytes.fromhex("7265656c6861776b2073616d706c6521")
HLS_IV = "000102030405060708090a0b0c0d0e0f"


def og_video(address, kind):
    return ('<meta property="og:type" content="video.other">\n'
            '<meta property="og:video" content="%s">\n'
            '<meta property="og:video:type" content="%s">\n'
            '<meta property="og:video:width" content="640">\n'
            '<meta property="og:video:height" content="360">\n' % (address, kind))


# The guarded pages: page -> (title, head markup, body markup, markup kind, the files it shows
# as (address in the page, role)). {expire}, {token} and {size} are filled in on every load.
GUARDED = {
    "hotlink.html": (
        "A kite over the dunes", og_video("files/protected/hotlink.mp4", "video/mp4"),
        '<h1>A kite over the dunes</h1>\n<div id="player"></div>\n<p>Please watch it here.</p>',
        "og:video", [("protected/hotlink.mp4", "video")]),
    "cookie.html": (
        "Members only", "",
        '<h1>Members only</h1>\n<video controls><source src="files/cookie/clip.mp4" '
        'type="video/mp4"></video>', "video", [("cookie/clip.mp4", "video")]),
    "cookie-other.html": (
        "Another page", "",
        '<h1>Another page</h1>\n<video controls src="files/plain.mp4"></video>', "video",
        [("plain.mp4", "video")]),
    "bound.html": (
        "Bound to one address", "",
        '<h1>Bound to one address</h1>\n<video controls><source src="files/bound.mp4?ip=%s'
        '&amp;expire={expire}" type="video/mp4"></video>' % BOUND_IP, "video",
        [("bound.mp4?ip=%s&expire=<expire>" % BOUND_IP, "video")]),
    "big.html": (
        "A very long film", "",
        '<h1>A very long film</h1>\n<video controls><source src="files/big-{size}.mp4" '
        'type="video/mp4"></video>', "video", [("big-{size}.mp4", "video")]),
    "cut.html": (
        "Cut short", "",
        '<h1>Cut short</h1>\n<video controls src="files/cut.mp4"></video>', "video",
        [("cut.mp4", "video")]),
    "expiring.html": (
        "Gone soon", "",
        '<h1>Gone soon</h1>\n<video controls><source src="files/expiring.mp4?t={token}" '
        'type="video/mp4"></video>', "video", [("expiring.mp4?t=<token>", "video")]),
    "hls-protected.html": (
        "The harbour, members' stream",
        og_video("files/protected/hls/master.m3u8", "application/x-mpegURL"),
        "<h1>The harbour, members' stream</h1>\n<div id=\"player\"></div>", "og:video",
        [("protected/hls/master.m3u8", "playlist")]),
    "dash.html": (
        "Picture and sound apart", "",
        '<h1>Picture and sound apart</h1>\n<video controls><source src="files/dash/manifest.mpd" '
        'type="application/dash+xml"></video>', "video", [("dash/manifest.mpd", "manifest")]),
    "dash-cut.html": (
        "Picture and half the sound", "",
        '<h1>Picture and half the sound</h1>\n<video controls><source '
        'src="files/dash-cut/manifest.mpd" type="application/dash+xml"></video>', "video",
        [("dash-cut/manifest.mpd", "manifest")]),
    "dash-segments.html": (
        "Picture and sound in pieces", "",
        '<h1>Picture and sound in pieces</h1>\n<video controls><source '
        'src="files/segments/manifest.mpd" type="application/dash+xml"></video>', "video",
        [("segments/manifest.mpd", "manifest")]),
}
DYNAMIC = {"cookie.html", "bound.html", "big.html", "expiring.html"}
MEDIA_PAGES = ("hls-protected.html", "dash.html", "dash-cut.html", "dash-segments.html")
# The files whose server ends the connection halfway.
CUT = {"/files/cut.mp4", "/files/protected/dash-cut/sound.m4a"}
# Each DASH manifest's (picture, sound); BaseURLs are absolute paths, so that no "../" reaches
# the addresses yt-dlp lists.
DASH = {
    "dash": ("protected/dash/picture.mp4", "protected/dash/sound.m4a"),
    "dash-cut": ("protected/dash/picture.mp4", "protected/dash-cut/sound.m4a"),
}
# The files written as file_bytes(their name), by path in files/.
PLAIN_FILES = ("protected/hotlink.mp4", "cookie/clip.mp4", "plain.mp4", "bound.mp4", "cut.mp4",
               "expiring.mp4")
BIG_PAGE = re.compile(r"/big-(0|[1-9][0-9]{0,12})\.html")
BIG_FILE = re.compile(r"/files/big-(0|[1-9][0-9]{0,12})\.mp4")
TYPES = {".mp4": "video/mp4", ".m4a": "audio/mp4", ".ts": "video/mp2t",
         ".m3u8": "application/vnd.apple.mpegurl", ".mpd": "application/dash+xml"}


def guarded_name(page):
    """The GUARDED key of PAGE ("big-N.html" is big.html with another size), or None."""
    return "big.html" if BIG_PAGE.fullmatch("/" + page) else page if page in GUARDED else None


def big_size(page):
    match = BIG_PAGE.fullmatch("/" + page)
    return int(match.group(1)) if match else BIG_SIZE


def page_html(title, body, head=""):
    return ('<!DOCTYPE html>\n<html><head><meta charset="utf-8"><title>%s</title>%s'
            '</head>\n<body>\n%s\n</body></html>\n' % (title, head and "\n" + head, body))


def guarded_page(page, expire=0, token=0):
    """The HTML of the guarded PAGE, with this load's expire time and token."""
    title, head, body, _, _ = GUARDED[guarded_name(page)]
    values = {"expire": expire, "token": token, "size": big_size(page)}
    return page_html(title, body.format(**values), head.format(**values))


def file_bytes(name):
    """A file's bytes: its name, then a pattern of its own, 8 KiB in all."""
    data = bytearray(("sample video file %s\n" % name).encode())
    seed = sum(name.encode())
    while len(data) < 8192:
        seed = (seed * 1103515245 + 12345) & 0x7FFFFFFF
        data.append(seed >> 16 & 0xFF)
    return bytes(data)


def _fmix32(x):
    x ^= x >> 16
    x = x * 0x85EBCA6B & 0xFFFFFFFF
    x ^= x >> 13
    x = x * 0xC2B2AE35 & 0xFFFFFFFF
    return x ^ x >> 16


@functools.lru_cache(maxsize=None)
def _big_pattern():
    """One period of the big files' bytes and a chunk more, so that any chunk is one slice."""
    period = bytes(_fmix32(n) & 0xFF for n in range(BIG_PERIOD))
    repeats = -(-(BIG_PERIOD + BIG_CHUNK) // BIG_PERIOD)
    return memoryview((period * repeats)[:BIG_PERIOD + BIG_CHUNK])


def _big_chunks(start, end):
    pattern = _big_pattern()
    while start < end:
        size = min(BIG_CHUNK, end - start)
        offset = start % BIG_PERIOD
        yield pattern[offset:offset + size]
        start += size


def big_bytes(offset, length):
    """The LENGTH bytes of a big file from OFFSET (see the module's comment); raises ValueError
    on a negative OFFSET or LENGTH."""
    if offset < 0 or length < 0:
        raise ValueError("negative offset or length")
    return b"".join(_big_chunks(offset, offset + length))


def _write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w" if isinstance(data, str) else "wb") as out:
        out.write(data)


def _avc_codec(path):
    """The RFC 6381 codec of an H.264 MP4 (avc1.PPCCLL from its avcC box)."""
    with open(path, "rb") as f:
        data = f.read()
    at = data.find(b"avcC")
    if at < 0:
        raise RuntimeError("%s has no avcC box" % path)
    return "avc1." + data[at + 5:at + 8].hex()


def _build_media(files):
    """Makes the HLS stream and the DASH files with ffmpeg, three encodes at once; raises
    RuntimeError with ffmpeg's message when one fails."""
    hls = os.path.join(files, "protected", "hls")
    dash = os.path.join(files, "protected", "dash")
    os.makedirs(dash, exist_ok=True)
    _write(os.path.join(hls, "key.bin"), HLS_KEY)
    lavfi = ["ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i"]
    picture = "testsrc=size=%s:rate=25:duration=%d"
    sound = "sine=frequency=%d:sample_rate=48000:duration=%d"
    h264 = ["-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", "-g", "25"]
    aac = ["-c:a", "aac", "-b:a", "64k"]
    with tempfile.TemporaryDirectory() as work:
        key_info = os.path.join(work, "key-info")
        _write(key_info, "key.bin\n%s\n%s\n" % (os.path.join(hls, "key.bin"), HLS_IV))
        commands = [
            lavfi + [picture % ("320x180", HLS_SECONDS), "-f", "lavfi", "-i",
                     sound % (440, HLS_SECONDS)] + h264 + aac +
            ["-f", "hls", "-hls_time", "1", "-hls_list_size", "0", "-hls_playlist_type", "vod",
             "-hls_key_info_file", key_info, "-hls_segment_filename",
             os.path.join(hls, "segment-%d.ts"), "-master_pl_name", "master.m3u8",
             os.path.join(hls, "media.m3u8")],
            lavfi + [picture % ("640x360", MEDIA_SECONDS), "-an"] + h264 +
            ["-movflags", "+faststart", os.path.join(dash, "picture.mp4")],
            lavfi + [sound % (660, MEDIA_SECONDS), "-vn"] + aac +
            ["-movflags", "+faststart", os.path.join(dash, "sound.m4a")],
            # DASH as streaming sites serve it: an initialization piece and one-second pieces of
            # each stream, named by a template.
            lavfi + [picture % ("640x360", MEDIA_SECONDS), "-f", "lavfi", "-i",
                     sound % (550, MEDIA_SECONDS), "-map", "0:v", "-map", "1:a"] + h264 + aac +
            ["-f", "dash", "-seg_duration", "1", "-use_template", "1", "-use_timeline", "0",
             "-adaptation_sets", "id=0,streams=v id=1,streams=a",
             os.path.join(files, "segments", "manifest.mpd")],
        ]
        os.makedirs(os.path.join(files, "segments"), exist_ok=True)
        running = [subprocess.Popen(c, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                    stderr=subprocess.PIPE) for c in commands]
        failures = [p.communicate()[1].decode(errors="replace").strip() for p in running]
    failures = [message or "no message" for p, message in zip(running, failures) if p.returncode]
    if failures:
        raise RuntimeError("ffmpeg failed: %s" % " | ".join(failures))
    cut_sound = os.path.join(files, DASH["dash-cut"][1])
    os.makedirs(os.path.dirname(cut_sound), exist_ok=True)
    shutil.copyfile(os.path.join(files, DASH["dash"][1]), cut_sound)
    codec = _avc_codec(os.path.join(dash, "picture.mp4"))
    for name, (picture_path, sound_path) in DASH.items():
        rates = [os.path.getsize(os.path.join(files, p)) * 8 // MEDIA_SECONDS
                 for p in (picture_path, sound_path)]
        _write(os.path.join(files, name, "manifest.mpd"), MPD % {
            "seconds": MEDIA_SECONDS, "codec": codec, "picture": "/files/" + picture_path,
            "sound": "/files/" + sound_path, "picture_rate": rates[0], "sound_rate": rates[1]})


MPD = """<?xml version="1.0" encoding="utf-8"?>
<MPD xmlns="urn:mpeg:dash:schema:mpd:2011" profiles="urn:mpeg:dash:profile:isoff-on-demand:2011"
     type="static" mediaPresentationDuration="PT%(seconds)d.000S" minBufferTime="PT1.500S">
  <Period id="0" start="PT0S">
    <AdaptationSet id="0" contentType="video" mimeType="video/mp4" segmentAlignment="true">
      <Representation id="picture" codecs="%(codec)s" width="640" height="360" frameRate="25"
                      bandwidth="%(picture_rate)d">
        <BaseURL>%(picture)s</BaseURL>
      </Representation>
    </AdaptationSet>
    <AdaptationSet id="1" contentType="audio" mimeType="audio/mp4" lang="en">
      <Representation id="sound" codecs="mp4a.40.2" audioSamplingRate="48000"
                      bandwidth="%(sound_rate)d">
        <AudioChannelConfiguration
            schemeIdUri="urn:mpeg:dash:23003:3:audio_channel_configuration:2011" value="1"/>
        <BaseURL>%(sound)s</BaseURL>
      </Representation>
    </AdaptationSet>
  </Period>
</MPD>
"""


def build(folder):
    files = os.path.join(folder, "files")
    os.makedirs(files, exist_ok=True)
    index = []
    for page, (title, body, shown) in PAGES.items():
        with open(os.path.join(folder, page), "w", encoding="utf-8") as out:
            out.write(page_html(title, body))
        index.append('<li><a href="%s">%s</a></li>' % (page, title))
        for name in shown:
            if name.endswith(".m3u8"):
                segment = name[:-len(".m3u8")] + "-0.ts"
                with open(os.path.join(files, name), "w") as out:
                    out.write("#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-TARGETDURATION:4\n"
                              "#EXTINF:4.0,\n%s\n#EXT-X-ENDLIST\n" % segment)
                with open(os.path.join(files, segment), "wb") as out:
                    out.write(file_bytes(segment))
            else:
                with open(os.path.join(files, name), "wb") as out:
                    out.write(file_bytes(name))
    for path in PLAIN_FILES:
        _write(os.path.join(files, path), file_bytes(os.path.basename(path)))
    with_media = shutil.which("ffmpeg") is not None
    if with_media:
        _build_media(files)
    else:
        sys.stderr.write("sample_site.py: ffmpeg is missing, so the site has no %s\n"
                         % ", ".join(MEDIA_PAGES))
    for page, (title, _, _, _, _) in GUARDED.items():
        if page in MEDIA_PAGES and not with_media:
            continue
        if page not in DYNAMIC:
            _write(os.path.join(folder, page), guarded_page(page))
        index.append('<li><a href="%s">%s</a></li>' % (page, title))
    with open(os.path.join(folder, "index.html"), "w", encoding="utf-8") as out:
        out.write('<!DOCTYPE html>\n<html><head><meta charset="utf-8"><title>Sample videos'
                  '</title></head>\n<body>\n<ul>\n%s\n</ul>\n</body></html>\n' % "\n".join(index))


def needed_header(path):
    """The header the host of the site PATH wants: "Referer", "Cookie" or None."""
    if path.startswith("/files/protected/"):
        return "Referer"
    return "Cookie" if path.startswith("/files/cookie/") else None


def site_path(target):
    """The path of a request target as SimpleHTTPRequestHandler finds its file (decoded, with
    ".", ".." and empty parts dropped), so that no other spelling gets a guarded file past its
    guard."""
    path = urllib.parse.unquote(target.split("?", 1)[0].split("#", 1)[0], errors="surrogatepass")
    words = [w for w in posixpath.normpath(path).split("/") if w and w not in (".", "..")]
    return "/" + "/".join(words)


RANGE = re.compile(r"bytes=([0-9]*)-([0-9]*)")


def byte_range(header, size):
    """The span [start, end) a Range header asks of SIZE bytes; None to send them all (no header,
    or one this server ignores: several ranges, another unit, malformed), False when it cannot be
    satisfied."""
    match = RANGE.fullmatch(header.strip()) if header else None
    if not match or match.groups() == ("", ""):
        return None
    first, last = match.groups()
    if not first:
        suffix = int(last)
        return (size - min(suffix, size), size) if suffix and size else False
    if last and int(last) < int(first):
        return None
    if int(first) >= size:
        return False
    return int(first), min(int(last) + 1, size) if last else size


def _legacy_files():
    names = set()
    for _, _, shown in PAGES.values():
        for name in shown:
            names.add("/files/" + name)
            if name.endswith(".m3u8"):
                names.add("/files/" + name[:-len(".m3u8")] + "-0.ts")
    return names


LEGACY_FILES = _legacy_files()


class Site(http.server.ThreadingHTTPServer):
    """The server, with what the guarded pages issued: cookies and the expiring file's token."""

    request_queue_size = 256  # a load test starts hundreds of downloads at once
    ISSUED_COOKIES = 100000   # remembered, the oldest forgotten first

    def __init__(self, handler):
        super().__init__(("127.0.0.1", 0), handler)
        self.lock = threading.Lock()
        self.cookies = collections.OrderedDict()
        self.token = 0

    def issue_cookie(self):
        value = secrets.token_hex(16)
        with self.lock:
            self.cookies[value] = True
            if len(self.cookies) > self.ISSUED_COOKIES:
                self.cookies.popitem(last=False)
        return value

    def known_cookie(self, values):
        with self.lock:
            return any(value in self.cookies for value in values)

    def issue_token(self):
        with self.lock:
            self.token += 1
            return self.token

    def newest_token(self, query):
        tokens = urllib.parse.parse_qs(query).get("t")
        with self.lock:
            return self.token > 0 and tokens == [str(self.token)]


class Handler(http.server.SimpleHTTPRequestHandler):
    extensions_map = dict(http.server.SimpleHTTPRequestHandler.extensions_map)
    extensions_map.update({".m3u8": "application/vnd.apple.mpegurl", ".ts": "video/mp2t",
                           ".mp4": "video/mp4"})

    def log_message(self, format, *args):
        sys.stderr.write("%s %s\n" % (self.address_string(), format % args))

    def parse_request(self):
        if not super().parse_request():
            return False
        cookie = " ".join("; ".join(self.headers.get_all("Cookie") or []).split()) or "-"
        sys.stderr.write('%s cookie "%s" %s\n' % (self.address_string(), self.requestline, cookie))
        return True

    def do_GET(self):
        self.answer(True)

    def do_HEAD(self):
        self.answer(False)

    def answer(self, with_body):
        path = site_path(self.path)
        if guarded_name(path[1:]) in DYNAMIC:
            self.send_page(path[1:], with_body)
        elif path.startswith("/files/") and path not in LEGACY_FILES:
            self.send_guarded_file(path, self.path.partition("?")[2].partition("#")[0], with_body)
        elif with_body:
            super().do_GET()
        else:
            super().do_HEAD()

    def send_page(self, page, with_body):
        token = self.server.issue_token() if page == "expiring.html" else 0
        data = guarded_page(page, int(time.time()) + 6 * 3600, token).encode()
        self.send_response(200)
        self.send_header("Content-Type", "text/html; charset=utf-8")
        self.send_header("Content-Length", str(len(data)))
        self.send_header("Cache-Control", "no-store")
        if page == "cookie.html":
            self.send_header("Set-Cookie", "%s=%s; Path=/; HttpOnly"
                             % (COOKIE, self.server.issue_cookie()))
        self.end_headers()
        if with_body:
            self.wfile.write(data)

    def refusal(self, path, query):
        """Why the host refuses PATH to this request, or None."""
        header = needed_header(path)
        if header == "Referer" and not self.referred_here():
            return "This file is shown on this site's own pages only"
        if header == "Cookie":
            values = [value for line in self.headers.get_all("Cookie") or []
                      for name, _, value in (part.strip().partition("=")
                                             for part in line.split(";")) if name == COOKIE]
            if not self.server.known_cookie(values):
                return "Load the page first"
        if path == "/files/expiring.mp4" and not self.server.newest_token(query):
            return "This address has expired"
        return None

    def referred_here(self):
        """Whether the Referer is a page of this site (the same host:port)."""
        site = {"127.0.0.1:%d" % self.server.server_address[1]}
        if self.headers.get("Host"):
            site.add(self.headers["Host"].strip().lower())
        try:
            referer = urllib.parse.urlsplit(self.headers.get("Referer") or "")
        except ValueError:
            return False
        return referer.scheme in ("http", "https") and referer.netloc.lower() in site

    def send_guarded_file(self, path, query, with_body):
        refusal = self.refusal(path, query)
        if refusal:
            self.send_error(403, refusal)
            return
        big = BIG_FILE.fullmatch(path)
        if big:
            size, etag, modified = int(big.group(1)), '"big-%s"' % big.group(1), BIG_LAST_MODIFIED
            chunks = _big_chunks
        else:
            try:
                with open(os.path.join(self.directory, path[1:]), "rb") as f:
                    data = memoryview(f.read())
                    stat = os.fstat(f.fileno())
            except OSError:  # missing, or a folder
                self.send_error(404, "No such file")
                return
            size, etag = len(data), '"%x-%x"' % (stat.st_mtime_ns, len(data))
            modified = email.utils.formatdate(stat.st_mtime, usegmt=True)
            chunks = lambda start, end: [data[start:end]]  # noqa: E731
        condition = self.headers.get("If-Range")
        span = None
        if condition is None or condition.strip() in (etag, modified):
            span = byte_range(self.headers.get("Range"), size)
        if span is False:
            self.send_response(416)
            self.send_header("Content-Range", "bytes */%d" % size)
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        start, end = span or (0, size)
        self.send_response(206 if span else 200)
        self.send_header("Content-Type",
                         TYPES.get(posixpath.splitext(path)[1], "application/octet-stream"))
        self.send_header("Content-Length", str(end - start))
        self.send_header("Accept-Ranges", "bytes")
        self.send_header("ETag", etag)
        self.send_header("Last-Modified", modified)
        if span:
            self.send_header("Content-Range", "bytes %d-%d/%d" % (start, end - 1, size))
        self.end_headers()
        if not with_body:
            return
        # A cut file's server never sends a byte from its middle on, resumed or not.
        last = min(end, max(start, size // 2)) if path in CUT else end
        try:
            for chunk in chunks(start, last):
                self.wfile.write(chunk)
        except (BrokenPipeError, ConnectionResetError):
            self.close_connection = True
            return
        if last < end:
            self.log_message("cut %s at byte %d of %d", path, last, size)
            self.close_connection = True


def serve(folder, port_file):
    handler = lambda *args: Handler(*args, directory=folder)  # noqa: E731
    server = Site(handler)
    _big_pattern()  # before the first download, not during it
    temporary = port_file + ".new"
    with open(temporary, "w") as out:
        out.write(str(server.server_address[1]))
    os.replace(temporary, port_file)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass


def _entry(folder, address, role, shown=False):
    path, _, query = address.partition("?")
    path = "/files/" + path
    big = BIG_FILE.fullmatch(path)
    size = int(big.group(1)) if big else os.path.getsize(os.path.join(folder, path[1:]))
    return {"path": path, "query": query or None, "header": needed_header(path),
            "token": path == "/files/expiring.mp4", "bound": "ip=" in query, "role": role,
            "shown": shown,
            "size": size, "cut_at": size // 2 if path in CUT else None, "generated": bool(big)}


def describe(folder, page):
    """What a test needs to know of PAGE (see the module's comment); None when the site has no
    such page (or FOLDER was built without it)."""
    if page in PAGES:
        title, _, shown = PAGES[page]
        files = [(name, "playlist" if name.endswith(".m3u8") else "video", True)
                 for name in shown]
        files += [(name[:-len(".m3u8")] + "-0.ts", "segment") for name in shown
                  if name.endswith(".m3u8")]
        return {"page": page, "title": title, "markup": "video", "dynamic": False,
                "cookie": None, "files": [_entry(folder, *f) for f in files]}
    key = guarded_name(page)
    if key is None or (key in MEDIA_PAGES and not os.path.exists(os.path.join(folder, page))):
        return None
    title, _, _, markup, shown = GUARDED[key]
    files = []
    for address, role in shown:
        files.append((address.format(size=big_size(page)), role, True))
        folder_name = posixpath.dirname(address)
        if role == "manifest" and folder_name in DASH:
            files += [(DASH[folder_name][0], "picture"), (DASH[folder_name][1], "sound")]
        elif role == "manifest":
            # The pieces, in order: each stream's initialization piece, then its pieces.
            pieces = sorted(os.listdir(os.path.join(folder, "files", folder_name)))
            for stream, role_of in (("stream0", "picture"), ("stream1", "sound")):
                files += [(folder_name + "/" + name, role_of) for name in pieces
                          if name == "init-%s.m4s" % stream]
                files += [(folder_name + "/" + name, role_of) for name in pieces
                          if name.startswith("chunk-%s-" % stream)]
        elif role == "playlist":
            files.append((folder_name + "/media.m3u8", "playlist"))
            with open(os.path.join(folder, "files", folder_name, "media.m3u8")) as playlist:
                for line in playlist:
                    key_uri = re.search(r'#EXT-X-KEY:.*URI="([^"]+)"', line)
                    if key_uri:
                        files.append((folder_name + "/" + key_uri.group(1), "key"))
                    elif line.strip() and not line.startswith("#"):
                        files.append((folder_name + "/" + line.strip(), "segment"))
    return {"page": page, "title": title, "markup": markup, "dynamic": key in DYNAMIC,
            "cookie": COOKIE if page == "cookie.html" else None,
            "files": [_entry(folder, *f) for f in files]}


def main(argv):
    if len(argv) == 3 and argv[1] == "build":
        try:
            build(argv[2])
        except (OSError, RuntimeError) as error:
            sys.stderr.write("sample_site.py: %s\n" % error)
            return 1
    elif len(argv) == 4 and argv[1] == "serve":
        serve(argv[2], argv[3])
    elif len(argv) == 4 and argv[1] == "expect" and argv[3] in PAGES:
        for name in PAGES[argv[3]][2]:
            print("/files/" + name)
    elif len(argv) == 4 and argv[1] in ("expect", "describe"):
        description = describe(argv[2], argv[3])
        if description is None:
            sys.stderr.write("sample_site.py: the site in %s has no page %s\n" % (argv[2], argv[3]))
            return 2
        if argv[1] == "describe":
            print(json.dumps(description, indent=2))
        else:
            for entry in description["files"]:
                if entry["shown"]:
                    print(entry["path"])
    else:
        sys.stderr.write(__doc__)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
