#include "paths.h"

#include "dsp.h"
#include "fft.h"
#include "spectrum.h"
#include "vocoder.h"

namespace support {

bool selectAllPaths(CpuPath path) {
  if (cpu_resolve_path(path) < 0) return false;
  const auto take = [path](auto select, auto reference) {
    using Path = decltype(reference);
    return select(static_cast<Path>(path)) || select(reference);
  };
  return take(fft_select_path, FFT_PATH_REFERENCE) &&
         take(vocoder_select_path, VOCODER_PATH_REFERENCE) &&
         take(spectrum_select_path, SPECTRUM_PATH_REFERENCE) &&
         take(dsp_select_path, DSP_PATH_REFERENCE);
}

std::string describePaths() {
  return std::string("dsp ") + dsp_path_target() + ", fft " + fft_path_target() + ", spectrum " +
         spectrum_path_target() + ", vocoder " + vocoder_path_target();
}

const char* pathName(CpuPath path) {
  switch (path) {
    case CPU_PATH_REFERENCE:
      return "reference";
    case CPU_PATH_BASELINE:
      return "baseline";
    case CPU_PATH_AVX2:
      return "AVX2";
    default:
      return "best";
  }
}

}  // namespace support
