#include "refine.h"

namespace halcyra {
namespace refine {

namespace {

// One axis: lo/hi columns of an (N, 4) box tensor, extent [0, size].
std::pair<at::Tensor, at::Tensor> axis(const at::Tensor& b, int64_t i0, int64_t i1, double size,
                                       double min_side) {
  at::Tensor a = b.select(1, i0).nan_to_num(0.0, size, 0.0);
  at::Tensor c = b.select(1, i1).nan_to_num(0.0, size, 0.0);
  at::Tensor lo = at::minimum(a, c).clamp(0.0, size);
  at::Tensor hi = at::maximum(a, c).clamp(0.0, size);
  const double m = std::min(min_side, size);
  if (m > 0.0) {
    at::Tensor short_side = (hi - lo) < m;
    at::Tensor start = ((lo + hi) * 0.5 - m * 0.5).clamp(0.0, size - m);
    lo = at::where(short_side, start, lo);
    hi = at::where(short_side, start + m, hi);
  }
  return {lo, hi};
}

}  // namespace

at::Tensor sanitize(const at::Tensor& boxes, double height, double width, double min_side) {
  at::Tensor b = at::isFloatingType(boxes.scalar_type()) ? boxes : boxes.to(at::kFloat);
  auto x = axis(b, 0, 2, width, min_side);
  auto y = axis(b, 1, 3, height, min_side);
  return at::stack({x.first, y.first, x.second, y.second}, 1);
}

at::Tensor rois(const at::Tensor& boxes, const at::Tensor& batch_index, double sx, double sy) {
  // Far outside any feature map but finite: the sampler treats such points
  // as empty, while infinities would turn its indices into garbage.
  constexpr double kFar = 1e7;
  at::Tensor b = boxes.nan_to_num(0.0, kFar, -kFar).clamp(-kFar, kFar);
  return at::stack({batch_index.to(b.dtype()), b.select(1, 0) * sx, b.select(1, 1) * sy,
                    b.select(1, 2) * sx, b.select(1, 3) * sy},
                   1);
}

}  // namespace refine
}  // namespace halcyra
