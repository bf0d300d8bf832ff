// spectrum_simd: the analyser's vector kernels (spectrum_simd.cpp, one Highway source
// for every CPU; see simd.h), called by spectrum.cpp on the baseline and AVX2 paths.
#pragma once

// The correlation sums of `bands` consecutive bands over the windowed history
// (spectrumHistorySize doubles): for band k, whose coefficient rows start at
// sn + k rowStride and cs + k rowStride, s[k] = sum windowed[i] sn[i] and
// c[k] = sum windowed[i] cs[i]. Each product is exact in double (a float times a
// float widened), so only the order of the additions tells the paths apart: element
// i goes to lane i mod L of partial sum (i mod (P L)) / L, P partial sums of L lanes
// per band and table, which are then added pairwise (first the partial sums, then the
// lanes).
struct SpectrumKernels {
  int bands;  // bands per pass over the history
  void (*resonate)(const double* windowed, const float* sn, const float* cs, int rowStride,
                   double* s, double* c);
  // The same sums of the lean analysis, for `bands` consecutive bands (at most 4) in
  // float: windowed holds spectrumHistorySize floats; each block of spectrumLeanBlock
  // elements is correlated with the inner tables (per band 2 x spectrumLeanBlock floats
  // from inner, consecutive bands one after the other) and its sums turned by the outer
  // ones (2 x spectrumHistorySize / spectrumLeanBlock per band); the lanes are added in
  // double.
  void (*resonateLean)(const float* windowed, const float* inner, const float* outer, double* s,
                       double* c);
};

// The kernels of `path` (a resolved CpuPath other than the reference); nullptr for
// the reference path.
const SpectrumKernels* spectrum_simd_kernels(int path);
