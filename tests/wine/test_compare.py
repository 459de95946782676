"""The same runs of the installer on the stand-in machine (solvendale-sim of
the Linux build) and as the real Windows program under Wine, compared:
exit code, operation log and the resulting spooler, registry and file state.

Logs are compared line by line after masking what legitimately differs
between the two platforms: the letter case of paths, the platform's own
monitors and drivers (the lines between the dashed list lines, or the line
saying there are none, their counts and the list positions), and the system's message texts " - (...)".

Where Wine's spooler behaves differently from Windows', the difference is
recorded here (WINE_DIFFERENCES) and expected; everything else must agree:
 - Wine refuses DeletePrinterDriverExW with DPD_DELETE_ALL_FILES
   (ERROR_INVALID_PARAMETER, 87), also after the spooler restart, so a run
   that deletes the driver writes error line 14, keeps the driver and ends
   with 100 and the error dialog;
 - Wine's AddPrinterW registers a queue given without a data type but then
   cannot open it and fails with ERROR_INVALID_PRINTER_NAME (1801), so every
   queue the installer creates gives error line 15 (exit 100), and a
   reinstall cannot restore a queue's printer data, comment, location or
   default status; it then falls back to the queue "Solvendale";
 - Windows' spooler keeps a removed monitor's DLL loaded until it restarts,
   so on the stand-in the DLL's deletion is retried (with a spooler restart)
   before it succeeds; Wine lets go of it at once, and its log goes on
   without those retries.

The stand-in runs with Shift held and Wine with Shift pressed by the key
helper, so that every job shows its log."""

import os
import re
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
from test_commands import WineTestCase  # noqa: E402

DRIVER = "Solvendale printer"
MONITOR = "Solvendale:"
QUEUE = "Solvendale"
SETTINGS_KEY = r"Software\Quarlen Software KFT\Solvendale\Solvendales"
OTHER_QUEUE = "Compare Other Printer"
CAPTION = "Solvendale build 2093- Install log."
ERROR_CAPTION = "Solvendale build 2093- Install error log!"
SYSTEM_TEXT = " - (<system text>)"

# Files whose presence is compared, by a name of their own, as paths on the
# stand-in and in the Wine prefix.
SIM_SYSTEM = r"C:\Windows\System32"
WINE_SYSTEM = r"C:\windows\system32"
FILES = {
    "monitor dll": r"\qrlmon64.dll",
    "driver dll": r"\spool\drivers\x64\3\qrldrv64.dll",
    "ui dll": r"\spool\drivers\x64\3\qrlui64.dll",
    "help file": r"\spool\drivers\x64\3\qrlhelp.chm",
    "staged driver dll": r"\spool\drivers\x64\qrldrv64.dll",
    "staged ui dll": r"\spool\drivers\x64\qrlui64.dll",
    "staged help file": r"\spool\drivers\x64\qrlhelp.chm",
}
TRAY = harness.PRODUCT_DIR + r"\soltray.exe"

# The queues of the reinstall: name, SubKey, comment, location. Their names
# sort after "Solvendale" so that both spoolers list them in this order. The
# second SubKey (100 bytes with its terminator) does not fit the first read.
STUDIO_SUBKEY = "studio-" + "2" * 92
SAVED_QUEUES = (
    ("Solvendale Office", "office-1", "Second floor", "Room 204"),
    ("Solvendale Studio", STUDIO_SUBKEY, "Colour proofs", "Studio"),
)
SAVED_DEFAULT = "Solvendale Studio"

ERROR_14 = "Error(14): Can`t remove the printer-driver 'Solvendale printer'"
ERROR_15 = re.compile(r"^Error\(15\): Can`t add printer '(.*)'$")
DRIVER_RETRY = "Can't delete driver. Trying to restart spooler"


# ------------------------------------------------------------ the logs --

PATH = re.compile(r"[A-Za-z]:\\[^\s'\"\])]*")
SYSTEM_MESSAGE = re.compile(r" - \(.*\)$")
LIST_START = re.compile(r"^-+ ?(\d+) existing (monitors|drivers) ?-+$")
LIST_END = re.compile(r"^-{20,}$")
EMPTY_LISTS = {"BTW, there is no printer drivers on this system.": "drivers",
               "BTW, there is no port monitors on this system.": "monitors"}
COUNTS = ((re.compile(r"^\d+ Monitors found\.$"), "<n> Monitors found."),
          (re.compile(r"^\d+ drivers found$"), "<n> drivers found"),
          (re.compile(r"^(Port monitor|Driver) is found\. Index=\d+$"), None))


def log_lines(text):
    """The log's lines without line ends and trailing blanks, empty lines
    dropped; each as (indentation, text)."""
    lines = []
    for line in text.replace("\r\n", "\n").split("\n"):
        line = line.rstrip()
        if line:
            body = line.lstrip(" ")
            lines.append((len(line) - len(body), body))
    return lines


def mask_line(body):
    body = SYSTEM_MESSAGE.sub(SYSTEM_TEXT, body)
    body = PATH.sub(lambda m: m.group(0).lower(), body)
    for pattern, replacement in COUNTS:
        if pattern.match(body):
            body = replacement or re.sub(r"Index=\d+", "Index=<n>", body)
    return body


def mask_log(text):
    """The log as comparable lines "indent|text": paths in lower case, the
    platform's monitor and driver lists and counts and the system message
    texts replaced."""
    out = []
    in_list = False
    for indent, body in log_lines(text):
        start = LIST_START.match(body)
        if start:
            in_list = True
            out.append("%d|<%s list>" % (indent, start.group(2)))
            continue
        if body in EMPTY_LISTS:
            out.append("%d|<%s list>" % (indent, EMPTY_LISTS[body]))
            continue
        if in_list:
            if LIST_END.match(body):
                in_list = False
            continue
        out.append("%d|%s" % (indent, mask_line(body)))
    return out


def expect_wine_log(lines):
    """The stand-in's view of a masked Wine log: the recorded Wine
    differences taken out. Returns (lines, differences found)."""
    out = []
    found = []
    i = 0
    while i < len(lines):
        indent, _, body = lines[i].partition("|")
        if body == DRIVER_RETRY:
            # Up to and including error line 14: on Windows the first
            # deletion succeeds and the log says "OK :)".
            j = i
            while j < len(lines) and not lines[j].partition("|")[2].startswith(ERROR_14):
                j += 1
            if j < len(lines):
                out.append("%s|OK :)" % indent)
                found.append("driver deletion refused (error 14)")
                i = j + 1
                continue
        match = ERROR_15.match(body.replace(SYSTEM_TEXT, ""))
        if match:
            out.append("%s|OK :)" % indent)
            found.append("queue '%s' created without a handle (error 15)" % match.group(1))
            i += 1
            continue
        out.append(lines[i])
        i += 1
    return out, found


MONITOR_REMOVED = "Monitor was removed :)"
RETRY_LINES = ("DeleteFile-try", ">Restart Spooler")


def drop_monitor_dll_retries(expected, actual):
    """The stand-in's lines without the retries of the removed monitor's DLL
    (the "DeleteFile-try" and ">Restart Spooler" lines, with what a restart
    logs, right after "Monitor was removed :)") where the Wine log goes on
    without them. Returns (lines, whether any were dropped)."""
    for i, line in enumerate(expected):
        if line.partition("|")[2] != MONITOR_REMOVED or i >= len(actual) or actual[i] != line:
            continue
        end = i + 1
        restart_indent = None
        while end < len(expected):
            indent, _, body = expected[end].partition("|")
            if restart_indent is not None and int(indent) > restart_indent:
                end += 1
                continue
            if body not in RETRY_LINES:
                break
            restart_indent = int(indent) if body == RETRY_LINES[1] else None
            end += 1
        wine_next = actual[i + 1].partition("|")[2] if i + 1 < len(actual) else None
        if end > i + 1 and wine_next not in RETRY_LINES:
            return expected[:i + 1] + expected[end:], True
    return expected, False


def drop_fallback_queue(lines):
    """Removes the last ">AddPrinter(Solvendale)" block, which Wine's
    reinstall adds when no saved queue could be re-created."""
    for start in range(len(lines) - 1, -1, -1):
        if lines[start].partition("|")[2] == ">AddPrinter(%s)" % QUEUE:
            indent = int(lines[start].partition("|")[0])
            end = start + 1
            while end < len(lines) and int(lines[end].partition("|")[0]) > indent:
                end += 1
            return lines[:start] + lines[end:]
    return lines


def diff_text(expected, actual, labels=("stand-in", "wine")):
    import difflib
    return "\n".join(difflib.unified_diff(expected, actual, labels[0], labels[1], lineterm="", n=3))


# ----------------------------------------------------------- the states --

def parse_records(text):
    return [tuple(harness.unescape(f) for f in line.split("\t"))
            for line in text.splitlines() if line]


def logged_list(lines, kind):
    """The names of a monitor or driver list as the program logged it:
    the numbered lines between its dashed header and the closing dashes
    (an empty list when the log says there is none)."""
    names = []
    inside = False
    for line in lines:
        match = LIST_START.match(line)
        if match and match.group(2) == kind:
            inside = True
        elif inside and line.startswith("---"):
            break
        elif inside:
            names.append(line.split(". ", 1)[1])
    return names


def norm_path(path):
    if path is None or path == "(null)":
        return None
    if path.startswith("\\??\\"):
        path = path[4:]
    return path.lower()


class ProductState:
    """What a run left of the product, in a form both platforms share."""

    def __init__(self, records):
        by_kind = {}
        for r in records:
            by_kind.setdefault(r[0], []).append(r[1:])
        monitors = [m for m in by_kind.get("monitor", []) if m[0] == MONITOR]
        # (Wine's EnumMonitorsW reports every monitor under "Windows NT x86";
        # the environment is not compared.)
        self.monitor = monitors[0][2] if monitors else None
        self.port = any(p[0] == MONITOR for p in by_kind.get("port", []))
        drivers = [d for d in by_kind.get("driver", []) if d[0] == DRIVER]
        # (Wine keeps no manufacturer or provider: only the files compared.)
        self.driver = (drivers[0][1],) + tuple(norm_path(p) for p in drivers[0][3:7]) \
            if drivers else None
        self.queues = sorted((p[0], p[1], p[2], p[3], p[4], p[6])
                             for p in by_kind.get("printer", []) if p[2] == DRIVER)
        names = set(q[0] for q in self.queues)
        self.data = sorted((d[0], d[1], d[2], d[4]) for d in by_kind.get("data", [])
                           if d[0] in names and d[2] == "SubKey")
        default = by_kind.get("default203", [None])[0]
        self.default = default[0] if default and default[0] in names else "(not a Solvendale queue)"
        self.run = norm_path(by_kind.get("run", [(None,)])[0][0])
        self.tray = "traywindow" in by_kind
        self.pending = sorted((norm_path(p[0]), norm_path(p[1])) for p in by_kind.get("pending", []))
        self.files = {}
        self.values = {}
        self.default_record = by_kind.get("default203", [(None,)])[0][0]

    def fields(self):
        return {k: v for k, v in vars(self).items() if k != "default_record"}

    def lines(self):
        out = []
        for key, value in sorted(self.fields().items()):
            if isinstance(value, dict):
                out += ["%s[%s] = %r" % (key, k, v) for k, v in sorted(value.items())]
            elif isinstance(value, list):
                out += ["%s: %r" % (key, v) for v in value] or ["%s: (none)" % key]
            else:
                out.append("%s = %r" % (key, value))
        return out


def value_query(subkey):
    return SETTINGS_KEY + "\\" + subkey, "deleted"


# -------------------------------------------------------- the stand-in --

class StandIn:
    """One stand-in machine kept in a directory, run by solvendale-sim."""

    def __init__(self, directory):
        self.directory = directory
        self.program = os.environ["SOLVENDALE_SIM"]
        self.fresh = True

    def run(self, word, shift=True, setup=(), values=()):
        dump = os.path.join(self.directory, "state.tsv")
        args = [self.program, "--machine", os.path.join(self.directory, "machine")]
        if self.fresh:
            args.append("--new")
            self.fresh = False
        if shift:
            args.append("--shift")
        args += list(setup) + ["--dump", dump]
        for path in FILES.values():
            args += ["--file", SIM_SYSTEM + path]
        for key, name in values:
            args += ["--user-value", key, name]
        args += ["--", word]
        done = subprocess.run(args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, timeout=120, check=False)
        out = done.stdout.decode("utf-8", "replace")
        lines = out.splitlines()
        if not lines or not lines[-1].startswith("exit code "):
            raise RuntimeError("solvendale-sim failed: %r %r" % (out, done.stderr))
        code = int(lines[-1][len("exit code "):])
        dialogs = []
        for line in lines[:-1]:
            match = re.match(r'^dialog "(.*)":$', line)
            if match:
                dialogs.append([match.group(1), []])
            elif dialogs:
                dialogs[-1][1].append(line)
        with open(dump, encoding="utf-8") as f:
            records = parse_records(f.read())
        state = ProductState(records)
        for name, path in FILES.items():
            state.files[name] = ("file", SIM_SYSTEM + path, "1") in records
        for key, name in values:
            state.values[key.rsplit("\\", 1)[1]] = ("value", key, name, "1") in records
        return Run(code, [(c, "\n".join(t)) for c, t in dialogs], state)


class Run:
    def __init__(self, code, dialogs, state):
        self.code = code
        self.dialogs = dialogs  # [(caption, text)]
        self.state = state

    @property
    def caption(self):
        return self.dialogs[0][0] if self.dialogs else None

    @property
    def log(self):
        return self.dialogs[0][1] if self.dialogs else ""


# ---------------------------------------------------------------- tests --

class CompareTestCase(WineTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        if not os.environ.get("SOLVENDALE_SIM") or not os.path.exists(os.environ["SOLVENDALE_SIM"]):
            raise unittest.SkipTest("no solvendale-sim in this build")

    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="compare-")
        self.sim = StandIn(self.tmp.name)
        self.wine.reset_product()
        self.differences = []

    def tearDown(self):
        self.tmp.cleanup()
        if self.differences:
            print("Wine differences recorded: " + "; ".join(sorted(set(self.differences))))

    # Wine side -----------------------------------------------------------

    def setup_helper(self, *args):
        result = self.wine.helper("compare_setup", *args)
        if result.code != 0:
            self.fail("compare_setup %s: %r" % (" ".join(args), result))
        return result

    def wine_state(self, values=(), tray=None):
        """The prefix's product state; with tray given, waits (bounded) until
        the tray companion's window is there or gone as expected, since the
        companion starts and ends on its own after the installer."""
        deadline = time.monotonic() + 10
        while True:
            records = self.wine.spooler_state()
            state = ProductState(records)
            if tray is None or state.tray == tray or time.monotonic() > deadline:
                break
            time.sleep(0.2)
        for name, path in FILES.items():
            state.files[name] = os.path.exists(harness.unix_path(WINE_SYSTEM + path))
        for key, name in values:
            line = self.setup_helper("value", key, name).stdout.strip()
            state.values[key.rsplit("\\", 1)[1]] = line.endswith("\t1")
        return state

    def wine_job(self, word, values=(), tray=None):
        holder = self.wine.hold_shift()
        try:
            result, dialog = self.wine.run_job(word, shot="compare_" + word)
        finally:
            self.wine.release_shift(holder)
        # Queues that Wine registered without a data type get "RAW", as
        # Windows' spooler gives them, so that later runs can open them.
        self.wine.add_missing_datatypes()
        dialogs = [(dialog["caption"], dialog["edit_text"])] if dialog else []
        return Run(result.code, dialogs, self.wine_state(values, tray))

    # Comparison ---------------------------------------------------------

    def compare_job(self, word, sim_setup=(), values=(), fallback_queue=False):
        """Runs the job on both platforms and compares exit code, caption,
        masked log and product state. Returns (stand-in run, Wine run, the
        Wine differences found in the log)."""
        sim = self.sim.run(word, setup=sim_setup, values=values)
        wine = self.wine_job(word, values, tray=sim.state.tray)
        self.assertEqual(len(sim.dialogs), 1, sim.dialogs)
        self.assertIsNotNone(wine.caption, "no log dialog under Wine")

        expected = mask_log(sim.log)
        actual, found = expect_wine_log(mask_log(wine.log))
        if fallback_queue:
            actual = drop_fallback_queue(actual)
        expected, unloaded = drop_monitor_dll_retries(expected, actual)
        if unloaded:
            self.differences.append("removed monitor's DLL let go at once")
        self.differences += found
        self.assertEqual(expected, actual, "logs differ after masking:\n" +
                         diff_text(expected, actual) + "\n--- Wine log:\n" + wine.log)
        # No error line but the recorded ones.
        self.assertNotIn("Error(", "\n".join(expected))
        self.assertNotIn("Error(", "\n".join(actual))
        if found:
            self.assertEqual((wine.code, wine.caption), (100, ERROR_CAPTION))
            self.assertIn(sim.code, (1, 2))
            self.assertEqual(sim.caption, CAPTION)
        else:
            self.assertEqual((wine.code, wine.caption), (sim.code, sim.caption))
        return sim, wine, found

    def assertSameState(self, sim, wine, allowed=()):
        """Every field of the product state agrees, except the fields named
        in allowed, which the caller checks itself."""
        a = {k: v for k, v in sim.fields().items() if k not in allowed}
        b = {k: v for k, v in wine.fields().items() if k not in allowed}
        if a != b:
            sa = [l for l in sim.lines() if l.split(" ")[0].split("[")[0].rstrip(":") not in allowed]
            sb = [l for l in wine.lines() if l.split(" ")[0].split("[")[0].rstrip(":") not in allowed]
            self.fail("states differ:\n" + diff_text(sa, sb))

    def compare_probe(self, word, sim_setup=()):
        sim = self.sim.run(word, shift=False, setup=sim_setup)
        wine = self.installer(word)
        self.assertEqual(sim.dialogs, [])
        self.assertEqual(sim.code, wine.code, word)
        return sim.code

    # Steps shared by the scenarios ----------------------------------------

    def install_on_both(self):
        sim, wine, found = self.compare_job("install")
        self.assertEqual(found, ["queue 'Solvendale' created without a handle (error 15)"])
        self.assertEqual(sim.code, 1)
        self.assertSameState(sim.state, wine.state)
        return sim.state

    def assertInstalled(self, state):
        self.assertEqual(state.monitor, "qrlmon64.dll")
        self.assertTrue(state.port)
        v3 = (WINE_SYSTEM + r"\spool\drivers\x64\3").lower()
        self.assertEqual(state.driver, ("3", v3 + r"\qrldrv64.dll", v3 + r"\qrldrv64.dll",
                                        v3 + r"\qrlui64.dll", v3 + r"\qrlhelp.chm"))
        self.assertEqual([(q[0], q[1], q[2], q[5]) for q in state.queues],
                         [(QUEUE, MONITOR, DRIVER, "WinPrint")])
        self.assertEqual(state.run, TRAY.lower())
        self.assertTrue(state.tray)
        self.assertEqual(state.pending, [])
        self.assertEqual(state.files, {
            "monitor dll": True, "driver dll": True, "ui dll": True, "help file": True,
            "staged driver dll": False, "staged ui dll": False, "staged help file": False})


class CleanMachineTest(CompareTestCase):
    def test_install_probes_and_default_printer(self):
        state = self.install_on_both()
        self.assertInstalled(state)

        self.assertEqual(self.compare_probe("onChkDrv"), 103)
        self.assertEqual(self.compare_probe("def.set"), 4)
        sim = self.sim.run("onInit", shift=False)
        self.assertEqual(sim.state.default, QUEUE)
        wine = self.wine_state()
        self.assertEqual((wine.default, wine.default_record), (QUEUE, QUEUE))
        self.assertEqual(self.installer("onInit").code, sim.code)
        self.assertEqual(sim.code, 3)

        # Another printer becomes the default printer.
        self.setup_helper("other", OTHER_QUEUE)
        self.setup_helper("default", OTHER_QUEUE)
        self.assertEqual(self.wine_state().default_record, OTHER_QUEUE)
        self.assertEqual(self.compare_probe("onInit", ("--default", "Microsoft Print to PDF")), 102)
        self.setup_helper("remove", OTHER_QUEUE)

    def test_uninstall_after_install(self):
        self.install_on_both()
        sim, wine, found = self.compare_job("uninstall")
        self.assertEqual(found, ["driver deletion refused (error 14)"])
        self.assertEqual(sim.code, 2)
        # Windows (the stand-in) removes the driver and its files; Wine keeps
        # them (recorded above). All else is gone on both.
        self.assertIsNone(sim.state.driver)
        self.assertIsNotNone(wine.state.driver)
        self.assertSameState(sim.state, wine.state,
                             allowed=("driver", "files"))
        for name in ("driver dll", "ui dll", "help file"):
            self.assertFalse(sim.state.files[name], name)
            self.assertTrue(wine.state.files[name], name)
        for state in (sim.state, wine.state):
            self.assertEqual(state.queues, [])
            self.assertIsNone(state.monitor)
            self.assertFalse(state.port)
            self.assertFalse(state.files["monitor dll"])
            self.assertIsNone(state.run)
            self.assertFalse(state.tray)
        harness.lay_out_program()


class ReinstallTest(CompareTestCase):
    def test_reinstall_over_compatible_installation(self):
        self.install_on_both()
        values = [value_query(q[1]) for q in SAVED_QUEUES]
        sim_setup = []
        for name, subkey, comment, location in SAVED_QUEUES:
            sim_setup += ["--user-queue", name, subkey, comment, location]
            self.setup_helper("queue", name, subkey, comment, location)
        sim_setup += ["--default", SAVED_DEFAULT]
        self.setup_helper("default", SAVED_DEFAULT)
        before = self.wine_state(values)
        self.assertEqual(before.default, SAVED_DEFAULT)
        self.assertEqual(before.values, {"office-1": True, STUDIO_SUBKEY: True})

        sim, wine, found = self.compare_job("install", sim_setup, values, fallback_queue=True)
        self.assertEqual(sim.code, 1)
        for log in (sim.log, wine.log):
            self.assertIn("Version (2093) is compatible, proceed without uninstall", log)
            self.assertIn("InstallMonitor == 0, CopyMonitor == 1", log)
            self.assertNotIn(">AddMonitor", log)
        # Re-created in the reverse of their enumeration order.
        order = [l.strip() for l in sim.log.splitlines() if l.strip().startswith(">AddPrinter(")]
        self.assertEqual(order, [">AddPrinter(Solvendale Studio)", ">AddPrinter(Solvendale Office)"])

        # The stand-in: both queues back with their names, comments,
        # locations, printer data and the default status; "deleted" cleared;
        # the queue "Solvendale" (without a SubKey) not re-created.
        expected_queues = sorted((n, MONITOR, DRIVER, c, l, "WinPrint")
                                 for n, _, c, l in SAVED_QUEUES)
        self.assertEqual(sim.state.queues, expected_queues)
        self.assertEqual(sim.state.data, sorted(
            (n, key, "SubKey", s) for n, s, _, _ in SAVED_QUEUES
            for key in ("PrinterDriverData", "DsUser")))
        self.assertEqual(sim.state.default, SAVED_DEFAULT)
        self.assertEqual(sim.state.values, {"office-1": False, STUDIO_SUBKEY: False})

        # Wine: the monitor stays and the driver is installed again as on
        # the stand-in; the queues are registered under their names but,
        # without a handle, keep none of their settings, and "Solvendale"
        # is added as the fallback (recorded differences).
        self.assertEqual(sorted(found), [
            "driver deletion refused (error 14)",
            "queue 'Solvendale Office' created without a handle (error 15)",
            "queue 'Solvendale Studio' created without a handle (error 15)",
            "queue 'Solvendale' created without a handle (error 15)"])
        self.assertSameState(sim.state, wine.state,
                             allowed=("queues", "data", "default", "values"))
        # (As created: an empty comment and no location.)
        self.assertEqual(wine.state.queues, sorted(
            [(n, MONITOR, DRIVER, "", "(null)", "WinPrint") for n, _, _, _ in SAVED_QUEUES] +
            [(QUEUE, MONITOR, DRIVER, "", "(null)", "WinPrint")]))
        self.assertEqual(wine.state.data, [])
        self.assertEqual(wine.state.values, {"office-1": True, STUDIO_SUBKEY: True})


class EmptyMachineTest(CompareTestCase):
    def test_uninstall_without_any_component(self):
        sim, wine, found = self.compare_job("uninstall")
        self.assertEqual(found, [])
        self.assertEqual((sim.code, wine.code), (2, 2))
        for log in (sim.log, wine.log):
            self.assertIn("No Solvendale driver was found", log)
            self.assertIn("No Solvendale port monitor was found.", log)
            self.assertIn("Can't delete monitor and monitor was not found. "
                          "So everything should be ok", log)
        self.assertSameState(sim.state, wine.state)

    def test_spooler_access(self):
        """A job built on Wine's spooler: the service check passes without an
        error line, and the default printer the program reads is the one
        the state reader sees."""
        self.setup_helper("other", OTHER_QUEUE)
        try:
            self.setup_helper("default", OTHER_QUEUE)
            wine = self.wine_job("uninstall")
            lines = [l.strip() for l in wine.log.split("\r\n")]
            self.assertEqual(lines[:2], ["Solvendale 2093", ">Check Spooler"])
            self.assertNotIn("Error(", wine.log)
            self.assertEqual(wine.code, 2)
            self.assertEqual(wine.state.default_record, OTHER_QUEUE)
            # The monitor and driver lists the program enumerated and logged
            # are the ones the state reader sees, in the same order.
            records = self.wine.spooler_state()
            self.assertEqual(logged_list(lines, "monitors"),
                             [r[1] for r in records if r[0] == "monitor"])
            self.assertEqual(logged_list(lines, "drivers"),
                             [r[1] for r in records if r[0] == "driver"])
            # The probe reads the same default printer: not a Solvendale
            # queue, so 102; with a Solvendale queue as default, 3.
            self.assertEqual(self.installer("onInit").code, 102)
        finally:
            self.setup_helper("remove", OTHER_QUEUE)


if __name__ == "__main__":
    unittest.main(verbosity=2)
