// The predict module's operators: schema, a kernel per dispatch key and the
// fake kernels of the operators whose result sizes are known from the
// arguments' sizes. halcyra/infer/predict.py calls them from postprocess's
// flow; the kernels are select.* and predict.*.
//
//   detect                            a batch's detections, per image: the
//                                     candidates by confidence, the pre-NMS
//                                     cap, torchvision's batched_nms and the
//                                     max_det cut (boxes decoded inside, for
//                                     the candidates alone, when given raw);
//                                     (B, K) rows per field and each image's
//                                     count
//   coarse_masks, prototype_masks     bool (n, S, S) masks
//   refine_regions                    the refine head's whole-pixel regions
//   refine_coarse                     the coarse logits the refine head gets
//   paste_masks                       the refine head's region maps resized,
//                                     thresholded and pasted into (n, S, S)
//   select_candidates                 the candidates of a (B, A, nc) batch of
//                                     class logits, flat: image, anchor,
//                                     best probability, its class
//   class_nms                         survivors of torchvision's batched_nms,
//                                     in its order
//   gather_keypoints, gather_points   the decoded rows of one image's detections;
//                                     .rows: of every image of a batch, from
//                                     detect's padded rows and counts
//   image_tags                        one image's tag probabilities
//   image_rows                        each image's rows of detect's padded
//                                     results, copied
//
// Kernels of every operator (refine_regions, image_tags: composites of tensor
// operations):
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
//                                (unbacked sizes): halcyra/_ops.py. detect's
//                                fake kernel is there too (its K is a
//                                symbolic minimum where the anchors are)
#include <ATen/ATen.h>
#include <ATen/Parallel.h>
#include <ATen/core/dispatch/Dispatcher.h>
#include <torch/library.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <tuple>
#include <vector>

#include "../common/compat.h"
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

float as_float32(double d);

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

// ---- a batch's detections ------------------------------------------------------------

using Detected = std::tuple<std::vector<at::Tensor>, std::vector<at::Tensor>,
                            std::vector<at::Tensor>, std::vector<at::Tensor>>;
using OptTensor = c10::optional<at::Tensor>;

void check_detect(const at::Tensor& logits, const at::Tensor& boxes, const OptTensor& points,
                  const OptTensor& strides) {
  TORCH_CHECK_VALUE(logits.dim() == 3 && logits.size(2) >= 1,
                    "detect(): logits must have shape (B, A, nc) with nc >= 1");
  TORCH_CHECK_VALUE(boxes.dim() == 3 && boxes.size(0) == logits.size(0) &&
                        boxes.size(1) == logits.size(1) && boxes.size(2) == 4,
                    "detect(): boxes must have shape (B, A, 4)");
  TORCH_CHECK_VALUE(points.has_value() == strides.has_value(),
                    "detect(): points and strides are given together");
  TORCH_CHECK_VALUE(!points || (points->dim() == 2 && points->size(0) == logits.size(1) &&
                                points->size(1) == 2 && strides->dim() == 1 &&
                                strides->size(0) == logits.size(1)),
                    "detect(): points (A, 2) and strides (A,) expected");
}

// The float32 threshold a float32 comparison with `thr` uses.
float as_float32(double d) {
  constexpr double kMax = std::numeric_limits<float>::max();
  if (std::isnan(d)) return std::numeric_limits<float>::quiet_NaN();
  if (d > kMax) return std::numeric_limits<float>::infinity();
  if (d < -kMax) return -std::numeric_limits<float>::infinity();
  return static_cast<float>(d);
}

// The boxes of every anchor (B, A, 4): `boxes`, or with points and strides
// the raw regressions decoded by the decode_boxes operator.
at::Tensor decoded(const at::Tensor& boxes, const OptTensor& points, const OptTensor& strides,
                   const at::Scalar& offset) {
  if (!points) return boxes;
  static const auto op =
      c10::Dispatcher::singleton()
          .findSchemaOrThrow("halcyra::decode_boxes", "")
          .typed<at::Tensor(const at::Tensor&, const at::Tensor&, const at::Tensor&,
                            const at::Scalar&)>();
  return op.call(boxes, *points, *strides, offset);
}

// Per image: sigmoid(logits)[b].max(1); the anchors whose probability is
// strictly above conf, ascending; the pre_nms best of them by topk when there
// are more; torchvision's batched_nms of their boxes, cut to keep[:max_det].
Detected images_generic(const at::Tensor& logits, const at::Tensor& boxes, const OptTensor& points,
                        const OptTensor& strides, const at::Scalar& offset, double conf,
                        int64_t pre_nms, double iou, int64_t max_det) {
  check_detect(logits, boxes, points, strides);
  const at::Tensor all = decoded(boxes, points, strides, offset);
  const at::Tensor scores_all = at::sigmoid(logits);
  Detected out;
  for (int64_t b = 0; b < logits.size(0); ++b) {
    auto best = scores_all.select(0, b).max(1);
    const at::Tensor& scores = std::get<0>(best);
    const at::Tensor& cls_id = std::get<1>(best);
    at::Tensor idx = at::nonzero(at::gt(scores, conf)).select(1, 0);
    if (idx.size(0) > pre_nms) idx = idx.index({std::get<1>(scores.index({idx}).topk(pre_nms))});
    const at::Tensor bx = all.select(0, b).index({idx});
    const at::Tensor sc = scores.index({idx});
    const at::Tensor cl = cls_id.index({idx});
    const at::Tensor keep = nms_generic(bx, sc, cl, iou).slice(0, 0, max_det);
    std::get<0>(out).push_back(idx.index({keep}));
    std::get<1>(out).push_back(bx.index({keep}));
    std::get<2>(out).push_back(sc.index({keep}));
    std::get<3>(out).push_back(cl.index({keep}));
  }
  return out;
}

// Length of `keep[:max_det]` for n entries.
int64_t head_length(int64_t n, int64_t max_det) {
  if (max_det >= 0) return std::min(n, max_det);
  return std::max<int64_t>(0, n + max_det);
}

bool cpu_float(const at::Tensor& t) { return fused_cpu(t) && t.scalar_type() == at::kFloat; }

// The fused kernels: one pass over the logits for every image's candidates,
// the boxes of the candidates alone (decoded here where raw regressions are
// given), class-aware NMS of the images in parallel. Exactly the
// formulation's results, which run where a step does not apply.
Detected images_cpu(const at::Tensor& logits, const at::Tensor& boxes, const OptTensor& points,
                    const OptTensor& strides, const at::Scalar& offset, double conf,
                    int64_t pre_nms, double iou, int64_t max_det) {
  check_detect(logits, boxes, points, strides);
  auto generic = [&] {
    return images_generic(logits, boxes, points, strides, offset, conf, pre_nms, iou, max_det);
  };
  if (!cpu_float(logits) || !logits.is_contiguous() || pre_nms < 0 || offset.isComplex() ||
      offset.isBoolean())
    return generic();
  const int64_t B = logits.size(0), nc = logits.size(2);
  std::vector<Candidates> cands;
  if (!select_candidates(logits, as_float32(conf), &cands)) return generic();
  // The pre-NMS cap with the library's top-k (its tie order).
  for (Candidates& c : cands) {
    const int64_t m = static_cast<int64_t>(c.anchor.size());
    if (m <= pre_nms) continue;
    at::Tensor score = at::empty({m}, at::kFloat);
    std::memcpy(score.data_ptr<float>(), c.score.data(), sizeof(float) * m);
    const at::Tensor top = std::get<1>(score.topk(pre_nms)).contiguous();
    const int64_t* tp = top.data_ptr<int64_t>();
    Candidates t;
    for (int64_t i = 0; i < pre_nms; ++i) {
      t.anchor.push_back(c.anchor[tp[i]]);
      t.score.push_back(c.score[tp[i]]);
      t.cls.push_back(c.cls[tp[i]]);
    }
    c = std::move(t);
  }
  std::vector<std::vector<float>> cand_boxes;
  const float off = as_float32(offset.toDouble());
  const bool truthy = offset.isFloatingPoint() ? offset.toDouble() != 0.0 : offset.toLong() != 0;
  bool have = points && std::isfinite(off) && cpu_float(boxes) && boxes.is_contiguous() &&
              cpu_float(*points) && cpu_float(*strides) &&
              candidate_boxes(boxes, *points, *strides, off, truthy, cands, &cand_boxes);
  if (!have) {
    const at::Tensor all = decoded(boxes, points, strides, offset);
    if (!cpu_float(all) || all.dim() != 3 || all.size(2) != 4) return generic();
    cand_boxes.assign(static_cast<size_t>(B), {});
    for (int64_t b = 0; b < B; ++b) {
      const at::Tensor img = all.select(0, b);
      const float* src = img.data_ptr<float>();
      const int64_t s0 = img.stride(0), s1 = img.stride(1);
      std::vector<float>& o = cand_boxes[b];
      o.resize(cands[b].anchor.size() * 4);
      for (size_t k = 0; k < cands[b].anchor.size(); ++k)
        for (int64_t c = 0; c < 4; ++c) o[k * 4 + c] = src[cands[b].anchor[k] * s0 + c * s1];
    }
  }
  std::vector<std::vector<int64_t>> kept(static_cast<size_t>(B));
  at::parallel_for(0, B, 1, [&](int64_t b0, int64_t b1) {
    for (int64_t b = b0; b < b1; ++b) {
      const Candidates& c = cands[b];
      const int64_t m = static_cast<int64_t>(c.anchor.size());
      kept[b] = class_nms(cand_boxes[b].data(), c.score.data(), c.cls.data(), m, nc, iou,
                          nms_per_class(m));
    }
  });
  Detected out;
  for (int64_t b = 0; b < B; ++b) {
    const Candidates& c = cands[b];
    const int64_t m = static_cast<int64_t>(c.anchor.size());
    const int64_t n = head_length(static_cast<int64_t>(kept[b].size()), max_det);
    std::vector<int64_t> keep =
        nms_per_class(m) ? order_by_score(kept[b], c.score.data(), n) : std::move(kept[b]);
    keep.resize(static_cast<size_t>(n));
    at::Tensor idx = at::empty({n}, at::kLong), bx = at::empty({n, 4}, at::kFloat),
               sc = at::empty({n}, at::kFloat), cl = at::empty({n}, at::kLong);
    int64_t* ip = idx.data_ptr<int64_t>();
    float* bp = bx.data_ptr<float>();
    float* sp = sc.data_ptr<float>();
    int64_t* cp = cl.data_ptr<int64_t>();
    for (int64_t k = 0; k < n; ++k) {
      const int64_t p = keep[k];
      ip[k] = c.anchor[p];
      sp[k] = c.score[p];
      cp[k] = c.cls[p];
      std::memcpy(bp + k * 4, cand_boxes[b].data() + p * 4, sizeof(float) * 4);
    }
    std::get<0>(out).push_back(idx);
    std::get<1>(out).push_back(bx);
    std::get<2>(out).push_back(sc);
    std::get<3>(out).push_back(cl);
  }
  return out;
}

// The operator's form of a batch's detections: every image's rows in one
// (B, K) tensor per field, K the most any image can keep (its candidates,
// capped at pre_nms, cut as keep[:max_det]), rows past counts[b] zero. The
// shapes follow from the arguments alone, so a graph holds them without
// data-dependent sizes; counts holds the data.
using Padded = std::tuple<at::Tensor, at::Tensor, at::Tensor, at::Tensor, at::Tensor>;

int64_t detect_rows(int64_t anchors, int64_t pre_nms, int64_t max_det) {
  return head_length(pre_nms >= 0 ? std::min(anchors, pre_nms) : anchors, max_det);
}

at::ScalarType detect_box_type(const at::Tensor& boxes, const OptTensor& points,
                               const OptTensor& strides) {
  if (!points) return boxes.scalar_type();
  return at::promote_types(at::promote_types(boxes.scalar_type(), points->scalar_type()),
                           strides->scalar_type());
}

at::ScalarType detect_score_type(const at::Tensor& logits) {
  return at::isFloatingType(logits.scalar_type()) ? logits.scalar_type()
                                                  : at::typeMetaToScalarType(at::get_default_dtype());
}

Padded padded(const Detected& d, const at::Tensor& logits, const at::Tensor& boxes,
              const OptTensor& points, const OptTensor& strides, int64_t pre_nms,
              int64_t max_det) {
  const int64_t B = logits.size(0), K = detect_rows(logits.size(1), pre_nms, max_det);
  const auto o = logits.options();
  at::Tensor index = at::zeros({B, K}, o.dtype(at::kLong)),
             bx = at::zeros({B, K, 4}, o.dtype(detect_box_type(boxes, points, strides))),
             sc = at::zeros({B, K}, o.dtype(detect_score_type(logits))),
             cl = at::zeros({B, K}, o.dtype(at::kLong));
  std::vector<int64_t> counts(static_cast<size_t>(B));
  for (int64_t b = 0; b < B; ++b) {
    const int64_t n = std::get<0>(d)[b].size(0);
    TORCH_INTERNAL_ASSERT(n <= K, "detect(): ", n, " detections in an image, at most ", K);
    counts[b] = n;
    index.select(0, b).narrow(0, 0, n).copy_(std::get<0>(d)[b]);
    bx.select(0, b).narrow(0, 0, n).copy_(std::get<1>(d)[b]);
    sc.select(0, b).narrow(0, 0, n).copy_(std::get<2>(d)[b]);
    cl.select(0, b).narrow(0, 0, n).copy_(std::get<3>(d)[b]);
  }
  return {index, bx, sc, cl, at::tensor(counts, o.dtype(at::kLong))};
}

Padded detect_generic(const at::Tensor& logits, const at::Tensor& boxes, const OptTensor& points,
                      const OptTensor& strides, const at::Scalar& offset, double conf,
                      int64_t pre_nms, double iou, int64_t max_det) {
  return padded(images_generic(logits, boxes, points, strides, offset, conf, pre_nms, iou, max_det),
                logits, boxes, points, strides, pre_nms, max_det);
}

Padded detect_cpu(const at::Tensor& logits, const at::Tensor& boxes, const OptTensor& points,
                  const OptTensor& strides, const at::Scalar& offset, double conf,
                  int64_t pre_nms, double iou, int64_t max_det) {
  return padded(images_cpu(logits, boxes, points, strides, offset, conf, pre_nms, iou, max_det),
                logits, boxes, points, strides, pre_nms, max_det);
}

// ---- the refine head's regions and their masks ---------------------------------------

// Whole-pixel regions (n, 4) of the sanitized boxes (n, 4) on an S x S canvas:
// x1, y1 = floor, clamped to [0, S - mn]; x2, y2 = ceil, at least x1 + mn,
// y1 + mn, at most S.
at::Tensor refine_regions(const at::Tensor& boxes, int64_t S, int64_t mn) {
  TORCH_CHECK_VALUE(boxes.dim() == 2 && boxes.sym_size(1) == 4,
                    "refine_regions(): boxes must have shape (n, 4)");
  const at::Tensor x1 = at::floor(boxes.select(1, 0)).clamp(at::Scalar(0), at::Scalar(S - mn));
  const at::Tensor y1 = at::floor(boxes.select(1, 1)).clamp(at::Scalar(0), at::Scalar(S - mn));
  const at::Tensor x2 =
      at::maximum(at::ceil(boxes.select(1, 2)), x1 + at::Scalar(mn)).clamp_max(at::Scalar(S));
  const at::Tensor y2 =
      at::maximum(at::ceil(boxes.select(1, 3)), y1 + at::Scalar(mn)).clamp_max(at::Scalar(S));
  return at::stack({x1, y1, x2, y2}, 1);
}

void check_paste(const at::Tensor& refined, const at::Tensor& regions, const at::Tensor& boxes,
                 int64_t S) {
  TORCH_CHECK_VALUE(refined.dim() == 3, "paste_masks(): refined must have shape (r, h, w)");
  TORCH_CHECK_VALUE(regions.dim() == 2 && regions.sym_size(1) == 4,
                    "paste_masks(): regions must have shape (m, 4)");
  TORCH_CHECK_VALUE(boxes.dim() == 2, "paste_masks(): boxes must have shape (n, 4)");
  TORCH_CHECK_VALUE(S > 0, "paste_masks(): size must be positive, got ", S);
}

// masks (n, S, S) bool, one per row of boxes: for k = 0 .. n-1 in turn, the
// edges of regions[k] as integers, refined[k] resized bilinearly to the region
// (align_corners=False), and sigmoid(patch) > thres written there; every other
// pixel false. Fails as that loop fails in Python: IndexError for a row k that
// regions or refined lacks, ValueError for a NaN edge. One host read of the
// region edges.
at::Tensor paste_masks(const at::Tensor& refined, const at::Tensor& regions, const at::Tensor& boxes,
                       int64_t S, const at::Scalar& thres) {
  check_paste(refined, regions, boxes, S);
  const int64_t n = boxes.size(0), m = regions.size(0), r = refined.size(0);
  const at::Tensor host = host_read(regions.to(at::kDouble));
  const double* e = host.data_ptr<double>();
  // Where every region lies on the canvas, the CPU paste writes each pixel
  // once: the regions below, the rest cleared afterwards.
  std::vector<std::array<int64_t, 4>> edges;
  bool on_canvas = m >= n;
  for (int64_t k = 0; k < n && on_canvas; ++k) {
    std::array<int64_t, 4> q{};
    for (int i = 0; i < 4 && on_canvas; ++i) {
      const double v = e[k * 4 + i];
      on_canvas = std::isfinite(v) && v >= 0 && v <= static_cast<double>(S);
      q[i] = on_canvas ? static_cast<int64_t>(v) : 0;
    }
    on_canvas = on_canvas && q[0] <= q[2] && q[1] <= q[3];
    edges.push_back(q);
  }
  const auto opts = boxes.options().dtype(at::kBool);
  const bool clear_after = on_canvas && fused_cpu(boxes);
  at::Tensor masks = clear_after ? at::empty({n, S, S}, opts) : at::zeros({n, S, S}, opts);
  for (int64_t k = 0; k < n; ++k) {
    TORCH_CHECK_INDEX(k < m, "index ", k, " is out of bounds for dimension 0 with size ", m);
    int64_t q[4];
    for (int i = 0; i < 4; ++i) {
      const double v = e[k * 4 + i];
      TORCH_CHECK_VALUE(!std::isnan(v), "cannot convert float NaN to integer");
      TORCH_CHECK_VALUE(!std::isinf(v), "cannot convert float infinity to integer");
      q[i] = static_cast<int64_t>(v);
    }
    const int64_t x1 = q[0], y1 = q[1], x2 = q[2], y2 = q[3];
    TORCH_CHECK_INDEX(k < r, "index ", k, " is out of bounds for dimension 0 with size ", r);
    at::Tensor patch = at::upsample_bilinear2d(refined.select(0, k).unsqueeze(0).unsqueeze(0),
                                               {y2 - y1, x2 - x1}, false, c10::nullopt,
                                               c10::nullopt)
                           .select(0, 0)
                           .select(0, 0);
    if (paste_region(masks, k, y1, x1, patch, thres)) continue;
    masks.select(0, k).slice(0, y1, y2).slice(1, x1, x2).copy_(at::gt(at::sigmoid(patch), thres));
  }
  if (clear_after) clear_outside(masks, edges);
  return masks;
}

at::Tensor paste_meta(const at::Tensor& refined, const at::Tensor& regions, const at::Tensor& boxes,
                      int64_t S, const at::Scalar&) {
  check_paste(refined, regions, boxes, S);
  return at::empty_symint({boxes.sym_size(0), S, S}, boxes.options().dtype(at::kBool));
}

// ---- the refine head's coarse logits --------------------------------------------------

void check_product(const at::Tensor& coef, const at::Tensor& protos) {
  TORCH_CHECK_VALUE(coef.dim() == 2 && protos.dim() == 3 && coef.sym_size(1) == protos.sym_size(0),
                    "refine_coarse(): coef (n, P) and protos (P, h, w) expected");
}

// Region edges (x1, y1, x2, y2) as integers, when every one is a whole number
// within the S x S canvas and the regions are ordered.
bool canvas_regions(const double* e, int64_t n, int64_t S,
                    std::vector<std::array<int64_t, 4>>* out) {
  out->resize(static_cast<size_t>(n));
  for (int64_t k = 0; k < n; ++k) {
    for (int i = 0; i < 4; ++i)
      if (!std::isfinite(e[k * 4 + i]) || e[k * 4 + i] < 0 || e[k * 4 + i] > static_cast<double>(S))
        return false;
    auto& r = (*out)[k];
    for (int i = 0; i < 4; ++i) r[i] = static_cast<int64_t>(e[k * 4 + i]);
    if (r[0] > r[2] || r[1] > r[3]) return false;
  }
  return true;
}

// The coarse cells the shipped head samples for each region, with a margin
// of two cells for the roundings of its float arithmetic. The shipped head
// reads the coarse logits only through roi_align over its regions (in coarse
// cells: the region scaled by wm / (W2 * stride), hm / (H2 * stride)), that
// is at the four neighbours of each sampling point, or at cell (0, 0) with
// weight 0 for points off the grid.
std::vector<Block> sampled_blocks(const std::vector<std::array<int64_t, 4>>& regions, int64_t hm,
                                  int64_t wm, double sx, double sy) {
  std::vector<Block> blocks;
  for (const auto& r : regions) {
    Block b;
    b.r0 = std::max<int64_t>(0, static_cast<int64_t>(std::floor(r[1] * sy - 0.5)) - 2);
    b.r1 = std::min<int64_t>(hm - 1, static_cast<int64_t>(std::floor(r[3] * sy - 0.5)) + 3);
    b.c0 = std::max<int64_t>(0, static_cast<int64_t>(std::floor(r[0] * sx - 0.5)) - 2);
    b.c1 = std::min<int64_t>(wm - 1, static_cast<int64_t>(std::floor(r[2] * sx - 0.5)) + 3);
    if (b.r0 > b.r1 || b.c0 > b.c1) b = {1, 0, 1, 0};
    blocks.push_back(b);
  }
  return blocks;
}

// coef (n, P) @ protos (P, hm, wm) as (n, hm, wm): the library's product. With
// `regions` (n, 4) on the S x S canvas of a feature map h2 x w2 at `stride`
// pixels per cell, for a head that reads the logits only as the shipped
// RefineHead does, the CPU kernel computes the cells around the regions alone
// (the same sums in the same order; every other cell unspecified).
at::Tensor coarse_cpu_product(const at::Tensor& coef, const at::Tensor& protos,
                              const OptTensor& regions, int64_t S, double stride, int64_t h2,
                              int64_t w2) {
  check_product(coef, protos);
  const int64_t n = coef.size(0), hm = protos.size(1), wm = protos.size(2);
  if (regions && fused_cpu(coef) && h2 > 0 && w2 > 0 && regions->dim() == 2 &&
      regions->size(0) == n && regions->size(1) == 4) {
    const at::Tensor host = host_read(regions->to(at::kDouble));
    std::vector<std::array<int64_t, 4>> edges;
    if (canvas_regions(host.data_ptr<double>(), n, S, &edges)) {
      const double sx = static_cast<double>(wm) / (static_cast<double>(w2) * stride);
      const double sy = static_cast<double>(hm) / (static_cast<double>(h2) * stride);
      at::Tensor c = coarse_blocks(coef, protos, sampled_blocks(edges, hm, wm, sx, sy));
      if (c.defined()) return c;
    }
  }
  return coarse_product(coef, protos);
}

at::Tensor coarse_generic_product(const at::Tensor& coef, const at::Tensor& protos,
                                  const OptTensor&, int64_t, double, int64_t, int64_t) {
  check_product(coef, protos);
  return product_formulation(coef, protos);
}

at::Tensor coarse_meta_product(const at::Tensor& coef, const at::Tensor& protos,
                               const OptTensor&, int64_t, double, int64_t, int64_t) {
  check_product(coef, protos);
  return at::empty_symint({coef.sym_size(0), protos.sym_size(1), protos.sym_size(2)},
                          coef.options().dtype(at::promote_types(coef.scalar_type(),
                                                                 protos.scalar_type())));
}

// ---- keypoints and polyline points of the detections -----------------------------------

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
      indices_below(idx, std::min(raw.size(1), points.size(0)))) {
    const at::Tensor ix = idx.contiguous();
    return gather_keypoints(raw, {{b, ix.data_ptr<int64_t>(), ix.size(0)}}, points, strides, K)[0];
  }
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
      points.size(0) == raw.size(1) && indices_below(idx, raw.size(1))) {
    const at::Tensor ix = idx.contiguous();
    return gather_points(raw, {{b, ix.data_ptr<int64_t>(), ix.size(0)}}, points, strides, N)[0];
  }
  return points_generic(raw, b, idx, points, strides, N);
}

// ---- the same, for every image of a batch at once: image b's detections
// are the first counts[b] anchors of row b of idx (detect's padded rows)

void check_gather_rows(const at::Tensor& raw, const at::Tensor& idx, at::IntArrayRef counts,
                       const at::Tensor& points, const at::Tensor& strides, int64_t per_anchor,
                       const char* name) {
  TORCH_CHECK_VALUE(raw.dim() == 3 && raw.sym_size(2) == per_anchor, name,
                    "(): raw must have shape (B, A, ", per_anchor, ")");
  TORCH_CHECK_VALUE(idx.dim() == 2 && idx.scalar_type() == at::kLong, name,
                    "(): idx must be a 2-D int64 tensor");
  const int64_t B = static_cast<int64_t>(counts.size());
  TORCH_CHECK_INDEX(B == 0 || (raw.sym_size(0) >= B && idx.sym_size(0) >= B), name,
                    "(): ", B, " images, more than raw or idx has");
  for (int64_t n : counts)
    TORCH_CHECK_VALUE(n >= 0 && idx.sym_size(1) >= n, name, "(): a count of ", n,
                      " outside idx's rows");
  TORCH_CHECK_VALUE(points.dim() == 2 && points.sym_size(1) == 2 && strides.dim() == 1 &&
                        points.sym_size(0) == strides.sym_size(0),
                    name, "(): points (A, 2) and strides (A,) expected");
}

template <class F>
std::vector<at::Tensor> per_image(const at::Tensor& idx, at::IntArrayRef counts, F&& one) {
  std::vector<at::Tensor> out;
  for (size_t b = 0; b < counts.size(); ++b)
    out.push_back(one(static_cast<int64_t>(b), idx.select(0, b).narrow(0, 0, counts[b])));
  return out;
}

// The fused kernels' images, where every index of every image is below `bound`.
bool fused_rows(const at::Tensor& ix, at::IntArrayRef counts, int64_t bound,
                std::vector<ImageRows>* images) {
  const int64_t* p = ix.data_ptr<int64_t>();
  for (size_t b = 0; b < counts.size(); ++b) {
    const int64_t* row = p + static_cast<int64_t>(b) * ix.size(1);
    for (int64_t k = 0; k < counts[b]; ++k)
      if (row[k] < 0 || row[k] >= bound) return false;
    images->push_back({static_cast<int64_t>(b), row, counts[b]});
  }
  return true;
}

std::vector<at::Tensor> keypoints_rows_generic(const at::Tensor& raw, const at::Tensor& idx,
                                               at::IntArrayRef counts, const at::Tensor& points,
                                               const at::Tensor& strides, int64_t K) {
  check_gather_rows(raw, idx, counts, points, strides, 3 * K, "gather_keypoints");
  return per_image(idx, counts, [&](int64_t b, const at::Tensor& rows) {
    return keypoints_generic(raw, b, rows, points, strides, K);
  });
}

std::vector<at::Tensor> keypoints_rows_cpu(const at::Tensor& raw, const at::Tensor& idx,
                                           at::IntArrayRef counts, const at::Tensor& points,
                                           const at::Tensor& strides, int64_t K) {
  check_gather_rows(raw, idx, counts, points, strides, 3 * K, "gather_keypoints");
  if (cpu_float(raw) && fused_cpu(idx) && cpu_float(points) && cpu_float(strides)) {
    const at::Tensor ix = idx.contiguous();
    std::vector<ImageRows> images;
    if (fused_rows(ix, counts, std::min(raw.size(1), points.size(0)), &images))
      return gather_keypoints(raw, images, points, strides, K);
  }
  return per_image(idx, counts, [&](int64_t b, const at::Tensor& rows) {
    return keypoints_cpu(raw, b, rows, points, strides, K);
  });
}

std::vector<at::Tensor> points_rows_generic(const at::Tensor& raw, const at::Tensor& idx,
                                            at::IntArrayRef counts, const at::Tensor& points,
                                            const at::Tensor& strides, int64_t N) {
  check_gather_rows(raw, idx, counts, points, strides, 2 * N, "gather_points");
  return per_image(idx, counts, [&](int64_t b, const at::Tensor& rows) {
    return points_generic(raw, b, rows, points, strides, N);
  });
}

std::vector<at::Tensor> points_rows_cpu(const at::Tensor& raw, const at::Tensor& idx,
                                        at::IntArrayRef counts, const at::Tensor& points,
                                        const at::Tensor& strides, int64_t N) {
  check_gather_rows(raw, idx, counts, points, strides, 2 * N, "gather_points");
  if (N >= 1 && cpu_float(raw) && fused_cpu(idx) && cpu_float(points) && cpu_float(strides) &&
      points.size(0) == raw.size(1)) {
    const at::Tensor ix = idx.contiguous();
    std::vector<ImageRows> images;
    if (fused_rows(ix, counts, raw.size(1), &images))
      return gather_points(raw, images, points, strides, N);
  }
  return per_image(idx, counts, [&](int64_t b, const at::Tensor& rows) {
    return points_cpu(raw, b, rows, points, strides, N);
  });
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

// Each image's (counts[b], n, width) result of a batch gather.
std::vector<at::Tensor> rows_meta(const at::Tensor& raw, const at::Tensor& idx,
                                  at::IntArrayRef counts, const at::Tensor& points,
                                  const at::Tensor& strides, int64_t n, int64_t width,
                                  const char* name) {
  check_gather_rows(raw, idx, counts, points, strides, n * width, name);
  std::vector<at::Tensor> out;
  for (int64_t c : counts)
    out.push_back(at::empty({c, n, width}, raw.options().dtype(decoded_type(points, strides))));
  return out;
}

std::vector<at::Tensor> keypoints_rows_meta(const at::Tensor& raw, const at::Tensor& idx,
                                            at::IntArrayRef counts, const at::Tensor& points,
                                            const at::Tensor& strides, int64_t K) {
  return rows_meta(raw, idx, counts, points, strides, K, 3, "gather_keypoints");
}

std::vector<at::Tensor> points_rows_meta(const at::Tensor& raw, const at::Tensor& idx,
                                         at::IntArrayRef counts, const at::Tensor& points,
                                         const at::Tensor& strides, int64_t N) {
  return rows_meta(raw, idx, counts, points, strides, N, 2, "gather_points");
}

// ---- Autograd: below autograd, without recording -----------------------------

// Runs the operator `name` (overload `overload`) below autograd with gradient
// recording off.
#define HALCYRA_BELOW_AUTOGRAD_AT(name, overload, kernel, ...)                         \
  static const auto op = c10::Dispatcher::singleton()                                \
                             .findSchemaOrThrow("halcyra::" name, overload)           \
                             .typed<decltype(kernel)>();                              \
  at::AutoDispatchBelowADInplaceOrView below;                                         \
  at::NoGradGuard no_grad;                                                            \
  return op.call(__VA_ARGS__)
#define HALCYRA_BELOW_AUTOGRAD(name, kernel, ...) \
  HALCYRA_BELOW_AUTOGRAD_AT(name, "", kernel, __VA_ARGS__)

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

std::vector<at::Tensor> keypoints_rows_autograd(const at::Tensor& raw, const at::Tensor& idx,
                                                at::IntArrayRef counts, const at::Tensor& points,
                                                const at::Tensor& strides, int64_t K) {
  HALCYRA_BELOW_AUTOGRAD_AT("gather_keypoints", "rows", keypoints_rows_cpu, raw, idx, counts, points,
                            strides, K);
}

std::vector<at::Tensor> points_rows_autograd(const at::Tensor& raw, const at::Tensor& idx,
                                             at::IntArrayRef counts, const at::Tensor& points,
                                             const at::Tensor& strides, int64_t N) {
  HALCYRA_BELOW_AUTOGRAD_AT("gather_points", "rows", points_rows_cpu, raw, idx, counts, points,
                            strides, N);
}

Padded detect_autograd(const at::Tensor& logits, const at::Tensor& boxes, const OptTensor& points,
                         const OptTensor& strides, const at::Scalar& offset, double conf,
                         int64_t pre_nms, double iou, int64_t max_det) {
  HALCYRA_BELOW_AUTOGRAD("detect", detect_cpu, logits, boxes, points, strides, offset, conf,
                         pre_nms, iou, max_det);
}

at::Tensor paste_autograd(const at::Tensor& refined, const at::Tensor& regions,
                          const at::Tensor& boxes, int64_t S, const at::Scalar& thres) {
  HALCYRA_BELOW_AUTOGRAD("paste_masks", paste_masks, refined, regions, boxes, S, thres);
}

at::Tensor coarse_autograd_product(const at::Tensor& coef, const at::Tensor& protos,
                                   const OptTensor& regions, int64_t S, double stride, int64_t h2,
                                   int64_t w2) {
  HALCYRA_BELOW_AUTOGRAD("refine_coarse", coarse_cpu_product, coef, protos, regions, S, stride, h2,
                         w2);
}


// Each image's rows of detect's padded (B, K, ...) results, image by image:
// t[b, :counts[b]] of every t, each a tensor of its own.
void check_image_rows(at::TensorList padded, at::IntArrayRef counts) {
  for (const at::Tensor& t : padded) {
    TORCH_CHECK_VALUE(t.dim() >= 2, "image_rows(): padded tensors of at least 2 dimensions expected");
    TORCH_CHECK_INDEX(static_cast<int64_t>(counts.size()) <= t.size(0), "image_rows(): ",
                      counts.size(), " images, more than a padded tensor has");
    for (int64_t n : counts)
      TORCH_CHECK_VALUE(n >= 0 && n <= t.size(1), "image_rows(): a count of ", n,
                        " outside the padded rows");
  }
}

std::vector<at::Tensor> image_rows_generic(at::TensorList padded, at::IntArrayRef counts) {
  check_image_rows(padded, counts);
  std::vector<at::Tensor> out;
  out.reserve(counts.size() * padded.size());
  for (size_t b = 0; b < counts.size(); ++b)
    for (const at::Tensor& t : padded)
      out.push_back(t.select(0, static_cast<int64_t>(b)).narrow(0, 0, counts[b]).clone());
  return out;
}

// The shape of image b's piece of a padded (B, K, ...) tensor: (n, ...).
std::vector<int64_t> piece_shape(const at::Tensor& t, int64_t n) {
  std::vector<int64_t> shape(t.sizes().begin() + 1, t.sizes().end());
  shape[0] = n;
  return shape;
}

// Contiguous CPU tensors: each piece a copy of its rows' memory.
std::vector<at::Tensor> image_rows_cpu(at::TensorList padded, at::IntArrayRef counts) {
  for (const at::Tensor& t : padded)
    if (!t.is_cpu() || !t.is_contiguous() || t.dim() < 2 || t.is_quantized())
      return image_rows_generic(padded, counts);
  check_image_rows(padded, counts);
  std::vector<at::Tensor> out;
  out.reserve(counts.size() * padded.size());
  for (size_t b = 0; b < counts.size(); ++b)
    for (const at::Tensor& t : padded) {
      at::Tensor piece = at::empty(piece_shape(t, counts[b]), t.options());
      const int64_t row = t.stride(1) * t.element_size();
      if (piece.numel() > 0)
        std::memcpy(piece.data_ptr(),
                    static_cast<const char*>(t.data_ptr()) + b * t.stride(0) * t.element_size(),
                    counts[b] * row);
      out.push_back(piece);
    }
  return out;
}

std::vector<at::Tensor> image_rows_meta(at::TensorList padded, at::IntArrayRef counts) {
  check_image_rows(padded, counts);
  std::vector<at::Tensor> out;
  for (size_t b = 0; b < counts.size(); ++b)
    for (const at::Tensor& t : padded)
      out.push_back(at::empty(piece_shape(t, counts[b]), t.options()));
  return out;
}

std::vector<at::Tensor> image_rows_autograd(at::TensorList padded, at::IntArrayRef counts) {
  HALCYRA_BELOW_AUTOGRAD("image_rows", image_rows_cpu, padded, counts);
}

#undef HALCYRA_BELOW_AUTOGRAD
#undef HALCYRA_BELOW_AUTOGRAD_AT

// The tag probabilities of image b: row b (indexed as `logits[b]` is, with its
// IndexError), as float32, through the sigmoid.
at::Tensor image_tags(const at::Tensor& logits, int64_t b) {
  return logits.index({b}).to(at::kFloat).sigmoid();
}

}  // namespace
}  // namespace predict
}  // namespace halcyra

TORCH_LIBRARY_FRAGMENT(halcyra, m) {
  m.def("detect(Tensor logits, Tensor boxes, Tensor? points, Tensor? strides, Scalar offset, "
        "float conf, int pre_nms, float iou, int max_det) "
        "-> (Tensor index, Tensor boxes, Tensor scores, Tensor cls, Tensor counts)");
  m.def("refine_regions(Tensor boxes, int size, int min_side) -> Tensor");
  m.def("refine_coarse(Tensor coef, Tensor protos, Tensor? regions, int size, float stride, "
        "int height, int width) -> Tensor");
  m.def("paste_masks(Tensor refined, Tensor regions, Tensor boxes, int size, Scalar thres) "
        "-> Tensor");
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
  m.def("gather_keypoints.rows(Tensor raw, Tensor idx, int[] counts, Tensor points, "
        "Tensor strides, int num_kpts) -> Tensor[]");
  m.def("gather_points.rows(Tensor raw, Tensor idx, int[] counts, Tensor points, "
        "Tensor strides, int n_pline) -> Tensor[]");
  m.def("image_tags(Tensor logits, int b) -> Tensor");
  m.def("image_rows(Tensor[] padded, int[] counts) -> Tensor[]");
}

TORCH_LIBRARY_IMPL(halcyra, CPU, m) {
  using namespace halcyra::predict;
  m.impl("refine_coarse", TORCH_FN(coarse_cpu_product));
  m.impl("detect", TORCH_FN(detect_cpu));
  m.impl("paste_masks", TORCH_FN(paste_masks));
  m.impl("coarse_masks", TORCH_FN(coarse_cpu));
  m.impl("prototype_masks", TORCH_FN(protos_cpu));
  m.impl("select_candidates", TORCH_FN(select_cpu));
  m.impl("class_nms", TORCH_FN(nms_cpu));
  m.impl("gather_keypoints", TORCH_FN(keypoints_cpu));
  m.impl("gather_points", TORCH_FN(points_cpu));
  m.impl("gather_keypoints.rows", TORCH_FN(keypoints_rows_cpu));
  m.impl("gather_points.rows", TORCH_FN(points_rows_cpu));
  m.impl("image_rows", TORCH_FN(image_rows_cpu));
}

TORCH_LIBRARY_IMPL(halcyra, CompositeExplicitAutograd, m) {
  using namespace halcyra::predict;
  m.impl("refine_coarse", TORCH_FN(coarse_generic_product));
  m.impl("detect", TORCH_FN(detect_generic));
  m.impl("paste_masks", TORCH_FN(paste_masks));
  m.impl("coarse_masks", TORCH_FN(coarse_generic));
  m.impl("prototype_masks", TORCH_FN(protos_generic));
  m.impl("select_candidates", TORCH_FN(select_generic));
  m.impl("class_nms", TORCH_FN(nms_generic));
  m.impl("gather_keypoints", TORCH_FN(keypoints_generic));
  m.impl("gather_points", TORCH_FN(points_generic));
  m.impl("gather_keypoints.rows", TORCH_FN(keypoints_rows_generic));
  m.impl("gather_points.rows", TORCH_FN(points_rows_generic));
  m.impl("image_rows", TORCH_FN(image_rows_generic));
}

TORCH_LIBRARY_IMPL(halcyra, CompositeImplicitAutograd, m) {
  m.impl("refine_regions", TORCH_FN(halcyra::predict::refine_regions));
  m.impl("image_tags", TORCH_FN(halcyra::predict::image_tags));
}

TORCH_LIBRARY_IMPL(halcyra, Autograd, m) {
  using namespace halcyra::predict;
  m.impl("refine_coarse", TORCH_FN(coarse_autograd_product));
  m.impl("detect", TORCH_FN(detect_autograd));
  m.impl("paste_masks", TORCH_FN(paste_autograd));
  m.impl("coarse_masks", TORCH_FN(coarse_autograd));
  m.impl("prototype_masks", TORCH_FN(protos_autograd));
  m.impl("select_candidates", TORCH_FN(select_autograd));
  m.impl("class_nms", TORCH_FN(nms_autograd));
  m.impl("gather_keypoints", TORCH_FN(keypoints_autograd));
  m.impl("gather_points", TORCH_FN(points_autograd));
  m.impl("gather_keypoints.rows", TORCH_FN(keypoints_rows_autograd));
  m.impl("gather_points.rows", TORCH_FN(points_rows_autograd));
  m.impl("image_rows", TORCH_FN(image_rows_autograd));
}

// detect, select_candidates and class_nms: fake kernels from Python (unbacked sizes).
TORCH_LIBRARY_IMPL(halcyra, Meta, m) {
  using namespace halcyra::predict;
  m.impl("refine_coarse", TORCH_FN(coarse_meta_product));
  m.impl("paste_masks", TORCH_FN(paste_meta));
  m.impl("coarse_masks", TORCH_FN(coarse_meta));
  m.impl("prototype_masks", TORCH_FN(protos_meta));
  m.impl("gather_keypoints", TORCH_FN(keypoints_meta));
  m.impl("gather_points", TORCH_FN(points_meta));
  m.impl("gather_keypoints.rows", TORCH_FN(keypoints_rows_meta));
  m.impl("gather_points.rows", TORCH_FN(points_rows_meta));
  m.impl("image_rows", TORCH_FN(image_rows_meta));
}
