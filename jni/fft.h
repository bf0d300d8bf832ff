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
// round to float when stored. All tables are static arrays sized for N = 4096.
//
// fft_init() rewrites the tables in place: it must not overlap fft_process().
#pragma once

constexpr int fftMaxSize = 4096;
constexpr int fftMaxStages = 12;
constexpr int fftStageStride = 4096;  // floats per stage segment of a twiddle table

// Set up for N = fftFrameSize complex points; N must be a power of two <= 4096.
void fft_init(int fftFrameSize);

// Transform the 2N floats at fftBuffer in place. channel is accepted and ignored:
// one set of tables serves every channel.
void fft_process(float* fftBuffer, int sign, int channel);

// The set-up tables, published for inspection by tests.
extern int doubleFrameSize;
extern int logFrame;
extern int bitSwapPos[fftMaxSize];
extern int bitSwapLen;
extern float pur[fftMaxStages * fftStageStride];
extern float pui[fftMaxStages * fftStageStride];
extern float pur_inv[fftMaxStages * fftStageStride];
extern float pui_inv[fftMaxStages * fftStageStride];
