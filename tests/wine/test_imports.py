"""Checks the import table of the built SolvendaleSetup.exe: only Windows'
own DLLs, and winspool.drv ordinals 203 and 204 imported by number; and
where those DLLs come from: the load configuration that makes Windows
resolve them from System32 only, the build step that sets it, and under
Wine a VERSION.dll planted beside the program."""

import glob
import os
import shutil
import struct
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
SOURCE_ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(SOURCE_ROOT, "cmake"))
import harness  # noqa: E402
from pe import LOAD_CONFIG_ENTRY, PeFile  # noqa: E402
from point_load_config import ImageError, pe_checksum, point_load_config  # noqa: E402
from test_commands import WineTestCase  # noqa: E402

LOAD_LIBRARY_SEARCH_SYSTEM32 = 0x800

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


def with_entry(data, pe, rva, size, record_size=None):
    """A copy of the image whose load configuration entry is (rva, size), with
    a checksum that fits it, as a linker would write it."""
    out = bytearray(data)
    struct.pack_into("<II", out, pe.directories_offset + 8 * LOAD_CONFIG_ENTRY, rva, size)
    if record_size is not None:
        config = pe.load_config()
        struct.pack_into("<I", out, pe.offset(config.rva), record_size)
    struct.pack_into("<I", out, pe.checksum_offset, pe_checksum(out, pe.checksum_offset))
    return bytes(out)


class LoadConfigTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.pe = PeFile(os.environ["SOLVENDALE_EXE"])

    def test_static_imports_resolve_from_system32_only(self):
        config = self.pe.load_config()
        self.assertIsNotNone(config, "no load configuration entry")
        self.assertEqual(config.directory_size, config.size)
        self.assertEqual(config.dependent_load_flags, LOAD_LIBRARY_SEARCH_SYSTEM32)
        self.assertEqual(self.pe.checksum, pe_checksum(self.pe.data, self.pe.checksum_offset))

    def test_build_step_sets_the_entry_only_where_it_may(self):
        pe, data = self.pe, self.pe.data
        config = pe.load_config()
        # As GNU ld leaves it: the step gives back the built image exactly.
        linked = with_entry(data, pe, 0, 0)
        self.assertEqual(point_load_config(linked), data)
        self.assertIsNone(point_load_config(data))
        checksum = pe.checksum_offset
        symbols = pe.symbol_table_field
        refused = [
            (with_entry(data, pe, config.rva + 8, config.size), "already points"),
            (with_entry(data, pe, 0, 0, record_size=0x4E), "too small"),
            (with_entry(data, pe, 0, 0, record_size=0x7FFFFFF0), "does not fit"),
            (linked[:checksum] + b"\1\0\0\0" + linked[checksum + 4:], "checksum"),
            (linked[:symbols] + b"\0\0\0\0" + linked[symbols + 4:], "stripped"),
        ]
        for image, reason in refused:
            with self.subTest(reason):
                with self.assertRaisesRegex(ImageError, reason):
                    point_load_config(image)


PLANTED_RECORD = "planted-load.txt"


class PlantedDllTest(WineTestCase):
    """A VERSION.dll planted beside the program (VERSION.dll is no KnownDLL)
    must not be loaded. The same program with DependentLoadFlags cleared
    shows that the test sees a planted load. Wine loads its own VERSION.dll
    before one beside a program unless told to prefer native DLLs, so both
    runs are told so ("version=n,b")."""

    def plant(self, name, dependent_load_flags):
        """A folder with a copy of the program and the planted DLL; returns
        the program's Windows path and the folder's Unix path."""
        folder = "C:\\planted\\" + name
        unix_folder = harness.unix_path(folder)
        shutil.rmtree(unix_folder, ignore_errors=True)
        os.makedirs(unix_folder)
        self.addCleanup(shutil.rmtree, unix_folder, True)
        program = PeFile(os.environ["SOLVENDALE_EXE"])
        data = bytearray(program.data)
        struct.pack_into("<H", data, program.load_config().flags_offset, dependent_load_flags)
        with open(os.path.join(unix_folder, "SolvendaleSetup.exe"), "wb") as f:
            f.write(data)
        shutil.copy(harness.fixture("planted", "VERSION.dll"), unix_folder)
        return folder + "\\SolvendaleSetup.exe", unix_folder

    def loads_planted_dll(self, name, dependent_load_flags):
        program, folder = self.plant(name, dependent_load_flags)
        overrides = self.wine.env["WINEDLLOVERRIDES"] + ";version=n,b"
        result = self.wine.run(program, "onChkDrv", env={"WINEDLLOVERRIDES": overrides})
        return os.path.exists(os.path.join(folder, PLANTED_RECORD)), result

    def test_planted_version_dll_is_not_loaded(self):
        loaded, result = self.loads_planted_dll("unflagged", 0)
        self.assertTrue(loaded, "the copy without DependentLoadFlags did not load the "
                        "planted DLL: this test cannot see a planted load: %r" % result)
        loaded, result = self.loads_planted_dll("flagged", LOAD_LIBRARY_SEARCH_SYSTEM32)
        if loaded:
            version = subprocess.run([harness.WINE64, "--version"], capture_output=True,
                                     text=True, check=False).stdout.strip()
            self.skipTest("Wine difference: %s loads the VERSION.dll beside the program "
                          "although its DependentLoadFlags are 0x800 (Windows 10 and later "
                          "resolve the import from System32)" % version)


if __name__ == "__main__":
    unittest.main(verbosity=2)
