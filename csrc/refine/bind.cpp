// halcyra.models.refine: RefineHead, a small per-instance mask refinement
// network (a torch.nn.Module subclass with C++ methods).
#include "../pyapi/compat.h"
#include "../pyapi/tensors.h"
#include "refine.h"

namespace py = pybind11;
using namespace halcyra;
using pyapi::Args;

namespace {

pyapi::Module* g_mod = nullptr;
py::object* g_cls = nullptr;

const char* kClassDoc =
    "Per-instance mask refinement from the stride-2 feature f2 and the coarse\n"
    "prototype mask logits.\n\n"
    "For every region (x1, y1, x2, y2 in input pixels) it samples f2 and the coarse\n"
    "logits at roi x roi points with roi_align, reduces f2 to `hidden` channels,\n"
    "and predicts a correction of the sampled coarse logits with two 3x3\n"
    "convolutions and a 1x1 output convolution (zero-initialised, so a new head\n"
    "reproduces the coarse mask). Attributes: roi (int, side of the region\n"
    "masks), min_side (float, smallest region side kept by sanitize, in input\n"
    "pixels).";

const char* kInitDoc =
    "in_ch: channels of f2; roi: side of the predicted region masks; hidden: width\n"
    "of the convolutions; min_side: smallest region side, in input pixels, that\n"
    "sanitize keeps.";

const char* kSanitizeDoc =
    "Boxes (N, 4) xyxy in input pixels made safe to sample: corners ordered,\n"
    "NaN and infinite coordinates replaced, clipped to the feature extent\n"
    "(size[0] * stride high, size[1] * stride wide), and each side widened about\n"
    "its centre to at least min_side (or the whole extent when that is smaller).\n"
    "Row k of the result comes from row k of boxes.";

const char* kForwardDoc =
    "Region mask logits (N, roi, roi).\n\n"
    "f2 (B, C, H2, W2) with `stride` input pixels per cell; coarse (N, hm, wm)\n"
    "logits on the prototype grid, which spans the same input extent (W2 * stride\n"
    "by H2 * stride pixels); boxes (N, 4) regions in input pixels; bidx (N,) the\n"
    "image of each region in f2.";

// What the compiler traces instead of the two methods: the same steps, with
// the sampling and the submodules as Python calls it sees (so that replaced
// or hooked submodules behave as in eager mode) and the box arithmetic and
// checks as operators.
const char* kSanitizeTraced = R"(h, w = size
return __halcyra_op(boxes, float(h) * stride, float(w) * stride, float(self.min_side))
)";

const char* kForwardTraced = R"(feat_rois, coarse_rois = __halcyra_op(f2, coarse, boxes, bidx, float(stride))
size = (self.roi, self.roi)
f_roi = roi_align(f2, feat_rois, size, spatial_scale=1.0 / stride, sampling_ratio=2, aligned=True)
c_roi = roi_align(coarse.to(f2.dtype).unsqueeze(1), coarse_rois, size, spatial_scale=1.0,
                  sampling_ratio=2, aligned=True)
x = torch.cat([self.reduce(f_roi), c_roi], 1)
return self.out(self.body(x)).select(1, 0) + c_roi.select(1, 0)
)";

py::object builtins_super(py::handle self) {
  static py::object super = py::module_::import("builtins").attr("super");
  return super(*g_cls, self);
}

py::object init(const Args& a) {
  py::handle self = a[0];
  builtins_super(self).attr("__init__")();
  const int64_t in_ch = pyapi::int_arg(a[1], "RefineHead", "in_ch");
  const int64_t roi = pyapi::int_arg(a[2], "RefineHead", "roi");
  const int64_t hidden = pyapi::int_arg(a[3], "RefineHead", "hidden");
  at::Scalar ms;
  if (!pyapi::scalar_arg(a[4], &ms))
    pyapi::raise_type_error(std::string("RefineHead(): argument 'min_side' must be a number, not ") +
                            Py_TYPE(a[4].ptr())->tp_name);
  if (roi < 1) {
    PyErr_SetString(PyExc_ValueError, "RefineHead(): roi must be at least 1");
    throw py::error_already_set();
  }
  py::module_ nn = py::module_::import("torch.nn");
  py::object conv = nn.attr("Conv2d");
  py::object s = py::reinterpret_borrow<py::object>(self);
  s.attr("roi") = py::int_(roi);
  s.attr("min_side") = py::float_(ms.toDouble());
  s.attr("reduce") = conv(in_ch, hidden, 1);
  s.attr("body") = nn.attr("Sequential")(conv(hidden + 1, hidden, 3, py::arg("padding") = 1),
                                          nn.attr("ReLU")(),
                                          conv(hidden, hidden, 3, py::arg("padding") = 1),
                                          nn.attr("ReLU")());
  py::object out = conv(hidden, 1, 1);
  py::module_ init_mod = py::module_::import("torch.nn.init");
  init_mod.attr("zeros_")(out.attr("weight"));
  init_mod.attr("zeros_")(out.attr("bias"));
  s.attr("out") = out;
  return py::none();
}

double number(py::handle h, const char* fn, const char* arg) {
  at::Scalar v;
  if (pyapi::scalar_arg(h, &v)) return v.toDouble();
  if (pyapi::is_tensor(h)) return THPVariable_Unpack(h.ptr()).item<double>();
  pyapi::raise_type_error(std::string(fn) + "(): argument '" + arg + "' must be a number, not " +
                          Py_TYPE(h.ptr())->tp_name);
}

py::object sanitize(const Args& a) {
  at::Tensor boxes = pyapi::tensor_arg(a[1], "sanitize", "boxes");
  std::vector<py::object> hw = pyapi::unpack(a[2], 2);
  const double stride = number(a[3], "sanitize", "stride");
  const double h = number(hw[0], "sanitize", "size") * stride;
  const double w = number(hw[1], "sanitize", "size") * stride;
  const double min_side = number(a[0].attr("min_side"), "sanitize", "min_side");
  if (boxes.dim() != 2 || boxes.size(1) != 4)
    throw py::value_error("sanitize(): boxes must have shape (N, 4)");
  return pyapi::wrap(refine::sanitize(boxes, h, w, min_side));
}

py::object forward(const Args& a) {
  py::object self = py::reinterpret_borrow<py::object>(a[0]);
  at::Tensor f2 = pyapi::tensor_arg(a[1], "forward", "f2");
  at::Tensor coarse = pyapi::tensor_arg(a[2], "forward", "coarse");
  at::Tensor boxes = pyapi::tensor_arg(a[3], "forward", "boxes");
  at::Tensor bidx = pyapi::tensor_arg(a[4], "forward", "bidx");
  const double stride = number(a[5], "forward", "stride");
  const auto rois = refine::forward_rois(f2, coarse, boxes, bidx, stride);
  const at::Tensor& feat_rois = rois.first;
  const at::Tensor& coarse_rois = rois.second;
  const int64_t roi = pyapi::int_arg(self.attr("roi"), "forward", "roi");
  const double scale = 1.0 / stride;
  py::object roi_align = g_mod->global("roi_align");
  py::tuple size = py::make_tuple(roi, roi);
  py::object f_roi = roi_align(pyapi::wrap(f2), pyapi::wrap(feat_rois), size,
                               py::arg("spatial_scale") = scale,
                               py::arg("sampling_ratio") = 2, py::arg("aligned") = true);
  at::Tensor cin = coarse.to(f2.scalar_type()).unsqueeze(1);
  py::object c_roi_obj = roi_align(pyapi::wrap(cin), pyapi::wrap(coarse_rois), size,
                                   py::arg("spatial_scale") = 1.0, py::arg("sampling_ratio") = 2,
                                   py::arg("aligned") = true);
  at::Tensor c_roi = pyapi::tensor_arg(c_roi_obj, "forward", "roi_align() result");
  py::object reduced = self.attr("reduce")(f_roi);
  at::Tensor x = at::cat({pyapi::tensor_arg(reduced, "forward", "reduce() result"), c_roi}, 1);
  py::object y = self.attr("out")(self.attr("body")(pyapi::wrap(x)));
  at::Tensor delta = pyapi::tensor_arg(y, "forward", "out() result");
  return pyapi::wrap(delta.select(1, 0) + c_roi.select(1, 0));
}

py::object extra_repr(const Args& a) {
  py::handle self = a[0];
  return py::str("roi={}, min_side={}").format(self.attr("roi"), self.attr("min_side"));
}

}  // namespace

PYBIND11_MODULE(refine, m) {
  m.doc() = "RefineHead: per-instance mask refinement from f2 and the coarse prototype masks.";
  py::module_::import("torchvision");
  py::module_ torch = py::module_::import("torch");
  m.attr("torch") = torch;
  m.attr("nn") = py::module_::import("torch.nn");
  m.attr("roi_align") = py::module_::import("torchvision.ops").attr("roi_align");
  g_mod = new pyapi::Module(m);
  py::dict ns;
  ns["__init__"] = g_mod->function(
      "__init__", "RefineHead.__init__",
      "(self, in_ch: int = 96, roi: int = 28, hidden: int = 64, min_side: float = 4.0)", init,
      kInitDoc);
  ns["sanitize"] = g_mod->function("sanitize", "RefineHead.sanitize",
                                   "(self, boxes: torch.Tensor, size, stride: float) -> torch.Tensor",
                                   sanitize, kSanitizeDoc,
                                   {"halcyra.sanitize_boxes",
                                    "isinstance(boxes, torch.Tensor) and "
                                    "isinstance(stride, (int, float))",
                                    nullptr, kSanitizeTraced});
  ns["forward"] = g_mod->function(
      "forward", "RefineHead.forward",
      "(self, f2: torch.Tensor, coarse: torch.Tensor, boxes: torch.Tensor, bidx: torch.Tensor, "
      "stride: float) -> torch.Tensor",
      forward, kForwardDoc,
      {"halcyra.refine_rois",
       "isinstance(f2, torch.Tensor) and isinstance(coarse, torch.Tensor) and "
       "isinstance(boxes, torch.Tensor) and isinstance(bidx, torch.Tensor) and "
       "isinstance(stride, (int, float))",
       nullptr, kForwardTraced});
  ns["extra_repr"] = g_mod->function("extra_repr", "RefineHead.extra_repr", "(self) -> str",
                                     extra_repr, "The settings shown in the module's repr (roi, min_side).");
  py::object cls = g_mod->make_class("RefineHead", torch.attr("nn").attr("Module"), ns, kClassDoc);
  g_cls = new py::object(cls);
}
