"""Evaluation of the demo detector: box AP@0.5, mask IoU, keypoint OKS,
polyline point error and tag accuracy, computed here from the detections.

Classes are evaluated only on images whose source annotates them (a lane in a
"shapes" image is neither a false positive nor a miss).
"""
import math

import torch


def box_iou(a, b):
    """IoU matrix (n, m) of xyxy boxes a (n, 4) and b (m, 4)."""
    a, b = a.float(), b.float()
    lt = torch.maximum(a[:, None, :2], b[None, :, :2])
    rb = torch.minimum(a[:, None, 2:], b[None, :, 2:])
    inter = (rb - lt).clamp(min=0).prod(-1)
    area_a = (a[:, 2:] - a[:, :2]).clamp(min=0).prod(-1)
    area_b = (b[:, 2:] - b[:, :2]).clamp(min=0).prod(-1)
    union = area_a[:, None] + area_b[None, :] - inter
    return torch.where(union > 0, inter / union.clamp(min=1e-12), torch.zeros_like(inter))


def match(det_boxes, det_scores, gt_boxes, iou_thr=0.5):
    """Greedy matching in decreasing score order (one class, one image).

    Returns (order, gt_of): the detection indices by decreasing score and, for
    each of them, the matched ground-truth index or -1.
    """
    order = torch.argsort(det_scores, descending=True)
    gt_of = torch.full((len(order),), -1, dtype=torch.int64)
    if len(order) == 0 or len(gt_boxes) == 0:
        return order, gt_of
    iou = box_iou(det_boxes[order], gt_boxes)
    taken = torch.zeros(len(gt_boxes), dtype=torch.bool)
    for i in range(len(order)):
        cand = iou[i].clone()
        cand[taken] = -1.0
        j = int(cand.argmax())
        if cand[j] >= iou_thr:
            taken[j] = True
            gt_of[i] = j
    return order, gt_of


def average_precision(scores, tp, n_gt):
    """All-point interpolated AP from per-detection scores and TP flags."""
    if n_gt == 0:
        return float("nan")
    if len(scores) == 0:
        return 0.0
    order = torch.argsort(torch.as_tensor(scores, dtype=torch.float64), descending=True)
    tp = torch.as_tensor(tp, dtype=torch.float64)[order]
    ctp = torch.cumsum(tp, 0)
    cfp = torch.cumsum(1 - tp, 0)
    recall = ctp / n_gt
    precision = ctp / (ctp + cfp)
    r = torch.cat([torch.zeros(1, dtype=torch.float64), recall, torch.ones(1, dtype=torch.float64)])
    p = torch.cat([torch.zeros(1, dtype=torch.float64), precision, torch.zeros(1, dtype=torch.float64)])
    for i in range(len(p) - 2, -1, -1):  # precision envelope
        p[i] = max(p[i], p[i + 1])
    idx = torch.nonzero(r[1:] != r[:-1]).flatten()
    return float(((r[idx + 1] - r[idx]) * p[idx + 1]).sum())


def mask_iou(a, b):
    """IoU of two boolean masks of the same shape."""
    inter = (a & b).sum().item()
    union = (a | b).sum().item()
    return inter / union if union else 0.0


def oks(pred, gt, area, sigmas):
    """Object keypoint similarity of one instance: pred (K, 2+), gt (K, 3), box area."""
    lab = gt[:, 2] >= 1
    if not lab.any():
        return float("nan")
    d2 = ((pred[:, :2] - gt[:, :2]) ** 2).sum(-1)
    k2 = (2 * torch.as_tensor(sigmas, dtype=torch.float32)) ** 2
    e = d2 / (2 * max(float(area), 1e-9) * k2)
    return float(torch.exp(-e)[lab].mean())


def polyline_error(pred, gt):
    """Mean point distance in pixels between two (N, 2) polylines, either direction."""
    fwd = (pred - gt).norm(dim=-1).mean()
    rev = (pred - gt.flip(0)).norm(dim=-1).mean()
    return float(torch.minimum(fwd, rev))


def evaluate(dets, targets, class_names, kpt_sigmas, pline_classes=(), iou_thr=0.5, tag_thres=0.5):
    """Metrics over a list of detection dictionaries and their targets.

    Masks, keypoints and polylines are scored on the true-positive detections
    whose ground truth carries that annotation.
    """
    nc = len(class_names)
    per_class = {c: {"scores": [], "tp": [], "n_gt": 0} for c in range(nc)}
    mask_ious, oks_vals, pline_errs = [], [], []
    tag_correct = tag_total = 0
    for det, tgt in zip(dets, targets):
        for c in tgt["classes"]:
            gsel = tgt["cls"] == c
            dsel = det["cls"].cpu() == c
            gidx = torch.nonzero(gsel).flatten()
            didx = torch.nonzero(dsel).flatten()
            per_class[c]["n_gt"] += len(gidx)
            order, gt_of = match(det["boxes"].cpu()[didx], det["scores"].cpu()[didx], tgt["boxes"][gidx], iou_thr)
            for i, g in zip(order.tolist(), gt_of.tolist()):
                d = int(didx[i])
                per_class[c]["scores"].append(float(det["scores"][d]))
                per_class[c]["tp"].append(g >= 0)
                if g < 0:
                    continue
                gj = int(gidx[g])
                if "masks" in det and tgt["masks"][gj].any():
                    mask_ious.append(mask_iou(det["masks"][d].cpu(), tgt["masks"][gj]))
                if "kpts" in det and (tgt["kpts"][gj, :, 2] >= 1).any():
                    b = tgt["boxes"][gj]
                    area = float((b[2] - b[0]) * (b[3] - b[1]))
                    v = oks(det["kpts"][d].cpu(), tgt["kpts"][gj], area, kpt_sigmas)
                    if not math.isnan(v):
                        oks_vals.append(v)
                if "plines" in det and c in pline_classes:
                    pline_errs.append(polyline_error(det["plines"][d].cpu(), tgt["plines"][gj]))
        if tgt["has_tags"] and "tags" in det:
            pred = det["tags"].cpu() > tag_thres
            tag_correct += int((pred == (tgt["tags"] > 0.5)).sum())
            tag_total += tgt["tags"].numel()
    ap = {class_names[c]: average_precision(v["scores"], v["tp"], v["n_gt"]) for c, v in per_class.items()}
    valid = [v for v in ap.values() if not math.isnan(v)]
    mean = lambda xs: sum(xs) / len(xs) if xs else float("nan")
    return {
        "ap50": ap,
        "map50": mean(valid),
        "mask_iou": mean(mask_ious), "n_mask": len(mask_ious),
        "oks": mean(oks_vals), "n_oks": len(oks_vals),
        "pline_err": mean(pline_errs), "n_pline": len(pline_errs),
        "tag_acc": tag_correct / tag_total if tag_total else float("nan"),
    }


def format_table(rows, class_names):
    """rows: list of (label, metrics). Returns a printable comparison table."""
    def f(v):
        if v is None or (isinstance(v, float) and math.isnan(v)):
            return "-"
        return f"{v:.3f}"

    names = [f"AP50 {n}" for n in class_names] + ["box mAP@0.5", "mask IoU (matched)", "keypoint OKS (matched)",
                                                  "polyline error px (matched)", "tag accuracy"]
    cols = []
    for label, m in rows:
        vals = [m["ap50"][n] for n in class_names] + [m["map50"], m["mask_iou"], m["oks"], m["pline_err"], m["tag_acc"]]
        cols.append((label, [f(v) for v in vals]))
    w0 = max(len(n) for n in names) + 2
    lines = ["metric".ljust(w0) + "".join(lbl.rjust(12) for lbl, _ in cols)]
    lines.append("-" * len(lines[0]))
    for i, n in enumerate(names):
        lines.append(n.ljust(w0) + "".join(v[i].rjust(12) for _, v in cols))
    return "\n".join(lines)
