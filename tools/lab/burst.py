#!/usr/bin/python3
"""The burst host: answers every XRM query as 1,000 cameras at once (distinct MACs inside the camera ranges),
for the scale check. Runs inside its own namespace; writes state.json into STATE_DIR.

Usage: burst.py STATE_DIR
"""

import ipaddress
import os
import select
import signal
import socket
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import labcore  # noqa: E402
import xrm  # noqa: E402

FIRST_ADDR = int(ipaddress.IPv4Address("10.213.128.1"))


def main():
    if len(sys.argv) != 2:
        raise SystemExit(__doc__)
    state_dir = sys.argv[1]
    macs = labcore.burst_macs()
    running = [True]
    signal.signal(signal.SIGTERM, lambda *_: running.__setitem__(0, False))
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
    # 1,000 acknowledgements arrive in one go; the default buffer would drop most of them.
    s.setsockopt(socket.SOL_SOCKET, 33, 4 << 20)  # SO_RCVBUFFORCE
    s.setsockopt(socket.SOL_SOCKET, 32, 4 << 20)  # SO_SNDBUFFORCE
    s.bind(("0.0.0.0", labcore.XRM_PORT))
    state = {"pid": os.getpid(), "cameras": len(macs), "xrm_query_count": 0, "xrm_ack_count": 0,
             "answers_sent": 0, "send_errors": 0, "queries": []}
    dirty, last_write = True, 0.0
    while running[0]:
        if dirty and time.monotonic() - last_write > 0.2:
            labcore.write_json(os.path.join(state_dir, "state.json"), state)
            dirty, last_write = False, time.monotonic()
        try:
            ready, _, _ = select.select([s], [], [], 0.2)
        except InterruptedError:
            continue
        if not ready:
            continue
        data, src = s.recvfrom(2048)
        parsed = xrm.xrm_parse(data)
        if parsed is None:
            continue
        kind, ident, _ = parsed
        dirty = True
        if kind == xrm.XRM_ACK:
            state["xrm_ack_count"] += 1
            continue
        if kind != xrm.XRM_QUERY:
            continue
        state["xrm_query_count"] += 1
        state["queries"] = (state["queries"] + [{"id": ident, "from": f"{src[0]}:{src[1]}", "time": time.time()}])[-100:]
        for i, mac in enumerate(macs):
            rec = xrm.xrm_record(ident, "QM52X3", mac, str(ipaddress.IPv4Address(FIRST_ADDR + i)), "V3.01", i)
            for _ in range(50):
                try:
                    s.sendto(rec, src)
                    state["answers_sent"] += 1
                    break
                except BlockingIOError:
                    time.sleep(0.001)
                except OSError:
                    state["send_errors"] += 1
                    break
    labcore.write_json(os.path.join(state_dir, "state.json"), state)


if __name__ == "__main__":
    main()
