#include "spectrum.h"

#include <math.h>

#include <array>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "cpu.h"
#include "spectrum_simd.h"
#include "testing.h"

namespace {

constexpr double twoPi = 6.283185307179586;
constexpr int bandA4 = 45;
constexpr int ringMask = spectrumHistorySize - 1;
static_assert((spectrumHistorySize & ringMask) == 0, "the history ring wraps by a mask");
static_assert(spectrumBandCount % 4 == 0, "the vector analysis takes the bands four at a time");

// A SpectrumPath other than SPECTRUM_PATH_BEST; -1 until chosen. Process-wide.
CodePath activePath(spectrumKernels);

int currentPath() { return activePath.get(); }

// The periodic Hann window of the analysis, 0.5 - 0.5 cos(2 pi i / 4096) in double:
// the same cosines as the reference path takes afresh at every analysis, once for
// every analyser.
const double* hannWindow() {
  static const std::array<double, spectrumHistorySize> window = [] {
    std::array<double, spectrumHistorySize> w{};
    for (int i = 0; i < spectrumHistorySize; ++i) w[i] = 0.5 - 0.5 * std::cos(twoPi * i / 4096.0);
    return w;
  }();
  return window.data();
}

void buildCoefficients(SpectrumCoefficients& c) {
  for (int b = 0; b < spectrumBandCount; ++b) {
    const int s = b - bandA4;
    const float ratio = static_cast<float>(std::pow(2.0, s / 12.0));
    const float f = 440.0f * ratio;
    const double omega = twoPi * f;
    for (int p = 0; p < spectrumHistorySize; ++p) {
      const float theta = static_cast<float>(p * omega / c.rate);
      float sn, cs;
      ::sincosf(theta, &sn, &cs);
      c.cos[b][p] = cs;
      c.sin[b][p] = -sn;
    }
    const double step = omega / c.rate;
    for (int j = 0; j < spectrumLeanBlock; ++j) {
      c.leanInner[b][0][j] = static_cast<float>(std::cos(j * step));
      c.leanInner[b][1][j] = static_cast<float>(-std::sin(j * step));
    }
    for (int a = 0; a < spectrumHistorySize / spectrumLeanBlock; ++a) {
      c.leanOuter[b][0][a] = static_cast<float>(std::cos(a * spectrumLeanBlock * step));
      c.leanOuter[b][1][a] = static_cast<float>(std::sin(a * spectrumLeanBlock * step));
    }
  }
}

// The tables for an analyser rate, built by the first call for that rate and kept
// for the life of the process: a stream at a rate seen before sets up without the
// 2 x 72 x 4096 sincosf. The mutex guards the cache alone, and only init() comes
// here; the tables themselves are only read once built.
const SpectrumCoefficients* coefficientsFor(int rate) {
  static std::mutex mutex;
  static std::vector<std::unique_ptr<const SpectrumCoefficients>> cache;
  std::lock_guard<std::mutex> lock(mutex);
  for (const auto& entry : cache) {
    if (entry->rate == rate) return entry.get();
  }
  auto built = std::make_unique<SpectrumCoefficients>();
  built->rate = rate;
  buildCoefficients(*built);
  cache.push_back(std::move(built));
  return cache.back().get();
}

void storeBand(float* bands, int bin, float value) {
  std::atomic_ref<float>(bands[bin]).store(value, std::memory_order_relaxed);
}

float loadBand(const float* bands, int bin) {
  return std::atomic_ref<float>(const_cast<float&>(bands[bin])).load(std::memory_order_relaxed);
}

// Windowed correlation magnitude of one band, scaled by 1 / 4096.
float resonate(const double* windowed, const float* sn, const float* cs) {
  double s = 0.0;
  double c = 0.0;
  for (int i = 0; i < spectrumHistorySize; ++i) {
    const double x = windowed[i];
    s += x * sn[i];
    c += x * cs[i];
  }
  return static_cast<float>(std::sqrt(s * s + c * c) * (1.0 / 4096.0));
}

float magnitude(double s, double c) {
  return static_cast<float>(std::sqrt(s * s + c * c) * (1.0 / 4096.0));
}

}  // namespace

void SpectrumAnalyser::init(int sampleFreq, int sampleChannels) {
  hann_ = hannWindow();
  sampleRate_ = sampleFreq / 4;
  analysisSamples_ = sampleRate_ / 8;
  channels_ = sampleChannels;
  if (coefficients_ == nullptr || coefficients_->rate != sampleRate_) {
    coefficients_ = coefficientsFor(sampleRate_);
  }
  std::memset(history_, 0, sizeof(history_));
  oldest_ = 0;
  tapSkip_ = 0;
  for (int b = 0; b < spectrumBandCount; ++b) storeBand(bands_, b, 0.0f);
}

void SpectrumAnalyser::updateBand(int b, float magnitudeNow) {
  const double smoothed = static_cast<double>(0.2f) * loadBand(bands_, b) + magnitudeNow;
  storeBand(bands_, b, static_cast<float>(smoothed));
}

// The vector paths' analysis: the windowed history converted once to double, then
// the bands as many at a time as the kernels take per pass over the history.
void SpectrumAnalyser::analyseFast(const SpectrumKernels& kernels) {
  const bool lean = lean_.load(std::memory_order_relaxed);
  if (lean) {
    for (int i = 0; i < spectrumHistorySize; ++i) {
      windowedLean_[i] = static_cast<float>(hann_[i] * history_[(oldest_ + i) & ringMask]);
    }
  } else {
    for (int i = 0; i < spectrumHistorySize; ++i) {
      windowed_[i] = static_cast<float>(hann_[i] * history_[(oldest_ + i) & ringMask]);
    }
  }
  const SpectrumCoefficients& k = *coefficients_;
  const int perStep = kernels.bands;
  for (int n = 0; n < spectrumBandCount; n += perStep) {
    const int b = descending_ ? spectrumBandCount - perStep - n : n;
    double s[4];
    double c[4];
    if (lean) {
      kernels.resonateLean(windowedLean_, &k.leanInner[b][0][0], &k.leanOuter[b][0][0], s, c);
    } else {
      kernels.resonate(windowed_, k.sin[b], k.cos[b], spectrumHistorySize, s, c);
    }
    for (int j = 0; j < perStep; ++j) updateBand(b + j, magnitude(s[j], c[j]));
  }
  descending_ = !descending_;
}

void SpectrumAnalyser::analyseReference() {
  // Periodic Hann window of length 4096: weight 0 at position 0, 1 at 2048.
  for (int i = 0; i < spectrumHistorySize; ++i) {
    const double w = 0.5 - 0.5 * std::cos(twoPi * i / 4096.0);
    windowed_[i] = static_cast<float>(w * history_[(oldest_ + i) & ringMask]);
  }
  const SpectrumCoefficients& k = *coefficients_;
  for (int b = 0; b < spectrumBandCount; ++b)
    updateBand(b, resonate(windowed_, k.sin[b], k.cos[b]));
}

void SpectrumAnalyser::analyse() {
  if (const SpectrumKernels* kernels = spectrum_simd_kernels(currentPath())) {
    analyseFast(*kernels);
  } else {
    analyseReference();
  }
}

void SpectrumAnalyser::push(const float* samples, int size, int channel) {
  if (!enabled() || coefficients_ == nullptr) return;
  if (size < 0) size = 0;
  int n = size / 4;
  if (n > spectrumHistorySize) n = spectrumHistorySize;

  if (channels_ == 1 || (channels_ == 2 && channel == 0)) {
    // The oldest n samples make way for the new ones.
    for (int i = 0; i < n; ++i) history_[(oldest_ + i) & ringMask] = samples[4 * i];
    oldest_ = (oldest_ + n) & ringMask;
    // The left channel of a stereo stream waits for the right one to be folded in.
    if (channels_ == 2) return;
  } else {
    // Average into the newest n samples.
    for (int i = 0; i < n; ++i) {
      float& newest = history_[(oldest_ - n + i) & ringMask];
      newest = (newest + samples[4 * i]) * 0.5f;
    }
  }

  samplesIn_ += size;
  if (samplesIn_ < analysisSamples_) return;
  samplesIn_ -= analysisSamples_;
  analyse();
}

void SpectrumAnalyser::tap(const float* left, const float* right, int frames) {
  if (!enabled() || coefficients_ == nullptr || left == nullptr) return;
  int done = 0;
  while (done < frames) {
    // The frames up to the next analysis, at least one (a count carried over from a
    // higher rate may already be past it).
    const long long due = analysisSamples_ - samplesIn_;
    int segment = frames - done;
    if (due < segment) segment = due < 1 ? 1 : static_cast<int>(due);
    const int end = done + segment;
    int f = done + tapSkip_;
    for (; f < end; f += 4) {
      history_[oldest_] = right != nullptr ? (left[f] + right[f]) * 0.5f : left[f];
      oldest_ = (oldest_ + 1) & ringMask;
    }
    tapSkip_ = f - end;
    samplesIn_ += segment;
    done = end;
    if (samplesIn_ >= analysisSamples_) {
      samplesIn_ -= analysisSamples_;
      analyse();
    }
  }
}

void SpectrumAnalyser::copy(float* dest, int count) const {
  const int n = count < spectrumBandCount ? count : spectrumBandCount;
  for (int i = 0; i < n; ++i) dest[i] = loadBand(bands_, i);
}

bool spectrum_select_path(SpectrumPath path) { return activePath.select(path); }

SpectrumPath spectrum_path() { return static_cast<SpectrumPath>(currentPath()); }

const char* spectrum_path_target() { return activePath.target(); }
