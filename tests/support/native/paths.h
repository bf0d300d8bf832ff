// Puts every module of the library (dsp, fft, spectrum, vocoder) on one code path,
// for the tests and benchmarks that compare or time the paths.
#pragma once

#include "cpu.h"

namespace support {

// Selects `path` (a CpuPath) in every module. False when the CPU cannot run it; the
// modules then keep their paths.
bool selectAllPaths(CpuPath path);

// The name of a path: "reference", "baseline", "AVX2" or "best".
const char* pathName(CpuPath path);

}  // namespace support
