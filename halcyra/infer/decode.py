"""Anchor grid, prediction flattening and box/point decoding: the single
implementation that heads, the training criterion and the postprocess share."""
import torch
import torch.nn.functional as F  # noqa: F401  (part of the module's namespace)

from halcyra import _ops

STRIDES = (8, 16, 32)


def flatten_preds(x: torch.Tensor) -> torch.Tensor:
    """Flatten a head output (B, C, H, W) to (B, H*W, C), channel-last with
    row-major anchors, the order of make_anchors. Reshapes (does not view), so
    non-contiguous inputs are accepted. ValueError if x is not 4-dimensional."""
    x = _ops.shaped_tensor(x, "flatten_preds", "x")
    b, c, h, w = x.shape
    return torch.ops.halcyra.flatten_preds(x)


def make_anchors(feat_shapes, strides=STRIDES, device="cpu", dtype=torch.float32):
    """Anchor points and per-anchor strides for the given levels.

    feat_shapes: one (H, W) per level; strides: parallel per-level strides (the
    walk stops at the shorter of the two). Returns (points (A, 2) as (x, y) cell
    centres ((j + 0.5) * s, (i + 0.5) * s), strides (A,)), both of `dtype` on
    `device`, level-major then row-major. New tensors on every call."""
    if not isinstance(dtype, torch.dtype):
        raise TypeError("make_anchors(): argument 'dtype' must be torch.dtype, not "
                        + _ops.type_name(dtype))
    device = torch.device(device)
    hs, ws, ss = [], [], []
    for (h, w), s in zip(feat_shapes, strides):
        hs.append(_ops.level_number(h, "feature size"))
        ws.append(_ops.level_number(w, "feature size"))
        ss.append(_ops.level_number(s, "stride"))
    return torch.ops.halcyra.make_anchors(hs, ws, ss, dtype, device)


def decode_boxes(raw: torch.Tensor, points: torch.Tensor, stride: torch.Tensor,
                 offset: float = 0.0) -> torch.Tensor:
    """Decode (B, A, 4) left/top/right/bottom regressions in stride units into xyxy
    boxes in input pixels: d = (softplus(raw) - offset) * stride; (x1, y1) =
    points - d[..., :2]; (x2, y2) = points + d[..., 2:]; when offset is truthy,
    (x2, y2) is raised to at least (x1, y1). No casting: results follow type
    promotion of the inputs."""
    args = (_ops.tensor(raw, "decode_boxes", "raw"), _ops.tensor(points, "decode_boxes", "points"),
            _ops.tensor(stride, "decode_boxes", "stride"))
    if isinstance(offset, bool):
        # torch.ops would pass it on as an int; the subtraction refuses a bool
        offset = torch.tensor(offset)
    if isinstance(offset, torch.Tensor):
        return torch.ops.halcyra.decode_boxes.Tensor(*args, offset)
    if not _ops.is_number(offset):
        raise TypeError("unsupported operand type(s) for -: 'Tensor' and '"
                        + _ops.type_name(offset) + "'")
    return torch.ops.halcyra.decode_boxes(*args, _ops.number(offset))


def decode_points(raw: torch.Tensor, points: torch.Tensor, stride: torch.Tensor,
                  n: int) -> torch.Tensor:
    """Decode (B, A, 2n) interleaved x, y offsets in stride units into (B, A, n, 2)
    points in input pixels: raw * stride + anchor point. No activation, no
    clamping."""
    raw = _ops.shaped_tensor(raw, "decode_points", "raw")
    args = (raw, _ops.tensor(points, "decode_points", "points"),
            _ops.tensor(stride, "decode_points", "stride"))
    b, a, _ = raw.shape
    return torch.ops.halcyra.decode_points(*args, _ops.integer(n, "decode_points", "n"))

