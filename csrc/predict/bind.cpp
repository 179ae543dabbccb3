// Python names, signature and bindings of halcyra.infer.predict: the
// arguments of postprocess as C++ values (flow.h's Options) and the Python
// side of the flow's Callbacks.
#include <ATen/ATen.h>
#include <torch/csrc/Device.h>

#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "../pyapi/compat.h"
#include "../pyapi/tensors.h"
#include "flow.h"

namespace py = pybind11;
using namespace halcyra;
using pyapi::Args;
using predict::Entry;
using predict::Param;

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

// `obj[key]` of an object that is not a tensor: its own indexing, a result
// that is not a tensor through its .float().
at::Tensor item(py::handle obj, py::handle key, const char* what) {
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
  // The refine module's own forward: a function of that module's namespace
  // whose code comes from the module's source file (refine.py beside its .so,
  // the name its code is compiled under), not one assigned later.
  if (!fwd || !PyFunction_Check(fwd) || PyFunction_GET_GLOBALS(fwd) != PyModule_GetDict(mod))
    return false;
  py::handle code = PyFunction_GET_CODE(fwd);
  py::object file = code.attr("co_filename"), qual = py::handle(fwd).attr("__qualname__");
  PyObject* so = PyModule_GetFilenameObject(mod);
  if (!so) {
    PyErr_Clear();
    return false;
  }
  std::string source = py::reinterpret_steal<py::str>(so).cast<std::string>();
  source = source.substr(0, source.rfind('/') + 1) + "refine.py";
  if (!py::isinstance<py::str>(qual) || qual.cast<std::string>() != "RefineHead.forward" ||
      !py::isinstance<py::str>(file) || file.cast<std::string>() != source)
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

// A handle the flow carries for a Python object (owns one reference).
std::shared_ptr<void> hold(py::object o) {
  return std::shared_ptr<void>(o.release().ptr(),
                               [](void* p) { Py_DECREF(static_cast<PyObject*>(p)); });
}

PyObject* held(const std::shared_ptr<void>& h) { return static_cast<PyObject*>(h.get()); }

predict::Value value(py::object o) {
  predict::Value v;
  if (pyapi::is_tensor(o)) v.tensor = THPVariable_Unpack(o.ptr());
  v.object = hold(std::move(o));
  return v;
}

// make_anchors' result as returned, and its two items.
struct AnchorObjects {
  py::object all;
  std::vector<py::object> items;
};

const py::object& anchor_item(const predict::Anchors& a, size_t i) {
  return static_cast<const AnchorObjects*>(a.object.get())->items[i];
}

// The Python side of the flow: postprocess's arguments, the module's globals,
// the refine head.
class Binding final : public predict::Callbacks {
 public:
  explicit Binding(const Args& a)
      : preds_(a[0]), conf_thres_(a[1]), nms_iou_(a[2]), max_det_(a[3]), pre_nms_(a[4]),
        mask_thres_(a[5]), num_kpts_(a[6]), n_pline_(a[7]), input_size_(a[8]), refine_(a[9]),
        box_offset_(a[10]) {}

  predict::Options options() const {
    predict::Options o;
    float f = 0.f;
    double d = 0.0;
    int64_t i = 0;
    if (float_threshold(conf_thres_, &f)) o.conf_thres = f;
    if (iou_threshold(nms_iou_, &d)) o.nms_iou = d;
    if (plain_int(max_det_, &i)) o.max_det = i;
    if (plain_int(pre_nms_, &i)) o.pre_nms = i;
    if (plain_int(n_pline_, &i)) o.n_pline = i;
    if (float_threshold(box_offset_, &f)) o.box_offset = f;
    o.refine = !refine_.is_none();
    return o;
  }

  bool has(Entry e) override { return pyapi::contains(preds_, predict::entry_name(e)); }

  predict::Value fetch(Entry e) override {
    return value(pyapi::getitem(preds_, predict::entry_name(e)));
  }

  at::Tensor fetch_float(Entry e) override {
    const char* name = predict::entry_name(e);
    return as_float(pyapi::getitem(preds_, name), name);
  }

  at::Tensor fetch_tensor(Entry e) override {
    const char* name = predict::entry_name(e);
    return as_tensor(pyapi::getitem(preds_, name), name);
  }

  at::Tensor index(const predict::Value& v, Entry e, const predict::Subscript& s) override {
    py::object key;
    if (s.range)
      key = py::reinterpret_steal<py::object>(
          PySlice_New(py::int_(s.b).ptr(), py::int_(s.b + 1).ptr(), nullptr));
    else if (s.idx.defined())
      key = py::make_tuple(s.b, pyapi::wrap(s.idx));
    else
      key = py::int_(s.b);
    return item(held(v.object), key, predict::entry_name(e));
  }

  predict::Anchors make_anchors(const at::Device& device) override {
    const pyapi::Module& mod = *g_mod;
    py::object dev = py::reinterpret_steal<py::object>(THPDevice_New(device));
    if (!dev) throw py::error_already_set();
    auto objs = std::make_shared<AnchorObjects>();
    objs->all =
        mod.global("make_anchors")(pyapi::getitem(preds_, "feat_shapes"), mod.global("STRIDES"), dev);
    objs->items = pyapi::unpack(objs->all, 2);
    predict::Anchors a;
    a.points = as_tensor(objs->items[0], "points");
    a.strides = as_tensor(objs->items[1], "strides");
    a.object = std::move(objs);
    return a;
  }

  predict::Function find_decode_boxes() override {
    return found(g_mod->global("decode_boxes"), g_decode_boxes->ptr());
  }

  at::Tensor decode_boxes(const predict::Function& fn, const predict::Anchors& a,
                          const at::Tensor& box_raw) override {
    py::handle decode = held(fn.object);
    return as_tensor(decode(pyapi::wrap(box_raw), anchor_item(a, 0), anchor_item(a, 1),
                            py::arg("offset") = box_offset_),
                     "decode_boxes() result");
  }

  bool nms_as_loaded() override {
    return is_torchvision_nms(PyDict_GetItemString(g_mod->ns().ptr(), "batched_nms"));
  }

  predict::Function find_nms() override {
    py::object fn = g_mod->global("batched_nms");
    const bool own = is_torchvision_nms(fn.ptr());
    predict::Function f;
    f.as_loaded = own;
    f.object = hold(std::move(fn));
    return f;
  }

  at::Tensor nms(const predict::Function& fn, const at::Tensor& boxes, const at::Tensor& scores,
                 const at::Tensor& cls) override {
    py::handle f = held(fn.object);
    return as_tensor(f(pyapi::wrap(boxes), pyapi::wrap(scores), pyapi::wrap(cls), nms_iou_),
                     "batched_nms() result");
  }

  predict::Function find_decode_points() override {
    return found(g_mod->global("decode_points"), g_decode_points->ptr());
  }

  at::Tensor decode_points(const predict::Function& fn, const predict::Anchors& a,
                           const at::Tensor& raw) override {
    py::handle f = held(fn.object);
    py::object pts = f(pyapi::wrap(raw), anchor_item(a, 0), anchor_item(a, 1), n_pline_);
    return as_tensor(pts, "decode_points() result");
  }

  at::Tensor interpolate(const at::Tensor& x, int64_t h, int64_t w) override {
    py::object r = g_mod->global("F").attr("interpolate")(
        pyapi::wrap(x), py::arg("size") = py::make_tuple(h, w), py::arg("mode") = "bilinear",
        py::arg("align_corners") = false);
    return as_tensor(r, "patch");
  }

  int64_t to_int(Param p) override { return int_value(param(p), predict::param_name(p)); }

  bool to_scalar(Param p, at::Scalar* out) override { return pyapi::scalar_arg(param(p), out); }

  at::Tensor greater(const at::Tensor& t, Param p) override { return ::greater(t, param(p)); }

  bool exceeds(int64_t count, Param p) override { return ::exceeds(count, param(p)); }

  at::Tensor head(const at::Tensor& keep, Param p) override { return ::head(keep, param(p)); }

  bool refine_as_shipped() override { return own_refine_head(refine_); }

  at::Tensor sanitize(const at::Tensor& boxes, int64_t h, int64_t w, double stride) override {
    py::object bxs = py::reinterpret_borrow<py::object>(refine_).attr("sanitize")(
        pyapi::wrap(boxes), py::make_tuple(h, w), py::float_(stride));
    return pyapi::tensor_arg(bxs, "postprocess", "sanitize() result");
  }

  predict::Value refine(const at::Tensor& f2, const at::Tensor& coarse, const at::Tensor& regions,
                        const at::Tensor& batch, double stride) override {
    return value(py::reinterpret_borrow<py::object>(refine_)(
        pyapi::wrap(f2), pyapi::wrap(coarse), pyapi::wrap(regions), pyapi::wrap(batch),
        py::float_(stride)));
  }

  at::Tensor refine_row(const predict::Value& refined, int64_t k) override {
    PyObject* r = PyObject_GetItem(held(refined.object), py::int_(k).ptr());
    if (!r) throw py::error_already_set();
    return as_tensor(py::reinterpret_steal<py::object>(r), "refine result");
  }

  int64_t int_of(const at::Tensor& t, int64_t k) override {
    py::object item = py::reinterpret_steal<py::object>(
        PyObject_GetItem(pyapi::wrap(t).ptr(), py::int_(k).ptr()));
    if (!item) throw py::error_already_set();
    return py::int_(item).cast<int64_t>();
  }

  [[noreturn]] void raise_unpack(size_t n, size_t got) override { pyapi::raise_unpack(n, got); }

  [[noreturn]] void raise(predict::Error kind, const char* msg) override {
    PyObject* type = kind == predict::Error::kValue      ? PyExc_ValueError
                     : kind == predict::Error::kOverflow ? PyExc_OverflowError
                                                         : PyExc_ZeroDivisionError;
    PyErr_SetString(type, msg);
    throw py::error_already_set();
  }

  void unlocked(const std::function<void()>& f) override {
    py::gil_scoped_release nogil;
    f();
  }

 private:
  static predict::Function found(py::object fn, PyObject* loaded) {
    predict::Function f;
    f.as_loaded = fn.ptr() == loaded;
    f.object = hold(std::move(fn));
    return f;
  }

  py::handle param(Param p) const {
    switch (p) {
      case Param::kConfThres: return conf_thres_;
      case Param::kMaxDet: return max_det_;
      case Param::kPreNms: return pre_nms_;
      case Param::kMaskThres: return mask_thres_;
      case Param::kNumKpts: return num_kpts_;
      case Param::kInputSize: return input_size_;
    }
    return py::none();
  }

  py::handle preds_, conf_thres_, nms_iou_, max_det_, pre_nms_, mask_thres_, num_kpts_, n_pline_,
      input_size_, refine_, box_offset_;
};

py::object postprocess(const Args& a) {
  Binding binding(a);
  const std::vector<predict::Detections> dets = predict::postprocess(binding.options(), binding);
  py::list out;
  for (const predict::Detections& d : dets) {
    py::dict res;
    res["boxes"] = pyapi::wrap(d.boxes);
    res["scores"] = pyapi::wrap(d.scores);
    res["cls"] = pyapi::wrap(d.cls);
    if (d.masks.defined()) res["masks"] = pyapi::wrap(d.masks);
    if (d.kpts.defined()) res["kpts"] = pyapi::wrap(d.kpts);
    if (d.plines.defined()) res["plines"] = pyapi::wrap(d.plines);
    if (d.tags.defined()) res["tags"] = pyapi::wrap(d.tags);
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
  // The fake kernels of the operators with data-dependent result sizes (ops.cpp).
  py::module_::import("halcyra.infer._fake_predict");
  // Kept for the life of the process: postprocess looks its globals up here.
  g_mod = new pyapi::Module(m);
  g_mod->def("postprocess",
          "(preds: dict, conf_thres: float = 0.25, nms_iou: float = 0.7, max_det: int = 300, "
          "pre_nms: int = 3000, mask_thres: float = 0.5, num_kpts: int = 0, n_pline: int = 16, "
          "input_size: int = 640, refine=None, box_offset: float = 0.0) -> list[dict]",
          postprocess, kPostprocessDoc);
}
