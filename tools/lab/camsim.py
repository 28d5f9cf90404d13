#!/usr/bin/python3
"""One simulated camera. Runs inside the camera's network namespace (interface eth0, MAC set by the lab) and
behaves like the cameras the set-up tool talks to:

- boot: busybox udhcpc (broadcast replies unless replies=unicast, host name option) or no address at all; every restart boots again;
- XRM: answers a type 1 query on UDP 10000 with a type 2 record and records the type 3 acknowledgements;
- ICMP takeover: an echo request sent to this MAC for an address the camera lacks makes the camera take it;
- FTP (pyftpdlib) on port 21 of the current address, serving config.ini; an uploaded config.ini whose
  "<reset system>" value is YES makes the camera restart (link down for the silence time, then boot again).
  Fault switches: refused uploads, a dropped connection, refused passive mode, a cut download.

Usage: camsim.py STATE_DIR   (STATE_DIR holds camera.json written by the lab; state.json is written here)
"""

import ctypes
import ipaddress
import os
import signal
import socket
import struct
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import labcore  # noqa: E402

from pyftpdlib.authorizers import DummyAuthorizer  # noqa: E402
from pyftpdlib.filesystems import AbstractedFS  # noqa: E402
from pyftpdlib.handlers import FTPHandler  # noqa: E402
from pyftpdlib.ioloop import IOLoop  # noqa: E402
from pyftpdlib.servers import FTPServer  # noqa: E402

IFACE = "eth0"
ETH_P_IP = 0x0800
PACKET_HOST = 0
SO_ATTACH_FILTER = 26
RECORD_LIMIT = 2000  # per list in state.json; counters keep counting past it


def log(msg):
    print(f"{time.strftime('%H:%M:%S')} {msg}", flush=True)


def ip(*args, check=True):
    return labcore.run(["ip", *args], check=check)


def attach_filter(sock, program):
    """SO_ATTACH_FILTER with a classic BPF program of (code, jt, jf, k) instructions."""
    code = b"".join(struct.pack("HBBI", *insn) for insn in program)
    buf = ctypes.create_string_buffer(code, len(code))
    fprog = struct.pack("HL", len(program), ctypes.addressof(buf))
    sock.setsockopt(socket.SOL_SOCKET, SO_ATTACH_FILTER, fprog)


class Camera:
    def __init__(self, state_dir):
        self.dir = state_dir
        self.cfg = labcore.read_json(os.path.join(state_dir, "camera.json"))
        if not self.cfg:
            raise SystemExit(f"camsim: no camera.json in {state_dir}")
        self.mac = labcore.parse_mac(self.cfg["mac"])
        self.lock = threading.RLock()
        self.wake = threading.Condition(self.lock)
        self.stopping = False
        self.boot_request = None  # silence seconds of a pending power cycle
        self.restart_request = False
        self.instant_restart = False  # restart=instant: the upload already took the link down
        self.addr = None  # current IPv4 address text, or None
        self.prefixlen = 24
        self.kept = None  # address taken by ICMP; survives restarts
        self.lease = None
        self.phase = "starting"
        self.restarts = 0
        self.boots = 0
        self.queries = []
        self.acks = []
        self.query_count = 0
        self.ack_count = 0
        self.takeovers = []
        self.uploads = 0
        self.logins = []
        self.ftp = None
        self.ftp_lock = threading.Lock()  # start and stop of the FTP server come from several threads
        self.ftp_dir = os.path.join(state_dir, "ftp")
        self.config_path = os.path.join(self.ftp_dir, "config.ini")
        self.backup_path = os.path.join(state_dir, "config.ini.last")
        os.makedirs(self.ftp_dir, exist_ok=True)
        os.makedirs(os.path.join(state_dir, "uploads"), exist_ok=True)
        if not os.path.exists(self.config_path):
            with open(self.config_path, "wb") as f:
                f.write(labcore.default_config_ini(self.cfg))
        self.save_backup()

    # ---- state ---------------------------------------------------------------------------------------

    def save_state(self):
        with self.lock:
            labcore.write_json(
                os.path.join(self.dir, "state.json"),
                {
                    "name": self.cfg["name"],
                    "mac": self.cfg["mac"],
                    "pid": os.getpid(),
                    "phase": self.phase,
                    "address": self.addr,
                    "prefixlen": self.prefixlen if self.addr else None,
                    "kept_address": self.kept,
                    "lease": self.lease,
                    "boots": self.boots,
                    "restarts": self.restarts,
                    "config_ini": self.config_path,
                    "uploads": self.uploads,
                    "ftp_logins": self.logins[-RECORD_LIMIT:],
                    "xrm_query_count": self.query_count,
                    "xrm_queries": self.queries[-RECORD_LIMIT:],
                    "xrm_ack_count": self.ack_count,
                    "xrm_acks": self.acks[-RECORD_LIMIT:],
                    "takeovers": self.takeovers,
                },
            )

    def set_phase(self, phase):
        with self.lock:
            self.phase = phase
            log(f"phase {phase}")
            self.save_state()

    def save_backup(self):
        with open(self.config_path, "rb") as f:
            data = f.read()
        with open(self.backup_path, "wb") as f:
            f.write(data)

    # ---- addresses -----------------------------------------------------------------------------------

    def set_address(self, addr, prefixlen, route_back=True):
        """The camera has one address: the new one replaces the old, and FTP moves with it."""
        with self.lock:
            if self.addr == addr and self.prefixlen == prefixlen:
                return
            ip("addr", "flush", "dev", IFACE)
            ip("addr", "add", f"{addr}/{prefixlen}", "dev", IFACE)
            if route_back and ipaddress.IPv4Address(addr) not in labcore.SUBNET:
                # The PC sits in the lab subnet; a camera given a foreign address still has to reach it.
                ip("route", "replace", str(labcore.SUBNET), "dev", IFACE, "src", addr)
            self.addr, self.prefixlen = addr, prefixlen
            log(f"address {addr}/{prefixlen}")
            self.save_state()
        self.restart_ftp()

    # ---- boot and restart ----------------------------------------------------------------------------

    def run_udhcpc(self):
        lease_file = os.path.join(self.dir, "lease")
        try:
            os.unlink(lease_file)
        except FileNotFoundError:
            pass
        cmd = ["busybox", "udhcpc", "-i", IFACE, "-f", "-q", "-n", "-t", "6", "-T", "1", "-A", "1"]
        if self.cfg.get("replies") != "unicast":
            cmd.append("-B")  # without it the server replies to the camera's MAC, unseen by the pc
        cmd += ["-s", os.path.join(labcore.HERE, "udhcpc.script")]
        if self.cfg["host"]:
            cmd += ["-x", f"hostname:{self.cfg['host']}"]
        env = dict(os.environ, LAB_LEASE_FILE=lease_file)
        try:
            r = subprocess.run(cmd, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=30)
            out = r.stdout
        except subprocess.TimeoutExpired as e:
            out = f"udhcpc timed out: {e}"
        for line in out.splitlines():
            log(f"udhcpc: {line}")
        lease = {}
        try:
            with open(lease_file) as f:
                for line in f:
                    k, _, v = line.strip().partition("=")
                    lease[k] = v
        except FileNotFoundError:
            return None
        return lease or None

    def boot(self):
        self.set_phase("booting")
        ip("link", "set", IFACE, "up")
        with self.lock:
            self.boots += 1
        mode = self.cfg["boot"]
        if mode in ("dhcp", "hold"):
            lease = self.run_udhcpc()
            with self.lock:
                self.lease = lease
            if lease and lease.get("ip") and not self.kept:
                try:
                    prefixlen = ipaddress.IPv4Network(f"0.0.0.0/{lease.get('subnet') or '255.255.255.0'}").prefixlen
                except ValueError:
                    prefixlen = 24
                self.set_address(lease["ip"], prefixlen)
            elif not lease:
                log("no lease")
        elif mode == "static" and not self.kept:
            if self.cfg.get("static_prefix"):
                # A factory address of its own subnet: no way back to the lab's, as on a real site.
                self.set_address(self.cfg["static"], self.cfg["static_prefix"], route_back=False)
            else:
                self.set_address(self.cfg["static"], 24)
        if self.kept:
            # An address given by the set-up tool outlives the boot; DHCP only announces the camera.
            self.set_address(self.kept, self.prefix_for(self.kept))
        if self.addr and self.ftp is None:
            self.restart_ftp()
        self.set_phase("up")

    def go_silent(self):
        self.set_phase("silent")
        self.stop_ftp()
        ip("link", "set", IFACE, "down")

    def restart(self, silence):
        self.go_silent()
        deadline = time.monotonic() + silence
        with self.lock:
            while not self.stopping and time.monotonic() < deadline:
                self.wake.wait(deadline - time.monotonic())
            if self.stopping:
                return
        if not self.cfg["comeback"]:
            self.set_phase("gone")
            return
        with self.lock:
            self.restarts += 1
        self.boot()

    @staticmethod
    def prefix_for(addr):
        return 24 if ipaddress.IPv4Address(addr) in labcore.SUBNET else 32

    # ---- XRM -----------------------------------------------------------------------------------------

    def xrm_loop(self):
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
        # Bound to the device so that a camera without any address can still send its broadcast answer.
        s.setsockopt(socket.SOL_SOCKET, socket.SO_BINDTODEVICE, IFACE.encode())
        s.bind(("0.0.0.0", labcore.XRM_PORT))
        self.xrm_sock = s
        while not self.stopping:
            try:
                data, src = s.recvfrom(2048)
            except OSError as e:
                log(f"xrm recv: {e}")
                time.sleep(0.1)
                continue
            parsed = labcore.xrm_parse(data)
            if parsed is None:
                log(f"xrm: malformed datagram of {len(data)} bytes from {src}")
                continue
            kind, ident, _ = parsed
            with self.lock:
                if self.phase != "up":
                    continue
                entry = {"id": ident, "from": f"{src[0]}:{src[1]}", "time": time.time()}
                if kind == labcore.XRM_QUERY:
                    self.query_count += 1
                    self.queries.append(entry)
                elif kind == labcore.XRM_ACK:
                    self.ack_count += 1
                    self.acks.append(entry)
                self.save_state()
            if kind == labcore.XRM_QUERY and self.cfg["xrm"]:
                delay = self.cfg["xrmdelay"]
                if delay > 0:
                    threading.Timer(delay, self.xrm_answer, (ident, src)).start()
                else:
                    self.xrm_answer(ident, src)

    def xrm_answer(self, ident, src):
        with self.lock:
            if self.phase != "up" or self.stopping:
                return
            addr = self.addr or "0.0.0.0"
        rec = labcore.xrm_record(ident, self.cfg["model"], self.mac, addr, self.cfg["fw"], self.cfg["value"])
        # A camera that has no address (or no route back) cannot send to the querier's address: like the
        # real ones it answers to the limited broadcast address at the querier's port, source 0.0.0.0.
        # One with a factory address of its own subnet answers only a querier inside that subnet.
        if self.addr and self.cfg.get("static_prefix") and self.addr == self.cfg["static"]:
            net = ipaddress.IPv4Network(f"{self.addr}/{self.prefixlen}", strict=False)
            if ipaddress.IPv4Address(src[0]) not in net:
                log(f"xrm: query id {ident} from {src[0]}, outside {net}: not answered")
                return
        targets = [src] if self.addr else []
        targets.append(("255.255.255.255", src[1]))
        for t in targets:
            try:
                self.xrm_sock.sendto(rec, t)
                log(f"xrm: answered id {ident} to {t[0]}:{t[1]}")
                return
            except OSError as e:
                log(f"xrm: send to {t[0]}:{t[1]} failed: {e}")

    # ---- ICMP takeover -------------------------------------------------------------------------------

    def echo_to_me_filter(self):
        """A kernel filter that passes only ICMP echo requests sent to this camera's MAC, so that a segment of many
        cameras does not wake every simulator for every frame the bridge floods."""
        mac_high, mac_low = struct.unpack("!IH", self.mac)
        return [
            (0x28, 0, 0, 12),        # ldh [12]: EtherType
            (0x15, 0, 9, 0x0800),    # IPv4, else drop
            (0x30, 0, 0, 23),        # ldb [23]: protocol
            (0x15, 0, 7, 1),         # ICMP, else drop
            (0xB1, 0, 0, 14),        # ldxb 4*([14]&0xf): header length
            (0x50, 0, 0, 14),        # ldb [x+14]: ICMP type
            (0x15, 0, 4, 8),         # echo request, else drop
            (0x20, 0, 0, 0),         # ld [0]: destination MAC, first four bytes
            (0x15, 0, 2, mac_high),
            (0x28, 0, 0, 4),         # ldh [4]: its last two
            (0x15, 1, 0, mac_low),   # ours: accept, else drop
            (0x06, 0, 0, 0),         # drop
            (0x06, 0, 0, 0xFFFF),    # accept
        ]

    def icmp_loop(self):
        s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(ETH_P_IP))
        attach_filter(s, self.echo_to_me_filter())
        s.bind((IFACE, ETH_P_IP))
        while not self.stopping:
            try:
                frame, meta = s.recvfrom(2048)
            except OSError:
                time.sleep(0.1)  # ENETDOWN while the link is down; the socket rehooks when it comes up
                continue
            if meta[2] != PACKET_HOST or len(frame) < 14 + 20 + 8 or frame[0:6] != self.mac:
                continue
            iph = frame[14:]
            ihl = (iph[0] & 0x0F) * 4
            if iph[0] >> 4 != 4 or ihl < 20 or iph[9] != 1 or len(iph) < ihl + 8 or iph[ihl] != 8:
                continue
            dst = str(ipaddress.IPv4Address(iph[16:20]))
            dst_ip = ipaddress.IPv4Address(dst)
            if dst_ip.is_multicast or dst_ip.is_unspecified or dst == "255.255.255.255":
                continue
            with self.lock:
                if self.phase != "up" or dst == self.addr:
                    continue
                self.kept = dst
                self.takeovers.append({"address": dst, "from": str(ipaddress.IPv4Address(iph[12:16])),
                                       "time": time.time()})
            log(f"icmp: echo for {dst} reached my MAC; taking the address")
            try:
                self.set_address(dst, self.prefix_for(dst))
            except labcore.LabError as e:
                log(f"icmp: {e}")

    # ---- FTP -----------------------------------------------------------------------------------------

    def stop_ftp(self):
        with self.ftp_lock:
            self._stop_ftp()

    def _stop_ftp(self):
        ftp, self.ftp = self.ftp, None
        if ftp:
            ftp["stop"].set()
            ftp["thread"].join(5)

    def restart_ftp(self):
        with self.ftp_lock:
            self._restart_ftp()

    def _restart_ftp(self):
        self._stop_ftp()
        with self.lock:
            addr = self.addr
        if not addr:
            return
        stop = threading.Event()
        try:
            server = self.make_ftp_server(addr)
        except OSError as e:
            log(f"ftp: cannot listen on {addr}:21: {e}")
            return

        def serve():
            while not stop.is_set():
                server.ioloop.loop(timeout=0.2, blocking=False)
            server.close_all()

        t = threading.Thread(target=serve, daemon=True)
        t.start()
        self.ftp = {"stop": stop, "thread": t, "addr": addr}
        log(f"ftp: listening on {addr}:21")

    def make_ftp_server(self, addr):
        cam = self
        cfg = self.cfg
        authorizer = DummyAuthorizer()
        authorizer.add_user("admin", cfg["password"], self.ftp_dir, perm="elr" if cfg["upload"] == "refuse" else "elradfmw")

        class DroppingFile:
            """Hands over half of config.ini (or takes the first chunk of an upload), then kills the session."""

            def __init__(self, f, handler):
                self._f, self._handler, self._sent = f, handler, False

            def __getattr__(self, name):
                return getattr(self._f, name)

            def read(self, n=-1):
                if self._sent:
                    self._abort()
                    return b""
                self._sent = True
                data = self._f.read()
                return data[: max(1, len(data) // 2)]

            def write(self, data):
                self._abort()
                return len(data)

            def _abort(self):
                log("ftp: dropping the connection in mid-transfer")
                h = self._handler
                for sock in (getattr(h, "socket", None), getattr(getattr(h, "data_channel", None), "socket", None)):
                    if sock is not None:
                        try:
                            sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                        except OSError:
                            pass
                h.close()

        class TruncatedFile:
            """Ends after the first N bytes of config.ini, as if that were the whole file: SIZE still gives the
            file's real size and the transfer completes with a normal 226."""

            def __init__(self, f, limit):
                self._f, self._left = f, limit

            def __getattr__(self, name):
                return getattr(self._f, name)

            def read(self, n=-1):
                data = self._f.read(self._left if n is None or n < 0 else min(n, self._left))
                self._left -= len(data)
                return data

        class CameraFS(AbstractedFS):
            def open(self, filename, mode):
                f = super().open(filename, mode)
                is_config = os.path.basename(filename) == "config.ini"
                if is_config and ((cfg["drop"] == "get" and "r" in mode) or (cfg["drop"] == "put" and "w" in mode)):
                    return DroppingFile(f, self.cmd_channel)
                if is_config and cfg["truncate"] is not None and "r" in mode:
                    log(f"ftp: sending only {cfg['truncate']} bytes of config.ini")
                    return TruncatedFile(f, cfg["truncate"])
                return f

        class CameraHandler(FTPHandler):
            banner = f"{cfg['model']} FTP server ready."
            use_sendfile = False
            abstracted_fs = CameraFS
            authorizer = None  # set below
            passive_ports = None

            def on_login(self, username):
                with cam.lock:
                    cam.logins.append({"user": username, "ok": True, "time": time.time()})
                    cam.save_state()

            def on_login_failed(self, username, password):
                with cam.lock:
                    cam.logins.append({"user": username, "ok": False, "time": time.time()})
                    cam.save_state()

            def on_file_received(self, file):
                if os.path.basename(file) != "config.ini":
                    return
                with open(file, "rb") as f:
                    data = f.read()
                with cam.lock:
                    cam.uploads += 1
                    n = cam.uploads
                    with open(os.path.join(cam.dir, "uploads", f"{n:03d}-config.ini"), "wb") as f:
                        f.write(data)
                    cam.save_backup()
                    reset = labcore.reset_requested(data)
                    log(f"ftp: config.ini uploaded ({len(data)} bytes), reset {'YES' if reset else 'no'}")
                    if reset and cam.cfg.get("restart") == "instant":
                        # The 226 has gone; the link goes before anything else can (a reply to QUIT, a
                        # FIN), and the session is torn down without a goodbye, so once the camera is
                        # back the client's connection is reset.
                        self.socket.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                        ip("link", "set", IFACE, "down")
                        cam.instant_restart = True
                    if reset:
                        cam.restart_request = True
                        cam.wake.notify_all()
                    cam.save_state()

            def ftp_EPSV(self, line):
                if cfg["passive"] == "refuse":
                    self.respond("502 Passive mode not available.")
                    return
                super().ftp_EPSV(line)

            def ftp_PASV(self, line):
                if cfg["passive"] == "refuse":
                    self.respond("502 Passive mode not available.")
                    return
                super().ftp_PASV(line)

            def on_incomplete_file_received(self, file):
                if os.path.basename(file) == "config.ini":
                    # Half a file is never the camera's configuration.
                    with open(cam.backup_path, "rb") as src, open(file, "wb") as dst:
                        dst.write(src.read())
                    log("ftp: incomplete upload of config.ini discarded")

        CameraHandler.authorizer = authorizer
        return FTPServer((addr, labcore.FTP_PORT), CameraHandler, ioloop=IOLoop())

    # ---- main loop -----------------------------------------------------------------------------------

    def request_boot(self, silence):
        with self.lock:
            self.boot_request = silence
            self.wake.notify_all()

    def stop(self):
        with self.lock:
            self.stopping = True
            self.wake.notify_all()

    def main(self):
        ip("link", "set", "lo", "up")
        for target in (self.xrm_loop, self.icmp_loop):
            threading.Thread(target=target, daemon=True).start()
        if self.cfg["boot"] == "hold":
            self.set_phase("held")
            with self.lock:
                while self.boot_request is None and not self.stopping:
                    self.wake.wait()
                self.boot_request = None
            if self.stopping:
                return
        else:
            ip("link", "set", IFACE, "up")
        self.boot()
        while True:
            with self.lock:
                while not (self.stopping or self.restart_request or self.boot_request is not None):
                    self.wake.wait()
                if self.stopping:
                    break
                if self.restart_request:
                    self.restart_request = False
                    silence = self.cfg["silence"]
                    if not self.instant_restart:
                        time.sleep(0.3)  # let the FTP server finish its reply to the upload
                    self.instant_restart = False
                else:
                    silence, self.boot_request = self.boot_request, None
            if self.phase == "gone" and not self.cfg["comeback"]:
                continue
            log(f"restart, silent for {silence} s")
            self.restart(silence)
        self.stop_ftp()


def main():
    if len(sys.argv) != 2:
        raise SystemExit(__doc__)
    cam = Camera(sys.argv[1])
    signal.signal(signal.SIGTERM, lambda *_: cam.stop())
    signal.signal(signal.SIGINT, lambda *_: cam.stop())
    signal.signal(signal.SIGUSR1, lambda *_: cam.request_boot(labcore.read_json(
        os.path.join(cam.dir, "boot.json"), {}).get("silence", 0.5)))
    try:
        cam.main()
    finally:
        cam.stopping = True
        cam.phase = "stopped"
        cam.save_state()
        log("stopped")


if __name__ == "__main__":
    main()
