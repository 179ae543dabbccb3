"""Plain eager-PyTorch formulation of the inference postprocess (test oracle and
benchmark baseline): decoding once per batch, per-image candidates, pre-NMS cap,
class-aware NMS, max_det, then masks (coarse or refine path), keypoints,
polylines and tags."""
import math

import torch
import torch.nn.functional as F
from torchvision.ops import batched_nms

from bench.ref_decode import decode_boxes, decode_points, make_anchors

STRIDES = (8, 16, 32)


@torch.no_grad()
def postprocess(preds, conf_thres=0.25, nms_iou=0.7, max_det=300, pre_nms=3000, mask_thres=0.5,
                num_kpts=0, n_pline=16, input_size=640, refine=None, box_offset=0.0):
    cls_raw = preds["cls_raw"].float()
    device = cls_raw.device
    points, strides = make_anchors(preds["feat_shapes"], STRIDES, device)
    boxes_all = decode_boxes(preds["box_raw"].float(), points, strides, offset=box_offset)
    scores_all = cls_raw.sigmoid()
    out = []
    for b in range(cls_raw.shape[0]):
        scores, cls_id = scores_all[b].max(dim=1)
        keep = scores > conf_thres
        idx = keep.nonzero(as_tuple=True)[0]
        if len(idx) > pre_nms:
            idx = idx[scores[idx].topk(pre_nms)[1]]
        boxes = boxes_all[b, idx]
        sc = scores[idx]
        cl = cls_id[idx]
        nms_keep = batched_nms(boxes, sc, cl, nms_iou)[:max_det]
        idx = idx[nms_keep]
        res = {"boxes": boxes[nms_keep], "scores": sc[nms_keep], "cls": cl[nms_keep]}
        n = len(idx)
        S = input_size
        if "coef" in preds:
            if n == 0:
                res["masks"] = torch.zeros((0, S, S), dtype=torch.bool, device=device)
            else:
                protos = preds["protos"][b].float()
                p, hm, wm = protos.shape
                coarse = (preds["coef"][b, idx].float() @ protos.reshape(p, -1)).reshape(n, hm, wm)
                bx = res["boxes"]
                if refine is not None and "f2" in preds:
                    res["masks"] = _refine_masks(preds, b, coarse, bx, S, refine, mask_thres, device)
                else:
                    m = F.interpolate(coarse.sigmoid()[None], size=(S, S), mode="bilinear",
                                      align_corners=False)[0]
                    ys = torch.arange(S, device=device).view(1, S, 1)
                    xs = torch.arange(S, device=device).view(1, 1, S)
                    inside = ((xs >= bx[:, 0, None, None]) & (xs <= bx[:, 2, None, None])
                              & (ys >= bx[:, 1, None, None]) & (ys <= bx[:, 3, None, None]))
                    res["masks"] = (m > mask_thres) & inside
        if "kpt_raw" in preds:
            r = preds["kpt_raw"][b, idx].float().reshape(n, num_kpts, 3)
            xy = r[..., :2] * strides[idx].view(n, 1, 1) + points[idx].view(n, 1, 2)
            res["kpts"] = torch.cat([xy, r[..., 2:3].sigmoid()], -1)
        if "pline_raw" in preds:
            raw = preds["pline_raw"][b:b + 1].float()
            res["plines"] = decode_points(raw, points, strides, n_pline)[0, idx]
        if "tag_logits" in preds:
            res["tags"] = preds["tag_logits"][b].float().sigmoid()
        out.append(res)
    return out


def _refine_masks(preds, b, coarse, bx, S, refine, mask_thres, device):
    n = coarse.shape[0]
    h2, w2 = preds["f2"].shape[-2:]
    feat_stride = S / w2
    mn = max(int(math.ceil(feat_stride)), 1)
    bxs = refine.sanitize(bx, (h2, w2), float(feat_stride))
    rx1 = torch.floor(bxs[:, 0]).clamp(0, S - mn)
    ry1 = torch.floor(bxs[:, 1]).clamp(0, S - mn)
    rx2 = torch.maximum(torch.ceil(bxs[:, 2]), rx1 + mn).clamp(max=S)
    ry2 = torch.maximum(torch.ceil(bxs[:, 3]), ry1 + mn).clamp(max=S)
    bx_int = torch.stack([rx1, ry1, rx2, ry2], 1)
    ref = refine(preds["f2"][b:b + 1].float(), coarse, bx_int,
                 torch.zeros(n, dtype=torch.long, device=device), float(feat_stride))
    masks = torch.zeros((n, S, S), dtype=torch.bool, device=device)
    for k in range(n):
        x1, y1, x2, y2 = int(rx1[k]), int(ry1[k]), int(rx2[k]), int(ry2[k])
        patch = F.interpolate(ref[k][None, None], size=(y2 - y1, x2 - x1), mode="bilinear",
                              align_corners=False)[0, 0]
        masks[k, y1:y2, x1:x2] = patch.sigmoid() > mask_thres
    return masks
