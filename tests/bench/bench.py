#!/usr/bin/env python3
"""make bench: wall time of whole runs under Wine on a healthy machine, for the repair
tool, the floor (a program that only pauses, as the tool does last) and a batch file doing
the tool's checks with reg, sc, tasklist and find.

    bench.py BUILD_DIR FLOOR_EXE FLOOR_DLLS_EXE   (BUILD_DIR: build/win64, the build that runs here)

FLOOR_DLLS_EXE is the floor that also imports the tool's system DLLs: the difference
between the two floors is what loading those DLLs costs.

A benchmark, not a test: it fails only when a run did not take the healthy path (then
its time would not be the tool's), never on the ratios.
"""
import os
import shutil
import signal
import statistics
import subprocess
import sys
import time

# The source tree stays as checked out.
sys.dont_write_bytecode = True
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, os.pardir, "e2e"))
import bed  # noqa: E402

WARM_UP = 1
# Run times under Wine here come in steps of about 50 ms: 7 runs let one step swing the median.
RUNS = 15
TARGET = 1.5
BATCH = os.path.join(HERE, "bench.bat")
BATCH_OUTPUT = ("Checking for problems, please wait...\r\n\r\n"
                "Restarting background programs...\r\n\r\n"
                "Repair completed.\r\n\r\n").encode() + bed.PAUSE_TEXT


class Interrupted(Exception):
    pass


def _interrupted(number, frame):
    raise Interrupted("signal %d" % number)


def timed_run(machine, subject, args, round_no):
    """One whole run, `wine <program> </dev/null >file`; returns (seconds, status, bytes)."""
    out = os.path.join(machine.home, "%s-%d.out" % (subject, round_no))
    err = os.path.join(machine.home, "%s-%d.err" % (subject, round_no))
    started = time.perf_counter()
    status = machine.wine(args, stdout=out, stderr=err, timeout=120)
    seconds = time.perf_counter() - started
    with open(out, "rb") as f:
        output = f.read()
    return seconds, status, output


def describe(seconds):
    ms = [s * 1000 for s in seconds]
    return ("median %7.1f ms   min %7.1f   max %7.1f   runs: %s"
            % (statistics.median(ms), min(ms), max(ms), " ".join("%.0f" % m for m in ms)))


def main(argv):
    if len(argv) != 4:
        print(__doc__)
        return 2
    build = bed.Build(argv[1])
    floor = os.path.abspath(argv[2])
    floor_dlls = os.path.abspath(argv[3])
    for path in (build.tool, floor, build.probe, BATCH):
        if not os.path.exists(path):
            print("bench: missing %s (make build first)" % path)
            return 2
    # Ctrl-C, a kill or a closed terminal still remove the prefix and its wineserver.
    for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(number, _interrupted)

    # Its own machine, apart from the e2e scenarios' template and clones.
    home = os.path.join(build.dir, "bench", "machine")
    prefix = os.path.join(home, "prefix")
    started = time.monotonic()
    # Created before the boot, so that its close() also removes a half-booted prefix.
    machine = bed.Machine(build, prefix=prefix)
    try:
        # The bed's boot sets the null graphics driver that services need without a display.
        bed.boot_prefix(prefix)
        machine.start()
        machine.complete_registry()
        machine.make_healthy()
        print("healthy machine ready in %.1f s: %s" % (time.monotonic() - started, prefix))
        before = machine.snapshot()

        subjects = [
            ("tool", [build.tool], bed.expected_output(*bed.HEALTHY_OUTPUT)),
            ("floor", [floor], bed.PAUSE_TEXT),
            ("floor+dlls", [floor_dlls], bed.PAUSE_TEXT),
            ("batch", ["cmd", "/c", bed.windows_path(BATCH)], BATCH_OUTPUT),
        ]
        times = {name: [] for name, _, _ in subjects}
        wrong = []
        for round_no in range(WARM_UP + RUNS):
            # Turns rotate, so that no subject always follows the same one.
            shift = round_no % len(subjects)
            for name, args, expected in subjects[shift:] + subjects[:shift]:
                seconds, status, output = timed_run(machine, name, args, round_no)
                if status != 0 or output != expected:
                    wrong.append("%s run %d: status %d, output %r"
                                 % (name, round_no, status, bed.decode_output(output)))
                if round_no >= WARM_UP:
                    times[name].append(seconds)

        # What the batch's tasklist had to go on, asked once more outside the timing.
        listing = os.path.join(home, "tasklist.out")
        machine.wine(["tasklist"], stdout=listing)
        tasklist_bytes = os.path.getsize(listing)
        after = machine.snapshot()
        changed = sorted(key for key in before if before[key] != after.get(key))
    finally:
        # A second Ctrl-C must not cut the clean-up short.
        for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(number, signal.SIG_IGN)
        machine.close()
        shutil.rmtree(home, ignore_errors=True)

    print()
    print("Whole runs under %s, `wine <program> </dev/null >file`, %d after %d warm-up "
          "each, turns interleaved;" % (subprocess.run(
              ["wine", "--version"], capture_output=True, text=True).stdout.strip(),
              RUNS, WARM_UP))
    # A new wineserver would have started the automatic service again, in a new process.
    same_server = before["service"] == after["service"]
    print("wineserver kept alive with `wineserver -p`%s." % (
        "; the scan service kept its process, so it never restarted" if same_server
        else "; yet the scan service changed: %r -> %r" % (before["service"], after["service"])))
    print()
    labels = {"tool": "ScarvelRepair.exe (healthy machine)",
              "floor": "floor: _wsystem(L\"pause\") alone",
              "floor+dlls": "floor importing the tool's DLLs",
              "batch": "batch: reg, sc, tasklist, find, pause"}
    for name in ("tool", "floor", "floor+dlls", "batch"):
        print("  %-38s %s" % (labels[name], describe(times[name])))
    print("  (tasklist printed %d bytes on this machine: the batch %s)" % (
        tasklist_bytes, "pays for it but learns nothing" if tasklist_bytes == 0
        else "reads its answer"))
    tool = statistics.median(times["tool"])
    floor_median = statistics.median(times["floor"])
    batch = statistics.median(times["batch"])
    print()
    print("  tool / floor = %.2f    tool / batch = %.2f    floor with the tool's DLLs / floor = %.2f"
          % (tool / floor_median, tool / batch,
             statistics.median(times["floor+dlls"]) / floor_median))
    met = tool / floor_median <= TARGET
    print("  target: the tool within %.1fx the floor: %s" % (TARGET, "met" if met else "NOT met"))

    if wrong or changed:
        print()
        for line in wrong:
            print("bench: run off the healthy path: " + line)
        if changed:
            print("bench: the runs changed the machine: %s" % ", ".join(changed))
        return 1
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv))
    except Interrupted as reason:
        print("bench: interrupted (%s); prefix removed" % reason)
        sys.exit(130)
