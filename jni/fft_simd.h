// fft_simd: the FFT's fast paths' tables (built by fft.cpp) and its vector kernels
// (fft_simd.cpp, one Highway source for every CPU; see simd.h) for the baseline and
// AVX2 paths.
#pragma once

#include <vector>

// The fast paths' tables of one size, built once by fft_fast_tables() and then only
// read.
struct FftFastTables {
  int stages = 0;  // log2 n

  // The twiddles of the fast paths, the same values as the float tables, held as
  // doubles: per direction ([0] sign +1, [1] every other sign), stage k's 2^k
  // twiddles as (re, im) pairs from position 2^(k+1) on. The padding at the end
  // covers vector loads that reach one double past the last stage. 64-byte aligned.
  const double* fastTwiddles[2] = {};

  // The same twiddles split into real and imaginary parts for the self-sorting
  // transform (the AVX2 path's): stage
  // k's twiddle m at index 2^k + m of each direction's pair of tables.
  const double* splitRe[2] = {};
  const double* splitIm[2] = {};

  // For q < n/4: the bin that the bit-reversal permutation moves to complex index
  // 4q (q reversed over log2 n - 2 bits); bin quarterReversal[q] + n/4 goes to 4q + 2,
  // and the upper-half bins to the odd indices between them.
  std::vector<int> quarterReversal;

  std::vector<double> storage;  // the double tables above, one after the other
};

// The fast paths' tables for n points (a power of two, 2 <= n <= 4096), shared by
// every Fft of that size (fft.cpp).
const FftFastTables& fft_fast_tables(int n);

// What a transform writes: every bin; only bins 0 .. n/2 - 1; or only the real parts
// of all bins, contiguous.
enum class FftOutput { All, LowerHalf, RealParts };

// A path's kernels (n >= 8). stages and placeOneSided hold one complex value per
// vector of two doubles.
struct FftKernels {
  // The butterflies of stages first .. log2 n - 1 on a buffer already in bit-reversed
  // order, with the twiddles of sign (+1 or any other).
  void (*stages)(const FftFastTables& tables, float* b, int n, int first, int sign);
  // Bins 0 .. n/2 - 1 of lower put where the bit reversal takes them, with stage 0
  // done (every partner is a zero of the upper half).
  void (*placeOneSided)(const FftFastTables& tables, const float* lower, float* b, int n);

  // The self-sorting transform (n >= 16; see fft_simd.cpp), null on a path that runs
  // the stages above instead: the whole transform of b in place, in natural order,
  // through scratch (2n floats), and the inverse transform of the one-sided spectrum
  // lower into b, through scratch.
  void (*sortedTransform)(const FftFastTables& tables, float* b, float* scratch, int n, int sign,
                          FftOutput output);
  void (*sortedOneSided)(const FftFastTables& tables, const float* lower, float* b, float* scratch,
                         int n, FftOutput output);
};

// The kernels of `path` (CPU_PATH_BASELINE or CPU_PATH_AVX2) where this CPU family
// has them; nullptr for the reference path.
const FftKernels* fft_simd_kernels(int path);
