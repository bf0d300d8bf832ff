// Puts every module of the library on one code path for the path benchmarks.
#pragma once

#include "dsp.h"
#include "fft.h"
#include "vocoder.h"
#if HOPWARBLER_BENCH_SPECTRUM
#include "spectrum.h"
#endif

// The reference path (plain loops, scalar libm) or the baseline path (SSE2).
inline void selectPlainPaths(bool reference) {
  fft_select_path(reference ? FFT_PATH_REFERENCE : FFT_PATH_BASELINE);
  vocoder_select_path(reference ? VOCODER_PATH_REFERENCE : VOCODER_PATH_BASELINE);
  dsp_select_path(reference ? DSP_PATH_REFERENCE : DSP_PATH_BASELINE);
#if HOPWARBLER_BENCH_SPECTRUM
  spectrum_select_path(reference ? SPECTRUM_PATH_REFERENCE : SPECTRUM_PATH_BASELINE);
#endif
}

inline void selectBestPaths() {
  fft_select_path(FFT_PATH_BEST);
  vocoder_select_path(VOCODER_PATH_BEST);
  dsp_select_path(DSP_PATH_BEST);
#if HOPWARBLER_BENCH_SPECTRUM
  spectrum_select_path(SPECTRUM_PATH_BEST);
#endif
}
