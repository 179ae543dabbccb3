"""Runs the property-based robustness suite (tests/reliability) in a child
interpreter: a crash of the interpreter is reported here as a failure."""
import os
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def test_property_suite_in_child_process():
    env = dict(os.environ)
    env.setdefault("HALCYRA_PROFILE", "ci")
    proc = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-x",
         os.path.join(ROOT, "tests", "reliability")],
        cwd=ROOT, env=env, capture_output=True, text=True, timeout=900)
    tail = (proc.stdout + proc.stderr)[-6000:]
    assert proc.returncode >= 0, f"the child interpreter crashed (signal {-proc.returncode}):\n{tail}"
    assert proc.returncode == 0, tail
    assert " passed" in proc.stdout, tail
