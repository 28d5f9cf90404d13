"""The config.ini an installation must leave on a camera, computed independently of the program: the lab tests
and bench/batch_bench compare the camera's file with it byte for byte."""

TAGS_ENCRYPTION = {"<authentication mode>", "<key length>", "<key format>", "<key select>",
                   "<key 1>", "<key 2>", "<key 3>", "<key 4>"}


def expected_rewrite(original: bytes, values: dict, encryption: bool) -> bytes:
    """The camera file the installation must leave: every line with CR LF, the line after a known tag replaced
    (the encryption tags only when encryption is on)."""
    lines = original.replace(b"\r", b"").split(b"\n")
    if lines and lines[-1] == b"":
        lines.pop()
    out = []
    i = 0
    while i < len(lines):
        line = lines[i].decode()
        out.append(line)
        i += 1
        if line in values:
            old = lines[i].decode() if i < len(lines) else line
            i += 1 if i < len(lines) else 0
            out.append(old if (line in TAGS_ENCRYPTION and not encryption) else values[line])
    return b"".join(s.encode() + b"\r\n" for s in out)


def base_values(mask="255.255.255.0", gateway="10.213.7.1", dns1="10.213.7.1", dns2="10.213.7.3",
                findable=False):
    return {
        "<reset system>": "YES", "<install enabled>": "YES" if findable else "NO", "<subnet mask>": mask,
        "<gateway ip>": gateway, "<primary name server>": dns1, "<secondary name server>": dns2,
        # A camera that is not wireless keeps the values of a page never shown.
        "<SSID>": "", "<wireless mode>": "0", "<channel>": "1", "<Tx rate>": "1M", "<preamble>": "long",
        "<data encryption>": "NO", "<authentication mode>": "auto", "<key length>": "64bit", "<key format>": "ASCII",
        "<key select>": "1", "<key 1>": "", "<key 2>": "", "<key 3>": "", "<key 4>": "",
    }
