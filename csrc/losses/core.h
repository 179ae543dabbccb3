// Numerics of the training criterion's detection core: CIoU, Dice, the
// masked classification loss and the CIoU box loss. Plain ATen, no Python.
#pragma once

#include <ATen/ATen.h>

#include <utility>

namespace halcyra {
namespace losses {

constexpr double kEps = 1e-9;

// Complete IoU of aligned box pairs (N, 4) xyxy, float32 whatever the input
// dtype. The aspect trade-off weight is computed without gradient.
at::Tensor ciou(const at::Tensor& box1, const at::Tensor& box2);

// Mean soft Dice loss over instances; dimensions after the first are pixels.
// `eps` is a Scalar or a tensor (exactly one of them is used).
at::Tensor dice_loss(const at::Tensor& logits, const at::Tensor& targets,
                     const at::Scalar& eps, const at::Tensor& eps_t);

// (B, nc) float table: class c is supervised for image b. Polyline classes
// follow has_polyline, every other class has_rect | has_polygon | has_keypoint.
at::Tensor class_availability(const at::Tensor& has_rect, const at::Tensor& has_polygon,
                              const at::Tensor& has_keypoint, const at::Tensor& has_polyline,
                              const at::Tensor& is_polyline_cls);

// Classification loss and its normaliser:
//   norm = max(1, sum(target_scores * col_avail)),
//   cls  = sum(bce(cls_raw, target_scores) * col_avail * (~ignore | fg)) / norm.
// `scores` is sigmoid(cls_raw) as the caller computed it (undefined when it
// has none): the CPU path reuses it for the loss and its gradient.
std::pair<at::Tensor, at::Tensor> cls_loss(const at::Tensor& cls_raw,
                                           const at::Tensor& target_scores,
                                           const at::Tensor& fg_mask,
                                           const at::Tensor& ignore_mask,
                                           const at::Tensor& col_avail,
                                           const at::Tensor& scores);

// Flat row index b * A + a of the positives of `fg_mask` (B, A), with the
// pair (fg_b, fg_a) in row-major order.
struct Positives {
  at::Tensor fg_b, fg_a, flat;
  int64_t n = 0, B = 0, A = 0;
};
Positives positives(const at::Tensor& fg_mask);

// t[fg_b, fg_a]: rows (n, ...) of a (B, A, ...) tensor at the positives.
at::Tensor gather_rows(const at::Tensor& t, const Positives& p);

// Box loss from the CIoU of the positives and their box weights.
// floor > 0: weights clamped to at least floor, divided by their clamped sum;
// otherwise divided by `norm`.
at::Tensor box_loss(const at::Tensor& iou, const at::Tensor& w_box, double floor,
                    const at::Tensor& norm);

}  // namespace losses
}  // namespace halcyra
