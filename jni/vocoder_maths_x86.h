// vocoder_maths_x86: the vocoder's vector maths on x86-64, included only by
// vocoder_x86.cpp. The baseline path (SSE2) takes glibc's vector atan2, sin and cos
// (libmvec, two lanes); the AVX2 path has its own, below, inlined into its passes.
#pragma once

#include <immintrin.h>

#include <algorithm>
#include <cmath>

#define VOCODER_AVX2 __attribute__((target("avx2,fma")))

// glibc's vector maths (libmvec), double precision, two lanes, for the baseline
// path (glibc runs them on any x86-64). <math.h> declares them only under
// -ffast-math, which would also let the compiler reorder the arithmetic.
extern "C" {
__m128d _ZGVbN2vv_atan2(__m128d y, __m128d x);
__m128d _ZGVbN2v_sin(__m128d x);
__m128d _ZGVbN2v_cos(__m128d x);
}

namespace vocoder_maths {

// The AVX2 path's atan2, sin and cos: inlined, in double precision, within about an
// ulp of scalar libm, so that the floats stored from them are in practice the same
// bits. Each kernel marks in *uncovered the lanes it does not compute (for atan2 a
// NaN, an infinity, or a larger part above 2^1000 or below 2^-1000 but not zero,
// none of which a finite float frame gives; for sincos an angle beyond +-8 or a NaN),
// and its caller then redoes them with scalar libm.

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

// c[0] + c[1] x + ... + c[n - 1] x^(n - 1) by Estrin's scheme: pairs of terms first,
// then pairs of pairs with x^2, x^4, ..., a dependency chain of about log2(n) steps
// instead of the n - 1 of Horner's rule.
template <int n>
VOCODER_AVX2 inline __m256d polynomial(__m256d x, const double (&c)[n]) {
  __m256d terms[(n + 1) / 2];
  int count = (n + 1) / 2;
  for (int i = 0; i < count; i++) {
    terms[i] = 2 * i + 1 < n
                   ? _mm256_fmadd_pd(_mm256_set1_pd(c[2 * i + 1]), x, _mm256_set1_pd(c[2 * i]))
                   : _mm256_set1_pd(c[2 * i]);
  }
  __m256d power = _mm256_mul_pd(x, x);
  while (count > 1) {
    for (int i = 0; i < count / 2; i++)
      terms[i] = _mm256_fmadd_pd(terms[2 * i + 1], power, terms[2 * i]);
    if (count % 2 == 1) terms[count / 2] = terms[count - 1];
    count = (count + 1) / 2;
    if (count > 1) power = _mm256_mul_pd(power, power);
  }
  return terms[0];
}

// atan2(y, x) of four lanes. With num <= den the smaller and the larger of |y| and
// |x|, z = num / den, or z = (num - den) / (num + den) when num / den exceeds
// tan(pi / 8), so that |z| <= tan(pi / 8); the angle is then m pi / 4 +- atan(z) with
// m = 0 .. 4 from the octant. The rounding errors of the difference, the sum and the
// quotient are recovered exactly (two-sums and a fused remainder) and added back, and
// so is that of the final sum with m pi / 4: the angle is within 0.7 ulp (measured
// against a wider atan2).
VOCODER_AVX2 inline __m256d atan2Four(__m256d y, __m256d x, __m256d* uncovered) {
  const __m256d signBit = _mm256_set1_pd(-0.0);
  const __m256d zero = _mm256_setzero_pd();
  const __m256d one = _mm256_set1_pd(1.0);
  const __m256d ax = _mm256_andnot_pd(signBit, x);
  const __m256d ay = _mm256_andnot_pd(signBit, y);
  const __m256d num = _mm256_min_pd(ax, ay);
  const __m256d den = _mm256_max_pd(ax, ay);
  const __m256d denZero = _mm256_cmp_pd(den, zero, _CMP_EQ_OQ);
  const __m256d swap = _mm256_cmp_pd(ay, ax, _CMP_GT_OQ);
  const __m256d far =
      _mm256_cmp_pd(num, _mm256_mul_pd(den, _mm256_set1_pd(tanEighthPi)), _CMP_GT_OQ);
  // num - den and num + den with their exact rounding errors (den >= num >= 0).
  const __m256d difference = _mm256_sub_pd(num, den);
  const __m256d differenceError = _mm256_sub_pd(num, _mm256_add_pd(difference, den));
  // num + den, formed so that a NaN in either part makes it NaN, an infinity
  // infinite, and a part above 2^1000 large.
  const __m256d sum = _mm256_add_pd(ax, ay);
  *uncovered = _mm256_or_pd(
      *uncovered,
      _mm256_or_pd(_mm256_cmp_pd(sum, _mm256_set1_pd(atanGreatestPart), _CMP_NLE_UQ),
                   _mm256_andnot_pd(
                       denZero, _mm256_cmp_pd(den, _mm256_set1_pd(atanLeastPart), _CMP_LT_OQ))));
  const __m256d sumError = _mm256_sub_pd(num, _mm256_sub_pd(sum, den));
  const __m256d top = _mm256_blendv_pd(num, difference, far);
  const __m256d topError = _mm256_and_pd(far, differenceError);
  // Both parts zero: 0 / 1.
  const __m256d bottom = _mm256_blendv_pd(_mm256_blendv_pd(den, sum, far), one, denZero);
  const __m256d bottomError = _mm256_and_pd(far, sumError);
  // z within an ulp of top / bottom, then what it lacks of (top + topError) /
  // (bottom + bottomError): the first part of the remainder is exact.
  const __m256d reciprocal = _mm256_div_pd(one, bottom);
  const __m256d z = _mm256_mul_pd(top, reciprocal);
  const __m256d remainder =
      _mm256_add_pd(_mm256_fnmadd_pd(z, bottom, top), _mm256_fnmadd_pd(z, bottomError, topError));
  const __m256d zLow = _mm256_mul_pd(remainder, reciprocal);
  // The octant: +atan(z) when both or neither of swap and x < 0 (-0 included) hold,
  // otherwise -atan(z); m = (swap ? 2 : x < 0 ? 4 : 0) + (far ? +-1 : 0).
  const __m256d negative = _mm256_and_pd(_mm256_xor_pd(swap, x), signBit);
  const __m256d base =
      _mm256_blendv_pd(_mm256_blendv_pd(zero, _mm256_set1_pd(4.0), x), _mm256_set1_pd(2.0), swap);
  const __m256d m = _mm256_add_pd(base, _mm256_xor_pd(_mm256_and_pd(far, one), negative));
  // m pi / 4 +- z as a sum and its rounding error (m = 0 or m pi / 4 > |z|).
  const __m256d high = _mm256_mul_pd(m, _mm256_set1_pd(quarterPiHigh));
  const __m256d signedZ = _mm256_xor_pd(z, negative);
  const __m256d head = _mm256_add_pd(high, signedZ);
  const __m256d headError = _mm256_add_pd(_mm256_sub_pd(high, head), signedZ);
  // Everything small but +-z^3 P(z^2): that error, the rest of m pi / 4, and
  // atan(z + zLow) - atan(z) to first order in zLow.
  const __m256d w = _mm256_mul_pd(z, z);
  const __m256d small = _mm256_add_pd(
      headError, _mm256_fmadd_pd(m, _mm256_set1_pd(quarterPiLow),
                                 _mm256_xor_pd(_mm256_fnmadd_pd(zLow, w, zLow), negative)));
  const __m256d signedCube = _mm256_xor_pd(_mm256_mul_pd(z, w), negative);
  const __m256d angle =
      _mm256_add_pd(head, _mm256_fmadd_pd(signedCube, polynomial(w, atanP), small));
  return _mm256_xor_pd(angle, _mm256_and_pd(y, signBit));
}

// sin and cos of four lanes. x = q pi / 2 + r with q the integer nearest to x 2 / pi,
// which also gives the quadrant; r = x - q pi / 2 takes pi / 2 in two parts, the
// first product exactly, so that r is within half an ulp for |x| <= 8, and what its
// rounding lost is carried along: sine and cosine within 0.9 ulp (measured).
VOCODER_AVX2 inline void sinCosFour(__m256d x, __m256d* sine, __m256d* cosine, __m256d* uncovered) {
  const __m256d signBit = _mm256_set1_pd(-0.0);
  const __m256d one = _mm256_set1_pd(1.0);
  *uncovered =
      _mm256_or_pd(*uncovered, _mm256_cmp_pd(_mm256_andnot_pd(signBit, x),
                                             _mm256_set1_pd(sinCosGreatestAngle), _CMP_NLE_UQ));
  const __m256d shifted =
      _mm256_fmadd_pd(x, _mm256_set1_pd(twoOverPi), _mm256_set1_pd(roundingShift));
  const __m256d q = _mm256_sub_pd(shifted, _mm256_set1_pd(roundingShift));
  const __m256d exact = _mm256_fnmadd_pd(q, _mm256_set1_pd(halfPiHigh), x);
  const __m256d r = _mm256_fnmadd_pd(q, _mm256_set1_pd(halfPiLow), exact);
  // What the rounding of r lost, added to first order: sin(r + t) = sin r + t cos r,
  // cos(r + t) = cos r - t sin r.
  const __m256d t = _mm256_fnmadd_pd(q, _mm256_set1_pd(halfPiLow), _mm256_sub_pd(exact, r));
  const __m256d w = _mm256_mul_pd(r, r);
  const __m256d halfW = _mm256_mul_pd(w, _mm256_set1_pd(0.5));
  // The sign of r carried over, so that sin(-0) = -0.
  const __m256d sinR =
      _mm256_or_pd(_mm256_add_pd(r, _mm256_fmadd_pd(_mm256_mul_pd(r, w), polynomial(w, sinS),
                                                    _mm256_fnmadd_pd(t, halfW, t))),
                   _mm256_and_pd(r, signBit));
  // 1 - r^2 / 2 with its rounding error added back.
  const __m256d head = _mm256_sub_pd(one, halfW);
  const __m256d headError = _mm256_sub_pd(_mm256_sub_pd(one, head), halfW);
  const __m256d cosR = _mm256_add_pd(head, _mm256_fmadd_pd(_mm256_mul_pd(w, w), polynomial(w, cosC),
                                                           _mm256_fnmadd_pd(t, r, headError)));
  // Quadrant q mod 4: odd swaps sine and cosine; the sine is negative for 2 and 3,
  // the cosine for 1 and 2.
  const __m256i quadrant = _mm256_castpd_si256(shifted);
  const __m256d swap = _mm256_castsi256_pd(_mm256_slli_epi64(quadrant, 63));
  const __m256d sinSign =
      _mm256_and_pd(_mm256_castsi256_pd(_mm256_slli_epi64(quadrant, 62)), signBit);
  const __m256d cosSign = _mm256_and_pd(
      _mm256_castsi256_pd(_mm256_slli_epi64(_mm256_add_epi64(quadrant, _mm256_set1_epi64x(1)), 62)),
      signBit);
  *sine = _mm256_xor_pd(_mm256_blendv_pd(sinR, cosR, swap), sinSign);
  *cosine = _mm256_xor_pd(_mm256_blendv_pd(cosR, sinR, swap), cosSign);
}

// The kernels over whole vectors, the last one padded with atan2(0, 1) and sincos(0),
// and the lanes they do not cover done by scalar libm, as the passes do.
VOCODER_AVX2 inline void atan2Lanes(const double* y, const double* x, double* angle, int n) {
  for (int i = 0; i < n; i += 4) {
    const int lanes = std::min(4, n - i);
    alignas(32) double ys[4] = {0.0, 0.0, 0.0, 0.0};
    alignas(32) double xs[4] = {1.0, 1.0, 1.0, 1.0};
    std::copy(y + i, y + i + lanes, ys);
    std::copy(x + i, x + i + lanes, xs);
    __m256d uncovered = _mm256_setzero_pd();
    alignas(32) double out[4];
    _mm256_store_pd(out, atan2Four(_mm256_load_pd(ys), _mm256_load_pd(xs), &uncovered));
    const int redo = _mm256_movemask_pd(uncovered);
    for (int j = 0; j < lanes; j++)
      angle[i + j] = redo >> j & 1 ? std::atan2(ys[j], xs[j]) : out[j];
  }
}

VOCODER_AVX2 inline void sinCosLanes(const double* x, double* sine, double* cosine, int n) {
  for (int i = 0; i < n; i += 4) {
    const int lanes = std::min(4, n - i);
    alignas(32) double xs[4] = {0.0, 0.0, 0.0, 0.0};
    std::copy(x + i, x + i + lanes, xs);
    __m256d s;
    __m256d c;
    __m256d uncovered = _mm256_setzero_pd();
    sinCosFour(_mm256_load_pd(xs), &s, &c, &uncovered);
    alignas(32) double ss[4];
    alignas(32) double cs[4];
    _mm256_store_pd(ss, s);
    _mm256_store_pd(cs, c);
    const int redo = _mm256_movemask_pd(uncovered);
    for (int j = 0; j < lanes; j++) {
      if (redo >> j & 1) {
        sincos(xs[j], &sine[i + j], &cosine[i + j]);
      } else {
        sine[i + j] = ss[j];
        cosine[i + j] = cs[j];
      }
    }
  }
}

}  // namespace vocoder_maths
