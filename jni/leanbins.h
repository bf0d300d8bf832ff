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
};

// The kernels of a CpuPath (CPU_PATH_BASELINE or CPU_PATH_AVX2, where built); nullptr
// for any other.
const LeanBinKernels* lean_bin_kernels(int path);
