// The vocoder's x86-64 kernels: the per-bin passes of the baseline path (SSE2, with
// glibc's vector maths) and of the AVX2 path (with the vector maths of
// vocoder_maths_x86.h). See vocoder_x86.h for what each computes and vocoder.h for
// the paths.
//
// Compiled only for x86-64: elsewhere this file is empty.
#include "cpu.h"

#if HOPWARBLER_X86

#include <immintrin.h>

#include <bit>
#include <cfloat>
#include <cmath>

#include "vocoder_maths_x86.h"
#include "vocoder_x86.h"

using namespace vocoder_maths;

namespace {

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
// of at least 3 exactly when p >= turnThree: the fast paths compare with these
// instead of dividing, and so subtract the same multiple of pi.
constexpr double turnOne = leastWithTurns(1.0);
constexpr double turnThree = leastWithTurns(3.0);

// ---- Baseline path: SSE2, two doubles per vector ----

inline void storeTwo(float* p, __m128d v) {
  _mm_storel_epi64(reinterpret_cast<__m128i*>(p), _mm_castps_si128(_mm_cvtpd_ps(v)));
}

inline __m128d loadTwo(const float* p) {
  return _mm_cvtps_pd(_mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p))));
}

int binPassBaseline(const float* buffer, float* mag, float* phi, int n) {
  int k = 0;
  for (; k + 2 <= n; k += 2) {
    const __m128 bins = _mm_loadu_ps(buffer + 2 * k);
    const __m128d a = _mm_cvtps_pd(bins);
    const __m128d b = _mm_cvtps_pd(_mm_movehl_ps(bins, bins));
    const __m128d re = _mm_unpacklo_pd(a, b);
    const __m128d im = _mm_unpackhi_pd(a, b);
    storeTwo(mag + k, _mm_sqrt_pd(_mm_add_pd(_mm_mul_pd(re, re), _mm_mul_pd(im, im))));
    storeTwo(phi + k, _ZGVbN2vv_atan2(im, re));
  }
  return k;
}

// princarg() of phases p with |p| < turnThree, lane by lane, without the division:
// p - 2 pi when p / pi would round to 1 or more, p + 2 pi when to -1 or less,
// otherwise p - 0.
inline __m128d wrapNearBaseline(__m128d p) {
  const __m128d up = _mm_and_pd(_mm_cmpge_pd(p, _mm_set1_pd(turnOne)), _mm_set1_pd(2.0 * pi));
  const __m128d down = _mm_and_pd(_mm_cmple_pd(p, _mm_set1_pd(-turnOne)), _mm_set1_pd(-2.0 * pi));
  return _mm_sub_pd(p, _mm_or_pd(up, down));
}

// princarg() of two phases at once, with the same division, truncation and
// multiple of pi; false (nothing stored) when a phase is out of the 32-bit range
// of the turn count or not a number, which the scalar princarg() handles.
inline bool princargBaseline(__m128d phase, float* out) {
  const __m128d turns = _mm_div_pd(phase, _mm_set1_pd(pi));
  const __m128d inRange = _mm_and_pd(_mm_cmpgt_pd(turns, _mm_set1_pd(-2147483648.0)),
                                     _mm_cmplt_pd(turns, _mm_set1_pd(2147483648.0)));
  if (_mm_movemask_pd(inRange) != 3) return false;
  const __m128i q = _mm_cvttpd_epi32(turns);
  // Odd counts move one step away from zero: + (q & 1) when q >= 0, - (q & 1) below.
  const __m128i odd = _mm_and_si128(q, _mm_set1_epi32(1));
  const __m128i sign = _mm_srai_epi32(q, 31);
  const __m128i even = _mm_add_epi32(q, _mm_sub_epi32(_mm_xor_si128(odd, sign), sign));
  const __m128d result = _mm_sub_pd(phase, _mm_mul_pd(_mm_cvtepi32_pd(even), _mm_set1_pd(pi)));
  _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_castps_si128(_mm_cvtpd_ps(result)));
  return true;
}

inline __m128d pairOf(float lo, float hi) {
  return _mm_set_pd(static_cast<double>(hi), static_cast<double>(lo));
}

// peakRotation() of two peaks at once (the same operations, in the same order).
bool peakRotationsBaseline(const float* omega, const float* phi, const float* phi0,
                           const float* psi, const int* peak, float stretchFactor,
                           float* rotation) {
  const __m128d pomega = pairOf(omega[peak[0]], omega[peak[1]]);
  const __m128d phase = pairOf(phi[peak[0]], phi[peak[1]]);
  float delta[2];
  float target[2];
  if (!princargBaseline(_mm_sub_pd(_mm_sub_pd(phase, pairOf(phi0[peak[0]], phi0[peak[1]])), pomega),
                        delta) ||
      !princargBaseline(_mm_add_pd(pairOf(psi[peak[0]], psi[peak[1]]),
                                   _mm_mul_pd(_mm_set1_pd(stretchFactor),
                                              _mm_add_pd(pomega, pairOf(delta[0], delta[1])))),
                        target)) {
    return false;
  }
  return princargBaseline(_mm_sub_pd(pairOf(target[0], target[1]), phase), rotation);
}

void turnBinsBaseline(const float* phi, const float* rotation, float* psi, int n) {
  const __m128d magnitudeMask = _mm_castsi128_pd(_mm_set1_epi64x(0x7fffffffffffffff));
  const __m128d limit = _mm_set1_pd(turnThree);
  int b = 0;
  for (; b + 2 <= n; b += 2) {
    const __m128d p = _mm_add_pd(loadTwo(phi + b), loadTwo(rotation + b));
    if (_mm_movemask_pd(_mm_cmplt_pd(_mm_and_pd(p, magnitudeMask), limit)) != 3) {
      for (int j = b; j < b + 2; j++) psi[j] = princarg(static_cast<double>(phi[j]) + rotation[j]);
      continue;
    }
    storeTwo(psi + b, wrapNearBaseline(p));
  }
  for (; b < n; b++) psi[b] = princarg(static_cast<double>(phi[b]) + rotation[b]);
}

int rebuildBaseline(const float* mag, const float* psi, const float* gains, float* spectrum,
                    int n) {
  int k = 0;
  for (; k + 2 <= n; k += 2) {
    const __m128d p = loadTwo(psi + k);
    __m128d m = loadTwo(mag + k);
    if (gains != nullptr) m = _mm_mul_pd(m, loadTwo(gains + k));
    const __m128 re = _mm_cvtpd_ps(_mm_mul_pd(m, _ZGVbN2v_cos(p)));
    const __m128 im = _mm_cvtpd_ps(_mm_mul_pd(m, _ZGVbN2v_sin(p)));
    _mm_storeu_ps(spectrum + 2 * k, _mm_unpacklo_ps(re, im));
  }
  return k;
}

// ---- AVX2 path: four doubles per vector ----

// When a bin is not covered by atan2Four() (a NaN or an infinity in the frame) the
// whole pass is left to the reference, which gives the same magnitudes.
VOCODER_AVX2 int binPassAvx2(const float* buffer, float* mag, float* phi, int n) {
  __m256d uncovered = _mm256_setzero_pd();
  int k = 0;
  for (; k + 4 <= n; k += 4) {
    const __m256d a = _mm256_cvtps_pd(_mm_loadu_ps(buffer + 2 * k));
    const __m256d b = _mm256_cvtps_pd(_mm_loadu_ps(buffer + 2 * k + 4));
    // Lanes in the order of bins k, k + 2, k + 1, k + 3; put right when stored.
    const __m256d re = _mm256_unpacklo_pd(a, b);
    const __m256d im = _mm256_unpackhi_pd(a, b);
    const __m128 m = _mm256_cvtpd_ps(
        _mm256_sqrt_pd(_mm256_add_pd(_mm256_mul_pd(re, re), _mm256_mul_pd(im, im))));
    const __m128 p = _mm256_cvtpd_ps(atan2Four(im, re, &uncovered));
    _mm_storeu_ps(mag + k, _mm_shuffle_ps(m, m, _MM_SHUFFLE(3, 1, 2, 0)));
    _mm_storeu_ps(phi + k, _mm_shuffle_ps(p, p, _MM_SHUFFLE(3, 1, 2, 0)));
  }
  return _mm256_movemask_pd(uncovered) != 0 ? 0 : k;
}

// princargBaseline() of four phases, the result rounded to float and back.
VOCODER_AVX2 inline bool princargAvx2(__m256d phase, __m256d* out) {
  const __m256d turns = _mm256_div_pd(phase, _mm256_set1_pd(pi));
  const __m256d inRange =
      _mm256_and_pd(_mm256_cmp_pd(turns, _mm256_set1_pd(-2147483648.0), _CMP_GT_OQ),
                    _mm256_cmp_pd(turns, _mm256_set1_pd(2147483648.0), _CMP_LT_OQ));
  if (_mm256_movemask_pd(inRange) != 15) return false;
  const __m128i q = _mm256_cvttpd_epi32(turns);
  const __m128i odd = _mm_and_si128(q, _mm_set1_epi32(1));
  const __m128i sign = _mm_srai_epi32(q, 31);
  const __m128i even = _mm_add_epi32(q, _mm_sub_epi32(_mm_xor_si128(odd, sign), sign));
  const __m256d result =
      _mm256_sub_pd(phase, _mm256_mul_pd(_mm256_cvtepi32_pd(even), _mm256_set1_pd(pi)));
  *out = _mm256_cvtps_pd(_mm256_cvtpd_ps(result));
  return true;
}

// a[peak[0 .. 3]] as doubles.
VOCODER_AVX2 inline __m256d gatherFour(const float* a, const int* peak) {
  return _mm256_cvtps_pd(_mm_set_ps(a[peak[3]], a[peak[2]], a[peak[1]], a[peak[0]]));
}

// princarg() of four phases inside (-3 pi, 3 pi), by comparisons instead of a
// division (see turnOne): the same multiple of 2 pi is subtracted. False, with
// nothing computed, when a lane lies outside (or is NaN).
VOCODER_AVX2 inline bool wrapNearAvx2(__m256d p, __m256d* out) {
  const __m256d magnitudeMask = _mm256_castsi256_pd(_mm256_set1_epi64x(0x7fffffffffffffff));
  const __m256d inRange =
      _mm256_cmp_pd(_mm256_and_pd(p, magnitudeMask), _mm256_set1_pd(turnThree), _CMP_LT_OQ);
  if (_mm256_movemask_pd(inRange) != 15) return false;
  const __m256d turn = _mm256_set1_pd(2.0 * pi);  // 2 x pi as princarg() forms it
  const __m256d up = _mm256_and_pd(_mm256_cmp_pd(p, _mm256_set1_pd(turnOne), _CMP_GE_OQ), turn);
  const __m256d down = _mm256_and_pd(_mm256_cmp_pd(p, _mm256_set1_pd(-turnOne), _CMP_LE_OQ),
                                     _mm256_set1_pd(-2.0 * pi));
  *out = _mm256_sub_pd(p, _mm256_or_pd(up, down));
  return true;
}

// peakRotation() of four peaks at once (the same operations, in the same order).
// The last wrap takes the difference of two wrapped phases, always inside 2 pi and
// a little, so it needs no division.
VOCODER_AVX2 bool peakRotationsAvx2(const float* omega, const float* phi, const float* phi0,
                                    const float* psi, const int* peak, float stretchFactor,
                                    float* rotation) {
  const __m256d pomega = gatherFour(omega, peak);
  const __m256d phase = gatherFour(phi, peak);
  __m256d delta;
  __m256d target;
  __m256d turn;
  if (princargAvx2(_mm256_sub_pd(_mm256_sub_pd(phase, gatherFour(phi0, peak)), pomega), &delta) &&
      princargAvx2(
          _mm256_add_pd(gatherFour(psi, peak),
                        _mm256_mul_pd(_mm256_set1_pd(stretchFactor), _mm256_add_pd(pomega, delta))),
          &target) &&
      wrapNearAvx2(_mm256_sub_pd(target, phase), &turn)) {
    _mm_storeu_ps(rotation, _mm256_cvtpd_ps(turn));
    return true;
  }
  return false;
}

VOCODER_AVX2 void turnBinsAvx2(const float* phi, const float* rotation, float* psi, int n) {
  int b = 0;
  for (; b + 4 <= n; b += 4) {
    const __m256d p = _mm256_add_pd(_mm256_cvtps_pd(_mm_loadu_ps(phi + b)),
                                    _mm256_cvtps_pd(_mm_loadu_ps(rotation + b)));
    __m256d wrapped;
    if (!wrapNearAvx2(p, &wrapped)) {
      for (int j = b; j < b + 4; j++) psi[j] = princarg(static_cast<double>(phi[j]) + rotation[j]);
      continue;
    }
    _mm_storeu_ps(psi + b, _mm256_cvtpd_ps(wrapped));
  }
  for (; b < n; b++) psi[b] = princarg(static_cast<double>(phi[b]) + rotation[b]);
}

// An angle not covered by sinCosFour() leaves the whole pass to scalar libm.
VOCODER_AVX2 int rebuildAvx2(const float* mag, const float* psi, const float* gains,
                             float* spectrum, int n) {
  __m256d uncovered = _mm256_setzero_pd();
  int k = 0;
  for (; k + 4 <= n; k += 4) {
    const __m256d p = _mm256_cvtps_pd(_mm_loadu_ps(psi + k));
    __m256d m = _mm256_cvtps_pd(_mm_loadu_ps(mag + k));
    if (gains != nullptr) m = _mm256_mul_pd(m, _mm256_cvtps_pd(_mm_loadu_ps(gains + k)));
    __m256d sine;
    __m256d cosine;
    sinCosFour(p, &sine, &cosine, &uncovered);
    const __m128 re = _mm256_cvtpd_ps(_mm256_mul_pd(m, cosine));
    const __m128 im = _mm256_cvtpd_ps(_mm256_mul_pd(m, sine));
    _mm_storeu_ps(spectrum + 2 * k, _mm_unpacklo_ps(re, im));
    _mm_storeu_ps(spectrum + 2 * k + 4, _mm_unpackhi_ps(re, im));
  }
  return _mm256_movemask_pd(uncovered) != 0 ? 0 : k;
}

// Accumulates samples from .. to - 1 of the frame into the overlap-add buffer and
// stores them at dest[i - from]: the real parts times the synthesis window, added in
// double.
VOCODER_AVX2 int accumulateAvx2(const float* wave, const float* realParts, const float* windowOut,
                                float* dest, int from, int to) {
  int i = from;
  for (; i + 4 <= to; i += 4) {
    const __m256d product = _mm256_mul_pd(_mm256_cvtps_pd(_mm_loadu_ps(realParts + i)),
                                          _mm256_cvtps_pd(_mm_loadu_ps(windowOut + i)));
    const __m256d sum = _mm256_add_pd(_mm256_cvtps_pd(_mm_loadu_ps(wave + i)), product);
    _mm_storeu_ps(dest + (i - from), _mm256_cvtpd_ps(sum));
  }
  return i;
}

// rotation[from .. to - 1] = r in whole vectors of eight, so that a short region
// costs one store and no branch that depends on its length. The stores past to
// land where the next region (or the slack) follows and are overwritten by it.
void fillRegion(float* rotation, int from, int to, float r) {
  const __m128 v = _mm_set1_ps(r);
  for (int i = from; i < to; i += 8) {
    _mm_storeu_ps(rotation + i, v);
    _mm_storeu_ps(rotation + i + 4, v);
  }
}

// firstLeast() eight bins at a time: the least magnitude below the largest float
// (NaN never is), then the first bin that holds it; magnitudes that compare equal,
// -0 and +0, count as the same, as in the scalar comparison. Reads up to seven bins
// past to.
VOCODER_AVX2 int firstLeastAvx2(const float* mag, int from, int to) {
  const __m256 largest = _mm256_set1_ps(FLT_MAX);
  const __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
  __m256 least = largest;
  for (int j = from; j < to; j += 8) {
    const __m256 inRegion =
        _mm256_castsi256_ps(_mm256_cmpgt_epi32(_mm256_set1_epi32(to - j), lane));
    const __m256 v = _mm256_loadu_ps(mag + j);
    const __m256 candidate = _mm256_and_ps(_mm256_cmp_ps(v, largest, _CMP_LT_OQ), inRegion);
    least = _mm256_min_ps(least, _mm256_blendv_ps(largest, v, candidate));
  }
  __m256 m = _mm256_min_ps(least, _mm256_permute2f128_ps(least, least, 1));
  m = _mm256_min_ps(m, _mm256_shuffle_ps(m, m, _MM_SHUFFLE(1, 0, 3, 2)));
  m = _mm256_min_ps(m, _mm256_shuffle_ps(m, m, _MM_SHUFFLE(2, 3, 0, 1)));
  if (!(_mm256_cvtss_f32(m) < FLT_MAX)) return 0;
  // Some bin of the region holds m, so the first equal bin lies inside the region.
  for (int j = from;; j += 8) {
    const int equal = _mm256_movemask_ps(_mm256_cmp_ps(_mm256_loadu_ps(mag + j), m, _CMP_EQ_OQ));
    if (equal != 0) return j + __builtin_ctz(static_cast<unsigned>(equal));
  }
}

}  // namespace

int vocoder_x86_bin_pass_sse2(const float* buffer, float* mag, float* phi, int n) {
  return binPassBaseline(buffer, mag, phi, n);
}

int vocoder_x86_bin_pass_avx2(const float* buffer, float* mag, float* phi, int n) {
  return binPassAvx2(buffer, mag, phi, n);
}

// Each candidate is written and kept only when it passes, without a branch.
int vocoder_x86_peaks_sse2(const float* mag, int from, int to, int* peaks) {
  int nPeaks = 0;
  for (int b = from; b + 4 <= to; b += 4) {
    const __m128 c = _mm_loadu_ps(mag + b);
    const __m128 above = _mm_and_ps(_mm_and_ps(_mm_cmpgt_ps(c, _mm_loadu_ps(mag + b - 1)),
                                               _mm_cmpgt_ps(c, _mm_loadu_ps(mag + b + 1))),
                                    _mm_and_ps(_mm_cmpgt_ps(c, _mm_loadu_ps(mag + b - 2)),
                                               _mm_cmpgt_ps(c, _mm_loadu_ps(mag + b + 2))));
    const int bits = _mm_movemask_ps(above);
    for (int lane = 0; lane < 4; lane++) {
      peaks[nPeaks] = b + lane;
      nPeaks += (bits >> lane) & 1;
    }
  }
  return nPeaks;
}

int vocoder_x86_first_least_avx2(const float* mag, int from, int to) {
  return firstLeastAvx2(mag, from, to);
}

bool vocoder_x86_peak_rotations_sse2(const float* omega, const float* phi, const float* phi0,
                                     const float* psi, const int* peak, float stretchFactor,
                                     float* rotation) {
  return peakRotationsBaseline(omega, phi, phi0, psi, peak, stretchFactor, rotation);
}

bool vocoder_x86_peak_rotations_avx2(const float* omega, const float* phi, const float* phi0,
                                     const float* psi, const int* peak, float stretchFactor,
                                     float* rotation) {
  return peakRotationsAvx2(omega, phi, phi0, psi, peak, stretchFactor, rotation);
}

void vocoder_x86_fill_regions(float* rotation, const int* valleys, int nPeaks,
                              const float* peakRotations) {
  for (int p = 0; p < nPeaks; p++)
    fillRegion(rotation, valleys[p], valleys[p + 1], peakRotations[p]);
}

void vocoder_x86_turn_bins_sse2(const float* phi, const float* rotation, float* psi, int n) {
  turnBinsBaseline(phi, rotation, psi, n);
}

void vocoder_x86_turn_bins_avx2(const float* phi, const float* rotation, float* psi, int n) {
  turnBinsAvx2(phi, rotation, psi, n);
}

int vocoder_x86_rebuild_sse2(const float* mag, const float* psi, const float* gains,
                             float* spectrum, int n) {
  return rebuildBaseline(mag, psi, gains, spectrum, n);
}

int vocoder_x86_rebuild_avx2(const float* mag, const float* psi, const float* gains,
                             float* spectrum, int n) {
  return rebuildAvx2(mag, psi, gains, spectrum, n);
}

int vocoder_x86_accumulate_avx2(const float* wave, const float* realParts, const float* windowOut,
                                float* dest, int from, int to) {
  return accumulateAvx2(wave, realParts, windowOut, dest, from, to);
}

void vocoder_x86_atan2_avx2(const double* y, const double* x, double* angle, int n) {
  atan2Lanes(y, x, angle, n);
}

void vocoder_x86_sincos_avx2(const double* x, double* sine, double* cosine, int n) {
  sinCosLanes(x, sine, cosine, n);
}

#endif  // HOPWARBLER_X86
