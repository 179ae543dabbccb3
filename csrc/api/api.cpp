// halcyra's C++ API (include/halcyra/*.h): the functions of
// halcyra.infer.decode and halcyra.infer.predict.postprocess's flow, calling
// the same operators through the dispatcher, in the same order with the same
// arguments, as the Python faces do through torch.ops.halcyra.
//
// postprocess takes the operators' paths wherever the Python flow does with
// typed arguments. Where the Python flow goes around an operator (a tensor
// expression for arguments outside the operator's contract: shapes that do not
// match, a non-positive size), this flow still calls the operator, whose
// checks then raise c10::ValueError / c10::IndexError with their messages.
#include <ATen/ATen.h>
#include <ATen/core/dispatch/Dispatcher.h>

#include <algorithm>
#include <cmath>
#include <string>

#include "../common/compat.h"
#include "../../include/halcyra/halcyra.h"

namespace halcyra {
namespace {

using at::indexing::Slice;
using T = const at::Tensor&;
using S = const at::Scalar&;
using OptT = const c10::optional<at::Tensor>&;

template <class F>
c10::TypedOperatorHandle<F> find_op(const char* name, const char* overload = "") {
  return c10::Dispatcher::singleton().findSchemaOrThrow(name, overload).typed<F>();
}

#define HALCYRA_OP(fn, name, ...)                             \
  const auto& fn() {                                          \
    static const auto op = find_op<__VA_ARGS__>("halcyra::" name); \
    return op;                                                \
  }

HALCYRA_OP(flatten_op, "flatten_preds", at::Tensor(T))
HALCYRA_OP(anchors_op, "make_anchors",
           std::tuple<at::Tensor, at::Tensor>(at::ArrayRef<at::Scalar>, at::ArrayRef<at::Scalar>,
                                              at::ArrayRef<at::Scalar>, at::ScalarType, at::Device))
HALCYRA_OP(boxes_op, "decode_boxes", at::Tensor(T, T, T, S))
HALCYRA_OP(points_op, "decode_points", at::Tensor(T, T, T, int64_t))
HALCYRA_OP(detect_op, "detect",
           std::tuple<at::Tensor, at::Tensor, at::Tensor, at::Tensor, at::Tensor>(
               T, T, OptT, OptT, S, double, int64_t, double, int64_t))
HALCYRA_OP(prototype_masks_op, "prototype_masks", at::Tensor(T, T, T, int64_t, S))
HALCYRA_OP(refine_coarse_op, "refine_coarse",
           at::Tensor(T, T, OptT, int64_t, double, int64_t, int64_t))
HALCYRA_OP(refine_regions_op, "refine_regions", at::Tensor(T, int64_t, int64_t))
HALCYRA_OP(paste_masks_op, "paste_masks", at::Tensor(T, T, T, int64_t, S))
HALCYRA_OP(sanitize_op, "sanitize_boxes", at::Tensor(T, double, double, double))
HALCYRA_OP(keypoints_op, "gather_keypoints", at::Tensor(T, int64_t, T, T, T, int64_t))
HALCYRA_OP(plines_op, "gather_points", at::Tensor(T, int64_t, T, T, T, int64_t))
HALCYRA_OP(tags_op, "image_tags", at::Tensor(T, int64_t))

#undef HALCYRA_OP

// Python's tuple unpacking of a shape: `a, b, c = t.shape`.
void unpack(const at::Tensor& t, int64_t want) {
  TORCH_CHECK_VALUE(t.dim() >= want, "not enough values to unpack (expected ", want, ", got ",
                    t.dim(), ")");
  TORCH_CHECK_VALUE(t.dim() <= want, "too many values to unpack (expected ", want, ")");
}

void require(const at::Tensor& t, const char* key) {
  TORCH_CHECK_VALUE(t.defined(), "postprocess(): preds has no '", key, "'");
}

// masks (n, S, S) of image b's detections: the prototypes' coarse masks cut
// to the boxes, or the refine head's maps pasted into its regions.
at::Tensor image_masks(const Preds& preds, int64_t b, const at::Tensor& idx, const at::Tensor& bx,
                       int64_t S, const std::optional<Refine>& refine, double mask_thres,
                       at::Device device) {
  const int64_t n = idx.size(0);
  if (n == 0) return at::zeros({0, S, S}, at::TensorOptions().dtype(at::kBool).device(device));
  require(preds.protos, "protos");
  const at::Tensor protos = preds.protos.index({b}).to(at::kFloat);
  unpack(protos, 3);
  const at::Tensor coef = preds.coef.index({b, idx}).to(at::kFloat);
  if (!(refine && preds.f2.defined()))
    return prototype_masks_op().call(coef, protos, bx, S, mask_thres);

  // the refine head: the coarse logits, regions of the sanitized boxes snapped
  // outward to whole pixels and widened to the stride of f2, the head's map of
  // each resized and thresholded into its region
  const at::Tensor coarse = refine_coarse_op().call(coef, protos, c10::nullopt, 0, 0.0, 0, 0);
  const at::Tensor& f2 = preds.f2;
  TORCH_CHECK_VALUE(f2.dim() >= 2, "not enough values to unpack (expected 2, got ", f2.dim(), ")");
  const int64_t h2 = f2.size(-2), w2 = f2.size(-1);
  TORCH_CHECK_VALUE(w2 != 0, "division by zero");
  const double feat_stride = static_cast<double>(S) / static_cast<double>(w2);
  const int64_t mn = std::max<int64_t>(static_cast<int64_t>(std::ceil(feat_stride)), 1);
  TORCH_CHECK_VALUE(static_cast<bool>(refine->forward), "postprocess(): refine has no forward");
  const at::Tensor bxs =
      refine->sanitize
          ? refine->sanitize(bx, {h2, w2}, feat_stride)
          : sanitize_op().call(bx, static_cast<double>(h2) * feat_stride,
                               static_cast<double>(w2) * feat_stride, refine->min_side);
  const at::Tensor regions = refine_regions_op().call(bxs, S, mn);
  const at::Tensor ref =
      refine->forward(f2.index({Slice(b, b + 1)}).to(at::kFloat), coarse, regions,
                      at::zeros({n}, at::TensorOptions().dtype(at::kLong).device(device)),
                      feat_stride);
  return paste_masks_op().call(ref, regions, bx, S, mask_thres);
}

}  // namespace

std::pair<at::Tensor, at::Tensor> make_anchors(const FeatShapes& feat_shapes,
                                               const std::vector<int64_t>& strides,
                                               at::Device device, at::ScalarType dtype) {
  std::vector<at::Scalar> hs, ws, ss;
  for (size_t i = 0; i < std::min(feat_shapes.size(), strides.size()); ++i) {
    hs.emplace_back(feat_shapes[i][0]);
    ws.emplace_back(feat_shapes[i][1]);
    ss.emplace_back(strides[i]);
  }
  auto r = anchors_op().call(hs, ws, ss, dtype, device);
  return {std::get<0>(r), std::get<1>(r)};
}

at::Tensor flatten_preds(const at::Tensor& x) {
  unpack(x, 4);
  return flatten_op().call(x);
}

at::Tensor decode_boxes(const at::Tensor& raw, const at::Tensor& points, const at::Tensor& stride,
                        double offset) {
  return boxes_op().call(raw, points, stride, offset);
}

at::Tensor decode_points(const at::Tensor& raw, const at::Tensor& points, const at::Tensor& stride,
                         int64_t n) {
  unpack(raw, 3);
  return points_op().call(raw, points, stride, n);
}

at::Tensor sanitize_boxes(const at::Tensor& boxes, double height, double width, double min_side) {
  return sanitize_op().call(boxes, height, width, min_side);
}

std::vector<Detections> postprocess(const Preds& preds, double conf_thres, double nms_iou,
                                    int64_t max_det, int64_t pre_nms, double mask_thres,
                                    int64_t num_kpts, int64_t n_pline, int64_t input_size,
                                    const std::optional<Refine>& refine, double box_offset) {
  at::NoGradGuard no_grad;
  HALCYRA_RECORD("postprocess");
  require(preds.cls_raw, "cls_raw");
  const at::Tensor cls_raw = preds.cls_raw.to(at::kFloat);
  const at::Device device = cls_raw.device();
  const auto anchors = make_anchors(preds.feat_shapes, default_strides(), device);
  const at::Tensor& points = anchors.first;
  const at::Tensor& strides = anchors.second;
  require(preds.box_raw, "box_raw");
  const at::Tensor box_raw = preds.box_raw.to(at::kFloat);
  // selection, the pre-NMS cap, NMS and the max_det cut of every image in one
  // operator (candidates' boxes decoded there)
  const auto found = detect_op().call(cls_raw, box_raw, points, strides, box_offset, conf_thres,
                                      pre_nms, nms_iou, max_det);
  // each image's rows of detect's (B, K) results
  const at::Tensor counts = host_read(std::get<4>(found));
  const int64_t* count = counts.data_ptr<int64_t>();
  std::vector<Detections> out;
  for (int64_t b = 0; b < cls_raw.size(0); ++b) {
    const int64_t n = count[b];
    const at::Tensor idx = std::get<0>(found)[b].narrow(0, 0, n);
    Detections res;
    res.boxes = std::get<1>(found)[b].narrow(0, 0, n);
    res.scores = std::get<2>(found)[b].narrow(0, 0, n);
    res.cls = std::get<3>(found)[b].narrow(0, 0, n);
    if (preds.coef.defined())
      res.masks = image_masks(preds, b, idx, res.boxes, input_size, refine, mask_thres, device);
    // (an image the attribute's batch lacks: the IndexError of the Python
    // flow's indexing, `raw[b, idx]` and `decode_points(raw[b:b + 1], ...)[0]`)
    if (preds.kpt_raw.defined()) {
      const at::Tensor& raw = preds.kpt_raw;
      TORCH_CHECK_INDEX(raw.dim() != 3 || b < raw.size(0), "index ", b,
                        " is out of bounds for dimension 0 with size ", raw.size(0));
      res.kpts = keypoints_op().call(raw, b, idx, points, strides, num_kpts);
    }
    if (preds.pline_raw.defined()) {
      const at::Tensor& raw = preds.pline_raw;
      TORCH_CHECK_INDEX(raw.dim() != 3 || b < raw.size(0),
                        "index 0 is out of bounds for dimension 0 with size 0");
      res.plines = plines_op().call(raw, b, idx, points, strides, n_pline);
    }
    if (preds.tag_logits.defined()) res.tags = tags_op().call(preds.tag_logits, b);
    out.push_back(std::move(res));
  }
  return out;
}

}  // namespace halcyra
