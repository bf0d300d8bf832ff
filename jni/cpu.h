// cpu: the code paths of the library's kernels, chosen in one place for every module,
// and the floating-point mode of the audio path.
//
// Every module with vector kernels (dsp, fft, spectrum, vocoder) offers the same three
// paths: the reference path (plain loops and scalar libm; portable C++), the baseline
// path (128-bit vectors) and the AVX2 path (AVX2 and FMA, x86-64 CPUs that have them).
// A module's portable vector kernels live in its *_simd.cpp file, one Highway source
// compiled for every target in simd.h: on x86-64 the baseline path is Highway's SSSE3
// target and the AVX2 path its AVX2 target; on aarch64 the baseline path is its NEON
// target. Each module keeps its own path enum, whose
// values are those of CpuPath, and resolves a request through cpu_resolve_path(), so
// that every module agrees on what the CPU can run.
//
// Any thread; no allocation. The CPU check runs once and is then a cached answer.
#pragma once

#include <atomic>

#if defined(__x86_64__)
#define HOPWARBLER_X86 1
#else
#define HOPWARBLER_X86 0
#endif

enum CpuPath { CPU_PATH_REFERENCE, CPU_PATH_BASELINE, CPU_PATH_AVX2, CPU_PATH_BEST };

// True when the x86-64 CPU and the OS support what the AVX2 path is compiled for
// (AVX2, FMA, F16C, BMI and BMI2); false on any other CPU.
bool cpu_has_avx2();

// How a module's vector kernels are written: every module's are one portable Highway
// source (the kind stays a parameter, so that a module could declare another).
enum CpuKernels { CPU_KERNELS_PORTABLE };

// The path to run for `requested` (a CpuPath) by kernels of the given kind: the
// request itself when this CPU runs it, the fastest path it runs for CPU_PATH_BEST,
// and -1 when it cannot run it (the baseline path on an x86-64 CPU without SSSE3; the
// AVX2 path off x86-64 or on a
// CPU without its extensions; either on a CPU that is neither x86-64 nor aarch64) or
// when `requested` is not a CpuPath.
int cpu_resolve_path(int requested, CpuKernels kernels = CPU_KERNELS_PORTABLE);

// The name of the instruction set a module with kernels of the given kind runs on
// `path` (a resolved CpuPath): "scalar", "SSSE3", "AVX2" or "NEON".
const char* cpu_path_target(int path, CpuKernels kernels);

// One module's code path, the same for every object of the module and every thread:
// the fastest path the CPU runs until select() asks for another (tests and benchmarks,
// never while the module runs). The one way every module chooses its path.
class CodePath {
 public:
  explicit CodePath(CpuKernels kernels) : kernels_(kernels) {}

  // Takes cpu_resolve_path(requested, kernels) and returns true; returns false, changing
  // nothing, when the CPU cannot run the request.
  bool select(int requested);
  // The path in force (a CpuPath other than CPU_PATH_BEST).
  int get() {
    const int path = path_.load(std::memory_order_relaxed);
    return path >= 0 ? path : best();
  }
  // The instruction set of the path in force (cpu_path_target()).
  const char* target() { return cpu_path_target(get(), kernels_); }

 private:
  int best();
  const CpuKernels kernels_;
  std::atomic<int> path_{-1};
};

// Sets flush-to-zero and denormals-are-zero (x86-64: MXCSR; aarch64: FPCR.FZ) for the
// calling thread and returns the mode to hand back to cpu_restore_fp_mode(). Where
// the CPU has neither, it changes nothing.
unsigned long long cpu_flush_denormals();
void cpu_restore_fp_mode(unsigned long long saved);

// Holds flush-to-zero and denormals-are-zero for one scope, so that decaying filter and
// overlap tails never run at denormal speed, and restores the caller's mode after it.
class DenormalGuard {
 public:
  DenormalGuard() : saved_(cpu_flush_denormals()) {}
  ~DenormalGuard() { cpu_restore_fp_mode(saved_); }
  DenormalGuard(const DenormalGuard&) = delete;
  DenormalGuard& operator=(const DenormalGuard&) = delete;

 private:
  unsigned long long saved_;
};
