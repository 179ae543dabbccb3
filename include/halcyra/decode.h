// Anchor grid, prediction flattening and box/point decoding: the operators
// halcyra.infer.decode's functions call, with the same arguments and results.
#pragma once

#include <ATen/ATen.h>

#include <array>
#include <cstdint>
#include <utility>
#include <vector>

#include "export.h"

namespace halcyra {

// The detection levels' strides, finest first (halcyra.infer.decode.STRIDES).
inline const std::vector<int64_t>& default_strides() {
  static const std::vector<int64_t> strides{8, 16, 32};
  return strides;
}

// One (H, W) per detection level.
using FeatShapes = std::vector<std::array<int64_t, 2>>;

// Anchor points (A, 2), (x, y) cell centres ((j + 0.5) * s, (i + 0.5) * s),
// and the stride of every anchor (A,), level-major then row-major; the walk
// stops at the shorter of feat_shapes and strides. New tensors on every call.
HALCYRA_API std::pair<at::Tensor, at::Tensor> make_anchors(
    const FeatShapes& feat_shapes, const std::vector<int64_t>& strides = default_strides(),
    at::Device device = at::kCPU, at::ScalarType dtype = at::kFloat);

// A head output (B, C, H, W) as (B, H*W, C), channel-last, anchors row-major
// (make_anchors' order). c10::ValueError unless x is 4-dimensional.
HALCYRA_API at::Tensor flatten_preds(const at::Tensor& x);

// (B, A, 4) left/top/right/bottom regressions in stride units to xyxy boxes in
// input pixels: d = (softplus(raw) - offset) * stride, (x1, y1) = points -
// d[..., :2], (x2, y2) = points + d[..., 2:]; with a nonzero offset (x2, y2)
// is raised to at least (x1, y1). Results follow type promotion of the inputs.
HALCYRA_API at::Tensor decode_boxes(const at::Tensor& raw, const at::Tensor& points,
                                    const at::Tensor& stride, double offset = 0.0);

// (B, A, 2n) interleaved x, y offsets in stride units to (B, A, n, 2) points
// in input pixels: raw * stride + anchor point.
HALCYRA_API at::Tensor decode_points(const at::Tensor& raw, const at::Tensor& points,
                                     const at::Tensor& stride, int64_t n);

}  // namespace halcyra
