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
      c.leanInner[j][0][b] = static_cast<float>(std::cos(j * step));
      c.leanInner[j][1][b] = static_cast<float>(-std::sin(j * step));
    }
    for (int a = 0; a < spectrumHistorySize / spectrumLeanBlock; ++a) {
      c.leanTurn[a][0][b] = static_cast<float>(std::cos(a * spectrumLeanBlock * step));
      c.leanTurn[a][1][b] = static_cast<float>(-std::sin(a * spectrumLeanBlock * step));
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

// The lean analysis' block-local shapes of the window, cos(theta c) - 1 and
// sin(theta c) for c < 64 (theta = 2 pi / 4096), from the window's own table:
// hann(c) = 0.5 - 0.5 cos(theta c) and hann(c + 1024) = 0.5 + 0.5 sin(theta c).
struct LeanShapes {
  float cosMinusOne[spectrumLeanBlock];
  float sine[spectrumLeanBlock];
};

const LeanShapes& leanShapes() {
  static const LeanShapes shapes = [] {
    const double* hann = hannWindow();
    LeanShapes s{};
    for (int c = 0; c < spectrumLeanBlock; ++c) {
      s.cosMinusOne[c] = static_cast<float>(-2.0 * hann[c]);
      s.sine[c] = static_cast<float>(2.0 * hann[c + spectrumHistorySize / 4] - 1.0);
    }
    return s;
  }();
  return shapes;
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
  leanShapes();
  sampleRate_ = sampleFreq / 4;
  analysisSamples_ = sampleRate_ / 8;
  channels_ = sampleChannels;
  if (coefficients_ == nullptr || coefficients_->rate != sampleRate_) {
    coefficients_ = coefficientsFor(sampleRate_);
  }
  std::memset(history_, 0, sizeof(history_));
  oldest_ = 0;
  taken_ = spectrumHistorySize;
  ringNext_ = 0;
  tapSkip_ = 0;
  for (int b = 0; b < spectrumBandCount; ++b) storeBand(bands_, b, 0.0f);
}

void SpectrumAnalyser::updateBand(int b, float magnitudeNow) {
  const double smoothed = static_cast<double>(0.2f) * loadBand(bands_, b) + magnitudeNow;
  storeBand(bands_, b, static_cast<float>(smoothed));
}

// The vector paths' plain analysis: the windowed history converted once to double,
// then the bands as many at a time as the kernels take per pass over the history.
void SpectrumAnalyser::analyseFast(const SpectrumKernels& kernels) {
  for (int i = 0; i < spectrumHistorySize; ++i) {
    windowed_[i] = static_cast<float>(hann_[i] * history_[(oldest_ + i) & ringMask]);
  }
  const SpectrumCoefficients& k = *coefficients_;
  const int perStep = kernels.bands;
  for (int n = 0; n < spectrumBandCount; n += perStep) {
    const int b = descending_ ? spectrumBandCount - perStep - n : n;
    double s[4];
    double c[4];
    kernels.resonate(windowed_, k.sin[b], k.cos[b], spectrumHistorySize, s, c);
    for (int j = 0; j < perStep; ++j) updateBand(b + j, magnitude(s[j], c[j]));
  }
  descending_ = !descending_;
}

// The lean analysis (see setLean()). The history spans the decimated samples
// taken_ - 4096 to taken_ - 1; the complete blocks in it start at position `head`
// (0 to 63) and run to the block before the newest, incomplete one (all 64 when
// head is 0). The samples before and after them are the two ends.
void SpectrumAnalyser::analyseLean(const SpectrumKernels& kernels) {
  constexpr int block = spectrumLeanBlock;
  constexpr int slots = spectrumHistorySize / block;
  const SpectrumCoefficients& k = *coefficients_;
  const long long start = taken_ - spectrumHistorySize;
  const long long firstBlock = (start + block - 1) / block;
  const long long endBlock = taken_ / block;
  const int head = static_cast<int>(firstBlock * block - start);
  const int count = static_cast<int>(endBlock - firstBlock);

  // The kernel's rows: first the two ends, positions 0 to head - 1 and 4032 + head to
  // 4095 (element c >= head of the last block), windowed as they stand, each alone in
  // a row of zeros; then the blocks completed since the last lean analysis, three
  // rows each (the samples times 1, cos - 1 and sin), up to six blocks per call.
  const LeanShapes& shapes = leanShapes();
  constexpr int perCall = 6;
  alignas(32) float rows[3 * perCall + 2][block];
  float* out[3 * perCall + 2];
  alignas(32) float endSums[2][2][spectrumBandCount];
  int ends = 0;
  if (head > 0) {
    const int last = spectrumHistorySize - block;
    for (int c = 0; c < block; ++c) {
      const int at = c < head ? c : last + c;
      const float x = static_cast<float>(hann_[at] * history_[(oldest_ + at) & ringMask]);
      rows[0][c] = c < head ? x : 0.0f;
      rows[1][c] = c < head ? 0.0f : x;
    }
    out[0] = &endSums[0][0][0];
    out[1] = &endSums[1][0][0];
    ends = 2;
  }
  long long m = ringNext_ > firstBlock ? ringNext_ : firstBlock;
  do {
    const int n = endBlock - m < perCall ? static_cast<int>(endBlock - m) : perCall;
    for (int j = 0; j < n; ++j) {
      const int slot = static_cast<int>((m + j) & (slots - 1));
      const float* x = &history_[slot * block];
      const int row = ends + 3 * j;
      for (int c = 0; c < block; ++c) {
        rows[row][c] = x[c];
        rows[row + 1][c] = x[c] * shapes.cosMinusOne[c];
        rows[row + 2][c] = x[c] * shapes.sine[c];
      }
      for (int r = 0; r < 3; ++r) out[ends + 3 * j + r] = &ring_[slot][r][0][0];
    }
    if (ends + 3 * n > 0) {
      kernels.leanCorrelate(&rows[0][0], ends + 3 * n, &k.leanInner[0][0][0], out);
    }
    m += n;
    ends = 0;
  } while (m < endBlock);
  ringNext_ = endBlock;

  // Block a of the complete ones starts at position o = head + 64 a, where the
  // window is hann(o) x 1 + (hann(o) - 0.5) x (cos - 1) + 0.5 sin(theta o) x sin.
  alignas(32) float weights[3][slots];
  for (int a = 0; a < count; ++a) {
    const int o = head + a * block;
    weights[0][a] = static_cast<float>(hann_[o]);
    weights[1][a] = static_cast<float>(hann_[o] - 0.5);
    weights[2][a] = static_cast<float>(hann_[(o + spectrumHistorySize / 4) & ringMask] - 0.5);
  }
  alignas(32) float blocks[2][spectrumBandCount];
  kernels.leanCombine(&ring_[0][0][0][0], static_cast<int>(firstBlock & (slots - 1)), count,
                      &weights[0][0], &k.leanTurn[0][0][0], &blocks[0][0]);

  for (int b = 0; b < spectrumBandCount; ++b) {
    // The blocks' sums were turned to the phase at position head.
    double re = blocks[0][b];
    double im = blocks[1][b];
    if (head > 0) {
      const double hr = k.leanInner[head][0][b];
      const double hi = k.leanInner[head][1][b];
      const double turned = re * hr - im * hi;
      im = re * hi + im * hr;
      re = turned;
      const double lr = k.leanTurn[slots - 1][0][b];
      const double li = k.leanTurn[slots - 1][1][b];
      const double tr = endSums[1][0][b];
      const double ti = endSums[1][1][b];
      re += endSums[0][0][b] + tr * lr - ti * li;
      im += endSums[0][1][b] + tr * li + ti * lr;
    }
    updateBand(b, magnitude(im, re));
  }
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
    if (lean_.load(std::memory_order_relaxed)) {
      analyseLean(*kernels);
    } else {
      analyseFast(*kernels);
    }
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
    taken_ += n;
    // The left channel of a stereo stream waits for the right one to be folded in.
    if (channels_ == 2) return;
  } else {
    // Average into the newest n samples: the lean analysis' sums of their blocks
    // no longer hold.
    if (ringNext_ > (taken_ - n) / spectrumLeanBlock) ringNext_ = (taken_ - n) / spectrumLeanBlock;
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
      ++taken_;
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
