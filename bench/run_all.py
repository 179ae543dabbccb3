"""Runs every benchmark of bench/ and prints one table.

Each bench/bench_*.py exposes run(quick) -> rows (entry, eager_ms, ours_ms,
ratio, peak_mb). Ratio is eager time / our time: above 1 means faster.
Usage: run_all.py [--quick]
"""
import glob
import importlib
import os
import sys

import torch

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))

from bench.common import print_table  # noqa: E402


def main():
    quick = "--quick" in sys.argv
    rows, failed = [], []
    for path in sorted(glob.glob(os.path.join(HERE, "bench_*.py"))):
        name = os.path.splitext(os.path.basename(path))[0]
        print(f"running {name} ...", file=sys.stderr, flush=True)
        try:
            mod = importlib.import_module(f"bench.{name}")
            rows.extend(mod.run(quick))
        except Exception as exc:  # keep going: one broken benchmark must not hide the others
            failed.append((name, f"{type(exc).__name__}: {exc}"))
    device = "cuda" if torch.cuda.is_available() else "cpu"
    print_table(rows, f"halcyra benchmarks (torch {torch.__version__}, {device}, "
                      f"{torch.get_num_threads()} threads); ratio = eager / ours")
    for name, err in failed:
        print(f"FAILED {name}: {err}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
