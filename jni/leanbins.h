// leanbins: the vocoder's two passes over the bins in float, for its lean maths
// (VocoderOptions::lean): the magnitudes and phases of the forward spectrum, and the
// one-sided spectrum rebuilt from the magnitudes and synthesis phases. The plain passes
// (vocoder_simd.cpp) take both in double with atan2, sin and cos of double precision;
// these take twice the lanes per vector with float polynomials (within a few units of
// the last place of float), which leaves the phases within about 1e-6 radians of theirs.
// One Highway source (leanbins.cpp): SSSE3 and AVX2 on x86-64, NEON on aarch64.
#pragma once

struct LeanBinKernels {
  // mag[k] = |bin k|, phi[k] = its angle in [-pi, pi], for the interleaved bins of
  // buffer; returns the bins done (a multiple of the lanes, at most n), the caller
  // does the rest.
  int (*binPass)(const float* buffer, float* mag, float* phi, int n);
  // spectrum[2k] = m cos(psi[k]), spectrum[2k + 1] = m sin(psi[k]), m = mag[k] times
  // gains[k] when gains is not null; returns the bins done as binPass does.
  int (*rebuild)(const float* mag, const float* psi, const float* gains, float* spectrum, int n);
  // psi[k] = phi[k] + turn[k] brought into [-pi, pi] in float (0 where it is not a
  // number), then rebuild() from it, in the same pass; returns the bins done as binPass.
  int (*turnRebuild)(const float* mag, const float* phi, const float* turn, const float* gains,
                     float* psi, float* spectrum, int n);
  // dest[i - from] = wave[i] + realParts[i] windowOut[i] in float (fused where the CPU
  // fuses), for i from `from` in whole vectors while they end by `to`; returns the
  // first i not done. dest may be wave itself when from >= 1.
  int (*accumulate)(const float* wave, const float* realParts, const float* windowOut, float* dest,
                    int from, int to);

  // Two exact steps of the fine peak rule, the same result as the scalar loops on any
  // input, for every fast path:
  // the bins of 0 .. n - 1 strictly above both neighbours (bin -1 counts as FLT_MIN,
  // mag[n] is a guard the caller sets), in order, into peaks (room for n + 16); their
  // number.
  int (*finePeaks)(const float* mag, int n, int* peaks);
  // valleys[p] = the first bin of least magnitude from peaks[p - 1] up to peaks[p]
  // (0 when none is below the largest float), for p = 1 .. nPeaks - 1; reads up to
  // seven bins past the last peak.
  void (*valleys)(const float* mag, const int* peaks, int* valleys, int nPeaks);
  // And the analysis window, exact too: buffer[i] = input[i] window[i] for i < n, or
  // with complex set buffer[2i] = that and buffer[2i + 1] = 0.
  void (*window)(const float* input, const float* window, float* buffer, int n, bool complex);
};

// The kernels of a CpuPath (CPU_PATH_BASELINE or CPU_PATH_AVX2, where built); nullptr
// for any other.
const LeanBinKernels* lean_bin_kernels(int path);
