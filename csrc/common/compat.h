// The few places where the tensor library's C++ API differs between the
// versions this tree builds against (1.13, 2.6 and 2.14), the CPU features
// the kernels choose their code paths by, and the switch that sends them down
// their device-generic paths. Kernels include this header instead of testing
// versions, CPUs or settings themselves.
#pragma once

#include <ATen/core/Tensor.h>
#include <ATen/core/grad_mode.h>
#include <ATen/record_function.h>

#include <cstdlib>
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

namespace halcyra {

// Which code paths the kernels take, from the environment variable
// HALCYRA_GENERIC, read once, the first time a kernel asks:
//   unset, "" or "0"  the fused CPU kernels with their AVX2 / FMA forms;
//   "1"               every entry point takes on CPU tensors the path it takes
//                     for tensors of other devices (the device-generic tensor
//                     formulation): no fused CPU kernel, no AVX2 loop;
//   "scalar"          the fused CPU kernels without AVX2 / FMA (what a CPU
//                     without them runs).
// Anything else is kInvalid: halcyra._ops refuses it before it loads the
// library; a C++ program that sets it gets neither the generic paths nor the
// AVX2 / FMA loops.
enum class Paths { kFused, kGeneric, kScalar, kInvalid };

inline Paths paths_from(const char* v) {
  if (!v || !*v || (v[0] == '0' && !v[1])) return Paths::kFused;
  if (v[0] == '1' && !v[1]) return Paths::kGeneric;
  const char* scalar = "scalar";
  for (int i = 0;; ++i) {
    if (v[i] != scalar[i]) return Paths::kInvalid;
    if (!v[i]) return Paths::kScalar;
  }
}

inline Paths paths() {
  static const Paths p = paths_from(std::getenv("HALCYRA_GENERIC"));
  return p;
}

// HALCYRA_GENERIC=1: the device-generic formulations run on the CPU too.
inline bool generic() {
  static const bool yes = paths() == Paths::kGeneric;
  return yes;
}

// Whether a kernel written for host memory may take tensors of this device:
// a CPU device, unless the device-generic paths are asked for.
inline bool fused_cpu(const at::Device& d) { return d.is_cpu() && !generic(); }
inline bool fused_cpu(const at::Tensor& t) { return fused_cpu(t.device()); }

// `t` copied to host memory (contiguous) for a value the host must read: a
// size, a bound, indices. On an accelerator the copy waits for the device's
// work: every such read goes through here, a profiler region of its own
// ("halcyra::host_read"), so that tests can count them on any device.
inline at::Tensor host_read(const at::Tensor& t) {
  HALCYRA_RECORD("host_read");
  return t.to(at::kCPU).contiguous();
}

}  // namespace halcyra

#if defined(__x86_64__) && defined(__GNUC__)
namespace halcyra {

// Whether the CPU runs AVX2 / FMA instructions: kernels built for them (a
// target attribute; the build assumes neither) are chosen at run time.
// False under HALCYRA_GENERIC (any setting), so that the portable loops run.
inline bool cpu_has_avx2() {
  static const bool yes = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0 && paths() == Paths::kFused;
  }();
  return yes;
}

inline bool cpu_has_fma() {
  static const bool yes = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("fma") != 0 && paths() == Paths::kFused;
  }();
  return yes;
}

}  // namespace halcyra
#endif
