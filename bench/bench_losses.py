"""Criterion core: halcyra.losses.losses against the eager formulation.

Batch 8 at a 640 x 640 input (8400 anchors), 80 classes, 16 ground-truth slots
per image of which about 10 are real objects. Both criteria call the same
compiled assigner, so the criterion rows compare the criterion's own work plus
the shared assignment; the assigner row compares it with a vectorised eager
formulation of the same algorithm.
"""
import os
import sys

import torch

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from bench import ref_losses as ref  # noqa: E402
from bench.common import compare, main, peak_rss_mb, row  # noqa: E402
from halcyra.infer.decode import decode_boxes, make_anchors  # noqa: E402
from halcyra.losses import assigner as AS  # noqa: E402
from halcyra.losses import losses as L  # noqa: E402

SHAPES = ((80, 80), (40, 40), (20, 20))
B, NC, G = 8, 80, 16


class _LabelSpace:
    num_categories = NC
    categories = [{"is_polyline": c >= 78} for c in range(NC)]


def make_inputs(device, seed=0):
    g = torch.Generator().manual_seed(seed)
    A = sum(h * w for h, w in SHAPES)
    n_obj = torch.randint(6, 15, (B,), generator=g)
    valid = torch.arange(G)[None, :] < n_obj[:, None]
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


def run(quick=False):
    repeat = 3 if quick else 10
    device = "cuda" if torch.cuda.is_available() else "cpu"
    preds, batch = make_inputs(device)
    cfg = {"nc": NC, "box_offset": 0.5}
    ours = L.MultiTaskCriterion(cfg, _LabelSpace()).to(device)
    eager = ref.RefCriterion(cfg, _LabelSpace()).to(device)

    # values checked equal before timing
    t1, s1 = ours(preds, batch)
    t2, s2 = eager(preds, batch)
    assert s1["num_pos"] > 0
    assert list(s1) == list(s2)
    for k in s1:
        torch.testing.assert_close(s1[k], s2[k], rtol=1e-5, atol=1e-6)

    def fwd(crit):
        return lambda: crit(preds, batch)

    def fwd_bwd(crit):
        def f():
            p = dict(preds)
            p["cls_raw"] = preds["cls_raw"].detach().requires_grad_()
            p["box_raw"] = preds["box_raw"].detach().requires_grad_()
            total, _ = crit(p, batch)
            total.backward()
        return f

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

    tag = f"B{B}, 8400 anchors, nc {NC}, G {G}"
    rows = [
        row(f"criterion forward ({tag})", *compare(fwd(eager), fwd(ours), repeat), peak_rss_mb()),
        row(f"criterion forward+backward ({tag})", *compare(fwd_bwd(eager), fwd_bwd(ours), repeat),
            peak_rss_mb()),
        row(f"assign ({tag})", *compare(lambda: eager_assign(*args, strides=st),
                                        lambda: AS.assign(*args, strides=st), repeat)),
        row(f"ciou forward+backward (n {n})", *compare(ciou_fb(ref.ciou), ciou_fb(L.ciou), repeat * 5)),
    ]
    return rows


if __name__ == "__main__":
    main(run, "halcyra.losses (criterion core)")
