// The flows of MultiTaskCriterion.forward and _mask_loss (flow.h).
#include "flow.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "../pyapi/compat.h"
#include "core.h"
#include "tasks.h"

namespace halcyra {
namespace losses {
namespace {

// The tensor of a value, or the caller's TypeError naming `what`.
const at::Tensor& need(Callbacks& cb, const Value& v, const char* what) {
  if (!v.is_tensor()) cb.raise_not_tensor(v, what);
  return v.tensor;
}

// A value made here: a tensor, as the caller's object.
Value made(Callbacks& cb, const at::Tensor& t) { return cb.hold(t); }

}  // namespace

// ---- forward -------------------------------------------------------------------

void task_entries(Callbacks& cb, const Positives& pos, const Value& matched_gt,
                  const Value& points, const Value& strides, Entries& entries) {
  // matched slots of the positives
  TaskArgs ta;
  ta.points = points;
  ta.strides = strides;
  ta.fg_b = made(cb, pos.fg_b);
  ta.fg_a = made(cb, pos.fg_a);
  ta.fg_g = ta.fg_a;
  if (pos.n > 0) {
    if (matched_gt.is_tensor())
      ta.fg_g = made(cb, gather_rows(matched_gt.tensor, pos));
    else
      ta.fg_g = cb.index(matched_gt, ta.fg_b, ta.fg_a);
  }

  // per-task losses, through the criterion so that subclasses can override them
  if (cb.has(Key::kCoef)) {
    std::vector<Value> r = cb.unpack(cb.task(Task::kMask, ta), 2);
    entries.emplace_back(Loss::kMask, r[0]);
    if (!r[1].is_none()) entries.emplace_back(Loss::kRefine, r[1]);
  }
  if (cb.has(Key::kKptRaw)) {
    std::vector<Value> r = cb.unpack(cb.task(Task::kKpt, ta), 2);
    entries.emplace_back(Loss::kKpt, r[0]);
    entries.emplace_back(Loss::kVis, r[1]);
  }
  if (cb.has(Key::kPlineRaw)) entries.emplace_back(Loss::kPoly, cb.task(Task::kPline, ta));
  if (cb.has(Key::kTagLogits)) entries.emplace_back(Loss::kTag, cb.task(Task::kTag, ta));

}

Result forward(Callbacks& cb) {
  // 1-2. device and cached anchors
  std::vector<Value> ps = cb.unpack(cb.anchors(), 2);
  const Value& points = ps[0];
  const Value& strides = ps[1];

  // 4-5. float32 copies
  const Value cls_raw_v = cb.fetch_float(Key::kClsRaw);
  const Value box_raw_v = cb.fetch_float(Key::kBoxRaw);
  const at::Tensor& cls_raw = need(cb, cls_raw_v, "cls_raw");
  if (cls_raw.dim() != 3) cb.raise_unpack(3, cls_raw.dim());

  // 6. decode (late-bound)
  const at::Tensor pred_boxes =
      need(cb, cb.decode_boxes(box_raw_v, points, strides), "pred_boxes");

  // 7. assignment on detached tensors (late-bound)
  at::Tensor scores = cls_raw.detach().sigmoid();
  const auto scores_version = scores._version();
  std::vector<Value> res = cb.unpack(cb.assign(scores, pred_boxes.detach(), points, strides), 5);
  const at::Tensor fg_mask = need(cb, res[0], "fg_mask");
  const Value& matched_gt = res[1];
  const at::Tensor target_boxes = need(cb, res[2], "target_boxes");
  const at::Tensor target_scores = need(cb, res[3], "target_scores");
  const at::Tensor ignore_mask = need(cb, res[4], "ignore_mask");

  // 8. class availability
  const at::Tensor has_rect = cb.fetch_tensor(Key::kHasRect);
  const at::Tensor has_polygon = cb.fetch_tensor(Key::kHasPolygon);
  const at::Tensor has_keypoint = cb.fetch_tensor(Key::kHasKeypoint);
  const at::Tensor is_pl = cb.polyline_classes();
  const at::Tensor has_polyline = cb.fetch_tensor(Key::kHasPolyline);

  // The tensor library's own check of binary_cross_entropy_with_logits.
  if (target_scores.sizes() != cls_raw.sizes()) cb.raise_target_size(res[3], cls_raw_v);

  // 9-11. classification loss and the positives
  at::Tensor cls, norm;
  cb.unlocked([&] {
    at::Tensor col_avail =
        class_availability(has_rect, has_polygon, has_keypoint, has_polyline, is_pl);
    std::tie(cls, norm) =
        cls_loss(cls_raw, target_scores, fg_mask, ignore_mask, col_avail,
                 // the scores again, unless the assigner changed them in place
                 scores._version() == scores_version ? scores : at::Tensor());
  });
  if (fg_mask.dim() != 2) cb.raise_unpack(2, fg_mask.dim());
  const Positives pos = positives(fg_mask);
  Entries entries;
  entries.emplace_back(Loss::kCls, made(cb, cls));

  // 12. box loss
  if (pos.n == 0) {
    entries.emplace_back(Loss::kBox, cb.zero(box_raw_v));
  } else {
    at::Tensor w_box = gather_rows(target_scores, pos).sum(-1);
    const double floor = cb.box_floor();
    at::Tensor pb = gather_rows(pred_boxes, pos);
    at::Tensor tb = gather_rows(target_boxes, pos);
    const Function ciou_fn = cb.find_ciou();
    at::Tensor iou = ciou_fn.as_loaded ? ciou(pb, tb) : cb.ciou(ciou_fn, pb, tb);
    entries.emplace_back(Loss::kBox, made(cb, box_loss(iou, w_box, floor, norm)));
  }

  // 13-14. matched slots and per-task losses
  task_entries(cb, pos, matched_gt, points, strides, entries);

  // 15. weighted total, left to right from 0
  Result out;
  out.total = cb.total(entries);

  // 16. detached statistics
  for (const auto& e : entries)
    out.stats.emplace_back(e.first, e.second.is_tensor() ? made(cb, e.second.tensor.detach())
                                                         : cb.detach(e.second));
  out.num_pos = cb.count(static_cast<double>(pos.n));
  return out;
}

// ---- _mask_loss -------------------------------------------------------------------

namespace {

// A tensor of int64 values made on the host, on `device`: an asynchronous
// copy for other devices (from pinned memory for CUDA, the one device whose
// allocator pins host memory).
at::Tensor host_longs(const std::vector<int64_t>& v, at::Device device) {
  auto cpu = at::TensorOptions().dtype(at::kLong);
  const int64_t n = static_cast<int64_t>(v.size());
  if (fused_cpu(device)) {
    at::Tensor t = at::empty({n}, cpu);
    if (n) std::memcpy(t.data_ptr<int64_t>(), v.data(), n * sizeof(int64_t));
    return t;
  }
  at::Tensor t = at::empty({n}, cpu.pinned_memory(device.is_cuda()));
  if (n) std::memcpy(t.data_ptr<int64_t>(), v.data(), n * sizeof(int64_t));
  return t.to(device, /*non_blocking=*/true);
}

}  // namespace

std::pair<Value, Value> mask_loss(Callbacks& cb) {
  at::Tensor coef = cb.fetch_tensor(Key::kCoef).to(at::kFloat);
  at::Tensor protos = cb.fetch_tensor(Key::kProtos).to(at::kFloat);
  if (protos.dim() < 2) cb.raise_unpack(2, protos.dim());
  const int64_t hm = protos.size(-2), wm = protos.size(-1);
  const bool do_refine = cb.refine_enabled();
  const at::Tensor fg_b = cb.slot(0);
  const at::Tensor fg_a = cb.slot(1);
  const at::Tensor fg_g = cb.slot(2);

  // Availability per foreground anchor: mask_valid[fg_b, fg_g] &
  // has_polygon[fg_b]; the flags are not read without foreground anchors.
  at::Tensor sel;
  if (fg_b.numel() == 0) {
    sel = at::zeros({0}, at::TensorOptions().dtype(at::kBool).device(coef.device()));
  } else {
    at::Tensor valid = cb.fetch_tensor(Key::kMaskValid);
    at::Tensor has = cb.fetch_tensor(Key::kHasPolygon);
    sel = tasks::availability(valid, has, fg_b, fg_g);
  }

  // The host needs, once, which anchors are selected and their images.
  std::vector<int64_t> pos, img;
  if (sel.numel()) {
    const int64_t n_fg = sel.numel();
    const at::Tensor pack = host_read(
        at::stack({fg_b.reshape({-1}).to(at::kLong), sel.reshape({-1}).ne(0).to(at::kLong)}));
    const int64_t* pb = pack.data_ptr<int64_t>();
    for (int64_t i = 0; i < n_fg; ++i)
      if (pb[n_fg + i]) {
        pos.push_back(i);
        img.push_back(pb[i]);
      }
  }
  if (pos.empty()) {
    // The two zeros in the order the binding always made them: protos' first.
    Value zp = cb.zero(made(cb, protos));
    Value zc = cb.zero(made(cb, coef));
    Value coarse = cb.add(zc, zp);
    Value refine;
    if (do_refine) refine = cb.zero(made(cb, cb.fetch_tensor(Key::kF2)));
    return {coarse, refine};
  }

  // Cap: a random subset of MASK_CAP instances, in permuted order.
  const int64_t n_sel = static_cast<int64_t>(pos.size());
  const int64_t cap = cb.mask_cap();
  if (n_sel > cap) {
    const int64_t keep_n = cap >= 0 ? cap : std::max<int64_t>(n_sel + cap, 0);
    at::Tensor perm =
        at::randperm(n_sel, at::TensorOptions().dtype(at::kLong).device(fg_b.device()));
    const at::Tensor keep = host_read(perm.slice(0, 0, keep_n));
    const int64_t* kp = keep.data_ptr<int64_t>();
    std::vector<int64_t> pos2(keep_n), img2(keep_n);
    for (int64_t k = 0; k < keep_n; ++k) {
      pos2[k] = pos[kp[k]];
      img2[k] = img[kp[k]];
    }
    pos.swap(pos2);
    img.swap(img2);
  }
  const int64_t n = static_cast<int64_t>(pos.size());
  if (n == 0) {
    // A cap of zero or below: nothing is accumulated.
    return {made(cb, coef.new_zeros({}) / 1), Value()};
  }

  // Images ascending, within an image the order of the (capped) selection.
  std::vector<int64_t> order(n);
  for (int64_t i = 0; i < n; ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(),
                   [&](int64_t x, int64_t y) { return img[x] < img[y]; });
  std::vector<int64_t> idx_h(n), b_h(n);
  struct Group { int64_t image, start, len; };
  std::vector<Group> groups;
  for (int64_t i = 0; i < n; ++i) {
    idx_h[i] = pos[order[i]];
    b_h[i] = img[order[i]];
    if (groups.empty() || groups.back().image != b_h[i]) groups.push_back({b_h[i], i, 0});
    groups.back().len++;
  }
  std::vector<int64_t> both(idx_h);
  both.insert(both.end(), b_h.begin(), b_h.end());
  at::Tensor both_d = host_longs(both, fg_b.device());
  at::Tensor idx = both_d.slice(0, 0, n), b = both_d.slice(0, n, 2 * n);
  at::Tensor a = fg_a.reshape({-1}).index({idx});
  at::Tensor g = fg_g.reshape({-1}).index({idx});

  // Image index of every instance, as a valid index into the batch.
  const int64_t n_img = protos.size(0);
  std::vector<int64_t> image(n);
  for (const Group& gr : groups) {
    const int64_t bi = gr.image < 0 ? gr.image + n_img : gr.image;
    if (bi < 0 || bi >= n_img) protos.select(0, gr.image);  // IndexError as indexing gives it
    std::fill(image.begin() + gr.start, image.begin() + gr.start + gr.len, bi);
  }
  at::Tensor rows = coef.index({b, a});

  at::Tensor gt_masks = cb.fetch_tensor(Key::kGtMasks);
  at::Tensor gt_boxes = cb.fetch_tensor(Key::kGtBoxes);
  at::Tensor gt_raw = gt_masks.index({b, g});
  at::Tensor boxes_px = gt_boxes.index({b, g});
  const at::Scalar s = cb.mask_stride();
  at::Tensor bounds = tasks::crop_bounds(boxes_px / s, hm, wm);

  at::Tensor total, pm, gt;
  const bool fused = !do_refine && fused_cpu(coef) && fused_cpu(protos) &&
                     protos.dim() == 4 && hm > 0 && wm > 0 && rows.dim() == 2 &&
                     rows.size(1) == protos.size(1) &&
                     gt_raw.dim() == 3 && gt_raw.size(1) == hm && gt_raw.size(2) == wm &&
                     !gt_raw.requires_grad() && !at::isComplexType(gt_raw.scalar_type());
  if (fused) {
    // Without refinement only the in-box logits are needed: they are made
    // inside the crops from the coefficient rows and the prototypes.
    total = tasks::proto_crop_bce_sum(rows, protos, host_longs(image, at::kCPU), gt_raw, bounds);
  } else {
    // Prototype product: one matrix multiplication per image. The coefficient
    // rows are gathered once and the prototypes split once, so the backward
    // pass builds one gradient of each input instead of one per image.
    std::vector<at::Tensor> parts = protos.unbind(0);
    std::vector<at::Tensor> pms;
    pms.reserve(groups.size());
    for (const Group& gr : groups) {
      at::Tensor pr = parts[image[gr.start]].reshape({protos.size(1), hm * wm});
      pms.push_back(
          at::mm(rows.slice(0, gr.start, gr.start + gr.len), pr).reshape({gr.len, hm, wm}));
    }
    pm = pms.size() == 1 ? pms[0] : at::cat(pms);
    gt = gt_raw.to(at::kFloat);
    total = tasks::crop_bce_sum(pm, gt, bounds);
  }
  Value coarse = made(cb, total / n);
  if (!do_refine) return {coarse, Value()};

  // Refine head: ROI targets of the ground-truth masks over the same boxes.
  const Function roi_align = cb.find_roi_align();
  const at::Tensor boxes_f = boxes_px.to(at::kFloat);
  const at::Tensor bidx = b.to(coef.device());
  Value boxes_all = cb.jitter(boxes_f);
  const Value f2_v = cb.fetch(Key::kF2);
  const at::Tensor& f2 = need(cb, f2_v, "f2");
  boxes_all = cb.sanitize(boxes_all, f2_v);
  const Value refined_v = cb.refine(f2, pm, boxes_all, bidx);
  const Value roi = cb.roi();
  const at::Tensor& boxes_t = need(cb, boxes_all, "boxes");
  at::Tensor inst_rois = at::cat(
      {at::arange(n, at::TensorOptions().dtype(boxes_t.scalar_type()).device(coef.device()))
           .unsqueeze(1),
       boxes_t / cb.mask_stride()},
      1);
  // Preconditions of roi_align over the masks (N, hm, wm): hm, wm > 0; finite regions, indices below N as read.
  // (NaN or infinite corners make it index outside its input.)
  if (hm == 0 || wm == 0)
    cb.raise(Error::kValue, "_mask_loss(): the masks have no pixels to sample, got size (" +
                                std::to_string(hm) + ", " + std::to_string(wm) + ")");
  if (!host_read(at::stack({at::isfinite(inst_rois).all(),
                            inst_rois.select(1, 0).max().lt(static_cast<double>(n))})
                     .all())
           .data_ptr<bool>()[0])
    cb.raise(Error::kValue,
             "_mask_loss(): the refine regions (sanitized boxes / MASK_STRIDE) must be finite");
  at::Tensor gt_roi = cb.roi_align(roi_align, gt.unsqueeze(1), inst_rois, roi)
                          .select(1, 0)
                          .clamp(0, 1);
  const at::Tensor& refined = need(cb, refined_v, "refined");
  // The dice term first, then the cross-entropy term, as the binding always
  // evaluated the two operands of their sum.
  Value dice = cb.dice(refined_v, gt_roi);
  Value bce = made(cb, tasks::bce_mean(refined, gt_roi));
  return {coarse, cb.add(bce, dice)};
}

}  // namespace losses
}  // namespace halcyra
