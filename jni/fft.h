// fft: in-place radix-2 decimation-in-time complex FFT for the phase vocoder.
//
// A buffer holds N complex values as interleaved float pairs (real, imaginary),
// 2N floats. fft_init(N) fixes N (a power of two, 2 <= N <= 4096) and builds, once
// per set-up, the bit-reversal swap list and one twiddle table per stage for each
// direction. fft_process() then transforms with table reads, multiplies and adds
// only: no trigonometry, no division, no allocation, safe on the audio thread.
//
// sign == +1 computes y[n] = sum_k X[k] e^(+2 pi i nk/N); any other sign computes
// X[k] = sum_n x[n] e^(-2 pi i nk/N). Neither direction scales, so forward then
// inverse returns the input times N. Butterflies carry double intermediates and
// round to float when stored. All tables, and the AVX2 path's scratch buffer, are
// static arrays sized for N = 4096.
//
// Code paths (see cpu.h): the reference path, in fft.cpp, is the plain loop nest
// (twiddle outer, groups inner). The x86-64 paths live in fft_x86.cpp: the baseline
// path (SSE2) runs the groups outer and the contiguous twiddles inner, with the first
// two stages fused; the AVX2 path keeps each stage's results in a self-sorting order
// instead, which needs no bit-reversal pass, and holds four values per vector of
// doubles. Every path computes every butterfly with the same double operations and
// roundings, so every path gives the same bits. At N = 2048 the AVX2 path takes about
// a fifth of the reference's time (5.6 us against 28).
//
// fft_init() rewrites the tables in place, and a transform uses the module's scratch:
// one call at a time, and fft_init() never during a transform.
#pragma once

constexpr int fftMaxSize = 4096;
constexpr int fftMaxStages = 12;
constexpr int fftStageStride = 4096;  // floats per stage segment of a twiddle table

// Set up for N = fftFrameSize complex points; N must be a power of two <= 4096.
void fft_init(int fftFrameSize);

// Transform the 2N floats at fftBuffer in place. channel is accepted and ignored:
// one set of tables serves every channel.
void fft_process(float* fftBuffer, int sign, int channel);

// Inverse transform (sign +1) of a one-sided spectrum: lower holds bins 0 .. N/2 - 1
// as N interleaved floats, bins N/2 .. N - 1 count as zero. Writes the 2N floats of
// the result to buffer: the same bits as zeroing the upper half of a copy and
// calling fft_process(copy, 1, channel), without the zeros' share of the work.
// lower and buffer must not overlap.
void fft_inverse_one_sided(const float* lower, float* buffer, int channel);

// What the vocoder reads of its two transforms, without the rest's share of the
// work. fft_forward_lower() is fft_process(buffer, -1, channel) for bins 0 .. N/2 - 1
// (the first N floats, the same bits); the rest of the buffer is left undefined.
// fft_inverse_one_sided_real() is fft_inverse_one_sided() for the real parts only:
// it writes the N real parts, in order, to buffer[0 .. N - 1] and leaves the rest of
// the 2N floats undefined.
void fft_forward_lower(float* buffer, int channel);
void fft_inverse_one_sided_real(const float* lower, float* buffer, int channel);

// The code paths (the values of CpuPath); FFT_PATH_BEST stands for the fastest path
// the CPU runs.
enum FftPath { FFT_PATH_REFERENCE, FFT_PATH_BASELINE, FFT_PATH_AVX2, FFT_PATH_BEST };

// Use this path in every later transform (for tests and benchmarks; not while a
// transform runs). Returns false, changing nothing, when the CPU cannot run it.
// Without a call, fft_init() selects FFT_PATH_BEST.
bool fft_select_path(FftPath path);

// The path in use: FFT_PATH_REFERENCE, FFT_PATH_BASELINE or FFT_PATH_AVX2.
FftPath fft_path();
