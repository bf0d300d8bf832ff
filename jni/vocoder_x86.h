// vocoder_x86: the vocoder's x86-64 kernels (vocoder_x86.cpp, compiled only on
// x86-64), called by vocoder.cpp on the baseline (SSE2) and AVX2 paths. Each computes
// exactly what the reference step it stands for computes (see vocoder.h); where its
// vectors do not cover a value (a NaN, an infinity, a phase out of range) it says so
// or falls back on the scalar functions of vocoder.cpp declared at the end. The
// declarations hold no x86 type, so that vocoder.cpp compiles anywhere; it calls them
// only where HOPWARBLER_X86 is 1. Arrays are unaligned unless stated.
#pragma once

// Magnitudes and phases of bins 0 .. n - 1 of the interleaved spectrum buffer, as the
// reference's bin pass. Returns the first bin not done: the caller does bins from
// there to n - 1 with the reference (all of them when a bin was not covered).
int vocoder_x86_bin_pass_sse2(const float* buffer, float* mag, float* phi, int n);
int vocoder_x86_bin_pass_avx2(const float* buffer, float* mag, float* phi, int n);

// Bins from .. to - 1 (to - from a multiple of 4) that pass the peak test (strictly
// above the two bins on each side; reads mag[from - 2 .. to + 1]), written to peaks in
// order; returns their number. Every candidate is written, and kept only when it
// passes, so peaks needs room for to - from + 3 entries.
int vocoder_x86_peaks_sse2(const float* mag, int from, int to, int* peaks);

// The first bin of least magnitude in from .. to - 1, as the reference valley search
// gives it; reads up to seven bins past to.
int vocoder_x86_first_least_avx2(const float* mag, int from, int to);

// The rotation of two (four) peak regions at once, as peakRotation() gives it, into
// rotation[0 .. 1] (0 .. 3). False, with rotation left as it was, when a phase lies
// out of the range the vectors wrap: the caller then uses peakRotation().
bool vocoder_x86_peak_rotations_sse2(const float* omega, const float* phi, const float* phi0,
                                     const float* psi, const int* peak, float stretchFactor,
                                     float* rotation);
bool vocoder_x86_peak_rotations_avx2(const float* omega, const float* phi, const float* phi0,
                                     const float* psi, const int* peak, float stretchFactor,
                                     float* rotation);

// rotation[valleys[p] .. valleys[p + 1] - 1] = peakRotations[p] for every peak p, the
// regions in order from bin 0; stores run up to seven floats past the last region.
void vocoder_x86_fill_regions(float* rotation, const int* valleys, int nPeaks,
                              const float* peakRotations);

// psi[b] = princarg(phi[b] + rotation[b]) for b < n.
void vocoder_x86_turn_bins_sse2(const float* phi, const float* rotation, float* psi, int n);
void vocoder_x86_turn_bins_avx2(const float* phi, const float* rotation, float* psi, int n);

// The one-sided spectrum (mag times gains, when gains is not null) e^(i psi) of bins
// 0 .. n - 1 into spectrum, interleaved. Returns the first bin not done, as the bin
// pass does.
int vocoder_x86_rebuild_sse2(const float* mag, const float* psi, const float* gains,
                             float* spectrum, int n);
int vocoder_x86_rebuild_avx2(const float* mag, const float* psi, const float* gains,
                             float* spectrum, int n);

// dest[i - from] = wave[i] + realParts[i] windowOut[i] in double, rounded to float,
// for i from `from` in steps of four while i + 4 <= to. Returns the first i not done.
int vocoder_x86_accumulate_avx2(const float* wave, const float* realParts, const float* windowOut,
                                float* dest, int from, int to);

// The AVX2 path's atan2 and sincos on n doubles, the lanes they do not cover by scalar
// libm (for the tests, through vocoder_avx2_atan2() and vocoder_avx2_sincos()).
void vocoder_x86_atan2_avx2(const double* y, const double* x, double* angle, int n);
void vocoder_x86_sincos_avx2(const double* x, double* sine, double* cosine, int n);

// From vocoder.cpp: the scalar steps the kernels fall back on.
float princarg(double phase);
