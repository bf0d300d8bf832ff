#include "spectrum.h"

#include <math.h>

#include <cmath>
#include <cstring>

#include "cpu.h"
#include "spectrum_x86.h"
#include "testing.h"

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
static_assert(spectrumBandCount % 4 == 0, "the AVX2 analysis takes the bands four at a time");

// The periodic Hann window of the analysis, 0.5 - 0.5 cos(2 pi i / 4096) in double:
// the same cosines as the reference path takes afresh at every analysis, once.
static double hannWindow[spectrumHistorySize];
static bool hannReady = false;
// The windowed history of the fast paths' analysis as doubles (the floats of
// spectrum_buffer, converted once instead of once per band).
alignas(32) static double windowed[spectrumHistorySize];

static int activePath = -1;  // a SpectrumPath other than SPECTRUM_PATH_BEST; -1 until chosen
// The fast paths run the bands in ascending and descending order by turns, so
// that an analysis starts on the coefficient rows that the previous one read last
// and that are most likely still in the cache (the two tables, 2.3 MB, are larger
// than a core's L2).
static bool descending = false;

static void buildWindow() {
  for (int i = 0; i < spectrumHistorySize; ++i) {
    hannWindow[i] = 0.5 - 0.5 * std::cos(twoPi * i / 4096.0);
  }
  hannReady = true;
}

static void storeBand(int bin, float value) {
  std::atomic_ref<float>(spectrum_values[bin]).store(value, std::memory_order_relaxed);
}

static float loadBand(int bin) {
  return std::atomic_ref<float>(spectrum_values[bin]).load(std::memory_order_relaxed);
}

void spectrum_init(int sampleFreq, int sampleChannels) {
  if (activePath < 0) spectrum_select_path(SPECTRUM_PATH_BEST);
  if (!hannReady) buildWindow();
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

static float magnitude(double s, double c) {
  return static_cast<float>(std::sqrt(s * s + c * c) * (1.0 / 4096.0));
}

static void updateBand(int b, float magnitudeNow) {
  const double smoothed = static_cast<double>(0.2f) * loadBand(b) + magnitudeNow;
  storeBand(b, static_cast<float>(smoothed));
}

// The fast paths' analysis (x86-64): the windowed history converted once to double,
// then the bands four at a time on the AVX2 path, two (one pair of calls) on the
// baseline.
static void analyseFast() {
  if (!hannReady) buildWindow();
  for (int i = 0; i < spectrumHistorySize; ++i) {
    spectrum_buffer[i] = static_cast<float>(hannWindow[i] * spectrum_samples[i]);
    windowed[i] = spectrum_buffer[i];
  }
  const int perStep = activePath == SPECTRUM_PATH_AVX2 ? 4 : 2;
  for (int n = 0; n < spectrumBandCount; n += perStep) {
    const int b = descending ? spectrumBandCount - perStep - n : n;
    double s[4];
    double c[4];
    if (activePath == SPECTRUM_PATH_AVX2) {
      spectrum_x86_resonate_quad_avx2(windowed, coeff_sin[b], coeff_cos[b], spectrumHistorySize, s,
                                      c);
    } else {
      for (int k = 0; k < 2; ++k) {
        spectrum_x86_resonate_baseline(windowed, coeff_sin[b + k], coeff_cos[b + k], &s[k], &c[k]);
      }
    }
    for (int k = 0; k < perStep; ++k) updateBand(b + k, magnitude(s[k], c[k]));
  }
  descending = !descending;
}

static void analyse() {
  if constexpr (HOPWARBLER_X86) {
    if (activePath == SPECTRUM_PATH_AVX2 || activePath == SPECTRUM_PATH_BASELINE) {
      analyseFast();
      return;
    }
  }
  // Periodic Hann window of length 4096: weight 0 at position 0, 1 at 2048.
  for (int i = 0; i < spectrumHistorySize; ++i) {
    const double w = 0.5 - 0.5 * std::cos(twoPi * i / 4096.0);
    spectrum_buffer[i] = static_cast<float>(w * spectrum_samples[i]);
  }
  for (int b = 0; b < spectrumBandCount; ++b) updateBand(b, resonate(b));
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

bool spectrum_select_path(SpectrumPath path) { return cpu_select_path(path, &activePath); }

SpectrumPath spectrum_path() {
  if (activePath < 0) spectrum_select_path(SPECTRUM_PATH_BEST);
  return static_cast<SpectrumPath>(activePath);
}
