// halcyra.models.backbone: the one value of the trunk that the neck shares.
#include <pybind11/pybind11.h>

namespace py = pybind11;

PYBIND11_MODULE(backbone, m) {
  m.doc() =
      "The trunk's shared settings.\n\n"
      "BN_MOMENTUM: the trunk's batch-norm momentum (0.03, the weight of the new\n"
      "batch statistic in the running average, as torch.nn.BatchNorm2d counts it),\n"
      "shared with the feature neck so that every batch-norm layer of the model\n"
      "averages its running statistics at the same rate.";
  m.attr("BN_MOMENTUM") = 0.03;
}
