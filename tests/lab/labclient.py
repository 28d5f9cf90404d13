"""The camera lab's command (tools/lab/lab) as the lab tests call it: one lab, named by its prefix."""

import json
import os
import subprocess

LAB = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "lab", "lab"))


class LabCommandFailed(AssertionError):
    """A lab command that should have worked did not: the test fails with what the command said."""


class LabClient:
    # timeout: of every command, in seconds; None waits as long as one takes.
    def __init__(self, prefix, timeout=None):
        self.prefix = prefix
        self.env = dict(os.environ, LAB_PREFIX=prefix)
        self.timeout = timeout

    def __call__(self, *args, check=True, capture=True, timeout=None):
        timeout = self.timeout if timeout is None else timeout
        pipe = subprocess.PIPE if capture else None
        r = subprocess.run([LAB, *args], env=self.env, text=True, stdout=pipe, stderr=pipe, timeout=timeout)
        if check and r.returncode != 0:
            raise LabCommandFailed(f"lab {' '.join(args)} exited {r.returncode}: {r.stderr}{r.stdout}")
        return r

    def state(self, name):
        return json.loads(self("state", name).stdout)

    def spawn(self, host, *command, **popen):
        """The command started in the namespace of the lab's host (pc, dhcp, a camera), not waited for."""
        popen.setdefault("text", True)
        return subprocess.Popen([LAB, "exec", host, *command], env=self.env, **popen)

    def run_dir(self):
        return f"/run/{self.prefix}"
