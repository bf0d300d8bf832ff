// vocoder_simd: the vocoder's vector kernels (vocoder_simd.cpp, one Highway source
// for every CPU; see simd.h), called by vocoder.cpp on the baseline and AVX2 paths.
// Each computes exactly what the reference step it stands for computes (see
// vocoder.h); where its vectors do not cover a value (a NaN, an infinity, a phase out
// of range) it says so or falls back on princarg(), declared at the end. A path's
// vectors hold L doubles: 4 on the AVX2 path, 2 on the baseline path (SSSE3 on
// x86-64, NEON on aarch64). Arrays are unaligned.
#pragma once

struct VocoderKernels {
  int lanes;  // L

  // Magnitudes and phases of bins 0 .. n - 1 of the interleaved spectrum buffer, as
  // the reference's bin pass. Returns the first bin not done: the caller does bins
  // from there to n - 1 with the reference (all of them when a bin was not covered).
  int (*binPass)(const float* buffer, float* mag, float* phi, int n);

  // Bins from .. to - 1 (to - from a multiple of 4) that pass the peak test (strictly
  // above the two bins on each side; reads mag[from - 2 .. to + 1]), written to peaks
  // in order; returns their number. Every candidate is written, and kept only when it
  // passes, so peaks needs room for to - from + 3 entries.
  int (*peaks)(const float* mag, int from, int to, int* peaks);

  // The first bin of least magnitude in from .. to - 1, as the reference valley
  // search gives it; reads up to seven bins past to.
  int (*firstLeast)(const float* mag, int from, int to);

  // The rotations of L peak regions at once, as peakRotation() gives them, into
  // rotation[0 .. L - 1]. False, with rotation left as it was, when a phase lies out
  // of the range the vectors wrap: the caller then uses peakRotation().
  bool (*peakRotations)(const float* omega, const float* phi, const float* phi0, const float* psi,
                        const int* peak, float stretchFactor, float* rotation);

  // rotation[valleys[p] .. valleys[p + 1] - 1] = peakRotations[p] for every peak p,
  // the regions in order from bin 0; stores run up to seven floats past the last
  // region.
  void (*fillRegions)(float* rotation, const int* valleys, int nPeaks, const float* peakRotations);

  // psi[b] = princarg(phi[b] + rotation[b]) for b < n.
  void (*turnBins)(const float* phi, const float* rotation, float* psi, int n);

  // The one-sided spectrum (mag times gains, when gains is not null) e^(i psi) of
  // bins 0 .. n - 1 into spectrum, interleaved. Returns the first bin not done, as
  // the bin pass does.
  int (*rebuild)(const float* mag, const float* psi, const float* gains, float* spectrum, int n);

  // dest[i - from] = wave[i] + realParts[i] windowOut[i] in double, rounded to float,
  // for i from `from` in steps of L while i + L <= to. Returns the first i not done.
  // dest may be wave itself when from >= 1 (each value is read before it is stored
  // over).
  int (*accumulate)(const float* wave, const float* realParts, const float* windowOut, float* dest,
                    int from, int to);

  // The path's own vector atan2 and sincos on n doubles, the lanes they do not cover
  // by scalar libm (for the tests); null where the path takes glibc's vector maths
  // (the baseline path on x86-64).
  void (*atan2)(const double* y, const double* x, double* angle, int n);
  void (*sincos)(const double* x, double* sine, double* cosine, int n);
};

// The kernels of `path` (a resolved CpuPath); nullptr for the reference path and
// where the CPU family has no vector copy.
const VocoderKernels* vocoder_simd_kernels(int path);

// From vocoder.cpp: the scalar wrap the kernels fall back on.
float princarg(double phase);
