#include "vocoder.h"

#include <immintrin.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>

#include "eq.h"
#include "fft.h"
#include "spectrum.h"

// Stream geometry, shared by both channels.
int winSize = 0;
int winHalf = 0;
int stepIn = 0;
int stepOut = 0;
int laidStepOuts[2] = {0, 0};
int inIndexes[2] = {0, 0};

// Tables shared by both channels.
float* window = nullptr;
float* windowOut = nullptr;
float* omega = nullptr;

// Per-channel buffers; both channels exist even for a mono stream.
float* inputs[2] = {nullptr, nullptr};
float* waves[2] = {nullptr, nullptr};
float* fftBuffers[2] = {nullptr, nullptr};
float* mags[2] = {nullptr, nullptr};
float* phis[2] = {nullptr, nullptr};
float* phi0s[2] = {nullptr, nullptr};
float* psis[2] = {nullptr, nullptr};
int* peakBins[2] = {nullptr, nullptr};
int* valleyBins[2] = {nullptr, nullptr};

// glibc's vector maths (libmvec), double precision, two lanes, for the baseline
// path (glibc runs them on any x86-64). <math.h> declares them only under
// -ffast-math, which would also let the compiler reorder the arithmetic.
extern "C" {
__m128d _ZGVbN2vv_atan2(__m128d y, __m128d x);
__m128d _ZGVbN2v_sin(__m128d x);
__m128d _ZGVbN2v_cos(__m128d x);
}

#define VOCODER_AVX2 __attribute__((target("avx2,fma")))

namespace {

constexpr double pi = 3.141592653589793;
constexpr double twoPi = 6.283185307179586;

bool initialized = false;

// Where each channel's analysis window starts in its history buffer. The fast
// paths move the start by stepIn per frame and shift the history back to the
// front only when the buffer's end is reached, instead of on every frame.
int historyStarts[2] = {0, 0};

int activePath = -1;  // a VocoderPath other than VOCODER_PATH_BEST; -1 until chosen
bool fastPath() { return activePath == VOCODER_PATH_AVX2 || activePath == VOCODER_PATH_BASELINE; }

// Work space of the fast paths, 2 x winSize floats and some slack: the one-sided
// spectrum that synthesize() hands to the inverse transform in the first winSize,
// the per-bin rotation of phaseLock() or the equaliser gains of synthesize() in the
// rest. The slack takes the whole-vector stores that run past the last region.
constexpr int workSlack = 16;
float* work = nullptr;

// princarg() brings phases inside (-3 pi, 3 pi) back by at most one turn. For such
// a phase p, p / pi rounds to a value of at least 1 exactly when p >= turnOne, and
// of at least 3 exactly when p >= turnThree: the fast paths compare with these
// instead of dividing, and so subtract the same multiple of pi.
double turnOne = 0.0;
double turnThree = 0.0;

// The least double x with x / pi >= turns (the division rounds monotonically).
double leastWithTurns(double turns) {
  double x = turns * pi;
  while (x / pi >= turns) x = std::nextafter(x, 0.0);
  while (x / pi < turns) x = std::nextafter(x, 2.0 * x);
  return x;
}

void releaseBuffers() {
  delete[] window;
  delete[] windowOut;
  delete[] omega;
  for (int ch = 0; ch < 2; ch++) {
    delete[] phi0s[ch];
    delete[] psis[ch];
    delete[] inputs[ch];
    delete[] waves[ch];
    delete[] mags[ch];
    delete[] phis[ch];
    delete[] peakBins[ch];
    delete[] valleyBins[ch];
    delete[] fftBuffers[ch];
  }
  delete[] work;
}

void allocateBuffers() {
  window = new float[winSize];
  windowOut = new float[winSize];
  omega = new float[winSize];
  for (int ch = 0; ch < 2; ch++) {
    phi0s[ch] = new float[winSize];
    psis[ch] = new float[winSize];
    inputs[ch] = new float[vocoderBufferSize]();
    waves[ch] = new float[vocoderBufferSize]();
    mags[ch] = new float[winSize];
    phis[ch] = new float[winSize];
    peakBins[ch] = new int[winSize];
    valleyBins[ch] = new int[winSize];
    fftBuffers[ch] = new float[2 * winSize];
  }
  work = new float[2 * winSize + workSlack];
}

// Periodic Hann analysis window; the synthesis window adds the 1/N of the
// unscaled inverse transform and the 2 that restores a one-sided spectrum.
void initWindow() {
  for (int i = 0; i < winSize; i++) {
    window[i] = static_cast<float>(0.5 - 0.5 * std::cos(twoPi * i / winSize));
    windowOut[i] = static_cast<float>(2.0 * window[i] / winSize);
  }
}

// Phase that bin i's centre frequency advances over one analysis hop.
void initOmega() {
  for (int i = 0; i < winSize; i++) {
    omega[i] = static_cast<float>(twoPi * stepIn * i / winSize);
  }
}

}  // namespace

float princarg(double phase) {
  const double turns = phase / pi;
  if (!(turns > -2147483648.0 && turns < 2147483648.0)) {
    // Beyond the range a phase can reach from finite audio; NaN and infinities
    // restart from phase 0 rather than poisoning the bin's phase memory.
    if (!std::isfinite(phase)) return 0.0f;
    return static_cast<float>(std::remainder(phase, twoPi));
  }
  int qpd = static_cast<int>(turns);
  if (qpd >= 0) {
    qpd += qpd & 1;
  } else {
    qpd -= qpd & 1;
  }
  return static_cast<float>(phase - qpd * pi);
}

void resetPhases() {
  for (int ch = 0; ch < 2; ch++) {
    std::memset(phi0s[ch], 0, sizeof(float) * winSize);
    std::memset(psis[ch], 0, sizeof(float) * winSize);
  }
}

void vocoder_init(int pWinSize, int step) {
  if (activePath < 0) vocoder_select_path(VOCODER_PATH_BEST);
  if (turnOne == 0.0) {
    turnOne = leastWithTurns(1.0);
    turnThree = leastWithTurns(3.0);
  }
  winHalf = pWinSize / 2;
  winSize = pWinSize;
  stepIn = step;
  if (initialized) releaseBuffers();
  allocateBuffers();
  resetPhases();
  initialized = true;
  inIndexes[0] = inIndexes[1] = 0;
  laidStepOuts[0] = laidStepOuts[1] = 0;
  historyStarts[0] = historyStarts[1] = 0;
  fft_init(winSize);
  initWindow();
  initOmega();
}

int vocoder_frames_due(int inSize, int channel) {
  if (inSize <= 0) return 0;
  const int inStart = winSize - stepIn;
  const int inIndex = inIndexes[channel] == 0 ? inStart : inIndexes[channel];
  return (inIndex - inStart + inSize) / stepIn;
}

void vocoder_copy_channel(int from, int to) {
  if (!initialized || from == to) return;
  std::memcpy(inputs[to], inputs[from] + historyStarts[from], sizeof(float) * winSize);
  historyStarts[to] = 0;
  std::memcpy(waves[to], waves[from], sizeof(float) * winSize);
  std::memcpy(phi0s[to], phi0s[from], sizeof(float) * winSize);
  std::memcpy(psis[to], psis[from], sizeof(float) * winSize);
  inIndexes[to] = inIndexes[from];
  laidStepOuts[to] = laidStepOuts[from];
}

void vocoder_process(const float* inputBuffer, int inSize, float* outputBuffer, int pStepOut,
                     int channel) {
  stepOut = pStepOut;
  // Each frame's phases advance by the hop that really separates it from the
  // channel's previous frame: the stepOut by which the previous frame moved the
  // accumulator on (the call's own for the first frame of a stream). After a change
  // of stepOut the first new frame is therefore still turned by the old hop, and the
  // frames on both sides of the change stay in phase. The phase memory runs on
  // across changes; only vocoder_init() clears it.
  const int inStart = winSize - stepIn;
  int inIndex = inIndexes[channel] == 0 ? inStart : inIndexes[channel];
  float* history = inputs[channel];
  int start = historyStarts[channel];
  int outIndex = 0;
  for (int i = 0; i < inSize;) {
    const int n = std::min(winSize - inIndex, inSize - i);
    std::memcpy(history + start + inIndex, inputBuffer + i, sizeof(float) * n);
    i += n;
    inIndex += n;
    if (inIndex == winSize) {
      const int laid = laidStepOuts[channel] > 0 ? laidStepOuts[channel] : pStepOut;
      const float stretchFactor = static_cast<float>(static_cast<double>(laid) / stepIn);
      vocoder_process_frame(history + start, outputBuffer + outIndex, stretchFactor, channel);
      laidStepOuts[channel] = pStepOut;
      if (fastPath() && start + stepIn + winSize <= vocoderBufferSize) {
        start += stepIn;
      } else {
        std::memmove(history, history + start + stepIn, sizeof(float) * (winSize - stepIn));
        start = 0;
      }
      spectrum_push(outputBuffer + outIndex, stepOut, channel);
      outIndex += stepOut;
      inIndex = inStart;
    }
  }
  inIndexes[channel] = inIndex;
  historyStarts[channel] = start;
}

void applyWindow(const float* input, int channel) {
  float* buffer = fftBuffers[channel];
  for (int i = 0; i < winSize; i++) {
    buffer[2 * i] = input[i] * window[i];
    buffer[2 * i + 1] = 0.0f;
  }
}

namespace {

// ---- Reference path: plain loops and scalar libm ----

void binPassReference(const float* buffer, float* mag, float* phi, int from, int to) {
  for (int k = from; k < to; k++) {
    const double re = buffer[2 * k];
    const double im = buffer[2 * k + 1];
    mag[k] = static_cast<float>(std::sqrt(re * re + im * im));
    phi[k] = static_cast<float>(std::atan2(im, re));
  }
}

// Strictly above the two bins on each side; the bins left of bin 0 count as the
// smallest normal float, the two guard entries past winHalf hold it.
bool isPeak(const float* mag, int b) {
  const float c = mag[b];
  const float left1 = b >= 1 ? mag[b - 1] : FLT_MIN;
  const float left2 = b >= 2 ? mag[b - 2] : FLT_MIN;
  return c > left1 && c > mag[b + 1] && c > left2 && c > mag[b + 2];
}

// The first bin of least magnitude in from .. to - 1 (0 when none is below the
// largest float).
int valleyBetween(const float* mag, int from, int to) {
  float least = FLT_MAX;
  int leastBin = 0;
  for (int j = from; j < to; j++) {
    if (mag[j] < least) {
      least = mag[j];
      leastBin = j;
    }
  }
  return leastBin;
}

// valleyBetween() without a branch on the magnitudes.
int firstLeast(const float* mag, int from, int to) {
  float least = FLT_MAX;
  int leastBin = 0;
  for (int j = from; j < to; j++) {
    const float v = mag[j];
    const bool smaller = v < least;
    least = smaller ? v : least;
    leastBin = smaller ? j : leastBin;
  }
  return leastBin;
}

int findPeaksReference(const float* mag, int* peaks, int* valleys) {
  int nPeaks = 0;
  int previousPeak = 0;
  // bin0 .. bin4 hold the magnitudes of bins b - 2 .. b + 2.
  float bin0 = FLT_MIN;
  float bin1 = FLT_MIN;
  float bin2 = mag[0];
  float bin3 = mag[1];
  float bin4 = mag[2];
  int b = 0;
  while (b < winHalf) {
    if (bin2 > bin1 && bin2 > bin3 && bin2 > bin0 && bin2 > bin4) {
      peaks[nPeaks] = b;
      if (nPeaks > 0) valleys[nPeaks] = valleyBetween(mag, previousPeak, b);
      nPeaks++;
      previousPeak = b;
      b += 3;
      if (b >= winHalf) break;
      bin0 = mag[b - 2];
      bin1 = mag[b - 1];
      bin2 = mag[b];
      bin3 = mag[b + 1];
      bin4 = mag[b + 2];
    } else {
      b++;
      if (b >= winHalf) break;
      bin0 = bin1;
      bin1 = bin2;
      bin2 = bin3;
      bin3 = bin4;
      bin4 = mag[b + 2];
    }
  }
  return nPeaks;
}

// The target phase of peak p and the angle by which its region turns.
float peakRotation(const float* phi, const float* phi0, const float* psi, int peak,
                   float stretchFactor) {
  const float pomega = omega[peak];
  const float peakDeltaPhi =
      princarg(static_cast<double>(phi[peak]) - phi0[peak] - static_cast<double>(pomega));
  const float peakTargetPhase =
      princarg(psi[peak] +
               static_cast<double>(stretchFactor) * (static_cast<double>(pomega) + peakDeltaPhi));
  return princarg(static_cast<double>(peakTargetPhase) - phi[peak]);
}

void phaseLockReference(const float* phi, const float* phi0, float* psi, const int* peaks,
                        const int* valleys, int nPeaks, float stretchFactor) {
  for (int p = 0; p < nPeaks; p++) {
    const float rotation = peakRotation(phi, phi0, psi, peaks[p], stretchFactor);
    for (int bin = valleys[p]; bin < valleys[p + 1]; bin++) {
      psi[bin] = princarg(static_cast<double>(phi[bin]) + rotation);
    }
  }
}

void rebuildReference(const float* mag, const float* psi, bool eqEnabled, float* spectrum, int from,
                      int to) {
  for (int k = from; k < to; k++) {
    double m = mag[k];
    if (eqEnabled) m *= eq_gain(k);
    double s;
    double c;
    sincos(static_cast<double>(psi[k]), &s, &c);
    spectrum[2 * k] = static_cast<float>(m * c);
    spectrum[2 * k + 1] = static_cast<float>(m * s);
  }
}

// rebuildReference() for the fast paths, with the gains (or none) from an array.
void rebuildTail(const float* mag, const float* psi, const float* gains, float* spectrum, int from,
                 int to) {
  for (int k = from; k < to; k++) {
    double m = mag[k];
    if (gains != nullptr) m *= gains[k];
    double s;
    double c;
    sincos(static_cast<double>(psi[k]), &s, &c);
    spectrum[2 * k] = static_cast<float>(m * c);
    spectrum[2 * k + 1] = static_cast<float>(m * s);
  }
}

// Sample i of the overlap-add: the accumulator plus the real part of the inverse
// transform times the synthesis window, in double. The real parts lie every
// stride floats of buffer: 2 in the interleaved transform, 1 when only they are kept.
float overlapSample(const float* wave, const float* buffer, int i, int stride = 2) {
  return static_cast<float>(wave[i] + static_cast<double>(buffer[stride * i]) * windowOut[i]);
}

// ---- Baseline path: SSE2, two doubles per vector ----

inline void storeTwo(float* p, __m128d v) {
  _mm_storel_epi64(reinterpret_cast<__m128i*>(p), _mm_castps_si128(_mm_cvtpd_ps(v)));
}

inline __m128d loadTwo(const float* p) {
  return _mm_cvtps_pd(_mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p))));
}

void binPassBaseline(const float* buffer, float* mag, float* phi, int n) {
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
  binPassReference(buffer, mag, phi, k, n);
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
void peakRotationsBaseline(const float* phi, const float* phi0, const float* psi, const int* peak,
                           float stretchFactor, float* rotation) {
  const __m128d pomega = pairOf(omega[peak[0]], omega[peak[1]]);
  const __m128d phase = pairOf(phi[peak[0]], phi[peak[1]]);
  float delta[2];
  float target[2];
  if (!princargBaseline(_mm_sub_pd(_mm_sub_pd(phase, pairOf(phi0[peak[0]], phi0[peak[1]])), pomega),
                        delta) ||
      !princargBaseline(_mm_add_pd(pairOf(psi[peak[0]], psi[peak[1]]),
                                   _mm_mul_pd(_mm_set1_pd(stretchFactor),
                                              _mm_add_pd(pomega, pairOf(delta[0], delta[1])))),
                        target) ||
      !princargBaseline(_mm_sub_pd(pairOf(target[0], target[1]), phase), rotation)) {
    rotation[0] = peakRotation(phi, phi0, psi, peak[0], stretchFactor);
    rotation[1] = peakRotation(phi, phi0, psi, peak[1], stretchFactor);
  }
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

void rebuildBaseline(const float* mag, const float* psi, const float* gains, float* spectrum,
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
  rebuildTail(mag, psi, gains, spectrum, k, n);
}

// ---- AVX2 path: four doubles per vector ----

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

// When a bin is not covered by atan2Four() (a NaN or an infinity in the frame) the
// whole pass is done again by the reference, which gives the same magnitudes.
VOCODER_AVX2 void binPassAvx2(const float* buffer, float* mag, float* phi, int n) {
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
  if (_mm256_movemask_pd(uncovered) != 0) k = 0;
  binPassReference(buffer, mag, phi, k, n);
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
VOCODER_AVX2 void peakRotationsAvx2(const float* phi, const float* phi0, const float* psi,
                                    const int* peak, float stretchFactor, float* rotation) {
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
    return;
  }
  for (int j = 0; j < 4; j++) rotation[j] = peakRotation(phi, phi0, psi, peak[j], stretchFactor);
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

// An angle not covered by sinCosFour() has the whole pass done again by scalar libm.
VOCODER_AVX2 void rebuildAvx2(const float* mag, const float* psi, const float* gains,
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
  if (_mm256_movemask_pd(uncovered) != 0) k = 0;
  rebuildTail(mag, psi, gains, spectrum, k, n);
}

// Accumulates samples from .. to - 1 of the frame into the overlap-add buffer and
// stores them at dest[i - from]: the real parts (every stride floats of buffer,
// stride 1 or 2) times the synthesis window, added in double.
VOCODER_AVX2 int accumulateAvx2(const float* wave, const float* buffer, int stride, float* dest,
                                int from, int to) {
  int i = from;
  for (; i + 4 <= to; i += 4) {
    const __m128 re =
        stride == 1 ? _mm_loadu_ps(buffer + i)
                    : _mm_shuffle_ps(_mm_loadu_ps(buffer + 2 * i), _mm_loadu_ps(buffer + 2 * i + 4),
                                     _MM_SHUFFLE(2, 0, 2, 0));
    const __m256d product =
        _mm256_mul_pd(_mm256_cvtps_pd(re), _mm256_cvtps_pd(_mm_loadu_ps(windowOut + i)));
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

// The fast paths' phaseLock(): all rotations first, then one vectorised pass over
// the bins. That gives what the reference gives as long as the regions follow each
// other from bin 0 without overlap and each peak lies in its own region (so that no
// earlier region has rewritten a peak's synthesis phase before it is read); any
// other layout (NaN magnitudes can make one) takes the reference loop.
void phaseLockFast(const float* phi, const float* phi0, float* psi, const int* peaks,
                   const int* valleys, int nPeaks, float stretchFactor, bool avx2) {
  bool ordered = valleys[0] == 0;
  for (int p = 0; p < nPeaks && ordered; p++) {
    ordered = valleys[p] <= peaks[p] && valleys[p] <= valleys[p + 1];
  }
  if (!ordered || valleys[nPeaks] != winHalf) {
    phaseLockReference(phi, phi0, psi, peaks, valleys, nPeaks, stretchFactor);
    return;
  }
  float* peakRotations = work;
  int p = 0;
  if (avx2) {
    for (; p + 4 <= nPeaks; p += 4) {
      peakRotationsAvx2(phi, phi0, psi, peaks + p, stretchFactor, peakRotations + p);
    }
  }
  for (; p + 2 <= nPeaks; p += 2) {
    peakRotationsBaseline(phi, phi0, psi, peaks + p, stretchFactor, peakRotations + p);
  }
  for (; p < nPeaks; p++) {
    peakRotations[p] = peakRotation(phi, phi0, psi, peaks[p], stretchFactor);
  }
  float* rotation = work + winSize;
  for (p = 0; p < nPeaks; p++) fillRegion(rotation, valleys[p], valleys[p + 1], peakRotations[p]);
  if (avx2) {
    turnBinsAvx2(phi, rotation, psi, winHalf);
  } else {
    turnBinsBaseline(phi, rotation, psi, winHalf);
  }
}

// The fast paths' findPeaks(): every bin that passes the peak test, four at a time.
// The reference skips two bins after each peak, but neither could pass the test
// (both lie below the peak, which is a neighbour of each), so the peaks are the
// same.
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

int findPeaksFast(const float* mag, int* peaks, int* valleys, bool avx2) {
  int nPeaks = 0;
  int b = 0;
  for (; b < 2 && b < winHalf; b++) {
    peaks[nPeaks] = b;
    nPeaks += isPeak(mag, b);
  }
  // Each candidate is written and kept only when it passes, without a branch.
  for (; b + 4 <= winHalf; b += 4) {
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
  for (; b < winHalf; b++) {
    peaks[nPeaks] = b;
    nPeaks += isPeak(mag, b);
  }
  // The vector search reads past its region, at most to bin winHalf + 6 of the
  // winSize magnitudes.
  if (avx2 && winSize >= 16) {
    for (int p = 1; p < nPeaks; p++) valleys[p] = firstLeastAvx2(mag, peaks[p - 1], peaks[p]);
  } else {
    for (int p = 1; p < nPeaks; p++) valleys[p] = firstLeast(mag, peaks[p - 1], peaks[p]);
  }
  return nPeaks;
}

}  // namespace

namespace {

// Magnitudes and phases of bins 0 .. winHalf - 1 of the forward spectrum in the
// channel's buffer.
void binPass(int channel) {
  const float* buffer = fftBuffers[channel];
  switch (activePath) {
    case VOCODER_PATH_AVX2:
      binPassAvx2(buffer, mags[channel], phis[channel], winHalf);
      break;
    case VOCODER_PATH_BASELINE:
      binPassBaseline(buffer, mags[channel], phis[channel], winHalf);
      break;
    default:
      binPassReference(buffer, mags[channel], phis[channel], 0, winHalf);
  }
}

}  // namespace

void analyze(int channel) {
  fft_process(fftBuffers[channel], -1, channel);
  binPass(channel);
}

int findPeaks(int channel) {
  float* mag = mags[channel];
  mag[winHalf] = FLT_MIN;
  mag[winHalf + 1] = FLT_MIN;
  valleyBins[channel][0] = 0;
  if (activePath == VOCODER_PATH_AVX2 || activePath == VOCODER_PATH_BASELINE) {
    return findPeaksFast(mag, peakBins[channel], valleyBins[channel],
                         activePath == VOCODER_PATH_AVX2);
  }
  return findPeaksReference(mag, peakBins[channel], valleyBins[channel]);
}

void phaseLock(int channel, int nPeaks, float stretchFactor) {
  int* valleys = valleyBins[channel];
  valleys[nPeaks] = winHalf;
  if (activePath == VOCODER_PATH_AVX2 || activePath == VOCODER_PATH_BASELINE) {
    phaseLockFast(phis[channel], phi0s[channel], psis[channel], peakBins[channel], valleys, nPeaks,
                  stretchFactor, activePath == VOCODER_PATH_AVX2);
  } else {
    phaseLockReference(phis[channel], phi0s[channel], psis[channel], peakBins[channel], valleys,
                       nPeaks, stretchFactor);
  }
}

namespace {

// The fast paths' resynthesis: the one-sided spectrum, with the equaliser's gains
// when it is on, into the work space.
void rebuildFast(int channel) {
  const float* gains = nullptr;
  if (eq_is_enabled() != 0) {
    eq_copy_gains(work + winSize, winHalf);
    gains = work + winSize;
  }
  if (activePath == VOCODER_PATH_AVX2) {
    rebuildAvx2(mags[channel], psis[channel], gains, work, winHalf);
  } else {
    rebuildBaseline(mags[channel], psis[channel], gains, work, winHalf);
  }
}

// The fast paths' overlap-add from the real parts every stride floats of the
// channel's buffer, in one pass: the first stepOut sums go out, the others straight
// to their place after the shift (each is read before anything is stored over it).
void accumulateFast(float* output, int channel, int stride) {
  float* wave = waves[channel];
  const float* buffer = fftBuffers[channel];
  std::memcpy(phi0s[channel], phis[channel], sizeof(float) * (winSize / 2));
  const bool avx2 = activePath == VOCODER_PATH_AVX2;
  int i = avx2 ? accumulateAvx2(wave, buffer, stride, output, 0, stepOut) : 0;
  for (; i < stepOut; i++) output[i] = overlapSample(wave, buffer, i, stride);
  if (avx2) i = accumulateAvx2(wave, buffer, stride, wave, stepOut, winSize);
  for (; i < winSize; i++) wave[i - stepOut] = overlapSample(wave, buffer, i, stride);
  std::memset(wave + winSize - stepOut, 0, sizeof(float) * stepOut);
}

}  // namespace

void synthesize(int channel) {
  float* buffer = fftBuffers[channel];
  if (!fastPath()) {
    rebuildReference(mags[channel], psis[channel], eq_is_enabled() != 0, buffer, 0, winHalf);
    std::memset(buffer + winSize, 0, sizeof(float) * winSize);
    fft_process(buffer, 1, channel);
    return;
  }
  // The one-sided spectrum goes to the work space, and the inverse transform
  // places it, so that the upper half is never written as zeros.
  rebuildFast(channel);
  fft_inverse_one_sided(work, buffer, channel);
}

void overlapAdd(float* output, int channel) {
  if (fastPath()) {
    accumulateFast(output, channel, 2);
    return;
  }
  float* wave = waves[channel];
  const float* buffer = fftBuffers[channel];
  std::memcpy(phi0s[channel], phis[channel], sizeof(float) * (winSize / 2));
  for (int i = 0; i < winSize; i++) wave[i] = overlapSample(wave, buffer, i);
  std::memcpy(output, wave, sizeof(float) * stepOut);
  std::memmove(wave, wave + stepOut, sizeof(float) * (winSize - stepOut));
  std::memset(wave + winSize - stepOut, 0, sizeof(float) * stepOut);
}

namespace {

// The kernels over whole vectors, the last one padded with atan2(0, 1) and sincos(0),
// and the lanes they do not cover done by scalar libm, as the passes do.
VOCODER_AVX2 void atan2Lanes(const double* y, const double* x, double* angle, int n) {
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

VOCODER_AVX2 void sinCosLanes(const double* x, double* sine, double* cosine, int n) {
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

}  // namespace

bool vocoder_avx2_atan2(const double* y, const double* x, double* angle, int n) {
  if (!fft_cpu_has_avx2()) return false;
  atan2Lanes(y, x, angle, n);
  return true;
}

bool vocoder_avx2_sincos(const double* x, double* sine, double* cosine, int n) {
  if (!fft_cpu_has_avx2()) return false;
  sinCosLanes(x, sine, cosine, n);
  return true;
}

// On the fast paths the frame's transforms compute only what the frame reads:
// the lower half of the forward spectrum, and the real parts of the inverse,
// which the overlap-add then reads contiguously. The results are those of the
// steps one by one.
void vocoder_process_frame(const float* input, float* output, float stretchFactor, int channel) {
  applyWindow(input, channel);
  if (fastPath()) {
    fft_forward_lower(fftBuffers[channel], channel);
    binPass(channel);
  } else {
    analyze(channel);
  }
  const int nPeaks = findPeaks(channel);
  phaseLock(channel, nPeaks, stretchFactor);
  if (fastPath()) {
    rebuildFast(channel);
    fft_inverse_one_sided_real(work, fftBuffers[channel], channel);
    accumulateFast(output, channel, 1);
  } else {
    synthesize(channel);
    overlapAdd(output, channel);
  }
}

bool vocoder_select_path(VocoderPath path) {
  if (path == VOCODER_PATH_BEST) {
    path = fft_cpu_has_avx2() ? VOCODER_PATH_AVX2 : VOCODER_PATH_BASELINE;
  }
  if (path < VOCODER_PATH_REFERENCE || path > VOCODER_PATH_AVX2) return false;
  if (path == VOCODER_PATH_AVX2 && !fft_cpu_has_avx2()) return false;
  activePath = path;
  return true;
}

VocoderPath vocoder_path() {
  if (activePath < 0) vocoder_select_path(VOCODER_PATH_BEST);
  return static_cast<VocoderPath>(activePath);
}
