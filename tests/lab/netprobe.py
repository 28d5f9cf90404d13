#!/usr/bin/python3
"""Probes that the lab tests run inside the pc namespace (through 'lab exec pc'). Each prints one JSON value.

  netprobe.py xrm SECONDS [--ack] [--id N]     broadcast one query, collect the records
  netprobe.py dhcp SECONDS                     listen on UDP 67 and 68, report the DHCP packets
  netprobe.py ping ADDR COUNT [--mac MAC]      one echo a second (with a permanent neighbour entry for MAC)
  netprobe.py ftp-get ADDR PASSWORD            fetch config.ini as user admin
  netprobe.py ftp-put ADDR PASSWORD FILE       store FILE as config.ini
"""

import argparse
import base64
import contextlib
import ftplib
import ipaddress
import json
import os
import select
import socket
import struct
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "lab"))
import labcore  # noqa: E402


def xrm(args):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_BINDTODEVICE, b"eth0")
    s.setsockopt(socket.SOL_SOCKET, 33, 4 << 20)  # SO_RCVBUFFORCE: a burst is 1,000 records at once
    s.bind(("0.0.0.0", labcore.XRM_CLIENT_PORT))
    ident = args.id if args.id is not None else int.from_bytes(os.urandom(4), "little")
    started = time.monotonic()
    s.sendto(labcore.xrm_header(labcore.XRM_QUERY, ident), ("255.255.255.255", labcore.XRM_PORT))
    out = []
    deadline = started + args.seconds
    while True:
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([s], [], [], left)[0]:
            break
        data, src = s.recvfrom(2048)
        p = labcore.xrm_parse(data)
        if p is None:
            out.append({"from": src[0], "malformed": data.hex()})
            continue
        kind, rid, opts = p
        out.append({
            "from": src[0], "port": src[1], "type": kind, "id": rid, "after": round(time.monotonic() - started, 3),
            "model": opts.get(1, b"").decode(errors="replace"), "mac": labcore.mac_text(opts.get(2, b"")),
            "addr": str(ipaddress.IPv4Address(opts[3])) if len(opts.get(3, b"")) == 4 else None,
            "fw": opts.get(4, b"").decode(errors="replace"),
            "value": struct.unpack("<I", opts[5])[0] if len(opts.get(5, b"")) == 4 else None,
            "codes": sorted(opts),
        })
        if args.ack:
            s.sendto(labcore.xrm_header(labcore.XRM_ACK, rid), src)
    print(json.dumps({"id": ident, "answers": out}))


def dhcp(args):
    socks = []
    for port in (67, 68):
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
        s.bind(("0.0.0.0", port))
        socks.append((s, port))
    print("listening", file=sys.stderr, flush=True)
    out = []
    deadline = time.monotonic() + args.seconds
    while True:
        left = deadline - time.monotonic()
        if left <= 0:
            break
        ready = select.select([s for s, _ in socks], [], [], left)[0]
        for s, port in socks:
            if s not in ready:
                continue
            data = s.recv(2048)
            if len(data) < 240:
                continue
            opts, pos = {}, 240
            while pos < len(data) and data[pos] != 255:
                if data[pos] == 0:
                    pos += 1
                    continue
                if pos + 2 > len(data) or pos + 2 + data[pos + 1] > len(data):
                    break
                opts[str(data[pos])] = data[pos + 2 : pos + 2 + data[pos + 1]].hex()
                pos += 2 + data[pos + 1]
            out.append({
                "port": port, "op": data[0], "flags": struct.unpack_from(">H", data, 10)[0],
                "ciaddr": str(ipaddress.IPv4Address(data[12:16])), "yiaddr": str(ipaddress.IPv4Address(data[16:20])),
                "chaddr": labcore.mac_text(data[28:34]), "options": opts,
            })
    print(json.dumps(out))


def checksum(b):
    if len(b) % 2:
        b += b"\0"
    s = sum(struct.unpack(f"!{len(b) // 2}H", b))
    s = (s >> 16) + (s & 0xFFFF)
    s += s >> 16
    return ~s & 0xFFFF


def ping(args):
    with neighbour(args.addr, args.mac):
        ping_loop(args)


@contextlib.contextmanager
def neighbour(addr, mac):
    """A permanent neighbour entry addr -> mac for the time of the block, as the set-up tool makes one."""
    off_subnet = ipaddress.IPv4Address(addr) not in labcore.SUBNET
    if mac:
        if off_subnet:  # the neighbour entry only counts when the address is on the link
            subprocess.run(["ip", "route", "replace", f"{addr}/32", "dev", "eth0"], check=True)
        subprocess.run(["ip", "neigh", "replace", addr, "lladdr", mac, "dev", "eth0", "nud", "permanent"], check=True)
    try:
        yield
    finally:
        if mac:
            subprocess.run(["ip", "neigh", "del", addr, "dev", "eth0"], check=False)
            if off_subnet:
                subprocess.run(["ip", "route", "del", f"{addr}/32", "dev", "eth0"], check=False)


def ping_loop(args):
    s = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_ICMP)
    ident = os.getpid() & 0xFFFF
    results = []
    for seq in range(args.count):
        if seq:
            time.sleep(args.interval)
        body = struct.pack("!BBHHH", 8, 0, 0, ident, seq) + b"E" * 32
        body = body[:2] + struct.pack("!H", checksum(body)) + body[4:]
        s.sendto(body, (args.addr, 0))
        got = False
        deadline = time.monotonic() + args.wait
        while not got:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([s], [], [], left)[0]:
                break
            pkt, src = s.recvfrom(2048)
            ihl = (pkt[0] & 0x0F) * 4
            if src[0] == args.addr and len(pkt) >= ihl + 8 and pkt[ihl] == 0 and \
                    struct.unpack_from("!HH", pkt, ihl + 4) == (ident, seq):
                got = True
        results.append({"seq": seq, "reply": got, "time": time.time()})
    print(json.dumps(results))


def ftp_session(addr, password, timeout=5):
    f = ftplib.FTP()
    f.connect(addr, 21, timeout=timeout)
    f.login("admin", password)
    return f


def ftp_get(args):
    with neighbour(args.addr, args.mac):
        ftp_get_file(args)


def ftp_get_file(args):
    try:
        f = ftp_session(args.addr, args.password, args.timeout)
        chunks = []
        f.retrbinary("RETR config.ini", chunks.append)
        f.quit()
        print(json.dumps({"ok": True, "data": base64.b64encode(b"".join(chunks)).decode()}))
    except (ftplib.Error, OSError, EOFError) as e:
        print(json.dumps({"ok": False, "error": f"{type(e).__name__}: {e}"}))


def goodbye(f, wait):
    """What became of QUIT within `wait` seconds: the reply's code, "closed", "reset" or "nothing", and when."""
    started = time.monotonic()
    f.sock.settimeout(wait)
    try:
        f.sock.sendall(b"QUIT\r\n")
        data = f.sock.recv(64)
        answer = data[:3].decode(errors="replace") if data else "closed"
    except socket.timeout:
        answer = "nothing"
    except OSError as e:
        answer = "reset" if isinstance(e, ConnectionResetError) else type(e).__name__
    f.close()
    return answer, round(time.monotonic() - started, 3)


def ftp_put(args):
    try:
        f = ftp_session(args.addr, args.password)
        with open(args.file, "rb") as src:
            reply = f.storbinary("STOR config.ini", src)
        answer, after = goodbye(f, args.goodbye)  # a camera that restarts may never answer it
        print(json.dumps({"ok": True, "reply": reply, "goodbye": answer, "goodbye_after": after}))
    except (ftplib.Error, OSError, EOFError) as e:
        print(json.dumps({"ok": False, "error": f"{type(e).__name__}: {e}"}))


def main():
    ap = argparse.ArgumentParser()
    sub = ap.add_subparsers(dest="cmd", required=True)
    x = sub.add_parser("xrm")
    x.add_argument("seconds", type=float)
    x.add_argument("--ack", action="store_true")
    x.add_argument("--id", type=int)
    x.set_defaults(func=xrm)
    d = sub.add_parser("dhcp")
    d.add_argument("seconds", type=float)
    d.set_defaults(func=dhcp)
    p = sub.add_parser("ping")
    p.add_argument("addr")
    p.add_argument("count", type=int)
    p.add_argument("--mac")
    p.add_argument("--interval", type=float, default=1.0)
    p.add_argument("--wait", type=float, default=0.5)
    p.set_defaults(func=ping)
    g = sub.add_parser("ftp-get")
    g.add_argument("addr")
    g.add_argument("password")
    g.add_argument("--mac")
    g.add_argument("--timeout", type=float, default=5)
    g.set_defaults(func=ftp_get)
    u = sub.add_parser("ftp-put")
    u.add_argument("addr")
    u.add_argument("password")
    u.add_argument("file")
    u.add_argument("--goodbye", type=float, default=2.0, help="seconds to wait for what becomes of QUIT")
    u.set_defaults(func=ftp_put)
    args = ap.parse_args()
    args.func(args)


if __name__ == "__main__":
    main()
