#!/usr/bin/env python3
"""The mutation lane: plants each hand-made fault of tests/mutants/faults.txt in a copy of the
tree, rebuilds, runs the unit, sim and e2e lanes, and reports the test that caught it.

The working tree is never touched: the faults are planted in a mirror of the tracked files below
the work directory (default build-mutants/), which keeps its build between runs so that each
fault costs an incremental build.

faults.txt holds one record per fault:

    ## NAME: what an operator would suffer
    file: PATH
    - original line
    - ...
    + replacement line
    + ...

The "-" lines must match consecutive lines of PATH exactly once (compared without their leading
and trailing blanks); they are replaced by the "+" lines (none: the lines are deleted), indented
like the first matched line. A record may hold several file/-/+ groups for a fault that needs
more than one edit.

The tests that caught each fault are kept in the work directory (killers.json). The next run
tries those tests first and runs the whole lanes only when they no longer catch the fault (they
were changed or removed), so a rerun costs little more than the builds.
"""
import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FAULTS = os.path.join(ROOT, "tests", "mutants", "faults.txt")
LANES = "^(unit|sim|e2e)$"


class Fault:
    def __init__(self, name, why):
        self.name = name
        self.why = why
        self.edits = []  # (path, old lines, new lines)


def parse_faults(path):
    faults = []
    fault = None
    with open(path, encoding="utf-8") as f:
        for number, raw in enumerate(f, 1):
            line = raw.rstrip("\n")
            where = f"{path}:{number}"
            if line.startswith("## "):
                name, _, why = line[3:].partition(":")
                fault = Fault(name.strip(), why.strip())
                faults.append(fault)
            elif not line.strip() or line.startswith("#"):
                continue
            elif fault is None:
                sys.exit(f"{where}: text before the first '## NAME: ...' line")
            elif line.startswith("file:"):
                fault.edits.append((line[5:].strip(), [], []))
            elif line[:2] in ("- ", "-") and fault.edits:
                fault.edits[-1][1].append(line[2:])
            elif line[:2] in ("+ ", "+") and fault.edits:
                fault.edits[-1][2].append(line[2:])
            else:
                sys.exit(f"{where}: expected 'file:', '- ' or '+ ' inside fault {fault.name}")
    names = [f.name for f in faults]
    for fault in faults:
        if names.count(fault.name) > 1:
            sys.exit(f"{path}: fault {fault.name} is named twice")
        if not fault.edits or any(not old for _, old, _ in fault.edits):
            sys.exit(f"{path}: fault {fault.name} has an edit without '- ' lines")
    return faults


def apply_edit(text, old, new):
    """The text with the one run of lines matching `old` replaced by `new`, or an error."""
    lines = text.split("\n")
    want = [o.strip() for o in old]
    hits = [i for i in range(len(lines) - len(want) + 1)
            if [l.strip() for l in lines[i:i + len(want)]] == want]
    if len(hits) != 1:
        return None, f"the '- ' lines match {len(hits)} places, not one"
    start = hits[0]
    indent = re.match(r"\s*", lines[start]).group(0)
    lines[start:start + len(want)] = [indent + n.strip() if n.strip() else "" for n in new]
    return "\n".join(lines), None


def run(argv, cwd, log, timeout=None):
    with open(log, "w", encoding="utf-8") as out:
        try:
            return subprocess.run(argv, cwd=cwd, stdout=out, stderr=subprocess.STDOUT,
                                  timeout=timeout).returncode
        except subprocess.TimeoutExpired:
            return -1


def mirror(src, work):
    """Copies the tracked files into work/src, leaving unchanged files alone (their time stamps
    decide what ninja rebuilds). Returns the mirror's path."""
    dst = os.path.join(work, "src")
    files = subprocess.run(["git", "ls-files", "-z"], cwd=src, check=True,
                           stdout=subprocess.PIPE).stdout.decode().split("\0")
    for rel in filter(None, files):
        a, b = os.path.join(src, rel), os.path.join(dst, rel)
        if os.path.islink(a) or not os.path.isfile(a):
            continue
        with open(a, "rb") as f:
            data = f.read()
        if os.path.exists(b):
            with open(b, "rb") as f:
                if f.read() == data:
                    continue
        os.makedirs(os.path.dirname(b), exist_ok=True)
        # A fresh time stamp, not the source's: a file that a killed run left with a fault
        # planted was built after the source's time, and ninja would keep the faulty object.
        shutil.copyfile(a, b)
        shutil.copymode(a, b)
    return dst


def failed_tests(log):
    """Names of the tests that failed, from ctest's summary."""
    names = []
    with open(log, encoding="utf-8", errors="replace") as f:
        text = f.read()
    # "  12 - Name (Failed)", "(Timeout)", "(SEGFAULT)", "(Not Run)" ...: any reason counts.
    for m in re.finditer(r"^\s*\d+ - (\S+) \([^)]*\)", text, re.M):
        names.append(m.group(1))
    return names


def ctest_regex(names):
    """A ctest -R expression that matches exactly these test names."""
    return "^(" + "|".join(re.sub(r"([][.*+?()|^$\\])", r"\\\1", n) for n in names) + ")$"


def build_and_test(build, jobs, log_dir, tag, first=()):
    """Builds and runs the lanes; with `first`, those tests alone first, and the lanes only when
    none of them fails."""
    log = os.path.join(log_dir, tag)
    if run(["cmake", "--build", build, "-j", str(jobs)], None, log + ".build.log") != 0:
        return "build", []
    ctest = ["ctest", "--test-dir", build, "-L", LANES, "-j", str(jobs), "--timeout", "180"]
    if first and run(ctest + ["-R", ctest_regex(first), "--no-tests=ignore"], None, log + ".test.log") != 0:
        failing = failed_tests(log + ".test.log")
        if failing:
            return "failed", failing
    if run(ctest + ["--no-tests=error"], None, log + ".test.log") == 0:
        return "passed", []
    return "failed", failed_tests(log + ".test.log") or ["(ctest failed: see " + log + ".test.log)"]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--work", default=os.path.join(ROOT, "build-mutants"))
    parser.add_argument("--faults", default=FAULTS)
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 2)
    parser.add_argument("--list", action="store_true", help="list the faults and stop")
    parser.add_argument("names", nargs="*", help="only these faults")
    args = parser.parse_args()

    faults = parse_faults(args.faults)
    if args.names:
        unknown = set(args.names) - {f.name for f in faults}
        if unknown:
            sys.exit("no such fault: " + ", ".join(sorted(unknown)))
        faults = [f for f in faults if f.name in args.names]
    if args.list:
        for f in faults:
            print(f"{f.name}: {f.why}")
        return 0

    os.makedirs(args.work, exist_ok=True)
    src = mirror(ROOT, args.work)
    build = os.path.join(args.work, "build")
    logs = os.path.join(args.work, "logs")
    os.makedirs(logs, exist_ok=True)
    if run(["cmake", "-S", src, "-B", build, "-G", "Ninja"], None, os.path.join(logs, "configure.log")) != 0:
        sys.exit(f"mutants: cannot configure the mirror (see {logs}/configure.log)")

    # Every fault must be caught by a lane that passes without it.
    started = time.monotonic()
    verdict, failing = build_and_test(build, args.jobs, logs, "baseline")
    if verdict != "passed":
        sys.exit(f"mutants: the tree without faults does not pass ({verdict}: {' '.join(failing)}); "
                 f"see {logs}/baseline.*.log")
    print(f"baseline: the unit, sim and e2e lanes pass ({time.monotonic() - started:.0f} s)", flush=True)

    cache = os.path.join(args.work, "killers.json")
    killers = {}
    if os.path.exists(cache):
        with open(cache, encoding="utf-8") as f:
            killers = json.load(f)
    killed = 0
    problems = 0
    for fault in faults:
        originals = {}
        error = None
        for path, old, new in fault.edits:
            target = os.path.join(src, path)
            if not os.path.isfile(target):
                error = f"{path} does not exist"
                break
            with open(target, encoding="utf-8") as f:
                text = f.read()
            originals.setdefault(path, text)
            mutated, error = apply_edit(text, old, new)
            if error:
                error = f"{path}: {error}"
                break
            with open(target, "w", encoding="utf-8") as f:
                f.write(mutated)
        started = time.monotonic()
        if error is None:
            verdict, failing = build_and_test(build, args.jobs, logs, fault.name, killers.get(fault.name, ()))
        for path, text in originals.items():
            with open(os.path.join(src, path), "w", encoding="utf-8") as f:
                f.write(text)
        took = f"({time.monotonic() - started:.0f} s)"
        if error is not None:
            problems += 1
            print(f"NOT PLANTED  {fault.name}: {error}", flush=True)
        elif verdict == "build":
            problems += 1
            print(f"NO BUILD     {fault.name}: the fault does not compile (see {logs}/{fault.name}.build.log)",
                  flush=True)
        elif verdict == "failed":
            killed += 1
            killers[fault.name] = failing
            with open(cache, "w", encoding="utf-8") as f:
                json.dump(killers, f, indent=1, sort_keys=True)
            shown = ", ".join(failing[:3]) + (f" and {len(failing) - 3} more" if len(failing) > 3 else "")
            print(f"killed       {fault.name} by {shown} {took}", flush=True)
        else:
            print(f"SURVIVED     {fault.name}: {fault.why} {took}", flush=True)
    # Leave the mirror's build matching the tree again, for the next run.
    run(["cmake", "--build", build, "-j", str(args.jobs)], None, os.path.join(logs, "restore.build.log"))
    print(f"mutants: {killed} killed of {len(faults)}")
    return 0 if killed == len(faults) and problems == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
