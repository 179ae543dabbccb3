// Anchors and decoding as dispatcher operators.
//
//   flatten_preds, make_anchors   composites (views, arange, stack): autograd,
//                        shapes and every device come from the operations
//   decode_boxes         CPU: the fused loop where it applies, else the
//                        formulation; CompositeExplicitAutograd: the tensor
//                        formulation (every other device, Meta included);
//                        Autograd: where only raw needs a gradient and the
//                        fused loop applies, one node whose backward is
//                        decode_boxes_backward; any other gradient through the
//                        formulation's own operations
//   decode_boxes.Tensor  an offset given as a tensor: composite
//   decode_boxes_backward  CPU: one fused loop; CompositeExplicitAutograd: the
//                        formulation's gradient
//   decode_points        CPU: the fused loop where it applies, else the
//                        formulation; CompositeExplicitAutograd: the
//                        formulation; Autograd: the formulation's operations
//                        where a gradient is wanted
#include <ATen/ATen.h>
#include <ATen/core/dispatch/Dispatcher.h>
#include <torch/csrc/autograd/custom_function.h>
#include <torch/library.h>

#include "decode.h"

namespace halcyra {
namespace decode {
namespace {

using T = const at::Tensor&;
using S = const at::Scalar&;
using torch::autograd::AutogradContext;
using torch::autograd::variable_list;

template <class F>
c10::TypedOperatorHandle<F> find_op(const char* name) {
  return c10::Dispatcher::singleton().findSchemaOrThrow(name, "").typed<F>();
}

const auto& boxes_op() {
  static const auto op = find_op<at::Tensor(T, T, T, S)>("halcyra::decode_boxes");
  return op;
}
const auto& boxes_backward_op() {
  static const auto op = find_op<at::Tensor(T, T, T, T, S)>("halcyra::decode_boxes_backward");
  return op;
}
const auto& points_op() {
  static const auto op = find_op<at::Tensor(T, T, T, int64_t)>("halcyra::decode_points");
  return op;
}

// Whether a gradient is being recorded for any of ts, backward or forward
// mode (a tangent attached: the formulation's operations carry it).
bool recording(std::initializer_list<const at::Tensor*> ts) {
  for (const at::Tensor* t : ts)
    if ((at::GradMode::is_enabled() && t->requires_grad()) || t->_fw_grad(0).defined())
      return true;
  return false;
}

at::Tensor op_flatten_preds(T x) {
  TORCH_CHECK_VALUE(x.dim() == 4, "flatten_preds(): x must be 4-dimensional, got ", x.dim());
  return decode::flatten_preds(x);
}

// Levels as parallel lists.
std::tuple<at::Tensor, at::Tensor> op_make_anchors(at::ArrayRef<at::Scalar> hs,
                                                   at::ArrayRef<at::Scalar> ws,
                                                   at::ArrayRef<at::Scalar> strides,
                                                   at::ScalarType dtype, at::Device device) {
  // (the grid is built in place from `arange(h) + 0.5`: checked first, so that
  // the message is the same wherever the operator runs, shapes-only included)
  TORCH_CHECK(!at::isIntegralType(dtype, /*includeBool=*/false),
              "result type Float can't be cast to the desired output type ", dtype);
  TORCH_CHECK_VALUE(hs.size() == ws.size() && hs.size() == strides.size(),
                    "make_anchors(): ", hs.size(), " heights, ", ws.size(), " widths and ",
                    strides.size(), " strides");
  std::vector<Level> levels;
  for (size_t i = 0; i < hs.size(); ++i) levels.push_back({hs[i], ws[i], strides[i]});
  auto r = decode::make_anchors(levels, at::TensorOptions().dtype(dtype).device(device));
  return {r.first, r.second};
}

// An offset given as a tensor: the formulation, its truth test after the
// subtraction (as `if offset:` on a tensor).
at::Tensor boxes_tensor_offset(T raw, T points, T stride, T offset) {
  at::Tensor d = (at::softplus(raw) - offset) * stride.unsqueeze(-1);
  return finish_boxes(d, points, offset.is_nonzero());
}

struct BoxDecode : torch::autograd::Function<BoxDecode> {
  static at::Tensor forward(AutogradContext* ctx, T raw, T points, T stride, S offset) {
    at::AutoDispatchBelowADInplaceOrView below;
    ctx->save_for_backward({raw, points, stride});
    ctx->saved_data["offset"] = offset;
    return boxes_op().call(raw, points, stride, offset);
  }
  static variable_list backward(AutogradContext* ctx, variable_list grads) {
    const variable_list v = ctx->get_saved_variables();
    const at::Scalar offset = ctx->saved_data["offset"].toScalar();
    variable_list out(4);
    if (!grads[0].defined()) return out;
    // create_graph: a gradient that is itself differentiable
    out[0] = at::GradMode::is_enabled()
                 ? boxes_backward_formulation(grads[0], v[0], v[1], v[2], offset)
                 : boxes_backward_op().call(grads[0], v[0], v[1], v[2], offset);
    return out;
  }
};

// A tensor of the compiler's (fake, functional) or another Python subclass:
// its sizes may be symbolic, so the fused loop's shape checks cannot be asked.
bool python_tensor(T t) { return t.key_set().has(c10::DispatchKey::Python); }

at::Tensor boxes_autograd(T raw, T points, T stride, S offset) {
  // The node where the fused loop applies, and wherever the compiler traces
  // (its graph then holds decode_boxes and decode_boxes_backward, whose
  // kernels choose the loop or the formulation when they run).
  if (at::GradMode::is_enabled() && raw.requires_grad() && !raw._fw_grad(0).defined() &&
      !recording({&points, &stride}) && !offset.isComplex() && !offset.isBoolean() &&
      (python_tensor(raw) || boxes_fused(raw, points, stride, offset)))
    return BoxDecode::apply(raw, points, stride, offset);
  if (recording({&raw, &points, &stride})) return boxes_formulation(raw, points, stride, offset);
  at::AutoDispatchBelowADInplaceOrView below;
  return boxes_op().call(raw, points, stride, offset);
}

at::Tensor boxes_backward_autograd(T grad, T raw, T points, T stride, S offset) {
  if (recording({&grad, &raw, &points, &stride}))
    return boxes_backward_formulation(grad, raw, points, stride, offset);
  at::AutoDispatchBelowADInplaceOrView below;
  return boxes_backward_op().call(grad, raw, points, stride, offset);
}

at::Tensor points_autograd(T raw, T points, T stride, int64_t n) {
  if (recording({&raw, &points, &stride})) return points_ops(raw, points, stride, n);
  at::AutoDispatchBelowADInplaceOrView below;
  return points_op().call(raw, points, stride, n);
}

}  // namespace
}  // namespace decode
}  // namespace halcyra

TORCH_LIBRARY_FRAGMENT(halcyra, m) {
  using namespace halcyra::decode;
  m.def("flatten_preds(Tensor x) -> Tensor", TORCH_FN(op_flatten_preds));
  m.def("make_anchors(Scalar[] hs, Scalar[] ws, Scalar[] strides, ScalarType dtype, "
        "Device device) -> "
        "(Tensor, Tensor)",
        TORCH_FN(op_make_anchors));
  m.def("decode_boxes(Tensor raw, Tensor points, Tensor stride, Scalar offset=0.0) -> Tensor");
  m.def("decode_boxes.Tensor(Tensor raw, Tensor points, Tensor stride, Tensor offset) -> Tensor",
        TORCH_FN(boxes_tensor_offset));
  m.def("decode_boxes_backward(Tensor grad, Tensor raw, Tensor points, Tensor stride, "
        "Scalar offset) -> Tensor");
  m.def("decode_points(Tensor raw, Tensor points, Tensor stride, int n) -> Tensor");
}

// The kernels of decode.cpp by function pointer (TORCH_FN needs a constant
// address, which another translation unit's function is not in every build).
TORCH_LIBRARY_IMPL(halcyra, CPU, m) {
  using namespace halcyra::decode;
  m.impl("decode_boxes", &boxes_cpu);
  m.impl("decode_boxes_backward", &boxes_backward_cpu);
  m.impl("decode_points", &points_cpu);
}

TORCH_LIBRARY_IMPL(halcyra, CompositeExplicitAutograd, m) {
  using namespace halcyra::decode;
  m.impl("decode_boxes", &boxes_formulation);
  m.impl("decode_boxes_backward", &boxes_backward_formulation);
  m.impl("decode_points", &points_ops);
}

TORCH_LIBRARY_IMPL(halcyra, Autograd, m) {
  using namespace halcyra::decode;
  m.impl("decode_boxes", TORCH_FN(boxes_autograd));
  m.impl("decode_boxes_backward", TORCH_FN(boxes_backward_autograd));
  m.impl("decode_points", TORCH_FN(points_autograd));
}
