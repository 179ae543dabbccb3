"""Timing helpers shared by the benchmarks."""
import resource
import time

import torch


def _sync():
    if torch.cuda.is_available():
        torch.cuda.synchronize()


def timeit(fn, repeat=20, warmup=3):
    """Median wall time of fn() in milliseconds."""
    for _ in range(warmup):
        fn()
    times = []
    for _ in range(repeat):
        _sync()
        t0 = time.perf_counter()
        fn()
        _sync()
        times.append((time.perf_counter() - t0) * 1e3)
    times.sort()
    return times[len(times) // 2]


def compare(eager, ours, repeat=20, warmup=3):
    """Median wall times (ms) of eager() and ours(), called alternately so that
    both see the same machine load. Returns (eager_ms, ours_ms)."""
    for _ in range(warmup):
        eager()
        ours()
    times = ([], [])
    for _ in range(repeat):
        for k, fn in enumerate((eager, ours)):
            _sync()
            t0 = time.perf_counter()
            fn()
            _sync()
            times[k].append((time.perf_counter() - t0) * 1e3)
    return tuple(sorted(t)[len(t) // 2] for t in times)


def peak_rss_mb():
    """Peak resident memory of this process so far, in MiB."""
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0


def row(entry, eager_ms, ours_ms, peak_mb=None):
    return {"entry": entry, "eager_ms": eager_ms, "ours_ms": ours_ms,
            "ratio": eager_ms / ours_ms if ours_ms > 0 else float("inf"), "peak_mb": peak_mb}


def at_threads(run, quick, counts):
    """Runs a benchmark's run(quick) once per intra-op thread count and merges
    the rows by entry: {"entry", "peak_mb", "by_threads": {n: row}}."""
    default = torch.get_num_threads()
    merged = {}
    try:
        for n in counts:
            torch.set_num_threads(n)
            for r in run(quick):
                m = merged.setdefault(r["entry"], {"entry": r["entry"], "peak_mb": None,
                                                   "by_threads": {}})
                m["by_threads"][n] = r
                if r.get("peak_mb"):
                    m["peak_mb"] = max(m["peak_mb"] or 0.0, r["peak_mb"])
    finally:
        torch.set_num_threads(default)
    return list(merged.values())


def thread_counts():
    """One intra-op thread and one per core. Debian 12's torch starts with a
    single intra-op thread whatever the core count, so its own default would
    not measure the threaded kernels."""
    import os
    n = max(torch.get_num_threads(), len(os.sched_getaffinity(0)))
    return [1] if n == 1 else [1, n]


def print_table(rows, title=None):
    """Rows of row() (one thread count) or of at_threads() (one column group
    per thread count)."""
    if title:
        print(title)
    counts = sorted({n for r in rows for n in r.get("by_threads", {})})
    if not counts:
        head = f"{'entry':<62} {'eager ms':>10} {'ours ms':>10} {'ratio':>7} {'peak MiB':>9}"
        print(head)
        print("-" * len(head))
        for r in rows:
            peak = f"{r['peak_mb']:.0f}" if r.get("peak_mb") else "-"
            print(f"{r['entry']:<62} {r['eager_ms']:>10.3f} {r['ours_ms']:>10.3f} "
                  f"{r['ratio']:>7.2f} {peak:>9}")
        return
    head = f"{'entry':<62}" + "".join(
        f" {'eager ms @' + str(n):>12} {'ours ms @' + str(n):>11} {'ratio @' + str(n):>9}"
        for n in counts) + f" {'peak MiB':>9}"
    print(head)
    print("-" * len(head))
    for r in rows:
        line = f"{r['entry']:<62}"
        for n in counts:
            c = r["by_threads"].get(n)
            line += (f" {c['eager_ms']:>12.3f} {c['ours_ms']:>11.3f} {c['ratio']:>9.2f}" if c
                     else f" {'-':>12} {'-':>11} {'-':>9}")
        peak = f"{r['peak_mb']:.0f}" if r.get("peak_mb") else "-"
        print(line + f" {peak:>9}")


def main(run, title):
    """Standalone entry of a benchmark file: [--quick] [--threads N,M]."""
    import sys
    quick = "--quick" in sys.argv
    counts = thread_counts()
    if "--threads" in sys.argv:
        counts = [int(n) for n in sys.argv[sys.argv.index("--threads") + 1].split(",")]
    print_table(at_threads(run, quick, counts),
                f"{title} (torch {torch.__version__}, "
                f"{'cuda' if torch.cuda.is_available() else 'cpu'}); ratio = eager / ours")
