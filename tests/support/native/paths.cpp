#include "paths.h"

#include "dsp.h"
#include "fft.h"
#include "spectrum.h"
#include "vocoder.h"

namespace support {

bool selectAllPaths(CpuPath path) {
  if (cpu_resolve_path(path) < 0) return false;
  return fft_select_path(static_cast<FftPath>(path)) &&
         vocoder_select_path(static_cast<VocoderPath>(path)) &&
         spectrum_select_path(static_cast<SpectrumPath>(path)) &&
         dsp_select_path(static_cast<DspPath>(path));
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
