#!/usr/bin/env python3
"""make bench: wall time of whole runs under Wine on a healthy machine, for the repair
tool of each build, two floors of the same bitness and a batch file doing the tool's checks
with reg, sc, tasklist and find.

    bench.py BUILD_DIR...      (build/win32, the product, first; build/win64 second)

The floors: "floor" only pauses, as the tool does last; "shell floor" also loads the tool's
system DLLs and asks the shell for the common Startup folder, which the tool must do too.
Under Wine, loading the shell is most of what the tool costs above the bare pause, so the
ratio to the shell floor tells the tool's own cost.

A build whose programs this machine cannot run is left out with its reason. A benchmark,
not a test: it fails only when a run did not take the healthy path (then its time would
not be the tool's), never on the ratios.
"""
import os
import signal
import statistics
import subprocess
import sys
import time

# The source tree stays as checked out.
sys.dont_write_bytecode = True
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, os.pardir, os.pardir, "tests", "e2e"))
import bed  # noqa: E402

WARM_UP = 1
# Run times under Wine here come in steps of about 50 ms: 7 runs let one step swing the median.
RUNS = 15
# The tool's own work on a healthy machine, against the least a tool that must find the
# Startup folder costs.
TARGET = 1.25
BATCH = os.path.join(HERE, "bench.bat")
BATCH_OUTPUT = ("Checking for problems, please wait...\r\n\r\n"
                "Restarting background programs...\r\n\r\n"
                "Repair completed.\r\n\r\n").encode()


class Interrupted(Exception):
    pass


def _interrupted(number, frame):
    raise Interrupted("signal %d" % number)


def timed_run(machine, subject, args, round_no):
    """One whole run, `wine64 <program> </dev/null >file`; returns (seconds, status, bytes)."""
    out = os.path.join(machine.home, "%s-%d.out" % (subject, round_no))
    err = os.path.join(machine.home, "%s-%d.err" % (subject, round_no))
    started = time.perf_counter()
    status = machine.wine(args, stdout=out, stderr=err, timeout=120)
    seconds = time.perf_counter() - started
    with open(out, "rb") as f:
        output = f.read()
    return seconds, status, output


# The check beside the tool: its one line on a healthy machine, no pause after it.
CHECK_HEALTHY = b"Scarvel (TWAIN): healthy\r\n"


def check_of(build):
    return os.path.join(build.dir, "ScarvelCheck.exe")


def describe(seconds):
    ms = [s * 1000 for s in seconds]
    return ("median %7.1f ms   min %7.1f   max %7.1f   runs: %s"
            % (statistics.median(ms), min(ms), max(ms), " ".join("%.0f" % m for m in ms)))


def floors(build):
    folder = os.path.join(build.dir, "tools", "bench")
    return os.path.join(folder, "bench_floor.exe"), os.path.join(folder, "bench_floor_shell.exe")


def runnable_builds(dirs):
    """The builds whose programs run here (the last in place of the first where the first's
    cannot), each leaving a line on what was run or why not."""
    first, said = bed.build_to_run(dirs[0], dirs[-1] if len(dirs) > 1 else None)
    if said:
        print("bench: " + said)
    builds = []
    for build in [first] + [bed.Build(d) for d in dirs[1:]]:
        if build is None or build.dir in [b.dir for b in builds]:
            continue
        reason = bed.why_build_cannot_run(build)
        if reason:
            print("bench: %s left out: %s" % (build.tool, reason))
            continue
        missing = [p for p in (build.tool, check_of(build), build.probe) + floors(build)
                   if not os.path.exists(p)]
        if missing:
            print("bench: missing %s (make build first)" % ", ".join(missing))
            return None
        print("bench: running %s (%d-bit)" % (build.tool, build.bits))
        builds.append(build)
    return builds


def subjects_of(builds):
    subjects = []
    for build in builds:
        floor, shell_floor = floors(build)
        subjects += [
            ("tool%d" % build.bits, [build.tool], bed.expected_output(*bed.HEALTHY_OUTPUT)),
            ("check%d" % build.bits, [check_of(build)], CHECK_HEALTHY),
            ("floor%d" % build.bits, [floor], b""),
            ("shell%d" % build.bits, [shell_floor], b""),
        ]
    return subjects + [("batch", ["cmd", "/c", bed.windows_path(BATCH)], BATCH_OUTPUT)]


def make_healthy(machine, builds):
    """One healthy machine for every build: the Run values in each build's registry view."""
    machine.make_healthy()
    for build in builds[1:]:
        if build.view != builds[0].view:
            machine.setup(["run-value", build.view, bed.MONITOR_VALUE,
                           machine.folders["monitor_command_line"]],
                          ["run-value", build.view, bed.PANEL_VALUE, machine.folders["panel"]])


def measure(machine, subjects):
    times = {name: [] for name, _, _ in subjects}
    wrong = []
    for round_no in range(WARM_UP + RUNS):
        # Turns rotate, so that no subject always follows the same one.
        shift = round_no % len(subjects)
        for name, args, expected in subjects[shift:] + subjects[:shift]:
            seconds, status, output = timed_run(machine, name, args, round_no)
            text, prompt = bed.split_pause(output)
            if name.startswith("check"):
                # No pause: its whole output is the line, its status 0.
                text, prompt = output, b"none expected"
            if status != 0 or text != expected or not prompt:
                wrong.append("%s run %d: status %d, output %r"
                             % (name, round_no, status, bed.decode_output(output)))
            if round_no >= WARM_UP:
                times[name].append(seconds)
    return times, wrong


def report(builds, times, same_server):
    version = subprocess.run([bed.WINE64, "--version"], capture_output=True,
                             text=True).stdout.strip()
    print()
    print("Whole runs under %s, `wine64 <program> </dev/null >file`, %d after %d warm-up "
          "each, turns interleaved;" % (version, RUNS, WARM_UP))
    print("wineserver kept alive with `wineserver -p`%s." % (
        "; the scan service kept its process, so it never restarted" if same_server
        else "; yet the scan service's process changed"))
    print()
    median = {name: statistics.median(values) for name, values in times.items()}
    for build in builds:
        bits = build.bits
        print("  %-48s %s" % ("%s (healthy machine)" % os.path.relpath(build.tool),
                              describe(times["tool%d" % bits])))
        print("  %-48s %s" % ("%s (healthy machine)" % os.path.relpath(check_of(build)),
                              describe(times["check%d" % bits])))
        print("  %-48s %s" % ("  floor: _wsystem(L\"pause\") alone", describe(times["floor%d" % bits])))
        print("  %-48s %s" % ("  shell floor: + Startup folder, tool's DLLs",
                              describe(times["shell%d" % bits])))
    print("  %-48s %s" % ("batch: reg, sc, tasklist, find, pause", describe(times["batch"])))
    print()
    for build in builds:
        bits = build.bits
        tool = median["tool%d" % bits]
        shell_ratio = tool / median["shell%d" % bits]
        print("  %d-bit: tool / shell floor = %.2f   tool / floor = %.2f   tool / batch = %.2f"
              "   target (at most %.2fx the shell floor): %s"
              % (bits, shell_ratio, tool / median["floor%d" % bits], tool / median["batch"],
                 TARGET, "met" if shell_ratio <= TARGET else "NOT met"))


def main(argv):
    if len(argv) < 2:
        print(__doc__)
        return 2
    builds = runnable_builds(argv[1:])
    if not builds:
        return 2
    if not os.path.exists(BATCH):
        print("bench: missing %s" % BATCH)
        return 2
    # Ctrl-C, a kill or a closed terminal still remove the prefix and its wineserver.
    for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(number, _interrupted)

    started = time.monotonic()
    # Its own machine, apart from the tests' template and clones.
    machine = None
    try:
        machine = bed.Machine(builds[0], "bench", fresh=True)
        # The batch file's names, from the tests' table of them.
        machine.env.update(("SCARVEL_" + name, text) for name, text in bed.NAMES.items())
        with machine:
            make_healthy(machine, builds)
            print("healthy machine ready in %.1f s: %s"
                  % (time.monotonic() - started, machine.prefix))
            before = machine.snapshot()
            times, wrong = measure(machine, subjects_of(builds))
            after = machine.snapshot()
        changed = sorted(key for key in before if before[key] != after.get(key))
    finally:
        # A second Ctrl-C must not cut the clean-up short.
        for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(number, signal.SIG_IGN)
        if machine is not None:
            machine.close()

    # A new wineserver would have started the automatic service again, in a new process.
    report(builds, times, before["service"] == after["service"])
    if wrong or changed:
        print()
        for line in wrong:
            print("bench: run off the healthy path: " + line)
        if changed:
            print("bench: the runs changed the machine: %s" % ", ".join(changed))
        return 1
    return 0


if __name__ == "__main__":
    sys.stdout.reconfigure(line_buffering=True)
    try:
        sys.exit(main(sys.argv))
    except Interrupted as reason:
        print("bench: interrupted (%s); prefix removed" % reason)
        sys.exit(130)
