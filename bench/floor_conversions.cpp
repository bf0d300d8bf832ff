// The part of an FFT's time that its rounding rule alone costs: every stage forms
// its butterflies in double and stores floats, so each stage after the first (which
// runs in float, its twiddle being 1) converts all 2N floats to double and back.
// This does only those conversions, as the library's AVX2 path issues them (four
// values per instruction, loads and stores of 128 bits), with no arithmetic, for
// log2 N - 1 stages.
//
// This file alone is compiled with -mavx2 (see CMakeLists.txt); callers check the
// CPU first.
#include <immintrin.h>

// buffer: 2n floats, converted in place; stages: how many passes.
void floor_conversions(float* buffer, int n, int stages) {
  for (int s = 0; s < stages; s++) {
    for (int i = 0; i < 2 * n; i += 8) {
      const __m256d a = _mm256_cvtps_pd(_mm_loadu_ps(buffer + i));
      const __m256d b = _mm256_cvtps_pd(_mm_loadu_ps(buffer + i + 4));
      _mm_storeu_ps(buffer + i, _mm256_cvtpd_ps(a));
      _mm_storeu_ps(buffer + i + 4, _mm256_cvtpd_ps(b));
    }
  }
}
