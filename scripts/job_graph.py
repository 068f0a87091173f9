#!/usr/bin/env python3
"""Usage: scripts/job_graph.py WORKFLOWS

Reads the workflows in the folder WORKFLOWS and fails, saying why, if a
workflow or action that a `uses` names by a path ("./...") is not there; if the
Windows workflow that tests the release's exes has no step that runs every case
as `bash tests/run-folder.sh FOLDER`, or a step that runs tests/ does more than
one `bash tests/....sh` command (an `|| true` or `set +e` would let its failure
pass), in a shell but plain bash, or with an `if` or `continue-on-error` on it
or its job; or if a job of release.yml that can write (any write permission,
none where the workflow's are not read-only, `gh release`) or is handed a secret
could run while the Windows job has not passed, with signing on or off. What
the scripts and the steps' environment do is left to them.

Each is judged by its `if` for every way in which the jobs it needs and the
Windows job can end (passed, failed, skipped, cancelled): it must test the
Windows job's result itself. An `if` that calls none of success(), failure(),
always() and cancelled() holds only once every job it needs has passed, as
GitHub runs it; cancelled(), whether the run was cancelled, is tried both ways.
"""

import itertools
import os
import re
import sys

import yaml

WINDOWS_JOB = "./.github/workflows/windows-release-exes.yml"
# A test run alone, its status the step's: bash tests/run-folder.sh build/tested
TEST_STEP = re.compile(r"bash tests/([\w.-]+)\.sh(?: [\w./-]+)*")
SIGNING = "vars.SIGNPATH_ORGANIZATION_ID"
RESULTS = ("success", "failure", "skipped", "cancelled")

class Unfit(Exception):
    """A workflow that cannot be read, or whose job graph lets a release out."""

def read(path):
    try:
        with open(path, encoding="utf-8") as stream:
            workflow = yaml.safe_load(stream)
    except (OSError, yaml.YAMLError) as error:
        raise Unfit(f"{path}: cannot be read as YAML: {error}")
    if not isinstance(workflow, dict) or not isinstance(workflow.get("jobs"), dict):
        raise Unfit(f"{path}: has no jobs")
    return workflow

def check_paths(path, workflow):
    for name, job in workflow["jobs"].items():
        named = [job.get("uses")] + [step.get("uses") for step in job.get("steps", [])]
        for uses in named:
            # A path in this repository: uses: ./.github/workflows/debian.yml
            if not isinstance(uses, str) or not uses.startswith("./"):
                continue
            target = uses[2:]
            if not (os.path.isfile(target) or os.path.isfile(os.path.join(target, "action.yml"))
                    or os.path.isfile(os.path.join(target, "action.yaml"))):
                raise Unfit(f"{path}: job {name} uses {uses}, which is not there")

# A token of an `if`: !cancelled() && needs.build.result == 'success' || (...)
TOKEN = re.compile(r"\s*(?:(\w+)\(\)|('(?:[^']|'')*')|([A-Za-z_][\w.-]*)|(&&|\|\||==|!=|!|\(|\)))")

def tokens(condition):
    text = condition.strip()
    # The whole condition in one expression: ${{ !cancelled() && ... }}
    whole = re.fullmatch(r"\$\{\{(.*)\}\}", text, re.S)
    if whole:
        text = whole.group(1)
    found, at = [], 0
    while text[at:].strip():
        match = TOKEN.match(text, at)
        if not match:
            raise Unfit(f"cannot read the condition {condition!r} from {text[at:]!r}")
        found.append(match)
        at = match.end()
    return found

def evaluate(condition, known, calls):
    """The value of CONDITION, its names read from KNOWN, its calls from CALLS."""
    found = tokens(condition)
    position = 0

    def peek():
        return found[position].group(4) if position < len(found) else None

    def operand():
        nonlocal position
        if position == len(found):
            raise Unfit(f"the condition {condition!r} ends too soon")
        match = found[position]
        position += 1
        call, string, name, operator = match.groups()
        if operator == "!":
            return not operand()
        if operator == "(":
            value = either()
            if peek() != ")":
                raise Unfit(f"no ')' in the condition {condition!r}")
            position += 1
            return value
        if call in calls:
            return calls[call]
        if string is not None:
            return string[1:-1].replace("''", "'")
        if name in known:
            return known[name]
        raise Unfit(f"the condition {condition!r} reads {match.group(0).strip()}, which this check does not know")

    def comparison():
        nonlocal position
        value = operand()
        while peek() in ("==", "!="):
            operator = peek()
            position += 1
            other = operand()
            # GitHub compares strings regardless of case.
            value = (str(value).lower() == str(other).lower()) == (operator == "==")
        return value

    def both():
        nonlocal position
        value = comparison()
        while peek() == "&&":
            position += 1
            other = comparison()
            # As GitHub's: the first operand that is false, else the last.
            if value:
                value = other
        return value

    def either():
        nonlocal position
        value = both()
        while peek() == "||":
            position += 1
            other = both()
            # The first operand that is true, else the last.
            if not value:
                value = other
        return value

    value = either()
    if position != len(found):
        raise Unfit(f"cannot read the condition {condition!r}")
    return bool(value)

def runs(needs, condition, results, signing, cancelled):
    """Whether a job starts by its CONDITION, given the RESULTS of its NEEDS."""
    # A status function called: !cancelled() && needs.build.result == 'success'
    if not re.search(r"\b(success|failure|always|cancelled)\(\)", condition):
        condition = f"success() && ({condition})"
    known = {SIGNING: "configured" if signing else ""}
    for need in needs:
        known[f"needs.{need}.result"] = results[need]
    calls = {"success": all(results[need] == "success" for need in needs),
             "failure": any(results[need] == "failure" for need in needs),
             "always": True, "cancelled": cancelled}
    return evaluate(condition, known, calls)

def needs_of(job):
    needs = job.get("needs", [])
    return [needs] if isinstance(needs, str) else list(needs)

def default_shell(part):
    """The shell that a job's or a workflow's `defaults` gives its steps."""
    defaults = part.get("defaults") or {}
    return (defaults.get("run") or {}).get("shell")

def check_windows(path):
    """That the called Windows workflow passes only if its tests do."""
    workflow = read(path)
    runners = 0
    for name, job in workflow["jobs"].items():
        for step in job.get("steps", []):
            run = str(step.get("run", "")).strip()
            what = f"{path}: job {name}'s step {run!r}"
            if "tests/" not in run:
                continue
            if any("if" in part or part.get("continue-on-error", False) is not False
                   for part in (job, step)):
                raise Unfit(f"{what}, or its job, has an `if` or `continue-on-error`: "
                            "its tests could be skipped, or fail unseen")
            test = TEST_STEP.fullmatch(run)
            if not test:
                raise Unfit(f"{what} runs tests, but not as one "
                            "`bash tests/....sh` command alone, whose status is the step's")
            # On Windows a step without one runs in pwsh; `bash -c true {0}` runs true.
            if (step.get("shell") or default_shell(job) or default_shell(workflow)) != "bash":
                raise Unfit(f"{what} is not run by plain bash (shell: bash)")
            if test.group(1) == "run-folder":
                runners += 1
    if not runners:
        raise Unfit(f"{path}: no step runs every case, as `bash tests/run-folder.sh FOLDER`")

def writes(workflow, job):
    """Whether JOB can write (its own permissions, else the workflow's, else
    GitHub's default, which may), runs `gh release`, or is handed a secret."""
    granted = job.get("permissions", workflow.get("permissions", "write-all"))
    if granted == "write-all" or "gh release" in str(job) or "secrets" in str(job):
        return True
    return isinstance(granted, dict) and "write" in granted.values()

def check_release(path, workflow):
    """The jobs that write, each of which waits for the Windows job's success."""
    windows = [name for name, job in workflow["jobs"].items() if job.get("uses") == WINDOWS_JOB]
    if len(windows) != 1:
        raise Unfit(f"{path}: not one job uses {WINDOWS_JOB}")
    check_windows(WINDOWS_JOB[2:])
    guarded = [name for name, job in workflow["jobs"].items()
               if name != windows[0] and writes(workflow, job)]
    for name in guarded:
        needs = needs_of(workflow["jobs"][name])
        condition = str(workflow["jobs"][name].get("if", "success()"))
        # The Windows job's result, needed or not, and those of the jobs it needs.
        ends = [windows[0]] + [need for need in needs if need != windows[0]]
        for signing, cancelled in itertools.product((False, True), repeat=2):
            for outcome in itertools.product(RESULTS, repeat=len(ends)):
                results = dict(zip(ends, outcome))
                try:
                    starts = runs(needs, condition, results, signing, cancelled)
                except Unfit as error:
                    raise Unfit(f"{path}: job {name}: {error}")
                if results[windows[0]] != "success" and starts:
                    said = ", ".join(f"{need}: {end}" for need, end in results.items())
                    raise Unfit(f"{path}: job {name} can run while {windows[0]} has the result "
                                f"{results[windows[0]]} ({said}; signing configured: {signing}, "
                                f"cancelled(): {cancelled})")
    return guarded

def main():
    if len(sys.argv) != 2:
        print("Usage: scripts/job_graph.py WORKFLOWS", file=sys.stderr)
        return 2
    folder = sys.argv[1]
    try:
        names = sorted(name for name in os.listdir(folder) if name.endswith(".yml"))
        for name in names:
            path = os.path.join(folder, name)
            workflow = read(path)
            check_paths(path, workflow)
            if name == "release.yml":
                guarded = check_release(path, workflow)
        if "release.yml" not in names:
            raise Unfit(f"{folder}: has no release.yml")
    except (Unfit, OSError) as error:
        print(error, file=sys.stderr)
        return 1
    print(f"{len(names)} workflows: every path that a uses names is there; {WINDOWS_JOB} "
          f"passes only if its tests do; release.yml's {', '.join(guarded)} run only once it "
          "has passed, with signing on or off")
    return 0

if __name__ == "__main__":
    sys.exit(main())
