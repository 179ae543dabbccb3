"""Plain eager-PyTorch formulation of anchors and decoding (test oracle and
benchmark baseline)."""
import torch
import torch.nn.functional as F


def make_anchors(feat_shapes, strides=(8, 16, 32), device="cpu", dtype=torch.float32):
    pts, sts = [], []
    for (h, w), s in zip(feat_shapes, strides):
        ys = (torch.arange(h, device=device, dtype=dtype) + 0.5) * s
        xs = (torch.arange(w, device=device, dtype=dtype) + 0.5) * s
        gy, gx = torch.meshgrid(ys, xs, indexing="ij")
        pts.append(torch.stack([gx, gy], -1).reshape(-1, 2))
        sts.append(torch.full((h * w,), s, device=device, dtype=dtype))
    return torch.cat(pts), torch.cat(sts)


def flatten_preds(x):
    b, c, h, w = x.shape
    return x.permute(0, 2, 3, 1).reshape(b, h * w, c)


def decode_boxes(raw, points, stride, offset=0.0):
    d = (F.softplus(raw) - offset) * stride[..., None]
    x1y1 = points - d[..., :2]
    x2y2 = points + d[..., 2:]
    if offset:
        x2y2 = torch.maximum(x2y2, x1y1)
    return torch.cat([x1y1, x2y2], -1)


def decode_points(raw, points, stride, n):
    b, a, _ = raw.shape
    off = raw.reshape(b, a, n, 2) * stride.reshape(1, -1, 1, 1)
    return off + points.reshape(1, -1, 1, 2)
