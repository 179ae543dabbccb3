// The criterion's fused kernels as dispatcher operators. The C++ entries
// (losses::cls_loss, tasks::crop_bce_sum, tasks::proto_crop_bce_sum) call
// them, eagerly and while the compiler traces alike.
//
//   weighted_bce            CPU: the fused loop (kernels.h), where it applies;
//                           CompositeExplicitAutograd: the tensor formulation
//                           (every other device, and HALCYRA_GENERIC);
//                           Autograd: a node whose backward is the operator
//                           below; Meta: two scalars
//   weighted_bce_backward   CPU / CompositeExplicitAutograd / Meta alike
//   crop_bce_sum, proto_crop_bce_sum and their _backward operators: the same
//                           layout; the backward operators take the mask of
//                           the gradients wanted
//   cls_loss                composite: class availability, anchor weights and
//                           the normalised classification term over
//                           weighted_bce (autograd and shapes from those)
#include <ATen/ATen.h>
#include <ATen/core/dispatch/Dispatcher.h>
#include <torch/csrc/autograd/custom_function.h>
#include <torch/library.h>

#include "core.h"
#include "kernels.h"

namespace halcyra {
namespace losses {
namespace {

using kernels::Pair;
using torch::autograd::AutogradContext;
using torch::autograd::variable_list;

template <class F>
c10::TypedOperatorHandle<F> find_op(const char* name) {
  return c10::Dispatcher::singleton().findSchemaOrThrow(name, "").typed<F>();
}

using T = const at::Tensor&;
using Mask = std::array<bool, 2>;

// Arguments without a gradient formula (targets, weights): a gradient wanted
// for one of them is an error, never a silent zero.
void constants_only(const char* msg, std::initializer_list<const at::Tensor*> ts) {
  for (const at::Tensor* t : ts)
    TORCH_CHECK(!(at::GradMode::is_enabled() && t->requires_grad()), msg);
}

// ---- weighted_bce ------------------------------------------------------------

const auto& wbce_op() {
  static const auto op = find_op<Pair(T, T, T, T, T)>("halcyra::weighted_bce");
  return op;
}
const auto& wbce_backward_op() {
  static const auto op = find_op<at::Tensor(T, T, T, T, T, T)>("halcyra::weighted_bce_backward");
  return op;
}

struct WeightedBce : torch::autograd::Function<WeightedBce> {
  static variable_list forward(AutogradContext* ctx, T x, T t, T aw, T col, T s) {
    at::AutoDispatchBelowADInplaceOrView below;
    at::Tensor sum, mass;
    std::tie(sum, mass) = wbce_op().call(x, t, aw, col, s);
    ctx->save_for_backward({x, t, aw, col, s});
    ctx->mark_non_differentiable({mass});
    return {sum, mass};
  }
  static variable_list backward(AutogradContext* ctx, variable_list grads) {
    const variable_list v = ctx->get_saved_variables();
    at::Tensor gx = grads[0].defined()
                        ? wbce_backward_op().call(grads[0], v[0], v[1], v[2], v[3], v[4])
                        : at::zeros_like(v[0]);
    return {gx, at::Tensor(), at::Tensor(), at::Tensor(), at::Tensor()};
  }
};

Pair wbce_autograd(T x, T t, T aw, T col, T s) {
  constants_only("weighted_bce(): only x is differentiable; t, aw and col must not require grad",
                 {&t, &aw, &col});
  auto r = WeightedBce::apply(x, t, aw, col, s.detach());
  return {r[0], r[1]};
}

at::Tensor wbce_backward_autograd(T g, T x, T t, T aw, T col, T s) {
  at::AutoDispatchBelowADInplaceOrView below;
  return wbce_backward_op().call(g, x, t, aw, col, s);
}

Pair wbce_meta(T x, T, T, T, T) {
  return {at::empty({}, x.options()), at::empty({}, x.options())};
}

at::Tensor wbce_backward_meta(T, T x, T, T, T, T) { return at::empty_like(x); }

// ---- crop_bce_sum --------------------------------------------------------------

const auto& crop_op() {
  static const auto op = find_op<at::Tensor(T, T, T)>("halcyra::crop_bce_sum");
  return op;
}
const auto& crop_backward_op() {
  static const auto op = find_op<Pair(T, T, T, T, Mask)>("halcyra::crop_bce_sum_backward");
  return op;
}

struct CropBce : torch::autograd::Function<CropBce> {
  static at::Tensor forward(AutogradContext* ctx, T pm, T gt, T bounds) {
    at::AutoDispatchBelowADInplaceOrView below;
    ctx->save_for_backward({pm, gt, bounds});
    return crop_op().call(pm, gt, bounds);
  }
  static variable_list backward(AutogradContext* ctx, variable_list grads) {
    const variable_list v = ctx->get_saved_variables();
    const Mask want{ctx->needs_input_grad(0), ctx->needs_input_grad(1)};
    at::Tensor gp, gg;
    if (grads[0].defined() && (want[0] || want[1]))
      std::tie(gp, gg) = crop_backward_op().call(grads[0], v[0], v[1], v[2], want);
    return {gp, gg, at::Tensor()};
  }
};

at::Tensor crop_autograd(T pm, T gt, T bounds) { return CropBce::apply(pm, gt, bounds); }

Pair crop_backward_autograd(T g, T pm, T gt, T bounds, Mask m) {
  at::AutoDispatchBelowADInplaceOrView below;
  return crop_backward_op().call(g, pm, gt, bounds, m);
}

at::Tensor crop_meta(T pm, T, T) { return at::empty({}, pm.options()); }

Pair crop_backward_meta(T, T pm, T gt, T, Mask m) {
  return {m[0] ? at::empty_like(pm) : at::Tensor(), m[1] ? at::empty_like(gt) : at::Tensor()};
}

// ---- proto_crop_bce_sum ----------------------------------------------------------

const auto& proto_op() {
  static const auto op = find_op<at::Tensor(T, T, T, T, T)>("halcyra::proto_crop_bce_sum");
  return op;
}
const auto& proto_backward_op() {
  static const auto op =
      find_op<Pair(T, T, T, T, T, T, Mask)>("halcyra::proto_crop_bce_sum_backward");
  return op;
}

struct ProtoCropBce : torch::autograd::Function<ProtoCropBce> {
  static at::Tensor forward(AutogradContext* ctx, T rows, T protos, T image, T gt, T bounds) {
    at::AutoDispatchBelowADInplaceOrView below;
    ctx->save_for_backward({rows, protos, image, gt, bounds});
    return proto_op().call(rows, protos, image, gt, bounds);
  }
  static variable_list backward(AutogradContext* ctx, variable_list grads) {
    const variable_list v = ctx->get_saved_variables();
    const Mask want{ctx->needs_input_grad(0), ctx->needs_input_grad(1)};
    at::Tensor gr, gp;
    if (grads[0].defined() && (want[0] || want[1]))
      std::tie(gr, gp) = proto_backward_op().call(grads[0], v[0], v[1], v[2], v[3], v[4], want);
    return {gr, gp, at::Tensor(), at::Tensor(), at::Tensor()};
  }
};

at::Tensor proto_autograd(T rows, T protos, T image, T gt, T bounds) {
  constants_only("proto_crop_bce_sum(): gt must not require grad", {&gt});
  return ProtoCropBce::apply(rows, protos, image, gt, bounds);
}

Pair proto_backward_autograd(T g, T rows, T protos, T image, T gt, T bounds, Mask m) {
  at::AutoDispatchBelowADInplaceOrView below;
  return proto_backward_op().call(g, rows, protos, image, gt, bounds, m);
}

at::Tensor proto_meta(T rows, T, T, T, T) { return at::empty({}, rows.options()); }

Pair proto_backward_meta(T, T rows, T protos, T, T, T, Mask m) {
  return {m[0] ? at::empty_like(rows) : at::Tensor(),
          m[1] ? at::empty_like(protos) : at::Tensor()};
}

// ---- cls_loss ----------------------------------------------------------------------

Pair cls_loss_op(T cls_raw, T target_scores, T fg_mask, T ignore_mask, T has_rect, T has_polygon,
                 T has_keypoint, T has_polyline, T is_polyline_cls,
                 const c10::optional<at::Tensor>& scores) {
  const at::Tensor col =
      class_availability(has_rect, has_polygon, has_keypoint, has_polyline, is_polyline_cls);
  auto r = cls_loss(cls_raw, target_scores, fg_mask, ignore_mask, col,
                    scores.has_value() ? *scores : at::Tensor());
  return {r.first, r.second};
}

}  // namespace

namespace kernels {

Pair weighted_bce(T x, T t, T aw, T col, T s) { return wbce_op().call(x, t, aw, col, s); }

at::Tensor crop_bce_sum(T pm, T gt, T bounds) { return crop_op().call(pm, gt, bounds); }

at::Tensor proto_crop_bce_sum(T rows, T protos, T image, T gt, T bounds) {
  return proto_op().call(rows, protos, image, gt, bounds);
}

}  // namespace kernels
}  // namespace losses
}  // namespace halcyra

TORCH_LIBRARY_FRAGMENT(halcyra, m) {
  m.def("weighted_bce(Tensor x, Tensor t, Tensor aw, Tensor col, Tensor s) -> (Tensor, Tensor)");
  m.def("weighted_bce_backward(Tensor grad, Tensor x, Tensor t, Tensor aw, Tensor col, "
        "Tensor s) -> Tensor");
  m.def("crop_bce_sum(Tensor pm, Tensor gt, Tensor bounds) -> Tensor");
  m.def("crop_bce_sum_backward(Tensor grad, Tensor pm, Tensor gt, Tensor bounds, "
        "bool[2] output_mask) -> (Tensor, Tensor)");
  m.def("proto_crop_bce_sum(Tensor rows, Tensor protos, Tensor image, Tensor gt, "
        "Tensor bounds) -> Tensor");
  m.def("proto_crop_bce_sum_backward(Tensor grad, Tensor rows, Tensor protos, Tensor image, "
        "Tensor gt, Tensor bounds, bool[2] output_mask) -> (Tensor, Tensor)");
  m.def("cls_loss(Tensor cls_raw, Tensor target_scores, Tensor fg_mask, Tensor ignore_mask, "
        "Tensor has_rect, Tensor has_polygon, Tensor has_keypoint, Tensor has_polyline, "
        "Tensor is_polyline_cls, Tensor? scores=None) -> (Tensor, Tensor)",
        TORCH_FN(halcyra::losses::cls_loss_op));
}

#define HALCYRA_KERNEL_OPS(KEY, WBCE, WBCE_B, CROP, CROP_B, PROTO, PROTO_B) \
  TORCH_LIBRARY_IMPL(halcyra, KEY, m) {                                  \
    using namespace halcyra::losses;                                     \
    m.impl("weighted_bce", &WBCE);                                      \
    m.impl("weighted_bce_backward", &WBCE_B);                           \
    m.impl("crop_bce_sum", &CROP);                                      \
    m.impl("crop_bce_sum_backward", &CROP_B);                           \
    m.impl("proto_crop_bce_sum", &PROTO);                               \
    m.impl("proto_crop_bce_sum_backward", &PROTO_B);                    \
  }
HALCYRA_KERNEL_OPS(CPU, kernels::weighted_bce_cpu, kernels::weighted_bce_backward_cpu,
                   kernels::crop_bce_cpu, kernels::crop_bce_backward_cpu,
                   kernels::proto_crop_bce_cpu, kernels::proto_crop_bce_backward_cpu)
HALCYRA_KERNEL_OPS(CompositeExplicitAutograd, kernels::weighted_bce_generic,
                   kernels::weighted_bce_backward_generic, kernels::crop_bce_generic,
                   kernels::crop_bce_backward_generic, kernels::proto_crop_bce_generic,
                   kernels::proto_crop_bce_backward_generic)
HALCYRA_KERNEL_OPS(Autograd, wbce_autograd, wbce_backward_autograd, crop_autograd,
                   crop_backward_autograd, proto_autograd, proto_backward_autograd)
HALCYRA_KERNEL_OPS(Meta, wbce_meta, wbce_backward_meta, crop_meta, crop_backward_meta,
                   proto_meta, proto_backward_meta)
