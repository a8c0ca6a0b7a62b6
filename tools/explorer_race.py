#!/usr/bin/env python3
"""make explorer-race: the race in Wine's rpcrt4 that can hang Explorer for good, and the
in-process suite's hold that keeps it away (docs/testing.md, "When Wine's Explorer stops
answering").

    explorer_race.py BUILD_DIR [FALLBACK_BUILD_DIR]    (make explorer-race: build/win64)

Three machines at once, with two busy loops beside them, each run the suite's disabled test
ExplorerRaceTest.DISABLED_ExplorerAnswersWalkAfterWalk: the tool's walk through Explorer's
objects, each released at once, 1000 times. First without the hold, then with it. Each
machine's line says at which walk Explorer stopped answering, or that it answered every
walk. A measure, not part of make test: it judges nothing and exits 0 once it has run.
"""
import os
import re
import signal
import subprocess
import sys
import threading
import time

# The source tree stays as checked out.
sys.dont_write_bytecode = True
TESTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests")
sys.path[:0] = [os.path.join(TESTS, "e2e"), os.path.join(TESTS, "release")]
import bed  # noqa: E402

MACHINES = 3
BUSY_LOOPS = 2
# Each walk takes well under a second even under load, so the 1000 stay well inside the
# suite's 300 s for one test; a hang ends the test within 10 s.
SECONDS = 900
TEST = "ExplorerRaceTest.DISABLED_ExplorerAnswersWalkAfterWalk"


def tests_program(build):
    return os.path.join(build.dir, "tests", "inprocess", "inprocess_tests.exe")


# What the suite writes of a test that did not pass, and the machine's line for it.
ENDINGS = (
    (r"Explorer stopped answering at walk (\d+)", "Explorer stopped answering at walk %s"),
    (r"Explorer refused at walk (\d+)", "Explorer refused a question at walk %s"),
    (r"took longer than (\d+) s", "the walks took longer than the suite's %s s for a test"),
)


def outcome(output):
    """One machine's line, from what the suite wrote."""
    for pattern, line in ENDINGS:
        found = re.search(pattern, output)
        if found:
            return line % found.group(1)
    if "[  PASSED  ] 1 test" in output:
        return "every walk answered"
    failures = [line for line in output.splitlines() if "Failure" in line or "Which is" in line]
    return "no outcome: " + (" ".join(failures[-2:]) or "the suite wrote no result")


def run_one(build, source, name, hold, results):
    """One machine's walks; its line in `results`, whatever happens to it."""
    started = time.time()
    try:
        with bed.Machine(build, name, source=source) as machine:
            machine.env.update(SCARVEL_STANDINS=bed.windows_path(build.standins), WINEPATH="")
            if hold:
                machine.env["SCARVEL_HOLD_EXPLORER"] = "1"
            out, err = (os.path.join(machine.home, "tests" + end) for end in (".out", ".txt"))
            machine.wine([tests_program(build), "--gtest_also_run_disabled_tests",
                          "--gtest_filter=" + TEST], stdout=out, stderr=err, timeout=SECONDS)
            with open(out, encoding="utf-8", errors="replace") as f_out, \
                    open(err, encoding="utf-8", errors="replace") as f_err:
                line = outcome(f_out.read() + f_err.read())
    except Exception as e:  # one machine's failure is its line, not the measure's end
        line = "did not finish: %s: %s" % (type(e).__name__, e)
    results[name] = "%s (%.0f s)" % (line, time.time() - started)


def run_round(build, source, hold):
    busy = [subprocess.Popen([sys.executable, "-c", "while True: pass"])
            for _ in range(BUSY_LOOPS)]
    results = {}
    try:
        names = ["race-%s-%d" % ("held" if hold else "unheld", i + 1) for i in range(MACHINES)]
        threads = [threading.Thread(target=run_one, args=(build, source, name, hold, results))
                   for name in names]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        for loop in busy:
            loop.kill()
            loop.wait()
    for name in names:
        print("  %s: %s" % (name, results.get(name, "did not run (its error is above)")))


def on_terminate(signum, frame):
    raise KeyboardInterrupt("terminated")


def main(argv):
    build, said = bed.build_to_run(*argv[1:3])
    if said:
        print("explorer-race: " + said)
    if build is None:
        return 2
    print("explorer-race: %d machines at once, %d busy loops beside them, %s (%d-bit)"
          % (MACHINES, BUSY_LOOPS, os.path.relpath(tests_program(build)), build.bits))
    # So that an end asked for still ends the busy loops and removes the machines.
    signal.signal(signal.SIGTERM, on_terminate)
    source = bed.Machine(build, "race", fresh=True)
    try:
        for hold in (False, True):
            print("%s the suite's hold of Explorer's objects:" % ("With" if hold else "Without"))
            run_round(build, source.prefix, hold)
    finally:
        source.close()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
