#include "decode.h"

#include <ATen/Parallel.h>
#include "../common/compat.h"

#include <algorithm>
#include <cmath>
#include <limits>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

namespace halcyra {
namespace decode {

namespace {

// A level size the fill below takes: an integer from 0 to 2^24, whose cell
// index arange holds exactly in float32.
bool fill_size(const at::Scalar& v) {
  if (!v.isIntegral(/*includeBool=*/false)) return false;
  const int64_t n = v.toLong();
  return n >= 0 && n <= (int64_t{1} << 24);
}

// A stride the fill below takes: an integer, or a finite float that the
// result's type holds (others take the operations' own conversion and errors).
bool fill_stride(const at::Scalar& v, at::ScalarType dtype) {
  if (v.isIntegral(/*includeBool=*/false)) return true;
  if (!v.isFloatingPoint()) return false;
  const double d = v.toDouble();
  return std::isfinite(d) &&
         (dtype == at::kDouble || std::fabs(d) <= std::numeric_limits<float>::max());
}

// The grid of every level written in one pass into one allocation: the same
// arithmetic as the operations of the formulation below, element for element
// ((j + 0.5) * s in the result's type, s rounded to it first, as a scalar
// operand is), so the values are identical.
template <class F>
void fill_anchors(const std::vector<Level>& levels, F* p, F* s) {
  for (const Level& lv : levels) {
    const int64_t h = lv.h.toLong(), w = lv.w.toLong();
    const F st = lv.stride.to<F>();
    for (int64_t i = 0; i < h; ++i) {
      const F y = (static_cast<F>(i) + F(0.5)) * st;
      for (int64_t j = 0; j < w; ++j) {
        p[0] = (static_cast<F>(j) + F(0.5)) * st;
        p[1] = y;
        p += 2;
      }
    }
    for (int64_t k = 0, n = h * w; k < n; ++k) *s++ = st;
  }
}

}  // namespace

std::pair<at::Tensor, at::Tensor> make_anchors(const std::vector<Level>& levels,
                                               at::TensorOptions opts) {
  const at::ScalarType dtype = opts.dtype().toScalarType();
  // (no level at all: the concatenation's error, below)
  bool fill = fused_cpu(opts.device()) && (dtype == at::kFloat || dtype == at::kDouble) &&
              !levels.empty();
  int64_t total = 0;
  for (const Level& lv : levels) {
    if (!fill) break;
    fill = fill_size(lv.h) && fill_size(lv.w) && fill_stride(lv.stride, dtype);
    if (fill) total += lv.h.toLong() * lv.w.toLong();
  }
  if (fill) {
    at::Tensor p = at::empty({total, 2}, opts);
    at::Tensor s = at::empty({total}, opts);
    // (a tensor of the compiler's or a tracer's has no memory to write:
    // there the operations below run)
    const c10::DispatchKeySet keys = p.key_set();
    if (!keys.has(c10::DispatchKey::Python) && !keys.has(c10::DispatchKey::Functionalize)) {
      if (dtype == at::kFloat)
        fill_anchors(levels, p.data_ptr<float>(), s.data_ptr<float>());
      else
        fill_anchors(levels, p.data_ptr<double>(), s.data_ptr<double>());
      return {p, s};
    }
  }
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
// axis): one pass instead of a chain of broadcasting tensor ops, forward and
// (boxes) backward. The arithmetic is the op sequence's, operation for operation
// in float32 (the build disables FMA contraction), so results are identical.
bool fused_shapes(const at::Tensor& raw, const at::Tensor& points, const at::Tensor& stride,
                  int64_t last) {
  return fused_cpu(raw) && fused_cpu(points) && fused_cpu(stride) &&
         raw.scalar_type() == at::kFloat && points.scalar_type() == at::kFloat &&
         stride.scalar_type() == at::kFloat && raw.dim() == 3 && raw.size(2) == last &&
         points.dim() == 2 && points.size(1) == 2 && stride.dim() == 1 &&
         points.size(0) == raw.size(1) && stride.size(0) == raw.size(1) && raw.numel() > 0;
}


// Boxes of rows [i0, i1) of the (B * A) anchors from softplus values sp: the
// scalar form, and the remainder of the AVX2 form. sp and out may be the same
// memory (each anchor's four values are read before they are written).
void boxes_plain(const float* sp, const float* p, const float* s, int64_t A, float offset,
                 bool apply_max, int64_t i0, int64_t i1, float* o) {
  for (int64_t i = i0, a = i0 % A; i < i1; ++i, a = a + 1 == A ? 0 : a + 1) {
    const float st = s[a], px = p[a * 2], py = p[a * 2 + 1];
    const float* ri = sp + i * 4;
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
}

// Points of rows [i0, i1) from raw (rows of C = 2n): the scalar form.
void points_plain(const float* r, const float* p, const float* s, int64_t A, int64_t C,
                  int64_t i0, int64_t i1, float* o) {
  for (int64_t i = i0, a = i0 % A; i < i1; ++i, a = a + 1 == A ? 0 : a + 1) {
    const float st = s[a], px = p[a * 2], py = p[a * 2 + 1];
    const float* ri = r + i * C;
    float* oi = o + i * C;
    for (int64_t k = 0; k < C; k += 2) {
      oi[k] = ri[k] * st + px;
      oi[k + 1] = ri[k + 1] * st + py;
    }
  }
}

#if defined(__x86_64__) && defined(__GNUC__)
#define HALCYRA_DECODE_AVX2 1

// Two anchors per vector of 8: lanes (x1, y1, x2, y2) of anchor a, then of
// the next anchor. The same float operations as boxes_plain, lane by lane.
__attribute__((target("avx2"))) void boxes_avx2(const float* sp, const float* p, const float* s,
                                                 int64_t A, float offset, bool apply_max,
                                                 int64_t i0, int64_t i1, float* o) {
  const __m256 off = _mm256_set1_ps(offset);
  const __m256 neg_lo = _mm256_setr_ps(-0.0f, -0.0f, 0.0f, 0.0f, -0.0f, -0.0f, 0.0f, 0.0f);
  int64_t i = i0, a = i0 % A;
  for (; i + 2 <= i1; i += 2) {
    const int64_t b = a + 1 == A ? 0 : a + 1;
    const __m256 st = _mm256_setr_ps(s[a], s[a], s[a], s[a], s[b], s[b], s[b], s[b]);
    const __m256 pt = _mm256_setr_ps(p[2 * a], p[2 * a + 1], p[2 * a], p[2 * a + 1],
                                     p[2 * b], p[2 * b + 1], p[2 * b], p[2 * b + 1]);
    const __m256 d = _mm256_mul_ps(_mm256_sub_ps(_mm256_loadu_ps(sp + i * 4), off), st);
    // x1y1 = points - d, x2y2 = points + d (adding -d is subtracting d)
    __m256 box = _mm256_add_ps(pt, _mm256_xor_ps(d, neg_lo));
    if (apply_max) {
      // (x1, y1, max(x2, x1), max(y2, y1)), NaN from either side
      const __m256 lo = _mm256_permute_ps(box, 0x44);  // x1, y1, x1, y1
      box = _mm256_or_ps(_mm256_max_ps(box, lo), _mm256_cmp_ps(box, lo, _CMP_UNORD_Q));
    }
    _mm256_storeu_ps(o + i * 4, box);
    a = b + 1 == A ? 0 : b + 1;
  }
  boxes_plain(sp, p, s, A, offset, apply_max, i, i1, o);
}

// raw * stride + (px, py, px, py, ...) eight channels at a time.
__attribute__((target("avx2"))) void points_avx2(const float* r, const float* p, const float* s,
                                                  int64_t A, int64_t C, int64_t i0, int64_t i1,
                                                  float* o) {
  const int64_t cv = C - C % 8;
  for (int64_t i = i0, a = i0 % A; i < i1; ++i, a = a + 1 == A ? 0 : a + 1) {
    const __m256 st = _mm256_set1_ps(s[a]);
    const float px = p[2 * a], py = p[2 * a + 1];
    const __m256 pt = _mm256_setr_ps(px, py, px, py, px, py, px, py);
    const float* ri = r + i * C;
    float* oi = o + i * C;
    for (int64_t k = 0; k < cv; k += 8)
      _mm256_storeu_ps(oi + k, _mm256_add_ps(_mm256_mul_ps(_mm256_loadu_ps(ri + k), st), pt));
    for (int64_t k = cv; k < C; k += 2) {
      oi[k] = ri[k] * s[a] + px;
      oi[k + 1] = ri[k + 1] * s[a] + py;
    }
  }
}
#endif

// Boxes from raw (B, A, 4), points (A, 2), stride (A,), float32 on the CPU.
// Preconditions: fused_shapes(raw, points_in, stride_in, 4).
at::Tensor fused_boxes(const at::Tensor& raw, const at::Tensor& points_in,
                       const at::Tensor& stride_in, float offset, bool apply_max) {
  HALCYRA_RECORD("decode_boxes_kernel");
  TORCH_CHECK(fused_shapes(raw, points_in, stride_in, 4), "decode_boxes(): fused kernel misused");
  at::Tensor points = points_in.contiguous(), stride = stride_in.contiguous();
  const int64_t B = raw.size(0), A = raw.size(1);
  // softplus through the library's own (vectorised) kernel, the rest fused.
  // A contiguous raw is computed straight into the output, then rewritten in
  // place; any other layout goes through softplus's own output, whose layout
  // (and so its vector/scalar split) follows raw's as in the op sequence.
  at::Tensor out, sp;
  if (raw.is_contiguous()) {
    out = at::empty({B, A, 4}, raw.options());
    at::softplus_out(out, raw, 1, 20);
    sp = out;
  } else {
    sp = at::softplus(raw).contiguous();
    out = at::empty({B, A, 4}, raw.options());
  }
  const float* r = sp.data_ptr<float>();
  const float* p = points.data_ptr<float>();
  const float* s = stride.data_ptr<float>();
  float* o = out.data_ptr<float>();
  at::parallel_for(0, B * A, 8192, [&](int64_t begin, int64_t end) {
#ifdef HALCYRA_DECODE_AVX2
    if (cpu_has_avx2()) return boxes_avx2(r, p, s, A, offset, apply_max, begin, end, o);
#endif
    boxes_plain(r, p, s, A, offset, apply_max, begin, end, o);
  });
  return out;
}

// The gradient with respect to the softplus values, from the gradient g of
// the boxes, with the op sequence's rounding: cat, maximum (a tie splits the
// gradient in halves, NaN passes it to both sides), points -/+ d, d * stride.
void boxes_grad_plain(const float* sp, const float* g, const float* p, const float* s,
                      int64_t A, float offset, bool apply_max, int64_t i0, int64_t i1,
                      float* gsp) {
  for (int64_t i = i0, a = i0 % A; i < i1; ++i, a = a + 1 == A ? 0 : a + 1) {
    const float st = s[a], px = p[a * 2], py = p[a * 2 + 1];
    const float* ri = sp + i * 4;
    const float* gi = g + i * 4;
    float g_x1 = gi[0], g_y1 = gi[1], g_x2 = gi[2], g_y2 = gi[3];
    if (apply_max) {
      // maximum(self = x2, other = x1), and the same for y
      const float x1 = px - (ri[0] - offset) * st, y1 = py - (ri[1] - offset) * st;
      const float x2 = px + (ri[2] - offset) * st, y2 = py + (ri[3] - offset) * st;
      const float hx = x2 == x1 ? g_x2 / 2 : g_x2, hy = y2 == y1 ? g_y2 / 2 : g_y2;
      g_x1 = g_x1 + (x2 > x1 ? 0.0f : hx);
      g_y1 = g_y1 + (y2 > y1 ? 0.0f : hy);
      g_x2 = x2 < x1 ? 0.0f : hx;
      g_y2 = y2 < y1 ? 0.0f : hy;
    }
    float* oi = gsp + i * 4;
    oi[0] = -g_x1 * st;
    oi[1] = -g_y1 * st;
    oi[2] = g_x2 * st;
    oi[3] = g_y2 * st;
  }
}

// The same gradient with tensor ops, differentiable (double backward).
at::Tensor boxes_grad_aten(const at::Tensor& raw, const at::Tensor& g, const at::Tensor& points,
                           const at::Tensor& stride, const at::Scalar& offset, bool apply_max) {
  at::Tensor g1 = g.slice(-1, 0, 2), g2 = g.slice(-1, 2, 4);
  if (apply_max) {
    at::Tensor d = (at::softplus(raw) - offset) * stride.unsqueeze(-1);
    at::Tensor x1y1 = points - d.slice(-1, 0, 2), x2y2 = points + d.slice(-1, 2, 4);
    at::Tensor h = at::where(x2y2 == x1y1, g2 / 2, g2);
    g1 = g1 + h.masked_fill(x2y2 > x1y1, 0);
    g2 = h.masked_fill(x2y2 < x1y1, 0);
  }
  at::Tensor gd = at::cat({-g1, g2}, -1) * stride.unsqueeze(-1);
  return at::softplus_backward(gd, raw, 1, 20);
}

at::Tensor fused_points(const at::Tensor& raw_in, const at::Tensor& points_in,
                        const at::Tensor& stride_in) {
  HALCYRA_RECORD("decode_points_kernel");
  // Preconditions: raw (B, A, C = 2n), points (A, 2), stride (A,), float32 on the CPU.
  TORCH_CHECK(raw_in.dim() == 3 && raw_in.size(2) % 2 == 0 &&
                  fused_shapes(raw_in, points_in, stride_in, raw_in.size(2)),
              "decode_points(): fused kernel misused");
  at::Tensor raw = raw_in.contiguous(), points = points_in.contiguous(),
             stride = stride_in.contiguous();
  const int64_t B = raw.size(0), A = raw.size(1), C = raw.size(2);
  at::Tensor out = at::empty({B, A, C / 2, 2}, raw.options());
  const float* r = raw.data_ptr<float>();
  const float* p = points.data_ptr<float>();
  const float* s = stride.data_ptr<float>();
  float* o = out.data_ptr<float>();
  at::parallel_for(0, B * A, std::max<int64_t>(1, 65536 / C), [&](int64_t begin, int64_t end) {
#ifdef HALCYRA_DECODE_AVX2
    if (cpu_has_avx2()) return points_avx2(r, p, s, A, C, begin, end, o);
#endif
    points_plain(r, p, s, A, C, begin, end, o);
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

bool truthy(const at::Scalar& offset) {
  return offset.isFloatingPoint() ? offset.toDouble() != 0.0
         : offset.isComplex()     ? offset.toComplexDouble() != c10::complex<double>(0.0, 0.0)
                                  : offset.toLong() != 0;
}

bool boxes_fused(const at::Tensor& raw, const at::Tensor& points, const at::Tensor& stride,
                 const at::Scalar& offset) {
  // (a bool or complex offset: the formulation, whose subtraction refuses it)
  return fused_shapes(raw, points, stride, 4) && !offset.isComplex() && !offset.isBoolean();
}

at::Tensor boxes_formulation(const at::Tensor& raw, const at::Tensor& points,
                             const at::Tensor& stride, const at::Scalar& offset) {
  return finish_boxes((at::softplus(raw) - offset) * stride.unsqueeze(-1), points, truthy(offset));
}

at::Tensor boxes_cpu(const at::Tensor& raw, const at::Tensor& points, const at::Tensor& stride,
                     const at::Scalar& offset) {
  if (boxes_fused(raw, points, stride, offset))
    return fused_boxes(raw, points, stride, offset.toFloat(), truthy(offset));
  return boxes_formulation(raw, points, stride, offset);
}

at::Tensor boxes_backward_formulation(const at::Tensor& grad, const at::Tensor& raw,
                                      const at::Tensor& points, const at::Tensor& stride,
                                      const at::Scalar& offset) {
  return boxes_grad_aten(raw, grad, points, stride, offset, truthy(offset));
}

// One fused loop from the gradient of the boxes to that of the softplus
// values (recomputed here with the library's own kernel, as the forward pass
// computed them), then the library's softplus_backward.
at::Tensor boxes_backward_cpu(const at::Tensor& grad, const at::Tensor& raw,
                              const at::Tensor& points_in, const at::Tensor& stride_in,
                              const at::Scalar& offset) {
  if (!boxes_fused(raw, points_in, stride_in, offset) || !fused_cpu(grad) ||
      grad.scalar_type() != at::kFloat || grad.sizes() != raw.sizes())
    return boxes_backward_formulation(grad, raw, points_in, stride_in, offset);
  HALCYRA_RECORD("decode_boxes_kernel_backward");
  const at::Tensor g = grad.contiguous(), sp = at::softplus(raw).contiguous();
  const at::Tensor points = points_in.contiguous(), stride = stride_in.contiguous();
  const int64_t A = raw.size(1);
  const float off = offset.toFloat();
  const bool apply_max = truthy(offset);
  at::Tensor gsp = at::empty(sp.sizes(), sp.options());
  const float *ps = sp.data_ptr<float>(), *pg = g.data_ptr<float>();
  const float *pp = points.data_ptr<float>(), *pst = stride.data_ptr<float>();
  float* po = gsp.data_ptr<float>();
  at::parallel_for(0, raw.size(0) * A, 8192, [&](int64_t begin, int64_t end) {
    boxes_grad_plain(ps, pg, pp, pst, A, off, apply_max, begin, end, po);
  });
  return at::softplus_backward(gsp, raw, 1, 20);
}

at::Tensor points_ops(const at::Tensor& raw, const at::Tensor& points,
                      const at::Tensor& stride, int64_t n) {
  const int64_t b = raw.size(0), a = raw.size(1);
  at::Tensor off = raw.reshape({b, a, n, 2}) * stride.reshape({1, -1, 1, 1});
  return off + points.reshape({1, -1, 1, 2});
}

at::Tensor points_cpu(const at::Tensor& raw, const at::Tensor& points, const at::Tensor& stride,
                      int64_t n) {
  // (2 * n computed only where it cannot overflow)
  if (n > 0 && raw.dim() == 3 && n <= raw.size(2) / 2 && fused_shapes(raw, points, stride, 2 * n))
    return fused_points(raw, points, stride);
  return points_ops(raw, points, stride, n);
}

}  // namespace decode
}  // namespace halcyra
