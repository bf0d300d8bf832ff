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
  // The lean analysis (spectrum.h), in float, the bands in the vector lanes:
  // - leanCorrelate: for each of `rows` rows of spectrumLeanBlock floats (consecutive
  //   in `in`), the sums over c of in[c] times the real and imaginary parts of
  //   inner[c], for every band, into out[row] (2 x 72 floats: real parts, then
  //   imaginary);
  // - leanCombine: over the blocks a < count, whose sums lie in ring slot
  //   (first + a) mod 64 (3 x 2 x 72 floats each, as leanCorrelate writes three rows),
  //   the sum of turn[a] times weights[0][a] x sums of row 0 + weights[1][a] x row 1 +
  //   weights[2][a] x row 2, complex per band, into out (2 x 72 floats).
  // inner and turn are SpectrumCoefficients::leanInner and leanTurn.
  void (*leanCorrelate)(const float* in, int rows, const float* inner, float* const* out);
  void (*leanCombine)(const float* ring, int first, int count, const float* weights,
                      const float* turn, float* out);
};

// The kernels of `path` (a resolved CpuPath other than the reference); nullptr for
// the reference path.
const SpectrumKernels* spectrum_simd_kernels(int path);
