"""Runs Windows programs under Wine for the tests, headless.

One Wine prefix and one wineserver session serve a whole test run:
  harness.py setup    starts Xvfb, creates the prefix, lays out the program
                      directory, starts a persistent wineserver and opens
                      the session (CTest fixture setup);
  harness.py cleanup  ends the wineserver and Xvfb (CTest fixture cleanup).
The test scripts import this module and use Session() to run programs.

Paths come from the environment (set by CTest):
  WINE_TEST_DIR       working directory of the run (prefix, logs, screenshots)
  WINDOWS_BUILD_DIR   the Windows build (SolvendaleSetup.exe, helpers, fixtures)
"""

import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

WINE64 = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver64"

# Where the program sits inside the prefix, as a setup package lays it out:
# the installer and its component files in one directory, the tray
# companion in the directory above it.
PRODUCT_DIR = r"C:\Program Files\Solvendale"
PROGRAM_DIR = PRODUCT_DIR + r"\Setup"
PROGRAM = PROGRAM_DIR + r"\SolvendaleSetup.exe"
COMPONENT_FILES = ("qrlmon64.dll", "qrldrv64.dll", "qrlui64.dll", "qrlhelp.chm")


def test_dir():
    return os.environ["WINE_TEST_DIR"]


def windows_build_dir():
    return os.environ["WINDOWS_BUILD_DIR"]


def session_file():
    return os.path.join(test_dir(), "session.json")


def prefix_dir():
    return os.path.join(test_dir(), "prefix")


def log(message):
    print("[wine] " + message, flush=True)


def base_env(display=None):
    env = dict(os.environ)
    env.update({
        "WINEPREFIX": prefix_dir(),
        "WINEARCH": "win64",
        "WINEDEBUG": "-all",
        "WINEDLLOVERRIDES": "mscoree,mshtml=;winedbg.exe=d",
        "WINESERVER": WINESERVER,
        "WINELOADER": WINE64,
    })
    if display is not None:
        env["DISPLAY"] = display
    return env


def unix_path(windows_path):
    """Path inside the prefix's drive C for a C:\\ path."""
    assert windows_path[:3].upper() == "C:\\", windows_path
    return os.path.join(prefix_dir(), "drive_c", *windows_path[3:].split("\\"))


def helper(name):
    return os.path.join(windows_build_dir(), "tests", "wine", "helpers", name + ".exe")


def fixture(build, name):
    return os.path.join(windows_build_dir(), "tests", "wine", "fixtures", str(build), name)


# ---------------------------------------------------------------- set-up

def start_xvfb(logfile):
    read_end, write_end = os.pipe()
    process = subprocess.Popen(
        ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1280x1024x24",
         "-nolisten", "tcp"],
        stdin=subprocess.DEVNULL, stdout=logfile, stderr=logfile,
        pass_fds=(write_end,), start_new_session=True)
    os.close(write_end)
    number = b""
    with os.fdopen(read_end, "rb") as pipe:
        while not number.endswith(b"\n"):
            chunk = pipe.read(1)
            if not chunk:
                break
            number += chunk
    if not number.strip():
        process.kill()
        raise RuntimeError("Xvfb did not start (see xvfb.log)")
    return process.pid, ":" + number.decode().strip()


def run_quiet(args, env, logfile, timeout):
    return subprocess.run(args, env=env, stdin=subprocess.DEVNULL, stdout=logfile,
                          stderr=logfile, timeout=timeout, check=False).returncode


def lay_out_program(build=2093):
    """Copies the installer, its component files and the tray companion into
    the program directory of the prefix."""
    program_dir = unix_path(PROGRAM_DIR)
    os.makedirs(program_dir, exist_ok=True)
    shutil.copy(os.path.join(windows_build_dir(), "SolvendaleSetup.exe"), program_dir)
    for name in COMPONENT_FILES:
        shutil.copy(fixture(build, name), program_dir)
    shutil.copy(os.path.join(windows_build_dir(), "tests", "wine", "fixtures", "soltray.exe"),
                unix_path(PRODUCT_DIR))


def setup():
    os.makedirs(test_dir(), exist_ok=True)
    cleanup(quiet=True)
    if os.path.isdir(prefix_dir()):
        # A server of an earlier run whose session record was lost.
        subprocess.run([WINESERVER, "-k"], env=base_env(), stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
    shutil.rmtree(prefix_dir(), ignore_errors=True)
    started = time.monotonic()
    logfile = open(os.path.join(test_dir(), "wine-setup.log"), "w")
    xvfb_pid, display = start_xvfb(open(os.path.join(test_dir(), "xvfb.log"), "w"))
    state = {"xvfb_pid": xvfb_pid, "display": display, "prefix": prefix_dir()}
    with open(session_file(), "w") as f:
        json.dump(state, f)
    env = base_env(display)
    log("Xvfb on %s; creating the prefix" % display)
    # The first boot installs the prefix; the server must be idle before the
    # spooler service can be started.
    code = run_quiet([WINE64, "wineboot", "-i"], env, logfile, 300)
    if code != 0:
        raise RuntimeError("wineboot -i failed with %d (see wine-setup.log)" % code)
    run_quiet([WINESERVER, "-w"], env, logfile, 300)
    lay_out_program()
    # One persistent server for the whole run. A new session behaves like a
    # reboot (it carries out PendingFileRenameOperations), so the tests
    # share this one. Its first process hands its standard output to the
    # background services, hence no pipe here.
    subprocess.Popen([WINESERVER, "-p"], env=env, stdin=subprocess.DEVNULL,
                     stdout=logfile, stderr=logfile, start_new_session=True).wait(timeout=60)
    code = run_quiet([WINE64, "wineboot"], env, subprocess.DEVNULL, 300)
    if code != 0:
        raise RuntimeError("opening the wine session failed with %d" % code)
    log("prefix ready in %.1f s: %s" % (time.monotonic() - started, prefix_dir()))


def cleanup(quiet=False):
    try:
        with open(session_file()) as f:
            state = json.load(f)
    except (OSError, ValueError):
        if not quiet:
            log("no session to end")
        return
    env = base_env(state.get("display"))
    try:
        subprocess.run([WINESERVER, "-k"], env=env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
    except (OSError, subprocess.TimeoutExpired):
        pass
    pid = state.get("xvfb_pid")
    if pid and is_xvfb(pid):
        try:
            os.kill(pid, signal.SIGTERM)
        except OSError:
            pass
    os.unlink(session_file())
    if not quiet:
        log("wineserver and Xvfb ended")


def is_xvfb(pid):
    try:
        with open("/proc/%d/comm" % pid) as f:
            return f.read().strip() == "Xvfb"
    except OSError:
        return False


# ------------------------------------------------------------- sessions

class Result:
    def __init__(self, code, stdout, stderr):
        self.code = code
        self.stdout = stdout
        self.stderr = stderr

    def __repr__(self):
        return "Result(code=%r, stdout=%r, stderr=%r)" % (self.code, self.stdout, self.stderr)


class Session:
    """The open wineserver session of this test run."""

    def __init__(self):
        with open(session_file()) as f:
            self.state = json.load(f)
        self.env = base_env(self.state["display"])

    def start(self, program, *args, env=None):
        """Starts a program, with the variables of env added to its
        environment. Its output goes to files, not pipes: processes it
        starts (the tray companion) inherit the handles and outlive it."""
        out = tempfile.TemporaryFile()
        err = tempfile.TemporaryFile()
        process = subprocess.Popen([WINE64, program] + list(args), env=dict(self.env, **(env or {})),
                                   stdin=subprocess.DEVNULL, stdout=out, stderr=err)
        process.out_file = out
        process.err_file = err
        return process

    @staticmethod
    def output_so_far(stream):
        size = os.fstat(stream.fileno()).st_size
        return os.pread(stream.fileno(), size, 0).decode("utf-8", "replace")

    def finish(self, process, timeout=60):
        """Waits for a started program."""
        deadline = time.monotonic() + timeout
        while process.poll() is None:
            if time.monotonic() > deadline:
                process.kill()
                process.wait()
                raise subprocess.TimeoutExpired(process.args, timeout)
            time.sleep(0.02)
        stdout = self.output_so_far(process.out_file)
        stderr = self.output_so_far(process.err_file)
        process.out_file.close()
        process.err_file.close()
        return Result(process.returncode, stdout, stderr)

    def run(self, program, *args, timeout=60, env=None):
        return self.finish(self.start(program, *args, env=env), timeout)

    def installer(self, *args, timeout=60):
        return self.run(PROGRAM, *args, timeout=timeout)

    def start_installer(self, *args):
        return self.start(PROGRAM, *args)

    def helper(self, name, *args, timeout=60):
        return self.run(helper(name), *args, timeout=timeout)

    def screenshot(self, name, rect=None):
        """Saves the Xvfb screen, or the part given as "left,top,width,height",
        as <WINE_TEST_DIR>/<name>.png."""
        path = os.path.join(test_dir(), name + ".png")
        args = ["import", "-window", "root"]
        if rect:
            left, top, width, height = (int(v) for v in rect.split(","))
            args += ["-crop", "%dx%d+%d+%d" % (width, height, max(left, 0), max(top, 0))]
        subprocess.run(args + [path], env=self.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60,
                       check=True)
        return path

    def run_job(self, *args, close="button", shot=None, timeout=180):
        """Runs an install or uninstall command. When the log dialog appears
        it is read, photographed (as shot, when given) and closed with close.
        Returns (result, dialog fields or None)."""
        process = self.start_installer(*args)
        dialog = self.read_dialog(timeout_ms=timeout * 1000, program=process)
        if dialog is not None:
            if shot:
                self.screenshot(shot, dialog.get("rect"))
            if self.close_dialog(close) != 0:
                process.kill()
                raise RuntimeError("the log dialog did not close with " + close)
        return self.finish(process, timeout), dialog

    def read_dialog(self, timeout_ms=15000, program=None):
        """The log dialog's caption, texts and styles, or None when none
        appeared in time. With program (a started process), stops waiting
        as soon as that program has ended."""
        deadline = time.monotonic() + timeout_ms / 1000.0
        while True:
            step = 1000 if program is not None else timeout_ms
            result = self.helper("dialog_reader", "read", str(step),
                                 timeout=step / 1000.0 + 60)
            if result.code == 0:
                break
            if program is not None and program.poll() is not None:
                return None
            if time.monotonic() > deadline:
                return None
        fields = {}
        for line in result.stdout.splitlines():
            key, _, value = line.partition("=")
            fields[key] = unescape(value)
        return fields

    def close_dialog(self, how, timeout_ms=15000):
        return self.helper("dialog_reader", "close", how, str(timeout_ms),
                           timeout=timeout_ms / 1000.0 + 60).code

    def hold_shift(self, limit_ms=120000):
        """Presses Shift and keeps it down until release_shift(); returns the
        holder process. Raises when the key could not be pressed."""
        holder = self.start(helper("key_helper"), "hold", str(limit_ms))
        deadline = time.monotonic() + 60
        while "held" not in self.output_so_far(holder.out_file):
            if holder.poll() is not None or time.monotonic() > deadline:
                self.finish(holder)
                raise RuntimeError("Shift could not be pressed")
            time.sleep(0.02)
        return holder

    def release_shift(self, holder):
        self.helper("key_helper", "release")
        return self.finish(holder)

    def reset_product(self, build=2093):
        """Brings the prefix back to a system without any Solvendale
        component and lays out the program directory afresh."""
        result = self.helper("product_reset")
        if result.code != 0:
            raise RuntimeError("resetting the prefix failed: %r" % result)
        lay_out_program(build)

    def add_missing_datatypes(self):
        """Gives queues registered without a data type the data type "RAW",
        as Windows' spooler does; returns the names of the queues changed.
        (Wine's AddPrinterW registers such a queue but cannot open it.)"""
        result = self.helper("product_reset", "datatype")
        if result.code != 0:
            raise RuntimeError("setting data types failed: %r" % result)
        return [line[len("datatype RAW for "):].strip() for line in result.stdout.splitlines()
                if line.startswith("datatype RAW for ")]

    def schedule_at_reboot(self, path, new_path=None):
        """Schedules a file for deletion (or renaming) at the next reboot
        (MoveFileExW with MOVEFILE_DELAY_UNTIL_REBOOT)."""
        args = ["schedule", path] + ([new_path] if new_path else [])
        result = self.helper("product_reset", *args)
        if result.code != 0:
            raise RuntimeError("scheduling failed: %r" % result)

    def spooler_state(self):
        """The state reader's records as a list of tuples (kind, fields...)."""
        result = self.helper("state_reader")
        if result.code != 0:
            raise RuntimeError("state reader failed: %r" % result)
        return [tuple(unescape(f) for f in line.split("\t"))
                for line in result.stdout.splitlines() if line]


def unescape(text):
    out = []
    i = 0
    while i < len(text):
        c = text[i]
        if c == "\\" and i + 1 < len(text):
            nxt = text[i + 1]
            out.append({"n": "\n", "r": "\r", "t": "\t", "\\": "\\"}.get(nxt, nxt))
            i += 2
        else:
            out.append(c)
            i += 1
    return "".join(out)


if __name__ == "__main__":
    command = sys.argv[1] if len(sys.argv) > 1 else ""
    if command == "setup":
        setup()
    elif command == "cleanup":
        cleanup()
    else:
        sys.exit("usage: harness.py setup|cleanup")
