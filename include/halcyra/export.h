// Symbol visibility of halcyra's C++ API: the library is built with hidden
// visibility, and the functions declared with HALCYRA_API are its exports.
#pragma once

#if defined(_WIN32)
#define HALCYRA_API
#else
#define HALCYRA_API __attribute__((visibility("default")))
#endif

#define HALCYRA_VERSION_MAJOR 0
#define HALCYRA_VERSION_MINOR 1
#define HALCYRA_VERSION_PATCH 0
