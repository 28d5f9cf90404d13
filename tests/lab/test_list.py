"""camera-setup list run in the pc namespace of a lab by an ordinary user with a helper that holds the
capabilities: the rows that the cameras' DHCP and XRM traffic make. The binary comes from the environment
variable CAMERA_SETUP (set by ctest); the helper is the one built beside it."""

import csv
import io
import json
import os
import subprocess
import threading
import time

import asuser
from labtest import LabTestCase, labcore

NV4412 = "02:5E:A1:CC:55:BA"
QM52X3 = "02:5E:A1:CC:55:C7"
OUTSIDE = "02:5E:A1:CC:55:BB"
NOADDR = "02:5E:A1:CC:55:C8"


def key(mac):
    return mac.replace(":", "-")


class ListCommand(LabTestCase):
    def setUp(self):
        super().setUp()
        self.binary = os.environ.get("CAMERA_SETUP", "")
        if not os.access(self.binary, os.X_OK):
            self.skipTest("CAMERA_SETUP does not name the camera-setup binary")
        self.user = asuser.UserCopy({"camera-setup": self.binary}, asuser.helper_beside(self.binary))
        self.addCleanup(self.user.remove)

    def run_list(self, seconds, fmt="csv", during=(), uid=asuser.MEMBER):
        """Runs list for SECONDS as uid; DURING is a list of (delay, lab arguments) started while it listens."""
        timers = [threading.Timer(delay, self.lab, args) for delay, args in during]
        started = time.monotonic()
        p = subprocess.Popen([labcore.HERE + "/lab", "exec", "pc", *self.user.command(
            "camera-setup", "list", "--seconds", str(seconds), "--format", fmt, uid=uid)], env=self.env,
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        for t in timers:
            t.start()
        out, err = p.communicate(timeout=seconds + 30)
        for t in timers:
            t.join()
        self.elapsed = time.monotonic() - started
        self.assertEqual(p.returncode, 0, err)
        self.stderr = err
        if fmt == "json":
            return json.loads(out)
        return list(csv.DictReader(io.StringIO(out)))

    def test_dhcp_camera_row_says_no_with_model_and_wireless_from_its_host_name(self):
        # Replies to the camera's MAC never reach the pc: the address comes from the camera's own request, and
        # the settings show what the pc saw.
        told = ("255.255.255.0", labcore.DHCP_ADDR, labcore.DHCP_ADDR, labcore.DNS2_ADDR)
        for replies, settings in (("broadcast", told), ("unicast", ("0.0.0.0",) * 4)):
            with self.subTest(replies=replies):
                self.up(f"name=c1,mac={NV4412},host=NV4412-0104,xrm=0,boot=hold,replies={replies}")
                rows = self.run_list(4, during=[(1.0, ["boot", "c1"])])
                st = self.state("c1")
                self.assertEqual(len(rows), 1, rows)
                r = rows[0]
                self.assertEqual((r["Mac Address"], r["Current IP Address"], r["Assigned"]),
                                 (key(NV4412), st["address"], "No"))
                self.assertEqual((r["Wireless"], r["Model"], r["XRM Support"]), ("NO", "Tavix-10", "NO"))
                self.assertEqual((r["Subnet"], r["Gateway"], r["Dns1"], r["Dns2"]), settings)
                self.down_and_check()

    def test_static_camera_in_a_second_subnet_of_the_pcs_port(self):
        self.up(f"name=c1,mac={QM52X3},host=QM52X3-0200,boot=static:10.99.0.50/24;"
                f"name=c2,mac={NOADDR},host=none,boot=static:10.213.7.60/24", "--pc-address", "10.99.0.1/24")
        rows = self.run_list(3)
        self.assertEqual(sorted((r["Mac Address"], r["Current IP Address"], r["Assigned"]) for r in rows),
                         [(key(QM52X3), "10.99.0.50", "Yes"), (key(NOADDR), "10.213.7.60", "Yes")])
        self.assertGreaterEqual(self.state("c1")["xrm_ack_count"], 1, "acknowledged in its own subnet")

    def test_xrm_camera_shows_dashes_until_it_answers_then_yes_with_its_address(self):
        self.up(f"name=c1,mac={QM52X3},host=QM52X3-0200,model=QM52X3,boot=hold,xrmdelay=1.5")
        # Seen booting, its answer not yet in: the DHCP path alone marks it as an XRM camera.
        rows = self.run_list(1, during=[(0.1, ["boot", "c1"])])
        self.assertEqual([(r["Mac Address"], r["Assigned"], r["Wireless"], r["XRM Support"]) for r in rows],
                         [(key(QM52X3), "'------", "YES", "YES")])  # CSV escapes it as a formula cell
        rows = self.run_list(4)
        st = self.state("c1")
        self.assertEqual([(r["Mac Address"], r["Current IP Address"], r["Assigned"], r["Wireless"]) for r in rows],
                         [(key(QM52X3), st["address"], "Yes", "YES")])
        self.assertGreaterEqual(st["xrm_ack_count"], 1, "the program acknowledges the answer")

    def test_camera_outside_the_ranges_never_appears(self):
        # The outside camera is up for the first broadcast and boots again while the program listens.
        self.up(f"name=c1,mac={OUTSIDE},host=NV4413-0102;name=c2,mac={NV4412},host=NV4412-0104,xrm=0,boot=hold")
        rows = self.run_list(4, during=[(0.8, ["boot", "c1", "--silence", "0.2"]), (0.8, ["boot", "c2"])])
        st = self.state("c1")
        self.assertGreaterEqual(st["xrm_query_count"], 1, "the outside camera was asked and answered")
        self.assertEqual(st["boots"], 2)
        self.assertEqual([r["Mac Address"] for r in rows], [key(NV4412)])

    def test_second_boot_updates_the_row_and_adds_none(self):
        self.up(f"name=c1,mac={QM52X3},host=QM52X3-0200,boot=hold;name=c2,mac={NV4412},host=NV4412-0104,xrm=0,"
                "boot=hold")
        rows = self.run_list(9, fmt="json", during=[(0.8, ["boot", "c1"]), (0.8, ["boot", "c2"]),
                                                   (4.0, ["boot", "c1", "--silence", "0.3"]),
                                                   (4.0, ["boot", "c2", "--silence", "0.3"])])
        for name in ("c1", "c2"):
            self.assertEqual(self.state(name)["boots"], 2, name)
        self.assertEqual(sorted(r["Mac Address"] for r in rows), sorted([key(QM52X3), key(NV4412)]))
        by_key = {r["Mac Address"]: r for r in rows}
        self.assertEqual(by_key[key(QM52X3)]["Assigned"], "Yes")
        self.assertEqual(by_key[key(QM52X3)]["Current IP Address"], self.state("c1")["address"])
        self.assertEqual(by_key[key(NV4412)]["Assigned"], "No")
        self.assertEqual(by_key[key(NV4412)]["Current IP Address"], self.state("c2")["address"])

    def test_burst_of_1000_cameras_within_one_list(self):
        for flags in ([], ["--no-default-route"]):
            with self.subTest(flags=flags):
                self.up(f"name=c1,mac={NV4412},xrm=0", "--burst", *flags)
                rows = self.run_list(5)
                burst = {key(labcore.mac_text(m)) for m in labcore.burst_macs()}
                found = {r["Mac Address"] for r in rows} & burst
                self.assertEqual(len(found), 1000, f"{len(found)} of the burst in {self.elapsed:.1f} s")
                self.assertEqual(len(rows), len({r["Mac Address"] for r in rows}), "one row per camera")
                self.assertTrue(all(r["Assigned"] == "Yes" for r in rows if r["Mac Address"] in burst))
                self.down_and_check()

    def test_user_outside_the_group_gets_one_line_and_the_xrm_search(self):
        self.up(f"name=c1,mac={QM52X3},host=QM52X3-0200;name=c2,mac={NV4412},host=NV4412-0104,xrm=0,boot=hold")
        rows = self.run_list(3, uid=asuser.OUTSIDER, during=[(0.8, ["boot", "c2"])])
        self.assertEqual([(r["Mac Address"], r["Assigned"]) for r in rows], [(key(QM52X3), "Yes")])
        lines = [line for line in self.stderr.splitlines() if "usermod" in line]
        self.assertEqual(len(lines), 1, self.stderr)
        self.assertIn("may not run", lines[0])
        self.assertIn("the XRM search works", lines[0])
        self.assertIn("sudo usermod -aG camera-setup $USER", lines[0])
