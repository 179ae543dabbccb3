// The per-task losses of MultiTaskCriterion as dispatcher operators: what
// _kpt_loss, _pline_loss and _tag_loss call while torch.compile traces them,
// and the box loss, which the traced forward calls.
// Each takes the whole batch's tensors and selects its instances inside, so
// that no data-dependent size leaves it, and returns its losses with `any`, a
// bool scalar saying whether any instance was selected (the method then
// returns its graph-connected zero instead, as eager mode does).
//
//   <task>_loss        CompositeExplicitAutograd: the losses (any device);
//                      Meta: scalar results
//                      Autograd: where the differentiable input (argument 0)
//                      needs a gradient, runs <task>_loss_grad below autograd
//                      and keeps d loss / d input for the backward pass, which
//                      is one multiplication per loss; otherwise runs the
//                      kernel below autograd
//   <task>_loss_grad   the losses, `any`, then d loss / d input per loss,
//                      computed in the kernel by autograd over the same
//                      operations (any device); Autograd: runs below autograd;
//                      Meta: scalars and gradients of the input's shape
//
// The gradients are exact: the kernel differentiates the very operations the
// eager method differentiates, so a compiled step and an eager step agree.
#include <ATen/ATen.h>
#include <ATen/core/dispatch/Dispatcher.h>
#include <c10/core/impl/LocalDispatchKeySet.h>
#include <torch/csrc/autograd/autograd.h>
#include <torch/csrc/autograd/custom_function.h>
#include <torch/library.h>

#include <functional>
#include <tuple>
#include <utility>

#include "core.h"
#include "tasks.h"

namespace halcyra {
namespace losses {
namespace {

using torch::autograd::AutogradContext;
using torch::autograd::variable_list;
using Losses = std::function<std::vector<at::Tensor>(const at::Tensor&)>;

// ---- shared machinery ------------------------------------------------------

// `fn(x)` returns the losses, then `any`. Returns them (losses detached)
// followed by d loss_i / d x for each loss (zeros where a loss does not
// depend on x), computed by autograd on a leaf copy of x. Runs wherever the
// dispatcher put us, autograd keys excluded or not.
std::vector<at::Tensor> losses_and_grads(const at::Tensor& x, const Losses& fn) {
  c10::impl::LocalDispatchKeySet keys = c10::impl::tls_local_dispatch_key_set();
  keys.excluded_ = keys.excluded_ - c10::autograd_dispatch_keyset_with_ADInplaceOrView;
  c10::impl::ForceDispatchKeyGuard with_autograd(keys);
  at::AutoGradMode grad_on(true);
  const at::Tensor leaf = x.detach().requires_grad_(true);
  const std::vector<at::Tensor> r = fn(leaf);
  const size_t n = r.size() - 1;
  std::vector<at::Tensor> out;
  out.reserve(2 * n + 1);
  for (size_t i = 0; i < n; ++i) out.push_back(r[i].detach());
  out.push_back(r[n]);
  for (size_t i = 0; i < n; ++i) {
    at::Tensor g;
    if (r[i].requires_grad())
      g = torch::autograd::grad({r[i]}, {leaf}, {}, /*retain_graph=*/true, /*create_graph=*/false,
                                /*allow_unused=*/true)[0];
    out.push_back(g.defined() ? g : at::zeros_like(x));
  }
  return out;
}

// The losses through a node whose backward multiplies the kept gradients.
// `with_grad(x)` runs the _grad operator below autograd.
struct KeptGradient : torch::autograd::Function<KeptGradient> {
  static variable_list forward(AutogradContext* ctx, const at::Tensor& x, int64_t n,
                               const Losses* with_grad) {
    at::AutoDispatchBelowADInplaceOrView below;
    std::vector<at::Tensor> r = (*with_grad)(x);
    ctx->save_for_backward(variable_list(r.begin() + n + 1, r.end()));
    ctx->mark_non_differentiable({r[n]});
    return variable_list(r.begin(), r.begin() + n + 1);
  }
  static variable_list backward(AutogradContext* ctx, variable_list grad) {
    const variable_list kept = ctx->get_saved_variables();
    at::Tensor gx;
    for (size_t i = 0; i < kept.size(); ++i) {
      if (!grad[i].defined()) continue;
      at::Tensor term = kept[i] * grad[i];
      gx = gx.defined() ? gx + term : term;
    }
    return {gx, at::Tensor(), at::Tensor()};
  }
};

bool needs_grad(const at::Tensor& x) { return at::GradMode::is_enabled() && x.requires_grad(); }

// The losses and `any` for none selected: zeros (the method returns its own
// zero then).
std::vector<at::Tensor> nothing(const at::Tensor& x, size_t n) {
  std::vector<at::Tensor> r;
  for (size_t i = 0; i < n; ++i) r.push_back(at::zeros({}, x.options().dtype(at::kFloat)));
  r.push_back(at::zeros({}, x.options().dtype(at::kBool)));
  return r;
}

std::vector<at::Tensor> some(std::vector<at::Tensor> losses, const at::Tensor& x) {
  losses.push_back(at::ones({}, x.options().dtype(at::kBool)));
  return losses;
}

// ---- the three tasks ---------------------------------------------------------

std::vector<at::Tensor> tag_losses(const at::Tensor& logits, const at::Tensor& has_tags,
                                   const at::Tensor& gt_tags) {
  const at::Tensor idx = tasks::selected(has_tags);
  if (idx.numel() == 0) return nothing(logits, 1);
  return some({tasks::bce_mean(logits.index({idx}), gt_tags.index({idx}).to(at::kFloat))}, logits);
}

std::vector<at::Tensor> pline_losses(const at::Tensor& decoded, const at::Tensor& strides,
                                     const at::Tensor& fg_b, const at::Tensor& fg_a,
                                     const at::Tensor& fg_g, const at::Tensor& valid,
                                     const at::Tensor& has, const at::Tensor& gt_plines) {
  const at::Tensor idx = tasks::selected(tasks::availability(valid, has, fg_b, fg_g));
  if (idx.numel() == 0) return nothing(decoded, 1);
  at::Tensor b = fg_b.index({idx}), a = fg_a.index({idx}), g = fg_g.index({idx});
  return some({tasks::pline_selected(decoded, strides, b, a, g, gt_plines)}, decoded);
}

std::vector<at::Tensor> kpt_task_losses(const at::Tensor& raw, const at::Tensor& points,
                                        const at::Tensor& strides, const at::Tensor& fg_b,
                                        const at::Tensor& fg_a, const at::Tensor& fg_g,
                                        const at::Tensor& valid, const at::Tensor& has,
                                        const at::Tensor& gt_kpts, const at::Tensor& gt_boxes,
                                        const at::Tensor& gt_cls, const at::Tensor& sigmas,
                                        int64_t k, double eps) {
  const at::Tensor idx = tasks::selected(tasks::availability(valid, has, fg_b, fg_g));
  if (idx.numel() == 0) return nothing(raw, 2);
  at::Tensor b = fg_b.index({idx}), a = fg_a.index({idx}), g = fg_g.index({idx});
  auto res = tasks::kpt_selected(raw, points, strides, b, a, g, gt_kpts, gt_boxes, gt_cls,
                                 sigmas, k, eps);
  return some({res.first, res.second}, raw);
}

// The CIoU box loss over the positives of fg_mask (B, A): their predicted and
// target boxes (B, A, 4) and box weights (target_scores summed over classes).
std::vector<at::Tensor> box_losses(const at::Tensor& pred_boxes, const at::Tensor& target_boxes,
                                   const at::Tensor& target_scores, const at::Tensor& fg_mask,
                                   const at::Tensor& norm, double floor) {
  TORCH_CHECK(fg_mask.dim() == 2, "box_loss(): fg_mask must be (B, A), got ", fg_mask.sizes());
  const Positives p = positives(fg_mask);
  if (p.n == 0) return nothing(pred_boxes, 1);
  const at::Tensor w_box = gather_rows(target_scores, p).sum(-1);
  const at::Tensor iou = ciou(gather_rows(pred_boxes, p), gather_rows(target_boxes, p));
  return some({box_loss(iou, w_box, floor, norm)}, pred_boxes);
}

// ---- kernels -----------------------------------------------------------------

using T1 = std::tuple<at::Tensor, at::Tensor>;
using T1g = std::tuple<at::Tensor, at::Tensor, at::Tensor>;
using T2 = std::tuple<at::Tensor, at::Tensor, at::Tensor>;
using T2g = std::tuple<at::Tensor, at::Tensor, at::Tensor, at::Tensor, at::Tensor>;

template <class Tuple, size_t... I>
Tuple to_tuple(const std::vector<at::Tensor>& r, std::index_sequence<I...>) {
  return Tuple{r[I]...};
}

template <class Tuple>
Tuple to_tuple(const std::vector<at::Tensor>& r) {
  return to_tuple<Tuple>(r, std::make_index_sequence<std::tuple_size<Tuple>::value>());
}

template <class... T>
std::vector<at::Tensor> to_vector(const std::tuple<T...>& t) {
  return std::apply([](const auto&... x) { return std::vector<at::Tensor>{x...}; }, t);
}

template <class F>
c10::TypedOperatorHandle<F> find_op(const char* name) {
  return c10::Dispatcher::singleton().findSchemaOrThrow(name, "").typed<F>();
}

// The Autograd kernel of a loss operator over x (its argument 0) and `rest`:
// the operator itself below autograd where x needs no gradient, otherwise its
// _grad companion below autograd through KeptGradient.
template <class Plain, class Grad, class... Rest>
typename c10::guts::function_traits<Plain>::return_type loss_autograd(
    const c10::TypedOperatorHandle<Plain>& plain, const c10::TypedOperatorHandle<Grad>& grad,
    const at::Tensor& x, const Rest&... rest) {
  using Out = typename c10::guts::function_traits<Plain>::return_type;
  if (!needs_grad(x)) {
    at::AutoDispatchBelowADInplaceOrView below;
    return plain.call(x, rest...);
  }
  const Losses call = [&](const at::Tensor& y) { return to_vector(grad.call(y, rest...)); };
  return to_tuple<Out>(KeptGradient::apply(x, std::tuple_size<Out>::value - 1, &call));
}

// The Autograd kernel of a _grad companion: below autograd.
template <class Grad, class... Args>
typename c10::guts::function_traits<Grad>::return_type below_autograd(
    const c10::TypedOperatorHandle<Grad>& grad, const Args&... args) {
  at::AutoDispatchBelowADInplaceOrView below;
  return grad.call(args...);
}

// tag_loss(logits, has_tags, gt_tags)

T1 tag_kernel(const at::Tensor& logits, const at::Tensor& has, const at::Tensor& gt) {
  return to_tuple<T1>(tag_losses(logits, has, gt));
}

T1g tag_grad_kernel(const at::Tensor& logits, const at::Tensor& has, const at::Tensor& gt) {
  return to_tuple<T1g>(
      losses_and_grads(logits, [&](const at::Tensor& x) { return tag_losses(x, has, gt); }));
}

const auto& tag_grad_op() {
  static const auto op = find_op<decltype(tag_grad_kernel)>("halcyra::tag_loss_grad");
  return op;
}

T1 tag_autograd(const at::Tensor& logits, const at::Tensor& has, const at::Tensor& gt) {
  static const auto op = find_op<decltype(tag_kernel)>("halcyra::tag_loss");
  return loss_autograd(op, tag_grad_op(), logits, has, gt);
}

T1g tag_grad_autograd(const at::Tensor& logits, const at::Tensor& has, const at::Tensor& gt) {
  return below_autograd(tag_grad_op(), logits, has, gt);
}

T1 tag_meta(const at::Tensor& logits, const at::Tensor&, const at::Tensor&) {
  auto o = logits.options();
  return {at::empty({}, o.dtype(at::kFloat)), at::empty({}, o.dtype(at::kBool))};
}

T1g tag_grad_meta(const at::Tensor& logits, const at::Tensor& has, const at::Tensor& gt) {
  auto r = tag_meta(logits, has, gt);
  return {std::get<0>(r), std::get<1>(r), at::empty_like(logits)};
}

// pline_loss(decoded, strides, fg_b, fg_a, fg_g, pline_valid, has_polyline, gt_plines)

#define PLINE_PARAMS                                                                    \
  const at::Tensor &decoded, const at::Tensor &strides, const at::Tensor &fg_b,        \
      const at::Tensor &fg_a, const at::Tensor &fg_g, const at::Tensor &valid,         \
      const at::Tensor &has, const at::Tensor &gt
#define PLINE_REST strides, fg_b, fg_a, fg_g, valid, has, gt

T1 pline_kernel(PLINE_PARAMS) { return to_tuple<T1>(pline_losses(decoded, PLINE_REST)); }

T1g pline_grad_kernel(PLINE_PARAMS) {
  return to_tuple<T1g>(losses_and_grads(
      decoded, [&](const at::Tensor& x) { return pline_losses(x, PLINE_REST); }));
}

const auto& pline_grad_op() {
  static const auto op = find_op<decltype(pline_grad_kernel)>("halcyra::pline_loss_grad");
  return op;
}

T1 pline_autograd(PLINE_PARAMS) {
  static const auto op = find_op<decltype(pline_kernel)>("halcyra::pline_loss");
  return loss_autograd(op, pline_grad_op(), decoded, PLINE_REST);
}

T1g pline_grad_autograd(PLINE_PARAMS) { return below_autograd(pline_grad_op(), decoded, PLINE_REST); }

T1 pline_meta(PLINE_PARAMS) { return tag_meta(decoded, decoded, decoded); }

T1g pline_grad_meta(PLINE_PARAMS) { return tag_grad_meta(decoded, decoded, decoded); }

// kpt_loss(raw, points, strides, fg_b, fg_a, fg_g, kpt_valid, has_keypoint,
//          gt_kpts, gt_boxes, gt_cls, sigmas, num_kpts, eps)

#define KPT_PARAMS                                                                      \
  const at::Tensor &raw, const at::Tensor &points, const at::Tensor &strides,           \
      const at::Tensor &fg_b, const at::Tensor &fg_a, const at::Tensor &fg_g,           \
      const at::Tensor &valid, const at::Tensor &has, const at::Tensor &gt_kpts,        \
      const at::Tensor &gt_boxes, const at::Tensor &gt_cls, const at::Tensor &sigmas,   \
      int64_t k, double eps
#define KPT_REST \
  points, strides, fg_b, fg_a, fg_g, valid, has, gt_kpts, gt_boxes, gt_cls, sigmas, k, eps

T2 kpt_kernel(KPT_PARAMS) { return to_tuple<T2>(kpt_task_losses(raw, KPT_REST)); }

T2g kpt_grad_kernel(KPT_PARAMS) {
  return to_tuple<T2g>(
      losses_and_grads(raw, [&](const at::Tensor& x) { return kpt_task_losses(x, KPT_REST); }));
}

const auto& kpt_grad_op() {
  static const auto op = find_op<decltype(kpt_grad_kernel)>("halcyra::kpt_loss_grad");
  return op;
}

T2 kpt_autograd(KPT_PARAMS) {
  static const auto op = find_op<decltype(kpt_kernel)>("halcyra::kpt_loss");
  return loss_autograd(op, kpt_grad_op(), raw, KPT_REST);
}

T2g kpt_grad_autograd(KPT_PARAMS) { return below_autograd(kpt_grad_op(), raw, KPT_REST); }

T2 kpt_meta(KPT_PARAMS) {
  auto o = raw.options();
  return {at::empty({}, o.dtype(at::kFloat)), at::empty({}, o.dtype(at::kFloat)),
          at::empty({}, o.dtype(at::kBool))};
}

T2g kpt_grad_meta(KPT_PARAMS) {
  auto r = kpt_meta(raw, KPT_REST);
  return {std::get<0>(r), std::get<1>(r), std::get<2>(r), at::empty_like(raw),
          at::empty_like(raw)};
}

// box_loss(pred_boxes, target_boxes, target_scores, fg_mask, norm, w_box_floor)

#define BOX_PARAMS \
  const at::Tensor &pred_boxes, const at::Tensor &target_boxes, const at::Tensor &target_scores, \
      const at::Tensor &fg_mask, const at::Tensor &norm, double floor
#define BOX_REST target_boxes, target_scores, fg_mask, norm, floor

T1 box_kernel(BOX_PARAMS) { return to_tuple<T1>(box_losses(pred_boxes, BOX_REST)); }

T1g box_grad_kernel(BOX_PARAMS) {
  return to_tuple<T1g>(losses_and_grads(
      pred_boxes, [&](const at::Tensor& x) { return box_losses(x, BOX_REST); }));
}

const auto& box_grad_op() {
  static const auto op = find_op<decltype(box_grad_kernel)>("halcyra::box_loss_grad");
  return op;
}

T1 box_autograd(BOX_PARAMS) {
  static const auto op = find_op<decltype(box_kernel)>("halcyra::box_loss");
  return loss_autograd(op, box_grad_op(), pred_boxes, BOX_REST);
}

T1g box_grad_autograd(BOX_PARAMS) { return below_autograd(box_grad_op(), pred_boxes, BOX_REST); }

T1 box_meta(BOX_PARAMS) { return tag_meta(pred_boxes, pred_boxes, pred_boxes); }

T1g box_grad_meta(BOX_PARAMS) { return tag_grad_meta(pred_boxes, pred_boxes, pred_boxes); }

}  // namespace
}  // namespace losses
}  // namespace halcyra

TORCH_LIBRARY_FRAGMENT(halcyra, m) {
  m.def("tag_loss(Tensor logits, Tensor has_tags, Tensor gt_tags) -> (Tensor, Tensor)");
  m.def("tag_loss_grad(Tensor logits, Tensor has_tags, Tensor gt_tags) "
        "-> (Tensor, Tensor, Tensor)");
  m.def("pline_loss(Tensor decoded, Tensor strides, Tensor fg_b, Tensor fg_a, Tensor fg_g, "
        "Tensor pline_valid, Tensor has_polyline, Tensor gt_plines) -> (Tensor, Tensor)");
  m.def("pline_loss_grad(Tensor decoded, Tensor strides, Tensor fg_b, Tensor fg_a, "
        "Tensor fg_g, Tensor pline_valid, Tensor has_polyline, Tensor gt_plines) "
        "-> (Tensor, Tensor, Tensor)");
  m.def("kpt_loss(Tensor raw, Tensor points, Tensor strides, Tensor fg_b, Tensor fg_a, "
        "Tensor fg_g, Tensor kpt_valid, Tensor has_keypoint, Tensor gt_kpts, Tensor gt_boxes, "
        "Tensor gt_cls, Tensor sigmas, int num_kpts, float eps) -> (Tensor, Tensor, Tensor)");
  m.def("kpt_loss_grad(Tensor raw, Tensor points, Tensor strides, Tensor fg_b, Tensor fg_a, "
        "Tensor fg_g, Tensor kpt_valid, Tensor has_keypoint, Tensor gt_kpts, Tensor gt_boxes, "
        "Tensor gt_cls, Tensor sigmas, int num_kpts, float eps) "
        "-> (Tensor, Tensor, Tensor, Tensor, Tensor)");
  m.def("box_loss(Tensor pred_boxes, Tensor target_boxes, Tensor target_scores, "
        "Tensor fg_mask, Tensor norm, float w_box_floor) -> (Tensor, Tensor)");
  m.def("box_loss_grad(Tensor pred_boxes, Tensor target_boxes, Tensor target_scores, "
        "Tensor fg_mask, Tensor norm, float w_box_floor) -> (Tensor, Tensor, Tensor)");
}

#define HALCYRA_TASK_OPS(KEY, SUFFIX)                                                   \
  TORCH_LIBRARY_IMPL(halcyra, KEY, m) {                                                 \
    using namespace halcyra::losses;                                                    \
    m.impl("tag_loss", TORCH_FN(tag_##SUFFIX));                                         \
    m.impl("tag_loss_grad", TORCH_FN(tag_grad_##SUFFIX));                               \
    m.impl("pline_loss", TORCH_FN(pline_##SUFFIX));                                     \
    m.impl("pline_loss_grad", TORCH_FN(pline_grad_##SUFFIX));                           \
    m.impl("kpt_loss", TORCH_FN(kpt_##SUFFIX));                                         \
    m.impl("kpt_loss_grad", TORCH_FN(kpt_grad_##SUFFIX));                               \
    m.impl("box_loss", TORCH_FN(box_##SUFFIX));                                         \
    m.impl("box_loss_grad", TORCH_FN(box_grad_##SUFFIX));                               \
  }
HALCYRA_TASK_OPS(CompositeExplicitAutograd, kernel)
HALCYRA_TASK_OPS(Autograd, autograd)
HALCYRA_TASK_OPS(Meta, meta)
