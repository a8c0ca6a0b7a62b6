"""End-to-end scenarios of ScarvelRepair.exe under Wine, each run by run.py on a throwaway
machine (Wine prefix) cloned from the build's template: a scenario brings the machine into a
state, runs the tool, and compares its exact console output and the machine before and
after. A scenario is a function of the machine and the checks it reports to.
"""
import os
import re
import shutil
import subprocess
import time

import bed
from bed import (AUTO_START, BACKGROUND, COMMAND_LINES, DEMAND_START, DISABLED, ERROR_IGNORE,
                 HEALTHY_OUTPUT, MONITOR_VALUE, OWN_PROCESS, PANEL_VALUE, PROCESSES, PROGRAMS,
                 REG_SZ, RUNNING, SERVICE, START_PENDING)

# The stand-in for a user's desktop shell (tests/standins/standin_shell.cpp).
SHELL_STANDIN = "standin_shell.exe"
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


def check_value(check, machine, name, data):
    """A REG_SZ value holding exactly `data`, its stored size counting the terminator."""
    record = (machine.run_values() or {}).get(name)
    if not check.that(record is not None, "value %r exists" % name):
        return
    check.equal(record["type"], REG_SZ, "value %r is REG_SZ" % name)
    check.equal(record.get("text"), data, "value %r holds %r" % (name, data))
    check.equal(record["size"], (len(data) + 1) * 2,
                "value %r is stored with its terminator" % name)


def check_service_configuration(check, info):
    check.equal(info.get("exists"), True, "service %s exists" % SERVICE)
    check.equal(info.get("type"), OWN_PROCESS, "service type: own process")
    check.equal(info.get("start"), AUTO_START, "start type: automatic")
    check.equal(info.get("error_control"), ERROR_IGNORE, "error control: ignore")
    check.equal(info.get("binary"), PROGRAMS["service"], "binary path, unquoted")
    check.equal(info.get("account"), "LocalSystem", "account: LocalSystem")
    check.equal(info.get("display"), SERVICE, "display name")


# --- scenarios ------------------------------------------------------------------------

def healthy_untouched(machine, check, program=None):
    """`program`: another copy of the tool to run, e.g. a signed one."""
    check.begin("everything in place" + (" (%s)" % program if program else ""))
    machine.make_healthy()
    before, run, after = run_and_look(machine, check, HEALTHY_OUTPUT, program=program)
    check.unchanged(before, after,
                    "Run values, service, shortcut and programs unchanged, nothing launched")


def missing_program(machine, check):
    machine.install_package()
    for key in ("monitor", "service", "panel", "guide"):
        check.begin("%s program missing" % key)
        path = machine.unix_path(PROGRAMS[key])
        os.rename(path, path + ".away")
        before, run, after = run_and_look(machine, check, ("checking", "E01"), key)
        check.unchanged(before, after, "no Run value, no service, no shortcut, nothing launched")
        os.rename(path + ".away", path)


def run_values(machine, check):
    machine.make_healthy()
    run_key = "run" + machine.build.view
    cases = [
        ("monitor value missing", {PANEL_VALUE: r"D:\Custom\panel.exe"}, [MONITOR_VALUE]),
        ("panel value missing", {MONITOR_VALUE: r"D:\Custom\monitor.exe -x"}, [PANEL_VALUE]),
        ("both values missing", {}, [MONITOR_VALUE, PANEL_VALUE]),
    ]
    for case, kept, missing in cases:
        check.begin(case)
        for name in missing:
            machine.delete_run_value(name)
        for name, data in kept.items():
            machine.set_run_value(name, data)
        before = machine.snapshot()
        run = machine.run_tool(case.split()[0])
        notices = ["startup_item"] if MONITOR_VALUE in missing else []
        check.output(run, "checking", *notices, "restart", "complete")
        after = settle(machine)
        check.unchanged(before, after,
                        "service, shortcut, programs and the other registry view unchanged",
                        but=(run_key,))
        for name in missing:
            check_value(check, machine, name,
                        COMMAND_LINES["monitor" if name == MONITOR_VALUE else "panel"])
        values_before = {v["name"]: v for v in before[run_key]}
        values_after = {v["name"]: v for v in after[run_key]}
        for name in kept:
            check.equal(values_after.get(name), values_before[name],
                        "value %r left as it was" % name)
        check.equal(sorted(values_after), sorted(set(values_before) | set(missing)),
                    "no other value added")


def run_key_missing(machine, check):
    check.begin("Run key deleted")
    machine.install_package()
    machine.delete_run_key()
    before, run, after = run_and_look(machine, check, ("checking", "E02"))
    check.equal(after["run" + machine.build.view], None, "Run key still missing")
    check.unchanged(before, after, "no service, no shortcut, nothing launched")


def service_start_type(machine, check):
    machine.make_healthy()
    for start, name in ((DEMAND_START, "manual"), (DISABLED, "disabled")):
        check.begin("service running, start type %s" % name)
        machine.set_start_type(start)
        before, run, after = run_and_look(machine, check, HEALTHY_OUTPUT, "running-" + name)
        check.equal(after["service"].get("start"), start, "start type left %s" % name)
        check.unchanged(before, after, "service not restarted, nothing else changed")
    for start, name in ((DEMAND_START, "manual"), (DISABLED, "disabled"), (AUTO_START, "auto")):
        check.begin("service stopped, start type %s" % name)
        machine.stop_service()
        machine.set_start_type(start)
        before, run, after = run_and_look(
            machine, check, ("checking", "service_disabled", "restart", "complete"),
            "stopped-" + name)
        check.equal(after["service"].get("start"), AUTO_START, "start type automatic")
        check.equal(after["service"].get("state"), RUNNING, "service running")
        check.equal(after["service_starts"], before["service_starts"] + ["instant"],
                    "service started once")
        check.unchanged(before, after, "nothing else changed",
                        but=("service", "service_starts"))
        check.equal({k: v for k, v in after["service"].items()
                     if k not in ("start", "state", "pid")},
                    {k: v for k, v in before["service"].items()
                     if k not in ("start", "state", "pid")},
                    "rest of the service configuration unchanged")


def service_missing(machine, check):
    check.begin("service not installed")
    machine.make_healthy(service=False)
    before, run, after = run_and_look(
        machine, check, ("checking", "service_missing", "restart", "complete"))
    check_service_configuration(check, after["service"])
    check.equal(after["service"].get("state"), RUNNING, "service running")
    check.equal(after["service_starts"], ["instant"], "service started once")
    check.unchanged(before, after, "nothing else changed", but=("service", "service_starts"))


def service_slow_start(machine, check):
    check.begin("service not installed, slow but advancing start")
    machine.install_package(behaviour="slow")
    run = machine.run_tool()
    check.output(run, "checking", "startup_item", "service_missing", "restart", "complete")
    after = settle(machine)
    check.equal(after["service_starts"], ["slow"], "service started once, slowly")
    check.equal(after["service"].get("state"), RUNNING, "service running")
    # The stand-in stays start-pending for 2.4 s: a shorter run did not wait for it.
    check.that(run.seconds >= 2.4, "the tool waited for the start (%.1f s)" % run.seconds)


def service_start_fails(machine, check):
    machine.make_healthy(start=DEMAND_START, running=False, shortcut=False, programs=())
    for behaviour, notice in (("stop", "stops during its start"),
                              ("stuck", "start-pending without progress")):
        check.begin("installed service " + notice)
        machine.set_service_behaviour(behaviour)
        before, run, after = run_and_look(
            machine, check, ("checking", "service_disabled", "E07"), behaviour)
        check.equal(after["service_starts"], before["service_starts"] + [behaviour],
                    "one start attempted")
        check.that(after["service"].get("state") != RUNNING, "service not running",
                   repr(after["service"]))
        check.unchanged(before, after, "no shortcut, nothing launched",
                        but=("service", "service_starts"))
        check.that(run.seconds < 60, "gave up in time (%.1f s)" % run.seconds)


def service_not_a_service(machine, check):
    check.begin("service program is not a service, service not installed")
    machine.install_package(service_not_a_service=True)
    before, run, after = run_and_look(
        machine, check, ("checking", "startup_item", "service_missing", "E07"))
    check_service_configuration(check, after["service"])
    check.that(after["service"].get("state") != RUNNING, "service not running",
               repr(after["service"]))
    check.equal(machine.record_lines("service", ".cmdline"), [PROGRAMS["service"]],
                "the program was started once, by its binary path")
    check.unchanged(before, after, "no shortcut, no background program launched",
                    but=("service", "run" + machine.build.view))


def service_display_name_taken(machine, check):
    check.begin("another service already has the display name %s" % SERVICE)
    machine.install_package()
    machine.create_service("OTHERSVC", bed.TWAIN + r"\other\other.exe", DEMAND_START, SERVICE)
    before, run, after = run_and_look(
        machine, check, ("checking", "startup_item", "service_missing", "E06"))
    check.equal(after["service"], {"exists": False}, "%s not installed" % SERVICE)
    check.unchanged(before, after, "other service, shortcut, programs unchanged",
                    but=("run" + machine.build.view,))


def shortcut(machine, check):
    machine.make_healthy()
    link = machine.shortcut_path()
    check.begin("shortcut missing")
    os.remove(link)
    before, run, after = run_and_look(machine, check, HEALTHY_OUTPUT, "missing")
    check.that(after["shortcut"] is not None and after["shortcut"]["kind"] == "file",
               "shortcut created")
    check.equal(machine.shortcut_target(), PROGRAMS["guide"], "shortcut target: error guide")
    check.equal(after["startup_folder"], [bed.SHORTCUT], "nothing else in the Startup folder")
    check.unchanged(before, after, "nothing else changed", but=("shortcut", "startup_folder"))

    check.begin("a file of the shortcut's name already there")
    os.remove(link)
    with open(link, "w") as f:
        f.write("not a shell link")
    os.utime(link, ns=(1_500_000_000_000_000_000, 1_500_000_000_000_000_000))
    before, run, after = run_and_look(machine, check, HEALTHY_OUTPUT, "file")
    check.unchanged(before, after, "the file untouched (content and time)")

    check.begin("a folder of the shortcut's name already there")
    os.remove(link)
    os.mkdir(link)
    with open(os.path.join(link, "inside.txt"), "w") as f:
        f.write("x")
    before, run, after = run_and_look(machine, check, HEALTHY_OUTPUT, "folder")
    check.equal((after["shortcut"] or {}).get("kind"), "folder", "still a folder")
    check.unchanged(before, after, "the folder untouched")


def background_programs(machine, check):
    machine.make_healthy(programs=())
    exe = PROCESSES

    def launched_once(before, expected):
        for key in expected:
            machine.wait_records(key, len(before["cmdline_" + key]) + 1, timeout=10)
        time.sleep(0.5)
        for key in BACKGROUND:
            new = machine.record_lines(key)[len(before["cmdline_" + key]):]
            if key in expected:
                check.equal(new, [COMMAND_LINES[key]], "%s launched once: %s"
                            % (exe[key], COMMAND_LINES[key]))
            else:
                check.equal(new, [], "%s not launched" % exe[key])
        running = machine.processes()
        for key in BACKGROUND:
            check.equal(running.count(exe[key]), 1, "one %s running" % exe[key])

    # With a user's desktop shell, each program is its child, as a logon would start it.
    cases = [("none running", [], False),
             ("only the monitor running", ["panel", "guide"], False),
             ("none running, a user's shell on the desktop", list(BACKGROUND), True)]
    for case, stop, shell in cases:
        check.begin(case)
        if shell:
            machine.setup(["shell", bed.windows_path(machine.build.standins)])
        for key in stop:
            machine.kill(key)
        before = machine.snapshot()
        run = machine.run_tool(case.split()[0])
        check.output(run, *HEALTHY_OUTPUT)
        launched_once(before, stop or list(BACKGROUND))
        check.unchanged(before, settle(machine), "nothing else changed",
                        but=("processes",) + tuple("cmdline_" + k for k in BACKGROUND))
        for key in stop or BACKGROUND:
            parent = machine.probe(["parent", exe[key]])[0]
            check.equal(parent == SHELL_STANDIN, shell, "%s's parent: %s" % (exe[key], parent))

    lower = exe["guide"].lower()
    check.begin("a process named %s (other case) running, %s not" % (lower, exe["guide"]))
    machine.kill("guide")
    shutil.copy(os.path.join(machine.build.standins, "standin_program.exe"),
                machine.unix_path("C:\\users\\Public\\" + lower))
    machine.launch("C:\\users\\Public\\" + lower)
    before = machine.snapshot()
    run = machine.run_tool("case")
    check.output(run, *HEALTHY_OUTPUT)
    launched_once(before, ["guide"])
    check.that(lower in machine.processes(), "%s still running" % lower)


def monitor_not_a_program(machine, check):
    check.begin("monitor is a text file, no background program running")
    machine.make_healthy(monitor_not_a_program=True, programs=())
    before, run, after = run_and_look(machine, check, ("checking", "restart", "E08"))
    check.equal(after["cmdline_panel"], [], "panel launcher not attempted")
    check.equal(after["cmdline_guide"], [], "error guide not attempted")
    check.unchanged(before, after, "nothing else changed, nothing running")


def run_twice(machine, check):
    check.begin("first run on a damaged machine")
    machine.make_healthy(run_values=("panel",), start=DISABLED, running=False, shortcut=False,
                         programs=())
    first = machine.run_tool("first")
    check.output(first, "checking", "startup_item", "service_disabled", "restart", "complete")
    repaired = settle(machine)
    check_value(check, machine, MONITOR_VALUE, COMMAND_LINES["monitor"])
    check.equal((repaired["service"].get("start"), repaired["service"].get("state")),
                (AUTO_START, RUNNING), "service automatic and running")
    check.equal(machine.shortcut_target(), PROGRAMS["guide"], "shortcut to the error guide")
    for key in BACKGROUND:
        check.equal(repaired["cmdline_" + key], [COMMAND_LINES[key]], key + " launched once")

    check.begin("second run")
    second = machine.run_tool("second")
    check.output(second, *HEALTHY_OUTPUT)
    check.unchanged(repaired, settle(machine), "nothing changed by the second run")


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
    if machine.build.bits == 64:
        check.begin("control: a program that does not restrict its DLL search")
        # The probe, a 64-bit shell-link writer, loads the 64-bit planted DLL from there.
        probe = os.path.join(os.path.dirname(tool), "probe.exe")
        shutil.copy(machine.build.probe, probe)
        control = os.path.join(machine.home, "control.json")
        machine.wine([probe, bed.windows_path(control), "shortcut", PROGRAMS["guide"],
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
        check.equal(machine.shortcut_target(), PROGRAMS["guide"],
                    "shortcut written, to the error guide")
        check.unchanged(before, after, "nothing else changed", but=("shortcut", "startup_folder"))
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


def planted_cmd(machine, check):
    """The tool started from the download folder it was saved in, as Explorer starts it, a
    program named cmd.exe beside it, and no COMSPEC anywhere: the pause still comes from the
    system's command interpreter, on each Windows version whose search differs; and so it
    does when the user's own ComSpec names that program."""
    machine.make_healthy()
    downloads, tool, planted = plant_beside_tool(machine, "cmd.exe", "standin_program.exe")
    # Should it run, it records its command line and ends at once.
    open(planted + ".exit", "w").close()
    record = planted + ".cmdline"
    machine.reg("delete", r"HKLM\System\CurrentControlSet\Control\Session Manager\Environment",
                "/v", "ComSpec", "/f")
    unset = {"COMSPEC": None}
    for version in WINDOWS_VERSIONS:
        check.begin("a cmd.exe in the folder the tool is started from on %s, COMSPEC unset"
                    % version)
        machine.reg("add", r"HKCU\Software\Wine", "/v", "Version", "/d", version, "/f")
        check.equal(machine.probe(["environment", "COMSPEC"], cwd=downloads, env=unset)[0], None,
                    "a program started that way has no COMSPEC")
        run = machine.run_tool(version, program=tool, cwd=downloads, env=unset)
        check_never_ran(check, record, "the planted cmd.exe")
        check.output(run, *HEALTHY_OUTPUT)

    # Any program of the user's can set ComSpec in the user's own environment, which an
    # elevated program receives too.
    check.begin("ComSpec in the user's environment names the planted program")
    planted_path = downloads + "\\cmd.exe"
    machine.reg("add", r"HKCU\Environment", "/v", "ComSpec", "/d", planted_path, "/f")
    comspec = {"COMSPEC": planted_path}
    check.equal(machine.probe(["environment", "COMSPEC"], env=comspec)[0], planted_path,
                "a program started that way has it as COMSPEC")
    run = machine.run_tool("comspec", env=comspec)
    check_never_ran(check, record, "the program ComSpec names")
    check.output(run, *HEALTHY_OUTPUT)


def check_never_ran(check, record, what):
    """The stand-in whose record file this is never started; the record is removed."""
    ran = open(record, "rb").read() if os.path.exists(record) else b""
    check.equal(ran, b"", what + " never ran")
    if ran:
        os.remove(record)


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

    def wait_for(self, text, timeout=60):
        deadline = time.monotonic() + timeout
        while not any(text in line for line in self.screen()) and time.monotonic() < deadline:
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


def terminal(machine, check):
    """The tool at a terminal as a person meets it: a UTF-8 pseudo-terminal, a scan service
    that is stopped and starts slowly, the pause answered by one key press."""
    check.begin("at a terminal, the scan service stopped and slow to start")
    machine.make_healthy(behaviour="slow", start=DEMAND_START, running=False)
    term = Terminal(machine)
    try:
        term.start([bed.WINE64, machine.build.tool])
        notice = bed.MESSAGES["service_disabled"]
        deadline = time.monotonic() + 60
        while machine.service().get("state") != START_PENDING and time.monotonic() < deadline:
            time.sleep(0.05)
        pending_screen = term.screen()
        check.equal(machine.service().get("state"), START_PENDING,
                    "service still start-pending after the screen was read")
        check.equal(pending_screen, [bed.MESSAGES["checking"], "", notice],
                    "while the service is start-pending, its notice is already on the screen")

        prompt = bed.PAUSE_TEXT.decode().strip()
        expected = []
        for name in ("checking", "service_disabled", "restart", "complete"):
            expected += [bed.MESSAGES[name], ""]
        check.equal(term.wait_for(prompt), expected + [prompt],
                    "every message as written in Chinese, then the pause prompt")
        time.sleep(2)
        check.that(term.exit_status() is None and "ScarvelRepair.exe" in machine.processes(),
                   "still waiting at the pause 2 s later")
        term.press("x")
        check.equal(term.exit_status(timeout=30), 0, "exit status 0 after one key press")
        check.equal(machine.service().get("state"), RUNNING, "service running")
    finally:
        term.close()


SCENARIOS = {f.__name__: f for f in (
    healthy_untouched, missing_program, run_values, run_key_missing, service_start_type,
    service_missing, service_slow_start, service_start_fails, service_not_a_service,
    service_display_name_taken, shortcut, background_programs, monitor_not_a_program,
    run_twice, planted_dll, planted_cmd, terminal)}
