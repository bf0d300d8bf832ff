// realfft: the transforms of N real samples through a complex FFT of N/2 points.
//
// The vocoder's frames are real: packing the even samples into the real parts and the
// odd ones into the imaginary parts of N/2 complex values, one transform of half the
// size and a split pass give the spectrum's lower half, and the reverse pass before an
// inverse transform of half the size gives the real parts of a one-sided spectrum's
// inverse: what Fft::forwardLower() and Fft::inverseOneSidedReal() give, within float
// rounding, for a fraction of their work.
//
// Everything runs in float, the half-size transform included (its own, in
// realfft.cpp: Fft's carries doubles, which the lean path does not need). With
// twiddles rounded once from double, its spectra stay within a few float epsilons
// times log2 N of the exact transform, closer than Fft's at large N (whose twiddles
// come from a float recurrence): at N = 4096 about 1.3e-7 of the spectrum's norm
// against 1.4e-5.
//
// A RealFft owns its twiddle tables and scratch, allocated by init() (not on the audio
// thread); a transform allocates nothing and calls no trigonometry. The half-size
// transform (from N = 128) and the split passes run in vectors (one Highway source:
// SSSE3 and AVX2 on x86-64, NEON on aarch64), on the copy that matches the FFT's code
// path (fft_path()); the reference path, and the smaller sizes, run the same maths in
// plain loops. One RealFft transforms on one thread at a time.
#pragma once

#include <vector>

#include "fft.h"

// The twiddles of the half-size transform in float (realfft.cpp), for m complex
// values: stage k's e^(-2 pi i r / 2^(k+1)), r < 2^k, at 2^k + r; and for the last
// stages on vectors of L floats ([0] four, [1] eight), e^(-2 pi i c r / m) at
// c (m / L) + r, c < L, r < m / L.
struct HalfFftTables {
  const float* stageRe = nullptr;
  const float* stageIm = nullptr;
  const float* tailRe[2] = {};
  const float* tailIm[2] = {};
};

struct RealFftKernels;

class RealFft {
 public:
  // Set up for n real points, n a power of two, 4 <= n <= 4096 (any other n leaves it
  // unset, size() 0, and every transform leaves its buffer as it is).
  void init(int n);
  int size() const { return n_; }

  // buffer[0 .. N - 1] holds the N real samples on entry; on return buffer[0 .. N - 1]
  // holds bins 0 .. N/2 - 1 of their forward transform, sum x[n] e^(-2 pi i k n / N),
  // as interleaved (real, imaginary) pairs: the layout Fft::forwardLower() leaves.
  void forwardLower(float* buffer);

  // The real parts of the unscaled inverse transform of a one-sided spectrum: lower
  // holds bins 0 .. N/2 - 1 as N interleaved floats, the bins above count as zero.
  // Writes the N real parts, in order, to buffer[0 .. N - 1], as
  // Fft::inverseOneSidedReal() does; lower and buffer must not overlap.
  void inverseOneSidedReal(const float* lower, float* buffer);

 private:
  float* scratch();  // 4 m floats from a 32-byte boundary in scratch_
  // The half-size transform of buffer in place, in float: the vector kernels' on a
  // vector path from their least size, plain loops otherwise.
  void halfTransform(const RealFftKernels* kernels, float* buffer, bool inverse);

  int n_ = 0;
  // The twiddles of HalfFftTables, one table after the other (the stages' real and
  // imaginary parts, then from m = 64 those of the last stages for four lanes and for
  // eight), and the transform's scratch.
  std::vector<float> twiddles_, scratch_;
  // Per bin k < N/4, duplicated for the two floats of a complex value: -sin(2 pi k / N)
  // (both), and (cos, -cos) of the forward split, (-cos, cos) of the inverse one.
  std::vector<float> sines_, cosinesForward_, cosinesInverse_;
};

// The split kernels (realfft.cpp): in/out hold M = N/2 complex values; bins 1 .. k - 1
// and their partners M - 1 .. M - k + 1 are done when they return k. in == out allowed.
// transform is the complex transform of the m interleaved values at in (m >= 64) to
// out, forward or inverse, unscaled, through scratch (4 m floats); in == out allowed.
struct RealFftKernels {
  int (*split)(const float* in, float* out, const float* sines, const float* cosines, int m);
  void (*transform)(const float* in, float* out, float* scratch, int m, bool inverse,
                    const HalfFftTables& tables);
};
