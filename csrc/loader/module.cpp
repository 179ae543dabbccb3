// An extension module whose body is Python source embedded at build.
//
// Built once per module with HALCYRA_MODULE (the module's last name
// component) and HALCYRA_EMBED (a header defining kSource, the UTF-8 text of
// the module's .py file, and kSourceName, that file's name). On import the
// source runs in the module's namespace, compiled under the path of the .py
// file beside the .so, so that tracebacks, linecache, inspect.getsource and
// coverage see the real lines. Multi-phase initialisation: the import system
// has set __file__ and __spec__ before the source runs.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>
#include <string>

#include HALCYRA_EMBED

namespace {

int exec_module(PyObject* module) {
  PyObject* ns = PyModule_GetDict(module);  // borrowed
  PyObject* file = PyModule_GetFilenameObject(module);
  if (!file) return -1;
  Py_ssize_t size = 0;
  const char* so = PyUnicode_AsUTF8AndSize(file, &size);
  if (!so) {
    Py_DECREF(file);
    return -1;
  }
  std::string path(so, static_cast<size_t>(size));
  Py_DECREF(file);
  const size_t slash = path.rfind('/');
  path = (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + kSourceName;

  if (!PyDict_GetItemString(ns, "__builtins__") &&
      PyDict_SetItemString(ns, "__builtins__", PyEval_GetBuiltins()) < 0)
    return -1;
  PyObject* name = PyUnicode_DecodeFSDefault(path.c_str());
  if (!name) return -1;
  PyObject* code = Py_CompileStringObject(kSource, name, Py_file_input, nullptr, -1);
  Py_DECREF(name);
  if (!code) return -1;
  PyObject* result = PyEval_EvalCode(code, ns, ns);
  Py_DECREF(code);
  if (!result) return -1;
  Py_DECREF(result);
  return 0;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

#define HALCYRA_STR2(x) #x
#define HALCYRA_STR(x) HALCYRA_STR2(x)

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    HALCYRA_STR(HALCYRA_MODULE),
    nullptr,  // __doc__: the source's docstring
    0,
    nullptr,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

#define HALCYRA_INIT2(name) PyInit_##name
#define HALCYRA_INIT(name) HALCYRA_INIT2(name)

PyMODINIT_FUNC HALCYRA_INIT(HALCYRA_MODULE)(void) { return PyModuleDef_Init(&module_def); }
