#!/usr/bin/env python3
"""Checks the links between the read-me and the guides: every relative link in README.md and
docs/*.md names a file of the checkout, and every #anchor a heading of the file it points into
(as GitHub makes anchors from headings). Prints each broken link; exits non-zero when there is one.

    scripts/check_docs.py [ROOT]
"""
import glob
import os
import re
import sys

LINK = re.compile(r"\]\(([^)\s]+)\)")  # a link's text may begin on the line before
FENCE = re.compile(r"^(```|~~~)")


def prose(path):
    """The file's lines outside fenced and indented code blocks, with their numbers."""
    fenced = False
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            if FENCE.match(line):
                fenced = not fenced
            elif not fenced and not line.startswith("    "):
                yield number, line.rstrip("\n")


def anchors(path):
    """The anchors of a file's headings: lower case, punctuation dropped, spaces as hyphens, a
    repeated one numbered from -1 on."""
    seen = {}
    for _, line in prose(path):
        heading = re.match(r"^#{1,6}\s+(.*?)\s*#*\s*$", line)
        if not heading:
            continue
        slug = re.sub(r"[^\w\- ]", "", heading.group(1).lower()).replace(" ", "-")
        count = seen.get(slug, 0)
        seen[slug] = count + 1
        yield slug if count == 0 else "%s-%d" % (slug, count)


def broken_links(root):
    """Each broken link as "file:line: target: why"."""
    files = [os.path.join(root, "README.md")] + sorted(glob.glob(os.path.join(root, "docs", "*.md")))
    known = {}
    for path in files:
        for number, line in prose(path):
            for target in LINK.findall(line):
                if re.match(r"^[a-z][a-z0-9+.-]*:", target):
                    continue  # an address on the web or mail, not ours to check here
                name, _, anchor = target.partition("#")
                into = os.path.normpath(os.path.join(os.path.dirname(path), name)) if name else path
                where = "%s:%d: %s" % (os.path.relpath(path, root), number, target)
                if not os.path.exists(into):
                    yield where + ": no such file"
                elif anchor:
                    if into not in known:
                        known[into] = set(anchors(into)) if into.endswith(".md") else set()
                    if anchor not in known[into]:
                        yield where + ": no such heading"


def main():
    root = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else
                           os.path.join(os.path.dirname(__file__), ".."))
    broken = list(broken_links(root))
    for line in broken:
        print(line)
    if broken:
        sys.exit(1)
    print("documents: every link between the read-me and the guides resolves")


if __name__ == "__main__":
    main()
