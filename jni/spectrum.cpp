#include "spectrum.h"

#include <math.h>

#include <cmath>
#include <cstring>

std::atomic<int> spectrum_enabled{1};

float spectrum_samples[spectrumHistorySize];
float spectrum_buffer[2 * spectrumHistorySize];
float coeff_sin[spectrumBandCount][spectrumHistorySize];
float coeff_cos[spectrumBandCount][spectrumHistorySize];
alignas(std::atomic_ref<float>::required_alignment) float spectrum_values[spectrumBandCount];

static int channels = 0;
static int sampleRate = 0;       // the analyser's rate: the stream's rate / 4
static int analysisSamples = 0;  // stream samples between two analyses: sampleRate / 8
// Counted stream samples. A push may count more than one period and only one is
// taken off per push, so with long pushes the count keeps growing: 64 bits keep
// that from overflowing in any realistic run.
static long long samplesIn = 0;

static constexpr double twoPi = 6.283185307179586;
static constexpr int bandA4 = 45;

static void storeBand(int bin, float value) {
  std::atomic_ref<float>(spectrum_values[bin]).store(value, std::memory_order_relaxed);
}

static float loadBand(int bin) {
  return std::atomic_ref<float>(spectrum_values[bin]).load(std::memory_order_relaxed);
}

void spectrum_init(int sampleFreq, int sampleChannels) {
  sampleRate = sampleFreq / 4;
  analysisSamples = sampleRate / 8;
  channels = sampleChannels;
  std::memset(spectrum_samples, 0, sizeof(spectrum_samples));

  for (int b = 0; b < spectrumBandCount; ++b) {
    const int s = b - bandA4;
    const float ratio = static_cast<float>(std::pow(2.0, s / 12.0));
    const float f = 440.0f * ratio;
    storeBand(b, 0.0f);
    const double omega = twoPi * f;
    for (int p = 0; p < spectrumHistorySize; ++p) {
      const float theta = static_cast<float>(p * omega / sampleRate);
      float sn, cs;
      ::sincosf(theta, &sn, &cs);
      coeff_cos[b][p] = cs;
      coeff_sin[b][p] = -sn;
    }
  }
}

// Windowed correlation magnitude of one band, scaled by 1 / 4096.
static float resonate(int bin) {
  const float* cs = coeff_cos[bin];
  const float* sn = coeff_sin[bin];
  double s = 0.0;
  double c = 0.0;
  for (int i = 0; i < spectrumHistorySize; ++i) {
    const double x = spectrum_buffer[i];
    s += x * sn[i];
    c += x * cs[i];
  }
  return static_cast<float>(std::sqrt(s * s + c * c) * (1.0 / 4096.0));
}

static void analyse() {
  // Periodic Hann window of length 4096: weight 0 at position 0, 1 at 2048.
  for (int i = 0; i < spectrumHistorySize; ++i) {
    const double w = 0.5 - 0.5 * std::cos(twoPi * i / 4096.0);
    spectrum_buffer[i] = static_cast<float>(w * spectrum_samples[i]);
  }
  for (int b = 0; b < spectrumBandCount; ++b) {
    const double smoothed = static_cast<double>(0.2f) * loadBand(b) + resonate(b);
    storeBand(b, static_cast<float>(smoothed));
  }
}

void spectrum_push(const float* samples, int size, int channel) {
  if (spectrum_enabled.load(std::memory_order_relaxed) == 0) return;
  if (size < 0) size = 0;
  int n = size / 4;
  if (n > spectrumHistorySize) n = spectrumHistorySize;
  float* newest = spectrum_samples + (spectrumHistorySize - n);

  if (channels == 1 || (channels == 2 && channel == 0)) {
    // Shift the oldest n samples out and append the new ones.
    std::memmove(spectrum_samples, spectrum_samples + n, sizeof(float) * (spectrumHistorySize - n));
    for (int i = 0; i < n; ++i) newest[i] = samples[4 * i];
    // The left channel of a stereo stream waits for the right one to be folded in.
    if (channels == 2) return;
  } else {
    for (int i = 0; i < n; ++i) newest[i] = (newest[i] + samples[4 * i]) * 0.5f;
  }

  samplesIn += size;
  if (samplesIn < analysisSamples) return;
  samplesIn -= analysisSamples;
  analyse();
}

int spectrum_size() { return spectrumBandCount; }

float* spectrum_get() { return spectrum_values; }

void spectrum_copy(float* dest, int count) {
  const int n = count < spectrumBandCount ? count : spectrumBandCount;
  for (int i = 0; i < n; ++i) dest[i] = loadBand(i);
}

long long spectrum_counted() { return samplesIn; }
