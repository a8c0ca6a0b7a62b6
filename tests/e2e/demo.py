#!/usr/bin/env python3
"""make demo: ScarvelRepair.exe repairing a damaged machine under Wine, shown as a person
would see it, with the machine before and after.

    demo.py BUILD_DIR [FALLBACK_BUILD_DIR]

Runs the first build (build/win32, the product); where this machine cannot run its
programs, says why in one line and runs the fallback (build/win64) instead.
"""
import os
import shutil
import sys
import unicodedata

# The source tree stays as checked out.
sys.dont_write_bytecode = True
import bed  # noqa: E402
from bed import COMMAND_LINES, DISABLED, MONITOR_VALUE, PANEL_VALUE

START_TYPES = {2: "automatic", 3: "manual", 4: "disabled"}
STATES = {1: "stopped", 2: "starting", 3: "stopping", 4: "running"}
EXE = {"monitor": "NVMONSTA.exe", "panel": "Kestrun.exe", "guide": "Haldrix.exe"}


def heading(text):
    print("\n== %s ==\n" % text)


# What each message says, for readers of the demo who do not read Chinese.
GLOSSES = {
    "checking": "checking for problems, please wait",
    "startup_item": "found: the driver's startup item is disabled, repairing",
    "service_missing": "found: the scan service is not installed, repairing",
    "service_disabled": "found: the scan service is disabled, repairing",
    "restart": "restarting the background programs",
    "complete": "repair of the Scarvel (TWAIN) driver completed",
}


def display_width(text):
    return sum(2 if unicodedata.east_asian_width(c) in "WF" else 1 for c in text)


def console_view(run):
    """The tool's output in the order a console shows it (in a file the pause prompt
    lands first, as the tool's own text waits in its buffer until it exits), each
    message with its meaning beside it."""
    output = run.output
    if output.startswith(bed.PAUSE_TEXT):
        output = output[len(bed.PAUSE_TEXT):] + bed.PAUSE_TEXT
    meaning = {text: GLOSSES.get(key, key) for key, text in bed.MESSAGES.items()}
    meaning[bed.PAUSE_TEXT.decode().strip()] = "(the final pause, answered by empty input)"
    lines = bed.decode_output(output).rstrip("\n").split("\n")
    width = max(display_width(line) for line in lines) + 4
    shown = []
    for line in lines:
        gloss = meaning.get(line.strip())
        padding = " " * (width - display_width(line))
        shown.append("  | " + line + (padding + gloss if gloss else ""))
    return "\n".join(shown) + "\n"


def machine_state(machine):
    values = machine.run_values() or {}
    service = machine.service()
    running = machine.processes()
    link = machine.shortcut_path()
    if os.path.isfile(link):
        shortcut = "-> " + (machine.shortcut_target() or "(unreadable)")
    else:
        shortcut = "(missing)"

    def value(name):
        return values[name].get("text", "?") if name in values else "(missing)"

    rows = [
        ('Run value "%s"' % MONITOR_VALUE, value(MONITOR_VALUE)),
        ('Run value "%s"' % PANEL_VALUE, value(PANEL_VALUE)),
        ("Service NVSCNSVC", STATES.get(service.get("state"), "not installed")
         if service.get("exists") else "not installed"),
        ("  start type", START_TYPES.get(service.get("start"), "-")),
        ("Startup shortcut", shortcut),
    ]
    for key in ("monitor", "panel", "guide"):
        rows.append(("Program " + EXE[key], "running" if EXE[key] in running else "not running"))
    return rows


def side_by_side(before, after):
    width = max(len(label) for label, _ in before)
    column = max(len(text) for _, text in before) + 2
    print("  %-*s  %-*s  %s" % (width, "", column, "BEFORE", "AFTER"))
    for (label, old), (_, new) in zip(before, after):
        mark = "*" if old != new else " "
        print("%s %-*s  %-*s  %s" % (mark, width, label, column, old, new))
    print("\n  (* = changed by the tool)")


def main(argv):
    if len(argv) not in (2, 3):
        print(__doc__)
        return 2
    build = bed.Build(argv[1])
    reason = bed.why_build_cannot_run(build)
    if reason and len(argv) == 3:
        print("demo: not %s, as %s; running %s instead"
              % (os.path.relpath(build.tool), reason, os.path.relpath(bed.Build(argv[2]).tool)))
        build = bed.Build(argv[2])
    elif reason:
        print("demo: %s cannot run here: %s" % (os.path.relpath(build.tool), reason))
        return 2
    prefix = os.path.join(build.bed_dir, "demo", "prefix")
    print("ScarvelRepair demo: the repair tool for the \"Scarvel (TWAIN)\" scanner driver,")
    print("run under Wine on a throwaway Windows machine (%s)." % prefix)
    print("The program run: %s (%d-bit)." % (build.tool, build.bits))

    heading("1. A fresh Windows machine (Wine prefix)")
    bed.boot_prefix(prefix)
    machine = bed.Machine(build, prefix=prefix)
    try:
        machine.start()
        machine.complete_registry()
        print("ready.")

        heading("2. The driver package installed, then damaged")
        machine.install_package()
        machine.set_run_value(PANEL_VALUE, COMMAND_LINES["panel"])
        machine.create_service(start=DISABLED)
        print("Programs under %s (stand-ins that record how they are started)." % bed.TWAIN)
        print("Damage: the monitor's Run value removed, the scan service stopped and")
        print("disabled, no startup shortcut, no background program running.")
        before = machine_state(machine)

        heading("3. Running %s (its console output)" % os.path.relpath(build.tool))
        first = machine.run_tool("demo-first")
        print(console_view(first))

        heading("4. The machine before and after")
        for key in ("monitor", "panel", "guide"):
            machine.wait_records(key, 1, timeout=10)
        side_by_side(before, machine_state(machine))
        print("\n  Command lines the background programs were started with:")
        for key in ("monitor", "panel", "guide"):
            for line in machine.record_lines(key):
                print("    " + line)

        heading("5. Running it a second time: nothing left to repair")
        print(console_view(machine.run_tool("demo-second")))
    finally:
        machine.close()
        shutil.rmtree(os.path.dirname(prefix), ignore_errors=True)
    print("(machine removed)")
    return 0


if __name__ == "__main__":
    sys.stdout.reconfigure(line_buffering=True)
    sys.exit(main(sys.argv))
