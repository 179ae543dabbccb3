"""Timing helpers shared by the benchmarks."""
import resource
import time

import torch


def timeit(fn, repeat=20, warmup=3):
    """Median wall time of fn() in milliseconds."""
    for _ in range(warmup):
        fn()
    times = []
    for _ in range(repeat):
        if torch.cuda.is_available():
            torch.cuda.synchronize()
        t0 = time.perf_counter()
        fn()
        if torch.cuda.is_available():
            torch.cuda.synchronize()
        times.append((time.perf_counter() - t0) * 1e3)
    times.sort()
    return times[len(times) // 2]


def peak_rss_mb():
    """Peak resident memory of this process so far, in MiB."""
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0


def row(entry, eager_ms, ours_ms, peak_mb=None):
    return {"entry": entry, "eager_ms": eager_ms, "ours_ms": ours_ms,
            "ratio": eager_ms / ours_ms if ours_ms > 0 else float("inf"), "peak_mb": peak_mb}


def print_table(rows, title=None):
    if title:
        print(title)
    head = f"{'entry':<62} {'eager ms':>10} {'ours ms':>10} {'ratio':>7} {'peak MiB':>9}"
    print(head)
    print("-" * len(head))
    for r in rows:
        peak = f"{r['peak_mb']:.0f}" if r.get("peak_mb") else "-"
        print(f"{r['entry']:<62} {r['eager_ms']:>10.3f} {r['ours_ms']:>10.3f} "
              f"{r['ratio']:>7.2f} {peak:>9}")
