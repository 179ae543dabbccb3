// Python side of the per-task criterion losses: the methods _mask_loss,
// _kpt_loss, _pline_loss and _tag_loss of MultiTaskCriterion and the module
// function _jitter_rois. Everything configurable is read through `self` and
// through the module's globals at call time, as the equivalent Python reads it.
#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "../pyapi/compat.h"
#include "../pyapi/tensors.h"
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

py::object py_add(py::handle a, py::handle b) {
  PyObject* r = PyNumber_Add(a.ptr(), b.ptr());
  if (!r) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(r);
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
  static const char* fn = "_mask_loss";
  py::handle self = args[0], preds = args[1], batch = args[2];
  at::Tensor coef = as_float(item_tensor(preds, "coef", fn));
  at::Tensor protos = as_float(item_tensor(preds, "protos", fn));
  if (protos.dim() < 2) pyapi::raise_unpack(2, protos.dim());
  const int64_t hm = protos.size(-2), wm = protos.size(-1);
  py::object head = self.attr("refine_head");
  const bool do_refine = !head.is_none() && pyapi::contains(preds, "f2");
  at::Tensor fg_b = pyapi::tensor_arg(args[3], fn, "fg_b");
  at::Tensor fg_a = pyapi::tensor_arg(args[4], fn, "fg_a");
  at::Tensor fg_g = pyapi::tensor_arg(args[5], fn, "fg_g");

  at::Tensor sel = availability(batch, "mask_valid", "has_polygon", fg_b, fg_g, coef.device(), fn);

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
    py::object coarse = py_add(call_zero(self, coef), call_zero(self, protos));
    py::object refine = py::none();
    if (do_refine) refine = call_zero(self, item_tensor(preds, "f2", fn));
    return py::make_tuple(coarse, refine);
  }

  // Cap: a random subset of MASK_CAP instances, in permuted order.
  const int64_t n_sel = static_cast<int64_t>(pos.size());
  const int64_t cap = pyapi::int_arg(self.attr("MASK_CAP"), fn, "MASK_CAP");
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
    at::Tensor coarse = coef.new_zeros({}) / 1;
    return py::make_tuple(wrap(coarse), py::none());
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

  at::Tensor gt_masks = item_tensor(batch, "gt_masks", fn);
  at::Tensor gt_boxes = item_tensor(batch, "gt_boxes", fn);
  at::Tensor gt_raw = gt_masks.index({b, g});
  at::Tensor boxes_px = gt_boxes.index({b, g});
  const at::Scalar s = number_attr(self, "MASK_STRIDE");
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
    gt = as_float(gt_raw);
    total = tasks::crop_bce_sum(pm, gt, bounds);
  }
  py::object coarse = wrap(total / n);
  if (!do_refine) return py::make_tuple(coarse, py::none());

  // Refine head: ROI targets of the ground-truth masks over the same boxes.
  py::object roi_align = py::module_::import("torchvision.ops").attr("roi_align");
  py::object boxes_all = wrap(as_float(boxes_px));
  py::object bidx = wrap(b.to(coef.device()));
  py::object training = self.attr("training");
  if (pyapi::truthy(training)) {
    py::object jit = self.attr("refine_jitter");
    py::object zero = py::int_(0);
    int gt0 = PyObject_RichCompareBool(jit.ptr(), zero.ptr(), Py_GT);
    if (gt0 < 0) throw py::error_already_set();
    if (gt0) {
      PyObject* half = PyNumber_TrueDivide(jit.ptr(), py::int_(2).ptr());
      if (!half) throw py::error_already_set();
      boxes_all = g_mod->global("_jitter_rois")(boxes_all, jit,
                                                py::reinterpret_steal<py::object>(half));
    }
  }
  py::object f2_obj = pyapi::getitem(preds, "f2");
  at::Tensor f2 = pyapi::tensor_arg(f2_obj, fn, "f2");
  py::object last2 = py::reinterpret_steal<py::object>(PySlice_New(py::int_(-2).ptr(), Py_None, Py_None));
  if (!last2) throw py::error_already_set();
  py::object size = f2_obj.attr("shape")[last2];
  py::object stride_f = py_float(self.attr("MASK_STRIDE"));
  boxes_all = head.attr("sanitize")(boxes_all, size, stride_f);
  py::object refined_obj = head(wrap(as_float(f2)), wrap(pm), boxes_all, bidx,
                                py_float(self.attr("MASK_STRIDE")));
  py::object roi = head.attr("roi");
  at::Tensor boxes_t = pyapi::tensor_arg(boxes_all, fn, "boxes");
  at::Tensor inst_rois = at::cat(
      {at::arange(n, at::TensorOptions().dtype(boxes_t.scalar_type()).device(coef.device()))
           .unsqueeze(1),
       boxes_t / number_attr(self, "MASK_STRIDE")},
      1);
  // Preconditions of roi_align over the masks (N, hm, wm): hm, wm > 0; finite regions, indices below N as read.
  // (NaN or infinite corners make it index outside its input.)
  if (hm == 0 || wm == 0)
    throw py::value_error("_mask_loss(): the masks have no pixels to sample, got size (" +
                          std::to_string(hm) + ", " + std::to_string(wm) + ")");
  if (!host_read(at::stack({at::isfinite(inst_rois).all(),
                            inst_rois.select(1, 0).max().lt(static_cast<double>(n))})
                     .all())
           .data_ptr<bool>()[0])
    throw py::value_error(
        "_mask_loss(): the refine regions (sanitized boxes / MASK_STRIDE) must be finite");
  py::dict kw;
  kw["spatial_scale"] = 1.0;
  kw["aligned"] = true;
  py::object sampled =
      roi_align(wrap(gt.unsqueeze(1)), wrap(inst_rois), py::make_tuple(roi, roi), **kw);
  at::Tensor gt_roi = pyapi::tensor_arg(sampled, fn, "roi_align").select(1, 0).clamp(0, 1);
  at::Tensor refined = pyapi::tensor_arg(refined_obj, fn, "refined");
  py::object refine = py_add(wrap(tasks::bce_mean(refined, gt_roi)),
                             g_mod->global("dice_loss")(refined_obj, wrap(gt_roi)));
  return py::make_tuple(coarse, refine);
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

}  // namespace losses
}  // namespace halcyra
