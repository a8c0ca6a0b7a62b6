#!/usr/bin/env python3
"""make demo: ScarvelRepair.exe repairing a damaged machine under Wine, shown as a person
would see it, with the machine before and after; then its unattended runner on three
machines broken in different ways, as a deployment system sees them.

    demo.py BUILD_DIR [FALLBACK_BUILD_DIR]

Runs the first build (build/win32, the product); where this machine cannot run its
programs, says why in one line and runs the fallback (build/win64) instead.
"""
import os
import sys
import unicodedata

# The source tree stays as checked out.
sys.dont_write_bytecode = True
# The bed and the runner's checks are the tests' own; the demo only uses them.
TESTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests")
sys.path[:0] = [os.path.join(TESTS, "e2e"), os.path.join(TESTS, "release")]
import bed  # noqa: E402
from bed import (DISABLED, MONITOR_VALUE, PANEL_VALUE, PROCESSES, PRODUCT, RUN_KEY, SERVICE,
                 SHORTCUT)
import runner_test  # noqa: E402

START_TYPES = {2: "automatic", 3: "manual", 4: "disabled"}
STATES = {1: "stopped", 2: "starting", 3: "stopping", 4: "running"}


def heading(text):
    print("\n== %s ==\n" % text)


# What each message says, for readers of the demo who do not read Chinese.
GLOSSES = {
    "checking": "checking for problems, please wait",
    "startup-item": "found: the driver's startup item is disabled, repairing",
    "service-missing": "found: the scan service is not installed, repairing",
    "service-disabled": "found: the scan service is disabled, repairing",
    "restart": "restarting the background programs",
    "complete": "repair of the %s driver completed" % PRODUCT,
    "E01": "please reinstall the %s driver" % PRODUCT,
    "E07": "starting the scan service failed; reinstall the driver",
    "E08": "cannot start the background programs; restart Windows to complete the repair",
}


# Three machines, each broken in its own way.
FAULTS = (
    ("A", "scan service stopped and disabled",
     dict(startType=DISABLED, serviceRunning=False, programs=())),
    ("B", "the error guide's program deleted", {"package.missing": ("guide",), "programs": ()}),
    ("C", "the monitor program damaged", {"package.monitorNotAProgram": True, "programs": ()}),
)


def display_width(text):
    return sum(2 if unicodedata.east_asian_width(c) in "WF" else 1 for c in text)


def console_view(run):
    """The tool's output as a console shows it, each message with its meaning beside it."""
    output = run.output
    meaning = {text: GLOSSES.get(key, key) for key, text in bed.MESSAGES.items()}
    prompt = bed.decode_output(bed.split_pause(output)[1]).strip()
    meaning[prompt] = "(the final pause, answered by empty input)"
    lines = bed.decode_output(output).rstrip("\n").split("\n")
    width = max(display_width(line) for line in lines) + 4
    shown = []
    for line in lines:
        gloss = meaning.get(line.strip())
        padding = " " * (width - display_width(line))
        shown.append("  | " + line + (padding + gloss if gloss else ""))
    return "\n".join(shown) + "\n"


def machine_state(machine):
    link = machine.folders["common_startup"] + "\\" + SHORTCUT
    values, service, running, target = machine.probe(
        ["values", machine.build.view, RUN_KEY], ["service", SERVICE], ["processes"],
        ["shortcut-target", link])
    values = {v["name"]: v for v in values or []}
    if os.path.isfile(machine.shortcut_path()):
        shortcut = "-> " + (target or "(unreadable)")
    else:
        shortcut = "(missing)"

    def value(name):
        return values[name].get("text", "?") if name in values else "(missing)"

    rows = [
        ('Run value "%s"' % MONITOR_VALUE, value(MONITOR_VALUE)),
        ('Run value "%s"' % PANEL_VALUE, value(PANEL_VALUE)),
        ("Service " + SERVICE, STATES.get(service.get("state"), "not installed")
         if service.get("exists") else "not installed"),
        ("  start type", START_TYPES.get(service.get("start"), "-")),
        ("Startup shortcut", shortcut),
    ]
    for key in ("monitor", "panel", "guide"):
        rows.append(("Program " + PROCESSES[key],
                     "running" if PROCESSES[key] in running else "not running"))
    return rows


def side_by_side(before, after):
    width = max(len(label) for label, _ in before)
    column = max(len(text) for _, text in before) + 2
    print("  %-*s  %-*s  %s" % (width, "", column, "BEFORE", "AFTER"))
    for (label, old), (_, new) in zip(before, after):
        mark = "*" if old != new else " "
        print("%s %-*s  %-*s  %s" % (mark, width, label, column, old, new))
    print("\n  (* = changed by the tool)")


def explaining_line(output):
    """The runner's last line that names the product or a code, as a person reads it."""
    lines = [line for line in bed.decode_output(output).split("\n")
             if PRODUCT in line or "(E0" in line]
    return lines[-1].strip() if lines else "(nothing)"


def checked(machine, tag):
    """ScarvelCheck.exe run on the machine: its line and exit code."""
    run = machine.run_tool(tag, program=os.path.join(machine.build.dir, "ScarvelCheck.exe"))
    return "  %s\n  exit code %d" % (run.output.decode("ascii", "replace").strip(), run.status)


def runners(build, clones):
    """The unattended runner on `clones`, machines cloned from the demo's freshly booted one:
    [(name, fault, differences from a healthy machine, machine)]."""
    heading("6. The unattended runner on three broken machines, as a deployment system sees them")
    print("Each machine: %s and ScarvelRepair.exe in %s, started as" % (runner_test.RUNNER,
                                                                       runner_test.FOLDER))
    above, folder = runner_test.FOLDER.rsplit("\\", 1)
    print('    cd /d "%s"\n    cmd /c ""%s\\%s""\n' % (above, folder, runner_test.RUNNER))
    rows = []
    for name, fault, differences, clone in clones:
        with clone as machine:
            machine.make_healthy(**differences)
            runner_test.install_runner(machine, build.tool)
            out, err, code = runner_test.run_runner(machine, "runner", {})
        line = explaining_line(out)
        meaning = {text: GLOSSES.get(key, key) for key, text in bed.MESSAGES.items()}
        rows.append((name, fault, str(code), line, meaning.get(line, "")))
    headers = ("machine", "fault", "exit code", "the line that explains it")
    widths = [max(display_width(row[i]) for row in rows + [headers]) for i in range(4)]
    for row in [headers] + rows:
        cells = ["%s%s" % (cell, " " * (width - display_width(cell)))
                 for cell, width in zip(row, widths)]
        print("  " + "   ".join(cells).rstrip())
        if row is not headers:
            print("  " + " " * (sum(widths[:3]) + 9) + "(%s)" % row[4])
    print("\n  0: repaired; 101 to 107: E01 to E07; 3010: E08, a restart completes the repair")


def main(argv):
    if len(argv) not in (2, 3):
        print(__doc__)
        return 2
    build, said = bed.build_to_run(*argv[1:])
    if said:
        print("demo: " + said)
    if build is None:
        return 2
    print('ScarvelRepair demo: the repair tool for the "%s" scanner driver,' % PRODUCT)
    print("run under Wine on throwaway Windows machines (Wine prefixes).")
    print("The program run: %s (%d-bit)." % (build.tool, build.bits))

    heading("1. A fresh Windows machine (Wine prefix)")
    machine = bed.Machine(build, "demo", fresh=True)
    # Taken while the new prefix is at rest.
    clones = [(name, fault, differences, bed.Machine(build, "demo-" + name, source=machine.prefix))
              for name, fault, differences in FAULTS]
    try:
        with machine:
            print("ready: %s" % machine.prefix)

            heading("2. The driver package installed, then damaged")
            machine.make_healthy(monitorValue=False, startType=DISABLED, serviceRunning=False,
                                 shortcut=False, programs=())
            print("Programs under %s (stand-ins that record how they are started)."
                  % machine.folders["twain"])
            print("Damage: the monitor's Run value removed, the scan service stopped and")
            print("disabled, no startup shortcut, no background program running.")
            before = machine_state(machine)
            print("\nScarvelCheck.exe, the detection that changes nothing, finds:")
            print(checked(machine, "demo-check-before"))

            heading("3. Running %s (its console output)" % os.path.relpath(build.tool))
            print(console_view(machine.run_tool("demo-first")))

            heading("4. The machine before and after")
            # The snapshot waits for each launched program to record its start.
            records = machine.snapshot()
            side_by_side(before, machine_state(machine))
            print("\n  Command lines the background programs were started with:")
            for key in ("monitor", "panel", "guide"):
                print("    " + records[key].strip())

            print("\n  ScarvelCheck.exe after the repair:")
            print(checked(machine, "demo-check-after"))

            heading("5. Running it a second time: nothing left to repair")
            print(console_view(machine.run_tool("demo-second")))

        runners(build, clones)
    finally:
        for *_, clone in clones:
            clone.close()
        machine.close()
    print("(machines removed)")
    return 0


if __name__ == "__main__":
    sys.stdout.reconfigure(line_buffering=True)
    sys.exit(main(sys.argv))
