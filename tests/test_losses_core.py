"""Criterion core of halcyra.losses.losses: ciou, dice_loss, build_class_meta and
MultiTaskCriterion construction, anchor cache, _zero and forward, against the
eager formulation in bench/ref_losses.py."""
import inspect
import math

import pytest
import torch

import halcyra
from bench import ref_losses as ref
from tests.torch_like import error_of, raises_like
from halcyra.infer.decode import make_anchors
from halcyra.losses import losses as L

SHAPES = ((8, 8), (4, 4), (2, 2))  # 84 anchors
NC, G = 4, 5


class LabelSpace:
    def __init__(self, categories, num_categories=None):
        self.categories = categories
        self.num_categories = len(categories) if num_categories is None else num_categories


class Entry:
    """A category entry that is not a dict but offers get()."""

    def __init__(self, **kw):
        self.kw = kw

    def get(self, key, default=None):
        return self.kw.get(key, default)


def labelspace(polyline=(3,)):
    return LabelSpace([{"is_polyline": c in polyline, "kpt_sigmas": [0.02 * (c + 1)] * 3}
                       for c in range(NC)])


MODEL_CFG = {"nc": NC, "box_offset": 0.5}


# ---- ciou -----------------------------------------------------------------------

def test_ciou_documented_values():
    b = lambda *v: torch.tensor([v], dtype=torch.float32)  # noqa: E731
    same = L.ciou(b(0, 0, 10, 10), b(0, 0, 10, 10))
    assert abs(same.item() - 1.0) < 1e-6
    assert L.ciou(b(0, 0, 10, 10), b(20, 0, 30, 10)).item() == pytest.approx(-0.4, abs=1e-7)
    assert L.ciou(b(0, 0, 10, 10), b(0, 0, 20, 10)).item() == pytest.approx(0.446751871, abs=1e-7)
    zero = L.ciou(b(5, 5, 5, 5), b(5, 5, 5, 5))
    assert torch.isfinite(zero).all() and zero.item() == 0.0


def test_ciou_matches_eager_values_and_gradients():
    g = torch.Generator().manual_seed(0)
    xy = torch.rand(300, 2, generator=g) * 50
    b1 = torch.cat([xy, xy + torch.rand(300, 2, generator=g) * 30 - 3], 1)  # some inverted
    xy = xy + torch.randn(300, 2, generator=g) * 5
    b2 = torch.cat([xy, xy + torch.rand(300, 2, generator=g) * 30], 1)
    ga = torch.rand(300, generator=g)
    outs = []
    for fn in (L.ciou, ref.ciou):
        x1, x2 = b1.clone().requires_grad_(), b2.clone().requires_grad_()
        v = fn(x1, x2)
        (v * ga).sum().backward()
        outs.append((v.detach(), x1.grad, x2.grad))
    for a, b in zip(*outs):
        torch.testing.assert_close(a, b, rtol=1e-5, atol=1e-6)


def test_ciou_alpha_carries_no_gradient():
    b1 = torch.tensor([[0.0, 0.0, 10.0, 10.0]], requires_grad=True)
    b2 = torch.tensor([[2.0, 1.0, 22.0, 9.0]])
    L.ciou(b1, b2).sum().backward()
    # the same expression with alpha a constant, differentiated by autograd
    x = b1.detach().clone().requires_grad_()
    with torch.no_grad():
        w1, h1, w2, h2 = 10.0, 10.0, 20.0, 8.0
        v = 4 / math.pi ** 2 * (math.atan(w2 / h2) - math.atan(w1 / h1)) ** 2
        iou = 64.0 / (100 + 160 - 64)
        alpha = v / (1 - iou + v + 1e-9)
    w, h = x[0, 2] - x[0, 0], x[0, 3] - x[0, 1]
    iw = torch.min(x[0, 2], torch.tensor(22.0)) - torch.max(x[0, 0], torch.tensor(2.0))
    ih = torch.min(x[0, 3], torch.tensor(9.0)) - torch.max(x[0, 1], torch.tensor(1.0))
    inter = iw * ih
    iou_t = inter / (w * h + 160 - inter + 1e-9)
    c2 = (torch.max(x[0, 2], torch.tensor(22.0)) - torch.min(x[0, 0], torch.tensor(2.0))) ** 2 + \
         (torch.max(x[0, 3], torch.tensor(9.0)) - torch.min(x[0, 1], torch.tensor(1.0))) ** 2 + 1e-9
    rho2 = ((x[0, 0] + x[0, 2]) / 2 - 12) ** 2 + ((x[0, 1] + x[0, 3]) / 2 - 5) ** 2
    v_t = 4 / math.pi ** 2 * (math.atan(w2 / h2) - torch.atan(w / h)) ** 2
    (iou_t - rho2 / c2 - alpha * v_t).backward()
    torch.testing.assert_close(b1.grad, x.grad, rtol=1e-5, atol=1e-7)


def test_ciou_half_inputs_give_float32():
    b1 = torch.tensor([[0.0, 0.0, 10.0, 10.0], [1, 2, 7, 30]]).half()
    b2 = torch.tensor([[0.0, 0.0, 20.0, 10.0], [3, 1, 9, 12]]).half()
    out = L.ciou(b1, b2)
    assert out.dtype == torch.float32
    assert torch.equal(out, L.ciou(b1.float(), b2.float()))
    # one-dimensional boxes fail as the plain formulation's column indexing does
    raises_like(error_of(ref.ciou, torch.zeros(4), torch.zeros(4)),
                L.ciou, torch.zeros(4), torch.zeros(4))


# ---- dice_loss ----------------------------------------------------------------------

def test_dice_documented_values_and_eager():
    assert L.dice_loss(torch.full((1, 2, 2), 20.0), torch.ones(1, 2, 2)).item() == pytest.approx(0, abs=1e-6)
    assert L.dice_loss(torch.zeros(1, 2, 2), torch.zeros(1, 2, 2)).item() == pytest.approx(2 / 3)
    assert L.dice_loss(torch.full((1, 2, 2), -30.0), torch.zeros(1, 2, 2)).item() == pytest.approx(0, abs=1e-6)
    g = torch.Generator().manual_seed(1)
    logits = torch.randn(5, 7, 9, generator=g)
    tgt = (torch.rand(5, 7, 9, generator=g) > 0.5).float()
    outs = []
    for fn, eps in ((L.dice_loss, 1.0), (ref.dice_loss, 1.0), (L.dice_loss, 0.25), (ref.dice_loss, 0.25)):
        x = logits.clone().requires_grad_()
        v = fn(x, tgt, eps)
        v.backward()
        outs.append((v.detach(), x.grad))
    for i in (0, 2):
        torch.testing.assert_close(outs[i][0], outs[i + 1][0])
        torch.testing.assert_close(outs[i][1], outs[i + 1][1])
    assert inspect.signature(L.dice_loss).parameters["eps"].default == 1.0



def test_dice_tensor_eps_and_operators():
    """eps may be a tensor (it broadcasts as in the formulation); the dispatcher
    operators the compiler records compute what the functions compute."""
    g = torch.Generator().manual_seed(2)
    logits = torch.randn(4, 3, 5, generator=g)
    tgt = (torch.rand(4, 3, 5, generator=g) > 0.5).float()
    for eps in (torch.tensor(0.5), torch.tensor([0.5, 1.0, 2.0, 0.0]), torch.tensor(1, dtype=torch.int64)):
        torch.testing.assert_close(L.dice_loss(logits, tgt, eps), ref.dice_loss(logits, tgt, eps))
    assert torch.equal(torch.ops.halcyra.dice_loss(logits, tgt, 0.25), L.dice_loss(logits, tgt, 0.25))
    assert torch.equal(torch.ops.halcyra.dice_loss(logits, tgt), L.dice_loss(logits, tgt))
    b1 = torch.rand(6, 4, generator=g) * 10
    b1[:, 2:] += b1[:, :2]
    b2 = b1 + torch.rand(6, 4, generator=g)
    assert torch.equal(torch.ops.halcyra.ciou(b1, b2), L.ciou(b1, b2))

def test_dice_averages_instances_equally():
    # a 2 x 2 and a 20 x 20 instance (the small one padded with far-negative logits)
    lg = torch.full((2, 20, 20), -40.0)
    tg = torch.zeros(2, 20, 20)
    lg[0, :2, :2] = 5.0
    lg[1] = 0.0
    tg[1] = 1.0
    per = [L.dice_loss(lg[:1], tg[:1]).item(), L.dice_loss(lg[1:], tg[1:]).item()]
    assert per[0] > 0.5 and per[1] < 0.5
    assert L.dice_loss(lg, tg).item() == pytest.approx(sum(per) / 2)


# ---- build_class_meta -----------------------------------------------------------------

def test_build_class_meta_tables():
    ls = LabelSpace([Entry(is_polyline=1, kpt_sigmas=[0.025, 0.025, 0.026]),
                     {"is_polyline": "", "kpt_sigmas": None},
                     {"kpt_sigmas": []},
                     {"is_polyline": "yes", "kpt_sigmas": (0.1, 0.2, 0.3, 0.4, 0.5, 0.6)}])
    pl, sig = L.build_class_meta(ls, 5)
    assert pl.dtype == torch.bool and pl.tolist() == [True, False, False, True]
    assert sig.dtype == torch.float32 and sig.shape == (4, 5)
    torch.testing.assert_close(sig[0], torch.tensor([0.025, 0.025, 0.026, 0.05, 0.05]))
    assert (sig[1:3] == 0.05).all()
    torch.testing.assert_close(sig[3], torch.tensor([0.1, 0.2, 0.3, 0.4, 0.5]))
    for a, b in zip(L.build_class_meta(ls, 5), ref.build_class_meta(ls, 5)):
        assert torch.equal(a, b)
    pl, sig = L.build_class_meta(ls, num_kpts=0)
    assert sig.shape == (4, 1) and (sig == 0.05).all()
    assert L.build_class_meta(ls, 1)[1][:, 0].tolist() == pytest.approx([0.025, 0.05, 0.05, 0.1])
    pl, sig = L.build_class_meta(LabelSpace([]), 3)
    assert pl.shape == (0,) and sig.shape == (0, 3)
    # fewer entries than categories: the rest keep the defaults
    pl, sig = L.build_class_meta(LabelSpace([{"is_polyline": True}], num_categories=3), 2)
    assert pl.tolist() == [True, False, False] and (sig == 0.05).all()


def test_build_class_meta_errors():
    with pytest.raises(IndexError):
        L.build_class_meta(LabelSpace([{}, {}, {}], num_categories=2), 2)
    with pytest.raises(AttributeError):
        L.build_class_meta(object(), 2)
    with pytest.raises(AttributeError):
        L.build_class_meta(LabelSpace([[0.1]]), 2)
    with pytest.raises(TypeError):
        L.build_class_meta(LabelSpace([{"kpt_sigmas": 0.3}]), 2)
    with pytest.raises(ValueError):
        L.build_class_meta(LabelSpace([{"kpt_sigmas": ["x"]}]), 2)
    with pytest.raises(TypeError):
        L.build_class_meta(LabelSpace([]))


# ---- construction -----------------------------------------------------------------------

def test_module_names_and_class_layout():
    names = [k for k in vars(L) if not k.startswith("__")]
    assert names == ["math", "torch", "nn", "F", "STRIDES", "decode_boxes", "decode_points",
                     "make_anchors", "assign", "EPS", "ciou", "build_class_meta", "_jitter_rois",
                     "dice_loss", "MultiTaskCriterion"]
    assert L.EPS == 1e-9
    C = L.MultiTaskCriterion
    assert issubclass(C, torch.nn.Module)
    assert (C.MASK_STRIDE, C.MASK_CAP, C.W_BOX_FLOOR) == (2, 64, 0.0)
    methods = [k for k, v in vars(C).items() if callable(v) or isinstance(v, staticmethod)]
    assert methods == ["__init__", "_anchors", "_zero", "forward", "_mask_loss", "_kpt_loss",
                       "_pline_loss", "_tag_loss"]
    assert isinstance(vars(C)["_zero"], staticmethod)
    assert str(inspect.signature(C.__init__)) == (
        "(self, model_cfg: dict, labelspace, loss_cfg: dict | None = None, refine=None, "
        "assign_cfg: dict | None = None)")
    assert str(inspect.signature(C.forward)) == "(self, preds: dict, batch: dict)"
    assert str(inspect.signature(C._zero)) == "(t: torch.Tensor) -> torch.Tensor"
    assert C.forward.__qualname__ == "MultiTaskCriterion.forward"
    assert "graph-connected zero" in C.__doc__ and "has_*" in C.__doc__


def test_constructor_defaults_and_overrides():
    c = L.MultiTaskCriterion(MODEL_CFG, labelspace())
    assert c.w == {"box": 7.5, "cls": 0.5, "mask": 2.5, "kpt": 12.0, "vis": 1.0, "poly": 5.0,
                   "tag": 1.0, "refine": 2.5}
    assert list(c.assign_cfg.items()) == [("topk", 10), ("alpha", 0.5), ("beta", 6.0),
                                          ("target_floor", 0.0), ("rescue", False),
                                          ("w_box_floor", 0.0)]
    assert c.refine_jitter == 0.0 and c.box_offset == 0.5 and c.nc == NC
    assert c.num_kpts == 0 and c.n_pline == 0 and c.refine_head is None
    assert c.kpt_sigmas.shape == (NC, 1) and c.is_polyline_cls.tolist() == [False] * 3 + [True]
    assert c._anchor_cache == {}
    for cfg in (None, {}, {"refine_jitter": 0.0}):
        assert L.MultiTaskCriterion(MODEL_CFG, labelspace(), cfg).w == c.w
    c2 = L.MultiTaskCriterion({"nc": 7}, labelspace(), {"box": 5.0, "extra": 1.0,
                                                        "refine_jitter": "0.2"},
                              assign_cfg={"topk": 13, "other": 1})
    assert c2.w["box"] == 5.0 and c2.w["extra"] == 1.0 and "refine_jitter" not in c2.w
    assert c2.refine_jitter == 0.2 and c2.box_offset == 0.0 and c2.nc == 7
    assert c2.assign_cfg["topk"] == 13 and c2.assign_cfg["w_box_floor"] == 0.0
    assert c2.assign_cfg["other"] == 1
    assert c2.is_polyline_cls.shape == (NC,)          # rows follow the label space, not nc

    class Floored(L.MultiTaskCriterion):
        W_BOX_FLOOR = 0.25
    assert Floored(MODEL_CFG, labelspace()).assign_cfg["w_box_floor"] == 0.25


@pytest.mark.parametrize("tasks,kpts,npl,cols", [
    ({}, 0, 0, 1),
    ({"keypoint": {"enabled": False, "num_kpts": 17}}, 0, 0, 1),
    ({"keypoint": {"enabled": True, "num_kpts": 17}}, 17, 0, 17),
    ({"keypoint": {"enabled": True}}, 0, 0, 1),
    ({"polyline": {"enabled": True}}, 0, 16, 1),
    ({"polyline": {"enabled": 1, "n_points": 8}, "keypoint": {"enabled": True, "num_kpts": 3}},
     3, 8, 3),
])
def test_constructor_tasks(tasks, kpts, npl, cols):
    c = L.MultiTaskCriterion({"nc": NC, "tasks": tasks}, labelspace())
    assert (c.num_kpts, c.n_pline, c.kpt_sigmas.shape) == (kpts, npl, (NC, cols))


def test_constructor_errors_refine_child_and_state():
    with pytest.raises(KeyError):
        L.MultiTaskCriterion({}, labelspace())
    with pytest.raises(AttributeError):
        L.MultiTaskCriterion({"nc": 2, "tasks": [1]}, labelspace())
    with pytest.raises(ValueError):
        L.MultiTaskCriterion({"nc": 2, "box_offset": "x"}, labelspace())
    with pytest.raises(TypeError):
        L.MultiTaskCriterion(MODEL_CFG)
    head = torch.nn.Conv2d(2, 2, 1)
    c = L.MultiTaskCriterion(MODEL_CFG, labelspace(), refine=head)
    assert c.refine_head is head and dict(c.named_children()) == {"refine_head": head}
    sd = c.state_dict()
    assert "is_polyline_cls" not in sd and "kpt_sigmas" not in sd
    assert set(sd) == {"refine_head.weight", "refine_head.bias"}
    assert {n for n, _ in c.named_buffers()} == {"is_polyline_cls", "kpt_sigmas"}
    assert L.MultiTaskCriterion(MODEL_CFG, labelspace()).state_dict() == {}


# ---- _anchors and _zero ---------------------------------------------------------------

def test_anchor_cache(monkeypatch):
    c = L.MultiTaskCriterion(MODEL_CFG, labelspace())
    calls = []
    real = L.make_anchors

    def counting(*a, **k):
        calls.append(a)
        return real(*a, **k)
    monkeypatch.setattr(L, "make_anchors", counting)
    p1 = c._anchors([(8, 8), (4, 4), (2, 2)], torch.device("cpu"))
    p2 = c._anchors(((8, 8), (4, 4), (2, 2)), "cpu")
    p3 = c._anchors(feat_shapes=[torch.Size([8, 8]), torch.Size([4, 4]), torch.Size([2, 2])],
                    device="cpu")
    assert p1 is p2 and p1[0] is p3[0] and len(calls) == 1
    assert calls[0][1] == (8, 16, 32) and calls[0][2] == torch.device("cpu")
    ref_pts, ref_st = make_anchors(SHAPES)
    assert torch.equal(p1[0], ref_pts) and torch.equal(p1[1], ref_st)
    c._anchors([(4, 4)], "cpu")
    assert list(c._anchor_cache) == [(SHAPES, "cpu"), (((4, 4),), "cpu")]
    with pytest.raises(TypeError):
        c._anchors([[8, 8]], "cpu")


def test_zero():
    Z = L.MultiTaskCriterion._zero
    assert Z(torch.empty(0)).item() == 0.0
    h = torch.randn(3, 4).half().requires_grad_()
    z = L.MultiTaskCriterion(MODEL_CFG, labelspace())._zero(h)
    assert z.dtype == torch.float32 and z.dim() == 0 and z.item() == 0.0
    z.backward()
    assert h.grad is not None and (h.grad == 0).all()

    class Wrapped:              # not a tensor, but offers float() as t.float().sum() * 0.0 needs
        def __init__(self, t):
            self.t = t

        def float(self):
            return self.t.float()
    w = torch.randn(2, 3).half().requires_grad_()
    z = Z(Wrapped(w))
    assert z.dtype == torch.float32 and z.item() == 0.0 and z.requires_grad
    with pytest.raises(AttributeError, match="'list' object has no attribute 'float'"):
        Z([1.0])


# ---- forward -----------------------------------------------------------------------------

def make_case(seed, B=3, half=False, flags=None, device="cpu"):
    g = torch.Generator().manual_seed(seed)
    pts, _ = make_anchors(SHAPES)
    A = pts.shape[0]
    xy = torch.rand(B, G, 2, generator=g) * 40
    gt = torch.cat([xy, xy + torch.rand(B, G, 2, generator=g) * 20 + 8], -1)
    batch = {
        "gt_boxes": gt, "gt_cls": torch.randint(0, NC, (B, G), generator=g),
        "gt_valid": torch.rand(B, G, generator=g) > 0.2,
        "gt_ignore": torch.rand(B, G, generator=g) > 0.85,
        "has_rect": torch.tensor([True, False, False][:B]),
        "has_polygon": torch.tensor([False, True, False][:B]),
        "has_keypoint": torch.tensor([False, False, False][:B]),
        "has_polyline": torch.tensor([False, False, True][:B]),
    }
    if flags:
        batch.update(flags)
    dt = torch.half if half else torch.float32
    preds = {"feat_shapes": SHAPES,
             "cls_raw": (torch.randn(B, A, NC, generator=g) * 2).to(dt),
             "box_raw": (torch.randn(B, A, 4, generator=g) + 1.0).to(dt)}
    batch = {k: v.to(device) for k, v in batch.items()}
    preds = {k: (v.to(device) if torch.is_tensor(v) else v) for k, v in preds.items()}
    return preds, batch


def fake_assigner(seed, p_fg=0.1):
    """Random results of the assigner's shapes, with ignored positives included."""
    def fake(scores, pred_boxes, points, gt_boxes, gt_cls, gt_valid, gt_ignore, **kw):
        g = torch.Generator().manual_seed(seed)
        B, A, nc = scores.shape
        fg = torch.rand(B, A, generator=g) < p_fg
        matched = torch.randint(0, gt_boxes.shape[1], (B, A), generator=g)
        xy = points[None].expand(B, A, 2) + torch.randn(B, A, 2, generator=g) * 3
        tb = torch.cat([xy - 6, xy + torch.rand(B, A, 2, generator=g) * 10 + 2], -1)
        cls = torch.randint(0, nc, (B, A), generator=g)
        ts = torch.zeros(B, A, nc).scatter_(2, cls[..., None], torch.rand(B, A, 1, generator=g))
        ts = ts * fg[..., None]
        ign = torch.rand(B, A, generator=g) < 0.2
        dev = scores.device
        return fg.to(dev), matched.to(dev), tb.to(dev), ts.to(dev), ign.to(dev)
    return fake


def run_pair(preds, batch, assign_fn, monkeypatch, assign_cfg=None, loss_cfg=None, run=None):
    """Forward and backward of ours (called through `run`) and the eager
    criterion on copies of the inputs."""
    results = []
    for kind in ("ours", "ref"):
        p = dict(preds)
        p["cls_raw"] = preds["cls_raw"].detach().clone().requires_grad_()
        p["box_raw"] = preds["box_raw"].detach().clone().requires_grad_()
        if kind == "ours":
            if assign_fn is not None:
                monkeypatch.setattr(L, "assign", assign_fn)
            crit = L.MultiTaskCriterion(MODEL_CFG, labelspace(), loss_cfg, None, assign_cfg)
        else:
            crit = ref.RefCriterion(MODEL_CFG, labelspace(), loss_cfg, None, assign_cfg,
                                    assign_fn=assign_fn)
        crit = crit.to(batch["gt_boxes"].device)
        if kind == "ours" and run is not None:
            total, stats = run(crit, p, batch, whole=False)
        else:
            total, stats = crit(p, batch)
        total.backward()
        results.append((total.detach(), stats, p["cls_raw"].grad, p["box_raw"].grad))
        monkeypatch.undo()
    return results


def assert_pair_close(ours, theirs):
    (t1, s1, gc1, gb1), (t2, s2, gc2, gb2) = ours, theirs
    assert list(s1) == list(s2)
    torch.testing.assert_close(t1, t2, rtol=2e-5, atol=1e-6)
    for k in s1:
        assert s1[k].dtype == torch.float32 and not s1[k].requires_grad
        torch.testing.assert_close(s1[k], s2[k], rtol=2e-5, atol=1e-6)
    torch.testing.assert_close(gc1, gc2, rtol=2e-5, atol=1e-8)
    torch.testing.assert_close(gb1, gb2, rtol=2e-5, atol=1e-7)


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("floor", [0.0, 0.3])
def test_forward_matches_eager_with_fake_assigner(seed, floor, monkeypatch, device, run):
    preds, batch = make_case(seed, device=device)
    res = run_pair(preds, batch, fake_assigner(seed), monkeypatch,
                   assign_cfg={"w_box_floor": floor}, run=run)
    assert res[0][1]["num_pos"] > 0 and list(res[0][1]) == ["cls", "box", "num_pos"]
    assert_pair_close(*res)


@pytest.mark.parametrize("seed", range(3))
def test_forward_matches_eager_with_real_assigner(seed, monkeypatch, device, run):
    flags = {"has_rect": torch.tensor([True, True, False]),
             "has_keypoint": torch.tensor([False, True, True])}
    preds, batch = make_case(seed, flags=flags, device=device)
    res = run_pair(preds, batch, None, monkeypatch,
                   assign_cfg={"topk": 6, "rescue": seed == 1, "target_floor": 0.1 * seed},
                   run=run)
    assert res[0][1]["num_pos"] > 0
    assert_pair_close(*res)


def test_forward_half_predictions(monkeypatch):
    preds, batch = make_case(7, half=True)
    res = run_pair(preds, batch, None, monkeypatch)
    total, stats, gc, gb = res[0]
    assert total.dtype == torch.float32 and all(v.dtype == torch.float32 for v in stats.values())
    assert gc.dtype == torch.half and gb.dtype == torch.half
    assert_pair_close(*res)


def test_num_pos_and_stats(monkeypatch, run):
    preds, batch = make_case(2)
    c = L.MultiTaskCriterion(MODEL_CFG, labelspace())
    monkeypatch.setattr(L, "assign", fake_assigner(2))
    fg = fake_assigner(2)(torch.zeros(3, 84, NC), None, make_anchors(SHAPES)[0],
                          batch["gt_boxes"], None, None, None)[0]
    total, stats = run(c, preds, batch, whole=False)
    assert stats["num_pos"].device.type == "cpu" and stats["num_pos"].dim() == 0
    assert stats["num_pos"].dtype == torch.get_default_dtype()
    assert stats["num_pos"].item() == float(fg.sum())
    assert total.item() == pytest.approx(0.5 * stats["cls"].item() + 7.5 * stats["box"].item(),
                                         rel=1e-6)


def test_no_positives_box_is_connected_zero(monkeypatch, run):
    preds, batch = make_case(3)
    c = L.MultiTaskCriterion(MODEL_CFG, labelspace())
    seen = {}

    class Tasks(L.MultiTaskCriterion):
        def _tag_loss(self, preds, batch):
            return self._zero(preds["tag_logits"])

        def _mask_loss(self, preds, batch, fg_b, fg_a, fg_g):
            seen["triple"] = (fg_b, fg_a, fg_g)
            return self._zero(preds["coef"]), None
    monkeypatch.setattr(L, "assign", fake_assigner(3, p_fg=0.0))
    box_raw = preds["box_raw"].clone().requires_grad_()
    cls_raw = preds["cls_raw"].clone().requires_grad_()
    total, stats = run(c, {**preds, "box_raw": box_raw, "cls_raw": cls_raw}, batch, whole=False)
    assert list(stats) == ["cls", "box", "num_pos"]
    assert stats["box"].item() == 0.0 and stats["num_pos"].item() == 0.0 and stats["cls"] > 0
    total.backward()
    assert box_raw.grad is not None and (box_raw.grad == 0).all()
    coef = torch.randn(3, 84, 2, requires_grad=True)
    total, stats = run(Tasks(MODEL_CFG, labelspace()),
                       {**preds, "coef": coef, "tag_logits": torch.zeros(3, 2)}, batch, whole=False)
    assert list(stats) == ["cls", "box", "mask", "tag", "num_pos"]
    fg_b, fg_a, fg_g = seen["triple"]
    assert fg_b.numel() == fg_a.numel() == fg_g.numel() == 0 and fg_g.dtype == torch.int64
    total.backward()
    assert (coef.grad == 0).all()


@pytest.mark.parametrize("p_fg,floor", [(0.1, 0.0), (0.1, 0.5), (0.0, 0.0)])
def test_box_loss_eager_steps_and_whole_batch_operator_agree(p_fg, floor):
    """The box loss as forward computes it eagerly (positive_rows, ciou,
    weighted_box_loss) and as the compiled forward does (box_loss, selecting the
    positives inside): the same loss and gradient, bit for bit, and `any` false
    exactly where there is no positive."""
    preds, batch = make_case(7)
    pts, strides = make_anchors(SHAPES)
    fg, _, tb, ts, _ = fake_assigner(7, p_fg)(preds["cls_raw"], None, pts, batch["gt_boxes"],
                                             None, None, None)
    norm = ts.sum().clamp_min(1.0)
    results = []
    for whole in (True, False):
        raw = preds["box_raw"].clone().requires_grad_()
        pb = L.decode_boxes(raw, pts, strides, offset=0.5)
        if whole:
            loss, any_ = torch.ops.halcyra.box_loss(pb, tb, ts, fg, norm, floor)
            assert bool(any_) == bool(fg.any())
        else:
            fg_b, fg_a = fg.nonzero().unbind(1)
            rows = [torch.ops.halcyra.positive_rows(t, fg, fg_b, fg_a) for t in (pb, tb, ts)]
            loss = torch.ops.halcyra.weighted_box_loss(L.ciou(rows[0], rows[1]),
                                                       rows[2].sum(-1), floor, norm)
        if not fg.any():
            assert loss.item() == 0.0
            return
        loss.backward()
        results.append((loss.detach(), raw.grad))
    assert torch.equal(results[0][0], results[1][0]) and torch.equal(results[0][1], results[1][1])


@pytest.mark.parametrize("stride", [2, 2.0, torch.tensor(2), True, "2"])
def test_mask_stride_forms(stride):
    """MASK_STRIDE is read as a number wherever the mask loss reads it: an int, a
    float or a one-element tensor give the same loss; anything else is a
    TypeError naming it."""
    from tests.test_losses_tasks import mask_case, make_crit
    preds, batch, fg = mask_case(2, nfg=20)
    crit = make_crit()
    want, _ = crit._mask_loss(preds, batch, *fg)
    crit.MASK_STRIDE = stride
    if isinstance(stride, str):
        with pytest.raises(TypeError, match="'MASK_STRIDE' must be a number, not str"):
            crit._mask_loss(preds, batch, *fg)
        return
    got, _ = crit._mask_loss(preds, batch, *fg)
    if stride is True:      # boxes divided by 1
        assert not torch.equal(got, want)
    else:
        assert torch.equal(got, want)


class NoIndex:
    """Matched slots that cannot be indexed."""


@pytest.mark.parametrize("fault,error", [
    ("floor", ValueError),      # float("x")
    ("ciou", NameError),        # the late-bound ciou is gone
    ("matched", TypeError),     # matched_gt[fg_b, fg_a]
])
def test_box_branch_values_are_read_only_with_positives(fault, error, monkeypatch):
    """The box weight floor, the late-bound ciou and the assigner's matched slots
    are read, converted and indexed only where there are positives: without any,
    a faulty one goes unnoticed; with some, it raises what Python gives."""
    preds, batch = make_case(4)
    for p_fg in (0.0, 0.1):
        fake = fake_assigner(4, p_fg=p_fg)

        def other(*a, **kw):
            fg, matched, tb, ts, ign = fake(*a, **kw)
            return fg, NoIndex() if fault == "matched" else matched, tb, ts, ign
        monkeypatch.setattr(L, "assign", other)
        if fault == "ciou":
            monkeypatch.delattr(L, "ciou")
        c = L.MultiTaskCriterion(MODEL_CFG, labelspace())
        if fault == "floor":
            c.assign_cfg["w_box_floor"] = "x"
        if p_fg == 0.0:
            _, stats = c(preds, batch)
            assert stats["num_pos"].item() == 0.0
        else:
            with pytest.raises(error):
                c(preds, batch)
        monkeypatch.undo()


def test_class_availability_rules(monkeypatch):
    """Hand-made assignments: flags, ignore and the normaliser."""
    B, A = 3, 84
    fg = torch.zeros(B, A, dtype=torch.bool)
    fg[:, 5] = True
    ign = torch.zeros(B, A, dtype=torch.bool)
    ign[:, 5] = True                # a positive that is also ignored keeps full weight
    ign[:, 6] = True                # an ignored negative drops out
    ts = torch.zeros(B, A, NC)
    ts[:, 5, 0] = 0.9
    ts[:, 5, 3] = 0.8               # class 3 is a polyline class

    def fixed(scores, pred, pts, gt, *a, **k):
        tb = torch.tensor([4.0, 4.0, 40.0, 44.0]).expand(B, A, 4).clone()
        return fg, torch.zeros(B, A, dtype=torch.long), tb, ts, ign
    monkeypatch.setattr(L, "assign", fixed)
    preds, batch = make_case(4)
    c = L.MultiTaskCriterion(MODEL_CFG, labelspace())
    flags = {"has_rect": torch.tensor([True, False, False]),
             "has_polygon": torch.tensor([False, False, False]),
             "has_keypoint": torch.tensor([False, False, False]),
             "has_polyline": torch.tensor([False, False, True])}
    _, stats = c(preds, {**batch, **flags})
    x = preds["cls_raw"].float()
    bce = torch.nn.functional.binary_cross_entropy_with_logits(x, ts, reduction="none")
    keep = torch.ones(B, A)
    keep[:, 6] = 0
    # image 0: classes 0-2 only; image 1: nothing; image 2: class 3 only
    expect = (bce[0, :, :3] * keep[0, :, None]).sum() + (bce[2, :, 3] * keep[2]).sum()
    norm = 0.9 + 0.8                # image 0's class 0 and image 2's class 3
    assert stats["cls"].item() == pytest.approx((expect / norm).item(), rel=1e-5)
    # no available target mass: the normaliser is 1
    ts.zero_()
    _, stats = c(preds, {**batch, **flags})
    bce0 = torch.nn.functional.binary_cross_entropy_with_logits(x, ts, reduction="none")
    expect0 = (bce0[0, :, :3] * keep[0, :, None]).sum() + (bce0[2, :, 3] * keep[2]).sum()
    assert stats["cls"].item() == pytest.approx(expect0.item(), rel=1e-5)
    assert stats["box"].item() == 0.0    # positives present but zero box weight


def test_box_weight_floor(monkeypatch):
    B, A = 1, 84
    fg = torch.zeros(B, A, dtype=torch.bool)
    fg[0, [3, 9]] = True
    ts = torch.zeros(B, A, NC)
    tb = torch.tensor([0.0, 0.0, 20.0, 20.0]).expand(B, A, 4).clone()
    monkeypatch.setattr(L, "assign", lambda *a, **k: (fg, torch.zeros(B, A, dtype=torch.long),
                                                      tb, ts, torch.zeros(B, A, dtype=torch.bool)))
    preds, batch = make_case(5, B=1)
    pts, st = make_anchors(SHAPES)
    pb = L.decode_boxes(preds["box_raw"].float(), pts, st, offset=0.5)[0, [3, 9]]
    one_minus = 1 - ref.ciou(pb, tb[0, [3, 9]])
    c = L.MultiTaskCriterion(MODEL_CFG, labelspace(), assign_cfg={"w_box_floor": 0.5})
    for w, denom in (((0.1, 0.8), 1.3), ((0.1, 0.2), 1.0)):
        ts.zero_()
        ts[0, 3, 1], ts[0, 9, 2] = w
        _, stats = c(preds, batch)
        expect = (one_minus * torch.tensor([max(w[0], 0.5), max(w[1], 0.5)])).sum() / denom
        assert stats["box"].item() == pytest.approx(expect.item(), rel=1e-6)
    c.assign_cfg["w_box_floor"] = 0          # no floor: shares the classification normaliser
    ts.zero_()
    ts[0, 3, 1], ts[0, 9, 2] = 0.1, 0.8
    _, stats = c(preds, batch)
    expect = (one_minus * torch.tensor([0.1, 0.8])).sum() / 1.0
    assert stats["box"].item() == pytest.approx(expect.item(), rel=1e-6)
    c.assign_cfg["w_box_floor"] = "high"
    with pytest.raises(ValueError):
        c(preds, batch)


def test_assign_is_late_bound_with_exact_call(monkeypatch):
    preds, batch = make_case(6)
    c = L.MultiTaskCriterion(MODEL_CFG, labelspace(), assign_cfg={"topk": 7, "alpha": 1.5,
                                                                  "beta": 2.5, "rescue": True,
                                                                  "target_floor": 0.05})
    calls = []
    real = L.assign

    def recording(*args, **kwargs):
        calls.append((args, kwargs))
        return real(*args, **kwargs)
    monkeypatch.setattr(L, "assign", recording)
    cls_raw = preds["cls_raw"].clone().requires_grad_()
    c({**preds, "cls_raw": cls_raw}, batch)
    (args, kwargs), = calls
    assert len(args) == 7
    pts, st = c._anchors(SHAPES, "cpu")
    assert not args[0].requires_grad and not args[1].requires_grad
    torch.testing.assert_close(args[0], cls_raw.detach().sigmoid())
    torch.testing.assert_close(args[1], L.decode_boxes(preds["box_raw"], pts, st, offset=0.5))
    assert args[2] is pts
    for a, key in zip(args[3:], ("gt_boxes", "gt_cls", "gt_valid", "gt_ignore")):
        assert a is batch[key]
    assert list(kwargs) == ["topk", "alpha", "beta", "strides", "target_floor", "rescue"]
    assert kwargs["strides"] is st
    assert (kwargs["topk"], kwargs["alpha"], kwargs["beta"], kwargs["target_floor"],
            kwargs["rescue"]) == (7, 1.5, 2.5, 0.05, True)
    # an assigner that returns the wrong number of items
    monkeypatch.setattr(L, "assign", lambda *a, **k: real(*a, **k)[:4])
    with pytest.raises(ValueError, match="not enough values to unpack"):
        c(preds, batch)


def test_other_late_bound_names(monkeypatch, run):
    preds, batch = make_case(8)
    c = L.MultiTaskCriterion(MODEL_CFG, labelspace())
    monkeypatch.setattr(L, "assign", fake_assigner(8))
    base_total, base = c(preds, batch)
    monkeypatch.setattr(L, "ciou", lambda a, b: torch.ones(a.shape[0]))
    assert run(c, preds, batch, whole=False)[1]["box"].item() == 0.0
    seen = []
    real_decode = L.decode_boxes
    monkeypatch.setattr(L, "decode_boxes",
                        lambda *a, **k: seen.append(k) or real_decode(*a, **k))
    run(c, preds, batch, whole=False)
    assert seen == [{"offset": 0.5}]
    c.w = {**c.w, "cls": 0.0, "box": 2}
    total, stats = c(preds, batch)
    assert total.item() == pytest.approx(2 * stats["box"].item())


def test_task_losses_through_self(monkeypatch, run):
    """Subclass overrides are called with the foreground triple; entries, order, total."""
    preds, batch = make_case(9)
    fake = fake_assigner(9)
    monkeypatch.setattr(L, "assign", fake)
    calls = {}

    class Sub(L.MultiTaskCriterion):
        def _mask_loss(self, preds, batch, fg_b, fg_a, fg_g):
            calls["mask"] = (fg_b, fg_a, fg_g)
            return preds["coef"].float().mean() * 0 + 0.25, preds["coef"].sum() * 0 + 1.0

        def _kpt_loss(self, preds, batch, points, strides, fg_b, fg_a, fg_g):
            calls["kpt"] = (points, strides)
            return torch.tensor(0.5), torch.tensor(2.0)

        def _pline_loss(self, preds, batch, points, strides, fg_b, fg_a, fg_g):
            return torch.tensor(3.0)

        def _tag_loss(self, preds, batch):
            return torch.tensor(4.0)
    c = Sub(MODEL_CFG, labelspace(), {"mask": 1.0, "refine": 10.0})
    p = {**preds, "coef": torch.randn(3, 84, 2, requires_grad=True), "kpt_raw": 0,
         "pline_raw": 0, "tag_logits": 0}
    total, stats = run(c, p, batch, whole=False)
    assert list(stats) == ["cls", "box", "mask", "refine", "kpt", "vis", "poly", "tag", "num_pos"]
    fg, matched = fake(torch.zeros(3, 84, NC), None, make_anchors(SHAPES)[0],
                       batch["gt_boxes"], None, None, None)[:2]
    fg_b, fg_a, fg_g = calls["mask"]
    eb, ea = fg.nonzero(as_tuple=True)
    assert torch.equal(fg_b, eb) and torch.equal(fg_a, ea) and torch.equal(fg_g, matched[eb, ea])
    assert calls["kpt"][0] is c._anchors(SHAPES, "cpu")[0]
    expect = (0.5 * stats["cls"] + 7.5 * stats["box"] + 0.25 + 10.0 + 12.0 * 0.5 + 2.0 +
              5.0 * 3.0 + 4.0)
    assert total.item() == pytest.approx(expect.item(), rel=1e-6)
    # None as the refine result leaves no refine entry; a weight key missing is a KeyError
    Sub._mask_loss = lambda self, *a: (torch.tensor(1.0), None)
    assert "refine" not in c(p, batch)[1]
    del c.w["tag"]
    with pytest.raises(KeyError):
        c(p, batch)



class Rows:
    """An assigner's matched indices as an object that is not a tensor but can
    be indexed like one."""

    def __init__(self, t):
        self.t = t

    def __getitem__(self, key):
        return self.t[key]


@pytest.mark.parametrize("kind", ["tensor", "wider", "indexable"])
def test_matched_gt_of_other_shapes_and_types(kind, monkeypatch):
    """The matched slots of the positives are matched_gt[fg_b, fg_a] whatever
    the (late-bound) assigner returns that can be indexed so: a (B, A) tensor,
    a wider one, an object with __getitem__."""
    preds, batch = make_case(11)
    fake = fake_assigner(11)

    def other(*a, **kw):
        fg, matched, tb, ts, ign = fake(*a, **kw)
        if kind == "wider":
            matched = torch.cat([matched, torch.full_like(matched[:, :3], -1)], 1)
        elif kind == "indexable":
            matched = Rows(matched)
        return fg, matched, tb, ts, ign
    monkeypatch.setattr(L, "assign", other)
    seen = {}

    class Sub(L.MultiTaskCriterion):
        def _mask_loss(self, preds, batch, fg_b, fg_a, fg_g):
            seen["fg"] = fg_b, fg_a, fg_g
            return self._zero(preds["coef"]), None
    c = Sub(MODEL_CFG, labelspace())
    total, stats = c({**preds, "coef": torch.zeros(3, 84, 2)}, batch)
    fg, matched = fake(torch.zeros(3, 84, NC), None, make_anchors(SHAPES)[0],
                       batch["gt_boxes"], None, None, None)[:2]
    eb, ea = fg.nonzero(as_tuple=True)
    fg_b, fg_a, fg_g = seen["fg"]
    assert torch.equal(fg_b, eb) and torch.equal(fg_a, ea) and torch.equal(fg_g, matched[eb, ea])
    monkeypatch.setattr(L, "assign", fake)
    want_total, want = c({**preds, "coef": torch.zeros(3, 84, 2)}, batch)
    assert torch.equal(total, want_total) and list(stats) == list(want)


def test_assigner_target_scores_of_another_size(monkeypatch):
    """Target scores that are not cls_raw's size: the ValueError of
    binary_cross_entropy_with_logits, as the formulation raises it."""
    preds, batch = make_case(12)
    fake = fake_assigner(12)

    def short(*a, **kw):
        r = list(fake(*a, **kw))
        r[3] = r[3][:, :-1]
        return tuple(r)
    monkeypatch.setattr(L, "assign", short)
    ts = short(preds["cls_raw"].sigmoid(), None, make_anchors(SHAPES)[0], batch["gt_boxes"],
               None, None, None)[3]
    want = error_of(torch.nn.functional.binary_cross_entropy_with_logits, preds["cls_raw"], ts)
    raises_like(want, L.MultiTaskCriterion(MODEL_CFG, labelspace()), preds, batch)


def test_task_loss_that_is_not_a_tensor(monkeypatch):
    """A task loss of a subclass that is not a tensor takes part in the total
    through its own operators and is detached through its own detach()."""
    preds, batch = make_case(13)
    monkeypatch.setattr(L, "assign", fake_assigner(13))

    class Deferred:
        def __init__(self, t):
            self.t = t

        def __rmul__(self, w):
            return w * self.t

        def detach(self):
            return self.t.detach() + 100

    class Sub(L.MultiTaskCriterion):
        def _tag_loss(self, preds, batch):
            return Deferred(preds["tag_logits"].sum())

    class AsNumber(L.MultiTaskCriterion):
        def _tag_loss(self, preds, batch):
            return 4.0
    logits = torch.tensor([0.5, 1.5], requires_grad=True)
    p = {**preds, "tag_logits": logits}
    total, stats = Sub(MODEL_CFG, labelspace())(p, batch)
    assert stats["tag"].item() == 102.0 and not stats["tag"].requires_grad
    base = 0.5 * stats["cls"] + 7.5 * stats["box"]
    assert total.item() == pytest.approx(base.item() + 2.0, rel=1e-6)
    total.backward()
    assert logits.grad.tolist() == [1.0, 1.0]
    with pytest.raises(AttributeError, match="'float' object has no attribute 'detach'"):
        AsNumber(MODEL_CFG, labelspace())(p, batch)

def test_forward_errors():
    preds, batch = make_case(1)
    c = L.MultiTaskCriterion(MODEL_CFG, labelspace())
    for key in ("has_rect", "gt_ignore", "gt_boxes"):
        with pytest.raises(KeyError):
            c(preds, {k: v for k, v in batch.items() if k != key})
    with pytest.raises(KeyError):
        c({k: v for k, v in preds.items() if k != "box_raw"}, batch)
    with pytest.raises(ValueError, match="unpack"):
        c({**preds, "cls_raw": preds["cls_raw"][0]}, batch)
    with pytest.raises(TypeError):
        c({**preds, "feat_shapes": [[8, 8], [4, 4], [2, 2]]}, batch)
    with pytest.raises(TypeError):
        c.forward(preds)
    snapshot = {k: v.clone() for k, v in batch.items()}
    pre = {k: v.clone() for k, v in preds.items() if torch.is_tensor(v)}
    c(preds, batch)
    assert all(torch.equal(batch[k], v) for k, v in snapshot.items())
    assert all(torch.equal(preds[k], v) for k, v in pre.items())


def test_autocast_keeps_float32(monkeypatch):
    preds, batch = make_case(10)
    monkeypatch.setattr(L, "assign", fake_assigner(10))
    c = L.MultiTaskCriterion(MODEL_CFG, labelspace())
    total, stats = c(preds, batch)
    with torch.autocast("cpu", dtype=torch.bfloat16):
        total_ac, stats_ac = c(preds, batch)
    assert total_ac.dtype == torch.float32
    for k in stats:
        assert stats_ac[k].dtype == torch.float32
        torch.testing.assert_close(stats_ac[k], stats[k], rtol=1e-6, atol=0)


def test_copy_and_pickle_roundtrip():
    import copy
    import pickle
    c = L.MultiTaskCriterion(MODEL_CFG, labelspace(), {"box": 3.0})
    c._anchors(SHAPES, "cpu")
    for d in (copy.deepcopy(c), pickle.loads(pickle.dumps(c))):
        assert type(d) is L.MultiTaskCriterion and d.w["box"] == 3.0
        assert torch.equal(d.is_polyline_cls, c.is_polyline_cls)
        assert (SHAPES, "cpu") in d._anchor_cache


def test_forward_all_tasks_matches_eager(monkeypatch, run):
    """Every switch key present, the real task losses: ours against the eager criterion."""
    K, N, P, T, B = 3, 4, 6, 5, 3
    cfg = {"nc": NC, "box_offset": 0.5, "tasks": {"keypoint": {"enabled": True, "num_kpts": K},
                                                  "polyline": {"enabled": True, "n_points": N}}}
    preds, batch = make_case(12)
    g = torch.Generator().manual_seed(12)
    A = 84
    preds.update({"coef": torch.randn(B, A, P, generator=g),
                  "protos": torch.randn(B, P, 32, 32, generator=g),
                  "kpt_raw": torch.randn(B, A, 3 * K, generator=g),
                  "pline_raw": torch.randn(B, A, 2 * N, generator=g),
                  "tag_logits": torch.randn(B, T, generator=g)})
    gt = batch["gt_boxes"]
    kxy = gt[..., None, :2] + torch.rand(B, G, K, 2, generator=g) * (gt[..., None, 2:] - gt[..., None, :2])
    batch.update({"gt_masks": (torch.rand(B, G, 32, 32, generator=g) > 0.5).to(torch.uint8),
                  "mask_valid": torch.rand(B, G, generator=g) > 0.3,
                  "gt_kpts": torch.cat([kxy, torch.randint(0, 3, (B, G, K, 1), generator=g).float()], -1),
                  "kpt_valid": torch.rand(B, G, generator=g) > 0.3,
                  "gt_plines": torch.rand(B, G, N, 2, generator=g) * 64,
                  "pline_valid": torch.rand(B, G, generator=g) > 0.3,
                  "has_tags": torch.tensor([True, False, True]),
                  "gt_tags": (torch.rand(B, T, generator=g) > 0.5).float(),
                  "has_keypoint": torch.tensor([True, False, True]),
                  "has_polyline": torch.tensor([True, True, False])})
    fake = fake_assigner(12, p_fg=0.05)     # under MASK_CAP instances: no random draw
    results = []
    for kind in ("ours", "ref"):
        leaves = {k: preds[k].detach().clone().requires_grad_()
                  for k in ("cls_raw", "box_raw", "coef", "protos", "kpt_raw", "pline_raw",
                            "tag_logits")}
        p = {**preds, **leaves}
        if kind == "ours":
            monkeypatch.setattr(L, "assign", fake)
            crit = L.MultiTaskCriterion(cfg, labelspace())
        else:
            crit = ref.RefCriterion(cfg, labelspace(), assign_fn=fake)
        total, stats = (run(crit, p, batch, whole=False) if kind == "ours" else crit(p, batch))
        total.backward()
        results.append((total.detach(), stats, {k: v.grad for k, v in leaves.items()}))
        monkeypatch.undo()
    (t1, s1, g1), (t2, s2, g2) = results
    assert list(s1) == ["cls", "box", "mask", "kpt", "vis", "poly", "tag", "num_pos"]
    assert all(s1[k] > 0 for k in s1), "every task supervised something"
    assert list(s1) == list(s2)
    torch.testing.assert_close(t1, t2, rtol=2e-5, atol=1e-6)
    for k in s1:
        torch.testing.assert_close(s1[k], s2[k], rtol=2e-5, atol=1e-6)
    for k in g1:
        torch.testing.assert_close(g1[k], g2[k], rtol=1e-4, atol=1e-7)


def test_forward_many_anchor_blocks(monkeypatch):
    """A size where the classification term runs in several blocks per image."""
    shapes = ((40, 40), (20, 20), (10, 10))
    A, nc, B = 2100, 20, 2
    g = torch.Generator().manual_seed(13)
    ls = LabelSpace([{"is_polyline": c == 7} for c in range(nc)])
    cfg = {"nc": nc}
    preds = {"feat_shapes": shapes, "cls_raw": torch.randn(B, A, nc, generator=g) * 3,
             "box_raw": torch.randn(B, A, 4, generator=g)}
    xy = torch.rand(B, G, 2, generator=g) * 250
    batch = {"gt_boxes": torch.cat([xy, xy + torch.rand(B, G, 2, generator=g) * 60 + 10], -1),
             "gt_cls": torch.randint(0, nc, (B, G), generator=g),
             "gt_valid": torch.ones(B, G, dtype=torch.bool),
             "gt_ignore": torch.zeros(B, G, dtype=torch.bool),
             "has_rect": torch.tensor([True, False]), "has_polygon": torch.tensor([False, False]),
             "has_keypoint": torch.tensor([False, False]),
             "has_polyline": torch.tensor([True, True])}
    fake = fake_assigner(13, p_fg=0.02)
    out = []
    for crit in (L.MultiTaskCriterion(cfg, ls), ref.RefCriterion(cfg, ls, assign_fn=fake)):
        monkeypatch.setattr(L, "assign", fake)
        x = preds["cls_raw"].clone().requires_grad_()
        total, stats = crit({**preds, "cls_raw": x}, batch)
        total.backward()
        out.append((stats["cls"], x.grad))
    torch.testing.assert_close(out[0][0], out[1][0], rtol=2e-5, atol=0)
    torch.testing.assert_close(out[0][1], out[1][1], rtol=1e-5, atol=1e-9)
    assert (out[0][1][1, :, 7] != 0).any() and (out[0][1][1, :, :7] == 0).all()


# ---- classification term: within 1e-6 of the eager formulation ---------------------------

def cls_case(seed, B=2, nc=83, special=True):
    """Several kernel blocks per image, a class count that leaves a remainder
    after vectors of 8, logits from -120 to 120 (sigmoid 0 and 1 included),
    soft targets with some at 0.5 and 1, ignored positives, mixed availability."""
    shapes = ((40, 40), (20, 20), (10, 10))
    A = sum(h * w for h, w in shapes)
    g = torch.Generator().manual_seed(seed)
    x = torch.randn(B, A, nc, generator=g) * 4
    if special:
        flat = x.view(-1)
        idx = torch.randperm(flat.numel(), generator=g)[:600]
        flat[idx[:100]] = 0.0
        flat[idx[100:200]] = -0.0
        flat[idx[200:300]] = 120.0
        flat[idx[300:400]] = -120.0
        flat[idx[400:500]] = 17.0
        flat[idx[500:]] = -17.0
    fg = torch.rand(B, A, generator=g) < 0.05
    cls = torch.randint(0, nc, (B, A), generator=g)
    val = torch.rand(B, A, 1, generator=g)
    val[:, ::7] = 0.5
    val[:, ::11] = 1.0
    ts = torch.zeros(B, A, nc).scatter_(2, cls[..., None], val) * fg[..., None]
    # logits that sit on their target: sigmoid(x) - t cancels
    on = fg & (torch.rand(B, A, generator=g) < 0.5)
    tv = ts.gather(2, cls[..., None])[..., 0].clamp(1e-3, 1 - 1e-3)
    x.scatter_(2, cls[..., None], torch.where(on, torch.logit(tv), x.gather(2, cls[..., None])[..., 0])[..., None])
    ign = torch.rand(B, A, generator=g) < 0.3
    xy = torch.rand(B, G, 2, generator=g) * 250
    batch = {"gt_boxes": torch.cat([xy, xy + 20], -1), "gt_cls": torch.zeros(B, G, dtype=torch.long),
             "gt_valid": torch.ones(B, G, dtype=torch.bool),
             "gt_ignore": torch.zeros(B, G, dtype=torch.bool),
             "has_rect": torch.tensor([True, False]), "has_polygon": torch.tensor([False, False]),
             "has_keypoint": torch.tensor([False, True]), "has_polyline": torch.tensor([True, False])}
    preds = {"feat_shapes": shapes, "cls_raw": x, "box_raw": torch.randn(B, A, 4, generator=g)}
    pts, _ = make_anchors(shapes)
    tb = torch.cat([pts - 6, pts + 9], -1).expand(B, A, 4)
    ls = LabelSpace([{"is_polyline": c % 9 == 4} for c in range(nc)])

    def fixed(scores, *args, **kw):
        return fg, torch.zeros(B, A, dtype=torch.long), tb, ts, ign
    return preds, batch, ls, fixed


def run_cls_pair(preds, batch, ls, fixed, monkeypatch, threads=None, retain=False):
    out = []
    monkeypatch.setattr(L, "assign", fixed)
    before = torch.get_num_threads()
    try:
        if threads:
            torch.set_num_threads(threads)
        for crit in (L.MultiTaskCriterion({"nc": len(ls.categories)}, ls),
                     ref.RefCriterion({"nc": len(ls.categories)}, ls, assign_fn=fixed)):
            x = preds["cls_raw"].clone().requires_grad_()
            b = preds["box_raw"].clone().requires_grad_()
            total, stats = crit({**preds, "cls_raw": x, "box_raw": b}, batch)
            total.backward(retain_graph=retain)
            grads = [x.grad.clone(), b.grad.clone()]
            if retain:        # a second pass through the same graph sees the same saved values
                total.backward()
                grads += [x.grad - grads[0], b.grad - grads[1]]
            out.append((stats, grads))
    finally:
        torch.set_num_threads(before)
    return out


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("seed", range(3))
def test_cls_term_within_1e6_of_eager(seed, threads, monkeypatch):
    """Every loss entry and every gradient element within 1e-6 relative of the
    eager criterion, including logits whose sigmoid equals the target."""
    preds, batch, ls, fixed = cls_case(seed)
    (s1, g1), (s2, g2) = run_cls_pair(preds, batch, ls, fixed, monkeypatch, threads,
                                      retain=seed == 0)
    assert list(s1) == list(s2) and s1["cls"] > 0
    for k in s1:
        torch.testing.assert_close(s1[k], s2[k], rtol=1e-6, atol=0)
    # cls_raw: element by element. box_raw: its gradient is a sum of terms that
    # can cancel, and it scales with the classification normaliser, which the
    # eager formulation sums in float32 in its own order; relative to the
    # tensor's largest element there.
    for k, (a, b) in enumerate(zip(g1, g2)):
        atol = 0 if k % 2 == 0 else 1e-6 * b.abs().max().item()
        torch.testing.assert_close(a, b, rtol=1e-6, atol=atol)
    assert (g1[0] != 0).sum() > 0.5 * g1[0].numel()


def test_cls_term_non_finite_logits(monkeypatch):
    """NaN and infinite logits, weighted or not, give the eager loss and gradients
    (NaN where eager has NaN, inf where it has inf)."""
    for values in ([float("nan")], [float("inf")], [float("-inf")], [float("inf"), float("-inf")]):
        preds, batch, ls, fixed = cls_case(5, special=False)
        x = preds["cls_raw"]
        for i, v in enumerate(values):
            x[0, 10 + i, 3] = v      # an available class of an anchor with weight
            x[1, 20 + i, 0] = v      # image 1, class 0: not available there
        (s1, g1), (s2, g2) = run_cls_pair(preds, batch, ls, fixed, monkeypatch)
        assert not math.isfinite(s2["cls"].item())
        torch.testing.assert_close(s1["cls"], s2["cls"], rtol=1e-6, atol=0, equal_nan=True)
        torch.testing.assert_close(g1[0], g2[0], rtol=1e-6, atol=0, equal_nan=True)


@pytest.mark.parametrize("change", ["scale", "shrink"])
def test_cls_term_assigner_that_changes_scores(change, monkeypatch):
    """An assigner that writes into the scores it is given, or resizes them
    (which leaves their version as it was), changes nothing."""
    preds, batch, ls, fixed = cls_case(6)

    def scribbling(scores, *args, **kw):
        if change == "scale":
            scores.mul_(0.5)
            return fixed(scores, *args, **kw)
        out = fixed(scores, *args, **kw)
        scores.resize_(1)
        return out
    (s1, g1), (s2, g2) = run_cls_pair(preds, batch, ls, scribbling, monkeypatch)
    torch.testing.assert_close(s1["cls"], s2["cls"], rtol=1e-6, atol=0)
    torch.testing.assert_close(g1[0], g2[0], rtol=1e-6, atol=0)


def test_cls_term_runs_one_fused_pass_on_cpu(monkeypatch):
    """The CPU classification term is the fused kernel: no elementwise cross-entropy
    and, in the backward pass, no second sigmoid. Under HALCYRA_GENERIC=1 it is
    the tensor formulation of other devices, which takes the sigmoid again."""
    generic = halcyra._generic == "1"
    preds, batch, ls, fixed = cls_case(7, special=False)
    monkeypatch.setattr(L, "assign", fixed)
    crit = L.MultiTaskCriterion({"nc": len(ls.categories)}, ls)
    x = preds["cls_raw"].clone().requires_grad_()
    with torch.profiler.profile() as prof:
        total, _ = crit({**preds, "cls_raw": x}, batch)
    names = [e.name for e in prof.events()]
    assert "halcyra::cls_loss" in names
    assert ("aten::binary_cross_entropy_with_logits" in names) == generic
    assert names.count("aten::sigmoid") == 1            # the assigner's scores
    with torch.profiler.profile() as prof:
        total.backward()
    names = [e.name for e in prof.events()]
    assert "halcyra::cls_loss_backward" in names and ("aten::sigmoid" in names) == generic
