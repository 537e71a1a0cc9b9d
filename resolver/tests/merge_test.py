#!/usr/bin/python3
"""The merge, with the real yt-dlp and ffmpeg against the sample video site on 127.0.0.1: the
DASH page's merged file listed first and, fetched as a person would, one H.264 and one AAC stream
with every picture packet of the input and the inputs' duration; no merged file where a file has
both; a HEAD that starts nothing; a sound host cut halfway, a client that leaves, and too many
merges, each ending its ffmpeg at once; twenty merges at once, all whole.

    merge_test.py --binary RESOLVER

Every process it starts is ended by its PID. Exit status 0: passed, 1: failed.
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import SampleSite, Service, check, curl, finish, say  # noqa: E402

ALLOW = ["--allow-address", "127.0.0.1/32", "--rate", "0", "--workers", "1", "--timeout", "8"]


def ffmpegs_below(pid):
    """ffmpeg processes whose parent is the service."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            stat = open("/proc/%s/stat" % entry).read()
        except OSError:
            continue
        name = stat[stat.index("(") + 1:stat.rindex(")")]
        parent = int(stat[stat.rindex(")") + 2:].split()[1])
        if name == "ffmpeg" and parent == pid:
            found.append(int(entry))
    return found


def gone_within(service, seconds):
    until = time.monotonic() + seconds
    while time.monotonic() < until:
        if not ffmpegs_below(service.process.pid):
            return True
        time.sleep(0.02)
    return not ffmpegs_below(service.process.pid)


def probe(path):
    out = subprocess.run(["ffprobe", "-v", "error", "-show_entries",
                          "stream=codec_type,codec_name,duration", "-of", "json", path],
                         capture_output=True, text=True, timeout=30).stdout
    return json.loads(out or "{}").get("streams", [])


def video_packets(path, headers=None):
    """The framemd5 lines of the file's first video stream, copied as they are."""
    args = ["ffmpeg", "-nostdin", "-loglevel", "error"]
    if headers:
        args += ["-headers", headers]
    args += ["-i", path, "-map", "0:v:0", "-c", "copy", "-f", "framemd5", "-"]
    lines = subprocess.run(args, capture_output=True, text=True, timeout=60).stdout.splitlines()
    return [line for line in lines if line and not line.startswith("#")]


def check_merged_file(service, site, work):
    merged = ""
    # Picture and sound as single files, and as DASH pieces.
    for page, listed in (("dash.html", 3), ("dash-segments.html", 3)):
        files = service.files(site.url(page))
        check(len(files) == listed and files[0]["kind"] == "merged" and
              files[0]["url"].endswith(".mp4"), "%s listed %s" % (page, files))
        merged = merged or (files[0]["url"] if files else "")
        out = os.path.join(work, "merged-" + page + ".mp4")
        status, body = curl("-f", files[0]["url"] if files else "")
        open(out, "wb").write(body)
        streams = probe(out)
        check(status == 0 and sorted((s["codec_type"], s["codec_name"]) for s in streams) ==
              [("audio", "aac"), ("video", "h264")], "%s: the merged file (curl %d) holds %s" % (
                  page, status, streams))
        # The inputs as one file each, as the host's pieces make them.
        inputs = {}
        for f in site.describe(page)["files"]:
            if f["role"] in ("picture", "sound"):
                inputs.setdefault(f["role"], b"")
                inputs[f["role"]] += site.file(f["path"])
        for role, data in inputs.items():
            open(os.path.join(work, role), "wb").write(data)
        picture, sound = os.path.join(work, "picture"), os.path.join(work, "sound")
        longest = max(float(s.get("duration", 0)) for s in probe(picture) + probe(sound))
        duration = max(float(s.get("duration", 0)) for s in streams) if streams else 0
        check(abs(duration - longest) <= 0.1, "%s: merged %.3f s, the inputs %.3f s" % (
            page, duration, longest))
        wanted = [line.split(",")[-1] for line in video_packets(picture)]
        got = [line.split(",")[-1] for line in video_packets(out)]
        check(wanted and got == wanted, "%s: the merged picture's packets differ from the "
              "input's (%d against %d)" % (page, len(got), len(wanted)))
    # HEAD: what a download manager asks first, answered without ffmpeg.
    status, headers, body = service.request(merged[len(service.base):], "HEAD")
    check(status == 200 and "content-length" not in headers and
          headers.get("accept-ranges") == "none" and
          int(headers.get("x-estimated-content-length", 0)) > 0 and
          not ffmpegs_below(service.process.pid), "HEAD of a merged file: %d %s" % (status, headers))
    # A page with only files that have both gets no merged file.
    for page in ("one.html", "hls.html"):
        kinds = [f["kind"] for f in service.files(site.url(page))]
        check("merged" not in kinds, "%s listed a merged file: %s" % (page, kinds))
    return merged


def check_failures(binary, service, site):
    cut = service.files(site.url("dash-cut.html"))[0]["url"]
    status, _ = curl(cut)
    check(status in (18, 56), "a merge whose sound host cut halfway: curl exit %d" % status)
    check(gone_within(service, 1.0), "ffmpeg outlived the failed merge by a second")
    check(" cut=\"an input failed" in open(service.access).read() or
          " cut=\"ffmpeg failed" in open(service.access).read(),
          "the access log does not say why the merge was cut")
    # One merge at a time: a client that reads slowly holds it; the next is told to wait.
    limited = Service(binary, *ALLOW, "--merges", "1")
    try:
        merged = limited.files(site.url("dash.html"))[0]["url"]
        slow = subprocess.Popen(["curl", "-s", "-o", "/dev/null", "--limit-rate", "2k", merged])
        for _ in range(100):
            if ffmpegs_below(limited.process.pid):
                break
            time.sleep(0.05)
        status, headers, _ = limited.request(merged[len(limited.base):])
        check(status == 503 and headers.get("retry-after"), "a second merge answered %d" % status)
        slow.kill()
        slow.wait()
        check(gone_within(limited, 1.0), "ffmpeg outlived the client that left by a second")
    finally:
        limited.stop()


def check_many(service, merged, work, count):
    results = [None] * count

    def fetch(i):
        out = os.path.join(work, "many-%d.mp4" % i)
        status, body = curl("-f", merged, timeout=120)
        open(out, "wb").write(body)
        results[i] = (status, sorted(s["codec_type"] for s in probe(out)))

    threads = [threading.Thread(target=fetch, args=(i,)) for i in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    bad = [r for r in results if r != (0, ["audio", "video"])]
    check(not bad, "%d of %d merges at once were not whole: %s" % (len(bad), count, bad[:3]))
    check(gone_within(service, 2.0), "ffmpeg processes left after the merges")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", required=True)
    args = parser.parse_args()
    site = SampleSite()
    service = Service(args.binary, *ALLOW, "--merges", "20")
    work = tempfile.mkdtemp(prefix="reelhawk-merge.")
    try:
        say("the merged file, fetched")
        merged = check_merged_file(service, site, work)
        say("an input cut, a client gone, too many merges")
        check_failures(args.binary, service, site)
        say("twenty merges at once")
        check_many(service, merged, work, 20)
    finally:
        service.stop()
        site.stop()
        subprocess.run(["rm", "-rf", work])
    return finish()


if __name__ == "__main__":
    sys.exit(main())
