// The few places where the tensor library's C++ API differs between the
// versions this tree builds against (1.13, 2.6 and 2.14), and the CPU features
// the kernels choose their code paths by. Kernels include this header instead
// of testing versions or CPUs themselves.
#pragma once

#include <ATen/core/Tensor.h>
#include <ATen/core/grad_mode.h>
#include <ATen/record_function.h>

#include <utility>

namespace halcyra {
namespace compat_detail {
// Named tensors (Tensor::has_names) are gone from 2.14 on: a tensor there has
// no names. Chosen by overload resolution on whether the member exists.
template <class T>
auto has_names(const T& t, int) -> decltype(t.has_names()) {
  return t.has_names();
}
template <class T>
bool has_names(const T&, long) {
  return false;
}
}  // namespace compat_detail

// Whether `t` carries dimension names (always false where the tensor library
// no longer has them).
inline bool has_names(const at::Tensor& t) { return compat_detail::has_names(t, 0); }
}  // namespace halcyra

// Names the enclosing scope in torch.profiler as "halcyra::<name>"; `name` is
// a string literal. Costs one flag test when no profiler is active.
#define HALCYRA_RECORD(name) \
  RECORD_FUNCTION("halcyra::" name, c10::ArrayRef<const c10::IValue>{})

#if defined(__x86_64__) && defined(__GNUC__)
namespace halcyra {

// Whether the CPU runs AVX2 / FMA instructions: kernels built for them (a
// target attribute; the build assumes neither) are chosen at run time.
inline bool cpu_has_avx2() {
  static const bool yes = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
  }();
  return yes;
}

inline bool cpu_has_fma() {
  static const bool yes = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("fma") != 0;
  }();
  return yes;
}

}  // namespace halcyra
#endif
