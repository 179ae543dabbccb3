// Numerics of the per-task criterion losses: ROI jitter, in-box crop
// cross-entropy (fused CPU kernel with its own backward, and a whole-map ATen
// formulation for other devices), keypoint and polyline losses.
#include <ATen/Parallel.h>

#include "../common/compat.h"
#include <torch/csrc/autograd/custom_function.h>

#include <algorithm>
#include <cmath>
#include <sstream>
#include <vector>

#include "kernels.h"
#include "tasks.h"

namespace halcyra {
namespace losses {
namespace tasks {

at::Tensor jitter_rois(const at::Tensor& boxes, const Num& scale, const Num& shift) {
  at::Tensor x1 = boxes.select(1, 0), y1 = boxes.select(1, 1);
  at::Tensor x2 = boxes.select(1, 2), y2 = boxes.select(1, 3);
  at::Tensor cx = (x1 + x2) / 2, cy = (y1 + y2) / 2;
  at::Tensor w = x2 - x1, h = y2 - y1;
  // torch.rand's draw (an empty tensor filled uniformly), with the boxes'
  // count symbolic where a compiler traces it
  at::Tensor r =
      at::empty_symint({boxes.sym_size(0), 4}, at::TensorOptions().device(boxes.device()))
              .uniform_(0, 1) * 2 - 1;
  at::Tensor w2 = w * (1 + scale.mul(r.select(1, 0)));
  at::Tensor h2 = h * (1 + scale.mul(r.select(1, 1)));
  at::Tensor cx2 = cx + shift.mul(w) * r.select(1, 2);
  at::Tensor cy2 = cy + shift.mul(h) * r.select(1, 3);
  return at::stack({cx2 - w2 / 2, cy2 - h2 / 2, cx2 + w2 / 2, cy2 + h2 / 2}, 1);
}

at::Tensor crop_bounds(const at::Tensor& boxes, int64_t hm, int64_t wm) {
  at::Tensor x1i = boxes.select(1, 0).clamp(0, wm - 1).to(at::kLong);
  at::Tensor y1i = boxes.select(1, 1).clamp(0, hm - 1).to(at::kLong);
  // clamp(x2, x1i + 1, wm) in the dtype of the boxes, then truncate.
  at::Tensor x2i = at::minimum(at::maximum(boxes.select(1, 2), (x1i + 1).to(boxes.scalar_type())),
                               at::scalar_tensor(wm, boxes.options()))
                       .to(at::kLong);
  at::Tensor y2i = at::minimum(at::maximum(boxes.select(1, 3), (y1i + 1).to(boxes.scalar_type())),
                               at::scalar_tensor(hm, boxes.options()))
                       .to(at::kLong);
  // Finite boxes are already on the grid; a NaN corner (whose integer
  // conversion is arbitrary) is pulled back onto it, so every path sees the
  // same non-empty crop.
  x1i = x1i.clamp(0, wm - 1);
  y1i = y1i.clamp(0, hm - 1);
  x2i = at::maximum(x2i, x1i + 1).clamp_max(wm);
  y2i = at::maximum(y2i, y1i + 1).clamp_max(hm);
  return at::stack({x1i, y1i, x2i, y2i}, 1);
}

namespace {

// A crop as loops use it. Bounds that did not come from finite boxes (NaN
// converts to an arbitrary integer) are pulled back onto the grid.
// Whether crop_bce_sum's CPU loop applies.
bool fused_crop(const at::Tensor& pm, const at::Tensor& gt, const at::Tensor& bounds) {
  return fused_cpu(pm) && pm.scalar_type() == at::kFloat && fused_cpu(gt) &&
         gt.scalar_type() == at::kFloat && gt.sizes() == pm.sizes() && pm.dim() == 3 &&
         pm.size(1) > 0 && pm.size(2) > 0 && fused_cpu(bounds) &&
         bounds.scalar_type() == at::kLong && bounds.sizes() == at::IntArrayRef({pm.size(0), 4});
}

struct Crop {
  int64_t x1, y1, x2, y2;
  int64_t area() const { return std::max<int64_t>(1, (y2 - y1) * (x2 - x1)); }
};

Crop crop_at(const int64_t* b, int64_t hm, int64_t wm) {
  Crop c;
  c.x1 = std::min(std::max<int64_t>(b[0], 0), wm - 1);
  c.y1 = std::min(std::max<int64_t>(b[1], 0), hm - 1);
  c.x2 = std::min(std::max(b[2], c.x1 + 1), wm);
  c.y2 = std::min(std::max(b[3], c.y1 + 1), hm);
  return c;
}

// Binary cross-entropy with logits of one pixel, in the stable form
// max(x, 0) - x * t + log(1 + exp(-|x|)).
inline float bce(float x, float t) {
  return std::max(x, 0.f) - x * t + std::log1p(std::exp(-std::fabs(x)));
}

inline float sigmoid(float x) { return 1.f / (1.f + std::exp(-x)); }

// Preconditions: CPU f32 pm (N, hm, wm) = gt's size, CPU i64 bounds (N, 4), hm, wm > 0 if N (any bound values)
void check_crop_args(const at::Tensor& pm, const at::Tensor& gt, const at::Tensor& bounds) {
  TORCH_CHECK(pm.dim() == 3 && pm.device().is_cpu() && pm.scalar_type() == at::kFloat,
              "crop_bce_sum(): pm must be a CPU float32 (N, hm, wm) tensor, got ", pm.sizes());
  TORCH_CHECK(gt.sizes() == pm.sizes() && gt.device().is_cpu() && gt.scalar_type() == at::kFloat,
              "crop_bce_sum(): gt must be a CPU float32 tensor of pm's size ", pm.sizes(),
              ", got ", gt.sizes());
  TORCH_CHECK(bounds.sizes() == at::IntArrayRef({pm.size(0), 4}) && bounds.device().is_cpu() &&
                  bounds.scalar_type() == at::kLong,
              "crop_bce_sum(): bounds must be a CPU int64 (N, 4) tensor, got ", bounds.sizes());
  TORCH_CHECK(pm.size(0) == 0 || (pm.size(1) > 0 && pm.size(2) > 0),
              "crop_bce_sum(): pm has no pixels to crop, got ", pm.sizes());
}

}  // namespace

}  // namespace tasks

namespace kernels {
using namespace tasks;

at::Tensor crop_bce_cpu(const at::Tensor& pm, const at::Tensor& gt, const at::Tensor& bounds) {
  if (!fused_crop(pm, gt, bounds)) return crop_bce_sum_aten(pm, gt, bounds);
  {
    HALCYRA_RECORD("crop_bce_kernel");
    check_crop_args(pm, gt, bounds);
    at::Tensor p = pm.contiguous(), t = gt.contiguous(), bd = bounds.contiguous();
    const int64_t n = p.size(0), hm = p.size(1), wm = p.size(2);
    const float* pp = p.data_ptr<float>();
    const float* tp = t.data_ptr<float>();
    const int64_t* bp = bd.data_ptr<int64_t>();
    std::vector<float> per(n);
    at::parallel_for(0, n, 1, [&](int64_t begin, int64_t end) {
      for (int64_t j = begin; j < end; ++j) {
        Crop c = crop_at(bp + 4 * j, hm, wm);
        double acc = 0.0;
        for (int64_t y = c.y1; y < c.y2; ++y) {
          const float* px = pp + (j * hm + y) * wm;
          const float* tx = tp + (j * hm + y) * wm;
          float row = 0.f;
          for (int64_t x = c.x1; x < c.x2; ++x) row += bce(px[x], tx[x]);
          acc += row;
        }
        per[j] = static_cast<float>(acc) / static_cast<float>(c.area());
      }
    });
    float total = 0.f;
    for (int64_t j = 0; j < n; ++j) total += per[j];
    return at::scalar_tensor(total, pm.options());
  }
}

Pair crop_bce_backward_cpu(const at::Tensor& grad, const at::Tensor& pm, const at::Tensor& gt,
                           const at::Tensor& bounds, std::array<bool, 2> mask) {
  if (!fused_crop(pm, gt, bounds) || !grad.device().is_cpu() || grad.numel() != 1)
    return crop_bce_backward_generic(grad, pm, gt, bounds, mask);
  {
    HALCYRA_RECORD("crop_bce_backward_kernel");
    const at::Tensor p = pm.contiguous(), t = gt.contiguous(), bd = bounds.contiguous();
    const bool want_pm = mask[0], want_gt = mask[1];
    const int64_t n = p.size(0), hm = p.size(1), wm = p.size(2);
    const float g = grad.item<float>();
    at::Tensor gp, gg;
    if (want_pm) gp = at::zeros_like(p);
    if (want_gt) gg = at::zeros_like(t);
    const float* pp = p.data_ptr<float>();
    const float* tp = t.data_ptr<float>();
    const int64_t* bp = bd.data_ptr<int64_t>();
    float* gpp = want_pm ? gp.data_ptr<float>() : nullptr;
    float* ggp = want_gt ? gg.data_ptr<float>() : nullptr;
    at::parallel_for(0, n, 1, [&](int64_t begin, int64_t end) {
      for (int64_t j = begin; j < end; ++j) {
        Crop c = crop_at(bp + 4 * j, hm, wm);
        const float gj = g / static_cast<float>(c.area());
        for (int64_t y = c.y1; y < c.y2; ++y) {
          const int64_t off = (j * hm + y) * wm;
          for (int64_t x = c.x1; x < c.x2; ++x) {
            if (gpp) gpp[off + x] = (sigmoid(pp[off + x]) - tp[off + x]) * gj;
            if (ggp) ggp[off + x] = -pp[off + x] * gj;
          }
        }
      }
    });
    return {gp, gg};
  }
}

}  // namespace kernels

namespace tasks {

namespace {

// Logits of one crop row: out[x - x1] = sum_p c[p] * plane_p[y, x].
inline void crop_row_logits(const float* c, const float* base, int64_t P, int64_t plane,
                            int64_t off, int64_t w, float* out) {
  std::fill(out, out + w, 0.f);
  for (int64_t p = 0; p < P; ++p) {
    const float cp = c[p];
    const float* src = base + p * plane + off;
    for (int64_t x = 0; x < w; ++x) out[x] += cp * src[x];
  }
}

// Preconditions: CPU f32 rows (N,P), protos (B,P,hm,wm); image (N,) in [0,B); gt (N,hm,wm); bounds (N,4); hm,wm > 0
void check_proto_crop_args(const at::Tensor& rows, const at::Tensor& protos,
                           const at::Tensor& image, const at::Tensor& gt,
                           const at::Tensor& bounds) {
  TORCH_CHECK(rows.dim() == 2 && rows.device().is_cpu() && rows.scalar_type() == at::kFloat,
              "proto_crop_bce_sum(): rows must be a CPU float32 (N, P) tensor, got ", rows.sizes());
  const int64_t n = rows.size(0);
  TORCH_CHECK(protos.dim() == 4 && protos.size(1) == rows.size(1) && protos.device().is_cpu() &&
                  protos.scalar_type() == at::kFloat,
              "proto_crop_bce_sum(): protos must be a CPU float32 (B, P, hm, wm) tensor with P = ",
              rows.size(1), ", got ", protos.sizes());
  TORCH_CHECK(gt.dim() == 3 && gt.size(0) == n && gt.size(1) == protos.size(2) &&
                  gt.size(2) == protos.size(3) && gt.device().is_cpu() &&
                  !at::isComplexType(gt.scalar_type()),
              "proto_crop_bce_sum(): gt must be a real CPU (N, hm, wm) tensor matching protos, got ",
              gt.sizes());
  TORCH_CHECK(bounds.sizes() == at::IntArrayRef({n, 4}) && bounds.device().is_cpu() &&
                  bounds.scalar_type() == at::kLong,
              "proto_crop_bce_sum(): bounds must be a CPU int64 (N, 4) tensor, got ", bounds.sizes());
  TORCH_CHECK(n == 0 || (protos.size(2) > 0 && protos.size(3) > 0),
              "proto_crop_bce_sum(): protos have no pixels to crop, got ", protos.sizes());
  TORCH_CHECK(image.sizes() == at::IntArrayRef({n}) && image.device().is_cpu() &&
                  image.scalar_type() == at::kLong,
              "proto_crop_bce_sum(): image must be a CPU int64 (N,) tensor, got ", image.sizes());
  const at::Tensor im = image.contiguous();  // (N,) int64 on the CPU: safe to scan
  const int64_t* ip = im.data_ptr<int64_t>();
  for (int64_t j = 0; j < n; ++j)
    TORCH_CHECK_INDEX(ip[j] >= 0 && ip[j] < protos.size(0), "proto_crop_bce_sum(): image index ",
                      ip[j], " is out of bounds for ", protos.size(0), " images");
}

}  // namespace

}  // namespace tasks

namespace kernels {
using namespace tasks;

at::Tensor proto_crop_bce_cpu(const at::Tensor& rows, const at::Tensor& protos,
                              const at::Tensor& image, const at::Tensor& gt,
                              const at::Tensor& bounds) {
  if (generic()) return proto_crop_bce_generic(rows, protos, image, gt, bounds);
  {
    HALCYRA_RECORD("proto_crop_bce_kernel");
    check_proto_crop_args(rows, protos, image, gt, bounds);
    at::Tensor r = rows.contiguous(), pr = protos.contiguous(), im = image.contiguous();
    at::Tensor t = gt.contiguous(), bd = bounds.contiguous();
    const int64_t n = r.size(0), P = r.size(1), hm = pr.size(2), wm = pr.size(3);
    const float* rp = r.data_ptr<float>();
    const float* pp = pr.data_ptr<float>();
    const int64_t* ip = im.data_ptr<int64_t>();
    const int64_t* bp = bd.data_ptr<int64_t>();
    std::vector<float> per(n);
    AT_DISPATCH_ALL_TYPES_AND3(at::kHalf, at::kBool, at::kBFloat16, t.scalar_type(),
                               "proto_crop_bce", [&] {
      const scalar_t* tp = t.data_ptr<scalar_t>();
      at::parallel_for(0, n, 1, [&](int64_t begin, int64_t end) {
        std::vector<float> logit(wm);
        for (int64_t j = begin; j < end; ++j) {
          Crop c = crop_at(bp + 4 * j, hm, wm);
          const float* base = pp + ip[j] * P * hm * wm;
          double acc = 0.0;
          for (int64_t y = c.y1; y < c.y2; ++y) {
            crop_row_logits(rp + j * P, base, P, hm * wm, y * wm + c.x1, c.x2 - c.x1, logit.data());
            const scalar_t* tx = tp + (j * hm + y) * wm + c.x1;
            float row = 0.f;
            for (int64_t x = 0; x < c.x2 - c.x1; ++x)
              row += bce(logit[x], static_cast<float>(tx[x]));
            acc += row;
          }
          per[j] = static_cast<float>(acc) / static_cast<float>(c.area());
        }
      });
    });
    float total = 0.f;
    for (int64_t j = 0; j < n; ++j) total += per[j];
    return at::scalar_tensor(total, rows.options());
  }
}

Pair proto_crop_bce_backward_cpu(const at::Tensor& grad, const at::Tensor& rows,
                                 const at::Tensor& protos, const at::Tensor& image,
                                 const at::Tensor& gt, const at::Tensor& bounds,
                                 std::array<bool, 2> mask) {
  if (generic() || !grad.device().is_cpu() || grad.numel() != 1)
    return proto_crop_bce_backward_generic(grad, rows, protos, image, gt, bounds, mask);
  {
    HALCYRA_RECORD("proto_crop_bce_backward_kernel");
    check_proto_crop_args(rows, protos, image, gt, bounds);
    const at::Tensor r = rows.contiguous(), pr = protos.contiguous(), im = image.contiguous();
    const at::Tensor t = gt.contiguous(), bd = bounds.contiguous();
    const bool want_rows = mask[0], want_protos = mask[1];
    const int64_t n = r.size(0), P = r.size(1), B = pr.size(0), hm = pr.size(2), wm = pr.size(3);
    const float g = grad.item<float>();
    at::Tensor grow, gpro;
    if (want_rows) grow = at::zeros_like(r);
    if (want_protos) gpro = at::zeros_like(pr);
    const float* rp = r.data_ptr<float>();
    const float* pp = pr.data_ptr<float>();
    const int64_t* ip = im.data_ptr<int64_t>();
    const int64_t* bp = bd.data_ptr<int64_t>();
    float* grp = want_rows ? grow.data_ptr<float>() : nullptr;
    float* gpp = want_protos ? gpro.data_ptr<float>() : nullptr;
    // Instances of one image write one image's prototype gradient: split by image.
    std::vector<std::vector<int64_t>> by_image(B);
    for (int64_t j = 0; j < n; ++j) by_image[ip[j]].push_back(j);
    const int64_t plane = hm * wm;
    AT_DISPATCH_ALL_TYPES_AND3(at::kHalf, at::kBool, at::kBFloat16, t.scalar_type(),
                               "proto_crop_bce_backward", [&] {
      const scalar_t* tp = t.data_ptr<scalar_t>();
      at::parallel_for(0, B, 1, [&](int64_t begin, int64_t end) {
        std::vector<float> logit(wm), d(wm);
        std::vector<double> gc(P);
        for (int64_t bi = begin; bi < end; ++bi) {
          for (int64_t j : by_image[bi]) {
            Crop c = crop_at(bp + 4 * j, hm, wm);
            const float gj = g / static_cast<float>(c.area());
            const float* cj = rp + j * P;
            const float* base = pp + bi * P * plane;
            const int64_t w = c.x2 - c.x1;
            std::fill(gc.begin(), gc.end(), 0.0);
            for (int64_t y = c.y1; y < c.y2; ++y) {
              const int64_t off = y * wm + c.x1;
              crop_row_logits(cj, base, P, plane, off, w, logit.data());
              const scalar_t* tx = tp + (j * hm + y) * wm + c.x1;
              for (int64_t x = 0; x < w; ++x)
                d[x] = (sigmoid(logit[x]) - static_cast<float>(tx[x])) * gj;
              for (int64_t p = 0; p < P; ++p) {
                const float* src = base + p * plane + off;
                if (grp) {
                  float s = 0.f;
                  for (int64_t x = 0; x < w; ++x) s += d[x] * src[x];
                  gc[p] += s;
                }
                if (gpp) {
                  float* dst = gpp + bi * P * plane + p * plane + off;
                  const float cp = cj[p];
                  for (int64_t x = 0; x < w; ++x) dst[x] += d[x] * cp;
                }
              }
            }
            if (grp)
              for (int64_t p = 0; p < P; ++p) grp[j * P + p] = static_cast<float>(gc[p]);
          }
        }
      });
    });
    return {grow, gpro};
  }
}

}  // namespace kernels

namespace tasks {

namespace {

// (N, hm, wm) weights of the crops: 1 / area inside instance j's crop, 0 outside.
at::Tensor crop_weights(const at::Tensor& bounds, int64_t hm, int64_t wm,
                        const at::TensorOptions& opt) {
  at::Tensor bd = bounds.to(opt.device());
  at::Tensor x1 = bd.select(1, 0).unsqueeze(1), y1 = bd.select(1, 1).unsqueeze(1);
  at::Tensor x2 = bd.select(1, 2).unsqueeze(1), y2 = bd.select(1, 3).unsqueeze(1);
  auto idx = opt.dtype(at::kLong);
  at::Tensor ys = at::arange(hm, idx).unsqueeze(0), xs = at::arange(wm, idx).unsqueeze(0);
  at::Tensor rows = (ys >= y1).logical_and_(ys < y2);  // (N, hm)
  at::Tensor cols = (xs >= x1).logical_and_(xs < x2);  // (N, wm)
  at::Tensor inside = rows.unsqueeze(2).logical_and(cols.unsqueeze(1)).to(opt.dtype());
  at::Tensor area = ((y2 - y1) * (x2 - x1)).squeeze(1).clamp_min(1).to(opt.dtype());
  return inside / area.reshape({-1, 1, 1});
}

// Instance j's logits over the whole grid: rows[j] . protos[image[j]], (N, hm, wm).
at::Tensor proto_logits(const at::Tensor& rows, const at::Tensor& protos, const at::Tensor& image) {
  const int64_t n = rows.size(0), P = protos.size(1), hm = protos.size(2), wm = protos.size(3);
  at::Tensor sel = protos.index_select(0, image.to(protos.device())).reshape({n, P, hm * wm});
  return at::bmm(rows.unsqueeze(1), sel).reshape({n, hm, wm});
}

}  // namespace

}  // namespace tasks

namespace kernels {
using namespace tasks;

at::Tensor crop_bce_generic(const at::Tensor& pm, const at::Tensor& gt, const at::Tensor& bounds) {
  return crop_bce_sum_aten(pm, gt, bounds);
}

Pair crop_bce_backward_generic(const at::Tensor& grad, const at::Tensor& pm,
                               const at::Tensor& gt, const at::Tensor& bounds,
                               std::array<bool, 2> mask) {
  const at::Tensor w = crop_weights(bounds, pm.size(1), pm.size(2), pm.options()) * grad;
  at::Tensor gp, gg;
  if (mask[0]) gp = (at::sigmoid(pm) - gt) * w;
  if (mask[1]) gg = -pm * w;
  return {gp, gg};
}

at::Tensor proto_crop_bce_generic(const at::Tensor& rows, const at::Tensor& protos,
                                  const at::Tensor& image, const at::Tensor& gt,
                                  const at::Tensor& bounds) {
  return crop_bce_sum_aten(proto_logits(rows, protos, image), gt.to(rows.scalar_type()), bounds);
}

Pair proto_crop_bce_backward_generic(const at::Tensor& grad, const at::Tensor& rows,
                                     const at::Tensor& protos, const at::Tensor& image,
                                     const at::Tensor& gt, const at::Tensor& bounds,
                                     std::array<bool, 2> mask) {
  const int64_t n = rows.size(0), P = protos.size(1), hm = protos.size(2), wm = protos.size(3);
  const at::Tensor img = image.to(protos.device());
  const at::Tensor d = ((at::sigmoid(proto_logits(rows, protos, img)) - gt.to(rows.scalar_type())) *
                        (crop_weights(bounds, hm, wm, rows.options()) * grad))
                           .reshape({n, 1, hm * wm});
  at::Tensor grow, gpro;
  if (mask[0]) {
    at::Tensor sel = protos.index_select(0, img).reshape({n, P, hm * wm});
    grow = at::bmm(d, sel.transpose(1, 2)).reshape({n, P});
  }
  if (mask[1])
    gpro = at::zeros_like(protos).index_add_(
        0, img, (rows.unsqueeze(2) * d).reshape({n, P, hm, wm}));
  return {grow, gpro};
}

}  // namespace kernels

namespace tasks {

at::Tensor proto_crop_bce_sum(const at::Tensor& rows, const at::Tensor& protos,
                              const at::Tensor& image, const at::Tensor& gt,
                              const at::Tensor& bounds) {
  return kernels::proto_crop_bce_sum(rows, protos, image, gt, bounds);
}

at::Tensor crop_bce_sum(const at::Tensor& pm, const at::Tensor& gt, const at::Tensor& bounds) {
  return kernels::crop_bce_sum(pm, gt, bounds);
}

at::Tensor crop_bce_sum_aten(const at::Tensor& pm, const at::Tensor& gt,
                             const at::Tensor& bounds) {
  const at::Tensor bce =
      at::binary_cross_entropy_with_logits(pm, gt, {}, {}, at::Reduction::None);
  return (bce * crop_weights(bounds, pm.size(1), pm.size(2), pm.options())).sum();
}

std::pair<at::Tensor, at::Tensor> kpt_losses(const at::Tensor& r, const at::Tensor& pts,
                                             const at::Tensor& strides, const at::Tensor& gt,
                                             const at::Tensor& gt_box, const at::Tensor& sigmas,
                                             double eps) {
  using at::indexing::Ellipsis;
  using at::indexing::None;
  using at::indexing::Slice;
  at::Tensor xy = r.index({Ellipsis, Slice(None, 2)}) * strides.reshape({-1, 1, 1}) +
                  pts.unsqueeze(1);
  at::Tensor vis_logit = r.select(-1, 2);
  at::Tensor labeled = gt.select(-1, 2) >= 1;
  at::Tensor area = ((gt_box.select(1, 2) - gt_box.select(1, 0)) *
                     (gt_box.select(1, 3) - gt_box.select(1, 1)))
                        .clamp_min(eps)
                        .unsqueeze(1);
  at::Tensor d2 = (xy - gt.index({Ellipsis, Slice(None, 2)})).pow(2).sum(-1);
  at::Tensor e = d2 / (2 * area * (2 * sigmas).pow(2) + eps);
  at::Tensor norm_dist = at::sqrt(d2 + eps) / at::sqrt(area + eps);
  at::Tensor per_kpt = 1 - at::exp(-e) + 0.2 * norm_dist;
  at::Tensor lab = labeled.to(at::kFloat);
  at::Tensor loc = (per_kpt * lab).sum() / lab.sum().clamp_min(1.0);
  at::Tensor vis = at::binary_cross_entropy_with_logits(vis_logit, lab);
  return {loc, vis};
}

at::Tensor pline_loss(const at::Tensor& q, const at::Tensor& gt, const at::Tensor& s) {
  at::Tensor sv = s.reshape({-1, 1, 1});
  at::Tensor zeros = at::zeros_like(q);
  at::Tensor fwd = at::smooth_l1_loss((q - gt) / sv, zeros, at::Reduction::None).mean({1, 2});
  at::Tensor rev =
      at::smooth_l1_loss((q - gt.flip({1})) / sv, zeros, at::Reduction::None).mean({1, 2});
  return at::minimum(fwd, rev).mean();
}

namespace {

std::string size_repr(const at::Tensor& t) {
  std::ostringstream os;
  os << "torch.Size([";
  for (int64_t i = 0; i < t.dim(); ++i) os << (i ? ", " : "") << t.size(i);
  os << "])";
  return os.str();
}

}  // namespace

at::Tensor bce_mean(const at::Tensor& input, const at::Tensor& target) {
  TORCH_CHECK_VALUE(input.sizes() == target.sizes(), "Target size (", size_repr(target),
                    ") must be the same as input size (", size_repr(input), ")");
  return at::binary_cross_entropy_with_logits(input, target);
}

at::Tensor availability(const at::Tensor& valid, const at::Tensor& has, const at::Tensor& fg_b,
                        const at::Tensor& fg_g) {
  // (traced, the count may be a symbol without a value: the selection then
  // gives the empty result itself)
  if (!fg_b.unsafeGetTensorImpl()->has_symbolic_sizes_strides() && fg_b.numel() == 0)
    return at::zeros({0}, fg_b.options().dtype(at::kBool));
  return at::bitwise_and(valid.index({fg_b, fg_g}), has.index({fg_b}));
}

at::Tensor selected(const at::Tensor& sel) {
  if (sel.numel() == 0) return at::zeros({0}, sel.options().dtype(at::kLong));
  return at::nonzero(sel.reshape({-1})).select(1, 0);
}

std::pair<at::Tensor, at::Tensor> kpt_selected(
    const at::Tensor& raw, const at::Tensor& points, const at::Tensor& strides,
    const at::Tensor& b, const at::Tensor& a, const at::Tensor& g, const at::Tensor& gt_kpts,
    const at::Tensor& gt_boxes, const at::Tensor& gt_cls, const at::Tensor& sig_table, int64_t k,
    double eps) {
  at::Tensor r = raw.index({b, a}).reshape({b.size(0), k, 3});
  at::Tensor gt = gt_kpts.index({b, g});
  at::Tensor gt_box = gt_boxes.index({b, g});
  at::Tensor sigmas = sig_table.to(raw.device()).index({gt_cls.index({b, g})});
  return kpt_losses(r, points.index({a}), strides.index({a}), gt, gt_box, sigmas, eps);
}

at::Tensor pline_selected(const at::Tensor& decoded, const at::Tensor& strides,
                          const at::Tensor& b, const at::Tensor& a, const at::Tensor& g,
                          const at::Tensor& gt_plines) {
  return pline_loss(decoded.index({b, a}), gt_plines.index({b, g}), strides.index({a}));
}

}  // namespace tasks
}  // namespace losses
}  // namespace halcyra
