// The few places where the tensor library's C++ API differs between the
// versions this tree builds against (1.13 and 2.x), and the CPU features the
// kernels choose their code paths by. Kernels include this header instead of
// testing versions or CPUs themselves.
#pragma once

#include <ATen/core/grad_mode.h>
#include <ATen/record_function.h>

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
