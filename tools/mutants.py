#!/usr/bin/env python3
"""Mutation score of the 32-bit build's suites (make mutants; the 64-bit build's where this
machine runs no 32-bit code, as its first line says): one product line changed at a time in
a private copy of the sources, the in-process suite run on it under Wine, and the
build's other suites on its survivors. Prints each survivor and the score; exits 0 whatever
the score, 1 only when the script itself cannot run. Environment: MUTANTS=N samples N
mutants (default: all), SEED= the sample's seed (default 1), JOBS= build jobs (default 1),
MUTANT_SECONDS= a mutant's limit per suite run (default: three times the unmutated run's
time, at least 120 s).
"""
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.dont_write_bytecode = True
SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(SOURCE, "tests", "e2e"))
import bed  # noqa: E402
PRODUCT = ("repair", "console", "package", "platform")
# Not run on survivors: the reproducible build and the signing tests build the (mutated)
# sources twice or from clean and compare them with each other, so no product mutant can
# fail them; signed_under_wine runs the healthy_untouched scenario on that rebuild; the
# lint and the dependency installer's test read only the shell scripts.
REST_EXCLUDED = "^(inprocess|e2e_template|e2e_template_unchanged|artefact_reproducible_build" \
                "|release_(make|verify)_.*|release_material.*|release_signed_under_wine|install_deps" \
                "|lint_shell_scripts)$"


class Failure(Exception):
    pass


LITERAL = re.compile(r'"(?:\\.|[^"\\])*"|\'(?:\\.|[^\'\\])*\'|_cast<[^<>]*>|//.*')


def code_mask(line):
    """The line with literals, casts' type arguments and a trailing comment blanked, so that
    operators are only found in code."""
    return LITERAL.sub(lambda m: " " * len(m.group()), line)


SWAPS = {"==": "!=", "!=": "==", "<=": "<", "<": "<=", ">=": ">", ">": ">=", "&&": "||",
         "||": "&&", "0;": "1;", "1;": "0;"}
FLAG = re.compile(r"(?:\breturn |\bint \w+ = )([01];)")
OPERATORS = [("relational", re.compile(r"(?<![<>=!\-])(==|!=|<=|>=|<|>)(?![<>=])")),
             ("logical", re.compile(r"(&&|\|\|)")), ("flag", FLAG)]
NUMBER = re.compile(r"(?<![\w.])(0[xX][0-9A-Fa-f]+|\d+)(?![\w.])")
CALL = re.compile(r"^\s*[A-Za-z_]\w*(\s*(->|\.|::)\s*\w+)*\s*\(.*\)\s*;\s*$")
KEYWORDS = re.compile(r"^\s*(return|if|while|for|switch|sizeof|static_assert|delete)\b")
CONDITION = re.compile(r"\b(if|while) \(")


def balanced_end(text, start):
    """Index of the parenthesis closing the one at `start`, or None on this line."""
    depth = 0
    for i in range(start, len(text)):
        depth += {"(": 1, ")": -1}.get(text[i], 0)
        if depth == 0:
            return i
    return None


def line_mutants(line, statement_start=True):
    """(operator, mutated line) for every single change this line offers; a call is deleted
    only on a line that starts a statement."""
    if re.match(r"\s*(#|//|\*|/\*)", line) or "static_assert" in line:
        return []
    code, found = code_mask(line), []
    for name, pattern in OPERATORS:
        for m in pattern.finditer(code):
            found.append((name, line[:m.start(1)] + SWAPS[m.group(1)] + line[m.end(1):]))
    flags = [m.span() for m in FLAG.finditer(code)]
    # A flag's 0 or 1 is flipped above, not moved.
    for m in (m for m in NUMBER.finditer(code) if not any(a <= m.start() < b for a, b in flags)):
        text, hexadecimal = m.group(1), m.group(1)[:2] in ("0x", "0X")
        value = int(text, 16 if hexadecimal else 10)
        for moved in (value + 1, value - 1) if value else (1,):
            new = "0x%0*X" % (len(text) - 2, moved) if hexadecimal else str(moved)
            found.append(("constant", line[:m.start()] + new + line[m.end():]))
    for m in CONDITION.finditer(code):
        end = balanced_end(code, m.end() - 1)
        if end is not None:
            found.append(("negation", line[:m.end()] + "!(" + line[m.end():end] + ")" + line[end:]))
    if statement_start and CALL.match(code) and not KEYWORDS.match(code) \
            and balanced_end(code, code.index("(")) == code.rindex(")"):
        found.append(("deleted call", line[:len(line) - len(line.lstrip())] + ";\n"))
    return found


def all_mutants(tree):
    mutants = []
    for folder in PRODUCT:
        for name in sorted(os.listdir(os.path.join(tree, folder))):
            if not name.endswith(".cpp"):
                continue
            path = os.path.join(folder, name)
            with open(os.path.join(tree, path), encoding="utf-8") as f:
                lines = f.readlines()
            in_comment, previous = False, ";"
            for number, line in enumerate(lines, 1):
                if in_comment or line.lstrip().startswith("/*"):
                    in_comment = "*/" not in line
                    continue
                for operator, mutated in line_mutants(line, previous[-1:] in ";{}"):
                    mutants.append((path, number, operator, line, mutated))
                code = code_mask(line).strip()
                if code and not code.startswith("#"):
                    previous = code
    return mutants


def run(args, log, timeout=None):
    """Runs args in a process group of its own, output appended to log; returns the exit
    status, or None when it outlived timeout (then the group is ended, its runner first
    given time to remove its Wine machine)."""
    with open(log, "ab") as out:
        child = subprocess.Popen(args, stdout=out, stderr=subprocess.STDOUT,
                                 stdin=subprocess.DEVNULL, start_new_session=True)
        try:
            return child.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            return None
        finally:
            if child.poll() is None:
                os.killpg(child.pid, signal.SIGTERM)
                try:
                    child.wait(timeout=60)
                except subprocess.TimeoutExpired:
                    os.killpg(child.pid, signal.SIGKILL)
                    child.wait()


# The toolchain of each build, by its folder's name.
TOOLCHAINS = {"win32": "mingw-i686.cmake", "win64": "mingw-x86_64.cmake"}


class Bench:
    """The private tree and its build (build/win32 or build/win64 there); each step's output
    goes to the log."""

    def __init__(self, tree, jobs, log, build_name):
        self.tree, self.jobs, self.log = tree, jobs, log
        self.build = os.path.join(tree, "build", build_name)
        self.toolchain = os.path.join(tree, "cmake", TOOLCHAINS[build_name])
        self.runner = os.path.join(tree, "tests", "e2e", "run.py")
        self.inprocess_exe = os.path.join(self.build, "tests", "inprocess", "inprocess_tests.exe")

    def make(self, target=None):
        return run(["cmake", "--build", self.build, "-j", str(self.jobs)]
                   + (["--target", target] if target else []), self.log) == 0

    def entry(self, seconds, *args):
        """A run.py entry; "timeout" when it outlived its deadline, else its exit status."""
        start = os.path.getsize(self.log)
        status = run(["/usr/bin/python3", self.runner, self.build, str(seconds)] + list(args),
                     self.log, timeout=seconds + 90)
        with open(self.log, "rb") as f:
            f.seek(start)
            said = f.read()
        return "timeout" if status is None or b"took longer than" in said else status

    def inprocess(self, seconds):
        return self.entry(seconds, "inprocess", self.inprocess_exe)

    def rest(self, seconds):
        status = run(["ctest", "--test-dir", self.build, "-E", REST_EXCLUDED, "-FA", ".*",
                      "--stop-on-failure", "-j", str(self.jobs)], self.log, timeout=seconds)
        return "timeout" if status is None else status

    def clean(self):
        """The template and any machine left behind, with their wineservers."""
        if os.path.isdir(self.build):
            build = bed.Build(self.build)
            bed.remove_machines(build)
            bed.remove_template(build)


def verdict(bench, limit):
    """What the suites say of the mutant now in the tree: the in-process suite first."""
    if not bench.make("inprocess_tests"):
        return "does not compile"
    status, suites = bench.inprocess(limit[0]), "in process"
    if status == 0:
        if not bench.make():
            return "does not compile"
        status, suites = bench.rest(limit[1]), "by the other suites"
    return {0: "survived", "timeout": "timeout"}.get(status, "killed " + suites)


def measure(bench, mutants, limit):
    counts, survivors = {}, []
    for n, (path, number, operator, line, mutated) in enumerate(mutants, 1):
        target = os.path.join(bench.tree, path)
        with open(target, encoding="utf-8") as f:
            original = f.read()
        lines = original.splitlines(True)
        lines[number - 1] = mutated
        started = time.monotonic()
        try:
            with open(target, "w", encoding="utf-8") as f:
                f.write("".join(lines))
            said = verdict(bench, limit)
        finally:
            with open(target, "w", encoding="utf-8") as f:
                f.write(original)
        counts[said] = counts.get(said, 0) + 1
        if said == "survived":
            survivors.append(("%s:%d" % (path, number), operator, line, mutated))
        print("[%d/%d] %s:%d %s: %s (%.0f s)" % (n, len(mutants), path, number, operator, said,
                                                  time.monotonic() - started), flush=True)
    return counts, survivors


def number(name):
    value = os.environ.get(name, "")
    if value and not value.isdigit():
        raise Failure("%s must be a whole number, not %r" % (name, value))
    return int(value) if value else None


def main():
    count, seed, jobs, seconds = (number(name) for name in ("MUTANTS", "SEED", "JOBS",
                                                            "MUTANT_SECONDS"))
    seed, jobs = seed or 1, jobs or 1
    # The log outlives the temporary tree, beside the checkout's own builds.
    log = os.path.join(SOURCE, "build", "mutants.log")
    os.makedirs(os.path.dirname(log), exist_ok=True)
    open(log, "w").close()
    # The same build names in the private tree.
    build, said = bed.build_to_run(os.path.join(SOURCE, "build", "win32"),
                                   os.path.join(SOURCE, "build", "win64"))
    if said:
        print("mutants: " + said, flush=True)
    tree = tempfile.mkdtemp(prefix="scarvel-mutants.")
    bench = Bench(tree, jobs, log, os.path.basename(build.dir))
    try:
        # The working tree as it is, without its builds.
        shutil.rmtree(tree)
        shutil.copytree(SOURCE, tree, symlinks=True,
                        ignore=lambda d, names: [n for n in names if d == SOURCE and n in
                                                 (".git", "build", "dist")])
        mutants = all_mutants(tree)
        total = len(mutants)
        if count is not None and count < total:
            mutants = sorted(random.Random(seed).sample(mutants, count))
        print("%d of the %d mutants (seed %s) on %d lines; log: %s"
              % (len(mutants), total, seed, len({m[:2] for m in mutants}), bench.log), flush=True)
        if run(["cmake", "-S", tree, "-B", bench.build, "-DCMAKE_TOOLCHAIN_FILE=" + bench.toolchain,
                "-DCMAKE_BUILD_TYPE=Release"], bench.log) != 0 or not bench.make():
            raise Failure("the unmutated %d-bit build failed (see %s)" % (build.bits, bench.log))
        if bench.entry(260, "template") != 0:
            raise Failure("the template prefix did not boot (see %s)" % bench.log)
        # Unmutated, every suite passes; three times its time is a mutant's limit.
        took = []
        for suite, what in ((bench.inprocess, "in-process suite"), (bench.rest, "other suites")):
            started = time.monotonic()
            if suite(540 if suite == bench.inprocess else 1800) != 0:
                raise Failure("the %s failed without a mutant (see %s)" % (what, bench.log))
            took.append(time.monotonic() - started)
        limit = [seconds or max(120, int(3 * t)) for t in took]
        print("unmutated: in-process suite %.0f s, the others %.0f s; limits %d s and %d s"
              % (took[0], took[1], limit[0], limit[1]), flush=True)
        counts, survivors = measure(bench, mutants, limit)
        broken, timeouts = counts.get("does not compile", 0), counts.get("timeout", 0)
        compiled = len(mutants) - broken
        killed = compiled - len(survivors)
        print("\nsurvivors (%d):" % len(survivors))
        for where, operator, line, mutated in survivors:
            print("%s  %s\n    - %s\n    + %s" % (where, operator, line.strip(), mutated.strip()))
        print("\nscore: %d killed of %d compiled mutants (%.0f%%); %d did not compile, "
              "%d killed by timeout" % (killed, compiled, 100.0 * killed / compiled if compiled
                                         else 0, broken, timeouts))
    finally:
        bench.clean()
        shutil.rmtree(tree, ignore_errors=True)
    return 0


def on_signal(signum, frame):
    raise Failure("stopped by signal %d" % signum)


if __name__ == "__main__":
    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGHUP, on_signal)
    try:
        sys.exit(main())
    except (Failure, bed.BedError, KeyboardInterrupt, OSError) as e:
        print("mutants: " + (str(e) or "interrupted"), file=sys.stderr)
        sys.exit(1)
