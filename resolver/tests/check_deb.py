#!/usr/bin/env python3
"""Checks the resolver's Debian package that the package target makes, without installing it.

What it holds (files, modes, the conffiles, the maintainer scripts, Depends); the program taken out
of it answers on 127.0.0.1 with the worker script and yt-dlp it ships with, as an unprivileged user
without a home and with writable code refused, and names that yt-dlp; its manual pages render
without a warning, name exactly the options each program's --help prints, and lintian says nothing
about them; systemd-analyze accepts its units where systemd-analyze is installed.

Usage: check_deb.py DEB BUILT_PROGRAM DEPLOY_DIR
"""
import ctypes
import gzip
import http.server
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import urllib.error
import urllib.parse
import urllib.request

UNITS = ("reelhawk-resolver.service", "reelhawk-resolver@.service",
         "reelhawk-resolver-update.service", "reelhawk-resolver-update.timer")
PROGRAMS = {"reelhawk-resolver": "/usr/bin/", "reelhawk-resolver-update": "/usr/sbin/"}
MANUAL = "/usr/share/man/man8/%s.8.gz"


def fail(message):
    print("FAIL: " + message)
    sys.exit(1)


def run(*command, **kwargs):
    return subprocess.run(command, capture_output=True, text=True, timeout=60, check=True, **kwargs)


def listing(deb):
    """Path -> (mode text, owner) of each file and folder in the package's data."""
    entries = {}
    for line in run("dpkg-deb", "-c", deb).stdout.splitlines():
        mode, owner, _size, _date, _time, path = line.split(None, 5)
        entries[path.removeprefix(".").split(" -> ")[0].rstrip("/") or "/"] = (mode, owner)
    return entries


def check_contents(deb, deploy):
    entries = listing(deb)
    unit_dir = next((d for d in ("/lib/systemd/system", "/usr/lib/systemd/system")
                     if d + "/" + UNITS[0] in entries), None)
    if unit_dir is None:
        fail("the package holds no systemd unit %s" % UNITS[0])
    doc = "/usr/share/doc/reelhawk-resolver"
    wanted = {
        "/usr/share/reelhawk-resolver/worker.py": "-rw-r--r--",
        "/etc/default/reelhawk-resolver": "-rw-r--r--",
        "/etc/reelhawk-resolver/canaries": "-rw-r--r--",
        doc + "/copyright": "-rw-r--r--",
        doc + "/README.Debian": "-rw-r--r--",
        doc + "/changelog.gz": "-rw-r--r--",
    }
    wanted.update({unit_dir + "/" + unit: "-rw-r--r--" for unit in UNITS})
    wanted.update({folder + name: "-rwxr-xr-x" for name, folder in PROGRAMS.items()})
    wanted.update({MANUAL % name: "-rw-r--r--" for name in PROGRAMS})
    if os.path.exists(os.path.join(deploy, "nginx-reelhawk-resolver.conf")):
        wanted[doc + "/examples/nginx-reelhawk-resolver.conf"] = "-rw-r--r--"
    files = {path: mode for path, (mode, _) in entries.items() if not mode.startswith("d")}
    if files != wanted:
        fail("the package holds %s, not %s" % (sorted(files.items()), sorted(wanted.items())))
    for path, (mode, owner) in entries.items():
        if owner != "root/root" or (mode.startswith("d") and mode != "drwxr-xr-x"):
            fail("%s is %s %s in the package, not root/root and 755 for folders" %
                 (path, mode, owner))
    return unit_dir


def check_control(deb, control_dir, arch):
    fields = dict(line.split(": ", 1) for line in
                  run("dpkg-deb", "-f", deb, "Package", "Version", "Architecture", "Section",
                      "Maintainer", "Depends").stdout.splitlines() if ": " in line)
    expected = {"Package": "reelhawk-resolver", "Version": "1.0", "Architecture": arch,
                "Section": "net"}
    for name, value in expected.items():
        if fields.get(name) != value:
            fail("the control field %s is %r, not %r" % (name, fields.get(name), value))
    if not re.fullmatch(r"[^<>]+ <[^<>@ ]+@[^<>@ ]+>", fields.get("Maintainer", "")):
        fail("the Maintainer field %r is not a name and an e-mail address" % fields.get("Maintainer"))
    # Each dependency by its package name, alternatives included; libc6 shows the libraries the
    # program links were looked up.
    depends = {re.split(r"[\s(]", alternative.strip())[0]
               for group in fields.get("Depends", "").split(",") for alternative in group.split("|")}
    for name in ("yt-dlp", "python3", "libc6"):
        if name not in depends:
            fail("Depends (%s) does not name %s" % (fields.get("Depends"), name))

    run("dpkg-deb", "-e", deb, control_dir)
    conffiles = ["/etc/default/reelhawk-resolver", "/etc/reelhawk-resolver/canaries"]
    with open(os.path.join(control_dir, "conffiles")) as f:
        if sorted(f.read().split()) != conffiles:
            fail("the conffiles are not exactly %s" % conffiles)
    for script in ("postinst", "prerm", "postrm"):
        path = os.path.join(control_dir, script)
        if os.stat(path).st_mode & 0o777 != 0o755:
            fail("the maintainer script %s is not mode 755" % script)
        if subprocess.run(["sh", "-n", path], timeout=10).returncode != 0:
            fail("the maintainer script %s is not valid sh" % script)


def check_program(program, built):
    with open(program, "rb") as f:
        data = f.read()
    if b".symtab" in data or b".debug_info" in data:
        fail("the packaged program is not stripped")
    if b"__asan_init" in data or b"__ubsan_handle" in data:
        fail("the packaged program is built with the sanitizers")
    if os.path.getmtime(program) + 1 < os.path.getmtime(built):
        fail("the package is older than %s: build the package target again" % built)
    version = run(program, "--version").stdout.strip()
    if version != "reelhawk-resolver 1.0\nyt-dlp %s (/usr/bin/python3)" % debian_ytdlp():
        fail("--version says %r" % version)


def debian_ytdlp():
    """The version of Debian's yt-dlp, which the packaged worker runs by default."""
    return run("/usr/bin/python3", "-c", "import yt_dlp.version; print(yt_dlp.version.__version__)"
               ).stdout.strip()


class Pages(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


# Straight to 127.0.0.1, whatever proxy the environment names.
DIRECT = urllib.request.build_opener(urllib.request.ProxyHandler({}))


def get(url):
    """Status and JSON body of a GET; the body is None when it is not JSON."""
    try:
        with DIRECT.open(url, timeout=30) as response:
            status, body = response.status, response.read()
    except urllib.error.HTTPError as error:
        status, body = error.code, error.read()
    try:
        return status, json.loads(body)
    except ValueError:
        return status, None


def no_writable_code():
    """What the units' MemoryDenyWriteExecute asks of the service and its workers, where the
    kernel can refuse it (Linux 6.3 on)."""
    ctypes.CDLL(None).prctl(65, 1, 0, 0, 0)  # PR_SET_MDWE, PR_MDWE_REFUSE_EXEC_GAIN


def check_service(root, work):
    """The extracted program on 127.0.0.1 with the extracted worker, as the units run it: another
    user than root where the check is root, a home that does not exist, an almost empty
    environment, no memory both writable and executable."""
    site = os.path.join(work, "site")
    os.mkdir(site)
    with open(os.path.join(site, "page.html"), "w") as f:
        f.write('<html><head><title>Clip</title></head><body>'
                '<video src="clip.mp4"></video></body></html>')
    with open(os.path.join(site, "clip.mp4"), "wb") as f:
        f.write(b"\0" * 64)
    pages = http.server.ThreadingHTTPServer(
        ("127.0.0.1", 0), lambda *a: Pages(*a, directory=site))
    threading.Thread(target=pages.serve_forever, daemon=True).start()
    page = "http://127.0.0.1:%d/page.html" % pages.server_address[1]

    command = [os.path.join(root, "usr/bin/reelhawk-resolver"), "--listen", "127.0.0.1:0",
               "--workers", "1", "--rate", "0", "--allow-address", "127.0.0.1/32"]
    if os.geteuid() == 0:
        os.chmod(work, 0o755)
        command = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"] + command
    log = open(os.path.join(work, "service.log"), "w+")
    service = subprocess.Popen(command, cwd="/", stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=log, env={"PATH": "/usr/bin:/bin", "HOME": "/nonexistent"},
                               preexec_fn=no_writable_code)
    try:
        base = None
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline and service.poll() is None:
            log.seek(0)
            found = re.search(r"listening on (http://127\.0\.0\.1:\d+/)", log.read())
            if found:
                base = found.group(1)
                status, _ = get(base + "healthz")
                if status == 200:
                    break
            time.sleep(0.1)
        else:
            log.seek(0)
            fail("the packaged service was not ready within 30 s: %s" % log.read())

        status, body = get(base + "api/resolve?url=http://10.1.2.3/")
        if status != 400 or (body or {}).get("error", {}).get("code") != "address_refused":
            fail("an internal address gave %s %s, not 400 address_refused" % (status, body))
        status, body = get(base + "api/resolve?url=" + urllib.parse.quote(page, safe=""))
        urls = [f.get("url") for f in (body or {}).get("files", [])]
        if status != 200 or urls != [page.replace("page.html", "clip.mp4")]:
            log.seek(0)
            fail("the sample page gave %s %s (service: %s)" % (status, body, log.read()))
        # The yt-dlp that answers, in /healthz and in the page's small print.
        ytdlp = debian_ytdlp()
        if get(base + "healthz")[1].get("yt_dlp") != ytdlp:
            fail("/healthz does not name yt-dlp %s: %s" % (ytdlp, get(base + "healthz")[1]))
        with DIRECT.open(base + "resolve?url=" + urllib.parse.quote(page, safe=""), timeout=30) as r:
            if ("<small>yt-dlp %s</small>" % ytdlp) not in r.read().decode():
                fail("the result page does not say yt-dlp %s in its small print" % ytdlp)

        service.send_signal(signal.SIGTERM)
        if service.wait(timeout=15) != 0:
            fail("the service ended with status %s after SIGTERM" % service.returncode)
    finally:
        if service.poll() is None:
            service.kill()
            service.wait()
        pages.shutdown()
        log.close()


def check_manuals(root, deb):
    """Each manual page renders without a warning and names exactly the options its program's
    --help prints (a flag added without its paragraph fails here); lintian says nothing about
    them."""
    if shutil.which("man") is None or shutil.which("lintian") is None:
        print("skipped: man or lintian is not installed, the manual pages are not checked")
        return
    for name, folder in PROGRAMS.items():
        page = root + MANUAL % name
        rendered = subprocess.run(["man", "--warnings", "-E", "UTF-8", "-l", page],
                                  capture_output=True, text=True, timeout=60,
                                  env=dict(os.environ, MANWIDTH="80", LC_ALL="C.UTF-8"))
        if rendered.returncode != 0 or rendered.stderr.strip() or "OPTIONS" not in rendered.stdout:
            fail("man -l %s: status %d\n%s" % (name, rendered.returncode, rendered.stderr))
        with gzip.open(page, "rt") as f:
            source = f.read()
        options = source.split("\n.SH OPTIONS\n", 1)[-1].split("\n.SH ", 1)[0]
        # Each option's paragraph: .TP, then the line naming it (and its short form).
        manual = set(re.findall(r"\\-\\-([a-z][a-z\\-]*)", "\n".join(
            line for previous, line in zip(options.splitlines(), options.splitlines()[1:])
            if previous == ".TP")))
        manual = {option.replace("\\-", "-") for option in manual}
        helped = set(re.findall(r"^\s+(?:-\w,\s*)?--([a-z][a-z-]*)", run(
            root + folder + name, "--help").stdout, re.M))
        if manual != helped:
            fail("the manual page of %s names %s, --help %s: each option wants its paragraph" %
                 (name, sorted(manual - helped), sorted(helped - manual)))
    said = subprocess.run(["lintian", "--pedantic", "--display-info", deb], capture_output=True,
                          text=True, timeout=120).stdout
    tags = [line for line in said.splitlines()
            if re.match(r"[EWIPX]: \S+: \S*(manual|manpage|groff|whatis)", line)]
    if tags:
        fail("lintian on the manual pages:\n" + "\n".join(tags))


def check_units(root, unit_dir, work):
    """systemd-analyze verify on copies of the units whose programs are the extracted ones (it
    checks that they exist), with the package's manual pages for their man: references."""
    analyze = shutil.which("systemd-analyze")
    if analyze is None:
        print("skipped: systemd-analyze is not installed, the units are not verified")
        return False
    units = os.path.join(work, "units")
    os.mkdir(units)
    for unit in UNITS:
        with open(os.path.join(root, unit_dir.lstrip("/"), unit)) as f:
            text = f.read()
        for name, folder in PROGRAMS.items():
            text = text.replace("ExecStart=%s%s" % (folder, name),
                                "ExecStart=%s%s%s" % (root, folder, name))
        if "ExecStart=" in text and "ExecStart=" + root not in text:
            fail("%s does not start a program of the package" % unit)
        with open(os.path.join(units, unit), "w") as f:
            f.write(text)
    result = subprocess.run([analyze, "verify"] + [os.path.join(units, u) for u in UNITS],
                            capture_output=True, text=True, timeout=60,
                            env=dict(os.environ, MANPATH=os.path.join(root, "usr/share/man")))
    # It warns about a directive it does not know or cannot parse, and still succeeds.
    said = [line for line in (result.stdout + result.stderr).splitlines()
            if "reelhawk-resolver" in line]
    if result.returncode != 0 or said:
        fail("systemd-analyze verify: status %d\n%s" % (result.returncode, "\n".join(said)))
    return True


def main():
    deb, built, deploy = sys.argv[1:4]
    arch = run("dpkg", "--print-architecture").stdout.strip()
    if os.path.basename(deb) != "reelhawk-resolver_1.0_%s.deb" % arch:
        fail("the package is named %s" % os.path.basename(deb))
    if not os.path.isfile(deb):
        fail("%s is missing: build the package target first (scripts/test.sh does)" % deb)
    unit_dir = check_contents(deb, deploy)
    with tempfile.TemporaryDirectory(prefix="reelhawk-deb-") as work:
        check_control(deb, os.path.join(work, "control"), arch)
        root = os.path.join(work, "root")
        run("dpkg-deb", "-x", deb, root)
        check_program(os.path.join(root, "usr/bin/reelhawk-resolver"), built)
        check_service(root, work)
        check_manuals(root, deb)
        verified = check_units(root, unit_dir, work)
    print("ok: %s holds the service, which answered on 127.0.0.1, and its updater; their manual "
          "pages match their options%s" %
          (os.path.basename(deb), "; systemd-analyze accepts its units" if verified else ""))


if __name__ == "__main__":
    main()
