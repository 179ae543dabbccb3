"""Anchor grid, flattening and decoding, against the plain tensor formulation."""
import inspect
import math
import pickle

import pytest
import torch
import torch.nn.functional as F

from halcyra.infer import decode as D


from bench.ref_decode import decode_boxes as ref_decode_boxes
from bench.ref_decode import decode_points as ref_decode_points
from bench.ref_decode import make_anchors as ref_make_anchors
from tests.torch_like import error_of, raises_like, same_outcome


def test_module_names_and_defaults():
    assert D.STRIDES == (8, 16, 32)
    assert D.torch is torch and D.F is F
    assert D.make_anchors.__defaults__ == ((8, 16, 32), "cpu", torch.float32)
    assert D.make_anchors.__annotations__ == {}
    assert D.flatten_preds.__annotations__ == {"x": torch.Tensor, "return": torch.Tensor}
    assert D.decode_points.__annotations__["n"] is int
    sig = inspect.signature(D.decode_boxes)
    assert list(sig.parameters) == ["raw", "points", "stride", "offset"]
    assert sig.parameters["offset"].default == 0.0
    for f in (D.flatten_preds, D.make_anchors, D.decode_boxes, D.decode_points):
        assert f.__module__ == "halcyra.infer.decode"
        assert f.__qualname__ == f.__name__ and f.__doc__
        assert pickle.loads(pickle.dumps(f)) is f


def test_anchor_grid_640(device):
    p, s = D.make_anchors([(80, 80), (40, 40), (20, 20)], device=device)
    assert p.shape == (8400, 2) and s.shape == (8400,)
    assert p.dtype == s.dtype == torch.float32 and p.device.type == device
    p, s = p.cpu(), s.cpu()
    assert p[0].tolist() == [4, 4] and p[1].tolist() == [12, 4] and p[80].tolist() == [4, 12]
    assert p[6400].tolist() == [8, 8] and s[6400] == 16
    assert p[8000].tolist() == [16, 16] and s[8000] == 32
    assert p[8399].tolist() == [624, 624]
    assert (s[:6400] == 8).all() and (s[6400:8000] == 16).all() and (s[8000:] == 32).all()
    rp, rs = ref_make_anchors([(80, 80), (40, 40), (20, 20)])
    assert torch.equal(p, rp) and torch.equal(s, rs)


@pytest.mark.parametrize("shapes,strides,dtype", [
    ([(2, 3)], (8,), torch.float32),
    ([(1, 4)], (8,), torch.float32),
    ([[3, 5], torch.Size([2, 7]), (4, 1)], (8, 16, 32), torch.float16),
    ([(5, 6), (3, 3), (2, 2), (1, 1)], (8, 16, 32), torch.float64),  # extra level dropped
    ([(5, 6), (3, 3)], [8, 16.5, 32], torch.float32),                 # extra stride unused
    ([(7, 9), (2, 1)], (8.1, -3), torch.float32),      # strides rounded to the type, negative
    ([(300, 200)], (7.3,), torch.float32),
    ([(3, 4)], (1e30,), torch.float64),
    ([(2, 2), (1, 3)], (True, 2 ** 40), torch.float32),
    ([(2, 2)], (8,), torch.bfloat16),
])
def test_anchor_grid_matches_reference(shapes, strides, dtype):
    p, s = D.make_anchors(shapes, strides, dtype=dtype)
    rp, rs = ref_make_anchors(shapes, strides, dtype=dtype)
    assert p.dtype == s.dtype == dtype
    assert torch.equal(p, rp) and torch.equal(s, rs)


def test_anchor_small_examples():
    p, s = D.make_anchors([(2, 3)], strides=(8,))
    assert p.tolist() == [[4, 4], [12, 4], [20, 4], [4, 12], [12, 12], [20, 12]]
    assert s.tolist() == [8.0] * 6
    p, _ = D.make_anchors([(1, 4)], (8,))
    assert p.tolist() == [[4, 4], [12, 4], [20, 4], [28, 4]]
    p, _ = D.make_anchors(feat_shapes=[(1, 1)], dtype=torch.float64, device=torch.device("cpu"))
    assert p.dtype == torch.float64


def test_flatten_aligns_with_anchors():
    x = torch.arange(12.0).reshape(1, 2, 2, 3)
    y = D.flatten_preds(x)
    assert y.shape == (1, 6, 2)
    for i in range(2):
        for j in range(3):
            for c in range(2):
                assert y[0, i * 3 + j, c] == x[0, c, i, j]
    # Three levels flattened and concatenated line up with the anchors: encode
    # each cell's own centre into the map and read it back through the anchors.
    shapes = [(4, 6), (2, 3), (1, 2)]
    levels = []
    for (h, w), s in zip(shapes, D.STRIDES):
        ys, xs = torch.meshgrid(torch.arange(h) + 0.5, torch.arange(w) + 0.5, indexing="ij")
        levels.append(torch.stack([xs * s, ys * s])[None])
    flat = torch.cat([D.flatten_preds(t) for t in levels], 1)
    pts, _ = D.make_anchors(shapes)
    assert torch.equal(flat[0], pts)
    # non-contiguous input is accepted and the caller's tensor is unchanged
    z = torch.randn(2, 5, 4, 3).transpose(2, 3)
    before = z.clone()
    assert torch.equal(D.flatten_preds(z), z.permute(0, 2, 3, 1).reshape(2, 12, 5))
    assert torch.equal(z, before)


def one_anchor():
    return torch.tensor([[4.0, 4.0]]), torch.tensor([8.0])


def test_decode_boxes_examples():
    pts, st = one_anchor()
    zero = torch.zeros(1, 1, 4)
    ln2 = math.log(2.0) * 8
    out = D.decode_boxes(zero, pts, st)
    assert torch.allclose(out, torch.tensor([[[4 - ln2, 4 - ln2, 4 + ln2, 4 + ln2]]]))
    assert torch.allclose(out, torch.tensor([[[-1.545177, -1.545177, 9.545177, 9.545177]]]))
    out = D.decode_boxes(zero, pts, st, offset=0.5)
    assert torch.allclose(out, torch.tensor([[[2.454823, 2.454823, 5.545177, 5.545177]]]))
    neg = torch.full((1, 1, 4), -20.0)
    assert D.decode_boxes(neg, pts, st, offset=0.5).tolist() == [[[8.0, 8.0, 8.0, 8.0]]]
    tiny = D.decode_boxes(neg, pts, st, offset=0.0)[0, 0]
    assert tiny[0] <= 4 <= tiny[2] and tiny[1] <= 4 <= tiny[3]
    assert (tiny[2:] - tiny[:2] < 1e-3).all()


@pytest.mark.parametrize("offset", [0.0, 0.5, 1, 0.25])
@pytest.mark.parametrize("dtype", [torch.float32, torch.float64])
def test_decode_boxes_matches_reference(offset, dtype, device):
    g = torch.Generator().manual_seed(0)
    pts, st = D.make_anchors([(6, 5), (3, 3), (2, 1)], device=device)
    raw = (torch.randn(3, pts.shape[0], 4, generator=g) * 6).to(device, dtype)
    raw[0, :5] = torch.tensor([25.0, -25.0, 19.9, 20.1], dtype=dtype)  # softplus threshold
    raw[1, 0, 0] = float("nan")
    before = raw.clone()
    out = D.decode_boxes(raw, pts, st, offset=offset)
    ref = ref_decode_boxes(raw, pts, st, offset)
    assert out.dtype == ref.dtype and out.shape == (3, pts.shape[0], 4)
    torch.testing.assert_close(out, ref, rtol=1e-6, atol=1e-5, equal_nan=True)
    assert torch.equal(raw.nan_to_num(), before.nan_to_num())


def test_decode_boxes_gradients_match_reference():
    pts, st = D.make_anchors([(3, 4)])
    raw = torch.randn(2, 12, 4, requires_grad=True)
    for offset in (0.0, 0.5):
        g1, = torch.autograd.grad(D.decode_boxes(raw, pts, st, offset=offset).sum(), raw)
        g2, = torch.autograd.grad(ref_decode_boxes(raw, pts, st, offset).sum(), raw)
        torch.testing.assert_close(g1, g2)


def test_decode_boxes_tensor_offset():
    pts, st = one_anchor()
    raw = torch.zeros(1, 1, 4)
    assert torch.allclose(D.decode_boxes(raw, pts, st, torch.tensor(0.5)),
                          ref_decode_boxes(raw, pts, st, 0.5))
    # an offset of several values, or a string: as the plain formulation fails
    for bad in (torch.tensor([0.5, 0.5, 0.5, 0.5]), "0.5"):
        raises_like(error_of(ref_decode_boxes, raw, pts, st, bad),
                    D.decode_boxes, raw, pts, st, bad)


def test_decode_points(device):
    out = D.decode_points(torch.tensor([[[0.5, -1.0]]], device=device),
                          torch.tensor([[8.0, 8.0]], device=device),
                          torch.tensor([16.0], device=device), 1)
    assert out.tolist() == [[[[16.0, -8.0]]]]
    raw = torch.arange(6.0).reshape(1, 1, 6)
    out = D.decode_points(raw, torch.zeros(1, 2), torch.ones(1), n=3)
    assert out.shape == (1, 1, 3, 2) and out[0, 0].tolist() == [[0, 1], [2, 3], [4, 5]]
    pts, st = D.make_anchors([(4, 4), (2, 2)], device=device)
    raw = torch.randn(2, 20, 10, device=device)
    torch.testing.assert_close(D.decode_points(raw, pts, st, 5), ref_decode_points(raw, pts, st, 5))
    # n whose double overflows int64 (2 * n was once computed unchecked): the
    # reshape's own error, as in the plain formulation
    for n in (2**62, 2**63 - 1):
        raises_like(error_of(ref_decode_points, raw, pts, st, n), D.decode_points, raw, pts, st, n)


def unpack_message(seq, n):
    """The interpreter's own message for `a, b, ... = seq` with n names."""
    with pytest.raises(ValueError) as info:
        exec(", ".join(f"_{i}" for i in range(n)) + ", = seq", {"seq": seq})
    return str(info.value)


def test_failures_have_python_types_and_messages():
    x = torch.zeros(1, 1, 4)
    pts, st = one_anchor()
    cases = [
        (lambda: D.flatten_preds(torch.zeros(2, 3)), ValueError,
         unpack_message(torch.Size([2, 3]), 4)),
        (lambda: D.flatten_preds(torch.zeros(1, 2, 3, 4, 5)), ValueError,
         unpack_message(torch.Size([1, 2, 3, 4, 5]), 4)),
        (lambda: D.make_anchors([(1, 2, 3)]), ValueError, unpack_message((1, 2, 3), 2)),
        (lambda: D.make_anchors([(1,)]), ValueError, unpack_message((1,), 2)),
        (lambda: D.decode_points(torch.zeros(4), pts, st, 1), ValueError,
         unpack_message(torch.Size([4]), 3)),
        (lambda: D.make_anchors(), TypeError,
         "make_anchors() missing 1 required positional argument: 'feat_shapes'"),
        (lambda: D.make_anchors(1, 2, 3, 4, 5), TypeError,
         "make_anchors() takes from 1 to 4 positional arguments but 5 were given"),
        (lambda: D.flatten_preds(x, x), TypeError,
         "flatten_preds() takes 1 positional argument but 2 were given"),
        (lambda: D.decode_points(x, pts, st), TypeError,
         "decode_points() missing 1 required positional argument: 'n'"),
        (lambda: D.decode_points(x, pts, stride=st, n=2, m=1), TypeError,
         "decode_points() got an unexpected keyword argument 'm'"),
        (lambda: D.decode_boxes(x, pts, st, raw=x), TypeError,
         "decode_boxes() got multiple values for argument 'raw'"),
        (lambda: D.decode_boxes(), TypeError,
         "decode_boxes() missing 3 required positional arguments: 'raw', 'points', and 'stride'"),
    ]
    for call, exc, msg in cases:
        with pytest.raises(exc) as info:
            call()
        assert str(info.value) == msg
    # Nothing to concatenate, an empty level (torch 1.13 reshapes the empty
    # grid to (0, 2) without complaint), a point count that does not divide
    # the row, anchors that do not broadcast: what the tensor formulation does
    # on the installed torch, its exception type and message included.
    def same_anchors(got, want):
        assert [t.shape for t in got] == [t.shape for t in want]
        assert all(torch.equal(a, b) for a, b in zip(got, want))

    for shapes in ([], [(0, 4)], [(3, 0), (1, 1)]):
        same_outcome(lambda: D.make_anchors(shapes, (8, 16)),
                     lambda: ref_make_anchors(shapes, (8, 16)), same_anchors)
    # a stride the result's type cannot hold, a negative size
    for shapes, strides in (([(2, 2)], (1e39,)), ([(-1, 2)], (8,))):
        same_outcome(lambda: D.make_anchors(shapes, strides),
                     lambda: ref_make_anchors(shapes, strides), same_anchors)
    raises_like(error_of(ref_decode_points, torch.zeros(1, 1, 5), pts, st, 2),
                D.decode_points, torch.zeros(1, 1, 5), pts, st, 2)
    raises_like(error_of(ref_decode_boxes, torch.zeros(1, 3, 4), torch.zeros(2, 2), torch.ones(2)),
                D.decode_boxes, torch.zeros(1, 3, 4), torch.zeros(2, 2), torch.ones(2))
    # size-1 anchors broadcast, as in the tensor formulation
    torch.testing.assert_close(D.decode_boxes(torch.zeros(1, 3, 4), pts, st),
                               ref_decode_boxes(torch.zeros(1, 3, 4), pts, st))
    with pytest.raises(AttributeError):
        D.flatten_preds(None)


class HugeIndex:
    """An integer-like object too large for an index."""

    def __index__(self):
        return 2 ** 70


def test_number_like_arguments():
    """Sizes and strides may be 0-d tensors or objects with __index__ (what the
    zip-and-arange formulation accepts); anything else is a TypeError."""
    import numpy as np

    want = ref_make_anchors([(2, 3), (1, 2)], (8, 16.0))
    for shapes, strides in (([(torch.tensor(2), torch.tensor(3)), (1, torch.tensor(2))],
                             (torch.tensor(8), torch.tensor(16.0))),
                            ([(np.int64(2), 3), (1, np.int32(2))], (np.int64(8), 16.0))):
        got = D.make_anchors(shapes, strides)
        assert all(torch.equal(a, b) for a, b in zip(got, want))
    with pytest.raises(TypeError, match=r"^make_anchors\(\): stride must be a number, not str$"):
        D.make_anchors([(2, 3)], ["8"])
    with pytest.raises(TypeError, match=r"^make_anchors\(\): feature size must be a number, not NoneType$"):
        D.make_anchors([(2, None)])
    with pytest.raises(TypeError,
                       match=r"^make_anchors\(\): argument 'dtype' must be torch.dtype, not str$"):
        D.make_anchors([(2, 3)], dtype="float32")
    with pytest.raises(OverflowError):
        D.make_anchors([(HugeIndex(), 3)])
    raw = torch.randn(1, 3, 4)
    pts, st = D.make_anchors([(1, 3)])
    want = ref_decode_points(raw, pts, st, 2)
    for n in (torch.tensor(2), np.int64(2)):
        assert torch.equal(D.decode_points(raw, pts, st, n), want)
    for n in (2.0, torch.tensor(2.0), torch.tensor([2, 2])):
        with pytest.raises(TypeError, match=r"^decode_points\(\): argument 'n' must be int, not "):
            D.decode_points(raw, pts, st, n)
    with pytest.raises(OverflowError):
        D.decode_points(raw, pts, st, HugeIndex())


def test_operators_equal_the_functions(device):
    """torch.ops.halcyra.* (what the compiler records) compute what the
    functions compute, and check what they check."""
    g = torch.Generator().manual_seed(5)
    x = torch.randn(2, 3, 4, 5, generator=g).to(device)
    assert torch.equal(torch.ops.halcyra.flatten_preds(x), D.flatten_preds(x))
    with pytest.raises(ValueError, match="x must be 4-dimensional, got 2"):
        torch.ops.halcyra.flatten_preds(x[0, 0])
    pts, st = D.make_anchors([(2, 3), (1, 1)], (8, 16), device=device)
    raw = (torch.randn(2, 7, 4, generator=g) * 3).to(device)
    for offset in (0.0, 0.5, 1):
        assert torch.equal(torch.ops.halcyra.decode_boxes(raw, pts, st, offset),
                           D.decode_boxes(raw, pts, st, offset))
    assert torch.equal(torch.ops.halcyra.decode_boxes(raw, pts, st), D.decode_boxes(raw, pts, st))
    assert torch.equal(torch.ops.halcyra.decode_points(raw, pts, st, 2), D.decode_points(raw, pts, st, 2))
    got = torch.ops.halcyra.make_anchors([2, 1], [3, 1], [8.0, 16.0], torch.float64, torch.device(device))
    want = D.make_anchors([(2, 3), (1, 1)], (8, 16), device=device, dtype=torch.float64)
    assert all(a.dtype == b.dtype and torch.equal(a, b) for a, b in zip(got, want))
    with pytest.raises(ValueError, match=r"2 heights, 1 widths and 2 strides"):
        torch.ops.halcyra.make_anchors([2, 1], [3], [8.0, 16.0], torch.float32, torch.device(device))


def test_defaults_are_live_and_signature_follows():
    f = D.make_anchors
    saved = f.__defaults__
    try:
        f.__defaults__ = ((4,), "cpu", torch.float64)
        p, s = f([(1, 1)])
        assert p.tolist() == [[2.0, 2.0]] and s.dtype == torch.float64
        assert inspect.signature(f).parameters["strides"].default == (4,)
    finally:
        f.__defaults__ = saved
    assert f([(1, 1)])[0].dtype == torch.float32


def test_function_objects_behave_like_python_functions():
    import copy
    import weakref

    f = D.decode_points
    assert weakref.ref(f)() is f
    assert copy.deepcopy(f) is f and copy.copy(f) is f
    f.note = "attribute"           # functions carry a __dict__
    try:
        assert D.decode_points.note == "attribute"
    finally:
        del f.note
    assert repr(f).startswith("<function decode_points at 0x")


def test_functions_bind_as_methods():
    class Head:
        flatten = D.flatten_preds

    assert Head.flatten is D.flatten_preds
    with pytest.raises(AttributeError, match="'Head' object has no attribute 'shape'"):
        Head().flatten()          # the instance is bound as x
    assert D.flatten_preds.__get__(None, Head) is D.flatten_preds


def same_values(a, b):
    """Equal element by element, NaN where the other has NaN."""
    return torch.equal(torch.isnan(a), torch.isnan(b)) and torch.equal(a.nan_to_num(0.0), b.nan_to_num(0.0))


@pytest.mark.parametrize("threads", [1, 2])
def test_fused_decoding_equals_the_op_sequence(threads):
    """The CPU fast paths give exactly the values of the tensor op sequence they
    replace, at any thread count: an odd anchor count (vectors of two anchors
    leave one over), point counts filling vectors of eight fully, partly or not
    at all, NaN and inf, softplus's threshold, crossed sides and exact ties of
    the maximum, and non-contiguous inputs."""
    before = torch.get_num_threads()
    torch.set_num_threads(threads)
    try:
        g = torch.Generator().manual_seed(3)
        pts, st = D.make_anchors([(61, 59), (31, 30), (16, 15)])  # 4,545 anchors
        A = pts.shape[0]
        raw = torch.randn(3, A, 4, generator=g) * 5
        raw[0, :6] = torch.tensor([20.0, 19.99, 20.01, -20.0])
        raw[1, 3:9] = torch.tensor([float("nan"), float("inf"), float("-inf"), 0.0])
        raw[2, :50, 2:] = raw[2, :50, :2]              # left == right: tie when offset 0.5
        raw[2, 50:99] = -30.0                           # crossed: both sides collapse
        for offset in (0.0, 0.5, 1.5):
            for r in (raw, raw.transpose(0, 1).contiguous().transpose(0, 1)):
                assert same_values(D.decode_boxes(r, pts, st, offset=offset),
                                   ref_decode_boxes(r, pts, st, offset))
        for n in (1, 3, 4, 17):
            praw = torch.randn(2, A, 2 * n, generator=g) * 3
            praw[0, 7, 0] = float("nan")
            praw[1, 5, -1] = float("inf")
            assert torch.equal(D.decode_points(praw, pts, st, n).isnan(),
                               ref_decode_points(praw, pts, st, n).isnan())
            assert same_values(D.decode_points(praw, pts, st, n), ref_decode_points(praw, pts, st, n))
            strided = praw.transpose(0, 1).contiguous().transpose(0, 1)
            assert same_values(D.decode_points(strided, pts, st, n),
                               ref_decode_points(strided, pts, st, n))
    finally:
        torch.set_num_threads(before)


def test_box_gradients_equal_the_op_sequence():
    """With raw needing a gradient the CPU path is one autograd node; its
    gradient is the op sequence's value for value (ties of the maximum split
    the gradient, NaN passes it to both sides), and it can be differentiated
    again."""
    g = torch.Generator().manual_seed(4)
    pts, st = D.make_anchors([(9, 7), (5, 4), (3, 2)])
    A = pts.shape[0]
    base = torch.randn(2, A, 4, generator=g) * 4
    base[0, :20, 2:] = base[0, :20, :2]              # ties at offset 0.5
    base[1, :20] = -30.0                              # crossed sides
    base[1, 30, 1] = float("nan")
    base[0, 40:44] = torch.tensor([20.0, 19.99, 20.01, 25.0])
    grad = torch.randn(2, A, 4, generator=g)
    grad[0, 5:10] = 0.0
    for offset in (0.0, 0.5):
        for layout in ("contiguous", "strided"):
            raw0 = base if layout == "contiguous" else base.transpose(0, 1).contiguous().transpose(0, 1)
            out = []
            for fn in (lambda r: D.decode_boxes(r, pts, st, offset=offset),
                       lambda r: ref_decode_boxes(r, pts, st, offset)):
                r = raw0.clone().requires_grad_()
                boxes = fn(r)
                boxes.backward(grad)
                out.append((boxes.detach(), r.grad))
            assert same_values(out[0][0], out[1][0]) and same_values(out[0][1], out[1][1])
    r = base.clone().nan_to_num().requires_grad_()
    gr, = torch.autograd.grad(D.decode_boxes(r, pts, st, offset=0.5), r, grad, create_graph=True)
    gg1, = torch.autograd.grad((gr ** 2).sum(), r)
    r2 = r.detach().clone().requires_grad_()
    gr2, = torch.autograd.grad(ref_decode_boxes(r2, pts, st, 0.5), r2, grad, create_graph=True)
    gg2, = torch.autograd.grad((gr2 ** 2).sum(), r2)
    torch.testing.assert_close(gg1, gg2)


@pytest.mark.parametrize("dtype", [torch.float32, torch.float64])
def test_forward_mode_tangents_equal_the_formulation(dtype):
    """A tangent on raw, the anchors or the strides comes out as the tensor
    formulation's (the fused loops carry none, so they step aside)."""
    import torch.autograd.forward_ad as fwad

    g = torch.Generator().manual_seed(6)
    pts, st = (t.to(dtype) for t in D.make_anchors([(3, 4), (2, 2)]))
    raw4 = torch.randn(2, 16, 4, generator=g, dtype=dtype)
    raw6 = torch.randn(2, 16, 6, generator=g, dtype=dtype)
    calls = [(D.decode_boxes, ref_decode_boxes, raw4, 0.5), (D.decode_points, ref_decode_points, raw6, 3)]
    for ours, ref, raw, extra in calls:
        for i in range(3):
            outs = []
            for fn in (ours, ref):
                args = [raw, pts, st]
                with fwad.dual_level():
                    args[i] = fwad.make_dual(args[i], torch.randn(args[i].shape, generator=g.manual_seed(i),
                                                                  dtype=dtype))
                    primal, tangent = fwad.unpack_dual(fn(*args, extra))
                assert tangent is not None, (ours.__name__, i)
                outs.append((primal, tangent))
            torch.testing.assert_close(outs[0], outs[1])


def test_type_names_in_messages_are_the_interpreters():
    import os
    st = os.stat(".")
    with pytest.raises(TypeError, match=r"argument 'dtype' must be torch.dtype, not os.stat_result$"):
        D.make_anchors([(2, 3)], dtype=st)
    with pytest.raises(TypeError, match=r"argument 'n' must be int, not numpy.float32$"):
        import numpy as np
        D.decode_points(torch.zeros(1, 1, 2), torch.zeros(1, 2), torch.ones(1), np.float32(1))
