"""Whether the running torch computes convolutions right on this machine.

Some torch builds compute wrong convolution gradients on some CPUs: Debian 13's
torch 2.6 (oneDNN 3.7) on AVX-512 machines gives input gradients of
contiguous (NCHW) float32 convolutions that are wrong, often NaN, and change
from call to call: on one such machine at every call on one thread and at
about half of them on two, on another only on two threads. That is torch's
fault, not halcyra's, but a training loop on such a platform learns from wrong
gradients whatever detector core it uses. `check()` runs a small convolution
forward and backward a few times at one thread and at two (or torch's count,
if larger), in float32 and in both memory formats, and compares every result
with float64 (which does not go through oneDNN); `workaround()` turns oneDNN
off for the convolutions it covers, which keeps the thread count and gives
exact results there.

HALCYRA_TORCH_CHECK=sound|faulty forces the verdict (to exercise the handling
on a machine without the fault); it is read by `check()` only.
"""
import contextlib
import functools
import os

import torch

FORCE_VARIABLE = "HALCYRA_TORCH_CHECK"


class Verdict:
    """The check's result: `sound`, the thread counts it ran at, what it saw."""

    def __init__(self, sound, threads, detail, forced=False):
        self.sound, self.threads, self.detail, self.forced = sound, threads, detail, forced

    @property
    def message(self):
        """One line for users: what is wrong, in which torch, and the workaround."""
        forced = f" (forced by {FORCE_VARIABLE})" if self.forced else ""
        if self.sound:
            return (f"torch {torch.__version__}: convolutions checked against float64 at "
                    f"{self._threads()}: exact{forced}")
        return (f"WARNING: torch {torch.__version__} computes wrong convolution results on this "
                f"CPU through oneDNN ({self.detail}){forced}; this is torch's fault, not "
                f"halcyra's. Workaround: torch.backends.mkldnn.enabled = False while training")

    def _threads(self):
        return " and ".join(str(t) for t in self.threads) + " thread(s)"

    def __repr__(self):
        return f"Verdict(sound={self.sound}, threads={self.threads}, detail={self.detail!r})"


def _case(seed):
    g = torch.Generator().manual_seed(seed)
    x = torch.randn(2, 8, 32, 32, generator=g, dtype=torch.float64)
    w = torch.randn(8, 8, 3, 3, generator=g, dtype=torch.float64) * 0.2
    dy = torch.randn(2, 8, 32, 32, generator=g, dtype=torch.float64)
    return x, w, dy


def _conv(x, w, dy, memory_format):
    x = x.contiguous(memory_format=memory_format).requires_grad_()
    w = w.contiguous(memory_format=memory_format).requires_grad_()
    y = torch.nn.functional.conv2d(x, w, padding=1)
    gx, gw = torch.autograd.grad(y, (x, w), dy.contiguous(memory_format=memory_format))
    return {"forward": y.detach(), "input gradient": gx, "weight gradient": gw}


def _default_threads():
    return (1, max(2, torch.get_num_threads()))


def probe(threads=None, reps=6):
    """Runs the check at each count of `threads` (default: 1, and the larger of 2
    and torch's current count) and returns a Verdict; torch's thread count is
    restored afterwards."""
    before = torch.get_num_threads()
    threads = tuple(threads or _default_threads())
    worst = {}                     # (output, threads) -> largest relative error
    try:
        with torch.enable_grad():
            for n in threads:
                torch.set_num_threads(n)
                for seed in range(reps):
                    x, w, dy = _case(seed)
                    want = _conv(x, w, dy, torch.contiguous_format)
                    for fmt in (torch.contiguous_format, torch.channels_last):
                        got = _conv(x.float(), w.float(), dy.float(), fmt)
                        for k, v in got.items():
                            ref = want[k]
                            err = (v.double() - ref).abs().max().item()
                            rel = err / max(ref.abs().max().item(), 1e-12)
                            if not torch.isfinite(v).all():
                                rel = float("inf")
                            worst[k, n] = max(worst.get((k, n), 0.0), rel)
    finally:
        torch.set_num_threads(before)
    # float32 against float64 over at most 2 * 32 * 32 products: ~1e-6 relative
    bad = {key: v for key, v in worst.items() if not v <= 1e-4}
    if not bad:
        return Verdict(True, threads, "")
    detail = ", ".join(
        f"{k} at {n} thread(s) " + ("not finite" if v == float("inf") else
                                    f"off by {v:.2g} of its largest value")
        for (k, n), v in bad.items())
    return Verdict(False, threads, detail)


@functools.lru_cache(maxsize=None)
def check():
    """The verdict for this process (probed once), or the forced one."""
    forced = os.environ.get(FORCE_VARIABLE, "")
    if forced in ("sound", "faulty"):
        return Verdict(forced == "sound", _default_threads(),
                       "" if forced == "sound" else "not probed", forced=True)
    if forced:
        raise ValueError(f"{FORCE_VARIABLE}={forced!r}: expected 'sound' or 'faulty'")
    return probe()


@contextlib.contextmanager
def workaround():
    """oneDNN off for torch's convolutions inside the block (thread count kept)."""
    with torch.backends.mkldnn.flags(enabled=False):
        yield


@contextlib.contextmanager
def sound_convolutions():
    """The block as it is where the check found torch sound, else under workaround()."""
    if check().sound:
        yield
    else:
        with workaround():
            yield
