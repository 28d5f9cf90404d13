"""What the batch lab test and bench/batch_bench share: knowing when the program listens for DHCP, and reading
the batch's output, results file and state file."""

import csv
import datetime
import json
import subprocess
import time


def wait_listening(namespace, process, timeout=20.0):
    """True once the namespace reads UDP 67 and 68 (the cameras may be booted then): two bound sockets, or the
    helper's two IPv4 packet sockets (it binds no port); False when the process ended or the time ran out first."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline and process.poll() is None:
        out = subprocess.run(["ip", "netns", "exec", namespace, "ss", "-Hlun"], capture_output=True,
                             text=True).stdout
        ports = {line.split()[3].rsplit(":", 1)[-1] for line in out.splitlines() if len(line.split()) > 3}
        packet = subprocess.run(["ip", "netns", "exec", namespace, "ss", "-Hl0"], capture_output=True,
                                text=True).stdout
        if {"67", "68"} <= ports or sum(line.split()[4:5] == ["ip:*"] for line in packet.splitlines()) >= 2:
            return True
        time.sleep(0.05)
    return False


ENDED = ("installed", "failed", "skipped", "stopped")


def final_lines(stdout):
    """MAC -> (state, address, text, reason) of the camera's last progress line; an ended camera's line names its
    reason before the text, the others have none ("")."""
    last = {}
    for line in stdout.splitlines():
        parts = line.split(" ", 2)
        if len(parts) < 3 or parts[1] not in ("waiting", "running") + ENDED:
            continue
        address, _, rest = parts[2].partition(" ")
        reason = ""
        if parts[1] in ENDED:
            reason, _, rest = rest.partition(" ")
        last[parts[0]] = (parts[1], address, rest, reason)
    return last


def read_results(path):
    with open(path, newline="", encoding="utf-8") as f:
        return list(csv.reader(f))


def read_state(path):
    with open(path, encoding="utf-8") as f:
        return json.load(f)


def seconds_between(started, ended):
    parse = datetime.datetime.fromisoformat
    return (parse(ended.replace("Z", "+00:00")) - parse(started.replace("Z", "+00:00"))).total_seconds()
