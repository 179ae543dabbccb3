#include "assigner.h"

#include <ATen/Parallel.h>
#include "../common/compat.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>
#include <vector>

namespace halcyra {
namespace assigner {

namespace {

constexpr double kEps = 1e-9;

// Keeps, for every anchor claimed by one or more ground truths in `cand`
// (B, G, A), only the claimant with the largest IoU (lowest slot on ties).
at::Tensor resolve(const at::Tensor& cand, const at::Tensor& iou) {
  const int64_t G = cand.size(1);
  at::Tensor best = at::where(cand, iou, at::scalar_tensor(-1.0, iou.options()))
                        .argmax(1, /*keepdim=*/true);  // (B, 1, A)
  at::Tensor gidx = at::arange(G, best.options()).view({1, G, 1});
  return gidx.eq(best) & cand.any(1, /*keepdim=*/true);
}


// x ** e as the tensor library computes a tensor-scalar power: the common
// exponents take their exact shortcuts.
inline float powf_like(float x, double e) {
  if (e == 0.5) return std::sqrt(x);
  if (e == 1.0) return x;
  if (e == 2.0) return x * x;
  if (e == 3.0) return x * x * x;
  if (e == 0.0) return 1.0f;
  return std::pow(x, static_cast<float>(e));
}

struct Claim {
  int64_t g;
  float iou, metric;
};

// The same algorithm as the tensor formulation below, one image per task and
// without (B, G, A) temporaries: only anchors inside a box are scored, top-k
// ties go to the lower anchor index.
// Preconditions: contiguous CPU sc (B,A,nc) pb (B,A,4) pts (A,2) gb (B,G,4); cls_idx in [0,nc), masks (B,G); strides A
void assign_cpu(const at::Tensor& sc, const at::Tensor& pb, const at::Tensor& pts,
                const at::Tensor& gb, const at::Tensor& cls_idx, const at::Tensor& pos_gt,
                const at::Tensor& ign_gt, const at::Tensor& strides, const Options& opt,
                Result& out) {
  HALCYRA_RECORD("assign_kernel");
  const int64_t B = sc.size(0), A = sc.size(1), nc = sc.size(2), G = gb.size(1);
  TORCH_CHECK(pb.sizes() == at::IntArrayRef({B, A, 4}) && pts.sizes() == at::IntArrayRef({A, 2}) &&
                  gb.size(0) == B && cls_idx.sizes() == at::IntArrayRef({B, G}) &&
                  pos_gt.sizes() == cls_idx.sizes() && ign_gt.sizes() == cls_idx.sizes() &&
                  (!strides.defined() || strides.numel() == A) && sc.is_contiguous() &&
                  pb.is_contiguous() && pts.is_contiguous() && gb.is_contiguous() &&
                  cls_idx.is_contiguous() && pos_gt.is_contiguous() && ign_gt.is_contiguous(),
              "assign(): inconsistent arguments reached the CPU kernel");
  const float* S = sc.data_ptr<float>();
  const float* P = pb.data_ptr<float>();
  const float* X = pts.data_ptr<float>();
  const float* GB = gb.data_ptr<float>();
  const int64_t* C = cls_idx.data_ptr<int64_t>();
  const bool* U = pos_gt.data_ptr<bool>();
  const bool* I = ign_gt.data_ptr<bool>();
  bool* fg = out.fg_mask.data_ptr<bool>();
  int64_t* matched = out.matched_gt.data_ptr<int64_t>();
  float* tb = out.target_boxes.data_ptr<float>();
  float* ts = out.target_scores.data_ptr<float>();
  bool* ign = out.ignore_mask.data_ptr<bool>();
  const float eps = static_cast<float>(kEps);
  const int64_t k = std::max<int64_t>(0, std::min<int64_t>(opt.topk, A));

  // Anchors of the finest level (rescue candidates).
  std::vector<char> finest(A, 1);
  if (opt.rescue && strides.defined()) {
    at::Tensor st = strides.to(at::kFloat).contiguous();
    const float* sp = st.data_ptr<float>();
    float mn = std::numeric_limits<float>::infinity();
    for (int64_t a = 0; a < A; ++a) mn = std::min(mn, sp[a]);
    for (int64_t a = 0; a < A; ++a) finest[a] = sp[a] == mn;
  }

  auto inside = [&](const float* g, int64_t a) {
    const float px = X[a * 2], py = X[a * 2 + 1];
    return (px - g[0]) > eps && (py - g[1]) > eps && (g[2] - px) > eps && (g[3] - py) > eps;
  };
  auto iou_of = [&](const float* g, const float* q) {
    const float iw = std::max(std::min(g[2], q[2]) - std::max(g[0], q[0]), 0.0f);
    const float ih = std::max(std::min(g[3], q[3]) - std::max(g[1], q[1]), 0.0f);
    const float inter = iw * ih;
    const float ag = std::max(g[2] - g[0], 0.0f) * std::max(g[3] - g[1], 0.0f);
    const float ap = std::max(q[2] - q[0], 0.0f) * std::max(q[3] - q[1], 0.0f);
    return inter / (ag + ap - inter + eps);
  };

  at::parallel_for(0, B, 1, [&](int64_t b0, int64_t b1) {
    std::vector<std::pair<float, int64_t>> ranked;
    std::vector<Claim> best(A);
    std::vector<Claim> rescued(A);
    std::vector<float> m_max(G), i_max(G);
    for (int64_t b = b0; b < b1; ++b) {
      const float* Sb = S + b * A * nc;
      const float* Pb = P + b * A * 4;
      const float* Gb = GB + b * G * 4;
      for (auto& c : best) c = {-1, -1.0f, 0.0f};
      // top-k in-box candidates per usable gt, each anchor kept for the
      // claimant of largest IoU (lowest slot on ties)
      for (int64_t g = 0; g < G; ++g) {
        if (!U[b * G + g] || k == 0) continue;
        const float* gg = Gb + g * 4;
        const int64_t c = C[b * G + g];
        ranked.clear();
        for (int64_t a = 0; a < A; ++a) {
          if (!inside(gg, a)) continue;
          const float iou = iou_of(gg, Pb + a * 4);
          const float m = powf_like(Sb[a * nc + c], opt.alpha) * powf_like(iou, opt.beta);
          // NaN ranks first, as in a top-k; the ordering below must stay strict
          ranked.emplace_back(std::isnan(m) ? std::numeric_limits<float>::infinity() : m, a);
        }
        const int64_t n = std::min<int64_t>(k, ranked.size());
        auto cmp = [](const std::pair<float, int64_t>& l, const std::pair<float, int64_t>& r) {
          return l.first > r.first || (l.first == r.first && l.second < r.second);
        };
        std::partial_sort(ranked.begin(), ranked.begin() + n, ranked.end(), cmp);
        for (int64_t i = 0; i < n; ++i) {
          const int64_t a = ranked[i].second;
          const float iou = iou_of(gg, Pb + a * 4);
          const float m = powf_like(Sb[a * nc + c], opt.alpha) * powf_like(iou, opt.beta);
          if (best[a].g < 0 || iou > best[a].iou) best[a] = {g, iou, m};
        }
      }
      if (opt.rescue) {
        std::vector<char> has_pos(G, 0);
        for (int64_t a = 0; a < A; ++a)
          if (best[a].g >= 0) has_pos[best[a].g] = 1;
        for (auto& c : rescued) c = {-1, -1.0f, 0.0f};
        for (int64_t g = 0; g < G; ++g) {
          if (!U[b * G + g] || has_pos[g]) continue;
          const float* gg = Gb + g * 4;
          const float cx = (gg[0] + gg[2]) * 0.5f, cy = (gg[1] + gg[3]) * 0.5f;
          int64_t near = -1;
          float dmin = std::numeric_limits<float>::infinity();
          for (int64_t a = 0; a < A; ++a) {
            if (!finest[a]) continue;
            const float dx = X[a * 2] - cx, dy = X[a * 2 + 1] - cy;
            const float d2 = dx * dx + dy * dy;
            if (near < 0 || d2 < dmin) {  // first of the nearest, as argmin
              dmin = d2;
              near = a;
            }
          }
          if (near < 0 || best[near].g >= 0) continue;
          const float iou = iou_of(gg, Pb + near * 4);
          const float metric =
              powf_like(Sb[near * nc + C[b * G + g]], opt.alpha) * powf_like(iou, opt.beta);
          if (rescued[near].g < 0 || iou > rescued[near].iou) rescued[near] = {g, iou, metric};
        }
        for (int64_t a = 0; a < A; ++a)
          if (rescued[a].g >= 0) best[a] = rescued[a];
      }
      // normalised soft targets
      std::fill(m_max.begin(), m_max.end(), 0.0f);
      std::fill(i_max.begin(), i_max.end(), 0.0f);
      for (int64_t a = 0; a < A; ++a) {
        const Claim& c = best[a];
        if (c.g < 0) continue;
        m_max[c.g] = std::max(m_max[c.g], c.metric);
        i_max[c.g] = std::max(i_max[c.g], c.iou);
      }
      for (int64_t a = 0; a < A; ++a) {
        const Claim& c = best[a];
        const int64_t ba = b * A + a;
        const int64_t g = c.g < 0 ? 0 : c.g;
        fg[ba] = c.g >= 0;
        matched[ba] = g;
        for (int j = 0; j < 4; ++j) tb[ba * 4 + j] = Gb[g * 4 + j];
        if (c.g >= 0) {
          float v = c.metric * i_max[g] / (m_max[g] + eps);
          if (opt.target_floor > 0) v = std::max(v, static_cast<float>(opt.target_floor));
          ts[ba * nc + C[b * G + g]] = v;
        }
      }
      // ignore regions
      for (int64_t g = 0; g < G; ++g) {
        if (!I[b * G + g]) continue;
        const float* gg = Gb + g * 4;
        for (int64_t a = 0; a < A; ++a)
          if (!fg[b * A + a] && inside(gg, a)) ign[b * A + a] = true;
      }
    }
  });
}

}  // namespace

void check_sizes(const at::Tensor& scores, const at::Tensor& pred_boxes,
                 const at::Tensor& points, const at::Tensor& gt_boxes,
                 const at::Tensor& strides) {
  // Preconditions: scores (B,A,nc), pred_boxes (B,A,4), points (A,2), gt_boxes (B,G,4), strides A; slots expand to (B,G)
  TORCH_CHECK(scores.dim() == 3, "assign(): scores must be (B, A, nc), got ", scores.sym_sizes());
  const c10::SymInt B = scores.sym_size(0), A = scores.sym_size(1);
  TORCH_CHECK(gt_boxes.dim() == 3 && gt_boxes.sym_size(2) == 4,
              "assign(): gt_boxes must be (B, G, 4), got ", gt_boxes.sym_sizes());
  TORCH_CHECK(gt_boxes.sym_size(0) == B, "assign(): gt_boxes must be (B, G, 4) with B = ", B,
              " images as in scores, got ", gt_boxes.sym_sizes());
  TORCH_CHECK(pred_boxes.dim() == 3 && pred_boxes.sym_size(0) == B &&
                  pred_boxes.sym_size(1) == A && pred_boxes.sym_size(2) == 4,
              "assign(): pred_boxes must be (B, A, 4) = (", B, ", ", A, ", 4) as scores, got ",
              pred_boxes.sym_sizes());
  TORCH_CHECK(points.dim() == 2 && points.sym_size(0) == A && points.sym_size(1) == 2,
              "assign(): points must be (A, 2) = (", A, ", 2) as scores, got ",
              points.sym_sizes());
  TORCH_CHECK(!strides.defined() || strides.sym_numel() == A, "assign(): strides must have A = ",
              A, " entries (one per anchor), got ", strides.sym_sizes());
}

Result assign(const at::Tensor& scores, const at::Tensor& pred_boxes,
              const at::Tensor& points, const at::Tensor& gt_boxes,
              const at::Tensor& gt_cls, const at::Tensor& gt_valid,
              const at::Tensor& gt_ignore, const at::Tensor& strides,
              const Options& opt) {
  at::NoGradGuard no_grad;
  check_sizes(scores, pred_boxes, points, gt_boxes, strides);
  const int64_t B = scores.size(0), A = scores.size(1), nc = scores.size(2);
  const int64_t G = gt_boxes.size(1);
  at::Tensor sc = scores.detach().to(at::kFloat);
  at::Tensor pb = pred_boxes.detach().to(at::kFloat);
  at::Tensor pts = points.detach().to(at::kFloat);
  at::Tensor gb = gt_boxes.detach().to(at::kFloat);
  auto f32 = sc.options();
  auto i64 = f32.dtype(at::kLong);

  at::Tensor valid = gt_valid.to(at::kBool).expand({B, G});
  at::Tensor ign = gt_ignore.defined() ? gt_ignore.to(at::kBool).expand({B, G})
                                       : at::zeros({B, G}, valid.options());
  at::Tensor pos_gt = valid & ign.logical_not();  // slots that may take positives
  at::Tensor ign_gt = valid & ign;                // ignore regions

  if (G == 0 || A == 0) {
    return {at::zeros({B, A}, f32.dtype(at::kBool)), at::zeros({B, A}, i64),
            at::zeros({B, A, 4}, f32), at::zeros({B, A, nc}, f32),
            at::zeros({B, A}, f32.dtype(at::kBool))};
  }

  at::Tensor cls_idx = at::where(pos_gt, gt_cls.to(at::kLong).expand({B, G}),
                                 at::zeros({}, i64));
  if (nc > 0 && cls_idx.numel() > 0) {
    // Checked up front (both bounds in one transfer): an out-of-range class
    // must not reach a gather kernel.
    const at::Tensor mm = host_read(at::stack({cls_idx.min(), cls_idx.max()}));
    const int64_t lo = mm.data_ptr<int64_t>()[0], hi = mm.data_ptr<int64_t>()[1];
    TORCH_CHECK_INDEX(lo >= 0 && hi < nc, "assign(): class index ", lo < 0 ? lo : hi,
                      " is out of bounds for ", nc, " classes");
  }
  const bool cpu = !opt.dense && fused_cpu(sc) && fused_cpu(pb) && fused_cpu(pts) &&
                   fused_cpu(gb) && fused_cpu(cls_idx) && (!strides.defined() || fused_cpu(strides));
  if (cpu && nc > 0) {
    Result out{at::zeros({B, A}, f32.dtype(at::kBool)), at::empty({B, A}, i64),
               at::empty({B, A, 4}, f32), at::zeros({B, A, nc}, f32),
               at::zeros({B, A}, f32.dtype(at::kBool))};
    if (A > 0 && G > 0) {
      assign_cpu(sc.contiguous(), pb.contiguous(), pts.contiguous(), gb.contiguous(),
                 cls_idx.contiguous(), pos_gt.contiguous(), ign_gt.contiguous(), strides, opt,
                 out);
      return out;
    }
  }

  // Ground-truth corners (B, G, 1), anchor centres and predicted corners (B|1, 1, A).
  at::Tensor gx1 = gb.select(2, 0).unsqueeze(2), gy1 = gb.select(2, 1).unsqueeze(2);
  at::Tensor gx2 = gb.select(2, 2).unsqueeze(2), gy2 = gb.select(2, 3).unsqueeze(2);
  at::Tensor px = pts.select(1, 0).view({1, 1, A}), py = pts.select(1, 1).view({1, 1, A});
  at::Tensor qx1 = pb.select(2, 0).unsqueeze(1), qy1 = pb.select(2, 1).unsqueeze(1);
  at::Tensor qx2 = pb.select(2, 2).unsqueeze(1), qy2 = pb.select(2, 3).unsqueeze(1);

  // Anchor centre strictly inside the box.
  at::Tensor in_gts = (px - gx1).gt(kEps) & (py - gy1).gt(kEps) & (gx2 - px).gt(kEps) &
                      (gy2 - py).gt(kEps);  // (B, G, A)

  // IoU of every ground truth with every predicted box.
  at::Tensor inter = (at::minimum(gx2, qx2) - at::maximum(gx1, qx1)).clamp_min_(0) *
                     (at::minimum(gy2, qy2) - at::maximum(gy1, qy1)).clamp_min_(0);
  at::Tensor area_g = (gx2 - gx1).clamp_min(0) * (gy2 - gy1).clamp_min(0);
  at::Tensor area_p = (qx2 - qx1).clamp_min(0) * (qy2 - qy1).clamp_min(0);
  at::Tensor iou = inter / (area_g + area_p - inter + kEps);  // (B, G, A)

  // Alignment metric: score of the gt's class ^ alpha * IoU ^ beta.
  at::Tensor s_g = nc > 0 ? sc.transpose(1, 2).gather(1, cls_idx.unsqueeze(2).expand({B, G, A}))
                         : at::zeros({B, G, A}, f32);
  at::Tensor align = s_g.pow(opt.alpha) * iou.pow(opt.beta);

  // Top-k candidates among the anchors inside each usable box (inside anchors
  // rank ahead of every outside one, so ties at zero stay inside), ties to
  // the lower anchor index as in the CPU kernel: the metric's order as an
  // integer (NaN ranking with +inf, -0 with 0) above the reversed anchor
  // index, one int64 key per pair, so that the selection is the same on
  // every device whatever its top-k does with equal values.
  at::Tensor mask_in = in_gts & pos_gt.unsqueeze(2);
  at::Tensor cand = at::zeros_like(mask_in);
  const int64_t k = std::min<int64_t>(opt.topk, A);
  if (k > 0) {
    at::Tensor rank = at::where(mask_in, align, at::scalar_tensor(-1.0, f32));
    rank = at::where(rank.isnan(), at::scalar_tensor(INFINITY, f32), rank) + 0.0;
    at::Tensor bits = rank.view(at::kInt).to(at::kLong);
    // Sign-magnitude float bits to two's-complement order.
    bits = at::where(bits < 0, bits.bitwise_xor(0x7fffffff), bits);
    at::Tensor key = bits * (int64_t{1} << 32) + (A - 1 - at::arange(A, i64));
    at::Tensor idx = std::get<1>(key.topk(k, -1, /*largest=*/true, /*sorted=*/false));
    cand.scatter_(2, idx, true);
    cand &= mask_in;
  }
  at::Tensor mask_pos = resolve(cand, iou);

  if (opt.rescue) {
    // A usable gt left without positives takes its nearest free anchor of the
    // finest level; rescued gts claiming the same anchor go to the largest IoU.
    at::Tensor starving = pos_gt & mask_pos.any(2).logical_not();
    at::Tensor cx = (gx1 + gx2) * 0.5, cy = (gy1 + gy2) * 0.5;
    at::Tensor d2 = (px - cx).square() + (py - cy).square();  // (B, G, A)
    if (strides.defined()) {
      at::Tensor st = strides.detach().to(at::kFloat).to(d2.device());
      at::Tensor finest = st.eq(st.min()).view({1, 1, A});
      d2 = at::where(finest, d2,
                     at::scalar_tensor(std::numeric_limits<float>::infinity(), f32));
    }
    at::Tensor nearest = d2.argmin(2);                            // (B, G)
    at::Tensor taken = mask_pos.any(1).gather(1, nearest);         // (B, G)
    at::Tensor take = starving & taken.logical_not();
    at::Tensor rmask = at::zeros_like(mask_pos).scatter_(2, nearest.unsqueeze(2),
                                                         take.unsqueeze(2));
    mask_pos = mask_pos | resolve(rmask, iou);
  }

  // Soft targets: each gt's metric normalised so that its best positive gets
  // the gt's best IoU among its positives.
  at::Tensor metric = align * mask_pos;
  at::Tensor m_max = metric.amax(2, /*keepdim=*/true);
  at::Tensor iou_max = (iou * mask_pos).amax(2, /*keepdim=*/true);
  at::Tensor norm = (metric * iou_max / (m_max + kEps)).amax(1);  // (B, A)

  at::Tensor gidx = at::arange(G, i64).view({1, G, 1});
  at::Tensor matched = (mask_pos.to(at::kLong) * gidx).sum(1);  // (B, A)
  at::Tensor fg = mask_pos.any(1);
  at::Tensor target_boxes = gb.gather(1, matched.unsqueeze(2).expand({B, A, 4}));
  at::Tensor labels = cls_idx.gather(1, matched);
  if (opt.target_floor > 0) norm = norm.clamp_min(opt.target_floor);
  at::Tensor value = norm * fg;
  at::Tensor target_scores = at::zeros({B, A, nc}, f32);
  if (nc > 0) target_scores.scatter_(2, labels.unsqueeze(2), value.unsqueeze(2));
  at::Tensor ignore_mask = (in_gts & ign_gt.unsqueeze(2)).any(1) & fg.logical_not();
  return {fg, matched, target_boxes, target_scores, ignore_mask};
}

}  // namespace assigner
}  // namespace halcyra
