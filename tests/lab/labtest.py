"""Base of the lab tests: every test brings up its own lab under a prefix of its own, takes it down at the
end and checks that nothing of it is left (namespaces, processes, state directory)."""

import itertools
import json
import os
import subprocess
import tempfile
import time
import unittest

import labcore
from labclient import LAB, LabClient

HERE = os.path.dirname(os.path.abspath(__file__))
PROBE = os.path.join(HERE, "netprobe.py")
PYTHON = "/usr/bin/python3"

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
    prefix_stem = "lt"

    def setUp(self):
        why = namespaces_usable()
        if why:
            self.skipTest(why)
        self.use_lab(f"{self.prefix_stem}-{os.getpid()}-{next(_counter)}")
        self.addCleanup(self.down_and_check)

    def use_lab(self, prefix):
        """The lab this test brings up and takes down: self.lab runs its command."""
        self.client = LabClient(prefix, timeout=60)
        self.prefix = self.client.prefix
        self.env = self.client.env
        self.lab = self.client
        self.pids = []

    # ---- running the lab ---------------------------------------------------------------------------------

    def up(self, cameras, *flags):
        self.lab("up", "--cameras", cameras, *flags)
        lab = labcore.read_json(f"{self.client.run_dir()}/lab.json")
        self.pids = [rec["pid"] for rec in lab["pids"].values()]

    def state(self, name):
        return self.client.state(name)

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
        p = self.client.spawn("pc", PYTHON, PROBE, *args, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
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
        self.assertFalse(os.path.exists(self.client.run_dir()), "state directory left behind")
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
