#!/usr/bin/python3
"""Runs one unittest test by name for ctest: exit 0 passed, 77 skipped, 1 failed."""

import sys
import unittest


def main():
    if len(sys.argv) != 2:
        raise SystemExit("usage: run.py module.Class.test")
    suite = unittest.defaultTestLoader.loadTestsFromName(sys.argv[1])
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    if not result.wasSuccessful():
        return 1
    if result.testsRun and len(result.skipped) == result.testsRun:
        return 77
    return 0


if __name__ == "__main__":
    sys.exit(main())
