"""Training criterion of the multi-task detector: CIoU and Dice losses, class
metadata from the label space and MultiTaskCriterion."""
import math
import torch
from torch import nn
import torch.nn.functional as F

from halcyra.infer.decode import STRIDES, decode_boxes, decode_points, make_anchors
from halcyra.losses.assigner import assign
# The shared argument checks, under a name outside the module's own names (it
# also loads the operator library).
from halcyra import _ops as __ops__

EPS = 1e-9


def ciou(box1: torch.Tensor, box2: torch.Tensor) -> torch.Tensor:
    """Complete IoU of aligned box pairs (N, 4) xyxy, computed in float32 whatever
    the input dtype. Widths and heights are floored at EPS, EPS stabilises every
    division; the aspect trade-off weight alpha carries no gradient.
    Returns (N,) float32: iou - rho2 / c2 - alpha * v."""
    return torch.ops.halcyra.ciou(__ops__.tensor(box1, "ciou", "box1"),
                                  __ops__.tensor(box2, "ciou", "box2"))


def build_class_meta(labelspace, num_kpts: int):
    """Per-class tables from the label space: (is_polyline (nc,) bool, kpt_sigmas
    (nc, max(num_kpts, 1)) float32). A category's `is_polyline` entry (default
    False) sets its flag; its first num_kpts `kpt_sigmas` fill its row, 0.05
    elsewhere."""
    nc = labelspace.num_categories
    num_kpts = __ops__.integer(num_kpts, "build_class_meta", "num_kpts")
    is_polyline = torch.zeros(nc, dtype=torch.bool)
    kpt_sigmas = torch.full((nc, max(num_kpts, 1)), 0.05, dtype=torch.float32)
    for cid, entry in enumerate(labelspace.categories):
        is_polyline[cid] = bool(entry.get("is_polyline", False))
        s = entry.get("kpt_sigmas")
        if not s:
            continue
        for k, value in enumerate(s[:num_kpts]):
            kpt_sigmas[cid, k] = float(value)
    return is_polyline, kpt_sigmas


def _jitter_rois(boxes, scale=0.1, shift=0.05):
    """Randomly perturb refine-head training ROIs, approximating the noise of
    predicted boxes: per box a scale of +-scale of each side (default +-10 %) and
    a shift of the centre by +-shift of the unscaled side (default +-5 %), from
    torch.rand on the device of `boxes`. boxes: (N, 4) xyxy. Returns a new
    (N, 4) xyxy tensor; no clamping, ordering or minimum size is applied."""
    boxes = __ops__.tensor(boxes, "_jitter_rois", "boxes")
    scale_t, scale = __ops__.number_or_tensor(scale, "_jitter_rois", "scale")
    shift_t, shift = __ops__.number_or_tensor(shift, "_jitter_rois", "shift")
    return torch.ops.halcyra.jitter_rois(boxes, scale_t, scale, shift_t, shift)


# The module's own ciou, as loaded: the compiled box loss stands for it only.
__ciou__ = ciou


def dice_loss(logits: torch.Tensor, targets: torch.Tensor, eps: float = 1.0) -> torch.Tensor:
    """Soft Dice loss: mean over instances of 1 - (2 sum(p t) + eps) / (sum(p) +
    sum(t) + eps), p = sigmoid(logits), dimensions after the first flattened.
    Computes in the dtype of its inputs."""
    logits = __ops__.tensor(logits, "dice_loss", "logits")
    targets = __ops__.tensor(targets, "dice_loss", "targets")
    if __ops__.is_number(eps):
        return torch.ops.halcyra.dice_loss(logits, targets, __ops__.number(eps))
    return torch.ops.halcyra.dice_loss.Tensor(logits, targets,
                                              __ops__.tensor(eps, "dice_loss", "eps"))


def __selection__(batch, valid_key, has_key, fg_b, fg_g, fn):
    """Positions of the foreground anchors a task supervises: batch[valid_key][fg_b,
    fg_g] & batch[has_key][fg_b] (the flags are read only where there are
    foreground anchors)."""
    if fg_b.numel() == 0:
        return torch.zeros(0, dtype=torch.long, device=fg_b.device)
    return torch.ops.halcyra.task_selection(__ops__.tensor(batch[valid_key], fn, valid_key),
                                            __ops__.tensor(batch[has_key], fn, has_key), fg_b, fg_g)


def __tensors__(batch, *keys):
    """Whether batch is a dict whose entries `keys` are tensors: what a task's
    whole-batch operator reads up front, where the method reads them only when
    it selects something (a compiled method reads them so only then)."""
    return isinstance(batch, dict) and all(isinstance(batch.get(k), torch.Tensor) for k in keys)


def __positives__(fg_mask):
    """(fg_b, fg_a): the image and anchor indices of the true entries of fg_mask
    (B, A), row-major."""
    pos = torch.nonzero(fg_mask)
    return pos.select(1, 0), pos.select(1, 1)


def __task_entries__(self, preds, batch, points, strides, fg_mask, matched_gt, entries,
                     positives=None, every=False):
    """MultiTaskCriterion.forward's per-task part: the positives (given, or those
    of fg_mask), their matched slots (matched_gt at them; fg_a itself where there
    is none, unless `every`), then self's task losses for the switch keys in
    preds, written into `entries`."""
    fg_b, fg_a = __positives__(fg_mask) if positives is None else positives
    fg_g = fg_a
    if every or fg_b.shape[0] > 0:
        if isinstance(matched_gt, torch.Tensor):
            fg_g = torch.ops.halcyra.positive_rows(matched_gt, fg_mask, fg_b, fg_a)
        else:
            fg_g = matched_gt[fg_b, fg_a]
    if "coef" in preds:
        mask, refine = self._mask_loss(preds, batch, fg_b, fg_a, fg_g)
        entries["mask"] = mask
        if refine is not None:
            entries["refine"] = refine
    if "kpt_raw" in preds:
        kpt, vis = self._kpt_loss(preds, batch, points, strides, fg_b, fg_a, fg_g)
        entries["kpt"] = kpt
        entries["vis"] = vis
    if "pline_raw" in preds:
        entries["poly"] = self._pline_loss(preds, batch, points, strides, fg_b, fg_a, fg_g)
    if "tag_logits" in preds:
        entries["tag"] = self._tag_loss(preds, batch)


class MultiTaskCriterion(nn.Module):
    """Multi-task training criterion: classification and CIoU box losses with an
    outside task-aligned assigner, prototype masks (with an optional refine
    head), keypoints, polylines and image tags, in float32 whatever the autocast
    precision.

    Task masking rules:
    1. Availability of a task for an image comes from the batch's per-source
       has_* flags, never from whether annotations happen to be present.
    2. A batch with zero valid elements for a task yields a graph-connected zero
       (the task's prediction tensor summed times zero), never a fresh tensor."""

    MASK_STRIDE = 2
    MASK_CAP = 64
    W_BOX_FLOOR = 0.0

    def __init__(self, model_cfg: dict, labelspace, loss_cfg: dict | None = None, refine=None,
                 assign_cfg: dict | None = None):
        """Build the criterion from the model configuration (`nc`, `box_offset`,
        `tasks`), the label space, loss weight overrides (`refine_jitter` is taken
        out of them), an optional refine head and assigner setting overrides."""
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

    def _anchors(self, feat_shapes, device):
        """Anchor points and strides for these level sizes on this device, made once
        per (tuple(feat_shapes), str(device)) key and kept for good."""
        key = (tuple(feat_shapes), str(device))
        cache = self._anchor_cache
        if key not in cache:
            cache[key] = make_anchors(feat_shapes, STRIDES, device)
        return cache[key]

    @staticmethod
    def _zero(t: torch.Tensor) -> torch.Tensor:
        """A float32 zero that is part of t's autograd graph: t.float().sum() * 0.0."""
        return t.float().sum() * 0.0

    def forward(self, preds: dict, batch: dict):
        """Weighted multi-task loss for one batch.

        Assigns anchors with `assign` on detached predictions, computes the
        classification loss over available classes and non-ignored anchors, the
        CIoU box loss over the positives, then each task loss whose switch key is in
        preds. Returns (total, stats): the weighted sum of the loss entries and a
        dict of the detached entries followed by `num_pos` (host float32)."""
        with torch.profiler.record_function("halcyra::MultiTaskCriterion.forward"):
            fn = "MultiTaskCriterion.forward"
            compiling = __ops__.compiling()
            device = batch["gt_boxes"].device
            points, strides = self._anchors(preds["feat_shapes"], device)
            cls_raw = preds["cls_raw"].float()
            box_raw = preds["box_raw"].float()
            cls_raw = __ops__.tensor(cls_raw, fn, "cls_raw")
            _, _, _ = cls_raw.shape
            pred_boxes = __ops__.tensor(decode_boxes(box_raw, points, strides, offset=self.box_offset),
                                        fn, "pred_boxes")

            # assignment on detached predictions (the scores are kept for the
            # classification term unless the assigner changes them)
            scores = cls_raw.detach().sigmoid()
            version = None if compiling else scores._version
            gt = (batch["gt_boxes"], batch["gt_cls"], batch["gt_valid"], batch["gt_ignore"])
            acfg = self.assign_cfg
            fg_mask, matched_gt, target_boxes, target_scores, ignore_mask = assign(
                scores, pred_boxes.detach(), points, *gt, topk=acfg["topk"], alpha=acfg["alpha"],
                beta=acfg["beta"], strides=strides, target_floor=acfg["target_floor"],
                rescue=acfg["rescue"])
            fg_mask = __ops__.tensor(fg_mask, fn, "fg_mask")
            target_boxes = __ops__.tensor(target_boxes, fn, "target_boxes")
            target_scores = __ops__.tensor(target_scores, fn, "target_scores")
            ignore_mask = __ops__.tensor(ignore_mask, fn, "ignore_mask")

            # classification over the classes each image supervises
            flags = [__ops__.tensor(batch[k], fn, k)
                     for k in ("has_rect", "has_polygon", "has_keypoint")]
            is_pl = __ops__.tensor(self.is_polyline_cls, fn, "is_polyline_cls")
            flags.append(__ops__.tensor(batch["has_polyline"], fn, "has_polyline"))
            if target_scores.shape != cls_raw.shape:
                raise ValueError(f"Target size ({target_scores.size()}) must be the same as "
                                 f"input size ({cls_raw.size()})")
            kept = scores if version is not None and scores._version == version else None
            cls, norm = torch.ops.halcyra.cls_loss(cls_raw, target_scores, fg_mask, ignore_mask,
                                                   *flags, is_pl, kept)
            _, _ = fg_mask.shape
            entries = {"cls": cls}
            # the positives' count is data: while the compiler traces without
            # data-dependent sizes, the box loss's operator selects them inside
            # and the per-task part is one call left to eager mode
            tasks_untraced = compiling and not __ops__.dynamic_sizes()
            if compiling and ciou is __ciou__:
                box, any_ = torch.ops.halcyra.box_loss(pred_boxes, target_boxes, target_scores,
                                                       fg_mask, norm, float(acfg["w_box_floor"]))
                entries["box"] = torch.where(any_, box, self._zero(box_raw))
            else:
                fg_b, fg_a = __positives__(fg_mask)
                if fg_b.shape[0] == 0:
                    entries["box"] = self._zero(box_raw)
                else:
                    w_box = torch.ops.halcyra.positive_rows(target_scores, fg_mask, fg_b,
                                                            fg_a).sum(-1)
                    floor = float(acfg["w_box_floor"])
                    iou = __ops__.tensor(ciou(
                        torch.ops.halcyra.positive_rows(pred_boxes, fg_mask, fg_b, fg_a),
                        torch.ops.halcyra.positive_rows(target_boxes, fg_mask, fg_b, fg_a)),
                        fn, "iou")
                    entries["box"] = torch.ops.halcyra.weighted_box_loss(iou, w_box, floor, norm)
            if tasks_untraced:
                __untraced__["task_entries"](self, preds, batch, points, strides, fg_mask,
                                             matched_gt, entries)
            else:
                if compiling and ciou is __ciou__:
                    fg_b, fg_a = __positives__(fg_mask)
                __task_entries__(self, preds, batch, points, strides, fg_mask, matched_gt,
                                 entries, (fg_b, fg_a), compiling)

            total = 0
            w = self.w
            for k, v in entries.items():
                total = total + w[k] * v
            stats = {k: v.detach() for k, v in entries.items()}
            if compiling:
                stats["num_pos"] = fg_mask.sum().to("cpu", torch.get_default_dtype())
            else:
                stats["num_pos"] = torch.as_tensor(float(fg_b.shape[0]))
            return total, stats

    def _mask_loss(self, preds, batch, fg_b, fg_a, fg_g):
        """Returns (coarse prototype loss, refine loss | None)."""
        with torch.profiler.record_function("halcyra::MultiTaskCriterion._mask_loss"):
            if __ops__.compiling() and not __ops__.dynamic_sizes():
                return __untraced__["mask_loss"](self, preds, batch, fg_b, fg_a, fg_g)
            return __mask_loss__(self, preds, batch, fg_b, fg_a, fg_g)

    def _kpt_loss(self, preds, batch, points, strides, fg_b, fg_a, fg_g):
        """Returns (keypoint location loss, visibility loss). Location: mean over
        labeled keypoints (v >= 1) of 1 - OKS similarity (per-class sigmas, the
        ground-truth box area as scale) plus 0.2 * distance / sqrt(area). Visibility:
        BCE of the labeled logits over every keypoint of the selected instances.
        Supervised where kpt_valid and has_keypoint hold; graph-connected zeros
        otherwise."""
        fn = "_kpt_loss"
        raw = __ops__.tensor(preds["kpt_raw"], fn, "kpt_raw").float()
        num_kpts = self.num_kpts
        points = __ops__.tensor(points, fn, "points")
        strides = __ops__.tensor(strides, fn, "strides")
        fg_b = __ops__.tensor(fg_b, fn, "fg_b")
        fg_a = __ops__.tensor(fg_a, fn, "fg_a")
        fg_g = __ops__.tensor(fg_g, fn, "fg_g")
        if __ops__.compiling() and __tensors__(batch, "kpt_valid", "has_keypoint", "gt_kpts",
                                               "gt_boxes", "gt_cls") and isinstance(num_kpts, int):
            loc, vis, any_ = torch.ops.halcyra.kpt_loss(
                raw, points, strides, fg_b, fg_a, fg_g, batch["kpt_valid"], batch["has_keypoint"],
                batch["gt_kpts"], batch["gt_boxes"], batch["gt_cls"], self.kpt_sigmas,
                num_kpts, float(EPS))
            return torch.where(any_, loc, self._zero(raw)), torch.where(any_, vis, self._zero(raw))
        idx = __selection__(batch, "kpt_valid", "has_keypoint", fg_b, fg_g, fn)
        if idx.numel() == 0:
            return self._zero(raw), self._zero(raw)
        b, a, g = fg_b[idx], fg_a[idx], fg_g[idx]
        k = __ops__.integer(num_kpts, fn, "num_kpts")
        gt_kpts = __ops__.tensor(batch["gt_kpts"], fn, "gt_kpts")
        gt_boxes = __ops__.tensor(batch["gt_boxes"], fn, "gt_boxes")
        sigmas = __ops__.tensor(self.kpt_sigmas, fn, "kpt_sigmas")
        gt_cls = __ops__.tensor(batch["gt_cls"], fn, "gt_cls")
        return torch.ops.halcyra.kpt_selected(raw, points, strides, b, a, g, gt_kpts, gt_boxes, gt_cls,
                                              sigmas, k, float(EPS))

    def _pline_loss(self, preds, batch, points, strides, fg_b, fg_a, fg_g):
        """Direction-free polyline loss: smooth L1 in units of the anchor stride between
        the decoded points and the ground truth, in both point orders, the smaller
        one per instance, averaged over instances. Supervised where pline_valid and
        has_polyline hold; a graph-connected zero otherwise."""
        fn = "_pline_loss"
        raw = __ops__.tensor(preds["pline_raw"], fn, "pline_raw").float()
        n_pline = self.n_pline
        strides_t = __ops__.tensor(strides, fn, "strides")
        fg_b = __ops__.tensor(fg_b, fn, "fg_b")
        fg_a = __ops__.tensor(fg_a, fn, "fg_a")
        fg_g = __ops__.tensor(fg_g, fn, "fg_g")
        if __ops__.compiling() and __tensors__(batch, "pline_valid", "has_polyline", "gt_plines"):
            decoded = decode_points(raw, points, strides, n_pline)
            loss, any_ = torch.ops.halcyra.pline_loss(decoded, strides_t, fg_b, fg_a, fg_g,
                                                      batch["pline_valid"], batch["has_polyline"],
                                                      batch["gt_plines"])
            return torch.where(any_, loss, self._zero(raw))
        idx = __selection__(batch, "pline_valid", "has_polyline", fg_b, fg_g, fn)
        if idx.numel() == 0:
            return self._zero(raw)
        b, a, g = fg_b[idx], fg_a[idx], fg_g[idx]
        decoded = __ops__.tensor(decode_points(raw, points, strides, n_pline), fn, "decoded points")
        return torch.ops.halcyra.pline_selected(decoded, strides_t, b, a, g,
                                                __ops__.tensor(batch["gt_plines"], fn, "gt_plines"))

    def _tag_loss(self, preds, batch):
        """Image tag loss: BCE with logits over the tags of the images whose source
        provides tags (has_tags); a graph-connected zero when there is none."""
        fn = "_tag_loss"
        logits = __ops__.tensor(preds["tag_logits"], fn, "tag_logits").float()
        avail = __ops__.tensor(batch["has_tags"], fn, "has_tags")
        if __ops__.compiling() and __tensors__(batch, "gt_tags"):
            loss, any_ = torch.ops.halcyra.tag_loss(logits, avail, batch["gt_tags"])
            return torch.where(any_, loss, self._zero(logits))
        idx = torch.ops.halcyra.selected(avail)
        if idx.numel() == 0:
            return self._zero(logits)
        return torch.ops.halcyra.tag_selected(logits, idx,
                                              __ops__.tensor(batch["gt_tags"], fn, "gt_tags"))


def __mask_loss__(self, preds, batch, fg_b, fg_a, fg_g):
    """MultiTaskCriterion._mask_loss's flow: the instances' count, their images
    and crops come from operators (read on the host inside them), so that a
    compiler that keeps data-dependent sizes traces it with the count a symbol."""
    fn = "_mask_loss"
    coef = __ops__.tensor(preds["coef"], fn, "coef").float()
    protos = __ops__.tensor(preds["protos"], fn, "protos").float()
    hm, wm = protos.shape[-2:]
    head = self.refine_head
    do_refine = head is not None and "f2" in preds
    fg_b = __ops__.tensor(fg_b, fn, "fg_b")
    fg_a = __ops__.tensor(fg_a, fn, "fg_a")
    fg_g = __ops__.tensor(fg_g, fn, "fg_g")

    # the foreground anchors whose object has a usable mask in an image
    # whose source provides polygons (the flags are read only with some)
    if __ops__.known_empty(fg_b.numel()):
        sel = torch.zeros(0, dtype=torch.bool, device=coef.device)
    else:
        sel = torch.ops.halcyra.task_available(
            __ops__.tensor(batch["mask_valid"], fn, "mask_valid"),
            __ops__.tensor(batch["has_polygon"], fn, "has_polygon"), fg_b, fg_g)
    selection = torch.ops.halcyra.mask_selection(fg_b, sel)
    n_sel = selection.shape[1]

    def zeros():
        zp = self._zero(protos)
        zc = self._zero(coef)
        f2_zero = self._zero(__ops__.tensor(preds["f2"], fn, "f2")) if do_refine else None
        return zc + zp, f2_zero

    if __ops__.known_empty(n_sel):
        return zeros()

    # at most MASK_CAP instances (a random subset), images ascending
    cap = __ops__.integer(self.MASK_CAP, fn, "MASK_CAP")
    b, a, g, b_host = torch.ops.halcyra.mask_instances(selection, fg_b, fg_a, fg_g, cap, protos)
    n = b.shape[0]
    if __ops__.known_empty(n):
        return coef.new_zeros(()) / 1, None
    rows = coef[b, a]
    gt_masks = __ops__.tensor(batch["gt_masks"], fn, "gt_masks")
    gt_boxes = __ops__.tensor(batch["gt_boxes"], fn, "gt_boxes")
    gt_raw = gt_masks[b, g]
    boxes_px = gt_boxes[b, g]
    stride = __ops__.number_attr(self, "MASK_STRIDE")
    total, pm, gt = torch.ops.halcyra.mask_crop_loss(rows, protos, b_host, gt_raw,
                                                     boxes_px / stride, do_refine)
    coarse = total / __ops__.at_least_one(n)
    refine = None
    if do_refine:
        # the refine head's regions: the same boxes, jittered in training
        from torchvision.ops import roi_align
        boxes_all = boxes_px.float()
        bidx = b.to(coef.device)
        if self.training:
            jitter = self.refine_jitter
            if jitter > 0:
                boxes_all = _jitter_rois(boxes_all, jitter, jitter / 2)
        f2 = __ops__.tensor(preds["f2"], fn, "f2")
        boxes_all = head.sanitize(boxes_all, f2.shape[-2:], float(self.MASK_STRIDE))
        refined = head(f2.float(), pm, boxes_all, bidx, float(self.MASK_STRIDE))
        roi = head.roi
        boxes_all = __ops__.tensor(boxes_all, fn, "boxes")
        # (checked: roi_align reads outside its input for regions that are not
        # finite, and from masks without pixels)
        inst_rois = torch.ops.halcyra.mask_regions(boxes_all, b, coef,
                                                   __ops__.number_attr(self, "MASK_STRIDE"), hm, wm)
        gt_roi = __ops__.tensor(roi_align(gt.unsqueeze(1), inst_rois, (roi, roi), spatial_scale=1.0,
                                          aligned=True), fn, "roi_align").select(1, 0).clamp(0, 1)
        refined_t = __ops__.tensor(refined, fn, "refined")
        dice = dice_loss(refined, gt_roi)
        bce = F.binary_cross_entropy_with_logits(refined_t, gt_roi)
        refine = bce + dice
    if __ops__.compiling():
        # traced: where nothing is selected at run time, the zeros above
        some = sel.any()
        zero, f2_zero = zeros()
        coarse = torch.where(some, coarse, zero)
        if refine is not None:
            refine = torch.where(some, refine, f2_zero)
    return coarse, refine


# What the compiler leaves to eager mode (one graph break where each is
# called), on a torch that has a compiler, where data-dependent sizes cannot
# enter a graph: the mask loss, and forward's per-task part.
__untraced__ = {name: __ops__.untraced(f)
                for name, f in (("mask_loss", __mask_loss__), ("task_entries", __task_entries__))}
