"""Feature neck: halcyra.models.neck.HRNeckLite against the plain nn.Module.

Both necks hold the same weights and run the same inputs, alternating call by
call so that both see the same machine load; the figures are medians.
forward: eval mode under torch.no_grad(); forward+backward: training mode
(batch statistics, running-statistics update), backward of the sum of all
five outputs. Outputs and input gradients are checked against each other.
On CPU the figures are the process's CPU time (user + system, page faults
included), which other processes on a shared machine disturb far less than
wall time; on CUDA they are wall time with synchronisation.
Standalone: /usr/bin/python3 bench/bench_neck.py [--quick]
"""
import os
import sys
import time

import torch

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from bench.common import main, row  # noqa: E402
from bench.ref_neck import RefNeck  # noqa: E402
from halcyra.models.neck import HRNeckLite  # noqa: E402


def _inputs(batch, size, device, requires_grad=False):
    shapes = [(64, 2), (18, 4), (36, 8), (72, 16), (144, 32)]
    return [torch.randn(batch, c, size // s, size // s, device=device, requires_grad=requires_grad)
            for c, s in shapes]


def _sync(device):
    if device == "cuda":
        torch.cuda.synchronize()


def _paired(fn_eager, fn_ours, repeat, warmup, device):
    """Median ms of each, measured alternately; peak MiB on CUDA."""
    for _ in range(warmup):
        fn_eager()
        fn_ours()
    # Process CPU time only measures speed with one thread.
    clock = (time.process_time if device == "cpu" and torch.get_num_threads() == 1
             else time.perf_counter)
    times = ([], [])
    peaks = [0.0, 0.0]
    for _ in range(repeat):
        for k, fn in enumerate((fn_eager, fn_ours)):
            if device == "cuda":
                torch.cuda.reset_peak_memory_stats()
            _sync(device)
            t0 = clock()
            fn()
            _sync(device)
            times[k].append((clock() - t0) * 1e3)
            if device == "cuda":
                peaks[k] = max(peaks[k], torch.cuda.max_memory_allocated() / 2**20)
    med = [sorted(t)[len(t) // 2] for t in times]
    return med[0], med[1], (peaks[1] if device == "cuda" else None)


def _fwd_bwd(neck, ys):
    out = neck(ys)
    sum(v.sum() for v in out.values()).backward()
    return out


def run(quick=False):
    device = "cuda" if torch.cuda.is_available() else "cpu"
    batch, size = (2, 320) if quick else (4, 640)
    # The checking calls below warm both necks up before anything is timed.
    repeat, warmup = (15, 0) if quick else (3, 0)
    torch.manual_seed(0)
    ours = HRNeckLite().to(device)
    ref = RefNeck().to(device)
    ref.load_state_dict(ours.state_dict())
    ys = _inputs(batch, size, device)
    tag = f"b{batch} {size}x{size}"

    ours.eval()
    ref.eval()
    with torch.no_grad():
        a, b = ours(ys), ref(ys)
        assert list(a) == list(b) and all(torch.equal(a[k], b[k]) for k in a)
        e_ms, o_ms, peak = _paired(lambda: ref(ys), lambda: ours(ys), repeat, warmup, device)
    rows = [row(f"HRNeckLite forward, eval ({tag})", e_ms, o_ms, peak)]

    ours.train()
    ref.train()
    ys_a = _inputs(batch, size, device, requires_grad=True)
    ys_b = [y.detach().clone().requires_grad_() for y in ys_a]
    a, b = _fwd_bwd(ours, ys_a), _fwd_bwd(ref, ys_b)
    assert all(torch.allclose(a[k], b[k], rtol=1e-5, atol=1e-5) for k in a)
    assert all(torch.allclose(x.grad, y.grad, rtol=1e-4, atol=1e-4) for x, y in zip(ys_a, ys_b))
    e_ms, o_ms, peak = _paired(lambda: _fwd_bwd(ref, ys_b), lambda: _fwd_bwd(ours, ys_a),
                               repeat, warmup, device)
    rows.append(row(f"HRNeckLite forward+backward, train ({tag})", e_ms, o_ms, peak))
    return rows


if __name__ == "__main__":
    main(run, "halcyra.models.neck")
