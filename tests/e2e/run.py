#!/usr/bin/env python3
"""The runner of every Wine test of CTest, and of the release's checks, one entry per call:

    run.py BUILD_DIR SECONDS ENTRY [ARGS...]

ENTRY is "template" (boots the build's template prefix), "template_unchanged" (checks that
no test changed it, then removes it), "inprocess PROGRAM [ARGS...]" (the in-process test
program on a machine of its own), or a scenario of scenarios.py or tests/release, each on a
machine cloned from the template. Every check of an entry is collected, so that one failure
does not hide the next. The runner ends an entry that outlives SECONDS (below CTest's
time-out, so that its machine is still removed), exits 77 (skip) where this machine's
kernel runs no 32-bit code for a 32-bit build, and keeps the output files of a failed
entry in <build>/tests/e2e/failed/<entry>/.
"""
import os
import shutil
import signal
import sys
import time
import traceback

# The source tree stays as checked out.
sys.dont_write_bytecode = True
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "release"))
import bed  # noqa: E402
import install_deps_test  # noqa: E402
import make_release_test  # noqa: E402
import material  # noqa: E402
import runner_test  # noqa: E402
import scenarios  # noqa: E402
import verify_release_test  # noqa: E402

SKIP = 77


class Checks:
    """Collects every check of an entry, so that one failure does not hide the next."""

    def __init__(self):
        self.failures = []
        self.passed = 0
        self.case = ""

    def begin(self, case):
        self.case = case
        print("--- " + case)

    def that(self, condition, what, detail=""):
        if condition:
            self.passed += 1
            print("  ok    " + what)
        else:
            self.failures.append("[%s] %s" % (self.case, what))
            print("  FAIL  " + what + ("\n        " + detail.replace("\n", "\n        ")
                                       if detail else ""))
        return condition

    def equal(self, actual, expected, what):
        return self.that(actual == expected, what,
                         "expected: %r\nactual:   %r" % (expected, actual))

    def output(self, run, *messages):
        """The run's redirected output is exactly these messages, then the pause's prompt."""
        expected = bed.expected_output(*messages)
        text, prompt = bed.split_pause(run.output)
        self.that(text == expected, "output is exactly: " + ", ".join(messages),
                  "expected:\n%s\nactual:\n%s\nactual bytes: %r\nran %.1f s, stderr: %r"
                  % (bed.decode_output(expected), run.text, run.output, run.seconds,
                     run.errors[-2000:]))
        self.that(prompt, "then the pause's prompt", repr(run.output[-80:]))
        self.equal(run.status, 0, "exit status 0")

    def finish(self, what, seconds=None):
        """Prints the tally and every failure; the exit status: 1 when any check failed."""
        print("%s: %d checks passed, %d failed%s" % (what, self.passed, len(self.failures),
                                                   "" if seconds is None else ", %.1f s" % seconds))
        for failure in self.failures:
            print("FAILED: " + failure)
        return 1 if self.failures else 0

    def unchanged(self, before, after, what, but=()):
        """Every part of two machine snapshots is equal, the parts in `but` aside."""
        changed = sorted(key for key in set(before) | set(after)
                         if key not in but and before.get(key) != after.get(key))
        self.that(not changed, what + (" (apart from %s)" % ", ".join(but) if but else ""),
                  "\n".join("%s:\n  before: %r\n  after:  %r" % (k, before.get(k), after.get(k))
                            for k in changed))


class Deadline(Exception):
    pass


def template(build, check):
    shutil.rmtree(os.path.join(build.bed_dir, "failed"), ignore_errors=True)
    reason = bed.make_template(build)
    check.that(reason is None, "the template prefix booted and runs the build's programs",
               reason or "")
    line = b"wine: " + bed.STARTUP_FAILURE + b": c0000018\n"
    noise = b"0024:err:virtual:map_fixed_area out of memory for 0x7ffe0000-0x7ffe1000\n"
    # name: (status, output written, standard error, made again)
    starts = {"only Wine's line": (1, False, line, True),
              "Wine's memory manager, then its line": (1, False, noise + line, True),
              "the line among the program's own": (1, False, b"test failed\n" + line, False),
              "the line, and output written": (1, True, line, False),
              "the line, and status 0": (0, False, line, False)}
    made_again = [what for what, (status, wrote, said, _) in starts.items()
                  if bed.failed_to_start(status, wrote, said)]
    check.equal(made_again, [what for what, row in starts.items() if row[3]],
                "Wine starts made again only where the program never ran")


def template_unchanged(build, check):
    if not os.path.exists(build.template_info):
        check.that(False, "a template prefix to check: the e2e_template test did not make one")
        bed.remove_machines(build)
        return
    changed = bed.template_changes(build, full=True)
    check.equal(changed, [], "no test changed the template's files")
    leftovers = os.listdir(build.runs) if os.path.isdir(build.runs) else []
    check.equal(leftovers, [], "every machine removed")
    bed.remove_machines(build)
    # Every run of the fixture boots a new one: the 700 MB need not stay in the build.
    bed.remove_template(build)


def inprocess(machine, check, program, *args):
    """The in-process test program (GoogleTest) under Wine, its output through files."""
    machine.env.update(SCARVEL_STANDINS=bed.windows_path(machine.build.standins),
                       SCARVEL_TOOL=bed.windows_path(machine.build.tool), WINEPATH="")
    listing = os.path.join(machine.home, "list.out")
    machine.wine([program, "--gtest_list_tests"], stdout=listing,
                 stderr=os.path.join(machine.home, "list.err"))
    with open(listing, encoding="utf-8", errors="replace") as f:
        listed = [line for line in f if line[:1].isalpha()]
    if not check.that(listed, "Wine starts %s" % os.path.basename(program)):
        return
    out, err = (os.path.join(machine.home, "tests" + suffix) for suffix in (".out", ".txt"))
    status = machine.wine([program] + list(args), stdout=out, stderr=err, timeout=24 * 3600)
    running = machine.processes()
    check.that(any("wineserver" in line for line in running)
               and any("explorer.exe" in line for line in running),
               "the machine's process list names its wineserver and Explorer", "\n".join(running))
    with open(out, encoding="utf-8", errors="replace") as f_out, \
            open(err, encoding="utf-8", errors="replace") as f_err:
        print(f_out.read() + f_err.read()[-4000:])
    check.equal(status, 0, "every in-process test passed")


# Entries on a machine of their own, cloned from the template.
ON_MACHINE = dict(scenarios.SCENARIOS, **runner_test.SCENARIOS, **make_release_test.SCENARIOS,
                  inprocess=inprocess)
# Entries on the build alone: the template's own, and the release's, which need no Wine.
RELEASE_CHECKS = dict(material.CHECKS, **make_release_test.CHECKS, **verify_release_test.CHECKS,
                      **install_deps_test.CHECKS)
ON_BUILD = dict(RELEASE_CHECKS, template=template, template_unchanged=template_unchanged)
WITHOUT_WINE = tuple(RELEASE_CHECKS)


def run_entry(build, name, args, check):
    """Runs one entry; its checks go to `check`."""
    if name in ON_BUILD:
        ON_BUILD[name](build, check, *args)
        return
    with bed.Machine(build, name) as machine:
        try:
            ON_MACHINE[name](machine, check, *args)
        except BaseException:
            keep_logs(build, name, machine)
            raise
        if check.failures:
            keep_logs(build, name, machine)
        if machine.startup_failures:
            print("bed: %d Wine starts died before the program ran (each printed above)"
                  % machine.startup_failures)
        if machine.starts_made_again:
            print("bed: %d starts inside Wine made again by the tests (each printed above)"
                  % machine.starts_made_again)
    check.equal(bed.template_changes(build), [], "template prefix unchanged")


def keep_logs(build, name, machine):
    # The processes first, before a copy that fails could hide them; neither may replace the
    # entry's own failure.
    try:
        print("the machine's processes as it failed (pid, state, kernel wait, age, command):\n  "
              + "\n  ".join(machine.processes()))
        logs = os.path.join(build.bed_dir, "failed", name)
        machine.keep_logs(logs)
        print("logs of the failed entry: " + logs)
    except Exception as e:  # a diagnostic only
        print("logs of the failed entry not kept: %s" % e)


def main(argv):
    if len(argv) < 4 or argv[3] not in set(ON_MACHINE) | set(ON_BUILD):
        print(__doc__ + "\nentries: " + ", ".join(sorted(set(ON_MACHINE) | set(ON_BUILD))))
        return 2
    build, seconds, name, args = bed.Build(argv[1]), int(argv[2]), argv[3], argv[4:]
    if name not in WITHOUT_WINE:
        reason = bed.why_build_cannot_run(build)
        if reason:
            print("SKIP: " + reason)
            return SKIP

    def on_deadline(signum, frame):
        raise Deadline("%s took longer than %d s" % (name, seconds))

    check = Checks()
    signal.signal(signal.SIGALRM, on_deadline)
    signal.signal(signal.SIGTERM, on_deadline)
    signal.alarm(seconds)
    started = time.monotonic()
    try:
        run_entry(build, name, args, check)
    except Exception:
        check.failures.append("%s aborted" % name)
        traceback.print_exc()
    finally:
        signal.alarm(0)
    return check.finish(name, time.monotonic() - started)


if __name__ == "__main__":
    sys.stdout.reconfigure(line_buffering=True)
    sys.exit(main(sys.argv))
