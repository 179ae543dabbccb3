// Numerics of the feature neck: the nearest-upsample-and-concatenate step
// that builds the neck's high-resolution mask inputs.
#pragma once

#include <ATen/ATen.h>

namespace halcyra {
namespace neck {

// True when upsample_cat(xs, factors) gives exactly what
//   cat([interpolate(x, scale_factor=float(f), mode="nearest") for x, f], 1)
// gives (a factor of 1 meaning "x as it is"): every x a non-empty 4-D CPU or
// CUDA tensor of one floating dtype and device, one batch size, and every
// upsampled size equal to the first entry's, no forward-mode tangent.
// Otherwise the caller takes the plain path, which reports the library's own
// errors.
bool upsample_cat_applies(at::TensorList xs, at::IntArrayRef factors);

// Concatenation along dim 1 of xs[i] upsampled by the integer factors[i]
// (nearest neighbour: output pixel (r, c) reads input pixel (r / f, c / f)),
// written straight into one new tensor instead of materialising every
// upsampled tensor and then copying it again. ValueError where
// upsample_cat_applies does not hold.
at::Tensor upsample_cat_kernel(at::TensorList xs, at::IntArrayRef factors);

// The same with autograd: one node whose backward pass is that of the plain
// formulation (a slice of the gradient per input, summed over each input
// pixel's f x f copies in the order of the library's nearest upsampling
// backward), so the gradients are the same values. The forward runs the
// operator below autograd.
at::Tensor upsample_cat_autograd(at::TensorList xs, at::IntArrayRef factors);

// Shapes only: (B, sum of channels, H * f0, W * f0).
at::Tensor upsample_cat_meta(at::TensorList xs, at::IntArrayRef factors);

}  // namespace neck
}  // namespace halcyra
