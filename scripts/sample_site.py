#!/usr/bin/env python3
"""A small video site for runs without the internet: pages as real sites make them, with files.

    sample_site.py build FOLDER               writes the site into FOLDER
    sample_site.py serve FOLDER PORT_FILE     serves FOLDER on 127.0.0.1 (a free port, written to
                                              PORT_FILE once it listens) until ended
    sample_site.py expect FOLDER PAGE         the files PAGE shows, in page order, one per line
                                              (paths in the site, as /files/NAME)

The pages:
    one.html    one video (an MP4 in a <video> element)
    hls.html    one HLS stream (.m3u8 playlist and its segment)
    two.html    two videos, in this order: first.mp4, second.mp4
    none.html   an article without any video
Every file's bytes differ from every other's, so a fetched file is known by its bytes.
"""

import http.server
import os
import sys

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


def file_bytes(name):
    """A file's bytes: its name, then a pattern of its own, 8 KiB in all."""
    data = bytearray(("sample video file %s\n" % name).encode())
    seed = sum(name.encode())
    while len(data) < 8192:
        seed = (seed * 1103515245 + 12345) & 0x7FFFFFFF
        data.append(seed >> 16 & 0xFF)
    return bytes(data)


def build(folder):
    files = os.path.join(folder, "files")
    os.makedirs(files, exist_ok=True)
    index = []
    for page, (title, body, shown) in PAGES.items():
        with open(os.path.join(folder, page), "w", encoding="utf-8") as out:
            out.write('<!DOCTYPE html>\n<html><head><meta charset="utf-8"><title>%s</title>'
                      '</head>\n<body>\n%s\n</body></html>\n' % (title, body))
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
    with open(os.path.join(folder, "index.html"), "w", encoding="utf-8") as out:
        out.write('<!DOCTYPE html>\n<html><head><meta charset="utf-8"><title>Sample videos'
                  '</title></head>\n<body>\n<ul>\n%s\n</ul>\n</body></html>\n' % "\n".join(index))


class Handler(http.server.SimpleHTTPRequestHandler):
    extensions_map = dict(http.server.SimpleHTTPRequestHandler.extensions_map)
    extensions_map.update({".m3u8": "application/vnd.apple.mpegurl", ".ts": "video/mp2t",
                           ".mp4": "video/mp4"})

    def log_message(self, format, *args):
        sys.stderr.write("%s %s\n" % (self.address_string(), format % args))


def serve(folder, port_file):
    handler = lambda *args: Handler(*args, directory=folder)  # noqa: E731
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    temporary = port_file + ".new"
    with open(temporary, "w") as out:
        out.write(str(server.server_address[1]))
    os.replace(temporary, port_file)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass


def main(argv):
    if len(argv) == 3 and argv[1] == "build":
        build(argv[2])
    elif len(argv) == 4 and argv[1] == "serve":
        serve(argv[2], argv[3])
    elif len(argv) == 4 and argv[1] == "expect" and argv[3] in PAGES:
        for name in PAGES[argv[3]][2]:
            print("/files/" + name)
    else:
        sys.stderr.write(__doc__)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
