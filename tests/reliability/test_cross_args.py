"""Cross-argument robustness: every entry point called with arguments that are
each well formed alone but disagree with one another (batch size, anchor
count, class count, spatial size), with one dimension zero while the others
are not, and with index tensors out of range in either direction. Every call
returns results of the documented shapes or raises an ordinary exception, and
never changes its inputs; the interpreter survives (the suite runs in a child
process)."""
import pytest
import torch
from hypothesis import event, given, settings
from hypothesis import strategies as st

from bench import ref_decode
from tests.reliability.conftest import call_unchanged
from tests.reliability.test_props_losses import make_case, make_crit
from tests.torch_like import error_of, same_error
from tests.torch_like import outcome as plain_outcome

from halcyra.infer import decode as D  # noqa: E402
from halcyra.infer.predict import postprocess  # noqa: E402
from halcyra.losses.assigner import _assign_dense, assign  # noqa: E402
from halcyra.models.refine import RefineHead  # noqa: E402

neck_mod = pytest.importorskip("halcyra.models.neck")

ERRORS = (KeyError, ValueError, TypeError, RuntimeError, IndexError)


# What indexing raises for an index out of range, on the installed torch.
INDEX_ERROR = type(error_of(lambda: torch.zeros(2)[torch.tensor([2])]))


def outcome(exc):
    """Records how a call ended (shown by --hypothesis-show-statistics)."""
    event("returned" if exc is None else f"raised {type(exc).__name__}")


# Examples per parametrised case: every argument and axis is a case of its own.
PER_CASE = max(4, settings().max_examples // 6)


def faults(dims_of, base):
    """The first fault of every case: each axis of each argument alone, then
    each size symbol zero everywhere."""
    out = [("one", a, i) for a, dims in dims_of.items() for i in range(len(dims))]
    return out + [("zero", s) for s in base]


def fault_id(f):
    return f"{f[1]}[{f[2]}]" if f[0] == "one" else f"{f[1]}=0"


def cases(dims_of, base):
    return pytest.mark.parametrize("fault", faults(dims_of, base), ids=fault_id)


@st.composite
def layouts(draw, dims_of, base, first):
    """Shapes for the arguments of one call. `dims_of` maps each argument to its
    shape, a tuple of symbols (str) and fixed sizes (int); `base` gives each
    symbol its range. A value is drawn per symbol, then the fault `first` and
    maybe one more drawn at random: ("zero", sym) makes a symbol 0 for every
    argument (the other symbols stay non-zero); ("one", arg, axis) gives one
    argument alone another size on one axis (0, one less, one more, 1 or
    several more). Returns ({arg: shape}, {sym: value})."""
    vals = {s: draw(st.integers(lo, hi)) for s, (lo, hi) in base.items()}
    shapes = {a: list(vals[d] if isinstance(d, str) else d for d in dims) for a, dims in dims_of.items()}
    todo = [first]
    if draw(st.integers(0, 2)) == 0:
        todo.append(draw(st.sampled_from(faults(dims_of, base))))
    for f in todo:
        if f[0] == "zero":
            vals[f[1]] = 0
            for a, dims in dims_of.items():
                for i, d in enumerate(dims):
                    if d == f[1]:
                        shapes[a][i] = 0
        else:
            _, arg, axis = f
            v = shapes[arg][axis]
            shapes[arg][axis] = draw(st.sampled_from(sorted({0, max(v - 1, 0), v + 1, 1, v + 3} - {v})))
    return {a: tuple(s) for a, s in shapes.items()}, vals


def indices(draw, size, shape, gen):
    """An int64 index tensor of `shape` into a dimension of `size`, and whether
    an entry is out of range: all in range, or one entry below (-size - 1 and
    less), above (size and more), far outside, or negative in range (Python's
    wrap-around, in range for indexing but not as a sampler's image index)."""
    mode = draw(st.sampled_from(["in", "low", "high", "wrap", "far"]))
    t = torch.randint(0, max(size, 1), shape, generator=gen)
    if t.numel() and mode != "in":
        t.view(-1)[draw(st.integers(0, t.numel() - 1))] = {
            "low": -size - 1 - draw(st.integers(0, 3)), "high": size + draw(st.integers(0, 3)),
            "wrap": -draw(st.integers(1, max(size, 1))),
            "far": draw(st.sampled_from([2**40, -2**40]))}[mode]
    return t, bool(((t < -size) | (t >= size)).any())


def boxes_of(shape, gen, scale=48.0):
    """xyxy boxes (..., 4) (or whatever the last size is) with x1 < x2, y1 < y2."""
    xy = torch.rand(*shape[:-1], 2, generator=gen) * scale
    b = torch.cat([xy, xy + torch.rand(*shape[:-1], 2, generator=gen) * scale / 2 + 2], -1)
    return b[..., :shape[-1]].contiguous() if shape[-1] <= 4 else torch.cat(
        [b, torch.rand(*shape[:-1], shape[-1] - 4, generator=gen)], -1)


# ---- decode ---------------------------------------------------------------------------------

DECODE_DIMS = {"raw": ("B", "A", "C"), "points": ("A", 2), "stride": ("A",)}
DECODE_BASE = {"B": (1, 3), "A": (1, 6), "C": (4, 4)}


def plain_decode_boxes(raw, points, stride, offset):
    """The documented steps (sides d[..., 0:2] and d[..., 2:4])."""
    d = (torch.nn.functional.softplus(raw) - offset) * stride[..., None]
    x1y1, x2y2 = points - d[..., 0:2], points + d[..., 2:4]
    return torch.cat([x1y1, torch.maximum(x2y2, x1y1) if offset else x2y2], -1)


@cases(DECODE_DIMS, DECODE_BASE)
@settings(max_examples=PER_CASE)
@given(st.data(), st.sampled_from([0.0, 0.5]), st.integers(1, 3), st.integers(0, 2**16))
def test_decode_disagreeing_shapes(fault, data, offset, n, seed):
    shapes, _ = data.draw(layouts(DECODE_DIMS, DECODE_BASE, fault))
    g = torch.Generator().manual_seed(seed)
    raw = torch.randn(shapes["raw"], generator=g)
    pts = torch.rand(shapes["points"], generator=g) * 32
    stv = torch.full(shapes["stride"], 8.0)
    # decode_boxes and decode_points raise exactly where the plain formulation
    # raises (it broadcasts), and otherwise give its shape
    for ours, ref, extra in ((D.decode_boxes, plain_decode_boxes, (offset,)),
                             (D.decode_points, ref_decode.decode_points, (n,))):
        res, exc = call_unchanged(ours, raw, pts, stv, *extra, expect=ERRORS)
        outcome(exc)
        want, want_exc = plain_outcome(ref, raw, pts, stv, *extra)
        if want_exc is not None:
            same_error(exc, want_exc)
        else:
            assert exc is None, (ours.__name__, shapes, exc)
            assert res.shape == want.shape and res.dtype == want.dtype


# ---- assign ---------------------------------------------------------------------------------

ASSIGN_DIMS = {"scores": ("B", "A", "nc"), "pred_boxes": ("B", "A", 4), "points": ("A", 2),
               "gt_boxes": ("B", "G", 4), "gt_cls": ("B", "G"), "gt_valid": ("B", "G"),
               "gt_ignore": ("B", "G"), "strides": ("A",)}
ASSIGN_BASE = {"B": (1, 3), "A": (1, 12), "nc": (1, 4), "G": (1, 4)}


def expands_to(shape, target):
    """Whether a tensor of `shape` expands to `target`."""
    return len(shape) <= len(target) and all(
        s == t or s == 1 for s, t in zip(reversed(shape), reversed(target)))


@cases(ASSIGN_DIMS, ASSIGN_BASE)
@settings(max_examples=PER_CASE)
@given(st.data(), st.booleans(), st.booleans(), st.booleans(), st.integers(0, 2**16))
def test_assign_disagreeing_shapes(fault, data, rescue, no_ignore, dense, seed):
    shapes, _ = data.draw(layouts(ASSIGN_DIMS, ASSIGN_BASE, fault))
    g = torch.Generator().manual_seed(seed)
    B, A, nc = shapes["scores"]
    G = shapes["gt_boxes"][1]
    cls, _ = indices(data.draw, nc, shapes["gt_cls"], g)
    valid = torch.rand(shapes["gt_valid"], generator=g) > 0.2
    ignore = None if no_ignore else torch.rand(shapes["gt_ignore"], generator=g) > 0.7
    args = (torch.rand(shapes["scores"], generator=g), boxes_of(shapes["pred_boxes"], g),
            torch.rand(shapes["points"], generator=g) * 48, boxes_of(shapes["gt_boxes"], g),
            cls, valid, ignore)
    out, exc = call_unchanged(_assign_dense if dense else assign, *args, topk=3,
                              strides=torch.full(shapes["strides"], 8.0), rescue=rescue,
                              expect=ERRORS)
    outcome(exc)
    # The contract: the rest agrees with scores (B, A, nc); slot tensors expand
    # to (B, G) (the classes are not read when there is nothing to assign).
    agree = (shapes["pred_boxes"] == (B, A, 4) and shapes["points"] == (A, 2) and
             shapes["gt_boxes"][0] == B and shapes["gt_boxes"][2] == 4 and
             shapes["strides"] == (A,) and expands_to(shapes["gt_valid"], (B, G)) and
             (no_ignore or expands_to(shapes["gt_ignore"], (B, G))) and
             (not (A and G) or expands_to(shapes["gt_cls"], (B, G))))
    if not agree:
        assert isinstance(exc, RuntimeError), (shapes, exc)
        return
    if nc and A and G:
        usable = valid.expand(B, G) & (True if no_ignore else ~ignore.expand(B, G))
        c = cls.expand(B, G)[usable]
        if ((c < 0) | (c >= nc)).any():
            assert isinstance(exc, IndexError), (shapes, exc)
            return
    assert exc is None, (shapes, exc)
    fg, matched, tb, ts, ign = out
    assert fg.shape == matched.shape == ign.shape == (B, A)
    assert tb.shape == (B, A, 4) and ts.shape == (B, A, nc)
    assert not (fg & ign).any()


# ---- RefineHead -----------------------------------------------------------------------------

REFINE_DIMS = {"f2": ("Bf", "C", "H2", "W2"), "coarse": ("N", "hm", "wm"), "boxes": ("N", 4),
               "bidx": ("N",)}
REFINE_BASE = {"Bf": (1, 3), "C": (3, 3), "H2": (1, 12), "W2": (1, 12), "N": (1, 4),
               "hm": (1, 11), "wm": (1, 11)}


@cases(REFINE_DIMS, REFINE_BASE)
@settings(max_examples=PER_CASE)
@given(st.data(), st.sampled_from([torch.float32, torch.float64]),
       st.sampled_from([2.0, 4.0, 0.5, 1e-30, float("inf")]), st.booleans(), st.integers(0, 2**16))
def test_refine_head_disagreeing_shapes(fault, data, dtype, stride, odd_box, seed):
    shapes, _ = data.draw(layouts(REFINE_DIMS, REFINE_BASE, fault))
    g = torch.Generator().manual_seed(seed)
    head = RefineHead(3, roi=5, hidden=4)
    f2 = torch.randn(shapes["f2"], generator=g).to(dtype)
    coarse = torch.randn(shapes["coarse"], generator=g)
    boxes = boxes_of(shapes["boxes"], g)
    if odd_box and boxes.numel():
        boxes.view(-1)[0] = data.draw(st.sampled_from([float("nan"), float("inf"), -1e30]))
    Bf, C, H2, W2 = shapes["f2"]
    bidx, outside = indices(data.draw, Bf, shapes["bidx"], g)
    out, exc = call_unchanged(head.to(dtype), f2, coarse, boxes, bidx, stride, expect=ERRORS)
    outcome(exc)
    n = shapes["boxes"][0]
    if (shapes["coarse"][0] != n or shapes["bidx"] != (n,) or shapes["boxes"][1] != 4 or
            n and 0 in (H2, W2, shapes["coarse"][1], shapes["coarse"][2])):
        assert isinstance(exc, ValueError), (shapes, exc)
    elif n and (outside or (bidx < 0).any()):
        assert isinstance(exc, IndexError), (shapes, exc)
    elif C != 3:
        # the head's first convolution meets C channels: its own error
        same_error(exc, error_of(head.reduce, torch.zeros(n, C, 5, 5, dtype=dtype)))
    else:
        assert exc is None, (shapes, exc)
        assert out.shape == (n, 5, 5) and torch.isfinite(out).all()
    out, exc = call_unchanged(head.sanitize, boxes, (H2, W2), stride, expect=ERRORS)
    outcome(exc)
    if shapes["boxes"][1] != 4:
        assert isinstance(exc, ValueError)
    else:
        assert exc is None and out.shape == (n, 4)


@given(st.integers(0, 3), st.sampled_from([(0, 5), (5, 0), (0, 0), (-3, 4), (4, -3)]),
       st.sampled_from([2.0, 0.0, -1.0, float("nan"), float("inf")]), st.integers(0, 5))
def test_refine_sanitize_degenerate_extent(n, size, stride, cols):
    head = RefineHead(3, roi=4, hidden=4)
    boxes = boxes_of((n, cols), torch.Generator().manual_seed(n))
    out, exc = call_unchanged(head.sanitize, boxes, size, stride, expect=ERRORS)
    outcome(exc)
    if cols != 4:
        assert isinstance(exc, ValueError)
    else:
        assert exc is None and out.shape == (n, 4)


# ---- neck -----------------------------------------------------------------------------------

CH = (4, 6, 8, 10)
NECK_DIMS = {f"y{i}": ("B", c, f"s{i}", f"s{i}") for i, c in enumerate((5,) + CH)}
NECK_BASE = {"B": (1, 2), "s0": (16, 16), "s1": (8, 8), "s2": (4, 4), "s3": (2, 2), "s4": (1, 1)}


@cases(NECK_DIMS, NECK_BASE)
@settings(max_examples=PER_CASE)
@given(st.data(), st.booleans(), st.integers(0, 2**16))
def test_neck_disagreeing_shapes(fault, data, with_mask, seed):
    shapes, _ = data.draw(layouts(NECK_DIMS, NECK_BASE, fault))
    torch.manual_seed(seed)
    neck = neck_mod.HRNeckLite(CH, 8, 6, 5, with_mask).eval()
    ys = [torch.randn(shapes[f"y{i}"]) for i in range(5)]
    with torch.no_grad():
        out, exc = call_unchanged(neck, ys, expect=ERRORS)
    outcome(exc)
    if exc is None:
        assert list(out) == (["c2", "f2"] if with_mask else []) + ["p3", "p4", "p5"]
        # each level comes from its own input (y8, y16, y32)
        assert [out[k].shape[0] for k in ("p3", "p4", "p5")] == [shapes[f"y{i}"][0] for i in (2, 3, 4)]


# ---- criterion with the shipped refine head --------------------------------------------------

A, HM, NC, K, N, P, T = 84, 32, 3, 2, 4, 4, 3
TASK_FLAGS = ("has_polygon", "has_keypoint", "has_polyline", "has_tags", "mask_valid",
              "kpt_valid", "pline_valid")
CRIT_DIMS = {
    "cls_raw": ("B", "A", "nc"), "box_raw": ("B", "A", 4), "coef": ("B", "A", "P"),
    "protos": ("B", "P", "hm", "wm"), "f2": ("B", "C2", "H2", "W2"), "kpt_raw": ("B", "A", 3 * K),
    "pline_raw": ("B", "A", 2 * N), "tag_logits": ("B", "T"),
    "gt_boxes": ("B", "G", 4), "gt_cls": ("B", "G"), "gt_valid": ("B", "G"),
    "gt_ignore": ("B", "G"), "has_rect": ("B",), "has_polygon": ("B",), "has_keypoint": ("B",),
    "has_polyline": ("B",), "has_tags": ("B",), "gt_tags": ("B", "T"),
    "gt_masks": ("B", "G", "hm", "wm"), "mask_valid": ("B", "G"), "gt_kpts": ("B", "G", K, 3),
    "kpt_valid": ("B", "G"), "gt_plines": ("B", "G", N, 2), "pline_valid": ("B", "G")}
CRIT_BASE = {"B": (1, 3), "A": (A, A), "nc": (NC, NC), "P": (P, P), "hm": (HM, HM), "wm": (HM, HM),
             "C2": (4, 4), "H2": (HM, HM), "W2": (HM, HM), "T": (T, T), "G": (1, 5)}


def resize(t, shape, gen):
    """t cut or padded (with fresh random values of its kind) to `shape`."""
    for axis, size in enumerate(shape):
        have = t.shape[axis]
        if size < have:
            t = t.narrow(axis, 0, size)
        elif size > have:
            extra = list(t.shape)
            extra[axis] = size - have
            pad = torch.rand(extra, generator=gen)
            pad = (pad > 0.5).to(t.dtype) if not t.is_floating_point() else pad.to(t.dtype) * 20
            t = torch.cat([t, pad], axis)
    return t.contiguous()


@cases(CRIT_DIMS, CRIT_BASE)
@settings(max_examples=PER_CASE)
@given(st.data(), st.booleans(), st.integers(0, 2**16))
def test_criterion_with_refine_head_disagreeing_shapes(fault, data, train, seed):
    shapes, _ = data.draw(layouts(CRIT_DIMS, CRIT_BASE, fault))
    torch.manual_seed(seed)
    crit = make_crit(RefineHead(in_ch=4, roi=6, hidden=4), jitter=0.2).train(train)
    preds, batch = make_case(seed, B=CRIT_BASE["B"][1], G=CRIT_BASE["G"][1], objects=1.0)
    for key in TASK_FLAGS:
        batch[key] = torch.ones_like(batch[key])  # every task selects something
    g = torch.Generator().manual_seed(seed + 1)
    for d in (preds, batch):
        for key, t in d.items():
            if key in shapes:
                d[key] = resize(t, shapes[key], g)
    batch["gt_cls"], _ = indices(data.draw, NC, shapes["gt_cls"], g)
    out, exc = call_unchanged(crit, preds, batch, expect=ERRORS)
    outcome(exc)
    if exc is None:
        total, stats = out
        assert total.dim() == 0 and total.dtype == torch.float32
        assert list(stats)[-1] == "num_pos" and all(v.dim() == 0 for v in stats.values())


@pytest.mark.parametrize("task", ["mask", "kpt", "pline"])
@settings(max_examples=PER_CASE * 4)
@given(st.data(), st.booleans(), st.integers(0, 2**16))
def test_task_losses_with_indices_out_of_range(task, data, with_head, seed):
    """Foreground index triples with entries out of range in either direction
    raise IndexError, as indexing does; in range (wrap-around included) they
    give scalar losses. A negative image index reaches the refine head as the
    image index of its regions (as in the eager formulation), which it rejects."""
    g = torch.Generator().manual_seed(seed)
    B, G = 2, 4
    crit = make_crit(RefineHead(in_ch=4, roi=5, hidden=4) if with_head else None)
    preds, batch = make_case(seed, B=B, G=G, objects=1.0)
    for key in TASK_FLAGS:
        batch[key] = torch.ones_like(batch[key])
    n = data.draw(st.integers(0, 6))
    (fg_b, ob), (fg_a, oa), (fg_g, og) = (indices(data.draw, size, (n,), g) for size in (B, A, G))
    pts, strides = crit._anchors(((8, 8), (4, 4), (2, 2)), torch.device("cpu"))
    method = getattr(crit, f"_{task}_loss")
    extra = () if task == "mask" else (pts, strides)
    out, exc = call_unchanged(method, preds, batch, *extra, fg_b, fg_a, fg_g, expect=ERRORS)
    outcome(exc)
    if ob or oa or og:
        assert isinstance(exc, INDEX_ERROR), exc
    elif task == "mask" and with_head and (fg_b < 0).any():
        assert isinstance(exc, IndexError), exc      # the head's check of its image indices
    else:
        assert exc is None, exc
        assert all(v is None or v.dim() == 0 for v in (out if isinstance(out, tuple) else (out,)))


@settings(max_examples=PER_CASE * 4)
@given(st.integers(-1, 1), st.integers(0, 3), st.integers(0, 2**16))
def test_tag_loss_disagreeing_batch(flags_extra, targets, seed):
    g = torch.Generator().manual_seed(seed)
    crit = make_crit()
    preds, batch = make_case(seed, B=2, G=1)
    batch["has_tags"] = torch.rand(2 + flags_extra, generator=g) > 0.3
    batch["gt_tags"] = batch["gt_tags"][:targets]
    out, exc = call_unchanged(crit._tag_loss, preds, batch, expect=ERRORS)
    outcome(exc)
    if exc is None:
        assert out.dim() == 0


# ---- postprocess with the shipped refine head ------------------------------------------------

S = 64
PRED_DIMS = {"cls_raw": ("B", "A", "nc"), "box_raw": ("B", "A", 4), "coef": ("B", "A", "P"),
             "protos": ("B", "P", "hm", "wm"), "f2": ("B", "C2", "H2", "W2"),
             "kpt_raw": ("B", "A", 3 * K), "pline_raw": ("B", "A", 2 * N), "tag_logits": ("B", "T")}
PRED_BASE = {"B": (1, 3), "A": (21, 21), "nc": (1, 3), "P": (1, 3), "hm": (1, 16), "wm": (1, 16),
             "C2": (4, 4), "H2": (1, 16), "W2": (1, 16), "T": (0, 3)}


@cases(PRED_DIMS, PRED_BASE)
@settings(max_examples=PER_CASE)
@given(st.data(), st.booleans(), st.integers(0, 2**16))
def test_postprocess_with_refine_head_disagreeing_shapes(fault, data, use_head, seed):
    shapes, _ = data.draw(layouts(PRED_DIMS, PRED_BASE, fault))
    g = torch.Generator().manual_seed(seed)
    preds = {"feat_shapes": [(4, 4), (2, 2), (1, 1)]}
    for key, shape in shapes.items():
        preds[key] = torch.randn(shape, generator=g) * (3 if key == "cls_raw" else 1)
    head = RefineHead(in_ch=4, roi=5, hidden=4).eval() if use_head else None
    # (input_size / W2 with W2 = 0: ZeroDivisionError, as in Python)
    out, exc = call_unchanged(postprocess, preds, 0.2, 0.7, 5, 50, 0.5, K, N, S, head,
                              expect=ERRORS + (ZeroDivisionError,))
    outcome(exc)
    if exc is None:
        assert isinstance(out, list) and len(out) == shapes["cls_raw"][0]
        for r in out:
            m = r["boxes"].shape[0]
            assert r["masks"].shape == (m, S, S) and r["kpts"].shape == (m, K, 3)
            assert r["plines"].shape == (m, N, 2)
