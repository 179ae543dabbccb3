// The neck's operators: the fused nearest-upsample-and-concatenate step its
// forward takes eagerly (the convolutions stay submodules the caller sees).
//
//   upsample_cat_applies  composite: whether upsample_cat gives exactly what
//                         the plain interpolate-and-cat statements give
//   upsample_cat          CompositeExplicitAutograd: the kernel (the
//                         library's nearest kernel into slices of one output
//                         on the CPU, a broadcasting copy elsewhere);
//                         Autograd: one node, the plain formulation's
//                         gradient; Meta: the result's shape
#include <ATen/ATen.h>
#include <torch/library.h>

#include "neck.h"

TORCH_LIBRARY_FRAGMENT(halcyra, m) {
  m.def("upsample_cat_applies(Tensor[] xs, int[] factors) -> bool",
        &halcyra::neck::upsample_cat_applies);
  m.def("upsample_cat(Tensor[] xs, int[] factors) -> Tensor");
}

TORCH_LIBRARY_IMPL(halcyra, CompositeExplicitAutograd, m) {
  m.impl("upsample_cat", &halcyra::neck::upsample_cat_kernel);
}

TORCH_LIBRARY_IMPL(halcyra, Autograd, m) {
  m.impl("upsample_cat", &halcyra::neck::upsample_cat_autograd);
}

TORCH_LIBRARY_IMPL(halcyra, Meta, m) {
  m.impl("upsample_cat", &halcyra::neck::upsample_cat_meta);
}
