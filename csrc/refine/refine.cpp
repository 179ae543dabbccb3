#include "refine.h"

#include <ATen/Dispatch.h>

#include <algorithm>
#include <limits>

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

double largest(at::ScalarType t) {
  double top = std::numeric_limits<double>::infinity();
  if (at::isFloatingType(t))
    AT_DISPATCH_FLOATING_TYPES_AND2(at::kHalf, at::kBFloat16, t, "largest", [&] {
      top = static_cast<double>(std::numeric_limits<scalar_t>::max());
    });
  return top;
}

at::Tensor rois(const at::Tensor& boxes, const at::Tensor& batch_index, double sx, double sy,
                double sampler_scale) {
  if (!at::isFloatingType(boxes.scalar_type()))  // the sampler rejects such inputs itself
    return at::stack({batch_index.to(boxes.dtype()), boxes.select(1, 0) * sx,
                      boxes.select(1, 1) * sy, boxes.select(1, 2) * sx, boxes.select(1, 3) * sy},
                     1);
  // Far outside any feature map but finite: the sampler treats such points
  // as empty, while infinities (or NaN from 0 * inf, or from inf - inf) would
  // turn its indices into garbage. The bounds keep every coordinate, after
  // our scaling and after the sampler's, within a quarter of the dtype's
  // range, so that differences stay finite too; for ordinary scales they are
  // 1e7 before and 1e30 after our scaling.
  const double top = largest(boxes.scalar_type()) / 4 / std::max(1.0, sampler_scale);
  const double far = std::min(1e7, top), scaled_far = std::min(1e30, top);
  at::Tensor b = boxes.nan_to_num(0.0, far, -far).clamp(-far, far);
  at::Tensor out = at::stack({batch_index.to(b.dtype()), b.select(1, 0) * sx, b.select(1, 1) * sy,
                              b.select(1, 2) * sx, b.select(1, 3) * sy},
                             1);
  out.narrow(1, 1, 4).nan_to_num_(0.0, scaled_far, -scaled_far).clamp_(-scaled_far, scaled_far);
  return out;
}

}  // namespace refine
}  // namespace halcyra
