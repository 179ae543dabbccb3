"""The committed type stubs describe the compiled modules as they are."""
import os
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def test_stubs_are_current():
    proc = subprocess.run([sys.executable, os.path.join(ROOT, "tools", "gen_stubs.py"), "--check"],
                          capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stdout + proc.stderr + "\nrun tools/gen_stubs.py to refresh them"
