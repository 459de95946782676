"""Reads the resources back out of the built SolvendaleSetup.exe and checks
the application manifest and the log dialog's template field by field."""

import os
import sys
import unittest
import xml.etree.ElementTree as ET

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from pe import PeFile, parse_dialogex  # noqa: E402

RT_DIALOG = 5
RT_MANIFEST = 24
LANG_EN_US = 1033
ASM_V1 = "{urn:schemas-microsoft-com:asm.v1}"
ASM_V3 = "{urn:schemas-microsoft-com:asm.v3}"


def program_path():
    return os.environ["SOLVENDALE_EXE"]


class ResourceTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.pe = PeFile(program_path())
        cls.resources = cls.pe.resources()

    def find(self, rtype, rid):
        found = [r for r in self.resources if r[0] == rtype and r[1] == rid]
        self.assertEqual(len(found), 1, "resource %r/%r: %r" % (rtype, rid, [r[:3] for r in found]))
        return found[0]

    def test_only_manifest_and_dialog(self):
        self.assertEqual(sorted(r[:3] for r in self.resources),
                         [(RT_DIALOG, 101, LANG_EN_US), (RT_MANIFEST, 1, LANG_EN_US)])

    def test_image_is_gui_x64(self):
        self.assertEqual(self.pe.machine, 0x8664)
        self.assertEqual(self.pe.subsystem, 2)  # IMAGE_SUBSYSTEM_WINDOWS_GUI

    def test_manifest(self):
        _, _, lang, data = self.find(RT_MANIFEST, 1)
        self.assertEqual(lang, LANG_EN_US)
        root = ET.fromstring(data)
        self.assertEqual(root.tag, ASM_V1 + "assembly")
        self.assertEqual(root.get("manifestVersion"), "1.0")

        identity = root.find(ASM_V1 + "assemblyIdentity")
        self.assertEqual(identity.attrib, {
            "version": "1.0.0.0", "processorArchitecture": "*",
            "name": "Solvendale.Install", "type": "win32"})

        self.assertEqual(root.find(ASM_V1 + "description").text, "File viewer/translator")

        deps = root.findall(ASM_V1 + "dependency/" + ASM_V1 + "dependentAssembly/"
                            + ASM_V1 + "assemblyIdentity")
        self.assertEqual(len(deps), 1)
        self.assertEqual(deps[0].attrib, {
            "type": "win32", "name": "Microsoft.Windows.Common-Controls",
            "version": "6.0.0.0", "processorArchitecture": "*",
            "publicKeyToken": "6595b64144ccf1df", "language": "*"})

        levels = root.findall(ASM_V3 + "trustInfo/" + ASM_V3 + "security/" + ASM_V3
                              + "requestedPrivileges/" + ASM_V3 + "requestedExecutionLevel")
        self.assertEqual(len(levels), 1)
        self.assertEqual(levels[0].attrib, {"level": "requireAdministrator", "uiAccess": "false"})

    def test_log_dialog_template(self):
        _, _, lang, data = self.find(RT_DIALOG, 101)
        self.assertEqual(lang, LANG_EN_US)
        dlg = parse_dialogex(data)
        items = dlg.pop("items")
        self.assertEqual(dlg, {
            "version": 1, "signature": 0xFFFF, "help_id": 0, "ex_style": 0,
            "style": 0x80C808C8, "x": 0, "y": 0, "cx": 451, "cy": 228,
            "menu": ("none", None), "class": ("none", None), "caption": "",
            "point_size": 8, "weight": 400, "italic": 0, "charset": 1,
            "font": "MS Shell Dlg"})
        self.assertEqual(len(items), 2)
        self.assertEqual(items[0], {
            "help_id": 0, "ex_style": 0, "style": 0x50010001,
            "x": 394, "y": 207, "cx": 50, "cy": 14, "id": 1,
            "class": ("ordinal", 0x0080), "text": ("text", "Close"), "extra": b""})
        self.assertEqual(items[1], {
            "help_id": 0, "ex_style": 0, "style": 0x50A108C4,
            "x": 7, "y": 7, "cx": 437, "cy": 194, "id": 1001,
            "class": ("ordinal", 0x0081), "text": ("text", ""), "extra": b""})


if __name__ == "__main__":
    unittest.main(verbosity=2)
