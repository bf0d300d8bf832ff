// fft_x86: the FFT's hand-written x86-64 kernels (fft_x86.cpp, compiled only on
// x86-64), called by fft.cpp on the AVX2 path: its self-sorting order over blocks of
// four values is written for vectors of four doubles, and has not been carried over
// to Highway's vectors of any width yet. The declarations hold no x86 type, so that
// fft.cpp compiles anywhere; it calls them only where HOPWARBLER_X86 is 1.
#pragma once

struct FftFastTables;  // fft_simd.h

// What a transform writes: every bin; only bins 0 .. n/2 - 1; or only the real parts
// of all bins, contiguous.
enum class FftOutput { All, LowerHalf, RealParts };

// AVX2 path (n >= 16): the whole transform of b in place, in natural order, through
// scratch (2n floats).
void fft_x86_transform_avx2(const FftFastTables& tables, float* b, float* scratch, int n, int sign,
                            FftOutput output);

// AVX2 path (n >= 16): the inverse transform of the one-sided spectrum lower into b,
// through scratch (2n floats).
void fft_x86_one_sided_avx2(const FftFastTables& tables, const float* lower, float* b,
                            float* scratch, int n, FftOutput output);
