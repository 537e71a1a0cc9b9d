#!/usr/bin/env python3
"""Checks the release zip that the package target makes (scripts/test.sh builds it).

Usage: check_package.py ZIP BUILT_EXE USER_GUIDE VERSION RESOLVER_URL CPACK_CONFIG

Also has cpack make the zip once more from CPACK_CONFIG as for a release (not a test build), which
must be refused while the program is built for a resolving page that exists only in the tests.
"""
import os
import subprocess
import sys
import tempfile
import zipfile


def fail(message):
    print("FAIL: " + message)
    sys.exit(1)


def utf16(text):
    return text.encode("utf-16-le")


def main():
    zip_path, built_exe, guide_md, version, resolver_url, cpack_config = sys.argv[1:7]
    # Built for the demo resolver, the zip can only be a test build's, which says so in its name.
    demo = "://resolver.reelhawk.test/" in resolver_url
    test_build = zip_path.endswith("-test.zip")
    top = "Reelhawk-%s-win64%s" % (version, "-test" if test_build else "")
    if os.path.basename(zip_path) != top + ".zip" or (demo and not test_build):
        fail("the package is named %s, not %s.zip" % (os.path.basename(zip_path), top))
    if not os.path.isfile(zip_path):
        fail("%s is missing: build the package target first (scripts/test.sh does)" % zip_path)
    if os.path.getmtime(zip_path) < os.path.getmtime(built_exe):
        fail("%s is older than %s: the package does not hold the program as built" %
             (zip_path, built_exe))

    with zipfile.ZipFile(zip_path) as archive:
        if archive.testzip() is not None:
            fail("a member of the zip is damaged")
        names = sorted(n for n in archive.namelist() if not n.endswith("/"))
        wanted = sorted([top + "/reelhawk.exe", top + "/README.txt"])
        if names != wanted:
            fail("the zip holds %s, not %s" % (names, wanted))
        exe = archive.read(top + "/reelhawk.exe")
        notes = archive.read(top + "/README.txt")

    # The program: a Windows executable with its version resource, without debugging data.
    if exe[:2] != b"MZ" or b"PE\0\0" not in exe[:1024]:
        fail("reelhawk.exe in the zip is not a Windows program")
    for text in ("ProductName", "Reelhawk", "ProductVersion", version):
        if utf16(text) not in exe:
            fail("reelhawk.exe in the zip has no %r in its version resource" % text)
    if b".debug_info" in exe:
        fail("reelhawk.exe in the zip still carries its debugging information")
    if len(exe) >= os.path.getsize(built_exe):
        fail("reelhawk.exe in the zip is not the stripped program")

    # The read-me: for Notepad (byte order mark, CRLF), naming the program and its version.
    if not notes.startswith(b"\xef\xbb\xbf"):
        fail("README.txt does not start with a UTF-8 byte order mark")
    text = notes[3:].decode("utf-8")
    if "\n" in text.replace("\r\n", ""):
        fail("README.txt has lines that do not end with CRLF")
    if "reelhawk.exe" not in text or version not in text:
        fail("README.txt does not name reelhawk.exe and version %s" % version)
    if resolver_url not in text or (resolver_url.encode() not in exe and
                                    utf16(resolver_url) not in exe):
        fail("README.txt or reelhawk.exe does not name the resolving page %s" % resolver_url)
    if test_build and "A test build" not in text:
        fail("README.txt of a test build does not say so")

    # The same package as a release: refused for the demo resolver, with the way out named.
    with tempfile.TemporaryDirectory() as folder:
        release = subprocess.run(
            ["cpack", "--config", cpack_config, "-B", folder, "-D", "CPACK_REELHAWK_TEST_BUILD=OFF"],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=120)
        made = [n for n in os.listdir(folder) if n.endswith(".zip")]
        refused = release.returncode != 0 and not made and "-DREELHAWK_RESOLVER_URL=" in release.stdout
        if demo != refused:
            fail("cpack as for a release %s (exit %d, made %s):\n%s" %
                 ("was not refused" if demo else "was refused", release.returncode, made,
                  release.stdout))

    # The user's guide says how to make the zip and what it holds.
    with open(guide_md, encoding="utf-8") as f:
        guide = f.read()
    for mention in ("Reelhawk-%s-win64.zip" % version, "--target package", "reelhawk.exe",
                    "README.txt", "-DREELHAWK_RESOLVER_URL=https://", "REELHAWK_TEST_BUILD"):
        if mention not in guide:
            fail("%s does not mention %s" % (os.path.basename(guide_md), mention))
    print("ok: %s holds %s" % (os.path.basename(zip_path), ", ".join(names)))


if __name__ == "__main__":
    main()
