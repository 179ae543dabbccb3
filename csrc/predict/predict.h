// Mask numerics of the inference postprocess: plain C++ over at::Tensor.
//
// Both mask paths produce exactly the pixels of their tensor formulation
// (bilinear resize with align_corners=False, sigmoid, strict threshold, box
// test). On CPU the coarse path never materialises the (n, S, S) probability
// map: it evaluates the resize only inside each box, with the arithmetic of
// the tensor library's own CPU kernel, and writes the boolean mask directly.
#pragma once

#include <ATen/ATen.h>

#include <array>
#include <functional>
#include <vector>

namespace halcyra {
namespace predict {

// Coarse masks: (n, S, S) bool where
//   (resize(sigmoid(coarse), S, S) > thres) and (box test of `boxes`).
// coarse (n, hm, wm) float32 logits, boxes (n, 4) xyxy in pixels, `thres` a
// number. Uses the fused CPU kernel where it reproduces the library's
// arithmetic, the tensor formulation otherwise. With `consume` the logits may
// be overwritten (by their sigmoid).
at::Tensor coarse_masks(at::Tensor coarse, const at::Tensor& boxes, int64_t S,
                        const at::Scalar& thres, bool consume = false);

// The same masks straight from the coefficients (n, P) and prototypes
// (P, hm, wm): only the logits a box reads are computed, in the order of the
// library's product, and only where that order and the sigmoid's bits are
// proven to match (checked against the library once per process and per call);
// otherwise an undefined tensor, and the caller takes coarse_masks.
at::Tensor prototype_masks(const at::Tensor& coef, const at::Tensor& protos,
                           const at::Tensor& boxes, int64_t S, const at::Scalar& thres);

// Coarse logits (n, hm, wm) = coef (n, P) @ protos (P, hm * wm): the library's
// product, or on CPU the same sums in the same order where the linked BLAS is
// proven (once per process) to add the prototypes up in order.
at::Tensor coarse_product(const at::Tensor& coef, const at::Tensor& protos);

// The coarse logits (n, hm, wm) of coarse_product computed only inside one
// block per detection, rows r0..r1 and columns c0..c1 (inclusive; an empty
// block when r0 > r1), and at cell (0, 0): the same sums in the same order.
// Every other cell is left unwritten, for a reader known to look nowhere else.
// An undefined tensor where coarse_product would not take its own CPU loop.
struct Block {
  int64_t r0, r1, c0, c1;
};
at::Tensor coarse_blocks(const at::Tensor& coef, const at::Tensor& protos,
                         const std::vector<Block>& blocks);

// Sets every pixel of masks (n, H, W) bool (CPU, contiguous) outside the
// region rows y1..y2-1, columns x1..x2-1 of its plane to false, planes in
// parallel; `regions` holds (x1, y1, x2, y2) per plane, clipped to the plane.
void clear_outside(at::Tensor& masks, const std::vector<std::array<int64_t, 4>>& regions);

// The tensor formulation of coarse_masks (any device). `gt` compares the
// probabilities with the threshold.
at::Tensor coarse_masks_reference(const at::Tensor& coarse, const at::Tensor& boxes, int64_t S,
                                  const std::function<at::Tensor(const at::Tensor&)>& gt);

// Writes (sigmoid(patch) > thres) into masks[k, y1:y1+h, x1:x1+w] for a float32
// CPU patch (h, w) and a region inside the (n, S, S) bool canvas. The patch is
// overwritten with its sigmoid. Returns false (and does nothing) when the fast
// write does not apply.
bool paste_region(at::Tensor& masks, int64_t k, int64_t y1, int64_t x1, at::Tensor& patch,
                  const at::Scalar& thres);

// Whether the fused coarse kernel reproduces the library's resize on this
// build (checked once per process against the library itself).
bool fused_resize_available();

// ---- the library's elementwise kernels on packed values ----------------------
//
// The library evaluates a contiguous tensor in vectors and finishes every
// chunk of its parallel loop with a scalar tail; the two paths may round
// differently. These helpers reproduce either path for values taken out of
// such a tensor.

enum class Unary { kSigmoid, kSoftplus };  // softplus with beta 1, threshold 20

// Flat positions of a contiguous tensor of `numel` elements that the
// library's kernel for `op` evaluates on its scalar path at the current
// thread count (the tail of every chunk of its parallel loop), ascending:
// `always` for every way the loop may split the tensor, `sometimes` for some
// ways only (or all tail candidates when the kernel's vector step is unknown).
struct ScalarPositions {
  std::vector<int64_t> always, sometimes;
};
ScalarPositions scalar_path_positions(Unary op, int64_t numel);

// After vector_path over packed values: `raw` holds the inputs of the packed
// entries `at` (taken before), `always` whether each is certainly on the
// scalar path. Writes their scalar-path results where that is certain and
// returns false where the paths could both apply and disagree.
bool settle_scalar_path(Unary op, float* packed, std::vector<float> raw,
                        const std::vector<int64_t>& at, const std::vector<uint8_t>& always);

// data[0:n) replaced by op on the library's vector path; n is a multiple of
// 64. Runs in parallel over pieces.
void vector_path(Unary op, float* data, int64_t n);

// data[0:n) replaced by op on the library's scalar path.
void scalar_path(Unary op, float* data, int64_t n);

}  // namespace predict
}  // namespace halcyra
