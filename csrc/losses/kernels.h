// The criterion's fused kernels as their dispatcher operators run them
// (kernel_ops.cpp): per operator a CPU kernel, which takes the fused loop
// where its preconditions hold and the tensor formulation otherwise, and the
// tensor formulation alone, which every other device runs. Backward kernels
// return the gradients `mask` asks for (undefined otherwise).
#pragma once
#include <ATen/ATen.h>

#include <array>
#include <tuple>

namespace halcyra {
namespace losses {
namespace kernels {

using Pair = std::tuple<at::Tensor, at::Tensor>;

// The operators themselves, through the dispatcher (kernel_ops.cpp): what
// losses::cls_loss, tasks::crop_bce_sum and tasks::proto_crop_bce_sum call.
Pair weighted_bce(const at::Tensor& x, const at::Tensor& t, const at::Tensor& aw,
                  const at::Tensor& col, const at::Tensor& s);
at::Tensor crop_bce_sum(const at::Tensor& pm, const at::Tensor& gt, const at::Tensor& bounds);
at::Tensor proto_crop_bce_sum(const at::Tensor& rows, const at::Tensor& protos,
                              const at::Tensor& image, const at::Tensor& gt,
                              const at::Tensor& bounds);

// weighted_bce(x, t, aw, col, s) -> (sum, mass):
//   sum  = sum over (b, a, c) of aw[b, a] * col[b, c] * bce_with_logits(x, t),
//   mass = sum(t * col[:, None]);
// x, t (B, A, nc), aw (B, A), col (B, nc); s is sigmoid(x) as the caller
// has it (the CPU loop reuses it; recomputed where its size differs).
Pair weighted_bce_cpu(const at::Tensor& x, const at::Tensor& t, const at::Tensor& aw,
                      const at::Tensor& col, const at::Tensor& s);
Pair weighted_bce_generic(const at::Tensor& x, const at::Tensor& t, const at::Tensor& aw,
                          const at::Tensor& col, const at::Tensor& s);
// d sum / d x times grad (a scalar).
at::Tensor weighted_bce_backward_cpu(const at::Tensor& grad, const at::Tensor& x,
                                     const at::Tensor& t, const at::Tensor& aw,
                                     const at::Tensor& col, const at::Tensor& s);
at::Tensor weighted_bce_backward_generic(const at::Tensor& grad, const at::Tensor& x,
                                         const at::Tensor& t, const at::Tensor& aw,
                                         const at::Tensor& col, const at::Tensor& s);

// crop_bce_sum(pm, gt, bounds): tasks::crop_bce_sum's value.
at::Tensor crop_bce_cpu(const at::Tensor& pm, const at::Tensor& gt, const at::Tensor& bounds);
at::Tensor crop_bce_generic(const at::Tensor& pm, const at::Tensor& gt, const at::Tensor& bounds);
// (d / d pm, d / d gt) times grad.
Pair crop_bce_backward_cpu(const at::Tensor& grad, const at::Tensor& pm, const at::Tensor& gt,
                           const at::Tensor& bounds, std::array<bool, 2> mask);
Pair crop_bce_backward_generic(const at::Tensor& grad, const at::Tensor& pm,
                               const at::Tensor& gt, const at::Tensor& bounds,
                               std::array<bool, 2> mask);

// proto_crop_bce_sum(rows, protos, image, gt, bounds): tasks::proto_crop_bce_sum's value.
at::Tensor proto_crop_bce_cpu(const at::Tensor& rows, const at::Tensor& protos,
                              const at::Tensor& image, const at::Tensor& gt,
                              const at::Tensor& bounds);
at::Tensor proto_crop_bce_generic(const at::Tensor& rows, const at::Tensor& protos,
                                  const at::Tensor& image, const at::Tensor& gt,
                                  const at::Tensor& bounds);
// (d / d rows, d / d protos) times grad.
Pair proto_crop_bce_backward_cpu(const at::Tensor& grad, const at::Tensor& rows,
                                 const at::Tensor& protos, const at::Tensor& image,
                                 const at::Tensor& gt, const at::Tensor& bounds,
                                 std::array<bool, 2> mask);
Pair proto_crop_bce_backward_generic(const at::Tensor& grad, const at::Tensor& rows,
                                     const at::Tensor& protos, const at::Tensor& image,
                                     const at::Tensor& gt, const at::Tensor& bounds,
                                     std::array<bool, 2> mask);

}  // namespace kernels
}  // namespace losses
}  // namespace halcyra
