"""Instrumented builds outside the checkout (tools/asan.py, tools/linecov.py).

Each lives in a folder of its own under build/ (build/asan, build/coverage):
the sources are mirrored into <folder>/tree (only files whose contents
changed are written, so its ninja build in <folder>/temp recompiles only what
depends on them) and built in place there, with the environment that selects
the instrumentation (setup.py reads HALCYRA_SANITIZE, HALCYRA_COVERAGE). The
checkout's own in-place build and its .so files are left alone. Tests run
from the tree, so child interpreters that they start import the instrumented
build too.
"""
import filecmp
import os
import shutil
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# Top-level entries of the checkout that are build outputs or not needed.
SKIP = {"build", ".git", "out", "dist", ".pytest_cache", ".hypothesis"}


def wanted(name):
    return not (name == "__pycache__" or name.endswith((".so", ".pyc")) or name.endswith(".egg-info"))


def mirror(src, dst, top=False):
    """Makes dst a copy of src; only files whose contents differ are written."""
    os.makedirs(dst, exist_ok=True)
    names = {n for n in os.listdir(src) if wanted(n) and not (top and n in SKIP)}
    for n in os.listdir(dst):
        if n not in names and wanted(n) and not (top and n in SKIP):
            p = os.path.join(dst, n)
            shutil.rmtree(p) if os.path.isdir(p) and not os.path.islink(p) else os.remove(p)
    for n in sorted(names):
        s, d = os.path.join(src, n), os.path.join(dst, n)
        if os.path.isdir(s) and not os.path.islink(s):
            mirror(s, d)
            continue
        if os.path.isfile(d) and not os.path.islink(d) and filecmp.cmp(s, d, shallow=False):
            continue
        shutil.copyfile(s, d)  # a new modification time: ninja rebuilds what depends on it
        shutil.copymode(s, d)


def build(out, label, **env):
    """Mirrors the checkout into out/tree and builds every extension there
    (objects in out/temp) with `env` added to the environment. Returns the
    tree's path and the build's wall time in seconds."""
    tree = os.path.join(out, "tree")
    mirror(ROOT, tree, top=True)
    full = dict(os.environ, MAX_JOBS=os.environ.get("MAX_JOBS", "2"), **env)
    t0 = time.time()
    subprocess.run([sys.executable, "setup.py", "-q", "build_ext", "--inplace",
                    "--build-temp", os.path.join(out, "temp")], cwd=tree, env=full, check=True)
    took = time.time() - t0
    print(f"{label}: build ready in {took:.0f} s", flush=True)
    return tree, took
