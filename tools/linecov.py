#!/usr/bin/env python3
"""Line coverage of csrc/ and of the modules' Python faces by the test suite
(make coverage).

    tools/linecov.py [--modes default,generic,scalar] [pytest paths ...]

Every extension is built with gcov's counters (--coverage -O0) in
build/coverage (tools/buildtree.py: a mirror of the sources in
build/coverage/tree, built in place there; the checkout's own build is left
alone). The suite then runs from that tree once per mode, the counters adding
up over the runs (child interpreters that tests start count too):

    default   HALCYRA_GENERIC unset
    generic   HALCYRA_GENERIC=1: the device-generic formulation on CPU tensors
    scalar    HALCYRA_GENERIC=scalar: the fused CPU kernels without their AVX2 loops

Each run is measured by Python's coverage tool too (python3-coverage), in
every interpreter of the run, pytest's and those its tests start
(COVERAGE_PROCESS_START, read by a sitecustomize module the runs find first
on their path): the halcyra/ package's .py files,
the modules' Python faces among them, whose embedded source runs under the
.py file's own name.

gcov (the one of the compiler that builds the extensions) then reads every
object's counters; a line counts as executed when any module executed it (the
shared layer and the headers are compiled into several modules). Lines of
templates and inline functions that no translation unit instantiates are not
executable code to gcov and are not counted. The report (per file:
executable lines, lines never executed, percentage, and those lines as
ranges) goes to build/coverage/report.txt; the per-file table is printed.
Exit status 1 when a run of the suite failed (the report is written anyway).
"""
import json
import os
import shutil
import subprocess
import sys
import time

from buildtree import ROOT, build as build_tree

OUT = os.path.join(ROOT, "build", "coverage")
TEMP = os.path.join(OUT, "temp")
LOGS = os.path.join(OUT, "log")
REPORT = os.path.join(OUT, "report.txt")
PYCOV = os.path.join(OUT, "python")      # coverage's data files, rc file, sitecustomize
MODES = {"default": None, "generic": "1", "scalar": "scalar"}


def gcov_tool():
    """gcov-<major> of the C++ compiler when there is one, else gcov."""
    if os.environ.get("GCOV"):
        return os.environ["GCOV"]
    cxx = os.environ.get("CXX", "g++")
    try:
        major = subprocess.run([cxx, "-dumpversion"], capture_output=True, text=True,
                               check=True).stdout.strip().split(".")[0]
    except (OSError, subprocess.CalledProcessError):
        major = ""
    return shutil.which(f"gcov-{major}") or shutil.which("gcov") or sys.exit("coverage: no gcov")


def clear_counters(folder):
    for dirpath, _, files in os.walk(folder):
        for f in files:
            if f.endswith(".gcda"):
                os.remove(os.path.join(dirpath, f))


def suite_env(tree, mode):
    """The environment of a run of the suite from the tree in a mode."""
    env = dict(os.environ, PYTHONDONTWRITEBYTECODE="1", COVERAGE_PROCESS_START=rc_file(tree),
               PYTHONPATH=os.pathsep.join([PYCOV] + [p for p in [os.environ.get("PYTHONPATH")] if p]))
    env.pop("HALCYRA_GENERIC", None)
    if MODES[mode] is not None:
        env["HALCYRA_GENERIC"] = MODES[mode]
    return env


def run_suite(tree, mode, paths):
    """One run of pytest from the tree; its output goes to the terminal and to
    build/coverage/log/<mode>.log. Returns (exit status, seconds)."""
    env = suite_env(tree, mode)
    print(f"coverage: suite, mode {mode} (HALCYRA_GENERIC={MODES[mode] or 'unset'})", flush=True)
    t0 = time.time()
    with open(os.path.join(LOGS, f"{mode}.log"), "w") as log:
        proc = subprocess.Popen([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider",
                                 *paths], cwd=tree, env=env, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, text=True, errors="replace")
        for line in proc.stdout:
            sys.stdout.write(line)
            log.write(line)
        rc = proc.wait()
    took = time.time() - t0
    print(f"coverage: mode {mode}: pytest exit status {rc} in {took:.0f} s", flush=True)
    return rc, took


def rc_file(tree):
    """coverage's settings for the runs (the halcyra package of the tree,
    every process writing a data file of its own), and a sitecustomize module
    that starts coverage in every interpreter the runs start; returns the
    settings' path."""
    os.makedirs(PYCOV, exist_ok=True)
    rc = os.path.join(PYCOV, "coveragerc")
    with open(rc, "w") as f:
        f.write(f"[run]\nsource = {os.path.join(tree, 'halcyra')}\nparallel = True\n"
                f"data_file = {os.path.join(PYCOV, 'data')}\n")
    with open(os.path.join(PYCOV, "sitecustomize.py"), "w") as f:
        f.write("import coverage\ncoverage.process_startup()\n")
    return rc


def clear_python_data():
    for f in os.listdir(PYCOV) if os.path.isdir(PYCOV) else []:
        if f.startswith("data"):
            os.remove(os.path.join(PYCOV, f))


def collect_python(tree):
    """Line counts of the halcyra package's .py files from coverage's data, in
    collect()'s form (a count of 1 for an executed line, 0 for a missed one)."""
    rc = rc_file(tree)
    run = lambda *a: subprocess.run([sys.executable, "-m", "coverage", *a, "--rcfile", rc],  # noqa: E731
                                    capture_output=True, text=True)
    combined = run("combine")
    if combined.returncode != 0:
        sys.exit(f"coverage: combining Python's data failed:\n{combined.stdout}{combined.stderr}")
    out = os.path.join(PYCOV, "report.json")
    report = run("json", "-o", out)
    if report.returncode != 0:
        sys.exit(f"coverage: Python's report failed:\n{report.stdout}{report.stderr}")
    with open(out) as f:
        files = json.load(f)["files"]
    counts = {}
    for path, data in files.items():
        lines = {n: 1 for n in data["executed_lines"]}
        lines.update({n: 0 for n in data["missing_lines"]})
        counts[os.path.relpath(os.path.realpath(path), os.path.realpath(tree))] = lines
    return counts


def collect(objdir, srcdir, gcov=None):
    """Line counts of the sources under srcdir from every object under objdir:
    {path relative to srcdir's parent: {line: count}}, the counts of a line
    summed over objects and template instances. Objects that never ran (no
    .gcda) count their lines as executable and not executed."""
    gcov = gcov or gcov_tool()
    notes = sorted(os.path.join(d, f) for d, _, fs in os.walk(objdir) for f in fs
                   if f.endswith(".gcno"))
    srcdir = os.path.realpath(srcdir)
    base = os.path.dirname(srcdir)
    counts = {}
    for i in range(0, len(notes), 50):
        proc = subprocess.run([gcov, "--json-format", "--stdout", *notes[i:i + 50]],
                              cwd=objdir, capture_output=True, text=True)
        if proc.returncode != 0:
            sys.exit(f"coverage: {gcov} failed:\n{proc.stderr}")
        for doc in proc.stdout.splitlines():
            if not doc.strip():
                continue
            data = json.loads(doc)
            cwd = data.get("current_working_directory", objdir)
            for entry in data["files"]:
                path = os.path.realpath(os.path.join(cwd, entry["file"]))
                if not path.startswith(srcdir + os.sep):
                    continue
                lines = counts.setdefault(os.path.relpath(path, base), {})
                for ln in entry["lines"]:
                    n = ln["line_number"]
                    lines[n] = lines.get(n, 0) + ln["count"]
    return counts


def ranges(missed, executable):
    """Missed lines as ranges ("12-15"): a range runs over lines that are
    consecutive among the executable ones (comments and blank lines between
    them do not split it)."""
    missed = set(missed)
    out, start, prev = [], None, None
    for n in sorted(executable):
        if n in missed:
            start = n if start is None else start
            prev = n
        elif start is not None:
            out.append(f"{start}" if start == prev else f"{start}-{prev}")
            start = None
    if start is not None:
        out.append(f"{start}" if start == prev else f"{start}-{prev}")
    return out


def table(counts):
    """(per-file table text, missed-range text) of collect()'s counts."""
    rows, total, total_missed = [], 0, 0
    detail = []
    for path in sorted(counts):
        lines = counts[path]
        missed = [n for n, c in lines.items() if c == 0]
        total += len(lines)
        total_missed += len(missed)
        pct = f"{100.0 * (len(lines) - len(missed)) / len(lines):.1f}%" if lines else "-"
        rows.append((path, len(lines), len(missed), pct))
        if missed:
            detail.append(f"{path}: {', '.join(ranges(missed, lines))}")
    width = max([len(r[0]) for r in rows] + [len("total")])
    head = f"{'file':<{width}} {'lines':>6} {'missed':>6} {'cover':>7}"
    out = [head, "-" * len(head)]
    out += [f"{p:<{width}} {n:>6} {m:>6} {c:>7}" for p, n, m, c in rows]
    pct = 100.0 * (total - total_missed) / total if total else 100.0
    out += ["-" * len(head), f"{'total':<{width}} {total:>6} {total_missed:>6} {pct:>6.1f}%"]
    return "\n".join(out), "\n".join(detail)


def main():
    args = sys.argv[1:]
    modes = list(MODES)
    if args[:1] == ["--modes"]:
        modes, args = [m for m in args[1].split(",") if m], args[2:]
        if not modes or any(m not in MODES for m in modes):
            sys.exit(f"coverage: modes are {','.join(MODES)}")
    paths = args or ["tests"]
    tree, build_s = build_tree(OUT, "coverage", HALCYRA_COVERAGE="1")
    clear_counters(TEMP)
    clear_python_data()
    shutil.rmtree(LOGS, ignore_errors=True)
    os.makedirs(LOGS)
    results = [(m, *run_suite(tree, m, paths)) for m in modes]
    t0 = time.time()
    counts = collect(TEMP, os.path.join(tree, "csrc"))
    counts.update(collect_python(tree))
    text, detail = table(counts)
    gcov_s = time.time() - t0
    run_s = sum(r[2] for r in results)
    runs = "; ".join(f"{m}: exit {rc}, {s:.0f} s" for m, rc, s in results)
    summary = (f"line coverage of csrc/ and halcyra/ by {' '.join(paths)}, modes {', '.join(modes)}\n"
               f"build {build_s:.0f} s, suite runs {run_s:.0f} s ({runs}), "
               f"gcov and coverage {gcov_s:.0f} s\n")
    with open(REPORT, "w") as f:
        f.write(summary + "\n" + text + "\n\nlines never executed:\n" + (detail or "(none)") + "\n")
    print("\n" + summary + "\n" + text + f"\n\nnever-executed lines by file: {REPORT}")
    failed = [m for m, rc, _ in results if rc != 0]
    if failed:
        print(f"coverage: the suite failed in mode(s) {', '.join(failed)} (logs in {LOGS})")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
