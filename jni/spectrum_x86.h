// spectrum_x86: the analyser's x86-64 kernels (spectrum_x86.cpp, compiled only on
// x86-64), called by spectrum.cpp on the baseline and AVX2 paths. The declarations
// hold no x86 type, so that spectrum.cpp compiles anywhere.
#pragma once

// The correlation sums of one band over the windowed history (4096 doubles):
// *s = sum windowed[i] sn[i], *c = sum windowed[i] cs[i], each product exact in
// double, summed in eight partial sums of two lanes (SSE2).
void spectrum_x86_resonate_baseline(const double* windowed, const float* sn, const float* cs,
                                    double* s, double* c);

// The same sums for the four bands whose coefficient rows start at sn, cs and lie
// rowStride floats apart, in one pass over the history (AVX2 and FMA; 32-byte
// aligned windowed): s[k], c[k] for band k.
void spectrum_x86_resonate_quad_avx2(const double* windowed, const float* sn, const float* cs,
                                     int rowStride, double* s, double* c);
