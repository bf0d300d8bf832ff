#include "fft.h"

#include <cmath>
#include <cstdint>
#include <cstring>

#include "cpu.h"
#include "fft_x86.h"
#include "testing.h"

// The set-up tables: the bit-reversal swap list and, per stage and direction, the
// twiddles as floats (the reference path's; the x86-64 paths widen them to doubles).
int doubleFrameSize = 0;
int logFrame = 0;
int bitSwapPos[fftMaxSize];
int bitSwapLen = 0;
float pur[fftMaxStages * fftStageStride];
float pui[fftMaxStages * fftStageStride];
float pur_inv[fftMaxStages * fftStageStride];
float pui_inv[fftMaxStages * fftStageStride];

namespace {

constexpr double pi = 3.141592653589793;

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

// ---- The baseline path's bit reversal (no vector instruction) ----

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

bool fastApplies(int n) { return activePath > FFT_PATH_REFERENCE && n >= 8; }
bool avx2Applies(int n) { return activePath == FFT_PATH_AVX2 && n >= 16; }

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
  if constexpr (HOPWARBLER_X86) fft_x86_init(fftFrameSize, pur, pui, pur_inv, pui_inv);
}

void fft_process(float* fftBuffer, int sign, int /*channel*/) {
  const int n = doubleFrameSize / 2;
  if constexpr (HOPWARBLER_X86) {
    if (avx2Applies(n)) {
      fft_x86_transform_avx2(fftBuffer, n, sign, FftOutput::All);
      return;
    }
    if (fastApplies(n)) {
      permute(fftBuffer);
      fft_x86_stages_baseline(fftBuffer, n, 0, sign);
      return;
    }
  }
  transformReference(fftBuffer, sign);
}

void fft_inverse_one_sided(const float* lower, float* buffer, int channel) {
  const int n = doubleFrameSize / 2;
  if constexpr (HOPWARBLER_X86) {
    if (avx2Applies(n)) {
      fft_x86_one_sided_avx2(lower, buffer, n, FftOutput::All);
      return;
    }
    if (fastApplies(n)) {
      fft_x86_place_one_sided_baseline(lower, buffer, n);
      fft_x86_stages_baseline(buffer, n, 1, 1);
      return;
    }
  }
  std::memcpy(buffer, lower, sizeof(float) * n);
  std::memset(buffer + n, 0, sizeof(float) * n);
  fft_process(buffer, 1, channel);
}

void fft_forward_lower(float* buffer, int channel) {
  if constexpr (HOPWARBLER_X86) {
    const int n = doubleFrameSize / 2;
    if (avx2Applies(n)) {
      fft_x86_transform_avx2(buffer, n, -1, FftOutput::LowerHalf);
      return;
    }
  }
  fft_process(buffer, -1, channel);
}

void fft_inverse_one_sided_real(const float* lower, float* buffer, int channel) {
  const int n = doubleFrameSize / 2;
  if constexpr (HOPWARBLER_X86) {
    if (avx2Applies(n)) {
      fft_x86_one_sided_avx2(lower, buffer, n, FftOutput::RealParts);
      return;
    }
  }
  fft_inverse_one_sided(lower, buffer, channel);
  for (int i = 1; i < n; i++) buffer[i] = buffer[2 * i];
}

bool fft_select_path(FftPath path) { return cpu_select_path(path, &activePath); }

FftPath fft_path() {
  if (activePath < 0) fft_select_path(FFT_PATH_BEST);
  return static_cast<FftPath>(activePath);
}
