"""Inference postprocess: raw outputs of a batch to per-image detections with one
class-aware NMS pass; masks, keypoints and polylines ride along as attributes
of the surviving boxes."""
import math

import torch
import torch.nn.functional as F
from torchvision.ops import batched_nms
from torchvision.ops import roi_align as __roi_align  # the shipped refine head's sampler

from halcyra import _ops as __ops
# (importing decode loads the operator library and registers its fake kernels)
from halcyra.infer.decode import STRIDES, decode_boxes, decode_points, make_anchors


def postprocess(preds: dict, conf_thres: float = 0.25, nms_iou: float = 0.7, max_det: int = 300,
                pre_nms: int = 3000, mask_thres: float = 0.5, num_kpts: int = 0, n_pline: int = 16,
                input_size: int = 640, refine=None, box_offset: float = 0.0) -> list[dict]:
    """Raw outputs of one batch to one detection dictionary per image.

    Anchors, box decoding and class probabilities are computed once for the batch.
    Per image: the best class of every anchor is a candidate when its probability is
    strictly above conf_thres; more than pre_nms candidates are cut to the pre_nms
    best; one class-aware batched_nms pass at nms_iou; at most max_det survivors,
    by decreasing score. Each dictionary holds 'boxes' (n, 4) xyxy input pixels,
    'scores' (n,), 'cls' (n,) int64, then, when their heads are in preds: 'masks'
    (n, S, S) bool on the input_size canvas (from the prototypes, or through the
    refine head when refine is given and preds has 'f2'), 'kpts' (n, K, 3) x, y,
    visibility, 'plines' (n, N, 2) and 'tags' (T,). Runs without gradient
    recording; preds is not modified."""
    flow = (__postprocess_untraced if __compiling() and not __ops.dynamic_sizes(scalars=True)
            else __postprocess)
    return flow(preds, conf_thres, nms_iou, max_det, pre_nms, mask_thres, num_kpts, n_pline,
                input_size, refine, box_offset)


def __postprocess(preds, conf_thres, nms_iou, max_det, pre_nms, mask_thres, num_kpts, n_pline,
                  input_size, refine, box_offset):
    """postprocess's flow (the function's own docstring says what it computes)."""
    with torch.no_grad(), torch.profiler.record_function("halcyra::postprocess"):
        cls_raw = preds["cls_raw"].float()
        device = cls_raw.device
        points, strides = __anchors(preds["feat_shapes"], device)
        decode = decode_boxes
        box_raw = preds["box_raw"].float()
        found = None
        if (batched_nms is __batched_nms and __nms_helpers_intact() and __plain_number(conf_thres)
                and __plain_int(pre_nms) and pre_nms >= 0 and __plain_number(nms_iou)
                and __plain_int(max_det) and __batch_of(cls_raw)):
            # selection, the pre-NMS cap, NMS and the max_det cut of every image
            # in one operator (candidates' boxes decoded there, where decoding is
            # decode_boxes's own)
            if (decode is __decode_boxes and __plain_number(box_offset)
                    and __batch_of(box_raw, cls_raw, 4) and __anchors_of(points, strides, cls_raw)
                    and points.dtype == strides.dtype == torch.float32):
                found = torch.ops.halcyra.detect(cls_raw, box_raw, points, strides, box_offset,
                                                 conf_thres, pre_nms, nms_iou, max_det)
            else:
                boxes_all = decode(box_raw, points, strides, offset=box_offset)
                if __batch_of(boxes_all, cls_raw, 4) and boxes_all.dtype == torch.float32:
                    found = torch.ops.halcyra.detect(cls_raw, boxes_all, None, None, 0,
                                                     conf_thres, pre_nms, nms_iou, max_det)
        else:
            boxes_all = decode(box_raw, points, strides, offset=box_offset)
        kpts = plines = None
        if found is None:
            scores_all = cls_raw.sigmoid()
        else:
            counts = found[4].tolist()      # each image's rows of detect's (B, K) results
            if not __compiling():
                rows = torch.ops.halcyra.image_rows(found[:4], counts)
                if refine is None and type(preds) is dict:
                    # nothing of the caller's runs between the images: the
                    # keypoints and polylines of all of them in one call each
                    kpts = __batch_keypoints(preds.get("kpt_raw"), found[0], counts, points,
                                             strides, num_kpts)
                    plines = __batch_polylines(preds.get("pline_raw"), found[0], counts, points,
                                               strides, n_pline)
        out = []
        padded = None
        for b in range(cls_raw.shape[0]):
            if found is not None:
                n = counts[b]
                if __compiling():
                    # rows taken by index, so that their count is n itself to
                    # the compiler (a slice's is clamped to K)
                    __ops.check_size(n)
                    torch._check(n <= found[0].shape[1])
                    rows = torch.arange(n, device=device)
                    idx, bx, sc, cl = (t[b].index_select(0, rows) for t in found[:4])
                    padded = (found[0][b], found[1][b])
                else:
                    idx, bx, sc, cl = rows[4 * b:4 * b + 4]
                res = {"boxes": bx, "scores": sc, "cls": cl}
            else:
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
            if "coef" in preds:
                res["masks"] = __masks(preds, b, idx, res["boxes"], input_size, refine, mask_thres,
                                       device, padded)
            if "kpt_raw" in preds:
                res["kpts"] = (kpts[b] if kpts is not None
                               else __keypoints(preds["kpt_raw"], b, idx, points, strides, num_kpts))
            if "pline_raw" in preds:
                res["plines"] = (plines[b] if plines is not None else
                                 __polylines(preds["pline_raw"], b, idx, points, strides, n_pline))
            if "tag_logits" in preds:
                tags = preds["tag_logits"]
                res["tags"] = (torch.ops.halcyra.image_tags(tags, b)
                               if isinstance(tags, torch.Tensor) and tags.dim() >= 1
                               else tags[b].float().sigmoid())
            out.append(res)
        return out


# The module's own functions as it loaded them. While its names still hold
# them, postprocess calls the operators that do their work; once a name is
# rebound, the function it now holds is called.
__batched_nms = batched_nms
__decode_boxes = decode_boxes
__decode_points = decode_points
__make_anchors = make_anchors
__anchor_cache = {}


def __anchors(feat_shapes, device):
    """make_anchors(feat_shapes, STRIDES, device), made once per level sizes,
    strides and device (at most 32 kept) while make_anchors, decode_boxes and
    decode_points are the module's own: then only operators read the anchors,
    and nothing the caller gets holds them. Made on every call otherwise, and
    while a compiler traces."""
    shapes, strides = feat_shapes, STRIDES
    if (__compiling() or make_anchors is not __make_anchors or decode_boxes is not __decode_boxes
            or decode_points is not __decode_points or type(shapes) not in (list, tuple)
            or type(strides) not in (list, tuple)
            or not all(type(hw) in (list, tuple) and len(hw) == 2 and type(hw[0]) is int
                       and type(hw[1]) is int for hw in shapes)
            or not all(type(v) is int for v in strides)):
        return make_anchors(shapes, strides, device)
    key = (tuple(map(tuple, shapes)), tuple(strides), device)
    found = __anchor_cache.get(key)
    if found is None:
        found = make_anchors(shapes, strides, device)
        if len(__anchor_cache) >= 32:
            __anchor_cache.clear()
        __anchor_cache[key] = found
    return found
# torchvision's batched_nms runs these helpers of its module's namespace
# (private names: the per-class loop and the coordinate offsets); while they
# are torchvision's own, the detect operator computes what batched_nms does.
__nms_namespace = batched_nms.__globals__
__nms_helpers = [(name, __nms_namespace[name])
                 for name in ("nms", "_batched_nms_vanilla", "_batched_nms_coordinate_trick")]
__INT64 = (-(1 << 63), 1 << 63)


def __nms_helpers_intact():
    """Whether torchvision's batched_nms still calls its own helpers. (The
    compiler cannot compare its helpers, which torchvision wraps: traced, they
    count as its own.)"""
    if __compiling():
        return True
    for name, fn in __nms_helpers:
        if __nms_namespace.get(name) is not fn:
            return False
    return True


def __plain_int(v):
    """A plain int (not a bool) that fits the operators' int64 arguments."""
    return type(v) is int and __INT64[0] <= v < __INT64[1]


def __plain_number(v):
    """A plain float, or an int as __plain_int takes it."""
    return type(v) is float or __plain_int(v)


def __batch_of(t, like=None, last=None):
    """t a (B, A, C) tensor: with `like`, of its B and A and with C == last;
    alone, with C >= 1."""
    if not isinstance(t, torch.Tensor) or t.dim() != 3:
        return False
    if like is None:
        return t.shape[2] >= 1
    return t.shape[0] == like.shape[0] and t.shape[1] == like.shape[1] and t.shape[2] == last


def __anchors_of(points, strides, like):
    """points (A, 2) and strides (A,) tensors, A the anchors of `like` (B, A, C)."""
    return (isinstance(points, torch.Tensor) and isinstance(strides, torch.Tensor)
            and points.dim() == 2 and strides.dim() == 1 and points.shape[1] == 2
            and points.shape[0] == strides.shape[0] == like.shape[1])


def __compiling():
    """Whether torch.compile or torch.export is tracing this call."""
    compiler = getattr(torch, "compiler", None)
    return compiler is not None and hasattr(compiler, "is_compiling") and compiler.is_compiling()


def __masks(preds, b, idx, bx, S, refine, mask_thres, device, padded=None):
    """masks (n, S, S) of image b's detections: the prototypes' coarse masks cut
    to the boxes, or the refine head's maps pasted into its regions. padded:
    while traced, detect's K rows of the image (indices, boxes), the first n
    of them the detections."""
    n = len(idx)
    # (traced, n has no value: the operators give the same empty masks)
    if not __compiling() and n == 0:
        return torch.zeros((0, S, S), dtype=torch.bool, device=device)
    protos = preds["protos"][b].float()
    p, hm, wm = protos.shape
    coef = preds["coef"][b, idx].float()
    if refine is not None and "f2" in preds:
        if padded is not None:
            # Traced, the head's computation runs on all K rows, whose count
            # is a constant, and the first n maps are pasted: inductor
            # (torch 2.6, 2.14) miscompiles a convolution or a column read
            # over a count known only at run time. The head works row by row,
            # so the first n maps are those of the detections.
            coef = preds["coef"][b, padded[0]].float()
            return __refine_masks(preds, b, coef, protos, padded[1], S, refine, mask_thres,
                                  device, bx)
        return __refine_masks(preds, b, coef, protos, bx, S, refine, mask_thres, device)
    if (type(mask_thres) in (int, float) and __plain_int(S) and S > 0 and coef.dim() == 2
            and coef.shape[1] == p):
        return torch.ops.halcyra.prototype_masks(coef, protos, bx, S, mask_thres)
    coarse = (coef @ protos.reshape(p, -1)).reshape(n, hm, wm)
    m = F.interpolate(coarse.sigmoid()[None], size=(S, S), mode="bilinear", align_corners=False)[0]
    ys = torch.arange(S, device=device).view(1, S, 1)
    xs = torch.arange(S, device=device).view(1, 1, S)
    inside = ((xs >= bx[:, 0, None, None]) & (xs <= bx[:, 2, None, None])
              & (ys >= bx[:, 1, None, None]) & (ys <= bx[:, 3, None, None]))
    return (m > mask_thres) & inside


def __refine_masks(preds, b, coef, protos, bx, S, refine, mask_thres, device, dets=None):
    """The refine path: the coarse logits, regions of the sanitized boxes
    snapped outward to whole pixels and widened to the stride of f2, the head's
    map of each resized and thresholded into its region. dets: the
    detections' boxes, the first rows of bx, where bx holds more."""
    n = coef.shape[0]
    p, hm, wm = protos.shape
    product = coef.dim() == 2 and coef.shape[1] == p
    # the shipped head reads the logits around its regions only: they are
    # computed once the regions are known
    partial = product and __plain_int(S) and __shipped_head(refine)
    if product and not partial:
        coarse = torch.ops.halcyra.refine_coarse(coef, protos, None, 0, 0.0, 0, 0)
    elif not partial:
        coarse = (coef @ protos.reshape(p, -1)).reshape(n, hm, wm)
    f2 = preds["f2"]
    h2, w2 = f2.shape[-2:]
    feat_stride = S / w2
    mn = max(int(math.ceil(feat_stride)), 1)
    bxs = refine.sanitize(bx, (h2, w2), float(feat_stride))
    regions = (isinstance(bxs, torch.Tensor) and bxs.dim() == 2 and bxs.shape[1] == 4
               and __plain_int(S) and S > 0)
    if regions:
        bx_int = torch.ops.halcyra.refine_regions(bxs, S, mn)
        rx1, ry1, rx2, ry2 = bx_int[:, 0], bx_int[:, 1], bx_int[:, 2], bx_int[:, 3]
    else:
        rx1 = torch.floor(bxs[:, 0]).clamp(0, S - mn)
        ry1 = torch.floor(bxs[:, 1]).clamp(0, S - mn)
        rx2 = torch.maximum(torch.ceil(bxs[:, 2]), rx1 + mn).clamp(max=S)
        ry2 = torch.maximum(torch.ceil(bxs[:, 3]), ry1 + mn).clamp(max=S)
        bx_int = torch.stack([rx1, ry1, rx2, ry2], 1)
    if partial:
        coarse = torch.ops.halcyra.refine_coarse(coef, protos, bx_int if f2.dim() == 4 else None,
                                                 S, float(feat_stride), h2, w2)
    ref = refine(f2[b:b + 1].float(), coarse, bx_int,
                 torch.zeros(n, dtype=torch.long, device=device), float(feat_stride))
    if (regions and isinstance(ref, torch.Tensor) and ref.dim() == 3
            and ref.dtype == torch.float32 and type(mask_thres) in (int, float)):
        return torch.ops.halcyra.paste_masks(ref, bx_int, bx if dets is None else dets, S,
                                             mask_thres)
    if dets is not None:
        n = dets.shape[0]
    masks = torch.zeros((n, S, S), dtype=torch.bool, device=device)
    for k in range(n):
        x1, y1, x2, y2 = int(rx1[k]), int(ry1[k]), int(rx2[k]), int(ry2[k])
        patch = F.interpolate(ref[k][None, None], size=(y2 - y1, x2 - x1), mode="bilinear",
                              align_corners=False)[0, 0]
        masks[k, y1:y2, x1:x2] = patch.sigmoid() > mask_thres
    return masks


def __shipped_head(refine):
    """Whether refine is the refine module's RefineHead as shipped: that class,
    its own forward (none assigned to the class or the instance), no forward
    hooks and torchvision's roi_align as its sampler. Such a head reads the
    coarse logits only through roi_align over its regions. (Hooks are held
    in torch's private _forward_hooks and _forward_pre_hooks, and the global
    ones in torch.nn.modules.module: no public way tells whether a module has
    any.)"""
    if __compiling():
        return False
    cls = type(refine)
    forward = cls.__dict__.get("forward")
    ns = getattr(forward, "__globals__", None)
    if (ns is None or ns.get("__name__") != "halcyra.models.refine" or ns.get("RefineHead") is not cls
            or forward.__qualname__ != "RefineHead.forward" or ns.get("roi_align") is not __roi_align):
        return False
    own = vars(refine)
    hooks = torch.nn.modules.module
    return ("forward" not in own and not own.get("_forward_hooks")
            and not own.get("_forward_pre_hooks") and not hooks._global_forward_hooks
            and not hooks._global_forward_pre_hooks)


def __keypoints(raw, b, idx, points, strides, K):
    """kpts (n, K, 3) of image b's detections: x, y in input pixels, visibility."""
    if (__plain_int(K) and isinstance(raw, torch.Tensor) and raw.dim() == 3
            and raw.shape[2] == 3 * K and b < raw.shape[0] and __anchors_of(points, strides, raw)
            and idx.dtype == torch.long and idx.dim() == 1):
        return torch.ops.halcyra.gather_keypoints(raw, b, idx, points, strides, K)
    n = len(idx)
    r = raw[b, idx].float().reshape(n, K, 3)
    xy = r[..., :2] * strides[idx].view(n, 1, 1) + points[idx].view(n, 1, 2)
    return torch.cat([xy, r[..., 2:3].sigmoid()], -1)


def __batch_keypoints(raw, idx, counts, points, strides, K):
    """Every image's keypoints in one call, as __keypoints computes each, from
    detect's padded anchor indices idx (B, K') and counts; None where
    __keypoints' operator does not apply."""
    if (__plain_int(K) and type(raw) is torch.Tensor and raw.dim() == 3
            and raw.shape[2] == 3 * K and raw.shape[0] >= len(counts)
            and __anchors_of(points, strides, raw)):
        return torch.ops.halcyra.gather_keypoints.rows(raw, idx, counts, points, strides, K)
    return None


def __batch_polylines(raw, idx, counts, points, strides, N):
    """Every image's polylines in one call, as __polylines computes each."""
    if (decode_points is __decode_points and __plain_int(N) and N >= 1
            and type(raw) is torch.Tensor and raw.dim() == 3 and raw.shape[2] == 2 * N
            and raw.shape[0] >= len(counts) and __anchors_of(points, strides, raw)):
        return torch.ops.halcyra.gather_points.rows(raw, idx, counts, points, strides, N)
    return None


def __polylines(raw, b, idx, points, strides, N):
    """plines (n, N, 2) of image b's detections: decode_points at their anchors."""
    decode = decode_points
    if (decode is __decode_points and __plain_int(N) and N >= 1 and isinstance(raw, torch.Tensor)
            and raw.dim() == 3 and raw.shape[2] == 2 * N and b < raw.shape[0]
            and __anchors_of(points, strides, raw) and idx.dtype == torch.long
            and idx.dim() == 1):
        return torch.ops.halcyra.gather_points(raw, b, idx, points, strides, N)
    return decode(raw[b:b + 1].float(), points, strides, N)[0, idx]


# Where torch.compile keeps neither operations whose result sizes are data nor
# scalars read from tensors (its default), postprocess runs eagerly as a whole,
# one break at its call, rather than breaking again on each data-dependent step
# of its flow. torch.export, and torch.compile capturing both, trace it.
__postprocess_untraced = __ops.untraced(__postprocess)
