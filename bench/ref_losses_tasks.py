"""Plain eager-PyTorch formulation of the criterion's per-task losses.

Each function takes the criterion as `self` (anything with the attributes the
compiled methods read) and follows the documented algorithm step by step,
including the per-instance host loop of the mask loss. The tests compare the
compiled methods with these, and bench/bench_losses_tasks.py times them side
by side.
"""
import torch
import torch.nn.functional as F

from bench.ref_losses import dice_loss as _dice_loss

EPS = 1e-9


from bench.ref_decode import decode_points as _decode_points  # noqa: E402


def jitter_rois(boxes, scale=0.1, shift=0.05):
    cx = (boxes[:, 0] + boxes[:, 2]) / 2
    cy = (boxes[:, 1] + boxes[:, 3]) / 2
    w = boxes[:, 2] - boxes[:, 0]
    h = boxes[:, 3] - boxes[:, 1]
    r = torch.rand(boxes.shape[0], 4, device=boxes.device) * 2 - 1
    w2 = w * (1 + scale * r[:, 0])
    h2 = h * (1 + scale * r[:, 1])
    cx2 = cx + shift * w * r[:, 2]
    cy2 = cy + shift * h * r[:, 3]
    return torch.stack([cx2 - w2 / 2, cy2 - h2 / 2, cx2 + w2 / 2, cy2 + h2 / 2], dim=1)


def mask_loss(self, preds, batch, fg_b, fg_a, fg_g, jitter=jitter_rois, dice=_dice_loss):
    coef = preds["coef"].float()
    protos = preds["protos"].float()
    hm, wm = protos.shape[-2:]
    do_refine = self.refine_head is not None and "f2" in preds
    if fg_b.numel() > 0:
        sel = batch["mask_valid"][fg_b, fg_g] & batch["has_polygon"][fg_b]
    else:
        sel = torch.zeros(0, dtype=torch.bool, device=coef.device)
    if not sel.any():
        return (self._zero(coef) + self._zero(protos),
                self._zero(preds["f2"]) if do_refine else None)
    b, a, g = fg_b[sel], fg_a[sel], fg_g[sel]
    if len(b) > self.MASK_CAP:
        keep = torch.randperm(len(b), device=b.device)[:self.MASK_CAP]
        b, a, g = b[keep], a[keep], g[keep]
    total = coef.new_zeros(())
    count = 0
    s = self.MASK_STRIDE
    coarse_list, gt_list, box_list, bidx_list = [], [], [], []
    for bi in b.unique():
        rows = b == bi
        n = int(rows.sum())
        pm = (coef[bi, a[rows]] @ protos[bi].reshape(protos.shape[1], hm * wm)).reshape(n, hm, wm)
        gt = batch["gt_masks"][bi, g[rows]].float()
        boxes = batch["gt_boxes"][bi, g[rows]] / s
        for j in range(n):
            x1, y1, x2, y2 = boxes[j]
            x1i = int(x1.clamp(0, wm - 1))
            y1i = int(y1.clamp(0, hm - 1))
            x2i = int(x2.clamp(x1i + 1, wm))
            y2i = int(y2.clamp(y1i + 1, hm))
            region = F.binary_cross_entropy_with_logits(
                pm[j, y1i:y2i, x1i:x2i], gt[j, y1i:y2i, x1i:x2i], reduction="sum")
            total = total + region / max(1, (y2i - y1i) * (x2i - x1i))
            count += 1
        if do_refine:
            coarse_list.append(pm)
            gt_list.append(gt)
            box_list.append(batch["gt_boxes"][bi, g[rows]].float())
            bidx_list.append(torch.full((n,), int(bi), dtype=torch.long, device=coef.device))
    coarse = total / max(1, count)
    refine = None
    if do_refine:
        from torchvision.ops import roi_align
        coarse_all = torch.cat(coarse_list)
        boxes_all = torch.cat(box_list)
        bidx = torch.cat(bidx_list)
        if self.training and self.refine_jitter > 0:
            boxes_all = jitter(boxes_all, self.refine_jitter, self.refine_jitter / 2)
        f2 = preds["f2"]
        boxes_all = self.refine_head.sanitize(boxes_all, f2.shape[-2:], float(self.MASK_STRIDE))
        refined = self.refine_head(f2.float(), coarse_all, boxes_all, bidx, float(self.MASK_STRIDE))
        roi = self.refine_head.roi
        n_all = coarse_all.shape[0]
        inst_rois = torch.cat([
            torch.arange(n_all, device=coef.device, dtype=boxes_all.dtype)[:, None],
            boxes_all / self.MASK_STRIDE], dim=1)
        gt_roi = roi_align(torch.cat(gt_list)[:, None], inst_rois, (roi, roi),
                           spatial_scale=1.0, aligned=True)[:, 0].clamp(0, 1)
        refine = F.binary_cross_entropy_with_logits(refined, gt_roi) + dice(refined, gt_roi)
    return coarse, refine


def kpt_loss(self, preds, batch, points, strides, fg_b, fg_a, fg_g):
    raw = preds["kpt_raw"].float()
    k = self.num_kpts
    if fg_b.numel() > 0:
        sel = batch["kpt_valid"][fg_b, fg_g] & batch["has_keypoint"][fg_b]
    else:
        sel = torch.zeros(0, dtype=torch.bool, device=raw.device)
    if not sel.any():
        return self._zero(raw), self._zero(raw)
    b, a, g = fg_b[sel], fg_a[sel], fg_g[sel]
    r = raw[b, a].reshape(len(b), k, 3)
    xy = r[..., :2] * strides[a][:, None, None] + points[a][:, None, :]
    vis_logit = r[..., 2]
    gt = batch["gt_kpts"][b, g]
    labeled = gt[..., 2] >= 1
    gt_box = batch["gt_boxes"][b, g]
    area = ((gt_box[:, 2] - gt_box[:, 0]) * (gt_box[:, 3] - gt_box[:, 1])).clamp(min=EPS)
    sigmas = self.kpt_sigmas.to(raw.device)[batch["gt_cls"][b, g]]
    d2 = ((xy - gt[..., :2]) ** 2).sum(-1)
    e = d2 / (2 * area[:, None] * (2 * sigmas) ** 2 + EPS)
    norm_dist = torch.sqrt(d2 + EPS) / torch.sqrt(area[:, None] + EPS)
    per_kpt = 1 - torch.exp(-e) + 0.2 * norm_dist
    lab = labeled.float()
    loc = (per_kpt * lab).sum() / lab.sum().clamp(min=1.0)
    vis = F.binary_cross_entropy_with_logits(vis_logit, lab)
    return loc, vis


def pline_loss(self, preds, batch, points, strides, fg_b, fg_a, fg_g):
    raw = preds["pline_raw"].float()
    n = self.n_pline
    if fg_b.numel() > 0:
        sel = batch["pline_valid"][fg_b, fg_g] & batch["has_polyline"][fg_b]
    else:
        sel = torch.zeros(0, dtype=torch.bool, device=raw.device)
    if not sel.any():
        return self._zero(raw)
    b, a, g = fg_b[sel], fg_a[sel], fg_g[sel]
    q = _decode_points(raw, points, strides, n)[b, a]
    gt = batch["gt_plines"][b, g]
    s = strides[a].reshape(-1, 1, 1)
    zeros = torch.zeros_like(q)
    fwd = F.smooth_l1_loss((q - gt) / s, zeros, reduction="none").mean(dim=(1, 2))
    rev = F.smooth_l1_loss((q - gt.flip(1)) / s, zeros, reduction="none").mean(dim=(1, 2))
    return torch.min(fwd, rev).mean()


def tag_loss(self, preds, batch):
    logits = preds["tag_logits"].float()
    avail = batch["has_tags"]
    if not avail.any():
        return self._zero(logits)
    return F.binary_cross_entropy_with_logits(logits[avail], batch["gt_tags"][avail].float())
