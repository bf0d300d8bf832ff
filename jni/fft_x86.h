// fft_x86: the FFT's x86-64 kernels (fft_x86.cpp, compiled only on x86-64), called by
// fft.cpp on the baseline and AVX2 paths. The declarations hold no x86 type, so that
// fft.cpp compiles anywhere; it calls them only where HOPWARBLER_X86 is 1.
#pragma once

struct FftX86Tables;

// What a transform writes: every bin; only bins 0 .. n/2 - 1; or only the real parts
// of all bins, contiguous.
enum class FftOutput { All, LowerHalf, RealParts };

// The fast paths' tables for n points (a power of two, 2 <= n <= 4096): the twiddles
// as doubles, and split into real and imaginary parts, from the float tables of both
// directions (stage k's twiddle j at (2 << k) + 2j). Built by the first call for n,
// thread-safely, and shared by every later one; the float tables passed must be the
// same at every call for n (the shared ones of fft.cpp).
const FftX86Tables* fft_x86_tables(int n, const float* pur, const float* pui, const float* purInv,
                                   const float* puiInv);

// Baseline path (n >= 8): the butterflies of stages first .. log2 n - 1 on a buffer
// already in bit-reversed order, with the twiddles of sign (+1 or any other).
void fft_x86_stages_baseline(const FftX86Tables& tables, float* b, int n, int first, int sign);

// Baseline path: bins 0 .. n/2 - 1 of lower put where the bit reversal takes them,
// with stage 0 done (every partner is a zero of the upper half).
void fft_x86_place_one_sided_baseline(const FftX86Tables& tables, const float* lower, float* b,
                                      int n);

// AVX2 path (n >= 16): the whole transform of b in place, in natural order, through
// scratch (2n floats).
void fft_x86_transform_avx2(const FftX86Tables& tables, float* b, float* scratch, int n, int sign,
                            FftOutput output);

// AVX2 path (n >= 16): the inverse transform of the one-sided spectrum lower into b,
// through scratch (2n floats).
void fft_x86_one_sided_avx2(const FftX86Tables& tables, const float* lower, float* b,
                            float* scratch, int n, FftOutput output);
