"""A corpus of criterion calls, odd ones included, recorded so that two builds
of halcyra.losses.losses can be compared bit for bit.

Each call runs with torch.manual_seed(its index) set first and records either
its results (every tensor of the result, detached; the gradients of the inputs
that require grad, or the error of the backward pass; one draw of the default
generator afterwards, so that the random numbers a call consumed are compared
too) or (exception type, message).

    /usr/bin/python3 tools/losses_corpus.py record OUT.pt
    /usr/bin/python3 tools/losses_corpus.py compare OLD.pt NEW.pt
"""
import math
import os
import sys

import torch
import torch.nn as nn
import torch.nn.functional as F

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)

from halcyra.infer.decode import make_anchors  # noqa: E402
from halcyra.losses import losses as L  # noqa: E402

SHAPES = ((8, 8), (4, 4), (2, 2))  # 84 anchors
A = 84
NC, G, K, NPL, P, HM, WM, T = 4, 5, 3, 4, 3, 16, 16, 3


class LabelSpace:
    def __init__(self, nc=NC, polyline=(3,), sigmas=True, categories=None):
        self.num_categories = nc
        if categories is not None:
            self.categories = categories
        else:
            self.categories = [{"is_polyline": c in polyline,
                                **({"kpt_sigmas": [0.02 * (c + 1) + 0.01 * j for j in range(K)]}
                                   if sigmas else {})} for c in range(nc)]


def model_cfg(kpt=True, pline=True, **extra):
    cfg = {"nc": NC, "box_offset": 0.5, "tasks": {}}
    if kpt:
        cfg["tasks"]["keypoint"] = {"enabled": True, "num_kpts": K}
    if pline:
        cfg["tasks"]["polyline"] = {"enabled": True, "n_points": NPL}
    cfg.update(extra)
    return cfg


class Head(nn.Module):
    """A small refine head: sanitize shifts boxes, forward pools the coarse logits."""

    def __init__(self, roi=5, fault=None):
        super().__init__()
        self.roi = roi
        self.fault = fault
        self.scale = nn.Parameter(torch.tensor(1.25))

    def sanitize(self, boxes, size, stride):
        if self.fault == "sanitize_raises":
            raise RuntimeError("sanitize failed")
        if self.fault == "sanitize_rows":
            return boxes[:1]
        if self.fault == "sanitize_nan":
            return boxes * float("nan")
        if self.fault == "sanitize_list":
            return boxes.tolist()
        return boxes + 0.5

    def forward(self, f2, coarse, boxes, bidx, stride):
        if self.fault == "forward_raises":
            raise ValueError("head failed")
        if self.fault == "forward_shape":
            return coarse
        if self.fault == "forward_none":
            return None
        pooled = F.adaptive_avg_pool2d(coarse[:, None], self.roi)[:, 0]
        return pooled * self.scale + f2.mean()


def make_batch(g, B, tasks=("coef", "kpt_raw", "pline_raw", "tag_logits"), flags=None):
    xy = torch.rand(B, G, 2, generator=g) * 40
    gt = torch.cat([xy, xy + torch.rand(B, G, 2, generator=g) * 20 + 8], -1)
    batch = {
        "gt_boxes": gt, "gt_cls": torch.randint(0, NC, (B, G), generator=g),
        "gt_valid": torch.rand(B, G, generator=g) > 0.2,
        "gt_ignore": torch.rand(B, G, generator=g) > 0.85,
        "has_rect": torch.rand(B, generator=g) > 0.3,
        "has_polygon": torch.rand(B, generator=g) > 0.3,
        "has_keypoint": torch.rand(B, generator=g) > 0.3,
        "has_polyline": torch.rand(B, generator=g) > 0.5,
        "has_tags": torch.rand(B, generator=g) > 0.4,
        "gt_tags": (torch.rand(B, T, generator=g) > 0.5).float(),
        "gt_masks": (torch.rand(B, G, HM, WM, generator=g) > 0.5).to(torch.uint8),
        "mask_valid": torch.rand(B, G, generator=g) > 0.2,
        "gt_kpts": torch.cat([torch.rand(B, G, K, 2, generator=g) * 60,
                              torch.randint(0, 3, (B, G, K, 1), generator=g).float()], -1),
        "kpt_valid": torch.rand(B, G, generator=g) > 0.3,
        "gt_plines": torch.rand(B, G, NPL, 2, generator=g) * 60,
        "pline_valid": torch.rand(B, G, generator=g) > 0.3,
    }
    if flags:
        batch.update(flags)
    return batch


def make_preds(g, B, tasks=("coef", "kpt_raw", "pline_raw", "tag_logits"), dtype=torch.float32,
               f2=True):
    preds = {"feat_shapes": SHAPES,
             "cls_raw": (torch.randn(B, A, NC, generator=g) * 2).to(dtype),
             "box_raw": (torch.randn(B, A, 4, generator=g) + 1.0).to(dtype)}
    if "coef" in tasks:
        preds["coef"] = torch.randn(B, A, P, generator=g).to(dtype)
        preds["protos"] = torch.randn(B, P, HM, WM, generator=g).to(dtype)
        if f2:
            preds["f2"] = torch.randn(B, 2, HM, WM, generator=g).to(dtype)
    if "kpt_raw" in tasks:
        preds["kpt_raw"] = torch.randn(B, A, 3 * K, generator=g).to(dtype)
    if "pline_raw" in tasks:
        preds["pline_raw"] = torch.randn(B, A, 2 * NPL, generator=g).to(dtype)
    if "tag_logits" in tasks:
        preds["tag_logits"] = torch.randn(B, T, generator=g).to(dtype)
    for k, v in preds.items():
        if torch.is_tensor(v) and v.is_floating_point():
            v.requires_grad_()
    return preds


def fake_assigner(seed, p_fg=0.1):
    def fake(scores, pred_boxes, points, gt_boxes, gt_cls, gt_valid, gt_ignore, **kw):
        g = torch.Generator().manual_seed(seed)
        B, A_, nc = scores.shape
        fg = torch.rand(B, A_, generator=g) < p_fg
        matched = torch.randint(0, gt_boxes.shape[1], (B, A_), generator=g)
        xy = points[None].expand(B, A_, 2) + torch.randn(B, A_, 2, generator=g) * 3
        tb = torch.cat([xy - 6, xy + torch.rand(B, A_, 2, generator=g) * 10 + 2], -1)
        cls = torch.randint(0, nc, (B, A_), generator=g)
        ts = torch.zeros(B, A_, nc).scatter_(2, cls[..., None], torch.rand(B, A_, 1, generator=g))
        ts = ts * fg[..., None]
        ign = torch.rand(B, A_, generator=g) < 0.2
        return fg, matched, tb, ts, ign
    return fake


# ---- recording ---------------------------------------------------------------

def tensors_of(obj, out, path="r"):
    """The tensors of a result (nested tuples, lists, dicts) by path, and the
    plain values as their repr."""
    if torch.is_tensor(obj):
        out[path] = obj.detach().clone()
    elif isinstance(obj, (tuple, list)):
        out[path] = ("seq", type(obj).__name__, len(obj))
        for i, v in enumerate(obj):
            tensors_of(v, out, f"{path}[{i}]")
    elif isinstance(obj, dict):
        out[path] = ("dict", tuple(obj.keys()))
        for k, v in obj.items():
            tensors_of(v, out, f"{path}[{k!r}]")
    else:
        out[path] = ("value", repr(obj))
    return out


def scalars_to_sum(obj):
    if torch.is_tensor(obj):
        return [obj] if obj.requires_grad else []
    if isinstance(obj, (tuple, list)):
        return [t for v in obj for t in scalars_to_sum(v)]
    return []


def leaves(*dicts):
    found = []
    for d in dicts:
        if isinstance(d, dict):
            for k, v in d.items():
                if torch.is_tensor(v) and v.requires_grad and v.is_leaf:
                    found.append((k, v))
    return found


def error(exc):
    return ("error", type(exc).__name__, str(exc))


def run_case(fn):
    """fn() -> (result, grad_inputs: list of (name, tensor))."""
    try:
        result, inputs = fn()
    except Exception as exc:  # noqa: BLE001
        return error(exc)
    rec = {"result": tensors_of(result, {})}
    outs = scalars_to_sum(result[:1] if isinstance(result, tuple) and len(result) == 2
                          and isinstance(result[1], dict) else result)
    if outs and inputs:
        try:
            total = sum(o.sum() for o in outs)
            gs = torch.autograd.grad(total, [t for _, t in inputs], allow_unused=True)
            rec["grads"] = {n: (None if g is None else g.clone()) for (n, _), g in zip(inputs, gs)}
        except Exception as exc:  # noqa: BLE001
            rec["grads"] = error(exc)
    rec["rng_after"] = torch.rand(2)
    return ("ok", rec)


CASES = []


def case(name):
    def deco(fn):
        CASES.append((name, fn))
        return fn
    return deco


def crit_of(kpt=True, pline=True, refine=None, loss_cfg=None, assign_cfg=None, cls=None, **kw):
    cls = cls or L.MultiTaskCriterion
    return cls(model_cfg(kpt, pline, **kw), LabelSpace(), loss_cfg, refine, assign_cfg)


def forward_call(crit, preds, batch):
    return lambda: (crit(preds, batch), leaves(preds, batch))


# ---- the cases -------------------------------------------------------------------

TASK_SETS = [(), ("coef",), ("kpt_raw",), ("pline_raw",), ("tag_logits",),
             ("coef", "kpt_raw", "pline_raw", "tag_logits")]


class Rebind:
    """Module globals rebound for one call."""

    def __init__(self, **names):
        self.names = names

    def __enter__(self):
        self.saved = {k: getattr(L, k) for k in self.names}
        for k, v in self.names.items():
            setattr(L, k, v)

    def __exit__(self, *exc):
        for k, v in self.saved.items():
            setattr(L, k, v)


def register():
    # forward, real assigner: every task set, heads, training or eval
    for seed in range(4):
        for tasks in TASK_SETS:
            for head in (None, "head"):
                if head and "coef" not in tasks:
                    continue
                for training in (True, False):
                    def fn(seed=seed, tasks=tasks, head=head, training=training):
                        g = torch.Generator().manual_seed(100 + seed)
                        B = 1 + seed % 3
                        crit = crit_of(refine=Head() if head else None,
                                       loss_cfg={"refine_jitter": 0.2} if seed % 2 else None)
                        crit.train(training)
                        preds = make_preds(g, B, tasks)
                        batch = make_batch(g, B)
                        return crit(preds, batch), leaves(preds, batch) + [
                            ("head.scale", crit.refine_head.scale)] if head else leaves(preds, batch)
                    case(f"forward/real/{seed}/{'+'.join(tasks) or 'det'}/{head}/{training}")(fn)

    # forward, fake assigner: many positives (MASK_CAP), floors, configurations
    for seed in range(6):
        for p_fg in (0.0, 0.05, 0.4):
            def fn(seed=seed, p_fg=p_fg):
                g = torch.Generator().manual_seed(200 + seed)
                B = 2 + seed % 2
                crit = crit_of(refine=Head() if seed % 2 else None,
                               loss_cfg={"refine_jitter": 0.3, "box": 5.0, "extra": 1.0},
                               assign_cfg={"w_box_floor": 0.5 if seed % 3 == 0 else 0.0, "topk": 7})
                preds = make_preds(g, B, TASK_SETS[-1])
                batch = make_batch(g, B)
                with Rebind(assign=fake_assigner(seed, p_fg)):
                    return crit(preds, batch), leaves(preds, batch)
            case(f"forward/fake/{seed}/{p_fg}")(fn)

    # half predictions, empty batch, no positives, all flags off
    def half():
        g = torch.Generator().manual_seed(3)
        crit = crit_of(refine=Head())
        preds = make_preds(g, 2, TASK_SETS[-1], dtype=torch.half)
        batch = make_batch(g, 2)
        return crit(preds, batch), leaves(preds, batch)
    case("forward/half")(half)

    for B in (0, 1):
        def empty(B=B):
            g = torch.Generator().manual_seed(4)
            crit = crit_of(refine=Head())
            preds = make_preds(g, B, TASK_SETS[-1])
            batch = make_batch(g, B)
            batch["gt_valid"] = torch.zeros_like(batch["gt_valid"])
            return crit(preds, batch), leaves(preds, batch)
        case(f"forward/no-gt/B{B}")(empty)

    def flags_off():
        g = torch.Generator().manual_seed(5)
        crit = crit_of(refine=Head())
        preds = make_preds(g, 2, TASK_SETS[-1])
        off = torch.zeros(2, dtype=torch.bool)
        batch = make_batch(g, 2, flags={k: off for k in ("has_rect", "has_polygon", "has_keypoint",
                                                          "has_polyline", "has_tags")})
        with Rebind(assign=fake_assigner(5, 0.3)):
            return crit(preds, batch), leaves(preds, batch)
    case("forward/flags-off")(flags_off)

    # MASK_CAP: more selected instances than the cap, seeded; MASK_CAP rebound on a subclass
    for cap in (64, 5, 0, -3):
        for head in (None, "head"):
            def capped(cap=cap, head=head):
                g = torch.Generator().manual_seed(6)
                Sub = type("Capped", (L.MultiTaskCriterion,), {"MASK_CAP": cap})
                crit = crit_of(refine=Head() if head else None, cls=Sub)
                preds = make_preds(g, 3, ("coef",))
                batch = make_batch(g, 3, flags={"has_polygon": torch.ones(3, dtype=torch.bool)})
                batch["mask_valid"] = torch.ones_like(batch["mask_valid"])
                with Rebind(assign=fake_assigner(6, 0.5)):
                    return crit(preds, batch), leaves(preds, batch)
            case(f"mask/cap/{cap}/{head}")(capped)

    # the task methods called directly
    def fg_triple(g, B, n):
        return (torch.randint(0, B, (n,), generator=g), torch.randint(0, A, (n,), generator=g),
                torch.randint(0, G, (n,), generator=g))

    pts, strides = make_anchors(SHAPES)
    for seed in range(5):
        for n in (0, 1, 30, 150):
            def mask(seed=seed, n=n):
                g = torch.Generator().manual_seed(300 + seed)
                crit = crit_of(refine=Head() if seed % 2 else None,
                               loss_cfg={"refine_jitter": 0.25} if seed % 3 == 1 else None)
                crit.train(seed != 3)
                preds = make_preds(g, 2, ("coef",))
                batch = make_batch(g, 2)
                return crit._mask_loss(preds, batch, *fg_triple(g, 2, n)), leaves(preds, batch)
            case(f"mask/direct/{seed}/{n}")(mask)

            def kpt(seed=seed, n=n):
                g = torch.Generator().manual_seed(400 + seed)
                crit = crit_of()
                preds = make_preds(g, 2, ("kpt_raw",))
                batch = make_batch(g, 2)
                return (crit._kpt_loss(preds, batch, pts, strides, *fg_triple(g, 2, n)),
                        leaves(preds, batch))
            case(f"kpt/direct/{seed}/{n}")(kpt)

            def pline(seed=seed, n=n):
                g = torch.Generator().manual_seed(500 + seed)
                crit = crit_of()
                preds = make_preds(g, 2, ("pline_raw",))
                batch = make_batch(g, 2)
                return (crit._pline_loss(preds, batch, pts, strides, *fg_triple(g, 2, n)),
                        leaves(preds, batch))
            case(f"pline/direct/{seed}/{n}")(pline)

        def tag(seed=seed):
            g = torch.Generator().manual_seed(600 + seed)
            crit = crit_of()
            preds = make_preds(g, 3, ("tag_logits",))
            batch = make_batch(g, 3)
            if seed == 0:
                batch["has_tags"] = torch.zeros(3, dtype=torch.bool)
                del batch["gt_tags"]
            return crit._tag_loss(preds, batch), leaves(preds, batch)
        case(f"tag/direct/{seed}")(tag)

    # masks: crops at the grid's edges, float64 boxes, soft targets with gradient
    for box in ([0, 0, 0, 0], [7, 7, 9, 9], [40, 3, 60, 9], [-10, -10, 3, 3], [float("nan")] * 4,
                [3.5 * 2, 1, 7.5 * 2, 20]):
        def edge(box=box):
            g = torch.Generator().manual_seed(7)
            crit = crit_of()
            preds = make_preds(g, 1, ("coef",))
            batch = make_batch(g, 1, flags={"has_polygon": torch.ones(1, dtype=torch.bool)})
            batch["mask_valid"] = torch.ones(1, G, dtype=torch.bool)
            batch["gt_boxes"] = torch.tensor([[box] * G], dtype=torch.float64)
            fg = (torch.zeros(3, dtype=torch.long), torch.tensor([1, 5, 9]), torch.tensor([0, 1, 2]))
            return crit._mask_loss(preds, batch, *fg), leaves(preds, batch)
        case(f"mask/box/{box}")(edge)

    def soft():
        g = torch.Generator().manual_seed(8)
        crit = crit_of(refine=Head())
        preds = make_preds(g, 2, ("coef",))
        batch = make_batch(g, 2)
        batch["gt_masks"] = torch.rand(2, G, HM, WM, generator=g).requires_grad_()
        return crit._mask_loss(preds, batch, *fg_triple(g, 2, 40)), leaves(preds, batch)
    case("mask/soft-targets")(soft)

    # rebound module globals
    def rebound(name, value, tasks=TASK_SETS[-1], head=True, training=True, jitter=0.2):
        def fn():
            g = torch.Generator().manual_seed(9)
            crit = crit_of(refine=Head() if head else None, loss_cfg={"refine_jitter": jitter})
            crit.train(training)
            preds = make_preds(g, 2, tasks)
            batch = make_batch(g, 2)
            with Rebind(**{name: value}):
                return crit(preds, batch), leaves(preds, batch)
        case(f"rebound/{name}/{getattr(value, '__name__', value)}/{training}")(fn)

    orig = {n: getattr(L, n) for n in ("ciou", "decode_boxes", "assign", "dice_loss",
                                        "_jitter_rois", "make_anchors", "decode_points")}

    def ciou_scaled(b1, b2):
        return orig["ciou"](b1, b2) * 0.5

    def ciou_list(b1, b2):
        return orig["ciou"](b1, b2).tolist()

    def ciou_raises(b1, b2):
        raise RuntimeError("no ciou today")

    def decode_shift(raw, points, strides, offset=0.0):
        return orig["decode_boxes"](raw, points, strides, offset=offset) + 1.0

    def decode_no_offset(raw, points, strides):
        return orig["decode_boxes"](raw, points, strides)

    def assign_four(*a, **kw):
        return orig["assign"](*a, **kw)[:4]

    def assign_kw_only(scores, pred_boxes, points, gt_boxes, gt_cls, gt_valid, gt_ignore, *, topk,
                       alpha, beta, strides, target_floor, rescue):
        return orig["assign"](scores, pred_boxes, points, gt_boxes, gt_cls, gt_valid, gt_ignore,
                              topk=topk + 3, alpha=alpha, beta=beta, strides=strides,
                              target_floor=target_floor, rescue=rescue)

    def assign_changes_scores(scores, *a, **kw):
        r = orig["assign"](scores, *a, **kw)
        scores.mul_(0.5)
        return r

    def dice_twice(logits, targets):
        return orig["dice_loss"](logits, targets) * 2

    def dice_float(logits, targets):
        return 0.25

    def jitter_fixed(boxes, scale=0.1, shift=0.05):
        return boxes * (1 + scale)

    def jitter_raises(boxes, scale=0.1, shift=0.05):
        raise KeyError("jitter")

    def anchors_shift(feat_shapes, strides=(8, 16, 32), device=None):
        p, s = orig["make_anchors"](feat_shapes, strides, device)
        return p + 0.25, s

    def anchors_three(feat_shapes, strides=(8, 16, 32), device=None):
        p, s = orig["make_anchors"](feat_shapes, strides, device)
        return p, s, s

    def points_twice(raw, points, strides, n):
        return orig["decode_points"](raw, points, strides, n) * 2

    for name, value in (("ciou", ciou_scaled), ("ciou", ciou_list), ("ciou", ciou_raises),
                        ("decode_boxes", decode_shift), ("decode_boxes", decode_no_offset),
                        ("assign", assign_four), ("assign", assign_kw_only),
                        ("assign", assign_changes_scores),
                        ("dice_loss", dice_twice), ("dice_loss", dice_float),
                        ("_jitter_rois", jitter_fixed), ("_jitter_rois", jitter_raises),
                        ("make_anchors", anchors_shift), ("make_anchors", anchors_three),
                        ("decode_points", points_twice), ("EPS", 1e-3), ("EPS", "x"),
                        ("STRIDES", (8, 16, 64))):
        rebound(name, value)
    rebound("_jitter_rois", jitter_raises, training=False)

    # the module functions with odd arguments
    def fn_call(label, f, *args, **kw):
        def fn():
            ins = [(f"arg{i}", a) for i, a in enumerate(args) if torch.is_tensor(a) and a.requires_grad]
            return f(*args, **kw), ins
        case(f"fn/{label}")(fn)

    b1 = torch.tensor([[0.0, 0.0, 10.0, 10.0], [1, 2, 7, 30], [5, 5, 5, 5]], requires_grad=True)
    b2 = torch.tensor([[0.0, 0.0, 20.0, 10.0], [3, 1, 9, 12], [5, 5, 5, 5]])
    fn_call("ciou", lambda a, b: L.ciou(a, b), b1, b2)
    fn_call("ciou-half", L.ciou, b2.half(), b2.half())
    fn_call("ciou-kw", lambda: L.ciou(box1=b2, box2=b2))
    fn_call("ciou-list", L.ciou, [[0, 0, 1, 1]], b2[:1])
    fn_call("ciou-1d", L.ciou, torch.zeros(4), torch.zeros(4))
    fn_call("ciou-three", lambda: L.ciou(b2, b2, b2))
    fn_call("ciou-narrow", L.ciou, torch.zeros(3, 3), torch.zeros(3, 3))
    fn_call("ciou-broadcast", L.ciou, b2, b2[:1])
    fn_call("ciou-mismatch", L.ciou, b2, b2[:2])
    lg = torch.randn(3, 4, 5, generator=torch.Generator().manual_seed(1)).requires_grad_()
    tg = (torch.rand(3, 4, 5, generator=torch.Generator().manual_seed(2)) > 0.5).float()
    fn_call("dice", L.dice_loss, lg, tg)
    fn_call("dice-eps", L.dice_loss, lg, tg, 0.25)
    fn_call("dice-eps-tensor", L.dice_loss, lg, tg, torch.tensor([0.5, 1.0, 2.0]))
    fn_call("dice-eps-str", L.dice_loss, lg, tg, "1")
    fn_call("dice-eps-none", L.dice_loss, lg, tg, None)
    fn_call("dice-empty", L.dice_loss, torch.zeros(0, 2, 2), torch.zeros(0, 2, 2))
    fn_call("dice-mismatch", L.dice_loss, lg, tg[:, :2])
    fn_call("dice-list", L.dice_loss, [[1.0]], tg)
    fn_call("dice-kw", lambda: L.dice_loss(logits=lg, targets=tg, eps=2))
    fn_call("dice-one", lambda: L.dice_loss(lg))
    bx = torch.tensor([[0.0, 0.0, 10.0, 20.0], [5, 5, 6, 9]], requires_grad=True)
    fn_call("jitter", L._jitter_rois, bx)
    fn_call("jitter-zero", L._jitter_rois, bx, 0, 0)
    fn_call("jitter-tensor", L._jitter_rois, bx, torch.tensor(0.3), torch.tensor([0.1, 0.2, 0.0, 0.1]))
    fn_call("jitter-str", L._jitter_rois, bx, "0.1", 0.05)
    fn_call("jitter-bytes", L._jitter_rois, bx, 0.1, b"0.05")
    fn_call("jitter-none", L._jitter_rois, bx, None)
    fn_call("jitter-list", L._jitter_rois, [[0.0, 0.0, 1.0, 1.0]])
    fn_call("jitter-half", L._jitter_rois, bx.detach().half())
    fn_call("jitter-empty", L._jitter_rois, torch.zeros(0, 4))
    fn_call("jitter-narrow", L._jitter_rois, torch.zeros(3, 2))
    fn_call("jitter-int", L._jitter_rois, torch.ones(2, 4, dtype=torch.long))
    fn_call("jitter-kw", lambda: L._jitter_rois(boxes=bx, shift=0.2))
    fn_call("jitter-bool", L._jitter_rois, bx, True, False)

    class Cat(dict):
        pass

    for label, ls, nk in (
            ("plain", LabelSpace(), 3), ("zero-kpts", LabelSpace(), 0), ("one", LabelSpace(), 1),
            ("no-sigmas", LabelSpace(sigmas=False), 5), ("empty", LabelSpace(nc=0, categories=[]), 2),
            ("surplus", LabelSpace(nc=1, categories=[{}, {}]), 2),
            ("fewer", LabelSpace(nc=3, categories=[{"is_polyline": "yes"}]), 2),
            ("none-sig", LabelSpace(nc=2, categories=[{"kpt_sigmas": None}, {"kpt_sigmas": []}]), 2),
            ("bad-sig", LabelSpace(nc=1, categories=[{"kpt_sigmas": ["x"]}]), 2),
            ("int-sig", LabelSpace(nc=1, categories=[{"kpt_sigmas": 5}]), 2),
            ("no-get", LabelSpace(nc=1, categories=[3]), 2),
            ("cat-sub", LabelSpace(nc=1, categories=[Cat(is_polyline=1, kpt_sigmas=(0.1, 0.2))]), 2),
            ("tensor-sig", LabelSpace(nc=1, categories=[{"kpt_sigmas": torch.tensor([0.1, 0.2])}]), 2),
            ("nk-float", LabelSpace(), 2.0), ("nk-str", LabelSpace(), "2"),
            ("nk-neg", LabelSpace(), -1)):
        fn_call(f"meta/{label}", L.build_class_meta, ls, nk)
    fn_call("meta/no-attr", L.build_class_meta, object(), 2)
    fn_call("meta/nc-float", L.build_class_meta, type("LS", (), {"num_categories": 2.0,
                                                                 "categories": []})(), 2)

    # construction variants
    for label, args in (
            ("default", (model_cfg(), LabelSpace())),
            ("no-tasks", ({"nc": NC}, LabelSpace())),
            ("loss-cfg", (model_cfg(), LabelSpace(), {"box": 5.0, "extra": 1.0, "refine_jitter": "0.5"})),
            ("loss-cfg-bad", (model_cfg(), LabelSpace(), {"refine_jitter": "x"})),
            ("loss-cfg-list", (model_cfg(), LabelSpace(), [("box", 1.0)])),
            ("loss-cfg-int", (model_cfg(), LabelSpace(), 3)),
            ("assign-cfg", (model_cfg(), LabelSpace(), None, None, {"topk": 13, "zz": 1})),
            ("assign-cfg-bad", (model_cfg(), LabelSpace(), None, None, "ab")),
            ("no-nc", ({"tasks": {}}, LabelSpace())),
            ("offset-str", ({"nc": NC, "box_offset": "x"}, LabelSpace())),
            ("tasks-list", ({"nc": NC, "tasks": []}, LabelSpace())),
            ("kpt-no-num", ({"nc": NC, "tasks": {"keypoint": {"enabled": True}}}, LabelSpace())),
            ("kpt-off", ({"nc": NC, "tasks": {"keypoint": {"enabled": False, "num_kpts": 7}}}, LabelSpace())),
            ("pline-default", ({"nc": NC, "tasks": {"polyline": {"enabled": 1}}}, LabelSpace())),
            ("kpt-str", ({"nc": NC, "tasks": {"keypoint": {"enabled": True, "num_kpts": "3"}}}, LabelSpace())),
            ("refine-obj", (model_cfg(), LabelSpace(), None, object())),
            ("one-arg", (model_cfg(),)),
            ("six-args", (model_cfg(), LabelSpace(), None, None, None, None))):
        def construct(args=args):
            c = L.MultiTaskCriterion(*args)
            return (c.w, c.assign_cfg, c.refine_jitter, c.box_offset, c.nc, c.num_kpts, c.n_pline,
                    c.is_polyline_cls, c.kpt_sigmas, sorted(c.state_dict().keys()),
                    [n for n, _ in c.named_children()]), []
        case(f"init/{label}")(construct)

    class MetaOverride:
        pass

    def meta_three():
        with Rebind(build_class_meta=lambda ls, nk: (1, 2, 3)):
            return L.MultiTaskCriterion(model_cfg(), LabelSpace()), []
    case("init/meta-three")(meta_three)

    # _anchors and _zero
    def anchors(shapes, device="cpu"):
        def fn():
            crit = crit_of()
            a1 = crit._anchors(shapes, device)
            a2 = crit._anchors(tuple(shapes), torch.device(device) if isinstance(device, str) else device)
            return (a1, a1[0] is a2[0], list(crit._anchor_cache.keys())), []
        case(f"anchors/{shapes!r}/{device!r}")(fn)

    anchors([(8, 8), (4, 4), (2, 2)])
    anchors([[8, 8], [4, 4], [2, 2]])
    anchors([(2, 3)], "meta")
    anchors([torch.Size([4, 4])])
    anchors(5)

    for label, t in (("float", torch.randn(3, requires_grad=True)), ("half", torch.randn(2).half()),
                     ("empty", torch.zeros(0)), ("int", torch.arange(3)), ("list", [1.0, 2.0]),
                     ("float-value", 2.0)):
        def zero(t=t):
            ins = [("t", t)] if torch.is_tensor(t) and t.requires_grad else []
            return (L.MultiTaskCriterion._zero(t),), ins
        case(f"zero/{label}")(zero)

    # subclass overrides of _zero and the task methods
    def override(label, ns, tasks=TASK_SETS[-1], p_fg=0.1, head=True):
        def fn():
            Sub = type("Sub", (L.MultiTaskCriterion,), ns)
            g = torch.Generator().manual_seed(11)
            crit = crit_of(refine=Head() if head else None, cls=Sub)
            preds = make_preds(g, 2, tasks)
            batch = make_batch(g, 2)
            with Rebind(assign=fake_assigner(11, p_fg)):
                return crit(preds, batch), leaves(preds, batch)
        case(f"override/{label}/{p_fg}")(fn)

    def init_then(*edits):
        def __init__(self, *a):
            L.MultiTaskCriterion.__init__(self, *a)
            for edit in edits:
                edit(self)
        return __init__

    for p_fg in (0.0, 0.2):
        override("zero-half", {"_zero": staticmethod(lambda t: t.float().sum() * 0.5)}, p_fg=p_fg)
        override("zero-float", {"_zero": staticmethod(lambda t: 0.0)}, p_fg=p_fg)
        override("zero-raises", {"_zero": staticmethod(lambda t: 1 / 0)}, p_fg=p_fg)
        override("zero-method", {"_zero": lambda self, t: t.float().sum() * 0.0}, p_fg=p_fg)
        override("mask-three", {"_mask_loss": lambda self, *a: (1, 2, 3)}, p_fg=p_fg)
        override("mask-float", {"_mask_loss": lambda self, *a: (0.5, None)}, p_fg=p_fg)
        override("mask-refine", {"_mask_loss": lambda self, *a: (torch.tensor(0.5), torch.tensor(2.0))},
                 p_fg=p_fg)
        override("kpt-one", {"_kpt_loss": lambda self, *a: torch.tensor(1.0)}, p_fg=p_fg)
        override("kpt-wrapped", {"_kpt_loss": lambda self, p, b, pts, st, fb, fa, fg: tuple(
            x * 2 for x in L.MultiTaskCriterion._kpt_loss(self, p, b, pts, st, fb, fa, fg))}, p_fg=p_fg)
        override("pline-int", {"_pline_loss": lambda self, *a: 3}, p_fg=p_fg)
        override("tag-none", {"_tag_loss": lambda self, *a: None}, p_fg=p_fg)
        override("tag-kw", {"_tag_loss": lambda self, preds, batch: L.MultiTaskCriterion._tag_loss(
            self, batch=batch, preds=preds)}, p_fg=p_fg)
        override("anchors", {"_anchors": lambda self, fs, dev: L.MultiTaskCriterion._anchors(
            self, fs, dev)}, p_fg=p_fg)
        override("w-missing", {"__init__": init_then(lambda self: self.w.pop("tag"))}, p_fg=p_fg)
        override("w-tensor", {"__init__": init_then(lambda self: self.w.update(box=torch.tensor(2.0)))},
                 p_fg=p_fg)
        override("floor-str", {"__init__": init_then(lambda self: self.assign_cfg.update(w_box_floor="x"))},
                 p_fg=p_fg)
        override("floor-tensor", {"__init__": init_then(lambda self: self.assign_cfg.update(w_box_floor=torch.tensor(0.4)))}, p_fg=p_fg)
        override("mask-cap-str", {"MASK_CAP": "64"}, p_fg=p_fg)
        override("mask-stride-3", {"MASK_STRIDE": 3}, p_fg=p_fg)
        override("mask-stride-float", {"MASK_STRIDE": 2.5}, p_fg=p_fg)
        override("num-kpts-float", {"__init__": init_then(lambda self: setattr(self, "num_kpts", 3.0))}, p_fg=p_fg)
        override("sigmas-list", {"__init__": init_then(
            lambda self: delattr(self, "kpt_sigmas"),
            lambda self: setattr(self, "kpt_sigmas", [[0.1] * K] * NC))}, p_fg=p_fg)
        override("offset-tensor", {"__init__": init_then(lambda self: setattr(self, "box_offset", torch.tensor(0.3)))},
            p_fg=p_fg)
        override("jitter-neg", {"__init__": init_then(lambda self: setattr(self, "refine_jitter", -0.5))}, p_fg=p_fg)
        override("jitter-tensor", {"__init__": init_then(lambda self: setattr(self, "refine_jitter",
                                                             torch.tensor(0.2)))}, p_fg=p_fg)

    # faulty refine heads
    for fault in ("sanitize_raises", "sanitize_rows", "sanitize_nan", "sanitize_list",
                  "forward_raises", "forward_shape", "forward_none"):
        def faulty(fault=fault):
            g = torch.Generator().manual_seed(12)
            crit = crit_of(refine=Head(fault=fault))
            preds = make_preds(g, 2, ("coef",))
            batch = make_batch(g, 2)
            with Rebind(assign=fake_assigner(12, 0.2)):
                return crit(preds, batch), leaves(preds, batch)
        case(f"head/{fault}")(faulty)
    for label, roi in (("roi-float", 5.0), ("roi-str", "5"), ("roi-zero", 0), ("roi-tensor", torch.tensor(5))):
        def bad_roi(roi=roi):
            g = torch.Generator().manual_seed(13)
            head = Head()
            head.roi = roi
            crit = crit_of(refine=head)
            preds = make_preds(g, 2, ("coef",))
            batch = make_batch(g, 2)
            with Rebind(assign=fake_assigner(13, 0.2)):
                return crit(preds, batch), leaves(preds, batch)
        case(f"head/{label}")(bad_roi)

    class NoRoi:
        def sanitize(self, boxes, size, stride):
            return boxes

        def __call__(self, f2, coarse, boxes, bidx, stride):
            return torch.zeros(coarse.shape[0], 4, 4)
    for label, head in (("no-roi", NoRoi()), ("not-callable", object()), ("f2-missing", Head())):
        def odd_head(head=head, label=label):
            g = torch.Generator().manual_seed(14)
            crit = crit_of(refine=head)
            preds = make_preds(g, 2, ("coef",), f2=label != "f2-missing")
            batch = make_batch(g, 2)
            with Rebind(assign=fake_assigner(14, 0.2)):
                return crit(preds, batch), leaves(preds, batch)
        case(f"head/{label}")(odd_head)

    # wrong types and shapes in preds and batch
    def broken(label, edit_preds=None, edit_batch=None, tasks=TASK_SETS[-1], p_fg=0.2, real=False):
        def fn():
            g = torch.Generator().manual_seed(15)
            crit = crit_of(refine=Head())
            preds = make_preds(g, 2, tasks)
            batch = make_batch(g, 2)
            if edit_preds:
                edit_preds(preds)
            if edit_batch:
                edit_batch(batch)
            if real:
                return crit(preds, batch), leaves(preds, batch)
            with Rebind(assign=fake_assigner(15, p_fg)):
                return crit(preds, batch), leaves(preds, batch)
        case(f"broken/{label}/{p_fg}/{real}")(fn)

    def set_(d, k, v):
        return lambda x: x.__setitem__(k, v(x) if callable(v) and not isinstance(v, type) else v)

    def del_(k):
        return lambda x: x.pop(k)

    for p_fg in (0.0, 0.2):
        broken("no-feat", del_("feat_shapes"), p_fg=p_fg)
        broken("no-cls", del_("cls_raw"), p_fg=p_fg)
        broken("no-box", del_("box_raw"), p_fg=p_fg)
        broken("no-protos", del_("protos"), p_fg=p_fg)
        broken("no-gt-masks", None, del_("gt_masks"), p_fg=p_fg)
        broken("no-mask-valid", None, del_("mask_valid"), p_fg=p_fg)
        broken("no-gt-kpts", None, del_("gt_kpts"), p_fg=p_fg)
        broken("no-kpt-valid", None, del_("kpt_valid"), p_fg=p_fg)
        broken("no-gt-plines", None, del_("gt_plines"), p_fg=p_fg)
        broken("no-has-tags", None, del_("has_tags"), p_fg=p_fg)
        broken("no-gt-tags", None, del_("gt_tags"), p_fg=p_fg)
        broken("no-has-rect", None, del_("has_rect"), p_fg=p_fg)
        broken("no-has-polyline", None, del_("has_polyline"), p_fg=p_fg)
        broken("cls-2d", set_(None, "cls_raw", lambda p: p["cls_raw"][0]), p_fg=p_fg)
        broken("cls-list", set_(None, "cls_raw", lambda p: p["cls_raw"].tolist()), p_fg=p_fg)
        broken("box-list", set_(None, "box_raw", lambda p: p["box_raw"].tolist()), p_fg=p_fg)
        broken("feat-lists", set_(None, "feat_shapes", [[8, 8], [4, 4], [2, 2]]), p_fg=p_fg)
        broken("coef-list", set_(None, "coef", lambda p: p["coef"].tolist()), p_fg=p_fg)
        broken("protos-2d", set_(None, "protos", lambda p: p["protos"][0, 0]), p_fg=p_fg)
        broken("protos-1d", set_(None, "protos", lambda p: p["protos"][0, 0, 0]), p_fg=p_fg)
        broken("gt-masks-grid", None, set_(None, "gt_masks", lambda b: b["gt_masks"][..., :8]),
               p_fg=p_fg)
        broken("gt-masks-float", None, set_(None, "gt_masks", lambda b: b["gt_masks"].double()),
               p_fg=p_fg)
        broken("kpt-dim", set_(None, "kpt_raw", lambda p: p["kpt_raw"][..., :7]), p_fg=p_fg)
        broken("pline-dim", set_(None, "pline_raw", lambda p: p["pline_raw"][..., :6]), p_fg=p_fg)
        broken("tag-half", set_(None, "tag_logits", lambda p: p["tag_logits"].detach().half()),
               p_fg=p_fg)
        broken("has-tags-int", None, set_(None, "has_tags", lambda b: b["has_tags"].long()), p_fg=p_fg)
        broken("has-rect-int", None, set_(None, "has_rect", lambda b: b["has_rect"].long()), p_fg=p_fg)
        broken("has-rect-list", None, set_(None, "has_rect", lambda b: b["has_rect"].tolist()),
               p_fg=p_fg)
        broken("mask-valid-list", None, set_(None, "mask_valid", lambda b: b["mask_valid"].tolist()),
               p_fg=p_fg)
        broken("gt-cls-range", None, set_(None, "gt_cls", lambda b: b["gt_cls"] + 10), p_fg=p_fg)
        broken("gt-tags-shape", None, set_(None, "gt_tags", lambda b: b["gt_tags"][:, :2]), p_fg=p_fg)
        broken("gt-boxes-list", None, set_(None, "gt_boxes", lambda b: b["gt_boxes"].tolist()),
               p_fg=p_fg)
        broken("f2-list", set_(None, "f2", lambda p: p["f2"].tolist()), p_fg=p_fg)
        broken("preds-list", lambda p: None, p_fg=p_fg)
    broken("gt-boxes-list-real", None, set_(None, "gt_boxes", lambda b: b["gt_boxes"].tolist()),
           real=True)
    broken("has-rect-int-real", None, set_(None, "has_rect", lambda b: b["has_rect"].long()), real=True)

    def not_dicts():
        crit = crit_of()
        return crit([], {}), []
    case("broken/not-dicts")(not_dicts)

    def forward_kw():
        g = torch.Generator().manual_seed(16)
        crit = crit_of()
        preds = make_preds(g, 1, ())
        batch = make_batch(g, 1)
        return crit.forward(batch=batch, preds=preds), leaves(preds, batch)
    case("forward/keywords")(forward_kw)

    def forward_three():
        crit = crit_of()
        return crit.forward({}, {}, {}), []
    case("forward/three-args")(forward_three)

    def task_kw():
        g = torch.Generator().manual_seed(17)
        crit = crit_of()
        preds = make_preds(g, 2, ("kpt_raw",))
        batch = make_batch(g, 2)
        fg = fg_triple(g, 2, 20)
        return crit._kpt_loss(preds=preds, batch=batch, points=pts, strides=strides, fg_b=fg[0],
                              fg_a=fg[1], fg_g=fg[2]), leaves(preds, batch)
    case("kpt/keywords")(task_kw)

    def fg_list():
        g = torch.Generator().manual_seed(18)
        crit = crit_of()
        preds = make_preds(g, 2, ("coef", "kpt_raw", "pline_raw"))
        batch = make_batch(g, 2)
        return crit._mask_loss(preds, batch, [0, 1], [3, 4], [0, 0]), leaves(preds, batch)
    case("mask/fg-lists")(fg_list)

    for label, fg in (("fg-int32", (torch.tensor([0, 1], dtype=torch.int32), torch.tensor([3, 4]),
                                    torch.tensor([0, 1]))),
                      ("fg-negative", (torch.tensor([-1, 0]), torch.tensor([3, -4]), torch.tensor([0, -1]))),
                      ("fg-range", (torch.tensor([5]), torch.tensor([3]), torch.tensor([0]))),
                      ("fg-2d", (torch.tensor([[0, 1]]), torch.tensor([[3, 4]]), torch.tensor([[0, 1]])))):
        for method in ("_mask_loss", "_kpt_loss", "_pline_loss"):
            def odd_fg(fg=fg, method=method):
                g = torch.Generator().manual_seed(19)
                crit = crit_of(refine=Head())
                preds = make_preds(g, 2, ("coef", "kpt_raw", "pline_raw"))
                batch = make_batch(g, 2, flags={k: torch.ones(2, dtype=torch.bool) for k in (
                    "has_polygon", "has_keypoint", "has_polyline")})
                for k in ("mask_valid", "kpt_valid", "pline_valid"):
                    batch[k] = torch.ones(2, G, dtype=torch.bool)
                m = getattr(crit, method)
                if method == "_mask_loss":
                    return m(preds, batch, *fg), leaves(preds, batch)
                return m(preds, batch, pts, strides, *fg), leaves(preds, batch)
            case(f"{method}/{label}")(odd_fg)


def record(path):
    register()
    out = {}
    for i, (name, fn) in enumerate(CASES):
        assert name not in out, name
        torch.manual_seed(i)
        out[name] = run_case(fn)
    torch.save(out, path)
    n_err = sum(1 for v in out.values() if v[0] == "error")
    print(f"{len(out)} calls recorded ({n_err} raised) into {path}")


def same(a, b):
    if type(a) is not type(b):
        return False
    if torch.is_tensor(a):
        if a.dtype != b.dtype or a.shape != b.shape or a.device != b.device:
            return False
        if a.is_meta:
            return True
        if a.is_floating_point():
            nan = a.isnan()
            return torch.equal(nan, b.isnan()) and torch.equal(a[~nan], b[~nan])
        return torch.equal(a, b)
    if isinstance(a, dict):
        return a.keys() == b.keys() and all(same(a[k], b[k]) for k in a)
    if isinstance(a, (tuple, list)):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    return a == b


def compare(old_path, new_path):
    old, new = torch.load(old_path), torch.load(new_path)
    names = list(old)
    missing = [n for n in names if n not in new]
    diff = [n for n in names if n in new and not same(old[n], new[n])]
    print(f"{len(names)} calls, {len(names) - len(diff) - len(missing)} identical, "
          f"{len(diff)} different, {len(missing)} missing")
    for n in diff:
        o, w = old[n], new[n]
        if o[0] == "error" or w[0] == "error":
            print(f"- {n}\n    old: {o if o[0] == 'error' else 'ok'}\n    new: {w if w[0] == 'error' else 'ok'}")
        else:
            keys = [k for k in set(o[1]) | set(w[1]) if not same(o[1].get(k), w[1].get(k))]
            print(f"- {n}: differs in {sorted(keys)}")
            for k in keys:
                ov, nv = o[1].get(k), w[1].get(k)
                if isinstance(ov, dict) and isinstance(nv, dict):
                    for kk in set(ov) | set(nv):
                        if not same(ov.get(kk), nv.get(kk)):
                            print(f"    {k}[{kk!r}]: old {_short(ov.get(kk))} new {_short(nv.get(kk))}")
                else:
                    print(f"    {k}: old {_short(ov)} new {_short(nv)}")
    return not diff and not missing


def _short(v):
    if torch.is_tensor(v):
        return f"tensor{tuple(v.shape)} {v.dtype} {v.flatten()[:4].tolist()}"
    return repr(v)[:200]


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "record":
        record(sys.argv[2])
    elif len(sys.argv) == 4 and sys.argv[1] == "compare":
        sys.exit(0 if compare(sys.argv[2], sys.argv[3]) else 1)
    else:
        sys.exit(__doc__)
