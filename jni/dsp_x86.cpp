// The driver's x86-64 kernels: the input conversions of the baseline path (SSE2) and
// the output stage of the AVX2 path. See dsp.h for the paths and dsp_x86.h for the
// calls.
//
// Compiled only for x86-64: elsewhere this file is empty.
#include "cpu.h"

#if HOPWARBLER_X86

#include <immintrin.h>

#include "dsp_x86.h"

namespace {

// The output stage's constants, four lanes each.
struct OutputStageAvx2 {
  __m256d norm, gain, k, turningPoint;
};

// limitAndQuantise() on four samples o: the same operations in the same order, so
// the same bits. The limited value and the rail are formed for every lane and
// blended in where the level calls for them; clamping to +-1 before the scaling
// gives -32767 and 32767 exactly, and NaN leaves as 0. *peak takes the lane-wise
// maximum of the levels, which a NaN level leaves unchanged as the scalar
// comparison does.
__attribute__((target("avx2"), always_inline)) inline __m128i quantiseAvx2(
    __m128 o, const OutputStageAvx2& st, __m256d* peak) {
  const __m256d one = _mm256_set1_pd(1.0);
  const __m256d minusOne = _mm256_set1_pd(-1.0);
  const __m256d threshold = _mm256_set1_pd(dspLimitThreshold);
  const __m256d magnitudeBits = _mm256_castsi256_pd(_mm256_set1_epi64x(0x7fffffffffffffff));
  __m256d v = _mm256_mul_pd(st.gain, _mm256_div_pd(_mm256_cvtps_pd(o), st.norm));
  const __m256d a = _mm256_and_pd(v, magnitudeBits);
  *peak = _mm256_max_pd(a, *peak);
  const __m256d curve =
      _mm256_mul_pd(v, _mm256_add_pd(one, _mm256_mul_pd(_mm256_sub_pd(a, threshold), st.k)));
  const __m256d rail =
      _mm256_blendv_pd(one, minusOne, _mm256_cmp_pd(v, _mm256_setzero_pd(), _CMP_LT_OQ));
  const __m256d limited =
      _mm256_blendv_pd(curve, rail, _mm256_cmp_pd(a, st.turningPoint, _CMP_GT_OQ));
  v = _mm256_blendv_pd(v, limited, _mm256_cmp_pd(a, threshold, _CMP_GE_OQ));
  const __m256d isNumber = _mm256_cmp_pd(v, v, _CMP_ORD_Q);
  v = _mm256_and_pd(_mm256_min_pd(_mm256_max_pd(v, minusOne), one), isNumber);
  return _mm256_cvttpd_epi32(_mm256_mul_pd(v, _mm256_set1_pd(32767.0)));
}

// quantiseFrames() from frame 0 in steps of four (stereo) or eight (mono) frames.
// Returns the number of frames done; *peak receives their peak.
__attribute__((target("avx2"))) int quantiseFramesAvx2(short* samples, const float* out_left,
                                                       const float* out_right, int count, bool mono,
                                                       const DspOutputStage& stage, double* peak) {
  const OutputStageAvx2 st{_mm256_set1_pd(stage.norm), _mm256_set1_pd(stage.gain),
                           _mm256_set1_pd(stage.k), _mm256_set1_pd(stage.turningPoint)};
  __m256d peaks = _mm256_setzero_pd();
  int i = 0;
  if (mono) {
    for (; i + 8 <= count; i += 8) {
      const __m128i first = quantiseAvx2(_mm_loadu_ps(out_left + i), st, &peaks);
      const __m128i second = quantiseAvx2(_mm_loadu_ps(out_left + i + 4), st, &peaks);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(samples + i), _mm_packs_epi32(first, second));
    }
  } else {
    for (; i + 4 <= count; i += 4) {
      const __m128i left = quantiseAvx2(_mm_loadu_ps(out_left + i), st, &peaks);
      const __m128i right = quantiseAvx2(_mm_loadu_ps(out_right + i), st, &peaks);
      // L0 R0 L1 R1 | L2 R2 L3 R3, each within +-32767, so the packing never saturates.
      const __m128i frames =
          _mm_packs_epi32(_mm_unpacklo_epi32(left, right), _mm_unpackhi_epi32(left, right));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(samples + 2 * i), frames);
    }
  }
  const __m128d halves = _mm_max_pd(_mm256_castpd256_pd128(peaks), _mm256_extractf128_pd(peaks, 1));
  *peak = _mm_cvtsd_f64(_mm_max_sd(halves, _mm_unpackhi_pd(halves, halves)));
  return i;
}

}  // namespace

int dsp_x86_quantise_avx2(short* samples, const float* left, const float* right, int count,
                          bool mono, const DspOutputStage& stage, double* peak) {
  return quantiseFramesAvx2(samples, left, right, count, mono, stage, peak);
}

int dsp_x86_convert_mono_sse2(const short* samples, float* out, int count) {
  const __m128 scale = _mm_set1_ps(dspInputScale);
  int i = 0;
  for (; i + 8 <= count; i += 8) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(samples + i));
    const __m128i low = _mm_srai_epi32(_mm_unpacklo_epi16(v, v), 16);
    const __m128i high = _mm_srai_epi32(_mm_unpackhi_epi16(v, v), 16);
    _mm_storeu_ps(out + i, _mm_mul_ps(_mm_cvtepi32_ps(low), scale));
    _mm_storeu_ps(out + i + 4, _mm_mul_ps(_mm_cvtepi32_ps(high), scale));
  }
  return i;
}

// Each 32-bit lane holds one frame, left in its low half.
int dsp_x86_convert_stereo_sse2(const short* samples, float* left, float* right, int frames) {
  const __m128 scale = _mm_set1_ps(dspInputScale);
  int i = 0;
  for (; i + 4 <= frames; i += 4) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(samples + 2 * i));
    const __m128i l = _mm_srai_epi32(_mm_slli_epi32(v, 16), 16);
    const __m128i r = _mm_srai_epi32(v, 16);
    _mm_storeu_ps(left + i, _mm_mul_ps(_mm_cvtepi32_ps(l), scale));
    _mm_storeu_ps(right + i, _mm_mul_ps(_mm_cvtepi32_ps(r), scale));
  }
  return i;
}

#endif  // HOPWARBLER_X86
