// The vocoder's per-bin passes on the baseline and AVX2 paths, in one Highway source.
// See vocoder_simd.h for what each computes and vocoder.h for the paths.
//
// The vector maths (atan2, sin and cos in double precision) are our own, inlined into
// the passes, within about an ulp of scalar libm, so that the floats stored from them
// are in practice the same bits; they need fused multiply-adds, which the AVX2 target
// and every aarch64 CPU have. The baseline path on x86-64 (SSSE3, without them) calls
// glibc's vector maths (libmvec, two lanes) instead, as it always has.
#include "simd.h"  // first: it picks the targets

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "vocoder_simd.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>

#include "vocoder_simd.h"

#ifndef HOPWARBLER_VOCODER_SIMD_CONSTANTS
#define HOPWARBLER_VOCODER_SIMD_CONSTANTS

#if HOPWARBLER_X86
// glibc's vector maths (libmvec), double precision, two lanes, for the baseline path
// (glibc runs them on any x86-64). <math.h> declares them only under -ffast-math,
// which would also let the compiler reorder the arithmetic.
extern "C" {
__m128d _ZGVbN2vv_atan2(__m128d y, __m128d x);
__m128d _ZGVbN2v_sin(__m128d x);
__m128d _ZGVbN2v_cos(__m128d x);
}
#endif

namespace hopwarbler::vocoder_constants {

constexpr double pi = 3.141592653589793;

// The least double x with x / pi >= turns (the division rounds monotonically), worked
// out by the compiler: positive doubles step to their neighbours by their bit patterns.
constexpr double leastWithTurns(double turns) {
  double x = turns * pi;
  while (x / pi >= turns) x = std::bit_cast<double>(std::bit_cast<unsigned long long>(x) - 1);
  while (x / pi < turns) x = std::bit_cast<double>(std::bit_cast<unsigned long long>(x) + 1);
  return x;
}

// princarg() brings phases inside (-3 pi, 3 pi) back by at most one turn. For such
// a phase p, p / pi rounds to a value of at least 1 exactly when p >= turnOne, and
// of at least 3 exactly when p >= turnThree: the kernels compare with these instead
// of dividing, and so subtract the same multiple of pi.
constexpr double turnOne = leastWithTurns(1.0);
constexpr double turnThree = leastWithTurns(3.0);

// Multiples of pi / 4 and of pi / 2 as a double and the rest. The double of pi / 4
// ends in three zero bits, so its products with 0 .. 4 are exact.
constexpr double quarterPiHigh = 0x1.921fb54442d18p-1;
constexpr double quarterPiLow = 0x1.1a62633145c07p-55;
constexpr double halfPiHigh = 0x1.921fb54442d18p+0;
constexpr double halfPiLow = 0x1.1a62633145c07p-54;
constexpr double tanEighthPi = 0.41421356237309503;
constexpr double twoOverPi = 0.6366197723675814;
// Adding 1.5 x 2^52 rounds a double below 2^51 in magnitude to an integer, which
// then sits in the low bits of the sum.
constexpr double roundingShift = 0x1.8p52;
constexpr double atanLeastPart = 0x1p-1000;
constexpr double atanGreatestPart = 0x1p1000;
constexpr double sinCosGreatestAngle = 8.0;

// atan(z) = z + z^3 P(z^2) for |z| <= tan(pi / 8): P minimax for its relative error
// (2^-53.2); z^3 P is at most 6 % of the result.
constexpr double atanP[] = {-0.3333333333333333,  0.1999999999999553,   -0.14285714284666653,
                            0.11111111015154422,  -0.09090904570139165, 0.07692182928324172,
                            -0.06664506804898564, 0.05858101372225696,  -0.050851675576220244,
                            0.03922264648308997,  -0.019164906969281584};
// sin(r) = r + r^3 S(r^2) and cos(r) = 1 - r^2 / 2 + r^4 C(r^2) for |r| <= pi / 4:
// S and C minimax for their relative errors (2^-52.8 and 2^-54.8); r^3 S is at most
// 11 % of the sine, r^4 C at most 4 % of the cosine.
constexpr double sinS[] = {-0.16666666666666666,   0.008333333333330901,    -0.0001984126983669134,
                           2.7557316069755954e-06, -2.5051125346778353e-08, 1.591768057142392e-10};
constexpr double cosC[] = {0.041666666666666664,   -0.0013888888888887372, 2.4801587298730483e-05,
                           -2.755731725431304e-07, 2.087614277557641e-09,  -1.1382388707724808e-11};

}  // namespace hopwarbler::vocoder_constants

#endif  // HOPWARBLER_VOCODER_SIMD_CONSTANTS

// Not for Highway's one-lane fallback (the static target of an x86-64 build without
// SSSE3, never run).
#if HWY_TARGET != HWY_SCALAR
HWY_BEFORE_NAMESPACE();
namespace hopwarbler {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;
using namespace vocoder_constants;

using DD = hn::CappedTag<double, 4>;  // L doubles: 4 with AVX2, 2 with 128-bit vectors
using DF = hn::Rebind<float, DD>;     // as many floats
using DI = hn::Rebind<int32_t, DD>;   // and 32-bit integers
using DU = hn::RebindToUnsigned<DD>;  // 64-bit lanes
using VD = hn::Vec<DD>;
using MD = hn::Mask<DD>;
using D4 = hn::FixedTag<float, 4>;
using D8 = hn::CappedTag<float, 8>;  // 8 floats with AVX2, 4 with 128-bit vectors

constexpr int kLanes = static_cast<int>(hn::MaxLanes(DD()));

// Whether this copy takes glibc's vector maths: the x86-64 baseline path.
#if HWY_TARGET == HWY_SSSE3
constexpr bool kLibmvec = true;
#else
constexpr bool kLibmvec = false;
#endif

HWY_INLINE VD Widen(const float* p) { return hn::PromoteTo(DD(), hn::LoadU(DF(), p)); }
HWY_INLINE void Narrow(float* p, VD v) { hn::StoreU(hn::DemoteTo(DF(), v), DF(), p); }

// ---- Our own vector maths ----

// c[0] + c[1] x + ... + c[n - 1] x^(n - 1) by Estrin's scheme: pairs of terms first,
// then pairs of pairs with x^2, x^4, ..., a dependency chain of about log2(n) steps
// instead of the n - 1 of Horner's rule.
template <int n>
HWY_INLINE VD Polynomial(VD x, const double (&c)[n]) {
  const DD d;
  VD terms[(n + 1) / 2];
  int count = (n + 1) / 2;
  for (int i = 0; i < count; i++) {
    terms[i] = 2 * i + 1 < n ? hn::MulAdd(hn::Set(d, c[2 * i + 1]), x, hn::Set(d, c[2 * i]))
                             : hn::Set(d, c[2 * i]);
  }
  VD power = hn::Mul(x, x);
  while (count > 1) {
    for (int i = 0; i < count / 2; i++)
      terms[i] = hn::MulAdd(terms[2 * i + 1], power, terms[2 * i]);
    if (count % 2 == 1) terms[count / 2] = terms[count - 1];
    count = (count + 1) / 2;
    if (count > 1) power = hn::Mul(power, power);
  }
  return terms[0];
}

// atan2(y, x) lane by lane. With num <= den the smaller and the larger of |y| and
// |x|, z = num / den, or z = (num - den) / (num + den) when num / den exceeds
// tan(pi / 8), so that |z| <= tan(pi / 8); the angle is then m pi / 4 +- atan(z) with
// m = 0 .. 4 from the octant. The rounding errors of the difference, the sum and the
// quotient are recovered exactly (two-sums and a fused remainder) and added back, and
// so is that of the final sum with m pi / 4: the angle is within 0.7 ulp (measured
// against a wider atan2). Marks in *uncovered the lanes it does not compute: a NaN,
// an infinity, or a larger part above 2^1000 or below 2^-1000 but not zero, none of
// which a finite float frame gives.
HWY_INLINE VD Atan2(VD y, VD x, MD* uncovered) {
  const DD d;
  const VD signBit = hn::Set(d, -0.0);
  const VD zero = hn::Zero(d);
  const VD one = hn::Set(d, 1.0);
  const VD ax = hn::AndNot(signBit, x);
  const VD ay = hn::AndNot(signBit, y);
  const VD num = hn::Min(ax, ay);
  const VD den = hn::Max(ax, ay);
  const MD denZero = hn::Eq(den, zero);
  const MD swap = hn::Gt(ay, ax);
  const MD far = hn::Gt(num, hn::Mul(den, hn::Set(d, tanEighthPi)));
  // num - den and num + den with their exact rounding errors (den >= num >= 0).
  const VD difference = hn::Sub(num, den);
  const VD differenceError = hn::Sub(num, hn::Add(difference, den));
  // num + den, formed so that a NaN in either part makes it NaN, an infinity
  // infinite, and a part above 2^1000 large.
  const VD sum = hn::Add(ax, ay);
  *uncovered =
      hn::Or(*uncovered, hn::Or(hn::Not(hn::Le(sum, hn::Set(d, atanGreatestPart))),
                                hn::AndNot(denZero, hn::Lt(den, hn::Set(d, atanLeastPart)))));
  const VD sumError = hn::Sub(num, hn::Sub(sum, den));
  const VD top = hn::IfThenElse(far, difference, num);
  const VD topError = hn::IfThenElseZero(far, differenceError);
  // Both parts zero: 0 / 1.
  const VD bottom = hn::IfThenElse(denZero, one, hn::IfThenElse(far, sum, den));
  const VD bottomError = hn::IfThenElseZero(far, sumError);
  // z within an ulp of top / bottom, then what it lacks of (top + topError) /
  // (bottom + bottomError): the first part of the remainder is exact.
  const VD reciprocal = hn::Div(one, bottom);
  const VD z = hn::Mul(top, reciprocal);
  const VD remainder =
      hn::Add(hn::NegMulAdd(z, bottom, top), hn::NegMulAdd(z, bottomError, topError));
  const VD zLow = hn::Mul(remainder, reciprocal);
  // The octant: +atan(z) when both or neither of swap and x < 0 (-0 included) hold,
  // otherwise -atan(z); m = (swap ? 2 : x < 0 ? 4 : 0) + (far ? +-1 : 0).
  const VD negative = hn::And(hn::Xor(hn::VecFromMask(d, swap), x), signBit);
  const VD base =
      hn::IfThenElse(swap, hn::Set(d, 2.0), hn::IfNegativeThenElse(x, hn::Set(d, 4.0), zero));
  const VD m = hn::Add(base, hn::Xor(hn::IfThenElseZero(far, one), negative));
  // m pi / 4 +- z as a sum and its rounding error (m = 0 or m pi / 4 > |z|).
  const VD high = hn::Mul(m, hn::Set(d, quarterPiHigh));
  const VD signedZ = hn::Xor(z, negative);
  const VD head = hn::Add(high, signedZ);
  const VD headError = hn::Add(hn::Sub(high, head), signedZ);
  // Everything small but +-z^3 P(z^2): that error, the rest of m pi / 4, and
  // atan(z + zLow) - atan(z) to first order in zLow.
  const VD w = hn::Mul(z, z);
  const VD small = hn::Add(headError, hn::MulAdd(m, hn::Set(d, quarterPiLow),
                                                 hn::Xor(hn::NegMulAdd(zLow, w, zLow), negative)));
  const VD signedCube = hn::Xor(hn::Mul(z, w), negative);
  const VD angle = hn::Add(head, hn::MulAdd(signedCube, Polynomial(w, atanP), small));
  return hn::Xor(angle, hn::And(y, signBit));
}

// sin and cos lane by lane. x = q pi / 2 + r with q the integer nearest to x 2 / pi,
// which also gives the quadrant; r = x - q pi / 2 takes pi / 2 in two parts, the
// first product exactly, so that r is within half an ulp for |x| <= 8, and what its
// rounding lost is carried along: sine and cosine within 0.9 ulp (measured). Marks in
// *uncovered the lanes it does not compute: an angle beyond +-8 or a NaN.
HWY_INLINE void SinCos(VD x, VD* sine, VD* cosine, MD* uncovered) {
  const DD d;
  const DU du;
  const VD signBit = hn::Set(d, -0.0);
  const VD one = hn::Set(d, 1.0);
  *uncovered =
      hn::Or(*uncovered, hn::Not(hn::Le(hn::AndNot(signBit, x), hn::Set(d, sinCosGreatestAngle))));
  const VD shifted = hn::MulAdd(x, hn::Set(d, twoOverPi), hn::Set(d, roundingShift));
  const VD q = hn::Sub(shifted, hn::Set(d, roundingShift));
  const VD exact = hn::NegMulAdd(q, hn::Set(d, halfPiHigh), x);
  const VD r = hn::NegMulAdd(q, hn::Set(d, halfPiLow), exact);
  // What the rounding of r lost, added to first order: sin(r + t) = sin r + t cos r,
  // cos(r + t) = cos r - t sin r.
  const VD t = hn::NegMulAdd(q, hn::Set(d, halfPiLow), hn::Sub(exact, r));
  const VD w = hn::Mul(r, r);
  const VD halfW = hn::Mul(w, hn::Set(d, 0.5));
  // The sign of r carried over, so that sin(-0) = -0.
  const VD sinR =
      hn::Or(hn::Add(r, hn::MulAdd(hn::Mul(r, w), Polynomial(w, sinS), hn::NegMulAdd(t, halfW, t))),
             hn::And(r, signBit));
  // 1 - r^2 / 2 with its rounding error added back.
  const VD head = hn::Sub(one, halfW);
  const VD headError = hn::Sub(hn::Sub(one, head), halfW);
  const VD cosR =
      hn::Add(head, hn::MulAdd(hn::Mul(w, w), Polynomial(w, cosC), hn::NegMulAdd(t, r, headError)));
  // Quadrant q mod 4: odd swaps sine and cosine; the sine is negative for 2 and 3,
  // the cosine for 1 and 2.
  const auto quadrant = hn::BitCast(du, shifted);
  const VD swap = hn::BitCast(d, hn::ShiftLeft<63>(quadrant));
  const VD sinSign = hn::And(hn::BitCast(d, hn::ShiftLeft<62>(quadrant)), signBit);
  const VD cosSign =
      hn::And(hn::BitCast(d, hn::ShiftLeft<62>(hn::Add(quadrant, hn::Set(du, 1)))), signBit);
  *sine = hn::Xor(hn::IfNegativeThenElse(swap, cosR, sinR), sinSign);
  *cosine = hn::Xor(hn::IfNegativeThenElse(swap, sinR, cosR), cosSign);
}

// The angle and the sine and cosine the passes take: glibc's on the x86-64 baseline
// path (which covers every value), our own elsewhere.
HWY_INLINE VD BinAngle(VD y, VD x, MD* uncovered) {
#if HWY_TARGET == HWY_SSSE3
  (void)uncovered;
  return VD{_ZGVbN2vv_atan2(y.raw, x.raw)};
#else
  return Atan2(y, x, uncovered);
#endif
}

HWY_INLINE void BinSinCos(VD x, VD* sine, VD* cosine, MD* uncovered) {
#if HWY_TARGET == HWY_SSSE3
  (void)uncovered;
  *sine = VD{_ZGVbN2v_sin(x.raw)};
  *cosine = VD{_ZGVbN2v_cos(x.raw)};
#else
  SinCos(x, sine, cosine, uncovered);
#endif
}

// Bit j of the lanes marked in a mask.
HWY_INLINE unsigned MaskBits(MD mask) {
  uint8_t bits[8] = {};
  hn::StoreMaskBits(DD(), mask, bits);
  return bits[0];
}

// The maths over whole vectors, the last one padded with atan2(0, 1) and sincos(0),
// and the lanes they do not cover done by scalar libm, as the passes do.
void Atan2Lanes(const double* y, const double* x, double* angle, int n) {
  const DD d;
  for (int i = 0; i < n; i += kLanes) {
    const int lanes = std::min(kLanes, n - i);
    HWY_ALIGN double ys[kLanes];
    HWY_ALIGN double xs[kLanes];
    HWY_ALIGN double out[kLanes];
    std::fill(ys, ys + kLanes, 0.0);
    std::fill(xs, xs + kLanes, 1.0);
    std::copy(y + i, y + i + lanes, ys);
    std::copy(x + i, x + i + lanes, xs);
    MD uncovered = hn::FirstN(d, 0);
    hn::Store(Atan2(hn::Load(d, ys), hn::Load(d, xs), &uncovered), d, out);
    const unsigned redo = MaskBits(uncovered);
    for (int j = 0; j < lanes; j++)
      angle[i + j] = redo >> j & 1 ? std::atan2(ys[j], xs[j]) : out[j];
  }
}

void SinCosLanes(const double* x, double* sine, double* cosine, int n) {
  const DD d;
  for (int i = 0; i < n; i += kLanes) {
    const int lanes = std::min(kLanes, n - i);
    HWY_ALIGN double xs[kLanes];
    HWY_ALIGN double ss[kLanes];
    HWY_ALIGN double cs[kLanes];
    std::fill(xs, xs + kLanes, 0.0);
    std::copy(x + i, x + i + lanes, xs);
    VD s;
    VD c;
    MD uncovered = hn::FirstN(d, 0);
    SinCos(hn::Load(d, xs), &s, &c, &uncovered);
    hn::Store(s, d, ss);
    hn::Store(c, d, cs);
    const unsigned redo = MaskBits(uncovered);
    for (int j = 0; j < lanes; j++) {
      if (redo >> j & 1) {
        ::sincos(xs[j], &sine[i + j], &cosine[i + j]);
      } else {
        sine[i + j] = ss[j];
        cosine[i + j] = cs[j];
      }
    }
  }
}

// ---- The passes ----

// When a bin is not covered by our atan2 (a NaN or an infinity in the frame) the
// whole pass is left to the reference, which gives the same magnitudes.
int BinPass(const float* buffer, float* mag, float* phi, int n) {
  const DD d;
  MD uncovered = hn::FirstN(d, 0);
  int k = 0;
  for (; k + kLanes <= n; k += kLanes) {
    const VD a = Widen(buffer + 2 * k);
    const VD b = Widen(buffer + 2 * k + kLanes);
    const VD re = hn::ConcatEven(d, b, a);
    const VD im = hn::ConcatOdd(d, b, a);
    Narrow(mag + k, hn::Sqrt(hn::Add(hn::Mul(re, re), hn::Mul(im, im))));
    Narrow(phi + k, BinAngle(im, re, &uncovered));
  }
  return hn::AllFalse(d, uncovered) ? k : 0;
}

// Each candidate is written and kept only when it passes, without a branch.
int Peaks(const float* mag, int from, int to, int* peaks) {
  const D4 d;
  int nPeaks = 0;
  for (int b = from; b + 4 <= to; b += 4) {
    const auto c = hn::LoadU(d, mag + b);
    const auto above = hn::And(
        hn::And(hn::Gt(c, hn::LoadU(d, mag + b - 1)), hn::Gt(c, hn::LoadU(d, mag + b + 1))),
        hn::And(hn::Gt(c, hn::LoadU(d, mag + b - 2)), hn::Gt(c, hn::LoadU(d, mag + b + 2))));
    uint8_t bits[8] = {};
    hn::StoreMaskBits(d, above, bits);
    for (int lane = 0; lane < 4; lane++) {
      peaks[nPeaks] = b + lane;
      nPeaks += (bits[0] >> lane) & 1;
    }
  }
  return nPeaks;
}

// firstLeast() a vector at a time: the least magnitude below the largest float (NaN
// never is), then the first bin that holds it; magnitudes that compare equal, -0 and
// +0, count as the same, as in the scalar comparison. Reads up to seven bins past to.
int FirstLeast(const float* mag, int from, int to) {
  const D8 d;
  const hn::RebindToSigned<D8> di;
  const int lanes = static_cast<int>(hn::Lanes(d));
  const auto largest = hn::Set(d, FLT_MAX);
  const auto lane = hn::Iota(di, 0);
  auto least = largest;
  for (int j = from; j < to; j += lanes) {
    const auto inRegion = hn::RebindMask(d, hn::Lt(lane, hn::Set(di, to - j)));
    const auto v = hn::LoadU(d, mag + j);
    const auto candidate = hn::And(hn::Lt(v, largest), inRegion);
    least = hn::Min(least, hn::IfThenElse(candidate, v, largest));
  }
  const auto m = hn::MinOfLanes(d, least);
  if (!(hn::GetLane(m) < FLT_MAX)) return 0;
  // Some bin of the region holds m, so the first equal bin lies inside the region.
  for (int j = from;; j += lanes) {
    const intptr_t first = hn::FindFirstTrue(d, hn::Eq(hn::LoadU(d, mag + j), m));
    if (first >= 0) return j + static_cast<int>(first);
  }
}

// princarg() of L phases with the same division, truncation and multiple of pi, the
// result rounded to float and back; false (nothing computed) when a phase is out of
// the 32-bit range of the turn count or not a number, which the scalar princarg()
// handles.
HWY_INLINE bool Princarg(VD phase, VD* out) {
  const DD d;
  const DI di;
  const VD turns = hn::Div(phase, hn::Set(d, pi));
  const MD inRange =
      hn::And(hn::Gt(turns, hn::Set(d, -2147483648.0)), hn::Lt(turns, hn::Set(d, 2147483648.0)));
  if (!hn::AllTrue(d, inRange)) return false;
  const auto q = hn::DemoteTo(di, turns);  // truncated
  // Odd counts move one step away from zero: + (q & 1) when q >= 0, - (q & 1) below.
  const auto odd = hn::And(q, hn::Set(di, 1));
  const auto sign = hn::ShiftRight<31>(q);
  const auto even = hn::Add(q, hn::Sub(hn::Xor(odd, sign), sign));
  const VD result = hn::Sub(phase, hn::Mul(hn::PromoteTo(d, even), hn::Set(d, pi)));
  *out = hn::PromoteTo(d, hn::DemoteTo(DF(), result));
  return true;
}

// princarg() of L phases inside (-3 pi, 3 pi), by comparisons instead of a division
// (see turnOne): the same multiple of 2 pi is subtracted. False, with nothing
// computed, when a lane lies outside (or is NaN).
HWY_INLINE bool WrapNear(VD p, VD* out) {
  const DD d;
  const VD magnitude = hn::AndNot(hn::Set(d, -0.0), p);
  if (!hn::AllTrue(d, hn::Lt(magnitude, hn::Set(d, turnThree)))) return false;
  const VD up = hn::IfThenElseZero(hn::Ge(p, hn::Set(d, turnOne)), hn::Set(d, 2.0 * pi));
  const VD down = hn::IfThenElseZero(hn::Le(p, hn::Set(d, -turnOne)), hn::Set(d, -2.0 * pi));
  *out = hn::Sub(p, hn::Or(up, down));
  return true;
}

// a[peak[0 .. L - 1]] as doubles.
HWY_INLINE VD Gather(const float* a, const int* peak) {
  HWY_ALIGN float v[kLanes];
  for (int i = 0; i < kLanes; i++) v[i] = a[peak[i]];
  return hn::PromoteTo(DD(), hn::Load(DF(), v));
}

// peakRotation() of L peaks at once (the same operations, in the same order). The
// last wrap takes the difference of two wrapped phases, always inside 2 pi and a
// little, so it needs no division.
bool PeakRotations(const float* omega, const float* phi, const float* phi0, const float* psi,
                   const int* peak, float stretchFactor, float* rotation) {
  const DD d;
  const VD pomega = Gather(omega, peak);
  const VD phase = Gather(phi, peak);
  VD delta;
  VD target;
  VD turn;
  if (Princarg(hn::Sub(hn::Sub(phase, Gather(phi0, peak)), pomega), &delta) &&
      Princarg(hn::Add(Gather(psi, peak), hn::Mul(hn::Set(d, static_cast<double>(stretchFactor)),
                                                  hn::Add(pomega, delta))),
               &target) &&
      WrapNear(hn::Sub(target, phase), &turn)) {
    Narrow(rotation, turn);
    return true;
  }
  return false;
}

// rotation[from .. to - 1] = r in whole vectors of eight, so that a short region
// costs one store and no branch that depends on its length. The stores past to
// land where the next region (or the slack) follows and are overwritten by it.
void FillRegions(float* rotation, const int* valleys, int nPeaks, const float* peakRotations) {
  const D4 d;
  for (int p = 0; p < nPeaks; p++) {
    const auto v = hn::Set(d, peakRotations[p]);
    for (int i = valleys[p]; i < valleys[p + 1]; i += 8) {
      hn::StoreU(v, d, rotation + i);
      hn::StoreU(v, d, rotation + i + 4);
    }
  }
}

void TurnBins(const float* phi, const float* rotation, float* psi, int n) {
  const DD d;
  int b = 0;
  for (; b + kLanes <= n; b += kLanes) {
    const VD p = hn::Add(Widen(phi + b), Widen(rotation + b));
    VD wrapped;
    if (!WrapNear(p, &wrapped)) {
      for (int j = b; j < b + kLanes; j++) {
        psi[j] = ::princarg(static_cast<double>(phi[j]) + rotation[j]);
      }
      continue;
    }
    Narrow(psi + b, wrapped);
  }
  (void)d;
  for (; b < n; b++) psi[b] = ::princarg(static_cast<double>(phi[b]) + rotation[b]);
}

// An angle not covered by our sincos leaves the whole pass to scalar libm.
int Rebuild(const float* mag, const float* psi, const float* gains, float* spectrum, int n) {
  const DD d;
  MD uncovered = hn::FirstN(d, 0);
  int k = 0;
  for (; k + kLanes <= n; k += kLanes) {
    VD m = Widen(mag + k);
    if (gains != nullptr) m = hn::Mul(m, Widen(gains + k));
    VD sine;
    VD cosine;
    BinSinCos(Widen(psi + k), &sine, &cosine, &uncovered);
    hn::StoreInterleaved2(hn::DemoteTo(DF(), hn::Mul(m, cosine)),
                          hn::DemoteTo(DF(), hn::Mul(m, sine)), DF(), spectrum + 2 * k);
  }
  return hn::AllFalse(d, uncovered) ? k : 0;
}

int Accumulate(const float* wave, const float* realParts, const float* windowOut, float* dest,
               int from, int to) {
  int i = from;
  for (; i + kLanes <= to; i += kLanes) {
    const VD product = hn::Mul(Widen(realParts + i), Widen(windowOut + i));
    Narrow(dest + (i - from), hn::Add(Widen(wave + i), product));
  }
  return i;
}

// The copy's table (the targets no path runs leave it unused).
[[maybe_unused]] constexpr VocoderKernels kKernels{kLanes,
                                                   &BinPass,
                                                   &Peaks,
                                                   &FirstLeast,
                                                   &PeakRotations,
                                                   &FillRegions,
                                                   &TurnBins,
                                                   &Rebuild,
                                                   &Accumulate,
                                                   kLibmvec ? nullptr : &Atan2Lanes,
                                                   kLibmvec ? nullptr : &SinCosLanes};

}  // namespace HWY_NAMESPACE
}  // namespace hopwarbler
HWY_AFTER_NAMESPACE();
#endif  // HWY_TARGET != HWY_SCALAR

#if HWY_ONCE
const VocoderKernels* vocoder_simd_kernels(int path) {
#ifdef HOPWARBLER_SIMD_BASELINE
  if (path == CPU_PATH_BASELINE) return &hopwarbler::HOPWARBLER_SIMD_BASELINE::kKernels;
#endif
#ifdef HOPWARBLER_SIMD_AVX2
  if (path == CPU_PATH_AVX2) return &hopwarbler::HOPWARBLER_SIMD_AVX2::kKernels;
#endif
  (void)path;
  return nullptr;
}
#endif  // HWY_ONCE
