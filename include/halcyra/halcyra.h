// halcyra's C++ API: anchors, decoding and the inference postprocess over
// at::Tensor, in namespace halcyra. Link halcyra::halcyra (CMake:
// find_package(halcyra)); the library registers halcyra's operators when it
// loads. Needs C++17 (or what the libtorch headers need, C++20 for newer ones).
#pragma once

#include "decode.h"       // IWYU pragma: export
#include "export.h"       // IWYU pragma: export
#include "postprocess.h"  // IWYU pragma: export
