#!/usr/bin/env python3
"""Sanitizer run: every extension built with AddressSanitizer and
UndefinedBehaviorSanitizer, then the tests run under the sanitizer runtimes.

    tools/asan.py [full|ci]      (make test-asan / make test-asan-ci)

The build lives in build/asan (tools/buildtree.py: a mirror of the sources in
build/asan/tree, built in place there; the checkout's own in-place build is
left alone). The tests run from that tree, so child interpreters the tests
start import the sanitized build too.

Both runtimes come from the compiler that builds the extensions (LD_PRELOAD of
its libasan and libubsan: the interpreter itself is not instrumented). Every
report stops the process that made it (exit status 86) and the run fails when
one was printed or written (ASan's also go to build/asan/log). Reports that lie
in torch or the interpreter are named in tools/asan.supp and tools/ubsan.supp.

full: the whole test suite (the robustness suite included, in its child
interpreter). ci: the tests of every kernel and the robustness suite, without
the end-to-end demo tests and the stub check, which run no kernel of their own.
"""
import os
import shutil
import subprocess
import sys
import time

from buildtree import ROOT, build as build_tree

OUT = os.path.join(ROOT, "build", "asan")
TREE = os.path.join(OUT, "tree")
LOGS = os.path.join(OUT, "log")
SANITIZERS = "address,undefined"
SUITES = {
    "full": ["tests"],
    "ci": ["tests/test_assigner.py", "tests/test_decode.py", "tests/test_losses_core.py",
           "tests/test_loss_kernels.py", "tests/test_losses_tasks.py", "tests/test_neck.py",
           "tests/test_predict.py",
           "tests/test_predict_ops.py",
           "tests/test_refine.py", "tests/test_reliability.py"],
}


def runtime(lib):
    cxx = os.environ.get("CXX", "g++")
    path = subprocess.run([cxx, f"-print-file-name={lib}"], capture_output=True, text=True,
                          check=True).stdout.strip()
    if not os.path.isabs(path) or not os.path.exists(path):
        sys.exit(f"asan: {cxx} has no {lib} (install the compiler's sanitizer runtimes)")
    return os.path.realpath(path)


def build():
    build_tree(OUT, "asan", HALCYRA_SANITIZE=SANITIZERS)


# Exit status of a process stopped by a sanitizer report.
EXIT = 86
# The first line of every report.
SIGNS = ("runtime error:", "ERROR: AddressSanitizer", "ERROR: LeakSanitizer")


def run(paths):
    """Runs pytest on `paths` from the tree under both runtimes. Returns 0 when
    the tests pass and no sanitizer reported anything."""
    shutil.rmtree(LOGS, ignore_errors=True)
    os.makedirs(LOGS)
    common = f"print_stacktrace=1:halt_on_error=1:exitcode={EXIT}:detect_leaks=0"
    env = dict(os.environ)
    env.update(
        LD_PRELOAD=" ".join([runtime("libasan.so"), runtime("libubsan.so")] +
                            env.get("LD_PRELOAD", "").split()),
        # No quarantine: freed memory goes back at once, as without ASan, so
        # that the suite's RSS leak checks keep their meaning. ASan reports
        # also go to files (those of test subprocesses whose output a test
        # keeps to itself included); UBSan ignores log_path when it runs with
        # ASan, so its reports are found in the output.
        ASAN_OPTIONS=f"{common}:quarantine_size_mb=0:thread_local_quarantine_size_kb=0:"
                     f"suppressions={os.path.join(ROOT, 'tools', 'asan.supp')}:"
                     f"log_path={os.path.join(LOGS, 'asan')}",
        UBSAN_OPTIONS=f"{common}:suppressions={os.path.join(ROOT, 'tools', 'ubsan.supp')}",
        PYTHONDONTWRITEBYTECODE="1")
    t0 = time.time()
    # --capture=sys: pytest captures Python's streams only, so that a report
    # written to file descriptor 2 by a process that the sanitizer then stops
    # is not lost with pytest's capture file.
    proc = subprocess.Popen([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider",
                             "--capture=sys", *paths], cwd=TREE, env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                            errors="replace")
    flagged = []
    for line in proc.stdout:
        sys.stdout.write(line)
        if any(sign in line for sign in SIGNS):
            flagged.append(line.rstrip())
    rc = proc.wait()
    sys.stdout.flush()
    print(f"asan: tests ran in {time.time() - t0:.0f} s (pytest exit status {rc})", flush=True)
    for name in sorted(os.listdir(LOGS)):
        with open(os.path.join(LOGS, name), errors="replace") as f:
            text = f.read()
        print(f"==== {name}\n{text}")
        flagged += [line for line in text.splitlines() if any(sign in line for sign in SIGNS)]
    if flagged or rc == EXIT:
        print(f"asan: sanitizer report(s) found:\n  " + "\n  ".join(flagged or ["(exit status)"]))
        return 1
    print("asan: no sanitizer report")
    return 1 if rc else 0


def main():
    mode = sys.argv[1] if len(sys.argv) > 1 else "full"
    if mode not in SUITES:
        sys.exit(f"usage: {sys.argv[0]} [{'|'.join(SUITES)}]")
    build()
    sys.exit(run(SUITES[mode]))


if __name__ == "__main__":
    main()
