#include "select.h"

#include <ATen/Parallel.h>
#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>

#include "../common/compat.h"
#include "predict.h"

namespace halcyra {
namespace predict {

namespace {

// ---- best class per anchor ---------------------------------------------------
//
// The library computes p = sigmoid(x) for every logit and takes the first
// maximum of each row. Only rows whose best probability can exceed the
// threshold matter, and in such a row only the logits close enough to the
// row's largest logit can hold the maximum probability. The bounds below
// rest on one property of the library's sigmoid, 1 / (1 + exp(-x)) in float:
// for x >= -87 (no overflow, no subnormal result) it is within a relative
// 2^-18 of the exact value (its exp is within an ulp or two, plus two
// roundings); below that it is under 1.2e-38.

constexpr double kRelErr = 0x1p-18;

// Rows whose largest logit is below this bound have no probability above
// `thr` (0 < thr < 1): p(x) <= s(x)(1 + e) <= s(max)(1 + e) < thr.
double logit_floor(float thr) {
  if (!(thr > 1e-20f)) return -std::numeric_limits<double>::infinity();
  const double t = static_cast<double>(thr) / (1.0 + kRelErr);
  const double lo = std::log(t) - std::log1p(-t);
  return lo - 1e-9 * (1.0 + std::fabs(lo));
}

// Logits below this bound cannot reach the probability of the row maximum
// mx: log s(mx) - log s(x) >= (mx - x)(1 - s(mx)), which exceeds
// 2^-15 > log((1 + e) / (1 - e)) beyond the window. Outside [-50, 80] every
// logit of the row takes part.
double contender_floor(float mx) {
  if (!(mx >= -50.f && mx <= 80.f)) return -std::numeric_limits<double>::infinity();
  return static_cast<double>(mx) - 0x1p-15 * (1.0 + static_cast<double>(std::exp(mx)));
}

// The smallest float not below t: (double)x >= t exactly when x >= above(t).
float float_above(double t) {
  if (std::isnan(t) || t > static_cast<double>(std::numeric_limits<float>::max()))
    return std::numeric_limits<float>::infinity();
  if (t < -static_cast<double>(std::numeric_limits<float>::max()))
    return t == -std::numeric_limits<double>::infinity() ? -std::numeric_limits<float>::infinity()
                                                         : -std::numeric_limits<float>::max();
  float f = static_cast<float>(t);
  if (static_cast<double>(f) < t) f = std::nextafterf(f, std::numeric_limits<float>::infinity());
  return f;
}

// The contending logits of the rows that may hold a candidate (no NaN, which
// would be the row's maximum, and a largest logit mx of at least lo): the
// logits x >= cut(mx) with their classes, in class order, row after row.
// Other rows are dismissed after one comparison per logit.
struct RowScan {
  std::vector<float> val;
  std::vector<int32_t> cls;
  std::vector<int64_t> row, start;  // contending rows and where their logits start
};

inline void scan_row_scalar(const float* x, int64_t n, int64_t r, float lo, RowScan& out) {
  bool any = false;
  for (int64_t i = 0; i < n && !any; ++i) any = !(x[i] < lo);
  if (!any) return;
  float mx = -std::numeric_limits<float>::infinity();
  for (int64_t i = 0; i < n; ++i) {
    if (std::isnan(x[i])) return;  // the row's probability is NaN: never a candidate
    mx = x[i] > mx ? x[i] : mx;
  }
  if (!(mx >= lo)) return;
  const float cut = float_above(contender_floor(mx));
  out.row.push_back(r);
  out.start.push_back(static_cast<int64_t>(out.val.size()));
  for (int64_t i = 0; i < n; ++i)
    if (x[i] >= cut) {
      out.val.push_back(x[i]);
      out.cls.push_back(static_cast<int32_t>(i));
    }
}

__attribute__((target("avx2"))) void scan_rows_avx2(const float* x, int64_t n, int64_t r0,
                                                    int64_t r1, float lo, RowScan& out) {
  const __m256 vlo = _mm256_set1_ps(lo);
  const int64_t n8 = n / 8 * 8;
  for (int64_t r = r0; r < r1; ++r) {
    const float* row = x + r * n;
    // !(x < lo): at least lo, or NaN
    __m256 h0 = _mm256_setzero_ps(), h1 = h0;
    int64_t i = 0;
    for (; i + 16 <= n8; i += 16) {
      h0 = _mm256_or_ps(h0, _mm256_cmp_ps(_mm256_loadu_ps(row + i), vlo, _CMP_NLT_UQ));
      h1 = _mm256_or_ps(h1, _mm256_cmp_ps(_mm256_loadu_ps(row + i + 8), vlo, _CMP_NLT_UQ));
    }
    if (i < n8) h0 = _mm256_or_ps(h0, _mm256_cmp_ps(_mm256_loadu_ps(row + i), vlo, _CMP_NLT_UQ));
    bool any = _mm256_movemask_ps(_mm256_or_ps(h0, h1)) != 0;
    for (int64_t j = n8; j < n && !any; ++j) any = !(row[j] < lo);
    if (!any) continue;
    // The row maximum; a NaN makes the row's probability NaN: never a candidate.
    __m256 mv = _mm256_set1_ps(-std::numeric_limits<float>::infinity());
    __m256 nan = _mm256_setzero_ps();
    for (int64_t j = 0; j < n8; j += 8) {
      const __m256 v = _mm256_loadu_ps(row + j);
      mv = _mm256_max_ps(mv, v);
      nan = _mm256_or_ps(nan, _mm256_cmp_ps(v, v, _CMP_UNORD_Q));
    }
    bool has_nan = _mm256_movemask_ps(nan) != 0;
    alignas(32) float lanes[8];
    _mm256_store_ps(lanes, mv);
    float mx = -std::numeric_limits<float>::infinity();
    for (float v : lanes) mx = v > mx ? v : mx;
    for (int64_t j = n8; j < n; ++j) {
      has_nan |= std::isnan(row[j]);
      mx = row[j] > mx ? row[j] : mx;
    }
    if (has_nan || !(mx >= lo)) continue;
    const float cut = float_above(contender_floor(mx));
    const __m256 vcut = _mm256_set1_ps(cut);
    out.row.push_back(r);
    out.start.push_back(static_cast<int64_t>(out.val.size()));
    for (int64_t j = 0; j < n8; j += 8) {
      unsigned bits = static_cast<unsigned>(
          _mm256_movemask_ps(_mm256_cmp_ps(_mm256_loadu_ps(row + j), vcut, _CMP_GE_OQ)));
      while (bits) {
        const int l = __builtin_ctz(bits);
        bits &= bits - 1;
        out.val.push_back(row[j + l]);
        out.cls.push_back(static_cast<int32_t>(j + l));
      }
    }
    for (int64_t j = n8; j < n; ++j)
      if (row[j] >= cut) {
        out.val.push_back(row[j]);
        out.cls.push_back(static_cast<int32_t>(j));
      }
  }
}

// Asks for the cache lines of a row of `len` floats read soon.
inline void prefetch_row(const float* p, int64_t len) {
  for (int64_t i = 0; i < len; i += 16) __builtin_prefetch(p + i);
  __builtin_prefetch(p + len - 1);
}



// ---- torchvision's nms ---------------------------------------------------------

// The largest float not above t: for every float f, (double)f > t exactly when
// f > below(t). NaN stays NaN (nothing is above it).
float float_below(double t) {
  if (std::isnan(t)) return std::numeric_limits<float>::quiet_NaN();
  if (t >= static_cast<double>(std::numeric_limits<float>::max()))
    return t == std::numeric_limits<double>::infinity() ? std::numeric_limits<float>::infinity()
                                                        : std::numeric_limits<float>::max();
  if (t < -static_cast<double>(std::numeric_limits<float>::max()))
    return -std::numeric_limits<float>::infinity();
  float f = static_cast<float>(t);
  if (static_cast<double>(f) > t) f = std::nextafter(f, -std::numeric_limits<float>::infinity());
  return f;
}

// Boxes in suppression groups, each group in the order the kernel visits
// its boxes (structure of arrays, groups one after the other).
struct Groups {
  std::vector<float> x1, y1, x2, y2, area;
  std::vector<int64_t> pos;    // position of each box among the image's candidates
  std::vector<int64_t> begin;  // group g spans [begin[g], begin[g + 1])
  void resize(size_t n) {
    x1.resize(n);
    y1.resize(n);
    x2.resize(n);
    y2.resize(n);
    area.resize(n);
    pos.resize(n);
  }
};

// IoU test of box i against box j as the CPU kernel computes it, operation
// for operation (std::max/std::min with their NaN behaviour, float roundings).
inline bool suppresses(float ix1, float iy1, float ix2, float iy2, float ia, float x1, float y1,
                       float x2, float y2, float a, float thr) {
  const float xx1 = std::max(ix1, x1);
  const float yy1 = std::max(iy1, y1);
  const float xx2 = std::min(ix2, x2);
  const float yy2 = std::min(iy2, y2);
  const float w = std::max(0.f, xx2 - xx1);
  const float h = std::max(0.f, yy2 - yy1);
  const float inter = w * h;
  const float ovr = inter / (ia + a - inter);
  return ovr > thr;
}

// Greedy suppression of the CPU kernel over boxes [b0, b1): walking them in
// order, every box not yet suppressed is kept and suppresses each later box
// whose IoU with it is above the threshold. Whether a later box was already
// suppressed changes nothing but the work, so every later box is tested.
void greedy_scalar(const Groups& g, int64_t b0, int64_t b1, float thr, int32_t* sup) {
  const float* x1 = g.x1.data();
  const float* y1 = g.y1.data();
  const float* x2 = g.x2.data();
  const float* y2 = g.y2.data();
  const float* ar = g.area.data();
  for (int64_t i = b0; i < b1; ++i) {
    if (sup[i]) continue;
    for (int64_t j = i + 1; j < b1; ++j)
      sup[j] |= suppresses(x1[i], y1[i], x2[i], y2[i], ar[i], x1[j], y1[j], x2[j], y2[j], ar[j], thr);
  }
}

// The same with eight boxes j at a time. maxps(b, a) is std::max(a, b) and
// minps(b, a) is std::min(a, b), NaN cases included (both return the second
// operand when either is NaN); the other operations are the same IEEE ones.
__attribute__((target("avx2"))) void greedy_avx2(const Groups& g, int64_t b0, int64_t b1,
                                                 float thr, int32_t* sup) {
  const float* x1 = g.x1.data();
  const float* y1 = g.y1.data();
  const float* x2 = g.x2.data();
  const float* y2 = g.y2.data();
  const float* ar = g.area.data();
  const __m256 zero = _mm256_setzero_ps(), vthr = _mm256_set1_ps(thr);
  for (int64_t i = b0; i < b1; ++i) {
    if (sup[i]) continue;
    const __m256 ix1 = _mm256_set1_ps(x1[i]), iy1 = _mm256_set1_ps(y1[i]);
    const __m256 ix2 = _mm256_set1_ps(x2[i]), iy2 = _mm256_set1_ps(y2[i]);
    const __m256 ia = _mm256_set1_ps(ar[i]);
    int64_t j = i + 1;
    for (; j + 8 <= b1; j += 8) {
      const __m256 xx1 = _mm256_max_ps(_mm256_loadu_ps(x1 + j), ix1);
      const __m256 yy1 = _mm256_max_ps(_mm256_loadu_ps(y1 + j), iy1);
      const __m256 xx2 = _mm256_min_ps(_mm256_loadu_ps(x2 + j), ix2);
      const __m256 yy2 = _mm256_min_ps(_mm256_loadu_ps(y2 + j), iy2);
      const __m256 w = _mm256_max_ps(_mm256_sub_ps(xx2, xx1), zero);
      const __m256 h = _mm256_max_ps(_mm256_sub_ps(yy2, yy1), zero);
      const __m256 inter = _mm256_mul_ps(w, h);
      const __m256 uni = _mm256_sub_ps(_mm256_add_ps(ia, _mm256_loadu_ps(ar + j)), inter);
      const __m256 ovr = _mm256_div_ps(inter, uni);
      const __m256i hit = _mm256_castps_si256(_mm256_cmp_ps(ovr, vthr, _CMP_GT_OQ));
      const __m256i old = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(sup + j));
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(sup + j),
                          _mm256_or_si256(old, _mm256_and_si256(hit, _mm256_set1_epi32(1))));
    }
    for (; j < b1; ++j)
      sup[j] |= suppresses(x1[i], y1[i], x2[i], y2[i], ar[i], x1[j], y1[j], x2[j], y2[j], ar[j], thr);
  }
}

void greedy(const Groups& g, int64_t b0, int64_t b1, float thr, int32_t* sup) {
  if (cpu_has_avx2())
    greedy_avx2(g, b0, b1, thr, sup);
  else
    greedy_scalar(g, b0, b1, thr, sup);
}

// Scores descending, ties in position order, NaN first: the kernel's stable
// sort. As an integer key: smaller keys come first, equal scores (0 and -0
// included) get equal keys.
inline uint32_t visit_key(float x) {
  if (std::isnan(x)) return 0;
  if (x == 0.f) x = 0.f;
  uint32_t u;
  std::memcpy(&u, &x, sizeof(u));
  // increasing in x for the order of floats, then reversed
  const uint32_t up = (u & 0x80000000u) ? ~u : (u | 0x80000000u);
  return 0xFFFFFFFFu - up + 1u;
}

std::vector<int64_t> visiting_order(const float* scores, int64_t m) {
  std::vector<uint64_t> v(static_cast<size_t>(m));
  for (int64_t i = 0; i < m; ++i) v[i] = (static_cast<uint64_t>(visit_key(scores[i])) << 32) | static_cast<uint64_t>(i);
  std::sort(v.begin(), v.end());
  std::vector<int64_t> order(static_cast<size_t>(m));
  for (int64_t i = 0; i < m; ++i) order[i] = static_cast<int64_t>(v[i] & 0xFFFFFFFFu);
  return order;
}

// Whether no box of one group can suppress a box of another: with a threshold
// >= 0 a pair whose x extents do not overlap has zero intersection and IoU 0
// (or NaN), never above it. Checked on finite boxes, with the group extents
// sorted by their left edge.
bool groups_apart(const Groups& g) {
  const size_t ng = g.begin.size() - 1;
  std::vector<std::pair<float, float>> ext(ng);
  for (size_t k = 0; k < ng; ++k) {
    float lo = std::numeric_limits<float>::infinity(), hi = -lo;
    for (int64_t i = g.begin[k]; i < g.begin[k + 1]; ++i) {
      if (!std::isfinite(g.x1[i]) || !std::isfinite(g.y1[i]) || !std::isfinite(g.x2[i]) ||
          !std::isfinite(g.y2[i]) || !std::isfinite(g.area[i]))
        return false;
      lo = std::min(lo, g.x1[i]);
      hi = std::max(hi, g.x2[i]);
    }
    ext[k] = {lo, hi};
  }
  std::sort(ext.begin(), ext.end());
  for (size_t k = 0; k + 1 < ng; ++k)
    if (!(ext[k].second <= ext[k + 1].first)) return false;
  return true;
}

}  // namespace

bool select_candidates(const at::Tensor& logits, float thr, std::vector<Candidates>* out) {
  HALCYRA_RECORD("select_candidates");
  // logits (B, A, nc): CPU float32 contiguous, nc >= 1
  TORCH_CHECK(logits.device().is_cpu() && logits.scalar_type() == at::kFloat &&
                  logits.dim() == 3 && logits.is_contiguous() && logits.size(2) >= 1,
              "select_candidates: logits must be a contiguous (B, A, nc) float32 CPU tensor");
  const int64_t B = logits.size(0), A = logits.size(1), C = logits.size(2), N = B * A;
  out->assign(static_cast<size_t>(B), Candidates());
  // No probability exceeds 1 or NaN.
  if (N == 0 || std::isnan(thr) || thr >= 1.f) return true;
  const float* x = logits.data_ptr<float>();
  const float lo = float_above(logit_floor(thr));
  const bool avx2 = cpu_has_avx2();

  // Pass 1, over fixed blocks of rows (so that the packing does not depend on
  // the thread count): the contending logits of every row that may hold a
  // candidate.
  const int64_t rows_per_block = std::max<int64_t>(1, 65536 / C);
  const int64_t blocks = (N + rows_per_block - 1) / rows_per_block;
  std::vector<RowScan> scan(static_cast<size_t>(blocks));
  at::parallel_for(0, blocks, 1, [&](int64_t k0, int64_t k1) {
    for (int64_t k = k0; k < k1; ++k) {
      const int64_t r0 = k * rows_per_block, r1 = std::min(N, r0 + rows_per_block);
      if (avx2) {
        scan_rows_avx2(x, C, r0, r1, lo, scan[k]);
      } else {
        for (int64_t r = r0; r < r1; ++r) scan_row_scalar(x + r * C, C, r, lo, scan[k]);
      }
    }
  });
  int64_t total = 0;
  for (const RowScan& sc : scan) total += static_cast<int64_t>(sc.val.size());
  if (total == 0) return true;
  const int64_t padded = (total + 63) / 64 * 64;
  std::vector<float> val(static_cast<size_t>(padded), 0.f);
  std::vector<int64_t> base(static_cast<size_t>(blocks));
  for (int64_t k = 0, o = 0; k < blocks; ++k) {
    base[k] = o;
    std::copy(scan[k].val.begin(), scan[k].val.end(), val.begin() + o);
    o += static_cast<int64_t>(scan[k].val.size());
  }

  // Their probabilities as the library's sigmoid of the whole tensor gives
  // them: the vector path, except at the few positions where it may have
  // taken its scalar path; there both must agree.
  std::vector<float> scalar_in;
  std::vector<int64_t> scalar_at;
  std::vector<uint8_t> scalar_always;
  const ScalarPositions tails = scalar_path_positions(Unary::kSigmoid, N * C);
  for (const auto* set : {&tails.always, &tails.sometimes})
    for (int64_t e : *set) {
      const int64_t r = e / C, i = e % C, k = r / rows_per_block;
      const RowScan& sc = scan[k];
      const auto it = std::lower_bound(sc.row.begin(), sc.row.end(), r);
      if (it == sc.row.end() || *it != r) continue;
      const size_t j = static_cast<size_t>(it - sc.row.begin());
      const int64_t o1 =
          j + 1 < sc.row.size() ? sc.start[j + 1] : static_cast<int64_t>(sc.val.size());
      for (int64_t o = sc.start[j]; o < o1; ++o)
        if (sc.cls[o] == i) {
          scalar_in.push_back(sc.val[o]);
          scalar_at.push_back(base[k] + o);
          scalar_always.push_back(set == &tails.always);
        }
    }
  vector_path(Unary::kSigmoid, val.data(), padded);
  if (!settle_scalar_path(Unary::kSigmoid, val.data(), std::move(scalar_in), scalar_at,
                          scalar_always))
    return false;

  // Pass 2: the first maximum of every contending row, and the strict test.
  for (int64_t k = 0; k < blocks; ++k) {
    const RowScan& sc = scan[k];
    const float* v = val.data() + base[k];
    for (size_t j = 0; j < sc.row.size(); ++j) {
      const int64_t o0 = sc.start[j];
      const int64_t o1 = j + 1 < sc.row.size() ? sc.start[j + 1] : static_cast<int64_t>(sc.val.size());
      float best = v[o0];
      int32_t best_cls = sc.cls[o0];
      for (int64_t o = o0 + 1; o < o1; ++o)
        if (!(v[o] <= best)) {
          best = v[o];
          best_cls = sc.cls[o];
        }
      if (best > thr) {
        Candidates& c = (*out)[sc.row[j] / A];
        c.anchor.push_back(sc.row[j] % A);
        c.score.push_back(best);
        c.cls.push_back(best_cls);
      }
    }
  }
  return true;
}

std::vector<int64_t> class_nms(const float* boxes, const float* scores, const int64_t* cls,
                               int64_t m, int64_t nc, double iou, bool per_class) {
  HALCYRA_RECORD("class_nms");
  // boxes (m, 4), scores (m,), cls (m,) in [0, nc): plain arrays of the caller
  TORCH_CHECK(nc <= (int64_t{1} << 31) && m < (int64_t{1} << 32), "class_nms: too many classes or boxes");
  for (int64_t p = 0; p < m; ++p)
    TORCH_CHECK(cls[p] >= 0 && cls[p] < nc, "class_nms: class index out of range");
  if (m == 0) return {};
  const float thr = float_below(iou);

  // Each class's boxes in visiting order: sorted by class, then by the
  // kernel's stable order (key, then position).
  std::vector<std::pair<uint64_t, int64_t>> keys(static_cast<size_t>(m));
  for (int64_t p = 0; p < m; ++p)
    keys[p] = {(static_cast<uint64_t>(cls[p]) << 32) | visit_key(scores[p]), p};
  std::sort(keys.begin(), keys.end());
  Groups g;
  g.resize(static_cast<size_t>(m));
  for (int64_t i = 0; i < m; ++i) {
    g.pos[i] = keys[i].second;
    if (i == 0 || (keys[i].first >> 32) != (keys[i - 1].first >> 32)) g.begin.push_back(i);
  }
  g.begin.push_back(m);
  const size_t ng = g.begin.size() - 1;

  // torchvision's coordinates: per class, the boxes as they are; for the
  // coordinate trick, every box shifted by class * (max coordinate + 1), the
  // maximum propagating NaN.
  float step = 0.f;
  if (!per_class) {
    float mx = boxes[0];
    for (int64_t i = 0; i < m * 4; ++i) {
      const float v = boxes[i];
      if (std::isnan(v)) {
        mx = v;
        break;
      }
      mx = v > mx ? v : mx;
    }
    step = mx + 1.f;
  }
  for (int64_t i = 0; i < m; ++i) {
    const int64_t p = g.pos[i];
    const float* b = boxes + p * 4;
    float x1 = b[0], y1 = b[1], x2 = b[2], y2 = b[3];
    if (!per_class) {
      const float off = static_cast<float>(cls[p]) * step;
      x1 = x1 + off;
      y1 = y1 + off;
      x2 = x2 + off;
      y2 = y2 + off;
    }
    g.x1[i] = x1;
    g.y1[i] = y1;
    g.x2[i] = x2;
    g.y2[i] = y2;
    g.area[i] = (x2 - x1) * (y2 - y1);
  }

  std::vector<int32_t> sup(static_cast<size_t>(m), 0);
  std::vector<int64_t> keep;
  if (per_class || (thr >= 0.f && groups_apart(g))) {
    // Classes never suppress each other: each class on its own.
    for (size_t k = 0; k < ng; ++k) greedy(g, g.begin[k], g.begin[k + 1], thr, sup.data());
    std::vector<uint8_t> kept(static_cast<size_t>(m), 0);
    for (int64_t i = 0; i < m; ++i) kept[g.pos[i]] = !sup[i];
    if (per_class) {
      for (int64_t p = 0; p < m; ++p)
        if (kept[p]) keep.push_back(p);
    } else {
      for (int64_t p : visiting_order(scores, m))
        if (kept[p]) keep.push_back(p);
    }
    return keep;
  }
  // One nms over all boxes in visiting order.
  std::vector<int64_t> slot(static_cast<size_t>(m));
  for (int64_t i = 0; i < m; ++i) slot[g.pos[i]] = i;
  Groups all;
  all.resize(static_cast<size_t>(m));
  all.begin = {0, m};
  const std::vector<int64_t> order = visiting_order(scores, m);
  for (int64_t i = 0; i < m; ++i) {
    const int64_t s = slot[order[i]];
    all.pos[i] = order[i];
    all.x1[i] = g.x1[s];
    all.y1[i] = g.y1[s];
    all.x2[i] = g.x2[s];
    all.y2[i] = g.y2[s];
    all.area[i] = g.area[s];
  }
  greedy(all, 0, m, thr, sup.data());
  for (int64_t i = 0; i < m; ++i)
    if (!sup[i]) keep.push_back(all.pos[i]);
  return keep;
}

std::vector<int64_t> order_by_score(const std::vector<int64_t>& keep, const float* scores,
                                   int64_t limit) {
  // keep: positions into the caller's scores array; fewer than 2^32 of them
  const int64_t n = static_cast<int64_t>(keep.size());
  TORCH_CHECK(n < (int64_t{1} << 32), "order_by_score: too many boxes");
  limit = std::max<int64_t>(0, std::min(limit, n));
  // The first limit + 1 places of the stable order (one more to see a tie
  // across the cut).
  std::vector<uint64_t> v(static_cast<size_t>(n));
  for (int64_t i = 0; i < n; ++i)
    v[i] = (static_cast<uint64_t>(visit_key(scores[keep[i]])) << 32) | static_cast<uint64_t>(i);
  const int64_t need = std::min(n, limit + 1);
  if (need < n) std::nth_element(v.begin(), v.begin() + need, v.end());
  std::sort(v.begin(), v.begin() + need);
  // Every sort agrees on the first `limit` places unless a tie reaches them.
  bool ties = false;
  for (int64_t i = 0; i < limit && i + 1 < need && !ties; ++i) ties = (v[i] >> 32) == (v[i + 1] >> 32);
  std::vector<int64_t> out(static_cast<size_t>(limit));
  if (ties) {
    std::vector<float> vals(static_cast<size_t>(n));
    for (int64_t i = 0; i < n; ++i) vals[i] = scores[keep[i]];
    at::Tensor t = at::from_blob(vals.data(), {n}, at::kFloat);
    at::Tensor idx = std::get<1>(t.sort(/*dim=*/0, /*descending=*/true)).contiguous();
    const int64_t* ip = idx.data_ptr<int64_t>();
    for (int64_t i = 0; i < limit; ++i) out[i] = keep[ip[i]];
  } else {
    for (int64_t i = 0; i < limit; ++i) out[i] = keep[v[i] & 0xFFFFFFFFu];
  }
  return out;
}

bool candidate_boxes(const at::Tensor& raw, const at::Tensor& points, const at::Tensor& strides,
                     float offset, bool apply_max, const std::vector<Candidates>& cands,
                     std::vector<std::vector<float>>* out) {
  HALCYRA_RECORD("candidate_boxes");
  // raw (B, A, 4) CPU float32 contiguous, points (A, 2), strides (A,) CPU float32; anchors < A
  const int64_t B = raw.size(0), A = raw.size(1);
  TORCH_CHECK(raw.dim() == 3 && raw.size(2) == 4 && raw.is_contiguous() &&
                  static_cast<int64_t>(cands.size()) == B && points.dim() == 2 &&
                  points.size(0) == A && points.size(1) == 2 && strides.dim() == 1 &&
                  strides.size(0) == A,
              "candidate_boxes: inconsistent shapes");
  std::vector<int64_t> first(static_cast<size_t>(B) + 1, 0);
  for (int64_t b = 0; b < B; ++b) {
    for (int64_t a : cands[b].anchor)
      TORCH_CHECK(a >= 0 && a < A, "candidate_boxes: anchor index out of range");
    first[b + 1] = first[b] + static_cast<int64_t>(cands[b].anchor.size());
  }
  const int64_t total = first[B] * 4, padded = (total + 63) / 64 * 64;
  std::vector<float> sp(static_cast<size_t>(padded), 0.f);
  const float* rp = raw.data_ptr<float>();
  at::parallel_for(0, B, 1, [&](int64_t b0, int64_t b1) {
    for (int64_t b = b0; b < b1; ++b)
      for (size_t k = 0; k < cands[b].anchor.size(); ++k)
        std::memcpy(&sp[(first[b] + k) * 4], rp + (b * A + cands[b].anchor[k]) * 4,
                    4 * sizeof(float));
  });

  // softplus as the library computes it over the whole (B, A, 4) tensor.
  std::vector<float> scalar_in;
  std::vector<int64_t> scalar_at;
  std::vector<uint8_t> scalar_always;
  std::vector<std::vector<std::pair<int64_t, int64_t>>> sorted(static_cast<size_t>(B));
  const ScalarPositions tails = scalar_path_positions(Unary::kSoftplus, B * A * 4);
  for (const auto* set : {&tails.always, &tails.sometimes})
    for (int64_t e : *set) {
      const int64_t b = e / (A * 4), a = (e / 4) % A;
      auto& s = sorted[b];
      if (s.empty() && !cands[b].anchor.empty()) {
        for (size_t k = 0; k < cands[b].anchor.size(); ++k)
          s.emplace_back(cands[b].anchor[k], static_cast<int64_t>(k));
        std::sort(s.begin(), s.end());
      }
      const auto it = std::lower_bound(s.begin(), s.end(), std::make_pair(a, int64_t{-1}));
      if (it == s.end() || it->first != a) continue;
      const int64_t at_ = (first[b] + it->second) * 4 + e % 4;
      scalar_in.push_back(sp[at_]);
      scalar_at.push_back(at_);
      scalar_always.push_back(set == &tails.always);
    }
  vector_path(Unary::kSoftplus, sp.data(), padded);
  if (!settle_scalar_path(Unary::kSoftplus, sp.data(), std::move(scalar_in), scalar_at,
                          scalar_always))
    return false;

  // The rest of decode_boxes, operation for operation.
  at::Tensor pc = points.contiguous(), sc = strides.contiguous();
  const float* pp = pc.data_ptr<float>();
  const float* st = sc.data_ptr<float>();
  out->assign(static_cast<size_t>(B), {});
  at::parallel_for(0, B, 1, [&](int64_t b0, int64_t b1) {
    for (int64_t b = b0; b < b1; ++b) {
      std::vector<float>& o = (*out)[b];
      o.resize(cands[b].anchor.size() * 4);
      for (size_t k = 0; k < cands[b].anchor.size(); ++k) {
        const int64_t a = cands[b].anchor[k];
        const float* d = &sp[(first[b] + k) * 4];
        const float s = st[a], px = pp[a * 2], py = pp[a * 2 + 1];
        const float x1 = px - (d[0] - offset) * s, y1 = py - (d[1] - offset) * s;
        float x2 = px + (d[2] - offset) * s, y2 = py + (d[3] - offset) * s;
        if (apply_max) {
          // maximum() propagates NaN from either side
          x2 = (std::isnan(x2) || std::isnan(x1)) ? NAN : std::max(x2, x1);
          y2 = (std::isnan(y2) || std::isnan(y1)) ? NAN : std::max(y2, y1);
        }
        o[k * 4] = x1;
        o[k * 4 + 1] = y1;
        o[k * 4 + 2] = x2;
        o[k * 4 + 3] = y2;
      }
    }
  });
  return true;
}

namespace {

// Every row of `images` flattened: the raw row it reads, its anchor, where
// its result goes (row k of image i at outs[i] + k * width).
struct FlatRows {
  std::vector<const float*> src;
  std::vector<int64_t> anchor;
  std::vector<float*> dst;
};

FlatRows flat_rows(const at::Tensor& raw, const std::vector<ImageRows>& images,
                   std::vector<at::Tensor>& outs, int64_t width) {
  FlatRows f;
  const float* base = raw.data_ptr<float>();
  for (size_t i = 0; i < images.size(); ++i) {
    float* o = outs[i].data_ptr<float>();
    for (int64_t k = 0; k < images[i].n; ++k) {
      const int64_t a = images[i].idx[k];
      f.src.push_back(base + images[i].b * raw.stride(0) + a * raw.stride(1));
      f.anchor.push_back(a);
      f.dst.push_back(o + k * width);
    }
  }
  return f;
}

void check_rows(const at::Tensor& raw, const std::vector<ImageRows>& images, int64_t width,
                int64_t anchors, const char* name) {
  TORCH_CHECK(raw.dim() == 3 && raw.size(2) == width, name, ": inconsistent shapes");
  for (const ImageRows& im : images) {
    TORCH_CHECK(im.b >= 0 && im.b < raw.size(0), name, ": inconsistent shapes");
    for (int64_t k = 0; k < im.n; ++k)
      if (im.idx[k] < 0 || im.idx[k] >= anchors)
        throw c10::IndexError(std::string(name) + ": anchor index out of range", nullptr);
  }
}

}  // namespace

std::vector<at::Tensor> gather_keypoints(const at::Tensor& raw,
                                         const std::vector<ImageRows>& images,
                                         const at::Tensor& points, const at::Tensor& strides,
                                         int64_t K) {
  HALCYRA_RECORD("gather_keypoints");
  // raw (B', A', 3K), points (A', 2), strides (A',) CPU float32; b < B'; idx in [0, A')
  TORCH_CHECK(raw.dim() == 3 && points.dim() == 2 && points.size(1) == 2 &&
                  strides.dim() == 1 && points.size(0) == strides.size(0),
              "gather_keypoints: inconsistent shapes");
  check_rows(raw, images, 3 * K, std::min(raw.size(1), points.size(0)), "gather_keypoints");
  at::Tensor p = points.contiguous(), s = strides.contiguous();
  std::vector<at::Tensor> outs;
  for (const ImageRows& im : images) outs.push_back(at::empty({im.n, K, 3}, raw.options()));
  const FlatRows f = flat_rows(raw, images, outs, 3 * K);
  const int64_t n = static_cast<int64_t>(f.src.size()), s1 = raw.stride(2);
  // The gathered raw rows (n, 3K) as the formulation holds them.
  at::Tensor r = at::empty({n, 3 * K}, raw.options());
  float* rp = r.data_ptr<float>();
  const float* pp = p.data_ptr<float>();
  const float* sp = s.data_ptr<float>();
  at::parallel_for(0, n, 64, [&](int64_t k0, int64_t k1) {
    for (int64_t k = k0; k < k1; ++k) {
      if (k + 8 < k1) prefetch_row(f.src[k + 8], 3 * K * s1);
      for (int64_t c = 0; c < 3 * K; ++c) rp[k * 3 * K + c] = f.src[k][c * s1];
      const int64_t a = f.anchor[k];
      const float st = sp[a], px = pp[a * 2], py = pp[a * 2 + 1];
      for (int64_t j = 0; j < K; ++j) {
        const float* q = rp + k * 3 * K + j * 3;
        float* o = f.dst[k] + j * 3;
        o[0] = q[0] * st + px;
        o[1] = q[1] * st + py;
      }
    }
  });
  // The visibility through the library's sigmoid of the same strided view
  // (elementwise: the same values for one image's rows or all images').
  at::Tensor vis = at::sigmoid(r.view({n, K, 3}).slice(2, 2, 3)).contiguous();
  const float* vp = vis.data_ptr<float>();
  for (int64_t k = 0; k < n; ++k)
    for (int64_t j = 0; j < K; ++j) f.dst[k][j * 3 + 2] = vp[k * K + j];
  return outs;
}

std::vector<at::Tensor> gather_points(const at::Tensor& raw, const std::vector<ImageRows>& images,
                                      const at::Tensor& points, const at::Tensor& strides,
                                      int64_t N) {
  HALCYRA_RECORD("gather_points");
  // raw (B', A, 2N), points (A, 2), strides (A,) CPU float32; b < B'; idx in [0, A)
  const int64_t A = raw.dim() == 3 ? raw.size(1) : 0;
  TORCH_CHECK(raw.dim() == 3 && points.dim() == 2 && points.size(1) == 2 &&
                  points.size(0) == A && strides.dim() == 1 && strides.size(0) == A,
              "gather_points: inconsistent shapes");
  check_rows(raw, images, 2 * N, A, "gather_points");
  at::Tensor p = points.contiguous(), s = strides.contiguous();
  std::vector<at::Tensor> outs;
  for (const ImageRows& im : images) outs.push_back(at::empty({im.n, N, 2}, raw.options()));
  const FlatRows f = flat_rows(raw, images, outs, 2 * N);
  const int64_t n = static_cast<int64_t>(f.src.size()), s1 = raw.stride(2);
  const float* pp = p.data_ptr<float>();
  const float* sp = s.data_ptr<float>();
  at::parallel_for(0, n, 64, [&](int64_t k0, int64_t k1) {
    for (int64_t k = k0; k < k1; ++k) {
      if (k + 8 < k1) prefetch_row(f.src[k + 8], 2 * N * s1);
      const int64_t a = f.anchor[k];
      const float st = sp[a], px = pp[a * 2], py = pp[a * 2 + 1];
      const float* q = f.src[k];
      float* o = f.dst[k];
      for (int64_t j = 0; j < N; ++j) {
        o[2 * j] = q[2 * j * s1] * st + px;
        o[2 * j + 1] = q[(2 * j + 1) * s1] * st + py;
      }
    }
  });
  return outs;
}

}  // namespace predict
}  // namespace halcyra
