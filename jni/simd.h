// simd: what every portable vector source (the *_simd.cpp files) shares. Each such
// file is one Highway source that hwy/foreach_target.h compiles once per target named
// here, each copy in its own namespace (N_SSSE3, N_AVX2, N_NEON). The copy to run is
// chosen by the module's CodePath (cpu.h), not by Highway's own dispatch: the tests
// and benchmarks select every path in turn, and the choice needs no state beyond the
// CodePath and no library beyond Highway's headers.
//
// Include this first in a *_simd.cpp file, before any Highway header.
#pragma once

#include "cpu.h"

// Highway compiles every target it can attain; the ones no path runs are left out.
// x86-64: SSSE3 and AVX2 (and the static target, its one-lane fallback, never run);
// aarch64: NEON (SVE's vectors, whose size is known only at run time, would need a
// path of their own).
#if defined(__x86_64__)
#define HWY_DISABLED_TARGETS (HWY_SSE4 | HWY_AVX3 | HWY_AVX3_DL)
#elif defined(__aarch64__)
#define HWY_DISABLED_TARGETS (HWY_SVE | HWY_SVE2 | HWY_SVE_256 | HWY_SVE2_128)
#else
#define HWY_COMPILE_ONLY_STATIC 1
#endif

// The namespaces of the target copies that run the baseline and the AVX2 path, where
// the CPU family has them; the HWY_ONCE part of a *_simd.cpp file builds its table
// of kernels for each one defined.
#if defined(__x86_64__)
#define HOPWARBLER_SIMD_BASELINE N_SSSE3
#define HOPWARBLER_SIMD_AVX2 N_AVX2
#elif defined(__aarch64__)
#define HOPWARBLER_SIMD_BASELINE N_NEON
#endif
