"""A simulated camera's config.ini: its factory contents, the reset request an upload carries, and the files the
camera keeps (the one served by FTP, the last complete one, every upload numbered)."""

import os

import labcore


class ConfigStore:
    """config.ini under ftp/ of the camera's state directory, its last complete version beside it (an upload
    that breaks off is replaced by it) and a copy of every complete upload under uploads/."""

    def __init__(self, state_dir, cam):
        self.ftp_dir = os.path.join(state_dir, "ftp")
        self.path = os.path.join(self.ftp_dir, "config.ini")
        self.backup_path = os.path.join(state_dir, "config.ini.last")
        self.uploads_dir = os.path.join(state_dir, "uploads")
        os.makedirs(self.ftp_dir, exist_ok=True)
        os.makedirs(self.uploads_dir, exist_ok=True)
        if not os.path.exists(self.path):
            with open(self.path, "wb") as f:
                f.write(default_config_ini(cam))
        self.save_backup()

    def save_backup(self):
        with open(self.path, "rb") as f:
            data = f.read()
        with open(self.backup_path, "wb") as f:
            f.write(data)

    def received(self, data, number):
        """A complete upload, the camera's number-th: kept as its configuration and copied."""
        with open(os.path.join(self.uploads_dir, f"{number:03d}-config.ini"), "wb") as f:
            f.write(data)
        self.save_backup()

    def discard_incomplete(self, file):
        """Half a file is never the camera's configuration: the last complete one goes back."""
        with open(self.backup_path, "rb") as src, open(file, "wb") as dst:
            dst.write(src.read())


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
        labcore.DHCP_ADDR,
        "<primary name server>",
        labcore.DHCP_ADDR,
        "<secondary name server>",
        labcore.DNS2_ADDR,
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


def tag_value(data, tag):
    """The value line after the first line that reads `tag` (bytes, CR dropped), or None."""
    lines = data.replace(b"\r", b"").split(b"\n")
    for i, line in enumerate(lines):
        if line == tag:
            return lines[i + 1] if i + 1 < len(lines) else b""
    return None


def with_tag_value(data, tag, value):
    """config.ini bytes with the value line after the first `tag` line replaced, its line end kept."""
    lines = data.split(b"\n")
    for i, line in enumerate(lines):
        if line.rstrip(b"\r") == tag and i + 1 < len(lines):
            end = b"\r" if lines[i + 1].endswith(b"\r") else b""
            lines[i + 1] = value + end
            break
    return b"\n".join(lines)
