// Python names, signatures and defaults of halcyra.losses.losses: the module
// globals, ciou, dice_loss, build_class_meta and MultiTaskCriterion (its
// constructor, anchor cache, zero helper and forward pass; the per-task losses
// live in tasks.cpp). forward runs flow.h's losses::forward; the callbacks it
// reaches (binding.h's Binding) are defined here, _mask_loss's in tasks.cpp.
#include <torch/library.h>

#include <memory>
#include <string>
#include <vector>

#include "../pyapi/tensors.h"
#include "binding.h"
#include "core.h"

namespace py = pybind11;
using namespace halcyra;
using pyapi::Args;

namespace {

// The module (for late-bound globals), the class (for super()) and the
// module's own ciou (calls skip the Python layer while it is not rebound).
// Deliberately leaked: they live as long as the process.
const pyapi::Module* g_mod = nullptr;
PyObject* g_cls = nullptr;
PyObject* g_ciou = nullptr;

const char* kModuleDoc =
    "Training criterion of the multi-task detector: CIoU and Dice losses, class\n"
    "metadata from the label space and MultiTaskCriterion.";

const char* kCiouDoc =
    "Complete IoU of aligned box pairs (N, 4) xyxy, computed in float32 whatever\n"
    "the input dtype. Widths and heights are floored at EPS, EPS stabilises every\n"
    "division; the aspect trade-off weight alpha carries no gradient.\n"
    "Returns (N,) float32: iou - rho2 / c2 - alpha * v.";

const char* kDiceDoc =
    "Soft Dice loss: mean over instances of 1 - (2 sum(p t) + eps) / (sum(p) +\n"
    "sum(t) + eps), p = sigmoid(logits), dimensions after the first flattened.\n"
    "Computes in the dtype of its inputs.";

const char* kMetaDoc =
    "Per-class tables from the label space: (is_polyline (nc,) bool, kpt_sigmas\n"
    "(nc, max(num_kpts, 1)) float32). A category's `is_polyline` entry (default\n"
    "False) sets its flag; its first num_kpts `kpt_sigmas` fill its row, 0.05\n"
    "elsewhere.";

const char* kClassDoc =
    "Multi-task training criterion: classification and CIoU box losses with an\n"
    "outside task-aligned assigner, prototype masks (with an optional refine\n"
    "head), keypoints, polylines and image tags, in float32 whatever the autocast\n"
    "precision.\n\n"
    "Task masking rules:\n"
    "1. Availability of a task for an image comes from the batch's per-source\n"
    "   has_* flags, never from whether annotations happen to be present.\n"
    "2. A batch with zero valid elements for a task yields a graph-connected zero\n"
    "   (the task's prediction tensor summed times zero), never a fresh tensor.";

const char* kInitDoc =
    "Build the criterion from the model configuration (`nc`, `box_offset`,\n"
    "`tasks`), the label space, loss weight overrides (`refine_jitter` is taken\n"
    "out of them), an optional refine head and assigner setting overrides.";

const char* kAnchorsDoc =
    "Anchor points and strides for these level sizes on this device, made once\n"
    "per (tuple(feat_shapes), str(device)) key and kept for good.";

const char* kZeroDoc = "A float32 zero that is part of t's autograd graph: t.float().sum() * 0.0.";

const char* kForwardDoc =
    "Weighted multi-task loss for one batch.\n\n"
    "Assigns anchors with `assign` on detached predictions, computes the\n"
    "classification loss over available classes and non-ignored anchors, the\n"
    "CIoU box loss over the positives, then each task loss whose switch key is in\n"
    "preds. Returns (total, stats): the weighted sum of the loss entries and a\n"
    "dict of the detached entries followed by `num_pos` (host float32).";

const char* kTaskLossesDoc =
    "The per-task entries of MultiTaskCriterion.forward, as its compiled form\n"
    "calls them: the positives of fg_mask and their matched slots in\n"
    "matched_gt, then self's _mask_loss, _kpt_loss, _pline_loss and _tag_loss\n"
    "for the switch keys in preds, written into `entries`. Returns None.";

// The anchor cache as the compiler traces it: the same lookups, so that a
// compiled step fills and reads the same dictionary.
const char* kAnchorsTraced = R"(key = (tuple(feat_shapes), str(device))
cache = self._anchor_cache
if key not in cache:
    cache[key] = make_anchors(feat_shapes, STRIDES, device)
return cache[key]
)";

// What the compiler traces instead of forward: the detection terms over the
// operators (cls_loss, box_loss), the late-bound globals and the methods
// through self, then _task_losses (bound as __halcyra_op), an opaque call
// (a graph break), for the positives and the per-task losses, whose number of
// instances only the data gives. The conditions: the entries the operators
// read are tensors, the box weight floor a number, and ciou the module's own
// (a rebound ciou is called by the eager flow).
const char* kForwardWhen =
    "isinstance(preds, dict) and isinstance(batch, dict) and "
    "isinstance(preds.get('cls_raw'), torch.Tensor) and preds['cls_raw'].dim() == 3 and "
    "isinstance(preds.get('box_raw'), torch.Tensor) and "
    "isinstance(batch.get('gt_boxes'), torch.Tensor) and "
    "isinstance(batch.get('has_rect'), torch.Tensor) and "
    "isinstance(batch.get('has_polygon'), torch.Tensor) and "
    "isinstance(batch.get('has_keypoint'), torch.Tensor) and "
    "isinstance(batch.get('has_polyline'), torch.Tensor) and "
    "isinstance(self.assign_cfg, dict) and "
    "isinstance(self.assign_cfg.get('w_box_floor'), (int, float)) and "
    "getattr(ciou, '__module__', None) == __name__ and "
    "getattr(ciou, '__name__', None) == 'ciou'";
const char* kForwardTraced = R"(device = batch["gt_boxes"].device
points, strides = self._anchors(preds["feat_shapes"], device)
cls_raw = preds["cls_raw"].float()
box_raw = preds["box_raw"].float()
pred_boxes = decode_boxes(box_raw, points, strides, offset=self.box_offset)
acfg = self.assign_cfg
fg_mask, matched_gt, target_boxes, target_scores, ignore_mask = assign(
    cls_raw.detach().sigmoid(), pred_boxes.detach(), points, batch["gt_boxes"],
    batch["gt_cls"], batch["gt_valid"], batch["gt_ignore"], topk=acfg["topk"],
    alpha=acfg["alpha"], beta=acfg["beta"], strides=strides,
    target_floor=acfg["target_floor"], rescue=acfg["rescue"])
cls, norm = torch.ops.halcyra.cls_loss(
    cls_raw, target_scores, fg_mask, ignore_mask, batch["has_rect"], batch["has_polygon"],
    batch["has_keypoint"], batch["has_polyline"], self.is_polyline_cls)
entries = {"cls": cls}
box, any_ = torch.ops.halcyra.box_loss(pred_boxes, target_boxes, target_scores, fg_mask,
                                       norm, float(acfg["w_box_floor"]))
entries["box"] = torch.where(any_, box, self._zero(box_raw))
__halcyra_op(self, preds, batch, points, strides, fg_mask, matched_gt, entries)
total = 0
w = self.w
for k, v in entries.items():
    total = total + w[k] * v
stats = {k: v.detach() for k, v in entries.items()}
stats["num_pos"] = fg_mask.sum().to("cpu", torch.get_default_dtype())
return total, stats
)";

// ---- small Python helpers -------------------------------------------------

py::object call_float(py::handle h) {
  PyObject* r = PyNumber_Float(h.ptr());
  if (!r) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(r);
}

// `x.float()`
py::object to_float(py::handle h) {
  if (pyapi::is_tensor(h)) return pyapi::wrap(THPVariable_Unpack(h.ptr()).to(at::kFloat));
  return h.attr("float")();
}

at::Tensor as_tensor(py::handle h, const char* what) {
  return pyapi::tensor_arg(h, "MultiTaskCriterion.forward", what);
}

// ---- module functions -------------------------------------------------------

py::object ciou_impl(const Args& a) {
  at::Tensor b1 = pyapi::tensor_arg(a[0], "ciou", "box1");
  at::Tensor b2 = pyapi::tensor_arg(a[1], "ciou", "box2");
  return pyapi::wrap(losses::ciou(b1, b2));
}

py::object dice_impl(const Args& a) {
  at::Tensor logits = pyapi::tensor_arg(a[0], "dice_loss", "logits");
  at::Tensor targets = pyapi::tensor_arg(a[1], "dice_loss", "targets");
  at::Scalar eps;
  if (pyapi::scalar_arg(a[2], &eps))
    return pyapi::wrap(losses::dice_loss(logits, targets, eps, at::Tensor()));
  return pyapi::wrap(
      losses::dice_loss(logits, targets, 0, pyapi::tensor_arg(a[2], "dice_loss", "eps")));
}

py::object build_class_meta_impl(const Args& a) {
  py::handle labelspace = a[0];
  const int64_t nc = pyapi::int_arg(labelspace.attr("num_categories"), "zeros", "size");
  const int64_t num_kpts = pyapi::int_arg(a[1], "build_class_meta", "num_kpts");
  const int64_t cols = std::max<int64_t>(num_kpts, 1);
  at::Tensor is_pl = at::zeros({nc}, at::kBool);
  at::Tensor sig = at::full({nc, cols}, 0.05, at::kFloat);
  bool* pl = is_pl.data_ptr<bool>();
  float* sg = sig.data_ptr<float>();
  py::object stop = py::int_(num_kpts);
  py::object upto = py::reinterpret_steal<py::object>(PySlice_New(nullptr, stop.ptr(), nullptr));
  if (!upto) throw py::error_already_set();
  int64_t cid = 0;
  for (py::handle entry : py::iter(labelspace.attr("categories"))) {
    py::object flag = entry.attr("get")("is_polyline", false);
    if (cid >= nc) is_pl.index_put_({cid}, true);  // IndexError as the tensor gives it
    pl[cid] = pyapi::truthy(flag);
    py::object s = entry.attr("get")("kpt_sigmas");
    if (pyapi::truthy(s)) {
      py::object head = py::reinterpret_steal<py::object>(PyObject_GetItem(s.ptr(), upto.ptr()));
      if (!head) throw py::error_already_set();
      int64_t k = 0;
      for (py::handle v : py::iter(head)) {
        const double f = call_float(v).cast<double>();
        if (k >= cols) sig.index_put_({cid, k}, f);  // IndexError
        sg[cid * cols + k] = static_cast<float>(f);
        ++k;
      }
    }
    ++cid;
  }
  return py::make_tuple(pyapi::wrap(is_pl), pyapi::wrap(sig));
}

// ---- MultiTaskCriterion -------------------------------------------------------

py::object init_impl(const Args& a) {
  py::handle self = a[0], model_cfg = a[1], labelspace = a[2], loss_cfg = a[3],
             refine = a[4], assign_cfg = a[5];
  py::module_ builtins = py::module_::import("builtins");
  builtins.attr("super")(py::handle(g_cls), self).attr("__init__")();

  py::dict w;
  w["box"] = 7.5;
  w["cls"] = 0.5;
  w["mask"] = 2.5;
  w["kpt"] = 12.0;
  w["vis"] = 1.0;
  w["poly"] = 5.0;
  w["tag"] = 1.0;
  w["refine"] = 2.5;
  w["refine_jitter"] = 0.0;
  if (pyapi::truthy(loss_cfg)) w.attr("update")(loss_cfg);
  py::setattr(self, "refine_jitter", call_float(w.attr("pop")("refine_jitter")));

  py::dict acfg;
  acfg["topk"] = 10;
  acfg["alpha"] = 0.5;
  acfg["beta"] = 6.0;
  acfg["target_floor"] = 0.0;
  acfg["rescue"] = false;
  acfg["w_box_floor"] = self.attr("W_BOX_FLOOR");
  if (pyapi::truthy(assign_cfg)) acfg.attr("update")(assign_cfg);
  py::setattr(self, "assign_cfg", acfg);

  py::setattr(self, "box_offset", call_float(model_cfg.attr("get")("box_offset", 0.0)));
  py::setattr(self, "refine_head", refine);
  py::setattr(self, "w", w);
  py::setattr(self, "nc", pyapi::getitem(model_cfg, "nc"));
  py::object tasks = model_cfg.attr("get")("tasks", py::dict());
  if (pyapi::truthy(tasks.attr("get")("keypoint", py::dict()).attr("get")("enabled")))
    py::setattr(self, "num_kpts",
                tasks.attr("get")("keypoint", py::dict()).attr("get")("num_kpts", 0));
  else
    py::setattr(self, "num_kpts", py::int_(0));
  if (pyapi::truthy(tasks.attr("get")("polyline", py::dict()).attr("get")("enabled")))
    py::setattr(self, "n_pline",
                tasks.attr("get")("polyline", py::dict()).attr("get")("n_points", 16));
  else
    py::setattr(self, "n_pline", py::int_(0));

  py::object k = builtins.attr("max")(self.attr("num_kpts"), 1);
  std::vector<py::object> meta = pyapi::unpack(g_mod->global("build_class_meta")(labelspace, k), 2);
  py::object reg = self.attr("register_buffer");
  reg("is_polyline_cls", meta[0], py::arg("persistent") = false);
  reg("kpt_sigmas", meta[1], py::arg("persistent") = false);
  py::setattr(self, "_anchor_cache", py::dict());
  return py::none();
}

py::object anchors_impl(const Args& a) {
  py::handle self = a[0], feat_shapes = a[1], device = a[2];
  py::object key = py::make_tuple(py::tuple(py::reinterpret_borrow<py::object>(feat_shapes)),
                                  py::str(device));
  py::object cache = self.attr("_anchor_cache");
  int has = PySequence_Contains(cache.ptr(), key.ptr());
  if (has < 0) throw py::error_already_set();
  if (!has) {
    py::object made = g_mod->global("make_anchors")(feat_shapes, g_mod->global("STRIDES"), device);
    if (PyObject_SetItem(cache.ptr(), key.ptr(), made.ptr()) < 0) throw py::error_already_set();
  }
  PyObject* r = PyObject_GetItem(cache.ptr(), key.ptr());
  if (!r) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(r);
}

py::object zero_impl(const Args& a) {
  py::handle t = a[0];
  if (pyapi::is_tensor(t))
    return pyapi::wrap(THPVariable_Unpack(t.ptr()).to(at::kFloat).sum() * 0.0);
  return py::reinterpret_steal<py::object>(
      PyNumber_Multiply(to_float(t).attr("sum")().ptr(), py::float_(0.0).ptr()));
}

py::object call_kw(py::handle fn, py::tuple args, py::dict kwargs) {
  PyObject* r = PyObject_Call(fn.ptr(), args.ptr(), kwargs.ptr());
  if (!r) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(r);
}

// A handle the flow carries for a Python object (owns one reference).
std::shared_ptr<void> hold_object(py::object o) {
  return std::shared_ptr<void>(o.release().ptr(),
                               [](void* p) { Py_DECREF(static_cast<PyObject*>(p)); });
}

// _task_losses: forward's per-task part, for the compiled forward, which
// gives the compiler the detection terms and leaves the rest here.
py::object task_losses_impl(const Args& a) {
  losses::Binding binding(*g_mod, a, "MultiTaskCriterion._task_losses");
  at::Tensor fg_mask = as_tensor(a[5], "fg_mask");
  if (fg_mask.dim() != 2) pyapi::raise_unpack(2, fg_mask.dim());
  py::object entries = py::reinterpret_borrow<py::object>(a[7]);
  losses::Entries e;
  losses::task_entries(binding, losses::positives(fg_mask),
                       losses::Binding::value(py::reinterpret_borrow<py::object>(a[6])),
                       losses::Binding::value(py::reinterpret_borrow<py::object>(a[3])),
                       losses::Binding::value(py::reinterpret_borrow<py::object>(a[4])), e);
  for (const auto& entry : e)
    if (PyObject_SetItem(entries.ptr(), py::str(losses::loss_name(entry.first)).ptr(),
                         losses::Binding::object(entry.second).ptr()) < 0)
      throw py::error_already_set();
  return py::none();
}

py::object forward_impl(const Args& a) {
  losses::Binding binding(*g_mod, a, "MultiTaskCriterion.forward");
  const losses::Result r = losses::forward(binding);
  py::dict stats;
  for (const auto& e : r.stats)
    stats[losses::loss_name(e.first)] = losses::Binding::object(e.second);
  stats["num_pos"] = losses::Binding::object(r.num_pos);
  return py::make_tuple(losses::Binding::object(r.total), stats);
}

// ciou and dice_loss as composite dispatcher operators: called while
// torch.compile traces them, so the compiler sees their tensor operations.
at::Tensor op_ciou(const at::Tensor& box1, const at::Tensor& box2) {
  return losses::ciou(box1, box2);
}

at::Tensor op_dice_loss(const at::Tensor& logits, const at::Tensor& targets,
                        const at::Scalar& eps) {
  return losses::dice_loss(logits, targets, eps, at::Tensor());
}

}  // namespace

// ---- flow.h's Callbacks: the common ones and forward's ----------------------------

namespace halcyra {
namespace losses {

Value Binding::value(py::object o) {
  Value v;
  if (o.is_none()) return v;
  if (pyapi::is_tensor(o)) v.tensor = THPVariable_Unpack(o.ptr());
  v.object = hold_object(std::move(o));
  return v;
}

py::handle Binding::object(const Value& v) {
  return v.object ? py::handle(static_cast<PyObject*>(v.object.get())) : py::none();
}

py::handle Binding::dict(Key k) const { return k < Key::kHasRect ? preds_ : batch_; }

bool Binding::has(Key k) { return pyapi::contains(preds_, key_name(k)); }

Value Binding::fetch(Key k) { return value(pyapi::getitem(dict(k), key_name(k))); }

Value Binding::fetch_float(Key k) { return value(to_float(pyapi::getitem(dict(k), key_name(k)))); }

at::Tensor Binding::fetch_tensor(Key k) {
  py::object v = pyapi::getitem(dict(k), key_name(k));
  return pyapi::tensor_arg(v, fn_, key_name(k));
}

at::Tensor Binding::slot(int i) {
  static const char* const names[] = {"fg_b", "fg_a", "fg_g"};
  return pyapi::tensor_arg(a_[3 + i], fn_, names[i]);
}

void Binding::raise_not_tensor(const Value& v, const char* what) {
  pyapi::tensor_arg(object(v), fn_, what);
  throw std::logic_error("raise_not_tensor() of a tensor");
}

Value Binding::hold(const at::Tensor& t) { return value(pyapi::wrap(t)); }

std::vector<Value> Binding::unpack(const Value& v, size_t n) {
  std::vector<py::object> items = pyapi::unpack(object(v), n);
  std::vector<Value> out;
  out.reserve(n);
  for (py::object& o : items) out.push_back(value(std::move(o)));
  return out;
}

Value Binding::zero(const Value& t) { return value(self_.attr("_zero")(object(t))); }

Value Binding::add(const Value& a, const Value& b) {
  PyObject* r = PyNumber_Add(object(a).ptr(), object(b).ptr());
  if (!r) throw py::error_already_set();
  return value(py::reinterpret_steal<py::object>(r));
}

void Binding::raise_unpack(size_t n, size_t got) { pyapi::raise_unpack(n, got); }

void Binding::raise(Error, const std::string& msg) { throw py::value_error(msg); }

void Binding::unlocked(const std::function<void()>& f) {
  py::gil_scoped_release nogil;
  f();
}

Value Binding::anchors() {
  py::object device = pyapi::getitem(batch_, "gt_boxes").attr("device");
  return value(self_.attr("_anchors")(pyapi::getitem(preds_, "feat_shapes"), device));
}

Value Binding::decode_boxes(const Value& box_raw, const Value& points, const Value& strides) {
  py::dict dkw;
  dkw["offset"] = self_.attr("box_offset");
  return value(call_kw(mod_.global("decode_boxes"),
                       py::make_tuple(object(box_raw), object(points), object(strides)), dkw));
}

Value Binding::assign(const at::Tensor& scores_t, const at::Tensor& boxes, const Value& points,
                      const Value& strides) {
  py::object scores = pyapi::wrap(scores_t);
  py::tuple args = py::make_tuple(scores, pyapi::wrap(boxes), object(points),
                                  pyapi::getitem(batch_, "gt_boxes"),
                                  pyapi::getitem(batch_, "gt_cls"),
                                  pyapi::getitem(batch_, "gt_valid"),
                                  pyapi::getitem(batch_, "gt_ignore"));
  assign_cfg_ = self_.attr("assign_cfg");
  py::object& acfg = assign_cfg_;
  py::dict kw;
  kw["topk"] = pyapi::getitem(acfg, "topk");
  kw["alpha"] = pyapi::getitem(acfg, "alpha");
  kw["beta"] = pyapi::getitem(acfg, "beta");
  kw["strides"] = object(strides);
  kw["target_floor"] = pyapi::getitem(acfg, "target_floor");
  kw["rescue"] = pyapi::getitem(acfg, "rescue");
  return value(call_kw(mod_.global("assign"), args, kw));
}

at::Tensor Binding::polyline_classes() {
  return as_tensor(self_.attr("is_polyline_cls"), "is_polyline_cls");
}

void Binding::raise_target_size(const Value& target, const Value& input) {
  PyErr_SetObject(PyExc_ValueError,
                  py::str("Target size ({}) must be the same as input size ({})")
                      .format(object(target).attr("size")(), object(input).attr("size")())
                      .ptr());
  throw py::error_already_set();
}

double Binding::box_floor() {
  return call_float(pyapi::getitem(assign_cfg_, "w_box_floor")).cast<double>();
}

Function Binding::find_ciou() {
  py::object fn = mod_.global("ciou");
  Function f;
  f.as_loaded = fn.ptr() == g_ciou;
  f.object = hold_object(std::move(fn));
  return f;
}

at::Tensor Binding::ciou(const Function& fn, const at::Tensor& box1, const at::Tensor& box2) {
  py::handle f(static_cast<PyObject*>(fn.object.get()));
  return as_tensor(f(pyapi::wrap(box1), pyapi::wrap(box2)), "iou");
}

Value Binding::index(const Value& matched, const Value& fg_b, const Value& fg_a) {
  py::object r = object(matched)[py::make_tuple(object(fg_b), object(fg_a))];
  return value(std::move(r));
}

Value Binding::task(Task t, const TaskArgs& ta) {
  py::handle fb = object(ta.fg_b), fa = object(ta.fg_a), fg = object(ta.fg_g);
  switch (t) {
    case Task::kMask:
      return value(self_.attr("_mask_loss")(preds_, batch_, fb, fa, fg));
    case Task::kKpt:
      return value(self_.attr("_kpt_loss")(preds_, batch_, object(ta.points), object(ta.strides),
                                           fb, fa, fg));
    case Task::kPline:
      return value(self_.attr("_pline_loss")(preds_, batch_, object(ta.points),
                                             object(ta.strides), fb, fa, fg));
    case Task::kTag:
      return value(self_.attr("_tag_loss")(preds_, batch_));
  }
  throw std::logic_error("unknown task");
}

Value Binding::total(const Entries& entries) {
  py::object total = py::int_(0);
  py::object w = self_.attr("w");
  for (const auto& item : entries) {
    py::object wk = py::reinterpret_steal<py::object>(
        PyObject_GetItem(w.ptr(), py::str(loss_name(item.first)).ptr()));
    if (!wk) throw py::error_already_set();
    PyObject* term = PyNumber_Multiply(wk.ptr(), object(item.second).ptr());
    if (!term) throw py::error_already_set();
    py::object term_o = py::reinterpret_steal<py::object>(term);
    PyObject* sum = PyNumber_Add(total.ptr(), term_o.ptr());
    if (!sum) throw py::error_already_set();
    total = py::reinterpret_steal<py::object>(sum);
  }
  return value(std::move(total));
}

Value Binding::detach(const Value& v) { return value(object(v).attr("detach")()); }

Value Binding::count(double n) { return value(mod_.global("torch").attr("as_tensor")(n)); }

}  // namespace losses
}  // namespace halcyra

TORCH_LIBRARY_FRAGMENT(halcyra, m) {
  m.def("ciou(Tensor box1, Tensor box2) -> Tensor", TORCH_FN(op_ciou));
  m.def("dice_loss(Tensor logits, Tensor targets, Scalar eps=1.0) -> Tensor",
        TORCH_FN(op_dice_loss));
}

PYBIND11_MODULE(losses, m) {
  m.doc() = kModuleDoc;
  static const pyapi::Module* mod_ptr = new pyapi::Module(m);
  const pyapi::Module& mod = *mod_ptr;
  g_mod = mod_ptr;
  py::module_ torch = py::module_::import("torch");
  m.attr("math") = py::module_::import("math");
  m.attr("torch") = torch;
  m.attr("nn") = py::module_::import("torch.nn");
  m.attr("F") = py::module_::import("torch.nn.functional");
  py::module_ decode = py::module_::import("halcyra.infer.decode");
  for (const char* name : {"STRIDES", "decode_boxes", "decode_points", "make_anchors"})
    m.attr(name) = decode.attr(name);
  m.attr("assign") = py::module_::import("halcyra.losses.assigner").attr("assign");
  m.attr("EPS") = losses::kEps;
  g_ciou = mod.def("ciou", "(box1: torch.Tensor, box2: torch.Tensor) -> torch.Tensor",
                   ciou_impl, kCiouDoc,
                   {"halcyra.ciou",
                    "isinstance(box1, torch.Tensor) and isinstance(box2, torch.Tensor)"})
               .release()
               .ptr();
  mod.def("build_class_meta", "(labelspace, num_kpts: int)", build_class_meta_impl, kMetaDoc);
  losses::def_jitter_rois(mod);
  mod.def("dice_loss",
          "(logits: torch.Tensor, targets: torch.Tensor, eps: float = 1.0) -> torch.Tensor",
          dice_impl, kDiceDoc,
          {"halcyra.dice_loss",
           "isinstance(logits, torch.Tensor) and isinstance(targets, torch.Tensor) and "
           "isinstance(eps, (int, float))"});

  py::dict ns;
  ns["MASK_STRIDE"] = 2;
  ns["MASK_CAP"] = 64;
  ns["W_BOX_FLOOR"] = 0.0;
  ns["__init__"] = mod.function(
      "__init__", "MultiTaskCriterion.__init__",
      "(self, model_cfg: dict, labelspace, loss_cfg: dict | None = None, refine=None, "
      "assign_cfg: dict | None = None)",
      init_impl, kInitDoc);
  ns["_anchors"] = mod.function("_anchors", "MultiTaskCriterion._anchors",
                                "(self, feat_shapes, device)", anchors_impl, kAnchorsDoc,
                                {nullptr, nullptr, nullptr, kAnchorsTraced});
  ns["_zero"] = py::module_::import("builtins")
                    .attr("staticmethod")(mod.function("_zero", "MultiTaskCriterion._zero",
                                                       "(t: torch.Tensor) -> torch.Tensor",
                                                       zero_impl, kZeroDoc,
                                                       {nullptr, nullptr, nullptr,
                                                        "return t.float().sum() * 0.0\n"}));
  // Not exported: only the compiled forward calls it.
  static PyObject* task_losses =
      mod.function("_task_losses", "MultiTaskCriterion._task_losses",
                   "(self, preds, batch, points, strides, fg_mask, matched_gt, entries)",
                   task_losses_impl, kTaskLossesDoc)
          .release()
          .ptr();
  ns["forward"] = mod.function("forward", "MultiTaskCriterion.forward",
                               "(self, preds: dict, batch: dict)", forward_impl, kForwardDoc,
                               {nullptr, kForwardWhen, nullptr, kForwardTraced, task_losses});
  losses::add_task_methods(mod, ns);
  g_cls = mod.make_class("MultiTaskCriterion", torch.attr("nn").attr("Module"), ns, kClassDoc)
              .release()
              .ptr();
}
