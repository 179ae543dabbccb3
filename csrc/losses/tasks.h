// Per-task losses of MultiTaskCriterion: masks (prototypes and refine ROIs),
// keypoints, polylines and tags, plus the ROI jitter used by the refine loss.
// Plain ATen, no Python objects; their Python side is binding.h's.
#pragma once
#include <ATen/ATen.h>

#include <utility>

namespace halcyra { namespace losses {

// ---- numerics (plain ATen, no Python objects), tasks_kernels.cpp ----------
namespace tasks {

// A plain number or a tensor operand, combined with tensors as Python's
// arithmetic operators would combine them.
struct Num {
  at::Scalar s;
  at::Tensor t;  // defined: use the tensor
  at::Tensor mul(const at::Tensor& x) const { return t.defined() ? t * x : x * s; }
};

// ROI jitter: per box a random scale of the sides (1 + scale * r) and a shift
// of the centre by shift * side * r, r uniform in [-1, 1) from torch.rand.
at::Tensor jitter_rois(const at::Tensor& boxes, const Num& scale, const Num& shift);

// In-box crops on the prototype grid for boxes (N, 4) already divided by the
// mask stride: (N, 4) int64 [x1, y1, x2, y2), x1 = trunc(clamp(x1, 0, wm - 1)),
// x2 = trunc(clamp(x2, x1 + 1, wm)), likewise in y. Never empty.
at::Tensor crop_bounds(const at::Tensor& boxes, int64_t hm, int64_t wm);

// Sum over instances of each crop's mean binary cross-entropy with logits
// between pm (N, hm, wm) and gt (N, hm, wm) inside its crop (bounds from
// crop_bounds). Differentiable in pm and gt; a fused kernel on the CPU.
at::Tensor crop_bce_sum(const at::Tensor& pm, const at::Tensor& gt, const at::Tensor& bounds);

// The same sum with the logits made inside the crops only: instance j's logit
// at a pixel is rows[j] . protos[image[j], :, y, x]. rows (N, P) and protos
// (B, P, hm, wm) float32 on the CPU, image (N,) int64 valid indices into B,
// gt (N, hm, wm) of any real dtype (converted to float32). Differentiable in
// rows and protos; gt is a constant.
at::Tensor proto_crop_bce_sum(const at::Tensor& rows, const at::Tensor& protos,
                              const at::Tensor& image, const at::Tensor& gt,
                              const at::Tensor& bounds);

// Same value as crop_bce_sum through whole-map ATen operations (every device).
at::Tensor crop_bce_sum_aten(const at::Tensor& pm, const at::Tensor& gt,
                             const at::Tensor& bounds);

// OKS-based keypoint location loss and visibility loss of the selected
// instances: r (n, K, 3) raw, pts (n, 2) anchor points, strides (n,),
// gt (n, K, 3), gt_box (n, 4), sigmas (n, K).
std::pair<at::Tensor, at::Tensor> kpt_losses(const at::Tensor& r, const at::Tensor& pts,
                                             const at::Tensor& strides, const at::Tensor& gt,
                                             const at::Tensor& gt_box, const at::Tensor& sigmas,
                                             double eps);

// Direction-free polyline loss: q and gt (n, N, 2) in pixels, s (n,) strides.
at::Tensor pline_loss(const at::Tensor& q, const at::Tensor& gt, const at::Tensor& s);

// F.binary_cross_entropy_with_logits(input, target) with its mean reduction
// and its ValueError (c10::ValueError) for differing sizes.
at::Tensor bce_mean(const at::Tensor& input, const at::Tensor& target);

// ---- selection of a task's instances (any device) ----------------------------

// flag_valid[fg_b, fg_g] & has_flag[fg_b] per foreground anchor; an empty bool
// tensor when there is no foreground anchor (the flags are then not read).
at::Tensor availability(const at::Tensor& valid, const at::Tensor& has, const at::Tensor& fg_b,
                        const at::Tensor& fg_g);

// Flat positions of the true entries of a mask, ascending (one device
// synchronisation where the mask is not empty).
at::Tensor selected(const at::Tensor& sel);

// The keypoint losses (location, visibility) of the selected instances: image
// b, anchor a and ground-truth slot g each, raw (B, A, 3 K) float32.
std::pair<at::Tensor, at::Tensor> kpt_selected(
    const at::Tensor& raw, const at::Tensor& points, const at::Tensor& strides,
    const at::Tensor& b, const at::Tensor& a, const at::Tensor& g, const at::Tensor& gt_kpts,
    const at::Tensor& gt_boxes, const at::Tensor& gt_cls, const at::Tensor& sig_table, int64_t k,
    double eps);

// The polyline loss of the selected instances from the decoded points
// (B, A, 2 N).
at::Tensor pline_selected(const at::Tensor& decoded, const at::Tensor& strides,
                          const at::Tensor& b, const at::Tensor& a, const at::Tensor& g,
                          const at::Tensor& gt_plines);

}  // namespace tasks
}}
