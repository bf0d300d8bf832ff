// fft: in-place radix-2 decimation-in-time complex FFT for the phase vocoder.
//
// A buffer holds N complex values as interleaved float pairs (real, imaginary),
// 2N floats. An Fft object transforms at one size N (a power of two, 2 <= N <= 4096)
// fixed by init(): no trigonometry, no division, no allocation in a transform, safe
// on the audio thread.
//
// sign == +1 computes y[n] = sum_k X[k] e^(+2 pi i nk/N); any other sign computes
// X[k] = sum_n x[n] e^(-2 pi i nk/N). Neither direction scales, so forward then
// inverse returns the input times N. Butterflies carry double intermediates and
// round to float when stored.
//
// The tables (the bit-reversal swap list and one twiddle table per stage for each
// direction, and the fast paths' double copies of the twiddles) depend only on N:
// they are built once per size, the first time any Fft is set up for it, and only
// read after that, so every Fft of one size shares them, on any thread. Each Fft owns
// its scratch (the self-sorting order's, 2N floats, allocated by init()).
//
// Code paths (see cpu.h): the reference path, in fft.cpp, is the plain loop nest
// (twiddle outer, groups inner). The vector paths are one Highway source
// (fft_simd.cpp): the baseline path on x86-64 (SSSE3) runs the groups outer and the
// contiguous twiddles inner, one complex value per vector of two doubles; the AVX2
// path, and the baseline path on aarch64 (NEON), keep each stage's results in a
// self-sorting order instead, which needs no bit-reversal pass, over blocks of four
// values (one vector of four doubles, or two of two).
// Every path computes every butterfly with the same double operations and roundings,
// so every path gives the same bits. At N = 2048 the AVX2 path takes about a fifth of
// the reference's time (5.6 us against 28).
//
// Threads: one Fft transforms on one thread at a time (its scratch is its own), and
// init() never runs during one of its transforms. Different Fft objects, of the same
// size or not, run on any threads at once.
#pragma once

#include <vector>

#include "cpu.h"

constexpr int fftMaxSize = 4096;
constexpr int fftMaxStages = 12;

struct FftTables;      // the shared tables of one size (testing.h)
struct FftFastTables;  // their fast paths' forms (fft_simd.h)

class Fft {
 public:
  // Set up for n complex points, n a power of two, 2 <= n <= 4096: takes the shared
  // tables for n (building them if no Fft has used n before) and allocates the
  // scratch. Any other n leaves the Fft unset (size() 0). Not on the audio thread.
  void init(int n);

  // N; 0 before init(), when every transform leaves its buffer as it is.
  int size() const { return n_; }

  // Transform the 2N floats at buffer in place.
  void process(float* buffer, int sign);

  // Inverse transform (sign +1) of a one-sided spectrum: lower holds bins 0 .. N/2 - 1
  // as N interleaved floats, bins N/2 .. N - 1 count as zero. Writes the 2N floats of
  // the result to buffer: the same bits as zeroing the upper half of a copy and
  // calling process(copy, 1), without the zeros' share of the work. lower and buffer
  // must not overlap.
  void inverseOneSided(const float* lower, float* buffer);

  // What the vocoder reads of its two transforms, without the rest's share of the
  // work. forwardLower() is process(buffer, -1) for bins 0 .. N/2 - 1 (the first N
  // floats, the same bits); the rest of the buffer is left undefined.
  // inverseOneSidedReal() is inverseOneSided() for the real parts only: it writes the
  // N real parts, in order, to buffer[0 .. N - 1] and leaves the rest of the 2N
  // floats undefined.
  void forwardLower(float* buffer);
  void inverseOneSidedReal(const float* lower, float* buffer);

 private:
  float* scratch();  // the self-sorting order's scratch, 32-byte aligned in scratch_

  int n_ = 0;
  const FftTables* tables_ = nullptr;
  const FftFastTables* fast_ = nullptr;
  std::vector<float> scratch_;
};

// The code paths (the values of CpuPath); FFT_PATH_BEST stands for the fastest path
// the CPU runs.
enum FftPath { FFT_PATH_REFERENCE, FFT_PATH_BASELINE, FFT_PATH_AVX2, FFT_PATH_BEST };

// Use this path in every later transform of every Fft: the choice is process-wide
// (for tests and benchmarks; not while a transform runs). Returns false, changing
// nothing, when the CPU cannot run it. Without a call, the first init() selects
// FFT_PATH_BEST.
bool fft_select_path(FftPath path);

// The path in use: FFT_PATH_REFERENCE, FFT_PATH_BASELINE or FFT_PATH_AVX2.
FftPath fft_path();

// The instruction set the path in use runs on: "scalar", "SSSE3", "AVX2" or
// "NEON" (see cpu_path_target()).
const char* fft_path_target();

// How the module's vector kernels are written (see cpu.h).
constexpr CpuKernels fftKernels = CPU_KERNELS_PORTABLE;
