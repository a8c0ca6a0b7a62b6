"""Test bed for ScarvelRepair.exe under Wine: Windows machines as Wine prefixes, booted afresh
or cloned from the build's template prefix, the stand-in driver package put on them, and
everything the tool may touch set up and read back through the probe (tests/support), the
one reader and writer of a machine.

Used by run.py (every Wine test of CTest), and by tools/demo.py (make demo) and
tools/bench/bench.py (make bench).
"""
import ctypes
import errno
import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
import threading
import time

SOURCE = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))


def read_table(name):
    """{name: text} of a table the tests type their texts in once (tests/support/NAME.txt):
    each line that is not a comment holds a name, a tab and the text."""
    with open(os.path.join(SOURCE, "tests", "support", name + ".txt"), encoding="utf-8") as f:
        rows = [line.rstrip("\n").split("\t", 1) for line in f if not line.startswith("#")]
    return dict(row for row in rows if len(row) == 2)


# The package's names, as a user and the documents read them.
NAMES = read_table("names")
PRODUCT = NAMES["ProductName"]
RUN_KEY = NAMES["RunKeyPath"]
MONITOR_VALUE = NAMES["MonitorValueName"]
PANEL_VALUE = NAMES["PanelValueName"]
SERVICE = NAMES["ServiceName"]
SHORTCUT = NAMES["ShortcutFile"]
# The executable name of each background program, as the tool looks for it.
PROCESSES = {key: NAMES[name] for key, name in (
    ("monitor", "MonitorProcess"), ("panel", "PanelProcess"), ("guide", "GuideProcess"))}

# Service configuration codes as QueryServiceConfig reports them.
DEMAND_START, DISABLED = 3, 4
START_PENDING, RUNNING = 2, 4

# The tool's console messages, by label, as a user reads them, the product's name in place;
# in its output each ends with an empty line.
MESSAGES = {label: text.replace("%s", PRODUCT) for label, text in read_table("messages").items()}
HEALTHY_OUTPUT = ("checking", "restart", "complete")
# Every message ends with an empty line; the pause's prompt, in whatever language cmd
# speaks, holds none.
MESSAGE_END = b"\r\n\r\n"


def expected_output(*names):
    """The exact bytes of the tool's text in a redirected run that printed these messages."""
    text = "".join(MESSAGES[name] + "\n\n" for name in names)
    return text.replace("\n", "\r\n").encode("gbk")


def split_pause(output):
    """A redirected run's bytes as (the tool's text, the pause's prompt after it). The prompt
    is one line, ended or not; anything else after the text gives an empty prompt."""
    end = output.rfind(MESSAGE_END)
    cut = 0 if end < 0 else end + len(MESSAGE_END)
    after = output[cut:]
    line = after[:-2] if after.endswith(b"\r\n") else after
    one_line = line.strip() and b"\r" not in line and b"\n" not in line
    return output[:cut], after if one_line else b""


def decode_output(data):
    """A redirected run's bytes as readable text (GBK, CR LF)."""
    return data.decode("gbk", errors="replace").replace("\r\n", "\n")


class BedError(Exception):
    """The bed itself could not bring a machine into the wanted state."""


class Build:
    """One cross build: build/win64 (runs here) or build/win32 (needs 32-bit Wine)."""

    def __init__(self, build_dir):
        self.dir = os.path.abspath(build_dir)
        cache = os.path.join(self.dir, "CMakeCache.txt")
        processor = ""
        if os.path.exists(cache):
            with open(cache, encoding="utf-8", errors="replace") as f:
                for line in f:
                    if line.startswith("CMAKE_TOOLCHAIN_FILE"):
                        processor = line
        self.bits = 32 if "i686" in processor or self.dir.endswith("win32") else 64
        # A 32-bit program on 64-bit Windows sees the 32-bit registry view.
        self.view = str(self.bits)
        self.tool = os.path.join(self.dir, "ScarvelRepair.exe")
        self.standins = os.path.join(self.dir, "standins")
        self.bed_dir = os.path.join(self.dir, "tests", "e2e")
        self.probe = os.path.join(self.bed_dir, "e2e_probe.exe")
        # The probe built for this build's bitness (the one above in the 64-bit build).
        self.own_probe = os.path.join(self.bed_dir, "e2e_probe32.exe" if self.bits == 32
                                      else "e2e_probe.exe")
        self.template_home = os.path.join(self.bed_dir, "template")
        self.template = os.path.join(self.template_home, "prefix")
        self.template_info = os.path.join(self.bed_dir, "template.json")
        self.runs = os.path.join(self.bed_dir, "runs")


# Debian's "wine" starts the 32-bit loader whenever wine32 is installed, so that Wine's own
# programs (wineboot, reg, cmd) would be 32-bit ones and fail where 32-bit code cannot run.
# The 64-bit loader runs them as 64-bit programs and hands a 32-bit program to the 32-bit
# loader itself.
WINE64 = "/usr/lib/wine/wine64"
WINE32 = "/usr/lib/wine/wine"


def why_build_cannot_run(build):
    """None when this machine can run the build's programs, else the check that failed:
    only a kernel that does not execute 32-bit code at all is a reason (32-bit Wine that is
    missing or does not start is a failure of the machine's setup, not a reason)."""
    if build.bits == 64:
        return None
    try:
        subprocess.run([WINE32, "--version"], stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
    except FileNotFoundError:
        # make deps installs none where the kernel runs no 32-bit code: its own probe tells.
        if subprocess.run(["sh", os.path.join(SOURCE, "release", "install-deps.sh"),
                           "runs-32bit"], stdin=subprocess.DEVNULL, timeout=60).returncode == 1:
            return ("this machine's kernel does not run 32-bit code: make deps' i386 probe did "
                    "not run, and it installed no 32-bit Wine")
        raise BedError("32-bit Wine is not installed (no %s): make deps installs wine32:i386"
                       % WINE32)
    except OSError as e:
        if e.errno != errno.ENOEXEC:
            raise
        return ("this machine's kernel does not run 32-bit code: executing the i386 program "
                "%s failed with ENOEXEC (%s)" % (WINE32, e.strerror))
    return None


def build_to_run(build_dir, fallback_dir=None):
    """(the build to run, None) where this machine runs `build_dir`'s programs; else the
    fallback build (the 64-bit one, which runs wherever Wine does) and the line that says
    why, or (None, why) without a fallback."""
    build = Build(build_dir)
    reason = why_build_cannot_run(build)
    if reason is None:
        return build, None
    if fallback_dir is None:
        return None, "%s cannot run here: %s" % (os.path.relpath(build.tool), reason)
    fallback = Build(fallback_dir)
    return fallback, ("not %s, as %s; running %s (%d-bit) instead"
                      % (os.path.relpath(build.tool), reason, os.path.relpath(fallback.tool),
                         fallback.bits))


DLL_OVERRIDES = "mscoree,mshtml=;winemenubuilder.exe=d"

# Wine's messages off, but for the one that tells a process could not be set up at all:
# without a preloader (Debian's wine64 has none), now and then a new process finds the
# address of the shared user data taken, and dies before running any of its code.
QUIET = "-all,err+virtual"
STARTUP_FAILURE = b"failed to map the shared user data"
STARTUP_ATTEMPTS = 3
# What else Wine's memory manager may say before that line, while no code of the program runs.
STARTUP_NOISE = re.compile(rb"^(?:[0-9a-f]{4}:)?err:virtual:")
# What the machine library prints of a start inside Wine that it made again.
MADE_AGAIN = b"machine: made again: "


def failed_to_start(status, wrote, said):
    """Whether a Wine start died before the program ran: status 1, nothing written to
    standard output, and on standard error only the shared user data's line and what led to it."""
    lines = [line for line in said.splitlines() if line.strip()]
    return (status == 1 and not wrote
            and any(STARTUP_FAILURE in line for line in lines)
            and all(STARTUP_FAILURE in line or STARTUP_NOISE.match(line) for line in lines))


# Without a preloader, the kernel puts a new 64-bit Wine process's heap anywhere in the
# gigabyte above its loader (0x7d000000): now and then across 0x7ffe0000, where Wine maps the
# shared user data, and the process dies before its code runs (CreateProcess's 1359 inside
# Wine). Without randomization (setarch -R), which every process Wine starts inherits, the
# heap starts right above the loader.
ADDR_NO_RANDOMIZE = 0x0040000
_layout = {}


def fix_layout():
    """Turns address-space randomization off for the programs this process starts, once;
    where the kernel refuses, says so, and the retries of starts that died remain."""
    if _layout:
        return
    libc = ctypes.CDLL(None, use_errno=True)
    current = libc.personality(0xffffffff)
    _layout["fixed"] = current != -1 and (
        current & ADDR_NO_RANDOMIZE or libc.personality(current | ADDR_NO_RANDOMIZE) != -1)
    if not _layout["fixed"]:
        print("bed: Wine's address-space layout stays random here (personality: %s)"
              % os.strerror(ctypes.get_errno()))


def wine_environment(prefix):
    """The environment of Wine's programs in that prefix; the layout of each fixed."""
    fix_layout()
    env = dict(os.environ)
    # No Mono/Gecko installers, and no menu entries for the host's desktop.
    env.update(WINEPREFIX=prefix, WINEDEBUG=os.environ.get("E2E_WINEDEBUG", QUIET),
               WINEDLLOVERRIDES=DLL_OVERRIDES,
               LANG="C.UTF-8", LC_ALL="C.UTF-8", DISPLAY="")
    env.pop("WAYLAND_DISPLAY", None)
    return env


def windows_path(unix_path):
    """The Z: drive name Wine gives a Unix path."""
    return "Z:" + os.path.abspath(unix_path).replace("/", "\\")


def _quietly(args, env, timeout=60):
    return subprocess.run(args, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL, timeout=timeout)


# --- prefixes --------------------------------------------------------------------------

def tree_manifest(root, skip=lambda path: False):
    """Size and modification time of every file below `root` (a prefix, say), by relative
    path; links and the files that `skip` names are left out."""
    manifest = {}
    for folder, dirs, files in os.walk(root):
        for name in files:
            path = os.path.join(folder, name)
            if not os.path.islink(path) and not skip(path):
                info = os.lstat(path)
                manifest[os.path.relpath(path, root)] = [info.st_size, info.st_mtime_ns]
    return manifest


def _tree_digest(root):
    digest = hashlib.sha256()
    for folder, dirs, files in sorted(os.walk(root)):
        dirs.sort()
        for name in sorted(files):
            path = os.path.join(folder, name)
            digest.update(os.path.relpath(path, root).encode() + b"\0")
            if os.path.islink(path):
                digest.update(os.readlink(path).encode())
                continue
            with open(path, "rb") as f:
                for block in iter(lambda: f.read(1 << 20), b""):
                    digest.update(block)
    return digest.hexdigest()


def _stop_wineserver(prefix):
    if os.path.isdir(prefix):
        env = wine_environment(prefix)
        _quietly(["wineserver", "-k"], env)
        _quietly(["wineserver", "-w"], env)


def _server_dir(prefix):
    """The socket folder of a prefix's wineserver (Debian's Wine names its parent in the
    prefix's "wineserver" file), which Wine leaves behind."""
    try:
        info = os.stat(prefix)
        with open(os.path.join(prefix, "wineserver"), encoding="utf-8") as f:
            parent = f.read().strip()
    except OSError:
        return None
    if not parent.startswith("wine-") or "/" in parent:
        return None
    return os.path.join(os.environ.get("TMPDIR") or "/tmp", parent,
                        "server-%x-%x" % (info.st_dev, info.st_ino))


def _remove_prefix(prefix, booted=False):
    """Kills the prefix's wineserver and removes it; `booted`: a prefix of its own (not a
    clone), whose socket folder's parent goes too."""
    _stop_wineserver(prefix)
    server = _server_dir(prefix)
    if server and os.path.isdir(server):
        shutil.rmtree(server, ignore_errors=True)
    if server and booted:
        try:
            os.rmdir(os.path.dirname(server))
        except OSError:
            pass
    shutil.rmtree(prefix, ignore_errors=True)


def _boot(prefix):
    """Creates a new Wine prefix there (about 700 MB, a few seconds); on return its
    wineserver has exited and the registry files are written. A boot that Wine fails (seen
    once in some hundred boots, status 1) is made again from nothing."""
    failure = None
    for attempt in range(1, STARTUP_ATTEMPTS + 1):
        failure = _boot_once(prefix)
        if failure is None:
            return
        print("bed: %s, attempt %d" % (failure, attempt))
    raise BedError(failure)


def _boot_once(prefix):
    """None when the prefix is booted, else what failed and what Wine said."""
    _remove_prefix(prefix)
    os.makedirs(os.path.dirname(prefix), exist_ok=True)
    env = wine_environment(prefix)
    # Beside the prefix, not in it: the daemons that wineboot starts keep it open.
    errors = prefix + ".boot.err"
    with open(errors, "wb") as err:
        boot = subprocess.run([WINE64, "wineboot", "-i"], env=env, stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=err, timeout=300)
        # No display here: without the null graphics driver a service waits for a desktop
        # and its start times out now and then. A program that never connects as a service
        # is given up after 4 s, not Wine's 10 (its services.exe reads the setting as text).
        settings = [subprocess.run([WINE64, "reg", "add", key, "/v", name, "/d", data, "/f"],
                                   env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                   stderr=err, timeout=120).returncode
                    for key, name, data in (
                        (r"HKCU\Software\Wine\Drivers", "Graphics", "null"),
                        (r"HKLM\System\CurrentControlSet\Control", "ServicesPipeTimeout", "4000"))]
        _quietly(["wineserver", "-w"], env, timeout=120)
    with open(errors, encoding="utf-8", errors="replace") as f:
        said = " / ".join(line.strip() for line in f.read().splitlines()[-5:]) or "nothing"
    os.remove(errors)
    if boot.returncode != 0 or not os.path.exists(os.path.join(prefix, "system.reg")):
        return "wineboot -i failed with status %d (wine said: %s)" % (boot.returncode, said)
    if any(settings):
        return "Wine's settings not made: statuses %s (wine said: %s)" % (settings, said)
    return None


def _clone(source, prefix):
    """Hard links for the files Wine only reads, copies of those it rewrites."""
    if not os.path.exists(os.path.join(source, "system.reg")):
        raise BedError("no prefix to clone at %s (the e2e_template test makes the build's)"
                       % source)
    os.makedirs(prefix)
    for name in os.listdir(source):
        path = os.path.join(source, name)
        if name == "drive_c":
            subprocess.run(["cp", "-al", path, prefix], check=True)
        elif os.path.isdir(path) and not os.path.islink(path):
            subprocess.run(["cp", "-a", path, prefix], check=True)
        else:
            shutil.copy2(path, prefix, follow_symlinks=False)


def _run_exactly(args, env, cwd, out, err, timeout):
    """subprocess.run with a time-out polls for the exit every 50 ms, which would add up to
    50 ms to every timed run: here the wait blocks, and a timer ends a hung program."""
    process = subprocess.Popen(args, env=env, cwd=cwd, stdin=subprocess.DEVNULL, stdout=out,
                               stderr=err)
    expired = threading.Event()

    def expire():
        expired.set()
        process.kill()

    timer = threading.Timer(timeout, expire)
    timer.start()
    try:
        status = process.wait()
    except BaseException:
        process.kill()
        process.wait()
        raise
    finally:
        timer.cancel()
    if expired.is_set():
        raise subprocess.TimeoutExpired(args, timeout)
    return status


def _kept_paths(*paths):
    """Free names for a failed attempt's files, NAME.failedN.EXT beside each NAME.EXT, one N
    for all."""
    parts = [os.path.splitext(path) for path in paths]
    number = 1
    while any(os.path.exists("%s.failed%d%s" % (root, number, ext)) for root, ext in parts):
        number += 1
    return ["%s.failed%d%s" % (root, number, ext) for root, ext in parts]


class ToolRun:
    def __init__(self, output, errors, status, seconds):
        self.output = output
        self.errors = errors
        self.status = status
        self.seconds = seconds

    @property
    def text(self):
        return decode_output(self.output)


def _fields(fields):
    """machine::Healthy's fields as the probe takes them: name=value, a flag 0 or 1, a list of
    program keys joined by commas."""
    words = []
    for name, value in fields.items():
        if isinstance(value, bool):
            value = int(value)
        elif isinstance(value, (tuple, list)):
            value = ",".join(value)
        words.append("%s=%s" % (name, value))
    return words


class Machine:
    """A Wine prefix standing for one Windows machine, in a folder of its own (`home`, by
    default <build>/tests/e2e/runs/<name>): booted afresh with `fresh`, else cloned from
    `source`, a booted prefix whose wineserver has exited (the build's template by default).
    Use it as a context manager: while in it its wineserver stays up (an automatic service
    would otherwise start again with every new one); on leaving, the wineserver and every
    program in the prefix are killed and the folder removed."""

    def __init__(self, build, name, fresh=False, source=None, home=None):
        """A fresh machine is booted here, its registry completed and its wineserver ended:
        a clone may be taken of it before it is used."""
        self.build = build
        self.name = name
        self.fresh = fresh
        self.home = home or os.path.join(build.runs, name)
        self.prefix = os.path.join(self.home, "prefix")
        _remove_prefix(self.prefix)
        shutil.rmtree(self.home, ignore_errors=True)
        os.makedirs(self.home)
        self.env = wine_environment(self.prefix)
        self.startup_failures = 0
        self.starts_made_again = 0
        self.wine_runs = 0
        self._folders = None
        if fresh:
            _boot(self.prefix)
            # Complete and at rest, as a template: a clone may be taken of it at once.
            self._complete_registry()
            self.stop()
        else:
            _clone(source or build.template, self.prefix)
            if not source and os.path.exists(build.template_info):
                with open(build.template_info, encoding="utf-8") as f:
                    self._folders = json.load(f)["folders"]

    def __enter__(self):
        try:
            self.start()
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def start(self):
        """Keeps the wineserver up until stop() or close()."""
        _quietly(["wineserver", "-p"], self.env).check_returncode()

    def stop(self):
        """Ends the wineserver and every program in the prefix; the prefix stays."""
        _stop_wineserver(self.prefix)

    def close(self):
        _remove_prefix(self.prefix, booted=self.fresh)
        shutil.rmtree(self.home, ignore_errors=True)

    def processes(self):
        """Each Unix process of this prefix, a line each: its pid, state, kernel wait, age in
        seconds and command line; a Windows process stuck in its start shows here, where
        Wine's own list may not name it. Found by WINEPREFIX in its environment: a program
        started with an environment block that lacks it is not listed."""
        ticks, lines = os.sysconf("SC_CLK_TCK"), []
        with open("/proc/uptime", encoding="ascii") as f:
            uptime = float(f.read().split()[0])
        wanted = ("WINEPREFIX=" + self.prefix).encode()
        for pid in sorted(int(name) for name in os.listdir("/proc") if name.isdigit()):
            try:
                with open("/proc/%d/environ" % pid, "rb") as f:
                    if wanted not in f.read().split(b"\0"):
                        continue
                with open("/proc/%d/stat" % pid, "rb") as f:
                    fields = f.read().rsplit(b")", 1)[1].split()
                with open("/proc/%d/wchan" % pid, "rb") as f:
                    wait = f.read().decode(errors="replace") or "-"
                with open("/proc/%d/cmdline" % pid, "rb") as f:
                    command = f.read().replace(b"\0", b" ").decode(errors="replace").strip()
            except OSError:
                continue
            age = uptime - int(fields[19]) / ticks
            lines.append("%d %s %s %.0fs %s" % (pid, fields[0].decode(), wait, age, command))
        return lines

    def keep_logs(self, folder):
        """The output files of the machine's runs, copied to `folder` for a look."""
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
        for name in os.listdir(self.home):
            if name.endswith((".out", ".err", ".json", ".txt")):
                shutil.copy(os.path.join(self.home, name), folder)

    def _complete_registry(self):
        """Windows has the Run key in both registry views; a fresh Wine prefix lacks the
        32-bit one, which would make every 32-bit run end at E02."""
        self.setup(["create-run-key", "32"])
        run64, run32 = self.probe(["values", "64", RUN_KEY], ["values", "32", RUN_KEY])
        if run64 != [] or run32 != []:
            raise BedError("the new prefix's Run keys are not empty: %r %r" % (run64, run32))

    # --- running programs ------------------------------------------------------------

    def wine(self, args, stdout=None, stderr=None, timeout=120, debug=None, overrides=None,
             cwd=None, env=None):
        """Runs a program in the prefix, its output to files (never a pipe: programs it
        starts keep the handles). Returns the exit status. A start that Wine itself
        failed is made again: one where the program wrote nothing to its standard output
        and exited non-zero, and Wine said it could not map the shared user data. The
        failure is printed, and each failed attempt's files are kept beside the last's
        (NAME.failedN.EXT). `overrides`: more DLL overrides, e.g. "uxtheme=n,b" to prefer
        a native DLL as Windows does. `cwd`: the program's current directory, a C: path.
        `env`: variables to set for this program only (None: to leave out), e.g. LANG and
        LC_ALL for another code page."""
        env = {k: v for k, v in dict(self.env, **(env or {})).items() if v is not None}
        if debug:
            env["WINEDEBUG"] = debug
        if overrides:
            env["WINEDLLOVERRIDES"] += ";" + overrides
        directory = self.unix_path(cwd) if cwd else self.home
        self.wine_runs += 1
        output = stdout or os.path.join(self.home, "wine-%d.out" % self.wine_runs)
        errors = stderr or os.path.join(self.home, "wine-%d.err" % self.wine_runs)
        for attempt in range(1, STARTUP_ATTEMPTS + 1):
            with open(output, "wb") as out, open(errors, "wb") as err:
                status = _run_exactly([WINE64] + list(args), env, directory, out, err, timeout)
            with open(errors, "rb") as err:
                said = err.read()
            if not failed_to_start(status, os.path.getsize(output) > 0, said):
                break
            self.startup_failures += 1
            # The last attempt's files stay where the caller reads them.
            last = attempt == STARTUP_ATTEMPTS
            kept = [output, errors] if last else _kept_paths(output, errors)
            for path, keep in zip((output, errors), kept):
                os.replace(path, keep)
            print("bed: Wine could not start %s, attempt %d: status %d, no output, %s "
                  "(kept in %s); Wine said: %s"
                  % (os.path.basename(args[0]), attempt, status, STARTUP_FAILURE.decode(),
                     kept[1], said.decode("utf-8", "replace").strip()[-1000:]))
        for line in said.splitlines():
            if line.startswith(MADE_AGAIN):
                self.starts_made_again += 1
                print("bed: in %s, %s" % (os.path.basename(args[0]), line.decode("utf-8", "replace")))
        for path, asked in ((output, stdout), (errors, stderr)):
            if not asked and attempt == 1:
                os.remove(path)
        return status

    def run_tool(self, tag="run", timeout=180, program=None, **how):
        """Runs the repair tool (or a copy of it at `program`) as a user would, standard
        input empty; `how`: wine()'s debug, overrides, cwd and env."""
        out = os.path.join(self.home, tag + ".out")
        err = os.path.join(self.home, tag + ".err")
        started = time.monotonic()
        status = self.wine([program or self.build.tool], stdout=out, stderr=err,
                           timeout=timeout, **how)
        seconds = time.monotonic() - started
        with open(out, "rb") as f:
            output = f.read()
        with open(err, "rb") as f:
            errors = f.read()
        return ToolRun(output, errors, status, seconds)

    def probe(self, *commands, **how):
        """Runs e2e_probe.exe with these commands (each a list); returns their results.
        `how`: wine()'s cwd and env, to see what a program started that way sees."""
        out = os.path.join(self.home, "probe.json")
        if os.path.exists(out):
            os.remove(out)
        args = [self.build.probe, windows_path(out)]
        for i, command in enumerate(commands):
            args += (["+"] if i else []) + list(command)
        err = os.path.join(self.home, "probe.err")
        status = self.wine(args, stderr=err, **how)
        if status != 0 or not os.path.exists(out):
            with open(err, encoding="utf-8", errors="replace") as f:
                said = f.read()[-2000:]
            raise BedError("probe %r failed with status %d: %s" % (commands, status, said))
        os.remove(err)
        with open(out, encoding="utf-8") as f:
            return json.load(f)

    def setup(self, *commands):
        """Runs the probe's setup commands; raises when one of them did not do its work."""
        for command, result in zip(commands, self.probe(*commands)):
            if not result.get("ok"):
                raise BedError("%s: %s" % (" ".join(command), result.get("error", result)))

    def reg(self, *args):
        """Wine's reg, for the prefix's own settings (HKCU\\Software\\Wine)."""
        status = self.wine(["reg"] + list(args))
        if status != 0:
            raise BedError("reg %s failed with status %d" % (" ".join(args), status))

    def wine_runs_build_programs(self):
        """None when a program of this build (its own probe) runs in the prefix, else why
        not."""
        answer = os.path.join(self.home, "wine_check.json")
        err = os.path.join(self.home, "wine_check.err")
        try:
            # Wine's own errors on, for the reason; it exits with 0 even then.
            status = self.wine([self.build.own_probe, windows_path(answer), "processes"],
                               stderr=err, timeout=60, debug="err+all")
        except subprocess.TimeoutExpired:
            status = "time-out"
        ran = os.path.exists(answer)
        with open(err, "rb") as f:
            said = [line.strip() for line in f.read().decode("utf-8", "replace").splitlines()]
        detail = [line for line in said if any(word in line for word in (
            "wine32 is missing", "wow64", "c0000135", "Bad EXE format"))]
        for path in (answer, err):
            if os.path.exists(path):
                os.remove(path)
        if ran:
            return None
        return ("%d-bit Wine does not start this build's programs: its %d-bit probe did not "
                "run (status %s; wine said: %s)" % (self.build.bits, self.build.bits, status,
                                                     " / ".join(detail[:3]) or "nothing"))

    # --- files -----------------------------------------------------------------------

    def unix_path(self, windows):
        """The file behind a C: path, its components matched without regard to case."""
        drive, _, rest = windows.partition(":\\")
        if drive.upper() != "C":
            raise ValueError(windows)
        path = os.path.join(self.prefix, "drive_c")
        for part in [p for p in rest.split("\\") if p]:
            match = part
            if os.path.isdir(path):
                for name in os.listdir(path):
                    if name.lower() == part.lower():
                        match = name
                        break
            path = os.path.join(path, match)
        return path

    @property
    def folders(self):
        """The Windows, System32, common Startup and TWAIN folders, the package's programs
        ("monitor", "panel", "guide") and "monitor_command_line": C: paths, as the machine
        library composes them."""
        if self._folders is None:
            self._folders = self.probe(["folders"])[0]
        return self._folders

    def shortcut_path(self):
        return os.path.join(self.unix_path(self.folders["common_startup"]), SHORTCUT)

    # --- the machine, through the probe ------------------------------------------------

    def make_healthy(self, **fields):
        """The machine as the package's installer leaves it: the package, both Run values,
        the service installed, automatic and running, the shortcut, the three background
        programs running; `fields`, named as machine::Healthy's (serviceRunning=False,
        programs=(), "package.missing"=("guide",), ...), take from it."""
        self.setup(["healthy", windows_path(self.build.standins), "view=" + self.build.view]
                   + _fields(fields))

    def snapshot(self):
        """Everything the tool may change (machine::Snapshot), by part: "service", "run32",
        "run64", "processes", "startup folder", "shortcut", and what the stand-ins recorded,
        "monitor", "panel", "guide", "service starts"."""
        return self.probe(["snapshot"])[0]


# --- the build's template prefix ---------------------------------------------------------

def make_template(build, log=print):
    """Boots the build's template prefix, of which every test's machine is a clone. Returns
    None when ready, or the reason why this build's programs cannot run on this machine
    (then no template is made)."""
    os.makedirs(build.bed_dir, exist_ok=True)
    if os.path.exists(build.template_info):
        os.remove(build.template_info)
    remove_machines(build)
    reason = why_build_cannot_run(build)
    if reason:
        return reason
    started = time.monotonic()
    template = Machine(build, "template", fresh=True, home=build.template_home)
    try:
        template.start()
        failure = template.wine_runs_build_programs()
        if failure:
            raise BedError(failure)
        folders = template.folders
        os.remove(os.path.join(template.home, "probe.json"))
    except BaseException:
        template.close()
        raise
    template.stop()
    info = {"folders": folders, "manifest": tree_manifest(build.template),
            "digest": _tree_digest(build.template)}
    with open(build.template_info, "w", encoding="utf-8") as f:
        json.dump(info, f)
    log("template prefix ready in %.1f s: %s" % (time.monotonic() - started, build.template))
    return None


def template_changes(build, full=False):
    """Files of the template that a test changed (hard links share their contents); with
    full=True also compares every byte."""
    with open(build.template_info, encoding="utf-8") as f:
        info = json.load(f)
    now = tree_manifest(build.template)
    changed = sorted(path for path in set(now) | set(info["manifest"])
                     if now.get(path) != info["manifest"].get(path))
    if full and not changed and _tree_digest(build.template) != info["digest"]:
        changed.append("(contents differ)")
    return changed


def remove_machines(build):
    """Machines left behind by a killed test: their wineservers too."""
    if os.path.isdir(build.runs):
        for name in os.listdir(build.runs):
            _remove_prefix(os.path.join(build.runs, name, "prefix"))
        shutil.rmtree(build.runs, ignore_errors=True)


def remove_template(build):
    _remove_prefix(build.template, booted=True)
    shutil.rmtree(build.template_home, ignore_errors=True)
    if os.path.exists(build.template_info):
        os.remove(build.template_info)


if __name__ == "__main__":
    # bed.py BUILD_DIR...: one line per build on whether this machine runs its programs.
    for build_dir in sys.argv[1:]:
        build = Build(build_dir)
        try:
            reason = why_build_cannot_run(build)
            said = ("%d-bit programs run here" % build.bits if reason is None
                    else "its Wine suites skip: " + reason)
        except BedError as e:
            said = "its Wine suites will fail: %s" % e
        print("%s: %s" % (os.path.relpath(build.tool), said))
