// Puts every module of the library (dsp, fft, spectrum, vocoder) on one code path,
// for the tests and benchmarks that compare or time the paths.
#pragma once

#include <string>

#include "cpu.h"

namespace support {

// Selects `path` (a CpuPath) in every module that has it on this CPU and the reference
// path in the others. False when the CPU cannot run it at all; the modules then keep
// their paths.
bool selectAllPaths(CpuPath path);

// Which instruction set each module runs, as "dsp AVX2, fft AVX2, ...".
std::string describePaths();

// The name of a path: "reference", "baseline", "AVX2" or "best".
const char* pathName(CpuPath path);

}  // namespace support
