#!/usr/bin/env python3
"""Wall time of the installer's commands under Wine, next to a program that
does nothing (bench/wine/noop.cpp) started the same way on the same prefix.

Uses the Wine tests' harness (tests/wine/harness.py) with a prefix of its
own under build/bench-wine: one Xvfb, one prefix, one wineserver session;
the session is always ended, also when a run fails.

Every timed run of a command is followed by one run of the no-op program
with the same command line from the same directory, so both see the same
machine load. The table gives the least and the median wall time of each.

install and uninstall end with the log dialog under Wine (error lines 15
and 14, exit code 100; see README.md). For them the time counted is from
the start to the moment the dialog is on the screen, when the program's work
is done; a dialog reader started next to the program watches for it (it
polls every 50 ms). The dialog is then closed and the exit code read.

With --noop-imports, a second no-op program that loads the installer's DLLs
and carries its manifest (bench/wine/noop_imports.cpp) runs after each no-op
run, to tell the loader's share from the program's own.

Usage: bench/wine_timing.py --noop build/bench-wine/noop.exe
           [--noop-imports build/bench-wine/noop_imports.exe] [--repeat 5]
Environment: WINDOWS_BUILD_DIR (default build/windows).
"""

import argparse
import os
import shutil
import statistics
import sys
import threading
import time

sys.dont_write_bytecode = True  # nothing written into tests/wine
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "wine"))
os.environ.setdefault("WINE_TEST_DIR", os.path.join(ROOT, "build", "bench-wine", "run"))
os.environ.setdefault("WINDOWS_BUILD_DIR", os.path.join(ROOT, "build", "windows"))
import harness  # noqa: E402

NOOP = harness.PROGRAM_DIR + r"\noop.exe"
NOOP_IMPORTS = harness.PROGRAM_DIR + r"\noop_imports.exe"
PROBES = ("onChkDrv", "onInit", "def.set")
COMMANDS = ("install", "uninstall") + PROBES + ("removetray",)
TARGET_RATIO = 1.2


class Timing:
    def __init__(self):
        self.seconds = []
        self.codes = []

    def add(self, seconds, code):
        self.seconds.append(seconds)
        self.codes.append(code)

    def least_ms(self):
        return min(self.seconds) * 1000.0

    def median_ms(self):
        return statistics.median(self.seconds) * 1000.0

    def exit_codes(self):
        return "/".join(str(c) for c in sorted(set(self.codes)))


def wait_for(process, seconds):
    """Waits for the process in one blocking waitpid (Popen.wait with a
    timeout polls in steps of up to 50 ms, which would show in the times);
    a timer ends a process that hangs."""
    timer = threading.Timer(seconds, process.kill)
    timer.start()
    try:
        process.wait()
    finally:
        timer.cancel()


def timed_run(wine, program, args):
    """Wall time from starting the process to its end, and its exit code."""
    started = time.perf_counter()
    process = wine.start(program, *args)
    wait_for(process, 120)
    seconds = time.perf_counter() - started
    return seconds, wine.finish(process).code


def timed_job(wine, command):
    """Wall time of install or uninstall until its log dialog is up (or
    until it ended, when it shows none), and its exit code."""
    started = time.perf_counter()
    process = wine.start(harness.PROGRAM, command)
    reader = wine.start(harness.helper("dialog_reader"), "read", "120000")
    wait_for(reader, 180)
    seconds = time.perf_counter() - started
    found = wine.finish(reader).code == 0
    if found:
        if wine.close_dialog("button") != 0:
            process.kill()
            raise RuntimeError("the log dialog of %s did not close" % command)
    else:
        seconds = None
    wait_for(process, 120)
    if seconds is None:
        seconds = time.perf_counter() - started
    return seconds, wine.finish(process).code


def install_untimed(wine):
    """Puts the product on the prefix again (with the tray companion
    running), as the timed uninstall and removetray need it."""
    harness.lay_out_program()
    copy_noop_again()
    result, _ = wine.run_job("install")
    wine.add_missing_datatypes()
    wait_for_tray(wine)
    return result.code


def wait_for_tray(wine, seconds=15):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if any(r[0] == "traywindow" for r in wine.spooler_state()):
            return True
        time.sleep(0.2)
    return False


NOOP_SOURCES = [None, None]


def copy_noop_again():
    shutil.copy(NOOP_SOURCES[0], harness.unix_path(NOOP))
    if NOOP_SOURCES[1]:
        shutil.copy(NOOP_SOURCES[1], harness.unix_path(NOOP_IMPORTS))


def measure(wine, repeat, progress):
    program = {c: Timing() for c in COMMANDS}
    noop = {c: Timing() for c in COMMANDS}
    noop_imports = {c: Timing() for c in COMMANDS}

    def noop_run(command):
        noop[command].add(*timed_run(wine, NOOP, [command]))
        if NOOP_SOURCES[1]:
            noop_imports[command].add(*timed_run(wine, NOOP_IMPORTS, [command]))

    # Warm-up: the first start of each program fills Wine's caches.
    timed_run(wine, NOOP, [])
    if NOOP_SOURCES[1]:
        timed_run(wine, NOOP_IMPORTS, [])
    timed_run(wine, harness.PROGRAM, ["bogus"])

    progress("install")
    wine.reset_product()
    copy_noop_again()
    for _ in range(repeat):
        program["install"].add(*timed_job(wine, "install"))
        wine.add_missing_datatypes()
        noop_run("install")
    wait_for_tray(wine)

    for command in PROBES:
        progress(command)
        for _ in range(repeat):
            program[command].add(*timed_run(wine, harness.PROGRAM, [command]))
            noop_run(command)

    progress("removetray")
    for i in range(repeat):
        if i:
            install_untimed(wine)
        program["removetray"].add(*timed_run(wine, harness.PROGRAM, ["removetray"]))
        noop_run("removetray")

    progress("uninstall")
    for _ in range(repeat):
        install_untimed(wine)
        program["uninstall"].add(*timed_job(wine, "uninstall"))
        noop_run("uninstall")
    return program, noop, noop_imports


def print_table(program, noop, noop_imports, repeat):
    print()
    print("Wall time under Wine, ms (least and median of %d runs each)" % repeat)
    print()
    with_imports = bool(NOOP_SOURCES[1])
    header = "%-11s %5s %9s %9s %9s %9s %7s %7s" % (
        "command", "exit", "least", "median", "noop min", "noop med", "ratio", "target")
    if with_imports:
        header += " %9s %9s %7s" % ("imps min", "imps med", "ratio")
    print(header)
    for command in COMMANDS:
        p, n = program[command], noop[command]
        ratio = p.median_ms() / n.median_ms()
        if command in PROBES:
            verdict = "ok" if ratio <= TARGET_RATIO else "over"
        else:
            verdict = "-"
        line = "%-11s %5s %9.0f %9.0f %9.0f %9.0f %7.2f %7s" % (
            command, p.exit_codes(), p.least_ms(), p.median_ms(),
            n.least_ms(), n.median_ms(), ratio, verdict)
        if with_imports:
            m = noop_imports[command]
            line += " %9.0f %9.0f %7.2f" % (m.least_ms(), m.median_ms(),
                                            p.median_ms() / m.median_ms())
        print(line)
    print()
    print("ratio: median of the command over median of the no-op program (noop.exe);")
    print("target: the probes at most %.0f%% over it." % ((TARGET_RATIO - 1) * 100))
    if with_imports:
        print("imps: the no-op with the installer's DLL imports and manifest"
              " (noop_imports.exe).")
    print("install and uninstall: time until the log dialog is up.")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--noop", required=True, help="the no-op program (noop.exe)")
    parser.add_argument("--noop-imports",
                        help="the no-op program with the installer's imports (noop_imports.exe)")
    parser.add_argument("--repeat", type=int, default=5)
    options = parser.parse_args()
    NOOP_SOURCES[0] = os.path.abspath(options.noop)
    if options.noop_imports:
        NOOP_SOURCES[1] = os.path.abspath(options.noop_imports)
    if not os.path.isfile(os.path.join(harness.windows_build_dir(), "SolvendaleSetup.exe")):
        sys.exit("wine_timing: %s has no SolvendaleSetup.exe; run scripts/test-windows.sh"
                 % harness.windows_build_dir())

    def progress(command):
        harness.log("timing %s" % command)

    started = time.monotonic()
    try:
        harness.setup()
        copy_noop_again()
        wine = harness.Session()
        program, noop, noop_imports = measure(wine, options.repeat, progress)
    finally:
        harness.cleanup()
    print_table(program, noop, noop_imports, options.repeat)
    print("(%.0f s in all, prefix creation included)" % (time.monotonic() - started))


if __name__ == "__main__":
    main()
