// The per-image flow of postprocess (flow.h).
#include "flow.h"

#include <ATen/Parallel.h>
#include <ATen/TracerMode.h>
#include <ATen/core/grad_mode.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <utility>

#include "../pyapi/compat.h"
#include "predict.h"
#include "select.h"

namespace halcyra {
namespace predict {
namespace {

using at::indexing::Slice;

// v[s] for a fetched entry: the tensor's own indexing, or the entry's.
at::Tensor subscript(Callbacks& cb, const Value& v, Entry e, const Subscript& s) {
  if (!v.is_tensor()) return cb.index(v, e, s);
  if (s.range) return v.tensor.index({Slice(s.b, s.b + 1)});
  if (s.idx.defined()) return v.tensor.index({s.b, s.idx});
  return v.tensor.index({s.b});
}

// int(v) of a whole-number float region edge, with Python's errors.
int64_t edge(Callbacks& cb, double v) {
  if (std::isnan(v)) cb.raise(Error::kValue, "cannot convert float NaN to integer");
  if (std::isinf(v)) cb.raise(Error::kOverflow, "cannot convert float infinity to integer");
  return static_cast<int64_t>(v);
}

// Length of `keep[:max_det]` for n entries and an integer max_det.
int64_t head_length(int64_t n, int64_t max_det) {
  if (max_det >= 0) return std::min(n, max_det);
  return std::max<int64_t>(0, n + max_det);
}

at::Tensor long_tensor(const int64_t* v, int64_t n) {
  at::Tensor t = at::empty({n}, at::kLong);
  if (n) std::memcpy(t.data_ptr<int64_t>(), v, sizeof(int64_t) * n);
  return t;
}

at::Tensor float_tensor(const float* v, int64_t n) {
  at::Tensor t = at::empty({n}, at::kFloat);
  if (n) std::memcpy(t.data_ptr<float>(), v, sizeof(float) * n);
  return t;
}

// Candidates of one image: the boxes gathered from boxes_all (B, A, 4).
std::vector<float> gather_boxes(const at::Tensor& boxes_all, int64_t b,
                                const std::vector<int64_t>& anchor) {
  const at::Tensor img = boxes_all.select(0, b);
  const float* src = img.data_ptr<float>();
  const int64_t s0 = img.stride(0), s1 = img.stride(1);
  std::vector<float> out(anchor.size() * 4);
  for (size_t k = 0; k < anchor.size(); ++k)
    for (int64_t c = 0; c < 4; ++c) out[k * 4 + c] = src[anchor[k] * s0 + c * s1];
  return out;
}

// The largest anchor index of idx (n,) int64 on CPU, -1 when empty.
int64_t max_index(const at::Tensor& idx) {
  at::Tensor ix = idx.contiguous();
  const int64_t* p = ix.data_ptr<int64_t>();
  int64_t m = -1;
  for (int64_t i = 0; i < ix.numel(); ++i) m = std::max(m, p[i]);
  return m;
}

// A float32 tensor that the CPU fast paths may read.
bool cpu_float(const at::Tensor& t) { return fused_cpu(t) && t.scalar_type() == at::kFloat; }

struct Image {
  int64_t b;
  at::Tensor idx;  // anchor index of every detection, output order
  at::Tensor bx;   // (n, 4) boxes
  at::Device device;
};

// The detections' mask coefficients (n, P) and the image's prototypes (P, hm, wm).
std::pair<at::Tensor, at::Tensor> mask_inputs(Callbacks& cb, const Image& im) {
  Value protos_obj = cb.fetch(Entry::kProtos);
  at::Tensor protos = subscript(cb, protos_obj, Entry::kProtos, {im.b}).to(at::kFloat);
  if (protos.dim() != 3) cb.raise_unpack(3, protos.dim());
  Value coef_obj = cb.fetch(Entry::kCoef);
  at::Tensor coef = subscript(cb, coef_obj, Entry::kCoef, {im.b, im.idx}).to(at::kFloat);
  return {coef, protos};
}

// Coarse mask logits (n, hm, wm): the coefficient-weighted sum of the prototypes.
at::Tensor coarse_logits(const at::Tensor& coef, const at::Tensor& protos) {
  return coarse_product(coef, protos);
}

// Region edges (x1, y1, x2, y2) as Python ints would see them, when every one
// is a whole number within the canvas and the regions are ordered.
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

at::Tensor refine_masks(Callbacks& cb, const Image& im,
                        const std::pair<at::Tensor, at::Tensor>& inputs, int64_t S) {
  const int64_t n = im.idx.size(0);
  const at::Tensor& coef = inputs.first;
  const at::Tensor& protos = inputs.second;
  // The shipped head samples the coarse logits around its regions only: on CPU
  // they are computed there once the regions are known (the product is
  // checked to be well formed first, so that it fails where it always did).
  const bool partial = fused_cpu(im.device) && coef.dim() == 2 && protos.dim() == 3 &&
                       coef.size(1) == protos.size(0) && cb.refine_as_shipped();
  at::Tensor coarse;
  if (!partial) coarse = coarse_logits(coef, protos);
  at::Tensor f2 = cb.fetch_tensor(Entry::kF2);
  if (f2.dim() < 2) cb.raise_unpack(2, f2.dim());
  const int64_t H2 = f2.size(-2), W2 = f2.size(-1);
  if (W2 == 0) cb.raise(Error::kZeroDivision, "division by zero");
  const double feat_stride = static_cast<double>(S) / static_cast<double>(W2);
  const int64_t mn = std::max<int64_t>(static_cast<int64_t>(std::ceil(feat_stride)), 1);
  at::Tensor bxs = cb.sanitize(im.bx, H2, W2, feat_stride);
  at::Tensor rx1 = at::floor(bxs.index({Slice(), 0})).clamp(at::Scalar(0), at::Scalar(S - mn));
  at::Tensor ry1 = at::floor(bxs.index({Slice(), 1})).clamp(at::Scalar(0), at::Scalar(S - mn));
  at::Tensor rx2 = at::maximum(at::ceil(bxs.index({Slice(), 2})), rx1 + at::Scalar(mn)).clamp_max(at::Scalar(S));
  at::Tensor ry2 = at::maximum(at::ceil(bxs.index({Slice(), 3})), ry1 + at::Scalar(mn)).clamp_max(at::Scalar(S));
  at::Tensor bx_int = at::stack({rx1, ry1, rx2, ry2}, 1);
  // One transfer of the region edges instead of four host reads per region.
  at::Tensor host = host_read(bx_int.to(at::kDouble));
  const double* e = host.data_ptr<double>();
  std::vector<std::array<int64_t, 4>> regions;
  const bool on_canvas = host.dim() == 2 && host.size(0) == n && host.size(1) == 4 &&
                         canvas_regions(e, n, S, &regions);
  if (partial) {
    if (on_canvas && f2.dim() == 4 && H2 > 0) {
      const int64_t hm = protos.size(1), wm = protos.size(2);
      const double sx = static_cast<double>(wm) / (static_cast<double>(W2) * feat_stride);
      const double sy = static_cast<double>(hm) / (static_cast<double>(H2) * feat_stride);
      coarse = coarse_blocks(coef, protos, sampled_blocks(regions, hm, wm, sx, sy));
    }
    if (!coarse.defined()) coarse = coarse_logits(coef, protos);
  }
  at::Tensor f2b = f2.slice(0, im.b, im.b + 1).to(at::kFloat);
  at::Tensor bidx = at::zeros({n}, at::TensorOptions().dtype(at::kLong).device(im.device));
  Value ref = cb.refine(f2b, coarse, bx_int, bidx, feat_stride);
  coarse = at::Tensor();

  // On CPU every pixel of the canvas is written once: the regions by the
  // paste below, the rest cleared afterwards.
  const auto bool_opts = at::TensorOptions().dtype(at::kBool).device(im.device);
  const bool clear_after = on_canvas && fused_cpu(im.device);
  at::Tensor masks = clear_after ? at::empty({n, S, S}, bool_opts) : at::zeros({n, S, S}, bool_opts);
  at::Scalar ts;
  const bool scalar_thres = cb.to_scalar(Param::kMaskThres, &ts);
  // int(rx1[k]) and the like; through the caller where sanitize gave no (n, 4) rows.
  const bool rows = host.dim() == 2 && host.size(0) >= n && host.size(1) == 4;
  auto edge_of = [&](const at::Tensor& t, int64_t k, int i) -> int64_t {
    if (rows) return edge(cb, e[k * 4 + i]);
    return cb.int_of(t, k);
  };
  for (int64_t k = 0; k < n; ++k) {
    const int64_t x1 = edge_of(rx1, k, 0), y1 = edge_of(ry1, k, 1), x2 = edge_of(rx2, k, 2),
                  y2 = edge_of(ry2, k, 3);
    at::Tensor rk = ref.is_tensor() ? ref.tensor.index({k}) : cb.refine_row(ref, k);
    at::Tensor patch;
    if (rk.dim() == 2) {
      patch = at::upsample_bilinear2d(rk.unsqueeze(0).unsqueeze(0), {y2 - y1, x2 - x1}, false,
                                      c10::nullopt, c10::nullopt)
                  .select(0, 0)
                  .select(0, 0);
    } else {
      // Whatever the resize makes of a map that is not two-dimensional.
      patch = cb.interpolate(rk.unsqueeze(0).unsqueeze(0), y2 - y1, x2 - x1).index({0, 0});
    }
    if (scalar_thres && paste_region(masks, k, y1, x1, patch, ts)) continue;
    masks.index({k, Slice(y1, y2), Slice(x1, x2)})
        .copy_(cb.greater(at::sigmoid(patch), Param::kMaskThres));
  }
  if (clear_after) clear_outside(masks, regions);
  return masks;
}

at::Tensor masks_for(const Options& opt, Callbacks& cb, const Image& im, int64_t S) {
  const int64_t n = im.idx.size(0);
  if (n == 0) return at::zeros({0, S, S}, at::TensorOptions().dtype(at::kBool).device(im.device));
  auto inputs = mask_inputs(cb, im);
  if (opt.refine && cb.has(Entry::kF2)) return refine_masks(cb, im, inputs, S);
  at::Scalar ts;
  if (cb.to_scalar(Param::kMaskThres, &ts)) {
    at::Tensor m;
    cb.unlocked([&] {
      m = prototype_masks(inputs.first, inputs.second, im.bx, S, ts);
      if (!m.defined())
        m = coarse_masks(coarse_logits(inputs.first, inputs.second), im.bx, S, ts,
                         /*consume=*/true);
    });
    return m;
  }
  return coarse_masks_reference(coarse_logits(inputs.first, inputs.second), im.bx, S,
                                [&](const at::Tensor& m) {
                                  return cb.greater(m, Param::kMaskThres);
                                });
}

// Keypoints of the detections (n, K, 3), gathered and decoded only for them on
// CPU; the tensor formulation elsewhere.
at::Tensor keypoints(Callbacks& cb, const Image& im, const Value& raw_obj, int64_t K,
                     const at::Tensor& points, const at::Tensor& strides) {
  const int64_t n = im.idx.size(0);
  if (raw_obj.is_tensor() && fused_cpu(im.idx) && cpu_float(points) && cpu_float(strides) &&
      points.dim() == 2 && points.size(1) == 2 && strides.dim() == 1) {
    const at::Tensor& raw = raw_obj.tensor;
    if (cpu_float(raw) && raw.dim() == 3 && raw.size(2) == 3 * K && im.b < raw.size(0)) {
      const int64_t top = max_index(im.idx);
      if (top < raw.size(1) && top < points.size(0) && top < strides.size(0))
        return gather_keypoints(raw, im.b, im.idx, points, strides, K);
    }
  }
  at::Tensor r = subscript(cb, raw_obj, Entry::kKptRaw, {im.b, im.idx})
                     .to(at::kFloat)
                     .reshape({n, K, 3});
  at::Tensor xy = r.index({"...", Slice(0, 2)}) * strides.index({im.idx}).view({n, 1, 1}) +
                  points.index({im.idx}).view({n, 1, 2});
  return at::cat({xy, at::sigmoid(r.index({"...", Slice(2, 3)}))}, -1);
}

// Polyline points of the detections (n, N, 2): decode_points of the image
// indexed at the detections. While decode_points is the decode module's own,
// only the detections' rows are decoded (on CPU).
at::Tensor polylines(const Options& opt, Callbacks& cb, const Image& im, const Value& raw_obj,
                     const Anchors& anchors) {
  const at::Tensor& points = anchors.points;
  const at::Tensor& strides = anchors.strides;
  const Function fn = cb.find_decode_points();
  if (fn.as_loaded && raw_obj.is_tensor() && opt.n_pline && *opt.n_pline >= 1 && fused_cpu(im.idx) &&
      cpu_float(points) && cpu_float(strides)) {
    const int64_t N = *opt.n_pline;
    const at::Tensor& raw = raw_obj.tensor;
    const int64_t A = raw.dim() == 3 ? raw.size(1) : -1;
    if (cpu_float(raw) && raw.dim() == 3 && raw.size(2) == 2 * N && im.b < raw.size(0) &&
        points.dim() == 2 && points.size(0) == A && points.size(1) == 2 && strides.dim() == 1 &&
        strides.size(0) == A && max_index(im.idx) < A)
      return gather_points(raw, im.b, im.idx, points, strides, N);
  }
  Subscript rows;
  rows.b = im.b;
  rows.range = true;
  at::Tensor raw = subscript(cb, raw_obj, Entry::kPlineRaw, rows).to(at::kFloat);
  return cb.decode_points(fn, anchors, raw).index({0, im.idx});
}

}  // namespace

std::vector<Detections> postprocess(const Options& opt, Callbacks& cb) {
  at::NoGradGuard no_grad;
  at::Tensor cls_raw = cb.fetch_float(Entry::kClsRaw);
  const at::Device device = cls_raw.device();
  const Anchors anchors = cb.make_anchors(device);
  const at::Tensor& points = anchors.points;
  const at::Tensor& strides = anchors.strides;
  const Function decode = cb.find_decode_boxes();
  at::Tensor box_raw = cb.fetch_float(Entry::kBoxRaw);
  const int64_t B = cls_raw.dim() == 3 ? cls_raw.size(0) : -1;
  const int64_t A = cls_raw.dim() == 3 ? cls_raw.size(1) : -1;
  auto decode_all = [&]() { return cb.decode_boxes(decode, anchors, box_raw); };
  // While decode_boxes is the decode module's own, the boxes are decoded for
  // the candidates alone (below); otherwise it runs here, once per batch.
  const float offset = opt.box_offset.value_or(0.f);
  const bool decode_own =
      decode.as_loaded && opt.box_offset && std::isfinite(offset) && cpu_float(box_raw) &&
      box_raw.dim() == 3 && box_raw.size(0) == B && box_raw.size(1) == A && box_raw.size(2) == 4 &&
      box_raw.is_contiguous() && cpu_float(points) && cpu_float(strides) && points.dim() == 2 &&
      points.size(0) == A && points.size(1) == 2 && strides.dim() == 1 && strides.size(0) == A;
  at::Tensor boxes_all;
  if (!decode_own) boxes_all = decode_all();

  // On CPU the candidates of every image come from one fused pass over the
  // logits (exactly the formulation's scores and classes); the sigmoid of all
  // logits is computed only when that pass does not apply.
  std::vector<Candidates> cands;
  bool fast = cpu_float(cls_raw) && cls_raw.dim() == 3 && cls_raw.is_contiguous() &&
              cls_raw.size(2) >= 1 &&
              (decode_own || (cpu_float(boxes_all) && boxes_all.dim() == 3 &&
                              boxes_all.size(0) == B && boxes_all.size(1) == A &&
                              boxes_all.size(2) == 4)) &&
              opt.conf_thres && opt.pre_nms && *opt.pre_nms >= 0;
  if (fast) fast = select_candidates(cls_raw, *opt.conf_thres, &cands);
  if (fast) {
    // Pre-NMS cap with the library's top-k (its tie order).
    const int64_t cap = *opt.pre_nms;
    for (int64_t b = 0; b < B; ++b) {
      Candidates& c = cands[b];
      const int64_t m = static_cast<int64_t>(c.anchor.size());
      if (m <= cap) continue;
      at::Tensor top = std::get<1>(float_tensor(c.score.data(), m).topk(cap)).contiguous();
      const int64_t* tp = top.data_ptr<int64_t>();
      Candidates t;
      for (int64_t i = 0; i < cap; ++i) {
        t.anchor.push_back(c.anchor[tp[i]]);
        t.score.push_back(c.score[tp[i]]);
        t.cls.push_back(c.cls[tp[i]]);
      }
      c = std::move(t);
    }
  }
  std::vector<std::vector<float>> cand_boxes;
  if (fast && decode_own &&
      !candidate_boxes(box_raw, points, strides, offset, offset != 0.f, cands, &cand_boxes))
    boxes_all = decode_all();
  if (!boxes_all.defined() && !fast) boxes_all = decode_all();
  if (fast && boxes_all.defined()) {
    cand_boxes.resize(B);
    for (int64_t b = 0; b < B; ++b) cand_boxes[b] = gather_boxes(boxes_all, b, cands[b].anchor);
  }
  at::Tensor scores_all;
  if (!fast) scores_all = at::sigmoid(cls_raw);
  const int64_t images = cls_raw.size(0);

  std::vector<std::vector<int64_t>> nms_keep;  // per image, in torchvision's order
  const bool nms_fast = fast && opt.nms_iou && opt.max_det &&
                        !at::tracer::impl::is_dispatch_enabled() && cb.nms_as_loaded();
  if (nms_fast) {
    nms_keep.resize(B);
    const int64_t nc = cls_raw.size(2);
    const double iou = *opt.nms_iou;
    at::parallel_for(0, B, 1, [&](int64_t b0, int64_t b1) {
      for (int64_t b = b0; b < b1; ++b) {
        const Candidates& c = cands[b];
        const int64_t m = static_cast<int64_t>(c.anchor.size());
        nms_keep[b] = class_nms(cand_boxes[b].data(), c.score.data(), c.cls.data(), m, nc, iou,
                                nms_per_class(m));
      }
    });
  }

  const bool has_masks = cb.has(Entry::kCoef);
  const bool has_kpts = cb.has(Entry::kKptRaw);
  const bool has_plines = cb.has(Entry::kPlineRaw);
  const bool has_tags = cb.has(Entry::kTagLogits);

  std::vector<Detections> out;
  for (int64_t b = 0; b < images; ++b) {
    at::Tensor idx, bx, sc_out, cl_out;
    if (fast) {
      const Candidates& c = cands[b];
      const int64_t m = static_cast<int64_t>(c.anchor.size());
      const Function nms = cb.find_nms();
      if (nms_fast && nms.as_loaded) {
        std::vector<int64_t>& kept = nms_keep[b];
        const int64_t limit = head_length(static_cast<int64_t>(kept.size()), *opt.max_det);
        std::vector<int64_t> keep = nms_per_class(m) ? order_by_score(kept, c.score.data(), limit)
                                                     : std::move(kept);
        keep.resize(static_cast<size_t>(limit));
        const int64_t n = static_cast<int64_t>(keep.size());
        idx = at::empty({n}, at::kLong);
        bx = at::empty({n, 4}, at::kFloat);
        sc_out = at::empty({n}, at::kFloat);
        cl_out = at::empty({n}, at::kLong);
        int64_t* ip = idx.data_ptr<int64_t>();
        float* bp = bx.data_ptr<float>();
        float* sp = sc_out.data_ptr<float>();
        int64_t* cp = cl_out.data_ptr<int64_t>();
        for (int64_t k = 0; k < n; ++k) {
          const int64_t p = keep[k];
          ip[k] = c.anchor[p];
          sp[k] = c.score[p];
          cp[k] = c.cls[p];
          std::memcpy(bp + k * 4, cand_boxes[b].data() + p * 4, sizeof(float) * 4);
        }
      } else {
        at::Tensor cidx = long_tensor(c.anchor.data(), m);
        at::Tensor boxes = float_tensor(cand_boxes[b].data(), m * 4).view({m, 4});
        at::Tensor sc = float_tensor(c.score.data(), m);
        at::Tensor cl = long_tensor(c.cls.data(), m);
        at::Tensor keep = cb.nms(nms, boxes, sc, cl);
        keep = cb.head(keep, Param::kMaxDet);
        idx = cidx.index({keep});
        bx = boxes.index({keep});
        sc_out = sc.index({keep});
        cl_out = cl.index({keep});
      }
    } else {
      auto best = scores_all.index({b}).max(1);
      at::Tensor scores = std::get<0>(best), cls_id = std::get<1>(best);
      idx = at::nonzero(cb.greater(scores, Param::kConfThres)).select(1, 0);
      if (cb.exceeds(idx.size(0), Param::kPreNms)) {
        auto top = scores.index({idx}).topk(cb.to_int(Param::kPreNms));
        idx = idx.index({std::get<1>(top)});
      }
      at::Tensor boxes = boxes_all.index({b, idx});
      at::Tensor sc = scores.index({idx});
      at::Tensor cl = cls_id.index({idx});
      at::Tensor keep = cb.nms(cb.find_nms(), boxes, sc, cl);
      keep = cb.head(keep, Param::kMaxDet);
      idx = idx.index({keep});
      bx = boxes.index({keep});
      sc_out = sc.index({keep});
      cl_out = cl.index({keep});
    }
    Detections d;
    d.boxes = bx;
    d.scores = sc_out;
    d.cls = cl_out;
    const Image im{b, idx, bx, device};
    if (has_masks) {
      const int64_t S = cb.to_int(Param::kInputSize);
      d.masks = masks_for(opt, cb, im, S);
    }
    if (has_kpts) {
      const int64_t K = cb.to_int(Param::kNumKpts);
      d.kpts = keypoints(cb, im, cb.fetch(Entry::kKptRaw), K, points, strides);
    }
    if (has_plines) {
      const Value raw = cb.fetch(Entry::kPlineRaw);
      d.plines = polylines(opt, cb, im, raw, anchors);
    }
    if (has_tags) {
      const Value raw = cb.fetch(Entry::kTagLogits);
      d.tags = at::sigmoid(subscript(cb, raw, Entry::kTagLogits, {b}).to(at::kFloat));
    }
    out.push_back(std::move(d));
  }
  return out;
}

}  // namespace predict
}  // namespace halcyra
