"""The main window, offscreen with its real sockets, in the pc namespace of a lab: the rows it shows after the
start-up search and after pressing Search. The probe binary comes from the environment variable GUI_PROBE."""

import os
import subprocess
import threading
import time
import unittest

from labtest import LabTestCase

WIRED = "02:5E:A1:CC:55:BA"     # NV4412-0104: DHCP only
WIRELESS = "02:5E:A1:CC:55:C7"  # QM52X3-0200: answers the XRM search
OUTSIDE = "02:5E:A1:CC:55:BB"   # outside the camera ranges
SEARCH_MS = 3000

def key(mac):
    return mac.replace(":", "-")


class GuiList(LabTestCase):
    prefix_stem = "gui"

    def setUp(self):
        super().setUp()
        self.probe_binary = os.environ.get("GUI_PROBE", "")
        if not os.access(self.probe_binary, os.X_OK):
            self.skipTest("GUI_PROBE does not name the gui_list_probe binary")
        self.env["QT_QPA_PLATFORM"] = "offscreen"

    def run_probe(self, during=(), select=""):
        timers = [threading.Timer(delay, self.lab, args) for delay, args in during]
        started = time.monotonic()
        p = self.client.spawn("pc", "env", "QT_QPA_PLATFORM=offscreen", self.probe_binary, "--search-ms",
                              str(SEARCH_MS), "--select", select, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        for t in timers:
            t.start()
        out, err = p.communicate(timeout=60)
        for t in timers:
            t.join()
        self.elapsed = time.monotonic() - started
        self.assertEqual(p.returncode, 0, out + err)
        lines = [line.split() for line in out.splitlines()]
        rows = {}
        for tag in ("startup", "search"):
            rows[tag] = {f[1]: dict(zip(("address", "assigned", "wireless", "model", "xrm"), f[2:]))
                         for f in lines if f and f[0] == tag}
        messages = [" ".join(f) for f in lines if f and f[0] == "message"]
        buttons = [f for f in lines if f and f[0] == "buttons"]
        return rows, messages, buttons

    def test_window_lists_the_lab_cameras_and_search_starts_the_list_again(self):
        self.up(f"name=wired,mac={WIRED},host=NV4412-0104,xrm=0,model=NV4412,boot=hold;"
                f"name=wireless,mac={WIRELESS},host=QM52X3-0200,model=QM52X3;"
                f"name=outside,mac={OUTSIDE},host=NV4413-0102,model=NV4413")
        rows, messages, buttons = self.run_probe(during=[(1.0, ["boot", "wired"])], select=key(WIRELESS))
        wired, wireless = self.state("wired"), self.state("wireless")
        self.assertEqual(messages, [], "nothing went wrong at start-up")

        startup = rows["startup"]
        self.assertEqual(sorted(startup), sorted([key(WIRED), key(WIRELESS)]), "outside camera never listed")
        self.assertEqual(startup[key(WIRED)],
                         {"address": wired["address"], "assigned": "No", "wireless": "NO", "model": "Tavix-10",
                          "xrm": "NO"})
        self.assertEqual((startup[key(WIRELESS)]["address"], startup[key(WIRELESS)]["assigned"],
                          startup[key(WIRELESS)]["wireless"]), (wireless["address"], "Yes", "YES"))

        # Search empties the list; only the camera that answers the search comes back.
        self.assertEqual(list(rows["search"]), [key(WIRELESS)])
        self.assertEqual(rows["search"][key(WIRELESS)]["assigned"], "Yes")
        self.assertEqual(rows["search"][key(WIRELESS)]["address"], wireless["address"])
        self.assertGreaterEqual(self.state("wireless")["xrm_ack_count"], 2, "both answers acknowledged")
        self.assertEqual(buttons, [["buttons", key(WIRELESS), "install=0", "web=1"]])
        # Two searches and the exit, and no more.
        self.assertLess(self.elapsed, 2 * SEARCH_MS / 1000 + 10)


if __name__ == "__main__":
    unittest.main()
