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

// xyxy boxes (B, A, 4) from (l, t, r, b) regressions in stride units.
// `offset` is applied when it is truthy (`apply_max`).
at::Tensor decode_boxes(const at::Tensor& raw, const at::Tensor& points,
                        const at::Tensor& stride, const at::Scalar& offset,
                        bool apply_max);
// The last steps of decode_boxes from side distances d (B, A, 4) in pixels.
at::Tensor finish_boxes(const at::Tensor& d, const at::Tensor& points, bool apply_max);

// (B, A, 2n) offsets in stride units -> (B, A, n, 2) points in pixels.
at::Tensor decode_points(const at::Tensor& raw, const at::Tensor& points,
                         const at::Tensor& stride, int64_t n);
// The same as tensor operations only (what the fused path reproduces).
at::Tensor points_ops(const at::Tensor& raw, const at::Tensor& points,
                      const at::Tensor& stride, int64_t n);

}  // namespace decode
}  // namespace halcyra
