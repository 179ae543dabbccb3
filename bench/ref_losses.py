"""Plain eager-PyTorch formulation of the criterion's core and of the assigner.

`ciou`, `dice_loss`, `build_class_meta` and `RefCriterion` follow the documented
algorithms step by step; `assign` is the task-aligned assigner written the
obvious way. The tests compare the compiled modules with these, and
bench/bench_losses.py times them side by side. The per-task losses of
RefCriterion come from bench/ref_losses_tasks.py.
"""
import math

import torch
import torch.nn as nn
import torch.nn.functional as F

EPS = 1e-9


def ciou(box1, box2):
    b1 = box1.float()
    b2 = box2.float()
    w1 = (b1[:, 2] - b1[:, 0]).clamp(min=EPS)
    h1 = (b1[:, 3] - b1[:, 1]).clamp(min=EPS)
    w2 = (b2[:, 2] - b2[:, 0]).clamp(min=EPS)
    h2 = (b2[:, 3] - b2[:, 1]).clamp(min=EPS)
    lt = torch.max(b1[:, :2], b2[:, :2])
    rb = torch.min(b1[:, 2:4], b2[:, 2:4])
    wh = (rb - lt).clamp(min=0)
    inter = wh[:, 0] * wh[:, 1]
    union = w1 * h1 + w2 * h2 - inter
    iou = inter / (union + EPS)
    lt_e = torch.min(b1[:, :2], b2[:, :2])
    rb_e = torch.max(b1[:, 2:4], b2[:, 2:4])
    c2 = ((rb_e - lt_e) ** 2).sum(-1) + EPS
    center1 = (b1[:, :2] + b1[:, 2:4]) / 2
    center2 = (b2[:, :2] + b2[:, 2:4]) / 2
    rho2 = ((center1 - center2) ** 2).sum(-1)
    v = (4 / math.pi ** 2) * (torch.atan(w2 / h2) - torch.atan(w1 / h1)) ** 2
    with torch.no_grad():
        alpha = v / (1 - iou + v + EPS)
    return iou - rho2 / c2 - alpha * v


def dice_loss(logits, targets, eps=1.0):
    p = logits.sigmoid().flatten(1)
    t = targets.flatten(1)
    num = 2.0 * (p * t).sum(1) + eps
    den = (p.sum(1) + t.sum(1)) + eps
    return (1.0 - num / den).mean()


def build_class_meta(labelspace, num_kpts):
    nc = labelspace.num_categories
    is_polyline = torch.zeros(nc, dtype=torch.bool)
    kpt_sigmas = torch.full((nc, max(num_kpts, 1)), 0.05, dtype=torch.float32)
    for cid, entry in enumerate(labelspace.categories):
        is_polyline[cid] = bool(entry.get("is_polyline", False))
        s = entry.get("kpt_sigmas") or []
        for k, value in enumerate(s[:num_kpts]):
            kpt_sigmas[cid, k] = float(value)
    return is_polyline, kpt_sigmas


@torch.no_grad()
def assign(scores, pred_boxes, points, gt_boxes, gt_cls, gt_valid, gt_ignore, *,
           topk=10, alpha=0.5, beta=6.0, strides=None, target_floor=0.0, rescue=False):
    """Task-aligned assignment, one image and one ground truth at a time."""
    B, A, nc = scores.shape
    G = gt_boxes.shape[1]
    dev = scores.device
    fg = torch.zeros(B, A, dtype=torch.bool, device=dev)
    matched = torch.zeros(B, A, dtype=torch.long, device=dev)
    tboxes = torch.zeros(B, A, 4, device=dev)
    tscores = torch.zeros(B, A, nc, device=dev)
    ignore = torch.zeros(B, A, dtype=torch.bool, device=dev)
    px, py = points[:, 0].float(), points[:, 1].float()
    if gt_ignore is None:
        gt_ignore = torch.zeros_like(gt_valid, dtype=torch.bool)
    for b in range(B):
        pb = pred_boxes[b].float()
        iou = torch.zeros(G, A, device=dev)
        metric = torch.zeros(G, A, device=dev)
        inside = torch.zeros(G, A, dtype=torch.bool, device=dev)
        usable = [bool(gt_valid[b, g]) and not bool(gt_ignore[b, g]) for g in range(G)]
        cand = torch.zeros(G, A, dtype=torch.bool, device=dev)
        for g in range(G):
            x1, y1, x2, y2 = gt_boxes[b, g].float()
            inside[g] = (px - x1 > EPS) & (py - y1 > EPS) & (x2 - px > EPS) & (y2 - py > EPS)
            iw = (torch.min(x2, pb[:, 2]) - torch.max(x1, pb[:, 0])).clamp(min=0)
            ih = (torch.min(y2, pb[:, 3]) - torch.max(y1, pb[:, 1])).clamp(min=0)
            inter = iw * ih
            ag = (x2 - x1).clamp(min=0) * (y2 - y1).clamp(min=0)
            ap = (pb[:, 2] - pb[:, 0]).clamp(min=0) * (pb[:, 3] - pb[:, 1]).clamp(min=0)
            iou[g] = inter / (ag + ap - inter + EPS)
            if not usable[g]:
                continue
            c = int(gt_cls[b, g])
            metric[g] = scores[b, :, c].float() ** alpha * iou[g] ** beta
            idx = inside[g].nonzero().flatten()
            if topk > 0 and len(idx):
                order = torch.argsort(metric[g, idx], descending=True, stable=True)
                cand[g, idx[order[:topk]]] = True

        def resolve(c):
            best = torch.where(c, iou, torch.full_like(iou, -1.0)).argmax(0)
            out = torch.zeros_like(c)
            claimed = c.any(0)
            out[best[claimed], claimed.nonzero().flatten()] = True
            return out

        pos = resolve(cand)
        if rescue:
            free = ~pos.any(0)
            fine = torch.ones(A, dtype=torch.bool, device=dev)
            if strides is not None:
                fine = strides == strides.min()
            rc = torch.zeros_like(pos)
            for g in range(G):
                if not usable[g] or pos[g].any():
                    continue
                x1, y1, x2, y2 = gt_boxes[b, g].float()
                d2 = (px - (x1 + x2) * 0.5) ** 2 + (py - (y1 + y2) * 0.5) ** 2
                d2 = torch.where(fine, d2, torch.full_like(d2, float("inf")))
                a = int(d2.argmin())
                if free[a]:
                    rc[g, a] = True
            pos = pos | resolve(rc)
        for g in range(G):
            sel = pos[g]
            if not sel.any():
                continue
            c = int(gt_cls[b, g])
            m = scores[b, :, c].float() ** alpha * iou[g] ** beta
            mmax = m[sel].max()
            imax = iou[g][sel].max()
            val = m[sel] * imax / (mmax + EPS)
            if target_floor > 0:
                val = val.clamp(min=target_floor)
            fg[b, sel] = True
            matched[b, sel] = g
            tboxes[b, sel] = gt_boxes[b, g].float()
            tscores[b, sel, c] = val
        for g in range(G):
            if bool(gt_valid[b, g]) and bool(gt_ignore[b, g]):
                ignore[b] |= inside[g]
        ignore[b] &= ~fg[b]
    return fg, matched, tboxes, tscores, ignore


def _default_assign(*args, **kwargs):
    from halcyra.losses.assigner import assign as compiled
    return compiled(*args, **kwargs)


class RefCriterion(nn.Module):
    """The criterion's constructor and forward pass, written as plain Python."""

    MASK_STRIDE = 2
    MASK_CAP = 64
    W_BOX_FLOOR = 0.0

    def __init__(self, model_cfg, labelspace, loss_cfg=None, refine=None, assign_cfg=None,
                 assign_fn=None):
        super().__init__()
        w = {"box": 7.5, "cls": 0.5, "mask": 2.5, "kpt": 12.0, "vis": 1.0, "poly": 5.0,
             "tag": 1.0, "refine": 2.5, "refine_jitter": 0.0}
        if loss_cfg:
            w.update(loss_cfg)
        self.refine_jitter = float(w.pop("refine_jitter"))
        acfg = {"topk": 10, "alpha": 0.5, "beta": 6.0, "target_floor": 0.0, "rescue": False,
                "w_box_floor": self.W_BOX_FLOOR}
        if assign_cfg:
            acfg.update(assign_cfg)
        self.assign_cfg = acfg
        self.box_offset = float(model_cfg.get("box_offset", 0.0))
        self.refine_head = refine
        self.w = w
        self.nc = model_cfg["nc"]
        tasks = model_cfg.get("tasks", {})
        if tasks.get("keypoint", {}).get("enabled"):
            self.num_kpts = tasks.get("keypoint", {}).get("num_kpts", 0)
        else:
            self.num_kpts = 0
        if tasks.get("polyline", {}).get("enabled"):
            self.n_pline = tasks.get("polyline", {}).get("n_points", 16)
        else:
            self.n_pline = 0
        is_pl, sig = build_class_meta(labelspace, max(self.num_kpts, 1))
        self.register_buffer("is_polyline_cls", is_pl, persistent=False)
        self.register_buffer("kpt_sigmas", sig, persistent=False)
        self._anchor_cache = {}
        self.assign_fn = assign_fn or _default_assign

    def _anchors(self, feat_shapes, device):
        from halcyra.infer.decode import STRIDES, make_anchors
        key = (tuple(feat_shapes), str(device))
        if key not in self._anchor_cache:
            self._anchor_cache[key] = make_anchors(feat_shapes, STRIDES, device)
        return self._anchor_cache[key]

    @staticmethod
    def _zero(t):
        return t.float().sum() * 0.0

    def forward(self, preds, batch):
        from halcyra.infer.decode import decode_boxes
        device = batch["gt_boxes"].device
        points, strides = self._anchors(preds["feat_shapes"], device)
        losses = {}
        cls_raw = preds["cls_raw"].float()
        box_raw = preds["box_raw"].float()
        B, A, nc = cls_raw.shape
        pred_boxes = decode_boxes(box_raw, points, strides, offset=self.box_offset)
        fg_mask, matched_gt, target_boxes, target_scores, ignore_mask = self.assign_fn(
            cls_raw.detach().sigmoid(), pred_boxes.detach(), points, batch["gt_boxes"],
            batch["gt_cls"], batch["gt_valid"], batch["gt_ignore"],
            topk=self.assign_cfg["topk"], alpha=self.assign_cfg["alpha"],
            beta=self.assign_cfg["beta"], strides=strides,
            target_floor=self.assign_cfg["target_floor"], rescue=self.assign_cfg["rescue"])
        box_cls_avail = batch["has_rect"] | batch["has_polygon"] | batch["has_keypoint"]
        col_avail = torch.where(self.is_polyline_cls[None, :], batch["has_polyline"][:, None],
                                box_cls_avail[:, None]).float()
        cls_weight = col_avail[:, None, :] * (~ignore_mask | fg_mask).float()[:, :, None]
        norm = (target_scores * col_avail[:, None, :]).sum().clamp(min=1.0)
        bce = F.binary_cross_entropy_with_logits(cls_raw, target_scores, reduction="none")
        losses["cls"] = (bce * cls_weight).sum() / norm
        fg_b, fg_a = fg_mask.nonzero(as_tuple=True)
        n_fg = fg_b.numel()
        if n_fg == 0:
            losses["box"] = self._zero(box_raw)
        else:
            w_box = target_scores[fg_b, fg_a].sum(-1)
            floor = float(self.assign_cfg["w_box_floor"])
            iou = ciou(pred_boxes[fg_b, fg_a], target_boxes[fg_b, fg_a])
            if floor > 0:
                w_box = w_box.clamp(min=floor)
                losses["box"] = ((1.0 - iou) * w_box).sum() / w_box.sum().clamp(min=1.0)
            else:
                losses["box"] = ((1.0 - iou) * w_box).sum() / norm
        fg_g = matched_gt[fg_b, fg_a] if n_fg > 0 else fg_a
        if "coef" in preds:
            mask, refine = self._mask_loss(preds, batch, fg_b, fg_a, fg_g)
            losses["mask"] = mask
            if refine is not None:
                losses["refine"] = refine
        if "kpt_raw" in preds:
            kpt, vis = self._kpt_loss(preds, batch, points, strides, fg_b, fg_a, fg_g)
            losses["kpt"] = kpt
            losses["vis"] = vis
        if "pline_raw" in preds:
            losses["poly"] = self._pline_loss(preds, batch, points, strides, fg_b, fg_a, fg_g)
        if "tag_logits" in preds:
            losses["tag"] = self._tag_loss(preds, batch)
        total = 0
        for k, v in losses.items():
            total = total + self.w[k] * v
        stats = {k: v.detach() for k, v in losses.items()}
        stats["num_pos"] = torch.as_tensor(float(n_fg))
        return total, stats

    def _mask_loss(self, preds, batch, fg_b, fg_a, fg_g):
        from bench import ref_losses_tasks as T
        return T.mask_loss(self, preds, batch, fg_b, fg_a, fg_g)

    def _kpt_loss(self, preds, batch, points, strides, fg_b, fg_a, fg_g):
        from bench import ref_losses_tasks as T
        return T.kpt_loss(self, preds, batch, points, strides, fg_b, fg_a, fg_g)

    def _pline_loss(self, preds, batch, points, strides, fg_b, fg_a, fg_g):
        from bench import ref_losses_tasks as T
        return T.pline_loss(self, preds, batch, points, strides, fg_b, fg_a, fg_g)

    def _tag_loss(self, preds, batch):
        from bench import ref_losses_tasks as T
        return T.tag_loss(self, preds, batch)
