// The refine head's operators: what its methods call while torch.compile
// traces them (the sampling itself, torchvision's roi_align, and the
// submodules stay Python calls the compiler sees).
//
//   sanitize_boxes   CompositeImplicitAutograd: refine::sanitize, tensor
//                    operations only (autograd and shapes from those)
//   refine_rois      CompositeExplicitAutograd: refine::forward_rois (its
//                    checks, the region rows, one host read of the index
//                    range); Autograd: runs below autograd, the rows carry no
//                    gradient (the sampler gives none to its regions); Meta:
//                    the size checks on symbolic sizes, two (N, 5) results
#include <ATen/ATen.h>
#include <ATen/core/dispatch/Dispatcher.h>
#include <torch/library.h>

#include "refine.h"

namespace halcyra {
namespace refine {
namespace {

using Rois = std::tuple<at::Tensor, at::Tensor>;

at::Tensor sanitize_op(const at::Tensor& boxes, double height, double width, double min_side) {
  TORCH_CHECK_VALUE(boxes.dim() == 2 && boxes.sym_size(1) == 4,
                    "sanitize(): boxes must have shape (N, 4)");
  return sanitize(boxes, height, width, min_side);
}

Rois rois_kernel(const at::Tensor& f2, const at::Tensor& coarse, const at::Tensor& boxes,
                 const at::Tensor& bidx, double stride) {
  auto r = forward_rois(f2, coarse, boxes, bidx, stride);
  return {r.first, r.second};
}

Rois rois_autograd(const at::Tensor& f2, const at::Tensor& coarse, const at::Tensor& boxes,
                   const at::Tensor& bidx, double stride) {
  static const auto op = c10::Dispatcher::singleton()
                             .findSchemaOrThrow("halcyra::refine_rois", "")
                             .typed<decltype(rois_kernel)>();
  at::AutoDispatchBelowADInplaceOrView below;
  return op.call(f2, coarse, boxes, bidx, stride);
}

Rois rois_meta(const at::Tensor& f2, const at::Tensor& coarse, const at::Tensor& boxes,
               const at::Tensor& bidx, double stride) {
  check_forward(f2, coarse, boxes, bidx, stride);
  auto opt = f2.options();
  return {at::empty_symint({boxes.sym_size(0), 5}, opt),
          at::empty_symint({boxes.sym_size(0), 5}, opt)};
}

}  // namespace
}  // namespace refine
}  // namespace halcyra

TORCH_LIBRARY_FRAGMENT(halcyra, m) {
  m.def("sanitize_boxes(Tensor boxes, float height, float width, float min_side) -> Tensor",
        TORCH_FN(halcyra::refine::sanitize_op));
  m.def("refine_rois(Tensor f2, Tensor coarse, Tensor boxes, Tensor bidx, float stride) "
        "-> (Tensor, Tensor)");
}

TORCH_LIBRARY_IMPL(halcyra, CompositeExplicitAutograd, m) {
  m.impl("refine_rois", TORCH_FN(halcyra::refine::rois_kernel));
}

TORCH_LIBRARY_IMPL(halcyra, Autograd, m) {
  m.impl("refine_rois", TORCH_FN(halcyra::refine::rois_autograd));
}

TORCH_LIBRARY_IMPL(halcyra, Meta, m) {
  m.impl("refine_rois", TORCH_FN(halcyra::refine::rois_meta));
}
