"""Robustness of the decode module: any input gives a result of the documented
form or an exception of the documented type, and never changes the input."""
import torch
from hypothesis import given
from hypothesis import strategies as st

from bench.ref_decode import decode_boxes as ref_decode_boxes
from bench.ref_decode import make_anchors as ref_make_anchors
from halcyra.infer import decode as D
from tests.reliability.conftest import DTYPES, FLOATS, JUNK, call_unchanged, check_no_leak, tensors
from tests.torch_like import outcome, same_error

ERRORS = (ValueError, TypeError, RuntimeError, IndexError, AttributeError)


@given(st.lists(st.tuples(st.integers(0, 5), st.integers(0, 5)), min_size=0, max_size=4),
       st.sampled_from([(8, 16, 32), (4,), (), [8.0, 16.5]]),
       st.sampled_from([torch.float32, torch.float16, torch.float64, torch.bfloat16]))
def test_make_anchors(shapes, strides, dtype):
    (res, exc) = call_unchanged(D.make_anchors, shapes, strides, "cpu", dtype, expect=ERRORS)
    # No level at all, or an empty one: what the tensor formulation does on
    # the installed torch (torch.cat of nothing, reshape of an empty grid).
    _, want = outcome(ref_make_anchors, shapes, strides, "cpu", dtype)
    if want is not None:
        same_error(exc, want)
        return
    assert exc is None, exc
    pts, sts = res
    a = sum(h * w for (h, w), _ in zip(shapes, strides))
    assert pts.shape == (a, 2) and sts.shape == (a,) and pts.dtype == sts.dtype == dtype


@given(st.data())
def test_flatten_preds(data):
    shape = data.draw(st.lists(st.integers(0, 4), min_size=0, max_size=5))
    x = data.draw(tensors(shape, DTYPES))
    res, exc = call_unchanged(D.flatten_preds, x, expect=ERRORS)
    if len(shape) != 4:
        assert isinstance(exc, ValueError)
    else:
        b, c, h, w = shape
        assert exc is None and res.shape == (b, h * w, c) and res.dtype == x.dtype


@given(st.data())
def test_decode_boxes_and_points(data):
    b = data.draw(st.integers(0, 3))
    a = data.draw(st.integers(0, 6))
    raw = data.draw(tensors((b, a, 4), FLOATS))
    pts = data.draw(tensors((a, 2), FLOATS, special=False))
    stv = data.draw(tensors((a,), FLOATS, special=False))
    offset = data.draw(st.sampled_from([0.0, 0.5, 1, True, -0.25]))
    res, exc = call_unchanged(D.decode_boxes, raw, pts, stv, offset=offset, expect=ERRORS)
    # The tensor formulation's outcome on the installed torch (half softplus,
    # for one, is not implemented on the CPU by every version).
    want, want_exc = outcome(ref_decode_boxes, raw, pts, stv, offset)
    if want_exc is not None:
        same_error(exc, want_exc)
    else:
        assert exc is None, exc
        assert res.shape == want.shape == (b, a, 4) and res.dtype == want.dtype
        assert res.dtype == torch.promote_types(torch.promote_types(raw.dtype, pts.dtype), stv.dtype)
    n = data.draw(st.integers(1, 3))
    praw = data.draw(tensors((b, a, 2 * n), FLOATS))
    res, exc = call_unchanged(D.decode_points, praw, pts, stv, n, expect=ERRORS)
    assert exc is None and res.shape == (b, a, n, 2)


@given(st.sampled_from(JUNK), st.sampled_from(["flatten_preds", "make_anchors", "decode_boxes",
                                              "decode_points"]))
def test_wrong_types_raise_cleanly(junk, name):
    fn = getattr(D, name)
    t = torch.zeros(1, 1, 4)
    args = {"flatten_preds": (junk,), "make_anchors": ([junk],),
            "decode_boxes": (t, junk, torch.ones(1)), "decode_points": (t, torch.zeros(1, 2), junk, 2)}[name]
    try:
        fn(*args)
    except ERRORS:
        pass


def test_no_reference_or_memory_leak():
    pts, sts = D.make_anchors([(2, 2), (1, 1)])
    raw = torch.randn(1, 5, 4)
    praw = torch.randn(1, 5, 4)
    x = torch.randn(1, 3, 2, 2)

    def calls():
        D.make_anchors([(2, 2), (1, 1)])
        D.decode_boxes(raw, pts, sts, offset=0.5)
        D.decode_points(praw, pts, sts, 2)
        D.flatten_preds(x)
        try:
            D.flatten_preds(raw)
        except ValueError:
            pass

    check_no_leak(calls, (pts, sts, raw, praw, x), warmup=200, limit_kb=4096)
