#include "core.h"

#include <ATen/core/Reduction.h>
#include <c10/core/impl/LocalDispatchKeySet.h>
#include <torch/csrc/autograd/custom_function.h>

#include <ATen/Parallel.h>
#include <ATen/core/grad_mode.h>

#include "../common/compat.h"
#include "kernels.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

namespace halcyra {
namespace losses {

using at::indexing::Slice;

at::Tensor ciou(const at::Tensor& box1, const at::Tensor& box2) {
  // Arctangent aspect terms are too noisy in half precision: float32 always.
  at::Tensor b1 = box1.to(at::kFloat), b2 = box2.to(at::kFloat);
  // Columns as b[:, k], so malformed boxes fail with the indexing error.
  auto col = [](const at::Tensor& b, int64_t k) { return b.index({Slice(), k}); };
  at::Tensor ax1 = col(b1, 0), ay1 = col(b1, 1), ax2 = col(b1, 2), ay2 = col(b1, 3);
  at::Tensor bx1 = col(b2, 0), by1 = col(b2, 1), bx2 = col(b2, 2), by2 = col(b2, 3);

  at::Tensor w1 = (ax2 - ax1).clamp_min(kEps), h1 = (ay2 - ay1).clamp_min(kEps);
  at::Tensor w2 = (bx2 - bx1).clamp_min(kEps), h2 = (by2 - by1).clamp_min(kEps);

  // Intersection from the raw corners, union from the floored sides.
  at::Tensor iw = (at::minimum(ax2, bx2) - at::maximum(ax1, bx1)).clamp_min(0);
  at::Tensor ih = (at::minimum(ay2, by2) - at::maximum(ay1, by1)).clamp_min(0);
  at::Tensor inter = iw * ih;
  at::Tensor uni = w1 * h1 + w2 * h2 - inter;
  at::Tensor iou = inter / (uni + kEps);

  // Squared diagonal of the enclosing box and squared centre distance.
  at::Tensor ew = at::maximum(ax2, bx2) - at::minimum(ax1, bx1);
  at::Tensor eh = at::maximum(ay2, by2) - at::minimum(ay1, by1);
  at::Tensor c2 = ew.pow(2) + eh.pow(2) + kEps;
  at::Tensor dx = (ax1 + ax2) / 2 - (bx1 + bx2) / 2;
  at::Tensor dy = (ay1 + ay2) / 2 - (by1 + by2) / 2;
  at::Tensor rho2 = dx.pow(2) + dy.pow(2);

  const double k = 4.0 / (M_PI * M_PI);
  at::Tensor v = k * (at::atan(w2 / h2) - at::atan(w1 / h1)).pow(2);
  at::Tensor alpha;
  {
    at::NoGradGuard no_grad;
    alpha = v / (1 - iou + v + kEps);
  }
  return iou - rho2 / c2 - alpha * v;
}

at::Tensor dice_loss(const at::Tensor& logits, const at::Tensor& targets,
                     const at::Scalar& eps, const at::Tensor& eps_t) {
  at::Tensor p = at::sigmoid(logits).flatten(1);
  at::Tensor t = targets.flatten(1);
  at::Tensor num = 2.0 * (p * t).sum(1);
  at::Tensor den = p.sum(1) + t.sum(1);
  if (eps_t.defined()) {
    num = num + eps_t;
    den = den + eps_t;
  } else {
    num = num + eps;
    den = den + eps;
  }
  return (1.0 - num / den).mean();
}

at::Tensor class_availability(const at::Tensor& has_rect, const at::Tensor& has_polygon,
                              const at::Tensor& has_keypoint, const at::Tensor& has_polyline,
                              const at::Tensor& is_polyline_cls) {
  at::Tensor box_avail = has_rect.bitwise_or(has_polygon).bitwise_or(has_keypoint);
  return at::where(is_polyline_cls.unsqueeze(0), has_polyline.unsqueeze(1),
                   box_avail.unsqueeze(1))
      .to(at::kFloat);
}

namespace {

// ---- The classification term on the CPU ---------------------------------------
//
// With s = sigmoid(x), the scores the assigner was given, the cross-entropy
// with logits of one element is
//   bce = (1 - t) x - log(s)       for x >= 0,
//   bce = -t x - log(1 - s)        for x < 0,
// and its gradient is (s - t). Both logarithms are of a y = 1 - u in [0.5, 1],
// where u = (x >= 0 ? 1 - s : s) is exact in float. The weighted sum of the
// -log(y) of a block is therefore taken as minus the logarithm of their
// product, kept in double precision whose exponent moves into an integer
// counter before it could underflow: no transcendental function per element,
// and every term summed is non-negative (for targets in [0, 1]), in double.
//
// The (B, A) rows are cut into blocks of a fixed size, whatever the thread
// count, and the block sums are added in block order, so the sums do not
// depend on the thread count. The kernels have an AVX2 form, chosen
// at run time (the build targets the x86-64 baseline), and a portable one.

// Rows of x, s, t (B * A rows of nc), per-row anchor weight aw (B * A) and
// per-image class availability col (B rows of nc); all contiguous float32.
struct ClsRows {
  const float *x, *s, *t, *aw, *col;
  int64_t A, nc;
};

// Sums over a block of rows: weighted linear terms, weighted log(y) and the
// target mass over available classes (all anchors, whatever their weight).
struct ClsPartial {
  double lin = 0, logy = 0, norm = 0;
};

// Running sums of the portable kernel, also used for the columns left over
// after the AVX2 kernel's vectors of 8.
struct ClsScalar {
  double lin = 0, mass = 0, prod = 1;
  int64_t ex = 0;

  void add(const float* x, const float* s, const float* t, const float* col, float w,
           int64_t c0, int64_t c1) {
    for (int64_t c = c0; c < c1; ++c) {
      const float wc = col[c] * w, xc = x[c], tc = t[c];
      const bool pos = xc >= 0;
      lin += wc * (pos ? (1.0f - tc) * xc : -(tc * xc));
      mass += tc * col[c];
      prod *= 1.0 - static_cast<double>(wc * (pos ? 1.0f - s[c] : s[c]));
      if (prod < 0x1p-500) {  // each factor is at least 0.5
        int e;
        prod = std::frexp(prod, &e);
        ex += e;
      }
    }
  }

  ClsPartial finish() const {
    ClsPartial out;
    out.lin = lin;
    out.norm = mass;
    out.logy = std::log(prod) + static_cast<double>(ex) * M_LN2;
    return out;
  }
};

// The availability row of the image of row r0, moved along row by row.
struct RowCursor {
  const float* col;
  int64_t an, A, nc;
  RowCursor(const ClsRows& a, int64_t r0)
      : col(a.col + (r0 / a.A) * a.nc), an(r0 % a.A), A(a.A), nc(a.nc) {}
  void next() {
    if (++an == A) {  // next image
      an = 0;
      col += nc;
    }
  }
};

ClsPartial cls_forward_plain(const ClsRows& a, int64_t r0, int64_t r1) {
  ClsScalar acc;
  const int64_t nc = a.nc;
  for (RowCursor cur(a, r0); r0 < r1; ++r0, cur.next())
    acc.add(a.x + r0 * nc, a.s + r0 * nc, a.t + r0 * nc, cur.col, a.aw[r0], 0, nc);
  return acc.finish();
}

void cls_backward_plain(const ClsRows& a, float k, int64_t r0, int64_t r1, float* g) {
  const int64_t nc = a.nc;
  for (RowCursor cur(a, r0); r0 < r1; ++r0, cur.next()) {
    const float kr = k * a.aw[r0], *col = cur.col;
    const float *s = a.s + r0 * nc, *t = a.t + r0 * nc;
    float* gr = g + r0 * nc;
    for (int64_t c = 0; c < nc; ++c) gr[c] = (s[c] - t[c]) * (kr * col[c]);
  }
}

#if defined(__x86_64__) && defined(__GNUC__)
#define HALCYRA_CLS_AVX2 1

// Lanes of p (positive, normal) keep their mantissa in [1, 2); their binary
// exponents are added to e.
__attribute__((target("avx2"))) inline void renorm(__m256d& p, __m256i& e) {
  const __m256i bits = _mm256_castpd_si256(p);
  e = _mm256_add_epi64(e, _mm256_sub_epi64(_mm256_srli_epi64(bits, 52), _mm256_set1_epi64x(1023)));
  p = _mm256_castsi256_pd(_mm256_or_si256(_mm256_and_si256(bits, _mm256_set1_epi64x(0x000fffffffffffffLL)),
                                          _mm256_set1_epi64x(0x3ff0000000000000LL)));
}

__attribute__((target("avx2"))) inline __m256d lo4(__m256 v) {
  return _mm256_cvtps_pd(_mm256_castps256_ps128(v));
}
__attribute__((target("avx2"))) inline __m256d hi4(__m256 v) {
  return _mm256_cvtps_pd(_mm256_extractf128_ps(v, 1));
}

__attribute__((target("avx2"))) ClsPartial cls_forward_avx2(const ClsRows& a, int64_t r0,
                                                             int64_t r1) {
  const int64_t nc = a.nc, nv = nc - nc % 8;
  const __m256 zero = _mm256_setzero_ps(), one = _mm256_set1_ps(1.0f);
  const __m256 sign = _mm256_set1_ps(-0.0f);
  const __m256d one_d = _mm256_set1_pd(1.0);
  __m256d lin0 = _mm256_setzero_pd(), lin1 = lin0, mass0 = lin0, mass1 = lin0;
  __m256d prod0 = one_d, prod1 = one_d;
  __m256i ex0 = _mm256_setzero_si256(), ex1 = ex0;
  ClsScalar tail;
  int64_t since = 0;
  for (RowCursor cur(a, r0); r0 < r1; ++r0, cur.next()) {
    const float w = a.aw[r0], *col = cur.col;
    const float *x = a.x + r0 * nc, *s = a.s + r0 * nc, *t = a.t + r0 * nc;
    const __m256 wv = _mm256_set1_ps(w);
    for (int64_t c = 0; c < nv; c += 8) {
      const __m256 xv = _mm256_loadu_ps(x + c), sv = _mm256_loadu_ps(s + c);
      const __m256 tv = _mm256_loadu_ps(t + c), cv = _mm256_loadu_ps(col + c);
      const __m256 wc = _mm256_mul_ps(cv, wv);
      const __m256 pos = _mm256_cmp_ps(xv, zero, _CMP_GE_OQ);
      // pos ? (1 - t) x : -(t x)
      const __m256 lin = _mm256_mul_ps(
          wc, _mm256_blendv_ps(_mm256_xor_ps(_mm256_mul_ps(tv, xv), sign),
                               _mm256_mul_ps(_mm256_sub_ps(one, tv), xv), pos));
      // pos ? 1 - s : s
      const __m256 wu = _mm256_mul_ps(wc, _mm256_blendv_ps(sv, _mm256_sub_ps(one, sv), pos));
      const __m256 tc = _mm256_mul_ps(tv, cv);
      lin0 = _mm256_add_pd(lin0, lo4(lin));
      lin1 = _mm256_add_pd(lin1, hi4(lin));
      mass0 = _mm256_add_pd(mass0, lo4(tc));
      mass1 = _mm256_add_pd(mass1, hi4(tc));
      prod0 = _mm256_mul_pd(prod0, _mm256_sub_pd(one_d, lo4(wu)));
      prod1 = _mm256_mul_pd(prod1, _mm256_sub_pd(one_d, hi4(wu)));
      if (++since == 512) {  // each factor is at least 0.5
        renorm(prod0, ex0);
        renorm(prod1, ex1);
        since = 0;
      }
    }
    tail.add(x, s, t, col, w, nv, nc);
  }
  renorm(prod0, ex0);
  renorm(prod1, ex1);
  alignas(32) double l[8], m[8], p[8];
  alignas(32) int64_t e[8];
  _mm256_store_pd(l, lin0);
  _mm256_store_pd(l + 4, lin1);
  _mm256_store_pd(m, mass0);
  _mm256_store_pd(m + 4, mass1);
  _mm256_store_pd(p, prod0);
  _mm256_store_pd(p + 4, prod1);
  _mm256_store_si256(reinterpret_cast<__m256i*>(e), ex0);
  _mm256_store_si256(reinterpret_cast<__m256i*>(e + 4), ex1);
  ClsPartial out = tail.finish();
  int64_t ex = 0;
  for (int k = 0; k < 8; ++k) {
    out.lin += l[k];
    out.norm += m[k];
    out.logy += std::log(p[k]);
    ex += e[k];
  }
  out.logy += static_cast<double>(ex) * M_LN2;
  return out;
}

__attribute__((target("avx2"))) void cls_backward_avx2(const ClsRows& a, float k, int64_t r0,
                                                        int64_t r1, float* g) {
  const int64_t nc = a.nc, nv = nc - nc % 8;
  for (RowCursor cur(a, r0); r0 < r1; ++r0, cur.next()) {
    const float kr = k * a.aw[r0], *col = cur.col;
    const __m256 kv = _mm256_set1_ps(kr);
    const float *s = a.s + r0 * nc, *t = a.t + r0 * nc;
    float* gr = g + r0 * nc;
    for (int64_t c = 0; c < nv; c += 8) {
      const __m256 d = _mm256_sub_ps(_mm256_loadu_ps(s + c), _mm256_loadu_ps(t + c));
      _mm256_storeu_ps(gr + c, _mm256_mul_ps(d, _mm256_mul_ps(kv, _mm256_loadu_ps(col + c))));
    }
    for (int64_t c = nv; c < nc; ++c) gr[c] = (s[c] - t[c]) * (kr * col[c]);
  }
}

#endif

ClsPartial cls_forward_rows(const ClsRows& a, int64_t r0, int64_t r1) {
#ifdef HALCYRA_CLS_AVX2
  if (cpu_has_avx2()) return cls_forward_avx2(a, r0, r1);
#endif
  return cls_forward_plain(a, r0, r1);
}

// g = (s - t) * (k * aw * col) over rows [r0, r1): the gradient of the
// weighted sum for an incoming gradient k, rounded as the eager formulation
// rounds (sigmoid(x) - t) * grad (the weights are 0 or 1).
void cls_backward_rows(const ClsRows& a, float k, int64_t r0, int64_t r1, float* g) {
#ifdef HALCYRA_CLS_AVX2
  if (cpu_has_avx2()) return cls_backward_avx2(a, k, r0, r1, g);
#endif
  cls_backward_plain(a, k, r0, r1, g);
}

// Rows per block: about 16K elements, so that a block's four inputs stay in
// the second-level cache.
int64_t block_rows(int64_t nc) { return std::max<int64_t>(1, 16384 / std::max<int64_t>(1, nc)); }

// f(i) for every block i in [0, n), on the intra-op threads. Each thread
// takes the next block as it finishes one, so that a thread slowed down by
// anything else on its core does not hold the others back.
template <class F>
void for_each_block(int64_t n, const F& f) {
  std::atomic<int64_t> next{0};
  at::parallel_for(0, std::min<int64_t>(n, at::get_num_threads()), 1, [&](int64_t, int64_t) {
    for (int64_t i = next++; i < n; i = next++) f(i);
  });
}

// Whether the CPU kernels apply: x, t, s (B, A, nc), aw (B, A), col (B, nc),
// all float32 in host memory.
bool fused_cls(const at::Tensor& x, const at::Tensor& t, const at::Tensor& aw,
               const at::Tensor& col) {
  for (const at::Tensor* v : {&x, &t, &aw, &col})
    if (!fused_cpu(*v) || v->scalar_type() != at::kFloat) return false;
  return x.dim() == 3 && t.sizes() == x.sizes() && aw.dim() == 2 && col.dim() == 2 &&
         aw.size(0) == x.size(0) && aw.size(1) == x.size(1) && col.size(0) == x.size(0) &&
         col.size(1) == x.size(2);
}

ClsRows rows_of(const at::Tensor& x, const at::Tensor& s, const at::Tensor& t,
                const at::Tensor& aw, const at::Tensor& col) {
  return {x.data_ptr<float>(), s.data_ptr<float>(), t.data_ptr<float>(),
          aw.data_ptr<float>(), col.data_ptr<float>(), x.size(1), x.size(2)};
}

// The weighted sum and the target mass, tensor by tensor (other devices, and
// inputs with non-finite values, whose NaN/inf pattern this reproduces).
std::pair<at::Tensor, at::Tensor> weighted_bce_aten(const at::Tensor& x, const at::Tensor& t,
                                                    const at::Tensor& aw,
                                                    const at::Tensor& col) {
  at::Tensor l = at::binary_cross_entropy_with_logits(x, t, {}, {}, at::Reduction::None);
  return {(l * (col.unsqueeze(1) * aw.unsqueeze(2))).sum(), (t * col.unsqueeze(1)).sum()};
}

// A contiguous (B, A) bool mask in host memory.
// (cls_loss is a composite operator: the compiler runs it on tensors without
// data, which carry the Python or the functionalisation key.)
bool host_data(const at::Tensor& t) {
  return fused_cpu(t) && !t.key_set().has(c10::DispatchKey::Python) &&
         !t.key_set().has(c10::DispatchKey::Functionalize);
}

// sigmoid(x) as the CPU loops read it (float32, contiguous, x's size): the
// caller's scores where they are so, recomputed otherwise.
at::Tensor loop_scores(const at::Tensor& s, const at::Tensor& x) {
  if (s.device().is_cpu() && s.scalar_type() == at::kFloat && s.sizes() == x.sizes())
    return s.contiguous();
  return at::sigmoid(x).contiguous();
}

bool host_masks(const at::Tensor& m, int64_t B, int64_t A) {
  return host_data(m) && m.scalar_type() == at::kBool && m.dim() == 2 &&
         m.size(0) == B && m.size(1) == A && m.is_contiguous();
}

}  // namespace

namespace kernels {

Pair weighted_bce_cpu(const at::Tensor& x_in, const at::Tensor& t_in, const at::Tensor& aw_in,
                      const at::Tensor& col_in, const at::Tensor& s_in) {
  HALCYRA_RECORD("cls_loss");
  const at::Tensor x = x_in.contiguous(), t = t_in.contiguous();
  const at::Tensor aw = aw_in.contiguous(), col = col_in.contiguous();
  if (!fused_cls(x, t, aw, col)) return weighted_bce_aten(x, t, aw, col);
  const at::Tensor s = loop_scores(s_in, x);
  const ClsRows rows = rows_of(x, s, t, aw, col);
  const int64_t n_rows = x.size(0) * x.size(1), per = block_rows(x.size(2));
  const int64_t n_blocks = (n_rows + per - 1) / per;
  std::vector<ClsPartial> part(n_blocks);
  for_each_block(n_blocks, [&](int64_t i) {
    part[i] = cls_forward_rows(rows, i * per, std::min(n_rows, (i + 1) * per));
  });
  double total = 0, norm = 0;
  for (const ClsPartial& p : part) {
    total += p.lin - p.logy;
    norm += p.norm;
  }
  // Non-finite inputs: the formulation's own NaN/inf pattern.
  if (!std::isfinite(total) || !std::isfinite(norm)) return weighted_bce_aten(x, t, aw, col);
  return {at::scalar_tensor(total, x.options()), at::scalar_tensor(norm, x.options())};
}

Pair weighted_bce_generic(const at::Tensor& x, const at::Tensor& t, const at::Tensor& aw,
                          const at::Tensor& col, const at::Tensor&) {
  return weighted_bce_aten(x, t, aw, col);
}

at::Tensor weighted_bce_backward_generic(const at::Tensor& grad, const at::Tensor& x,
                                         const at::Tensor& t, const at::Tensor& aw,
                                         const at::Tensor& col, const at::Tensor&) {
  return (at::sigmoid(x) - t) * (grad * (col.unsqueeze(1) * aw.unsqueeze(2)));
}

at::Tensor weighted_bce_backward_cpu(const at::Tensor& grad, const at::Tensor& x_in,
                                     const at::Tensor& t_in, const at::Tensor& aw_in,
                                     const at::Tensor& col_in, const at::Tensor& s_in) {
  HALCYRA_RECORD("cls_loss_backward");
  const at::Tensor x = x_in.contiguous(), t = t_in.contiguous();
  const at::Tensor aw = aw_in.contiguous(), col = col_in.contiguous();
  if (!fused_cls(x, t, aw, col) || !grad.device().is_cpu() || grad.numel() != 1)
    return weighted_bce_backward_generic(grad, x, t, aw, col, s_in);
  const at::Tensor s = loop_scores(s_in, x);
  // The scalar gradient is host memory: no device synchronisation.
  const float k = grad.item<float>();
  at::Tensor gx = at::empty(x.sizes(), x.options());
  const ClsRows rows = rows_of(x, s, t, aw, col);
  float* g = gx.data_ptr<float>();
  // One contiguous range of rows per thread: the first writes to the new
  // gradient's pages fault them in, and threads faulting pages of the same
  // page table wait for each other.
  at::parallel_for(0, x.size(0) * x.size(1), block_rows(x.size(2)),
                   [&](int64_t lo, int64_t hi) { cls_backward_rows(rows, k, lo, hi, g); });
  return gx;
}

}  // namespace kernels

std::pair<at::Tensor, at::Tensor> cls_loss(const at::Tensor& cls_raw,
                                           const at::Tensor& target_scores,
                                           const at::Tensor& fg_mask,
                                           const at::Tensor& ignore_mask,
                                           const at::Tensor& col_avail,
                                           const at::Tensor& scores) {
  // Weight of (image, anchor, class): class available for the image, and the
  // anchor positive or not ignored; kept factored as (B, A) x (B, nc).
  // float32 whatever autocast says (the per-image product would otherwise be
  // cast down).
  c10::impl::ExcludeDispatchKeyGuard no_autocast(c10::autocast_dispatch_keyset);
  // Preconditions: cls_raw (B, A, nc) = target_scores' size; masks expand to (B, A), col_avail to (B, nc)
  TORCH_CHECK(cls_raw.dim() == 3 && target_scores.sizes() == cls_raw.sizes(),
              "cls_loss(): target_scores must have the size of cls_raw ", cls_raw.sizes(),
              ", got ", target_scores.sizes());
  const int64_t B = cls_raw.size(0), A = cls_raw.size(1), nc = cls_raw.size(2);
  at::Tensor anchor_w;
  if (host_data(cls_raw) && cls_raw.scalar_type() == at::kFloat &&
      host_masks(fg_mask, B, A) && host_masks(ignore_mask, B, A)) {
    // The common case in one small loop (on the CPU every tensor op of this
    // size is its own parallel region).
    anchor_w = at::empty({B, A}, cls_raw.options());
    const bool *fg = fg_mask.data_ptr<bool>(), *ign = ignore_mask.data_ptr<bool>();
    float* w = anchor_w.data_ptr<float>();
    for (int64_t i = 0; i < B * A; ++i) w[i] = (!ign[i] || fg[i]) ? 1.0f : 0.0f;
  } else {
    anchor_w = ignore_mask.bitwise_not()
                   .bitwise_or(fg_mask)
                   .to(cls_raw.scalar_type())
                   .expand({B, A});
  }
  at::Tensor col = col_avail.to(cls_raw.scalar_type()).expand({B, nc});
  at::Tensor t = target_scores.detach().to(cls_raw.scalar_type());
  at::Tensor sum, mass;
  std::tie(sum, mass) = kernels::weighted_bce(
      cls_raw, t, anchor_w, col, scores.defined() ? scores : at::sigmoid(cls_raw.detach()));
  at::Tensor norm = mass.clamp_min(1.0);
  return {sum / norm, norm};
}

Positives positives(const at::Tensor& fg_mask) {
  Positives p;
  at::Tensor idx = at::nonzero(fg_mask);  // (n, 2), row-major order
  p.n = idx.size(0);
  p.B = fg_mask.size(0);
  p.A = fg_mask.size(1);
  p.fg_b = idx.select(1, 0);
  p.fg_a = idx.select(1, 1);
  p.flat = p.fg_b * p.A + p.fg_a;
  return p;
}

at::Tensor gather_rows(const at::Tensor& t, const Positives& p) {
  if (t.dim() < 2 || t.size(0) != p.B || t.size(1) != p.A)
    return t.index({p.fg_b, p.fg_a});  // t[fg_b, fg_a], with its own errors
  const int64_t B = t.size(0), A = t.size(1);
  std::vector<int64_t> shape{B * A};
  for (int64_t d = 2; d < t.dim(); ++d) shape.push_back(t.size(d));
  return t.reshape(shape).index_select(0, p.flat);
}

at::Tensor box_loss(const at::Tensor& iou, const at::Tensor& w_box, double floor,
                    const at::Tensor& norm) {
  if (floor > 0) {
    at::Tensor w = w_box.clamp_min(floor);
    return ((1.0 - iou) * w).sum() / w.sum().clamp_min(1.0);
  }
  return ((1.0 - iou) * w_box).sum() / norm;
}

}  // namespace losses
}  // namespace halcyra
