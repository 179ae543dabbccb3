// The steps of MultiTaskCriterion that halcyra/losses/losses.py calls in
// eager mode, as composite dispatcher operators (CompositeImplicitAutograd:
// autograd records the tensor operations they run, so a backward pass
// differentiates exactly these operations):
//
//   ciou, dice_loss(.Tensor)       the module's functions
//   jitter_rois                    the refine regions' random jitter (one
//                                  torch.rand draw on the boxes' device)
//   positive_rows                  t[fg_b, fg_a] of the positives of fg_mask
//   weighted_box_loss              the CIoU box loss of the positives
//   selected                       positions of the true entries of a mask
//   task_available, task_selection whether each foreground anchor takes part
//                                  in a task (valid[fg_b, fg_g] & has[fg_b]),
//                                  and the positions of those that do
//   kpt_selected, pline_selected,  the task losses of the selected instances
//   tag_selected
//   mask_crop_loss                 the in-box prototype loss of the mask
//                                  loss's instances (reads no value)
//
// and the mask loss's steps that read values on the host, as operators with
// kernels of their own, so that a compiler traces the mask loss (their
// result sizes, or the values they check, are data):
//
//   mask_selection, mask_instances the instances: the selection (read on the
//                                  host once), the MASK_CAP subset (randperm),
//                                  images ascending; CompositeExplicitAutograd,
//                                  Autograd below autograd, Python fake kernels
//                                  with unbacked sizes (halcyra/_ops.py)
//   mask_protos(_backward)         the prototype product per image; Autograd: a
//                                  node whose backward is mask_protos_backward;
//                                  Meta
//   mask_regions                   the refine loss's region rows and their
//                                  checks; Autograd below autograd (the sampler
//                                  gives its regions no gradient); Meta
//
// The whole-batch operators that the compiler traces (cls_loss, box_loss,
// kpt_loss, ...) are in kernel_ops.cpp and ops.cpp.
#include <ATen/ATen.h>
#include <ATen/core/dispatch/Dispatcher.h>
#include <torch/csrc/autograd/custom_function.h>
#include <torch/library.h>

#include <array>

#include <algorithm>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "../common/compat.h"
#include "core.h"
#include "tasks.h"

namespace halcyra {
namespace losses {
namespace {

using T = const at::Tensor&;

at::Tensor op_ciou(T box1, T box2) { return ciou(box1, box2); }

at::Tensor op_dice(T logits, T targets, const at::Scalar& eps) {
  return dice_loss(logits, targets, eps, at::Tensor());
}

at::Tensor op_dice_tensor(T logits, T targets, T eps) {
  return dice_loss(logits, targets, 0, eps);
}

tasks::Num num(const c10::optional<at::Tensor>& t, const at::Scalar& s) {
  tasks::Num n;
  n.s = s;
  if (t.has_value()) n.t = *t;
  return n;
}

// scale and shift: each a tensor (when given) or the number beside it.
at::Tensor op_jitter(T boxes, const c10::optional<at::Tensor>& scale_t, const at::Scalar& scale,
                     const c10::optional<at::Tensor>& shift_t, const at::Scalar& shift) {
  return tasks::jitter_rois(boxes, num(scale_t, scale), num(shift_t, shift));
}

// (n is left unset: under torch.export the positives' count is a symbol that
// must not be read as a number.)
Positives positives_of(T fg_mask, T fg_b, T fg_a) {
  Positives p;
  p.fg_b = fg_b;
  p.fg_a = fg_a;
  p.B = fg_mask.size(0);
  p.A = fg_mask.size(1);
  p.flat = fg_b * p.A + fg_a;
  return p;
}

at::Tensor op_positive_rows(T t, T fg_mask, T fg_b, T fg_a) {
  return gather_rows(t, positives_of(fg_mask, fg_b, fg_a));
}

at::Tensor op_weighted_box_loss(T iou, T w_box, double floor, T norm) {
  return box_loss(iou, w_box, floor, norm);
}

at::Tensor op_selected(T mask) { return tasks::selected(mask); }

at::Tensor op_task_available(T valid, T has, T fg_b, T fg_g) {
  return tasks::availability(valid, has, fg_b, fg_g);
}

at::Tensor op_task_selection(T valid, T has, T fg_b, T fg_g) {
  return tasks::selected(tasks::availability(valid, has, fg_b, fg_g));
}

std::tuple<at::Tensor, at::Tensor> op_kpt_selected(T raw, T points, T strides, T b, T a, T g,
                                                   T gt_kpts, T gt_boxes, T gt_cls, T sigmas,
                                                   int64_t k, double eps) {
  auto r = tasks::kpt_selected(raw, points, strides, b, a, g, gt_kpts, gt_boxes, gt_cls, sigmas, k,
                               eps);
  return {r.first, r.second};
}

at::Tensor op_pline_selected(T decoded, T strides, T b, T a, T g, T gt_plines) {
  return tasks::pline_selected(decoded, strides, b, a, g, gt_plines);
}

at::Tensor op_tag_selected(T logits, T idx, T gt_tags) {
  return tasks::bce_mean(logits.index({idx}), gt_tags.index({idx}).to(at::kFloat));
}

// A tensor of int64 values made on the host, on `device`: an asynchronous
// copy for other devices (from pinned memory for CUDA, the one device whose
// allocator pins host memory).
at::Tensor host_longs(const std::vector<int64_t>& v, at::Device device) {
  auto cpu = at::TensorOptions().dtype(at::kLong);
  const int64_t n = static_cast<int64_t>(v.size());
  if (fused_cpu(device)) {
    at::Tensor t = at::empty({n}, cpu);
    if (n) std::memcpy(t.data_ptr<int64_t>(), v.data(), n * sizeof(int64_t));
    return t;
  }
  at::Tensor t = at::empty({n}, cpu.pinned_memory(device.is_cuda()));
  if (n) std::memcpy(t.data_ptr<int64_t>(), v.data(), n * sizeof(int64_t));
  return t.to(device, /*non_blocking=*/true);
}

// The mask loss's selected foreground anchors, read on the host once: a CPU
// int64 tensor (2, n) of their positions in fg_b and their images, in the
// order of fg_b.
at::Tensor op_mask_selection(T fg_b, T sel) {
  const int64_t n_fg = sel.numel();
  if (n_fg == 0) return at::zeros({2, 0}, at::TensorOptions().dtype(at::kLong));
  const at::Tensor pack = host_read(
      at::stack({fg_b.reshape({-1}).to(at::kLong), sel.reshape({-1}).ne(0).to(at::kLong)}));
  const int64_t* pb = pack.data_ptr<int64_t>();
  std::vector<int64_t> pos, img;
  for (int64_t i = 0; i < n_fg; ++i)
    if (pb[n_fg + i]) {
      pos.push_back(i);
      img.push_back(pb[i]);
    }
  const int64_t n = static_cast<int64_t>(pos.size());
  at::Tensor out = at::empty({2, n}, at::TensorOptions().dtype(at::kLong));
  if (n) {
    std::memcpy(out.data_ptr<int64_t>(), pos.data(), n * sizeof(int64_t));
    std::memcpy(out.data_ptr<int64_t>() + n, img.data(), n * sizeof(int64_t));
  }
  return out;
}

// The mask loss's instances (b, a, g) from mask_selection's rows: at most
// `cap` of them (a randperm draw on fg_b's device when there are more; a
// negative cap keeps all but the last -cap of the permutation), in ascending
// image order, within an image in the order of the (capped) selection; and b
// on the host. An image index outside protos' first dimension is the
// IndexError of protos.select(0, index).
std::tuple<at::Tensor, at::Tensor, at::Tensor, at::Tensor> op_mask_instances(
    T selection, T fg_b, T fg_a, T fg_g, int64_t cap, T protos) {
  const int64_t n_sel = selection.size(1);
  const int64_t* sp = selection.data_ptr<int64_t>();
  std::vector<int64_t> pos(sp, sp + n_sel), img(sp + n_sel, sp + 2 * n_sel);
  if (n_sel > cap) {
    const int64_t keep_n = cap >= 0 ? cap : std::max<int64_t>(n_sel + cap, 0);
    at::Tensor perm =
        at::randperm(n_sel, at::TensorOptions().dtype(at::kLong).device(fg_b.device()));
    const at::Tensor keep = host_read(perm.slice(0, 0, keep_n));
    const int64_t* kp = keep.data_ptr<int64_t>();
    std::vector<int64_t> pos2(keep_n), img2(keep_n);
    for (int64_t k = 0; k < keep_n; ++k) {
      pos2[k] = pos[kp[k]];
      img2[k] = img[kp[k]];
    }
    pos.swap(pos2);
    img.swap(img2);
  }
  const int64_t n = static_cast<int64_t>(pos.size());
  std::vector<int64_t> order(n);
  for (int64_t i = 0; i < n; ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(),
                   [&](int64_t x, int64_t y) { return img[x] < img[y]; });
  std::vector<int64_t> both(2 * n);
  const int64_t n_img = protos.dim() > 0 ? protos.size(0) : 0;
  for (int64_t i = 0; i < n; ++i) {
    both[i] = pos[order[i]];
    both[n + i] = img[order[i]];
    const int64_t bi = both[n + i] < 0 ? both[n + i] + n_img : both[n + i];
    if (bi < 0 || bi >= n_img) protos.select(0, both[n + i]);  // IndexError as indexing gives it
  }
  at::Tensor both_d = host_longs(both, fg_b.device());
  at::Tensor idx = both_d.slice(0, 0, n), b = both_d.slice(0, n, 2 * n);
  at::Tensor b_host = at::empty({n}, at::TensorOptions().dtype(at::kLong));
  if (n) std::memcpy(b_host.data_ptr<int64_t>(), both.data() + n, n * sizeof(int64_t));
  return {b, fg_a.reshape({-1}).index({idx}), fg_g.reshape({-1}).index({idx}), b_host};
}

// Consecutive runs of one image in b_host (n,) (ascending, on the host):
// start, length and the image as an index into n_img images.
struct Group { int64_t image, start, len; };

std::vector<Group> image_groups(T b_host, int64_t n_img) {
  const int64_t n = b_host.numel();
  const at::Tensor bh = b_host.contiguous();
  const int64_t* bp = bh.data_ptr<int64_t>();
  std::vector<Group> groups;
  int64_t raw = 0;
  for (int64_t i = 0; i < n; ++i) {
    if (groups.empty() || raw != bp[i]) {
      raw = bp[i];
      groups.push_back({raw < 0 ? raw + n_img : raw, i, 0});
    }
    groups.back().len++;
  }
  return groups;
}

// The prototype product of the instances: pm (n, hm, wm), row i the logits
// rows[i] @ protos[b_host[i]]. One matrix multiplication per image: the
// coefficient rows are sliced once and the prototypes split once, so the
// backward pass builds one gradient of each input instead of one per image.
at::Tensor op_mask_protos(T rows, T protos, T b_host) {
  const int64_t hm = protos.size(-2), wm = protos.size(-1);
  const std::vector<Group> groups = image_groups(b_host, protos.size(0));
  if (groups.empty()) return at::empty({0, hm, wm}, rows.options());
  std::vector<at::Tensor> parts = protos.unbind(0);
  std::vector<at::Tensor> pms;
  pms.reserve(groups.size());
  for (const Group& gr : groups) {
    at::Tensor pr = parts[gr.image].reshape({protos.size(1), hm * wm});
    pms.push_back(
        at::mm(rows.slice(0, gr.start, gr.start + gr.len), pr).reshape({gr.len, hm, wm}));
  }
  return pms.size() == 1 ? pms[0] : at::cat(pms);
}

// d mm(m1, m2) / d m1 and / d m2 times g, as autograd computes them (the
// transposed product where the factor was column-major).
bool column_major(T m) { return m.stride(0) == 1 && m.stride(1) == m.size(0); }

at::Tensor mm_grad_first(T g, T m1, T m2) {
  return column_major(m1) ? m2.mm(g.t()).t() : g.mm(m2.t());
}

at::Tensor mm_grad_second(T g, T m1, T m2) {
  return column_major(m2) ? g.t().mm(m1).t() : m1.t().mm(g);
}

// The gradients of op_mask_protos's inputs for the gradient `grad` of pm:
// per image the two products of the multiplication's gradient; the rows'
// slices concatenated, the prototypes' images stacked (zeros for images
// without instances; an image reached by two runs, through a negative and a
// positive index, sums both).
std::tuple<at::Tensor, at::Tensor> op_mask_protos_backward(T grad, T rows, T protos, T b_host,
                                                           std::array<bool, 2> want) {
  const int64_t hm = protos.size(-2), wm = protos.size(-1), p = protos.size(1);
  const std::vector<Group> groups = image_groups(b_host, protos.size(0));
  std::vector<at::Tensor> parts = protos.unbind(0);
  std::vector<at::Tensor> g_rows, g_parts(parts.size());
  for (const Group& gr : groups) {
    at::Tensor g = groups.size() == 1 ? grad : grad.narrow(0, gr.start, gr.len);
    g = g.reshape({gr.len, hm * wm});
    const at::Tensor m1 = rows.slice(0, gr.start, gr.start + gr.len);
    const at::Tensor m2 = parts[gr.image].reshape({p, hm * wm});
    if (want[0]) g_rows.push_back(mm_grad_first(g, m1, m2));
    if (want[1]) {
      at::Tensor gp = mm_grad_second(g, m1, m2).reshape({p, hm, wm});
      at::Tensor& slot = g_parts[gr.image];
      slot = slot.defined() ? slot + gp : gp;
    }
  }
  at::Tensor gr, gp;
  if (want[0])
    gr = g_rows.empty() ? at::zeros_like(rows) : g_rows.size() == 1 ? g_rows[0] : at::cat(g_rows);
  if (want[1]) {
    for (at::Tensor& t : g_parts)
      if (!t.defined()) t = at::zeros({p, hm, wm}, protos.options());
    gp = at::stack(g_parts);
  }
  return {gr, gp};
}

const auto& mask_protos_op() {
  static const auto op = c10::Dispatcher::singleton()
                             .findSchemaOrThrow("halcyra::mask_protos", "")
                             .typed<decltype(op_mask_protos)>();
  return op;
}

const auto& mask_protos_backward_op() {
  static const auto op = c10::Dispatcher::singleton()
                             .findSchemaOrThrow("halcyra::mask_protos_backward", "")
                             .typed<decltype(op_mask_protos_backward)>();
  return op;
}

struct MaskProtos : torch::autograd::Function<MaskProtos> {
  static at::Tensor forward(torch::autograd::AutogradContext* ctx, T rows, T protos, T b_host) {
    at::AutoDispatchBelowADInplaceOrView below;
    ctx->save_for_backward({rows, protos, b_host});
    return mask_protos_op().call(rows, protos, b_host);
  }
  static torch::autograd::variable_list backward(torch::autograd::AutogradContext* ctx,
                                                 torch::autograd::variable_list grads) {
    const torch::autograd::variable_list v = ctx->get_saved_variables();
    const std::array<bool, 2> want{ctx->needs_input_grad(0), ctx->needs_input_grad(1)};
    at::Tensor gr, gp;
    if (grads[0].defined() && (want[0] || want[1]))
      std::tie(gr, gp) = mask_protos_backward_op().call(grads[0], v[0], v[1], v[2], want);
    return {gr, gp, at::Tensor()};
  }
};

at::Tensor mask_protos_autograd(T rows, T protos, T b_host) {
  return MaskProtos::apply(rows, protos, b_host);
}

std::tuple<at::Tensor, at::Tensor> mask_protos_backward_autograd(T grad, T rows, T protos,
                                                                 T b_host,
                                                                 std::array<bool, 2> want) {
  at::AutoDispatchBelowADInplaceOrView below;
  return mask_protos_backward_op().call(grad, rows, protos, b_host, want);
}

at::Tensor mask_protos_meta(T rows, T protos, T) {
  return at::empty_symint({rows.sym_size(0), protos.sym_size(-2), protos.sym_size(-1)},
                          rows.options());
}

std::tuple<at::Tensor, at::Tensor> mask_protos_backward_meta(T, T rows, T protos, T,
                                                             std::array<bool, 2> want) {
  return {want[0] ? at::empty_like(rows) : at::Tensor(),
          want[1] ? at::empty_like(protos) : at::Tensor()};
}

// The sum over instances of each one's mean in-box BCE with logits: rows
// (n, P) the instances' coefficients, protos (B, P, hm, wm), b_host (n,) their
// images (ascending, on the host), gt_raw (n, hm, wm) their masks, boxes (n, 4) their
// boxes on the prototype grid. With `keep` (the refine branch follows) also
// the logits pm (n, hm, wm) and the float32 targets; empty tensors otherwise.
// Without it, on the CPU, the logits are made inside the crops only.
// Tensor operations and operators only (no value read here), so that a
// compiler traces it with n a symbol.
std::tuple<at::Tensor, at::Tensor, at::Tensor> op_mask_crop_loss(T rows, T protos, T b_host,
                                                                 T gt_raw, T boxes, bool keep) {
  const int64_t hm = protos.size(-2), wm = protos.size(-1);
  const int64_t n_img = protos.size(0);
  at::Tensor bounds = tasks::crop_bounds(boxes, hm, wm);
  const bool fused = !keep && fused_cpu(rows) && fused_cpu(protos) && protos.dim() == 4 &&
                     hm > 0 && wm > 0 && rows.dim() == 2 &&
                     rows.sym_size(1) == protos.sym_size(1) && gt_raw.dim() == 3 &&
                     gt_raw.sym_size(1) == hm && gt_raw.sym_size(2) == wm &&
                     !gt_raw.requires_grad() && !at::isComplexType(gt_raw.scalar_type());
  if (fused) {
    // Without refinement only the in-box logits are needed: they are made
    // inside the crops from the coefficient rows and the prototypes.
    const at::Tensor image = at::where(b_host.lt(0), b_host + n_img, b_host);
    at::Tensor total = tasks::proto_crop_bce_sum(rows, protos, image, gt_raw, bounds);
    return {total, at::empty({0}, rows.options()), at::empty({0}, rows.options())};
  }
  at::Tensor pm = mask_protos_op().call(rows, protos, b_host);
  at::Tensor gt = gt_raw.to(at::kFloat);
  at::Tensor total = tasks::crop_bce_sum(pm, gt, bounds);
  if (!keep) return {total, at::empty({0}, rows.options()), at::empty({0}, rows.options())};
  return {total, pm, gt};
}

// The refine loss's regions into the instances' targets: (n, 5) rows of the
// instance number (in the boxes' dtype, on coef's device) and the boxes
// divided by the mask stride, n the number of instances in b. Checked: the
// masks have pixels (hm, wm), and the rows are finite with every instance
// number below n (one host read): roi_align reads outside its input otherwise.
at::Tensor mask_region_rows(T boxes, T b, T coef, const at::Scalar& stride) {
  return at::cat({at::arange(b.size(0), boxes.options().device(coef.device())).unsqueeze(1),
                  boxes / stride},
                 1);
}

void check_mask_grid(int64_t hm, int64_t wm) {
  TORCH_CHECK_VALUE(hm != 0 && wm != 0,
                    "_mask_loss(): the masks have no pixels to sample, got size (", hm, ", ", wm,
                    ")");
}

at::Tensor op_mask_regions(T boxes, T b, T coef, const at::Scalar& stride, int64_t hm,
                           int64_t wm) {
  at::Tensor rows = mask_region_rows(boxes, b, coef, stride);
  check_mask_grid(hm, wm);
  const int64_t n = b.size(0);
  if (n > 0) {
    const bool ok = at::stack({at::isfinite(rows).all(),
                               rows.select(1, 0).max().lt(static_cast<double>(n))})
                        .all()
                        .item<bool>();
    TORCH_CHECK_VALUE(ok, "_mask_loss(): the refine regions (sanitized boxes / MASK_STRIDE) "
                          "must be finite");
  }
  return rows;
}

at::Tensor mask_regions_meta(T boxes, T b, T coef, const at::Scalar& stride, int64_t hm,
                             int64_t wm) {
  at::Tensor rows =
      at::cat({at::empty_symint({b.sym_size(0), 1}, boxes.options()), boxes / stride}, 1);
  check_mask_grid(hm, wm);
  return rows;
}

// The Autograd kernels of the operators without a gradient: below autograd,
// through the dispatcher (so that a compiler's fake kernel takes the call).
template <class F>
c10::TypedOperatorHandle<F> typed_op(const char* name) {
  return c10::Dispatcher::singleton().findSchemaOrThrow(name, "").typed<F>();
}

at::Tensor mask_selection_autograd(T fg_b, T sel) {
  static const auto op = typed_op<decltype(op_mask_selection)>("halcyra::mask_selection");
  at::AutoDispatchBelowADInplaceOrView below;
  return op.call(fg_b, sel);
}

std::tuple<at::Tensor, at::Tensor, at::Tensor, at::Tensor> mask_instances_autograd(
    T selection, T fg_b, T fg_a, T fg_g, int64_t cap, T protos) {
  static const auto op = typed_op<decltype(op_mask_instances)>("halcyra::mask_instances");
  at::AutoDispatchBelowADInplaceOrView below;
  return op.call(selection, fg_b, fg_a, fg_g, cap, protos);
}

at::Tensor mask_regions_autograd(T boxes, T b, T coef, const at::Scalar& stride, int64_t hm,
                                 int64_t wm) {
  static const auto op = typed_op<decltype(op_mask_regions)>("halcyra::mask_regions");
  at::AutoDispatchBelowADInplaceOrView below;
  return op.call(boxes, b, coef, stride, hm, wm);
}

}  // namespace
}  // namespace losses
}  // namespace halcyra

TORCH_LIBRARY_FRAGMENT(halcyra, m) {
  using namespace halcyra::losses;
  m.def("ciou(Tensor box1, Tensor box2) -> Tensor", TORCH_FN(op_ciou));
  m.def("dice_loss(Tensor logits, Tensor targets, Scalar eps=1.0) -> Tensor", TORCH_FN(op_dice));
  m.def("dice_loss.Tensor(Tensor logits, Tensor targets, Tensor eps) -> Tensor",
        TORCH_FN(op_dice_tensor));
  m.def("jitter_rois(Tensor boxes, Tensor? scale_t, Scalar scale, Tensor? shift_t, Scalar shift) "
        "-> Tensor",
        TORCH_FN(op_jitter));
  m.def("positive_rows(Tensor t, Tensor fg_mask, Tensor fg_b, Tensor fg_a) -> Tensor",
        TORCH_FN(op_positive_rows));
  m.def("weighted_box_loss(Tensor iou, Tensor w_box, float w_box_floor, Tensor norm) -> Tensor",
        TORCH_FN(op_weighted_box_loss));
  m.def("selected(Tensor mask) -> Tensor", TORCH_FN(op_selected));
  m.def("task_available(Tensor valid, Tensor has, Tensor fg_b, Tensor fg_g) -> Tensor",
        TORCH_FN(op_task_available));
  m.def("task_selection(Tensor valid, Tensor has, Tensor fg_b, Tensor fg_g) -> Tensor",
        TORCH_FN(op_task_selection));
  m.def("kpt_selected(Tensor raw, Tensor points, Tensor strides, Tensor b, Tensor a, Tensor g, "
        "Tensor gt_kpts, Tensor gt_boxes, Tensor gt_cls, Tensor sigmas, int num_kpts, float eps) "
        "-> (Tensor, Tensor)",
        TORCH_FN(op_kpt_selected));
  m.def("pline_selected(Tensor decoded, Tensor strides, Tensor b, Tensor a, Tensor g, "
        "Tensor gt_plines) -> Tensor",
        TORCH_FN(op_pline_selected));
  m.def("tag_selected(Tensor logits, Tensor idx, Tensor gt_tags) -> Tensor",
        TORCH_FN(op_tag_selected));
  m.def("mask_selection(Tensor fg_b, Tensor sel) -> Tensor");
  m.def("mask_instances(Tensor selection, Tensor fg_b, Tensor fg_a, Tensor fg_g, int cap, "
        "Tensor protos) -> (Tensor, Tensor, Tensor, Tensor)");
  m.def("mask_protos(Tensor rows, Tensor protos, Tensor b_host) -> Tensor");
  m.def("mask_protos_backward(Tensor grad, Tensor rows, Tensor protos, Tensor b_host, "
        "bool[2] output_mask) -> (Tensor, Tensor)");
  m.def("mask_crop_loss(Tensor rows, Tensor protos, Tensor b_host, Tensor gt, Tensor boxes, "
        "bool keep) -> (Tensor, Tensor, Tensor)",
        TORCH_FN(op_mask_crop_loss));
  m.def("mask_regions(Tensor boxes, Tensor b, Tensor coef, Scalar stride, int hm, int wm) "
        "-> Tensor");
}

TORCH_LIBRARY_IMPL(halcyra, CompositeExplicitAutograd, m) {
  using namespace halcyra::losses;
  m.impl("mask_selection", TORCH_FN(op_mask_selection));
  m.impl("mask_instances", TORCH_FN(op_mask_instances));
  m.impl("mask_protos", TORCH_FN(op_mask_protos));
  m.impl("mask_protos_backward", TORCH_FN(op_mask_protos_backward));
  m.impl("mask_regions", TORCH_FN(op_mask_regions));
}

TORCH_LIBRARY_IMPL(halcyra, Autograd, m) {
  using namespace halcyra::losses;
  m.impl("mask_selection", TORCH_FN(mask_selection_autograd));
  m.impl("mask_instances", TORCH_FN(mask_instances_autograd));
  m.impl("mask_protos", TORCH_FN(mask_protos_autograd));
  m.impl("mask_protos_backward", TORCH_FN(mask_protos_backward_autograd));
  m.impl("mask_regions", TORCH_FN(mask_regions_autograd));
}

// mask_selection and mask_instances have data-dependent result sizes: their
// fake kernels are Python's (halcyra/_ops.py).
TORCH_LIBRARY_IMPL(halcyra, Meta, m) {
  using namespace halcyra::losses;
  m.impl("mask_protos", TORCH_FN(mask_protos_meta));
  m.impl("mask_protos_backward", TORCH_FN(mask_protos_backward_meta));
  m.impl("mask_regions", TORCH_FN(mask_regions_meta));
}
