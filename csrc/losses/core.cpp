#include "core.h"

#include <ATen/core/Reduction.h>
#include <c10/core/impl/LocalDispatchKeySet.h>
#include <torch/csrc/autograd/custom_function.h>

#include <ATen/Parallel.h>
#include <ATen/core/grad_mode.h>

#include <algorithm>
#include <cmath>
#include <vector>

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

// On the CPU the (B, A, nc) passes run block by block (a few hundred anchors
// of one image at a time), so each block stays in cache and no full-size
// temporary is made in the forward pass.
constexpr int64_t kBlockElems = 16384;

struct Blocks {
  int64_t B, A, nc, rows, per_img;
  explicit Blocks(const at::Tensor& x)
      : B(x.size(0)), A(x.size(1)), nc(x.size(2)),
        rows(std::max<int64_t>(1, kBlockElems / std::max<int64_t>(1, x.size(2)))),
        per_img((x.size(1) + rows - 1) / rows) {}
  int64_t count() const { return B * per_img; }
  int64_t image(int64_t i) const { return i / per_img; }
  int64_t start(int64_t i) const { return (i % per_img) * rows; }
  int64_t len(int64_t i) const { return std::min(rows, A - start(i)); }
};

bool blocked(const at::Tensor& x) {
  return x.device().is_cpu() && x.size(1) > 0 && x.size(2) > 0 && x.size(0) > 0;
}

// sum over (b, a, c) of aw[b, a] * col[b, c] * bce_with_logits(x, t), as one
// autograd node: bce = softplus(x) - t * x, weighted per image by a product
// with aw and then col; backward (sigmoid(x) - t) * aw * col * grad.
struct WeightedBce : public torch::autograd::Function<WeightedBce> {
  static at::Tensor forward(torch::autograd::AutogradContext* ctx, const at::Tensor& x_in,
                            const at::Tensor& t_in, const at::Tensor& aw_in,
                            const at::Tensor& col) {
    ctx->save_for_backward({x_in, t_in, aw_in, col});
    const at::Tensor x = x_in.detach(), t = t_in.detach(), aw = aw_in.detach();
    if (!blocked(x)) {
      at::Tensor l = at::softplus(x);
      l.addcmul_(t, x, -1);
      at::Tensor per = at::bmm(aw.unsqueeze(1), l).squeeze(1);  // (B, nc)
      return (per * col).sum();
    }
    const Blocks bl(x);
    at::Tensor partial = at::empty({bl.count(), bl.nc}, x.options());
    at::parallel_for(0, bl.count(), 1, [&](int64_t lo, int64_t hi) {
      at::Tensor buf = at::empty({bl.rows, bl.nc}, x.options());
      for (int64_t i = lo; i < hi; ++i) {
        const int64_t b = bl.image(i), a0 = bl.start(i), n = bl.len(i);
        at::Tensor xs = x.select(0, b).narrow(0, a0, n);
        at::Tensor bs = buf.narrow(0, 0, n);
        at::softplus_out(bs, xs, 1, 20);
        bs.addcmul_(t.select(0, b).narrow(0, a0, n), xs, -1);
        at::Tensor row = partial.select(0, i);
        at::mv_out(row, bs.t(), aw.select(0, b).narrow(0, a0, n));
      }
    });
    at::Tensor per = partial.view({bl.B, bl.per_img, bl.nc}).sum(1);  // (B, nc)
    return (per * col).sum();
  }

  static torch::autograd::variable_list backward(torch::autograd::AutogradContext* ctx,
                                                 torch::autograd::variable_list grads) {
    auto saved = ctx->get_saved_variables();
    const at::Tensor x = saved[0].detach(), t = saved[1].detach();
    const at::Tensor wg = saved[2].detach() * grads[0].detach();  // (B, A)
    const at::Tensor col = saved[3].detach();
    if (!blocked(x)) {
      at::Tensor gx = at::sigmoid(x);
      gx.sub_(t);
      gx.mul_(wg.unsqueeze(2));
      gx.mul_(col.unsqueeze(1));
      return {gx, at::Tensor(), at::Tensor(), at::Tensor()};
    }
    const Blocks bl(x);
    at::Tensor gx = at::empty(x.sizes(), x.options());
    at::parallel_for(0, bl.count(), 1, [&](int64_t lo, int64_t hi) {
      for (int64_t i = lo; i < hi; ++i) {
        const int64_t b = bl.image(i), a0 = bl.start(i), n = bl.len(i);
        at::Tensor gs = gx.select(0, b).narrow(0, a0, n);
        at::sigmoid_out(gs, x.select(0, b).narrow(0, a0, n));
        gs.sub_(t.select(0, b).narrow(0, a0, n));
        gs.mul_(wg.select(0, b).narrow(0, a0, n).unsqueeze(1));
        gs.mul_(col.select(0, b).unsqueeze(0));
      }
    });
    return {gx, at::Tensor(), at::Tensor(), at::Tensor()};
  }
};

}  // namespace

std::pair<at::Tensor, at::Tensor> cls_loss(const at::Tensor& cls_raw,
                                           const at::Tensor& target_scores,
                                           const at::Tensor& fg_mask,
                                           const at::Tensor& ignore_mask,
                                           const at::Tensor& col_avail) {
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
  at::Tensor anchor_w = ignore_mask.bitwise_not()
                            .bitwise_or(fg_mask)
                            .to(cls_raw.scalar_type())
                            .expand({B, A});
  at::Tensor col = col_avail.to(cls_raw.scalar_type()).expand({B, nc});
  at::Tensor t = target_scores.detach().to(cls_raw.scalar_type());
  // Target mass over available classes: sum over anchors first, then classes.
  at::Tensor norm = (t.sum(1) * col).sum().clamp_min(1.0);
  at::Tensor sum = WeightedBce::apply(cls_raw, t, anchor_w, col);
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
