#!/usr/bin/python3
"""Installs lab cameras end to end with `camera-setup install` (and, when given, the offscreen GUI driver), run as
an ordinary user with a copy of camera-setup-helper that holds the capabilities, and checks each camera's
config.ini afterwards against an independent rewrite of its original, every failure path's final text, and
that no neighbour entry, route, rule or file is left behind.

Usage: install_lab_test.py CAMERA_SETUP [GUI_DRIVER]   (root; exit 77 = skipped)
"""

import json
import signal
import os
import shutil
import subprocess
import sys
import tempfile
import time

import asuser
import userlab
from labclient import LabClient
from rewrite import base_values, expected_rewrite

HERE = os.path.dirname(os.path.abspath(__file__))
PREFIX = f"inst-{os.getpid()}"

CAMERAS = {
    # name: (mac, extra lab keys)
    "ok": ("02:5E:A1:CD:E1:01", "host=NV4412-0104,xrm=0,restart=instant"),
    "wifi": ("02:5E:A1:CD:E1:02", "host=NV4413-0101,xrm=0"),
    "busy": ("02:5E:A1:CD:E1:03", "host=NV4412-0104,xrm=0,taken=10.213.7.63"),
    "locked": ("02:5E:A1:CD:E1:04", "host=NV4412-0104,xrm=0,password=Secret1"),
    "locked2": ("02:5E:A1:CD:E1:05", "host=NV4412-0104,xrm=0,password=Other"),
    "readonly": ("02:5E:A1:CD:E1:06", "host=NV4412-0104,xrm=0,upload=refuse"),
    "gone": ("02:5E:A1:CD:E1:07", "host=NV4412-0104,xrm=0,comeback=0"),
    "dgram": ("02:5E:A1:CD:E1:08", "host=NV4412-0104,xrm=0"),
    "guiok": ("02:5E:A1:CD:E1:09", "host=NV4412-0104,xrm=0,restart=instant"),
    "guicancel": ("02:5E:A1:CD:E1:0A", "host=NV4412-0104,xrm=0"),
    "guilocked": ("02:5E:A1:CD:E1:0B", "host=NV4412-0104,xrm=0,password=Secret2"),
    "guilocked2": ("02:5E:A1:CD:E1:0C", "host=NV4412-0104,xrm=0,password=Other"),
    "guiwifi": ("02:5E:A1:CD:E1:0D", "host=NV4413-0101,xrm=0"),
    "guibusy": ("02:5E:A1:CD:E1:0E", "host=NV4412-0104,xrm=0,taken=10.213.7.73"),
    "guireadonly": ("02:5E:A1:CD:E1:0F", "host=NV4412-0104,xrm=0,upload=refuse"),
    "guigone": ("02:5E:A1:CD:E1:10", "host=NV4412-0104,xrm=0,comeback=0"),
    "interrupted": ("02:5E:A1:CD:E1:11", "host=NV4412-0104,xrm=0,comeback=0"),
    "guiterm": ("02:5E:A1:CD:E1:12", "host=NV4412-0104,xrm=0,comeback=0"),
    "cut": ("02:5E:A1:CD:E1:13", "host=NV4412-0104,xrm=0,truncate=40"),
    "nopasv": ("02:5E:A1:CD:E1:14", "host=NV4412-0104,xrm=0,passive=refuse"),
    "cutput": ("02:5E:A1:CD:E1:15", "host=NV4412-0104,xrm=0,drop=put"),
    "shy": ("02:5E:A1:CD:E1:17", "host=NV4412-0104,xrm=0,taken=10.213.7.83,icmp=drop"),
    "unplugged": ("02:5E:A1:CD:E1:18", "host=NV4412-0104,xrm=0,comeback=0"),
    "killed": ("02:5E:A1:CD:E1:19", "host=NV4412-0104,xrm=0,comeback=0"),
    "outsider": ("02:5E:A1:CD:E1:1A", "host=NV4412-0104,xrm=0"),
    "plugin": ("02:5E:A1:CD:E1:1B", "host=NV4412-0104,xrm=0"),
    "unicast": ("02:5E:A1:CD:E1:1C", "host=NV4412-0104,xrm=0,replies=unicast"),
    "guiunicast": ("02:5E:A1:CD:E1:1D", "host=NV4412-0104,xrm=0,replies=unicast"),
    # Clears its restart request once it has restarted, as the real ones do.
    "undo": ("02:5E:A1:CD:E1:1E", "host=NV4412-0104,xrm=0,reset=clear"),
    "revert": ("02:5E:A1:CD:E1:1F", "host=NV4412-0104,xrm=0,revert=gateway ip"),
    "nobackup": ("02:5E:A1:CD:E1:20", "host=NV4412-0104,xrm=0"),
}

lab = LabClient(PREFIX)
state = lab.state


class InstallLab(userlab.UserLabCase):
    lab = lab
    cameras = CAMERAS

    def install(self, name, *args, stdin="", uid=asuser.MEMBER, env=(), verb="install"):
        """Runs the headless install (or another verb) of camera `name` as uid, booting the camera once discovery
        listens."""
        mac = CAMERAS[name][0].replace(":", "-")
        command = self.user.command("camera-setup", verb, mac, *args, uid=uid,
                                    env=[f"TMPDIR={self.tmp}", *env])
        started = time.monotonic()
        process = lab.spawn("pc", *command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        time.sleep(1.0)
        lab("boot", name)
        try:
            out, err = process.communicate(stdin, timeout=150)
        except subprocess.TimeoutExpired:
            process.kill()
            out, err = process.communicate()
        return process.returncode, out, err, time.monotonic() - started

    def test_install_ok_rewrites_config_byte_for_byte(self):
        code, out, err, seconds = self.install("ok", "--ip", "10.213.7.61", "--findable")
        self.assertEqual(code, 0, out + err)
        self.assertEqual(out.splitlines()[-1], "Install OK")
        self.assertEqual(out.splitlines()[0], "[  0] Checking the IP address if it is valid...")
        self.assertIn("44 bytes from 10.213.7.61: icmp_seq = ", err)
        self.assertIn("echo channel", err)  # the helper's: the user may not open an ICMP datagram socket
        self.assertEqual(self.config("ok"), expected_rewrite(self.originals["ok"], base_values(findable=True), False))
        st = lab("wait", "ok", "--phase", "up", "--address", "10.213.7.61", "--timeout", "10")
        self.assertEqual(st.returncode, 0)
        print(f"\nwhole headless installation: {seconds:.2f} s", file=sys.stderr)

    def records(self, name, data):
        """The user's record folder of camera `name` under data folder `data`: file name -> bytes."""
        folder = os.path.join(data, "camera-setup", CAMERAS[name][0].replace(":", "-"))
        for path in (os.path.dirname(folder), folder):
            st = os.stat(path)
            self.assertEqual((st.st_mode & 0o777, st.st_uid), (0o700, asuser.MEMBER), path)
        files = {}
        for entry in sorted(os.listdir(folder)):
            st = os.stat(os.path.join(folder, entry))
            self.assertEqual(st.st_mode & 0o777, 0o600, entry)
            with open(os.path.join(folder, entry), "rb") as f:
                files[entry] = f.read()
        return files

    def test_restore_puts_the_original_file_back(self):
        data = self.user.private_dir()
        self.addCleanup(shutil.rmtree, data, True)
        env = [f"XDG_DATA_HOME={data}"]
        code, out, err, _ = self.install("undo", "--ip", "10.213.7.88", "--gateway", "10.213.7.9", env=env)
        self.assertEqual(code, 0, out + err)
        lease = state("undo")["lease"]["ip"]
        files = self.records("undo", data)
        previous = [n for n in files if n.endswith("-previous.ini")]
        self.assertEqual(len(previous), 1, files.keys())
        self.assertEqual(files[previous[0]], self.originals["undo"])
        record = json.loads(files[previous[0][:-len("-previous.ini")] + ".json"])
        self.assertEqual((record["outcome"], record["read_back"], record["old_address"], record["new_address"]),
                         ("installed", "verified", lease, "10.213.7.88"))
        self.assertIn({"tag": "<gateway ip>", "before": "10.213.7.1", "after": "10.213.7.9"}, record["changed"])
        # Back to the address it had and the file it had, byte for byte.
        code, out, err, seconds = self.install("undo", env=env, verb="restore")
        self.assertEqual(code, 0, out + err)
        self.assertEqual(out.splitlines()[-1], "Install OK")
        self.assertIn("Restoring the settings " + CAMERAS["undo"][0].replace(":", "-") + " had before ", out)
        self.assertEqual(self.config("undo"), self.originals["undo"])
        st = lab("wait", "undo", "--phase", "up", "--address", lease, "--timeout", "10")
        self.assertEqual(st.returncode, 0)
        records = [json.loads(b) for n, b in self.records("undo", data).items() if n.endswith(".json")]
        self.assertEqual([(r["action"], r["outcome"], r["read_back"]) for r in records],
                         [("install", "installed", "verified"), ("restore", "installed", "verified")])
        print(f"\nwhole restore: {seconds:.2f} s", file=sys.stderr)

    def test_camera_that_puts_its_gateway_back_is_not_kept(self):
        data = self.user.private_dir()
        self.addCleanup(shutil.rmtree, data, True)
        code, out, err, _ = self.install("revert", "--ip", "10.213.7.89", "--gateway", "10.213.7.9",
                                         env=[f"XDG_DATA_HOME={data}"])
        self.assertEqual(code, 1, out + err)
        self.assertEqual(out.splitlines()[-1], "Install Fail")
        self.assertIn("] The camera did not keep: <gateway ip>\n", out)
        self.assertIn(b"<gateway ip>\r\n10.213.7.1\r\n", self.config("revert"))
        record = [json.loads(b) for n, b in self.records("revert", data).items() if n.endswith(".json")][0]
        self.assertEqual((record["outcome"], record["read_back"]), ("not-kept", "differs"))
        self.assertEqual(record["differences"], [{"tag": "<gateway ip>", "written": "10.213.7.9",
                                                  "read_back": "10.213.7.1", "network": True}])

    def test_backup_that_cannot_be_kept_ends_before_the_upload(self):
        # A data folder the user may not write to (root's, 0755).
        data = tempfile.mkdtemp(dir=self.user.dir)
        self.addCleanup(shutil.rmtree, data, True)
        os.chmod(data, 0o755)
        code, out, err, _ = self.install("nobackup", "--ip", "10.213.7.90", env=[f"XDG_DATA_HOME={data}"])
        self.assertEqual(code, 1, out + err)
        self.assertIn("settings are not changed:\nno backup could be kept:\n" + data + "/camera-setup: Permission denied\n",
                      out)
        self.assertEqual(state("nobackup")["uploads"], 0)
        self.assertEqual(self.config("nobackup"), self.originals["nobackup"])

    def resolver_root(self):
        """A directory whose etc/resolv.conf names the local stub and 10.213.7.53, read in place of the pc's."""
        root = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, root)
        os.makedirs(os.path.join(root, "etc"))
        with open(os.path.join(root, "etc", "resolv.conf"), "w") as f:
            f.write("nameserver 127.0.0.53\nnameserver 10.213.7.53\n")
        os.chmod(root, 0o755)
        return root

    def test_settings_the_pc_never_saw_come_from_its_own_segment(self):
        # The server's replies went to the camera's MAC: mask and gateway are the pc's (its /24, its default
        # route's gateway), the name servers its link's other than the local stub.
        code, out, err, _ = self.install("unicast", "--ip", "10.213.7.86",
                                         env=[f"CAMERA_SETUP_RESOLVER_ROOT={self.resolver_root()}"])
        self.assertEqual(code, 0, out + err)
        self.assertEqual(self.config("unicast"),
                         expected_rewrite(self.originals["unicast"], base_values(dns1="10.213.7.53", dns2="0.0.0.0"),
                                          False))

    def test_wireless_camera_with_encryption(self):
        code, out, err, _ = self.install(
            "wifi", "--ip", "10.213.7.62", "--ssid", "lab-net", "--channel", "11", "--rate", "5.5", "--preamble",
            "short", "--mode", "adhoc", "--encryption", "--auth", "shared", "--key-length", "128", "--key-format",
            "ascii", "--key-select", "2", "--key2", "abcdefghijklm", "--key3", "xy")
        self.assertEqual(code, 0, out + err)
        values = base_values()
        values.update({"<SSID>": "lab-net", "<wireless mode>": "1", "<channel>": "11", "<Tx rate>": "5.5M",
                       "<preamble>": "short", "<data encryption>": "YES", "<authentication mode>": "shared",
                       "<key length>": "128bit", "<key format>": "ASCII", "<key select>": "2",
                       # ASCII keys keep their case; those not selected are cut or padded with "0" to 13.
                       "<key 1>": " " * 13, "<key 2>": "abcdefghijklm", "<key 3>": "xy" + "0" * 11,
                       "<key 4>": " " * 13})
        self.assertEqual(self.config("wifi"), expected_rewrite(self.originals["wifi"], values, True))

    def test_refused_settings_exit_2_before_anything_is_sent(self):
        code, out, err, _ = self.install("ok", "--ip", "10.213.7.64", "--ssid", "x")
        self.assertEqual(code, 2)
        self.assertIn("not wireless", err)
        code, out, err, _ = self.install("wifi", "--ip", "10.213.7.64", "--ssid", "has space")
        self.assertEqual(code, 2)
        self.assertIn("Error: You have used invalid characters.", err)
        # The subnet's broadcast address: an echo to it would reach every host, never the camera alone.
        code, out, err, _ = self.install("ok", "--ip", "10.213.7.255")
        self.assertEqual(code, 2)
        self.assertIn("Davuvive Zazezo: You must fill the correct IP address or subnet mask", err)

    def test_address_in_use(self):
        code, out, err, _ = self.install("busy", "--ip", "10.213.7.63")
        self.assertEqual(code, 1)
        self.assertTrue(out.endswith("This IP address is invalid.\nPlease enter an valid IP then try again !\n"), out)
        st = state("busy")
        self.assertEqual(st["uploads"], 0)
        self.assertEqual(st["takeovers"], [])
        self.assertEqual(self.config("busy"), self.originals["busy"])

    def test_wrong_password_retry_then_right_then_cancel(self):
        # Enter keeps port 21; a wrong password is refused and asked again; the right one installs.
        code, out, err, _ = self.install("locked", "--ip", "10.213.7.65", stdin="\nwrong\n\nSecret1\n")
        self.assertEqual(code, 0, out + err)
        self.assertEqual(err.count("Server FTP Port [21]: "), 2)
        self.assertEqual(self.config("locked"), expected_rewrite(self.originals["locked"], base_values(), False))
        # No answer (end of input) is Cancel: the camera keeps the new address, its file is unchanged.
        code, out, err, _ = self.install("locked2", "--ip", "10.213.7.66", stdin="")
        self.assertEqual(code, 1)
        self.assertTrue(out.endswith("IP address is set, but\nsettings are not changed\n"), out)
        self.assertEqual(state("locked2")["address"], "10.213.7.66")
        self.assertEqual(self.config("locked2"), self.originals["locked2"])

    def test_uploads_refused(self):
        code, out, err, _ = self.install("readonly", "--ip", "10.213.7.67")
        self.assertEqual(code, 1)
        self.assertTrue(out.endswith("IP address is set, but\nsettings are not changed\n"), out)
        self.assertEqual(self.config("readonly"), self.originals["readonly"])

    def test_cut_download_is_never_uploaded(self):
        # The camera sends 40 bytes of its file but announces all of it and completes normally.
        code, out, err, _ = self.install("cut", "--ip", "10.213.7.79")
        self.assertEqual(code, 1, out + err)
        self.assertTrue(out.endswith("IP address is set, but\nsettings are not changed\n"), out)
        self.assertEqual(state("cut")["uploads"], 0)
        self.assertEqual(self.config("cut"), self.originals["cut"])

    def test_uploads_broken_off_say_the_file_may_be_incomplete(self):
        # Every upload breaks off after the camera accepted it, also the one that puts the original back.
        code, out, err, _ = self.install("cutput", "--ip", "10.213.7.81")
        self.assertEqual(code, 1, out + err)
        self.assertTrue(out.endswith("IP address is set, but\nthe configuration file may be incomplete\n"), out)
        self.assertEqual(state("cutput")["uploads"], 0)

    def test_camera_refusing_passive_mode_installs_in_active_mode(self):
        code, out, err, _ = self.install("nopasv", "--ip", "10.213.7.80")
        self.assertEqual(code, 0, out + err)
        self.assertEqual(out.splitlines()[-1], "Install OK")
        self.assertEqual(self.config("nopasv"), expected_rewrite(self.originals["nopasv"], base_values(), False))

    def test_camera_never_restarting_while_another_host_pings_the_pc(self):
        # Another host pings the pc all along: the helper passes on only what answers the installation's own
        # requests, and none of the pings counts as the camera's answer.
        pinger = lab.spawn("dhcp", "/usr/bin/python3", os.path.join(HERE, "netprobe.py"), "ping", "10.213.7.2", "750",
                           "--interval", "0.2", "--wait", "0.05", stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            code, out, err, _ = self.install("gone", "--ip", "10.213.7.68")
        finally:
            pinger.kill()  # lab exec becomes the probe itself: this PID is the pinger's
            pinger.wait()
        self.assertEqual(code, 1, out + err)
        self.assertEqual(out.splitlines()[-1], "Install Fail")
        self.assertNotIn("non-echo type 8 recvd", err)
        self.assertEqual(state("gone")["uploads"], 1)  # it did take the address and the new file
        # After the address is taken: one step for the login, then all 15 restart attempts (the camera may take
        # the address at the first echo or a later one, so the steps before are not counted).
        assigned = [line for line in out.splitlines() if line.startswith("[") and "This IP is assigned" in line]
        self.assertEqual(len(assigned), 1 + 15, out)

    def test_address_held_by_a_host_that_drops_pings(self):
        code, out, err, _ = self.install("shy", "--ip", "10.213.7.83")
        self.assertEqual(code, 1, out + err)
        self.assertTrue(out.endswith("This IP address is invalid.\nPlease enter an valid IP then try again !\n"), out)
        st = state("shy")
        self.assertEqual((st["takeovers"], st["uploads"]), ([], 0))

    def test_link_down_in_the_restart_wait_ends_the_installation(self):
        mac = CAMERAS["unplugged"][0].replace(":", "-")
        process = lab.spawn("pc", *self.user.command(
            "camera-setup", "install", mac, "--ip", "10.213.7.84", env=[f"TMPDIR={self.tmp}"]),
            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        time.sleep(1.0)
        lab("boot", "unplugged")
        seen = []
        try:
            for line in process.stdout:
                seen.append(line)
                # The text shows first with the transfer, again with the restart wait's first echo request (its
                # bar position depends on how many requests the address took).
                if sum("Changing settings" in s for s in seen) == 2:
                    lab("exec", "pc", "ip", "link", "set", "eth0", "down")
                    break
            out, err = process.communicate(timeout=60)
        finally:
            lab("exec", "pc", "ip", "link", "set", "eth0", "up")
            lab("exec", "pc", "ip", "route", "replace", "default", "via", "10.213.7.1")
        out = "".join(seen) + out
        self.assertEqual(sum("Changing settings" in s for s in seen), 2, out + err)
        self.assertEqual(process.returncode, 1, out + err)
        self.assertEqual(out.splitlines()[-1], "Install Fail")
        self.assertIn("sendto failed: ", err)

    def test_interrupted_install_leaves_nothing_behind(self):
        # Ctrl-C while the camera is being waited for: the installation ends with it; no working file ever exists.
        mac = CAMERAS["interrupted"][0].replace(":", "-")
        process = lab.spawn("pc", *self.user.command(
            "camera-setup", "install", mac, "--ip", "10.213.7.70", env=[f"TMPDIR={self.tmp}"]),
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, start_new_session=True)
        time.sleep(1.0)
        lab("boot", "interrupted")
        seen = []
        for line in process.stdout:
            seen.append(line)
            if line.startswith("[ 60]"):  # the restart wait
                self.assertEqual(os.listdir(self.tmp), [])
                os.killpg(process.pid, signal.SIGINT)
                break
        process.communicate(timeout=30)
        self.assertEqual(process.returncode, 128 + signal.SIGINT, "".join(seen))

    def test_unprivileged_datagram_socket(self):
        # Where the user's group may open an ICMP datagram socket, the echo goes through it, not the helper.
        lab("exec", "pc", "sysctl", "-qw", "net.ipv4.ping_group_range=0 2147483647")
        try:
            code, out, err, _ = self.install("dgram", "--ip", "10.213.7.69")
        finally:
            lab("exec", "pc", "sysctl", "-qw", "net.ipv4.ping_group_range=1 0")
        self.assertEqual(code, 0, out + err)
        self.assertIn("44 bytes from 10.213.7.69: icmp_seq = ", err)
        self.assertNotIn("echo channel", err)  # the helper was asked for none
        self.assertEqual(self.config("dgram"), expected_rewrite(self.originals["dgram"], base_values(), False))

    def test_killed_in_the_restart_wait_leaves_no_entry_or_route_after_one_second(self):
        # The camera takes its address from frames sent straight to its MAC: no neighbour entry at any time; what
        # the helper prepared (a route and rule, for an address of another site) is gone once its socket closes.
        mac = CAMERAS["killed"][0].replace(":", "-")
        process = lab.spawn("pc", *self.user.command(
            "camera-setup", "install", mac, "--ip", "10.213.7.85", env=[f"TMPDIR={self.tmp}"]),
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        time.sleep(1.0)
        lab("boot", "killed")
        for line in process.stdout:
            if line.startswith("[ 60]"):
                break
        self.assertNotIn("PERMANENT", lab("exec", "pc", "ip", "-4", "neigh", "show", "10.213.7.85").stdout)
        process.kill()
        killed = time.monotonic()
        process.communicate(timeout=30)
        # ip itself, not the lab script, so that the one second is the helper's and not Python's start-up.
        def in_pc(*args):
            return subprocess.run(["ip", "netns", "exec", PREFIX + "-pc", "ip", "-4", *args], capture_output=True,
                                  text=True, check=True).stdout

        while (in_pc("neigh", "show", "nud", "permanent").strip() or in_pc("route", "show", "table", "all",
                                                                           "10.213.7.85").strip()
               or "uidrange" in in_pc("rule")):
            self.assertLess(time.monotonic() - killed, 1.0, "an entry, route or rule outlived the program by 1 s")
            time.sleep(0.02)
        # A killed process cannot remove its own files; the entry and the route are the helper's.
        for name in os.listdir(self.tmp):
            shutil.rmtree(os.path.join(self.tmp, name), ignore_errors=True)

    def test_injected_style_plugin_runs_without_capabilities(self):
        # Anyone who may start the window may also load code into it; that code must find no capability.
        plugin = os.environ.get("CAPPROBE_PLUGIN", "")
        if not os.path.exists(plugin):
            self.skipTest("CAPPROBE_PLUGIN does not name the style plugin")
        styles = os.path.join(self.tmp, "plugins", "styles")
        os.makedirs(styles)
        shutil.copy(plugin, styles)
        subprocess.run(["chown", "-R", f"{asuser.MEMBER}:{asuser.MEMBER}", os.path.join(self.tmp, "plugins")],
                       check=True)
        report = os.path.join(self.tmp, "capeff")
        process = lab.spawn("pc", *self.user.command("camera-setup", env=[
            f"TMPDIR={self.tmp}", f"XDG_RUNTIME_DIR={self.tmp}", "QT_QPA_PLATFORM=offscreen",
            f"QT_PLUGIN_PATH={os.path.join(self.tmp, 'plugins')}", "QT_STYLE_OVERRIDE=capprobe",
            f"CAPPROBE_FILE={report}"]), stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        deadline = time.monotonic() + 20
        while not os.path.exists(report) and time.monotonic() < deadline and process.poll() is None:
            time.sleep(0.1)
        time.sleep(0.3)  # the window's start-up has run (and with it the helper's hello)
        process.terminate()
        _, err = process.communicate(timeout=30)
        self.assertTrue(os.path.exists(report), "the plugin never ran: " + err)
        with open(report) as f:
            self.assertEqual(f.read(), "CapEff:\t0000000000000000\n")
        self.assertNotIn("camera-setup: ", err, "the helper was not usable, so the test proves nothing")
        shutil.rmtree(os.path.join(self.tmp, "plugins"))
        os.unlink(report)

    # The window, driven offscreen by Qt Test: wizard filled, Restart pressed, message box read.
    def gui(self, name, *args, env=()):
        if self.driver is None:
            self.skipTest("no GUI driver given")
        mac = CAMERAS[name][0].replace(":", "-")
        runtime = self.user.private_dir()  # Qt would make one under TMPDIR otherwise
        self.addCleanup(shutil.rmtree, runtime, True)
        command = self.user.command("install_gui_driver", mac, *args, env=[
            f"TMPDIR={self.tmp}", f"XDG_RUNTIME_DIR={runtime}", "QT_QPA_PLATFORM=offscreen", *env])
        process = lab.spawn("pc", *command, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        time.sleep(1.5)
        lab("boot", name)
        try:
            out, err = process.communicate(timeout=170)
        except subprocess.TimeoutExpired:
            process.kill()
            out, err = process.communicate()
        return process.returncode, out, err

    def test_gui_ended_by_a_signal_leaves_nothing_behind(self):
        # Termination while the window waits for the camera, once the camera has taken its address.
        if self.driver is None:
            self.skipTest("no GUI driver given")
        mac = CAMERAS["guiterm"][0].replace(":", "-")
        runtime = self.user.private_dir()
        self.addCleanup(shutil.rmtree, runtime, True)
        process = lab.spawn("pc", *self.user.command(
            "install_gui_driver", mac, "--ip", "10.213.7.78", env=[
                f"TMPDIR={self.tmp}", f"XDG_RUNTIME_DIR={runtime}", "QT_QPA_PLATFORM=offscreen"]),
            text=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
        time.sleep(1.5)
        lab("boot", "guiterm")
        if lab("wait", "guiterm", "--address", "10.213.7.78", "--timeout", "60", check=False).returncode != 0:
            process.kill()
            self.fail("the camera never took its address")
        self.assertEqual(os.listdir(self.tmp), [])
        os.killpg(process.pid, signal.SIGTERM)
        process.communicate(timeout=30)
        self.assertEqual(process.returncode, 128 + signal.SIGTERM)

    def test_gui_install_ok(self):
        # The wizard's first display: what the acknowledgement told, or else the pc's own segment's settings.
        for name, ip, values in (("guiok", "10.213.7.71", base_values()),
                                 ("guiunicast", "10.213.7.87", base_values(dns1="10.213.7.53", dns2="0.0.0.0"))):
            with self.subTest(name=name):
                code, out, err = self.gui(name, "--ip", ip, env=[f"CAMERA_SETUP_RESOLVER_ROOT={self.resolver_root()}"])
                self.assertEqual(code, 0, out + err)
                self.assertIn("message Message: Install OK\n", out)
                self.assertIn(f"row {ip} Yes\n", out)
                self.assertEqual(self.config(name), expected_rewrite(self.originals[name], values, False))

    def test_gui_wizard_cancelled_sends_nothing(self):
        code, out, err = self.gui("guicancel", "--cancel-wizard")
        self.assertEqual(code, 0, out + err)
        self.assertIn("wizard cancelled\n", out)
        self.assertNotIn("message", out)
        st = state("guicancel")
        self.assertEqual(st["takeovers"], [])
        self.assertEqual(st["ftp_logins"], [])

    def test_gui_wrong_password_retry_then_right_then_cancel(self):
        code, out, err = self.gui("guilocked", "--ip", "10.213.7.72", "--password", "wrong", "--password",
                                  "Secret2")
        self.assertEqual(code, 0, out + err)
        self.assertEqual(out.count("settings shown"), 2)
        self.assertIn("settings shown 21 025EA1CDE10B\n", out)  # first the default password
        self.assertIn("settings shown 21 wrong\n", out)  # then the values last entered
        self.assertIn("message Message: Install OK\n", out)
        self.assertEqual(self.config("guilocked"), expected_rewrite(self.originals["guilocked"], base_values(), False))
        code, out, err = self.gui("guilocked2", "--ip", "10.213.7.74")
        self.assertEqual(code, 0, out + err)
        self.assertIn("message Error: IP address is set, but\nsettings are not changed\n", out)
        self.assertIn("row 10.213.7.74 Yes\n", out)  # the camera took the address all the same
        self.assertEqual(self.config("guilocked2"), self.originals["guilocked2"])

    def test_gui_wireless_camera_with_encryption(self):
        code, out, err = self.gui("guiwifi", "--ip", "10.213.7.75", "--ssid", "labwifi")
        self.assertEqual(code, 0, out + err)
        self.assertIn("confirm Warning\n", out)
        self.assertIn("message Message: Install OK\n", out)
        values = base_values()
        values.update({"<SSID>": "labwifi", "<channel>": "6", "<Tx rate>": "11M", "<data encryption>": "YES",
                       "<key format>": "HEX", "<key 1>": "0" * 10, "<key 2>": "0" * 10, "<key 3>": "0" * 10,
                       "<key 4>": "0" * 10})
        self.assertEqual(self.config("guiwifi"), expected_rewrite(self.originals["guiwifi"], values, True))

    def test_gui_failures_end_with_their_message(self):
        for name, ip, text in (
                ("guibusy", "10.213.7.73", "message Error: This IP address is invalid.\nPlease enter an valid IP "
                                           "then try again !\n"),
                ("guireadonly", "10.213.7.76", "message Error: IP address is set, but\nsettings are not changed\n"),
                ("guigone", "10.213.7.77", "message Error: Install Fail\n")):
            code, out, err = self.gui(name, "--ip", ip)
            self.assertEqual(code, 0, out + err)
            self.assertIn(text, out, name)
            self.assertEqual(self.config(name), self.originals[name] if name != "guigone" else self.config(name))


if __name__ == "__main__":
    sys.exit(userlab.main(InstallLab))
