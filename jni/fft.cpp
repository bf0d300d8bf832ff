#include "fft.h"

#include <immintrin.h>

#include <cmath>
#include <cstdint>
#include <cstring>

int doubleFrameSize = 0;
int logFrame = 0;
int bitSwapPos[fftMaxSize];
int bitSwapLen = 0;
float pur[fftMaxStages * fftStageStride];
float pui[fftMaxStages * fftStageStride];
float pur_inv[fftMaxStages * fftStageStride];
float pui_inv[fftMaxStages * fftStageStride];

#define FFT_AVX2 __attribute__((target("avx2,fma")))

namespace {

constexpr double pi = 3.141592653589793;

// The twiddles of the fast paths, the same values as the float tables, held as
// doubles: per direction ([0] sign +1, [1] every other sign), stage k's 2^k
// twiddles as (re, im) pairs from position 2^(k+1) on. The padding at the end
// covers vector loads that reach one double past the last stage.
constexpr int twiddleDoubles = 2 * fftMaxSize + 4;
alignas(64) double fastTwiddles[2][twiddleDoubles];

// For q < N/4: the bin that the bit-reversal permutation moves to complex index
// 4q (q reversed over log2 N - 2 bits); bin quarterReversal[q] + N/4 goes to 4q + 2,
// and the upper-half bins to the odd indices between them.
int quarterReversal[fftMaxSize / 4];

int activePath = -1;  // an FftPath other than FFT_PATH_BEST; -1 until chosen

// Bit-reversal permutation as swap pairs of float indices (p, q), p < q.
void buildSwapList(int n) {
  doubleFrameSize = 2 * n;
  bitSwapLen = 0;
  for (int i = 2; i < doubleFrameSize - 2; i += 2) {
    int j = 0;
    for (int bitm = 2; bitm < doubleFrameSize; bitm <<= 1) {
      if (i & bitm) j++;
      j <<= 1;
    }
    if (i < j) {
      bitSwapPos[bitSwapLen++] = i;
      bitSwapPos[bitSwapLen++] = j;
    }
  }
}

// Twiddles of one stage by the rotation recurrence, carried with a 64-bit mantissa
// so that the error does not build up over the 2048 steps of the last stage.
void buildStage(int k, float* re, float* im, float wr, float wi) {
  long double ur = 1.0L;
  long double ui = 0.0L;
  float* stageRe = re + k * fftStageStride;
  float* stageIm = im + k * fftStageStride;
  for (int j = 0; j < (2 << k); j += 2) {
    stageRe[j] = static_cast<float>(ur);
    stageIm[j] = static_cast<float>(ui);
    const long double next = ur * wr - ui * wi;
    ui = ur * wi + ui * wr;
    ur = next;
  }
}

void buildFastTables(int n) {
  for (int k = 0; k < logFrame; k++) {
    for (int m = 0; m < (1 << k); m++) {
      const int at = k * fftStageStride + 2 * m;
      double* forward = fastTwiddles[0] + (2 << k) + 2 * m;
      double* inverse = fastTwiddles[1] + (2 << k) + 2 * m;
      forward[0] = pur[at];
      forward[1] = pui[at];
      inverse[0] = pur_inv[at];
      inverse[1] = pui_inv[at];
    }
  }
  const int bits = logFrame - 2;
  for (int q = 0; q < n / 4; q++) {
    int r = 0;
    for (int b = 0; b < bits; b++) r |= ((q >> b) & 1) << (bits - 1 - b);
    quarterReversal[q] = r;
  }
}

// ---- Reference path: the plain loop nest, twiddle outer and groups inner ----

void transformReference(float* fftBuffer, int sign) {
  for (int s = 0; s < bitSwapLen; s += 2) {
    const int p = bitSwapPos[s];
    const int q = bitSwapPos[s + 1];
    float t = fftBuffer[p];
    fftBuffer[p] = fftBuffer[q];
    fftBuffer[q] = t;
    t = fftBuffer[p + 1];
    fftBuffer[p + 1] = fftBuffer[q + 1];
    fftBuffer[q + 1] = t;
  }
  const float* tableRe = sign == 1 ? pur : pur_inv;
  const float* tableIm = sign == 1 ? pui : pui_inv;
  for (int k = 0; k < logFrame; k++) {
    const int le = 4 << k;
    const int le2 = le >> 1;
    const float* stageRe = tableRe + k * fftStageStride;
    const float* stageIm = tableIm + k * fftStageStride;
    for (int j = 0; j < le2; j += 2) {
      const double ur = stageRe[j];
      const double ui = stageIm[j];
      for (int i = j; i < doubleFrameSize; i += le) {
        float* p1 = fftBuffer + i;
        float* p2 = p1 + le2;
        const double tr = p2[0] * ur - p2[1] * ui;
        const double ti = p2[0] * ui + p2[1] * ur;
        const double r1 = p1[0];
        const double i1 = p1[1];
        p2[0] = static_cast<float>(r1 - tr);
        p2[1] = static_cast<float>(i1 - ti);
        p1[0] = static_cast<float>(r1 + tr);
        p1[1] = static_cast<float>(i1 + ti);
      }
    }
  }
}

// ---- Shared by the fast paths ----

// The permutation, moving each complex value as one 64-bit word.
void permute(float* b) {
  for (int s = 0; s < bitSwapLen; s += 2) {
    uint64_t x;
    uint64_t y;
    std::memcpy(&x, b + bitSwapPos[s], sizeof x);
    std::memcpy(&y, b + bitSwapPos[s + 1], sizeof y);
    std::memcpy(b + bitSwapPos[s], &y, sizeof y);
    std::memcpy(b + bitSwapPos[s + 1], &x, sizeof x);
  }
}

// ---- Baseline path: SSE2, one complex value per vector ----

inline __m128d load1(const float* p) {
  return _mm_cvtps_pd(_mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p))));
}

inline void store1(float* p, __m128d v) {
  _mm_storel_epi64(reinterpret_cast<__m128i*>(p), _mm_castps_si128(_mm_cvtpd_ps(v)));
}

// (re, im) times the twiddle w = (ur, ui): (re ur - im ui, im ur + re ui), the
// subtraction done as the addition of the negated product (the same operation).
inline __m128d cmul1(__m128d x, __m128d w) {
  const __m128d ur = _mm_unpacklo_pd(w, w);
  const __m128d ui = _mm_unpackhi_pd(w, w);
  const __m128d swapped = _mm_shuffle_pd(x, x, 1);
  const __m128d negateLow = _mm_set_pd(0.0, -0.0);
  return _mm_add_pd(_mm_mul_pd(x, ur), _mm_xor_pd(_mm_mul_pd(swapped, ui), negateLow));
}

void stagesBaseline(float* b, int n, int first, const double* tw) {
  for (int k = first; k < logFrame; k++) {
    const int half = 2 << k;  // floats between the two inputs of a butterfly
    const double* t = tw + half;
    for (int g = 0; g < 2 * n; g += 2 * half) {
      float* p1 = b + g;
      float* p2 = p1 + half;
      for (int m = 0; m < half; m += 2) {
        const __m128d a = load1(p1 + m);
        const __m128d c = cmul1(load1(p2 + m), _mm_load_pd(t + m));
        store1(p1 + m, _mm_add_pd(a, c));
        store1(p2 + m, _mm_sub_pd(a, c));
      }
    }
  }
}

// Places bin k of the one-sided spectrum where the permutation puts it and runs
// stage 0, whose partner of every bin is a zero of the upper half: with the
// twiddle (1, +0) the product is (+0, +0), so the pair becomes (x + 0, x - 0) =
// (x + 0, x). Adding +0 only turns -0 into +0.
void placeOneSidedBaseline(const float* lower, float* b, int n) {
  const __m128d zero = _mm_setzero_pd();
  const int quarter = n / 4;
  for (int q = 0; q < quarter; q++) {
    const int a = quarterReversal[q];
    const __m128d xa = load1(lower + 2 * a);
    const __m128d xb = load1(lower + 2 * (a + quarter));
    store1(b + 8 * q, _mm_add_pd(xa, zero));
    store1(b + 8 * q + 2, _mm_sub_pd(xa, zero));
    store1(b + 8 * q + 4, _mm_add_pd(xb, zero));
    store1(b + 8 * q + 6, _mm_sub_pd(xb, zero));
  }
}

// ---- AVX2 path: two complex values per vector, the first two stages fused ----

FFT_AVX2 inline __m256d load2(const float* p) { return _mm256_cvtps_pd(_mm_loadu_ps(p)); }

FFT_AVX2 inline void store2(float* p, __m256d v) { _mm_storeu_ps(p, _mm256_cvtpd_ps(v)); }

// Two complex products at once, with ur and ui each repeated over its pair:
// lanes (re ur - im ui, im ur + re ui). re ur is a product of two floats, exact in
// double, so fusing it with the addition rounds exactly as the plain sum does.
FFT_AVX2 inline __m256d cmul2(__m256d x, __m256d ur, __m256d ui) {
  return _mm256_fmaddsub_pd(x, ur, _mm256_mul_pd(_mm256_permute_pd(x, 5), ui));
}

// The twiddle pairs at w (re, im, re, im) as the repeated ur and ui of cmul2().
FFT_AVX2 inline __m256d twiddleRe(const double* w) { return _mm256_movedup_pd(_mm256_loadu_pd(w)); }
FFT_AVX2 inline __m256d twiddleIm(const double* w) {
  return _mm256_movedup_pd(_mm256_loadu_pd(w + 1));
}

FFT_AVX2 inline __m256d roundToFloat(__m256d v) { return _mm256_cvtps_pd(_mm256_cvtpd_ps(v)); }

// Stores the four complex results z0 .. z3 of groups g (low lanes) and g + n/8
// (high lanes) at dst + 8g and at dst + 8(g + n/8).
FFT_AVX2 inline void storeGroups(float* low, float* high, __m256d z0, __m256d z1, __m256d z2,
                                 __m256d z3) {
  const __m128d f0 = _mm_castps_pd(_mm256_cvtpd_ps(z0));
  const __m128d f1 = _mm_castps_pd(_mm256_cvtpd_ps(z1));
  const __m128d f2 = _mm_castps_pd(_mm256_cvtpd_ps(z2));
  const __m128d f3 = _mm_castps_pd(_mm256_cvtpd_ps(z3));
  _mm_storeu_pd(reinterpret_cast<double*>(low), _mm_unpacklo_pd(f0, f1));
  _mm_storeu_pd(reinterpret_cast<double*>(low + 4), _mm_unpacklo_pd(f2, f3));
  _mm_storeu_pd(reinterpret_cast<double*>(high), _mm_unpackhi_pd(f0, f1));
  _mm_storeu_pd(reinterpret_cast<double*>(high + 4), _mm_unpackhi_pd(f2, f3));
}

// The permutation fused with stages 0 and 1, from src into dst (n >= 8). Group g
// (complex indices 4g .. 4g + 3 after the permutation) takes its inputs from the
// bins a, a + n/2, a + n/4 and a + 3n/4 with a = quarterReversal[g]; for g < n/8, a
// is even and group g + n/8 takes the bins one above. So every load brings the
// same input of both groups, which run side by side in the two lanes.
FFT_AVX2 void firstStagesAvx2(const float* src, float* dst, int n, const double* tw) {
  const __m256d w0re = _mm256_set1_pd(tw[2]);
  const __m256d w0im = _mm256_set1_pd(tw[3]);
  const __m256d v0re = _mm256_set1_pd(tw[4]);
  const __m256d v0im = _mm256_set1_pd(tw[5]);
  const __m256d v1re = _mm256_set1_pd(tw[6]);
  const __m256d v1im = _mm256_set1_pd(tw[7]);
  const int eighth = n / 8;
  for (int g = 0; g < eighth; g++) {
    const float* s = src + 2 * quarterReversal[g];
    const __m256d x0 = load2(s);
    const __m256d x1 = load2(s + n);
    const __m256d x2 = load2(s + n / 2);
    const __m256d x3 = load2(s + n + n / 2);
    // Stage 0: (c0, c1) and (c2, c3), rounded to float as the stage stores them.
    const __m256d t1 = cmul2(x1, w0re, w0im);
    const __m256d t3 = cmul2(x3, w0re, w0im);
    const __m256d y0 = roundToFloat(_mm256_add_pd(x0, t1));
    const __m256d y1 = roundToFloat(_mm256_sub_pd(x0, t1));
    const __m256d y2 = roundToFloat(_mm256_add_pd(x2, t3));
    const __m256d y3 = roundToFloat(_mm256_sub_pd(x2, t3));
    // Stage 1: (c0, c2) with twiddle 0 and (c1, c3) with twiddle 1.
    const __m256d u2 = cmul2(y2, v0re, v0im);
    const __m256d u3 = cmul2(y3, v1re, v1im);
    storeGroups(dst + 8 * g, dst + 8 * (g + eighth), _mm256_add_pd(y0, u2), _mm256_add_pd(y1, u3),
                _mm256_sub_pd(y0, u2), _mm256_sub_pd(y1, u3));
  }
}

// Stage k (k >= 2, so that every half span holds at least four complex values)
// from src into dst, which may be the same buffer: groups outer, the contiguous
// twiddles inner.
FFT_AVX2 void stageAvx2(const float* src, float* dst, int n, int k, const double* tw) {
  const int half = 2 << k;  // floats between the two inputs of a butterfly
  const double* t = tw + half;
  for (int g = 0; g < 2 * n; g += 2 * half) {
    const float* s1 = src + g;
    const float* s2 = s1 + half;
    float* d1 = dst + g;
    float* d2 = d1 + half;
    for (int m = 0; m < half; m += 8) {
      const __m256d a0 = load2(s1 + m);
      const __m256d a1 = load2(s1 + m + 4);
      const __m256d c0 = cmul2(load2(s2 + m), twiddleRe(t + m), twiddleIm(t + m));
      const __m256d c1 = cmul2(load2(s2 + m + 4), twiddleRe(t + m + 4), twiddleIm(t + m + 4));
      store2(d1 + m, _mm256_add_pd(a0, c0));
      store2(d1 + m + 4, _mm256_add_pd(a1, c1));
      store2(d2 + m, _mm256_sub_pd(a0, c0));
      store2(d2 + m + 4, _mm256_sub_pd(a1, c1));
    }
  }
}

FFT_AVX2 void transformAvx2(float* b, int n, const double* tw) {
  alignas(32) float scratch[2 * fftMaxSize];
  firstStagesAvx2(b, scratch, n, tw);
  stageAvx2(scratch, b, n, 2, tw);
  for (int k = 3; k < logFrame; k++) stageAvx2(b, b, n, k, tw);
}

// The one-sided inverse's placement and stage 0 (see placeOneSidedBaseline())
// fused with stage 1, two groups side by side as in firstStagesAvx2() (n >= 8).
FFT_AVX2 void oneSidedAvx2(const float* lower, float* b, int n, const double* tw) {
  const __m256d v0re = _mm256_set1_pd(tw[4]);
  const __m256d v0im = _mm256_set1_pd(tw[5]);
  const __m256d v1re = _mm256_set1_pd(tw[6]);
  const __m256d v1im = _mm256_set1_pd(tw[7]);
  const __m256d zero = _mm256_setzero_pd();
  const int eighth = n / 8;
  for (int g = 0; g < eighth; g++) {
    const float* s = lower + 2 * quarterReversal[g];
    const __m256d xa = load2(s);
    const __m256d xb = load2(s + n / 2);
    const __m256d y0 = _mm256_add_pd(xa, zero);
    const __m256d y1 = _mm256_sub_pd(xa, zero);
    const __m256d u2 = cmul2(_mm256_add_pd(xb, zero), v0re, v0im);
    const __m256d u3 = cmul2(_mm256_sub_pd(xb, zero), v1re, v1im);
    storeGroups(b + 8 * g, b + 8 * (g + eighth), _mm256_add_pd(y0, u2), _mm256_add_pd(y1, u3),
                _mm256_sub_pd(y0, u2), _mm256_sub_pd(y1, u3));
  }
  for (int k = 2; k < logFrame; k++) stageAvx2(b, b, n, k, tw);
}

}  // namespace

void fft_init(int fftFrameSize) {
  if (activePath < 0) fft_select_path(FFT_PATH_BEST);
  buildSwapList(fftFrameSize);
  logFrame = static_cast<int>(std::log(static_cast<double>(fftFrameSize)) /
                                  static_cast<long double>(0.6931471805599453) +
                              0.5L);
  for (int k = 0; k < logFrame; k++) {
    float wr = 1.0f;
    float wi = 0.0f;
    if (k > 0) {
      const float theta = static_cast<float>(pi / static_cast<double>(1 << k));
      sincosf(theta, &wi, &wr);
    }
    buildStage(k, pur, pui, wr, wi);
    buildStage(k, pur_inv, pui_inv, wr, -wi);
  }
  buildFastTables(fftFrameSize);
}

void fft_process(float* fftBuffer, int sign, int /*channel*/) {
  const int n = doubleFrameSize / 2;
  if (activePath <= FFT_PATH_REFERENCE || n < 8) {
    transformReference(fftBuffer, sign);
    return;
  }
  const double* tw = fastTwiddles[sign == 1 ? 0 : 1];
  if (activePath == FFT_PATH_AVX2) {
    transformAvx2(fftBuffer, n, tw);
  } else {
    permute(fftBuffer);
    stagesBaseline(fftBuffer, n, 0, tw);
  }
}

void fft_inverse_one_sided(const float* lower, float* buffer, int channel) {
  const int n = doubleFrameSize / 2;
  if (activePath <= FFT_PATH_REFERENCE || n < 8) {
    std::memcpy(buffer, lower, sizeof(float) * n);
    std::memset(buffer + n, 0, sizeof(float) * n);
    fft_process(buffer, 1, channel);
    return;
  }
  const double* tw = fastTwiddles[0];
  if (activePath == FFT_PATH_AVX2) {
    oneSidedAvx2(lower, buffer, n, tw);
  } else {
    placeOneSidedBaseline(lower, buffer, n);
    stagesBaseline(buffer, n, 1, tw);
  }
}

bool fft_select_path(FftPath path) {
  if (path == FFT_PATH_BEST) path = fft_cpu_has_avx2() ? FFT_PATH_AVX2 : FFT_PATH_BASELINE;
  if (path < FFT_PATH_REFERENCE || path > FFT_PATH_AVX2) return false;
  if (path == FFT_PATH_AVX2 && !fft_cpu_has_avx2()) return false;
  activePath = path;
  return true;
}

FftPath fft_path() {
  if (activePath < 0) fft_select_path(FFT_PATH_BEST);
  return static_cast<FftPath>(activePath);
}

bool fft_cpu_has_avx2() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
}
