// Per-task losses of MultiTaskCriterion: masks (prototypes and refine ROIs),
// keypoints, polylines and tags, plus the ROI jitter used by the refine loss.
#pragma once
#include "../pyapi/pyapi.h"
namespace halcyra { namespace losses {
// Defines the module-level function `_jitter_rois` on the module.
void def_jitter_rois(const pyapi::Module& mod);
// Adds the methods _mask_loss, _kpt_loss, _pline_loss, _tag_loss (pyapi
// Functions, qualname "MultiTaskCriterion.<name>") to the class namespace.
void add_task_methods(const pyapi::Module& mod, pybind11::dict ns);
}}
