// The analyser's x86-64 kernels: the correlation of the windowed history with the
// band coefficients, on the baseline path (SSE2) and the AVX2 path. See spectrum.h.
//
// Compiled only for x86-64: elsewhere this file is empty.
#include "cpu.h"

#if HOPWARBLER_X86

#include <immintrin.h>

#include "spectrum.h"
#include "spectrum_x86.h"

// The same products (each exact in double, as a product of two floats), summed in
// eight partial sums of two lanes per table.
void spectrum_x86_resonate_baseline(const double* windowed, const float* sn, const float* cs,
                                    double* sSum, double* cSum) {
  __m128d s[4], c[4];
  for (int j = 0; j < 4; ++j) s[j] = c[j] = _mm_setzero_pd();
  for (int i = 0; i < spectrumHistorySize; i += 8) {
    for (int j = 0; j < 4; ++j) {
      const __m128d x = _mm_load_pd(windowed + i + 2 * j);
      const __m128d ws = _mm_cvtps_pd(
          _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(sn + i + 2 * j))));
      const __m128d wc = _mm_cvtps_pd(
          _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(cs + i + 2 * j))));
      s[j] = _mm_add_pd(s[j], _mm_mul_pd(x, ws));
      c[j] = _mm_add_pd(c[j], _mm_mul_pd(x, wc));
    }
  }
  const __m128d sumS = _mm_add_pd(_mm_add_pd(s[0], s[1]), _mm_add_pd(s[2], s[3]));
  const __m128d sumC = _mm_add_pd(_mm_add_pd(c[0], c[1]), _mm_add_pd(c[2], c[3]));
  double ls[2], lc[2];
  _mm_storeu_pd(ls, sumS);
  _mm_storeu_pd(lc, sumC);
  *sSum = ls[0] + ls[1];
  *cSum = lc[0] + lc[1];
}

// Each history vector is loaded once for eight table streams, which the hardware
// prefetcher follows in order, and eight independent accumulators of four lanes
// cover the latency of the multiply-add. The pass is bound by the float-to-double
// conversions of the coefficients (about 0.7 cycles per four) and by reading the
// tables from L2 and L3; two bands per pass cost about a fifth more, six or more per
// pass thrash the L1 sets (the rows lie 16 KiB apart), and 512-bit vectors gain
// nothing on a core that executes them as two halves. The fused multiply-add rounds
// as the separate product and sum do, since the product of two floats is exact in
// double.
__attribute__((target("avx2,fma"))) void spectrum_x86_resonate_quad_avx2(
    const double* windowed, const float* sn, const float* cs, int row, double* sSum, double* cSum) {
  __m256d acc[8];  // per band k: acc[2k] the sine sum, acc[2k + 1] the cosine sum
  for (__m256d& a : acc) a = _mm256_setzero_pd();
  for (int i = 0; i < spectrumHistorySize; i += 8) {
    for (int j = i; j < i + 8; j += 4) {
      const __m256d x = _mm256_load_pd(windowed + j);
      for (int k = 0; k < 4; ++k) {
        acc[2 * k] =
            _mm256_fmadd_pd(x, _mm256_cvtps_pd(_mm_loadu_ps(sn + k * row + j)), acc[2 * k]);
        acc[2 * k + 1] =
            _mm256_fmadd_pd(x, _mm256_cvtps_pd(_mm_loadu_ps(cs + k * row + j)), acc[2 * k + 1]);
      }
    }
  }
  for (int k = 0; k < 4; ++k) {
    double s[4], c[4];
    _mm256_storeu_pd(s, acc[2 * k]);
    _mm256_storeu_pd(c, acc[2 * k + 1]);
    sSum[k] = (s[0] + s[1]) + (s[2] + s[3]);
    cSum[k] = (c[0] + c[1]) + (c[2] + c[3]);
  }
}

#endif  // HOPWARBLER_X86
