#!/usr/bin/python3
"""The DHCP storm host: hostile DHCP traffic from 10,000 hardware addresses, as fast as one process can send it.

  storm.py send SECONDS OUT_JSON    broadcast client messages (to port 67) and server messages (to port 68)
  storm.py probe SECONDS OUT_JSON   answer the pc's XRM queries as one camera and time each answer's
                                    acknowledgement
  storm.py macs                     print the in-range addresses, one per line (what the table must end with)

Runs inside the lab's storm namespace (lab up --storm; lab exec storm ...). A third of the addresses lie inside
the camera ranges, the rest outside (many just past a range's edge); about one packet in eight is malformed
(truncated, no magic cookie, options running past the end, over-long or dash-less host names, oversized). Every
in-range address also gets well-formed discovers, so each must end up as exactly one row.
"""

import json
import os
import random
import select
import socket
import struct
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import labcore  # noqa: E402
import xrm  # noqa: E402

BROADCAST = "10.213.7.255"
PC_ADDR = labcore.PC_ADDR
TOTAL = 10_000
INSIDE = TOTAL // 3
COOKIE = bytes([99, 130, 83, 99])
HOST_NAMES = [b"NV4413-0101", b"NV4413-0102", b"QM52X3-0200", b"QM52x2-0100", b"NV4412-0104", b"NV4412-0105",
              b"android-4f2a", b"", None]


def inside_macs():
    """3,333 distinct addresses spread over every camera range (the small ones entirely)."""
    picks = []
    for b1, b2, lo, hi in labcore.CAMERA_RANGES:
        if hi - lo < 8:
            picks += [(b1, b2, v) for v in range(lo, hi + 1)]
    budget = INSIDE - len(picks)
    wide = [(0x5E, 0xA1, 0xCDDB78, 0xCDDD6B, 300), (0x5E, 0xA1, 0xCDE08C, 0xCE55BB, 1000),
            (0x5E, 0xA3, 0x7CE333, 0x7E69D2, None)]
    for b1, b2, lo, hi, count in wide:
        n = count if count is not None else budget
        budget -= n
        step = (hi - lo) // n
        picks += [(b1, b2, lo + i * step) for i in range(n)]
    macs = [bytes([0x02, b1, b2]) + v.to_bytes(3, "big") for b1, b2, v in picks]
    assert len(set(macs)) == INSIDE and all(labcore.in_camera_ranges(m) for m in macs)
    return macs


def outside_macs(rng, count):
    """Addresses the filter must ignore: just past each range's edges, wrong first bytes, random."""
    edges = []
    for b1, b2, lo, hi in labcore.CAMERA_RANGES:
        for v in (lo - 2, lo - 1, hi + 1, hi + 2):
            edges.append(bytes([0x02, b1, b2]) + (v & 0xFFFFFF).to_bytes(3, "big"))
    macs = set(m for m in edges if not labcore.in_camera_ranges(m))
    while len(macs) < count:
        kind = rng.randrange(4)
        if kind == 0:  # a camera's low bytes behind another first byte
            m = bytes([rng.choice([0x00, 0x03, 0x12, 0xFE]), 0x5E, 0xA3]) + rng.randrange(0x7CE333, 0x7E69D3).to_bytes(3, "big")
        elif kind == 1:  # right prefix, low bytes outside every range
            m = bytes([0x02, 0x5E, rng.choice([0xA1, 0xA3])]) + rng.randrange(0, 0x7CE000).to_bytes(3, "big")
        else:
            m = bytes(rng.randrange(256) for _ in range(6))
        if not labcore.in_camera_ranges(m):
            macs.add(m)
    return sorted(macs)[:count]


def bootp(op, mac, ciaddr=0, yiaddr=0, xid=0, cookie_at=236):
    head = struct.pack("!BBBBIHHIIII", op, 1, 6, 0, xid, 0, 0x8000, ciaddr, yiaddr, 0, 0)
    head += mac + bytes(10) + bytes(64 + 128)
    if cookie_at != 236:
        head = head[:cookie_at] + COOKIE + head[cookie_at + 4:]
        return head
    return head + COOKIE


def opt(code, data):
    return bytes([code, len(data)]) + data


def ip(text):
    return socket.inet_aton(text)


def client_packet(rng, mac):
    ciaddr = 0 if rng.random() < 0.7 else struct.unpack("!I", ip(f"10.213.7.{rng.randrange(100, 200)}"))[0]
    options = opt(53, bytes([rng.choice([1, 3])]))
    name = rng.choice(HOST_NAMES)
    if name is not None:
        options += opt(12, name)
    return (bootp(1, mac, ciaddr=ciaddr, xid=rng.getrandbits(32)) + options + b"\xff").ljust(300, b"\0")


def server_packet(rng, mac):
    kind = rng.choice([2, 5, 5, 6])
    yiaddr = struct.unpack("!I", ip(f"10.213.7.{rng.randrange(2, 250)}"))[0]
    options = opt(53, bytes([kind])) + opt(1, ip("255.255.255.0")) + opt(3, ip("10.213.7.1"))
    options += opt(6, ip("10.213.7.1") + ip("10.213.7.3"))
    return (bootp(2, mac, yiaddr=yiaddr, xid=rng.getrandbits(32)) + options + b"\xff").ljust(300, b"\0")


def malformed_packet(rng, mac):
    kind = rng.randrange(9)
    good = client_packet(rng, mac)
    if kind == 0:  # cut anywhere, also inside the fixed fields
        return good[:rng.randrange(0, len(good))]
    if kind == 1:  # no magic cookie
        return good[:236] + b"\x00\x00\x00\x00" + good[240:]
    if kind == 2:  # an option running past the end
        return bootp(1, mac) + opt(53, b"\x01") + bytes([12, 200]) + b"NV4413-"
    if kind == 3:  # host name of 255 bytes without a dash, no end option
        return bootp(3, mac) + opt(12, bytes(rng.randrange(33, 127) for _ in range(255)))
    if kind == 4:  # host name full of dashes and NULs
        return bootp(1, mac) + opt(12, b"-" * 40 + b"\0" + b"QM52X3-" * 20) + b"\xff"
    if kind == 5:  # oversized datagram, cookie at offset 44
        return (bootp(1, mac, cookie_at=44) + opt(12, b"QM52X2-0001") + b"\xff").ljust(1400, b"\xab")
    if kind == 6:  # op without its low bits, options must be ignored
        return bytes([0x80]) + good[1:]
    if kind == 7:  # truncated address options on port 68
        return bootp(2, mac, yiaddr=0x0AD50764) + opt(53, b"\x05") + opt(1, b"\xff\xff") + opt(6, b"\x0a\xd5\x07") + opt(53, b"")
    return os.urandom(rng.randrange(1, 600))


def cmd_send(seconds, out):
    rng = random.Random(8)
    inside = inside_macs()
    outside = outside_macs(rng, TOTAL - INSIDE)
    to67 = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    to68 = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    for s, port in ((to67, 68), (to68, 67)):
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
        s.setsockopt(socket.SOL_SOCKET, 32, 4 << 20)  # SO_SNDBUFFORCE
        s.bind(("0.0.0.0", port))
    # A fixed pool of packets, sent round and round: every in-range address has a clean discover in it.
    pool = []
    for mac in inside:
        pool.append((to67, (bootp(1, mac, xid=rng.getrandbits(32)) + opt(53, b"\x01") + b"\xff").ljust(300, b"\0")))
    for mac in inside + outside:
        pool.append((to67, client_packet(rng, mac)))
        pool.append((to68, server_packet(rng, mac)))
        if rng.random() < 0.25:
            s = to67 if rng.random() < 0.5 else to68
            pool.append((s, malformed_packet(rng, mac)))
    rng.shuffle(pool)
    malformed = sum(1 for _, p in pool if len(p) != 300)
    counts = {"sent": 0, "to_port_67": 0, "bytes": 0, "errors": 0}
    start = time.monotonic()
    end = start + seconds
    i = 0
    n = len(pool)
    while True:
        for _ in range(2000):
            s, p = pool[i]
            i = i + 1 if i + 1 < n else 0
            try:
                s.sendto(p, (BROADCAST, 67 if s is to67 else 68))
            except OSError:
                counts["errors"] += 1
                continue
            counts["sent"] += 1
            counts["bytes"] += len(p)
            if s is to67:
                counts["to_port_67"] += 1
        if time.monotonic() >= end:
            break
    took = time.monotonic() - start
    result = {"seconds": round(took, 3), "addresses": TOTAL, "inside": INSIDE, "pool": n,
              "pool_malformed": malformed, "rate_per_s": round(counts["sent"] / took), **counts}
    labcore.write_json(out, result)
    print(json.dumps(result))


def xrm_answer(ident, mac):
    return xrm.xrm_record(ident, "QM52X3", mac, "10.213.7.251", "V3.01", 1)


def cmd_probe(seconds, out):
    """Stop and wait: one answer, its acknowledgement, a pause, the next answer. The worker hands each answer to
    the GUI thread and waits for it before acknowledging; it rests 100 ms (plus at most 20 ms on its command
    queue) after draining its socket, so an answer sent 150 ms after the last acknowledgement finds it waiting
    on the socket, and the round trip is the time the GUI thread took to get to the answer and handle it."""
    mac = inside_macs()[0]
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind(("0.0.0.0", labcore.XRM_PORT))
    # One clean discover makes the pc search at once, so that round trips are measured before the storm too.
    hello = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    hello.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
    hello.sendto((bootp(1, mac) + opt(53, b"\x01") + opt(12, b"QM52X3-0200") + b"\xff").ljust(300, b"\0"),
                 (BROADCAST, 67))
    hello.close()
    ident, peer, sent_at, sent_ident = None, None, None, None
    next_send = 0.0
    rtts, times, lost, queries, stale = [], [], 0, 0, 0
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        now = time.monotonic()
        if ident is not None and sent_at is None and now >= next_send:
            s.sendto(xrm_answer(ident, mac), peer)
            sent_at, sent_ident = time.monotonic(), ident
        if sent_at is not None and now - sent_at > 3.0:
            lost += 1
            sent_at = None
        wait = 0.05 if sent_at is not None or ident is None else max(0.0, min(0.05, next_send - now))
        ready, _, _ = select.select([s], [], [], wait)
        if not ready:
            continue
        data, src = s.recvfrom(2048)
        got = time.monotonic()
        parsed = xrm.xrm_parse(data)
        if parsed is None or src[0] != PC_ADDR:
            continue
        kind, rid, _ = parsed
        if kind == xrm.XRM_QUERY:
            queries += 1
            if sent_at is not None and rid != ident:
                stale += 1  # the answer in flight carries an old identifier and will not be acknowledged
                sent_at = None
                next_send = got + 0.15  # the worker may be resting after reading it
            ident, peer = rid, src
        elif kind == xrm.XRM_ACK and sent_at is not None and rid == sent_ident:
            rtts.append(round((got - sent_at) * 1000, 2))
            times.append(round(got, 3))  # CLOCK_MONOTONIC: the same clock in every namespace
            sent_at = None
            next_send = got + 0.15
    result = {"samples": len(rtts), "lost": lost, "stale": stale, "queries": queries, "rtt_ms": rtts, "t": times,
              "max_rtt_ms": max(rtts) if rtts else None, "min_rtt_ms": min(rtts) if rtts else None}
    labcore.write_json(out, result)
    print(json.dumps({k: v for k, v in result.items() if k not in ("rtt_ms", "t")}))


def main(argv):
    if len(argv) == 1 and argv[0] == "macs":
        for m in inside_macs():
            print(labcore.mac_text(m, "-"))
        return 0
    if len(argv) != 3 or argv[0] not in ("send", "probe"):
        raise SystemExit(__doc__)
    (cmd_send if argv[0] == "send" else cmd_probe)(float(argv[1]), argv[2])
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
