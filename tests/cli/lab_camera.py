#!/usr/bin/env python3
"""One simulated camera for the list command's lab test, run inside the camera's network namespace.

Waits for camera-setup's start-up XRM query (proof that it listens), then sends a DHCP discover, answers the
next XRM query and checks the acknowledgement, and finally broadcasts a DHCP acknowledgement for a second
camera. Exit status 0 when every step was seen.
"""
import argparse
import socket
import struct
import sys
import time

SO_BINDTODEVICE = 25
CAMERA_MAC = bytes([0x02, 0x5E, 0xA1, 0xCC, 0x55, 0xBA])
SECOND_MAC = bytes([0x02, 0x5E, 0xA3, 0x7E, 0x69, 0xD2])


def dhcp(op, mac, yiaddr, options):
    packet = bytearray(236)
    packet[0] = op
    packet[1], packet[2] = 1, 6
    packet[16:20] = socket.inet_aton(yiaddr)
    packet[28:34] = mac
    return bytes(packet) + bytes([99, 130, 83, 99]) + options + bytes([255])


def option(code, data):
    return bytes([code, len(data)]) + data


def wait_query(xrm, deadline):
    while time.time() < deadline:
        xrm.settimeout(max(0.01, deadline - time.time()))
        try:
            data, peer = xrm.recvfrom(2048)
        except socket.timeout:
            break
        if len(data) == 5 and data[0] == 1:
            return struct.unpack("<I", data[1:5])[0], peer
    return None, None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--iface", required=True)
    parser.add_argument("--address", required=True)
    args = parser.parse_args()

    xrm = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    xrm.bind(("0.0.0.0", 10000))
    dhcp_out = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    dhcp_out.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
    dhcp_out.setsockopt(socket.SOL_SOCKET, SO_BINDTODEVICE, args.iface.encode())

    first, _ = wait_query(xrm, time.time() + 10)
    if first is None:
        print("lab camera: no start-up XRM query", file=sys.stderr)
        return 1
    time.sleep(0.3)
    while wait_query(xrm, time.time() + 0.05)[0] == first:
        pass

    discover = dhcp(1, CAMERA_MAC, "0.0.0.0", option(53, b"\x01") + option(12, b"NV4413-0102"))
    dhcp_out.bind(("0.0.0.0", 68))
    dhcp_out.sendto(discover, ("255.255.255.255", 67))

    identifier, peer = wait_query(xrm, time.time() + 5)
    if identifier is None or identifier == first:
        print("lab camera: the sighting posted no XRM query", file=sys.stderr)
        return 1
    record = bytes([2]) + struct.pack("<I", identifier) + option(1, b"NV4413") + option(2, CAMERA_MAC)
    record += option(3, socket.inet_aton(args.address))
    xrm.sendto(record, peer)
    deadline = time.time() + 3
    acknowledged = False
    while time.time() < deadline and not acknowledged:
        xrm.settimeout(max(0.01, deadline - time.time()))
        try:
            data, _ = xrm.recvfrom(2048)
        except socket.timeout:
            break
        acknowledged = data == bytes([3]) + struct.pack("<I", identifier)
    if not acknowledged:
        print("lab camera: the answer was not acknowledged", file=sys.stderr)
        return 1

    server = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    server.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
    server.setsockopt(socket.SOL_SOCKET, SO_BINDTODEVICE, args.iface.encode())
    server.bind(("0.0.0.0", 67))
    ack = dhcp(2, SECOND_MAC, "10.77.0.60",
               option(53, b"\x05") + option(1, socket.inet_aton("255.255.255.0")) +
               option(3, socket.inet_aton("10.77.0.254")) + option(6, socket.inet_aton("10.77.0.53")))
    server.sendto(ack, ("255.255.255.255", 68))
    print("lab camera: all steps seen", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
