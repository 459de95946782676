"""Runs one unittest case for CTest: run_case.py <module> <Class.method>.
Exit 0 when it passed, 77 when it (or any of its subtests) was skipped
(CTest's SKIP_RETURN_CODE), 1 when it failed."""

import importlib
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

SKIPPED = 77


def main():
    module = importlib.import_module(sys.argv[1])
    suite = unittest.defaultTestLoader.loadTestsFromName(sys.argv[2], module)
    result = unittest.TextTestRunner(verbosity=2, stream=sys.stdout).run(suite)
    if not result.wasSuccessful():
        return 1
    # A case with any skipped part counts as skipped, so that CTest shows it.
    if result.skipped:
        for case, reason in result.skipped:
            print("SKIPPED: %s: %s" % (case.id(), reason))
        return SKIPPED
    return 0


if __name__ == "__main__":
    sys.exit(main())
