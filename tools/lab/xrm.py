"""The XRM datagrams as the simulated cameras and the lab's tools speak them: a type byte, a 32-bit identifier
(little-endian) and code/length/value options."""

import ipaddress
import struct

XRM_QUERY, XRM_RECORD, XRM_ACK = 1, 2, 3


def xrm_header(kind, ident):
    return struct.pack("<BI", kind, ident & 0xFFFFFFFF)


def xrm_record(ident, model, mac_bytes, addr, fw, value, kind=XRM_RECORD):
    """A device record: options 1 (model), 2 (MAC), 3 (IPv4, wire order), 4 (second text), 5 (32-bit value)."""
    out = bytearray(xrm_header(kind, ident))
    m = model.encode()[:254]
    out += bytes([1, len(m)]) + m
    out += bytes([2, 6]) + mac_bytes
    out += bytes([3, 4]) + ipaddress.IPv4Address(addr).packed
    f = fw.encode()[:254]
    out += bytes([4, len(f)]) + f
    out += bytes([5, 4]) + struct.pack("<I", value & 0xFFFFFFFF)
    return bytes(out)


def xrm_parse(data):
    """-> (type, identifier, {code: bytes}) or None for anything malformed. Checks every length before reading."""
    if len(data) < 5:
        return None
    kind, ident = struct.unpack_from("<BI", data, 0)
    opts = {}
    pos = 5
    while pos < len(data):
        if len(data) - pos < 2:
            return None
        code, length = data[pos], data[pos + 1]
        if pos + 2 + length > len(data):
            return None
        opts[code] = bytes(data[pos + 2 : pos + 2 + length])
        pos += 2 + length
    return kind, ident, opts
