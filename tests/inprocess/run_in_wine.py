#!/usr/bin/env python3
"""Runs the in-process test program under Wine in a throwaway prefix:

    run_in_wine.py BUILD_DIR PROGRAM STANDINS [ARGS...]

Output goes through files: programs the tests launch keep Wine's standard handles, so a
pipe to CTest would never reach its end. Exit 77 (skip) only where this machine cannot run
the build's programs at all (a 32-bit build on a kernel without 32-bit code).
"""
import os
import shutil
import sys
import tempfile

# The source tree stays as checked out.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "e2e"))
import bed  # noqa: E402

SKIP = 77
# Below the test's CTest TIMEOUT, so that a hung run still removes its prefix.
RUN_SECONDS = 540


def read(path):
    if not os.path.exists(path):
        return ""
    with open(path, encoding="utf-8", errors="replace") as f:
        return f.read()


def main(argv):
    if len(argv) < 4:
        print(__doc__)
        return 2
    build = bed.Build(argv[1])
    program, standins = os.path.abspath(argv[2]), os.path.abspath(argv[3])
    reason = bed.why_build_cannot_run(build)
    if reason:
        print("SKIPPED: " + reason)
        return SKIP
    work = tempfile.mkdtemp(prefix="scarvel-inprocess.")
    prefix = os.path.join(work, "prefix")
    machine = bed.Machine(build, prefix=prefix)
    try:
        bed.boot_prefix(prefix)
        machine.env.update(SCARVEL_STANDINS=bed.windows_path(standins), WINEPATH="")
        listing, errors = os.path.join(work, "list"), os.path.join(work, "list.err")
        machine.wine([program, "--gtest_list_tests"], stdout=listing, stderr=errors)
        if not any(line[:1].isalpha() for line in read(listing).splitlines()):
            print("FAILED: Wine did not start %s:\n%s%s"
                  % (os.path.basename(program), read(listing), read(errors)[-2000:]))
            return 1
        out, errors = os.path.join(work, "out"), os.path.join(work, "out.err")
        status = machine.wine([program] + argv[4:], stdout=out, stderr=errors,
                              timeout=RUN_SECONDS)
        print(read(out) + read(errors)[-4000:])
        return status
    finally:
        machine.close()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.stdout.reconfigure(line_buffering=True)
    sys.exit(main(sys.argv))
