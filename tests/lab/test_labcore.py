"""The lab's camera list syntax, XRM codec and config.ini helpers; no namespaces needed."""

import struct
import unittest

import camconfig
import labcore
import xrm


class CameraList(unittest.TestCase):
    def test_defaults_are_filled_in(self):
        (cam,) = labcore.parse_cameras("mac=02-5e-a1-cc-55-ba,host=NV4413-0102")
        self.assertEqual((cam["name"], cam["mac"], cam["model"], cam["password"]),
                         ("cam1", "02:5E:A1:CC:55:BA", "NV4413", "025EA1CC55BA"))
        self.assertEqual((cam["xrm"], cam["boot"], cam["silence"], cam["comeback"], cam["upload"], cam["drop"],
                          cam["passive"], cam["truncate"]), (True, "dhcp", 3.0, True, "accept", "none", "accept", None))

    def test_fields_and_separators(self):
        cams = labcore.parse_cameras(
            "# lab\nmac=02:5E:A1:CC:55:BA,host=none,xrm=0,boot=static:10.213.7.9 ;\n"
            " name=w, mac=02:5E:A1:CC:55:C7, password=pw, silence=0.5, comeback=0, xrmdelay=2, taken=10.213.7.77,"
            "upload=refuse,drop=put,value=0x10,passive=refuse,truncate=0,icmp=drop\n")
        self.assertEqual(len(cams), 2)
        a, b = cams
        self.assertEqual((a["host"], a["xrm"], a["boot"], a["static"], a["model"]),
                         (None, False, "static", "10.213.7.9", "NV4412"))
        self.assertEqual((b["name"], b["password"], b["silence"], b["comeback"], b["xrmdelay"], b["taken"]),
                         ("w", "pw", 0.5, False, 2.0, "10.213.7.77"))
        self.assertEqual((b["upload"], b["drop"], b["value"], b["passive"], b["truncate"]),
                         ("refuse", "put", 16, "refuse", 0))
        self.assertEqual((b["icmp"], a["icmp"]), ("drop", "answer"))

    def test_bad_lists_are_refused_with_the_reason(self):
        cases = [
            ("host=x", "mac= is required"),
            ("mac=02:5E:A1:CC:55", "bad MAC"),
            ("mac=03:5E:A1:CC:55:BA", "multicast"),
            ("mac=02:5E:A1:CC:55:BA,colour=red", "unknown key"),
            ("mac=02:5E:A1:CC:55:BA,mac=02:5E:A1:CC:55:BB", "given twice"),
            ("mac=02:5E:A1:CC:55:BA;mac=02:5E:A1:CC:55:BA", "used twice"),
            ("name=a,mac=02:5E:A1:CC:55:BA;name=a,mac=02:5E:A1:CC:55:BB", "used twice"),
            ("name=pc,mac=02:5E:A1:CC:55:BA", "name"),
            ("name=Has-Dash,mac=02:5E:A1:CC:55:BA", "name"),
            ("mac=02:5E:A1:CC:55:BA,xrm=yes", "xrm"),
            ("mac=02:5E:A1:CC:55:BA,boot=static:10.213.7", "IPv4"),
            ("mac=02:5E:A1:CC:55:BA,boot=later", "boot"),
            ("mac=02:5E:A1:CC:55:BA,boot=static:10.99.0.50/33", "prefix length"),
            ("mac=02:5E:A1:CC:55:BA,replies=multicast", "replies"),
            ("mac=02:5E:A1:CC:55:BA,silence=-1", "outside"),
            ("mac=02:5E:A1:CC:55:BA,silence=abc", "not a number"),
            ("mac=02:5E:A1:CC:55:BA,host=a b", "host name"),
            ("mac=02:5E:A1:CC:55:BA,value=4294967296", "32 bits"),
            ("mac=02:5E:A1:CC:55:BA,drop=both", "drop"),
            ("mac=02:5E:A1:CC:55:BA,passive=no", "passive"),
            ("mac=02:5E:A1:CC:55:BA,truncate=-1", "byte count"),
            ("mac=02:5E:A1:CC:55:BA,justaword", "key=value"),
            ("mac=02:5E:A1:CC:55:BA,taken=10.213.7.2", "lab's own hosts"),
            ("mac=02:5E:A1:CC:55:BA,icmp=drop", "needs taken"),
            ("mac=02:5E:A1:CC:55:BA,taken=10.213.7.77,icmp=off", "icmp"),
        ]
        for listing, text in cases:
            with self.subTest(listing=listing):
                with self.assertRaises(labcore.LabError) as ctx:
                    labcore.parse_cameras(listing)
                self.assertIn(text, str(ctx.exception))

    def test_default_set_parses(self):
        cams = labcore.parse_cameras(labcore.DEFAULT_CAMERAS)
        inside = [c["name"] for c in cams if labcore.in_camera_ranges(labcore.parse_mac(c["mac"]))]
        self.assertEqual(inside, ["wired", "wireless", "noaddr", "unicast"])


class Ranges(unittest.TestCase):
    def test_range_edges(self):
        cases = [("02:5E:A1:CC:55:BA", True), ("02:5E:A1:CC:55:BB", False), ("02:5E:A1:CC:55:C6", False),
                 ("02:5E:A1:CC:55:C7", True), ("02:5E:A1:CC:55:CA", True), ("02:5E:A1:CD:DB:78", True),
                 ("02:5E:A1:CD:DD:6C", False), ("02:5E:A1:CE:55:BB", True), ("02:5E:A3:7E:69:D2", True),
                 ("02:5E:A3:7E:69:D3", False), ("00:5E:A3:7C:E3:33", False)]
        for mac, ok in cases:
            with self.subTest(mac=mac):
                self.assertEqual(labcore.in_camera_ranges(labcore.parse_mac(mac)), ok)

    def test_burst_macs_are_distinct_and_inside(self):
        macs = labcore.burst_macs()
        self.assertEqual(len(set(macs)), 1000)
        self.assertTrue(all(labcore.in_camera_ranges(m) for m in macs))


class Xrm(unittest.TestCase):
    def test_record_layout(self):
        rec = xrm.xrm_record(0x11223344, "QM52X3", bytes.fromhex("025EA1CC55C7"), "10.213.7.5", "V1", 7)
        self.assertEqual(rec[:5], bytes([2, 0x44, 0x33, 0x22, 0x11]))
        self.assertEqual(rec[5:13], bytes([1, 6]) + b"QM52X3")
        self.assertEqual(rec[13:21], bytes([2, 6]) + bytes.fromhex("025EA1CC55C7"))
        self.assertEqual(rec[21:27], bytes([3, 4, 10, 213, 7, 5]))
        self.assertEqual(rec[27:31], bytes([4, 2]) + b"V1")
        self.assertEqual(rec[31:], bytes([5, 4]) + struct.pack("<I", 7))
        self.assertEqual(xrm.xrm_parse(rec)[:2], (2, 0x11223344))

    def test_parse_rejects_truncation(self):
        rec = xrm.xrm_record(1, "M", bytes(6), "0.0.0.0", "F", 0)
        for cut in (1, 2, 3):
            with self.subTest(cut=cut):
                self.assertIsNone(xrm.xrm_parse(rec[:-cut]))
        self.assertIsNone(xrm.xrm_parse(b"\x01\x00\x00"))
        self.assertEqual(xrm.xrm_parse(xrm.xrm_header(1, 5)), (1, 5, {}))


class ConfigIni(unittest.TestCase):
    def test_reset_line(self):
        cases = [(b"<reset system>\r\nYES\r\n", True), (b"<reset system>\nYES", True), (b"<reset system>\r\nNO\r\n", False),
                 (b"<reset system>\r\nyes\r\n", False), (b"<reset system> \r\nYES\r\n", False),
                 (b"<reset system>", False), (b"a\r\n<reset system>\r\nYES \r\n", False)]
        for data, want in cases:
            with self.subTest(data=data):
                self.assertEqual(camconfig.reset_requested(data), want)

    def test_factory_file_is_crlf_and_does_not_ask_for_a_reset(self):
        data = camconfig.default_config_ini(labcore.parse_cameras("mac=02:5E:A1:CC:55:BA,host=NV4412-0104")[0])
        self.assertNotIn(b"\n", data.replace(b"\r\n", b""))
        self.assertFalse(camconfig.reset_requested(data))


if __name__ == "__main__":
    unittest.main()
