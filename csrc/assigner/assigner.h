// Task-aligned label assignment for the dense detector: numerics only, no
// Python objects.
#pragma once

#include <ATen/ATen.h>

namespace halcyra {
namespace assigner {

struct Options {
  int64_t topk = 10;          // candidates per ground truth
  double alpha = 0.5;         // exponent of the class score in the metric
  double beta = 6.0;          // exponent of the IoU in the metric
  double target_floor = 0.0;  // lower bound of the soft target at positives
  bool rescue = false;        // nearest-anchor rescue of starving ground truths
  bool dense = false;         // use the whole-tensor formulation on the CPU too
};

struct Result {
  at::Tensor fg_mask;        // (B, A) bool
  at::Tensor matched_gt;     // (B, A) int64, 0 at negatives
  at::Tensor target_boxes;   // (B, A, 4) float32
  at::Tensor target_scores;  // (B, A, nc) float32
  at::Tensor ignore_mask;    // (B, A) bool, never true at a positive
};

// The size checks of assign(), with its messages; on symbolic sizes too (the
// operator's fake kernel runs them while the compiler traces).
void check_sizes(const at::Tensor& scores, const at::Tensor& pred_boxes,
                 const at::Tensor& points, const at::Tensor& gt_boxes,
                 const at::Tensor& strides);

// scores (B, A, nc) probabilities; pred_boxes (B, A, 4) xyxy; points (A, 2);
// gt_boxes (B, G, 4) xyxy; gt_cls (B, G) integer; gt_valid (B, G);
// gt_ignore (B, G) or undefined; strides (A,) or undefined.
// Runs without gradient recording.
Result assign(const at::Tensor& scores, const at::Tensor& pred_boxes,
              const at::Tensor& points, const at::Tensor& gt_boxes,
              const at::Tensor& gt_cls, const at::Tensor& gt_valid,
              const at::Tensor& gt_ignore, const at::Tensor& strides,
              const Options& opt);

}  // namespace assigner
}  // namespace halcyra
