#!/usr/bin/env python3
"""Installs the build into a scratch directory (DESTDIR) and checks what the package would ship.

Usage: check_installed_tree.py BUILD_DIR APP_ID SIZE...   (exit 77 = skipped: a checker is missing)
"""
import os
import shutil
import struct
import subprocess
import sys
import tempfile

build, app_id, sizes = sys.argv[1], sys.argv[2], [int(s) for s in sys.argv[3:]]
tools = ["desktop-file-validate", "appstreamcli", "man"]
missing = [t for t in tools if shutil.which(t) is None]
if missing:
    print("skipped: missing " + ", ".join(missing) + " (scripts/bootstrap installs them)")
    sys.exit(77)

failures = []


def check(ok, what):
    if not ok:
        failures.append(what)


def run(args, **kw):
    return subprocess.run(args, capture_output=True, text=True, **kw)


def png_size(path):
    with open(path, "rb") as f:
        head = f.read(24)
    if len(head) < 24 or head[:8] != b"\x89PNG\r\n\x1a\n":
        return None
    return struct.unpack(">II", head[16:24])


with tempfile.TemporaryDirectory() as dest:
    prefix = "/usr"
    r = run(["cmake", "--install", build, "--prefix", prefix], env={**os.environ, "DESTDIR": dest})
    if r.returncode != 0:
        sys.exit("cmake --install failed:\n" + r.stdout + r.stderr)
    root = dest + prefix
    share = root + "/share"

    desktop = f"{share}/applications/{app_id}.desktop"
    r = run(["desktop-file-validate", desktop])
    check(r.returncode == 0 and not r.stdout.strip(), f"desktop-file-validate: {r.stdout}{r.stderr}")

    metainfo = f"{share}/metainfo/{app_id}.metainfo.xml"
    r = run(["appstreamcli", "validate", "--no-net", "--pedantic", metainfo])
    check(r.returncode == 0, f"appstreamcli validate: {r.stdout}{r.stderr}")

    for size in sizes:
        icon = f"{share}/icons/hicolor/{size}x{size}/apps/{app_id}.png"
        check(os.path.exists(icon) and png_size(icon) == (size, size), f"icon {size}x{size} missing or wrong size")
    check(os.path.exists(f"{share}/icons/hicolor/scalable/apps/{app_id}.svg"), "scalable icon missing")

    # Each manual page renders without a warning, and shows each usage text exactly as --help prints it.
    program = root + "/bin/camera-setup"
    pages = {
        "man1/camera-setup.1.gz": [[], ["list"], ["install"], ["batch"]],
        "man8/camera-setup-helper.8.gz": [],
    }
    for page, commands in pages.items():
        r = run(["man", "--warnings", "-l", f"{share}/man/{page}"],
                env={**os.environ, "MANWIDTH": "200", "MAN_KEEP_FORMATTING": "", "MANPAGER": "cat", "LC_ALL": "C.UTF-8"})
        check(r.returncode == 0 and not r.stderr.strip(), f"{page} does not render cleanly: {r.stderr}")
        rendered = [line.rstrip() for line in subprocess.run(["col", "-bx"], input=r.stdout, capture_output=True,
                                                             text=True).stdout.splitlines()]
        for command in commands:
            usage = run([program, *command, "--help"]).stdout.rstrip("\n").splitlines()
            first = next((i for i, line in enumerate(rendered) if line.strip() == usage[0].strip()), None)
            if first is None:
                check(False, f"{page}: no usage of {command or 'camera-setup'}")
                continue
            indent = rendered[first][: len(rendered[first]) - len(usage[0])]
            shown = rendered[first : first + len(usage)]
            check(shown == [(indent + line).rstrip() for line in usage],
                  f"{page}: usage of {command or 'camera-setup'} differs from --help:\n" + "\n".join(shown))

for failure in failures:
    print("FAIL:", failure)
sys.exit(1 if failures else 0)
