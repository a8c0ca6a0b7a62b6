#!/usr/bin/env python3
"""The closing lines of make test: each CTest entry that did not run, each GoogleTest check
that skipped inside an entry, and every start that was made again, each with its reason, read
from the JUnit file each build's CTest run wrote (<build>/ctest.xml), so that a green run is
read as no more than it is. Judges nothing: exits 0.

    summary.py BUILD_DIR...
"""
import os
import re
import sys
import xml.etree.ElementTree as ElementTree

GTEST_SKIPPED = re.compile(r"^\[  SKIPPED \] (\S+) \(\d+ ms\)$")
GTEST_REASON_START = re.compile(r":\d+: Skipped$")
# What the bed prints of each start it made again: a boot, a start from Linux, or one the
# tests' machine library made again inside Wine.
MADE_AGAIN = re.compile(r"^bed: .*, attempt \d+")


def skipped_checks(lines):
    """(check, reason) of each GoogleTest check that skipped: the reason is its last line."""
    found, reason = [], None
    for line in lines:
        if GTEST_REASON_START.search(line):
            reason = []
        elif GTEST_SKIPPED.match(line):
            found.append((GTEST_SKIPPED.match(line).group(1),
                          ([r for r in reason or [] if r.strip()] or ["(no reason given)"])[-1]))
            reason = None
        elif line.startswith("[ RUN      ]"):
            reason = None
        elif reason is not None:
            reason.append(line)
    return found


def entry_lines(build_name, case):
    name = case.get("name")
    out = case.findtext("system-out") or ""
    lines = out.splitlines()
    said = []
    if case.get("status") == "notrun":
        reason = [line[len("SKIP: "):] for line in lines if line.startswith("SKIP: ")]
        skipped = case.find("skipped")
        said.append("did not run: %s %s: %s" % (build_name, name, reason[0] if reason else
                    skipped.get("message", "") if skipped is not None else "(no reason given)"))
    for check, reason in skipped_checks(lines):
        said.append("skipped: %s %s: %s: %s" % (build_name, name, check, reason))
    for line in lines:
        if MADE_AGAIN.match(line):
            said.append("made again: %s %s: %s" % (build_name, name, line[:300]))
    return said


def main(argv):
    said = []
    for build_dir in argv[1:]:
        name = os.path.basename(os.path.normpath(build_dir))
        report = os.path.join(build_dir, "ctest.xml")
        try:
            cases = ElementTree.parse(report).getroot().iter("testcase")
        except (OSError, ElementTree.ParseError) as e:
            said.append("summary: no report of %s's CTest run (%s)" % (name, e))
            continue
        for case in cases:
            said += entry_lines(name, case)
    again = sum(line.startswith("made again:") for line in said)
    if again:
        said.append("%d starts made again in all (each named above)" % again)
    print("\n%s" % "\n".join(said) if said else "\nevery entry ran; no check skipped, no start made again")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
