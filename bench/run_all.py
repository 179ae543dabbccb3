"""Runs every benchmark of bench/ and prints one table.

Each bench/bench_*.py exposes run(quick) -> rows (entry, eager_ms, ours_ms,
ratio, peak_mb). Ratio is eager time / our time: above 1 means faster.
Every benchmark runs at one intra-op thread and at the machine's default, and
the table has a column group for each.
Usage: run_all.py [--quick] [--threads N,M]
"""
import glob
import importlib
import os
import sys

import torch

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))

from bench.common import at_threads, print_table, thread_counts  # noqa: E402


def main():
    quick = "--quick" in sys.argv
    counts = thread_counts()
    if "--threads" in sys.argv:
        counts = [int(n) for n in sys.argv[sys.argv.index("--threads") + 1].split(",")]
    rows, failed = [], []
    for path in sorted(glob.glob(os.path.join(HERE, "bench_*.py"))):
        name = os.path.splitext(os.path.basename(path))[0]
        print(f"running {name} ...", file=sys.stderr, flush=True)
        try:
            mod = importlib.import_module(f"bench.{name}")
            rows.extend(at_threads(mod.run, quick, counts))
        except Exception as exc:  # keep going: one broken benchmark must not hide the others
            failed.append((name, f"{type(exc).__name__}: {exc}"))
    device = "cuda" if torch.cuda.is_available() else "cpu"
    print_table(rows, f"halcyra benchmarks (torch {torch.__version__}, {device}, "
                      f"intra-op threads {counts}); ratio = eager / ours")
    for name, err in failed:
        print(f"FAILED {name}: {err}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
