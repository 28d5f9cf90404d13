#!/usr/bin/python3
"""Batches of lab cameras installed by `camera-setup batch` and by the batch dialog (offscreen GUI driver), run as an
ordinary user: every camera's outcome, reason, address and config.ini, the results file, a batch resumed after a
kill, cameras installed as they boot (--watch), and that no neighbour entry, host route or file is left behind.

Usage: batch_lab_test.py CAMERA_SETUP [GUI_DRIVER]   (root; exit 77 = skipped)
"""

import csv
import io
import json
import os
import shutil
import signal
import subprocess
import sys

import batchlab
import userlab
from labclient import LabClient
from rewrite import base_values, expected_rewrite

PREFIX = f"batch-{os.getpid()}"

LOCKED = "IP address is set, but settings are not changed"
# Five cameras per batch, named in MAC order (the order a range is handed out in): three that install (restarting
# the moment they have their file, so that a restart wait held up by the FTP goodbye fails every run), one whose
# FTP password differs, one that never comes back from its restart.
INSTANT = ",restart=instant"
FIVE = [("ok1", INSTANT), ("ok2", INSTANT), ("ok3", INSTANT), ("locked", ",password=Other"), ("gone", ",comeback=0")]
CAMERAS = {}
for group, base in (("h", 0x01), ("g", 0x11)):
    for i, (name, extra) in enumerate(FIVE):
        CAMERAS[group + name] = (f"02:5E:A1:CD:E3:{base + i:02X}", "host=NV4412-0104,xrm=0" + extra)
for i in range(3):
    CAMERAS[f"r{i + 1}"] = (f"02:5E:A1:CD:E3:{0x21 + i:02X}", "host=NV4412-0104,xrm=0")
# Watch mode: booted one after another while the command runs; w3 refuses the factory FTP login.
for i, extra in enumerate(("", "", ",password=Other")):
    CAMERAS[f"w{i + 1}"] = (f"02:5E:A1:CD:E3:{0x31 + i:02X}", "host=NV4412-0104,xrm=0" + extra)

lab = LabClient(PREFIX)
state = lab.state


def dashed(name):
    return CAMERAS[name][0].replace(":", "-")


class BatchLab(userlab.UserLabCase):
    lab = lab
    cameras = CAMERAS

    def setUp(self):
        super().setUp()
        self.work = self.user.private_dir()
        self.addCleanup(shutil.rmtree, self.work, True)

    def start(self, program, *args, env=(), stderr=subprocess.PIPE):
        command = self.user.command(program, *args, env=[f"TMPDIR={self.tmp}", *env])
        return lab.spawn("pc", *command, stdout=subprocess.PIPE, stderr=stderr)

    def run_booting(self, names, program, *args, env=()):
        """Runs the program, boots the cameras once it listens for DHCP, returns (exit code, stdout, stderr)."""
        process = self.start(program, *args, env=env)
        try:
            if batchlab.wait_listening(PREFIX + "-pc", process):
                lab("boot", *names)
            out, err = process.communicate(timeout=240)
        finally:
            if process.poll() is None:
                process.kill()
                process.communicate()
        return process.returncode, out, err

    def check_five(self, group, first_octet, last):
        """Every camera of the group: its final line (state, address, text), its address and its file."""
        for i, (suffix, _) in enumerate(FIVE):
            name = group + suffix
            address = f"10.213.7.{first_octet + i}"
            with self.subTest(camera=name):
                want = {"locked": ("failed", address, LOCKED, "ftp-login"),
                        "gone": ("failed", address, "Install Fail", "no-restart")}.get(
                    suffix, ("installed", address, "Install OK", "installed"))
                self.assertEqual(last.get(dashed(name)), want)
                if suffix != "gone":  # that one took its address and file, then never came back
                    st = lab("wait", name, "--phase", "up", "--address", address, "--timeout", "20", check=False)
                    self.assertEqual(st.returncode, 0, st.stderr)
                expected = self.originals[name] if suffix == "locked" else expected_rewrite(
                    self.originals[name], base_values(), False)
                self.assertEqual(self.config(name), expected)

    def check_report(self, names, first_octet, env):
        """The site report of the five cameras' records in every format: one row per camera, what went where."""
        want = {}
        for i, (suffix, _) in enumerate(FIVE):
            name = "h" + suffix
            outcome = {"locked": "not-changed", "gone": "no-restart"}.get(suffix, "installed")
            verified = "yes" if outcome == "installed" else ""
            want[dashed(name)] = [state(name)["lease"]["ip"], f"10.213.7.{first_octet + i}", outcome, verified]
        reports = {}
        for fmt in ("csv", "json", "html", "pdf"):
            path = os.path.join(self.work, "report." + fmt)
            command = self.user.command("camera-setup", "report", "--format", fmt, "-o", path, env=env)
            # As from sudo or cron: no runtime directory, and nothing said but the report's own line.
            plain = {k: v for k, v in os.environ.items() if k != "XDG_RUNTIME_DIR"}
            done = subprocess.run(command, capture_output=True, text=True, timeout=60, env=plain)
            self.assertEqual((done.returncode, done.stderr), (0, f"camera-setup report: 5 cameras in {path}\n"))
            with open(path, "rb") as f:
                reports[fmt] = f.read()
        rows = list(csv.reader(io.StringIO(reports["csv"].decode())))
        header = rows[0]
        cell = {n: header.index(n) for n in ("mac", "old_address", "new_address", "outcome", "verified", "changed")}
        self.assertEqual({r[cell["mac"]]: [r[cell["old_address"]], r[cell["new_address"]], r[cell["outcome"]],
                                           r[cell["verified"]]] for r in rows[1:]}, want)
        changed = {r[cell["mac"]]: r[cell["changed"]] for r in rows[1:]}
        self.assertEqual(changed[dashed("hlocked")], "")  # nothing was written
        cameras = json.loads(reports["json"])["cameras"]
        self.assertEqual(sorted(c["mac"] for c in cameras), sorted(want))
        self.assertEqual(len(rows) - 1, 5)
        html = reports["html"].decode()
        for mac, (old, new, outcome, _) in want.items():
            self.assertIn(f"<td style=\"white-space:nowrap\">{mac}</td>", html)
        text = subprocess.run(["pdftotext", "-layout", os.path.join(self.work, "report.pdf"), "-"],
                              capture_output=True, text=True, check=True).stdout
        self.assertIn("Camera installation report", text)
        self.assertIn("Page 1 of 1", text)
        for mac, (old, new, outcome, _) in want.items():
            self.assertIn(mac, text)
            self.assertIn(new, text)
        self.assertTrue(reports["pdf"].startswith(b"%PDF"))

    def test_headless_range_batch(self):
        names = ["h" + s for s, _ in FIVE]
        results = os.path.join(self.work, "results.csv")
        macs = [a for n in names for a in ("--mac", dashed(n))]
        env = [f"XDG_DATA_HOME={os.path.join(self.work, 'data')}"]
        code, out, err = self.run_booting(names, "camera-setup", "batch", "--range", "10.213.7.20-10.213.7.39",
                                          "--mask", "255.255.255.0", *macs, "--results", results, env=env)
        self.assertEqual(code, 1, out + err)
        self.assertRegex(out.splitlines()[-1], r"^batch: 3 installed, 0 skipped, 2 failed, 0 stopped of 5 cameras "
                                               r"in \d+\.\d s \(installed 3, ftp-login 1, no-restart 1\)$")
        last = batchlab.final_lines(out)
        self.check_five("h", 20, last)
        rows = batchlab.read_results(results)
        self.assertEqual(rows[0], ["mac", "old_address", "new_address", "outcome", "message", "reason"])
        want = sorted([dashed(n), state(n)["lease"]["ip"], last[dashed(n)][1], last[dashed(n)][0],
                       last[dashed(n)][2], last[dashed(n)][3]] for n in names)
        self.assertEqual(sorted(row[:4] + [" ".join(row[4].split()), row[5]] for row in rows[1:]), want)
        self.check_report(names, 20, env)

    def test_resume_after_termination(self):
        names = ["r1", "r2", "r3"]
        plan = os.path.join(self.work, "plan.csv")
        with open(plan, "w") as f:
            f.write("mac,ip\r\n" + "".join(f"{dashed(n)},10.213.7.{40 + i}\r\n" for i, n in enumerate(names)))
        args = ["batch", "--plan", plan, "--jobs", "1", "--state", os.path.join(self.work, "state.json")]
        results = os.path.join(self.work, "stopped.csv")
        process = self.start("camera-setup", *args, "--results", results, stderr=subprocess.DEVNULL)
        seen = []
        try:
            self.assertTrue(batchlab.wait_listening(PREFIX + "-pc", process))
            lab("boot", *names)
            for line in process.stdout:
                seen.append(line)
                if line.startswith(dashed("r1") + " installed "):
                    process.send_signal(signal.SIGTERM)  # lab exec became the program: this PID is its own
                    break
            process.communicate(timeout=60)
        finally:
            if process.poll() is None:
                process.kill()
                process.communicate()
        self.assertEqual(process.returncode, 128 + signal.SIGTERM, "".join(seen))
        # The signal stopped the running installation cleanly: every camera has its result.
        reasons = {row[0]: row[5] for row in batchlab.read_results(results)[1:]}
        self.assertEqual(reasons[dashed("r1")], "installed")
        self.assertEqual(sorted(reasons), sorted(dashed(n) for n in names))
        # Run again: every camera boots (and so is found) again; the one installed before is left alone.
        code, out, err = self.run_booting(names, "camera-setup", *args)
        self.assertEqual(code, 0, out + err)
        last = batchlab.final_lines(out)
        self.assertEqual(last[dashed("r1")], ("skipped", "10.213.7.40", "installed by an earlier run", "skipped"))
        for i, name in enumerate(names):
            with self.subTest(camera=name):
                if name != "r1":
                    self.assertEqual(last[dashed(name)], ("installed", f"10.213.7.{40 + i}", "Install OK", "installed"))
                self.assertEqual(state(name)["uploads"], 1)
                self.assertEqual(self.config(name), expected_rewrite(self.originals[name], base_values(), False))

    def test_watch_installs_cameras_as_they_boot(self):
        names = ["w1", "w2", "w3"]
        work = self.work
        plan = os.path.join(work, "plan.csv")
        with open(plan, "w") as f:
            f.write("mac,ip\r\n" + "".join(f"{dashed(n)},10.213.7.{60 + i}\r\n" for i, n in enumerate(names)))
        results, state_file = os.path.join(work, "results.csv"), os.path.join(work, "state.json")
        process = self.start("camera-setup", "batch", "--plan", plan, "--watch", "--state", state_file,
                             "--results", results, stderr=subprocess.DEVNULL)
        seen = []
        try:
            self.assertTrue(batchlab.wait_listening(PREFIX + "-pc", process))
            lab("boot", names[0])
            booted = 1
            for line in process.stdout:  # each camera boots once the one before is being installed
                seen.append(line)
                if booted < len(names) and line.startswith(dashed(names[booted - 1]) + " running "):
                    lab("boot", names[booted])
                    booted += 1
            process.communicate(timeout=120)
        finally:
            if process.poll() is None:
                process.kill()
                process.communicate()
        out = "".join(seen)
        self.assertEqual(process.returncode, 1, out)
        last = batchlab.final_lines(out)
        self.assertEqual(last[dashed("w1")], ("installed", "10.213.7.60", "Install OK", "installed"))
        self.assertEqual(last[dashed("w2")], ("installed", "10.213.7.61", "Install OK", "installed"))
        self.assertEqual(last[dashed("w3")], ("failed", "10.213.7.62", LOCKED, "ftp-login"))
        for name in names:
            with self.subTest(camera=name):
                expected = self.originals[name] if name == "w3" else expected_rewrite(
                    self.originals[name], base_values(), False)
                self.assertEqual(self.config(name), expected)
        rows = {row[0]: row for row in batchlab.read_results(results)[1:]}
        self.assertEqual([rows[dashed(n)][5] for n in names], ["installed", "installed", "ftp-login"])
        cameras = batchlab.read_state(state_file)["cameras"]
        self.assertEqual([cameras[dashed(n)]["reason"] for n in names], ["installed", "installed", "ftp-login"])

    def test_dialog_range_batch(self):
        if self.driver is None:
            self.skipTest("no GUI driver given")
        names = ["g" + s for s, _ in FIVE]
        code, out, err = self.run_booting(names, "install_gui_driver", "--batch", "--range",
                                          "10.213.7.50-10.213.7.59", "--mask", "255.255.255.0",
                                          *[dashed(n) for n in names],
                                          env=[f"XDG_RUNTIME_DIR={self.work}", "QT_QPA_PLATFORM=offscreen"])
        self.assertEqual(code, 1, out + err)
        self.check_five("g", 50, batchlab.final_lines(out))
        for i, name in enumerate(names[:3]):  # the window's list follows each installation
            self.assertIn(f"row {dashed(name)} 10.213.7.{50 + i} Yes\n", out)


if __name__ == "__main__":
    sys.exit(userlab.main(BatchLab))
