"""The setup package (packaging/nsis) around the installer: built and signed
as a release with a throwaway certificate, then run under Wine as a
deployment tool runs it, silently, and as a user runs it.

Under Wine every install and uninstall of the real installer writes an error
line (see test_scenarios: Wine's spooler cannot open a queue created without
a data type; it refuses DPD_DELETE_ALL_FILES), so the installer exits 100 and
the package must exit 1603. The package's handling of the other exit codes
is tried with a package built around a stand-in installer that exits with
the code it is given."""

import filecmp
import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
from test_scenarios import (DRIVER, MONITOR, QUEUE, VERSION3_DIR,  # noqa: E402
                            ScenarioTestCase)

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PACKAGE_NAME = "solvendale-2093-setup.exe"
DEPLOY_DIR = r"C:\Deploy"
INSTALL_DIR = r"C:\Apps\Solvendale"
STAND_IN_DIR = r"C:\Apps\ExitCodes"
STAND_IN_PACKAGE = DEPLOY_DIR + r"\exit-codes-setup.exe"
RECORD = DEPLOY_DIR + r"\installer-runs.txt"
WIZARD = "Solvendale Setup"
PASSWORD = "throwaway"
SIGNING_TOOLS = ("makensis", "osslsigncode", "openssl")

# Exit codes of the Windows Installer convention.
SUCCESS = 0
SUCCESS_REBOOT_REQUIRED = 3010
USER_EXIT = 1602
FATAL_ERROR = 1603


def release_dir():
    return os.path.join(harness.test_dir(), "release")


def fixtures():
    return os.path.join(harness.windows_build_dir(), "tests", "wine", "fixtures")


def build_package(out_dir, program, env=None):
    subprocess.run([os.path.join(ROOT, "scripts", "package.sh"),
                    "--program", program,
                    "--components", os.path.join(fixtures(), "2093"),
                    "--tray", os.path.join(fixtures(), "soltray.exe"),
                    "--out-dir", out_dir],
                   env=env, stdin=subprocess.DEVNULL, check=True, timeout=120)
    return os.path.join(out_dir, PACKAGE_NAME)


def make_certificate(directory, name):
    """A self-signed code-signing certificate: (PEM certificate, PKCS#12)."""
    key, pem, p12 = (os.path.join(directory, name + ext) for ext in (".key", ".pem", ".p12"))
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                    "-keyout", key, "-out", pem, "-subj", "/CN=%s/O=Solvendale tests" % name,
                    "-addext", "basicConstraints=critical,CA:FALSE",
                    "-addext", "keyUsage=critical,digitalSignature",
                    "-addext", "extendedKeyUsage=codeSigning"],
                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, check=True, timeout=60)
    subprocess.run(["openssl", "pkcs12", "-export", "-inkey", key, "-in", pem, "-out", p12,
                    "-passout", "pass:" + PASSWORD], stdin=subprocess.DEVNULL, check=True,
                   timeout=60)
    return pem, p12


def verify(path, certificate):
    return subprocess.run(["osslsigncode", "verify", "-CAfile", certificate, "-in", path],
                          stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL, timeout=60).returncode


class SignedReleaseTest(unittest.TestCase):
    """The release as scripts/package.sh makes it with a certificate: the
    installer signed before it is packed, the package after; both verify
    against the certificate and no other. The Wine tests run this package."""

    def test_sign_and_verify(self):
        missing = [tool for tool in SIGNING_TOOLS if not shutil.which(tool)]
        if missing:
            self.skipTest("missing %s; run scripts/setup-windows.sh" % ", ".join(missing))
        release = release_dir()
        shutil.rmtree(release, ignore_errors=True)
        os.makedirs(release)
        certificate, p12 = make_certificate(release, "signing")
        env = dict(os.environ, SOLVENDALE_SIGN_PKCS12=p12, SOLVENDALE_SIGN_PASSWORD=PASSWORD)
        env.pop("SOLVENDALE_TIMESTAMP_URL", None)
        package = build_package(release, os.environ["SOLVENDALE_EXE"], env)
        program = os.path.join(release, "SolvendaleSetup.exe")
        self.assertEqual(verify(program, certificate), 0)
        self.assertEqual(verify(package, certificate), 0)

        with tempfile.TemporaryDirectory() as other:
            other_certificate, _ = make_certificate(other, "other")
            self.assertNotEqual(verify(package, other_certificate), 0)
        self.assertNotEqual(verify(os.environ["SOLVENDALE_EXE"], certificate), 0,
                            "the build's own installer is left unsigned")


class PackageTestCase(ScenarioTestCase):
    def run_command(self, command_line, env=None, timeout=300):
        """Runs a command line (as a deployment tool holds it) and returns
        its whole exit code. Log dialogs of the installer that appear
        meanwhile are closed as a user would, and their texts kept in
        self.dialogs: a silent run must show none, although under Wine
        every job writes an error line."""
        process = self.wine.start(harness.helper("launcher"), command_line, env=env)
        self.dialogs = []
        while True:
            dialog = self.wine.read_dialog(timeout_ms=timeout * 1000, program=process)
            if dialog is None:
                break
            self.dialogs.append(dialog.get("edit_text"))
            self.wine.close_dialog("button")
        result = self.finish(process)
        match = re.match(r"exit (\d+)", result.stdout)
        self.assertIsNotNone(match, result)
        return int(match.group(1))

    def deploy(self, package, name):
        os.makedirs(harness.unix_path(DEPLOY_DIR), exist_ok=True)
        shutil.copy(package, harness.unix_path(DEPLOY_DIR + "\\" + name))
        return '"%s\\%s"' % (DEPLOY_DIR, name)

    def entry(self, state=None):
        """The package's entry in Add/Remove Programs, as a dictionary."""
        return dict((state or self.state()).all("uninstall"))

    def wizard(self, predicate, what, seconds=60):
        """The package's window once predicate(fields) holds: its caption,
        rect and control texts."""
        deadline = time.monotonic() + seconds
        while True:
            result = self.wine.helper("window_helper", "read", WIZARD, "2000")
            fields = {"texts": []}
            for line in result.stdout.splitlines():
                key, _, value = line.partition("=")
                if key == "text":
                    fields["texts"].append(harness.unescape(value))
                else:
                    fields[key] = harness.unescape(value)
            if result.code == 0 and predicate(fields):
                return fields
            if time.monotonic() > deadline:
                self.fail("the package never showed %s; last: %r" % (what, fields))
            time.sleep(0.2)

    def click(self, button):
        result = self.wine.helper("window_helper", "click", WIZARD, str(button), "5000")
        self.assertEqual(result.code, 0, result)


class PackageTest(PackageTestCase):
    def setUp(self):
        self.release = release_dir()
        if not os.path.exists(os.path.join(self.release, PACKAGE_NAME)):
            self.skipTest("no signed release (package_signed_release)")

    def assertLastReport(self, path, word, code):
        """The installer's report file: UTF-8 with a byte-order mark; its
        last report is of this command word, with the log and the code."""
        with open(path, "rb") as f:
            data = f.read()
        self.assertTrue(data.startswith(b"\xef\xbb\xbf"), data[:40])
        report = data[3:].decode("utf-8").split("\r\n\r\nSolvendale setup report")[-1]
        self.assertIn(" %s /quiet " % word, report)
        self.assertIn("\r\nLog:\r\nSolvendale 2093\r\n>Check Spooler\r\n", report)
        self.assertTrue(report.endswith("\r\nExit code: %d (an error line was written)\r\n" % code),
                        report[-300:])

    @staticmethod
    def temp_reports():
        """The report files in the temporary directories of the prefix's users."""
        return glob.glob(os.path.join(harness.prefix_dir(), "drive_c", "users", "*", "**", "Temp",
                                      "SolvendaleSetup.log"), recursive=True)

    def install_package(self):
        command = self.deploy(os.path.join(self.release, PACKAGE_NAME), PACKAGE_NAME)
        return self.run_command(command + r" /S /D=" + INSTALL_DIR)

    def ensure_package_installed(self):
        if self.entry() == {} or self.state().find("driver", DRIVER) is None:
            self.wine.reset_product()
            self.install_package()
        self.wine.add_missing_datatypes()

    def assertProductInstalled(self, state):
        self.assertEqual(state.find("monitor", MONITOR), (MONITOR, "Windows NT x86", "qrlmon64.dll"))
        driver = state.find("driver", DRIVER)
        self.assertIsNotNone(driver, state.records)
        self.assertEqual(driver[3], VERSION3_DIR + r"\qrldrv64.dll")
        self.assertEqual(state.value("run"), INSTALL_DIR + r"\soltray.exe")
        self.assertTrue(state.has("traywindow"))

    def queues(self, state):
        return sorted(p[0] for p in state.all("printer") if p[2] == DRIVER and p[1] == MONITOR)

    def test_first_page_and_cancel(self):
        self.wine.reset_product()
        shutil.rmtree(harness.unix_path(INSTALL_DIR), ignore_errors=True)
        command = self.deploy(os.path.join(self.release, PACKAGE_NAME), PACKAGE_NAME)
        process = self.wine.start(harness.helper("launcher"), command)
        page = self.wizard(lambda f: "Welcome to Solvendale Setup" in f["texts"], "its first page")
        self.wine.screenshot("package_first_page", page.get("rect"))
        self.click(2)  # Cancel
        result = self.finish(process)
        self.assertEqual(result.stdout.strip(), "exit %d" % USER_EXIT)
        self.assertEqual(self.entry(), {})
        self.assertFalse(os.path.exists(harness.unix_path(INSTALL_DIR)))

    def test_silent_install(self):
        self.wine.reset_product()
        shutil.rmtree(harness.unix_path(INSTALL_DIR), ignore_errors=True)
        # Error line 15 under Wine: the installer exits 100, quietly, and
        # says why in its report.
        self.assertEqual(self.install_package(), FATAL_ERROR)
        self.assertEqual(self.dialogs, [])
        self.assertLastReport(harness.unix_path(INSTALL_DIR + r"\SolvendaleSetup.log"), "install", 100)
        self.assertEqual(self.wine.add_missing_datatypes(), [QUEUE])
        state = self.wait_for_state(lambda s: s.has("traywindow"))
        self.assertProductInstalled(state)
        self.assertEqual(self.queues(state), [QUEUE])

        installed = {
            r"Driver\SolvendaleSetup.exe": os.path.join(self.release, "SolvendaleSetup.exe"),
            "soltray.exe": os.path.join(fixtures(), "soltray.exe")}
        for name in ("qrlmon64.dll", "qrldrv64.dll", "qrlui64.dll", "qrlhelp.chm"):
            installed["Driver\\" + name] = os.path.join(fixtures(), "2093", name)
        for name, source in installed.items():
            self.assertTrue(filecmp.cmp(harness.unix_path(INSTALL_DIR + "\\" + name), source,
                                        shallow=False), name)

        uninstaller = INSTALL_DIR + r"\uninstall.exe"
        self.assertEqual(self.entry(state), {
            "DisplayName": "Solvendale",
            "DisplayVersion": "2093",
            "Publisher": "Quarlen Software Kft.",
            "InstallLocation": INSTALL_DIR,
            "DisplayIcon": uninstaller,
            "UninstallString": '"%s"' % uninstaller,
            "QuietUninstallString": '"%s" /S _?=%s' % (uninstaller, INSTALL_DIR),
            "NoModify": "1",
            "NoRepair": "1"})
        # The uninstaller the package wrote is signed as well.
        self.assertEqual(verify(harness.unix_path(uninstaller),
                                os.path.join(self.release, "signing.pem")), 0)

    def test_upgrade_keeps_queues(self):
        self.ensure_package_installed()
        result = self.wine.helper("compare_setup", "queue", "Solvendale Office", "office-1",
                                  "Second floor", "Room 204")
        self.assertEqual(result.code, 0, result)
        self.assertEqual(self.install_package(), FATAL_ERROR)
        self.wine.add_missing_datatypes()
        state = self.wait_for_state(lambda s: s.has("traywindow"))
        self.assertProductInstalled(state)
        # The saved queue is back (under Wine with its name only, and
        # "Solvendale" beside it: see test_compare's reinstall).
        self.assertIn("Solvendale Office", self.queues(state))
        self.assertEqual(self.entry(state)["InstallLocation"], INSTALL_DIR)

    def test_silent_uninstall(self):
        self.ensure_package_installed()
        quiet = self.entry()["QuietUninstallString"]
        for old in self.temp_reports():
            os.unlink(old)
        # Error line 14 under Wine: the installer exits 100, quietly; its
        # report is in the temporary directory, which outlives the package.
        self.assertEqual(self.run_command(quiet), FATAL_ERROR)
        self.assertEqual(self.dialogs, [])
        (report,) = self.temp_reports()
        self.assertLastReport(report, "uninstall", 100)
        state = self.state()
        self.assertEqual(self.entry(state), {})
        self.assertIsNone(state.find("monitor", MONITOR))
        self.assertEqual(self.queues(state), [])
        self.assertIsNone(state.value("run"))
        self.assertFalse(state.has("traywindow"))
        # (Wine keeps the driver: see test_scenarios.)
        self.assertEqual(sorted(os.listdir(harness.unix_path(INSTALL_DIR))), ["uninstall.exe"])
        # The uninstaller ran in place: it and its directory go at the restart.
        self.assertIn(("\\??\\" + INSTALL_DIR + r"\uninstall.exe", ""), state.all("pending"))


class ExitCodeTest(PackageTestCase):
    """A package around the stand-in installer: every exit code of the
    installer and the package's answer, and the arguments it was given."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        if not shutil.which("makensis"):
            raise unittest.SkipTest("makensis missing; run scripts/setup-windows.sh")
        cls.package = build_package(os.path.join(harness.test_dir(), "exit-code-package"),
                                    os.path.join(fixtures(), "installer_exit_code.exe"))

    def setUp(self):
        self.wine.reset_product()
        shutil.rmtree(harness.unix_path(STAND_IN_DIR), ignore_errors=True)
        self.command = self.deploy(self.package, STAND_IN_PACKAGE.rsplit("\\", 1)[1])
        record = harness.unix_path(RECORD)
        if os.path.exists(record):
            os.unlink(record)

    def run_with(self, command_line, code):
        return self.run_command(command_line, env={"SOLVENDALE_TEST_EXIT_CODE": str(code),
                                                   "SOLVENDALE_TEST_RECORD": RECORD})

    def install(self, code):
        return self.run_with(self.command + r" /S /D=" + STAND_IN_DIR, code)

    def runs(self):
        with open(harness.unix_path(RECORD), encoding="utf-8") as f:
            return [line.split("\t") for line in f.read().splitlines()]

    def test_silent_runs(self):
        report = "/log=" + STAND_IN_DIR + r"\SolvendaleSetup.log"
        installs = ((1, SUCCESS), (2, SUCCESS), (101, SUCCESS_REBOOT_REQUIRED),
                    (100, FATAL_ERROR), (6, FATAL_ERROR), (0, FATAL_ERROR))
        for code, expected in installs:
            with self.subTest(install=code):
                self.assertEqual(self.install(code), expected)
        # From the second run on the tray companion is stopped before its
        # file is replaced.
        install = ["install", "/quiet", report]
        self.assertEqual(self.runs(), [install] + [["removetray"], install] * (len(installs) - 1))

        for code, expected in ((2, SUCCESS), (101, SUCCESS_REBOOT_REQUIRED), (100, FATAL_ERROR)):
            with self.subTest(uninstall=code):
                self.install(1)
                quiet = self.entry()["QuietUninstallString"]
                self.assertEqual(self.run_with(quiet, code), expected)
                self.assertEqual(self.entry(), {})
                uninstall = self.runs()[-1]
                self.assertEqual(uninstall[:2], ["uninstall", "/quiet"])
                # The report goes to the temporary directory, which outlives
                # the install directory.
                self.assertRegex(uninstall[2], r"^/log=C:\\.+\\Temp\\SolvendaleSetup\.log$")

    def test_interactive_error_names_the_report(self):
        process = self.wine.start(harness.helper("launcher"), self.command + " /D=" + STAND_IN_DIR,
                                  env={"SOLVENDALE_TEST_EXIT_CODE": "100",
                                       "SOLVENDALE_TEST_RECORD": RECORD})
        self.wizard(lambda f: "Welcome to Solvendale Setup" in f["texts"], "its first page")
        self.click(1)  # Next
        self.wizard(lambda f: "&Install" in f["texts"], "the install location")
        self.click(1)  # Install
        report = STAND_IN_DIR + r"\SolvendaleSetup.log"
        message = ("The printer driver installer reported an error.\r\n\r\n"
                   "Its report: " + report)
        box = self.wizard(lambda f: message in f["texts"], "a message naming the report")
        self.wine.screenshot("package_error_message", box.get("rect"))
        self.click(1)  # OK
        self.wizard(lambda f: "Installation Aborted" in f["texts"], "the aborted install")
        self.click(2)  # Cancel
        result = self.finish(process)
        self.assertEqual(result.stdout.strip(), "exit %d" % FATAL_ERROR)
        # Without /quiet; the last argument is the wizard's window, which
        # then owns the installer's log dialog.
        (run,) = self.runs()
        self.assertEqual(run[:2], ["install", "/log=" + report])
        self.assertRegex(run[2], r"^[1-9][0-9]*$")


if __name__ == "__main__":
    unittest.main(verbosity=2)
