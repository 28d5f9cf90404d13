#!/usr/bin/python3
"""Captures seed inputs for the fuzz targets from a running camera lab: the DHCP traffic that the cameras and
the lab's DHCP server exchange (ports 67 and 68), the cameras' XRM answers to one query and their ICMP echo
replies (with IPv4 header, as the raw socket hands them over). Runs inside the lab's pc namespace:

  LAB_PREFIX=seeds tools/lab/lab up
  LAB_PREFIX=seeds tools/lab/lab exec pc fuzz/capture_seeds.py OUT_DIR SECONDS
  LAB_PREFIX=seeds tools/lab/lab down

Writes OUT_DIR/dhcp_client/*, dhcp_server/*, xrm/*, echo_reply/*, one file per distinct datagram.
"""

import hashlib
import os
import select
import socket
import struct
import sys
import time


def save(out, kind, data):
    d = os.path.join(out, kind)
    os.makedirs(d, exist_ok=True)
    name = "lab-" + hashlib.sha1(data).hexdigest()[:12]
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


def udp(port, broadcast=False):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    if broadcast:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
    s.bind(("0.0.0.0", port))
    return s


def checksum(data):
    if len(data) % 2:
        data += b"\0"
    total = sum(struct.unpack(f"!{len(data) // 2}H", data))
    total = (total >> 16) + (total & 0xFFFF)
    total += total >> 16
    return ~total & 0xFFFF


def main():
    out, seconds = sys.argv[1], float(sys.argv[2])
    client, server, xrm = udp(67), udp(68), udp(9000, broadcast=True)
    icmp = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_ICMP)
    ident = 0x2BAD
    query = bytes([1]) + struct.pack("<I", 0x12345678)
    peers, seen = set(), set()
    end = time.monotonic() + seconds
    next_query = 0.0
    while time.monotonic() < end:
        now = time.monotonic()
        if now >= next_query:
            xrm.sendto(query, ("10.213.7.255", 10000))
            for seq, peer in enumerate(sorted(peers)):
                body = struct.pack("<HHI", ident, seq + 1, int(now * 1000) & 0xFFFFFFFF) + b"E" * 32
                head = struct.pack("<BBH", 8, 0, 0) + body
                icmp.sendto(struct.pack("<BB", 8, 0) + struct.pack("!H", checksum(head)) + body, (peer, 0))
            next_query = now + 2.0
        ready, _, _ = select.select([client, server, xrm, icmp], [], [], 0.2)
        for s in ready:
            data, src = s.recvfrom(2048)
            if data in seen:
                continue
            seen.add(data)
            if s is client:
                save(out, "dhcp_client", data)
            elif s is server:
                save(out, "dhcp_server", data)
            elif s is xrm:
                if data[:1] != b"\x01":
                    save(out, "xrm", data)
                    if src[0] != "10.213.7.2":
                        peers.add(src[0])
            else:
                save(out, "echo_reply", data)
    print(f"{len(seen)} distinct datagrams", file=sys.stderr)


if __name__ == "__main__":
    main()
