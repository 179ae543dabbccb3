// Python names, signature and per-image flow of halcyra.infer.predict.
#include <ATen/ATen.h>
#include <ATen/Parallel.h>
#include <ATen/TracerMode.h>
#include <ATen/core/grad_mode.h>
#include <torch/csrc/Device.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "../pyapi/compat.h"
#include "../pyapi/tensors.h"
#include "predict.h"
#include "select.h"

namespace py = pybind11;
using namespace halcyra;
using at::indexing::Slice;
using pyapi::Args;

namespace {

pyapi::Module* g_mod = nullptr;

const char* kPostprocessDoc =
    "Raw outputs of one batch to one detection dictionary per image.\n\n"
    "Anchors, box decoding and class probabilities are computed once for the batch.\n"
    "Per image: the best class of every anchor is a candidate when its probability is\n"
    "strictly above conf_thres; more than pre_nms candidates are cut to the pre_nms\n"
    "best; one class-aware batched_nms pass at nms_iou; at most max_det survivors,\n"
    "by decreasing score. Each dictionary holds 'boxes' (n, 4) xyxy input pixels,\n"
    "'scores' (n,), 'cls' (n,) int64, then, when their heads are in preds: 'masks'\n"
    "(n, S, S) bool on the input_size canvas (from the prototypes, or through the\n"
    "refine head when refine is given and preds has 'f2'), 'kpts' (n, K, 3) x, y,\n"
    "visibility, 'plines' (n, N, 2) and 'tags' (T,). Runs without gradient\n"
    "recording; preds is not modified.";

at::Tensor as_tensor(py::handle h, const char* what) {
  return pyapi::tensor_arg(h, "postprocess", what);
}

// `obj.float()`: the tensor in float32, or the attribute call Python would make.
at::Tensor as_float(py::handle h, const char* what) {
  if (pyapi::is_tensor(h)) return THPVariable_Unpack(h.ptr()).to(at::kFloat);
  py::object r = py::reinterpret_borrow<py::object>(h).attr("float")();
  return as_tensor(r, what);
}

// `obj[key]` for a tensor (Python's indexing rules and messages) or any object.
at::Tensor index(py::handle obj, std::initializer_list<at::indexing::TensorIndex> tidx,
                 py::object key, const char* what) {
  if (pyapi::is_tensor(obj)) return THPVariable_Unpack(obj.ptr()).index(tidx);
  PyObject* r = PyObject_GetItem(obj.ptr(), key.ptr());
  if (!r) throw py::error_already_set();
  py::object res = py::reinterpret_steal<py::object>(r);
  if (!pyapi::is_tensor(res)) return as_float(res, what);
  return THPVariable_Unpack(res.ptr());
}

// `t > thres` for a Python threshold of any kind.
at::Tensor greater(const at::Tensor& t, py::handle thres) {
  at::Scalar s;
  if (pyapi::scalar_arg(thres, &s)) return at::gt(t, s);
  if (pyapi::is_tensor(thres)) return at::gt(t, THPVariable_Unpack(thres.ptr()));
  PyObject* r = PyObject_RichCompare(pyapi::wrap(t).ptr(), thres.ptr(), Py_GT);
  if (!r) throw py::error_already_set();
  return as_tensor(py::reinterpret_steal<py::object>(r), "threshold");
}

// `count > limit` with Python's comparison for whatever `limit` is.
bool exceeds(int64_t count, py::handle limit) {
  if (PyLong_CheckExact(limit.ptr())) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(limit.ptr(), &overflow);
    if (!overflow && !(v == -1 && PyErr_Occurred())) return count > v;
    PyErr_Clear();
  }
  py::int_ c(count);
  int r = PyObject_RichCompareBool(c.ptr(), limit.ptr(), Py_GT);
  if (r < 0) throw py::error_already_set();
  return r == 1;
}

int64_t int_value(py::handle h, const char* what) { return pyapi::int_arg(h, "postprocess", what); }

// `keep[:max_det]`.
at::Tensor head(const at::Tensor& keep, py::handle max_det) {
  if (PyIndex_Check(max_det.ptr()) && !pyapi::is_tensor(max_det)) {
    Py_ssize_t v = PyNumber_AsSsize_t(max_det.ptr(), PyExc_OverflowError);
    if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
    return keep.slice(0, 0, v);
  }
  py::object sl = py::reinterpret_steal<py::object>(PySlice_New(nullptr, max_det.ptr(), nullptr));
  PyObject* r = PyObject_GetItem(pyapi::wrap(keep).ptr(), sl.ptr());
  if (!r) throw py::error_already_set();
  return as_tensor(py::reinterpret_steal<py::object>(r), "max_det");
}

// int(v) of a whole-number float region edge, with Python's errors.
int64_t edge(double v) {
  if (std::isnan(v)) {
    PyErr_SetString(PyExc_ValueError, "cannot convert float NaN to integer");
    throw py::error_already_set();
  }
  if (std::isinf(v)) {
    PyErr_SetString(PyExc_OverflowError, "cannot convert float infinity to integer");
    throw py::error_already_set();
  }
  return static_cast<int64_t>(v);
}

struct Image {
  py::handle preds;
  int64_t b;
  at::Tensor idx;        // anchor index of every detection, output order
  at::Tensor bx;         // (n, 4) boxes
  at::Device device;
};

// The detections' mask coefficients (n, P) and the image's prototypes (P, hm, wm).
std::pair<at::Tensor, at::Tensor> mask_inputs(const Image& im) {
  py::object protos_obj = pyapi::getitem(im.preds, "protos");
  at::Tensor protos = index(protos_obj, {im.b}, py::int_(im.b), "protos").to(at::kFloat);
  if (protos.dim() != 3) pyapi::raise_unpack(3, protos.dim());
  py::object coef_obj = pyapi::getitem(im.preds, "coef");
  at::Tensor coef = index(coef_obj, {im.b, im.idx}, py::make_tuple(im.b, pyapi::wrap(im.idx)),
                          "coef")
                        .to(at::kFloat);
  return {coef, protos};
}

// Coarse mask logits (n, hm, wm): the coefficient-weighted sum of the prototypes.
at::Tensor coarse_logits(const at::Tensor& coef, const at::Tensor& protos) {
  return predict::coarse_product(coef, protos);
}

py::object* g_roi_align = nullptr;  // torchvision.ops.roi_align

// len(obj) == 0 for a container attribute found in `dict`; false when absent.
bool empty_entry(PyObject* dict, const char* name) {
  PyObject* v = dict ? PyDict_GetItemString(dict, name) : nullptr;
  if (!v) return false;
  const Py_ssize_t n = PyObject_Length(v);
  if (n < 0) {
    PyErr_Clear();
    return false;
  }
  return n == 0;
}

// Whether `refine` is the refine module's own RefineHead, used as shipped: its
// class, its forward (no override on the class or the instance), no forward
// hooks of the instance or global ones, and torchvision's roi_align as the
// sampler it calls. Such a head reads the coarse logits only through
// roi_align over its regions (in coarse cells: the region scaled by
// wm / (W2 * stride), hm / (H2 * stride)), that is at the four neighbours of
// each sampling point, or at cell (0, 0) with weight 0 for points off the grid.
bool own_refine_head(py::handle refine) {
  PyObject* mod = PyImport_GetModule(py::str("halcyra.models.refine").ptr());
  if (!mod) {
    PyErr_Clear();
    return false;
  }
  py::object m = py::reinterpret_steal<py::object>(mod);
  PyObject* cls = PyDict_GetItemString(PyModule_GetDict(mod), "RefineHead");
  if (!cls || reinterpret_cast<PyObject*>(Py_TYPE(refine.ptr())) != cls) return false;
  PyObject* fwd = PyDict_GetItemString(reinterpret_cast<PyTypeObject*>(cls)->tp_dict, "forward");
  // The refine module's own forward: a function made by that module (its code
  // carries the module's name as file name), not one assigned later.
  if (!fwd || !PyFunction_Check(fwd)) return false;
  py::handle code = PyFunction_GET_CODE(fwd);
  py::object file = code.attr("co_filename"), qual = py::handle(fwd).attr("__qualname__");
  if (!py::isinstance<py::str>(qual) || qual.cast<std::string>() != "RefineHead.forward" ||
      !py::isinstance<py::str>(file) || file.cast<std::string>() != "<halcyra.models.refine>")
    return false;
  if (PyDict_GetItemString(PyModule_GetDict(mod), "roi_align") != g_roi_align->ptr()) return false;
  PyObject* dict = PyObject_GenericGetDict(refine.ptr(), nullptr);
  if (!dict) {
    PyErr_Clear();
    return false;
  }
  py::object d = py::reinterpret_steal<py::object>(dict);
  if (!PyDict_Check(dict) || PyDict_GetItemString(dict, "forward") ||
      !empty_entry(dict, "_forward_hooks") || !empty_entry(dict, "_forward_pre_hooks"))
    return false;
  PyObject* nn_mod = PyImport_GetModule(py::str("torch.nn.modules.module").ptr());
  if (!nn_mod) {
    PyErr_Clear();
    return false;
  }
  py::object nn = py::reinterpret_steal<py::object>(nn_mod);
  PyObject* nd = PyModule_GetDict(nn_mod);
  return empty_entry(nd, "_global_forward_hooks") && empty_entry(nd, "_global_forward_pre_hooks");
}

// Region edges (x1, y1, x2, y2) as Python ints would see them, when every one
// is a whole number within the canvas and the regions are ordered.
bool canvas_regions(const double* e, int64_t n, int64_t S,
                    std::vector<std::array<int64_t, 4>>* out) {
  out->resize(static_cast<size_t>(n));
  for (int64_t k = 0; k < n; ++k) {
    for (int i = 0; i < 4; ++i)
      if (!std::isfinite(e[k * 4 + i]) || e[k * 4 + i] < 0 || e[k * 4 + i] > static_cast<double>(S))
        return false;
    auto& r = (*out)[k];
    for (int i = 0; i < 4; ++i) r[i] = static_cast<int64_t>(e[k * 4 + i]);
    if (r[0] > r[2] || r[1] > r[3]) return false;
  }
  return true;
}

// The coarse cells the shipped head samples for each region (see
// own_refine_head), with a margin of two cells for the roundings of its float
// arithmetic.
std::vector<predict::Block> sampled_blocks(const std::vector<std::array<int64_t, 4>>& regions,
                                           int64_t hm, int64_t wm, double sx, double sy) {
  std::vector<predict::Block> blocks;
  for (const auto& r : regions) {
    predict::Block b;
    b.r0 = std::max<int64_t>(0, static_cast<int64_t>(std::floor(r[1] * sy - 0.5)) - 2);
    b.r1 = std::min<int64_t>(hm - 1, static_cast<int64_t>(std::floor(r[3] * sy - 0.5)) + 3);
    b.c0 = std::max<int64_t>(0, static_cast<int64_t>(std::floor(r[0] * sx - 0.5)) - 2);
    b.c1 = std::min<int64_t>(wm - 1, static_cast<int64_t>(std::floor(r[2] * sx - 0.5)) + 3);
    if (b.r0 > b.r1 || b.c0 > b.c1) b = {1, 0, 1, 0};
    blocks.push_back(b);
  }
  return blocks;
}

at::Tensor refine_masks(const Image& im, const std::pair<at::Tensor, at::Tensor>& inputs, int64_t S,
                        py::handle refine, py::handle thres) {
  const int64_t n = im.idx.size(0);
  const at::Tensor& coef = inputs.first;
  const at::Tensor& protos = inputs.second;
  // The shipped head samples the coarse logits around its regions only: on CPU
  // they are computed there once the regions are known (the product is
  // checked to be well formed first, so that it fails where it always did).
  const bool partial = fused_cpu(im.device) && coef.dim() == 2 && protos.dim() == 3 &&
                       coef.size(1) == protos.size(0) && own_refine_head(refine);
  at::Tensor coarse;
  if (!partial) coarse = coarse_logits(coef, protos);
  py::object f2_obj = pyapi::getitem(im.preds, "f2");
  at::Tensor f2 = as_tensor(f2_obj, "f2");
  if (f2.dim() < 2) pyapi::raise_unpack(2, f2.dim());
  const int64_t H2 = f2.size(-2), W2 = f2.size(-1);
  if (W2 == 0) {
    PyErr_SetString(PyExc_ZeroDivisionError, "division by zero");
    throw py::error_already_set();
  }
  const double feat_stride = static_cast<double>(S) / static_cast<double>(W2);
  const int64_t mn = std::max<int64_t>(static_cast<int64_t>(std::ceil(feat_stride)), 1);
  py::object bxs_obj = py::reinterpret_borrow<py::object>(refine).attr("sanitize")(
      pyapi::wrap(im.bx), py::make_tuple(H2, W2), py::float_(feat_stride));
  at::Tensor bxs = pyapi::tensor_arg(bxs_obj, "postprocess", "sanitize() result");
  at::Tensor rx1 = at::floor(bxs.index({Slice(), 0})).clamp(at::Scalar(0), at::Scalar(S - mn));
  at::Tensor ry1 = at::floor(bxs.index({Slice(), 1})).clamp(at::Scalar(0), at::Scalar(S - mn));
  at::Tensor rx2 = at::maximum(at::ceil(bxs.index({Slice(), 2})), rx1 + at::Scalar(mn)).clamp_max(at::Scalar(S));
  at::Tensor ry2 = at::maximum(at::ceil(bxs.index({Slice(), 3})), ry1 + at::Scalar(mn)).clamp_max(at::Scalar(S));
  at::Tensor bx_int = at::stack({rx1, ry1, rx2, ry2}, 1);
  // One transfer of the region edges instead of four host reads per region.
  at::Tensor host = host_read(bx_int.to(at::kDouble));
  const double* e = host.data_ptr<double>();
  std::vector<std::array<int64_t, 4>> regions;
  const bool on_canvas = host.dim() == 2 && host.size(0) == n && host.size(1) == 4 &&
                         canvas_regions(e, n, S, &regions);
  if (partial) {
    if (on_canvas && f2.dim() == 4 && H2 > 0) {
      const int64_t hm = protos.size(1), wm = protos.size(2);
      const double sx = static_cast<double>(wm) / (static_cast<double>(W2) * feat_stride);
      const double sy = static_cast<double>(hm) / (static_cast<double>(H2) * feat_stride);
      coarse = predict::coarse_blocks(coef, protos, sampled_blocks(regions, hm, wm, sx, sy));
    }
    if (!coarse.defined()) coarse = coarse_logits(coef, protos);
  }
  at::Tensor f2b = f2.slice(0, im.b, im.b + 1).to(at::kFloat);
  at::Tensor bidx = at::zeros({n}, at::TensorOptions().dtype(at::kLong).device(im.device));
  py::object ref = py::reinterpret_borrow<py::object>(refine)(
      pyapi::wrap(f2b), pyapi::wrap(coarse), pyapi::wrap(bx_int), pyapi::wrap(bidx),
      py::float_(feat_stride));
  coarse = at::Tensor();

  // On CPU every pixel of the canvas is written once: the regions by the
  // paste below, the rest cleared afterwards.
  const auto bool_opts = at::TensorOptions().dtype(at::kBool).device(im.device);
  const bool clear_after = on_canvas && fused_cpu(im.device);
  at::Tensor masks = clear_after ? at::empty({n, S, S}, bool_opts) : at::zeros({n, S, S}, bool_opts);
  const bool ref_is_tensor = pyapi::is_tensor(ref);
  at::Tensor ref_t = ref_is_tensor ? THPVariable_Unpack(ref.ptr()) : at::Tensor();
  at::Scalar ts;
  const bool scalar_thres = pyapi::scalar_arg(thres, &ts);
  // int(rx1[k]) and the like; through Python where sanitize gave no (n, 4) rows.
  const bool rows = host.dim() == 2 && host.size(0) >= n && host.size(1) == 4;
  auto edge_of = [&](const at::Tensor& t, int64_t k, int i) -> int64_t {
    if (rows) return edge(e[k * 4 + i]);
    py::object item = py::reinterpret_steal<py::object>(
        PyObject_GetItem(pyapi::wrap(t).ptr(), py::int_(k).ptr()));
    if (!item) throw py::error_already_set();
    return py::int_(item).cast<int64_t>();
  };
  for (int64_t k = 0; k < n; ++k) {
    const int64_t x1 = edge_of(rx1, k, 0), y1 = edge_of(ry1, k, 1), x2 = edge_of(rx2, k, 2),
                  y2 = edge_of(ry2, k, 3);
    at::Tensor rk;
    if (ref_is_tensor) {
      rk = ref_t.index({k});
    } else {
      PyObject* r = PyObject_GetItem(ref.ptr(), py::int_(k).ptr());
      if (!r) throw py::error_already_set();
      rk = as_tensor(py::reinterpret_steal<py::object>(r), "refine result");
    }
    at::Tensor patch;
    if (rk.dim() == 2) {
      patch = at::upsample_bilinear2d(rk.unsqueeze(0).unsqueeze(0), {y2 - y1, x2 - x1}, false,
                                      c10::nullopt, c10::nullopt)
                  .select(0, 0)
                  .select(0, 0);
    } else {
      // Whatever the resize makes of a map that is not two-dimensional.
      py::object r = g_mod->global("F").attr("interpolate")(
          pyapi::wrap(rk.unsqueeze(0).unsqueeze(0)), py::arg("size") = py::make_tuple(y2 - y1, x2 - x1),
          py::arg("mode") = "bilinear", py::arg("align_corners") = false);
      patch = as_tensor(r, "patch").index({0, 0});
    }
    if (scalar_thres && predict::paste_region(masks, k, y1, x1, patch, ts)) continue;
    masks.index({k, Slice(y1, y2), Slice(x1, x2)}).copy_(greater(at::sigmoid(patch), thres));
  }
  if (clear_after) predict::clear_outside(masks, regions);
  return masks;
}

at::Tensor masks_for(const Image& im, int64_t S, py::handle refine, py::handle thres) {
  const int64_t n = im.idx.size(0);
  if (n == 0) return at::zeros({0, S, S}, at::TensorOptions().dtype(at::kBool).device(im.device));
  auto inputs = mask_inputs(im);
  if (!refine.is_none() && pyapi::contains(im.preds, "f2"))
    return refine_masks(im, inputs, S, refine, thres);
  at::Scalar ts;
  if (pyapi::scalar_arg(thres, &ts)) {
    py::gil_scoped_release nogil;
    at::Tensor m = predict::prototype_masks(inputs.first, inputs.second, im.bx, S, ts);
    if (m.defined()) return m;
    return predict::coarse_masks(coarse_logits(inputs.first, inputs.second), im.bx, S, ts,
                                 /*consume=*/true);
  }
  return predict::coarse_masks_reference(coarse_logits(inputs.first, inputs.second), im.bx, S,
                                         [&](const at::Tensor& m) { return greater(m, thres); });
}

// ---- the CPU fast path of selection and NMS ---------------------------------

// torchvision's batched_nms and the names it calls, as the module loaded them.
struct TorchvisionNms {
  py::object fn;
  py::dict globals;
  std::vector<std::pair<std::string, py::object>> names;
};
TorchvisionNms* g_tv = nullptr;
py::object* g_decode_boxes = nullptr;   // halcyra.infer.decode.decode_boxes
py::object* g_decode_points = nullptr;  // halcyra.infer.decode.decode_points

// Whether `fn` is still torchvision's own batched_nms, calling its own helpers.
bool is_torchvision_nms(PyObject* fn) {
  if (!fn || fn != g_tv->fn.ptr()) return false;
  for (const auto& kv : g_tv->names)
    if (PyDict_GetItemString(g_tv->globals.ptr(), kv.first.c_str()) != kv.second.ptr())
      return false;
  return true;
}

// A Python int (not bool) that fits in int64.
bool plain_int(py::handle h, int64_t* v) {
  if (!PyLong_Check(h.ptr()) || PyBool_Check(h.ptr())) return false;
  int overflow = 0;
  const long long x = PyLong_AsLongLongAndOverflow(h.ptr(), &overflow);
  if (overflow || (x == -1 && PyErr_Occurred())) {
    PyErr_Clear();
    return false;
  }
  *v = x;
  return true;
}

// `scores > thres` for a float32 tensor compares in float32: the threshold as
// the library converts it. False for thresholds that are not plain numbers.
bool float_threshold(py::handle h, float* out) {
  int64_t i = 0;
  if (plain_int(h, &i)) {
    *out = static_cast<float>(i);
    return true;
  }
  if (!PyFloat_Check(h.ptr())) return false;
  const double d = PyFloat_AS_DOUBLE(h.ptr());
  constexpr double kMax = std::numeric_limits<float>::max();
  *out = std::isnan(d) ? std::numeric_limits<float>::quiet_NaN()
         : d > kMax    ? std::numeric_limits<float>::infinity()
         : d < -kMax   ? -std::numeric_limits<float>::infinity()
                       : static_cast<float>(d);
  return true;
}

// The double torchvision's nms receives for a plain Python number.
bool iou_threshold(py::handle h, double* out) {
  if (PyBool_Check(h.ptr())) return false;
  if (PyFloat_Check(h.ptr())) {
    *out = PyFloat_AS_DOUBLE(h.ptr());
    return true;
  }
  if (!PyLong_Check(h.ptr())) return false;
  const double d = PyLong_AsDouble(h.ptr());
  if (d == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    return false;
  }
  *out = d;
  return true;
}

// Length of `keep[:max_det]` for n entries and an integer max_det.
int64_t head_length(int64_t n, int64_t max_det) {
  if (max_det >= 0) return std::min(n, max_det);
  return std::max<int64_t>(0, n + max_det);
}

at::Tensor long_tensor(const int64_t* v, int64_t n) {
  at::Tensor t = at::empty({n}, at::kLong);
  if (n) std::memcpy(t.data_ptr<int64_t>(), v, sizeof(int64_t) * n);
  return t;
}

at::Tensor float_tensor(const float* v, int64_t n) {
  at::Tensor t = at::empty({n}, at::kFloat);
  if (n) std::memcpy(t.data_ptr<float>(), v, sizeof(float) * n);
  return t;
}

// Candidates of one image: the boxes gathered from boxes_all (B, A, 4).
std::vector<float> gather_boxes(const at::Tensor& boxes_all, int64_t b,
                                const std::vector<int64_t>& anchor) {
  const at::Tensor img = boxes_all.select(0, b);
  const float* src = img.data_ptr<float>();
  const int64_t s0 = img.stride(0), s1 = img.stride(1);
  std::vector<float> out(anchor.size() * 4);
  for (size_t k = 0; k < anchor.size(); ++k)
    for (int64_t c = 0; c < 4; ++c) out[k * 4 + c] = src[anchor[k] * s0 + c * s1];
  return out;
}

// The largest anchor index of idx (n,) int64 on CPU, -1 when empty.
int64_t max_index(const at::Tensor& idx) {
  at::Tensor ix = idx.contiguous();
  const int64_t* p = ix.data_ptr<int64_t>();
  int64_t m = -1;
  for (int64_t i = 0; i < ix.numel(); ++i) m = std::max(m, p[i]);
  return m;
}

// A float32 tensor that the CPU fast paths may read.
bool cpu_float(const at::Tensor& t) { return fused_cpu(t) && t.scalar_type() == at::kFloat; }

// Keypoints of the detections (n, K, 3), gathered and decoded only for them on
// CPU; the tensor formulation elsewhere.
at::Tensor keypoints(const Image& im, py::handle raw_obj, int64_t K, const at::Tensor& points,
                     const at::Tensor& strides) {
  const int64_t n = im.idx.size(0);
  if (pyapi::is_tensor(raw_obj) && fused_cpu(im.idx) && cpu_float(points) &&
      cpu_float(strides) && points.dim() == 2 && points.size(1) == 2 && strides.dim() == 1) {
    const at::Tensor& raw = THPVariable_Unpack(raw_obj.ptr());
    if (cpu_float(raw) && raw.dim() == 3 && raw.size(2) == 3 * K && im.b < raw.size(0)) {
      const int64_t top = max_index(im.idx);
      if (top < raw.size(1) && top < points.size(0) && top < strides.size(0))
        return predict::gather_keypoints(raw, im.b, im.idx, points, strides, K);
    }
  }
  at::Tensor r = index(raw_obj, {im.b, im.idx}, py::make_tuple(im.b, pyapi::wrap(im.idx)), "kpt_raw")
                     .to(at::kFloat)
                     .reshape({n, K, 3});
  at::Tensor xy = r.index({"...", Slice(0, 2)}) * strides.index({im.idx}).view({n, 1, 1}) +
                  points.index({im.idx}).view({n, 1, 2});
  return at::cat({xy, at::sigmoid(r.index({"...", Slice(2, 3)}))}, -1);
}

// Polyline points of the detections (n, N, 2): decode_points of the image
// indexed at the detections. While decode_points is the decode module's own,
// only the detections' rows are decoded (on CPU).
at::Tensor polylines(const Image& im, py::handle raw_obj, py::handle n_pline, py::handle anchors_pts,
                     py::handle anchors_str, const at::Tensor& points, const at::Tensor& strides) {
  py::object fn = g_mod->global("decode_points");
  int64_t N = 0;
  if (fn.ptr() == g_decode_points->ptr() && pyapi::is_tensor(raw_obj) && plain_int(n_pline, &N) &&
      N >= 1 && fused_cpu(im.idx) && cpu_float(points) && cpu_float(strides)) {
    const at::Tensor& raw = THPVariable_Unpack(raw_obj.ptr());
    const int64_t A = raw.dim() == 3 ? raw.size(1) : -1;
    if (cpu_float(raw) && raw.dim() == 3 && raw.size(2) == 2 * N && im.b < raw.size(0) &&
        points.dim() == 2 && points.size(0) == A && points.size(1) == 2 && strides.dim() == 1 &&
        strides.size(0) == A && max_index(im.idx) < A)
      return predict::gather_points(raw, im.b, im.idx, points, strides, N);
  }
  at::Tensor raw = index(raw_obj, {Slice(im.b, im.b + 1)},
                         py::reinterpret_steal<py::object>(
                             PySlice_New(py::int_(im.b).ptr(), py::int_(im.b + 1).ptr(), nullptr)),
                         "pline_raw")
                       .to(at::kFloat);
  py::object pts = fn(pyapi::wrap(raw), anchors_pts, anchors_str, n_pline);
  return as_tensor(pts, "decode_points() result").index({0, im.idx});
}

py::object postprocess(const Args& a) {
  at::NoGradGuard no_grad;
  py::handle preds = a[0], conf_thres = a[1], nms_iou = a[2], max_det = a[3], pre_nms = a[4],
             mask_thres = a[5], num_kpts = a[6], n_pline = a[7], input_size = a[8],
             refine = a[9], box_offset = a[10];
  const pyapi::Module& mod = *g_mod;

  at::Tensor cls_raw = as_float(pyapi::getitem(preds, "cls_raw"), "cls_raw");
  const at::Device device = cls_raw.device();
  py::object dev = py::reinterpret_steal<py::object>(THPDevice_New(device));
  if (!dev) throw py::error_already_set();
  py::object anchors =
      mod.global("make_anchors")(pyapi::getitem(preds, "feat_shapes"), mod.global("STRIDES"), dev);
  std::vector<py::object> ps = pyapi::unpack(anchors, 2);
  at::Tensor points = as_tensor(ps[0], "points"), strides = as_tensor(ps[1], "strides");
  py::object decode = mod.global("decode_boxes");
  at::Tensor box_raw = as_float(pyapi::getitem(preds, "box_raw"), "box_raw");
  const int64_t B = cls_raw.dim() == 3 ? cls_raw.size(0) : -1;
  const int64_t A = cls_raw.dim() == 3 ? cls_raw.size(1) : -1;
  auto decode_all = [&]() {
    return as_tensor(decode(pyapi::wrap(box_raw), ps[0], ps[1], py::arg("offset") = box_offset),
                     "decode_boxes() result");
  };
  // While decode_boxes is the decode module's own, the boxes are decoded for
  // the candidates alone (below); otherwise it runs here, once per batch.
  float offset = 0.f;
  const bool decode_own =
      decode.ptr() == g_decode_boxes->ptr() && float_threshold(box_offset, &offset) &&
      std::isfinite(offset) && cpu_float(box_raw) && box_raw.dim() == 3 && box_raw.size(0) == B &&
      box_raw.size(1) == A && box_raw.size(2) == 4 && box_raw.is_contiguous() && cpu_float(points) &&
      cpu_float(strides) && points.dim() == 2 && points.size(0) == A && points.size(1) == 2 &&
      strides.dim() == 1 && strides.size(0) == A;
  at::Tensor boxes_all;
  if (!decode_own) boxes_all = decode_all();

  // On CPU the candidates of every image come from one fused pass over the
  // logits (exactly the formulation's scores and classes); the sigmoid of all
  // logits is computed only when that pass does not apply.
  std::vector<predict::Candidates> cands;
  float conf = 0.f;
  int64_t cap = 0;
  bool fast = cpu_float(cls_raw) &&
              cls_raw.dim() == 3 && cls_raw.is_contiguous() && cls_raw.size(2) >= 1 &&
              (decode_own || (cpu_float(boxes_all) && boxes_all.dim() == 3 &&
                              boxes_all.size(0) == B && boxes_all.size(1) == A &&
                              boxes_all.size(2) == 4)) &&
              float_threshold(conf_thres, &conf) && plain_int(pre_nms, &cap) && cap >= 0;
  if (fast) fast = predict::select_candidates(cls_raw, conf, &cands);
  if (fast) {
    // Pre-NMS cap with the library's top-k (its tie order).
    for (int64_t b = 0; b < B; ++b) {
      predict::Candidates& c = cands[b];
      const int64_t m = static_cast<int64_t>(c.anchor.size());
      if (m <= cap) continue;
      at::Tensor top = std::get<1>(float_tensor(c.score.data(), m).topk(cap)).contiguous();
      const int64_t* tp = top.data_ptr<int64_t>();
      predict::Candidates t;
      for (int64_t i = 0; i < cap; ++i) {
        t.anchor.push_back(c.anchor[tp[i]]);
        t.score.push_back(c.score[tp[i]]);
        t.cls.push_back(c.cls[tp[i]]);
      }
      c = std::move(t);
    }
  }
  std::vector<std::vector<float>> cand_boxes;
  if (fast && decode_own &&
      !predict::candidate_boxes(box_raw, points, strides, offset, offset != 0.f, cands, &cand_boxes))
    boxes_all = decode_all();
  if (!boxes_all.defined() && !fast) boxes_all = decode_all();
  if (fast && boxes_all.defined()) {
    cand_boxes.resize(B);
    for (int64_t b = 0; b < B; ++b) cand_boxes[b] = gather_boxes(boxes_all, b, cands[b].anchor);
  }
  at::Tensor scores_all;
  if (!fast) scores_all = at::sigmoid(cls_raw);
  const int64_t images = cls_raw.size(0);

  std::vector<std::vector<int64_t>> nms_keep;  // per image, in torchvision's order
  double iou = 0.0;
  int64_t det_cap = 0;
  const bool nms_fast = fast && iou_threshold(nms_iou, &iou) && plain_int(max_det, &det_cap) &&
                        !at::tracer::impl::is_dispatch_enabled() &&
                        is_torchvision_nms(PyDict_GetItemString(mod.ns().ptr(), "batched_nms"));
  if (nms_fast) {
    nms_keep.resize(B);
    const int64_t nc = cls_raw.size(2);
    at::parallel_for(0, B, 1, [&](int64_t b0, int64_t b1) {
      for (int64_t b = b0; b < b1; ++b) {
        const predict::Candidates& c = cands[b];
        const int64_t m = static_cast<int64_t>(c.anchor.size());
        nms_keep[b] = predict::class_nms(cand_boxes[b].data(), c.score.data(), c.cls.data(), m,
                                         nc, iou, predict::nms_per_class(m));
      }
    });
  }

  const bool has_masks = pyapi::contains(preds, "coef");
  const bool has_kpts = pyapi::contains(preds, "kpt_raw");
  const bool has_plines = pyapi::contains(preds, "pline_raw");
  const bool has_tags = pyapi::contains(preds, "tag_logits");

  py::list out;
  for (int64_t b = 0; b < images; ++b) {
    at::Tensor idx, bx, sc_out, cl_out;
    py::object nms_fn;
    if (fast) {
      const predict::Candidates& c = cands[b];
      const int64_t m = static_cast<int64_t>(c.anchor.size());
      nms_fn = mod.global("batched_nms");
      if (nms_fast && is_torchvision_nms(nms_fn.ptr())) {
        std::vector<int64_t>& kept = nms_keep[b];
        const int64_t limit = head_length(static_cast<int64_t>(kept.size()), det_cap);
        std::vector<int64_t> keep = predict::nms_per_class(m)
                                        ? predict::order_by_score(kept, c.score.data(), limit)
                                        : std::move(kept);
        keep.resize(static_cast<size_t>(limit));
        const int64_t n = static_cast<int64_t>(keep.size());
        idx = at::empty({n}, at::kLong);
        bx = at::empty({n, 4}, at::kFloat);
        sc_out = at::empty({n}, at::kFloat);
        cl_out = at::empty({n}, at::kLong);
        int64_t* ip = idx.data_ptr<int64_t>();
        float* bp = bx.data_ptr<float>();
        float* sp = sc_out.data_ptr<float>();
        int64_t* cp = cl_out.data_ptr<int64_t>();
        for (int64_t k = 0; k < n; ++k) {
          const int64_t p = keep[k];
          ip[k] = c.anchor[p];
          sp[k] = c.score[p];
          cp[k] = c.cls[p];
          std::memcpy(bp + k * 4, cand_boxes[b].data() + p * 4, sizeof(float) * 4);
        }
      } else {
        at::Tensor cidx = long_tensor(c.anchor.data(), m);
        at::Tensor boxes = float_tensor(cand_boxes[b].data(), m * 4).view({m, 4});
        at::Tensor sc = float_tensor(c.score.data(), m);
        at::Tensor cl = long_tensor(c.cls.data(), m);
        at::Tensor keep = as_tensor(nms_fn(pyapi::wrap(boxes), pyapi::wrap(sc), pyapi::wrap(cl), nms_iou),
                                    "batched_nms() result");
        keep = head(keep, max_det);
        idx = cidx.index({keep});
        bx = boxes.index({keep});
        sc_out = sc.index({keep});
        cl_out = cl.index({keep});
      }
    } else {
      auto best = scores_all.index({b}).max(1);
      at::Tensor scores = std::get<0>(best), cls_id = std::get<1>(best);
      idx = at::nonzero(greater(scores, conf_thres)).select(1, 0);
      if (exceeds(idx.size(0), pre_nms)) {
        auto top = scores.index({idx}).topk(int_value(pre_nms, "pre_nms"));
        idx = idx.index({std::get<1>(top)});
      }
      at::Tensor boxes = boxes_all.index({b, idx});
      at::Tensor sc = scores.index({idx});
      at::Tensor cl = cls_id.index({idx});
      at::Tensor keep = as_tensor(mod.global("batched_nms")(pyapi::wrap(boxes), pyapi::wrap(sc),
                                                            pyapi::wrap(cl), nms_iou),
                                  "batched_nms() result");
      keep = head(keep, max_det);
      idx = idx.index({keep});
      bx = boxes.index({keep});
      sc_out = sc.index({keep});
      cl_out = cl.index({keep});
    }
    py::dict res;
    res["boxes"] = pyapi::wrap(bx);
    res["scores"] = pyapi::wrap(sc_out);
    res["cls"] = pyapi::wrap(cl_out);
    Image im{preds, b, idx, bx, device};
    if (has_masks) {
      const int64_t S = int_value(input_size, "input_size");
      res["masks"] = pyapi::wrap(masks_for(im, S, refine, mask_thres));
    }
    if (has_kpts) {
      const int64_t K = int_value(num_kpts, "num_kpts");
      res["kpts"] = pyapi::wrap(keypoints(im, pyapi::getitem(preds, "kpt_raw"), K, points, strides));
    }
    if (has_plines) {
      py::object raw_obj = pyapi::getitem(preds, "pline_raw");
      res["plines"] = pyapi::wrap(polylines(im, raw_obj, n_pline, ps[0], ps[1], points, strides));
    }
    if (has_tags) {
      py::object raw = pyapi::getitem(preds, "tag_logits");
      res["tags"] = pyapi::wrap(at::sigmoid(index(raw, {b}, py::int_(b), "tag_logits").to(at::kFloat)));
    }
    out.append(res);
  }
  return std::move(out);
}

}  // namespace

PYBIND11_MODULE(predict, m) {
  m.doc() =
      "Inference postprocess: raw outputs of a batch to per-image detections with one\n"
      "class-aware NMS pass; masks, keypoints and polylines ride along as attributes\n"
      "of the surviving boxes.";
  // torchvision's operators must be registered before batched_nms runs.
  py::module_::import("torchvision");
  m.attr("math") = py::module_::import("math");
  m.attr("torch") = py::module_::import("torch");
  m.attr("F") = py::module_::import("torch.nn.functional");
  m.attr("batched_nms") = py::module_::import("torchvision.ops").attr("batched_nms");
  py::module_ dec = py::module_::import("halcyra.infer.decode");
  for (const char* name : {"STRIDES", "decode_boxes", "decode_points", "make_anchors"})
    m.attr(name) = dec.attr(name);
  // What the fast path reproduces, as loaded.
  g_tv = new TorchvisionNms();
  g_tv->fn = m.attr("batched_nms");
  g_tv->globals = g_tv->fn.attr("__globals__");
  for (const char* name : {"nms", "_batched_nms_vanilla", "_batched_nms_coordinate_trick"})
    g_tv->names.emplace_back(name, g_tv->globals[name]);
  g_roi_align = new py::object(py::module_::import("torchvision.ops").attr("roi_align"));
  g_decode_boxes = new py::object(dec.attr("decode_boxes"));
  g_decode_points = new py::object(dec.attr("decode_points"));
  // Kept for the life of the process: postprocess looks its globals up here.
  g_mod = new pyapi::Module(m);
  g_mod->def("postprocess",
          "(preds: dict, conf_thres: float = 0.25, nms_iou: float = 0.7, max_det: int = 300, "
          "pre_nms: int = 3000, mask_thres: float = 0.5, num_kpts: int = 0, n_pline: int = 16, "
          "input_size: int = 640, refine=None, box_offset: float = 0.0) -> list[dict]",
          postprocess, kPostprocessDoc);
}
