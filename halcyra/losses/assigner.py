"""Task-aligned label assigner used by the training criterion."""
import torch

from halcyra import _ops


def _operands(scores, pred_boxes, points, gt_boxes, gt_cls, gt_valid, gt_ignore, topk, alpha, beta,
              strides, target_floor, rescue):
    """The operators' arguments, converted in the order of the parameters."""
    return (_ops.tensor(scores, "assign", "scores"), _ops.tensor(pred_boxes, "assign", "pred_boxes"),
            _ops.tensor(points, "assign", "points"), _ops.tensor(gt_boxes, "assign", "gt_boxes"),
            _ops.tensor(gt_cls, "assign", "gt_cls"), _ops.tensor(gt_valid, "assign", "gt_valid"),
            None if gt_ignore is None else _ops.tensor(gt_ignore, "assign", "gt_ignore"),
            _ops.integer(topk, "assign", "topk"), _ops.real(alpha), _ops.real(beta),
            None if strides is None else _ops.tensor(strides, "assign", "strides"),
            _ops.real(target_floor), bool(rescue))


def assign(scores, pred_boxes, points, gt_boxes, gt_cls, gt_valid, gt_ignore, *, topk: int = 10,
           alpha: float = 0.5, beta: float = 6.0, strides=None, target_floor: float = 0.0,
           rescue: bool = False):
    """Task-aligned assignment of anchors to ground truths (no gradient).

    Positional: scores (B, A, nc) class probabilities; pred_boxes (B, A, 4) xyxy
    predicted boxes; points (A, 2) anchor centres; gt_boxes (B, G, 4) xyxy;
    gt_cls (B, G) class indices; gt_valid (B, G) bool, false for padding slots;
    gt_ignore (B, G) bool (or None): valid slots that are ignore regions.
    Keywords: topk candidates per ground truth; alpha, beta: exponents of the
    alignment metric score(gt class) ** alpha * IoU ** beta; strides (A,) per-anchor
    strides (or None); target_floor: lower bound of the soft target at every
    positive; rescue: give each usable ground truth left without positives its
    nearest free anchor of the finest stride.

    Candidates of a usable ground truth (valid, not ignored) are its top-k anchors
    by metric among those whose centre lies strictly inside its box. An anchor
    claimed by several ground truths goes to the one of largest IoU. Soft targets:
    metric * (best IoU of the gt) / (best metric of the gt) at the gt's class.

    Returns (fg_mask (B, A) bool, matched_gt (B, A) int64 (0 at negatives),
    target_boxes (B, A, 4) float32, target_scores (B, A, nc) float32 (0 at
    negatives), ignore_mask (B, A) bool: non-positive anchors whose centre lies
    inside an ignore region)."""
    return torch.ops.halcyra.assign(*_operands(
        scores, pred_boxes, points, gt_boxes, gt_cls, gt_valid, gt_ignore, topk, alpha, beta,
        strides, target_floor, rescue))


def _assign_dense(scores, pred_boxes, points, gt_boxes, gt_cls, gt_valid, gt_ignore, *,
                  topk: int = 10, alpha: float = 0.5, beta: float = 6.0, strides=None,
                  target_floor: float = 0.0, rescue: bool = False):
    """assign() through its whole-tensor formulation on any device."""
    return torch.ops.halcyra._assign_dense(*_operands(
        scores, pred_boxes, points, gt_boxes, gt_cls, gt_valid, gt_ignore, topk, alpha, beta,
        strides, target_floor, rescue))
