#include "cpu.h"

#include <cstdint>

namespace {

bool checkAvx2() {
#if HOPWARBLER_X86
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
#else
  return false;
#endif
}

}  // namespace

bool cpu_has_avx2() {
  static const bool avx2 = checkAvx2();
  return avx2;
}

int cpu_resolve_path(int requested) {
  switch (requested) {
    case CPU_PATH_REFERENCE:
      return CPU_PATH_REFERENCE;
    case CPU_PATH_BASELINE:
      return HOPWARBLER_X86 ? CPU_PATH_BASELINE : -1;
    case CPU_PATH_AVX2:
      return cpu_has_avx2() ? CPU_PATH_AVX2 : -1;
    case CPU_PATH_BEST:
      if (cpu_has_avx2()) return CPU_PATH_AVX2;
      return HOPWARBLER_X86 ? CPU_PATH_BASELINE : CPU_PATH_REFERENCE;
    default:
      return -1;
  }
}

bool CodePath::select(int requested) {
  const int resolved = cpu_resolve_path(requested);
  if (resolved < 0) return false;
  path_.store(resolved, std::memory_order_relaxed);
  return true;
}

// The first use picks the fastest path, unless a select() on another thread came first.
int CodePath::best() {
  int unset = -1;
  path_.compare_exchange_strong(unset, cpu_resolve_path(CPU_PATH_BEST), std::memory_order_relaxed);
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
