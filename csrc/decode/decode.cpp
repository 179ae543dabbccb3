#include "decode.h"

#include <ATen/Parallel.h>

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

// Fused CPU path for the common case: contiguous float32 everywhere, one
// pass instead of six tensor ops. Same arithmetic as the op sequence:
// softplus with threshold 20, (sp - offset) * stride, then the two corners.
bool fused_decode_ok(const at::Tensor& raw, const at::Tensor& points,
                     const at::Tensor& stride) {
  return raw.device().is_cpu() && points.device().is_cpu() && stride.device().is_cpu() &&
         raw.scalar_type() == at::kFloat && points.scalar_type() == at::kFloat &&
         stride.scalar_type() == at::kFloat && raw.dim() == 3 && raw.size(2) == 4 &&
         points.dim() == 2 && points.size(1) == 2 && stride.dim() == 1 &&
         points.size(0) == raw.size(1) && stride.size(0) == raw.size(1) &&
         !(at::GradMode::is_enabled() &&
           (raw.requires_grad() || points.requires_grad() || stride.requires_grad()));
}

at::Tensor fused_decode(const at::Tensor& raw_in, const at::Tensor& points_in,
                        const at::Tensor& stride_in, float offset, bool apply_max) {
  at::Tensor raw = raw_in.contiguous(), points = points_in.contiguous(),
             stride = stride_in.contiguous();
  const int64_t B = raw.size(0), A = raw.size(1);
  at::Tensor out = at::empty({B, A, 4}, raw.options());
  const float* r = raw.data_ptr<float>();
  const float* p = points.data_ptr<float>();
  const float* s = stride.data_ptr<float>();
  float* o = out.data_ptr<float>();
  at::parallel_for(0, B * A, 4096, [&](int64_t begin, int64_t end) {
    for (int64_t i = begin; i < end; ++i) {
      const int64_t a = i % A;
      float d[4];
      for (int k = 0; k < 4; ++k) {
        const float v = r[i * 4 + k];
        // softplus(beta=1, threshold=20) as the tensor library computes it
        const float sp = v > 20.f ? v : std::log1p(std::exp(v));
        d[k] = (sp - offset) * s[a];
      }
      const float x1 = p[a * 2] - d[0], y1 = p[a * 2 + 1] - d[1];
      float x2 = p[a * 2] + d[2], y2 = p[a * 2 + 1] + d[3];
      if (apply_max) {
        // maximum() propagates NaN from either side
        x2 = (std::isnan(x2) || std::isnan(x1)) ? NAN : std::max(x2, x1);
        y2 = (std::isnan(y2) || std::isnan(y1)) ? NAN : std::max(y2, y1);
      }
      o[i * 4] = x1;
      o[i * 4 + 1] = y1;
      o[i * 4 + 2] = x2;
      o[i * 4 + 3] = y2;
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
  if (fused_decode_ok(raw, points, stride) && raw.numel() > 0)
    return fused_decode(raw, points, stride, offset.toFloat(), apply_max);
  at::Tensor d = (at::softplus(raw) - offset) * stride.unsqueeze(-1);
  return finish_boxes(d, points, apply_max);
}

at::Tensor decode_points(const at::Tensor& raw, const at::Tensor& points,
                         const at::Tensor& stride, int64_t n) {
  const int64_t b = raw.size(0), a = raw.size(1);
  at::Tensor off = raw.reshape({b, a, n, 2}) * stride.reshape({1, -1, 1, 1});
  return off + points.reshape({1, -1, 1, 2});
}

}  // namespace decode
}  // namespace halcyra
