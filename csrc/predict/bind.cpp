// Python names, signature and per-image flow of halcyra.infer.predict.
#include <ATen/ATen.h>
#include <ATen/core/grad_mode.h>
#include <torch/csrc/Device.h>

#include <cmath>

#include "../pyapi/tensors.h"
#include "predict.h"

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

at::Tensor refine_masks(const Image& im, const at::Tensor& coarse, int64_t S, py::handle refine,
                        py::handle thres) {
  const int64_t n = im.idx.size(0);
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
  at::Tensor f2b = f2.slice(0, im.b, im.b + 1).to(at::kFloat);
  at::Tensor bidx = at::zeros({n}, at::TensorOptions().dtype(at::kLong).device(im.device));
  py::object ref = py::reinterpret_borrow<py::object>(refine)(
      pyapi::wrap(f2b), pyapi::wrap(coarse), pyapi::wrap(bx_int), pyapi::wrap(bidx),
      py::float_(feat_stride));

  at::Tensor masks = at::zeros({n, S, S}, at::TensorOptions().dtype(at::kBool).device(im.device));
  // One transfer of the region edges instead of four host reads per region.
  // Precondition of the host loop: bx_int (>= n, 4); otherwise int(rx1[k]) fails as the library makes it.
  if (bx_int.dim() != 2 || bx_int.size(0) < n) {
    for (int64_t k = 0; k < n; ++k) rx1.index({k}).item<double>();
    throw py::value_error("postprocess(): sanitize() must return one box per detection");
  }
  at::Tensor host = bx_int.to(at::kCPU, at::kDouble).contiguous();
  const double* e = host.data_ptr<double>();
  const bool ref_is_tensor = pyapi::is_tensor(ref);
  at::Tensor ref_t = ref_is_tensor ? THPVariable_Unpack(ref.ptr()) : at::Tensor();
  at::Scalar ts;
  const bool scalar_thres = pyapi::scalar_arg(thres, &ts);
  for (int64_t k = 0; k < n; ++k) {
    const int64_t x1 = edge(e[k * 4]), y1 = edge(e[k * 4 + 1]), x2 = edge(e[k * 4 + 2]),
                  y2 = edge(e[k * 4 + 3]);
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
  return masks;
}

at::Tensor masks_for(const Image& im, int64_t S, py::handle refine, py::handle thres) {
  const int64_t n = im.idx.size(0);
  if (n == 0) return at::zeros({0, S, S}, at::TensorOptions().dtype(at::kBool).device(im.device));
  auto inputs = mask_inputs(im);
  if (!refine.is_none() && pyapi::contains(im.preds, "f2"))
    return refine_masks(im, coarse_logits(inputs.first, inputs.second), S, refine, thres);
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
  at::Tensor box_raw = as_float(pyapi::getitem(preds, "box_raw"), "box_raw");
  at::Tensor boxes_all = as_tensor(
      mod.global("decode_boxes")(pyapi::wrap(box_raw), ps[0], ps[1], py::arg("offset") = box_offset),
      "decode_boxes() result");
  at::Tensor scores_all = at::sigmoid(cls_raw);

  const bool has_masks = pyapi::contains(preds, "coef");
  const bool has_kpts = pyapi::contains(preds, "kpt_raw");
  const bool has_plines = pyapi::contains(preds, "pline_raw");
  const bool has_tags = pyapi::contains(preds, "tag_logits");

  py::list out;
  const int64_t B = cls_raw.size(0);
  for (int64_t b = 0; b < B; ++b) {
    auto best = scores_all.index({b}).max(1);
    at::Tensor scores = std::get<0>(best), cls_id = std::get<1>(best);
    at::Tensor idx = at::nonzero(greater(scores, conf_thres)).select(1, 0);
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
    py::dict res;
    at::Tensor bx = boxes.index({keep});
    res["boxes"] = pyapi::wrap(bx);
    res["scores"] = pyapi::wrap(sc.index({keep}));
    res["cls"] = pyapi::wrap(cl.index({keep}));
    const int64_t n = idx.size(0);
    Image im{preds, b, idx, bx, device};
    if (has_masks) {
      const int64_t S = int_value(input_size, "input_size");
      res["masks"] = pyapi::wrap(masks_for(im, S, refine, mask_thres));
    }
    if (has_kpts) {
      const int64_t K = int_value(num_kpts, "num_kpts");
      py::object raw = pyapi::getitem(preds, "kpt_raw");
      at::Tensor r = index(raw, {b, idx}, py::make_tuple(b, pyapi::wrap(idx)), "kpt_raw")
                         .to(at::kFloat)
                         .reshape({n, K, 3});
      at::Tensor xy = r.index({"...", Slice(0, 2)}) * strides.index({idx}).view({n, 1, 1}) +
                      points.index({idx}).view({n, 1, 2});
      res["kpts"] = pyapi::wrap(at::cat({xy, at::sigmoid(r.index({"...", Slice(2, 3)}))}, -1));
    }
    if (has_plines) {
      py::object raw_obj = pyapi::getitem(preds, "pline_raw");
      at::Tensor raw = index(raw_obj, {Slice(b, b + 1)},
                             py::reinterpret_steal<py::object>(
                                 PySlice_New(py::int_(b).ptr(), py::int_(b + 1).ptr(), nullptr)),
                             "pline_raw")
                           .to(at::kFloat);
      py::object pts = mod.global("decode_points")(pyapi::wrap(raw), ps[0], ps[1], n_pline);
      res["plines"] = pyapi::wrap(as_tensor(pts, "decode_points() result").index({0, idx}));
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
  // Kept for the life of the process: postprocess looks its globals up here.
  g_mod = new pyapi::Module(m);
  g_mod->def("postprocess",
          "(preds: dict, conf_thres: float = 0.25, nms_iou: float = 0.7, max_det: int = 300, "
          "pre_nms: int = 3000, mask_thres: float = 0.5, num_kpts: int = 0, n_pline: int = 16, "
          "input_size: int = 640, refine=None, box_offset: float = 0.0) -> list[dict]",
          postprocess, kPostprocessDoc);
}
