#include "pyapi.h"

#include <torch/csrc/Exceptions.h>

#include <cstring>

namespace halcyra {
namespace pyapi {

namespace {

struct FunctionObject {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  PyObject* tmpl;  // template Python function: code, defaults, names, docs
  PyObject* dict;
  Impl impl;
  Py_ssize_t argcount;     // positional (incl. positional-only) parameters
  Py_ssize_t posonly;      // positional-only parameters
  Py_ssize_t kwonly;       // keyword-only parameters
  PyObject* varnames;      // tuple of the parameter names
  PyObject* weakrefs;      // weak references, as Python functions allow
};

PyTypeObject FunctionType = {PyVarObject_HEAD_INIT(nullptr, 0)};
bool g_initialised = false;
bool g_assertions = true;
PyObject* g_inspect_signature = nullptr;

PyObject* qualname_of(FunctionObject* f) {
  return PyObject_GetAttrString(f->tmpl, "__qualname__");
}

// Python's "'a', 'b', and 'c'" list of missing names.
std::string join_names(const std::vector<std::string>& names) {
  std::string out;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i) out += (names.size() > 2 ? ", " : " ");
    if (i && i + 1 == names.size()) out += "and ";
    out += "'" + names[i] + "'";
  }
  return out;
}

void set_type_error(FunctionObject* f, const std::string& tail) {
  PyObject* q = qualname_of(f);
  if (!q) return;
  PyErr_Format(PyExc_TypeError, "%U()%s", q, tail.c_str());
  Py_DECREF(q);
}

std::string utf8(PyObject* s) {
  const char* c = PyUnicode_AsUTF8(s);
  return c ? std::string(c) : std::string();
}

PyObject* call_impl(FunctionObject* f, PyObject* const* vals, Py_ssize_t n) {
  try {
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

PyObject* function_vectorcall(PyObject* self, PyObject* const* args,
                              size_t nargsf, PyObject* kwnames) {
  auto* f = reinterpret_cast<FunctionObject*>(self);
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  const Py_ssize_t total = f->argcount + f->kwonly;
  PyObject* small[16];
  std::vector<PyObject*> big;
  PyObject** vals = small;
  if (total > 16) {
    big.resize(total);
    vals = big.data();
  }
  for (Py_ssize_t i = 0; i < total; ++i) vals[i] = nullptr;

  if (nargs > f->argcount) {
    PyObject* defaults = PyFunction_GetDefaults(f->tmpl);
    Py_ssize_t ndef = defaults ? PyTuple_GET_SIZE(defaults) : 0;
    std::string msg;
    Py_ssize_t lo = f->argcount - ndef;
    if (ndef)
      msg = " takes from " + std::to_string(lo) + " to " +
            std::to_string(f->argcount) + " positional arguments but " +
            std::to_string(nargs) + (nargs == 1 ? " was" : " were") + " given";
    else
      msg = " takes " + std::to_string(f->argcount) + " positional argument" +
            (f->argcount == 1 ? "" : "s") + " but " + std::to_string(nargs) +
            (nargs == 1 ? " was" : " were") + " given";
    set_type_error(f, msg);
    return nullptr;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) vals[i] = args[i];

  if (kwnames) {
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    std::vector<std::string> posonly_kw;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      PyObject* key = PyTuple_GET_ITEM(kwnames, k);
      Py_ssize_t idx = -1;
      for (Py_ssize_t i = 0; i < total; ++i) {
        PyObject* name = PyTuple_GET_ITEM(f->varnames, i);
        if (name == key) { idx = i; break; }
      }
      if (idx < 0) {
        for (Py_ssize_t i = 0; i < total; ++i) {
          PyObject* name = PyTuple_GET_ITEM(f->varnames, i);
          int eq = PyUnicode_Compare(name, key);
          if (eq == 0) { idx = i; break; }
        }
      }
      if (idx >= 0 && idx < f->posonly) {
        posonly_kw.push_back(utf8(key));
        continue;
      }
      if (idx < 0) {
        set_type_error(f, " got an unexpected keyword argument '" + utf8(key) + "'");
        return nullptr;
      }
      if (vals[idx]) {
        set_type_error(f, " got multiple values for argument '" + utf8(key) + "'");
        return nullptr;
      }
      vals[idx] = args[nargs + k];
    }
    if (!posonly_kw.empty()) {
      std::string names;
      for (size_t i = 0; i < posonly_kw.size(); ++i)
        names += (i ? ", " : "") + posonly_kw[i];
      set_type_error(f, " got some positional-only arguments passed as keyword arguments: '" + names + "'");
      return nullptr;
    }
  }

  // Defaults for the trailing positional parameters, then keyword-only ones.
  PyObject* defaults = PyFunction_GetDefaults(f->tmpl);
  Py_ssize_t ndef = defaults ? PyTuple_GET_SIZE(defaults) : 0;
  std::vector<std::string> missing;
  for (Py_ssize_t i = 0; i < f->argcount; ++i) {
    if (vals[i]) continue;
    Py_ssize_t d = i - (f->argcount - ndef);
    if (d >= 0) {
      vals[i] = PyTuple_GET_ITEM(defaults, d);
    } else {
      missing.push_back(utf8(PyTuple_GET_ITEM(f->varnames, i)));
    }
  }
  if (!missing.empty()) {
    set_type_error(f, " missing " + std::to_string(missing.size()) +
                          " required positional argument" +
                          (missing.size() == 1 ? "" : "s") + ": " +
                          join_names(missing));
    return nullptr;
  }
  if (f->kwonly) {
    PyObject* kwdefaults = PyFunction_GetKwDefaults(f->tmpl);
    for (Py_ssize_t i = f->argcount; i < total; ++i) {
      if (vals[i]) continue;
      PyObject* name = PyTuple_GET_ITEM(f->varnames, i);
      PyObject* v = kwdefaults ? PyDict_GetItemWithError(kwdefaults, name) : nullptr;
      if (v) {
        vals[i] = v;
      } else {
        if (PyErr_Occurred()) return nullptr;
        missing.push_back(utf8(name));
      }
    }
    if (!missing.empty()) {
      set_type_error(f, " missing " + std::to_string(missing.size()) +
                            " required keyword-only argument" +
                            (missing.size() == 1 ? "" : "s") + ": " +
                            join_names(missing));
      return nullptr;
    }
  }
  // Hold every bound value for the duration of the call: defaults may be
  // replaced by the implementation re-entering Python.
  for (Py_ssize_t i = 0; i < total; ++i) Py_INCREF(vals[i]);
  PyObject* r = call_impl(f, vals, total);
  for (Py_ssize_t i = 0; i < total; ++i) Py_DECREF(vals[i]);
  return r;
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
  if (obj == nullptr || obj == Py_None) {
    Py_INCREF(self);
    return self;
  }
  return PyMethod_New(self, obj);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
  auto* f = reinterpret_cast<FunctionObject*>(self);
  Py_VISIT(f->tmpl);
  Py_VISIT(f->dict);
  Py_VISIT(f->varnames);
  return 0;
}

int function_clear(PyObject* self) {
  auto* f = reinterpret_cast<FunctionObject*>(self);
  Py_CLEAR(f->tmpl);
  Py_CLEAR(f->dict);
  Py_CLEAR(f->varnames);
  return 0;
}

void function_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  if (reinterpret_cast<FunctionObject*>(self)->weakrefs) PyObject_ClearWeakRefs(self);
  function_clear(self);
  Py_TYPE(self)->tp_free(self);
}

PyObject* function_repr(PyObject* self) {
  auto* f = reinterpret_cast<FunctionObject*>(self);
  PyObject* q = qualname_of(f);
  if (!q) return nullptr;
  PyObject* r = PyUnicode_FromFormat("<function %U at %p>", q, self);
  Py_DECREF(q);
  return r;
}

// Dunders stored on the template function.
PyObject* tmpl_get(PyObject* self, void* name) {
  auto* f = reinterpret_cast<FunctionObject*>(self);
  if (!f->tmpl) {
    PyErr_SetString(PyExc_AttributeError, static_cast<const char*>(name));
    return nullptr;
  }
  return PyObject_GetAttrString(f->tmpl, static_cast<const char*>(name));
}

int tmpl_set(PyObject* self, PyObject* value, void* name) {
  auto* f = reinterpret_cast<FunctionObject*>(self);
  if (!f->tmpl) return -1;
  if (value == nullptr)
    return PyObject_DelAttrString(f->tmpl, static_cast<const char*>(name));
  return PyObject_SetAttrString(f->tmpl, static_cast<const char*>(name), value);
}

PyObject* signature_get(PyObject* self, void*) {
  auto* f = reinterpret_cast<FunctionObject*>(self);
  return PyObject_CallOneArg(g_inspect_signature, f->tmpl);
}

PyObject* function_reduce(PyObject* self, PyObject*) {
  auto* f = reinterpret_cast<FunctionObject*>(self);
  return qualname_of(f);
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef function_getset[] = {
    {"__name__", tmpl_get, tmpl_set, nullptr, const_cast<char*>("__name__")},
    {"__qualname__", tmpl_get, tmpl_set, nullptr, const_cast<char*>("__qualname__")},
    {"__module__", tmpl_get, tmpl_set, nullptr, const_cast<char*>("__module__")},
    {"__doc__", tmpl_get, tmpl_set, nullptr, const_cast<char*>("__doc__")},
    {"__defaults__", tmpl_get, tmpl_set, nullptr, const_cast<char*>("__defaults__")},
    {"__kwdefaults__", tmpl_get, tmpl_set, nullptr, const_cast<char*>("__kwdefaults__")},
    {"__annotations__", tmpl_get, tmpl_set, nullptr, const_cast<char*>("__annotations__")},
    {"__signature__", signature_get, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

void ready_type() {
  FunctionType.tp_name = "halcyra.function";
  FunctionType.tp_basicsize = sizeof(FunctionObject);
  FunctionType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC |
                          Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
  FunctionType.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
  FunctionType.tp_call = PyVectorcall_Call;
  FunctionType.tp_descr_get = function_descr_get;
  FunctionType.tp_traverse = function_traverse;
  FunctionType.tp_clear = function_clear;
  FunctionType.tp_dealloc = function_dealloc;
  FunctionType.tp_repr = function_repr;
  FunctionType.tp_getset = function_getset;
  FunctionType.tp_methods = function_methods;
  FunctionType.tp_dictoffset = offsetof(FunctionObject, dict);
  FunctionType.tp_weaklistoffset = offsetof(FunctionObject, weakrefs);
  FunctionType.tp_doc = "A function of a halcyra extension module.";
  if (PyType_Ready(&FunctionType) < 0) throw py::error_already_set();
}

}  // namespace

void init() {
  if (g_initialised) return;
  ready_type();
  py::module_ sys = py::module_::import("sys");
  g_assertions = sys.attr("flags").attr("optimize").cast<int>() == 0;
  g_inspect_signature = py::object(py::module_::import("inspect").attr("signature")).release().ptr();
  g_initialised = true;
}

Module::Module(py::module_ m) : mod_(m), ns_(m.attr("__dict__")) { init(); }

py::object Module::function(const char* name, const char* qualname, const char* sig,
                            Impl impl, const char* doc) const {
  // Compile the signature as a Python def in the module's namespace, so its
  // defaults and annotations are evaluated in module scope, now.
  std::string src = std::string("def ") + name + sig + ":\n    pass\n";
  py::dict local;
  py::object code = py::reinterpret_steal<py::object>(
      Py_CompileString(src.c_str(), "<halcyra signature>", Py_file_input));
  if (!code) throw py::error_already_set();
  py::object r = py::reinterpret_steal<py::object>(
      PyEval_EvalCode(code.ptr(), ns_.ptr(), local.ptr()));
  if (!r) throw py::error_already_set();
  py::object tmpl = local[name];
  tmpl.attr("__qualname__") = py::str(qualname);
  tmpl.attr("__module__") = mod_.attr("__name__");
  tmpl.attr("__doc__") = doc ? py::object(py::str(doc)) : py::object(py::none());

  py::object co = tmpl.attr("__code__");
  int flags = co.attr("co_flags").cast<int>();
  if (flags & (CO_VARARGS | CO_VARKEYWORDS))
    throw std::logic_error("halcyra: *args/**kwargs signatures are not supported");

  auto* f = PyObject_GC_New(FunctionObject, &FunctionType);
  if (!f) throw py::error_already_set();
  f->vectorcall = function_vectorcall;
  f->tmpl = tmpl.release().ptr();
  f->dict = nullptr;
  f->weakrefs = nullptr;
  f->impl = impl;
  f->argcount = co.attr("co_argcount").cast<Py_ssize_t>();
  f->posonly = co.attr("co_posonlyargcount").cast<Py_ssize_t>();
  f->kwonly = co.attr("co_kwonlyargcount").cast<Py_ssize_t>();
  py::tuple varnames = co.attr("co_varnames");
  py::tuple names(f->argcount + f->kwonly);
  for (Py_ssize_t i = 0; i < f->argcount + f->kwonly; ++i) {
    // Interned so keyword lookups are usually pointer comparisons.
    PyObject* s = varnames[i].ptr();
    Py_INCREF(s);
    PyUnicode_InternInPlace(&s);
    PyTuple_SET_ITEM(names.ptr(), i, s);
  }
  f->varnames = names.release().ptr();
  PyObject_GC_Track(reinterpret_cast<PyObject*>(f));
  return py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(f));
}

py::object Module::def(const char* name, const char* sig, Impl impl, const char* doc) const {
  py::object fn = function(name, name, sig, impl, doc);
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
