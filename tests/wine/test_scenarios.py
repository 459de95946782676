"""Whole runs of the installer under Wine: install on a clean system, the
probes on the installed system, stopping the tray companion, uninstall.

Where Wine's spooler behaves differently from Windows', the test expects
Wine's behaviour and says so; the program is the same for both."""

import filecmp
import os
import shutil
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
from test_commands import WineTestCase  # noqa: E402

DRIVER = "Solvendale printer"
MONITOR = "Solvendale:"
QUEUE = "Solvendale"
DRIVER_DIR = r"C:\windows\system32\spool\drivers\x64"
VERSION3_DIR = DRIVER_DIR + r"\3"
SYSTEM_DIR = r"C:\windows\system32"
TRAY_PATH = harness.PRODUCT_DIR + r"\soltray.exe"
DRIVER_FILES = ("qrldrv64.dll", "qrlui64.dll", "qrlhelp.chm")


class State:
    """One reading of the state reader, with lookups by kind and name."""

    def __init__(self, records):
        self.records = records

    def all(self, kind):
        return [r[1:] for r in self.records if r[0] == kind]

    def find(self, kind, name):
        for r in self.records:
            if r[0] == kind and len(r) > 1 and r[1] == name:
                return r[1:]
        return None

    def has(self, kind):
        return any(r[0] == kind for r in self.records)

    def value(self, kind):
        for r in self.records:
            if r[0] == kind:
                return r[1] if len(r) > 1 else True
        return None


class ScenarioTestCase(WineTestCase):
    def state(self):
        return State(self.wine.spooler_state())

    def wait_for_state(self, predicate, seconds=10):
        """The tray companion starts on its own after the installer ended;
        polls the state (bounded) until predicate holds."""
        deadline = time.monotonic() + seconds
        state = self.state()
        while not predicate(state) and time.monotonic() < deadline:
            time.sleep(0.2)
            state = self.state()
        return state

    def install_clean(self, shot=None):
        self.wine.reset_product()
        return self.job("install", shot=shot)

    def ensure_installed(self):
        """An installed system with a usable queue (see InstallTest)."""
        if self.state().find("driver", DRIVER) is None:
            self.install_clean()
            self.wine.add_missing_datatypes()
        if self.state().find("driver", DRIVER) is None:
            self.fail("the install did not register the driver")

    def job(self, *args, shot=None):
        return self.wine.run_job(*args, shot=shot)

    def assertOnlyError(self, dialog, line):
        """The log dialog shows the error log with exactly this error line."""
        self.assertIsNotNone(dialog, "no error dialog")
        self.assertEqual(dialog["caption"], "Solvendale build 2093- Install error log!")
        text = dialog["edit_text"]
        self.assertTrue(text.startswith("Solvendale 2093\r\n"), text[:100])
        errors = [l.strip() for l in text.split("\r\n") if l.strip().startswith("Error(")]
        self.assertEqual(errors, [line], text)


class InstallTest(ScenarioTestCase):
    def test_clean_install(self):
        result, dialog = self.install_clean(shot="install_clean_error_dialog")
        # Wine's AddPrinterW registers a queue given without a data type but
        # then fails with ERROR_INVALID_PRINTER_NAME (1801), because its
        # spooler cannot open a queue without one; Windows' spooler uses the
        # print processor's default data type. So under Wine the install
        # ends with error line 15, the error dialog and exit code 100.
        self.assertOnlyError(
            dialog, "Error(15): Can`t add printer 'Solvendale' - (Invalid printer name.)")
        self.assertEqual(result.code, 100, result)
        # The dialog opens on that line: selected, in view, with the focus.
        text = dialog["edit_text"]
        start, end = (int(v) for v in dialog["selection"].split(","))
        self.assertEqual(text[start:end], "Error(15): Can`t add printer 'Solvendale' - (Invalid printer name.)")
        line = text[:start].count("\r\n")
        self.assertGreater(line, 30, "the line is below the first view")
        self.assertLessEqual(int(dialog["first_visible"]), line)
        self.assertGreater(int(dialog["first_visible"]), 0)
        self.assertEqual(dialog["focus"], "1001")
        self.assertEqual(self.wine.add_missing_datatypes(), [QUEUE])

        state = self.wait_for_state(lambda s: s.has("traywindow"))
        # Port monitor: registered with its bare DLL name, the DLL copied
        # into the system directory, its port present. (Wine's EnumMonitorsW
        # reports every monitor under "Windows NT x86".)
        self.assertEqual(state.find("monitor", MONITOR), (MONITOR, "Windows NT x86", "qrlmon64.dll"))
        self.assertTrue(filecmp.cmp(harness.unix_path(SYSTEM_DIR + r"\qrlmon64.dll"),
                                    harness.fixture(2093, "qrlmon64.dll"), shallow=False))
        self.assertIsNotNone(state.find("port", MONITOR))

        # Driver: version 3, its files in the version-3 directory; the
        # staged copies in the driver directory are gone again. (Wine keeps
        # no manufacturer or provider of a level-6 record.)
        driver = state.find("driver", DRIVER)
        self.assertIsNotNone(driver, state.records)
        self.assertEqual(driver[1:7], (
            "3", "Windows x64", VERSION3_DIR + r"\qrldrv64.dll", VERSION3_DIR + r"\qrldrv64.dll",
            VERSION3_DIR + r"\qrlui64.dll", VERSION3_DIR + r"\qrlhelp.chm"))
        for name in DRIVER_FILES:
            self.assertTrue(filecmp.cmp(harness.unix_path(VERSION3_DIR + "\\" + name),
                                        harness.fixture(2093, name), shallow=False), name)
            self.assertFalse(os.path.exists(harness.unix_path(DRIVER_DIR + "\\" + name)), name)

        # Exactly one queue of the driver, "Solvendale" on "Solvendale:".
        queues = [p for p in state.all("printer") if p[2] == DRIVER]
        self.assertEqual([(q[0], q[1], q[6]) for q in queues], [(QUEUE, MONITOR, "WinPrint")])

        # Tray companion registered and running; nothing left for reboot.
        self.assertEqual(state.value("run"), TRAY_PATH)
        self.assertTrue(state.has("traywindow"))
        self.assertEqual(state.all("pending"), [])


REPORT = r"C:\Logs\setup.log"
SETUP_LOCK = r"Global\SolvendaleSetup.{6A1F3C52-8E0B-4D7A-9C35-0B2E47D1F9A6}"


class DeploymentTest(ScenarioTestCase):
    """Quiet runs with a report, and two installs started together."""

    def setUp(self):
        self.wine.reset_product()
        os.makedirs(harness.unix_path(r"C:\Logs"), exist_ok=True)
        if os.path.exists(harness.unix_path(REPORT)):
            os.unlink(harness.unix_path(REPORT))

    def reports(self):
        """The runs' reports in the file, each without its final line end."""
        with open(harness.unix_path(REPORT), "rb") as f:
            data = f.read()
        self.assertTrue(data.startswith(b"\xef\xbb\xbf"), data[:40])
        text = data[3:].decode("utf-8")
        self.assertNotIn("\n\n", text)
        self.assertTrue(text.endswith("\r\n"))
        return text[:-2].split("\r\n\r\n")

    def test_quiet_install_with_report(self):
        # Error line 15 under Wine (see InstallTest), yet no dialog.
        result, dialog = self.job("install", "/quiet", "/log=" + REPORT)
        self.assertIsNone(dialog, dialog and dialog["edit_text"])
        self.assertEqual(result.code, 100, result)
        (report,) = self.reports()
        self.assertTrue(report.startswith("Solvendale setup report\r\nDate: "), report)
        self.assertIn("\r\nProgram: " + harness.PROGRAM + " (build 2093)\r\n", report)
        self.assertIn(" install /quiet /log=" + REPORT + "\r\n", report)
        self.assertIn("\r\nInteractive window station: yes\r\nLog:\r\nSolvendale 2093\r\n>Check Spooler\r\n",
                      report)
        self.assertIn("  Error(15): Can`t add printer 'Solvendale' - (Invalid printer name.)\r\n", report)
        self.assertTrue(report.endswith("\r\nDelete at reboot: none\r\nExit code: 100 (an error line was written)"),
                        report[-300:])
        self.wine.add_missing_datatypes()

    def test_two_installs_started_together(self):
        # A third run holds the lock while both start, so that both wait.
        holder = self.wine.start(harness.helper("product_reset"), "hold", SETUP_LOCK, "6000")
        deadline = time.monotonic() + 60
        while "held" not in self.wine.output_so_far(holder.out_file):
            self.assertIsNone(holder.poll(), "the lock could not be taken")
            self.assertLess(time.monotonic(), deadline)
            time.sleep(0.05)
        runs = [self.wine.start_installer("install", "/quiet", "/log=" + REPORT) for _ in range(2)]
        results = [self.wine.finish(run, timeout=300) for run in runs]
        self.assertEqual(self.wine.finish(holder).code, 0)
        self.assertEqual([r.code for r in results], [100, 100], results)
        reports = self.reports()
        self.assertEqual(len(reports), 2, reports)
        for report in reports:
            self.assertIn("\r\nLog:\r\nSolvendale 2093\r\nWaiting for another Solvendale setup to finish\r\n"
                          ">Check Spooler\r\n", report)
            self.assertTrue(report.endswith("\r\nExit code: 100 (an error line was written)"), report[-200:])
        # One after the other: the second removed and installed again what
        # the first installed; one queue, the driver, the tray running.
        self.wine.add_missing_datatypes()
        state = self.wait_for_state(lambda s: s.has("traywindow"))
        self.assertEqual([p[0] for p in state.all("printer") if p[2] == DRIVER], [QUEUE])
        self.assertIsNotNone(state.find("driver", DRIVER))
        self.assertEqual(state.value("run"), TRAY_PATH)


class ProbeTest(ScenarioTestCase):
    def test_probes_on_clean_system(self):
        self.wine.reset_product()
        # No queue of the driver; no default printer at all.
        self.assertEqual(self.installer("onChkDrv").code, 3)
        self.assertEqual(self.installer("onInit").code, 102)
        # def.set finds no Solvendale queue to make the default; still 4.
        self.assertEqual(self.installer("def.set").code, 4)
        self.assertIsNone(self.state().value("default"))

    def test_probes_on_installed_system(self):
        self.ensure_installed()
        # The queue uses the driver and the driver DLL is build 2093.
        self.assertEqual(self.installer("onChkDrv").code, 103)
        self.assertEqual(self.installer("ONCHKDRV").code, 103)
        # Make the queue the default printer: both the documented call and
        # ordinal 203 (what the installer reads) then name it.
        self.assertEqual(self.installer("def.set").code, 4)
        state = self.state()
        self.assertEqual(state.value("default"), QUEUE)
        self.assertEqual(state.value("default203"), QUEUE)
        # Nothing pending and the default printer is a Solvendale queue.
        self.assertEqual(self.installer("onInit").code, 3)


class TrayTest(ScenarioTestCase):
    def test_removetray_ends_the_companion(self):
        self.ensure_installed()
        state = self.wait_for_state(lambda s: s.has("traywindow"))
        self.assertTrue(state.has("traywindow"), "the tray companion is not running")
        self.assertEqual(self.installer("removetray").code, 6)
        state = self.state()
        self.assertFalse(state.has("traywindow"))
        self.assertFalse(state.has("traymutex"))
        self.assertIsNone(state.value("run"))
        # The registered executable is deleted with its registration.
        self.assertFalse(os.path.exists(harness.unix_path(TRAY_PATH)))
        harness.lay_out_program()


class UninstallTest(ScenarioTestCase):
    def test_uninstall(self):
        self.ensure_installed()
        result, dialog = self.job("uninstall", shot="uninstall_error_dialog")
        state = self.state()
        # Wine refuses DeletePrinterDriverExW with DPD_DELETE_ALL_FILES
        # (ERROR_INVALID_PARAMETER, 87), also after the spooler restart,
        # where Windows deletes the driver and its files: the driver stays,
        # error line 14 is written, the log dialog shows the error log and
        # the run ends with 100.
        self.assertOnlyError(dialog, "Error(14): Can`t remove the printer-driver "
                                     "'Solvendale printer' - (Invalid parameter.)")
        self.assertIn("Can't delete driver. Trying to restart spooler", dialog["edit_text"])
        self.assertEqual(result.code, 100, result)
        self.assertIsNotNone(state.find("driver", DRIVER))
        # Everything else is gone: queue, monitor and its DLL, tray.
        self.assertEqual([p for p in state.all("printer") if p[2] == DRIVER], [])
        self.assertIsNone(state.find("monitor", MONITOR))
        self.assertIsNone(state.find("port", MONITOR))
        self.assertFalse(os.path.exists(harness.unix_path(SYSTEM_DIR + r"\qrlmon64.dll")))
        self.assertIsNone(state.value("run"))
        self.assertFalse(state.has("traywindow"))
        harness.lay_out_program()

    def test_uninstall_on_clean_system(self):
        for word in ("uninstall", "UN"):
            self.wine.reset_product()
            result, dialog = self.job(word)
            self.assertIsNone(dialog, dialog and dialog["edit_text"])
            self.assertEqual(result.code, 2, (word, result))


class PendingFilesTest(ScenarioTestCase):
    """The start-up probe and Windows' own delete-at-reboot list."""

    def test_pending_rename_of_a_product_dll(self):
        self.ensure_installed()
        driver = VERSION3_DIR + r"\qrldrv64.dll"
        self.wine.schedule_at_reboot(driver, r"C:\windows\temp\qrldrv64.old")
        try:
            self.assertIn(("\\??\\" + driver, "\\??\\C:\\windows\\temp\\qrldrv64.old"),
                          self.state().all("pending"))
            # A pending rename cannot be carried out now: the product's DLL
            # waits for the reboot, after two spooler restarts.
            self.assertEqual(self.installer("onInit").code, 200)
            self.assertTrue(os.path.exists(harness.unix_path(driver)))
        finally:
            self.wine.reset_product()

    def test_pending_deletion_is_carried_out_now(self):
        self.ensure_installed()
        ui = VERSION3_DIR + r"\qrlui64.dll"
        self.wine.schedule_at_reboot(ui)
        try:
            code = self.installer("onInit").code
            # The file was deleted at once, so nothing waits for a reboot.
            self.assertFalse(os.path.exists(harness.unix_path(ui)))
            self.assertIn(code, (3, 102))
        finally:
            self.wine.reset_product()


class MonitorVersionTest(ScenarioTestCase):
    """A reinstall keeps an installed port monitor of build 2073 to 2093 and
    replaces one of any other build; the build is read from the version
    resource of the DLL in the system directory."""

    def reinstall_over_monitor(self, build):
        self.wine.reset_product(build)
        self.job("install")
        self.wine.add_missing_datatypes()
        monitor = harness.unix_path(SYSTEM_DIR + r"\qrlmon64.dll")
        self.assertTrue(filecmp.cmp(monitor, harness.fixture(build, "qrlmon64.dll"),
                                    shallow=False))
        harness.lay_out_program(2093)
        # Shift held: the log is shown whether or not Wine's spooler lets
        # the re-created queue be opened this time (without a data type it
        # usually does not, and the run fails with error 15; not always).
        holder = self.wine.hold_shift()
        try:
            result, dialog = self.job("install")
        finally:
            self.wine.release_shift(holder)
        self.assertIsNotNone(dialog, "no log dialog; exit code %d" % result.code)
        return dialog["edit_text"], filecmp.cmp(
            monitor, harness.fixture(2093, "qrlmon64.dll"), shallow=False)

    def test_monitor_file_that_is_no_monitor_dll(self):
        """A mis-copied monitor file (here the driver DLL): the spooler loads
        it, finds no monitor entry point and refuses it five times; the run
        ends with error line 11 and registers no monitor."""
        self.wine.reset_product()
        shutil.copy(harness.fixture(2093, "qrldrv64.dll"),
                    os.path.join(harness.unix_path(harness.PROGRAM_DIR), "qrlmon64.dll"))
        result, dialog = self.job("install")
        self.assertEqual(result.code, 100, result)
        text = dialog["edit_text"]
        self.assertEqual(text.count("AddMonitor - failed. Trying to wait and install again"), 5, text)
        # ERROR_PROC_NOT_FOUND (127), in Wine's words; Windows says "The
        # specified procedure could not be found."
        self.assertIn("Error(11): Can`t install a local port monitor'Solvendale:' - "
                      "(Procedure not found.)", text)
        self.assertIsNone(self.state().find("monitor", MONITOR))
        self.wine.reset_product()

    def test_compatible_monitor_is_kept(self):
        log, replaced = self.reinstall_over_monitor(2073)
        self.assertIn("Version (2073) is compatible, proceed without uninstall", log)
        self.assertIn("InstallMonitor == 0, CopyMonitor == 1", log)
        self.assertNotIn(">AddMonitor", log)
        self.assertFalse(replaced)
        self.assertIsNotNone(self.state().find("monitor", MONITOR))

    def test_newer_monitor_is_replaced(self):
        log, replaced = self.reinstall_over_monitor(2094)
        self.assertIn("Version (2094) is not supported, proceed with reinstall", log)
        self.assertIn("Monitor was removed :)", log)
        self.assertIn("AddMonitor - OK :)", log)
        self.assertTrue(replaced)
        self.assertIsNotNone(self.state().find("monitor", MONITOR))


if __name__ == "__main__":
    unittest.main(verbosity=2)
