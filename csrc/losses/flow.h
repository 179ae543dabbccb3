// The flow of MultiTaskCriterion.forward (anchors, assignment, classification
// and box losses, the per-task losses, the weighted total and the detached
// statistics) and of its _mask_loss (selection, the MASK_CAP subset, the
// prototype loss, the refine head's loss). Plain C++ over at::Tensor and C++
// values; the numerics are core.h's and tasks.h's.
//
// What only the caller's runtime can do is reached through Callbacks: the
// entries of the preds and batch dictionaries, the criterion's attributes and
// its methods (which subclasses override), the module's late-bound functions,
// the refine head, Python's arithmetic and conversions on values that are not
// tensors, and the interpreter's exceptions. The flow calls them in the order
// in which the criterion reaches them, so that a call fails where it always did.
#pragma once

#include <ATen/ATen.h>

#include "core.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace halcyra {
namespace losses {

// The entries of preds and batch that the flows read.
enum class Key {
  // preds
  kClsRaw, kBoxRaw, kCoef, kProtos, kF2, kKptRaw, kPlineRaw, kTagLogits,
  // batch
  kHasRect, kHasPolygon, kHasKeypoint, kHasPolyline, kMaskValid, kGtMasks, kGtBoxes
};

inline const char* key_name(Key k) {
  switch (k) {
    case Key::kClsRaw: return "cls_raw";
    case Key::kBoxRaw: return "box_raw";
    case Key::kCoef: return "coef";
    case Key::kProtos: return "protos";
    case Key::kF2: return "f2";
    case Key::kKptRaw: return "kpt_raw";
    case Key::kPlineRaw: return "pline_raw";
    case Key::kTagLogits: return "tag_logits";
    case Key::kHasRect: return "has_rect";
    case Key::kHasPolygon: return "has_polygon";
    case Key::kHasKeypoint: return "has_keypoint";
    case Key::kHasPolyline: return "has_polyline";
    case Key::kMaskValid: return "mask_valid";
    case Key::kGtMasks: return "gt_masks";
    case Key::kGtBoxes: return "gt_boxes";
  }
  return "";
}

// The entries of the loss (and statistics) dictionary, in their order.
enum class Loss { kCls, kBox, kMask, kRefine, kKpt, kVis, kPoly, kTag };

inline const char* loss_name(Loss l) {
  switch (l) {
    case Loss::kCls: return "cls";
    case Loss::kBox: return "box";
    case Loss::kMask: return "mask";
    case Loss::kRefine: return "refine";
    case Loss::kKpt: return "kpt";
    case Loss::kVis: return "vis";
    case Loss::kPoly: return "poly";
    case Loss::kTag: return "tag";
  }
  return "";
}

// The per-task methods forward calls through the criterion.
enum class Task { kMask, kKpt, kPline, kTag };

// A value the caller produced: `tensor` when it is a tensor; `object` an
// opaque handle of the caller's object, only ever passed back to Callbacks
// (null for None).
struct Value {
  at::Tensor tensor;
  std::shared_ptr<void> object;
  bool is_tensor() const { return tensor.defined(); }
  bool is_none() const { return !object; }
};

// A function of the module as looked up now: an opaque handle of the
// caller's object, and whether it is the one the module was loaded with
// (which the flow's own paths reproduce).
struct Function {
  std::shared_ptr<void> object;
  bool as_loaded = false;
};

// What forward passes to the per-task methods: the anchors as _anchors
// returned them and the matched slots of the positives (fg_g is fg_a itself
// where there is no positive).
struct TaskArgs {
  Value points, strides;
  Value fg_b, fg_a, fg_g;
};

using Entries = std::vector<std::pair<Loss, Value>>;

enum class Error { kValue };

struct Callbacks {
  virtual ~Callbacks() = default;

  // ---- the dictionaries and the values the caller gave
  virtual bool has(Key k) = 0;               // `key in preds`
  virtual Value fetch(Key k) = 0;            // preds[key]
  virtual Value fetch_float(Key k) = 0;      // preds[key].float()
  virtual at::Tensor fetch_tensor(Key k) = 0;  // preds[key] or batch[key], which must be a tensor
  // The method's fg_b, fg_a or fg_g argument (i = 0, 1, 2), which must be a tensor.
  virtual at::Tensor slot(int i) = 0;
  // TypeError: `what` must be a tensor, not the type of v's object.
  [[noreturn]] virtual void raise_not_tensor(const Value& v, const char* what) = 0;
  virtual Value hold(const at::Tensor& t) = 0;  // the tensor as a value of the caller's
  // `a, b, ... = v`: exactly n items, else ValueError.
  virtual std::vector<Value> unpack(const Value& v, size_t n) = 0;

  // ---- forward: the criterion's methods and attributes, the module's functions
  virtual Value anchors() = 0;  // self._anchors(preds["feat_shapes"], batch["gt_boxes"].device)
  virtual Value decode_boxes(const Value& box_raw, const Value& points,
                             const Value& strides) = 0;  // at self.box_offset
  // assign(scores, boxes, points, batch's gt entries, **self.assign_cfg's settings)
  virtual Value assign(const at::Tensor& scores, const at::Tensor& boxes, const Value& points,
                       const Value& strides) = 0;
  virtual at::Tensor polyline_classes() = 0;  // self.is_polyline_cls, a tensor
  // The ValueError of binary_cross_entropy_with_logits for these sizes.
  [[noreturn]] virtual void raise_target_size(const Value& target, const Value& input) = 0;
  virtual double box_floor() = 0;  // float(assign_cfg["w_box_floor"]) of the same assign_cfg
  virtual Function find_ciou() = 0;
  virtual at::Tensor ciou(const Function& fn, const at::Tensor& box1, const at::Tensor& box2) = 0;
  virtual Value index(const Value& matched, const Value& fg_b, const Value& fg_a) = 0;  // v[fg_b, fg_a]
  virtual Value task(Task t, const TaskArgs& a) = 0;  // self._<task>_loss(preds, batch, ...)
  virtual Value zero(const Value& t) = 0;             // self._zero(t)
  virtual Value total(const Entries& e) = 0;  // 0 + w[k] * v + ... left to right, w = self.w
  virtual Value detach(const Value& v) = 0;   // v.detach() of a value that is not a tensor
  virtual Value count(double n) = 0;          // torch.as_tensor(n)

  // ---- _mask_loss
  virtual bool refine_enabled() = 0;  // self.refine_head is not None and "f2" in preds
  virtual int64_t mask_cap() = 0;     // self.MASK_CAP, an integer
  virtual at::Scalar mask_stride() = 0;  // self.MASK_STRIDE, a number
  virtual Function find_roi_align() = 0;
  // The regions' boxes: `boxes`, through the module's _jitter_rois in training
  // with a refine_jitter above zero.
  virtual Value jitter(const at::Tensor& boxes) = 0;
  // head.sanitize(boxes, f2.shape[-2:], float(self.MASK_STRIDE))
  virtual Value sanitize(const Value& boxes, const Value& f2) = 0;
  // head(f2.float(), coarse, boxes, bidx, float(self.MASK_STRIDE))
  virtual Value refine(const at::Tensor& f2, const at::Tensor& coarse, const Value& boxes,
                       const at::Tensor& bidx) = 0;
  virtual Value roi() = 0;  // head.roi
  // roi_align(masks, rois, (roi, roi), spatial_scale=1.0, aligned=True), a tensor
  virtual at::Tensor roi_align(const Function& fn, const at::Tensor& masks, const at::Tensor& rois,
                               const Value& roi) = 0;
  virtual Value dice(const Value& refined, const at::Tensor& target) = 0;  // dice_loss(...)
  virtual Value add(const Value& a, const Value& b) = 0;                     // a + b

  // ---- the runtime
  [[noreturn]] virtual void raise_unpack(size_t n, size_t got) = 0;
  [[noreturn]] virtual void raise(Error kind, const std::string& msg) = 0;
  // Runs f without holding the interpreter (no callback may run inside).
  virtual void unlocked(const std::function<void()>& f) = 0;
};

// forward's result: the total and the statistics (the detached entries, then
// num_pos).
struct Result {
  Value total;
  Entries stats;
  Value num_pos;
};

// MultiTaskCriterion.forward for one batch.
Result forward(Callbacks& cb);

// Steps 13-14 of forward: the matched slots of the positives `pos` in
// matched_gt (fg_a itself where there is no positive), then each task loss
// whose switch key is in preds, appended to `entries`. The compiled forward
// calls this part alone.
void task_entries(Callbacks& cb, const Positives& pos, const Value& matched_gt,
                  const Value& points, const Value& strides, Entries& entries);

// MultiTaskCriterion._mask_loss: (coarse loss, refine loss; None where the
// refine branch does not run).
std::pair<Value, Value> mask_loss(Callbacks& cb);

}  // namespace losses
}  // namespace halcyra
