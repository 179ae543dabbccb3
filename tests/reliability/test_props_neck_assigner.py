"""Robustness of HRNeckLite and of the shipped assigner."""
import pytest
import torch
from hypothesis import given
from hypothesis import strategies as st

from bench.ref_neck import RefNeck
from tests.reliability.conftest import FLOATS, JUNK, call_unchanged, check_no_leak, tensors
from tests.torch_like import outcome, same_error

neck_mod = pytest.importorskip("halcyra.models.neck")
from halcyra.losses.assigner import assign  # noqa: E402

ERRORS = (ValueError, TypeError, RuntimeError, IndexError, AssertionError)
CH = (4, 6, 8, 10)


@given(st.integers(0, 2), st.sampled_from([32, 64, 48]), st.integers(3, 6), st.booleans(),
       st.sampled_from([torch.float32, torch.float64, torch.float16, torch.bfloat16]),
       st.booleans(), st.integers(0, 2**16))
def test_neck_any_input(b, size, levels, with_mask, dtype, channels_last, seed):
    torch.manual_seed(seed)
    neck = neck_mod.HRNeckLite(CH, 8, 6, 5, with_mask).to(dtype)
    chans = [5] + list(CH)
    ys = [torch.randn(b, c, size // s, size // s, dtype=dtype) for c, s in zip(chans, (2, 4, 8, 16, 32))]
    ys = ys[:levels] + ys[-1:] * (levels - 5)
    if channels_last:
        ys = [y.contiguous(memory_format=torch.channels_last) for y in ys]
    out, exc = call_unchanged(neck, ys, expect=ERRORS)
    if levels != 5:
        assert isinstance(exc, AssertionError)
        assert str(exc) == f"expected 5 levels (incl. y2), got {levels}"
        return
    # Batch norm in training mode with one value per channel, a size that is
    # no multiple of 32 (the mask features cannot be concatenated), reduced
    # precision convolutions on the CPU (not implemented by every torch): the
    # plain module's error on the installed torch.
    ref = RefNeck(CH, 8, 6, 5, with_mask)
    ref.load_state_dict(neck.state_dict())
    _, want = outcome(ref.to(dtype), ys)
    if want is not None:
        same_error(exc, want)
        return
    assert exc is None, exc
    assert list(out) == (["c2", "f2"] if with_mask else []) + ["p3", "p4", "p5"]
    assert out["p3"].shape == (b, 8, size // 8, size // 8) and out["p3"].dtype == dtype


@given(st.sampled_from(JUNK))
def test_neck_junk_inputs(junk):
    neck = neck_mod.HRNeckLite(CH, 8, 6, 5)
    with pytest.raises(ERRORS + (AttributeError,)):
        neck(junk)
    with pytest.raises(ERRORS + (AttributeError,)):
        neck([junk] * 5)


def test_neck_no_leak():
    neck = neck_mod.HRNeckLite(CH, 8, 6, 5).eval()
    ys = [torch.randn(1, c, 32 // s, 32 // s) for c, s in zip([5] + list(CH), (2, 4, 8, 16, 32))]
    with torch.no_grad():
        check_no_leak(lambda: neck(ys), ys)


@given(st.integers(0, 3), st.integers(0, 5), st.integers(1, 4), st.sampled_from(FLOATS),
       st.integers(1, 12), st.booleans(), st.integers(0, 2**16))
def test_assign_any_input(b, g, nc, dtype, topk, rescue, seed):
    gen = torch.Generator().manual_seed(seed)
    a = 21
    pts = torch.rand(a, 2, generator=gen) * 32
    xy = torch.rand(b, g, 2, generator=gen) * 24
    args = (torch.rand(b, a, nc, generator=gen).to(dtype),
            torch.cat([pts - 3, pts + 3], -1)[None].expand(b, a, 4).to(dtype),
            pts, torch.cat([xy, xy + torch.rand(b, g, 2, generator=gen) * 10], -1),
            torch.randint(0, nc, (b, g), generator=gen), torch.rand(b, g, generator=gen) > 0.2,
            torch.rand(b, g, generator=gen) > 0.8)
    out, exc = call_unchanged(assign, *args, topk=topk, alpha=0.5, beta=6.0,
                              strides=torch.full((a,), 8.0), target_floor=0.1, rescue=rescue,
                              expect=ERRORS)
    assert exc is None
    fg, matched, tb, ts, ign = out
    assert fg.shape == (b, a) and fg.dtype == torch.bool
    assert matched.shape == (b, a) and tb.shape == (b, a, 4) and ts.shape == (b, a, nc)
    assert not (fg & ign).any()
    assert (ts[~fg] == 0).all()
    if g:
        assert ((matched >= 0) & (matched < g)).all()
