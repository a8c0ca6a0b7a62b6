"""release/install-deps.sh against fakes of apt-get, dpkg and dpkg-query first on PATH (they
record their calls; nothing is installed): a mirror in mid-sync, a package that installs only
with the failed suite pinned, one that cannot be installed, and a kernel with and without
32-bit code."""
import os
import shutil
import subprocess

import bed

SYNCING = ("E: Failed to fetch http://deb.debian.org/debian-security/dists/bookworm-security/main/"
           "binary-i386/Packages.xz  File has unexpected size (30 != 20). Mirror sync in progress?")
BROKEN = (" wine32:i386 : Depends: libssl3:i386 (>= 3.0.0) but it is not going to be installed",
          "E: Unable to correct problems, you have held broken packages.")
PIN = "Package: *\nPin: release n=bookworm-security\nPin-Priority: 100\n\n"
FAKES = {
    "apt-get": """echo "apt-get $*" >>"$FAKE_LOG"
case " $* " in *" update "*) [ "$FAKE_UPDATE" = ok ] || { echo '%s'; exit 100; }; exit 0 ;; esac
prefs=$(printf '%%s\\n' "$@" | sed -n 's/^Dir::Etc::Preferences=//p')
[ -z "$prefs" ] || cp "$prefs" "$FAKE_LOG.pin"
[ "$FAKE_INSTALL" = ok ] || { [ "$FAKE_INSTALL" = pinned ] && [ -n "$prefs" ]; } && exit 0
printf '%%s\\n' 'The following packages have unmet dependencies:' '%s' '%s'; exit 100""" % (
        (SYNCING,) + BROKEN),
    "dpkg": 'echo "dpkg $*" >>"$FAKE_LOG"',
    "dpkg-query": "exit 1",
    "sleep": 'echo "sleep $*" >>"$FAKE_LOG"',
    # Run as another user, the script would reach the real apt through sudo: never here.
    "sudo": 'exec "$@"',
    "kernel": '[ "$FAKE_KERNEL" = 64 ] && { echo "Exec format error" >&2; exit 126; }; exit 42',
}


def install_deps(work, check, kernel="32", update="syncing", install="ok"):
    """A run of the script: (its exit status, its output, the fakes' calls, the pin file)."""
    shutil.rmtree(work, ignore_errors=True)
    fakes, tmp = os.path.join(work, "bin"), os.path.join(work, "tmp")
    os.makedirs(fakes)
    os.makedirs(tmp)
    for name, body in FAKES.items():
        with open(os.path.join(fakes, name), "w") as f:
            f.write("#!/bin/sh\n" + body + "\n")
        os.chmod(os.path.join(fakes, name), 0o755)
    log = os.path.join(work, "calls")
    env = dict(os.environ, PATH=fakes + ":" + os.environ["PATH"], TMPDIR=tmp, FAKE_LOG=log,
               FAKE_UPDATE=update, FAKE_INSTALL=install, FAKE_KERNEL=kernel)
    if kernel != "this":
        env["INSTALL_DEPS_RUN_PROBE"] = os.path.join(fakes, "kernel")
    done = subprocess.run(["sh", os.path.join(bed.SOURCE, "release", "install-deps.sh")], env=env,
                          stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=60)
    check.equal(os.listdir(tmp), [], "nothing left in TMPDIR")
    calls = open(log).read().splitlines() if os.path.exists(log) else []
    pin = open(log + ".pin").read() if os.path.exists(log + ".pin") else None
    return done.returncode, done.stdout + done.stderr, calls, pin


def installs(calls):
    return [call for call in calls if " install " in call]


def check_install_deps(build, check):
    work = os.path.join(build.dir, "tests", "release", "install-deps")
    check.begin("a mirror in mid-sync: update tried three times, the install goes on")
    status, said, calls, pin = install_deps(work, check)
    check.equal(status, 0, "exit status 0")
    check.equal([c for c in calls if "update" in c or "sleep" in c],
                ["apt-get update -qq", "sleep 20"] * 2 + ["apt-get update -qq"],
                "update, a pause, update, a pause, update")
    check.that(len(installs(calls)) == 1 and " wine32:i386 " in installs(calls)[0] + " "
               and "dpkg --add-architecture i386" in calls and pin is None,
               "i386 added, every package installed at once, nothing pinned", "\n".join(calls))
    check.begin("a package that installs only with the failed suite pinned below the others")
    status, said, calls, pin = install_deps(work, check, install="pinned")
    check.equal((status, len(installs(calls)), pin), (0, 2, PIN),
                "exit status 0 after a second install with bookworm-security pinned to 100")
    check.that("pinned below the others: bookworm-security" in said, "it says so", said)
    check.begin("a package that cannot be installed")
    status, said, calls, pin = install_deps(work, check, install="broken")
    last = said.strip().splitlines()[-1]
    check.equal(status, 1, "exit status 1")
    check.equal(last, "install-deps: cannot install wine32:i386: %s %s; a Debian mirror is "
                "syncing: run `make deps` again in an hour" % tuple(b.strip() for b in BROKEN),
                "the last line names the package, apt's cause and what to do")
    for kernel, runs in (("64", False), ("this", bed.why_build_cannot_run(
            bed.Build(os.path.join(os.path.dirname(build.dir), "win32"))) is None)):
        check.begin("a kernel that %s 32-bit code" % ("runs" if runs else "does not run"))
        status, said, calls, pin = install_deps(work, check, kernel=kernel, update="ok")
        check.equal((status, "dpkg --add-architecture i386" in calls,
                     " wine32:i386" in " ".join(installs(calls))), (0, runs, runs),
                    "exit status 0; i386 and wine32:i386 only where 32-bit code runs")
        check.equal("this kernel runs no 32-bit code" in said, not runs, "one line says so")
    check.begin("the bed where no 32-bit Wine is installed asks the script's probe")
    saved = dict(os.environ), bed.WINE32
    try:
        bed.WINE32 = os.path.join(work, "no-wine32")
        win32 = bed.Build(os.path.join(work, "win32"))
        os.environ.update(INSTALL_DEPS_RUN_PROBE=os.path.join(work, "bin", "kernel"), FAKE_KERNEL="64")
        check.that(bed.why_build_cannot_run(win32), "a kernel without 32-bit code: a skip")
        os.environ["FAKE_KERNEL"] = "32"
        try:
            bed.why_build_cannot_run(win32)
            check.that(False, "a kernel with 32-bit code: the suites fail")
        except bed.BedError:
            check.that(True, "a kernel with 32-bit code: the suites fail")
    finally:
        os.environ.clear()
        os.environ.update(saved[0])
        bed.WINE32 = saved[1]
    shutil.rmtree(work, ignore_errors=True)


CHECKS = {"install_deps": check_install_deps}
