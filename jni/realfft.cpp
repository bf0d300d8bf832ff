// The real-input transforms through a half-size complex FFT in float, and their split
// passes, in vectors. See realfft.h.
#include "simd.h"  // first: it picks the targets

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "realfft.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include <utility>

#include "realfft.h"

// The split: the pass over the bins pairs bin k with bin M - k (M = N/2 complex values): with
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

constexpr int kLanes = static_cast<int>(hn::MaxLanes(DF()));
static_assert(kLanes == 4 || kLanes == 8, "the last stages transpose blocks of four or eight");

// ---- The half-size complex transform in float ----
//
// A self-sorting (Stockham) transform over split real and imaginary parts, between two
// scratch sets of them. After stage k the value at row r, column c (rows of
// C = m / 2^(k+1) columns, each row contiguous) is bin r of the sub-transform of the
// inputs x[c + j C]; stage k pairs (r, c) with (r, c + C) under the twiddle
// e^(-2 pi i r / 2^(k+1)) and writes rows r and r + 2^k. While the rows are at least
// one vector long, the stages run two at a time as one radix-4 pass, the first pass
// (which reads the interleaved input, all its twiddles one) taking three when their
// count is odd. Once the rows are one vector long (R = m / L rows of L columns), the
// last log2 L stages are one pass: L rows are transposed so that each vector holds one
// column of them, column c is turned by e^(-2 pi i c r / m) and an L-point transform
// across the vectors gives bins r + R j, L rows at a time, each vector a run of L bins,
// stored interleaved. At m = 1024 that is four passes over the data with vectors of
// eight floats, five with four. The small loops over the vectors of a pass are
// unrolled, so that they stay in registers.
//
// Only the forward direction is built: with s(z) = i conj(z), which swaps the real and
// imaginary parts, the inverse transform of x is s(forward(s(x))), so the inverse
// reads its input and writes its output with the two parts swapped.

// The L rows of L floats from s on, transposed: x[c] holds column c of the L rows.
// Highway's interleaves work within 128-bit blocks, which transposes blocks of four by
// four; with eight lanes the blocks' halves are then joined.
HWY_INLINE void Transpose(const float* s, VF* x) {
  const DF d;
  const hn::Repartition<uint64_t, DF> du;
  VF q[kLanes];
  HWY_UNROLL(8)
  for (int i = 0; i < kLanes; i++) q[i] = hn::LoadU(d, s + i * kLanes);
  VF y[kLanes];
  HWY_UNROLL(8)
  for (int g = 0; g < kLanes; g += 4) {
    const auto t0 = hn::BitCast(du, hn::InterleaveLower(d, q[g], q[g + 1]));
    const auto t1 = hn::BitCast(du, hn::InterleaveUpper(d, q[g], q[g + 1]));
    const auto t2 = hn::BitCast(du, hn::InterleaveLower(d, q[g + 2], q[g + 3]));
    const auto t3 = hn::BitCast(du, hn::InterleaveUpper(d, q[g + 2], q[g + 3]));
    y[g] = hn::BitCast(d, hn::InterleaveLower(du, t0, t2));
    y[g + 1] = hn::BitCast(d, hn::InterleaveUpper(du, t0, t2));
    y[g + 2] = hn::BitCast(d, hn::InterleaveLower(du, t1, t3));
    y[g + 3] = hn::BitCast(d, hn::InterleaveUpper(du, t1, t3));
  }
  if constexpr (kLanes == 8) {
    HWY_UNROLL(8)
    for (int c = 0; c < 4; c++) {
      x[c] = hn::ConcatLowerLower(d, y[c + 4], y[c]);
      x[c + 4] = hn::ConcatUpperUpper(d, y[c + 4], y[c]);
    }
  } else {
    HWY_UNROLL(8)
    for (int c = 0; c < kLanes; c++) x[c] = y[c];
  }
}

struct Complex {
  // Defined here, so that they are compiled for the target (implicit constructors would
  // not be, which GCC refuses for aarch64).
  HWY_INLINE Complex() {}
  HWY_INLINE Complex(VF r, VF i) : re(r), im(i) {}
  VF re, im;
};

HWY_INLINE Complex Plus(Complex a, Complex b) { return {hn::Add(a.re, b.re), hn::Add(a.im, b.im)}; }
HWY_INLINE Complex Minus(Complex a, Complex b) {
  return {hn::Sub(a.re, b.re), hn::Sub(a.im, b.im)};
}
// -i z
HWY_INLINE Complex TimesMinusI(Complex z) { return {z.im, hn::Neg(z.re)}; }

// The four-point forward transform of x[0], x[s], x[2s], x[3s] into y[0 .. 3].
HWY_INLINE void Dft4(const Complex* x, int s, Complex* y) {
  const Complex s0 = Plus(x[0], x[2 * s]);
  const Complex d0 = Minus(x[0], x[2 * s]);
  const Complex s1 = Plus(x[s], x[3 * s]);
  const Complex d1 = TimesMinusI(Minus(x[s], x[3 * s]));
  y[0] = Plus(s0, s1);
  y[1] = Plus(d0, d1);
  y[2] = Minus(s0, s1);
  y[3] = Minus(d0, d1);
}

// The eight-point forward transform of x[0 .. 7] into y[0 .. 7].
HWY_INLINE void Dft8(const Complex* x, Complex* y) {
  const DF d;
  Complex e[4], o[4];
  Dft4(x, 2, e);
  Dft4(x + 1, 2, o);
  // o[j] times e^(-2 pi i j / 8).
  const VF h = hn::Set(d, 0.70710678118654752f);
  o[1] = {hn::Mul(hn::Add(o[1].re, o[1].im), h), hn::Mul(hn::Sub(o[1].im, o[1].re), h)};
  o[2] = TimesMinusI(o[2]);
  o[3] = {hn::Mul(hn::Sub(o[3].im, o[3].re), h), hn::Neg(hn::Mul(hn::Add(o[3].re, o[3].im), h))};
  HWY_UNROLL(8)
  for (int j = 0; j < 4; j++) {
    y[j] = Plus(e[j], o[j]);
    y[j + 4] = Minus(e[j], o[j]);
  }
}

// The P-point forward transform (P = 4 or 8) across the vectors x[0 .. P - 1].
template <int P>
HWY_INLINE void DftAcross(const Complex* x, Complex* y) {
  if constexpr (P == 8) {
    Dft8(x, y);
  } else {
    Dft4(x, 1, y);
  }
}

// The first log2 P stages (P = 4 or 8) at once from interleaved input (m / P >= L):
// every twiddle is one, so the P parts of the input go through P-point transforms
// into rows 0 .. P - 1 of m / P columns.
template <int P>
void FirstStages(const float* in, float* re, float* im, int m, bool swap) {
  const DF d;
  const int cols = m / P;
  for (int c = 0; c < cols; c += kLanes) {
    Complex x[P];
    HWY_UNROLL(8)
    for (int q = 0; q < P; q++) {
      if (swap) {
        hn::LoadInterleaved2(d, in + 2 * (c + q * cols), x[q].im, x[q].re);
      } else {
        hn::LoadInterleaved2(d, in + 2 * (c + q * cols), x[q].re, x[q].im);
      }
    }
    Complex y[P];
    DftAcross<P>(x, y);
    HWY_UNROLL(8)
    for (int q = 0; q < P; q++) {
      hn::StoreU(y[q].re, d, re + q * cols + c);
      hn::StoreU(y[q].im, d, im + q * cols + c);
    }
  }
}

// Stages k and k + 1 at once (rows of at least L columns after both), split parts to
// split parts. Row r < 2^k of the input holds four quarters of C columns; with
// w = e^(-2 pi i r / 2^(k+2)), quarter q turned by w^q and a four-point transform
// across the quarters give rows r, r + 2^k, r + 2 2^k and r + 3 2^k of C columns. w
// and w^2 are twiddles of stages k + 1 and k; w^3 is their product.
void MiddleStages(const float* sre, const float* sim, float* dre, float* dim, int m, int k,
                  const HalfFftTables& t) {
  const DF d;
  const int rows = 1 << k;
  const int cols = m >> (k + 2);
  for (int r = 0; r < rows; r++) {
    const float w1r = t.stageRe[2 * rows + r], w1i = t.stageIm[2 * rows + r];
    const float w2r = t.stageRe[rows + r], w2i = t.stageIm[rows + r];
    const float w3r = w1r * w2r - w1i * w2i, w3i = w1r * w2i + w1i * w2r;
    const VF ur[3] = {hn::Set(d, w1r), hn::Set(d, w2r), hn::Set(d, w3r)};
    const VF ui[3] = {hn::Set(d, w1i), hn::Set(d, w2i), hn::Set(d, w3i)};
    const float* ar = sre + 4 * r * cols;
    const float* ai = sim + 4 * r * cols;
    for (int c = 0; c < cols; c += kLanes) {
      Complex x[4];
      x[0] = {hn::LoadU(d, ar + c), hn::LoadU(d, ai + c)};
      HWY_UNROLL(8)
      for (int q = 1; q < 4; q++) {
        const VF xr = hn::LoadU(d, ar + q * cols + c);
        const VF xi = hn::LoadU(d, ai + q * cols + c);
        x[q] = {hn::MulSub(xr, ur[q - 1], hn::Mul(xi, ui[q - 1])),
                hn::MulAdd(xr, ui[q - 1], hn::Mul(xi, ur[q - 1]))};
      }
      Complex y[4];
      Dft4(x, 1, y);
      HWY_UNROLL(8)
      for (int q = 0; q < 4; q++) {
        hn::StoreU(y[q].re, d, dre + (r + q * rows) * cols + c);
        hn::StoreU(y[q].im, d, dim + (r + q * rows) * cols + c);
      }
    }
  }
}

// The last log2 L stages, from rows of L columns in sre / sim to the bins, interleaved
// (with their parts swapped when swap is set) in out.
void LastStages(const float* sre, const float* sim, float* out, int m, const HalfFftTables& t,
                bool swap) {
  const DF d;
  const int rows = m / kLanes;
  const int table = kLanes == 8 ? 1 : 0;
  const float* twRe = t.tailRe[table];
  const float* twIm = t.tailIm[table];
  for (int r = 0; r < rows; r += kLanes) {
    VF xr[kLanes], xi[kLanes];
    Transpose(sre + r * kLanes, xr);
    Transpose(sim + r * kLanes, xi);
    Complex x[kLanes];
    x[0] = {xr[0], xi[0]};
    HWY_UNROLL(8)
    for (int c = 1; c < kLanes; c++) {
      const VF ur = hn::LoadU(d, twRe + c * rows + r);
      const VF ui = hn::LoadU(d, twIm + c * rows + r);
      x[c] = {hn::MulSub(xr[c], ur, hn::Mul(xi[c], ui)), hn::MulAdd(xr[c], ui, hn::Mul(xi[c], ur))};
    }
    Complex y[kLanes];
    DftAcross<kLanes>(x, y);
    HWY_UNROLL(8)
    for (int j = 0; j < kLanes; j++) {
      float* bins = out + 2 * (r + j * rows);
      if (swap) {
        hn::StoreInterleaved2(y[j].im, y[j].re, d, bins);
      } else {
        hn::StoreInterleaved2(y[j].re, y[j].im, d, bins);
      }
    }
  }
}

// The whole transform of the m interleaved complex values at in (m >= L L), to
// out; in == out allowed. scratch holds 4 m floats: two sets of split parts, between
// which the stages alternate so that the last pass reads neither in nor out.
void Transform(const float* in, float* out, float* scratch, int m, bool inverse,
               const HalfFftTables& t) {
  int stages = 0;
  while ((1 << stages) < m) stages++;
  int lastRadix2 = stages - 1;  // the last stage with rows of at least L columns
  for (int l = kLanes; l > 1; l /= 2) lastRadix2--;
  float* from = scratch;
  float* to = scratch + 2 * m;
  // m >= L L leaves at least log2 L stages before the last ones: an odd count starts
  // with three at once, and the rest go two at a time.
  int k = 2;
  if ((lastRadix2 + 1) % 2 == 1) {
    FirstStages<8>(in, from, from + m, m, inverse);
    k = 3;
  } else {
    FirstStages<4>(in, from, from + m, m, inverse);
  }
  for (; k < lastRadix2; k += 2) {
    MiddleStages(from, from + m, to, to + m, m, k, t);
    std::swap(from, to);
  }
  LastStages(from, from + m, out, m, t, inverse);
}

int Split(const float* in, float* out, const float* sines, const float* cosines, int m) {
  const DF d;
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
#include <cstdint>

namespace {

const RealFftKernels* kernelsFor(int path) {
#ifdef HOPWARBLER_SIMD_BASELINE
  static constexpr RealFftKernels baseline{&hopwarbler::HOPWARBLER_SIMD_BASELINE::Split,
                                           &hopwarbler::HOPWARBLER_SIMD_BASELINE::Transform};
  if (path == CPU_PATH_BASELINE) return &baseline;
#endif
#ifdef HOPWARBLER_SIMD_AVX2
  static constexpr RealFftKernels wide{&hopwarbler::HOPWARBLER_SIMD_AVX2::Split,
                                       &hopwarbler::HOPWARBLER_SIMD_AVX2::Transform};
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

void split(const RealFftKernels* kernels, const float* in, float* out, const float* sines,
           const float* cosines, int m) {
  int from = 1;
  if (kernels != nullptr) from = kernels->split(in, out, sines, cosines, m);
  splitRest(in, out, sines, cosines, m, from);
  // Bin m/2 pairs with itself: its value conjugated, in both directions.
  out[m] = in[m];
  out[m + 1] = -in[m + 1];
}

// The vector kernels' transform (see their comment) in plain loops, every stage by
// itself, in place on the m interleaved values at buffer (m >= 2).
void transformPlain(float* buffer, float* scratch, int m, bool inverse, const HalfFftTables& t) {
  float* from = scratch;
  float* to = scratch + 2 * m;
  const int half = m / 2;
  const int re = inverse ? 1 : 0;  // where the real parts are read and written
  for (int c = 0; c < half; c++) {
    const float ar = buffer[2 * c + re], ai = buffer[2 * c + 1 - re];
    const float br = buffer[2 * (c + half) + re], bi = buffer[2 * (c + half) + 1 - re];
    from[c] = ar + br;
    from[m + c] = ai + bi;
    from[half + c] = ar - br;
    from[m + half + c] = ai - bi;
  }
  for (int rows = 2; rows < m; rows *= 2) {
    const int cols = m / (2 * rows);
    for (int r = 0; r < rows; r++) {
      const float ur = t.stageRe[rows + r], ui = t.stageIm[rows + r];
      for (int c = 0; c < cols; c++) {
        const int a = 2 * r * cols + c, b = a + cols;
        const float tr = from[b] * ur - from[m + b] * ui;
        const float ti = from[b] * ui + from[m + b] * ur;
        const int low = r * cols + c, high = (r + rows) * cols + c;
        to[low] = from[a] + tr;
        to[m + low] = from[m + a] + ti;
        to[high] = from[a] - tr;
        to[m + high] = from[m + a] - ti;
      }
    }
    std::swap(from, to);
  }
  for (int j = 0; j < m; j++) {
    buffer[2 * j + re] = from[j];
    buffer[2 * j + 1 - re] = from[m + j];
  }
}

// The vector transform's least size, m = L L complex values for vectors of L = 8 floats.
constexpr int halfFloatMinimum = 64;

// e^(-2 pi i j / n) in float, through double.
void turn(double j, double n, float* re, float* im) {
  constexpr double twoPi = 6.283185307179586;
  *re = static_cast<float>(std::cos(twoPi * j / n));
  *im = static_cast<float>(-std::sin(twoPi * j / n));
}

}  // namespace

void RealFft::init(int n) {
  if (n < 4 || n > fftMaxSize || (n & (n - 1)) != 0) {
    n_ = 0;
    return;
  }
  n_ = n;
  const int quarter = n / 4;
  sines_.assign(2 * static_cast<size_t>(quarter), 0.0f);
  cosinesForward_.assign(sines_.size(), 0.0f);
  cosinesInverse_.assign(sines_.size(), 0.0f);
  for (int k = 0; k < quarter; k++) {
    float c, s;
    turn(k, n, &c, &s);
    sines_[2 * k] = sines_[2 * k + 1] = s;
    cosinesForward_[2 * k] = c;
    cosinesForward_[2 * k + 1] = -c;
    cosinesInverse_[2 * k] = -c;
    cosinesInverse_[2 * k + 1] = c;
  }

  // The stages' twiddles (real, imaginary parts), then, where the vector transform
  // runs, the last stages' for four lanes and for eight: m floats each.
  const int m = n / 2;
  const int tables = m >= halfFloatMinimum ? 6 : 2;
  twiddles_.assign(tables * static_cast<size_t>(m), 0.0f);
  float* at = twiddles_.data();
  for (int rows = 1; rows < m; rows *= 2) {
    for (int r = 0; r < rows; r++) turn(r, 2 * rows, at + rows + r, at + m + rows + r);
  }
  for (int table = 0; 2 + 2 * table < tables; table++) {
    const int lanes = table == 0 ? 4 : 8;
    const int rows = m / lanes;
    float* re = at + (2 + 2 * table) * m;
    float* im = re + m;
    for (int c = 0; c < lanes; c++) {
      for (int r = 0; r < rows; r++) turn(c * r, m, re + c * rows + r, im + c * rows + r);
    }
  }
  // Two sets of split parts, from a 32-byte boundary.
  scratch_.assign(4 * static_cast<size_t>(m) + 8, 0.0f);
}

float* RealFft::scratch() {
  const auto address = reinterpret_cast<std::uintptr_t>(scratch_.data());
  return scratch_.data() + (32 - address % 32) % 32 / sizeof(float);
}

void RealFft::halfTransform(const RealFftKernels* kernels, float* buffer, bool inverse) {
  // The tables' addresses are taken here rather than kept, so that a copy of a RealFft
  // reads its own.
  const int m = n_ / 2;
  const float* at = twiddles_.data();
  HalfFftTables tables;
  tables.stageRe = at;
  tables.stageIm = at + m;
  if (kernels != nullptr && m >= halfFloatMinimum) {
    for (int table = 0; table < 2; table++) {
      tables.tailRe[table] = at + (2 + 2 * table) * m;
      tables.tailIm[table] = at + (3 + 2 * table) * m;
    }
    kernels->transform(buffer, buffer, scratch(), m, inverse, tables);
  } else {
    transformPlain(buffer, scratch(), m, inverse, tables);
  }
}

void RealFft::forwardLower(float* buffer) {
  if (n_ == 0) return;
  const int m = n_ / 2;
  const RealFftKernels* kernels = kernelsFor(fft_path());
  halfTransform(kernels, buffer, false);
  // Bin 0 holds the sum of the even samples plus i times that of the odd ones.
  const float even = buffer[0], odd = buffer[1];
  split(kernels, buffer, buffer, sines_.data(), cosinesForward_.data(), m);
  buffer[0] = even + odd;
  buffer[1] = 0.0f;
}

void RealFft::inverseOneSidedReal(const float* lower, float* buffer) {
  if (n_ == 0) return;
  const int m = n_ / 2;
  const RealFftKernels* kernels = kernelsFor(fft_path());
  split(kernels, lower, buffer, sines_.data(), cosinesInverse_.data(), m);
  // Bin 0 counts by its real part alone: the one-sided spectrum's inverse takes the
  // real parts, to which the imaginary part of bin 0 adds nothing.
  buffer[0] = lower[0];
  buffer[1] = lower[0];
  halfTransform(kernels, buffer, true);
}
#endif  // HWY_ONCE
