// Conversions between Python objects and ATen values for the bindings.
#pragma once

#include <ATen/ATen.h>
#include <torch/csrc/Device.h>
#include <torch/csrc/Dtype.h>
#include <torch/csrc/autograd/python_variable.h>
#include <torch/csrc/utils/pybind.h>

#include <string>

#include "pyapi.h"

namespace halcyra {
namespace pyapi {

inline bool is_tensor(py::handle h) { return THPVariable_Check(h.ptr()); }

// The tensor behind `h`, or TypeError naming the function and argument the
// way the tensor library's own bindings do.
inline at::Tensor tensor_arg(py::handle h, const char* fn, const char* arg) {
  if (!THPVariable_Check(h.ptr()))
    raise_type_error(std::string(fn) + "(): argument '" + arg + "' must be Tensor, not " +
                     Py_TYPE(h.ptr())->tp_name);
  return THPVariable_Unpack(h.ptr());
}

inline py::object wrap(at::Tensor t) {
  return py::reinterpret_steal<py::object>(THPVariable_Wrap(std::move(t)));
}

// Python integer (anything with __index__, including 0-d integer tensors).
inline int64_t int_arg(py::handle h, const char* fn, const char* arg) {
  if (THPVariable_Check(h.ptr())) {
    const at::Tensor& t = THPVariable_Unpack(h.ptr());
    if (t.numel() == 1 && !at::isFloatingType(t.scalar_type()) &&
        !at::isComplexType(t.scalar_type()))
      return t.item<int64_t>();
  } else if (PyIndex_Check(h.ptr())) {
    Py_ssize_t v = PyNumber_AsSsize_t(h.ptr(), PyExc_OverflowError);
    if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
    return v;
  }
  raise_type_error(std::string(fn) + "(): argument '" + arg + "' must be int, not " +
                   Py_TYPE(h.ptr())->tp_name);
}

// A Python number (bool, int, float) or a one-element tensor, as a Scalar.
inline bool scalar_arg(py::handle h, at::Scalar* out) {
  PyObject* o = h.ptr();
  if (PyBool_Check(o)) {
    *out = at::Scalar(o == Py_True);
  } else if (PyLong_Check(o)) {
    long long v = PyLong_AsLongLong(o);
    if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
    *out = at::Scalar(static_cast<int64_t>(v));
  } else if (PyFloat_Check(o)) {
    *out = at::Scalar(PyFloat_AS_DOUBLE(o));
  } else if (PyIndex_Check(o) && !THPVariable_Check(o)) {
    Py_ssize_t v = PyNumber_AsSsize_t(o, PyExc_OverflowError);
    if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
    *out = at::Scalar(static_cast<int64_t>(v));
  } else {
    return false;
  }
  return true;
}

inline at::Device device_arg(py::handle h) {
  if (THPDevice_Check(h.ptr())) return reinterpret_cast<THPDevice*>(h.ptr())->device;
  py::object dev = py::module_::import("torch").attr("device")(h);
  return reinterpret_cast<THPDevice*>(dev.ptr())->device;
}

inline at::ScalarType dtype_arg(py::handle h, const char* fn, const char* arg) {
  if (!THPDtype_Check(h.ptr()))
    raise_type_error(std::string(fn) + "(): argument '" + arg + "' must be torch.dtype, not " +
                     Py_TYPE(h.ptr())->tp_name);
  return reinterpret_cast<THPDtype*>(h.ptr())->scalar_type;
}

}  // namespace pyapi
}  // namespace halcyra
