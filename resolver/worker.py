"""reelhawk-resolver's extraction worker.

Imports yt-dlp once and answers one JSON line on stdout for every request line on stdin:
  request: {"id": N, "url": "https://..."}
  answer:  {"id": N, "ok": true, "info": {...}} or {"id": N, "ok": false, "code": "...", "message": "..."}
Every connection it makes is checked when it is made, so that a redirect, a playlist on another
host or a name that changes its address cannot reach the network the service runs in. It reads no
configuration file and no cookie jar, downloads nothing and writes nothing.
"""
import argparse
import ctypes
import ipaddress
import json
import os
import signal
import socket
import sys

# Answers go to the real stdout; anything else that writes there (a library's print) goes to stderr.
ANSWERS = os.fdopen(os.dup(1), "wb", buffering=0)
os.dup2(2, 1)
sys.stdout = sys.stderr

parser = argparse.ArgumentParser()
parser.add_argument("--parent", type=int, default=0)
parser.add_argument("--allow-private", action="store_true")
parser.add_argument("--allow", action="append", default=[])
parser.add_argument("--deny", action="append", default=[])
parser.add_argument("--max-parts", type=int, default=50)
parser.add_argument("--socket-timeout", type=float, default=15.0)
parser.add_argument("--version", action="store_true", help="print yt-dlp's version and end")
ARGS = parser.parse_args()

# End with the service, even when it is killed.
if ARGS.parent:
    try:
        ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG
    except (OSError, AttributeError):
        pass
    if os.getppid() != ARGS.parent:
        sys.exit(0)

ALLOWED = [ipaddress.ip_network(text, strict=False) for text in ARGS.allow]
DENIED = [ipaddress.ip_network(text, strict=False) for text in ARGS.deny]


class AddressRefused(OSError):
    """A connection to an internal address, refused before it was made."""


refused = []  # addresses refused while working on the current request
warm_up_address = None  # the one loopback server let through, while the worker warms up


def permitted(host):
    if ARGS.allow_private:
        return True
    address = ipaddress.ip_address(host.split("%")[0])
    if address.version == 6 and address.ipv4_mapped is not None:
        address = address.ipv4_mapped
    if any(address in net for net in ALLOWED):
        return True
    return not any(address in net for net in DENIED)


_connect = socket.socket.connect
_connect_ex = socket.socket.connect_ex


def _check(sock, address):
    if warm_up_address is not None and tuple(address[:2]) == warm_up_address:
        return
    if sock.family in (socket.AF_INET, socket.AF_INET6) and not permitted(address[0]):
        refused.append(address[0])
        raise AddressRefused("connection to the internal address %s refused" % address[0])


def guarded_connect(sock, address):
    _check(sock, address)
    return _connect(sock, address)


def guarded_connect_ex(sock, address):
    _check(sock, address)
    return _connect_ex(sock, address)


socket.socket.connect = guarded_connect
socket.socket.connect_ex = guarded_connect_ex

import yt_dlp  # noqa: E402  (after the guard, so that nothing connects unguarded)
from yt_dlp.utils import UnsupportedError  # noqa: E402


class Quiet:
    def debug(self, msg):
        pass

    info = warning = error = debug


OPTIONS = {
    "logger": Quiet(),
    "quiet": True,
    "no_warnings": True,
    "noprogress": True,
    "simulate": True,
    "skip_download": True,
    "cachedir": False,
    "cookiefile": None,
    "proxy": "",
    "playlistend": ARGS.max_parts + 1,
    "socket_timeout": ARGS.socket_timeout,
    "extract_flat": "in_playlist",
    "check_formats": False,
    "writeinfojson": False,
    "consoletitle": False,
}
ydl = yt_dlp.YoutubeDL(OPTIONS)

FORMAT_KEYS = ("url", "ext", "protocol", "vcodec", "acodec", "width", "height", "filesize",
               "filesize_approx", "format_note", "format_id", "tbr", "duration")
MAX_FRAGMENTS = 20000  # a stream in more pieces than this is not fetched as one file


def headers_of(fmt):
    """The headers yt-dlp would fetch the format with: its http_headers, which in this version
    carry the cookie jar's Cookie too; later versions give the cookies apart, as "cookies"."""
    headers = {}
    for name, value in (fmt.get("http_headers") or {}).items():
        if isinstance(name, str) and isinstance(value, (str, int)):
            headers[clean(name)] = clean(str(value))
    cookies = fmt.get("cookies")
    if isinstance(cookies, str) and cookies and not any(n.lower() == "cookie" for n in headers):
        pairs = []
        for part in cookies.split(";"):
            name, _, value = part.strip().partition("=")
            if name and name.lower() not in ("domain", "path", "expires", "max-age", "secure",
                                             "httponly", "samesite"):
                pairs.append("%s=%s" % (name, value))
        if pairs:
            headers["Cookie"] = clean("; ".join(pairs))
    return headers


def fragments_of(fmt):
    """A stream served in pieces (DASH segments), as the addresses of its pieces in order."""
    fragments = fmt.get("fragments")
    if not isinstance(fragments, list) or not fragments or len(fragments) > MAX_FRAGMENTS:
        return None
    base = fmt.get("fragment_base_url") or ""
    urls = []
    for fragment in fragments:
        if not isinstance(fragment, dict):
            return None
        url = fragment.get("url") or (base + fragment["path"] if fragment.get("path") else None)
        if not isinstance(url, str):
            return None
        urls.append(clean(url))
    return urls


def slim_format(fmt):
    slimmed = {k: clean(fmt.get(k)) for k in FORMAT_KEYS}
    slimmed["http_headers"] = headers_of(fmt)
    # Files the host serves in ranges of a size (YouTube's): the tunnel fetches them so.
    chunk = (fmt.get("downloader_options") or {}).get("http_chunk_size")
    if isinstance(chunk, int) and chunk > 0:
        slimmed["chunk"] = chunk
    fragments = fragments_of(fmt) if fmt.get("protocol") == "http_dash_segments" else None
    if fragments is not None:
        slimmed["fragments"] = fragments
    return slimmed


def clean(value):
    """Text as valid UTF-8 (yt-dlp may hold undecodable bytes as surrogates)."""
    if isinstance(value, str):
        return value.encode("utf-8", "replace").decode("utf-8")
    if isinstance(value, (int, float)) and not isinstance(value, bool):
        return value
    return None


def slim_video(info):
    video = {"title": clean(info.get("title")), "_type": clean(info.get("_type")),
             "url": clean(info.get("url")), "duration": clean(info.get("duration"))}
    formats = info.get("formats") or ([info] if info.get("url") else [])
    video["formats"] = [slim_format(f) for f in formats if isinstance(f, dict)]
    return video


RESOLVED_PARTS = 10  # parts known only by their page that are resolved in turn; the rest are listed


def slim(info):
    if info.get("_type") in ("playlist", "multi_video") or "entries" in info:
        entries = []
        resolved = 0
        for entry in info.get("entries") or []:
            if len(entries) > ARGS.max_parts:
                break
            if not isinstance(entry, dict):
                continue
            if (entry.get("_type") in ("url", "url_transparent") and not entry.get("formats")
                    and resolved < RESOLVED_PARTS):
                # A part known only by its page: resolved too, up to a few of them.
                resolved += 1
                try:
                    entry = ydl.extract_info(entry["url"], download=False) or entry
                except Exception:
                    pass
            entries.append(slim_video(entry))
            if refused:
                break
        return {"title": clean(info.get("title")), "entries": entries}
    return slim_video(info)


def causes(error):
    """The error and what it came from: yt-dlp wraps a page's failure in its own errors."""
    seen = []
    while error is not None and error not in seen and len(seen) < 10:
        seen.append(error)
        info = getattr(error, "exc_info", None)
        inner = getattr(error, "cause", None) or (info[1] if info and len(info) > 1 else None)
        error = inner or error.__cause__ or error.__context__
    return seen


def detail_of(error):
    """yt-dlp's own words, on one line, without its advice to report a bug."""
    text = str(error).replace("ERROR: ", "", 1).split("; please report this issue")[0]
    return " ".join(text.split())[:600]


def failure(error):
    """The code and the sentence a person reads for a failed request."""
    if refused:
        return "address_refused", ("The page led to an internal address (%s); the service does not "
                                   "connect inside its own network." % refused[0])
    chain = causes(error)
    text = " ".join(str(e) for e in chain)
    for e in chain:
        status = getattr(e, "code", None) if hasattr(e, "headers") else None
        if isinstance(status, int):
            if status == 404:
                return "fetch_failed", "The page was not found (404)."
            if status in (401, 403):
                return "fetch_failed", "The page refused the request (%d)." % status
            if status == 410:
                return "fetch_failed", "The page is gone (410)."
            if status == 429:
                return "fetch_failed", "The site refused the request: too many requests (429)."
            return "fetch_failed", "The page answered with an error (HTTP %d)." % status
    if any(isinstance(e, (socket.timeout, TimeoutError)) for e in chain) or "timed out" in text:
        return "timeout", "The page did not answer within %d seconds." % ARGS.socket_timeout
    if any(isinstance(e, socket.gaierror) for e in chain):
        return "fetch_failed", "The page's host name could not be found."
    if any(isinstance(e, ConnectionRefusedError) for e in chain):
        return "fetch_failed", "The page's server refused the connection."
    if any(isinstance(e, (ConnectionError, OSError)) and not isinstance(e, UnsupportedError)
           and type(e).__module__ != "yt_dlp.utils" for e in chain):
        return "fetch_failed", "The page could not be fetched: the connection failed."
    if "DRM" in text:
        return "no_video", "The site protects its videos with DRM, which cannot be resolved."
    if "no longer supported" in text or "will not be supported" in text.lower():
        return "no_video", "The site is not supported."
    if any(isinstance(e, UnsupportedError) for e in chain) or "Unsupported URL" in text:
        return "no_video", "No video was found on this page."
    return "extract_failed", "The video on this page could not be read."


def answer(obj):
    obj["id"] = request_id
    ANSWERS.write(json.dumps(obj, ensure_ascii=True).encode("ascii") + b"\n")


request_id = None


def main():
    global request_id
    for line in sys.stdin.buffer:
        del refused[:]
        request_id = None
        try:
            request = json.loads(line)
            request_id = request.get("id")
            url = request["url"]
            if not isinstance(url, str):
                raise ValueError("url")
        except (ValueError, KeyError, TypeError):
            answer({"ok": False, "code": "bad_request", "message": "The request was not understood."})
            continue
        # A fresh cookie jar: what one page set is never sent with another request's fetches.
        ydl.cookiejar.clear()
        try:
            info = ydl.extract_info(url, download=False, process=True)
            info = ydl.sanitize_info(info) if info else None
            if refused:
                code, message = failure(None)
                answer({"ok": False, "code": code, "message": message})
            elif not info:
                answer({"ok": False, "code": "no_video", "message": "No video was found on this page."})
            else:
                answer({"ok": True, "info": slim(info),
                        "default_headers": headers_of({"http_headers": ydl.params.get("http_headers")})})
        except Exception as error:  # yt-dlp raises many kinds; each is one failed request
            code, message = failure(error)
            answer({"ok": False, "code": code, "message": clean(message),
                    "detail": clean(detail_of(error))})


WARM_UP_PAGE = (b'<!DOCTYPE html><html><head><title>Warm-up</title></head><body>'
                b'<video controls><source src="/warm-up.mp4" type="video/mp4"></video></body></html>')


def warm_up():
    """Resolves a page served from a thread of this process on 127.0.0.1, so that the first request
    does not pay for yt-dlp's first extraction. Returns None, or why the page was not resolved."""
    global warm_up_address
    import http.server
    import threading

    class Page(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            body = WARM_UP_PAGE if self.path == "/warm-up.html" else b"\0" * 64
            self.send_response(200)
            self.send_header("Content-Type", "text/html" if body is WARM_UP_PAGE else "video/mp4")
            self.send_header("Content-Length", str(len(body)))
            # Pages usually carry one; reading its date compiles yt-dlp's date formats.
            self.send_header("Last-Modified", self.date_time_string(0))
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, *args):
            pass

    server = http.server.HTTPServer(("127.0.0.1", 0), Page)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    warm_up_address = ("127.0.0.1", server.server_address[1])
    try:
        info = ydl.extract_info("http://127.0.0.1:%d/warm-up.html" % warm_up_address[1],
                                download=False)
        return None if info and slim(info).get("formats") else "no file was found"
    except Exception as error:  # any failure still leaves yt-dlp's code loaded
        return str(error)
    finally:
        warm_up_address = None
        server.shutdown()
        server.server_close()


def ytdlp_version():
    return yt_dlp.version.__version__


def say_ready():
    """The worker's first line: ready for requests, and which yt-dlp answers them."""
    failed = warm_up()
    if failed:
        print("reelhawk-resolver worker: the warm-up page was not resolved: %s" % failed,
              file=sys.stderr)
    ANSWERS.write(json.dumps({"ready": True, "yt_dlp": ytdlp_version()}).encode("ascii") + b"\n")


if __name__ == "__main__":
    if ARGS.version:
        ANSWERS.write(ytdlp_version().encode("ascii", "replace") + b"\n")
        sys.exit(0)
    say_ready()
    main()
