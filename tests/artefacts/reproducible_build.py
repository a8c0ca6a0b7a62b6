#!/usr/bin/python3
"""Builds ScarvelRepair.exe twice from clean in two unrelated directories and requires the
two programs, and the test bed's own, to be identical byte for byte."""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from run import Checks  # noqa: E402


def build(args, binary_dir):
    configure = [args.cmake, "-S", args.source, "-B", binary_dir, "-G", args.generator,
                 f"-DCMAKE_TOOLCHAIN_FILE={args.toolchain}", f"-DCMAKE_BUILD_TYPE={args.build_type}",
                 "-DBUILD_TESTING=OFF"]
    compile_ = [args.cmake, "--build", binary_dir, "--target", "ScarvelRepair", "-j", str(args.jobs)]
    for cmd in (configure, compile_):
        r = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        if r.returncode != 0:
            print(r.stdout)
            sys.exit(f"FAIL: '{' '.join(cmd)}' exited with {r.returncode}")
    exe = os.path.join(binary_dir, "ScarvelRepair.exe")
    if not os.path.isfile(exe):
        sys.exit(f"FAIL: the build in {binary_dir} made no ScarvelRepair.exe")
    with open(exe, "rb") as f:
        return f.read()


def differences(a, b):
    if len(a) != len(b):
        return f"sizes differ: {len(a)} and {len(b)} bytes"
    offsets = [i for i in range(len(a)) if a[i] != b[i]]
    if not offsets:
        return None
    return f"{len(offsets)} byte(s) differ, first at " + ", ".join(f"{o:#x}" for o in offsets[:8])


def main():
    p = argparse.ArgumentParser(description=__doc__)
    p.add_argument("--cmake", required=True)
    p.add_argument("--generator", required=True)
    p.add_argument("--source", required=True)
    p.add_argument("--toolchain", required=True)
    p.add_argument("--build-type", required=True)
    p.add_argument("--reference", required=True, help="the test bed's ScarvelRepair.exe")
    p.add_argument("--jobs", type=int, default=2)
    args = p.parse_args()

    # Two roots of different depth and length, so an embedded build path would show.
    root_a = tempfile.mkdtemp(prefix="scarvel-repro-a-")
    root_b = tempfile.mkdtemp(prefix="scarvel-repro-second-build-")
    dir_a = os.path.join(root_a, "a")
    dir_b = os.path.join(root_b, "deeper", "b")
    started = time.monotonic()
    check = Checks()
    try:
        first = build(args, dir_a)
        second = build(args, dir_b)
        print(f"built {dir_a} and {dir_b} in {time.monotonic() - started:.1f} s")
        diff = differences(first, second)
        check.that(not diff, f"two clean builds ({dir_a}, {dir_b}) are identical: {len(first)} bytes",
                   diff)
        with open(args.reference, "rb") as f:
            diff = differences(first, f.read())
        check.that(not diff, f"the test bed's {args.reference} is a clean build of the current sources",
                   f"{diff}; rebuild the test bed or look for build-dependent output")
    finally:
        if check.failures:
            print("kept for inspection: " + root_a + " " + root_b)
        else:
            shutil.rmtree(root_a, ignore_errors=True)
            shutil.rmtree(root_b, ignore_errors=True)
    return check.finish("reproducible build")

if __name__ == "__main__":
    sys.exit(main())
