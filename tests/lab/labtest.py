"""Base of the lab tests: every test brings up its own lab under a prefix of its own, takes it down at the
end and checks that nothing of it is left (namespaces, processes, state directory)."""

import itertools
import json
import os
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, "..", ".."))
LAB = os.path.join(ROOT, "tools", "lab", "lab")
PROBE = os.path.join(HERE, "netprobe.py")
PYTHON = "/usr/bin/python3"
sys.path.insert(0, os.path.join(ROOT, "tools", "lab"))
import labcore  # noqa: E402

_counter = itertools.count(1)
_can_lab = None


def namespaces_usable():
    global _can_lab
    if _can_lab is None:
        if os.geteuid() != 0:
            _can_lab = "not root"
        else:
            name = f"lt-{os.getpid()}-probe"
            r = subprocess.run(["ip", "netns", "add", name], capture_output=True, text=True)
            if r.returncode == 0:
                subprocess.run(["ip", "netns", "del", name], capture_output=True)
                _can_lab = ""
            else:
                _can_lab = f"cannot create network namespaces: {r.stderr.strip()}"
    return _can_lab


def namespaces():
    r = subprocess.run(["ip", "-j", "netns", "list"], capture_output=True, text=True)
    return [n["name"] for n in json.loads(r.stdout or "[]")]


class LabTestCase(unittest.TestCase):
    def setUp(self):
        why = namespaces_usable()
        if why:
            self.skipTest(why)
        self.prefix = f"lt-{os.getpid()}-{next(_counter)}"
        self.env = dict(os.environ, LAB_PREFIX=self.prefix)
        self.pids = []
        self.addCleanup(self.down_and_check)

    # ---- running the lab ---------------------------------------------------------------------------------

    def lab(self, *args, check=True, timeout=60):
        r = subprocess.run([LAB, *args], env=self.env, capture_output=True, text=True, timeout=timeout)
        if check and r.returncode != 0:
            self.fail(f"lab {' '.join(args)} exited {r.returncode}: {r.stderr}{r.stdout}")
        return r

    def up(self, cameras, *flags):
        self.lab("up", "--cameras", cameras, *flags)
        lab = labcore.read_json(f"/run/{self.prefix}/lab.json")
        self.pids = [rec["pid"] for rec in lab["pids"].values()]

    def state(self, name):
        return json.loads(self.lab("state", name).stdout)

    def wait_state(self, name, pred, timeout=20, what="condition"):
        deadline = time.monotonic() + timeout
        while True:
            st = self.state(name)
            if pred(st):
                return st
            if time.monotonic() > deadline:
                self.fail(f"{name}: {what} not reached in {timeout} s; state {json.dumps(st)[:2000]}")
            time.sleep(0.1)

    def probe(self, *args, timeout=60):
        r = self.lab("exec", "pc", PYTHON, PROBE, *args, timeout=timeout)
        return json.loads(r.stdout)

    def probe_background(self, *args):
        p = subprocess.Popen([LAB, "exec", "pc", PYTHON, PROBE, *args], env=self.env, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
        self.addCleanup(lambda: p.poll() is None and p.kill())
        return p

    def upload(self, addr, password, data, goodbye=2.0):
        with tempfile.NamedTemporaryFile(suffix=".ini", delete=False) as f:
            f.write(data)
        self.addCleanup(os.unlink, f.name)
        return self.probe("ftp-put", addr, password, f.name, "--goodbye", str(goodbye))

    # ---- the end of every test ---------------------------------------------------------------------------

    def down_and_check(self):
        self.lab("down")
        left = [n for n in namespaces() if n.startswith(self.prefix + "-")]
        self.assertEqual(left, [], "namespaces left behind")
        self.assertFalse(os.path.exists(f"/run/{self.prefix}"), "state directory left behind")
        for pid in self.pids:
            self.assertFalse(os.path.exists(f"/proc/{pid}") and _not_zombie(pid), f"process {pid} left running")


def _not_zombie(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


def reset_to(data, value):
    """config.ini bytes with the value line after '<reset system>' replaced."""
    lines = data.split(b"\r\n")
    i = lines.index(b"<reset system>")
    lines[i + 1] = value
    return b"\r\n".join(lines)
