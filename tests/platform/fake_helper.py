#!/usr/bin/python3
"""A stand-in for camera-setup-helper on descriptor 3: answers hello, says what came with each other request
("fds=N type=T", T the SO_TYPE of the first), and attaches a descriptor to its reply to cleanup, which the real
helper never does."""

import array
import socket

channel = socket.socket(fileno=3)
while True:
    data, ancillary, _, _ = channel.recvmsg(256, socket.CMSG_SPACE(4 * 4))
    if not data:
        break
    token, verb = data.split(b" ")[:2]
    fds = array.array("i")
    for level, kind, payload in ancillary:
        if level == socket.SOL_SOCKET and kind == socket.SCM_RIGHTS:
            fds.frombytes(payload[:len(payload) - len(payload) % fds.itemsize])
    if verb == b"hello":
        channel.send(token + b" 0 camera-setup-helper 2 caps=net_raw,net_admin")
    elif verb == b"cleanup":
        channel.sendmsg([token + b" 0 removed 0"], [(socket.SOL_SOCKET, socket.SCM_RIGHTS, array.array("i", [0]))])
    else:
        kind = socket.socket(fileno=fds[0]).getsockopt(socket.SOL_SOCKET, socket.SO_TYPE) if fds else 0
        channel.send(token + b" 0 fds=%d type=%d" % (len(fds), kind))
