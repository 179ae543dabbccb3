#include "predict.h"

#include "../common/compat.h"

#include <ATen/Parallel.h>
#include <immintrin.h>
#include <ATen/core/grad_mode.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <algorithm>
#include <limits>

namespace halcyra {
namespace predict {

namespace {

// Source indices and weights of one axis of a bilinear resize with
// align_corners=False, computed as the tensor library's CPU kernel does. The
// scale is float in every version; the source coordinate is computed in one of
// three ways, depending on the library's version and build (see calibrate):
//  - kCoordDouble: in double (the CPU accumulation type of float), clamped at
//    0, truncated; lambda1 = (coordinate - index) rounded to float;
//  - kCoordFloat, kCoordFloatFma: in float, scale * (o + 0.5) - 0.5 with two
//    roundings or as one fused multiply-add, clamped at 0, floored, the index
//    capped at in - 1, lambda1 = coordinate - index clamped to [0, 1].
// lambda0 = 1 - lambda1 in float. Equal sizes copy.
enum Coord { kCoordDouble = 0, kCoordFloat, kCoordFloatFma };

struct Axis {
  std::vector<int64_t> i0, i1;
  std::vector<float> l0, l1;
};

Axis linear_axis(int64_t in, int64_t out, int coord) {
  Axis a;
  a.i0.resize(out);
  a.i1.resize(out);
  a.l0.resize(out);
  a.l1.resize(out);
  const float ratio = static_cast<float>(in) / out;
  for (int64_t o = 0; o < out; ++o) {
    if (in == out) {
      a.i0[o] = a.i1[o] = o;
      a.l0[o] = 1.f;
      a.l1[o] = 0.f;
      continue;
    }
    int64_t i;
    if (coord == kCoordDouble) {
      double real = static_cast<double>(ratio) * (static_cast<double>(o) + 0.5) - 0.5;
      if (real < 0.0) real = 0.0;
      i = static_cast<int64_t>(real);
      a.l1[o] = static_cast<float>(real - static_cast<double>(i));
    } else {
      const float x = static_cast<float>(o) + 0.5f;
      float real = coord == kCoordFloatFma ? std::fma(ratio, x, -0.5f) : ratio * x - 0.5f;
      if (real < 0.f) real = 0.f;
      i = std::min<int64_t>(static_cast<int64_t>(std::floor(real)), in - 1);
      a.l1[o] = std::min(std::max(real - static_cast<float>(i), 0.f), 1.f);
    }
    a.i0[o] = i;
    a.i1[o] = i + (i < in - 1 ? 1 : 0);
    a.l0[o] = 1.f - a.l1[o];
  }
  return a;
}

// t0 * w0 + t1 * w1, once as separate roundings and once with the first
// product fused, which is how the library's vectorised build evaluates it.
template <bool Fma>
inline float comb(float a, float wa, float b, float wb) {
  if constexpr (Fma) {
    return __builtin_fmaf(a, wa, b * wb);
  } else {
    const float p = a * wa;
    const float q = b * wb;
    return p + q;
  }
}

// Evaluates the resize of one (hm, wm) plane at rows r0..r1 and columns
// c0..c1 of the output (inclusive), separably: each needed source row is
// interpolated horizontally once (its value does not depend on the output
// row), then rows are combined vertically. `src` holds the source rows from
// src_r0 and the columns from src_c0 on, `stride` floats apart.
// `sink(y, t0, h0, t1, h1, width)` finishes output row y.
template <bool Fma, typename Sink>
inline void resize_block(const float* src, int64_t stride, int64_t src_r0, int64_t src_c0,
                         const Axis& ay, const Axis& ax, int64_t r0, int64_t r1, int64_t c0,
                         int64_t c1, std::vector<float>& buf, Sink&& sink) {
  const int64_t width = c1 - c0 + 1;
  const int64_t s0 = ay.i0[r0], s1 = ay.i1[r1];
  buf.resize(static_cast<size_t>((s1 - s0 + 1) * width));
  const int64_t* xi0 = ax.i0.data() + c0;
  const int64_t* xi1 = ax.i1.data() + c0;
  const float* xl0 = ax.l0.data() + c0;
  const float* xl1 = ax.l1.data() + c0;
  for (int64_t r = s0; r <= s1; ++r) {
    const float* row = src + (r - src_r0) * stride;
    float* t = buf.data() + (r - s0) * width;
    for (int64_t j = 0; j < width; ++j)
      t[j] = comb<Fma>(row[xi0[j] - src_c0], xl0[j], row[xi1[j] - src_c0], xl1[j]);
  }
  for (int64_t y = r0; y <= r1; ++y) {
    const float* t0 = buf.data() + (ay.i0[y] - s0) * width;
    const float* t1 = buf.data() + (ay.i1[y] - s0) * width;
    sink(y, t0, ay.l0[y], t1, ay.l1[y], width);
  }
}

// First and last index x in [0, S) with lo <= x <= hi (compared in float, as
// the tensor formulation compares its int64 pixel grid with float boxes);
// first > last when there is none (including NaN bounds).
inline void pixel_span(float lo, float hi, int64_t S, int64_t* first, int64_t* last) {
  int64_t f = 0;
  while (f < S && !(static_cast<float>(f) >= lo)) ++f;
  int64_t l = f - 1;
  while (l + 1 < S && static_cast<float>(l + 1) <= hi) ++l;
  *first = f;
  *last = l;
}

// Preconditions (coarse_masks checks them): contiguous f32 prob (n, hm, wm), boxes (n, 4); out (n, S, S); hm, wm, S > 0
template <bool Fma>
__attribute__((always_inline)) inline void coarse_kernel(const float* prob, int64_t n, int64_t hm, int64_t wm, const float* boxes,
                   int64_t S, float thr, int coord, bool* out) {
  const Axis ay = linear_axis(hm, S, coord), ax = linear_axis(wm, S, coord);
  at::parallel_for(0, n, 1, [&](int64_t begin, int64_t end) {
    std::vector<float> buf;
    for (int64_t k = begin; k < end; ++k) {
      bool* plane = out + k * S * S;
      std::memset(plane, 0, static_cast<size_t>(S * S));
      const float* b = boxes + k * 4;
      int64_t c0, c1, r0, r1;
      pixel_span(b[0], b[2], S, &c0, &c1);
      pixel_span(b[1], b[3], S, &r0, &r1);
      if (c0 > c1 || r0 > r1) continue;
      resize_block<Fma>(prob + k * hm * wm, wm, 0, 0, ay, ax, r0, r1, c0, c1, buf,
                        [&](int64_t y, const float* t0, float h0, const float* t1, float h1,
                            int64_t width) {
                          bool* o = plane + y * S + c0;
                          for (int64_t j = 0; j < width; ++j)
                            o[j] = comb<Fma>(t0[j], h0, t1[j], h1) > thr;
                        });
    }
  });
}

__attribute__((target("fma"))) void coarse_kernel_fma(const float* prob, int64_t n, int64_t hm,
                                                      int64_t wm, const float* boxes, int64_t S,
                                                      float thr, int coord, bool* out) {
  coarse_kernel<true>(prob, n, hm, wm, boxes, S, thr, coord, out);
}

// Preconditions: src (hm, wm), out (oh, ow), all sizes > 0 (fixed calibration shapes).
template <bool Fma>
__attribute__((always_inline)) inline void resize_plane(const float* src, int64_t hm, int64_t wm, int64_t oh, int64_t ow, int coord, float* out) {
  const Axis ay = linear_axis(hm, oh, coord), ax = linear_axis(wm, ow, coord);
  std::vector<float> buf;
  resize_block<Fma>(src, wm, 0, 0, ay, ax, 0, oh - 1, 0, ow - 1, buf,
                    [&](int64_t y, const float* t0, float h0, const float* t1, float h1,
                        int64_t width) {
                      for (int64_t j = 0; j < width; ++j)
                        out[y * ow + j] = comb<Fma>(t0[j], h0, t1[j], h1);
                    });
}

__attribute__((target("fma"))) void resize_plane_fma(const float* src, int64_t hm, int64_t wm,
                                                     int64_t oh, int64_t ow, int coord,
                                                     float* out) {
  resize_plane<true>(src, hm, wm, oh, ow, coord, out);
}

// ---- masks straight from the prototypes -------------------------------------
//
// The coarse logits are a matrix product that the library hands to BLAS. With
// the reference BLAS every logit is the sum over prototypes in order, one
// rounding per product and per sum, so the logits a box needs can be computed
// alone, with the same bits. Whether the linked BLAS does exactly that is
// checked once per process (ProductOrder below).

enum ProductOrder { kProductUnknown = 0, kProductOther, kProductInOrder, kProductSkipZeros };

// acc[j] = acc[j] + c * p[j]: the product rounded, then the sum.
void accumulate_scalar(float* acc, const float* p, float c, int64_t w) {
  for (int64_t j = 0; j < w; ++j) acc[j] = acc[j] + c * p[j];
}

// The same eight at a time (the same two roundings per element: no fused
// multiply-add in this target).
__attribute__((target("avx2"))) void accumulate_avx2(float* acc, const float* p, float c,
                                                     int64_t w) {
  const __m256 vc = _mm256_set1_ps(c);
  int64_t j = 0;
  for (; j + 8 <= w; j += 8)
    _mm256_storeu_ps(acc + j, _mm256_add_ps(_mm256_loadu_ps(acc + j),
                                            _mm256_mul_ps(vc, _mm256_loadu_ps(p + j))));
  for (; j < w; ++j) acc[j] = acc[j] + c * p[j];
}

using Accumulate = void (*)(float*, const float*, float, int64_t);

Accumulate accumulate() {
  return cpu_has_avx2() ? &accumulate_avx2 : &accumulate_scalar;
}

// Logits of one detection over source rows s0..s1 and columns u0..u1.
// Preconditions: coef (P,), protos (P, hm, wm), hw = hm * wm, 0 <= s0 <= s1 < hm, 0 <= u0 <= u1 < wm, out fits the block
void logits_block(const float* coef, const float* protos, int64_t P, int64_t hw, int64_t wm,
                  int64_t s0, int64_t s1, int64_t u0, int64_t u1, bool skip_zeros, float* out) {
  const int64_t w = u1 - u0 + 1;
  const Accumulate acc_fn = accumulate();
  for (int64_t r = s0; r <= s1; ++r) {
    float* acc = out + (r - s0) * w;
    for (int64_t j = 0; j < w; ++j) acc[j] = 0.f;
    for (int64_t l = 0; l < P; ++l) {
      const float c = coef[l];
      if (skip_zeros && c == 0.f) continue;
      acc_fn(acc, protos + l * hw + r * wm + u0, c, w);
    }
  }
}

bool same_floats(const float* a, const float* b, int64_t n) {
  for (int64_t i = 0; i < n; ++i) {
    if (std::isnan(a[i]) && std::isnan(b[i])) continue;
    if (std::memcmp(a + i, b + i, sizeof(float)) != 0) return false;
  }
  return true;
}

int calibrate_product() {
  const int64_t shapes[][3] = {{5, 7, 301}, {16, 32, 4096}, {3, 32, 102400}};
  bool in_order = true, skip = true;
  uint32_t state = 777u;
  auto next = [&]() {
    state = state * 1664525u + 1013904223u;
    return static_cast<float>(state >> 8) / 16777216.f * 4.f - 2.f;
  };
  for (const auto& sh : shapes) {
    const int64_t n = sh[0], P = sh[1], hw = sh[2];
    at::Tensor coef = at::empty({n, P}, at::kFloat), protos = at::empty({P, hw}, at::kFloat);
    float* c = coef.data_ptr<float>();
    float* p = protos.data_ptr<float>();
    for (int64_t i = 0; i < n * P; ++i) c[i] = (i % 11 == 3) ? 0.f : next() * 3.f;
    for (int64_t i = 0; i < P * hw; ++i) p[i] = next() * (1.f + static_cast<float>(i % 7));
    p[3 * hw + 5] = std::numeric_limits<float>::infinity();  // meets a zero coefficient
    at::Tensor want = at::mm(coef, protos).contiguous();
    std::vector<float> mine(static_cast<size_t>(hw));
    for (int64_t j = 0; j < n; ++j) {
      const float* w = want.data_ptr<float>() + j * hw;
      if (in_order) {
        logits_block(c + j * P, p, P, hw, hw, 0, 0, 0, hw - 1, false, mine.data());
        in_order = same_floats(mine.data(), w, hw);
      }
      if (skip) {
        logits_block(c + j * P, p, P, hw, hw, 0, 0, 0, hw - 1, true, mine.data());
        skip = same_floats(mine.data(), w, hw);
      }
    }
  }
  return in_order ? kProductInOrder : (skip ? kProductSkipZeros : kProductOther);
}

// Calibrated once, on first use; the initialisation of a function-local
// static is thread-safe.
int product_order() {
  static const int order = calibrate_product();
  return order;
}

// The whole product, blocked over prototype-grid columns so that a block of
// every prototype stays in cache; per element the same order as logits_block.
// Preconditions (coarse_product checks them): contiguous f32 coef (n, P), protos (P, hw), out (n, hw); blocks within hw
void product_blocks(const float* coef, const float* protos, int64_t n, int64_t P, int64_t hw,
                    int64_t b0, int64_t b1, bool skip_zeros, float* out) {
  constexpr int64_t kBlock = 1024;
  const Accumulate acc_fn = accumulate();
  for (int64_t b = b0; b < b1; ++b) {
    const int64_t i0 = b * kBlock, w = std::min(kBlock, hw - i0);
    for (int64_t j = 0; j < n; ++j) {
      float* acc = out + j * hw + i0;
      for (int64_t i = 0; i < w; ++i) acc[i] = 0.f;
      for (int64_t l = 0; l < P; ++l) {
        const float c = coef[j * P + l];
        if (skip_zeros && c == 0.f) continue;
        acc_fn(acc, protos + l * hw + i0, c, w);
      }
    }
  }
}

struct Region {
  int64_t r0, r1, c0, c1;  // output rows and columns inside the box
  int64_t s0, s1, u0, u1;  // source rows and columns they read
  int64_t offset;          // into the packed logits
};

// Preconditions (prototype_masks builds them): regions inside prob and the axes; out (regions, S, S) bool
template <bool Fma>
__attribute__((always_inline)) inline void region_kernel(const float* prob, const std::vector<Region>& regions, const Axis& ay,
                   const Axis& ax, int64_t S, float thr, bool* out) {
  const int64_t n = static_cast<int64_t>(regions.size());
  at::parallel_for(0, n, 1, [&](int64_t begin, int64_t end) {
    std::vector<float> buf;
    for (int64_t k = begin; k < end; ++k) {
      bool* plane = out + k * S * S;
      std::memset(plane, 0, static_cast<size_t>(S * S));
      const Region& g = regions[k];
      if (g.r0 > g.r1 || g.c0 > g.c1) continue;
      resize_block<Fma>(prob + g.offset, g.u1 - g.u0 + 1, g.s0, g.u0, ay, ax, g.r0, g.r1, g.c0,
                        g.c1, buf,
                        [&](int64_t y, const float* t0, float h0, const float* t1, float h1,
                            int64_t width) {
                          bool* o = plane + y * S + g.c0;
                          for (int64_t j = 0; j < width; ++j)
                            o[j] = comb<Fma>(t0[j], h0, t1[j], h1) > thr;
                        });
    }
  });
}

__attribute__((target("fma"))) void region_kernel_fma(const float* prob,
                                                      const std::vector<Region>& regions,
                                                      const Axis& ay, const Axis& ax, int64_t S,
                                                      float thr, bool* out) {
  region_kernel<true>(prob, regions, ay, ax, S, thr, out);
}

enum Eval { kNone = 0, kPlain, kFma };

// How the library's bilinear resize of a channels-first batch evaluates: the
// weights' coordinate (Coord) and the sums (Eval), and whether small outputs
// take the same kernel. Newer versions send outputs of at most 128 rows plus
// columns, and three-channel batches at one thread, to their channels-last
// kernel, whose evaluation order differs.
struct Arith {
  int eval = kNone;
  int coord = kCoordDouble;
  bool small_same = false;
};

// Does one way of evaluating reproduce the library's resize of a two-channel
// batch, bit for bit, on every one of these shapes (h, w, oh, ow)?
bool resize_matches(const int64_t (*shapes)[4], size_t count, int eval, int coord) {
  uint32_t state = 12345u;
  for (size_t k = 0; k < count; ++k) {
    const int64_t h = shapes[k][0], w = shapes[k][1], oh = shapes[k][2], ow = shapes[k][3];
    at::Tensor x = at::empty({1, 2, h, w}, at::kFloat);
    float* px = x.data_ptr<float>();
    for (int64_t i = 0; i < x.numel(); ++i) {
      state = state * 1664525u + 1013904223u;
      px[i] = static_cast<float>(state >> 8) / 16777216.f * 6.f - 3.f;
    }
    at::Tensor ref =
        at::upsample_bilinear2d(x, {oh, ow}, false, c10::nullopt, c10::nullopt).contiguous();
    std::vector<float> mine(static_cast<size_t>(oh * ow));
    for (int64_t c = 0; c < 2; ++c) {
      const float* src = px + c * h * w;
      if (eval == kFma)
        resize_plane_fma(src, h, w, oh, ow, coord, mine.data());
      else
        resize_plane<false>(src, h, w, oh, ow, coord, mine.data());
      if (std::memcmp(mine.data(), ref.data_ptr<float>() + c * oh * ow,
                      mine.size() * sizeof(float)) != 0)
        return false;
    }
  }
  return true;
}

// Tries every combination on large outputs (upsampling, downsampling and an
// unchanged axis), then checks the one found on small outputs.
Arith calibrate() {
  static const int64_t large[][4] = {{7, 9, 123, 130}, {9, 5, 90, 170}, {12, 10, 5, 200},
                                     {13, 11, 140, 133}, {200, 180, 70, 90}, {40, 40, 160, 160}};
  static const int64_t small[][4] = {{7, 9, 23, 30}, {9, 5, 9, 17}, {12, 10, 5, 4},
                                     {16, 16, 64, 64}};
  Arith a;
  for (int coord : {kCoordDouble, kCoordFloatFma, kCoordFloat}) {
    for (int eval : {kFma, kPlain}) {
      if (eval == kFma && !cpu_has_fma()) continue;
      if (resize_matches(large, sizeof(large) / sizeof(large[0]), eval, coord)) {
        a.eval = eval;
        a.coord = coord;
        a.small_same = resize_matches(small, sizeof(small) / sizeof(small[0]), eval, coord);
        return a;
      }
    }
  }
  return a;
}

const Arith& arith() {
  static const Arith a = calibrate();
  return a;
}

// Whether the fused kernels reproduce the library's resize of an (n, hm, wm)
// batch to S x S. A batch of one map, or of 1 x 1 maps, is contiguous as
// channels-last too, and goes to that kernel in every version.
bool resize_fused(int64_t n, int64_t hm, int64_t wm, int64_t S) {
  const Arith& a = arith();
  if (a.eval == kNone || n < 2 || hm * wm < 2) return false;
  return a.small_same || (S > 64 && n != 3);
}

bool real_threshold(const at::Scalar& t) {
  return t.isFloatingPoint() || t.isIntegral(/*includeBool=*/false);
}

}  // namespace

bool fused_resize_available() { return arith().eval != kNone; }

namespace {

void apply_unary(Unary op, at::Tensor t) {
  if (op == Unary::kSigmoid)
    t.sigmoid_();
  else
    at::softplus_out(t, t, 1, 20);
}

}  // namespace

void vector_path(Unary op, float* data, int64_t n) {
  // Whole vectors only, each piece below the library's grain size so that it
  // is one serial loop without a tail.
  constexpr int64_t kPiece = 32704;
  TORCH_CHECK(n % 64 == 0, "vector_path: length must be a multiple of 64");
  at::parallel_for(0, (n + kPiece - 1) / kPiece, 1, [&](int64_t p0, int64_t p1) {
    for (int64_t p = p0; p < p1; ++p) {
      const int64_t off = p * kPiece;
      apply_unary(op, at::from_blob(data + off, {std::min(kPiece, n - off)}, at::kFloat));
    }
  });
}

void scalar_path(Unary op, float* data, int64_t n) {
  // Fewer elements than one vector: the library's scalar loop.
  for (int64_t off = 0; off < n; off += 8)
    apply_unary(op, at::from_blob(data + off, {std::min<int64_t>(8, n - off)}, at::kFloat));
}

namespace {

// The number of elements of one step of the library's vector loop for `op`
// (two vectors of its widest kernel), told from where a run of equal inputs
// switches to the scalar results: a contiguous run of L elements ends with
// L mod step scalar ones. 0 when it cannot be told (no input found whose two
// paths differ, or runs that do not fit the pattern).
int64_t calibrate_step(Unary op) {
  constexpr int64_t kSamples = 4096, kMaxRun = 256;
  std::vector<float> v(kSamples);
  uint32_t state = 2463534242u;
  for (int64_t i = 0; i < kSamples; ++i) {
    state = state * 1664525u + 1013904223u;
    v[i] = static_cast<float>(state >> 8) / 16777216.f * 24.f - 12.f;
  }
  const std::vector<float> in = v;
  std::vector<float> s = v;
  vector_path(op, v.data(), kSamples);
  scalar_path(op, s.data(), kSamples);
  int64_t k = 0;
  while (k < kSamples && std::memcmp(&v[k], &s[k], sizeof(float)) == 0) ++k;
  if (k == kSamples) return 0;
  std::vector<int64_t> tail(kMaxRun + 1, 0);
  for (int64_t L = 1; L <= kMaxRun; ++L) {
    at::Tensor t = at::full({L}, in[k], at::kFloat);
    apply_unary(op, t);
    const float* r = t.data_ptr<float>();
    int64_t n = 0;
    while (n < L && std::memcmp(&r[L - 1 - n], &s[k], sizeof(float)) == 0) ++n;
    for (int64_t i = 0; i < L - n; ++i)
      if (std::memcmp(&r[i], &v[k], sizeof(float)) != 0) return 0;
    tail[L] = n;
  }
  int64_t step = 0;
  for (int64_t L = 1; L <= kMaxRun && !step; ++L)
    if (tail[L] == 0) step = L;
  if (step == 0) return 0;
  for (int64_t L = 1; L <= kMaxRun; ++L)
    if (tail[L] != L % step) return 0;
  return step;
}

int64_t vector_step(Unary op) {
  static const int64_t sigmoid_step = calibrate_step(Unary::kSigmoid);
  static const int64_t softplus_step = calibrate_step(Unary::kSoftplus);
  return op == Unary::kSigmoid ? sigmoid_step : softplus_step;
}

}  // namespace

ScalarPositions scalar_path_positions(Unary op, int64_t numel) {
  // The library's parallel loop splits [0, numel) into at most one chunk per
  // thread of its team (any team size up to the thread count is allowed
  // for); every chunk ends with its scalar tail.
  constexpr int64_t kUnknownTail = 64;
  const int64_t step = vector_step(op);
  const int64_t threads = std::max<int64_t>(1, at::get_num_threads());
  const int64_t grain = at::internal::GRAIN_SIZE;
  std::vector<std::vector<int64_t>> per_team;
  for (int64_t t = 1; t <= threads; ++t) {
    const int64_t tasks = numel < grain ? 1 : std::min(t, (numel + grain - 1) / grain);
    const int64_t chunk = (numel + tasks - 1) / tasks;
    std::vector<int64_t> pos;
    for (int64_t c = 0; c < tasks && c * chunk < numel; ++c) {
      const int64_t c0 = c * chunk, c1 = std::min(numel, c0 + chunk), len = c1 - c0;
      const int64_t n = step ? len % step : std::min(len, kUnknownTail);
      for (int64_t i = c1 - n; i < c1; ++i) pos.push_back(i);
    }
    if (std::find(per_team.begin(), per_team.end(), pos) == per_team.end())
      per_team.push_back(std::move(pos));
  }
  ScalarPositions out;
  std::vector<int64_t> all;
  for (const auto& p : per_team) all.insert(all.end(), p.begin(), p.end());
  std::sort(all.begin(), all.end());
  all.erase(std::unique(all.begin(), all.end()), all.end());
  for (int64_t e : all) {
    bool everywhere = step != 0;
    for (const auto& p : per_team)
      everywhere = everywhere && std::binary_search(p.begin(), p.end(), e);
    (everywhere ? out.always : out.sometimes).push_back(e);
  }
  return out;
}

bool settle_scalar_path(Unary op, float* packed, std::vector<float> raw,
                        const std::vector<int64_t>& at, const std::vector<uint8_t>& always) {
  if (raw.empty()) return true;
  scalar_path(op, raw.data(), static_cast<int64_t>(raw.size()));
  for (size_t i = 0; i < at.size(); ++i) {
    float* p = packed + at[i];
    if (always[i])
      *p = raw[i];
    else if (std::memcmp(&raw[i], p, sizeof(float)) != 0 && !(std::isnan(raw[i]) && std::isnan(*p)))
      return false;
  }
  return true;
}

at::Tensor coarse_masks_reference(const at::Tensor& coarse, const at::Tensor& boxes, int64_t S,
                                  const std::function<at::Tensor(const at::Tensor&)>& gt) {
  at::Tensor m = at::upsample_bilinear2d(at::sigmoid(coarse).unsqueeze(0), {S, S}, false,
                                         c10::nullopt, c10::nullopt)
                     .select(0, 0);
  auto lopts = at::TensorOptions().dtype(at::kLong).device(boxes.device());
  at::Tensor ys = at::arange(S, lopts).view({1, S, 1});
  at::Tensor xs = at::arange(S, lopts).view({1, 1, S});
  auto col = [&](int64_t i) { return boxes.select(1, i).view({-1, 1, 1}); };
  at::Tensor inside = at::logical_and(at::logical_and(at::ge(xs, col(0)), at::le(xs, col(2))),
                                      at::logical_and(at::ge(ys, col(1)), at::le(ys, col(3))));
  return at::logical_and(gt(m), inside);
}

at::Tensor coarse_masks(at::Tensor coarse, const at::Tensor& boxes, int64_t S,
                        const at::Scalar& thres, bool consume) {
  HALCYRA_RECORD("coarse_masks");
  const int64_t n = coarse.size(0), hm = coarse.size(1), wm = coarse.size(2);
  // A single map is resized by the library's channels-last kernel (a
  // (1, 1, h, w) batch is contiguous in both layouts), whose evaluation order
  // differs: keep the tensor formulation there.
  const bool fused = fused_cpu(coarse) && fused_cpu(boxes) &&
                     coarse.scalar_type() == at::kFloat && boxes.scalar_type() == at::kFloat &&
                     boxes.dim() == 2 && boxes.size(0) == n && boxes.size(1) == 4 && n >= 2 &&
                     hm > 0 && wm > 0 && S > 0 && real_threshold(thres) && resize_fused(n, hm, wm, S);
  if (!fused)
    return coarse_masks_reference(coarse, boxes, S,
                                  [&](const at::Tensor& m) { return at::gt(m, thres); });
  // The probabilities are the library's sigmoid of the whole (n, hm, wm)
  // batch, exactly as the formulation computes them (in place when the
  // caller hands over its logits: one large buffer less).
  at::Tensor prob = consume && coarse.is_contiguous() ? coarse.sigmoid_()
                                                      : at::sigmoid(coarse.contiguous());
  at::Tensor bx = boxes.contiguous();
  at::Tensor out = at::empty({n, S, S}, coarse.options().dtype(at::kBool));
  const float thr = thres.toFloat();
  const int coord = arith().coord;
  if (arith().eval == kFma)
    coarse_kernel_fma(prob.data_ptr<float>(), n, hm, wm, bx.data_ptr<float>(), S, thr, coord,
                      out.data_ptr<bool>());
  else
    coarse_kernel<false>(prob.data_ptr<float>(), n, hm, wm, bx.data_ptr<float>(), S, thr, coord,
                         out.data_ptr<bool>());
  return out;
}

// Preconditions, checked here (false if not): contiguous CPU bool masks (n, S, W), f32 patch (h, w) inside plane k
bool paste_region(at::Tensor& masks, int64_t k, int64_t y1, int64_t x1, at::Tensor& patch,
                  const at::Scalar& thres) {
  HALCYRA_RECORD("paste_region");
  if (masks.dim() != 3 || !fused_cpu(masks) || !fused_cpu(patch) ||
      patch.scalar_type() != at::kFloat || patch.dim() != 2 || !patch.is_contiguous() ||
      !masks.is_contiguous() || masks.scalar_type() != at::kBool || !real_threshold(thres))
    return false;
  const int64_t S = masks.size(1), W = masks.size(2);
  const int64_t h = patch.size(0), w = patch.size(1);
  if (k < 0 || k >= masks.size(0) || y1 < 0 || x1 < 0 || h <= 0 || w <= 0 || y1 + h > S ||
      x1 + w > W)
    return false;
  at::sigmoid_(patch);
  const float thr = thres.toFloat();
  const float* p = patch.data_ptr<float>();
  bool* base = masks.data_ptr<bool>() + k * S * W + y1 * W + x1;
  for (int64_t i = 0; i < h; ++i) {
    bool* o = base + i * W;
    const float* q = p + i * w;
    for (int64_t j = 0; j < w; ++j) o[j] = q[j] > thr;
  }
  return true;
}

at::Tensor prototype_masks(const at::Tensor& coef, const at::Tensor& protos,
                           const at::Tensor& boxes, int64_t S, const at::Scalar& thres) {
  HALCYRA_RECORD("prototype_masks");
  if (coef.dim() != 2 || protos.dim() != 3) return at::Tensor();
  const int64_t n = coef.size(0), P = coef.size(1), hm = protos.size(1), wm = protos.size(2);
  const bool ok = fused_cpu(coef) && fused_cpu(protos) && fused_cpu(boxes) &&
                  coef.scalar_type() == at::kFloat && protos.scalar_type() == at::kFloat &&
                  boxes.scalar_type() == at::kFloat && protos.size(0) == P && boxes.dim() == 2 &&
                  boxes.size(0) == n && boxes.size(1) == 4 && n >= 2 && P > 0 && hm > 0 &&
                  wm > 0 && S > 0 && real_threshold(thres) && resize_fused(n, hm, wm, S) &&
                  !(at::GradMode::is_enabled() && (coef.requires_grad() || protos.requires_grad()));
  if (!ok) return at::Tensor();
  const int order = product_order();
  if (order == kProductOther) return at::Tensor();
  const bool skip_zeros = order == kProductSkipZeros;
  at::Tensor c = coef.contiguous(), p = protos.contiguous(), bx = boxes.contiguous();
  const float* cp = c.data_ptr<float>();
  const float* pp = p.data_ptr<float>();
  const float* bp = bx.data_ptr<float>();
  const Axis ay = linear_axis(hm, S, arith().coord), ax = linear_axis(wm, S, arith().coord);
  const int64_t hw = hm * wm;

  std::vector<Region> regions(static_cast<size_t>(n));
  int64_t total = 0;
  for (int64_t k = 0; k < n; ++k) {
    Region& g = regions[k];
    pixel_span(bp[k * 4], bp[k * 4 + 2], S, &g.c0, &g.c1);
    pixel_span(bp[k * 4 + 1], bp[k * 4 + 3], S, &g.r0, &g.r1);
    g.offset = total;
    if (g.r0 > g.r1 || g.c0 > g.c1) continue;
    g.s0 = ay.i0[g.r0];
    g.s1 = ay.i1[g.r1];
    g.u0 = ax.i0[g.c0];
    g.u1 = ax.i1[g.c1];
    total += (g.s1 - g.s0 + 1) * (g.u1 - g.u0 + 1);
  }
  // Packed logits, padded so that every sigmoid call below covers whole vectors.
  const int64_t padded = (total + 63) / 64 * 64;
  at::Tensor packed = at::zeros({std::max<int64_t>(padded, 64)}, at::kFloat);
  float* lp = packed.data_ptr<float>();
  at::parallel_for(0, n, 1, [&](int64_t begin, int64_t end) {
    for (int64_t k = begin; k < end; ++k) {
      const Region& g = regions[k];
      if (g.r0 > g.r1 || g.c0 > g.c1) continue;
      logits_block(cp + k * P, pp, P, hw, wm, g.s0, g.s1, g.u0, g.u1, skip_zeros, lp + g.offset);
    }
  });

  // Logits at positions where the library may have taken its scalar path.
  std::vector<float> scalar_in;
  std::vector<int64_t> scalar_at;
  std::vector<uint8_t> scalar_always;
  const ScalarPositions tails = scalar_path_positions(Unary::kSigmoid, n * hw);
  for (const auto* set : {&tails.always, &tails.sometimes})
    for (int64_t e : *set) {
      const int64_t k = e / hw, r = (e % hw) / wm, col = e % wm;
      const Region& g = regions[k];
      if (g.r0 > g.r1 || g.c0 > g.c1 || r < g.s0 || r > g.s1 || col < g.u0 || col > g.u1) continue;
      const int64_t at_ = g.offset + (r - g.s0) * (g.u1 - g.u0 + 1) + (col - g.u0);
      scalar_in.push_back(lp[at_]);
      scalar_at.push_back(at_);
      scalar_always.push_back(set == &tails.always);
    }
  vector_path(Unary::kSigmoid, lp, padded);
  if (!settle_scalar_path(Unary::kSigmoid, lp, std::move(scalar_in), scalar_at, scalar_always))
    return at::Tensor();  // the two paths disagree where it matters: not provable
  at::Tensor out = at::empty({n, S, S}, at::TensorOptions().dtype(at::kBool));
  const float thr = thres.toFloat();
  if (arith().eval == kFma)
    region_kernel_fma(lp, regions, ay, ax, S, thr, out.data_ptr<bool>());
  else
    region_kernel<false>(lp, regions, ay, ax, S, thr, out.data_ptr<bool>());
  return out;
}

at::Tensor coarse_product(const at::Tensor& coef, const at::Tensor& protos) {
  HALCYRA_RECORD("coarse_product");
  const bool shapes = coef.dim() == 2 && protos.dim() == 3 && coef.size(1) == protos.size(0);
  const int64_t P = protos.dim() == 3 ? protos.size(0) : 0;
  const bool ok = shapes && fused_cpu(coef) && fused_cpu(protos) &&
                  coef.scalar_type() == at::kFloat && protos.scalar_type() == at::kFloat &&
                  !(at::GradMode::is_enabled() && (coef.requires_grad() || protos.requires_grad()));
  const int order = ok ? product_order() : kProductOther;
  if (order == kProductOther) {
    at::Tensor flat = protos.reshape({P, -1});
    return at::matmul(coef, flat).reshape({coef.size(0), protos.size(1), protos.size(2)});
  }
  const int64_t n = coef.size(0), hm = protos.size(1), wm = protos.size(2), hw = hm * wm;
  at::Tensor c = coef.contiguous(), p = protos.contiguous();
  at::Tensor out = at::empty({n, hm, wm}, coef.options());
  if (out.numel() == 0) return out;
  const float* cp = c.data_ptr<float>();
  const float* pp = p.data_ptr<float>();
  float* op = out.data_ptr<float>();
  const bool skip = order == kProductSkipZeros;
  at::parallel_for(0, (hw + 1023) / 1024, 1, [&](int64_t b0, int64_t b1) {
    product_blocks(cp, pp, n, P, hw, b0, b1, skip, op);
  });
  return out;
}

at::Tensor coarse_blocks(const at::Tensor& coef, const at::Tensor& protos,
                         const std::vector<Block>& blocks) {
  HALCYRA_RECORD("coarse_blocks");
  // coef (n, P), protos (P, hm, wm) CPU float32 without gradient; one block per
  // detection within the grid
  const bool ok = coef.dim() == 2 && protos.dim() == 3 && coef.size(1) == protos.size(0) &&
                  fused_cpu(coef) && fused_cpu(protos) &&
                  coef.scalar_type() == at::kFloat && protos.scalar_type() == at::kFloat &&
                  static_cast<int64_t>(blocks.size()) == coef.size(0) &&
                  !(at::GradMode::is_enabled() && (coef.requires_grad() || protos.requires_grad()));
  if (!ok) return at::Tensor();
  const int order = product_order();
  if (order == kProductOther) return at::Tensor();
  const int64_t n = coef.size(0), P = coef.size(1), hm = protos.size(1), wm = protos.size(2),
                hw = hm * wm;
  for (const Block& b : blocks)
    TORCH_CHECK(b.r0 > b.r1 || (b.r0 >= 0 && b.r1 < hm && b.c0 >= 0 && b.c0 <= b.c1 && b.c1 < wm),
                "coarse_blocks: block outside the prototype grid");
  at::Tensor out = at::empty({n, hm, wm}, coef.options());
  if (out.numel() == 0) return out;
  at::Tensor c = coef.contiguous(), p = protos.contiguous();
  const float* cp = c.data_ptr<float>();
  const float* pp = p.data_ptr<float>();
  float* op = out.data_ptr<float>();
  const bool skip = order == kProductSkipZeros;
  at::parallel_for(0, n, 1, [&](int64_t k0, int64_t k1) {
    std::vector<float> row;
    for (int64_t k = k0; k < k1; ++k) {
      const Block& b = blocks[k];
      float* plane = op + k * hw;
      for (int64_t r = b.r0; r <= b.r1; ++r) {
        const int64_t w = b.c1 - b.c0 + 1;
        row.resize(static_cast<size_t>(w));
        logits_block(cp + k * P, pp, P, hw, wm, r, r, b.c0, b.c1, skip, row.data());
        std::memcpy(plane + r * wm + b.c0, row.data(), sizeof(float) * w);
      }
      if (b.r0 > b.r1 || b.r0 > 0 || b.c0 > 0) {
        float v;
        logits_block(cp + k * P, pp, P, hw, wm, 0, 0, 0, 0, skip, &v);
        plane[0] = v;
      }
    }
  });
  return out;
}

void clear_outside(at::Tensor& masks, const std::vector<std::array<int64_t, 4>>& regions) {
  HALCYRA_RECORD("clear_outside");
  // masks (n, H, W) bool CPU contiguous; one region per plane
  TORCH_CHECK(masks.dim() == 3 && masks.device().is_cpu() && masks.scalar_type() == at::kBool &&
                  masks.is_contiguous() && static_cast<int64_t>(regions.size()) == masks.size(0),
              "clear_outside: masks must be a contiguous (n, H, W) bool CPU tensor, one region each");
  const int64_t n = masks.size(0), H = masks.size(1), W = masks.size(2);
  bool* base = masks.data_ptr<bool>();
  at::parallel_for(0, n, 1, [&](int64_t k0, int64_t k1) {
    for (int64_t k = k0; k < k1; ++k) {
      bool* plane = base + k * H * W;
      const int64_t x1 = std::clamp<int64_t>(regions[k][0], 0, W);
      const int64_t y1 = std::clamp<int64_t>(regions[k][1], 0, H);
      const int64_t x2 = std::clamp<int64_t>(regions[k][2], x1, W);
      const int64_t y2 = std::clamp<int64_t>(regions[k][3], y1, H);
      if (x1 == x2) {
        std::memset(plane, 0, static_cast<size_t>(H * W));
        continue;
      }
      std::memset(plane, 0, static_cast<size_t>(y1 * W + x1));
      for (int64_t y = y1; y + 1 < y2; ++y)
        std::memset(plane + y * W + x2, 0, static_cast<size_t>(W - x2 + x1));
      const int64_t tail = y2 > y1 ? (y2 - 1) * W + x2 : y1 * W + x1;
      std::memset(plane + tail, 0, static_cast<size_t>(H * W - tail));
    }
  });
}

}  // namespace predict
}  // namespace halcyra
