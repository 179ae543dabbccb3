// Candidate selection and class-aware NMS of the inference postprocess on CPU,
// reproducing the tensor formulation bit for bit: the library's sigmoid and
// maximum over classes, the strict confidence test, and torchvision's
// batched_nms (its strategy for the size, its IoU arithmetic in float32 and
// the tie order of its sorts). Plain C++ over at::Tensor.
#pragma once

#include <ATen/ATen.h>

#include <vector>

namespace halcyra {
namespace predict {

// The candidates of one image, in ascending anchor order.
struct Candidates {
  std::vector<int64_t> anchor;
  std::vector<float> score;  // best class probability
  std::vector<int64_t> cls;  // its class
};

// Per image of logits (B, A, nc): every anchor whose best class probability is
// strictly above `thr`, with that probability and class exactly as
// `sigmoid(logits)[b].max(1)` gives them (the library's sigmoid of the whole
// tensor at the current thread count, the first maximum). The probability is
// evaluated only where it can decide the result. logits: CPU float32,
// contiguous, nc >= 1. Returns false, with `out` unspecified, when a value
// that matters could differ between the library's vector and scalar sigmoid
// paths: the caller then takes the tensor formulation.
bool select_candidates(const at::Tensor& logits, float thr, std::vector<Candidates>* out);

// torchvision's batched_nms on CPU for m boxes: the per-class loop above 4000
// box coordinates, the coordinate-offset trick otherwise.
inline bool nms_per_class(int64_t m) { return m * 4 > 4000; }

// Class-aware NMS of m boxes (m, 4) xyxy with scores (m,) and classes (m,) in
// [0, nc), all plain arrays, at IoU threshold `iou` (suppression when the IoU
// is strictly above it, compared in double as torchvision does). With
// `per_class` false: the coordinate-offset strategy, survivors in the order
// torchvision returns them. With `per_class` true: the survivors of the
// per-class loop in ascending position; torchvision then sorts them by
// decreasing score with the library's (unstable) sort, which the caller does.
std::vector<int64_t> class_nms(const float* boxes, const float* scores, const int64_t* cls,
                               int64_t m, int64_t nc, double iou, bool per_class);

// The first `limit` positions of `keep` (survivors of the per-class loop,
// ascending) ordered by decreasing score as
// `keep[scores[keep].sort(descending=True)[1]]` orders them: a stable sort when
// no tie reaches the first `limit` places (then every sort agrees), the
// library's own sort otherwise.
std::vector<int64_t> order_by_score(const std::vector<int64_t>& keep, const float* scores,
                                    int64_t limit);

// The decoded boxes of every image's candidates, (m, 4) per image, exactly as
// decode_boxes(raw, points, strides, offset=...) gives them for those anchors
// (softplus through the library's kernel, the rest operation for operation):
// x1 y1 = point - (softplus - offset) * stride, x2 y2 = point + ..., raised
// to x1 y1 when `apply_max`. raw (B, A, 4) CPU float32 contiguous, points
// (A, 2), strides (A,) CPU float32. Returns false when a softplus value that
// matters could differ between the library's vector and scalar paths.
bool candidate_boxes(const at::Tensor& raw, const at::Tensor& points, const at::Tensor& strides,
                     float offset, bool apply_max, const std::vector<Candidates>& cands,
                     std::vector<std::vector<float>>* out);

// The detections of one image: image b, the anchors idx[0..n) of its rows.
struct ImageRows {
  int64_t b;
  const int64_t* idx;
  int64_t n;
};

// Keypoints of each image's detections: (n, K, 3) per image, x, y = raw *
// stride + point, then the library's sigmoid of the visibility logit, as the
// tensor formulation computes them. raw (B', A', 3K), points (A', 2),
// strides (A',): CPU float32; every b < B' and idx < A' checked.
std::vector<at::Tensor> gather_keypoints(const at::Tensor& raw,
                                         const std::vector<ImageRows>& images,
                                         const at::Tensor& points, const at::Tensor& strides,
                                         int64_t K);

// Polyline points of each image's detections: (n, N, 2) = raw * stride +
// point, the rows of decode_points for those anchors. raw (B', A, 2N),
// points (A, 2), strides (A,): CPU float32.
std::vector<at::Tensor> gather_points(const at::Tensor& raw, const std::vector<ImageRows>& images,
                                      const at::Tensor& points, const at::Tensor& strides,
                                      int64_t N);

}  // namespace predict
}  // namespace halcyra
