#!/usr/bin/python3
"""A stand-in for the extraction worker, for the service's tests: it speaks the worker's protocol
and misbehaves as the address asks. Started as the service's --python, so it ignores its
arguments. Every request is appended to the file named by REELHAWK_FAKE_LOG.

  .../video/NAME    a video titled NAME with one file
  .../slow/MS/NAME  the same after MS milliseconds
  .../hang          never answers
  .../crash         ends without answering
  .../garbage       answers a line that is not JSON
  .../huge          answers a 20 MB line
  .../grow          keeps 40 MB more each time, then answers
  .../spawn         starts a child process in its group, then never answers
  .../novideo       answers that no video was found
  .../stray         answers, then writes one more answer out of turn

Its first line says it is ready, and which yt-dlp it runs: "fake" at once; with
REELHAWK_FAKE_READY naming a file, only once that file exists (at most a minute), the file's text
being the version ("never": it ends without saying it).
"""
import json
import os
import subprocess
import sys
import time
from urllib.parse import urlsplit

kept = []


def answer(obj):
    obj["id"] = request["id"]
    sys.stdout.write(json.dumps(obj) + "\n")
    sys.stdout.flush()


def video(name):
    return {"ok": True, "info": {"title": name, "formats": [
        {"url": "http://127.0.0.1:9/files/%s.mp4" % name, "ext": "mp4", "protocol": "http",
         "vcodec": "avc1", "acodec": "mp4a", "width": 640, "height": 360}]}}


gate = os.environ.get("REELHAWK_FAKE_READY")
version = "fake"
for _ in range(6000 if gate else 0):
    if os.path.exists(gate):
        with open(gate) as f:
            version = f.read().strip()
        break
    time.sleep(0.01)
if version == "never":
    sys.exit(0)
sys.stdout.write(json.dumps({"ready": True, "yt_dlp": version}) + "\n")
sys.stdout.flush()

for line in sys.stdin:
    request = json.loads(line)
    url = request["url"]
    log = os.environ.get("REELHAWK_FAKE_LOG")
    if log:
        with open(log, "a") as f:
            f.write("%d %s\n" % (os.getpid(), url))
    parts = urlsplit(url).path.strip("/").split("/")
    what = parts[0]
    if what == "video":
        answer(video(parts[1]))
    elif what == "slow":
        time.sleep(int(parts[1]) / 1000.0)
        answer(video(parts[2]))
    elif what == "hang":
        time.sleep(3600)
    elif what == "crash":
        os._exit(3)
    elif what == "garbage":
        answer_text = "this is not json\n"
        sys.stdout.write(answer_text)
        sys.stdout.flush()
    elif what == "huge":
        sys.stdout.write('{"ok": true, "info": {"title": "' + "x" * (20 << 20) + '"}}\n')
        sys.stdout.flush()
    elif what == "grow":
        kept.append(bytearray(b"\1" * (40 << 20)))
        answer(video("grown"))
    elif what == "spawn":
        subprocess.Popen(["sleep", "300"])
        time.sleep(3600)
    elif what == "stray":
        answer(video("first"))
        sys.stdout.write('{"id": %d, "ok": true, "info": {"title": "stray"}}\n' % request["id"])
        sys.stdout.flush()
    elif what == "chunked":
        port, size, chunk = parts[1], parts[2], int(parts[3])
        answer({"ok": True, "info": {"title": "in ranges", "formats": [
            {"url": "http://127.0.0.1:%s/files/big-%s.mp4" % (port, size), "ext": "mp4",
             "protocol": "https", "vcodec": "avc1", "acodec": "mp4a", "format_id": "18",
             "chunk": chunk, "http_headers": {"Referer": url}}]}})
    elif what == "novideo":
        answer({"ok": False, "code": "no_video", "message": "No video was found on this page."})
    else:
        answer({"ok": False, "code": "extract_failed", "message": "unknown test page " + what})
