#include "vocoder.h"

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
double lastStretchFactor = 0;
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

namespace {

constexpr double pi = 3.141592653589793;
constexpr double twoPi = 6.283185307179586;

bool initialized = false;

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
  winHalf = pWinSize / 2;
  winSize = pWinSize;
  stepIn = step;
  if (initialized) releaseBuffers();
  allocateBuffers();
  resetPhases();
  initialized = true;
  inIndexes[0] = inIndexes[1] = 0;
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

void vocoder_process(const float* inputBuffer, int inSize, float* outputBuffer, int pStepOut,
                     int channel) {
  stepOut = pStepOut;
  const float stretchFactor = static_cast<float>(static_cast<double>(pStepOut) / stepIn);
  if (stretchFactor != lastStretchFactor) {
    lastStretchFactor = stretchFactor;
    resetPhases();
  }
  const int inStart = winSize - stepIn;
  int inIndex = inIndexes[channel] == 0 ? inStart : inIndexes[channel];
  float* history = inputs[channel];
  int outIndex = 0;
  for (int i = 0; i < inSize; i++) {
    history[inIndex++] = inputBuffer[i];
    if (inIndex == winSize) {
      vocoder_process_frame(history, outputBuffer + outIndex, stretchFactor, channel);
      std::memmove(history, history + stepIn, sizeof(float) * (winSize - stepIn));
      spectrum_push(outputBuffer + outIndex, stepOut, channel);
      outIndex += stepOut;
      inIndex = inStart;
    }
  }
  inIndexes[channel] = inIndex;
}

void vocoder_process_frame(const float* input, float* output, float stretchFactor, int channel) {
  applyWindow(input, channel);
  analyze(channel);
  const int nPeaks = findPeaks(channel);
  phaseLock(channel, nPeaks, stretchFactor);
  synthesize(channel);
  overlapAdd(output, channel);
}

void applyWindow(const float* input, int channel) {
  float* buffer = fftBuffers[channel];
  for (int i = 0; i < winSize; i++) {
    buffer[2 * i] = input[i] * window[i];
    buffer[2 * i + 1] = 0.0f;
  }
}

void analyze(int channel) {
  float* buffer = fftBuffers[channel];
  fft_process(buffer, -1, channel);
  float* mag = mags[channel];
  float* phi = phis[channel];
  for (int k = 0; k < winHalf; k++) {
    const double re = buffer[2 * k];
    const double im = buffer[2 * k + 1];
    mag[k] = static_cast<float>(std::sqrt(re * re + im * im));
    phi[k] = static_cast<float>(std::atan2(im, re));
  }
}

int findPeaks(int channel) {
  float* mag = mags[channel];
  int* peaks = peakBins[channel];
  int* valleys = valleyBins[channel];
  mag[winHalf] = FLT_MIN;
  mag[winHalf + 1] = FLT_MIN;
  valleys[0] = 0;
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
      if (nPeaks > 0) {
        float least = FLT_MAX;
        int leastBin = 0;
        for (int j = previousPeak; j < b; j++) {
          if (mag[j] < least) {
            least = mag[j];
            leastBin = j;
          }
        }
        valleys[nPeaks] = leastBin;
      }
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

void phaseLock(int channel, int nPeaks, float stretchFactor) {
  const float* phi = phis[channel];
  const float* phi0 = phi0s[channel];
  float* psi = psis[channel];
  const int* peaks = peakBins[channel];
  int* valleys = valleyBins[channel];
  valleys[nPeaks] = winHalf;
  for (int p = 0; p < nPeaks; p++) {
    const int peak = peaks[p];
    const float pomega = omega[peak];
    const float peakDeltaPhi =
        princarg(static_cast<double>(phi[peak]) - phi0[peak] - static_cast<double>(pomega));
    const float peakTargetPhase =
        princarg(psi[peak] +
                 static_cast<double>(stretchFactor) * (static_cast<double>(pomega) + peakDeltaPhi));
    const float peakPhaseRotation = princarg(static_cast<double>(peakTargetPhase) - phi[peak]);
    for (int bin = valleys[p]; bin < valleys[p + 1]; bin++) {
      psi[bin] = princarg(static_cast<double>(phi[bin]) + peakPhaseRotation);
    }
  }
}

void synthesize(int channel) {
  float* buffer = fftBuffers[channel];
  const float* mag = mags[channel];
  const float* psi = psis[channel];
  const bool eqEnabled = eq_is_enabled() != 0;
  for (int k = 0; k < winHalf; k++) {
    double m = mag[k];
    if (eqEnabled) m *= eq_gain(k);
    double s;
    double c;
    sincos(static_cast<double>(psi[k]), &s, &c);
    buffer[2 * k] = static_cast<float>(m * c);
    buffer[2 * k + 1] = static_cast<float>(m * s);
  }
  std::memset(buffer + winSize, 0, sizeof(float) * winSize);
  fft_process(buffer, 1, channel);
}

void overlapAdd(float* output, int channel) {
  float* wave = waves[channel];
  const float* buffer = fftBuffers[channel];
  for (int i = 0; i < winSize; i++) {
    wave[i] = static_cast<float>(wave[i] + static_cast<double>(buffer[2 * i]) * windowOut[i]);
  }
  std::memcpy(phi0s[channel], phis[channel], sizeof(float) * (winSize / 2));
  std::memcpy(output, wave, sizeof(float) * stepOut);
  std::memmove(wave, wave + stepOut, sizeof(float) * (winSize - stepOut));
  std::memset(wave + winSize - stepOut, 0, sizeof(float) * stepOut);
}
