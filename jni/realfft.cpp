// The real-input transforms through a half-size complex FFT, and their split passes in
// vectors. See realfft.h.
#include "simd.h"  // first: it picks the targets

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "realfft.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include "realfft.h"

// The pass over the bins pairs bin k with bin M - k (M = N/2 complex values): with
// A = in[k], B = in[M - k], E = (A + conj B) / 2, D = (A - conj B) / 2 and the twiddle
// T = D (s, s) + swap(D) (c0, c1) from the tables, out[k] = E + T and
// out[M - k] = conj(E - T). The forward split takes T = -i e^(-2 pi i k / N) D, the
// inverse one T = i e^(2 pi i k / N) D, which differ only in the sign of the cosines.
#if HWY_TARGET != HWY_SCALAR
HWY_BEFORE_NAMESPACE();
namespace hopwarbler {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

using DF = hn::ScalableTag<float>;
using VF = hn::Vec<DF>;

// The complex values of v in reverse order, each kept as (re, im).
HWY_INLINE VF ReverseComplex(VF v) {
  const DF d;
  return hn::Reverse2(d, hn::Reverse(d, v));
}

int Split(const float* in, float* out, const float* sines, const float* cosines, int m) {
  const DF d;
  constexpr int kLanes = static_cast<int>(hn::MaxLanes(DF()));
  constexpr int kComplex = kLanes / 2;
  const VF half = hn::Set(d, 0.5f);
  const VF conjugate = hn::OddEven(hn::Set(d, -1.0f), hn::Set(d, 1.0f));
  int k = 1;
  for (; k + kComplex <= m / 2; k += kComplex) {
    const int partner = 2 * (m - k - kComplex + 1);
    const VF a = hn::LoadU(d, in + 2 * k);
    const VF b = hn::Mul(ReverseComplex(hn::LoadU(d, in + partner)), conjugate);
    const VF e = hn::Mul(hn::Add(a, b), half);
    const VF diff = hn::Mul(hn::Sub(a, b), half);
    const VF t = hn::MulAdd(hn::Reverse2(d, diff), hn::LoadU(d, cosines + 2 * k),
                            hn::Mul(diff, hn::LoadU(d, sines + 2 * k)));
    hn::StoreU(hn::Add(e, t), d, out + 2 * k);
    hn::StoreU(ReverseComplex(hn::Mul(hn::Sub(e, t), conjugate)), d, out + partner);
  }
  return k;
}

}  // namespace HWY_NAMESPACE
}  // namespace hopwarbler
HWY_AFTER_NAMESPACE();
#endif  // HWY_TARGET != HWY_SCALAR

#if HWY_ONCE
#include <cmath>

namespace {

const RealFftKernels* kernelsFor(int path) {
#ifdef HOPWARBLER_SIMD_BASELINE
  static constexpr RealFftKernels baseline{&hopwarbler::HOPWARBLER_SIMD_BASELINE::Split};
  if (path == CPU_PATH_BASELINE) return &baseline;
#endif
#ifdef HOPWARBLER_SIMD_AVX2
  static constexpr RealFftKernels wide{&hopwarbler::HOPWARBLER_SIMD_AVX2::Split};
  if (path == CPU_PATH_AVX2) return &wide;
#endif
  (void)path;
  return nullptr;
}

// The split of realfft.cpp's comment for bins from .. m/2 - 1 and their partners, in
// plain float arithmetic (the vector kernels' operations, one value at a time).
void splitRest(const float* in, float* out, const float* sines, const float* cosines, int m,
               int from) {
  for (int k = from; k < m / 2; k++) {
    const float ar = in[2 * k], ai = in[2 * k + 1];
    const float br = in[2 * (m - k)], bi = -in[2 * (m - k) + 1];
    const float er = (ar + br) * 0.5f, ei = (ai + bi) * 0.5f;
    const float dr = (ar - br) * 0.5f, di = (ai - bi) * 0.5f;
    const float tr = dr * sines[2 * k] + di * cosines[2 * k];
    const float ti = di * sines[2 * k + 1] + dr * cosines[2 * k + 1];
    out[2 * k] = er + tr;
    out[2 * k + 1] = ei + ti;
    out[2 * (m - k)] = er - tr;
    out[2 * (m - k) + 1] = -(ei - ti);
  }
}

void split(const float* in, float* out, const float* sines, const float* cosines, int m) {
  int from = 1;
  if (const RealFftKernels* kernels = kernelsFor(fft_path())) {
    from = kernels->split(in, out, sines, cosines, m);
  }
  splitRest(in, out, sines, cosines, m, from);
  // Bin m/2 pairs with itself: its value conjugated, in both directions.
  out[m] = in[m];
  out[m + 1] = -in[m + 1];
}

}  // namespace

void RealFft::init(int n) {
  if (n < 4 || n > fftMaxSize || (n & (n - 1)) != 0) {
    n_ = 0;
    return;
  }
  n_ = n;
  half_.init(n / 2);
  const int quarter = n / 4;
  sines_.assign(2 * static_cast<size_t>(quarter), 0.0f);
  cosinesForward_.assign(sines_.size(), 0.0f);
  cosinesInverse_.assign(sines_.size(), 0.0f);
  constexpr double twoPi = 6.283185307179586;
  for (int k = 0; k < quarter; k++) {
    const double angle = twoPi * k / n;
    const float s = static_cast<float>(-std::sin(angle));
    const float c = static_cast<float>(std::cos(angle));
    sines_[2 * k] = sines_[2 * k + 1] = s;
    cosinesForward_[2 * k] = c;
    cosinesForward_[2 * k + 1] = -c;
    cosinesInverse_[2 * k] = -c;
    cosinesInverse_[2 * k + 1] = c;
  }
}

void RealFft::forwardLower(float* buffer) {
  if (n_ == 0) return;
  const int m = n_ / 2;
  half_.process(buffer, -1);
  // Bin 0 holds the sum of the even samples plus i times that of the odd ones.
  const float even = buffer[0], odd = buffer[1];
  split(buffer, buffer, sines_.data(), cosinesForward_.data(), m);
  buffer[0] = even + odd;
  buffer[1] = 0.0f;
}

void RealFft::inverseOneSidedReal(const float* lower, float* buffer) {
  if (n_ == 0) return;
  const int m = n_ / 2;
  split(lower, buffer, sines_.data(), cosinesInverse_.data(), m);
  // Bin 0 counts by its real part alone: the one-sided spectrum's inverse takes the
  // real parts, to which the imaginary part of bin 0 adds nothing.
  buffer[0] = lower[0];
  buffer[1] = lower[0];
  half_.process(buffer, 1);
}
#endif  // HWY_ONCE
