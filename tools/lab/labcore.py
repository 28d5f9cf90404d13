"""Shared pieces of the camera lab: names and paths, the camera list syntax, the XRM datagram codec,
the address ranges and small helpers for running commands and writing state files."""

import ipaddress
import json
import os
import re
import struct
import subprocess
import tempfile

SUBNET = ipaddress.ip_network("10.213.7.0/24")
PC_ADDR = "10.213.7.2"
DHCP_ADDR = "10.213.7.1"
DNS2_ADDR = "10.213.7.3"
BURST_ADDR = "10.213.7.250"
DHCP_RANGE = ("10.213.7.100", "10.213.7.199")
# `lab up --leases-apart`: the leases come from a second subnet of the dhcp host, so that every address of the
# lab subnet is free for installations (a full segment of cameras).
APART_DHCP_ADDR = "10.213.8.1"
APART_DHCP_RANGE = ("10.213.8.10", "10.213.8.254")
TAKEN_BASE = 240  # plain hosts that occupy an address get .240 upwards on their own interface
BURST_COUNT = 1000

XRM_PORT = 10000
XRM_CLIENT_PORT = 9000
FTP_PORT = 21

# The hardware address ranges that the program accepts as cameras: (b1, b2, first L, last L).
CAMERA_RANGES = [
    (0x5E, 0xA1, 0xCC55BA, 0xCC55BA),
    (0x5E, 0xA1, 0xCC55C7, 0xCC55CA),
    (0x5E, 0xA1, 0xCDDB78, 0xCDDD6B),
    (0x5E, 0xA1, 0xCDE08C, 0xCE55BB),
    (0x5E, 0xA3, 0x7CE333, 0x7E69D2),
]

HERE = os.path.dirname(os.path.abspath(__file__))
PYTHON = "/usr/bin/python3"  # the Debian interpreter, which has python3-pyftpdlib


class LabError(Exception):
    pass


def prefix():
    p = os.environ.get("LAB_PREFIX", "cslab")
    if not re.fullmatch(r"[A-Za-z0-9][A-Za-z0-9_.-]{0,30}", p):
        raise LabError(f"LAB_PREFIX {p!r} is not a usable name (letters, digits, '.', '_', '-'; at most 31)")
    return p


def state_root(p=None):
    return f"/run/{p or prefix()}"


def ns_name(host, p=None):
    return f"{p or prefix()}-{host}"


def in_camera_ranges(mac_bytes):
    if len(mac_bytes) != 6 or mac_bytes[0] != 0x02:
        return False
    low = (mac_bytes[3] << 16) | (mac_bytes[4] << 8) | mac_bytes[5]
    return any(mac_bytes[1] == b1 and mac_bytes[2] == b2 and lo <= low <= hi for b1, b2, lo, hi in CAMERA_RANGES)


def parse_mac(text):
    parts = re.split(r"[:-]", text.strip())
    if len(parts) != 6 or not all(re.fullmatch(r"[0-9A-Fa-f]{2}", p) for p in parts):
        raise LabError(f"bad MAC address {text!r} (want six hex pairs separated by ':' or '-')")
    return bytes(int(p, 16) for p in parts)


def mac_text(mac_bytes, sep=":"):
    return sep.join(f"{b:02X}" for b in mac_bytes)


def burst_macs(count=BURST_COUNT):
    """Distinct addresses inside the widest camera range, spread so that neighbours differ in every low byte."""
    lo, hi = 0x7CE333, 0x7E69D2
    step = (hi - lo) // count
    return [bytes([0x02, 0x5E, 0xA3]) + (lo + i * step).to_bytes(3, "big") for i in range(count)]


# ---- camera list syntax -------------------------------------------------------------------------------

CAMERA_KEYS = {
    "name": "namespace suffix and the name used by 'lab state' / 'lab exec' (default camN)",
    "mac": "hardware address (required), e.g. 02:5E:A1:CC:55:BA",
    "host": "DHCP host name option, e.g. NV4413-0102; 'none' sends no host name option",
    "xrm": "1 answers the XRM search, 0 does not (default 1)",
    "model": "model text of the XRM record (default: host name up to its first '-', else 'NV4412')",
    "fw": "second text of the XRM record (default 'V3.01')",
    "value": "32-bit value of the XRM record (default 1)",
    "boot": "dhcp (default), noaddr (starts without any address), static:A.B.C.D[/N], hold (waits for 'lab boot')",
    "replies": "broadcast (default; 'lab up --unicast-replies' changes it): the DHCP client sets the broadcast flag; "
               "unicast: it does not, and the server replies to its MAC",
    "password": "FTP password of user admin (default: the MAC without separators, upper case)",
    "silence": "seconds the camera stays silent when it restarts (default 3)",
    "upload": "refuse: the FTP server refuses every upload",
    "drop": "get or put: the FTP connection drops in the middle of a download or upload of config.ini",
    "comeback": "0: the camera never comes back after a restart (default 1)",
    "restart": "instant: the camera restarts the moment it has stored config.ini, its FTP session with it "
               "(no reply to QUIT; the connection is reset once it is back); default: 0.3 s after its reply",
    "passive": "refuse: the FTP server refuses EPSV and PASV (active mode, PORT, still works)",
    "truncate": "N: a download of config.ini brings only its first N bytes; SIZE and the 226 reply stay normal",
    "xrmdelay": "seconds the camera waits before it answers an XRM query (default 0)",
    "taken": "A.B.C.D: another lab host already answers at that address",
    "icmp": "drop: that taken host ignores echo requests and answers only ARP (needs taken=)",
}

DEFAULT_CAMERAS = (
    "name=wired,mac=02:5E:A1:CC:55:BA,host=NV4412-0104,xrm=0,model=NV4412;"
    "name=wireless,mac=02:5E:A1:CC:55:C7,host=QM52X3-0200,xrm=1,model=QM52X3;"
    "name=noaddr,mac=02:5E:A1:CC:55:C8,host=none,boot=noaddr,xrm=1,model=QM52X2;"
    "name=outside,mac=02:5E:A1:CC:55:BB,host=NV4413-0102,xrm=1,model=NV4413;"
    "name=unicast,mac=02:5E:A1:CC:55:C9,host=NV4412-0104,xrm=0,model=NV4412,replies=unicast"
)


def _float_field(cam, key, default, low=0.0, high=3600.0):
    raw = cam.get(key)
    if raw is None:
        return default
    try:
        v = float(raw)
    except ValueError:
        raise LabError(f"camera {cam.get('name', '?')}: {key}={raw!r} is not a number") from None
    if not low <= v <= high:
        raise LabError(f"camera {cam.get('name', '?')}: {key}={raw} is outside {low}..{high}")
    return v


def _check_ipv4(name, key, text):
    try:
        return str(ipaddress.IPv4Address(text))
    except ValueError:
        raise LabError(f"camera {name}: {key}={text!r} is not an IPv4 address") from None


def parse_cameras(listing):
    """'key=value,key=value;key=value,...' (one camera per ';', or per line of a config file) -> camera dicts
    with every field filled in. Raises LabError with a message naming the camera and the field."""
    cameras = []
    chunks = [c.strip() for c in re.split(r"[;\n]", listing)]
    for chunk in chunks:
        if not chunk or chunk.startswith("#"):
            continue
        raw = {}
        for item in chunk.split(","):
            item = item.strip()
            if not item:
                continue
            if "=" not in item:
                raise LabError(f"camera {len(cameras) + 1}: {item!r} is not key=value")
            k, v = (s.strip() for s in item.split("=", 1))
            if k not in CAMERA_KEYS:
                raise LabError(f"camera {len(cameras) + 1}: unknown key {k!r} (known: {', '.join(CAMERA_KEYS)})")
            if k in raw:
                raise LabError(f"camera {len(cameras) + 1}: {k} given twice")
            raw[k] = v
        cameras.append(_complete_camera(raw, len(cameras) + 1))
    names = [c["name"] for c in cameras]
    dup = {n for n in names if names.count(n) > 1}
    if dup:
        raise LabError(f"camera names used twice: {', '.join(sorted(dup))}")
    macs = [c["mac"] for c in cameras]
    dup = {m for m in macs if macs.count(m) > 1}
    if dup:
        raise LabError(f"MAC addresses used twice: {', '.join(sorted(dup))}")
    return cameras


RESERVED_NAMES = {"br", "pc", "dhcp", "burst"}


def _complete_camera(raw, index):
    name = raw.get("name", f"cam{index}")
    if not re.fullmatch(r"[a-z0-9][a-z0-9_]{0,11}", name) or name in RESERVED_NAMES or name.startswith("taken"):
        raise LabError(f"camera {index}: name {name!r} must be 1-12 of a-z 0-9 _ and not br, pc, dhcp, burst, taken*")
    if "mac" not in raw:
        raise LabError(f"camera {name}: mac= is required")
    mac = parse_mac(raw["mac"])
    if mac[0] & 1:
        raise LabError(f"camera {name}: {raw['mac']} is a multicast address")
    host = raw.get("host", "none")
    if host != "none" and not re.fullmatch(r"[A-Za-z0-9][A-Za-z0-9._-]{0,62}", host):
        raise LabError(f"camera {name}: host name {host!r} must be letters, digits, '.', '_', '-'")
    xrm = raw.get("xrm", "1")
    if xrm not in ("0", "1"):
        raise LabError(f"camera {name}: xrm must be 0 or 1")
    default_model = host.split("-", 1)[0] if host != "none" else "NV4412"
    model = raw.get("model", default_model)
    fw = raw.get("fw", "V3.01")
    for key, text in (("model", model), ("fw", fw)):
        if not 1 <= len(text.encode()) <= 254:
            raise LabError(f"camera {name}: {key} must be 1 to 254 bytes")
    try:
        value = int(raw.get("value", "1"), 0)
    except ValueError:
        raise LabError(f"camera {name}: value must be an integer") from None
    if not 0 <= value <= 0xFFFFFFFF:
        raise LabError(f"camera {name}: value must fit in 32 bits")
    boot = raw.get("boot", "dhcp")
    static = static_prefix = None
    if boot.startswith("static:"):
        address, _, plen = boot[len("static:"):].partition("/")
        static = _check_ipv4(name, "boot", address)
        if plen:
            if not plen.isdigit() or not 1 <= int(plen) <= 32:
                raise LabError(f"camera {name}: boot=static:{address}/{plen} needs a prefix length of 1-32")
            static_prefix = int(plen)
        boot = "static"
    elif boot not in ("dhcp", "noaddr", "hold"):
        raise LabError(f"camera {name}: boot must be dhcp, noaddr, hold or static:A.B.C.D[/N]")
    replies = raw.get("replies")
    if replies not in (None, "broadcast", "unicast"):
        raise LabError(f"camera {name}: replies must be broadcast or unicast")
    upload = raw.get("upload", "accept")
    if upload not in ("accept", "refuse"):
        raise LabError(f"camera {name}: upload must be refuse (or accept)")
    drop = raw.get("drop", "none")
    if drop not in ("none", "get", "put"):
        raise LabError(f"camera {name}: drop must be get or put")
    comeback = raw.get("comeback", "1")
    if comeback not in ("0", "1"):
        raise LabError(f"camera {name}: comeback must be 0 or 1")
    restart = raw.get("restart", "normal")
    if restart not in ("normal", "instant"):
        raise LabError(f"camera {name}: restart must be instant (or normal)")
    passive = raw.get("passive", "accept")
    if passive not in ("accept", "refuse"):
        raise LabError(f"camera {name}: passive must be refuse (or accept)")
    truncate = raw.get("truncate")
    if truncate is not None:
        if not truncate.isdigit():
            raise LabError(f"camera {name}: truncate must be a byte count")
        truncate = int(truncate)
    taken = raw.get("taken")
    if taken is not None:
        taken = _check_ipv4(name, "taken", taken)
        if taken in (PC_ADDR, DHCP_ADDR, BURST_ADDR):
            raise LabError(f"camera {name}: taken={taken} is an address of the lab's own hosts")
    icmp = raw.get("icmp", "answer")
    if icmp not in ("answer", "drop"):
        raise LabError(f"camera {name}: icmp must be drop (or answer)")
    if icmp == "drop" and taken is None:
        raise LabError(f"camera {name}: icmp=drop needs taken=A.B.C.D")
    return {
        "name": name,
        "mac": mac_text(mac),
        "host": None if host == "none" else host,
        "xrm": xrm == "1",
        "model": model,
        "fw": fw,
        "value": value,
        "boot": boot,
        "static": static,
        "static_prefix": static_prefix,
        "replies": replies,  # None: the lab's choice
        "password": raw.get("password", mac.hex().upper()),
        "silence": _float_field(raw | {"name": name}, "silence", 3.0),
        "upload": upload,
        "drop": drop,
        "comeback": comeback == "1",
        "restart": restart,
        "passive": passive,
        "truncate": truncate,
        "xrmdelay": _float_field(raw | {"name": name}, "xrmdelay", 0.0, high=60.0),
        "taken": taken,
        "icmp": icmp,
    }


# ---- XRM datagrams ------------------------------------------------------------------------------------

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


# ---- helpers ------------------------------------------------------------------------------------------


def run(cmd, check=True, quiet=False):
    r = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if check and r.returncode != 0:
        raise LabError(f"{' '.join(cmd)} failed: {r.stderr.strip() or r.stdout.strip()}")
    return r


def write_json(path, obj):
    """Atomic replace, so a reader never sees half a file."""
    d = os.path.dirname(path)
    fd, tmp = tempfile.mkstemp(dir=d, prefix=".tmp-")
    with os.fdopen(fd, "w") as f:
        json.dump(obj, f, indent=1, sort_keys=True)
        f.write("\n")
    os.replace(tmp, path)


def read_json(path, default=None):
    try:
        with open(path) as f:
            return json.load(f)
    except (OSError, ValueError):
        return default


def default_config_ini(cam):
    """A camera's factory config.ini: every tag the program rewrites, each followed by its value line, among
    settings the program does not know; CRLF line ends."""
    lines = [
        "[camera]",
        "<model name>",
        cam["model"],
        "<firmware version>",
        cam["fw"],
        "<host name>",
        cam["host"] or "",
        "<reset system>",
        "NO",
        "<install enabled>",
        "NO",
        "<ip address>",
        "0.0.0.0",
        "<subnet mask>",
        "255.255.255.0",
        "<gateway ip>",
        DHCP_ADDR,
        "<primary name server>",
        DHCP_ADDR,
        "<secondary name server>",
        DNS2_ADDR,
        "; video settings are not touched by the set-up tool",
        "<resolution>",
        "640x480",
        "<frame rate>",
        "25",
        "[wireless]",
        "<SSID>",
        "default",
        "<wireless mode>",
        "0",
        "<channel>",
        "6",
        "<Tx rate>",
        "11M",
        "<preamble>",
        "long",
        "<data encryption>",
        "NO",
        "<authentication mode>",
        "auto",
        "<key length>",
        "64bit",
        "<key format>",
        "HEX",
        "<key select>",
        "1",
        "<key 1>",
        "0123456789",
        "<key 2>",
        "",
        "<key 3>",
        "",
        "<key 4>",
        "",
        "[end]",
    ]
    return ("\r\n".join(lines) + "\r\n").encode()


def reset_requested(data):
    """True when the line after the first '<reset system>' line reads YES (CR dropped, as the camera reads it)."""
    lines = data.replace(b"\r", b"").split(b"\n")
    for i, line in enumerate(lines):
        if line == b"<reset system>":
            return i + 1 < len(lines) and lines[i + 1] == b"YES"
    return False
