#include "pyapi.h"

#include <ATen/record_function.h>
#include "compat.h"
#include <torch/csrc/Exceptions.h>

#include <cstring>
#include <string>

namespace halcyra {
namespace pyapi {

namespace {

// The compiled half of a public function: called by its Python half with
// every parameter, positionally, in declaration order.
struct ImplObject {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  Impl impl;
  Py_ssize_t nargs;
  std::string* record;  // "halcyra::<qualname>", the profiler's name of the call
};

PyTypeObject ImplType = {PyVarObject_HEAD_INIT(nullptr, 0)};
bool g_initialised = false;
bool g_assertions = true;
PyObject* g_is_compiling = nullptr;  // torch.compiler.is_compiling, where torch has it

// Code objects of functions whose whole body is the compiled call. Where
// torch.compile's frame evaluator is loaded, they are marked as frames it
// skips (its `skip_code`): compiling such a frame gains nothing (the call is
// a graph break wherever it is made), and the frames the call itself runs
// (submodules, late-bound functions) are still compiled. Marked as soon as
// the evaluator is loaded: when a function is made, or at the next call of
// any halcyra function.
std::vector<PyObject*>* g_skip_pending = nullptr;

void mark_skipped_frames() {
  PyObject* modules = PySys_GetObject("modules");  // borrowed
  PyObject* ef = modules ? PyDict_GetItemString(modules, "torch._dynamo.eval_frame") : nullptr;
  if (!ef) return;
  std::vector<PyObject*> codes;
  codes.swap(*g_skip_pending);
  PyObject* skip = PyObject_GetAttrString(ef, "skip_code");
  for (PyObject* code : codes) {
    if (skip) {
      PyObject* r = PyObject_CallOneArg(skip, code);
      Py_XDECREF(r);
    }
    Py_DECREF(code);
  }
  Py_XDECREF(skip);
  PyErr_Clear();  // a torch without it: the frames are simply compiled
}

PyObject* call_impl(ImplObject* f, PyObject* const* vals, Py_ssize_t n) {
  if (!g_skip_pending->empty()) mark_skipped_frames();
  try {
    RECORD_FUNCTION(*f->record, c10::ArrayRef<const c10::IValue>{});
    torch::PyWarningHandler warnings;
    try {
      py::object r = f->impl(Args{vals, n});
      return r.release().ptr();
    } catch (...) {
      warnings.set_in_exception();
      throw;
    }
  } catch (py::error_already_set& e) {
    e.restore();
  } catch (py::builtin_exception& e) {
    e.set_error();
  } catch (const std::exception&) {
    torch::translate_exception_to_python(std::current_exception());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
  }
  return nullptr;
}

PyObject* impl_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                          PyObject* kwnames) {
  auto* f = reinterpret_cast<ImplObject*>(self);
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  if (nargs != f->nargs || (kwnames && PyTuple_GET_SIZE(kwnames))) {
    PyErr_Format(PyExc_TypeError, "%s: expected %zd positional arguments",
                 f->record->c_str(), f->nargs);
    return nullptr;
  }
  // The Python half holds every argument for the duration of the call.
  return call_impl(f, args, nargs);
}

void impl_dealloc(PyObject* self) {
  delete reinterpret_cast<ImplObject*>(self)->record;
  Py_TYPE(self)->tp_free(self);
}

PyObject* impl_repr(PyObject* self) {
  return PyUnicode_FromFormat("<compiled %s>", reinterpret_cast<ImplObject*>(self)->record->c_str());
}

void ready_type() {
  ImplType.tp_name = "halcyra.compiled";
  ImplType.tp_basicsize = sizeof(ImplObject);
  ImplType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL;
  ImplType.tp_vectorcall_offset = offsetof(ImplObject, vectorcall);
  ImplType.tp_call = PyVectorcall_Call;
  ImplType.tp_dealloc = impl_dealloc;
  ImplType.tp_repr = impl_repr;
  ImplType.tp_doc = "The compiled body of a halcyra function.";
  if (PyType_Ready(&ImplType) < 0) throw py::error_already_set();
}

// HALCYRA_GENERIC as every module reports it (`_generic`).
const char* paths_name() {
  switch (paths()) {
    case Paths::kGeneric:
      return "1";
    case Paths::kScalar:
      return "scalar";
    default:
      return "0";
  }
}

}  // namespace

void init() {
  if (g_initialised) return;
  if (paths() == Paths::kInvalid) {
    py::object v = py::reinterpret_steal<py::object>(
        PyUnicode_DecodeFSDefault(std::getenv("HALCYRA_GENERIC")));
    if (!v) throw py::error_already_set();
    PyErr_Format(PyExc_ValueError,
                 "HALCYRA_GENERIC=%R: expected '0' (or unset or empty: the fused CPU kernels), "
                 "'1' (the device-generic paths on the CPU) or 'scalar' (the fused kernels "
                 "without AVX2 / FMA)",
                 v.ptr());
    throw py::error_already_set();
  }
  ready_type();
  g_skip_pending = new std::vector<PyObject*>();
  // The code paths the kernels take, for tests and debugging: the package's
  // `_generic` ("0", "1" or "scalar"), the same for every module (they read
  // the same environment), so that the modules' own namespaces stay as they are.
  py::module_::import("halcyra").attr("_generic") = paths_name();
  py::module_ sys = py::module_::import("sys");
  g_assertions = sys.attr("flags").attr("optimize").cast<int>() == 0;
  py::object torch = py::module_::import("torch");
  if (py::hasattr(torch, "compiler") && py::hasattr(torch.attr("compiler"), "is_compiling"))
    g_is_compiling = py::object(torch.attr("compiler").attr("is_compiling")).release().ptr();
  g_initialised = true;
}

Module::Module(py::module_ m) : mod_(m), ns_(m.attr("__dict__")) {
  init();
  // The functions defined in this namespace find builtins through it, as in
  // any Python module.
  if (!ns_.contains("__builtins__")) ns_["__builtins__"] = py::module_::import("builtins");
}

py::object Module::function(const char* name, const char* qualname, const char* sig,
                            Impl impl, const char* doc, const Traced& traced) const {
  // The parameters, read off the signature compiled as an empty def.
  std::string probe = std::string("def ") + name + sig + ":\n    pass\n";
  py::dict local;
  auto run = [&](const std::string& src) {
    std::string file = "<" + mod_.attr("__name__").cast<std::string>() + ">";
    py::object code = py::reinterpret_steal<py::object>(
        Py_CompileString(src.c_str(), file.c_str(), Py_file_input));
    if (!code) throw py::error_already_set();
    py::object r = py::reinterpret_steal<py::object>(
        PyEval_EvalCode(code.ptr(), ns_.ptr(), local.ptr()));
    if (!r) throw py::error_already_set();
  };
  run(probe);
  py::object co = local[name].attr("__code__");
  int flags = co.attr("co_flags").cast<int>();
  if (flags & (CO_VARARGS | CO_VARKEYWORDS))
    throw std::logic_error("halcyra: *args/**kwargs signatures are not supported");
  const Py_ssize_t total = co.attr("co_argcount").cast<Py_ssize_t>() +
                           co.attr("co_kwonlyargcount").cast<Py_ssize_t>();
  py::tuple varnames = co.attr("co_varnames");
  std::string call = "(";
  for (Py_ssize_t i = 0; i < total; ++i)
    call += (i ? ", " : "") + varnames[i].cast<std::string>();
  call += ")";

  // The function itself is a Python def with that signature, made in the
  // module's namespace (defaults and annotations are evaluated there, now),
  // whose body hands every argument to the compiled implementation. Binding,
  // defaults, introspection, method binding and pickling are then Python's
  // own, and so is the compiler's view of it: under torch.compile the body
  // calls the traceable operator where one is given, elsewhere the compiled
  // call is an opaque C call (a graph break).
  const bool branch = (traced.op || traced.body) && g_is_compiling;
  std::string src = "def __halcyra_bind(__halcyra_impl, __halcyra_compiling, __halcyra_op):\n";
  src += std::string("    def ") + name + sig + ":\n";
  if (branch) {
    src += "        if __halcyra_compiling()";
    if (traced.when) src += std::string(" and (") + traced.when + ")";
    src += ":\n";
    if (traced.body) {
      // The body's lines, indented as the branch's block.
      for (const char* p = traced.body; *p;) {
        const char* nl = std::strchr(p, '\n');
        const size_t len = nl ? static_cast<size_t>(nl - p) : std::strlen(p);
        if (len) src += "            " + std::string(p, len);
        src += "\n";
        p += len + (nl ? 1 : 0);
      }
    } else {
      src += "            return __halcyra_op" +
             (traced.args ? std::string("(") + traced.args + ")" : call) + "\n";
    }
  }
  src += "        return __halcyra_impl" + call + "\n";
  src += std::string("    return ") + name + "\n";
  run(src);

  auto* f = PyObject_New(ImplObject, &ImplType);
  if (!f) throw py::error_already_set();
  f->vectorcall = impl_vectorcall;
  f->impl = impl;
  f->nargs = total;
  f->record = new std::string(std::string("halcyra::") + qualname);
  py::object impl_obj = py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(f));

  py::object op = py::none();
  if (branch && traced.op) {
    op = py::module_::import("torch").attr("ops");
    for (const char* p = traced.op;;) {  // "halcyra.decode_boxes"
      const char* dot = std::strchr(p, '.');
      op = op.attr(std::string(p, dot ? dot - p : std::strlen(p)).c_str());
      if (!dot) break;
      p = dot + 1;
    }
  }
  if (branch && !traced.op && traced.callee) op = py::reinterpret_borrow<py::object>(traced.callee);
  py::object fn = local["__halcyra_bind"](
      impl_obj, branch ? py::reinterpret_borrow<py::object>(g_is_compiling) : py::none(), op);
  if (g_is_compiling && !traced.op && !traced.body) {
    g_skip_pending->push_back(py::object(fn.attr("__code__")).release().ptr());
    mark_skipped_frames();
  }
  fn.attr("__qualname__") = py::str(qualname);
  fn.attr("__module__") = mod_.attr("__name__");
  fn.attr("__doc__") = doc ? py::object(py::str(doc)) : py::object(py::none());
  return fn;
}

py::object Module::def(const char* name, const char* sig, Impl impl, const char* doc,
                       const Traced& traced) const {
  py::object fn = function(name, name, sig, impl, doc, traced);
  mod_.attr(name) = fn;
  return fn;
}

py::object Module::make_class(const char* name, py::handle base, py::dict ns,
                              const char* doc) const {
  ns["__module__"] = mod_.attr("__name__");
  ns["__qualname__"] = py::str(name);
  if (doc) ns["__doc__"] = py::str(doc);
  py::object meta = py::reinterpret_borrow<py::object>(
      reinterpret_cast<PyObject*>(Py_TYPE(base.ptr())));
  py::object cls = meta(py::str(name), py::make_tuple(base), ns);
  mod_.attr(name) = cls;
  return cls;
}

py::object Module::global(const char* name) const {
  PyObject* v = PyDict_GetItemString(ns_.ptr(), name);
  if (!v) {
    PyObject* builtins = PyEval_GetBuiltins();
    v = builtins ? PyDict_GetItemString(builtins, name) : nullptr;
  }
  if (!v) {
    PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
    throw py::error_already_set();
  }
  return py::reinterpret_borrow<py::object>(v);
}

void raise_unpack(size_t n, size_t got) {
  if (got < n)
    PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zu, got %zu)",
                 n, got);
  else
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zu)", n);
  throw py::error_already_set();
}

std::vector<py::object> unpack(py::handle seq, size_t n) {
  py::object it = py::reinterpret_steal<py::object>(PyObject_GetIter(seq.ptr()));
  if (!it) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %s object",
                   Py_TYPE(seq.ptr())->tp_name);
    }
    throw py::error_already_set();
  }
  std::vector<py::object> out;
  out.reserve(n);
  while (out.size() <= n) {
    PyObject* item = PyIter_Next(it.ptr());
    if (!item) {
      if (PyErr_Occurred()) throw py::error_already_set();
      break;
    }
    out.push_back(py::reinterpret_steal<py::object>(item));
  }
  if (out.size() != n) raise_unpack(n, out.size());
  return out;
}

bool assertions_enabled() { return g_assertions; }

void raise_assertion(const std::string& msg) {
  PyErr_SetObject(PyExc_AssertionError, py::str(msg).ptr());
  throw py::error_already_set();
}

void raise_key_error(py::handle key) {
  PyErr_SetObject(PyExc_KeyError, py::make_tuple(key).ptr());
  throw py::error_already_set();
}

void raise_type_error(const std::string& msg) {
  PyErr_SetString(PyExc_TypeError, msg.c_str());
  throw py::error_already_set();
}

py::object getitem(py::handle obj, const char* key) {
  py::str k(key);
  PyObject* v = PyObject_GetItem(obj.ptr(), k.ptr());
  if (!v) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(v);
}

bool contains(py::handle obj, const char* key) {
  py::str k(key);
  int r = PySequence_Contains(obj.ptr(), k.ptr());
  if (r < 0) throw py::error_already_set();
  return r == 1;
}

bool truthy(py::handle obj) {
  int r = PyObject_IsTrue(obj.ptr());
  if (r < 0) throw py::error_already_set();
  return r == 1;
}

}  // namespace pyapi
}  // namespace halcyra
