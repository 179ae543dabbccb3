// Box arithmetic of the refine head: plain C++ over at::Tensor.
#pragma once

#include <ATen/ATen.h>

namespace halcyra {
namespace refine {

// Boxes (N, 4) xyxy in input pixels made safe for region sampling: corners
// ordered, non-finite values replaced (NaN by 0, infinities by the edges),
// clipped to [0, width] x [0, height] (the feature extent in input pixels), and
// every side widened about its centre to at least min(min_side, extent),
// shifted back inside the extent where widening crosses an edge.
at::Tensor sanitize(const at::Tensor& boxes, double height, double width, double min_side);

// Region rows (N, 5) for roi_align: column 0 the batch index, columns 1..4
// the box scaled by (sx, sy) per axis. Non-finite and huge coordinates are
// replaced by finite ones that stay finite after the sampler multiplies them
// by `sampler_scale` (its spatial_scale), so that it never indexes outside
// its input.
at::Tensor rois(const at::Tensor& boxes, const at::Tensor& batch_index, double sx, double sy,
                double sampler_scale);

// The largest finite value of a floating dtype (infinity for other dtypes).
double largest(at::ScalarType t);

}  // namespace refine
}  // namespace halcyra

namespace halcyra {
namespace refine {

// The size checks of the head's forward pass, on symbolic sizes too:
// f2 (B, C, H2, W2), coarse (N, hm, wm), boxes (N, 4), bidx (N,), stride > 0,
// sampled grids not empty when N > 0, 1 / stride finite in f2's dtype.
// ValueError (c10::ValueError) with the function's own messages.
void check_forward(const at::Tensor& f2, const at::Tensor& coarse, const at::Tensor& boxes,
                   const at::Tensor& bidx, double stride);

// Region rows of both samplings of the forward pass, after check_forward and
// the range check of bidx (one host read when N > 0; IndexError): into f2
// with spatial scale 1 / stride, and into the N coarse maps (region k reads
// map k) with spatial scale 1, both (N, 5) in f2's dtype.
std::pair<at::Tensor, at::Tensor> forward_rois(const at::Tensor& f2, const at::Tensor& coarse,
                                               const at::Tensor& boxes, const at::Tensor& bidx,
                                               double stride);

}  // namespace refine
}  // namespace halcyra
