// Python names, signatures and defaults of halcyra.infer.decode.
#include <torch/library.h>

#include "../pyapi/tensors.h"
#include "decode.h"

namespace py = pybind11;
using namespace halcyra;
using pyapi::Args;

namespace {

const char* kFlattenDoc =
    "Flatten a head output (B, C, H, W) to (B, H*W, C), channel-last with\n"
    "row-major anchors, the order of make_anchors. Reshapes (does not view), so\n"
    "non-contiguous inputs are accepted. ValueError if x is not 4-dimensional.";

const char* kAnchorsDoc =
    "Anchor points and per-anchor strides for the given levels.\n\n"
    "feat_shapes: one (H, W) per level; strides: parallel per-level strides (the\n"
    "walk stops at the shorter of the two). Returns (points (A, 2) as (x, y) cell\n"
    "centres ((j + 0.5) * s, (i + 0.5) * s), strides (A,)), both of `dtype` on\n"
    "`device`, level-major then row-major. New tensors on every call.";

const char* kBoxesDoc =
    "Decode (B, A, 4) left/top/right/bottom regressions in stride units into xyxy\n"
    "boxes in input pixels: d = (softplus(raw) - offset) * stride; (x1, y1) =\n"
    "points - d[..., :2]; (x2, y2) = points + d[..., 2:]; when offset is truthy,\n"
    "(x2, y2) is raised to at least (x1, y1). No casting: results follow type\n"
    "promotion of the inputs.";

const char* kPointsDoc =
    "Decode (B, A, 2n) interleaved x, y offsets in stride units into (B, A, n, 2)\n"
    "points in input pixels: raw * stride + anchor point. No activation, no\n"
    "clamping.";

// `b, c, h, w = x.shape` for a tensor: ValueError with the interpreter's text.
void check_dims(const at::Tensor& t, size_t n) {
  if (static_cast<size_t>(t.dim()) != n) pyapi::raise_unpack(n, t.dim());
}

// `x.shape` for something that is not a tensor: AttributeError as Python
// gives it, or TypeError if the object does have a shape.
at::Tensor shaped_tensor(py::handle h, const char* fn, const char* arg) {
  if (!pyapi::is_tensor(h)) py::getattr(h, "shape");
  return pyapi::tensor_arg(h, fn, arg);
}

py::object flatten_preds(const Args& a) {
  at::Tensor x = shaped_tensor(a[0], "flatten_preds", "x");
  check_dims(x, 4);
  return pyapi::wrap(decode::flatten_preds(x));
}

at::Scalar number(py::handle h, const char* what) {
  at::Scalar s;
  if (pyapi::scalar_arg(h, &s)) return s;
  if (pyapi::is_tensor(h)) return THPVariable_Unpack(h.ptr()).item();
  pyapi::raise_type_error(std::string("make_anchors(): ") + what +
                          " must be a number, not " + Py_TYPE(h.ptr())->tp_name);
}

py::object make_anchors(const Args& a) {
  at::ScalarType dtype = pyapi::dtype_arg(a[3], "make_anchors", "dtype");
  at::Device device = pyapi::device_arg(a[2]);
  auto opts = at::TensorOptions().dtype(dtype).device(device);
  // zip(feat_shapes, strides): stops at the shorter one.
  py::iterator shapes = py::iter(a[0]);
  py::iterator strides = py::iter(a[1]);
  std::vector<decode::Level> levels;
  while (true) {
    PyObject* shape = PyIter_Next(shapes.ptr());
    if (!shape) {
      if (PyErr_Occurred()) throw py::error_already_set();
      break;
    }
    py::object shape_obj = py::reinterpret_steal<py::object>(shape);
    PyObject* s = PyIter_Next(strides.ptr());
    if (!s) {
      if (PyErr_Occurred()) throw py::error_already_set();
      break;
    }
    py::object s_obj = py::reinterpret_steal<py::object>(s);
    std::vector<py::object> hw = pyapi::unpack(shape_obj, 2);
    levels.push_back({number(hw[0], "feature size"), number(hw[1], "feature size"),
                      number(s_obj, "stride")});
  }
  auto r = decode::make_anchors(levels, opts);
  return py::make_tuple(pyapi::wrap(r.first), pyapi::wrap(r.second));
}

py::object decode_boxes(const Args& a) {
  at::Tensor raw = pyapi::tensor_arg(a[0], "decode_boxes", "raw");
  at::Tensor points = pyapi::tensor_arg(a[1], "decode_boxes", "points");
  at::Tensor stride = pyapi::tensor_arg(a[2], "decode_boxes", "stride");
  py::handle off = a[3];
  at::Scalar s;
  if (pyapi::scalar_arg(off, &s)) {
    bool apply = s.isFloatingPoint() ? s.toDouble() != 0.0 : s.toLong() != 0;
    return pyapi::wrap(decode::decode_boxes(raw, points, stride, s, apply));
  }
  if (pyapi::is_tensor(off)) {
    // The subtraction comes before the truth test of the offset.
    at::Tensor d = (at::softplus(raw) - THPVariable_Unpack(off.ptr())) * stride.unsqueeze(-1);
    bool apply = pyapi::truthy(off);
    return pyapi::wrap(decode::finish_boxes(d, points, apply));
  }
  pyapi::raise_type_error(std::string("unsupported operand type(s) for -: 'Tensor' and '") +
                          Py_TYPE(off.ptr())->tp_name + "'");
}

py::object decode_points(const Args& a) {
  at::Tensor raw = shaped_tensor(a[0], "decode_points", "raw");
  at::Tensor points = pyapi::tensor_arg(a[1], "decode_points", "points");
  at::Tensor stride = pyapi::tensor_arg(a[2], "decode_points", "stride");
  check_dims(raw, 3);
  int64_t n = pyapi::int_arg(a[3], "decode_points", "n");
  return pyapi::wrap(decode::decode_points(raw, points, stride, n));
}

// ---- dispatcher operators ------------------------------------------------
// The same computations as tensor-operation sequences (no raw-pointer
// kernels), registered as composite operators: under torch.compile the
// functions above call these, the compiler traces through them, autograd and
// shape inference come from the operations they are made of, and the graph
// stays whole.

at::Tensor op_flatten_preds(const at::Tensor& x) {
  TORCH_CHECK_VALUE(x.dim() == 4, "flatten_preds(): x must be 4-dimensional, got ", x.dim());
  return decode::flatten_preds(x);
}

at::Tensor op_decode_boxes(const at::Tensor& raw, const at::Tensor& points,
                           const at::Tensor& stride, const at::Scalar& offset) {
  bool apply = offset.isFloatingPoint() ? offset.toDouble() != 0.0 : offset.toLong() != 0;
  return decode::finish_boxes((at::softplus(raw) - offset) * stride.unsqueeze(-1), points, apply);
}

at::Tensor op_decode_points(const at::Tensor& raw, const at::Tensor& points,
                            const at::Tensor& stride, int64_t n) {
  return decode::points_ops(raw, points, stride, n);
}

// Levels as parallel lists (the function zips them before the call).
std::tuple<at::Tensor, at::Tensor> op_make_anchors(at::IntArrayRef hs, at::IntArrayRef ws,
                                                   at::ArrayRef<double> strides,
                                                   at::ScalarType dtype, at::Device device) {
  TORCH_CHECK_VALUE(hs.size() == ws.size() && hs.size() == strides.size(),
                    "make_anchors(): ", hs.size(), " heights, ", ws.size(), " widths and ",
                    strides.size(), " strides");
  std::vector<decode::Level> levels;
  for (size_t i = 0; i < hs.size(); ++i) levels.push_back({hs[i], ws[i], strides[i]});
  auto r = decode::make_anchors(levels, at::TensorOptions().dtype(dtype).device(device));
  return {r.first, r.second};
}

}  // namespace

TORCH_LIBRARY_FRAGMENT(halcyra, m) {
  m.def("flatten_preds(Tensor x) -> Tensor", TORCH_FN(op_flatten_preds));
  m.def("decode_boxes(Tensor raw, Tensor points, Tensor stride, Scalar offset=0.0) -> Tensor",
        TORCH_FN(op_decode_boxes));
  m.def("decode_points(Tensor raw, Tensor points, Tensor stride, int n) -> Tensor",
        TORCH_FN(op_decode_points));
  m.def("make_anchors(int[] hs, int[] ws, float[] strides, ScalarType dtype, Device device) -> "
        "(Tensor, Tensor)",
        TORCH_FN(op_make_anchors));
}

PYBIND11_MODULE(decode, m) {
  m.doc() =
      "Anchor grid, prediction flattening and box/point decoding: the single\n"
      "implementation that heads, the training criterion and the postprocess share.";
  py::module_ torch = py::module_::import("torch");
  m.attr("torch") = torch;
  m.attr("F") = py::module_::import("torch.nn.functional");
  m.attr("STRIDES") = py::make_tuple(8, 16, 32);
  pyapi::Module mod(m);
  mod.def("flatten_preds", "(x: torch.Tensor) -> torch.Tensor", flatten_preds, kFlattenDoc,
          {"halcyra.flatten_preds", "isinstance(x, torch.Tensor) and x.dim() == 4"});
  mod.def("make_anchors",
          "(feat_shapes, strides=STRIDES, device='cpu', dtype=torch.float32)",
          make_anchors, kAnchorsDoc,
          // Plain lists or tuples of int sizes and number strides, a floating
          // dtype: the operator gets the zipped levels (the condition reads
          // the arguments without consuming any iterator).
          {"halcyra.make_anchors",
           "isinstance(feat_shapes, (list, tuple)) and isinstance(strides, (list, tuple)) and "
           "all(isinstance(hw, (list, tuple)) and len(hw) == 2 and type(hw[0]) is int and "
           "type(hw[1]) is int for hw in feat_shapes) and "
           "all(type(s) in (int, float) for s in strides) and "
           "isinstance(device, (str, torch.device)) and isinstance(dtype, torch.dtype) and "
           "dtype.is_floating_point",
           "[hw[0] for hw, s in zip(feat_shapes, strides)], "
           "[hw[1] for hw, s in zip(feat_shapes, strides)], "
           "[float(s) for hw, s in zip(feat_shapes, strides)], dtype, torch.device(device)"});
  mod.def("decode_boxes",
          "(raw: torch.Tensor, points: torch.Tensor, stride: torch.Tensor, "
          "offset: float = 0.0) -> torch.Tensor",
          decode_boxes, kBoxesDoc,
          {"halcyra.decode_boxes",
           "isinstance(raw, torch.Tensor) and isinstance(points, torch.Tensor) and "
           "isinstance(stride, torch.Tensor) and isinstance(offset, (int, float))"});
  mod.def("decode_points",
          "(raw: torch.Tensor, points: torch.Tensor, stride: torch.Tensor, n: int) "
          "-> torch.Tensor",
          decode_points, kPointsDoc,
          {"halcyra.decode_points",
           "isinstance(raw, torch.Tensor) and isinstance(points, torch.Tensor) and "
           "isinstance(stride, torch.Tensor) and raw.dim() == 3 and isinstance(n, int)"});
}
