#include "neck.h"

#include <ATen/Dispatch.h>
#include <ATen/Parallel.h>
#include <ATen/core/dispatch/Dispatcher.h>
#include "../common/compat.h"
#include <torch/csrc/autograd/custom_function.h>

namespace halcyra {
namespace neck {

namespace {

using torch::autograd::AutogradContext;
using torch::autograd::variable_list;

// The memory format that the concatenation of the upsampled tensors would
// have: each upsampled tensor takes its input's suggested format, and the
// concatenation keeps a format only when all of its inputs share it.
at::MemoryFormat cat_format(at::TensorList xs) {
  at::MemoryFormat fmt = xs[0].suggest_memory_format();
  for (const auto& x : xs)
    if (x.suggest_memory_format() != fmt) return at::MemoryFormat::Contiguous;
  return fmt;
}

}  // namespace

at::Tensor upsample_cat_kernel(at::TensorList xs, at::IntArrayRef factors) {
  TORCH_CHECK_VALUE(upsample_cat_applies(xs, factors),
                    "upsample_cat(): expected non-empty 4-D floating tensors of one dtype, device "
                    "and batch size with one upsampled size, and a factor of at least 1 for each");
  HALCYRA_RECORD("upsample_cat_kernel");
  const at::Tensor& x0 = xs[0];
  const int64_t b = x0.size(0);
  const int64_t h = x0.size(2) * factors[0], w = x0.size(3) * factors[0];
  int64_t channels = 0;
  for (const auto& x : xs) channels += x.size(1);
  at::Tensor out = at::empty({b, channels, h, w}, x0.options().memory_format(cat_format(xs)));
  int64_t off = 0;
  for (size_t i = 0; i < xs.size(); ++i) {
    const at::Tensor& x = xs[i];
    const int64_t c = x.size(1), f = factors[i];
    at::Tensor dst = out.narrow(1, off, c);
    if (f == 1) {
      dst.copy_(x);
    } else if (fused_cpu(x)) {
      // The library's own nearest kernel, writing into the slice (the same
      // call as F.interpolate makes, minus the temporary).
      const double s = static_cast<double>(f);
      at::upsample_nearest2d_out(dst, x, {x.size(2) * f, x.size(3) * f}, s, s);
    } else {
      // Splitting rows and columns into (input index, copy) is a view of any
      // strided layout; the source repeats each pixel f x f times by stride 0.
      const int64_t ih = x.size(2), iw = x.size(3);
      dst.view({b, c, ih, f, iw, f})
          .copy_(x.unsqueeze(3).unsqueeze(5).expand({b, c, ih, f, iw, f}));
    }
    off += c;
  }
  return out;
}

namespace {

// Gradient of nearest upsampling by the integer factor f for one input:
// grad_in[b, c, i, j] = sum of grad_out[b, c, i * f + dy, j * f + dx], read
// straight from the (strided) slice of the concatenation's gradient. The sum
// runs over the output pixels in row-major order starting from 0, the order
// of the library's CPU kernel, so the values are the same to the bit; that
// kernel would first copy the slice into a contiguous tensor.
template <typename scalar_t>
void nearest_backward_plane(const scalar_t* go, int64_t sh, int64_t sw, scalar_t* gi,
                            int64_t ih, int64_t iw, int64_t f) {
  for (int64_t i = 0; i < ih; ++i) {
    scalar_t* dst = gi + i * iw;
    for (int64_t j = 0; j < iw; ++j) dst[j] = scalar_t(0);
    for (int64_t dy = 0; dy < f; ++dy) {
      const scalar_t* row = go + (i * f + dy) * sh;
      if (sw == 1) {
        for (int64_t j = 0; j < iw; ++j)
          for (int64_t dx = 0; dx < f; ++dx) dst[j] += row[j * f + dx];
      } else {
        for (int64_t j = 0; j < iw; ++j)
          for (int64_t dx = 0; dx < f; ++dx) dst[j] += row[(j * f + dx) * sw];
      }
    }
  }
}

// Preconditions: g (b, c, ih * f, iw * f) floating, strided, on the CPU.
at::Tensor nearest_backward_cpu(const at::Tensor& g, int64_t ih, int64_t iw, int64_t f) {
  HALCYRA_RECORD("upsample_cat_backward_kernel");
  TORCH_CHECK(g.dim() == 4 && g.device().is_cpu() && g.layout() == at::kStrided && f >= 1 &&
                  g.size(2) == ih * f && g.size(3) == iw * f,
              "upsample_cat backward: gradient of size ", g.sizes(), " for an input of ", ih,
              " x ", iw, " upsampled by ", f);
  const int64_t b = g.size(0), c = g.size(1);
  at::Tensor out = at::empty({b, c, ih, iw}, g.options());
  AT_DISPATCH_FLOATING_TYPES(g.scalar_type(), "upsample_cat_backward", [&] {
    const scalar_t* go = g.data_ptr<scalar_t>();
    scalar_t* gi = out.data_ptr<scalar_t>();
    const int64_t sb = g.stride(0), sc = g.stride(1), sh = g.stride(2), sw = g.stride(3);
    at::parallel_for(0, b * c, 1, [&](int64_t begin, int64_t end) {
      for (int64_t p = begin; p < end; ++p) {
        const int64_t n = p / c, k = p % c;
        nearest_backward_plane(go + n * sb + k * sc, sh, sw, gi + p * ih * iw, ih, iw, f);
      }
    });
  });
  return out;
}

struct UpsampleCat : public torch::autograd::Function<UpsampleCat> {
  static at::Tensor forward(AutogradContext* ctx, at::TensorList xs,
                            const std::vector<int64_t>& factors) {
    static const auto op = c10::Dispatcher::singleton()
                               .findSchemaOrThrow("halcyra::upsample_cat", "")
                               .typed<at::Tensor(at::TensorList, at::IntArrayRef)>();
    at::Tensor out;
    {
      at::AutoDispatchBelowADInplaceOrView below;
      out = op.call(xs, factors);  // checks the inputs first
    }
    std::vector<int64_t> shapes;  // c, h, w per input
    shapes.reserve(3 * xs.size());
    for (const auto& x : xs) {
      shapes.push_back(x.size(1));
      shapes.push_back(x.size(2));
      shapes.push_back(x.size(3));
    }
    ctx->saved_data["shapes"] = shapes;
    ctx->saved_data["factors"] = factors;
    return out;
  }

  static variable_list backward(AutogradContext* ctx, variable_list grads) {
    const at::Tensor& g = grads[0];
    const std::vector<int64_t> shapes = ctx->saved_data["shapes"].toIntVector();
    const std::vector<int64_t> factors = ctx->saved_data["factors"].toIntVector();
    const int64_t b = g.size(0);
    variable_list out;
    out.reserve(factors.size() + 1);
    int64_t off = 0;
    for (size_t i = 0; i < factors.size(); ++i) {
      const int64_t c = shapes[3 * i], ih = shapes[3 * i + 1], iw = shapes[3 * i + 2];
      const int64_t f = factors[i];
      if (!ctx->needs_input_grad(i)) {
        out.emplace_back();
      } else if (f == 1) {
        out.push_back(g.narrow(1, off, c));
      } else if (fused_cpu(g) && !at::GradMode::is_enabled() && g.layout() == at::kStrided &&
                 !g._is_zerotensor() && !g.is_neg() && !g.is_conj() &&
                 (g.scalar_type() == at::kFloat || g.scalar_type() == at::kDouble) &&
                 g.suggest_memory_format() == at::MemoryFormat::Contiguous) {
        // (With create_graph the library's differentiable op below is used.)
        out.push_back(nearest_backward_cpu(g.narrow(1, off, c), ih, iw, f));
      } else {
        const double s = static_cast<double>(f);
        out.push_back(at::upsample_nearest2d_backward(g.narrow(1, off, c), {ih * f, iw * f},
                                                      {b, c, ih, iw}, s, s));
      }
      off += c;
    }
    out.emplace_back();  // factors
    return out;
  }
};

bool floating(at::ScalarType t, bool cuda) {
  if (t == at::kFloat || t == at::kDouble) return true;
  return cuda && (t == at::kHalf || t == at::kBFloat16);
}

}  // namespace

bool upsample_cat_applies(at::TensorList xs, at::IntArrayRef factors) {
  if (xs.empty() || xs.size() != factors.size()) return false;
  const at::Tensor& x0 = xs[0];
  if (!x0.defined()) return false;
  const bool cuda = x0.is_cuda();
  if (!(x0.is_cpu() || cuda) || !floating(x0.scalar_type(), cuda)) return false;
  if (x0.dim() != 4) return false;
  const int64_t b = x0.size(0);
  int64_t h = 0, w = 0;
  for (size_t i = 0; i < xs.size(); ++i) {
    const at::Tensor& x = xs[i];
    const int64_t f = factors[i];
    if (!x.defined() || x.layout() != at::kStrided || x.dim() != 4 || x.numel() == 0)
      return false;
    if (x.device() != x0.device() || x.scalar_type() != x0.scalar_type()) return false;
    if (x.is_quantized() || halcyra::has_names(x) || x._fw_grad(0).defined()) return false;
    // upsampled sizes, where they fit in int64 (expanded inputs can be huge)
    int64_t xh = 0, xw = 0;
    if (f < 1 || x.size(0) != b || __builtin_mul_overflow(x.size(2), f, &xh) ||
        __builtin_mul_overflow(x.size(3), f, &xw))
      return false;
    if (i == 0) {
      h = xh;
      w = xw;
    } else if (xh != h || xw != w) {
      return false;
    }
  }
  return true;
}

at::Tensor upsample_cat_autograd(at::TensorList xs, at::IntArrayRef factors) {
  return UpsampleCat::apply(xs, factors.vec());
}

at::Tensor upsample_cat_meta(at::TensorList xs, at::IntArrayRef factors) {
  TORCH_CHECK_VALUE(!xs.empty() && xs.size() == factors.size(),
                    "upsample_cat(): one factor per tensor");
  c10::SymInt channels = 0;
  for (const auto& x : xs) {
    TORCH_CHECK_VALUE(x.dim() == 4, "upsample_cat(): expected 4-D tensors");
    channels += x.sym_size(1);
  }
  const auto& x0 = xs[0];
  return at::empty_symint({x0.sym_size(0), channels, x0.sym_size(2) * factors[0],
                           x0.sym_size(3) * factors[0]},
                          x0.options().memory_format(cat_format(xs)));
}

}  // namespace neck
}  // namespace halcyra
