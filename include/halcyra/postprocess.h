// Inference postprocess: a batch's raw outputs to per-image detections, the
// flow of halcyra.infer.predict.postprocess over the same operators, in the
// same order with the same arguments (a C++ call and a Python call give the
// same detections, bit for bit).
#pragma once

#include <ATen/ATen.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

#include "decode.h"
#include "export.h"

namespace halcyra {

// The raw outputs of one batch: the keys of the Python dictionary. An
// undefined tensor is a key that is absent: feat_shapes, cls_raw and box_raw
// are required; masks need coef and protos (and f2 for the refine head).
struct Preds {
  FeatShapes feat_shapes;  // (H, W) of every level
  at::Tensor cls_raw;      // (B, A, nc) class logits
  at::Tensor box_raw;      // (B, A, 4) box regressions
  at::Tensor coef;         // (B, A, P) mask coefficients
  at::Tensor protos;       // (B, P, hm, wm) mask prototypes
  at::Tensor f2;           // (B, C, H2, W2) the refine head's feature
  at::Tensor kpt_raw;      // (B, A, 3 K) keypoints
  at::Tensor pline_raw;    // (B, A, 2 N) polyline points
  at::Tensor tag_logits;   // (B, T) image tags
};

// One image's detections, n of them by decreasing score. The attributes are
// present exactly when their inputs are given.
struct Detections {
  at::Tensor boxes;                 // (n, 4) xyxy, input pixels
  at::Tensor scores;                // (n,)
  at::Tensor cls;                   // (n,) int64
  std::optional<at::Tensor> masks;  // (n, S, S) bool, S = input_size: coef given
  std::optional<at::Tensor> kpts;   // (n, K, 3) x, y, visibility: kpt_raw given
  std::optional<at::Tensor> plines; // (n, N, 2): pline_raw given
  std::optional<at::Tensor> tags;   // (T,) probabilities: tag_logits given
};

// The refine head, as postprocess calls it.
//   forward(f2, coarse, regions, bidx, stride) -> (n, r, r) float32 region
//     mask logits: f2 (1, C, H2, W2) float32 of the image, coarse (n, hm, wm)
//     logits, regions (n, 4) whole-pixel regions, bidx (n,) int64 zeros,
//     stride = input_size / W2 (a loaded TorchScript module's forward fits).
//   sanitize(boxes, {H2, W2}, stride) -> (n, 4) boxes safe to sample; when
//     empty, the shipped head's (sanitize_boxes below, with min_side).
struct Refine {
  using Forward = std::function<at::Tensor(const at::Tensor& f2, const at::Tensor& coarse,
                                           const at::Tensor& regions, const at::Tensor& bidx,
                                           double stride)>;
  using Sanitize = std::function<at::Tensor(const at::Tensor& boxes, std::array<int64_t, 2> size,
                                            double stride)>;
  Forward forward;
  Sanitize sanitize;
  double min_side = 4.0;  // sanitize's smallest side when `sanitize` is empty
};

// Boxes (N, 4) made safe to sample over a height x width extent: corners
// ordered, NaN and infinite coordinates replaced, clipped, each side widened
// about its centre to at least min_side (RefineHead.sanitize's operator).
HALCYRA_API at::Tensor sanitize_boxes(const at::Tensor& boxes, double height, double width,
                                      double min_side);

// Raw outputs of one batch to one Detections per image (see
// halcyra.infer.predict.postprocess, whose arguments and defaults these are).
// Per image: the best class of every anchor is a candidate when its
// probability is strictly above conf_thres; more than pre_nms candidates are
// cut to the pre_nms best; one class-aware NMS pass at nms_iou; at most
// max_det survivors by decreasing score. Runs without gradient recording;
// preds is not modified. Errors are the operators' exceptions
// (c10::ValueError, c10::IndexError, c10::TypeError) with their messages.
HALCYRA_API std::vector<Detections> postprocess(
    const Preds& preds, double conf_thres = 0.25, double nms_iou = 0.7, int64_t max_det = 300,
    int64_t pre_nms = 3000, double mask_thres = 0.5, int64_t num_kpts = 0, int64_t n_pline = 16,
    int64_t input_size = 640, const std::optional<Refine>& refine = std::nullopt,
    double box_offset = 0.0);

}  // namespace halcyra
