"""halcyra.losses.assigner.assign: against the eager formulation and its contract."""
import inspect
import math
import re

import pytest
import torch

from bench import ref_losses as ref
from halcyra.infer.decode import decode_boxes, make_anchors
from halcyra.losses.assigner import _assign_dense, assign

SHAPES = [(8, 8), (4, 4), (2, 2)]  # a 64 x 64 input, 84 anchors


def problem(seed, B=2, G=5, nc=4, device="cpu"):
    """Random ground truths and predictions that overlap them (no metric ties)."""
    g = torch.Generator().manual_seed(seed)
    pts, st = make_anchors(SHAPES)
    A = pts.shape[0]
    xy = torch.rand(B, G, 2, generator=g) * 48
    wh = torch.rand(B, G, 2, generator=g) * 30 + 6
    gt = torch.cat([xy, xy + wh], -1)
    cls = torch.randint(0, nc, (B, G), generator=g)
    valid = torch.rand(B, G, generator=g) > 0.2
    ignore = torch.rand(B, G, generator=g) > 0.8
    # Predicted boxes: large, centred near each anchor, so every IoU is positive.
    raw = torch.rand(B, A, 4, generator=g) * 1.5 + 1.0
    pred = decode_boxes(raw, pts, st)
    scores = torch.rand(B, A, nc, generator=g) * 0.9 + 0.05
    t = [scores, pred, pts, gt, cls, valid, ignore]
    return [x.to(device) for x in t], st.to(device)


def run_both(args, st, **kw):
    ours = assign(*args, strides=st, **kw)
    theirs = ref.assign(*args, strides=st, **kw)
    return ours, theirs


def check_same(ours, theirs):
    fg, matched, tboxes, tscores, ignore = ours
    rfg, rmatched, rtboxes, rtscores, rignore = theirs
    assert torch.equal(fg, rfg)
    assert torch.equal(matched[fg], rmatched[rfg])
    assert torch.equal(tboxes[fg], rtboxes[rfg])
    torch.testing.assert_close(tscores, rtscores, rtol=1e-5, atol=1e-7)
    assert torch.equal(ignore, rignore)


@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize("rescue", [False, True])
def test_matches_eager_formulation(seed, rescue, device):
    args, st = problem(seed, device=device)
    for kw in ({"topk": 10, "alpha": 0.5, "beta": 6.0},
               {"topk": 3, "alpha": 1.0, "beta": 2.0, "target_floor": 0.2}):
        ours, theirs = run_both(args, st, rescue=rescue, **kw)
        assert ours[0].any()
        check_same(ours, theirs)


@pytest.mark.parametrize("seed", range(4))
def test_fused_and_whole_tensor_paths_agree(seed):
    """The CPU kernel and the formulation other devices run give the same results."""
    args, st = problem(100 + seed, B=3, G=7)
    for kw in ({}, {"rescue": True, "target_floor": 0.15, "topk": 4, "alpha": 1.0, "beta": 3.0}):
        check_same(assign(*args, strides=st, **kw), _assign_dense(*args, strides=st, **kw))
        check_same(assign(*args, **kw), _assign_dense(*args, **kw))


def test_result_layout_and_contract():
    args, st = problem(11, B=3, G=6)
    scores, pred, pts, gt, cls, valid, ignore = args
    fg, matched, tboxes, tscores, ign = assign(*args, topk=4, strides=st)
    B, A, nc = scores.shape
    assert fg.shape == (B, A) and fg.dtype == torch.bool
    assert matched.shape == (B, A) and matched.dtype == torch.int64
    assert tboxes.shape == (B, A, 4) and tboxes.dtype == torch.float32
    assert tscores.shape == (B, A, nc) and tscores.dtype == torch.float32
    assert ign.shape == (B, A) and ign.dtype == torch.bool
    usable = valid & ~ignore
    b, a = fg.nonzero(as_tuple=True)
    g = matched[b, a]
    assert usable[b, g].all(), "only valid, non-ignored ground truths take positives"
    assert torch.equal(tboxes[b, a], gt[b, g])
    # positives lie strictly inside their box
    px, py = pts[a, 0], pts[a, 1]
    box = gt[b, g]
    assert ((px > box[:, 0]) & (py > box[:, 1]) & (px < box[:, 2]) & (py < box[:, 3])).all()
    # one class per positive: the matched gt's class; nothing at negatives
    assert (tscores[~fg] == 0).all()
    nz = (tscores[b, a] > 0)
    assert (nz.sum(-1) <= 1).all()
    assert torch.equal(tscores[b, a].argmax(-1)[nz.any(-1)], cls[b, g][nz.any(-1)])
    # at most topk positives per ground truth; the best one gets the gt's best IoU
    for bi in range(B):
        for gi in range(gt.shape[1]):
            sel = fg[bi] & (matched[bi] == gi)
            assert int(sel.sum()) <= 4
    # ignore mask: never at a positive, only inside ignore regions
    assert not (ign & fg).any()
    for bi, ai in ign.nonzero().tolist():
        x, y = pts[ai].tolist()
        regions = gt[bi][valid[bi] & ignore[bi]]
        assert ((x > regions[:, 0]) & (y > regions[:, 1]) & (x < regions[:, 2]) &
                (y < regions[:, 3])).any()


def test_conflict_goes_to_larger_iou():
    pts, st = make_anchors([(2, 2)], (8,))           # centres (4,4) (12,4) (4,12) (12,12)
    pred = torch.tensor([[[0.0, 0.0, 8.0, 8.0], [8.0, 0.0, 16.0, 8.0],
                          [0.0, 8.0, 8.0, 16.0], [8.0, 8.0, 16.0, 16.0]]])
    gt = torch.tensor([[[0.0, 0.0, 9.0, 9.0], [0.0, 0.0, 16.0, 16.0]]])
    scores = torch.full((1, 4, 2), 0.5)
    cls = torch.tensor([[0, 1]])
    valid = torch.ones(1, 2, dtype=torch.bool)
    fg, matched, _, tscores, _ = assign(scores, pred, pts, gt, cls, valid,
                                        torch.zeros(1, 2, dtype=torch.bool), strides=st)
    # anchor 0 lies in both boxes; its predicted box overlaps gt 0 far better
    assert fg.all()
    assert matched.tolist() == [[0, 1, 1, 1]]
    assert tscores[0, 0, 0] > 0 and tscores[0, 0, 1] == 0


def test_rescue_gives_small_objects_their_nearest_anchor():
    pts, st = make_anchors(SHAPES)
    A = pts.shape[0]
    # a 3 px sliver between anchor rows: no anchor centre inside it
    gt = torch.tensor([[[13.0, 17.0, 19.0, 19.5]]])
    pred = decode_boxes(torch.zeros(1, A, 4), pts, st)
    scores = torch.full((1, A, 1), 0.5)
    args = (scores, pred, pts, gt, torch.zeros(1, 1, dtype=torch.long),
            torch.ones(1, 1, dtype=torch.bool), torch.zeros(1, 1, dtype=torch.bool))
    fg, *_ = assign(*args, strides=st)
    assert not fg.any()
    fg, matched, tboxes, tscores, _ = assign(*args, strides=st, rescue=True, target_floor=0.3)
    (a,) = fg[0].nonzero().flatten().tolist()
    assert st[a] == 8 and pts[a].tolist() == [12.0, 20.0]     # nearest stride-8 centre
    assert tscores[0, a, 0] >= 0.3
    check_same((fg, matched, tboxes, tscores, _),
               ref.assign(*args, strides=st, rescue=True, target_floor=0.3))


def test_metric_ties_stay_inside_boxes():
    """With zero scores every metric ties at 0: candidates are still the in-box anchors."""
    pts, st = make_anchors(SHAPES)
    A = pts.shape[0]
    gt = torch.tensor([[[0.0, 0.0, 33.0, 17.0]]])  # centres inside: 8 + 2 + 1 over the levels
    args = (torch.zeros(1, A, 3), decode_boxes(torch.zeros(1, A, 4), pts, st), pts, gt,
            torch.tensor([[2]]), torch.ones(1, 1, dtype=torch.bool),
            torch.zeros(1, 1, dtype=torch.bool))
    fg, *_ = assign(*args, topk=20, strides=st)
    assert int(fg.sum()) == 11
    for fn in (assign, _assign_dense):
        fg, *_ = fn(*args, topk=4, strides=st)
        a = fg[0].nonzero().flatten()
        assert len(a) == 4 and (pts[a, 0] < 33).all() and (pts[a, 1] < 17).all()
    # ties go to the lower anchor index, deterministically, in the CPU kernel and in
    # the whole-tensor formulation (whatever order its top-k gives equal values)
    for fn in (assign, _assign_dense):
        ours = fn(*args, topk=4, strides=st)
        assert ours[0][0].nonzero().flatten().tolist() == [0, 1, 2, 3]
        check_same(ours, ref.assign(*args, topk=4, strides=st))


def test_degenerate_inputs(device):
    args, st = problem(3, device=device)
    scores, pred, pts, gt, cls, valid, ignore = args
    # no ground-truth slots at all
    r = assign(scores, pred, pts, gt[:, :0], cls[:, :0], valid[:, :0], ignore[:, :0], strides=st)
    assert not r[0].any() and r[3].abs().sum() == 0 and r[3].shape == scores.shape
    # an empty batch
    for fn in (assign, _assign_dense):
        r = fn(scores[:0], pred[:0], pts, gt[:0], cls[:0], valid[:0], ignore[:0], strides=st)
        assert r[0].shape == (0, pts.shape[0]) and r[3].shape == (0, pts.shape[0], scores.shape[2])
    # non-finite scores and boxes: no crash, shapes kept
    bad_scores = scores.clone()
    bad_scores[:, ::3] = float("nan")
    bad_pred = pred.clone()
    bad_pred[:, 1::4] = float("inf")
    r = assign(bad_scores, bad_pred, pts, gt, cls, valid, ignore, strides=st, rescue=True)
    assert r[0].shape == valid.shape[:1] + pts.shape[:1] and not (r[0] & r[4]).any()
    # every slot padding, and topk 0
    r = assign(scores, pred, pts, gt, cls, torch.zeros_like(valid), ignore, strides=st)
    assert not r[0].any() and not r[4].any()
    assert not assign(*args, topk=0, strides=st)[0].any()
    # gt_ignore None means no ignore regions; strides may be left out
    r = assign(scores, pred, pts, gt, cls, valid, None)
    assert not r[4].any()


def test_no_gradient_and_inputs_untouched():
    args, st = problem(5)
    args[0].requires_grad_(True)
    args[1].requires_grad_(True)
    before = [t.detach().clone() for t in args]
    out = assign(*args, strides=st)
    assert not any(t.requires_grad for t in out)
    assert all(torch.equal(a, b) for a, b in zip(args, before))


def test_signature_and_errors():
    sig = inspect.signature(assign)
    assert list(sig.parameters)[:7] == ["scores", "pred_boxes", "points", "gt_boxes", "gt_cls",
                                        "gt_valid", "gt_ignore"]
    kw = [p for p in sig.parameters.values() if p.kind is p.KEYWORD_ONLY]
    assert [p.name for p in kw] == ["topk", "alpha", "beta", "strides", "target_floor", "rescue"]
    assert assign.__kwdefaults__ == {"topk": 10, "alpha": 0.5, "beta": 6.0, "strides": None,
                                     "target_floor": 0.0, "rescue": False}
    assert "task-aligned" in assign.__doc__.lower() or "Task-aligned" in assign.__doc__
    args, _ = problem(0)
    with pytest.raises(TypeError):
        assign(*args, 10)
    with pytest.raises(TypeError):
        assign(*args, top_k=10)
    bad = list(args)
    bad[4] = torch.full_like(args[4], 99)      # class index beyond nc on a valid slot
    for fn in (assign, _assign_dense):
        with pytest.raises(IndexError, match="out of bounds"):
            fn(*bad)


def test_disagreeing_arguments_raise_before_any_read():
    """Arguments that disagree in batch size or anchor count raise RuntimeError
    on both paths, whatever the number of ground truths (a gt_boxes batch
    smaller than scores' used to be read past its end)."""
    args, st = problem(7, B=2, G=3)
    scores, pred, pts, gt, cls, valid, ignore = args
    cases = {
        "gt_boxes": (scores, pred, pts, gt[:0], cls, valid, ignore),
        "pred_boxes": (scores, pred[:1], pts, gt, cls, valid, ignore),
        "points": (scores, pred, pts[1:], gt, cls, valid, ignore),
    }
    for name, bad in cases.items():
        for fn in (assign, _assign_dense):
            with pytest.raises(RuntimeError, match=name):
                fn(*bad, strides=st)
            with pytest.raises(RuntimeError, match=name):  # no ground-truth slots either
                fn(*[t[:, :0] if t is gt or t is cls or t is valid or t is ignore else t
                     for t in bad])
    with pytest.raises(RuntimeError, match="strides"):
        assign(*args, strides=st[1:], rescue=True)
    # the case: scores (1, 11, 2) with gt_boxes (0, 1, 4)
    s1 = torch.rand(1, 11, 2)
    with pytest.raises(RuntimeError, match="gt_boxes"):
        assign(s1, torch.rand(1, 11, 4), torch.rand(11, 2), torch.rand(0, 1, 4),
               torch.zeros(1, 1, dtype=torch.long), torch.ones(1, 1, dtype=torch.bool), None)
    # slot tensors still broadcast over images as expand allows
    r = assign(scores, pred, pts, gt, cls[:1], valid[:1], None, strides=st)
    assert torch.equal(r[0], assign(scores, pred, pts, gt, cls[:1].expand(2, -1),
                                    valid[:1].expand(2, -1), None, strides=st)[0])


def test_numbers_and_errors_of_the_arguments():
    """topk is an int (__index__, or a one-element integer tensor); alpha, beta
    and target_floor are real numbers as the interpreter takes a double (a
    float subclass by its value, a one-element tensor too); rescue by its truth.
    Anything else is a TypeError, the first in the order of the parameters."""
    args, st = problem(4)
    want = assign(*args, topk=3, alpha=0.5, strides=st, rescue=True)

    class Half(float):
        def __float__(self):
            return 2.0

    class Three:
        def __index__(self):
            return 3

    for kw in ({"topk": torch.tensor(3), "alpha": torch.tensor(0.5), "rescue": torch.tensor(1)},
               {"topk": Three(), "alpha": Half(0.5), "rescue": [0]}):
        assert all(torch.equal(a, b) for a, b in zip(assign(*args, strides=st, **kw), want))
    with pytest.raises(TypeError) as real_error:
        math.sqrt("0.5")     # the interpreter's own message for a double argument
    cases = [({"alpha": "0.5"}, "^" + re.escape(str(real_error.value)) + "$"),
             ({"topk": 3.0}, r"^assign\(\): argument 'topk' must be int, not float$"),
             ({"strides": [8.0]}, r"^assign\(\): argument 'strides' must be Tensor, not list$"),
             ({"beta": "x", "topk": None}, "'topk'"),
             ({"target_floor": None, "strides": 1}, "'strides'")]
    for fn in (assign, _assign_dense):
        for kw, message in cases:
            with pytest.raises(TypeError, match=message):
                fn(*args, **kw)
        with pytest.raises(TypeError, match=r"^assign\(\): argument 'gt_ignore' must be Tensor, not int$"):
            fn(*args[:6], 0)


def test_operators_of_both_paths_give_shapes_on_meta_tensors():
    args, st = problem(0)
    meta = [t.to("meta") for t in args]
    B, A, nc = args[0].shape
    for fn in (assign, _assign_dense):
        out = fn(*meta, strides=st.to("meta"))
        assert [tuple(t.shape) for t in out] == [(B, A), (B, A), (B, A, 4), (B, A, nc), (B, A)]
        assert [t.dtype for t in out] == [torch.bool, torch.int64, torch.float32, torch.float32, torch.bool]
        assert all(t.is_meta for t in out)
    with pytest.raises(RuntimeError, match="points"):
        torch.ops.halcyra._assign_dense(*meta[:2], meta[2][1:], *meta[3:], 10, 0.5, 6.0, None, 0.0, False)
