#include "decode.h"

#include <ATen/Parallel.h>
#include "../pyapi/compat.h"

namespace halcyra {
namespace decode {

std::pair<at::Tensor, at::Tensor> make_anchors(const std::vector<Level>& levels,
                                               at::TensorOptions opts) {
  std::vector<at::Tensor> pts, sts;
  pts.reserve(levels.size());
  sts.reserve(levels.size());
  for (const Level& lv : levels) {
    at::Tensor ys = at::arange(lv.h, opts).add_(0.5).mul_(lv.stride);
    at::Tensor xs = at::arange(lv.w, opts).add_(0.5).mul_(lv.stride);
    const int64_t h = ys.size(0), w = xs.size(0);
    at::Tensor gx = xs.view({1, w}).expand({h, w});
    at::Tensor gy = ys.view({h, 1}).expand({h, w});
    pts.push_back(at::stack({gx, gy}, -1).reshape({-1, 2}));
    sts.push_back(at::full({h * w}, lv.stride, opts));
  }
  return {at::cat(pts, 0), at::cat(sts, 0)};
}

at::Tensor flatten_preds(const at::Tensor& x) {
  const int64_t b = x.size(0), c = x.size(1), h = x.size(2), w = x.size(3);
  return x.permute({0, 2, 3, 1}).reshape({b, h * w, c});
}

namespace {

// Fused CPU paths for the common case (float32, anchors matching the anchor
// axis, no autograd recording): one pass instead of a chain of broadcasting
// tensor ops. The arithmetic is the op sequence's, operation for operation in
// float32 (the build disables FMA contraction), so results are identical.
// The preconditions of both fused kernels below, which call it first: CPU
// float32 raw (B, A, last), points (A, 2) and stride (A,), non-empty, no
// autograd recording.
bool fused_ok(const at::Tensor& raw, const at::Tensor& points, const at::Tensor& stride,
              int64_t last) {
  return raw.device().is_cpu() && points.device().is_cpu() && stride.device().is_cpu() &&
         raw.scalar_type() == at::kFloat && points.scalar_type() == at::kFloat &&
         stride.scalar_type() == at::kFloat && raw.dim() == 3 && raw.size(2) == last &&
         points.dim() == 2 && points.size(1) == 2 && stride.dim() == 1 &&
         points.size(0) == raw.size(1) && stride.size(0) == raw.size(1) && raw.numel() > 0 &&
         !(at::GradMode::is_enabled() &&
           (raw.requires_grad() || points.requires_grad() || stride.requires_grad()));
}

// Preconditions: fused_ok(raw, points_in, stride_in, 4).
at::Tensor fused_boxes(const at::Tensor& raw, const at::Tensor& points_in,
                       const at::Tensor& stride_in, float offset, bool apply_max) {
  HALCYRA_RECORD("decode_boxes_kernel");
  TORCH_CHECK(fused_ok(raw, points_in, stride_in, 4), "decode_boxes(): fused kernel misused");
  // softplus through the library's own (vectorised) kernel, the rest fused
  at::Tensor sp = at::softplus(raw).contiguous();
  at::Tensor points = points_in.contiguous(), stride = stride_in.contiguous();
  const int64_t B = raw.size(0), A = raw.size(1);
  at::Tensor out = at::empty({B, A, 4}, sp.options());
  const float* r = sp.data_ptr<float>();
  const float* p = points.data_ptr<float>();
  const float* s = stride.data_ptr<float>();
  float* o = out.data_ptr<float>();
  at::parallel_for(0, B * A, 8192, [&](int64_t begin, int64_t end) {
    for (int64_t i = begin; i < end; ++i) {
      const int64_t a = i % A;
      const float st = s[a], px = p[a * 2], py = p[a * 2 + 1];
      const float* ri = r + i * 4;
      const float x1 = px - (ri[0] - offset) * st, y1 = py - (ri[1] - offset) * st;
      float x2 = px + (ri[2] - offset) * st, y2 = py + (ri[3] - offset) * st;
      if (apply_max) {
        // maximum() propagates NaN from either side
        x2 = (std::isnan(x2) || std::isnan(x1)) ? NAN : std::max(x2, x1);
        y2 = (std::isnan(y2) || std::isnan(y1)) ? NAN : std::max(y2, y1);
      }
      float* oi = o + i * 4;
      oi[0] = x1;
      oi[1] = y1;
      oi[2] = x2;
      oi[3] = y2;
    }
  });
  return out;
}

// Preconditions: fused_ok(raw_in, points_in, stride_in, C) with C = raw_in.size(2) even.
at::Tensor fused_points(const at::Tensor& raw_in, const at::Tensor& points_in,
                        const at::Tensor& stride_in) {
  HALCYRA_RECORD("decode_points_kernel");
  TORCH_CHECK(raw_in.dim() == 3 && raw_in.size(2) % 2 == 0 &&
                  fused_ok(raw_in, points_in, stride_in, raw_in.size(2)),
              "decode_points(): fused kernel misused");
  at::Tensor raw = raw_in.contiguous(), points = points_in.contiguous(),
             stride = stride_in.contiguous();
  const int64_t B = raw.size(0), A = raw.size(1), C = raw.size(2);
  at::Tensor out = at::empty({B, A, C / 2, 2}, raw.options());
  const float* r = raw.data_ptr<float>();
  const float* p = points.data_ptr<float>();
  const float* s = stride.data_ptr<float>();
  float* o = out.data_ptr<float>();
  at::parallel_for(0, B * A, 2048, [&](int64_t begin, int64_t end) {
    for (int64_t i = begin; i < end; ++i) {
      const int64_t a = i % A;
      const float st = s[a], px = p[a * 2], py = p[a * 2 + 1];
      const float* ri = r + i * C;
      float* oi = o + i * C;
      for (int64_t k = 0; k < C; k += 2) {
        oi[k] = ri[k] * st + px;
        oi[k + 1] = ri[k + 1] * st + py;
      }
    }
  });
  return out;
}

}  // namespace

at::Tensor finish_boxes(const at::Tensor& d, const at::Tensor& points, bool apply_max) {
  at::Tensor x1y1 = points - d.slice(-1, 0, 2);
  at::Tensor x2y2 = points + d.slice(-1, 2, 4);
  if (apply_max) x2y2 = at::maximum(x2y2, x1y1);
  return at::cat({x1y1, x2y2}, -1);
}

at::Tensor decode_boxes(const at::Tensor& raw, const at::Tensor& points,
                        const at::Tensor& stride, const at::Scalar& offset,
                        bool apply_max) {
  if (fused_ok(raw, points, stride, 4) && !offset.isComplex())
    return fused_boxes(raw, points, stride, offset.toFloat(), apply_max);
  at::Tensor d = (at::softplus(raw) - offset) * stride.unsqueeze(-1);
  return finish_boxes(d, points, apply_max);
}

at::Tensor points_ops(const at::Tensor& raw, const at::Tensor& points,
                      const at::Tensor& stride, int64_t n) {
  const int64_t b = raw.size(0), a = raw.size(1);
  at::Tensor off = raw.reshape({b, a, n, 2}) * stride.reshape({1, -1, 1, 1});
  return off + points.reshape({1, -1, 1, 2});
}

at::Tensor decode_points(const at::Tensor& raw, const at::Tensor& points,
                         const at::Tensor& stride, int64_t n) {
  // (2 * n computed only where it cannot overflow)
  if (n > 0 && raw.dim() == 3 && n <= raw.size(2) / 2 && fused_ok(raw, points, stride, 2 * n))
    return fused_points(raw, points, stride);
  return points_ops(raw, points, stride, n);
}

}  // namespace decode
}  // namespace halcyra
