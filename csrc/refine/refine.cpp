#include "refine.h"

#include <ATen/Dispatch.h>

#include "../common/compat.h"

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

void check_forward(const at::Tensor& f2, const at::Tensor& coarse, const at::Tensor& boxes,
                   const at::Tensor& bidx, double stride) {
  TORCH_CHECK_VALUE(f2.dim() == 4, "forward(): f2 must be (B, C, H2, W2)");
  TORCH_CHECK_VALUE(coarse.dim() == 3, "forward(): coarse must be (N, hm, wm)");
  TORCH_CHECK_VALUE(boxes.dim() == 2 && boxes.sym_size(1) == 4,
                    "forward(): boxes must have shape (N, 4)");
  const c10::SymInt n = boxes.sym_size(0);
  TORCH_CHECK_VALUE(coarse.sym_size(0) == n && bidx.dim() == 1 && bidx.sym_size(0) == n,
                    "forward(): coarse, boxes and bidx must hold the same number of regions");
  TORCH_CHECK_VALUE(stride > 0.0, "forward(): stride must be positive");
  // Preconditions of both samplings: H2, W2, hm, wm > 0 if N; 1 / stride finite in f2's dtype
  // (N is compared last: traced, it may be a count without a value)
  TORCH_CHECK_VALUE((f2.sym_size(2) != 0 && f2.sym_size(3) != 0) || n == 0,
                    "forward(): f2 has no cells to sample, got spatial size (", f2.sym_size(2),
                    ", ", f2.sym_size(3), ")");
  TORCH_CHECK_VALUE((coarse.sym_size(1) != 0 && coarse.sym_size(2) != 0) || n == 0,
                    "forward(): coarse has no cells to sample, got spatial size (",
                    coarse.sym_size(1), ", ", coarse.sym_size(2), ")");
  TORCH_CHECK_VALUE(1.0 / stride <= largest(f2.scalar_type()),
                    "forward(): stride is too small: 1 / stride is not finite in f2's dtype");
}

std::pair<at::Tensor, at::Tensor> forward_rois(const at::Tensor& f2, const at::Tensor& coarse,
                                               const at::Tensor& boxes, const at::Tensor& bidx,
                                               double stride) {
  check_forward(f2, coarse, boxes, bidx, stride);
  const int64_t n = boxes.size(0);
  const double scale = 1.0 / stride;
  const double h_px = static_cast<double>(f2.size(2)) * stride;
  const double w_px = static_cast<double>(f2.size(3)) * stride;
  const int64_t hm = coarse.size(1), wm = coarse.size(2);
  at::Tensor bx = boxes.to(f2.scalar_type());
  at::Tensor feat_rois = rois(bx, bidx, 1.0, 1.0, scale);
  // The coarse grid covers the same input extent at its own resolution:
  // scale x and y separately into its cells.
  at::Tensor inst = at::arange(n, bidx.options());
  at::Tensor coarse_rois = rois(bx, inst, wm / w_px, hm / h_px, 1.0);
  if (n > 0) {
    // Precondition of the samplers: indices in range as they read them.
    // Both index columns in one transfer.
    at::Tensor image = feat_rois.select(1, 0), region = coarse_rois.select(1, 0);
    const at::Tensor mm =
        host_read(at::stack({image.min(), image.max(), region.max()}).to(at::kDouble));
    const double* m = mm.data_ptr<double>();
    TORCH_CHECK_INDEX(m[0] >= 0.0 && m[1] < static_cast<double>(f2.size(0)),
                      "forward(): bidx out of range for f2");
    TORCH_CHECK_INDEX(m[2] < static_cast<double>(n),
                      "forward(): more regions than f2's dtype can number");
  }
  return {feat_rois, coarse_rois};
}

}  // namespace refine
}  // namespace halcyra
