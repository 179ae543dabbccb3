// Anchor grid, prediction flattening and box/point decoding: the one
// implementation shared by the heads, the criterion and the postprocess.
#pragma once

#include <ATen/ATen.h>

#include <utility>
#include <vector>

namespace halcyra {
namespace decode {

// One detection level: feature-map size and stride.
struct Level {
  at::Scalar h, w;  // integer (or number, as arange accepts)
  at::Scalar stride;
};

// Points (A, 2) as (x, y) cell centres and the stride of each anchor (A,).
std::pair<at::Tensor, at::Tensor> make_anchors(const std::vector<Level>& levels,
                                               at::TensorOptions opts);

// (B, C, H, W) -> (B, H*W, C), channel-last, row-major anchors.
at::Tensor flatten_preds(const at::Tensor& x);

// xyxy boxes (B, A, 4) from (l, t, r, b) regressions in stride units;
// (x2, y2) is raised to at least (x1, y1) when `offset` is truthy.
//   boxes_cpu          the fused loop where it applies (float32, anchors along
//                      the anchor axis), else the formulation
//   boxes_formulation  tensor operations only: every other device
bool truthy(const at::Scalar& offset);
// Whether boxes_cpu / boxes_backward_cpu take their fused loops.
bool boxes_fused(const at::Tensor& raw, const at::Tensor& points, const at::Tensor& stride,
                 const at::Scalar& offset);
at::Tensor boxes_cpu(const at::Tensor& raw, const at::Tensor& points, const at::Tensor& stride,
                     const at::Scalar& offset);
at::Tensor boxes_formulation(const at::Tensor& raw, const at::Tensor& points,
                             const at::Tensor& stride, const at::Scalar& offset);
// The gradient with respect to raw from the gradient of the boxes; the
// formulation is differentiable (double backward).
at::Tensor boxes_backward_cpu(const at::Tensor& grad, const at::Tensor& raw,
                              const at::Tensor& points, const at::Tensor& stride,
                              const at::Scalar& offset);
at::Tensor boxes_backward_formulation(const at::Tensor& grad, const at::Tensor& raw,
                                      const at::Tensor& points, const at::Tensor& stride,
                                      const at::Scalar& offset);
// The last steps of the formulation from side distances d (B, A, 4) in pixels.
at::Tensor finish_boxes(const at::Tensor& d, const at::Tensor& points, bool apply_max);

// (B, A, 2n) offsets in stride units -> (B, A, n, 2) points in pixels: the
// fused loop where it applies, and the tensor operations it reproduces.
at::Tensor points_cpu(const at::Tensor& raw, const at::Tensor& points, const at::Tensor& stride,
                      int64_t n);
at::Tensor points_ops(const at::Tensor& raw, const at::Tensor& points,
                      const at::Tensor& stride, int64_t n);

}  // namespace decode
}  // namespace halcyra
