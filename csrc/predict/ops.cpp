// postprocess's fused kernels as dispatcher operators: schema, a kernel per
// dispatch key and the fake kernels of the operators whose result sizes are
// known from the arguments' sizes. postprocess itself calls the C++ functions
// (select.h, predict.h) directly; the operators give the same numerics to
// code that the compiler traces.
//
//   coarse_masks, prototype_masks     bool (n, S, S) masks
//   select_candidates                 the candidates of a (B, A, nc) batch of
//                                     class logits, flat: image, anchor,
//                                     best probability, its class
//   class_nms                         survivors of torchvision's batched_nms,
//                                     in its order
//   gather_keypoints, gather_points   the decoded rows of one image's detections
//
// Kernels of every operator:
//   CPU                          the fused kernel, falling back to the tensor
//                                formulation where it does not apply (and
//                                always under HALCYRA_GENERIC=1)
//   CompositeExplicitAutograd    the tensor formulation (every other device)
//   Autograd                     no gradient: the kernel runs below autograd
//                                without recording, as postprocess runs it, so
//                                no result requires grad
//   Meta                         the argument checks on symbolic sizes and
//                                the result shapes; select_candidates and
//                                class_nms have data-dependent result sizes,
//                                which only a Python fake kernel can give
//                                (unbacked sizes): halcyra/infer/_fake_predict.py
#include <ATen/ATen.h>
#include <ATen/core/dispatch/Dispatcher.h>
#include <torch/library.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <tuple>
#include <vector>

#include "../pyapi/compat.h"
#include "predict.h"
#include "select.h"

namespace halcyra {
namespace predict {
namespace {

using Selection = std::tuple<at::Tensor, at::Tensor, at::Tensor, at::Tensor>;

// ---- checks shared by the kernels and the fake kernels ----------------------

void check_masks_args(const at::Tensor& boxes, const c10::SymInt& n, int64_t S,
                      const char* name) {
  TORCH_CHECK_VALUE(boxes.dim() == 2 && boxes.sym_size(1) == 4 && boxes.sym_size(0) == n, name,
                    "(): boxes must have shape (n, 4) for n masks");
  TORCH_CHECK_VALUE(S > 0, name, "(): size must be positive, got ", S);
}

void check_coarse(const at::Tensor& coarse, const at::Tensor& boxes, int64_t S) {
  TORCH_CHECK_VALUE(coarse.dim() == 3, "coarse_masks(): coarse must have shape (n, h, w)");
  check_masks_args(boxes, coarse.sym_size(0), S, "coarse_masks");
}

void check_protos(const at::Tensor& coef, const at::Tensor& protos, const at::Tensor& boxes,
                  int64_t S) {
  TORCH_CHECK_VALUE(coef.dim() == 2 && protos.dim() == 3 && coef.sym_size(1) == protos.sym_size(0),
                    "prototype_masks(): coef (n, P) and protos (P, h, w) expected");
  check_masks_args(boxes, coef.sym_size(0), S, "prototype_masks");
}

void check_gather(const at::Tensor& raw, int64_t b, const at::Tensor& idx, const at::Tensor& points,
                  const at::Tensor& strides, int64_t per_anchor, const char* name) {
  TORCH_CHECK_VALUE(raw.dim() == 3 && raw.sym_size(2) == per_anchor, name,
                    "(): raw must have shape (B, A, ", per_anchor, ")");
  TORCH_CHECK_INDEX(b >= 0 && raw.sym_size(0) > b, name, "(): image ", b, " out of range");
  TORCH_CHECK_VALUE(idx.dim() == 1 && idx.scalar_type() == at::kLong, name,
                    "(): idx must be a 1-D int64 tensor");
  TORCH_CHECK_VALUE(points.dim() == 2 && points.sym_size(1) == 2 && strides.dim() == 1 &&
                        points.sym_size(0) == strides.sym_size(0),
                    name, "(): points (A, 2) and strides (A,) expected");
}

// ---- masks -----------------------------------------------------------------

at::Tensor no_masks(const at::Tensor& like, int64_t S) {
  return at::zeros({0, S, S}, like.options().dtype(at::kBool));
}

at::Tensor coarse_formulation(const at::Tensor& coarse, const at::Tensor& boxes, int64_t S,
                              const at::Scalar& thres) {
  return coarse_masks_reference(coarse, boxes, S,
                                [&](const at::Tensor& m) { return at::gt(m, thres); });
}

at::Tensor coarse_cpu(const at::Tensor& coarse, const at::Tensor& boxes, int64_t S,
                      const at::Scalar& thres) {
  check_coarse(coarse, boxes, S);
  if (coarse.size(0) == 0) return no_masks(coarse, S);
  return coarse_masks(coarse, boxes, S, thres);
}

at::Tensor coarse_generic(const at::Tensor& coarse, const at::Tensor& boxes, int64_t S,
                          const at::Scalar& thres) {
  check_coarse(coarse, boxes, S);
  if (coarse.size(0) == 0) return no_masks(coarse, S);
  return coarse_formulation(coarse, boxes, S, thres);
}

at::Tensor product_formulation(const at::Tensor& coef, const at::Tensor& protos) {
  return at::matmul(coef, protos.reshape({protos.size(0), -1}))
      .reshape({coef.size(0), protos.size(1), protos.size(2)});
}

at::Tensor protos_cpu(const at::Tensor& coef, const at::Tensor& protos, const at::Tensor& boxes,
                      int64_t S, const at::Scalar& thres) {
  check_protos(coef, protos, boxes, S);
  if (coef.size(0) == 0) return no_masks(coef, S);
  at::Tensor m = prototype_masks(coef, protos, boxes, S, thres);
  if (!m.defined()) m = coarse_masks(coarse_product(coef, protos), boxes, S, thres, /*consume=*/true);
  return m;
}

at::Tensor protos_generic(const at::Tensor& coef, const at::Tensor& protos,
                          const at::Tensor& boxes, int64_t S, const at::Scalar& thres) {
  check_protos(coef, protos, boxes, S);
  if (coef.size(0) == 0) return no_masks(coef, S);
  return coarse_formulation(product_formulation(coef, protos), boxes, S, thres);
}

at::Tensor coarse_meta(const at::Tensor& coarse, const at::Tensor& boxes, int64_t S,
                       const at::Scalar&) {
  check_coarse(coarse, boxes, S);
  return at::empty_symint({coarse.sym_size(0), S, S}, coarse.options().dtype(at::kBool));
}

at::Tensor protos_meta(const at::Tensor& coef, const at::Tensor& protos, const at::Tensor& boxes,
                       int64_t S, const at::Scalar&) {
  check_protos(coef, protos, boxes, S);
  return at::empty_symint({coef.sym_size(0), S, S}, coef.options().dtype(at::kBool));
}

// ---- candidate selection -------------------------------------------------------

void check_logits(const at::Tensor& logits) {
  TORCH_CHECK_VALUE(logits.dim() == 3, "select_candidates(): logits must have shape (B, A, nc)");
}

// sigmoid(logits).max(-1), then every (image, anchor) whose probability is
// strictly above thr, in ascending order.
Selection select_generic(const at::Tensor& logits, double thr) {
  check_logits(logits);
  auto best = at::sigmoid(logits).max(-1);
  const at::Tensor& scores = std::get<0>(best);
  const at::Tensor& cls = std::get<1>(best);
  at::Tensor keep = at::gt(scores, thr);
  at::Tensor nz = at::nonzero(keep);
  return {nz.select(1, 0).contiguous(), nz.select(1, 1).contiguous(), scores.index({keep}),
          cls.index({keep})};
}

// The float32 threshold a float32 comparison with `thr` uses.
float as_float32(double d) {
  constexpr double kMax = std::numeric_limits<float>::max();
  if (std::isnan(d)) return std::numeric_limits<float>::quiet_NaN();
  if (d > kMax) return std::numeric_limits<float>::infinity();
  if (d < -kMax) return -std::numeric_limits<float>::infinity();
  return static_cast<float>(d);
}

Selection select_cpu(const at::Tensor& logits, double thr) {
  check_logits(logits);
  if (!fused_cpu(logits) || logits.scalar_type() != at::kFloat || !logits.is_contiguous() ||
      logits.size(2) < 1)
    return select_generic(logits, thr);
  std::vector<Candidates> cands;
  if (!select_candidates(logits, as_float32(thr), &cands)) return select_generic(logits, thr);
  int64_t total = 0;
  for (const Candidates& c : cands) total += static_cast<int64_t>(c.anchor.size());
  at::Tensor image = at::empty({total}, at::kLong), anchor = at::empty({total}, at::kLong),
             score = at::empty({total}, at::kFloat), cls = at::empty({total}, at::kLong);
  int64_t* ip = image.data_ptr<int64_t>();
  int64_t* ap = anchor.data_ptr<int64_t>();
  float* sp = score.data_ptr<float>();
  int64_t* cp = cls.data_ptr<int64_t>();
  int64_t at_ = 0;
  for (size_t b = 0; b < cands.size(); ++b) {
    const Candidates& c = cands[b];
    const size_t m = c.anchor.size();
    std::fill(ip + at_, ip + at_ + m, static_cast<int64_t>(b));
    if (m) {
      std::memcpy(ap + at_, c.anchor.data(), m * sizeof(int64_t));
      std::memcpy(sp + at_, c.score.data(), m * sizeof(float));
      std::memcpy(cp + at_, c.cls.data(), m * sizeof(int64_t));
    }
    at_ += static_cast<int64_t>(m);
  }
  return {image, anchor, score, cls};
}

// ---- class-aware NMS -------------------------------------------------------------

void check_nms(const at::Tensor& boxes, const at::Tensor& scores, const at::Tensor& cls) {
  TORCH_CHECK_VALUE(boxes.dim() == 2 && boxes.sym_size(1) == 4 && scores.dim() == 1 &&
                        cls.dim() == 1 && scores.sym_size(0) == boxes.sym_size(0) &&
                        cls.sym_size(0) == boxes.sym_size(0),
                    "class_nms(): boxes (m, 4), scores (m,) and cls (m,) expected");
}

at::Tensor tv_nms(const at::Tensor& boxes, const at::Tensor& scores, double iou) {
  static const auto op = c10::Dispatcher::singleton()
                             .findSchemaOrThrow("torchvision::nms", "")
                             .typed<at::Tensor(const at::Tensor&, const at::Tensor&, double)>();
  return op.call(boxes, scores, iou);
}

// torchvision's batched_nms over its nms operator: on the CPU the per-class
// loop above 4000 box coordinates, the coordinate-offset trick otherwise and
// on every other device (whose own cut, 20000 or 100000 coordinates by
// torchvision's version, would only change the strategy, not the survivors'
// order, up to ties).
at::Tensor nms_generic(const at::Tensor& boxes, const at::Tensor& scores, const at::Tensor& cls,
                       double iou) {
  check_nms(boxes, scores, cls);
  if (boxes.device().is_cpu() && boxes.numel() > 4000) {
    at::Tensor keep_mask = at::zeros_like(scores, scores.options().dtype(at::kBool));
    at::Tensor classes = std::get<0>(at::_unique(cls, /*sorted=*/true, /*return_inverse=*/false));
    for (int64_t i = 0; i < classes.size(0); ++i) {
      at::Tensor cur = at::nonzero(at::eq(cls, classes[i])).select(1, 0);
      at::Tensor kept = tv_nms(boxes.index({cur}), scores.index({cur}), iou);
      keep_mask.index_put_({cur.index({kept})}, true);
    }
    at::Tensor keep = at::nonzero(keep_mask).select(1, 0);
    return keep.index({std::get<1>(scores.index({keep}).sort(0, /*descending=*/true))});
  }
  if (boxes.numel() == 0) return at::empty({0}, boxes.options().dtype(at::kLong));
  at::Tensor top = boxes.max();
  at::Tensor offsets = cls.to(boxes.options()) * (top + at::scalar_tensor(1, boxes.options()));
  return tv_nms(boxes + offsets.unsqueeze(1), scores, iou);
}

at::Tensor nms_cpu(const at::Tensor& boxes, const at::Tensor& scores, const at::Tensor& cls,
                   double iou) {
  check_nms(boxes, scores, cls);
  if (!fused_cpu(boxes) || !fused_cpu(scores) || !fused_cpu(cls) ||
      boxes.scalar_type() != at::kFloat || scores.scalar_type() != at::kFloat ||
      cls.scalar_type() != at::kLong)
    return nms_generic(boxes, scores, cls, iou);
  at::Tensor b = boxes.contiguous(), s = scores.contiguous(), c = cls.contiguous();
  const int64_t m = b.size(0);
  const int64_t* cp = c.data_ptr<int64_t>();
  int64_t nc = 1;
  for (int64_t i = 0; i < m; ++i) {
    // The fused kernel numbers classes from 0 up, below 2^31.
    if (cp[i] < 0 || cp[i] >= (int64_t{1} << 31)) return nms_generic(boxes, scores, cls, iou);
    nc = std::max(nc, cp[i] + 1);
  }
  const bool per_class = nms_per_class(m);
  std::vector<int64_t> keep =
      class_nms(b.data_ptr<float>(), s.data_ptr<float>(), cp, m, nc, iou, per_class);
  if (per_class)
    keep = order_by_score(keep, s.data_ptr<float>(), static_cast<int64_t>(keep.size()));
  at::Tensor out = at::empty({static_cast<int64_t>(keep.size())}, at::kLong);
  if (!keep.empty()) std::memcpy(out.data_ptr<int64_t>(), keep.data(), keep.size() * sizeof(int64_t));
  return out;
}

// ---- keypoints and polyline points of the detections -----------------------------------

bool cpu_float(const at::Tensor& t) { return fused_cpu(t) && t.scalar_type() == at::kFloat; }

// Whether every index of idx (1-D int64 CPU) lies in [0, bound).
bool indices_below(const at::Tensor& idx, int64_t bound) {
  at::Tensor ix = idx.contiguous();
  const int64_t* p = ix.data_ptr<int64_t>();
  for (int64_t i = 0; i < ix.numel(); ++i)
    if (p[i] < 0 || p[i] >= bound) return false;
  return true;
}

at::Tensor keypoints_generic(const at::Tensor& raw, int64_t b, const at::Tensor& idx,
                             const at::Tensor& points, const at::Tensor& strides, int64_t K) {
  check_gather(raw, b, idx, points, strides, 3 * K, "gather_keypoints");
  const int64_t n = idx.size(0);
  at::Tensor r = raw.index({b, idx}).to(at::kFloat).reshape({n, K, 3});
  at::Tensor xy = r.slice(2, 0, 2) * strides.index({idx}).view({n, 1, 1}) +
                  points.index({idx}).view({n, 1, 2});
  return at::cat({xy, at::sigmoid(r.slice(2, 2, 3))}, -1);
}

at::Tensor keypoints_cpu(const at::Tensor& raw, int64_t b, const at::Tensor& idx,
                         const at::Tensor& points, const at::Tensor& strides, int64_t K) {
  check_gather(raw, b, idx, points, strides, 3 * K, "gather_keypoints");
  if (cpu_float(raw) && fused_cpu(idx) && cpu_float(points) && cpu_float(strides) &&
      indices_below(idx, std::min(raw.size(1), points.size(0))))
    return gather_keypoints(raw, b, idx, points, strides, K);
  return keypoints_generic(raw, b, idx, points, strides, K);
}

// The rows of decode_points' formulation, raw * stride + point, at idx.
at::Tensor points_generic(const at::Tensor& raw, int64_t b, const at::Tensor& idx,
                          const at::Tensor& points, const at::Tensor& strides, int64_t N) {
  check_gather(raw, b, idx, points, strides, 2 * N, "gather_points");
  const int64_t A = raw.size(1);
  at::Tensor off = raw.select(0, b).to(at::kFloat).reshape({A, N, 2}) * strides.reshape({-1, 1, 1});
  return (off + points.reshape({-1, 1, 2})).index({idx});
}

at::Tensor points_cpu(const at::Tensor& raw, int64_t b, const at::Tensor& idx,
                      const at::Tensor& points, const at::Tensor& strides, int64_t N) {
  check_gather(raw, b, idx, points, strides, 2 * N, "gather_points");
  if (N >= 1 && cpu_float(raw) && fused_cpu(idx) && cpu_float(points) && cpu_float(strides) &&
      points.size(0) == raw.size(1) && indices_below(idx, raw.size(1)))
    return gather_points(raw, b, idx, points, strides, N);
  return points_generic(raw, b, idx, points, strides, N);
}

at::ScalarType decoded_type(const at::Tensor& points, const at::Tensor& strides) {
  return at::promote_types(at::promote_types(at::kFloat, strides.scalar_type()),
                           points.scalar_type());
}

at::Tensor keypoints_meta(const at::Tensor& raw, int64_t b, const at::Tensor& idx,
                          const at::Tensor& points, const at::Tensor& strides, int64_t K) {
  check_gather(raw, b, idx, points, strides, 3 * K, "gather_keypoints");
  return at::empty_symint({idx.sym_size(0), K, 3},
                          raw.options().dtype(decoded_type(points, strides)));
}

at::Tensor points_meta(const at::Tensor& raw, int64_t b, const at::Tensor& idx,
                       const at::Tensor& points, const at::Tensor& strides, int64_t N) {
  check_gather(raw, b, idx, points, strides, 2 * N, "gather_points");
  return at::empty_symint({idx.sym_size(0), N, 2},
                          raw.options().dtype(decoded_type(points, strides)));
}

// ---- Autograd: below autograd, without recording -----------------------------

// Runs the operator `name` below autograd with gradient recording off.
#define HALCYRA_BELOW_AUTOGRAD(name, kernel, ...)                                      \
  static const auto op = c10::Dispatcher::singleton()                                \
                             .findSchemaOrThrow("halcyra::" name, "")                 \
                             .typed<decltype(kernel)>();                              \
  at::AutoDispatchBelowADInplaceOrView below;                                         \
  at::NoGradGuard no_grad;                                                            \
  return op.call(__VA_ARGS__)

at::Tensor coarse_autograd(const at::Tensor& coarse, const at::Tensor& boxes, int64_t S,
                           const at::Scalar& thres) {
  HALCYRA_BELOW_AUTOGRAD("coarse_masks", coarse_cpu, coarse, boxes, S, thres);
}

at::Tensor protos_autograd(const at::Tensor& coef, const at::Tensor& protos,
                           const at::Tensor& boxes, int64_t S, const at::Scalar& thres) {
  HALCYRA_BELOW_AUTOGRAD("prototype_masks", protos_cpu, coef, protos, boxes, S, thres);
}

Selection select_autograd(const at::Tensor& logits, double thr) {
  HALCYRA_BELOW_AUTOGRAD("select_candidates", select_cpu, logits, thr);
}

at::Tensor nms_autograd(const at::Tensor& boxes, const at::Tensor& scores, const at::Tensor& cls,
                        double iou) {
  HALCYRA_BELOW_AUTOGRAD("class_nms", nms_cpu, boxes, scores, cls, iou);
}

at::Tensor keypoints_autograd(const at::Tensor& raw, int64_t b, const at::Tensor& idx,
                              const at::Tensor& points, const at::Tensor& strides, int64_t K) {
  HALCYRA_BELOW_AUTOGRAD("gather_keypoints", keypoints_cpu, raw, b, idx, points, strides, K);
}

at::Tensor points_autograd(const at::Tensor& raw, int64_t b, const at::Tensor& idx,
                           const at::Tensor& points, const at::Tensor& strides, int64_t N) {
  HALCYRA_BELOW_AUTOGRAD("gather_points", points_cpu, raw, b, idx, points, strides, N);
}

#undef HALCYRA_BELOW_AUTOGRAD

}  // namespace
}  // namespace predict
}  // namespace halcyra

TORCH_LIBRARY_FRAGMENT(halcyra, m) {
  m.def("coarse_masks(Tensor coarse, Tensor boxes, int size, Scalar thres) -> Tensor");
  m.def("prototype_masks(Tensor coef, Tensor protos, Tensor boxes, int size, Scalar thres) "
        "-> Tensor");
  m.def("select_candidates(Tensor logits, float thr) "
        "-> (Tensor image, Tensor anchor, Tensor score, Tensor cls)");
  m.def("class_nms(Tensor boxes, Tensor scores, Tensor cls, float iou) -> Tensor");
  m.def("gather_keypoints(Tensor raw, int b, Tensor idx, Tensor points, Tensor strides, "
        "int num_kpts) -> Tensor");
  m.def("gather_points(Tensor raw, int b, Tensor idx, Tensor points, Tensor strides, "
        "int n_pline) -> Tensor");
}

TORCH_LIBRARY_IMPL(halcyra, CPU, m) {
  using namespace halcyra::predict;
  m.impl("coarse_masks", TORCH_FN(coarse_cpu));
  m.impl("prototype_masks", TORCH_FN(protos_cpu));
  m.impl("select_candidates", TORCH_FN(select_cpu));
  m.impl("class_nms", TORCH_FN(nms_cpu));
  m.impl("gather_keypoints", TORCH_FN(keypoints_cpu));
  m.impl("gather_points", TORCH_FN(points_cpu));
}

TORCH_LIBRARY_IMPL(halcyra, CompositeExplicitAutograd, m) {
  using namespace halcyra::predict;
  m.impl("coarse_masks", TORCH_FN(coarse_generic));
  m.impl("prototype_masks", TORCH_FN(protos_generic));
  m.impl("select_candidates", TORCH_FN(select_generic));
  m.impl("class_nms", TORCH_FN(nms_generic));
  m.impl("gather_keypoints", TORCH_FN(keypoints_generic));
  m.impl("gather_points", TORCH_FN(points_generic));
}

TORCH_LIBRARY_IMPL(halcyra, Autograd, m) {
  using namespace halcyra::predict;
  m.impl("coarse_masks", TORCH_FN(coarse_autograd));
  m.impl("prototype_masks", TORCH_FN(protos_autograd));
  m.impl("select_candidates", TORCH_FN(select_autograd));
  m.impl("class_nms", TORCH_FN(nms_autograd));
  m.impl("gather_keypoints", TORCH_FN(keypoints_autograd));
  m.impl("gather_points", TORCH_FN(points_autograd));
}

// select_candidates and class_nms: fake kernels from Python (unbacked sizes).
TORCH_LIBRARY_IMPL(halcyra, Meta, m) {
  using namespace halcyra::predict;
  m.impl("coarse_masks", TORCH_FN(coarse_meta));
  m.impl("prototype_masks", TORCH_FN(protos_meta));
  m.impl("gather_keypoints", TORCH_FN(keypoints_meta));
  m.impl("gather_points", TORCH_FN(points_meta));
}
