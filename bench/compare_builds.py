"""Every benchmark of two built trees of this repository, alternating between
them, and one table of how the second compares with the first.

    /usr/bin/python3 bench/compare_builds.py OLD_TREE NEW_TREE [--rounds N] [--quick]
                                             [--only decode,neck] [--save DIR]

Each round runs the benchmarks of OLD_TREE, then those of NEW_TREE, each in a
fresh interpreter that imports that tree's halcyra and bench packages (both
trees built in place: make build). A row's figure is its ratio (eager time /
our time) in the new tree over the same row's ratio in the old one, per
intra-op thread count and round: above 1 the new build is faster. A second
table compares our side's times alone (old / new), which the eager side's
run-to-run spread does not touch. Measuring
against the eager formulation in the same process cancels most of the load
the machine happens to carry; run it on an otherwise idle machine all the same.
Rows that only one tree has are listed as such. --save DIR keeps each run's
rows (round-K-old.json, round-K-new.json) as soon as it ends.
"""
import argparse
import json
import os
import subprocess
import sys

DRIVER = r"""
import glob, json, os, sys
tree = sys.argv[1]
sys.path.insert(0, tree)
from bench.common import at_threads, thread_counts
counts, quick, only = thread_counts(), sys.argv[2] == "1", [n for n in sys.argv[3].split(",") if n]
rows = []
for path in sorted(glob.glob(os.path.join(tree, "bench", "bench_*.py"))):
    name = os.path.splitext(os.path.basename(path))[0]
    if only and name[len("bench_"):] not in only:
        continue
    print(f"  {name}", file=sys.stderr, flush=True)
    mod = __import__(f"bench.{name}", fromlist=["run"])
    for r in at_threads(mod.run, quick, counts):
        rows.append({"entry": f"{name}: {r['entry']}",
                     "ratio": {str(n): t["ratio"] for n, t in r["by_threads"].items()},
                     "ours_ms": {str(n): t["ours_ms"] for n, t in r["by_threads"].items()}})
print(json.dumps(rows))
"""


def run_tree(tree, quick, only):
    """({entry: {threads: ratio}}, {entry: {threads: our ms}}) of one run of a
    tree's benchmarks."""
    print(f"benchmarks of {tree}", file=sys.stderr, flush=True)
    proc = subprocess.run([sys.executable, "-c", DRIVER, os.path.abspath(tree), "1" if quick else "0",
                           only],
                          cwd=tree, stdout=subprocess.PIPE, text=True, check=True)
    rows = json.loads(proc.stdout.strip().splitlines()[-1])
    return ({r["entry"]: r["ratio"] for r in rows}, {r["entry"]: r["ours_ms"] for r in rows})


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("old")
    ap.add_argument("new")
    ap.add_argument("--rounds", type=int, default=2)
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--only", default="", help="benchmarks by name (bench_<name>.py), comma-separated")
    ap.add_argument("--save", default="", help="a folder for each run's rows, written as it ends")
    args = ap.parse_args()
    rounds = []
    for k in range(args.rounds):
        pair = []
        for which, tree in (("old", args.old), ("new", args.new)):
            pair.append(run_tree(tree, args.quick, args.only))
            if args.save:
                os.makedirs(args.save, exist_ok=True)
                with open(os.path.join(args.save, f"round-{k + 1}-{which}.json"), "w") as f:
                    json.dump({"ratio": pair[-1][0], "ours_ms": pair[-1][1]}, f)
        rounds.append(tuple(pair))
    table(rounds, 0, "new build's ratio (eager / ours) over the old build's, per row")
    print()
    return table(rounds, 1, "old build's time over the new build's, per row (our side alone: "
                 "the eager side's run-to-run spread left out; above 1 the new build is faster)")


def table(rounds, which, title):
    """One markdown table of the rounds' figures (0: ratios, 1: our times)."""
    rounds = [(old[which], new[which]) for old, new in rounds]
    entries = list(dict.fromkeys(e for old, new in rounds for e in list(old) + list(new)))
    threads = sorted({n for old, new in rounds for r in list(old.values()) + list(new.values())
                      for n in r}, key=int)
    head = ["entry"] + [f"{n} thr, round {k + 1}" for n in threads for k in range(len(rounds))]
    print(title)
    print("| " + " | ".join(head) + " |")
    print("|" + "---|" * len(head))
    worst = None
    for e in entries:
        cells = []
        for n in threads:
            for old, new in rounds:
                if e not in old or e not in new:
                    cells.append("only in " + ("new" if e in new else "old"))
                    continue
                q = new[e][n] / old[e][n] if which == 0 else old[e][n] / new[e][n]
                worst = q if worst is None else min(worst, q)
                cells.append(f"{q:.2f}x (old {old[e][n]:.3g}, new {new[e][n]:.3g})")
        print(f"| {e} | " + " | ".join(cells) + " |")
    if worst is not None:
        print(f"lowest: {worst:.2f}x")
    return 0


if __name__ == "__main__":
    sys.exit(main())
