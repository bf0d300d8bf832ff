// The FFT's hand-written x86-64 kernels: the AVX2 path. See fft.h for what the paths
// compute and fft_x86.h for how fft.cpp calls them.
//
// Compiled only for x86-64: elsewhere this file is empty.
#include "cpu.h"

#if HOPWARBLER_X86

#include <immintrin.h>

#include <utility>

#include "fft.h"
#include "fft_simd.h"
#include "fft_x86.h"

#define FFT_AVX2 __attribute__((target("avx2,fma")))

namespace {

// ---- AVX2 path: a self-sorting (Stockham) order over split blocks ----
//
// The butterflies are the reference's, operand for operand; only where their
// results are kept differs. After stage k the value that the reference holds at
// position g 2^(k+1) + r is bin r (r < 2^(k+1)) of the sub-transform of the inputs
// x[c + j N/2^(k+1)], with c the bit reversal of g; here it is kept at row r,
// column c, columns contiguous. Stage k then pairs (r, c) with (r, c + C), C =
// N/2^(k+1), under the one twiddle of row r, writes rows r and r + 2^k of C
// columns, and needs no bit-reversal pass: stage 0 reads the input in its natural
// order and the last stage writes the bins in theirs.
//
// Between stages, four columns of a row are kept as a split block of eight floats,
// the four real parts then the four imaginary parts, so that each converts to two
// vectors of doubles without shuffles. The last two stages, whose rows are too short
// for that, run over four rows per vector instead: the first of them transposes.

FFT_AVX2 inline __m256d widen(const float* p) { return _mm256_cvtps_pd(_mm_loadu_ps(p)); }
FFT_AVX2 inline __m256d widenLow(__m256 v) { return _mm256_cvtps_pd(_mm256_castps256_ps128(v)); }
FFT_AVX2 inline __m256d widenHigh(__m256 v) { return _mm256_cvtps_pd(_mm256_extractf128_ps(v, 1)); }
// a + t and a - t as fused operations on t times one, which round exactly as the
// plain sum and difference do: they run on the multiply units, leaving the others
// to the float/double conversions, which bound these loops.
FFT_AVX2 inline __m256d plus(__m256d a, __m256d t) {
  return _mm256_fmadd_pd(t, _mm256_set1_pd(1.0), a);
}
FFT_AVX2 inline __m256d minus(__m256d a, __m256d t) {
  return _mm256_fnmadd_pd(t, _mm256_set1_pd(1.0), a);
}

// (re, im) times (ur, ui) for four split values: (re ur - im ui, re ui + im ur).
// Each product is of two floats, exact in double, so fusing one of them into the
// sum rounds exactly as the separate operations do.
FFT_AVX2 inline void cmul4(__m256d re, __m256d im, __m256d ur, __m256d ui, __m256d* tr,
                           __m256d* ti) {
  *tr = _mm256_fmsub_pd(re, ur, _mm256_mul_pd(im, ui));
  *ti = _mm256_fmadd_pd(re, ui, _mm256_mul_pd(im, ur));
}

// Stage 0 from interleaved input (n >= 8): rows 0 and 1 take the same positions
// as the inputs x[c] and x[c + n/2], so src and dst may be the same buffer. The
// twiddle is (1, 0): the products are exact in float as in double, and the sum of
// two floats rounds to float the same way directly as through double, so this
// stage runs in float, eight lanes wide. The products by one and zero stay: they
// set the signs of zeros as the reference's do.
FFT_AVX2 void firstStageAvx2(const float* src, float* dst, int n) {
  const __m256i toSplit = _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7);
  const __m256 one = _mm256_set1_ps(1.0f);
  // tr = re 1 - im 0 is formed as re 1 + im (-0); ti = im 1 + re 0.
  const __m256 zero = _mm256_setr_ps(-0.0f, -0.0f, -0.0f, -0.0f, 0.0f, 0.0f, 0.0f, 0.0f);
  for (int c = 0; c < n; c += 8) {
    const __m256 a = _mm256_permutevar8x32_ps(_mm256_loadu_ps(src + c), toSplit);
    const __m256 b = _mm256_permutevar8x32_ps(_mm256_loadu_ps(src + n + c), toSplit);
    const __m256 swapped = _mm256_permute2f128_ps(b, b, 1);
    const __m256 t = _mm256_add_ps(_mm256_mul_ps(b, one), _mm256_mul_ps(swapped, zero));
    _mm256_storeu_ps(dst + c, _mm256_add_ps(a, t));
    _mm256_storeu_ps(dst + n + c, _mm256_sub_ps(a, t));
  }
}

// Stage 0 of the inverse of a one-sided spectrum: every partner is a zero of the
// upper half, whose product with (1, 0) is (+0, +0), so row 0 is lower + 0 (which
// only turns -0 into +0) and row 1 is lower itself.
FFT_AVX2 void firstStageOneSidedAvx2(const float* lower, float* dst, int n) {
  const __m256i toSplit = _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7);
  const __m256 zero = _mm256_setzero_ps();
  for (int c = 0; c < n; c += 8) {
    const __m256 a = _mm256_permutevar8x32_ps(_mm256_loadu_ps(lower + c), toSplit);
    _mm256_storeu_ps(dst + c, _mm256_add_ps(a, zero));
    _mm256_storeu_ps(dst + n + c, _mm256_sub_ps(a, zero));
  }
}

// Stage k for 1 <= k <= stages - 3 (rows of at least four columns), src to dst.
FFT_AVX2 void middleStageAvx2(const float* src, float* dst, int n, int k, const double* twRe,
                              const double* twIm) {
  const int rows = 1 << k;
  const int cols = n >> (k + 1);  // C, columns of each output row
  for (int r = 0; r < rows; r++) {
    const __m256d ur = _mm256_set1_pd(twRe[rows + r]);
    const __m256d ui = _mm256_set1_pd(twIm[rows + r]);
    const float* a = src + 4 * r * cols;
    const float* b = a + 2 * cols;
    float* low = dst + 2 * r * cols;
    float* high = dst + 2 * (r + rows) * cols;
    for (int c = 0; c < 2 * cols; c += 8) {
      const __m256d are = widen(a + c);
      const __m256d aim = widen(a + c + 4);
      __m256d tr;
      __m256d ti;
      cmul4(widen(b + c), widen(b + c + 4), ur, ui, &tr, &ti);
      _mm_storeu_ps(low + c, _mm256_cvtpd_ps(plus(are, tr)));
      _mm_storeu_ps(low + c + 4, _mm256_cvtpd_ps(plus(aim, ti)));
      _mm_storeu_ps(high + c, _mm256_cvtpd_ps(minus(are, tr)));
      _mm_storeu_ps(high + c + 4, _mm256_cvtpd_ps(minus(aim, ti)));
    }
  }
}

// Stage logFrame - 2 (n >= 16), whose input rows hold four columns. Four rows at a
// time are transposed so that each vector holds one column of four rows; the
// results are kept the same way, for rows of four: row block q (rows 4q .. 4q + 3
// of the n/2 output rows) as sixteen floats, the real then the imaginary parts of
// column 0, then those of column 1.
FFT_AVX2 void transposingStageAvx2(const float* src, float* dst, int n, const double* twRe,
                                   const double* twIm) {
  const int quarter = n / 4;  // input rows, and the first twiddle of this stage
  for (int r = 0; r < quarter; r += 4) {
    const float* s = src + 8 * r;
    const __m256 q0 = _mm256_loadu_ps(s);
    const __m256 q1 = _mm256_loadu_ps(s + 8);
    const __m256 q2 = _mm256_loadu_ps(s + 16);
    const __m256 q3 = _mm256_loadu_ps(s + 24);
    // The shuffles work within each 128-bit half, so they transpose the real parts
    // (low halves) and the imaginary parts (high halves) at once.
    const __m256 t0 = _mm256_unpacklo_ps(q0, q1);
    const __m256 t1 = _mm256_unpackhi_ps(q0, q1);
    const __m256 t2 = _mm256_unpacklo_ps(q2, q3);
    const __m256 t3 = _mm256_unpackhi_ps(q2, q3);
    const __m256 x0 = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(1, 0, 1, 0));
    const __m256 x1 = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(3, 2, 3, 2));
    const __m256 x2 = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(1, 0, 1, 0));
    const __m256 x3 = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(3, 2, 3, 2));
    // Columns 0 and 2, and 1 and 3, under the twiddle of each row.
    const __m256d ur = _mm256_loadu_pd(twRe + quarter + r);
    const __m256d ui = _mm256_loadu_pd(twIm + quarter + r);
    __m256d tr0;
    __m256d ti0;
    __m256d tr1;
    __m256d ti1;
    cmul4(widenLow(x2), widenHigh(x2), ur, ui, &tr0, &ti0);
    cmul4(widenLow(x3), widenHigh(x3), ur, ui, &tr1, &ti1);
    const __m256d x0re = widenLow(x0);
    const __m256d x0im = widenHigh(x0);
    const __m256d x1re = widenLow(x1);
    const __m256d x1im = widenHigh(x1);
    float* low = dst + 4 * r;               // rows r .. r + 3
    float* high = dst + 4 * (r + quarter);  // rows r + n/4 .. r + n/4 + 3
    _mm_storeu_ps(low, _mm256_cvtpd_ps(plus(x0re, tr0)));
    _mm_storeu_ps(low + 4, _mm256_cvtpd_ps(plus(x0im, ti0)));
    _mm_storeu_ps(low + 8, _mm256_cvtpd_ps(plus(x1re, tr1)));
    _mm_storeu_ps(low + 12, _mm256_cvtpd_ps(plus(x1im, ti1)));
    _mm_storeu_ps(high, _mm256_cvtpd_ps(minus(x0re, tr0)));
    _mm_storeu_ps(high + 4, _mm256_cvtpd_ps(minus(x0im, ti0)));
    _mm_storeu_ps(high + 8, _mm256_cvtpd_ps(minus(x1re, tr1)));
    _mm_storeu_ps(high + 12, _mm256_cvtpd_ps(minus(x1im, ti1)));
  }
}

// Bins b .. b + 3 from their split real and imaginary parts, stored interleaved.
FFT_AVX2 inline void storeBins(float* dst, __m256d re, __m256d im) {
  const __m128 r = _mm256_cvtpd_ps(re);
  const __m128 i = _mm256_cvtpd_ps(im);
  _mm_storeu_ps(dst, _mm_unpacklo_ps(r, i));
  _mm_storeu_ps(dst + 4, _mm_unpackhi_ps(r, i));
}

// The last stage, from the row blocks of transposingStageAvx2(): the two columns of
// rows r .. r + 3 give the bins r .. r + 3 and r + n/2 .. r + n/2 + 3.
FFT_AVX2 void finalStageAvx2(const float* src, float* dst, int n, const double* twRe,
                             const double* twIm, FftOutput output) {
  const int half = n / 2;  // rows, and the first twiddle of this stage
  for (int r = 0; r < half; r += 4) {
    const float* s = src + 4 * r;
    const __m256d ur = _mm256_loadu_pd(twRe + half + r);
    const __m256d ui = _mm256_loadu_pd(twIm + half + r);
    const __m256d are = widen(s);
    if (output == FftOutput::RealParts) {
      const __m256d tr = _mm256_fmsub_pd(widen(s + 8), ur, _mm256_mul_pd(widen(s + 12), ui));
      _mm_storeu_ps(dst + r, _mm256_cvtpd_ps(plus(are, tr)));
      _mm_storeu_ps(dst + r + half, _mm256_cvtpd_ps(minus(are, tr)));
      continue;
    }
    __m256d tr;
    __m256d ti;
    cmul4(widen(s + 8), widen(s + 12), ur, ui, &tr, &ti);
    const __m256d aim = widen(s + 4);
    storeBins(dst + 2 * r, plus(are, tr), plus(aim, ti));
    if (output == FftOutput::All) {
      storeBins(dst + 2 * (r + half), minus(are, tr), minus(aim, ti));
    }
  }
}

// The number of passes after stage 0, all out of place: the middle stages, then the
// transposing and the final stage.
int laterPasses(const FftFastTables& t) { return t.stages - 1; }

// The stages after the first. Stage 0 has left its result in b when the number of
// later passes is even, in scratch otherwise, so that the passes, alternating
// between the two buffers, end in b.
FFT_AVX2 void laterStagesAvx2(const FftFastTables& t, float* b, float* scratch, int n,
                              int direction, FftOutput output) {
  const double* twRe = t.splitRe[direction];
  const double* twIm = t.splitIm[direction];
  float* from = laterPasses(t) % 2 == 0 ? b : scratch;
  float* to = from == b ? scratch : b;
  for (int k = 1; k <= t.stages - 3; k++) {
    middleStageAvx2(from, to, n, k, twRe, twIm);
    std::swap(from, to);
  }
  transposingStageAvx2(from, to, n, twRe, twIm);
  finalStageAvx2(to, from, n, twRe, twIm, output);
}

FFT_AVX2 void transformAvx2(const FftFastTables& t, float* b, float* scratch, int n, int direction,
                            FftOutput output) {
  firstStageAvx2(b, laterPasses(t) % 2 == 0 ? b : scratch, n);
  laterStagesAvx2(t, b, scratch, n, direction, output);
}

FFT_AVX2 void oneSidedAvx2(const FftFastTables& t, const float* lower, float* b, float* scratch,
                           int n, FftOutput output) {
  firstStageOneSidedAvx2(lower, laterPasses(t) % 2 == 0 ? b : scratch, n);
  laterStagesAvx2(t, b, scratch, n, 0, output);
}

}  // namespace

void fft_x86_transform_avx2(const FftFastTables& t, float* b, float* scratch, int n, int sign,
                            FftOutput output) {
  transformAvx2(t, b, scratch, n, sign == 1 ? 0 : 1, output);
}

void fft_x86_one_sided_avx2(const FftFastTables& t, const float* lower, float* b, float* scratch,
                            int n, FftOutput output) {
  oneSidedAvx2(t, lower, b, scratch, n, output);
}

#endif  // HOPWARBLER_X86
