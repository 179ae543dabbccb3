// halcyra::assign as a dispatcher operator: its schema, its kernels and its
// fake kernel. The module's functions call it (eagerly and while a compiler
// traces), so an assignment stays inside a compiled graph.
//
//   CompositeExplicitAutograd   every device: assigner::assign, which takes
//                               the fused loop for CPU tensors and the
//                               whole-tensor formulation elsewhere
//   Autograd                    no gradient: the kernel runs below autograd
//                               (as the function runs under no_grad), so no
//                               result requires grad
//   Meta                        sizes and dtypes of the results, after the
//                               size checks of the kernel (symbolic sizes too)
//
// halcyra::_assign_dense, with the same schema and the same kernels, always
// takes the whole-tensor formulation: the CPU runs what other devices run, so
// that the two paths can be compared.
#include <ATen/ATen.h>
#include <ATen/core/dispatch/Dispatcher.h>
#include <torch/library.h>

#include "assigner.h"

namespace halcyra {
namespace assigner {
namespace {

using Results = std::tuple<at::Tensor, at::Tensor, at::Tensor, at::Tensor, at::Tensor>;

template <bool kDense>
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
  opt.dense = kDense;
  Result r = assign(scores, pred_boxes, points, gt_boxes, gt_cls, gt_valid,
                    gt_ignore.value_or(at::Tensor()), strides.value_or(at::Tensor()), opt);
  return {r.fg_mask, r.matched_gt, r.target_boxes, r.target_scores, r.ignore_mask};
}

template <bool kDense>
Results assign_autograd(const at::Tensor& scores, const at::Tensor& pred_boxes,
                        const at::Tensor& points, const at::Tensor& gt_boxes,
                        const at::Tensor& gt_cls, const at::Tensor& gt_valid,
                        const c10::optional<at::Tensor>& gt_ignore, int64_t topk, double alpha,
                        double beta, const c10::optional<at::Tensor>& strides,
                        double target_floor, bool rescue) {
  static const auto op =
      c10::Dispatcher::singleton()
          .findSchemaOrThrow(kDense ? "halcyra::_assign_dense" : "halcyra::assign", "")
          .typed<decltype(assign_kernel<kDense>)>();
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
  m.def(
      "_assign_dense(Tensor scores, Tensor pred_boxes, Tensor points, Tensor gt_boxes, "
      "Tensor gt_cls, Tensor gt_valid, Tensor? gt_ignore, int topk, float alpha, float beta, "
      "Tensor? strides, float target_floor, bool rescue) -> (Tensor, Tensor, Tensor, Tensor, Tensor)");
}

TORCH_LIBRARY_IMPL(halcyra, CompositeExplicitAutograd, m) {
  using namespace halcyra::assigner;
  m.impl("assign", TORCH_FN(assign_kernel<false>));
  m.impl("_assign_dense", TORCH_FN(assign_kernel<true>));
}

TORCH_LIBRARY_IMPL(halcyra, Autograd, m) {
  using namespace halcyra::assigner;
  m.impl("assign", TORCH_FN(assign_autograd<false>));
  m.impl("_assign_dense", TORCH_FN(assign_autograd<true>));
}

TORCH_LIBRARY_IMPL(halcyra, Meta, m) {
  using namespace halcyra::assigner;
  m.impl("assign", TORCH_FN(assign_meta));
  m.impl("_assign_dense", TORCH_FN(assign_meta));
}
