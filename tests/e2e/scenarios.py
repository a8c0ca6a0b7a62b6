"""End-to-end scenarios of ScarvelRepair.exe under Wine that need the host: Wine's own
settings (DLL overrides and the relay log, with the Windows version a prefix claims) or a
terminal. Each is run by run.py on a throwaway
machine (Wine prefix) cloned from the build's template. The machine's other states are rows
of the GoogleTest suite (tests/inprocess/scenarios_test.cpp), run there through the program's
entry point and as the built program.
"""
import os
import re
import shutil
import subprocess
import threading
import time
from xml.etree import ElementTree

import bed
from bed import DEMAND_START, HEALTHY_OUTPUT, PROCESSES, RUNNING, SERVICE, START_PENDING

# The shell loads it by name while it writes a shortcut.
PLANTED_DLL = "uxtheme.dll"
PLANTED_OVERRIDE = "uxtheme=n,b"
# Windows versions a prefix can claim whose DLL search differs for the tool: Vista lacks
# a usable SetDefaultDllDirectories, XP the function altogether (Wine exports it anyway).
WINDOWS_VERSIONS = ("win10", "vista", "winxp")
SEARCH_CALLS = ("SetDefaultDllDirectories", "SetDllDirectoryW", "LoadLibraryExW",
                "SetCurrentDirectoryW")
RELAY_CALL = re.compile(r"Call KERNEL32\.(%s)\((.*)\) ret=" % "|".join(SEARCH_CALLS))


def settle(machine):
    """A program the tool might have launched needs a moment to record its command line."""
    time.sleep(0.5)
    return machine.snapshot()


def run_and_look(machine, check, messages, *args, **how):
    """The machine before a run of the tool, the run, its output checked to be exactly these
    messages, and the machine after it; `args` and `how` as for run_tool."""
    before = machine.snapshot()
    run = machine.run_tool(*args, **how)
    check.output(run, *messages)
    return before, run, settle(machine)


def healthy_untouched(machine, check, program=None):
    """Another copy of the tool (`program`, e.g. a signed one) on a healthy machine."""
    check.begin("everything in place" + (" (%s)" % program if program else ""))
    machine.make_healthy()
    before, run, after = run_and_look(machine, check, HEALTHY_OUTPUT, program=program)
    check.unchanged(before, after,
                    "Run values, service, shortcut and programs unchanged, nothing launched")


def plant_beside_tool(machine, name, standin):
    """A download folder holding a copy of the tool and, beside it, `standin` (a file of the
    build's stand-ins) under `name`. Returns the folder (a C: path) and the two copies."""
    downloads = r"C:\users\Public\Downloads"
    folder = machine.unix_path(downloads)
    os.makedirs(folder, exist_ok=True)
    planted = os.path.join(folder, name)
    shutil.copy(os.path.join(machine.build.standins, standin), planted)
    tool = os.path.join(folder, "ScarvelRepair.exe")
    shutil.copy(machine.build.tool, tool)
    return downloads, tool, planted


def relayed_search_calls(errors):
    """The search calls that a +relay run logged, in order: (function, its text argument
    or None, its last argument as a number)."""
    calls = []
    for line in errors.decode("utf-8", "replace").splitlines():
        found = RELAY_CALL.search(line)
        if found:
            text = re.search(r'L"(.*?)"', found.group(2))
            last = found.group(2).rsplit(",", 1)[-1].split()[0]
            calls.append((found.group(1), text and text.group(1).replace("\\\\", "\\"),
                          int(last, 16)))
    return calls


def planted_dll(machine, check):
    """The tool saved in a download folder, beside a DLL named as one the shell loads by
    name while it writes the shortcut, with Wine told to prefer a native copy of it, as
    Windows' own search order does; on each Windows version whose search differs."""
    machine.make_healthy()
    downloads, tool, planted = plant_beside_tool(machine, PLANTED_DLL,
                                                 os.path.join("planted", PLANTED_DLL))
    ran = planted + ".ran"
    check.begin("control: a %d-bit program that does not restrict its DLL search"
                % machine.build.bits)
    # The probe of the build's bitness, a shell-link writer, loads the planted DLL of that
    # bitness from there.
    probe = os.path.join(os.path.dirname(tool), "probe.exe")
    shutil.copy(machine.build.own_probe, probe)
    control = os.path.join(machine.home, "control.json")
    machine.wine([probe, bed.windows_path(control), "shortcut", machine.folders["guide"],
                  r"C:\users\Public\control.lnk"], overrides=PLANTED_OVERRIDE)
    check.that(os.path.exists(ran), "the planted DLL is loaded into it")
    for path in (ran, probe, machine.unix_path(r"C:\users\Public\control.lnk")):
        if os.path.exists(path):
            os.remove(path)

    # Only these calls are logged, wherever they come from.
    machine.reg("add", r"HKCU\Software\Wine\Debug", "/v", "RelayInclude", "/d",
                ";".join("KERNEL32." + name for name in SEARCH_CALLS), "/f")
    system = machine.folders["system"]
    for version in WINDOWS_VERSIONS:
        fallback = version == "vista"
        check.begin("the tool started from the download folder on %s, shortcut missing%s"
                    % (version, " (no SetDefaultDllDirectories there)" if fallback else ""))
        machine.reg("add", r"HKCU\Software\Wine", "/v", "Version", "/d", version, "/f")
        os.remove(machine.shortcut_path())
        before = machine.snapshot()
        run = machine.run_tool(version, program=tool, cwd=downloads, overrides=PLANTED_OVERRIDE,
                               debug=bed.QUIET + ",+relay")
        loaded_by = ""
        if os.path.exists(ran):
            with open(ran, "rb") as f:
                loaded_by = f.read().decode("utf-16-le", "replace")
            os.remove(ran)
        check.that(not loaded_by, "the planted DLL's code never ran", "it ran in: " + loaded_by)
        check.output(run, *HEALTHY_OUTPUT)
        after = settle(machine)
        check.that(after["shortcut"].startswith("[%s] " % machine.folders["guide"]),
                   "shortcut written, to the error guide", after["shortcut"])
        check.unchanged(before, after, "nothing else changed", but=("shortcut", "startup folder"))
        calls = relayed_search_calls(run.errors)
        uxtheme = (system + "\\uxtheme.dll").lower()
        check.equal(("SetDefaultDllDirectories", None, 0x800) in calls, not fallback,
                    "SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32) %s"
                    % ("not called" if fallback else "called"))
        check.equal(any(name == "LoadLibraryExW" and (text or "").lower() == uxtheme and flags == 8
                        for name, text, flags in calls), fallback,
                    "uxtheme.dll %sloaded by its System32 path first"
                    % ("" if fallback else "not "))
        check.that(("SetCurrentDirectoryW", system) in [call[:2] for call in calls],
                   "System32 made the current directory", repr(calls))


class Terminal:
    """A pseudo-terminal (tmux, its own server) running one program, read as a person
    would read its screen."""

    def __init__(self, machine, columns=160, rows=50):
        self.machine = machine
        self.socket = os.path.join(machine.home, "tmux.sock")
        self.status_file = os.path.join(machine.home, "terminal.status")
        self.size = (str(columns), str(rows))

    def tmux(self, *args):
        return subprocess.run(["tmux", "-S", self.socket] + list(args), env=self.machine.env,
                              stdin=subprocess.DEVNULL, capture_output=True, timeout=30)

    def start(self, command):
        # Wine's own messages to a file, so that the screen holds only the program's.
        script = os.path.join(self.machine.home, "terminal.sh")
        with open(script, "w") as f:
            f.write('cd "$1"; shift; "$@" 2>terminal.err; echo $? >terminal.status.new; '
                    'mv terminal.status.new terminal.status; sleep 600\n')
        started = self.tmux("new-session", "-d", "-x", self.size[0], "-y", self.size[1],
                            "sh", script, self.machine.home, *command)
        if started.returncode != 0:
            raise bed.BedError("tmux did not start: %r" % started.stderr)

    def screen(self):
        """The pane's lines, trailing blanks dropped."""
        shown = self.tmux("capture-pane", "-p").stdout.decode("utf-8", "replace")
        lines = [line.rstrip() for line in shown.split("\n")]
        while lines and not lines[-1]:
            lines.pop()
        return lines

    def wait_for_lines(self, count, timeout=60):
        """The screen once it shows `count` lines, or when the time is out."""
        deadline = time.monotonic() + timeout
        while len(self.screen()) < count and time.monotonic() < deadline:
            time.sleep(0.1)
        return self.screen()

    def press(self, key):
        self.tmux("send-keys", key)

    def exit_status(self, timeout=0):
        deadline = time.monotonic() + timeout
        while not os.path.exists(self.status_file) and time.monotonic() < deadline:
            time.sleep(0.1)
        if not os.path.exists(self.status_file):
            return None
        with open(self.status_file) as f:
            return int(f.read().strip() or -1)

    def close(self):
        self.tmux("kill-server")


def service_state(machine):
    return machine.probe(["service", SERVICE])[0].get("state")


def terminal(machine, check):
    """The tool at a terminal as a person meets it: a UTF-8 pseudo-terminal, a scan service
    that is stopped and starts slowly, the pause answered by one key press."""
    check.begin("at a terminal, the scan service stopped and slow to start")
    machine.make_healthy(behaviour="slow", startType=DEMAND_START, serviceRunning=False)
    term = Terminal(machine)
    try:
        term.start([bed.WINE64, machine.build.tool])
        notice = bed.MESSAGES["service-disabled"]
        deadline = time.monotonic() + 60
        while service_state(machine) != START_PENDING and time.monotonic() < deadline:
            time.sleep(0.05)
        pending_screen = term.screen()
        check.equal(service_state(machine), START_PENDING,
                    "service still start-pending after the screen was read")
        check.equal(pending_screen, [bed.MESSAGES["checking"], "", notice],
                    "while the service is start-pending, its notice is already on the screen")

        expected = []
        for name in ("checking", "service-disabled", "restart", "complete"):
            expected += [bed.MESSAGES[name], ""]
        screen = term.wait_for_lines(len(expected) + 1)
        check.that(screen[:len(expected)] == expected and len(screen) == len(expected) + 1,
                   "every message as written in Chinese, then the pause prompt", repr(screen))
        time.sleep(2)
        check.that(term.exit_status() is None
                   and "ScarvelRepair.exe" in machine.probe(["processes"])[0],
                   "still waiting at the pause 2 s later")
        term.press("x")
        check.equal(term.exit_status(timeout=30), 0, "exit status 0 after one key press")
        check.equal(service_state(machine), RUNNING, "service running")
    finally:
        term.close()


# The checks that only Windows gives a meaning: under Wine each must skip, with its reason.
WINDOWS_ONLY = ("ProgramsStartedUnderExplorerRunAtTheUsersLevel", "ThePauseRunsNoAutoRunCommand",
                "TheRunnerRunsNoAutoRunCommandAndNoComspec",
                "ADllBesideACopyOfTheProgramIsNeverLoaded",
                "AsLocalSystemTheProgramsRunAsTheConsoleUser")


def report_cases(report):
    """(test name, skip message or None) of every test case a JUnit report ran."""
    cases = []
    for case in ElementTree.parse(report).getroot().iter("testcase"):
        skipped = case.find("skipped")
        name = case.get("classname") + "." + case.get("name")
        # GoogleTest's message: "<file>:<line>", then the reason.
        reason = None if skipped is None else skipped.get("message", "").strip().split("\n")[-1]
        cases.append((name, reason))
    return cases


class Watch:
    """Looks at a file every 20 ms until stopped, and tells whether it was ever missing."""

    def __init__(self, path):
        self.path = path
        self.missing = 0
        self.stopped = threading.Event()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        while not self.stopped.wait(0.02):
            self.missing += not os.path.exists(self.path)

    def stop(self):
        self.stopped.set()
        self.thread.join()
        return self.missing


def failed_cases(report):
    """The names of the test cases a JUnit report says failed."""
    return [case.get("classname") + "." + case.get("name")
            for case in ElementTree.parse(report).getroot().iter("testcase")
            if case.find("failure") is not None]


def windows_suite(machine, check, folder, gtest_filter):
    """build/windows-suite copied to the machine as QA copies it to a Windows one, and its
    run-suite.cmd run there through Wine's cmd, on a machine whose TWAIN folder, Run key,
    Startup folder and AutoRun value hold things of their own: its tests pass or skip, every
    Windows-only check skips with its reason, the TWAIN folder's own file never goes missing,
    and the machine is put back as it was. A filter that matches nothing, a product that
    fails, a run cut off part-way (then put back by /restore), and a machine with the package
    installed each end with a code that says so."""
    copy = os.path.join(machine.home, "windows-suite")
    shutil.copytree(folder, copy)
    script = bed.windows_path(os.path.join(copy, "run-suite.cmd"))
    # The suite's own answer where Wine would let it off: as on Windows, and stricter only.
    as_windows = {"SCARVEL_SUITE_AS_ON_WINDOWS": "1"}

    def suite(*args, env=None, tag="suite", program=None, where=script):
        """run-suite.cmd (`where`) with these arguments (or the test program itself, `program`)."""
        files = [os.path.join(machine.home, tag + suffix) for suffix in (".out", ".err")]
        command = [program] if program else ["cmd", "/c", where]
        status = machine.wine(command + list(args), stdout=files[0], stderr=files[1],
                              timeout=600, env=env)
        with open(files[0], encoding="utf-8", errors="replace") as f_out, \
                open(files[1], encoding="utf-8", errors="replace") as f_err:
            return status, f_out.read(), f_err.read()

    check.begin("run-suite.cmd without /yes")
    status, _, refusal = suite()
    check.that(status == 2 and "give /yes" in refusal, "it does not start", refusal)

    check.begin("run-suite.cmd /yes on a machine with things of its own where the tests work")
    twain = machine.unix_path(machine.folders["twain"])
    os.makedirs(twain, exist_ok=True)
    kept = os.path.join(twain, "kept.txt")
    with open(kept, "w") as f:
        f.write("the machine's own")
    view = machine.build.view
    machine.setup(["run-value", view, "Other Vendor", r"C:\Program Files\Other\other.exe"],
                  ["run-value", view, bed.MONITOR_VALUE, r"D:\old\monitor.exe /x"],
                  ["shortcut", r"C:\windows\notepad.exe",
                   machine.folders["common_startup"] + "\\" + bed.SHORTCUT])
    # A program of QA's own run from the folder the suite was unpacked in.
    own_tool = os.path.join(copy, "qa-tool.exe")
    shutil.copy(os.path.join(copy, "standins", "standin_program.exe"), own_tool)
    machine.setup(["launch", '"%s"' % bed.windows_path(own_tool)])
    before = machine.snapshot()
    watch = Watch(kept)
    status, printed, _ = suite("/yes", gtest_filter)
    check.equal(watch.stop(), 0, "the TWAIN folder's own file never missing while the suite ran")
    check.equal(status, 0, "exit code 0: every test passed or skipped")
    check.that("qa-tool.exe" in machine.probe(["processes"])[0],
               "a program run from another file of the suite's folder still runs")
    machine.setup(["kill", "qa-tool.exe"])
    banner = re.search(r"suite: (\d+) tests; .* run-suite.cmd /restore", printed)
    check.that(banner and int(banner.group(1)) > 5, "a banner: how many tests, how long, what "
               "to do if cut off", printed[:600])
    check.that("suite: exit code 0: every test passed" in printed, "a closing line with the code "
               "and its meaning", printed[-300:])
    with open(os.path.join(copy, "inprocess_tests.exe"), "rb") as program:
        check.that(b'level="asInvoker"' in program.read(), "the test program asks for asInvoker")
    check.that("the machine is as it was" in printed, "it says that it put everything back",
               printed[-600:])
    # Where it saved what the tests changed, as it says.
    said = re.search(r"saved what the tests change in (.+?);", printed)
    check.that(said, "it says where it saved what the tests change", printed[:400])
    saved = machine.unix_path(said.group(1)) if said else os.path.join(copy, "no saved folder named")
    after = machine.snapshot()
    check.unchanged(before, after, "the machine as it was: Run values, service, shortcut, "
                    "the package's programs and the stand-in shell")
    running = machine.probe(["processes"])[0]
    left = [name for name in list(bed.PROCESSES.values()) + ["NVSCNSVC.exe", "standin_shell.exe"]
            if name in running]
    check.equal(left, [], "none of the package's programs, its service's or a stand-in running")
    check.that(not os.path.exists(saved), "nothing left saved aside")
    cases = report_cases(os.path.join(copy, "report.xml"))
    ran = [name for name, skipped in cases if skipped is None]
    skips = {name.split(".")[-1]: reason for name, reason in cases if reason is not None}
    print("ran under Wine (%d):\n  %s" % (len(ran), "\n  ".join(ran)))
    print("skipped under Wine (%d):\n  %s" % (len(skips), "\n  ".join(
        "%s: %s" % item for item in sorted(skips.items()))))
    check.that(len(ran) >= 5, "tests ran", ran)
    for name in WINDOWS_ONLY:
        check.that(skips.get(name), name + " skipped, with its reason", skips.get(name))

    check.begin("the test program started by itself, as on Windows")
    program = bed.windows_path(os.path.join(copy, "inprocess_tests.exe"))
    for args in ([], ["--tests"], ["--gtest_filter=BothRunners/*"]):
        status, printed, _ = suite(*args, env=as_windows, program=program)
        check.that(status == 2 and "only run-suite.cmd /yes" in printed,
                   "%s: exit code 2, and how to run it" % (" ".join(args) or "no arguments"),
                   "status %d: %s" % (status, printed[-300:]))
    status, printed, _ = suite("--gtest_list_tests", env=as_windows, program=program)
    check.that(status == 0 and "RepairRunTest." in printed, "--gtest_list_tests lists the tests",
               printed[-300:])
    check.unchanged(before, machine.snapshot(), "the machine as it was")
    check.that(not os.path.exists(saved), "nothing saved aside")

    check.begin("checks that skip, as on Windows: a code of their own unless named")
    status, printed, _ = suite("/yes", "RepairRunTest.ADllBesideACopyOfTheProgramIsNeverLoaded",
                               env=as_windows)
    check.that(status == 5 and "ADllBesideACopyOfTheProgramIsNeverLoaded (NOT ALLOWED)" in printed,
               "exit code 5, the skip named with its reason", printed[-600:])
    # GoogleTest's sharding variables would run one of the two.
    status, printed, _ = suite("/yes", "RepairRunTest.ADll*:RepairRunTest.AsLocalSystem*",
                               "/allow-skip", "RepairRunTest.ADll*", "not-console",
                               env=dict(as_windows, GTEST_TOTAL_SHARDS="2", GTEST_SHARD_INDEX="1"))
    check.that(status == 0 and printed.count("(named by /allow-skip)") == 2, "exit code 0 where "
               "/allow-skip names them, by pattern and by word, both run", printed[-600:])
    check.that(re.search(r"exit code 0: .*; 2 of \d+ tests ran", printed), "the closing line "
               "says how many of the tests the filter chose", printed[-300:])
    for broad in ("*", "RepairRunTest.A*", "NoSuchCheck"):
        status, printed, _ = suite("/yes", "RepairRunTest.ADll*", "/allow-skip", broad)
        check.that(status == 2 and "not started: /allow-skip " + broad in printed,
                   "/allow-skip %s: refused" % broad, "status %d: %s" % (status, printed[-300:]))
    check.unchanged(before, machine.snapshot(), "the machine as it was")

    check.begin("a report.xml that another program holds open")
    report = os.path.join(copy, "report.xml")
    holder = os.path.join(machine.home, "holder.exe")
    shutil.copy(machine.build.probe, holder)
    machine.setup(["launch", '"%s" "%s" hold "%s"' % (
        bed.windows_path(holder), bed.windows_path(holder + ".json"), bed.windows_path(report))])
    time.sleep(2)
    status, printed, _ = suite("/yes", gtest_filter)
    machine.setup(["kill", "holder.exe"])
    check.that(status == 2 and "report.xml, cannot be deleted" in printed,
               "exit code 2, and the cause", "status %d: %s" % (status, printed[-300:]))
    check.unchanged(before, machine.snapshot(), "the machine as it was")

    check.begin("two starts at once, and /restore beside a live run")
    first = []
    runner = threading.Thread(target=lambda: first.append(suite(
        "/yes", "BothRunners/ScenarioTest.*/NoProgramRunning_*:RepairRunTest.NothingStarted*",
        tag="first")))
    runner.start()
    deadline = time.monotonic() + 120
    while not os.path.exists(os.path.join(saved, "state.txt")) and time.monotonic() < deadline:
        time.sleep(0.1)
    status, printed, _ = suite("/yes", gtest_filter)
    check.that(status == 2 and "another run is in progress" in printed, "the second start refuses",
               "status %d: %s" % (status, printed[-300:]))
    status, printed, _ = suite("/restore")
    check.that(status == 2 and "another run is in progress" in printed, "/restore refuses",
               "status %d: %s" % (status, printed[-300:]))
    status, printed, _ = suite("--gtest_filter=NoSuchTest.*", env=as_windows, program=program)
    check.that(status == 2 and "only run-suite.cmd /yes" in printed, "the test program started "
               "by itself while the run holds the lock refuses", "status %d: %s" % (
                   status, printed[-300:]))
    check.that(runner.is_alive(), "the first run ran all the while")
    runner.join()
    check.equal(first[0][0] if first else None, 0, "the first run passes")
    check.unchanged(before, machine.snapshot(), "the first run put the machine back")
    check.that(not os.path.exists(saved), "nothing left saved aside")

    check.begin("a report.xml that another program takes while the tests run")
    runner = threading.Thread(target=lambda: first.append(suite(
        "/yes", "RepairRunTest.NothingStarted*", tag="taken")))
    runner.start()
    deadline = time.monotonic() + 120
    while not os.path.exists(os.path.join(saved, "state.txt")) and time.monotonic() < deadline:
        time.sleep(0.1)
    machine.setup(["launch", '"%s" "%s" hold "%s"' % (
        bed.windows_path(holder), bed.windows_path(holder + ".json"), bed.windows_path(report))])
    runner.join()
    machine.setup(["kill", "holder.exe"])
    status, printed, _ = first[-1]
    check.that(status == 6 and "exit code 6: the tests' process aborted" in printed,
               "exit code 6, not \"interrupted\"", "status %d: %s" % (status, printed[-400:]))
    check.unchanged(before, machine.snapshot(), "the machine as it was")

    check.begin("a filter that matches no test, from a folder whose name is not ASCII")
    lettered = os.path.join(machine.home, "suite-\u00e9t\u00e9")
    shutil.copytree(copy, lettered)
    status, printed, _ = suite("/yes", "NoSuchTest.*",
                               where=bed.windows_path(os.path.join(lettered, "run-suite.cmd")))
    shutil.rmtree(lettered)
    check.that(status == 1 and "no test matched" in printed, "exit code 1, and why",
               "status %d: %s" % (status, printed[-300:]))
    check.unchanged(before, machine.snapshot(), "the machine as it was")

    check.begin("a product that is no program in place of the built one")
    product = os.path.join(copy, "ScarvelRepair.exe")
    shutil.move(product, product + ".real")
    with open(product, "w") as f:
        f.write("not a program\r\n")
    # An ERRORLEVEL variable of the environment would stand in for the program's code.
    status, printed, _ = suite("/yes", "BothRunners/ScenarioTest.*/Healthy_Program",
                               env={"ERRORLEVEL": "0"})
    shutil.move(product + ".real", product)
    failed = failed_cases(os.path.join(copy, "report.xml"))
    check.equal(status, 1, "exit code 1")
    check.that(any("Healthy_Program" in name for name in failed), "the report lists the failure",
               repr(failed))
    check.unchanged(before, machine.snapshot(), "the machine as it was")

    check.begin("a run cut off part-way, then put back by /restore")
    runner = threading.Thread(target=suite, args=("/yes", "RepairRunTest.NothingStarted*"))
    runner.start()
    deadline = time.monotonic() + 120
    while not os.path.exists(os.path.join(saved, "state.txt")) and time.monotonic() < deadline:
        time.sleep(0.1)
    time.sleep(3)
    machine.setup(["kill", "inprocess_tests.exe"])
    runner.join()
    # A program of the suite's that the cut-off run left running.
    standin = bed.windows_path(os.path.join(copy, "standins", "standin_program.exe"))
    machine.setup(["launch", '"%s"' % standin])
    status, printed, _ = suite("/yes", gtest_filter)
    check.that(status == 2 and "cut off" in printed, "the next start refuses, and says why",
               "status %d: %s" % (status, printed[-300:]))
    status, printed, _ = suite("/restore")
    check.equal(status, 0, "/restore puts everything back")
    check.that("standin_program.exe" not in machine.probe(["processes"])[0],
               "/restore ended the program the suite had left running")
    check.unchanged(before, machine.snapshot(), "the machine as it was")
    check.that(not os.path.exists(saved), "nothing left saved aside")

    check.begin("a machine with the driver package installed")
    machine.make_healthy(programs=(), shell=False)
    status, printed, _ = suite("/yes", gtest_filter)
    check.that(status == 2 and "where the driver package is not" in printed, "it does not start",
               printed[-300:])


SCENARIOS = {f.__name__: f for f in (planted_dll, terminal, windows_suite)}
