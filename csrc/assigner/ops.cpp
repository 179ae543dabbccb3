// halcyra::assign as a dispatcher operator: its schema, its kernels and its
// fake kernel. The Python function calls it while torch.compile traces, so
// an assignment stays inside the compiled graph.
//
//   CompositeExplicitAutograd   every device: assigner::assign, which takes
//                               the fused loop for CPU tensors and the
//                               whole-tensor formulation elsewhere
//   Autograd                    no gradient: the kernel runs below autograd
//                               (as the function runs under no_grad), so no
//                               result requires grad
//   Meta                        sizes and dtypes of the results, after the
//                               size checks of the kernel (symbolic sizes too)
#include <ATen/ATen.h>
#include <ATen/core/dispatch/Dispatcher.h>
#include <torch/library.h>

#include "assigner.h"

namespace halcyra {
namespace assigner {
namespace {

using Results = std::tuple<at::Tensor, at::Tensor, at::Tensor, at::Tensor, at::Tensor>;

Results assign_kernel(const at::Tensor& scores, const at::Tensor& pred_boxes,
                      const at::Tensor& points, const at::Tensor& gt_boxes,
                      const at::Tensor& gt_cls, const at::Tensor& gt_valid,
                      const c10::optional<at::Tensor>& gt_ignore, int64_t topk, double alpha,
                      double beta, const c10::optional<at::Tensor>& strides,
                      double target_floor, bool rescue) {
  Options opt;
  opt.topk = topk;
  opt.alpha = alpha;
  opt.beta = beta;
  opt.target_floor = target_floor;
  opt.rescue = rescue;
  Result r = assign(scores, pred_boxes, points, gt_boxes, gt_cls, gt_valid,
                    gt_ignore.value_or(at::Tensor()), strides.value_or(at::Tensor()), opt);
  return {r.fg_mask, r.matched_gt, r.target_boxes, r.target_scores, r.ignore_mask};
}

Results assign_autograd(const at::Tensor& scores, const at::Tensor& pred_boxes,
                        const at::Tensor& points, const at::Tensor& gt_boxes,
                        const at::Tensor& gt_cls, const at::Tensor& gt_valid,
                        const c10::optional<at::Tensor>& gt_ignore, int64_t topk, double alpha,
                        double beta, const c10::optional<at::Tensor>& strides,
                        double target_floor, bool rescue) {
  static const auto op = c10::Dispatcher::singleton()
                             .findSchemaOrThrow("halcyra::assign", "")
                             .typed<decltype(assign_kernel)>();
  at::AutoDispatchBelowADInplaceOrView below;
  return op.call(scores, pred_boxes, points, gt_boxes, gt_cls, gt_valid, gt_ignore, topk, alpha,
                 beta, strides, target_floor, rescue);
}

Results assign_meta(const at::Tensor& scores, const at::Tensor& pred_boxes,
                    const at::Tensor& points, const at::Tensor& gt_boxes,
                    const at::Tensor& gt_cls, const at::Tensor& gt_valid,
                    const c10::optional<at::Tensor>& gt_ignore, int64_t, double, double,
                    const c10::optional<at::Tensor>& strides, double, bool) {
  (void)gt_cls;
  (void)gt_valid;
  (void)gt_ignore;
  check_sizes(scores, pred_boxes, points, gt_boxes, strides.value_or(at::Tensor()));
  const c10::SymInt B = scores.sym_size(0), A = scores.sym_size(1), nc = scores.sym_size(2);
  auto f32 = scores.options().dtype(at::kFloat);
  return {at::empty_symint({B, A}, f32.dtype(at::kBool)),
          at::empty_symint({B, A}, f32.dtype(at::kLong)), at::empty_symint({B, A, 4}, f32),
          at::empty_symint({B, A, nc}, f32), at::empty_symint({B, A}, f32.dtype(at::kBool))};
}

}  // namespace
}  // namespace assigner
}  // namespace halcyra

TORCH_LIBRARY_FRAGMENT(halcyra, m) {
  m.def(
      "assign(Tensor scores, Tensor pred_boxes, Tensor points, Tensor gt_boxes, Tensor gt_cls, "
      "Tensor gt_valid, Tensor? gt_ignore, int topk, float alpha, float beta, Tensor? strides, "
      "float target_floor, bool rescue) -> (Tensor, Tensor, Tensor, Tensor, Tensor)");
}

TORCH_LIBRARY_IMPL(halcyra, CompositeExplicitAutograd, m) {
  m.impl("assign", TORCH_FN(halcyra::assigner::assign_kernel));
}

TORCH_LIBRARY_IMPL(halcyra, Autograd, m) {
  m.impl("assign", TORCH_FN(halcyra::assigner::assign_autograd));
}

TORCH_LIBRARY_IMPL(halcyra, Meta, m) {
  m.impl("assign", TORCH_FN(halcyra::assigner::assign_meta));
}
