"""Base of the lab tests that run the program as an ordinary user (asuser): one lab for all tests of a class, its
cameras held until a test boots them, each camera's original config.ini, and after every test the check that no
neighbour entry, host route or temporary file is left."""

import os
import shutil
import subprocess
import sys
import unittest

import asuser


class UserLabCase(unittest.TestCase):
    lab = None  # a labclient.LabClient
    cameras = {}  # name: (mac, extra lab keys)
    binary = None  # camera-setup; the helper beside it is copied too
    driver = None  # the GUI lab driver, or None

    @classmethod
    def setUpClass(cls):
        listing = ";".join(f"name={n},mac={m},boot=hold,silence=2,{extra}" for n, (m, extra) in cls.cameras.items())
        files = {"camera-setup": cls.binary}
        if cls.driver is not None:
            files["install_gui_driver"] = cls.driver
        cls.user = asuser.UserCopy(files, asuser.helper_beside(cls.binary))
        cls.lab("up", "--cameras", listing)
        cls.originals = {}
        for name in cls.cameras:
            with open(cls.lab.state(name)["config_ini"], "rb") as f:
                cls.originals[name] = f.read()

    @classmethod
    def tearDownClass(cls):
        cls.lab("down", check=False)
        cls.user.remove()
        leftovers = subprocess.run(["ip", "netns", "list"], text=True, capture_output=True).stdout
        assert cls.lab.prefix + "-" not in leftovers, leftovers

    def setUp(self):
        self.tmp = self.user.private_dir()

    def tearDown(self):
        # After every ending: no neighbour entry, host route, user's routing rule or temporary file.
        neigh = self.lab("exec", "pc", "ip", "-4", "neigh", "show", "nud", "permanent").stdout
        self.assertEqual(neigh.strip(), "", "neighbour entries left: " + neigh)
        routes = self.lab("exec", "pc", "ip", "-4", "route", "show").stdout
        self.assertNotIn("proto static", routes, "host route left: " + routes)
        rules = self.lab("exec", "pc", "ip", "-4", "rule", "show").stdout
        self.assertNotIn("uidrange", rules, "a user's routing rule left: " + rules)
        self.assertEqual(os.listdir(self.tmp), [], "temporary files left")
        shutil.rmtree(self.tmp)

    def config(self, name):
        with open(self.lab.state(name)["config_ini"], "rb") as f:
            return f.read()


def main(case):
    """The command line of a test file: CAMERA_SETUP [GUI_DRIVER] [unittest arguments]; exit 77 when skipped."""
    if os.geteuid() != 0:
        print("SKIPPED: the camera lab needs root", file=sys.stderr)
        return 77
    probe = case.lab.prefix + "-probe"
    if subprocess.run(["ip", "netns", "add", probe], capture_output=True).returncode != 0:
        print("SKIPPED: network namespaces cannot be created here", file=sys.stderr)
        return 77
    subprocess.run(["ip", "netns", "delete", probe], capture_output=True)
    case.binary = os.path.abspath(sys.argv[1])
    case.driver = os.path.abspath(sys.argv[2]) if len(sys.argv) > 2 and sys.argv[2] else None
    result = unittest.main(argv=[sys.argv[0], "-v"] + sys.argv[3:], exit=False).result
    return 0 if result.wasSuccessful() else 1
