"""Criterion core: halcyra.losses.losses against the eager formulation.

Batch 8 at a 640 x 640 input (8400 anchors), 80 classes, 50 ground-truth slots
per image of which 30 are real objects. The criterion rows give both criteria
the same fixed assigner results (computed once by the compiled assigner), so
they time the criterion's own work only; the assigner row compares the
assigner with a vectorised eager formulation of the same algorithm.

Workloads: detection only (cls_raw, box_raw), and all tasks (prototype masks
with a refine head, keypoints K 17, polylines N 16, tags T 10).
"""
import os
import sys

import torch

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from bench import ref_losses as ref  # noqa: E402
from bench.bench_losses_tasks import TinyHead  # noqa: E402
from bench.common import compare, main, peak_rss_mb, row  # noqa: E402
from halcyra.infer.decode import decode_boxes, make_anchors  # noqa: E402
from halcyra.losses import assigner as AS  # noqa: E402
from halcyra.losses import losses as L  # noqa: E402

SHAPES = ((80, 80), (40, 40), (20, 20))
B, NC, G, N_VALID = 8, 80, 50, 30
K, N_PL, P, T = 17, 16, 32, 10


class _LabelSpace:
    num_categories = NC
    categories = [{"is_polyline": c >= 78} for c in range(NC)]


def make_inputs(device, seed=0, B=B):
    g = torch.Generator().manual_seed(seed)
    A = sum(h * w for h, w in SHAPES)
    valid = (torch.arange(G)[None, :] < N_VALID).expand(B, G).clone()
    xy = torch.rand(B, G, 2, generator=g) * 560
    wh = torch.rand(B, G, 2, generator=g) ** 2 * 300 + 8
    gt = torch.cat([xy, (xy + wh).clamp(max=640)], -1)
    batch = {"gt_boxes": gt, "gt_cls": torch.randint(0, NC, (B, G), generator=g),
             "gt_valid": valid, "gt_ignore": valid & (torch.rand(B, G, generator=g) > 0.9),
             "has_rect": torch.rand(B, generator=g) > 0.2,
             "has_polygon": torch.rand(B, generator=g) > 0.5,
             "has_keypoint": torch.zeros(B, dtype=torch.bool),
             "has_polyline": torch.rand(B, generator=g) > 0.5}
    preds = {"feat_shapes": SHAPES,
             "cls_raw": torch.randn(B, A, NC, generator=g) - 4.0,
             "box_raw": torch.randn(B, A, 4, generator=g) * 0.5 + 1.0}
    batch = {k: v.to(device) for k, v in batch.items()}
    preds = {k: (v.to(device) if torch.is_tensor(v) else v) for k, v in preds.items()}
    return preds, batch


@torch.no_grad()
def eager_assign(scores, pred_boxes, points, gt_boxes, gt_cls, gt_valid, gt_ignore, *, topk=10,
                 alpha=0.5, beta=6.0, strides=None, target_floor=0.0, rescue=False):
    """The assigner's algorithm as whole-tensor eager code (no rescue)."""
    eps = 1e-9
    Bn, A, nc = scores.shape
    Gn = gt_boxes.shape[1]
    pos_gt = gt_valid & ~gt_ignore
    g4 = gt_boxes[:, :, None, :]
    p = points[None, None]
    in_gts = torch.cat([p - g4[..., :2], g4[..., 2:] - p], -1).amin(-1) > eps
    q = pred_boxes[:, None]
    inter = ((torch.min(g4[..., 2], q[..., 2]) - torch.max(g4[..., 0], q[..., 0])).clamp(min=0) *
             (torch.min(g4[..., 3], q[..., 3]) - torch.max(g4[..., 1], q[..., 1])).clamp(min=0))
    ag = (g4[..., 2] - g4[..., 0]).clamp(min=0) * (g4[..., 3] - g4[..., 1]).clamp(min=0)
    ap = (q[..., 2] - q[..., 0]).clamp(min=0) * (q[..., 3] - q[..., 1]).clamp(min=0)
    iou = inter / (ag + ap - inter + eps)
    cls_idx = torch.where(pos_gt, gt_cls, torch.zeros_like(gt_cls))
    s = scores.transpose(1, 2).gather(1, cls_idx[..., None].expand(Bn, Gn, A))
    align = s ** alpha * iou ** beta
    mask_in = in_gts & pos_gt[..., None]
    rank = torch.where(mask_in, align, torch.full_like(align, -1.0))
    idx = rank.topk(min(topk, A), -1).indices
    cand = torch.zeros_like(mask_in).scatter_(2, idx, True) & mask_in
    best = torch.where(cand, iou, torch.full_like(iou, -1.0)).argmax(1, keepdim=True)
    mask_pos = (torch.arange(Gn, device=scores.device)[None, :, None] == best) & \
        cand.any(1, keepdim=True)
    metric = align * mask_pos
    norm = (metric * (iou * mask_pos).amax(2, keepdim=True) /
            (metric.amax(2, keepdim=True) + eps)).amax(1)
    matched = (mask_pos.long() * torch.arange(Gn, device=scores.device)[None, :, None]).sum(1)
    fg = mask_pos.any(1)
    tb = gt_boxes.gather(1, matched[..., None].expand(Bn, A, 4))
    labels = cls_idx.gather(1, matched)
    ts = torch.zeros(Bn, A, nc, device=scores.device).scatter_(
        2, labels[..., None], (norm * fg)[..., None])
    ign = (in_gts & (gt_valid & gt_ignore)[..., None]).any(1) & ~fg
    return fg, matched, tb, ts, ign


def add_tasks(preds, batch, seed=1):
    """Every task switch on: masks (P prototypes on the 320 x 320 grid, f2 for
    the refine head), keypoints, polylines and tags, with targets."""
    g = torch.Generator().manual_seed(seed)
    dev = batch["gt_boxes"].device
    B, A = preds["cls_raw"].shape[:2]
    S = 320
    gt = batch["gt_boxes"].cpu()
    kxy = gt[..., None, :2] + torch.rand(B, G, K, 2, generator=g) * (gt[..., None, 2:] - gt[..., None, :2])
    new_p = {"coef": torch.randn(B, A, P, generator=g),
             "protos": torch.randn(B, P, S, S, generator=g),
             "f2": torch.randn(B, 8, S, S, generator=g),
             "kpt_raw": torch.randn(B, A, 3 * K, generator=g),
             "pline_raw": torch.randn(B, A, 2 * N_PL, generator=g),
             "tag_logits": torch.randn(B, T, generator=g)}
    new_b = {"gt_masks": (torch.rand(B, G, S, S, generator=g) > 0.5).to(torch.uint8),
             "mask_valid": torch.rand(B, G, generator=g) > 0.2,
             "gt_kpts": torch.cat([kxy, torch.randint(0, 3, (B, G, K, 1), generator=g).float()], -1),
             "kpt_valid": torch.rand(B, G, generator=g) > 0.3,
             "gt_plines": torch.rand(B, G, N_PL, 2, generator=g) * 640,
             "pline_valid": torch.rand(B, G, generator=g) > 0.3,
             "has_tags": torch.rand(B, generator=g) > 0.3,
             "gt_tags": (torch.rand(B, T, generator=g) > 0.5).float(),
             "has_keypoint": torch.rand(B, generator=g) > 0.5}
    preds = {**preds, **{k: v.to(dev) for k, v in new_p.items()}}
    batch = {**batch, **{k: v.to(dev) for k, v in new_b.items()}}
    return preds, batch


LEAVES = ("cls_raw", "box_raw", "coef", "protos", "kpt_raw", "pline_raw", "tag_logits")


def fixed_assigner(preds, batch, cfg):
    """The compiled assigner's results for these inputs, computed once and
    handed out again on every call (the criterion rows do not time it)."""
    pts, st = make_anchors(SHAPES, device=batch["gt_boxes"].device)
    pb = decode_boxes(preds["box_raw"], pts, st, offset=cfg["box_offset"])
    res = AS.assign(preds["cls_raw"].sigmoid(), pb, pts, batch["gt_boxes"], batch["gt_cls"],
                    batch["gt_valid"], batch["gt_ignore"], strides=st)

    def fixed(*args, **kwargs):
        return res
    return fixed


def criterion_rows(tag, ours, eager, preds, batch, repeat):
    """Forward and forward+backward of both criteria; values and gradients
    checked first."""
    def call(crit, backward):
        def f():
            p = dict(preds)
            leaves = {k: preds[k].detach().requires_grad_() for k in LEAVES if k in preds}
            p.update(leaves)
            torch.manual_seed(0)            # the mask loss's random cap
            total, stats = crit(p, batch)
            if backward:
                total.backward()
            return total, stats, {k: v.grad for k, v in leaves.items()}
        return f

    (t1, s1, g1), (t2, s2, g2) = call(ours, True)(), call(eager, True)()
    assert s1["num_pos"] > 0 and list(s1) == list(s2)
    for k in s1:
        torch.testing.assert_close(s1[k], s2[k], rtol=1e-6, atol=0)
    for k in g1:
        torch.testing.assert_close(g1[k], g2[k], rtol=1e-6, atol=1e-6 * float(g2[k].abs().max()))
    return [row(f"criterion forward ({tag})",
                *compare(call(eager, False), call(ours, False), repeat), peak_rss_mb()),
            row(f"criterion forward+backward ({tag})",
                *compare(call(eager, True), call(ours, True), repeat), peak_rss_mb())]


def run(quick=False):
    repeat = 3 if quick else 10
    device = "cuda" if torch.cuda.is_available() else "cpu"
    preds, batch = make_inputs(device)
    cfg = {"nc": NC, "box_offset": 0.5}
    fixed = fixed_assigner(preds, batch, cfg)
    saved = L.assign
    L.assign = fixed
    rows = []
    try:
        ours = L.MultiTaskCriterion(cfg, _LabelSpace()).to(device)
        eager = ref.RefCriterion(cfg, _LabelSpace(), assign_fn=fixed).to(device)
        tag = f"B{B}, 8400 anchors, nc {NC}, G {G} ({N_VALID} valid)"
        rows += criterion_rows(f"detection, {tag}", ours, eager, preds, batch, repeat)

        tcfg = {**cfg, "tasks": {"keypoint": {"enabled": True, "num_kpts": K},
                                 "polyline": {"enabled": True, "n_points": N_PL}}}
        head = TinyHead().to(device)
        ours = L.MultiTaskCriterion(tcfg, _LabelSpace(), refine=head).to(device)
        eager = ref.RefCriterion(tcfg, _LabelSpace(), refine=head, assign_fn=fixed).to(device)
        tp, tb = add_tasks(preds, batch)
        rows += criterion_rows(f"all tasks, refine, K {K}, N {N_PL}, T {T}", ours, eager, tp, tb,
                               max(3, repeat // 2))
    finally:
        L.assign = saved

    pts, st = make_anchors(SHAPES, device=device)
    scores = preds["cls_raw"].sigmoid()
    pb = decode_boxes(preds["box_raw"], pts, st, offset=0.5)
    args = (scores, pb, pts, batch["gt_boxes"], batch["gt_cls"], batch["gt_valid"],
            batch["gt_ignore"])
    a1 = AS.assign(*args, strides=st)
    a2 = eager_assign(*args, strides=st)
    assert torch.equal(a1[0], a2[0]) and torch.equal(a1[4], a2[4])
    torch.testing.assert_close(a1[3], a2[3])

    n = 2000
    g = torch.Generator().manual_seed(1)
    b1 = torch.rand(n, 4, generator=g).cumsum(1).mul(50).to(device)
    b2 = (b1 + torch.randn(n, 4, generator=g).to(device) * 5)

    def ciou_fb(fn):
        def f():
            x = b1.detach().requires_grad_()
            fn(x, b2).sum().backward()
        return f

    rows += [
        row(f"assign (B{B}, 8400 anchors, nc {NC}, G {G})",
            *compare(lambda: eager_assign(*args, strides=st),
                     lambda: AS.assign(*args, strides=st), repeat)),
        row(f"ciou forward+backward (n {n})", *compare(ciou_fb(ref.ciou), ciou_fb(L.ciou), repeat * 5)),
    ]
    return rows


if __name__ == "__main__":
    main(run, "halcyra.losses (criterion core)")
