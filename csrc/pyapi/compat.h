// The few places where the tensor library's C++ API differs between the
// versions this tree builds against (1.13 and 2.x). Kernels include this
// header instead of testing versions themselves.
#pragma once

#include <ATen/core/grad_mode.h>
#include <ATen/record_function.h>

// Names the enclosing scope in torch.profiler as "halcyra::<name>"; `name` is
// a string literal. Costs one flag test when no profiler is active.
#define HALCYRA_RECORD(name) \
  RECORD_FUNCTION("halcyra::" name, c10::ArrayRef<const c10::IValue>{})
