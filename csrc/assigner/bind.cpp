// Python name, signature and contract of halcyra.losses.assigner.assign.
#include "../pyapi/tensors.h"
#include "assigner.h"

namespace py = pybind11;
using namespace halcyra;
using pyapi::Args;

namespace {

const char* kAssignDoc =
    "Task-aligned assignment of anchors to ground truths (no gradient).\n\n"
    "Positional: scores (B, A, nc) class probabilities; pred_boxes (B, A, 4) xyxy\n"
    "predicted boxes; points (A, 2) anchor centres; gt_boxes (B, G, 4) xyxy;\n"
    "gt_cls (B, G) class indices; gt_valid (B, G) bool, false for padding slots;\n"
    "gt_ignore (B, G) bool (or None): valid slots that are ignore regions.\n"
    "Keywords: topk candidates per ground truth; alpha, beta: exponents of the\n"
    "alignment metric score(gt class) ** alpha * IoU ** beta; strides (A,) per-anchor\n"
    "strides (or None); target_floor: lower bound of the soft target at every\n"
    "positive; rescue: give each usable ground truth left without positives its\n"
    "nearest free anchor of the finest stride.\n\n"
    "Candidates of a usable ground truth (valid, not ignored) are its top-k anchors\n"
    "by metric among those whose centre lies strictly inside its box. An anchor\n"
    "claimed by several ground truths goes to the one of largest IoU. Soft targets:\n"
    "metric * (best IoU of the gt) / (best metric of the gt) at the gt's class.\n\n"
    "Returns (fg_mask (B, A) bool, matched_gt (B, A) int64 (0 at negatives),\n"
    "target_boxes (B, A, 4) float32, target_scores (B, A, nc) float32 (0 at\n"
    "negatives), ignore_mask (B, A) bool: non-positive anchors whose centre lies\n"
    "inside an ignore region).";

double float_arg(py::handle h) {
  if (pyapi::is_tensor(h)) return THPVariable_Unpack(h.ptr()).item<double>();
  double v = PyFloat_AsDouble(h.ptr());
  if (v == -1.0 && PyErr_Occurred()) throw py::error_already_set();
  return v;
}

at::Tensor optional_tensor(py::handle h, const char* arg) {
  if (h.is_none()) return at::Tensor();
  return pyapi::tensor_arg(h, "assign", arg);
}

py::object run(const Args& a, bool dense) {
  at::Tensor scores = pyapi::tensor_arg(a[0], "assign", "scores");
  at::Tensor pred = pyapi::tensor_arg(a[1], "assign", "pred_boxes");
  at::Tensor points = pyapi::tensor_arg(a[2], "assign", "points");
  at::Tensor gt_boxes = pyapi::tensor_arg(a[3], "assign", "gt_boxes");
  at::Tensor gt_cls = pyapi::tensor_arg(a[4], "assign", "gt_cls");
  at::Tensor gt_valid = pyapi::tensor_arg(a[5], "assign", "gt_valid");
  at::Tensor gt_ignore = optional_tensor(a[6], "gt_ignore");
  assigner::Options opt;
  opt.topk = pyapi::int_arg(a[7], "assign", "topk");
  opt.alpha = float_arg(a[8]);
  opt.beta = float_arg(a[9]);
  at::Tensor strides = optional_tensor(a[10], "strides");
  opt.target_floor = float_arg(a[11]);
  opt.rescue = pyapi::truthy(a[12]);
  opt.dense = dense;
  assigner::Result r;
  {
    py::gil_scoped_release nogil;
    r = assigner::assign(scores, pred, points, gt_boxes, gt_cls, gt_valid, gt_ignore, strides,
                         opt);
  }
  return py::make_tuple(pyapi::wrap(r.fg_mask), pyapi::wrap(r.matched_gt),
                        pyapi::wrap(r.target_boxes), pyapi::wrap(r.target_scores),
                        pyapi::wrap(r.ignore_mask));
}

py::object assign(const Args& a) { return run(a, false); }
py::object assign_dense(const Args& a) { return run(a, true); }

}  // namespace

PYBIND11_MODULE(assigner, m) {
  m.doc() = "Task-aligned label assigner used by the training criterion.";
  m.attr("torch") = py::module_::import("torch");
  pyapi::Module mod(m);
  mod.def("assign",
          "(scores, pred_boxes, points, gt_boxes, gt_cls, gt_valid, gt_ignore, *, "
          "topk: int = 10, alpha: float = 0.5, beta: float = 6.0, strides=None, "
          "target_floor: float = 0.0, rescue: bool = False)",
          assign, kAssignDoc,
          // Tensors (or None where the function takes None) and plain
          // numbers: the operator, whose kernel is this function's.
          {"halcyra.assign",
           "all(isinstance(t, torch.Tensor) for t in (scores, pred_boxes, points, gt_boxes, "
           "gt_cls, gt_valid)) and (gt_ignore is None or isinstance(gt_ignore, torch.Tensor)) and "
           "(strides is None or isinstance(strides, torch.Tensor)) and type(topk) is int and "
           "all(type(v) in (int, float) for v in (alpha, beta, target_floor)) and "
           "type(rescue) in (bool, int)",
           "scores, pred_boxes, points, gt_boxes, gt_cls, gt_valid, gt_ignore, topk, "
           "float(alpha), float(beta), strides, float(target_floor), bool(rescue)"});
  // The whole-tensor formulation that non-CPU devices run, callable on the
  // CPU so that the two can be compared.
  mod.def("_assign_dense",
          "(scores, pred_boxes, points, gt_boxes, gt_cls, gt_valid, gt_ignore, *, "
          "topk: int = 10, alpha: float = 0.5, beta: float = 6.0, strides=None, "
          "target_floor: float = 0.0, rescue: bool = False)",
          assign_dense, "assign() through its whole-tensor formulation on any device.");
}
