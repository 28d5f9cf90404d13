#!/usr/bin/python3
"""Relays the lab's DHCP storm through camera-setup-helper and counts what reaches the program's side (root only).

  bench/relay/relay_storm.py [--helper PATH] [--seconds 20]

Builds a lab (prefix rstorm-PID, no cameras, the storm host), starts the helper in the pc namespace with two relay
channels (dhcp-relay 67 and 68, as the program asks for them), reads the channels as fast as it can while
tools/lab/storm.py sends for the given time, and prints: the storm's packet count and rate, the records relayed,
the in-range hardware addresses heard against the storm's list (every one must arrive), any record of an address
outside the ranges (must be none), and the drops the helper logged. The lab is removed whatever happens.
"""

import argparse
import glob
import json
import os
import select
import socket
import struct
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
LAB = os.path.join(ROOT, "tools", "lab", "lab")
STORM = os.path.join(ROOT, "tools", "lab", "storm.py")
sys.path.insert(0, os.path.join(ROOT, "tools", "lab"))
import labcore  # noqa: E402


def reader(helper, seconds, out):
    """In the pc namespace: the program's side of the relay."""
    control, helper_end = socket.socketpair(socket.AF_UNIX, socket.SOCK_SEQPACKET)
    child = subprocess.Popen([helper], pass_fds=[helper_end.fileno(), 3], stderr=subprocess.PIPE,
                             preexec_fn=lambda: os.dup2(helper_end.fileno(), 3))
    helper_end.close()
    channels = {}
    for port in (67, 68):
        mine, theirs = socket.socketpair(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        mine.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8 << 20)
        socket.send_fds(control, [f"{port} dhcp-relay {port}".encode()], [theirs.fileno()])
        reply = control.recv(512).decode()
        theirs.close()
        if reply.split()[1] != "0":
            raise SystemExit(f"dhcp-relay {port}: {reply}")
        channels[mine.fileno()] = mine
    print("ready", flush=True)
    records = 0
    heard = set()
    outside = 0
    end = time.monotonic() + seconds
    poller = select.poll()
    for fd in channels:
        poller.register(fd, select.POLLIN)
    while time.monotonic() < end:
        for fd, _ in poller.poll(200):
            while True:
                try:
                    packet = channels[fd].recv(4096, socket.MSG_DONTWAIT)
                except BlockingIOError:
                    break
                records += 1
                chaddr = packet[16 + 28:16 + 34]
                if labcore.in_camera_ranges(chaddr):
                    heard.add(chaddr.hex())
                else:
                    outside += 1
    control.close()
    _, errors = child.communicate(timeout=10)
    drops = [line for line in errors.decode().splitlines() if "did not read in time" in line]
    with open(out, "w") as f:
        json.dump({"records": records, "heard": sorted(heard), "outside": outside, "drop_lines": drops}, f)


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "reader":
        return reader(sys.argv[2], float(sys.argv[3]), sys.argv[4])
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--helper", default=None)
    ap.add_argument("--seconds", type=float, default=20)
    args = ap.parse_args()
    if os.geteuid() != 0:
        print("relay_storm.py needs root (network namespaces)", file=sys.stderr)
        return 77
    helpers = sorted(glob.glob(os.path.join(ROOT, "build", "*", "src", "app", "camera-setup-helper")),
                     key=os.path.getmtime)
    helper = os.path.abspath(args.helper or helpers[-1])
    env = dict(os.environ, LAB_PREFIX=f"rstorm-{os.getpid()}")
    out = f"/tmp/rstorm-{os.getpid()}"
    try:
        subprocess.run([LAB, "up", "--cameras", "", "--storm"], env=env, check=True, stdout=subprocess.DEVNULL)
        macs = set(subprocess.run([sys.executable, STORM, "macs"], check=True, stdout=subprocess.PIPE,
                                  text=True).stdout.replace(":", "").replace("-", "").lower().split())
        read = subprocess.Popen([LAB, "exec", "pc", sys.executable, os.path.abspath(__file__), "reader", helper,
                                 str(args.seconds + 5), out + "-reader.json"], env=env, stdout=subprocess.PIPE,
                                text=True)
        read.stdout.readline()
        subprocess.run([LAB, "exec", "storm", sys.executable, STORM, "send", str(args.seconds), out + "-send.json"],
                       env=env, check=True)
        read.wait(timeout=args.seconds + 30)
        with open(out + "-send.json") as f:
            sent = json.load(f)
        with open(out + "-reader.json") as f:
            got = json.load(f)
        heard = set(got["heard"])
        print(json.dumps({"storm": sent, "records_relayed": got["records"],
                          "in_range_heard": len(heard & macs), "in_range_sent": len(macs),
                          "in_range_lost": len(macs - heard), "outside_range_relayed": got["outside"],
                          "helper_drop_lines": got["drop_lines"]}, indent=1))
        return 0 if macs <= heard and got["outside"] == 0 else 1
    finally:
        subprocess.run([LAB, "down"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for suffix in ("-send.json", "-reader.json"):
            if os.path.exists(out + suffix):
                os.remove(out + suffix)


if __name__ == "__main__":
    sys.exit(main())
