// Per-task losses of MultiTaskCriterion (placeholders until implemented).
#include "../pyapi/tensors.h"
#include "tasks.h"

namespace py = pybind11;

namespace halcyra {
namespace losses {
namespace {

py::object not_implemented(const pyapi::Args&) {
  PyErr_SetString(PyExc_NotImplementedError, "not implemented yet");
  throw py::error_already_set();
}

}  // namespace

void def_jitter_rois(const pyapi::Module& mod) {
  mod.def("_jitter_rois", "(boxes, scale=0.1, shift=0.05)", not_implemented, "");
}

void add_task_methods(const pyapi::Module& mod, py::dict ns) {
  ns["_mask_loss"] = mod.function("_mask_loss", "MultiTaskCriterion._mask_loss",
                                  "(self, preds, batch, fg_b, fg_a, fg_g)", not_implemented, "");
  ns["_kpt_loss"] = mod.function("_kpt_loss", "MultiTaskCriterion._kpt_loss",
                                 "(self, preds, batch, points, strides, fg_b, fg_a, fg_g)",
                                 not_implemented, "");
  ns["_pline_loss"] = mod.function("_pline_loss", "MultiTaskCriterion._pline_loss",
                                   "(self, preds, batch, points, strides, fg_b, fg_a, fg_g)",
                                   not_implemented, "");
  ns["_tag_loss"] = mod.function("_tag_loss", "MultiTaskCriterion._tag_loss",
                                 "(self, preds, batch)", not_implemented, "");
}

}  // namespace losses
}  // namespace halcyra
