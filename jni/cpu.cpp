#include "cpu.h"

#include <cstdint>

#if HOPWARBLER_X86
#include <cpuid.h>
#endif

namespace {

// Highway's AVX2 target is compiled for these extensions together; the OS check of
// the AVX state is part of __builtin_cpu_supports("avx2"). F16C, BMI1 and BMI2 are
// read from CPUID directly: clang's builtin does not know their names.
bool checkAvx2() {
#if HOPWARBLER_X86
  __builtin_cpu_init();
  if (!__builtin_cpu_supports("avx2") || !__builtin_cpu_supports("fma")) return false;
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
  const bool f16c = (ecx & (1u << 29)) != 0;
  if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) return false;
  const bool bmi1 = (ebx & (1u << 3)) != 0;
  const bool bmi2 = (ebx & (1u << 8)) != 0;
  return f16c && bmi1 && bmi2;
#else
  return false;
#endif
}

// Whether the CPU runs the portable kernels' baseline target: SSSE3 on x86-64 (every
// x86-64 CPU since 2006 but AMD's before 2011), NEON on aarch64 (every one).
bool checkPortableBaseline() {
#if HOPWARBLER_X86
  __builtin_cpu_init();
  return __builtin_cpu_supports("ssse3");
#elif defined(__aarch64__)
  return true;
#else
  return false;
#endif
}

bool hasBaseline(CpuKernels) {
  static const bool portable = checkPortableBaseline();
  return portable;
}

}  // namespace

bool cpu_has_avx2() {
  static const bool avx2 = checkAvx2();
  return avx2;
}

int cpu_resolve_path(int requested, CpuKernels kernels) {
  switch (requested) {
    case CPU_PATH_REFERENCE:
      return CPU_PATH_REFERENCE;
    case CPU_PATH_BASELINE:
      return hasBaseline(kernels) ? CPU_PATH_BASELINE : -1;
    case CPU_PATH_AVX2:
      return cpu_has_avx2() ? CPU_PATH_AVX2 : -1;
    case CPU_PATH_BEST:
      if (cpu_has_avx2()) return CPU_PATH_AVX2;
      return hasBaseline(kernels) ? CPU_PATH_BASELINE : CPU_PATH_REFERENCE;
    default:
      return -1;
  }
}

const char* cpu_path_target(int path, CpuKernels kernels) {
  switch (path) {
    case CPU_PATH_BASELINE:
      (void)kernels;
      return HOPWARBLER_X86 ? "SSSE3" : "NEON";
    case CPU_PATH_AVX2:
      return "AVX2";
    default:
      return "scalar";
  }
}

bool CodePath::select(int requested) {
  const int resolved = cpu_resolve_path(requested, kernels_);
  if (resolved < 0) return false;
  path_.store(resolved, std::memory_order_relaxed);
  return true;
}

// The first use picks the fastest path, unless a select() on another thread came first.
int CodePath::best() {
  int unset = -1;
  path_.compare_exchange_strong(unset, cpu_resolve_path(CPU_PATH_BEST, kernels_),
                                std::memory_order_relaxed);
  return path_.load(std::memory_order_relaxed);
}

unsigned long long cpu_flush_denormals() {
#if HOPWARBLER_X86
  // MXCSR bit 15 flushes results to zero, bit 6 reads denormal inputs as zero.
  const unsigned int saved = __builtin_ia32_stmxcsr();
  __builtin_ia32_ldmxcsr(saved | 0x8040u);
  return saved;
#elif defined(__aarch64__)
  // FPCR bit 24 (FZ) flushes denormal inputs and results to zero.
  uint64_t saved;
  __asm__ __volatile__("mrs %0, fpcr" : "=r"(saved));
  const uint64_t flushing = saved | (uint64_t{1} << 24);
  __asm__ __volatile__("msr fpcr, %0" : : "r"(flushing));
  return saved;
#else
  return 0;
#endif
}

void cpu_restore_fp_mode(unsigned long long saved) {
#if HOPWARBLER_X86
  __builtin_ia32_ldmxcsr(static_cast<unsigned int>(saved));
#elif defined(__aarch64__)
  const uint64_t mode = saved;
  __asm__ __volatile__("msr fpcr, %0" : : "r"(mode));
#else
  (void)saved;
#endif
}
