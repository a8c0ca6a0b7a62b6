#!/bin/sh
# Runs a test program under Wine in a throwaway prefix: run_in_wine.sh PROGRAM STANDINS [ARGS]
# Output goes through a file: programs the tests launch keep Wine's standard handles, so a
# pipe to CTest would never reach its end. Exit 77 (skip) when Wine cannot start the
# program at all, as 32-bit programs on a machine without 32-bit Wine.
set -u
program=$(realpath "$1") standins=$(realpath "$2")
shift 2
work=$(mktemp -d /tmp/scarvel-inprocess.XXXXXX)
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
cleanup() { wineserver -k >/dev/null 2>&1; rm -rf "$work"; }
trap cleanup EXIT INT TERM
wine wineboot -i </dev/null >/dev/null 2>&1
# Without a display, a service waits for a desktop that never comes, and its start times
# out, unless Wine is told to use its null graphics driver.
wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f </dev/null >/dev/null 2>&1
# The prefix's daemons started before that setting keep waiting; start them afresh.
wineserver -w
wine "$program" --gtest_list_tests </dev/null >"$work/list" 2>&1
if ! grep -q '^[A-Za-z]' "$work/list"; then
    echo "SKIPPED: Wine cannot start $(basename "$program") on this machine (no 32-bit Wine?)"
    exit 77
fi
SCARVEL_STANDINS="Z:$(echo "$standins" | tr / '\\')" WINEPATH= \
    wine "$program" "$@" </dev/null >"$work/out" 2>&1
status=$?
cat "$work/out"
exit $status
