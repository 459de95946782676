"""The installer's command line under Wine: words that do nothing, and the
log dialog shown when Shift is held as an install ends."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

CAPTION = "Solvendale build 2093- Install log."
LOG_HEADER = "Solvendale 2093"


class WineTestCase(unittest.TestCase):
    """Runs the installer in the test run's Wine session."""

    @classmethod
    def setUpClass(cls):
        cls.wine = harness.Session()

    def installer(self, *args):
        return self.wine.installer(*args)

    def finish(self, process):
        return self.wine.finish(process)


class CommandWordTest(WineTestCase):
    def test_no_argument(self):
        result = self.installer()
        self.assertEqual(result.code, 6, result)

    def test_unknown_words(self):
        for word in ("bogus", "installx", "un install"):
            with self.subTest(word=word):
                self.assertEqual(self.installer(word).code, 6)

    def test_def_set_only_in_lower_case(self):
        for word in ("Def.set", "DEF.SET", "def.seT", "def.setx"):
            with self.subTest(word=word):
                self.assertEqual(self.installer(word).code, 6)

    def test_removetray(self):
        self.assertEqual(self.installer("removetray").code, 6)
        self.assertEqual(self.installer("REMOVETRAY").code, 6)


class ShiftDialogTest(WineTestCase):
    """With Shift held as a job ends, the log dialog appears; Close, Enter
    and Escape all end it, and the exit code does not depend on how.

    The job is an uninstall on a clean system, which writes no error line:
    under Wine every install writes one (see test_scenarios), and then the
    dialog would show whether Shift is held or not."""

    def run_job_with_shift_and_close(self, how, *extra, reset=True):
        if reset:
            self.wine.reset_product()
        holder = self.wine.hold_shift()
        try:
            process = self.wine.start_installer("uninstall", *extra)
            dialog = self.wine.read_dialog(timeout_ms=60000, program=process)
            if dialog is None:
                result = self.finish(process)
                self.fail("no log dialog appeared: %r" % result)
            shot = self.wine.screenshot("log_dialog_" + how, dialog.get("rect"))
            closed = self.wine.close_dialog(how)
            result = self.finish(process)
        finally:
            self.wine.release_shift(holder)
        self.assertEqual(closed, 0, "the dialog did not close with " + how)
        return dialog, result, shot

    def test_close_enter_escape(self):
        codes = {}
        for how in ("button", "enter", "escape"):
            dialog, result, shot = self.run_job_with_shift_and_close(how)
            self.assertTrue(os.path.exists(shot), how)
            self.assertEqual(dialog["caption"], CAPTION, how)
            self.assertTrue(dialog["edit_text"].startswith(LOG_HEADER + "\r\n"),
                            "%s: %r" % (how, dialog["edit_text"][:200]))
            self.assertNotIn("Error(", dialog["edit_text"], how)
            self.assertEqual(dialog["button_text"], "Close", how)
            # Read-only multi-line edit box, as the template says.
            self.assertEqual(int(dialog["edit_style"], 16) & 0x0804, 0x0804, how)
            codes[how] = result.code
        self.assertEqual(codes, {"button": 2, "enter": 2, "escape": 2})

    def test_owner_window_argument(self):
        # Any top-level window can own the dialog: here a window of the tray
        # stand-in, started without its mutex so that the uninstall job's
        # tray shutdown leaves it open.
        self.wine.reset_product()
        tray = self.wine.start(harness.unix_path(harness.PRODUCT_DIR + r"\soltray.exe"),
                               "window-only")
        try:
            window = None
            for _ in range(100):
                records = [r for r in self.wine.spooler_state() if r[0] == "traywindow"]
                if records:
                    window = int(records[0][1])
                    break
            self.assertIsNotNone(window, "the tray stand-in shows no window")
            dialog, result, _ = self.run_job_with_shift_and_close(
                "button", str(window), reset=False)
            self.assertEqual(int(dialog["owner"], 16), window)
            self.assertEqual(result.code, 2)
            # A number that names no window, or a fourth argument: no owner.
            dialog, result, _ = self.run_job_with_shift_and_close(
                "button", "12345", reset=False)
            self.assertEqual(int(dialog["owner"], 16), 0)
            dialog, result, _ = self.run_job_with_shift_and_close(
                "button", str(window), "x", reset=False)
            self.assertEqual(int(dialog["owner"], 16), 0)
        finally:
            tray.kill()
            self.wine.finish(tray)


if __name__ == "__main__":
    unittest.main(verbosity=2)
