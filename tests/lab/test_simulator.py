"""The camera simulators, checked from the pc namespace with plain sockets: what the program will rely on."""

import base64
import ipaddress
import json
import os
import subprocess
import time

import labtest
from labtest import LabTestCase, labcore, reset_to

MAC1 = "02:5E:A1:CC:55:C7"
PW1 = "025EA1CC55C7"


class Boot(LabTestCase):
    def test_dhcp_boot_is_seen_by_the_pc(self):
        self.up(f"name=c1,mac={MAC1},host=QM52X3-0200,boot=hold")
        listener = self.probe_background("dhcp", "4")
        listener.stderr.readline()  # "listening"
        self.lab("boot", "c1")
        out, err = listener.communicate(timeout=30)
        packets = json.loads(out)
        mine = [p for p in packets if p["chaddr"] == MAC1]
        client = [p for p in mine if p["port"] == 67]
        server = [p for p in mine if p["port"] == 68]
        self.assertTrue(client, packets)
        for p in client:
            self.assertEqual(p["ciaddr"], "0.0.0.0")
            self.assertEqual(bytes.fromhex(p["options"]["12"]), b"QM52X3-0200")
            self.assertTrue(p["flags"] & 0x8000, "broadcast replies requested")
        acks = [p for p in server if p["options"].get("53") == "05"]
        self.assertEqual(len(acks), 1, server)
        ack = acks[0]
        self.assertEqual(ack["options"]["3"], ipaddress.IPv4Address(labcore.DHCP_ADDR).packed.hex())
        self.assertEqual(ack["options"]["6"], (ipaddress.IPv4Address(labcore.DHCP_ADDR).packed
                                               + ipaddress.IPv4Address(labcore.DNS2_ADDR).packed).hex())
        self.assertEqual(ack["options"]["1"], "ffffff00")
        st = self.wait_state("c1", lambda s: s["phase"] == "up")
        self.assertEqual(st["address"], ack["yiaddr"])
        self.assertEqual(st["addresses"], [ack["yiaddr"] + "/24"])

    def test_camera_without_host_name_sends_no_host_name_option(self):
        self.up(f"name=c1,mac={MAC1},host=none,boot=hold")
        listener = self.probe_background("dhcp", "3")
        listener.stderr.readline()
        self.lab("boot", "c1")
        packets = [p for p in json.loads(listener.communicate(timeout=30)[0]) if p["port"] == 67]
        self.assertTrue(packets)
        self.assertTrue(all("12" not in p["options"] for p in packets))

    def test_boot_of_several_names_boots_none_when_one_is_unknown(self):
        self.up(f"name=c1,mac={MAC1},boot=hold;name=c2,mac=02:5E:A1:CC:55:C8,boot=hold")
        r = self.lab("boot", "c1", "c3", check=False)
        self.assertEqual(r.returncode, 1)
        self.assertIn("no camera 'c3'", r.stderr)
        time.sleep(0.5)
        self.assertEqual([self.state(n)["phase"] for n in ("c1", "c2")], ["held", "held"])
        self.lab("boot", "--all")
        for name in ("c1", "c2"):
            self.wait_state(name, lambda s: s["phase"] == "up" and s["address"], what="boot")

    def test_noaddr_camera_has_no_address_and_sends_no_dhcp(self):
        self.up(f"name=c1,mac={MAC1},boot=noaddr")
        st = self.state("c1")
        self.assertEqual((st["phase"], st["address"], st["addresses"]), ("up", None, []))
        self.assertIsNone(st["lease"])


class Xrm(LabTestCase):
    def test_record_carries_identifier_and_five_options_and_acks_are_recorded(self):
        self.up(f"name=c1,mac={MAC1},host=QM52X3-0200,model=QM52X3,fw=V9.9,value=0x01020304")
        st = self.state("c1")
        r = self.probe("xrm", "1.5", "--ack", "--id", "3735928559")
        self.assertEqual(len(r["answers"]), 1, r)
        a = r["answers"][0]
        self.assertEqual((a["type"], a["id"], a["codes"]), (2, 3735928559, [1, 2, 3, 4, 5]))
        self.assertEqual((a["model"], a["mac"], a["addr"], a["fw"], a["value"]),
                         ("QM52X3", MAC1, st["address"], "V9.9", 0x01020304))
        self.assertEqual((a["from"], a["port"]), (st["address"], labcore.XRM_PORT))
        st = self.wait_state("c1", lambda s: s["xrm_ack_count"] == 1, what="one ack")
        self.assertEqual(st["xrm_query_count"], 1)
        self.assertEqual(st["xrm_queries"][0]["from"], f"{labcore.PC_ADDR}:{labcore.XRM_CLIENT_PORT}")
        self.assertEqual([q["id"] for q in st["xrm_acks"]], [3735928559])

    def test_camera_without_address_answers_by_broadcast_also_without_default_route(self):
        for flags in ([], ["--no-default-route"]):
            with self.subTest(flags=flags):
                self.up(f"name=c1,mac={MAC1},boot=noaddr,model=QM52X2", *flags)
                a = self.probe("xrm", "1.5")["answers"]
                self.assertEqual([(x["from"], x["addr"], x["mac"]) for x in a], [("0.0.0.0", "0.0.0.0", MAC1)])
                self.assertEqual(self.state("c1")["xrm_query_count"], 1)
                self.down_and_check()

    def test_camera_without_xrm_records_the_query_but_stays_quiet(self):
        self.up(f"name=c1,mac={MAC1},host=NV4412-0104,xrm=0")
        self.assertEqual(self.probe("xrm", "1.5")["answers"], [])
        self.assertEqual(self.state("c1")["xrm_query_count"], 1)

    def test_slow_camera_answers_after_its_delay(self):
        self.up(f"name=c1,mac={MAC1},xrmdelay=1.5")
        a = self.probe("xrm", "3")["answers"]
        self.assertEqual(len(a), 1)
        self.assertGreaterEqual(a[0]["after"], 1.4)

    def test_burst_host_answers_as_1000_distinct_cameras_inside_the_ranges(self):
        self.up(f"name=c1,mac={MAC1},xrm=0", "--burst")
        r = self.probe("xrm", "3", "--ack")
        macs = [a["mac"] for a in r["answers"] if a["from"] == labcore.BURST_ADDR]
        self.assertEqual(len(macs), 1000)
        self.assertEqual(len(set(macs)), 1000)
        self.assertTrue(all(labcore.in_camera_ranges(labcore.parse_mac(m)) for m in macs))
        self.assertTrue(all(a["id"] == r["id"] for a in r["answers"]))
        st = self.wait_state("burst", lambda s: s.get("xrm_ack_count") == 1000, what="1000 acks")
        self.assertEqual(st["xrm_query_count"], 1)


class Takeover(LabTestCase):
    def test_echo_to_the_camera_mac_gives_it_the_address(self):
        cases = [("10.213.7.50", "10.213.7.50/24"), ("192.168.77.9", "192.168.77.9/32")]
        self.up(f"name=c1,mac={MAC1},host=QM52X3-0200")
        old = self.state("c1")["address"]
        for addr, shown in cases:
            with self.subTest(addr=addr):
                replies = self.probe("ping", addr, "4", "--mac", MAC1)
                self.assertFalse(replies[0]["reply"], "the first echo only makes the camera take the address")
                self.assertTrue(replies[-1]["reply"], replies)
                st = self.state("c1")
                self.assertEqual((st["address"], st["addresses"]), (addr, [shown]))
                self.assertEqual(st["takeovers"][-1]["address"], addr)
                # FTP moved with the address.
                self.assertTrue(self.probe("ftp-get", addr, PW1, "--mac", MAC1)["ok"])
        self.assertFalse(self.probe("ftp-get", old, PW1)["ok"])

    def test_echo_without_neighbour_entry_reaches_no_camera(self):
        self.up(f"name=c1,mac={MAC1}")
        self.assertFalse(any(r["reply"] for r in self.probe("ping", "10.213.7.60", "2")))
        self.assertEqual(self.state("c1")["takeovers"], [])

    def test_taken_address_is_answered_by_another_host(self):
        self.up(f"name=c1,mac={MAC1},taken=10.213.7.77")
        self.assertTrue(self.probe("ping", "10.213.7.77", "1")[0]["reply"])
        self.assertNotEqual(self.state("c1")["address"], "10.213.7.77")
        status = self.lab("status").stdout
        self.assertIn("10.213.7.77/24", status)


class Ftp(LabTestCase):
    def test_config_ini_has_crlf_lines_and_every_tag_with_a_value(self):
        self.up(f"name=c1,mac={MAC1},host=QM52X3-0200")
        r = self.probe("ftp-get", self.state("c1")["address"], PW1)
        self.assertTrue(r["ok"], r)
        data = base64.b64decode(r["data"])
        self.assertTrue(data.endswith(b"\r\n"))
        self.assertNotIn(b"\n", data.replace(b"\r\n", b""))
        lines = data.split(b"\r\n")
        tags = ["<reset system>", "<install enabled>", "<subnet mask>", "<gateway ip>", "<primary name server>",
                "<secondary name server>", "<SSID>", "<wireless mode>", "<channel>", "<Tx rate>", "<preamble>",
                "<data encryption>", "<authentication mode>", "<key length>", "<key format>", "<key select>",
                "<key 1>", "<key 2>", "<key 3>", "<key 4>"]
        for tag in tags:
            self.assertEqual(lines.count(tag.encode()), 1, tag)
            self.assertLess(lines.index(tag.encode()) + 1, len(lines), tag)
        self.assertEqual(lines[lines.index(b"<reset system>") + 1], b"NO")
        unknown = [ln for ln in lines if ln.startswith(b"<") and ln.decode() not in tags]
        self.assertTrue(unknown, "lines the program does not know")

    def test_login_needs_the_password(self):
        cases = [(f"name=c1,mac={MAC1}", PW1, True), (f"name=c1,mac={MAC1}", PW1.lower(), False),
                 (f"name=c1,mac={MAC1},password=secret", PW1, False),
                 (f"name=c1,mac={MAC1},password=secret", "secret", True)]
        for listing, pw, ok in cases:
            with self.subTest(listing=listing, pw=pw):
                self.up(listing)
                self.assertEqual(self.probe("ftp-get", self.state("c1")["address"], pw)["ok"], ok)
                self.assertEqual([x["ok"] for x in self.state("c1")["ftp_logins"]], [ok])
                self.down_and_check()

    def test_refused_upload_keeps_the_file(self):
        self.up(f"name=c1,mac={MAC1},upload=refuse")
        addr = self.state("c1")["address"]
        before = base64.b64decode(self.probe("ftp-get", addr, PW1)["data"])
        r = self.upload(addr, PW1, reset_to(before, b"YES"))
        self.assertFalse(r["ok"])
        self.assertIn("550", r["error"])
        st = self.state("c1")
        self.assertEqual((st["uploads"], st["restarts"], st["phase"]), (0, 0, "up"))
        with open(st["config_ini"], "rb") as f:
            self.assertEqual(f.read(), before)

    def test_connection_drops_in_mid_transfer(self):
        for direction in ("get", "put"):
            with self.subTest(direction=direction):
                self.up(f"name=c1,mac={MAC1},drop={direction}")
                st = self.state("c1")
                with open(st["config_ini"], "rb") as f:
                    before = f.read()
                if direction == "get":
                    r = self.probe("ftp-get", st["address"], PW1)
                    self.assertFalse(r["ok"], r)
                    self.assertIn("ConnectionResetError", r["error"])
                else:
                    r = self.upload(st["address"], PW1, reset_to(before, b"YES"))
                    self.assertFalse(r["ok"], r)
                time.sleep(0.5)
                st = self.state("c1")
                self.assertEqual((st["uploads"], st["restarts"], st["phase"]), (0, 0, "up"))
                with open(st["config_ini"], "rb") as f:
                    self.assertEqual(f.read(), before, "a cut transfer leaves the camera's file whole")
                self.down_and_check()


class Restart(LabTestCase):
    def silent_then_back(self, addr, silence):
        """Echo every 0.25 s: -> (seconds silent, replies after silence)."""
        replies = self.probe("ping", addr, str(int((silence + 4) * 4)), "--interval", "0.25", "--wait", "0.2",
                             timeout=60)
        down = [r for r in replies if not r["reply"]]
        return replies, down

    def test_reset_upload_makes_the_camera_fall_silent_and_boot_again_at_its_address(self):
        # Restarting 0.3 s after the upload's reply, it answers QUIT; restarting at once it never does, and the
        # connection is reset once it is back.
        for restart, goodbye in (("normal", "221"), ("instant", "reset")):
            with self.subTest(restart=restart):
                self.up(f"name=c1,mac={MAC1},host=QM52X3-0200,restart={restart}")
                replies = self.probe("ping", "10.213.7.50", "3", "--mac", MAC1)
                self.assertTrue(replies[-1]["reply"])
                data = base64.b64decode(self.probe("ftp-get", "10.213.7.50", PW1)["data"])
                new = reset_to(data, b"YES").replace(b"<SSID>\r\ndefault", b"<SSID>\r\nlabnet")
                t0 = time.time()
                put = self.upload("10.213.7.50", PW1, new, goodbye=15)
                self.assertTrue(put["ok"], put)
                self.assertTrue(put["reply"].startswith("226"), put)
                self.assertEqual(put["goodbye"], goodbye, put)
                if restart == "instant":
                    self.assertGreaterEqual(put["goodbye_after"], 2.5, "reset only once the camera is back")
                else:
                    silent = self.wait_state("c1", lambda s: s["phase"] == "silent", timeout=5, what="silence")
                    self.assertEqual(silent["restarts"], 0)
                    self.assertEqual(self.probe("xrm", "0.5")["answers"], [], "no XRM answers while silent")
                    self.assertFalse(self.probe("ftp-get", "10.213.7.50", PW1, "--timeout", "0.8")["ok"],
                                     "no FTP while silent")
                st = self.wait_state("c1", lambda s: s["restarts"] == 1 and s["phase"] == "up", timeout=15,
                                     what="restart")
                self.assertGreaterEqual(time.time() - t0, 3.0)
                self.assertEqual((st["address"], st["boots"], st["uploads"]), ("10.213.7.50", 2, 1))
                self.assertIsNotNone(st["lease"], "the restart ran DHCP again")
                with open(st["config_ini"], "rb") as f:
                    self.assertEqual(f.read(), new)
                self.assertTrue(self.probe("ping", "10.213.7.50", "1")[0]["reply"])
                self.assertEqual([a["addr"] for a in self.probe("xrm", "1")["answers"]], ["10.213.7.50"])
                self.assertTrue(self.probe("ftp-get", "10.213.7.50", PW1)["ok"])
                self.down_and_check()

    def test_upload_without_reset_is_stored_and_the_camera_stays_up(self):
        self.up(f"name=c1,mac={MAC1}")
        addr = self.state("c1")["address"]
        data = base64.b64decode(self.probe("ftp-get", addr, PW1)["data"])
        new = data.replace(b"<channel>\r\n6", b"<channel>\r\n11")
        self.assertTrue(self.upload(addr, PW1, new)["ok"])
        time.sleep(1)
        st = self.state("c1")
        self.assertEqual((st["uploads"], st["restarts"], st["phase"]), (1, 0, "up"))
        self.assertEqual(base64.b64decode(self.probe("ftp-get", addr, PW1)["data"]), new)

    def test_camera_that_never_comes_back(self):
        self.up(f"name=c1,mac={MAC1},silence=1,comeback=0")
        addr = self.state("c1")["address"]
        data = base64.b64decode(self.probe("ftp-get", addr, PW1)["data"])
        self.assertTrue(self.upload(addr, PW1, reset_to(data, b"YES"))["ok"])
        self.wait_state("c1", lambda s: s["phase"] == "gone", timeout=10, what="gone")
        self.assertFalse(any(r["reply"] for r in self.probe("ping", addr, "3")))
        self.assertEqual(self.state("c1")["restarts"], 0)

    def test_power_cycle_boots_with_dhcp_again(self):
        self.up(f"name=c1,mac={MAC1},host=NV4412-0105")
        self.lab("boot", "c1", "--silence", "0.5")
        st = self.wait_state("c1", lambda s: s["boots"] == 2 and s["phase"] == "up", what="second boot")
        self.assertEqual(st["restarts"], 1)


class Lifecycle(LabTestCase):
    def test_up_and_down_twice_are_harmless(self):
        r = self.lab("down")
        self.assertIn("no lab", r.stdout)
        self.up(f"name=c1,mac={MAC1}")
        pid = self.state("c1")["pid"]
        r = self.lab("up", "--cameras", f"name=c1,mac={MAC1}")
        self.assertIn("already up", r.stdout)
        self.assertEqual(self.state("c1")["pid"], pid)

    def test_default_cameras(self):
        self.up(labcore.DEFAULT_CAMERAS)
        lab = labcore.read_json(f"/run/{self.prefix}/lab.json")
        self.assertEqual(sorted(lab["cameras"]), ["noaddr", "outside", "unicast", "wired", "wireless"])
        names = {a["mac"] for a in self.probe("xrm", "1.5")["answers"]}
        self.assertEqual(names, {"02:5E:A1:CC:55:C7", "02:5E:A1:CC:55:C8", "02:5E:A1:CC:55:BB"})

    def test_two_prefixes_do_not_touch_each_other(self):
        self.up(f"name=c1,mac={MAC1}")
        other = LabTestCase("run")
        other.prefix = self.prefix + "x"
        other.env = dict(os.environ, LAB_PREFIX=other.prefix)
        other.pids = []
        try:
            r = other.lab("up", "--cameras", f"name=c1,mac={MAC1}")
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertEqual(self.state("c1")["phase"], "up")
            other.down_and_check()
            self.assertEqual(self.state("c1")["phase"], "up")
            self.assertTrue(self.state("c1")["running"])
        finally:
            other.lab("down", check=False)

    def test_errors_are_clear(self):
        cases = [
            (["up", "--cameras", "mac=zz"], "bad MAC"),
            (["up", "--cameras", "mac=02:5E:A1:CC:55:C7,colour=red"], "unknown key"),
            (["state", "c1"], "no lab"),
            (["exec", "pc", "true"], "no lab"),
        ]
        for args, text in cases:
            with self.subTest(args=args):
                r = self.lab(*args, check=False)
                self.assertEqual(r.returncode, 1)
                self.assertIn(text, r.stderr)
        self.assertFalse(os.path.exists(f"/run/{self.prefix}"))

    def test_needs_root(self):
        r = subprocess.run(["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", labtest.PYTHON,
                            labtest.LAB, "status"], env=self.env, capture_output=True, text=True)
        self.assertEqual(r.returncode, 1)
        self.assertIn("needs root", r.stderr)
