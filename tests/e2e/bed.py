"""Test bed for ScarvelRepair.exe under Wine: a prepared template prefix per build, one
throwaway prefix ("machine") per scenario cloned from it, the stand-in driver package
installed into it, and read-back of everything the tool may touch.

Used by scenarios.py (CTest), demo.py (make demo) and whatever else needs a machine in
a known state: see setup_healthy().
"""
import errno
import hashlib
import json
import os
import shutil
import subprocess
import sys
import threading
import time

# What the tool looks for, as the machine under test names it.
RUN_KEY = r"SOFTWARE\Microsoft\Windows\CurrentVersion\Run"
MONITOR_VALUE = "Velmora Setup"
PANEL_VALUE = "Kestrun_setup"
SERVICE = "NVSCNSVC"
TWAIN = r"C:\windows\twain_32"
PROGRAMS = {
    "monitor": TWAIN + r"\Norvale\NVMONSTA.exe",
    "service": TWAIN + r"\Norvale\NVSCNSVC.exe",
    "panel": TWAIN + r"\tessmar32\QOV\Kestrun.exe",
    "guide": TWAIN + r"\tessmar32\KLD\Haldrix.exe",
}
BACKGROUND = ("monitor", "panel", "guide")
# The command line each background program is started with, and its Run value's data.
COMMAND_LINES = {
    "monitor": PROGRAMS["monitor"] + " /Station",
    "panel": PROGRAMS["panel"],
    "guide": PROGRAMS["guide"],
}
SHORTCUT = "Faultwise Companion.lnk"

# Service configuration codes as QueryServiceConfig reports them.
OWN_PROCESS, AUTO_START, DEMAND_START, DISABLED = 0x10, 2, 3, 4
ERROR_IGNORE = 0
STOPPED, START_PENDING, RUNNING = 1, 2, 4
REG_SZ = 1
# Processes that come and go on their own in a prefix (Wine updates its menus after a
# shortcut is saved), and the probe itself.
TRANSIENT = ("winemenubuilder.exe", "conhost.exe", "e2e_probe.exe")

# The tool's console messages, as a user reads them; each ends with an empty line.
PRODUCT = "Scarvel (TWAIN)"
MESSAGES = {
    "checking": "正在检测问题，请稍候……",
    "E01": "请重新安装 %s 驱动程序。(E01)" % PRODUCT,
    "E02": "无法访问系统注册表，请使用管理员权限运行本工具。(E02)",
    "startup_item": "检测到：驱动所需的系统启动项被禁用，正在尝试修复，请稍候……",
    "E03": "修复启动项失败，请退出本机的杀毒软件，如360安全卫士等，再尝试重新运行本工具。(E03)",
    "E04": "无法访问服务管理器，请使用管理员权限运行本工具。(E04)",
    "E05": "无法访问扫描服务，请使用管理员权限运行本工具。(E05)",
    "service_missing": "检测到：驱动所需的扫描服务未安装，正在尝试修复，请稍候……",
    "service_disabled": "检测到：驱动所需的扫描服务被禁用，正在尝试修复，请稍候……",
    "E06": "修复扫描服务失败，请尝试重新安装 %s 驱动程序。(E06)" % PRODUCT,
    "E07": "启动扫描服务失败，请尝试重新安装 %s 驱动程序。(E07)" % PRODUCT,
    "restart": "正在尝试重启后台程序，请稍候……",
    "E08": "无法启动后台程序，请尝试重启操作系统来完成修复。(E08)",
    "complete": "已完成 %s 驱动程序修复。" % PRODUCT,
}
HEALTHY_OUTPUT = ("checking", "restart", "complete")
# Wine's cmd answering "pause" on an empty standard input. It lands first in a redirected
# file: the tool's own text stays in its stdout buffer until the tool exits.
PAUSE_TEXT = b"Press any key to continue... "


def expected_output(*names):
    """The exact bytes of a redirected run that printed these messages, in this order."""
    text = "".join(MESSAGES[name] + "\n\n" for name in names)
    return PAUSE_TEXT + text.replace("\n", "\r\n").encode("gbk")


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
        self.template = os.path.join(self.bed_dir, "template")
        self.template_info = os.path.join(self.bed_dir, "template.json")
        self.runs = os.path.join(self.bed_dir, "runs")


# Debian's "wine" starts the 32-bit loader whenever wine32 is installed, so that Wine's own
# programs (wineboot, reg, sc) would be 32-bit ones and fail where 32-bit code cannot run.
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
        raise BedError("32-bit Wine is not installed (no %s): make deps installs wine32:i386"
                       % WINE32)
    except OSError as e:
        if e.errno != errno.ENOEXEC:
            raise
        return ("this machine's kernel does not run 32-bit code: executing the i386 program "
                "%s failed with ENOEXEC (%s)" % (WINE32, e.strerror))
    return None


DLL_OVERRIDES = "mscoree,mshtml=;winemenubuilder.exe=d"

# Wine's messages off, but for the one that tells a process could not be set up at all:
# without a preloader (Debian's wine64 has none), now and then a new process finds the
# address of the shared user data taken, and dies before running any of its code.
QUIET = "-all,err+virtual"
STARTUP_FAILURE = b"failed to map the shared user data"
STARTUP_ATTEMPTS = 3


def wine_environment(prefix):
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


def _tree_manifest(root):
    """Size and modification time of every file of a prefix, by relative path."""
    manifest = {}
    for folder, dirs, files in os.walk(root):
        for name in files:
            path = os.path.join(folder, name)
            if os.path.islink(path):
                continue
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


def _kill_wineserver(prefix):
    if os.path.isdir(prefix):
        subprocess.run(["wineserver", "-k"], env=wine_environment(prefix),
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=60)
        subprocess.run(["wineserver", "-w"], env=wine_environment(prefix),
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=60)


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
    _kill_wineserver(prefix)
    server = _server_dir(prefix)
    if server and os.path.isdir(server):
        shutil.rmtree(server, ignore_errors=True)
    if server and booted:
        try:
            os.rmdir(os.path.dirname(server))
        except OSError:
            pass
    shutil.rmtree(prefix, ignore_errors=True)


def boot_prefix(prefix):
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
        # and its start times out now and then.
        driver = subprocess.run([WINE64, "reg", "add", r"HKCU\Software\Wine\Drivers", "/v",
                                 "Graphics", "/d", "null", "/f"], env=env,
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err,
                                timeout=120)
        subprocess.run(["wineserver", "-w"], env=env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)
    with open(errors, encoding="utf-8", errors="replace") as f:
        said = " / ".join(line.strip() for line in f.read().splitlines()[-5:]) or "nothing"
    os.remove(errors)
    if boot.returncode != 0 or not os.path.exists(os.path.join(prefix, "system.reg")):
        return "wineboot -i failed with status %d (wine said: %s)" % (boot.returncode, said)
    if driver.returncode != 0:
        return "null graphics driver not set: status %d (wine said: %s)" % (driver.returncode, said)
    return None


def make_template(build, log=print):
    """Boots the build's template prefix. Returns None when ready, or the reason why this
    build's programs cannot run on this machine (then no template is made)."""
    os.makedirs(build.bed_dir, exist_ok=True)
    if os.path.exists(build.template_info):
        os.remove(build.template_info)
    remove_machines(build)
    shutil.rmtree(os.path.join(build.bed_dir, "failed"), ignore_errors=True)
    reason = why_build_cannot_run(build)
    if reason:
        return reason
    started = time.monotonic()
    boot_prefix(build.template)
    machine = Machine(build, prefix=build.template)
    failure = machine.wine_runs_build_programs()
    if failure:
        _remove_prefix(build.template, booted=True)
        raise BedError(failure)
    machine.complete_registry()
    folders = machine.probe(["folders"])[0]
    os.remove(os.path.join(machine.home, "probe.json"))
    _kill_wineserver(build.template)
    info = {"folders": folders, "manifest": _tree_manifest(build.template),
            "digest": _tree_digest(build.template)}
    with open(build.template_info, "w", encoding="utf-8") as f:
        json.dump(info, f)
    log("template prefix ready in %.1f s: %s" % (time.monotonic() - started, build.template))
    return None


def template_changes(build, full=False):
    """Files of the template that a scenario changed (hard links share their contents);
    with full=True also compares every byte."""
    with open(build.template_info, encoding="utf-8") as f:
        info = json.load(f)
    now = _tree_manifest(build.template)
    changed = sorted(path for path in set(now) | set(info["manifest"])
                     if now.get(path) != info["manifest"].get(path))
    if full and not changed and _tree_digest(build.template) != info["digest"]:
        changed.append("(contents differ)")
    return changed


def remove_machines(build):
    """Machines left behind by a killed scenario: their wineservers too."""
    if os.path.isdir(build.runs):
        for name in os.listdir(build.runs):
            _remove_prefix(os.path.join(build.runs, name, "prefix"))
        shutil.rmtree(build.runs, ignore_errors=True)


def remove_template(build):
    _remove_prefix(build.template, booted=True)
    if os.path.exists(build.template_info):
        os.remove(build.template_info)


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


class ToolRun:
    def __init__(self, output, errors, status, seconds):
        self.output = output
        self.errors = errors
        self.status = status
        self.seconds = seconds

    @property
    def text(self):
        return decode_output(self.output)


class Machine:
    """A Wine prefix standing for one Windows machine. Cloned from the build's template (or
    from `template`, another booted prefix whose wineserver has exited) unless `prefix`
    names an existing one. Use as a context manager: on leaving, its wineserver (and every
    program in it) is killed and the prefix removed."""

    def __init__(self, build, name=None, prefix=None, keep=False, template=None):
        self.build = build
        self.keep = keep
        if prefix is None:
            self.home = os.path.join(build.runs, name)
            prefix = os.path.join(self.home, "prefix")
            _remove_prefix(prefix)
            shutil.rmtree(self.home, ignore_errors=True)
            os.makedirs(self.home)
            self._clone(prefix, template or build.template)
        else:
            self.home = os.path.dirname(os.path.abspath(prefix))
        self.prefix = os.path.abspath(prefix)
        self.env = wine_environment(self.prefix)
        self.calls = 0
        self.startup_failures = 0
        self._startup_dir = None
        if os.path.exists(build.template_info) and self.prefix != build.template:
            with open(build.template_info, encoding="utf-8") as f:
                self._startup_dir = json.load(f)["folders"]["common_startup"]

    @property
    def startup_dir(self):
        """The common Startup folder (CSIDL_COMMON_STARTUP), a C: path."""
        if self._startup_dir is None:
            self._startup_dir = self.probe(["folders"])[0]["common_startup"]
        return self._startup_dir

    def complete_registry(self):
        """Windows has the Run key in both registry views; a fresh Wine prefix lacks the
        32-bit one, which would make every 32-bit run end at E02. (Wine's "reg add" of a
        bare key also sets an empty default value: removed again.)"""
        if self.probe(["values", "32", RUN_KEY])[0] is None:
            self.reg("add", "HKLM\\" + RUN_KEY, "/f", "/reg:32")
            self.reg("delete", "HKLM\\" + RUN_KEY, "/ve", "/f", "/reg:32")
        run64, run32 = self.probe(["values", "64", RUN_KEY], ["values", "32", RUN_KEY])
        if run64 != [] or run32 != []:
            raise BedError("the new prefix's Run keys are not empty: %r %r" % (run64, run32))

    def _clone(self, prefix, template):
        """Hard links for the files Wine only reads, copies of those it rewrites."""
        if not os.path.exists(os.path.join(template, "system.reg")):
            raise BedError("no template prefix at %s (run the e2e_template test)" % template)
        os.makedirs(prefix)
        for name in os.listdir(template):
            source = os.path.join(template, name)
            if name == "drive_c":
                subprocess.run(["cp", "-al", source, prefix], check=True)
            elif os.path.isdir(source) and not os.path.islink(source):
                subprocess.run(["cp", "-a", source, prefix], check=True)
            else:
                shutil.copy2(source, prefix, follow_symlinks=False)

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def start(self):
        """Keeps the wineserver alive between calls: an automatic service is started
        again whenever a new wineserver comes up."""
        subprocess.run(["wineserver", "-p"], env=self.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60,
                       check=True)

    def close(self):
        if self.keep:
            _kill_wineserver(self.prefix)
            return
        clone = self.home.startswith(self.build.runs + os.sep)
        _remove_prefix(self.prefix, booted=not clone)
        if clone:
            shutil.rmtree(self.home, ignore_errors=True)

    # --- running programs ------------------------------------------------------------

    def wine(self, args, stdout=None, stderr=None, timeout=120, debug=None, overrides=None,
             cwd=None, env=None):
        """Runs a program in the prefix, its output to files (never a pipe: programs it
        starts keep the handles). Returns the exit status. A start that Wine itself
        failed, before any of the program's code ran, is made again. `overrides`: more
        DLL overrides, e.g. "uxtheme=n,b" to prefer a native DLL as Windows does. `cwd`:
        the program's current directory, a C: path. `env`: variables to set for this
        program only (None: to leave out), e.g. LANG and LC_ALL for another code page."""
        env = {k: v for k, v in dict(self.env, **(env or {})).items() if v is not None}
        if debug:
            env["WINEDEBUG"] = debug
        if overrides:
            env["WINEDLLOVERRIDES"] += ";" + overrides
        directory = self.unix_path(cwd) if cwd else self.home
        errors = stderr or os.path.join(self.home, "wine-%d.err" % os.getpid())
        for attempt in range(1, STARTUP_ATTEMPTS + 1):
            self.calls += 1
            out = open(stdout, "wb") if stdout else subprocess.DEVNULL
            with open(errors, "wb") as err:
                try:
                    status = _run_exactly([WINE64] + list(args), env, directory, out, err,
                                          timeout)
                finally:
                    if out is not subprocess.DEVNULL:
                        out.close()
            with open(errors, "rb") as err:
                failed_start = STARTUP_FAILURE in err.read()
            if not failed_start:
                break
            self.startup_failures += 1
            print("bed: Wine could not start %s (%s), attempt %d"
                  % (os.path.basename(args[0]), STARTUP_FAILURE.decode(), attempt))
        if not stderr:
            os.remove(errors)
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

    def reg(self, *args):
        status = self.wine(["reg"] + list(args))
        if status != 0:
            raise BedError("reg %s failed with status %d" % (" ".join(args), status))

    def sc(self, *args):
        return self.wine(["sc"] + list(args))

    def wine_runs_build_programs(self):
        """None when a stand-in of this build runs in the prefix, else why not."""
        folder = self.unix_path(r"C:\users\Public")
        program = os.path.join(folder, "wine_check.exe")
        shutil.copy(os.path.join(self.build.standins, "standin_program.exe"), program)
        open(program + ".exit", "w").close()
        err = os.path.join(self.home, "wine_check.err")
        try:
            # Wine's own errors on, for the reason; it exits with 0 even then.
            status = self.wine([program, "check"], stderr=err, timeout=60, debug="err+all")
        except subprocess.TimeoutExpired:
            status = "time-out"
        ran = os.path.exists(program + ".cmdline")
        with open(err, "rb") as f:
            said = [line.strip() for line in f.read().decode("utf-8", "replace").splitlines()]
        detail = [line for line in said if any(word in line for word in (
            "wine32 is missing", "wow64", "c0000135", "Bad EXE format"))]
        for path in (program, program + ".exit", program + ".cmdline", err):
            if os.path.exists(path):
                os.remove(path)
        if ran:
            return None
        return ("%d-bit Wine does not start this build's programs: a %d-bit stand-in did not "
                "run (status %s; wine said: %s)" % (self.build.bits, self.build.bits, status,
                                                     " / ".join(detail[:3]) or "nothing"))

    # --- files -----------------------------------------------------------------------

    def unix_path(self, windows, prefix=None):
        """The file behind a C: path, its components matched without regard to case."""
        drive, _, rest = windows.partition(":\\")
        if drive.upper() != "C":
            raise ValueError(windows)
        path = os.path.join(prefix or self.prefix, "drive_c")
        for part in [p for p in rest.split("\\") if p]:
            match = part
            if os.path.isdir(path):
                for name in os.listdir(path):
                    if name.lower() == part.lower():
                        match = name
                        break
            path = os.path.join(path, match)
        return path

    def shortcut_path(self):
        return os.path.join(self.unix_path(self.startup_dir), SHORTCUT)

    def install_package(self, missing=(), monitor_not_a_program=False,
                        service_not_a_service=False, service_behaviour=None):
        """Copies the stand-in package to its four paths, leaving out the `missing` ones."""
        program = os.path.join(self.build.standins, "standin_program.exe")
        service = os.path.join(self.build.standins, "standin_service.exe")
        for key, path in PROGRAMS.items():
            target = self.unix_path(path)
            if key in missing:
                if os.path.exists(target):
                    os.remove(target)
                continue
            os.makedirs(os.path.dirname(target), exist_ok=True)
            if key == "monitor" and monitor_not_a_program:
                with open(target, "w") as f:
                    f.write("not a program\r\n")
            elif key == "service" and not service_not_a_service:
                shutil.copy(service, target)
            else:
                shutil.copy(program, target)
        if service_behaviour:
            self.set_service_behaviour(service_behaviour)

    def set_service_behaviour(self, word):
        with open(self.unix_path(PROGRAMS["service"]) + ".behaviour", "w") as f:
            f.write(word + "\n")

    def record_lines(self, key, suffix=".cmdline"):
        """Lines a stand-in recorded: command lines (.cmdline) or service starts (.starts)."""
        path = self.unix_path(PROGRAMS[key]) + suffix
        if not os.path.exists(path):
            return []
        with open(path, encoding="utf-8", errors="replace") as f:
            return f.read().splitlines()

    # --- registry --------------------------------------------------------------------

    def run_values(self, view=None):
        """{name: value record} of the Run key in a view (the tool's by default); None
        when the key is missing."""
        values = self.probe(["values", view or self.build.view, RUN_KEY])[0]
        return None if values is None else {v["name"]: v for v in values}

    def set_run_value(self, name, data, view=None):
        self.reg("add", "HKLM\\" + RUN_KEY, "/v", name, "/t", "REG_SZ", "/d", data, "/f",
                 "/reg:" + (view or self.build.view))

    def delete_run_value(self, name, view=None):
        self.reg("delete", "HKLM\\" + RUN_KEY, "/v", name, "/f", "/reg:" + (view or self.build.view))

    def delete_run_key(self, view=None):
        self.reg("delete", "HKLM\\" + RUN_KEY, "/f", "/reg:" + (view or self.build.view))

    # --- services --------------------------------------------------------------------

    def service(self, name=SERVICE):
        return self.probe(["service", name])[0]

    def create_service(self, name=SERVICE, binary=None, start=AUTO_START, display=SERVICE):
        """Installs a service the way the package's installer does."""
        status = self.sc("create", name, "binpath=", binary or PROGRAMS["service"],
                         "start=", "demand", "error=", "ignore", "DisplayName=", display)
        if status != 0:
            raise BedError("sc create %s failed with status %d" % (name, status))
        if start != DEMAND_START:
            self.set_start_type(start, name)

    def set_start_type(self, start, name=SERVICE):
        result = self.probe(["start-type", name, str(start)])[0]
        if not result["ok"]:
            raise BedError("start type %d of %s not set: %r" % (start, name, result))

    def wait_service(self, state, name=SERVICE, timeout=30):
        deadline = time.monotonic() + timeout
        while True:
            info = self.service(name)
            if info.get("state") == state or time.monotonic() > deadline:
                return info
            time.sleep(0.2)

    def start_service(self, name=SERVICE):
        log = os.path.join(self.home, "sc-start.txt")
        status = self.wine(["sc", "start", name], stdout=log, stderr=log)
        info = self.wait_service(RUNNING, name)
        if info.get("state") == STOPPED:
            # Seen once on a loaded machine: the start request went nowhere. Asked again.
            print("bed: service %s did not start (sc start status %d), trying again"
                  % (name, status))
            status = self.wine(["sc", "start", name], stdout=log, stderr=log)
            info = self.wait_service(RUNNING, name)
        if info.get("state") != RUNNING:
            with open(log, encoding="utf-8", errors="replace") as f:
                said = " ".join(f.read().split())
            raise BedError("service %s not running: %r; sc start: status %d, %s; starts: %r"
                           % (name, info, status, said, self.record_lines("service", ".starts")))

    def stop_service(self, name=SERVICE):
        self.sc("stop", name)
        info = self.wait_service(STOPPED, name)
        if info.get("state") != STOPPED:
            raise BedError("service %s not stopped: %r" % (name, info))

    # --- programs and shortcut ---------------------------------------------------------

    def kill(self, exe_name, timeout=20):
        """Ends every process of this exact executable name, through the 64-bit probe."""
        result = self.probe(["kill", exe_name])[0]
        deadline = time.monotonic() + timeout
        while exe_name in self.processes() and time.monotonic() < deadline:
            time.sleep(0.2)
        if exe_name in self.processes():
            raise BedError("%s still running after kill: %r" % (exe_name, result))

    def processes(self):
        """Executable names of the processes running now, the probe itself left out."""
        names = self.probe(["processes"])[0]
        return sorted(n for n in names if n.lower() not in TRANSIENT)

    def launch(self, command_line, record=None, timeout=20):
        """Starts a program with this exact command line; waits until the stand-in at
        `record` (a key of PROGRAMS) has recorded it."""
        before = len(self.record_lines(record)) if record else 0
        result = self.probe(["launch", command_line])[0]
        if not result["ok"]:
            raise BedError("could not launch %s: %r" % (command_line, result))
        if record:
            self.wait_records(record, before + 1, timeout)

    def wait_records(self, key, count, timeout=20):
        deadline = time.monotonic() + timeout
        while len(self.record_lines(key)) < count and time.monotonic() < deadline:
            time.sleep(0.1)
        return self.record_lines(key)

    def start_background(self, keys=BACKGROUND):
        for key in keys:
            self.launch(COMMAND_LINES[key], record=key)

    def create_shortcut(self, target=PROGRAMS["guide"]):
        link = self.startup_dir + "\\" + SHORTCUT
        result = self.probe(["shortcut", target, link])[0]
        if not result["ok"] or not os.path.exists(self.shortcut_path()):
            raise BedError("shortcut not created: %r" % result)

    def shortcut_target(self):
        """The local path a .lnk points at, as lnkinfo reads it."""
        out = os.path.join(self.home, "lnkinfo.txt")
        with open(out, "wb") as f:
            subprocess.run(["lnkinfo", self.shortcut_path()], stdout=f,
                           stderr=subprocess.STDOUT, timeout=60)
        with open(out, encoding="utf-8", errors="replace") as f:
            for line in f:
                name, _, value = line.partition(":")
                if name.strip() == "Local path":
                    return value.strip()
        return None

    # --- whole machine -----------------------------------------------------------------

    def make_healthy(self, programs=True):
        """Package installed, both Run values, service installed (as the installer does)
        and running, shortcut present, and (unless told not to) the three background
        programs running."""
        self.install_package()
        self.set_run_value(MONITOR_VALUE, COMMAND_LINES["monitor"])
        self.set_run_value(PANEL_VALUE, COMMAND_LINES["panel"])
        self.create_service()
        self.start_service()
        self.create_shortcut()
        if programs:
            self.start_background()

    def snapshot(self):
        """Everything the tool may change, in one comparable record."""
        results = self.probe(["service", SERVICE], ["service", "OTHERSVC"], ["processes"],
                             ["values", "64", RUN_KEY], ["values", "32", RUN_KEY])
        shot = {
            "service": results[0],
            "other_service": results[1],
            # The service's own process is part of its state (pid) above.
            "processes": sorted(n for n in results[2]
                                if n.lower() not in TRANSIENT + ("nvscnsvc.exe",)),
            "run64": results[3],
            "run32": results[4],
            "startup_folder": sorted(os.listdir(self.unix_path(self.startup_dir))),
            "shortcut": self._entry_state(self.shortcut_path()),
            "service_starts": self.record_lines("service", ".starts"),
        }
        for key in BACKGROUND:
            shot["cmdline_" + key] = self.record_lines(key)
        return shot

    @staticmethod
    def _entry_state(path):
        if os.path.isdir(path):
            return {"kind": "folder", "mtime": os.stat(path).st_mtime_ns,
                    "entries": sorted(os.listdir(path))}
        if os.path.exists(path):
            with open(path, "rb") as f:
                data = f.read()
            return {"kind": "file", "mtime": os.stat(path).st_mtime_ns,
                    "sha256": hashlib.sha256(data).hexdigest()}
        return None


def setup_healthy(build_dir, name="healthy", keep=False):
    """A started Machine of this build in the healthy state (for reuse, e.g. a benchmark):
    `with setup_healthy("build/win64") as machine: machine.run_tool()`. Needs the build's
    template (make_template) first. The caller closes it (context manager or close())."""
    build = Build(build_dir)
    machine = Machine(build, name, keep=keep)
    try:
        machine.start()
        machine.make_healthy()
    except BaseException:
        machine.close()
        raise
    return machine


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
