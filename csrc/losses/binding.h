// The Python side of halcyra.losses.losses: the task methods and _jitter_rois
// (tasks.cpp), and flow.h's Callbacks over one call of forward or _mask_loss.
// bind.cpp implements the callbacks forward reaches and the common ones,
// tasks.cpp those of _mask_loss.
#pragma once

#include "../pyapi/tensors.h"
#include "flow.h"

namespace halcyra {
namespace losses {

// Defines the module-level function `_jitter_rois` on the module.
void def_jitter_rois(const pyapi::Module& mod);
// Adds the methods _mask_loss, _kpt_loss, _pline_loss, _tag_loss (pyapi
// Functions, qualname "MultiTaskCriterion.<name>") to the class namespace.
void add_task_methods(const pyapi::Module& mod, pybind11::dict ns);

// One call's arguments: self, preds, batch, and for _mask_loss fg_b, fg_a,
// fg_g. `fn` names the method in TypeErrors ("MultiTaskCriterion.forward",
// "_mask_loss").
class Binding final : public Callbacks {
 public:
  Binding(const pyapi::Module& mod, const pyapi::Args& a, const char* fn)
      : mod_(mod), a_(a), fn_(fn), self_(a[0]), preds_(a[1]), batch_(a[2]) {}

  // A Python object as a flow value (None as the null handle), and back.
  static Value value(pybind11::object o);
  static pybind11::handle object(const Value& v);

  // common (bind.cpp)
  bool has(Key k) override;
  Value fetch(Key k) override;
  Value fetch_float(Key k) override;
  at::Tensor fetch_tensor(Key k) override;
  at::Tensor slot(int i) override;
  [[noreturn]] void raise_not_tensor(const Value& v, const char* what) override;
  Value hold(const at::Tensor& t) override;
  std::vector<Value> unpack(const Value& v, size_t n) override;
  Value zero(const Value& t) override;
  Value add(const Value& a, const Value& b) override;
  [[noreturn]] void raise_unpack(size_t n, size_t got) override;
  [[noreturn]] void raise(Error kind, const std::string& msg) override;
  void unlocked(const std::function<void()>& f) override;

  // forward (bind.cpp)
  Value anchors() override;
  Value decode_boxes(const Value& box_raw, const Value& points, const Value& strides) override;
  Value assign(const at::Tensor& scores, const at::Tensor& boxes, const Value& points,
               const Value& strides) override;
  at::Tensor polyline_classes() override;
  [[noreturn]] void raise_target_size(const Value& target, const Value& input) override;
  double box_floor() override;
  Function find_ciou() override;
  at::Tensor ciou(const Function& fn, const at::Tensor& box1, const at::Tensor& box2) override;
  Value index(const Value& matched, const Value& fg_b, const Value& fg_a) override;
  Value task(Task t, const TaskArgs& ta) override;
  Value total(const Entries& e) override;
  Value detach(const Value& v) override;
  Value count(double n) override;

  // _mask_loss (tasks.cpp)
  bool refine_enabled() override;
  int64_t mask_cap() override;
  at::Scalar mask_stride() override;
  Function find_roi_align() override;
  Value jitter(const at::Tensor& boxes) override;
  Value sanitize(const Value& boxes, const Value& f2) override;
  Value refine(const at::Tensor& f2, const at::Tensor& coarse, const Value& boxes,
               const at::Tensor& bidx) override;
  Value roi() override;
  at::Tensor roi_align(const Function& fn, const at::Tensor& masks, const at::Tensor& rois,
                       const Value& roi) override;
  Value dice(const Value& refined, const at::Tensor& target) override;

 private:
  pybind11::handle dict(Key k) const;

  const pyapi::Module& mod_;
  pyapi::Args a_;
  const char* fn_;
  pybind11::handle self_, preds_, batch_;
  pybind11::object assign_cfg_;  // self.assign_cfg as assign() read it
  pybind11::object head_;        // self.refine_head as refine_enabled() read it
};

}  // namespace losses
}  // namespace halcyra
