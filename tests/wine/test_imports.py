"""Checks the import table of the built SolvendaleSetup.exe: only Windows'
own DLLs, and winspool.drv ordinals 203 and 204 imported by number."""

import glob
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from pe import PeFile  # noqa: E402

SOURCE_ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))

# DLLs that every Windows x64 installation has; anything else (a C++ or
# threading runtime of the compiler, say) would have to ship beside the
# program.
SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "user32.dll", "advapi32.dll", "shell32.dll",
               "version.dll", "winspool.drv", "comctl32.dll", "gdi32.dll"}

ORDINAL_NAMES = {203: "GetDefaultPrinterByOrdinal", 204: "SetDefaultPrinterByOrdinal"}


def program_calls(name):
    """Whether any program source outside the gateway header calls name."""
    for path in glob.glob(os.path.join(SOURCE_ROOT, "drv", "**", "*.cpp"), recursive=True):
        with open(path, encoding="utf-8", errors="replace") as f:
            if name + "(" in f.read():
                return True
    return False


def winspool_entries(pe):
    entries = []
    for dll, imports in pe.imports():
        if dll.lower() == "winspool.drv":
            entries.extend(imports)
    return entries


class ImportTableTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.pe = PeFile(os.environ["SOLVENDALE_EXE"])
        cls.imports = cls.pe.imports()

    def test_only_system_dlls(self):
        dlls = {dll.lower() for dll, _ in self.imports}
        self.assertTrue(dlls, "no imports at all")
        self.assertLessEqual(dlls, SYSTEM_DLLS, "DLLs the program would need beside it")

    def test_winspool_ordinals_by_number_only(self):
        called = {o for o, name in ORDINAL_NAMES.items() if program_calls(name)}
        if not called:
            self.skipTest("the program does not call the ordinal imports yet")
        entries = winspool_entries(self.pe)
        by_ordinal = {o for o, name in entries if o is not None}
        self.assertEqual(by_ordinal & {203, 204}, called)
        # Nothing of winspool under the names these ordinals have on
        # Windows, nor the program's own names for them.
        names = {name for o, name in entries if name is not None}
        self.assertFalse(names & {"GetDefaultPrinterW", "SetDefaultPrinterW",
                                  "GetDefaultPrinterByOrdinal", "SetDefaultPrinterByOrdinal"})

    def test_import_library_of_the_tests_gives_the_same_ordinals(self):
        # The state reader of the Wine tests links the same import library
        # and calls ordinal 203, so the library itself is checked even while
        # the program does not call both entries.
        reader = os.path.join(os.path.dirname(os.environ["SOLVENDALE_EXE"]),
                              "tests", "wine", "helpers", "state_reader.exe")
        if not os.path.exists(reader):
            self.skipTest("the Wine test helpers were not built")
        entries = winspool_entries(PeFile(reader))
        self.assertIn((203, None), entries)


if __name__ == "__main__":
    unittest.main(verbosity=2)
