// Python names, signatures and defaults of halcyra.models.neck.
#include "../pyapi/tensors.h"
#include "neck.h"

#include <string>
#include <vector>

namespace py = pybind11;
using namespace halcyra;
using pyapi::Args;

namespace {

// Set once at load and kept for the life of the process (never destroyed, so
// nothing is released after the interpreter has gone).
const pyapi::Module* g_mod = nullptr;
PyObject* g_cls = nullptr;           // HRNeckLite, for super(HRNeckLite, self)
PyObject* g_interpolate = nullptr;   // torch.nn.functional.interpolate at load
PyObject* g_cat = nullptr;           // torch.cat at load
PyObject* g_tracing_state = nullptr; // torch._C._get_tracing_state

const char* kBlockDoc =
    "Conv-BN-SiLU block: nn.Sequential(Conv2d(in_ch, out_ch, kernel, stride 1,\n"
    "padding kernel // 2, no bias), BatchNorm2d(out_ch, momentum=BN_MOMENTUM),\n"
    "SiLU(inplace=True)). Positions 0, 1, 2 name the parameters in checkpoints.";

const char* kClassDoc =
    "Feature neck between a high-resolution multi-branch trunk and the heads.\n\n"
    "Each detection level p3, p4, p5 comes from its own trunk branch alone\n"
    "(lateral 1x1 block, then a 3x3 smoothing block); the only cross-resolution\n"
    "step builds the mask features: c2 (stride 4) from all branches upsampled to\n"
    "stride 4 and concatenated, and f2 (stride 2) from c2 upsampled and fused with\n"
    "the stem's stride-2 feature.";

const char* kInitDoc =
    "Build the neck.\n\n"
    "in_channels: channel counts of the trunk's stride 4, 8, 16, 32 branches;\n"
    "entries 1 onward become detection levels, all of them enter c2.\n"
    "width: channels of p3/p4/p5. c2_ch: channels of c2 and f2. stem_ch: channels\n"
    "of the stride-2 stem feature. with_mask: whether forward computes c2 and f2\n"
    "(their blocks exist either way, so checkpoints load in both cases).\n"
    "Convolution weights: Kaiming normal (fan_out, relu), drawn from the global\n"
    "generator in registration order; batch-norm weights 1, biases 0.";

const char* kForwardDoc =
    "ys: [y2, y4, y8, y16, y32], the stem's stride-2 feature then the trunk's\n"
    "branches from fine to coarse (one more than in_channels has entries).\n"
    "Returns a new dict: c2 (B, c2_ch, H/4, W/4) and f2 (B, c2_ch, H/2, W/2) when\n"
    "with_mask is true, then p3, p4, p5 (B, width, H/8 .. H/32), one per lateral\n"
    "block. AssertionError on a wrong number of inputs (unless run with -O).";

// The forward as the compiler traces it (torch.compile, torch.export): the
// same statements in the same order as neck_forward, over the module's
// globals, so submodules are called as modules (their hooks fire, replaced
// submodules are used), late-bound names are the module's, and the whole
// neck is one graph. The compiler fuses the upsampling into the
// concatenation itself, which the eager path does with upsample_cat.
const char* kForwardTraced = R"(assert len(ys) == len(self.laterals) + 2, (
    f"expected {len(self.laterals) + 2} levels (incl. y2), got {len(ys)}")
y2, feats = ys[0], ys[1:]
out = {}
if self.with_mask:
    ups = [feats[0]] + [F.interpolate(f, scale_factor=float(2 ** (i + 1)), mode="nearest")
                        for i, f in enumerate(feats[1:])]
    c2 = self.c2_conv(torch.cat(ups, dim=1))
    out["c2"] = c2
    up = F.interpolate(c2, scale_factor=2.0, mode="nearest")
    out["f2"] = self.f2_conv(torch.cat([up, y2], dim=1))
for name, f, lat, sm in zip(("p3", "p4", "p5"), feats[1:], self.laterals, self.smooths):
    out[name] = sm(lat(f))
return out
)";

py::object call_method(py::handle obj, const char* name) {
  return obj.attr(name)();
}

// `a // b` with the interpreter's semantics.
py::object floordiv(py::handle a, long b) {
  py::object bo = py::int_(b);
  PyObject* r = PyNumber_FloorDivide(a.ptr(), bo.ptr());
  if (!r) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(r);
}

py::object add(py::handle a, py::handle b) {
  PyObject* r = PyNumber_Add(a.ptr(), b.ptr());
  if (!r) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(r);
}

py::object tail(py::handle seq) {  // seq[1:]
  py::object sl = py::reinterpret_steal<py::object>(PySlice_New(py::int_(1).ptr(), nullptr, nullptr));
  if (!sl) throw py::error_already_set();
  PyObject* r = PyObject_GetItem(seq.ptr(), sl.ptr());
  if (!r) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(r);
}

py::object item(py::handle seq, long i) {  // seq[i]
  py::object k = py::int_(i);
  PyObject* r = PyObject_GetItem(seq.ptr(), k.ptr());
  if (!r) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(r);
}

Py_ssize_t length(py::handle obj) {
  Py_ssize_t n = PyObject_Size(obj.ptr());
  if (n < 0) throw py::error_already_set();
  return n;
}

// ---- _conv_bn_silu ---------------------------------------------------------

py::object conv_bn_silu(const Args& a) {
  py::handle in_ch = a[0], out_ch = a[1], kernel = a[2];
  py::object nn = g_mod->global("nn");
  py::object seq = nn.attr("Sequential");
  py::object conv = nn.attr("Conv2d")(in_ch, out_ch, kernel, py::arg("padding") = floordiv(kernel, 2),
                                      py::arg("bias") = false);
  py::object bn = nn.attr("BatchNorm2d")(out_ch, py::arg("momentum") = g_mod->global("BN_MOMENTUM"));
  py::object act = nn.attr("SiLU")(py::arg("inplace") = true);
  return seq(conv, bn, act);
}

// ---- HRNeckLite.__init__ ---------------------------------------------------

py::object neck_init(const Args& a) {
  py::handle self = a[0], in_channels = a[1], width = a[2], c2_ch = a[3], stem_ch = a[4],
             with_mask = a[5];
  py::object super = g_mod->global("super");
  super(py::handle(g_cls), self).attr("__init__")();

  py::object nn = g_mod->global("nn");
  py::object module_list = nn.attr("ModuleList");
  py::list lats;
  for (py::handle c : tail(in_channels)) lats.append(g_mod->global("_conv_bn_silu")(c, width, 1));
  self.attr("laterals") = module_list(lats);

  module_list = nn.attr("ModuleList");
  py::list smooths;
  for (py::handle c : tail(in_channels)) {
    (void)c;
    smooths.append(g_mod->global("_conv_bn_silu")(width, width, 3));
  }
  self.attr("smooths") = module_list(smooths);

  self.attr("with_mask") = with_mask;
  py::object total = g_mod->global("sum")(in_channels);
  self.attr("c2_conv") = g_mod->global("_conv_bn_silu")(total, c2_ch, 1);
  self.attr("f2_conv") = g_mod->global("_conv_bn_silu")(add(c2_ch, stem_ch), c2_ch, 3);

  for (py::handle m : call_method(self, "modules")) {
    py::object nn_now = g_mod->global("nn");
    if (py::isinstance(m, nn_now.attr("Conv2d"))) {
      nn_now.attr("init").attr("kaiming_normal_")(m.attr("weight"), py::arg("mode") = "fan_out",
                                                  py::arg("nonlinearity") = "relu");
    } else if (py::isinstance(m, nn_now.attr("BatchNorm2d"))) {
      py::object init = nn_now.attr("init");
      init.attr("constant_")(m.attr("weight"), 1.0);
      nn_now.attr("init").attr("constant_")(m.attr("bias"), 0.0);
    }
  }
  return py::none();
}

// ---- HRNeckLite.forward ----------------------------------------------------

// F.interpolate(x, scale_factor=s, mode="nearest"), late bound as written.
py::object interpolate(py::handle x, double s) {
  return g_mod->global("F").attr("interpolate")(x, py::arg("scale_factor") = s,
                                                 py::arg("mode") = "nearest");
}

// torch.cat(parts, dim=1) of `parts`, where parts[i] is xs[i] upsampled by
// factors[i] (1: as it is). While torch.cat and F.interpolate are the
// library's own and the inputs are plain tensors of one kind, the
// concatenation is written directly (same values, no upsampled temporaries);
// anything else goes through the Python calls themselves.
py::object upsample_cat(const std::vector<py::object>& xs, const std::vector<int64_t>& factors) {
  bool direct = factors.size() == xs.size();
  if (direct) {
    py::object F = g_mod->global("F"), torch = g_mod->global("torch");
    direct = F.attr("interpolate").ptr() == g_interpolate && torch.attr("cat").ptr() == g_cat &&
             py::reinterpret_steal<py::object>(PyObject_CallNoArgs(g_tracing_state)).is_none();
  }
  std::vector<at::Tensor> ts;
  if (direct) {
    ts.reserve(xs.size());
    for (const auto& x : xs) {
      if (Py_TYPE(x.ptr()) != reinterpret_cast<PyTypeObject*>(THPVariableClass)) {
        direct = false;
        break;
      }
      ts.push_back(THPVariable_Unpack(x.ptr()));
    }
  }
  if (direct && neck::upsample_cat_applies(ts, factors))
    return pyapi::wrap(neck::upsample_cat(ts, factors));
  return py::none();
}

py::object neck_forward(const Args& a) {
  py::handle self = a[0], ys = a[1];
  if (pyapi::assertions_enabled()) {
    Py_ssize_t got = length(ys);
    Py_ssize_t want = length(self.attr("laterals")) + 2;
    if (got != want) {
      want = length(self.attr("laterals")) + 2;
      got = length(ys);
      pyapi::raise_assertion("expected " + std::to_string(want) + " levels (incl. y2), got " +
                             std::to_string(got));
    }
  }
  py::object y2 = item(ys, 0);
  py::object feats = tail(ys);
  py::dict out;
  if (pyapi::truthy(self.attr("with_mask"))) {
    // [y4] + [up(y8, 2.0), up(y16, 4.0), up(y32, 8.0)], concatenated on dim 1.
    // Attribute lookups and calls come in the order the Python statements
    // make them: the upsampling, then self.c2_conv, then torch.cat.
    std::vector<py::object> parts{item(feats, 0)};
    std::vector<int64_t> factors{1};
    for (py::handle f : tail(feats)) {
      parts.push_back(py::reinterpret_borrow<py::object>(f));
      const size_t i = factors.size() - 1;  // enumerate index of this feature
      if (i < 30) factors.push_back(int64_t{1} << (i + 1));
    }
    py::object c2_conv;
    py::object cat_in = upsample_cat(parts, factors);
    if (!cat_in.is_none()) {
      c2_conv = self.attr("c2_conv");
    } else {
      py::list ups;
      ups.append(parts[0]);
      for (size_t i = 1; i < parts.size(); ++i) {
        // float(2 ** (i + 1)) for the i-th feature after y4 (OverflowError
        // as Python gives it for absurd level counts).
        py::object e = py::int_(i);
        py::object p = py::reinterpret_steal<py::object>(
            PyNumber_Power(py::int_(2).ptr(), e.ptr(), Py_None));
        if (!p) throw py::error_already_set();
        double sf = PyFloat_AsDouble(p.ptr());
        if (sf == -1.0 && PyErr_Occurred()) throw py::error_already_set();
        ups.append(interpolate(parts[i], sf));
      }
      c2_conv = self.attr("c2_conv");
      cat_in = g_mod->global("torch").attr("cat")(ups, py::arg("dim") = 1);
    }
    py::object c2 = c2_conv(cat_in);
    out["c2"] = c2;

    py::object f2_conv;
    py::object f2_in = upsample_cat({c2, y2}, {2, 1});
    if (!f2_in.is_none()) {
      f2_conv = self.attr("f2_conv");
    } else {
      py::list pair;
      pair.append(interpolate(c2, 2.0));
      pair.append(y2);
      f2_conv = self.attr("f2_conv");
      f2_in = g_mod->global("torch").attr("cat")(pair, py::arg("dim") = 1);
    }
    out["f2"] = f2_conv(f2_in);
  }
  py::object zipped = g_mod->global("zip")(py::make_tuple("p3", "p4", "p5"), tail(feats),
                                            self.attr("laterals"), self.attr("smooths"));
  for (py::handle entry : zipped) {
    py::tuple t = py::reinterpret_borrow<py::tuple>(entry);
    out[t[0]] = t[3](t[2](t[1]));
  }
  return std::move(out);
}

}  // namespace

PYBIND11_MODULE(neck, m) {
  m.doc() =
      "HRNeckLite: the feature neck that turns the trunk's five outputs into the\n"
      "detection levels p3, p4, p5 and the mask features c2, f2.";
  py::module_ torch = py::module_::import("torch");
  py::module_ F = py::module_::import("torch.nn.functional");
  m.attr("torch") = torch;
  m.attr("F") = F;
  m.attr("Tensor") = torch.attr("Tensor");
  m.attr("nn") = torch.attr("nn");
  // from halcyra.models.backbone import BN_MOMENTUM, with the trunk's value
  // when that module (or the name in it) cannot be imported.
  py::object momentum = py::float_(0.03);
  try {
    py::object bb = py::module_::import("halcyra.models.backbone");
    if (py::hasattr(bb, "BN_MOMENTUM")) momentum = bb.attr("BN_MOMENTUM");
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_ImportError)) throw;
  }
  m.attr("BN_MOMENTUM") = momentum;

  g_interpolate = py::object(F.attr("interpolate")).release().ptr();
  g_cat = py::object(torch.attr("cat")).release().ptr();
  g_tracing_state = py::object(torch.attr("_C").attr("_get_tracing_state")).release().ptr();

  auto* mod = new pyapi::Module(m);
  g_mod = mod;
  mod->def("_conv_bn_silu", "(in_ch: int, out_ch: int, kernel: int) -> nn.Sequential",
           conv_bn_silu, kBlockDoc);

  py::dict ns;
  ns["__init__"] = mod->function(
      "__init__", "HRNeckLite.__init__",
      "(self, in_channels: tuple = (18, 36, 72, 144), width: int = 128, c2_ch: int = 96, "
      "stem_ch: int = 64, with_mask: bool = True)",
      neck_init, kInitDoc);
  ns["forward"] = mod->function("forward", "HRNeckLite.forward",
                                "(self, ys: list[Tensor]) -> dict", neck_forward, kForwardDoc,
                                {nullptr, nullptr, nullptr, kForwardTraced});
  g_cls = mod->make_class("HRNeckLite", torch.attr("nn").attr("Module"), ns, kClassDoc)
              .release()
              .ptr();
}
