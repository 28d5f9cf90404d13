#!/usr/bin/python3
"""Listens on eth0 of the lab namespace it runs in (the pc's; it sends nothing) and writes one JSON line per event,
stamped with the kernel's receive time: the first DHCP client packet of each MAC, the FTP control lines that end a
session (STOR, its "226" reply, QUIT and its "221" reply) and every ICMP echo request the pc sends.

Usage: ip netns exec PREFIX-pc lab_sniffer.py OUT.jsonl PC_ADDRESS   (ends on SIGTERM)
"""

import json
import signal
import socket
import struct
import sys

SO_TIMESTAMPNS = 35
ETH_P_ALL = 3


def main():
    out = open(sys.argv[1], "w", buffering=1)
    pc = sys.argv[2]
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(ETH_P_ALL))
    SO_RCVBUFFORCE = 33
    s.setsockopt(socket.SOL_SOCKET, SO_RCVBUFFORCE, 32 << 20)  # a burst of 100 transfers must not overflow it
    s.bind(("eth0", 0))
    s.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
    booted = set()
    while True:
        frame, ancillary, _, _ = s.recvmsg(2048, 64)
        stamp = next((struct.unpack("qq", data[:16]) for level, kind, data in ancillary
                      if level == socket.SOL_SOCKET and kind == SO_TIMESTAMPNS), None)
        if stamp is None or len(frame) < 34 or frame[12:14] != b"\x08\x00":
            continue
        t = stamp[0] + stamp[1] / 1e9
        ip = frame[14:]
        l4 = ip[(ip[0] & 0x0F) * 4:]
        src, dst = socket.inet_ntoa(ip[12:16]), socket.inet_ntoa(ip[16:20])
        event = None
        if ip[9] == 1 and l4[:1] == b"\x08" and src == pc:
            event = {"kind": "echo", "to": dst}
        elif ip[9] == 17 and len(l4) >= 8 + 34 and struct.unpack("!H", l4[2:4])[0] == 67:
            mac = "-".join(f"{b:02X}" for b in l4[8 + 28:8 + 34])
            if mac not in booted:
                booted.add(mac)
                event = {"kind": "dhcp", "mac": mac}
        elif ip[9] == 6 and len(l4) >= 20 and 21 in struct.unpack("!HH", l4[0:4]):
            payload = l4[(l4[12] >> 4) * 4:]
            if payload[:3] in (b"226", b"221", b"QUI", b"STO"):
                event = {"kind": payload[:3].decode(), "from": src, "to": dst}
        if event:
            event["t"] = t
            out.write(json.dumps(event) + "\n")


if __name__ == "__main__":
    main()
