// Python side of the per-task criterion losses: the methods _mask_loss,
// _kpt_loss, _pline_loss and _tag_loss of MultiTaskCriterion, the module
// function _jitter_rois, and the callbacks of _mask_loss's flow (flow.h). Everything
// configurable is read through `self` and through the module's globals at call
// time, as the equivalent Python reads it.
#include <string>
#include <utility>

#include "../pyapi/tensors.h"
#include "binding.h"
#include "tasks.h"

namespace py = pybind11;

namespace halcyra {
namespace losses {
namespace {

using pyapi::Args;
using pyapi::wrap;

const pyapi::Module* g_mod = nullptr;  // the losses module (lives as long as the process)

const char* kJitterDoc =
    "Randomly perturb refine-head training ROIs, approximating the noise of\n"
    "predicted boxes: per box a scale of +-scale of each side (default +-10 %) and\n"
    "a shift of the centre by +-shift of the unscaled side (default +-5 %), from\n"
    "torch.rand on the device of `boxes`. boxes: (N, 4) xyxy. Returns a new\n"
    "(N, 4) xyxy tensor; no clamping, ordering or minimum size is applied.";

const char* kMaskDoc = "Returns (coarse prototype loss, refine loss | None).";

const char* kKptDoc =
    "Returns (keypoint location loss, visibility loss). Location: mean over\n"
    "labeled keypoints (v >= 1) of 1 - OKS similarity (per-class sigmas, the\n"
    "ground-truth box area as scale) plus 0.2 * distance / sqrt(area). Visibility:\n"
    "BCE of the labeled logits over every keypoint of the selected instances.\n"
    "Supervised where kpt_valid and has_keypoint hold; graph-connected zeros\n"
    "otherwise.";

const char* kPlineDoc =
    "Direction-free polyline loss: smooth L1 in units of the anchor stride between\n"
    "the decoded points and the ground truth, in both point orders, the smaller\n"
    "one per instance, averaged over instances. Supervised where pline_valid and\n"
    "has_polyline hold; a graph-connected zero otherwise.";

const char* kTagDoc =
    "Image tag loss: BCE with logits over the tags of the images whose source\n"
    "provides tags (has_tags); a graph-connected zero when there is none.";

// What the compiler traces instead of the keypoint, polyline and tag methods:
// one operator each over the whole batch's tensors (halcyra::kpt_loss, ...),
// which selects the instances itself, and the method's own zero where it
// selects none. The conditions: every entry the operator reads is present
// and a tensor (otherwise the method runs as it does in eager mode).
const char* kKptWhen =
    "isinstance(preds.get('kpt_raw'), torch.Tensor) and "
    "isinstance(batch.get('kpt_valid'), torch.Tensor) and "
    "isinstance(batch.get('has_keypoint'), torch.Tensor) and "
    "isinstance(batch.get('gt_kpts'), torch.Tensor) and "
    "isinstance(batch.get('gt_boxes'), torch.Tensor) and "
    "isinstance(batch.get('gt_cls'), torch.Tensor) and "
    "isinstance(self.num_kpts, int) and isinstance(EPS, float)";
const char* kKptTraced = R"(raw = preds["kpt_raw"].float()
loc, vis, any_ = __halcyra_op(raw, points, strides, fg_b, fg_a, fg_g, batch["kpt_valid"],
                              batch["has_keypoint"], batch["gt_kpts"], batch["gt_boxes"],
                              batch["gt_cls"], self.kpt_sigmas, self.num_kpts, EPS)
return torch.where(any_, loc, self._zero(raw)), torch.where(any_, vis, self._zero(raw))
)";

const char* kPlineWhen =
    "isinstance(preds.get('pline_raw'), torch.Tensor) and "
    "isinstance(batch.get('pline_valid'), torch.Tensor) and "
    "isinstance(batch.get('has_polyline'), torch.Tensor) and "
    "isinstance(batch.get('gt_plines'), torch.Tensor)";
const char* kPlineTraced = R"(raw = preds["pline_raw"].float()
decoded = decode_points(raw, points, strides, self.n_pline)
loss, any_ = __halcyra_op(decoded, strides, fg_b, fg_a, fg_g, batch["pline_valid"],
                          batch["has_polyline"], batch["gt_plines"])
return torch.where(any_, loss, self._zero(raw))
)";

const char* kTagWhen =
    "isinstance(preds.get('tag_logits'), torch.Tensor) and "
    "isinstance(batch.get('has_tags'), torch.Tensor) and "
    "isinstance(batch.get('gt_tags'), torch.Tensor)";
const char* kTagTraced = R"(logits = preds["tag_logits"].float()
loss, any_ = __halcyra_op(logits, batch["has_tags"], batch["gt_tags"])
return torch.where(any_, loss, self._zero(logits))
)";

// ---- small Python helpers --------------------------------------------------

at::Tensor item_tensor(py::handle dict, const char* key, const char* fn) {
  py::object v = pyapi::getitem(dict, key);
  return pyapi::tensor_arg(v, fn, key);
}

// `t.float()`
at::Tensor as_float(const at::Tensor& t) { return t.to(at::kFloat); }

py::object call_zero(py::handle self, const at::Tensor& t) {
  return self.attr("_zero")(wrap(t));
}

at::Scalar number_attr(py::handle self, const char* name) {
  py::object v = self.attr(name);
  at::Scalar s;
  if (pyapi::scalar_arg(v, &s)) return s;
  if (pyapi::is_tensor(v)) return THPVariable_Unpack(v.ptr()).item();
  pyapi::raise_type_error(std::string("'") + name + "' must be a number, not " +
                          Py_TYPE(v.ptr())->tp_name);
}

py::object py_float(py::handle v) {
  PyObject* r = PyNumber_Float(v.ptr());
  if (!r) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(r);
}

// Availability of a task per foreground anchor: flag_valid[fg_b, fg_g] &
// has_flag[fg_b]; an empty bool tensor on `device` when there is no
// foreground anchor (the flags are then not read).
at::Tensor availability(py::handle batch, const char* valid_key, const char* has_key,
                        const at::Tensor& fg_b, const at::Tensor& fg_g, at::Device device,
                        const char* fn) {
  if (fg_b.numel() == 0) return at::zeros({0}, at::TensorOptions().dtype(at::kBool).device(device));
  at::Tensor valid = item_tensor(batch, valid_key, fn);
  at::Tensor has = item_tensor(batch, has_key, fn);
  return tasks::availability(valid, has, fg_b, fg_g);
}

// ---- _jitter_rois ----------------------------------------------------------

tasks::Num num_arg(py::handle h, const char* arg) {
  tasks::Num n;
  if (pyapi::scalar_arg(h, &n.s)) return n;
  if (pyapi::is_tensor(h)) {
    n.t = THPVariable_Unpack(h.ptr());
    return n;
  }
  // Numbers only (anything with __float__, __index__ or __int__): float()
  // would also parse strings, which Python's arithmetic on boxes rejects.
  PyObject* f = PyNumber_Check(h.ptr()) ? PyNumber_Float(h.ptr()) : nullptr;
  if (!f) {
    PyErr_Clear();
    pyapi::raise_type_error(std::string("_jitter_rois(): '") + arg +
                            "' must be a number or a tensor, not " + Py_TYPE(h.ptr())->tp_name);
  }
  n.s = at::Scalar(PyFloat_AS_DOUBLE(f));
  Py_DECREF(f);
  return n;
}

py::object jitter_rois(const Args& a) {
  at::Tensor boxes = pyapi::tensor_arg(a[0], "_jitter_rois", "boxes");
  return wrap(tasks::jitter_rois(boxes, num_arg(a[1], "scale"), num_arg(a[2], "shift")));
}

// ---- _mask_loss ------------------------------------------------------------

py::object mask_loss(const Args& args) {
  Binding binding(*g_mod, args, "_mask_loss");
  const std::pair<Value, Value> r = losses::mask_loss(binding);
  return py::make_tuple(Binding::object(r.first), Binding::object(r.second));
}

// ---- _kpt_loss ---------------------------------------------------------------

py::object kpt_loss(const Args& args) {
  static const char* fn = "_kpt_loss";
  py::handle self = args[0], preds = args[1], batch = args[2];
  at::Tensor raw = as_float(item_tensor(preds, "kpt_raw", fn));
  py::object k_obj = self.attr("num_kpts");
  at::Tensor points = pyapi::tensor_arg(args[3], fn, "points");
  at::Tensor strides = pyapi::tensor_arg(args[4], fn, "strides");
  at::Tensor fg_b = pyapi::tensor_arg(args[5], fn, "fg_b");
  at::Tensor fg_a = pyapi::tensor_arg(args[6], fn, "fg_a");
  at::Tensor fg_g = pyapi::tensor_arg(args[7], fn, "fg_g");
  at::Tensor sel = availability(batch, "kpt_valid", "has_keypoint", fg_b, fg_g, raw.device(), fn);
  at::Tensor idx = tasks::selected(sel);
  if (idx.numel() == 0) return py::make_tuple(call_zero(self, raw), call_zero(self, raw));
  at::Tensor b = fg_b.index({idx}), a = fg_a.index({idx}), g = fg_g.index({idx});
  const int64_t k = pyapi::int_arg(k_obj, fn, "num_kpts");
  at::Tensor gt_kpts = item_tensor(batch, "gt_kpts", fn);
  at::Tensor gt_boxes = item_tensor(batch, "gt_boxes", fn);
  at::Tensor sig_table = pyapi::tensor_arg(self.attr("kpt_sigmas"), fn, "kpt_sigmas");
  at::Tensor gt_cls = item_tensor(batch, "gt_cls", fn);
  at::Scalar eps_s;
  py::object eps_obj = g_mod->global("EPS");
  if (!pyapi::scalar_arg(eps_obj, &eps_s)) eps_s = at::Scalar(py_float(eps_obj).cast<double>());
  auto res = tasks::kpt_selected(raw, points, strides, b, a, g, gt_kpts, gt_boxes, gt_cls,
                                 sig_table, k, eps_s.toDouble());
  return py::make_tuple(wrap(res.first), wrap(res.second));
}

// ---- _pline_loss -------------------------------------------------------------

py::object pline_loss(const Args& args) {
  static const char* fn = "_pline_loss";
  py::handle self = args[0], preds = args[1], batch = args[2];
  at::Tensor raw = as_float(item_tensor(preds, "pline_raw", fn));
  py::object n_obj = self.attr("n_pline");
  at::Tensor strides = pyapi::tensor_arg(args[4], fn, "strides");
  at::Tensor fg_b = pyapi::tensor_arg(args[5], fn, "fg_b");
  at::Tensor fg_a = pyapi::tensor_arg(args[6], fn, "fg_a");
  at::Tensor fg_g = pyapi::tensor_arg(args[7], fn, "fg_g");
  at::Tensor sel =
      availability(batch, "pline_valid", "has_polyline", fg_b, fg_g, raw.device(), fn);
  at::Tensor idx = tasks::selected(sel);
  if (idx.numel() == 0) return call_zero(self, raw);
  at::Tensor b = fg_b.index({idx}), a = fg_a.index({idx}), g = fg_g.index({idx});
  py::object decoded = g_mod->global("decode_points")(wrap(raw), args[3], args[4], n_obj);
  at::Tensor q = pyapi::tensor_arg(decoded, fn, "decoded points");
  return wrap(tasks::pline_selected(q, strides, b, a, g, item_tensor(batch, "gt_plines", fn)));
}

// ---- _tag_loss ---------------------------------------------------------------

py::object tag_loss(const Args& args) {
  static const char* fn = "_tag_loss";
  py::handle self = args[0], preds = args[1], batch = args[2];
  at::Tensor logits = as_float(item_tensor(preds, "tag_logits", fn));
  at::Tensor avail = item_tensor(batch, "has_tags", fn);
  at::Tensor idx = tasks::selected(avail);
  if (idx.numel() == 0) return call_zero(self, logits);
  at::Tensor gt = as_float(item_tensor(batch, "gt_tags", fn).index({idx}));
  return wrap(tasks::bce_mean(logits.index({idx}), gt));
}

}  // namespace

void def_jitter_rois(const pyapi::Module& mod) {
  if (!g_mod) g_mod = new pyapi::Module(mod);
  mod.def("_jitter_rois", "(boxes, scale=0.1, shift=0.05)", jitter_rois, kJitterDoc);
}

void add_task_methods(const pyapi::Module& mod, py::dict ns) {
  if (!g_mod) g_mod = new pyapi::Module(mod);
  ns["_mask_loss"] = mod.function("_mask_loss", "MultiTaskCriterion._mask_loss",
                                  "(self, preds, batch, fg_b, fg_a, fg_g)", mask_loss, kMaskDoc);
  ns["_kpt_loss"] = mod.function("_kpt_loss", "MultiTaskCriterion._kpt_loss",
                                 "(self, preds, batch, points, strides, fg_b, fg_a, fg_g)",
                                 kpt_loss, kKptDoc,
                                 {"halcyra.kpt_loss", kKptWhen, nullptr, kKptTraced});
  ns["_pline_loss"] = mod.function("_pline_loss", "MultiTaskCriterion._pline_loss",
                                   "(self, preds, batch, points, strides, fg_b, fg_a, fg_g)",
                                   pline_loss, kPlineDoc,
                                   {"halcyra.pline_loss", kPlineWhen, nullptr, kPlineTraced});
  ns["_tag_loss"] = mod.function("_tag_loss", "MultiTaskCriterion._tag_loss",
                                 "(self, preds, batch)", tag_loss, kTagDoc,
                                 {"halcyra.tag_loss", kTagWhen, nullptr, kTagTraced});
}

// ---- flow.h's Callbacks of _mask_loss ------------------------------------------

bool Binding::refine_enabled() {
  head_ = self_.attr("refine_head");
  return !head_.is_none() && pyapi::contains(preds_, "f2");
}

int64_t Binding::mask_cap() { return pyapi::int_arg(self_.attr("MASK_CAP"), fn_, "MASK_CAP"); }

at::Scalar Binding::mask_stride() { return number_attr(self_, "MASK_STRIDE"); }

Function Binding::find_roi_align() {
  Function f;
  f.object = value(py::module_::import("torchvision.ops").attr("roi_align")).object;
  return f;
}

Value Binding::jitter(const at::Tensor& boxes) {
  py::object boxes_all = wrap(boxes);
  py::object training = self_.attr("training");
  if (pyapi::truthy(training)) {
    py::object jit = self_.attr("refine_jitter");
    py::object zero = py::int_(0);
    int gt0 = PyObject_RichCompareBool(jit.ptr(), zero.ptr(), Py_GT);
    if (gt0 < 0) throw py::error_already_set();
    if (gt0) {
      PyObject* half = PyNumber_TrueDivide(jit.ptr(), py::int_(2).ptr());
      if (!half) throw py::error_already_set();
      boxes_all = mod_.global("_jitter_rois")(boxes_all, jit,
                                              py::reinterpret_steal<py::object>(half));
    }
  }
  return value(std::move(boxes_all));
}

Value Binding::sanitize(const Value& boxes, const Value& f2) {
  py::object last2 =
      py::reinterpret_steal<py::object>(PySlice_New(py::int_(-2).ptr(), Py_None, Py_None));
  if (!last2) throw py::error_already_set();
  py::object size = object(f2).attr("shape")[last2];
  py::object stride_f = py_float(self_.attr("MASK_STRIDE"));
  return value(head_.attr("sanitize")(object(boxes), size, stride_f));
}

Value Binding::refine(const at::Tensor& f2, const at::Tensor& coarse, const Value& boxes,
                      const at::Tensor& bidx) {
  return value(head_(wrap(as_float(f2)), wrap(coarse), object(boxes), wrap(bidx),
                     py_float(self_.attr("MASK_STRIDE"))));
}

Value Binding::roi() { return value(head_.attr("roi")); }

at::Tensor Binding::roi_align(const Function& fn, const at::Tensor& masks, const at::Tensor& rois,
                              const Value& roi) {
  py::handle f(static_cast<PyObject*>(fn.object.get()));
  py::dict kw;
  kw["spatial_scale"] = 1.0;
  kw["aligned"] = true;
  py::object sampled = f(wrap(masks), wrap(rois), py::make_tuple(object(roi), object(roi)), **kw);
  return pyapi::tensor_arg(sampled, fn_, "roi_align");
}

Value Binding::dice(const Value& refined, const at::Tensor& target) {
  return value(mod_.global("dice_loss")(object(refined), wrap(target)));
}

}  // namespace losses
}  // namespace halcyra
