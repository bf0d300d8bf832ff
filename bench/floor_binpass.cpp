// The per-bin work of one vocoder frame written the way the machine does it
// fastest, for the benchmarks' floor: magnitude and phase of each bin of a forward
// spectrum, then a spectrum rebuilt from magnitudes and phases, in double precision
// from and to floats as the vocoder does.
//
// This file alone is compiled with -O3 -mavx2 -mfma -fopenmp-simd -fno-math-errno
// -fno-builtin-sin -fno-builtin-cos (see CMakeLists.txt): `#pragma omp simd` with
// the declarations below lets GCC call glibc's vector maths (libmvec:
// _ZGVdN4vv_atan2, _ZGVdN4v_sin, _ZGVdN4v_cos, four doubles per call) and use
// vsqrtpd. glibc's <math.h> declares those vector variants only under -ffast-math,
// which would also let GCC reorder and contract the arithmetic, so they are
// declared here instead. -fno-math-errno lets the square root vectorise (its
// argument is never negative); without -fno-builtin-sin/-cos GCC would merge sin
// and cos into one scalar sincos call, and the vector sincos, which stores through
// a vector of pointers, is slower than the two separate calls. The callers must
// check that the CPU has AVX2 and FMA.
#include <cmath>

extern "C" {
#pragma omp declare simd notinbranch
double atan2(double, double) noexcept;
#pragma omp declare simd notinbranch
double sin(double) noexcept;
#pragma omp declare simd notinbranch
double cos(double) noexcept;
}

// spectrum: n interleaved (re, im) bins in; mag, phi: n floats out.
void floor_analyse(const float* __restrict spectrum, float* __restrict mag, float* __restrict phi,
                   int n) {
#pragma omp simd
  for (int k = 0; k < n; k++) {
    const double re = spectrum[2 * k];
    const double im = spectrum[2 * k + 1];
    mag[k] = static_cast<float>(std::sqrt(re * re + im * im));
    phi[k] = static_cast<float>(atan2(im, re));
  }
}

// mag, psi: n floats in; spectrum: n interleaved bins m (cos psi, sin psi) out.
void floor_synthesise(const float* __restrict mag, const float* __restrict psi,
                      float* __restrict spectrum, int n) {
#pragma omp simd
  for (int k = 0; k < n; k++) {
    const double p = psi[k];
    const double m = mag[k];
    spectrum[2 * k] = static_cast<float>(m * cos(p));
    spectrum[2 * k + 1] = static_cast<float>(m * sin(p));
  }
}
