"""Property-based robustness suite: shared strategies and checks.

Profiles: HALCYRA_PROFILE=ci (default, quick) or deep (by hand).
"""
import os
import sys

import torch
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
if ROOT not in sys.path:
    sys.path.insert(0, ROOT)

settings.register_profile("ci", max_examples=30, deadline=None, derandomize=True,
                          suppress_health_check=list(HealthCheck))
settings.register_profile("deep", max_examples=600, deadline=None,
                          suppress_health_check=list(HealthCheck))
settings.load_profile(os.environ.get("HALCYRA_PROFILE", "ci"))

LEAK_CALLS = int(os.environ.get("HALCYRA_LEAK_CALLS", "1000"))

FLOATS = [torch.float32, torch.float16, torch.bfloat16, torch.float64]
DTYPES = FLOATS + [torch.int64, torch.int32, torch.uint8, torch.bool]
JUNK = [None, [], [1, 2], 3, 2.5, "x", {}, object()]


def snapshot(obj):
    """Everything about obj that a call must leave unchanged."""
    if isinstance(obj, torch.Tensor):
        return ("T", obj.detach().clone(), tuple(obj.shape), obj.stride(), obj.dtype,
                obj.requires_grad, obj._version, obj.data_ptr())
    if isinstance(obj, dict):
        return ("D", list(obj.keys()), [snapshot(v) for v in obj.values()])
    if isinstance(obj, (list, tuple)):
        return (type(obj).__name__, [snapshot(v) for v in obj])
    return ("O", id(obj))


def same(a, b):
    if a[0] != b[0]:
        return False
    if a[0] == "T":
        va, vb = a[1], b[1]
        if a[2:] != b[2:]:
            return False
        if va.is_floating_point() or va.is_complex():
            return torch.equal(torch.nan_to_num(va), torch.nan_to_num(vb)) and \
                torch.equal(torch.isnan(va), torch.isnan(vb))
        return torch.equal(va, vb)
    if a[0] == "D":
        return a[1] == b[1] and all(same(x, y) for x, y in zip(a[2], b[2]))
    if a[0] == "O":
        return a[1] == b[1]
    return len(a[1]) == len(b[1]) and all(same(x, y) for x, y in zip(a[1], b[1]))


def call_unchanged(fn, *args, expect=(), **kwargs):
    """Calls fn; checks that no argument changed (values, shape, strides,
    requires_grad, version counter, storage) and that the error, if any, is one
    of `expect`. Returns (result, exception)."""
    before = [snapshot(a) for a in args] + [snapshot(v) for v in kwargs.values()]
    result, exc = None, None
    try:
        result = fn(*args, **kwargs)
    except expect as e:  # noqa: B030
        exc = e
    after = [snapshot(a) for a in args] + [snapshot(v) for v in kwargs.values()]
    for x, y in zip(before, after):
        assert same(x, y), f"{getattr(fn, '__name__', fn)} changed an input"
    return result, exc


@st.composite
def tensors(draw, shape, dtypes=FLOATS, lo=-8.0, hi=8.0, special=True):
    """A tensor of the given shape: random dtype, maybe non-contiguous or
    expanded, maybe containing NaN / inf."""
    dtype = draw(st.sampled_from(dtypes))
    seed = draw(st.integers(0, 2**31 - 1))
    g = torch.Generator().manual_seed(seed)
    layout = draw(st.sampled_from(["contig", "transposed", "expanded"]))
    shape = tuple(shape)
    if layout == "expanded" and len(shape) >= 1 and shape[0] > 0:
        base = torch.rand((1,) + shape[1:], generator=g, dtype=torch.float64)
        t = base * (hi - lo) + lo
        t = t.to(dtype) if dtype.is_floating_point else t.round().clamp(0, 1 if dtype == torch.bool else 100).to(dtype)
        t = t.expand(shape)
    else:
        t = torch.rand(shape[::-1] if layout == "transposed" else shape, generator=g, dtype=torch.float64)
        t = t * (hi - lo) + lo
        if layout == "transposed":
            t = t.permute(*reversed(range(len(shape)))) if len(shape) > 1 else t
        t = t.to(dtype) if dtype.is_floating_point else t.round().clamp(0, 1 if dtype == torch.bool else 100).to(dtype)
    if special and dtype.is_floating_point and t.numel() and draw(st.booleans()) and not layout == "expanded":
        flat = t.view(-1) if t.is_contiguous() else None
        if flat is not None:
            flat[draw(st.integers(0, t.numel() - 1))] = draw(st.sampled_from([float("nan"), float("inf"), -float("inf")]))
    return t


def check_no_leak(call, objects, calls=None, warmup=50, limit_kb=8192):
    """Runs call() warmup times, then `calls` times more: peak RSS may not grow
    by more than limit_kb and the reference counts of `objects` (taken after
    the warm-up) must not change."""
    import gc
    import resource
    import sys

    calls = LEAK_CALLS if calls is None else calls
    for _ in range(warmup):
        call()
    gc.collect()
    refs = [sys.getrefcount(o) for o in objects]
    rss0 = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    for _ in range(calls):
        call()
    gc.collect()
    grown = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - rss0
    assert grown < limit_kb, f"peak RSS grew by {grown} KiB over {calls} calls"
    assert refs == [sys.getrefcount(o) for o in objects], "reference counts of the inputs changed"


def same_in_threads(fn, inputs, equal, repeat=10):
    """fn(inputs[i]) from one thread per input, `repeat` times each, must give
    what sequential calls give (compared with equal(a, b) -> bool)."""
    import threading

    expected = [fn(x) for x in inputs]
    results, errors = [None] * len(inputs), []

    def work(i):
        try:
            for _ in range(repeat):
                results[i] = fn(inputs[i])
        except Exception as e:  # reported below
            errors.append(e)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(inputs))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors, errors
    for got, exp in zip(results, expected):
        assert equal(got, exp)
