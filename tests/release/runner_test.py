#!/usr/bin/env python3
"""The unattended runner, ScarvelRepair-unattended.cmd, under Wine's cmd on one of the bed's
machines, for every exit code it can give (run.py runs it). The runner and the 32-bit program stand in "C:\\Program Files (x86)\\Scarvel Repair\\" and the
runner is started from elsewhere, as a deployment system starts it. The machine is brought
from healthy to E08, E07 and E01 in turn, then holds a stand-in that writes the tool's E04
text, and then loses the program; in each of the machine's states the runner runs once with
LANG=C.UTF-8 (code page 1252) and once with LANG=zh_CN.UTF-8 (936), from a folder that it may
only read where this machine can make one, with a COMSPEC of the user's own that names a
stand-in.
"""
import contextlib
import os
import shutil
import subprocess

import bed

RUNNER = "ScarvelRepair-unattended.cmd"
SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "resources", RUNNER)
FOLDER = r"C:\Program Files (x86)\Scarvel & Co\Repair Tool"
LANGS = ("C.UTF-8", "zh_CN.UTF-8")
NO_RESULT = 99

# A deployment system's start of the runner (two pairs of quotes, as cmd /c needs them for
# a path with spaces), and its exit code read inside cmd: Wine would cut it to 8 bits. It is
# started from the folder above its own: Wine's cmd /c takes no path with an & in it, and its
# call passes on no exit code.
WRAPPER = '@cd /d "%s"\r\n@cmd /c ""%s\\%s""\r\n@>"%s" echo %%ERRORLEVEL%%\r\n'
# A COMSPEC of the user's own, which HKCU\Environment hands to every program of theirs: a
# stand-in that records its start (in the folder it is named for) and ends.
COMSPEC = r"C:\users\Public\comspec\cmd.exe"
# cmd's own relay of a file's lines, the way the runner relays the program's.
RELAY = '@for /f "delims=" %%L in (%1) do @echo.%%L\r\n'


def lines_of(output):
    return [line for line in output.split(b"\r\n") if line]


def as_lines(lines):
    return b"".join(line + b"\r\n" for line in lines)


def drive_c_files(machine):
    """Size and time of every file on C:, but the package's own and the tests' folder of the
    stand-ins' records (they record how they are started) and Wine's cmd's capture files of
    for /f in the user's Temp folder (Windows' cmd reads a pipe)."""
    package = machine.unix_path(machine.folders["twain"]) + os.sep
    scratch = machine.unix_path(machine.folders["scratch"]) + os.sep

    def skip(path):
        folder, name = os.path.split(path)
        return path.startswith(package) or path.startswith(scratch) or (
            os.path.basename(folder).lower() == "temp" and name.upper().startswith("CMD")
            and name.lower().endswith(".tmp"))

    return bed.tree_manifest(os.path.join(machine.prefix, "drive_c"), skip)


def folder_listing(folder):
    """Size and modification time of the folder itself ("") and of each entry in it."""
    return {name: (os.lstat(os.path.join(folder, name)).st_size,
                   os.lstat(os.path.join(folder, name)).st_mtime_ns)
            for name in [""] + os.listdir(folder)}


@contextlib.contextmanager
def read_only(folder):
    """The folder and its files immutable (chattr +i) while in it, where this machine lets the
    tests do so (root on ext4, say): a folder the runner may only read, as on SYSVOL or a
    share. Wine's files obey Unix, not DACLs. Yields whether it is."""
    try:
        locked = subprocess.run(["chattr", "-R", "+i", folder], stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL).returncode == 0
    except FileNotFoundError:
        locked = False
    try:
        yield locked
    finally:
        subprocess.run(["chattr", "-R", "-i", folder], stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, check=locked)


def plant_comspec(machine, check):
    """COMSPEC in HKCU\\Environment, naming a stand-in; the path of its record of starts, which
    a start through %ComSpec% is seen to write first. The stand-ins' records folder exists."""
    program = machine.unix_path(COMSPEC)
    os.makedirs(os.path.dirname(program))
    shutil.copy(os.path.join(machine.build.standins, "standin_program.exe"), program)
    open(program + ".exit", "w").close()
    mark = os.path.join(machine.unix_path(machine.folders["scratch"]), "records",
                        "comspec-cmd.exe.cmdline")
    machine.reg("add", r"HKCU\Environment", "/v", "ComSpec", "/d", COMSPEC, "/f")
    machine.wine(["cmd", "/c", "%ComSpec%", "/c", "rem"])
    check.that(os.path.exists(mark), "a program's %ComSpec% is the stand-in, which marks its start")
    os.remove(mark)
    return mark


def install_runner(machine, tool):
    """The runner and `tool` as ScarvelRepair.exe, side by side in FOLDER."""
    folder = machine.unix_path(FOLDER)
    os.makedirs(folder)
    shutil.copy(SOURCE, folder)
    shutil.copy(tool, os.path.join(folder, "ScarvelRepair.exe"))
    return folder


def run_runner(machine, tag, env):
    """The runner's standard output, standard error and exit code."""
    wrapper = os.path.join(machine.home, tag + ".cmd")
    code = os.path.join(machine.home, tag + ".code")
    with open(wrapper, "w", newline="") as f:
        f.write(WRAPPER % tuple(FOLDER.rsplit("\\", 1) + [RUNNER, bed.windows_path(code)]))
    out, err = (os.path.join(machine.home, tag + suffix) for suffix in (".out", ".err"))
    machine.wine(["cmd", "/c", bed.windows_path(wrapper)], stdout=out, stderr=err, env=env)
    with open(out, "rb") as f_out, open(err, "rb") as f_err, open(code) as f_code:
        return f_out.read(), f_err.read(), int(f_code.read().strip() or -1)


def wine_relay(machine, tag, output, env):
    """The lines of `output` as Wine's cmd relays them with for /f and echo."""
    source = os.path.join(machine.home, tag + ".relay-in")
    script = os.path.join(machine.home, "relay.cmd")
    with open(source, "wb") as f:
        f.write(output)
    with open(script, "w", newline="") as f:
        f.write(RELAY)
    relayed = os.path.join(machine.home, tag + ".relayed")
    machine.wine(["cmd", "/c", bed.windows_path(script), bed.windows_path(source)],
                 stdout=relayed, env=env)
    with open(relayed, "rb") as f:
        return f.read()


def check_state(machine, check, state, messages, code, mark):
    for lang in LANGS:
        check.begin("%s, LANG=%s" % (state, lang))
        env = {"LANG": lang, "LC_ALL": lang}
        tag = "%s-%s" % (state.split()[0], lang.split(".")[0])
        tool_lines = []
        if messages:
            reference = machine.run_tool(tag + "-tool", env=env)
            # The pause's prompt, cmd's own in the locale's language, follows the tool's text.
            text, prompt = bed.split_pause(reference.output)
            check.that(text == bed.expected_output(*messages) and prompt,
                       "the program run alone prints: %s, then cmd's pause prompt"
                       % ", ".join(messages), reference.text)
            tool_lines = lines_of(reference.output)
        before = drive_c_files(machine)
        folder = machine.unix_path(FOLDER)
        listing = folder_listing(folder)
        with read_only(folder) as locked:
            out, err, status = run_runner(machine, tag + "-runner", env)
        check.equal(status, code, "exit code %d%s" % (code, ", from a folder it may only read"
                                                       if locked else ""))
        check.equal(folder_listing(folder), listing,
                    "its folder lists the same names, sizes and times after the run")
        check.that(not os.path.exists(mark), "no program named by COMSPEC ran")
        if lang == "C.UTF-8":
            check.equal(out, as_lines(tool_lines),
                        "the output is the program's non-empty lines, byte for byte")
        else:
            # Wine 8's cmd reads for /f input in its C runtime's "C" locale (each byte one
            # Latin-1 character) and echo writes code page 936, so no batch file can relay
            # GBK unchanged there; the runner's lines are cmd's own relay of the program's.
            relayed = wine_relay(machine, tag, as_lines(tool_lines), env)
            check.equal(out, relayed, "the output is the program's non-empty lines as Wine's "
                        "cmd relays them (for /f, echo)")
            check.equal(len(lines_of(out)), len(tool_lines), "one line for each of the program's")
        if code == NO_RESULT:
            check.that(b"exit code 99" in err, "standard error says why: no result", repr(err))
        after = drive_c_files(machine)
        written = sorted(path for path in set(before) | set(after) if before.get(path) != after.get(path))
        check.equal(written, [], "no file written or changed on C:")


def runner(machine, check):
    check.begin("the runner as shipped")
    with open(SOURCE, "rb") as f:
        script = f.read()
    check.that(script.count(b"\n") == script.count(b"\r\n") > 0 and script.endswith(b"\r\n"),
               "CR LF line ends (cmd misreads labels in a file of bare LFs)")
    check.that(all(byte < 0x80 for byte in script), "ASCII only")
    # Wine's for /f starts CMD.EXE by name, whatever COMSPEC says; Windows' starts %ComSpec%.
    pin = script.find(b'set "ComSpec=%SystemRoot%\\System32\\cmd.exe"')
    check.that(0 < script.find(b"setlocal") < pin < script.find(b'for /f "'),
               "ComSpec is System32's cmd inside setlocal before for /f starts one")
    folder = install_runner(machine, machine.build.tool)

    machine.make_healthy()
    mark = plant_comspec(machine, check)
    check_state(machine, check, "healthy", bed.HEALTHY_OUTPUT, 0, mark)

    machine.setup(["kill", bed.PROCESSES["monitor"]])
    with open(machine.unix_path(machine.folders["monitor"]), "w") as f:
        f.write("not a program\r\n")
    check_state(machine, check, "E08 monitor not a program", ("checking", "restart", "E08"), 3010, mark)

    machine.setup(["stop-service", bed.SERVICE], ["behaviour", "stop"])
    check_state(machine, check, "E07 service stops during its start",
                ("checking", "service-disabled", "E07"), 107, mark)

    os.remove(machine.unix_path(machine.folders["guide"]))
    check_state(machine, check, "E01 error guide missing", ("checking", "E01"), 101, mark)

    # No state of the bed makes the Service Control Manager refuse the tool: a stand-in writes
    # the tool's text of E04.
    check.begin("E04, the tool's text replayed")
    program = os.path.join(folder, "ScarvelRepair.exe")
    shutil.copy(os.path.join(machine.build.dir, "tests", "release", "replay_program.exe"), program)
    with open(program + ".out", "wb") as f:
        f.write(bed.expected_output("checking", "startup-item", "E04"))
    out, err, status = run_runner(machine, "E04-runner", {})
    check.that(status == 104 and b"(E04)" in out, "exit code 104, the E04 line relayed", repr(out))
    os.remove(program)
    check_state(machine, check, "no program beside the runner", (), NO_RESULT, mark)


SCENARIOS = {"runner": runner}
