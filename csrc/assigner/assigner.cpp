#include "assigner.h"

#include <limits>

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

}  // namespace

Result assign(const at::Tensor& scores, const at::Tensor& pred_boxes,
              const at::Tensor& points, const at::Tensor& gt_boxes,
              const at::Tensor& gt_cls, const at::Tensor& gt_valid,
              const at::Tensor& gt_ignore, const at::Tensor& strides,
              const Options& opt) {
  at::NoGradGuard no_grad;
  TORCH_CHECK(scores.dim() == 3, "assign(): scores must be (B, A, nc), got ", scores.sizes());
  TORCH_CHECK(gt_boxes.dim() == 3 && gt_boxes.size(2) == 4,
              "assign(): gt_boxes must be (B, G, 4), got ", gt_boxes.sizes());
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
  at::Tensor cls_idx = at::where(pos_gt, gt_cls.to(at::kLong).expand({B, G}),
                                 at::zeros({}, i64));
  at::Tensor s_g = nc > 0 ? sc.transpose(1, 2).gather(1, cls_idx.unsqueeze(2).expand({B, G, A}))
                         : at::zeros({B, G, A}, f32);
  at::Tensor align = s_g.pow(opt.alpha) * iou.pow(opt.beta);

  // Top-k candidates among the anchors inside each usable box (inside anchors
  // rank ahead of every outside one, so ties at zero stay inside).
  at::Tensor mask_in = in_gts & pos_gt.unsqueeze(2);
  at::Tensor cand = at::zeros_like(mask_in);
  const int64_t k = std::min<int64_t>(opt.topk, A);
  if (k > 0) {
    at::Tensor rank = at::where(mask_in, align, at::scalar_tensor(-1.0, f32));
    at::Tensor idx = std::get<1>(rank.topk(k, -1, /*largest=*/true, /*sorted=*/false));
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
