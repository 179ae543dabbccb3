// Python-compatibility layer shared by every halcyra extension module.
//
// A module's public functions and methods are real Python functions whose
// body is one call of a compiled implementation. A signature is declared as
// its Python text, e.g.
//   "(raw, points, stride, offset: float = 0.0) -> torch.Tensor"
// and becomes a `def` made once at load inside the module's namespace, so
// argument binding, TypeError messages, defaults (evaluated in module scope),
// __defaults__ and the other dunders, inspect.signature, method binding and
// pickling are all Python's own. The implementation receives every parameter
// in declaration order, defaults filled in, and runs as a named region of
// torch.profiler ("halcyra::<qualname>").
//
// Under torch.compile an opaque C call is a graph break. A function whose
// work is a fixed sequence of tensor operations can name a dispatcher
// operator with the same parameters (`Traced`); while the compiler traces,
// the body calls that operator instead, and the graph stays whole.
//
// Errors thrown by an implementation reach Python with the type Python code
// would see: pybind11's error_already_set and builtin exceptions as they are,
// ATen errors through the tensor library's own translation.
#pragma once

#include <Python.h>
#include <pybind11/pybind11.h>

#include <string>
#include <vector>

namespace halcyra {
namespace pyapi {

namespace py = pybind11;

// Arguments of one call after binding: one entry per parameter of the
// signature, in declaration order, defaults already filled in. For a method
// entry 0 is `self`.
struct Args {
  PyObject* const* items;
  Py_ssize_t size;
  py::handle operator[](Py_ssize_t i) const { return items[i]; }
};

using Impl = py::object (*)(const Args&);

// What a function's body runs while torch.compile traces it: `op` is
// "namespace.name" under torch.ops, called with every parameter in
// declaration order, or with `args` (Python expressions over the parameters,
// comma-separated) where given; `when`, if given, is a Python condition on the
// parameters that must also hold (otherwise the compiled implementation runs,
// as a graph break).
//
// A function that calls back into Python objects the compiler must see (a
// module's submodules, whose hooks fire and which may be replaced) cannot be
// one operator. For those, `body` gives the statements the compiler traces
// instead: Python source over the parameters and the module's globals,
// unindented, ending in a return. `op`, where also given, is
// bound as `__halcyra_op` for the body to call; so is `callee` (any Python
// callable, e.g. an opaque function the module does not export) instead.
struct Traced {
  const char* op = nullptr;
  const char* when = nullptr;
  const char* args = nullptr;
  const char* body = nullptr;
  PyObject* callee = nullptr;
};

// A module being defined from C++. Holds the module's namespace for
// signature evaluation and for late-bound name lookups.
class Module {
 public:
  explicit Module(py::module_ m);

  // Creates a function with the given signature text and binds it on the
  // module under `name`.
  py::object def(const char* name, const char* sig, Impl impl, const char* doc,
                 const Traced& traced = Traced()) const;

  // Creates a function without binding it on the module (methods).
  // `qualname` is e.g. "HRNeckLite.forward".
  py::object function(const char* name, const char* qualname, const char* sig,
                      Impl impl, const char* doc, const Traced& traced = Traced()) const;

  // Creates `type(base)(name, (base,), ns)` with __module__ and __qualname__
  // set, binds it on the module and returns it.
  py::object make_class(const char* name, py::handle base, py::dict ns,
                        const char* doc) const;

  // Python's LOAD_GLOBAL at call time: the module's namespace, then
  // builtins; NameError when neither has it.
  py::object global(const char* name) const;

  py::module_ module() const { return mod_; }
  py::dict ns() const { return ns_; }

 private:
  py::module_ mod_;
  py::dict ns_;
};

// ---- exceptions with Python's own types and messages --------------------

// `a, b, ... = seq` semantics: the items of any iterable, exactly n of them,
// else ValueError with the interpreter's message.
std::vector<py::object> unpack(py::handle seq, size_t n);

// ValueError for unpacking a sequence of known length `got` into `n` names.
[[noreturn]] void raise_unpack(size_t n, size_t got);

// `assert cond, msg` — raises AssertionError(msg) unless the interpreter runs
// with -O (read once when the first module loads).
bool assertions_enabled();
[[noreturn]] void raise_assertion(const std::string& msg);

// KeyError(key), with the key as the single argument.
[[noreturn]] void raise_key_error(py::handle key);

// TypeError with the given message.
[[noreturn]] void raise_type_error(const std::string& msg);

// `obj[key]` (PyObject_GetItem), KeyError for a missing dictionary entry.
py::object getitem(py::handle obj, const char* key);

// `key in obj`.
bool contains(py::handle obj, const char* key);

// Python's truth test.
bool truthy(py::handle obj);

// Initialises the layer (types, interpreter flags). Every module calls it
// first in its PYBIND11_MODULE body; repeated calls are cheap.
void init();

}  // namespace pyapi
}  // namespace halcyra
