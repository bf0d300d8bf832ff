// The phase vocoder: frame counting and latency, overlap gains, phase resets,
// the per-frame steps driven directly on a Vocoder's state, chunk independence,
// and agreement with a plain double-precision vocoder away from ratio 1.

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <limits>
#include <random>
#include <thread>
#include <vector>

#include "eq.h"
#include "fft.h"
#include "measures.h"
#include "signals.h"
#include "spectrum.h"
#include "testing.h"
#include "vocoder.h"

namespace {

using cd = std::complex<double>;

constexpr double kPi = 3.141592653589793;
constexpr double kTwoPi = 6.283185307179586;

// Frames a channel completes, counted sample by sample from the stream's start:
// the history starts with winSize - stepIn samples already in it, and every
// stepIn samples after that complete one frame.
class FrameModel {
 public:
  explicit FrameModel(int stepIn) : step_(stepIn), pending_(0) {}
  int feed(int n) {
    if (n <= 0) return 0;
    const int frames = (pending_ + n) / step_;
    pending_ = (pending_ + n) % step_;
    return frames;
  }

 private:
  int step_;
  int pending_;
};

// Feeds input to one channel in chunks of the given size and collects the output.
std::vector<float> runChunked(Vocoder& v, const std::vector<float>& input, int chunk, int out,
                              int channel = 0) {
  FrameModel model(v.stepIn);
  std::vector<float> result;
  std::vector<float> block;
  for (size_t at = 0; at < input.size(); at += chunk) {
    const int n = static_cast<int>(std::min<size_t>(chunk, input.size() - at));
    const int frames = model.feed(n);
    block.assign(static_cast<size_t>(frames + 1) * out, 0.0f);
    v.process(input.data() + at, n, block.data(), out, channel);
    result.insert(result.end(), block.begin(), block.begin() + static_cast<size_t>(frames) * out);
  }
  return result;
}

struct Tone {
  double cyclesPerSample;
  double amplitude;
  double phase;
};

// A few well separated tones whose amplitudes drift slowly, faded in over the
// first fadeIn samples.
std::vector<float> multiTone(size_t length, const std::vector<Tone>& tones, int fadeIn) {
  std::vector<float> x(length);
  for (size_t t = 0; t < length; ++t) {
    double v = 0.0;
    for (size_t i = 0; i < tones.size(); ++i) {
      const double drift = 1.0 + 0.25 * std::sin(kTwoPi * t / 40000.0 + 1.3 * i);
      v += tones[i].amplitude * drift *
           std::cos(kTwoPi * tones[i].cyclesPerSample * t + tones[i].phase);
    }
    if (static_cast<int>(t) < fadeIn) v *= 0.5 - 0.5 * std::cos(kPi * t / fadeIn);
    x[t] = static_cast<float>(v);
  }
  return x;
}

const std::vector<Tone> kTones = {
    {0.011362, 0.30, 0.4}, {0.030132, 0.20, 1.9}, {0.068433, 0.15, -2.2}, {0.147168, 0.10, 0.7}};

TEST(VocoderTables, PeriodicHannWindowsAndPhaseAdvance) {
  Vocoder v;
  v.init(256, 64);
  EXPECT_EQ(v.winSize, 256);
  EXPECT_EQ(v.winHalf, 128);
  EXPECT_EQ(v.stepIn, 64);
  EXPECT_EQ(v.window[0], 0.0f);
  EXPECT_EQ(v.window[128], 1.0f);
  for (int i = 0; i < 256; ++i) {
    const double hann = 0.5 - 0.5 * std::cos(kTwoPi * i / 256);
    EXPECT_NEAR(v.window[i], hann, 1e-7) << i;
    EXPECT_FLOAT_EQ(v.windowOut[i], 2.0f * v.window[i] / 256) << i;
    EXPECT_FLOAT_EQ(v.omega[i], static_cast<float>(kTwoPi * 64 * i / 256)) << i;
  }
}

// A fresh stream holds winSize - stepIn samples before its first frame, so the
// first frame needs stepIn samples; partial frames wait for the next call.
TEST(VocoderStream, CountsFramesPerCall) {
  Vocoder v;
  struct Case {
    const char* what;
    std::vector<int> chunks;
    std::vector<int> framesPerCall;
    int savedIndex;
  };
  const int n = 64, in = 16, out = 24;
  const Case cases[] = {
      {"exactly stepIn", {in}, {1}, n - in},
      {"one short, then the rest", {in - 1, 1}, {0, 1}, n - in},
      {"one short", {in - 1}, {0}, n - in + in - 1},
      {"empty call on a fresh stream", {0}, {0}, n - in},
      {"three hops at once", {3 * in}, {3}, n - in},
      {"a hop and a half twice", {in + in / 2, in + in / 2}, {1, 2}, n - in},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    v.init(n, in);
    std::mt19937 gen(5);
    std::uniform_real_distribution<float> dist(-0.5f, 0.5f);
    for (size_t call = 0; call < c.chunks.size(); ++call) {
      std::vector<float> input(std::max(c.chunks[call], 1));
      for (float& v : input) v = dist(gen);
      std::vector<float> output(8 * out, std::numeric_limits<float>::quiet_NaN());
      v.process(input.data(), c.chunks[call], output.data(), out, 0);
      int written = 0;
      while (written < static_cast<int>(output.size()) && !std::isnan(output[written])) ++written;
      EXPECT_EQ(written, c.framesPerCall[call] * out) << "call " << call;
    }
    EXPECT_EQ(v.channels[0].inIndex, c.savedIndex);
    EXPECT_EQ(v.channels[1].inIndex, 0) << "channel 1 must not move";
  }
}

TEST(VocoderStream, FramesDueAgreesWithEveryCall) {
  Vocoder v;
  struct Config {
    int n, in;
  };
  for (const Config cfg : {Config{64, 16}, Config{64, 64}, Config{32, 8}, Config{128, 24}}) {
    const uint32_t seed = 17u * cfg.n + cfg.in;
    SCOPED_TRACE(::testing::Message()
                 << "winSize=" << cfg.n << " stepIn=" << cfg.in << " seed=" << seed);
    std::mt19937 gen(seed);
    std::uniform_int_distribution<int> size(0, 3 * cfg.n);
    std::uniform_int_distribution<int> hop(1, cfg.n);
    const int out = hop(gen);
    v.init(cfg.n, cfg.in);
    FrameModel model[2] = {FrameModel(cfg.in), FrameModel(cfg.in)};
    std::vector<float> input(3 * cfg.n);
    std::uniform_real_distribution<float> sample(-0.5f, 0.5f);
    for (float& v : input) v = sample(gen);
    for (int call = 0; call < 200; ++call) {
      const int channel = call % 3 == 2 ? 1 : 0;
      const int inSize = size(gen);
      const int due = v.framesDue(inSize, channel);
      const int expected = model[channel].feed(inSize);
      std::vector<float> output(static_cast<size_t>(expected + 2) * out,
                                std::numeric_limits<float>::quiet_NaN());
      v.process(input.data(), inSize, output.data(), out, channel);
      int written = 0;
      while (written < static_cast<int>(output.size()) && !std::isnan(output[written])) ++written;
      ASSERT_EQ(due, expected) << "call " << call << " inSize " << inSize;
      ASSERT_EQ(written, expected * out) << "call " << call << " inSize " << inSize;
    }
  }
}

TEST(VocoderStream, WithoutOverlapTheSavedIndexStaysAtZero) {
  Vocoder v;
  v.init(64, 64);
  std::vector<float> input(128, 0.1f), output(3 * 64);
  v.process(input.data(), 64, output.data(), 64, 0);
  EXPECT_EQ(v.channels[0].inIndex, 0);
  v.process(input.data(), 128, output.data(), 64, 0);
  EXPECT_EQ(v.channels[0].inIndex, 0);
  v.process(input.data(), 10, output.data(), 64, 0);
  EXPECT_EQ(v.channels[0].inIndex, 10);
}

TEST(VocoderStream, StepOutOfAWholeFrameEmptiesTheAccumulator) {
  Vocoder v;
  v.init(64, 16);
  std::vector<float> input(64, 0.3f), output(4 * 64);
  v.process(input.data(), 64, output.data(), 64, 0);
  int nonZero = 0;
  for (int i = 0; i < 64; ++i) nonZero += v.channels[0].wave[i] != 0.0f;
  EXPECT_EQ(nonZero, 0);
}

// winSize = 4 stepIn and stepOut = stepIn: the squared Hann window sums to 1.5 over
// four overlaps, so a tone whose bins all lie inside 1 .. winHalf - 1 comes out at
// 1.5 times its amplitude. A constant keeps its whole weight in bin 0 (the one-sided
// resynthesis doubles nothing there) and comes out 2.5 times as large. Both arrive
// winSize - stepIn samples late.
TEST(VocoderStream, OverlapGainsAndLatency) {
  Vocoder v;
  const int n = 64, in = 16, latency = n - in;
  struct Case {
    const char* what;
    int cycles;  // per frame; 0 for a constant
    double gain;
  };
  const Case cases[] = {
      {"constant", 0, 2.5},
      {"2 cycles per frame", 2, 1.5},
      {"13 cycles per frame", 13, 1.5},
      {"winHalf - 2 cycles per frame", n / 2 - 2, 1.5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    v.init(n, in);
    std::vector<float> x(40 * in);
    for (size_t t = 0; t < x.size(); ++t) {
      x[t] = c.cycles == 0 ? 0.4f
                           : static_cast<float>(0.4 * std::cos(kTwoPi * c.cycles * t / n + 0.3));
    }
    const std::vector<float> y = runChunked(v, x, in, in);
    ASSERT_EQ(y.size(), x.size());
    double worst = 0.0;
    for (size_t t = 2 * n; t < y.size(); ++t) {
      worst = std::max(worst, std::abs(y[t] - c.gain * x[t - latency]));
    }
    EXPECT_LT(worst, 2e-5);
  }
}

// At ratio 1 every bin is resynthesised with its own analysis phase, so the output
// is the input delayed by winSize - stepIn, times the 1.5 overlap gain; the only
// residue comes from bin 0 and the dropped Nyquist bin, which for these tones hold
// Hann side-lobe leakage only (well below 1e-4).
TEST(VocoderStream, IdentityAtRatioOne) {
  Vocoder v;
  const int n = 1024, in = 256, latency = n - in;
  v.init(n, in);
  const std::vector<float> x = multiTone(60 * in, kTones, n);
  const std::vector<float> y = runChunked(v, x, 1000, in);
  ASSERT_EQ(y.size(), x.size());
  double worst = 0.0;
  for (size_t t = 2 * n; t < y.size(); ++t) {
    worst = std::max(worst, std::abs(y[t] - 1.5 * x[t - latency]));
  }
  EXPECT_LT(worst, 1e-4);
}

TEST(VocoderStream, OutputDoesNotDependOnChunking) {
  Vocoder v;
  const int n = 1024, in = 256;
  const std::vector<float> x = multiTone(40 * in, kTones, n);
  for (int out : {256, 320, 205}) {
    SCOPED_TRACE(::testing::Message() << "stepOut=" << out);
    v.init(n, in);
    const std::vector<float> whole = runChunked(v, x, static_cast<int>(x.size()), out);
    ASSERT_EQ(whole.size(), 40u * out);
    for (int chunk : {1, 7, 64, 512, 3000}) {
      v.init(n, in);
      const std::vector<float> y = runChunked(v, x, chunk, out);
      ASSERT_EQ(y.size(), whole.size()) << "chunk " << chunk;
      EXPECT_EQ(0, std::memcmp(y.data(), whole.data(), y.size() * sizeof(float)))
          << "chunk " << chunk;
    }
  }
}

TEST(VocoderStream, ChannelsKeepSeparateStreams) {
  Vocoder v;
  const int n = 256, in = 64;
  const std::vector<float> a = multiTone(20 * in, kTones, n);
  std::vector<float> b(a.size());
  for (size_t i = 0; i < b.size(); ++i) b[i] = 0.5f * a[a.size() - 1 - i];
  v.init(n, in);
  const std::vector<float> alone = runChunked(v, a, in, 80, 0);
  v.init(n, in);
  std::vector<float> left, right, block(2 * 80);
  for (size_t at = 0; at < a.size(); at += in) {
    v.process(a.data() + at, in, block.data(), 80, 0);
    left.insert(left.end(), block.begin(), block.begin() + 80);
    v.process(b.data() + at, in, block.data(), 80, 1);
    right.insert(right.end(), block.begin(), block.begin() + 80);
  }
  ASSERT_EQ(left.size(), alone.size());
  EXPECT_EQ(0, std::memcmp(left.data(), alone.data(), left.size() * sizeof(float)));
}

// Marks the phase memories of both channels so that a reset shows as zeros.
void markPhases(Vocoder& v) {
  for (int ch = 0; ch < 2; ++ch) {
    for (int k = 0; k < v.winSize; ++k) {
      v.channels[ch].psi[k] = 0.5f;
      v.channels[ch].phi0[k] = 0.25f;
    }
  }
}

// 1 when every phase memory was cleared, 0 when every one still holds the mark,
// -1 for anything else.
int phasesWereReset(const Vocoder& v) {
  bool allZero = true, allMarked = true;
  for (int ch = 0; ch < 2; ++ch) {
    for (int k = 0; k < v.winSize; ++k) {
      allZero = allZero && v.channels[ch].psi[k] == 0.0f && v.channels[ch].phi0[k] == 0.0f;
      allMarked = allMarked && v.channels[ch].psi[k] == 0.5f && v.channels[ch].phi0[k] == 0.25f;
    }
  }
  return allZero ? 1 : allMarked ? 0 : -1;
}

TEST(VocoderStream, OnlyASetUpClearsThePhaseMemory) {
  Vocoder v;
  struct Step {
    int reinitWinSize;  // 0: keep the stream; otherwise vocoder_init(w, w / 4) first
    int stepOut;
    int channel;
    bool reset;
  };
  const Step steps[] = {
      {64, 16, 0, true},                     // a new stream
      {0, 16, 1, false}, {0, 20, 0, false},  // a new stretch factor keeps the memory
      {0, 20, 1, false}, {0, 16, 0, false},  // and so does going back
      {0, 8, 1, false},  {128, 8, 0, true},  // a new stream, same factor
  };
  float dummy[1] = {0.0f}, output[1];
  for (size_t i = 0; i < std::size(steps); ++i) {
    const Step& s = steps[i];
    if (!s.reinitWinSize) markPhases(v);
    if (s.reinitWinSize) {
      v.init(s.reinitWinSize, s.reinitWinSize / 4);
    }
    v.process(dummy, 0, output, s.stepOut, s.channel);
    EXPECT_EQ(phasesWereReset(v), s.reset ? 1 : 0) << "step " << i;
    EXPECT_EQ(v.stepOut, s.stepOut) << "step " << i;
  }
}

// A tone at a bin centre through changes of stepOut, one frame per call. Frame k is
// laid at the sum of the hops before it and weighted by the squared window, so
// dividing the output by the sum of the squared windows over the frames laid at
// each sample must leave the tone at its amplitude, on both sides of every change:
// the frames across a change stay in phase. (Clearing the phases at a change made
// the level dip by up to 10 dB; advancing the first new frame by the new hop, while
// it lies at the old one, cancels this tone outright.)
TEST(VocoderStream, FramesAcrossAChangeOfStepOutStayInPhase) {
  Vocoder v;
  const int n = 256, in = 64, cycles = 8;
  const double amplitude = 0.5;
  v.init(n, in);
  const int steps[] = {64, 48, 96, 21, 128, 64};
  std::vector<double> weight(64 * n, 0.0), output;
  std::vector<float> block(n);
  long laidAt = 0;
  long t = 0;
  for (int step : steps) {
    for (int frame = 0; frame < 24; ++frame) {
      std::vector<float> x(in);
      for (float& v : x) v = static_cast<float>(amplitude * std::sin(kTwoPi * cycles * t++ / n));
      v.process(x.data(), in, block.data(), step, 0);
      for (int i = 0; i < n; ++i) {
        const double w = 0.5 - 0.5 * std::cos(kTwoPi * i / n);
        weight[laidAt + i] += w * w;
      }
      output.insert(output.end(), block.begin(), block.begin() + step);
      laidAt += step;
    }
  }
  ASSERT_EQ(static_cast<long>(output.size()), laidAt);
  const int period = n / cycles;
  double lowest = 1e9, highest = 0.0;
  for (size_t from = 2 * n; from + period <= output.size(); from += period / 2) {
    double sum = 0.0;
    for (size_t i = from; i < from + period; ++i) {
      const double v = output[i] / weight[i];
      sum += v * v;
    }
    const double level = std::sqrt(2.0 * sum / period) / amplitude;
    lowest = std::min(lowest, level);
    highest = std::max(highest, level);
  }
  EXPECT_GT(lowest, 0.98);
  EXPECT_LT(highest, 1.02);
}

// findPeaks on hand-made magnitudes (winSize 32: bins 0 .. 15).
TEST(VocoderFrame, FindPeaks) {
  Vocoder v;
  v.init(32, 8);
  ASSERT_EQ(v.winHalf, 16);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  struct Case {
    const char* what;
    float background;
    std::vector<std::pair<int, float>> bins;
    std::vector<int> peaks;
    std::vector<int> valleys;  // vocoderChannels[0 .. nPeaks - 1].valleyBins
  };
  const Case cases[] = {
      {"all zero", 0.0f, {}, {}, {}},
      {"two equal adjacent bins", 0.1f, {{5, 1.0f}, {6, 1.0f}}, {}, {}},
      {"below the bin two away on the left",
       0.1f,
       {{3, 3.0f}, {4, 3.0f}, {5, 1.0f}, {6, 2.0f}, {7, 1.0f}, {8, 0.5f}},
       {},
       {}},
      {"below the bin two away on the right",
       0.1f,
       {{6, 0.5f}, {7, 1.0f}, {8, 2.0f}, {9, 1.0f}, {10, 3.0f}, {11, 3.0f}},
       {},
       {}},
      {"peaks three bins apart",
       0.05f,
       {{5, 10.0f}, {6, 1.0f}, {7, 0.5f}, {8, 9.0f}, {9, 0.2f}, {10, 0.1f}},
       {5, 8},
       {0, 7}},
      {"valley is the first of equal minima",
       0.1f,
       {{3, 8.0f}, {4, 2.0f}, {5, 0.5f}, {6, 1.0f}, {7, 0.5f}, {8, 2.0f}, {9, 3.0f}, {10, 9.0f}},
       {3, 10},
       {0, 5}},
      {"three peaks",
       0.0f,
       {{1, 4.0f}, {2, 1.0f}, {7, 3.0f}, {12, 2.0f}, {13, 1.5f}},
       {1, 7, 12},
       {0, 3, 8}},
      {"peak at bin 0", 0.0f, {{0, 1.0f}}, {0}, {0}},
      {"peak at bin 1", 0.0f, {{1, 1.0f}}, {1}, {0}},
      {"peak at the last bin", 0.0f, {{15, 1.0f}}, {15}, {0}},
      {"bin 0 at the guard value", 0.0f, {{0, FLT_MIN}}, {}, {}},
      {"bin 0 above the guard value", 0.0f, {{0, 2 * FLT_MIN}}, {0}, {0}},
      {"NaN neighbour", 0.0f, {{5, 1.0f}, {6, nan}}, {}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    for (int k = 0; k < v.winSize; ++k) v.channels[0].mag[k] = c.background;
    v.channels[0].mag[16] = v.channels[0].mag[17] =
        100.0f;  // stale guards: findPeaks must set its own
    for (const auto& [bin, value] : c.bins) v.channels[0].mag[bin] = value;
    const int nPeaks = v.findPeaks(0);
    EXPECT_EQ(v.channels[0].mag[16], FLT_MIN);
    EXPECT_EQ(v.channels[0].mag[17], FLT_MIN);
    ASSERT_EQ(nPeaks, static_cast<int>(c.peaks.size()));
    EXPECT_EQ(std::vector<int>(v.channels[0].peakBins, v.channels[0].peakBins + nPeaks), c.peaks);
    EXPECT_EQ(std::vector<int>(v.channels[0].valleyBins, v.channels[0].valleyBins + nPeaks),
              c.valleys);
  }
}

// Wraps into [-pi, pi] (an independent formulation for angle comparisons).
double wrap(double phase) { return std::remainder(phase, kTwoPi); }

// The rotation phaseLock gives the region of the peak at bin p, in double.
double peakRotation(const Vocoder& v, int ch, int p, double stretch) {
  const double om = v.omega[p];
  const double delta =
      wrap(static_cast<double>(v.channels[ch].phi[p]) - v.channels[ch].phi0[p] - om);
  const double target = wrap(v.channels[ch].psi[p] + stretch * (om + delta));
  return wrap(target - v.channels[ch].phi[p]);
}

void randomPhases(Vocoder& v, int ch, uint32_t seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<float> angle(-3.1f, 3.1f);
  for (int k = 0; k < v.winSize; ++k) {
    v.channels[ch].phi[k] = angle(gen);
    v.channels[ch].phi0[k] = angle(gen);
    v.channels[ch].psi[k] = angle(gen);
  }
}

TEST(VocoderFrame, PhaseLockTurnsEachRegionByItsPeaksRotation) {
  Vocoder v;
  v.init(32, 8);
  struct Case {
    const char* what;
    std::vector<std::pair<int, float>> bins;
    float stretch;
  };
  const Case cases[] = {
      {"one peak, ratio 1", {{6, 1.0f}}, 1.0f},
      {"one peak, ratio 1.25", {{6, 1.0f}}, 1.25f},
      {"one peak at the last bin, ratio 0.8", {{15, 1.0f}}, 0.8f},
      {"two peaks, ratio 1.25", {{4, 2.0f}, {5, 1.0f}, {7, 0.5f}, {9, 0.7f}, {11, 3.0f}}, 1.25f},
      {"three peaks, ratio 0.5", {{1, 4.0f}, {2, 1.0f}, {7, 3.0f}, {12, 2.0f}, {13, 1.5f}}, 0.5f},
  };
  const int ch = 1;
  uint32_t seed = 100;
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.what << " seed=" << seed);
    for (int k = 0; k < v.winSize; ++k) v.channels[ch].mag[k] = 0.0f;
    for (const auto& [bin, value] : c.bins) v.channels[ch].mag[bin] = value;
    randomPhases(v, ch, seed++);
    const int nPeaks = v.findPeaks(ch);
    ASSERT_GT(nPeaks, 0);
    std::vector<double> rotation(nPeaks);
    for (int p = 0; p < nPeaks; ++p)
      rotation[p] = peakRotation(v, ch, v.channels[ch].peakBins[p], c.stretch);
    const std::vector<float> before(v.channels[ch].phi, v.channels[ch].phi + v.winHalf);
    v.phaseLock(ch, nPeaks, c.stretch);
    EXPECT_EQ(v.channels[ch].valleyBins[0], 0);
    EXPECT_EQ(v.channels[ch].valleyBins[nPeaks], v.winHalf);
    for (int p = 0; p < nPeaks; ++p) {
      for (int b = v.channels[ch].valleyBins[p]; b < v.channels[ch].valleyBins[p + 1]; ++b) {
        EXPECT_NEAR(wrap(v.channels[ch].psi[b] - before[b] - rotation[p]), 0.0, 2e-6)
            << "bin " << b << " region " << p;
        EXPECT_LE(std::abs(v.channels[ch].psi[b]), static_cast<float>(kPi)) << "bin " << b;
      }
    }
  }
}

TEST(VocoderFrame, PhaseLockWithoutPeaksKeepsTheSynthesisPhases) {
  Vocoder v;
  v.init(32, 8);
  for (int k = 0; k < v.winSize; ++k) v.channels[0].mag[k] = 0.0f;
  randomPhases(v, 0, 7);
  const std::vector<float> before(v.channels[0].psi, v.channels[0].psi + v.winSize);
  const int nPeaks = v.findPeaks(0);
  ASSERT_EQ(nPeaks, 0);
  v.phaseLock(0, nPeaks, 1.25f);
  EXPECT_EQ(std::vector<float>(v.channels[0].psi, v.channels[0].psi + v.winSize), before);
  EXPECT_EQ(v.channels[0].valleyBins[0], v.winHalf);
}

// synthesize() leaves the inverse transform of the one-sided spectrum
// mags * gain * e^(i psis); a forward transform brings back N times that spectrum,
// with nothing at or above winHalf whatever the buffer held before.
TEST(VocoderFrame, SynthesizeBuildsAOneSidedSpectrum) {
  Vocoder v;
  const int n = 32;
  v.init(n, 8);
  Equaliser eq;
  eq.init(n / 2);
  v.connect(&eq, nullptr);
  std::vector<float> gains(eq.size());
  for (size_t k = 0; k < gains.size(); ++k) gains[k] = 0.25f * static_cast<float>(k % 5);
  eq.setBands(gains.data());
  for (int eqOn : {0, 1}) {
    SCOPED_TRACE(::testing::Message() << "equaliser " << eqOn);
    eq.enable(eqOn);
    std::mt19937 gen(21);
    std::uniform_real_distribution<float> mag(0.0f, 2.0f), angle(-3.1f, 3.1f);
    for (int k = 0; k < n / 2; ++k) {
      v.channels[0].mag[k] = mag(gen);
      v.channels[0].psi[k] = angle(gen);
    }
    for (int i = 0; i < 2 * n; ++i) v.channels[0].fftBuffer[i] = 7.0f;
    v.synthesize(0);
    v.fft.process(v.channels[0].fftBuffer, -1);
    for (int k = 0; k < n; ++k) {
      cd want = 0.0;
      if (k < n / 2) {
        const double g = eqOn ? gains[k] : 1.0;
        want = std::polar(static_cast<double>(v.channels[0].mag[k]) * g,
                          static_cast<double>(v.channels[0].psi[k]));
      }
      const cd got = cd(v.channels[0].fftBuffer[2 * k], v.channels[0].fftBuffer[2 * k + 1]) /
                     static_cast<double>(n);
      EXPECT_LT(std::abs(got - want), 1e-5) << "bin " << k;
    }
  }
}

TEST(VocoderFrame, AnalyzeMeasuresMagnitudeAndPhaseOfTheWindowedFrame) {
  Vocoder v;
  const int n = 64;
  v.init(n, 16);
  std::mt19937 gen(3);
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  std::vector<float> frame(n);
  for (float& v : frame) v = dist(gen);
  v.applyWindow(frame.data(), 0);
  std::vector<double> windowed(n);
  for (int i = 0; i < n; ++i) {
    windowed[i] = frame[i] * v.window[i];
    ASSERT_EQ(v.channels[0].fftBuffer[2 * i], frame[i] * v.window[i]) << i;
    ASSERT_EQ(v.channels[0].fftBuffer[2 * i + 1], 0.0f) << i;
  }
  v.analyze(0);
  for (int k = 0; k < n / 2; ++k) {
    cd sum = 0.0;
    for (int t = 0; t < n; ++t) sum += windowed[t] * std::polar(1.0, -kTwoPi * t * k / n);
    EXPECT_NEAR(v.channels[0].mag[k], std::abs(sum), 1e-5) << "bin " << k;
    if (std::abs(sum) > 0.1) {
      EXPECT_NEAR(wrap(v.channels[0].phi[k] - std::arg(sum)), 0.0, 1e-4) << "bin " << k;
    }
  }
}

// Magnitudes and phases are formed in double from the float spectrum and stored
// as floats; the resynthesised bins are m cos(psi), m sin(psi) with a double
// sincos, rounded when stored. Single-precision shortcuts (sqrtf, atan2f,
// sincosf) change about one value in five by an ulp, enough to flip near-equal
// peak comparisons on real music, so these values are compared bit for bit.
TEST(VocoderFrame, PerBinArithmeticRoundsOnlyWhenStoring) {
  Vocoder v;
  const int n = 1024;
  v.init(n, 256);
  std::mt19937 gen(8);
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  std::vector<float> frame(n);
  for (float& v : frame) v = dist(gen);
  v.applyWindow(frame.data(), 0);
  v.analyze(0);
  int wrongMags = 0, wrongPhis = 0;
  for (int k = 0; k < n / 2; ++k) {
    const double re = v.channels[0].fftBuffer[2 * k], im = v.channels[0].fftBuffer[2 * k + 1];
    wrongMags += v.channels[0].mag[k] != static_cast<float>(std::sqrt(re * re + im * im));
    wrongPhis += v.channels[0].phi[k] != static_cast<float>(std::atan2(im, re));
  }
  EXPECT_EQ(wrongMags, 0);
  EXPECT_EQ(wrongPhis, 0);

  const int nPeaks = v.findPeaks(0);
  v.phaseLock(0, nPeaks, 1.25f);
  std::vector<float> want(2 * n, 0.0f);
  for (int k = 0; k < n / 2; ++k) {
    double s, c;
    sincos(static_cast<double>(v.channels[0].psi[k]), &s, &c);
    want[2 * k] = static_cast<float>(v.channels[0].mag[k] * c);
    want[2 * k + 1] = static_cast<float>(v.channels[0].mag[k] * s);
  }
  v.fft.process(want.data(), 1);
  v.synthesize(0);
  int wrongBins = 0;
  for (int i = 0; i < 2 * n; ++i) wrongBins += v.channels[0].fftBuffer[i] != want[i];
  EXPECT_EQ(wrongBins, 0);
}

// overlapAdd() adds the real parts times the synthesis window, hands out the
// first stepOut samples, shifts the rest down, clears the tail, and keeps this
// frame's phases for the next one.
TEST(VocoderFrame, OverlapAddAccumulatesAndHandsOut) {
  Vocoder v;
  const int n = 64, out = 24;
  v.init(n, 16);
  v.stepOut = out;
  std::mt19937 gen(9);
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  std::vector<float> before(n), sum(n);
  for (int i = 0; i < n; ++i) {
    v.channels[1].wave[i] = before[i] = dist(gen);
    v.channels[1].fftBuffer[2 * i] = dist(gen);
    v.channels[1].fftBuffer[2 * i + 1] = 1e6f;  // imaginary parts are ignored
    v.channels[1].phi[i] = dist(gen);
    sum[i] = static_cast<float>(before[i] + static_cast<double>(v.channels[1].fftBuffer[2 * i]) *
                                                v.windowOut[i]);
  }
  std::vector<float> output(out + 1, -7.0f);
  v.overlapAdd(output.data(), 1);
  EXPECT_EQ(std::vector<float>(output.begin(), output.begin() + out),
            std::vector<float>(sum.begin(), sum.begin() + out));
  EXPECT_EQ(output[out], -7.0f);
  EXPECT_EQ(std::vector<float>(v.channels[1].wave, v.channels[1].wave + n - out),
            std::vector<float>(sum.begin() + out, sum.end()));
  EXPECT_EQ(std::vector<float>(v.channels[1].wave + n - out, v.channels[1].wave + n),
            std::vector<float>(out, 0.0f));
  EXPECT_EQ(std::vector<float>(v.channels[1].phi0, v.channels[1].phi0 + n / 2),
            std::vector<float>(v.channels[1].phi, v.channels[1].phi + n / 2));
}

TEST(VocoderFrame, Princarg) {
  const float pi = static_cast<float>(kPi);
  const double twoPiAsFloat = static_cast<float>(kTwoPi);
  struct Case {
    double phase;
    float want;
    double tolerance;
  };
  const Case cases[] = {
      {1.5 * kPi, static_cast<float>(-0.5 * kPi), 1e-7},
      {-1.5 * kPi, static_cast<float>(0.5 * kPi), 1e-7},
      {kTwoPi, 0.0f, 0.0},
      {twoPiAsFloat, static_cast<float>(twoPiAsFloat - kTwoPi), 1e-14},  // about 1.7484555e-07
      {7.0, static_cast<float>(7.0 - kTwoPi), 1e-7},                     // about 0.7168147
      {kPi, -pi, 0.0},
      {-kPi, pi, 0.0},
      {0.5, 0.5f, 0.0},
      {-3.0, -3.0f, 0.0},
      {0.0, 0.0f, 0.0},
      {1000.0, static_cast<float>(1000.0 - 318 * kPi), 1e-6},
      {-1000.0, static_cast<float>(-1000.0 + 318 * kPi), 1e-6},
  };
  EXPECT_NEAR(twoPiAsFloat - kTwoPi, 1.7484555e-07, 1e-13);
  for (const Case& c : cases) {
    EXPECT_NEAR(princarg(c.phase), c.want, c.tolerance) << "princarg(" << c.phase << ")";
  }
}

// Twiddles of an N-point transform, stage by stage (stage k holds 2^k of them), as
// the transform is meant to use them: (1, 0) rotated step by step by the float
// pair (cos, +-sin) of theta = pi / 2^k as a float, carried at a 64-bit mantissa
// and stored as floats.
std::vector<std::vector<cd>> recurrenceTwiddles(int n, int sign) {
  std::vector<std::vector<cd>> stages;
  for (int k = 0; (1 << k) < n; ++k) {
    float wr = 1.0f, wi = 0.0f;
    if (k > 0) sincosf(static_cast<float>(kPi / (1 << k)), &wi, &wr);
    if (sign < 0) wi = -wi;
    std::vector<cd> stage;
    long double ur = 1.0L, ui = 0.0L;
    for (int m = 0; m < (1 << k); ++m) {
      stage.emplace_back(static_cast<float>(ur), static_cast<float>(ui));
      const long double next = ur * wr - ui * wi;
      ui = ur * wi + ui * wr;
      ur = next;
    }
    stages.push_back(stage);
  }
  return stages;
}

// Exact twiddles e^(sign i pi m / 2^k), for comparison with the ideal transform.
std::vector<std::vector<cd>> exactTwiddles(int n, int sign) {
  std::vector<std::vector<cd>> stages;
  for (int k = 0; (1 << k) < n; ++k) {
    std::vector<cd> stage;
    for (int m = 0; m < (1 << k); ++m) stage.push_back(std::polar(1.0, sign * kPi * m / (1 << k)));
    stages.push_back(stage);
  }
  return stages;
}

// A plain double-precision phase vocoder: the same framing, Hann windows, peak
// rules, phase locking and overlap-add, on a radix-2 FFT in double with the given
// twiddles, and no single-precision rounding anywhere. In stereo it links the
// channels as the vocoder's refinements do: the peaks of the summed magnitudes under
// the fine rule (above the next bin on each side), each region of both channels
// turned by the rotation of the channel louder at its peak.
class ReferenceVocoder {
 public:
  ReferenceVocoder(int n, int in, int out, bool exact)
      : n_(n),
        half_(n / 2),
        in_(in),
        out_(out),
        stretch_(static_cast<double>(out) / in),
        window_(n),
        omega_(half_),
        forward_(exact ? exactTwiddles(n, -1) : recurrenceTwiddles(n, -1)),
        inverse_(exact ? exactTwiddles(n, 1) : recurrenceTwiddles(n, 1)) {
    for (int i = 0; i < n; ++i) window_[i] = 0.5 - 0.5 * std::cos(kTwoPi * i / n);
    for (int k = 0; k < half_; ++k) omega_[k] = kTwoPi * in * k / n;
  }

  std::vector<double> run(const std::vector<float>& input) {
    return runChannels({&input}, false)[0];
  }

  // Linked stereo with the fine peak rule.
  std::vector<std::vector<double>> runLinked(const std::vector<float>& left,
                                             const std::vector<float>& right) {
    return runChannels({&left, &right}, true);
  }

 private:
  struct Channel {
    std::vector<double> history, mag, phi, phi0, psi, wave;
    std::vector<double> output;
  };

  std::vector<std::vector<double>> runChannels(const std::vector<const std::vector<float>*>& inputs,
                                               bool linked) {
    std::vector<Channel> channels(inputs.size());
    for (Channel& c : channels) {
      c.history.assign(n_, 0.0);
      c.mag.assign(half_, 0.0);
      c.phi.assign(half_, 0.0);
      c.phi0.assign(half_, 0.0);
      c.psi.assign(half_, 0.0);
      c.wave.assign(n_, 0.0);
    }
    int fill = n_ - in_;
    for (size_t t = 0; t < inputs[0]->size(); ++t) {
      for (size_t ch = 0; ch < inputs.size(); ++ch) channels[ch].history[fill] = (*inputs[ch])[t];
      if (++fill < n_) continue;
      frame(channels, linked);
      for (Channel& c : channels)
        std::copy(c.history.begin() + in_, c.history.end(), c.history.begin());
      fill = n_ - in_;
    }
    std::vector<std::vector<double>> outputs;
    for (Channel& c : channels) outputs.push_back(std::move(c.output));
    return outputs;
  }

  static void fft(std::vector<cd>& a, const std::vector<std::vector<cd>>& twiddles) {
    const int n = static_cast<int>(a.size());
    for (int i = 1, j = 0; i < n; ++i) {
      int bit = n >> 1;
      for (; j & bit; bit >>= 1) j ^= bit;
      j ^= bit;
      if (i < j) std::swap(a[i], a[j]);
    }
    for (int stage = 0, len = 2; len <= n; ++stage, len *= 2) {
      for (int k = 0; k < len / 2; ++k) {
        const cd w = twiddles[stage][k];
        for (int i = k; i < n; i += len) {
          const cd t = a[i + len / 2] * w;
          a[i + len / 2] = a[i] - t;
          a[i] += t;
        }
      }
    }
  }

  // The rotation of the region of the peak at bin k in channel c.
  double rotation(const Channel& c, int k) const {
    const double delta = wrap(c.phi[k] - c.phi0[k] - omega_[k]);
    const double target = wrap(c.psi[k] + stretch_ * (omega_[k] + delta));
    return wrap(target - c.phi[k]);
  }

  void frame(std::vector<Channel>& channels, bool linked) {
    std::vector<cd> bins(n_);
    for (Channel& c : channels) {
      for (int i = 0; i < n_; ++i) bins[i] = c.history[i] * window_[i];
      fft(bins, forward_);
      for (int k = 0; k < half_; ++k) {
        c.mag[k] = std::abs(bins[k]);
        c.phi[k] = std::arg(bins[k]);
      }
    }
    std::vector<double> mag = channels[0].mag;
    if (linked) {
      for (int k = 0; k < half_; ++k) mag[k] += channels[1].mag[k];
    }
    // Peaks: strictly above the two bins on each side (the fine rule: the next bin
    // only); bins outside the analysed range count as the smallest normal float.
    // Regions split at the first lowest bin between neighbouring peaks.
    auto at = [&](int k) { return k < 0 || k >= half_ ? static_cast<double>(FLT_MIN) : mag[k]; };
    std::vector<int> peaks, valleys{0};
    for (int b = 0; b < half_;) {
      const double c = at(b);
      if (c > at(b - 1) && c > at(b + 1) && (linked || (c > at(b - 2) && c > at(b + 2)))) {
        if (!peaks.empty()) {
          int low = peaks.back();
          for (int k = peaks.back(); k < b; ++k) {
            if (mag[k] < mag[low]) low = k;
          }
          valleys.push_back(low);
        }
        peaks.push_back(b);
        b += linked ? 2 : 3;
      } else {
        ++b;
      }
    }
    valleys.push_back(half_);
    for (size_t p = 0; p < peaks.size(); ++p) {
      const int k = peaks[p];
      const Channel& source =
          linked && channels[1].mag[k] > channels[0].mag[k] ? channels[1] : channels[0];
      const double turn = rotation(source, k);
      for (Channel& c : channels) {
        for (int b = valleys[p]; b < valleys[p + 1]; ++b) c.psi[b] = wrap(c.phi[b] + turn);
      }
    }
    for (Channel& c : channels) {
      std::fill(bins.begin(), bins.end(), cd(0.0));
      for (int k = 0; k < half_; ++k) bins[k] = std::polar(c.mag[k], c.psi[k]);
      fft(bins, inverse_);
      for (int i = 0; i < n_; ++i) c.wave[i] += bins[i].real() * 2.0 * window_[i] / n_;
      c.phi0 = c.phi;
      c.output.insert(c.output.end(), c.wave.begin(), c.wave.begin() + out_);
      std::copy(c.wave.begin() + out_, c.wave.end(), c.wave.begin());
      std::fill(c.wave.end() - out_, c.wave.end(), 0.0);
    }
  }

  int n_, half_, in_, out_;
  double stretch_;
  std::vector<double> window_, omega_;
  std::vector<std::vector<cd>> forward_, inverse_;
};

struct StreamError {
  double max, rms;
};

StreamError compare(const std::vector<float>& got, const std::vector<double>& want) {
  double worst = 0.0, squares = 0.0;
  for (size_t i = 0; i < got.size(); ++i) {
    const double e = got[i] - want[i];
    worst = std::max(worst, std::abs(e));
    squares += e * e;
  }
  return {worst, std::sqrt(squares / got.size())};
}

// Away from ratio 1 the synthesis phases are carried from frame to frame and
// scaled by the stretch factor, so arithmetic shortcuts grow into audible errors.
// The stretched output is compared with the double-precision vocoder above, on a
// few drifting tones. The stretch factors 640/512, 410/512, 320/256 and 205/256
// are exact in single precision, so both sides scale by the same number.
//
// Against the reference that uses the transform's own recurrence twiddles, a
// faithful implementation differs only by storing FFT stages, magnitudes, phases
// and the accumulator as floats: about 1e-6 of full scale at most (measured
// 0.9e-6 .. 1.6e-6; RMS 1.6e-7 .. 3.5e-7). The bounds, 5e-6 and 1e-6, fail an
// implementation that forms the phase-advance arguments in float (2e-5 max) or
// computes its twiddles directly (8e-6 max), and anything worse: a wrong phase
// advance, region or window gives errors of 1e-3 and more.
//
// Against the reference with exact twiddles the output must stay within 2e-5 of
// full scale (under one LSB of 16-bit audio): the recurrence's drift of up to
// 1e-5 relative in the last stage's twiddles is all that separates the two
// (measured 4.7e-6 .. 8.1e-6).
TEST(VocoderPrecision, StretchedStreamMatchesDoublePrecisionVocoder) {
  Vocoder v;
  struct Case {
    int n, in, out;
  };
  for (const Case c :
       {Case{2048, 512, 640}, Case{2048, 512, 410}, Case{1024, 256, 320}, Case{1024, 256, 205}}) {
    SCOPED_TRACE(::testing::Message()
                 << "winSize=" << c.n << " stepIn=" << c.in << " stepOut=" << c.out);
    const std::vector<float> x = multiTone(80 * c.in, kTones, c.n);
    v.init(c.n, c.in);
    const std::vector<float> got = runChunked(v, x, 4 * c.in, c.out);
    const std::vector<double> same = ReferenceVocoder(c.n, c.in, c.out, false).run(x);
    const std::vector<double> ideal = ReferenceVocoder(c.n, c.in, c.out, true).run(x);
    ASSERT_EQ(got.size(), 80u * c.out);
    ASSERT_EQ(same.size(), got.size());
    ASSERT_EQ(ideal.size(), got.size());
    double energy = 0.0;
    for (double v : same) energy += v * v;
    ASSERT_GT(std::sqrt(energy / same.size()), 0.1) << "the reference produced no signal";
    const StreamError e1 = compare(got, same), e2 = compare(got, ideal);
    EXPECT_LT(e1.max, 5e-6);
    EXPECT_LT(e1.rms, 1e-6);
    EXPECT_LT(e2.max, 2e-5);
    std::printf("  winSize %d, stepOut/stepIn %d/%d: max %.2g rms %.2g (ideal: max %.2g)\n", c.n,
                c.out, c.in, e1.max, e1.rms, e2.max);
  }
}

// ---- Both channels together: linked stereo and the finer peak rule ----

// A stereo stream through Vocoder::processTogether() hop by hop; the output of each
// channel, the first frame's worth (the latency) dropped.
std::vector<std::vector<float>> runTogether(int n, int in, int out, const std::vector<float>& left,
                                            const std::vector<float>* right,
                                            const VocoderOptions& options) {
  Vocoder v;
  v.init(n, in);
  std::vector<std::vector<float>> result(right != nullptr ? 2 : 1);
  std::vector<float> blockLeft(out), blockRight(out);
  for (size_t at = 0; at + in <= left.size(); at += in) {
    v.processTogether(left.data() + at, right != nullptr ? right->data() + at : nullptr, in,
                      blockLeft.data(), right != nullptr ? blockRight.data() : nullptr, out,
                      options);
    result[0].insert(result[0].end(), blockLeft.begin(), blockLeft.end());
    if (right != nullptr) result[1].insert(result[1].end(), blockRight.begin(), blockRight.end());
  }
  const size_t latency = static_cast<size_t>(n / in) * out;
  for (auto& channel : result) channel.erase(channel.begin(), channel.begin() + latency);
  return result;
}

// Side over mid energy of two channels, in dB.
double sideOverMidDb(const std::vector<float>& l, const std::vector<float>& r) {
  double mid = 0.0, side = 0.0;
  for (size_t i = 0; i < l.size(); ++i) {
    mid += 0.25 * (static_cast<double>(l[i]) + r[i]) * (static_cast<double>(l[i]) + r[i]);
    side += 0.25 * (static_cast<double>(l[i]) - r[i]) * (static_cast<double>(l[i]) - r[i]);
  }
  return 10.0 * std::log10(side / mid);
}

// A dense sound mixed exactly into the centre (noise: a cymbal, a breath, a pad's
// grain), over faint noise of its own in each channel, 20 dB down: the centre of a
// real recording. Each channel on its own finds other peaks in it and turns them by
// other angles, so the centred sound spreads into the side; linked, the image stays.
TEST(VocoderTogether, LinkedStereoKeepsACentredSoundInTheCentre) {
  const size_t frames = 40 * 2048;
  const std::vector<float> centre = support::randomFloats(frames, 6, 0.2f);
  std::vector<float> left = support::randomFloats(frames, 7, 0.02f);
  std::vector<float> right = support::randomFloats(frames, 8, 0.02f);
  for (size_t t = 0; t < frames; ++t) {
    left[t] += centre[t];
    right[t] += centre[t];
  }
  const double inDb = sideOverMidDb(left, right);
  VocoderOptions linked;
  linked.linked = true;
  for (int out : {224, 80}) {
    const auto together = runTogether(2048, 128, out, left, &right, linked);
    const auto apart = runTogether(2048, 128, out, left, &right, VocoderOptions{});
    const double linkedDb = sideOverMidDb(together[0], together[1]);
    const double apartDb = sideOverMidDb(apart[0], apart[1]);
    SCOPED_TRACE(::testing::Message() << "stepOut " << out << ": input " << inDb << " dB, linked "
                                      << linkedDb << " dB, apart " << apartDb << " dB");
    // Linked, it does not widen (the side's noise loses a little more level than the
    // mid in the stretch, which the driver's level keeping restores).
    EXPECT_LT(linkedDb, inDb + 0.5);
    EXPECT_GT(linkedDb, inDb - 3.0);
    EXPECT_GT(apartDb, inDb + 10.0);
  }
}

// Exactly equal channels stay equal to the bit, opposite ones opposite, and a panned
// chord keeps each partial's phase difference between the channels.
TEST(VocoderTogether, LinkedStereoKeepsThePhaseBetweenTheChannels) {
  const size_t frames = 24 * 1024;
  const std::vector<float> x = multiTone(frames, kTones, 1024);
  std::vector<float> negated(x.size());
  for (size_t i = 0; i < x.size(); ++i) negated[i] = -x[i];
  VocoderOptions linked;
  linked.linked = true;
  const auto same = runTogether(1024, 256, 400, x, &x, linked);
  EXPECT_EQ(same[0], same[1]);
  const auto opposite = runTogether(1024, 256, 400, x, &negated, linked);
  float worst = 0.0f;
  for (size_t i = 0; i < opposite[0].size(); ++i) {
    worst = std::max(worst, std::fabs(opposite[0][i] + opposite[1][i]));
  }
  EXPECT_LT(worst, 1e-5f);

  // Each partial panned and delayed differently between the channels.
  const double hz[] = {330.0, 523.25, 1046.5};
  const double gainR[] = {0.3, 1.0, 0.7};
  const double phaseR[] = {1.0, -2.0, 0.5};
  std::vector<float> l(frames), r(frames);
  for (size_t t = 0; t < frames; ++t) {
    for (int p = 0; p < 3; ++p) {
      const double w = kTwoPi * hz[p] / 44100.0 * t;
      l[t] += static_cast<float>(0.2 * std::sin(w));
      r[t] += static_cast<float>(0.2 * gainR[p] * std::sin(w + phaseR[p]));
    }
  }
  for (int out : {400, 150}) {
    const auto y = runTogether(1024, 256, out, l, &r, linked);
    for (int p = 0; p < 3; ++p) {
      const double f = hz[p] / 44100.0;
      const double got = std::arg(support::windowedTone(y[1].data(), y[1].size(), f) /
                                  support::windowedTone(y[0].data(), y[0].size(), f));
      EXPECT_NEAR(std::remainder(got - phaseR[p], kTwoPi), 0.0, 0.02)
          << hz[p] << " Hz at stepOut " << out;
    }
  }
}

// Two partials 2.5 bins apart (two low notes a short frame barely separates): under
// the finer peak rule each keeps its own region and comes out at its level; under the
// two-bin rule they share one region, whose turn detunes the weaker.
TEST(VocoderTogether, FinePeaksKeepPartialsTwoBinsApart) {
  const double bins[] = {40.3, 42.8};
  const double amplitude[] = {0.2, 0.12};
  const size_t frames = 48 * 1024;
  std::vector<float> x(frames);
  for (size_t t = 0; t < frames; ++t) {
    for (int p = 0; p < 2; ++p) {
      x[t] += static_cast<float>(amplitude[p] * std::sin(kTwoPi * bins[p] / 1024.0 * t + p));
    }
  }
  VocoderOptions fine;
  fine.finePeaks = true;
  for (int out : {96, 40}) {
    const double gain = 0.75 * 1024.0 / (2.0 * out);  // tone gain before the normalisation
    const auto finer = runTogether(1024, 64, out, x, nullptr, fine);
    const auto coarser = runTogether(1024, 64, out, x, nullptr, VocoderOptions{});
    double worstFine = 0.0, worstCoarse = 0.0;
    for (int p = 0; p < 2; ++p) {
      const double f = bins[p] / 1024.0;
      const auto level = [&](const std::vector<float>& y) {
        return std::fabs(20.0 * std::log10(std::abs(support::windowedTone(y.data(), y.size(), f)) /
                                           (gain * amplitude[p])));
      };
      worstFine = std::max(worstFine, level(finer[0]));
      worstCoarse = std::max(worstCoarse, level(coarser[0]));
    }
    SCOPED_TRACE(::testing::Message() << "stepOut " << out << ": level error fine " << worstFine
                                      << " dB, two-bin rule " << worstCoarse << " dB");
    EXPECT_LT(worstFine, 0.5);
    EXPECT_GT(worstCoarse, 1.0);
  }
}

// The path every user runs (linked stereo, fine peaks and attacks all on) on a steady
// chord whose partials stand at other levels and phases in the right channel than in
// the left, against the double-precision vocoder linked the same way. The chord fades
// in over 16384 samples, too slowly for any 32-sample block to jump as an attack's
// does, and holds no attack: keeping attacks must change nothing at all.
// The stretch factors 320/256 and 410/512 are exact in single precision.
//
// Tolerance: as in the plain comparison above, a faithful implementation differs from
// the model with the same twiddles only by storing FFT stages, magnitudes, phases and
// the accumulator as floats: 1.2e-6 .. 1.6e-6 of full scale at most over most of the
// stream (RMS 2.4e-7 .. 6.7e-7). The fine rule also finds peaks among the side-lobe
// tails between the partials, and the linked channels take each peak's turn from the
// louder one: where two of those bins are within a float's rounding of each other,
// float and double may split one frame's regions differently, which moved the output
// once by 7.9e-6 before it settled back. The bounds, 2e-5 at most (under one 16-bit
// LSB, 3.05e-5) and 2e-6 RMS, fail a wrong rotation source, region or peak rule,
// which errs by 1e-3 and more.
// Besides, each partial leaves the right channel at the gain and phase it has against
// the left in the input, measured by projecting both outputs on its frequency over
// eight frames: within 1e-5 (relative gain, radians; measured 7e-7 at most), where the
// other partials, a hundred bins of that window away and more, leak far less.
TEST(VocoderTogether, DefaultPathMatchesDoublePrecisionLinkedVocoder) {
  const double gainR[] = {0.6, 1.3, 0.9, 0.4};
  const double shiftR[] = {0.8, -1.7, 2.5, -0.3};
  struct Case {
    int n, in, out;
  };
  for (const Case c : {Case{1024, 256, 320}, Case{2048, 512, 410}}) {
    SCOPED_TRACE(::testing::Message()
                 << "winSize " << c.n << ", stepOut/stepIn " << c.out << "/" << c.in);
    const size_t frames = 160 * static_cast<size_t>(c.in);
    const int fadeIn = 16384;
    std::vector<float> left(frames), right(frames);
    for (size_t t = 0; t < frames; ++t) {
      const double fade =
          t < static_cast<size_t>(fadeIn) ? 0.5 - 0.5 * std::cos(kPi * t / fadeIn) : 1.0;
      double l = 0.0, r = 0.0;
      for (size_t i = 0; i < kTones.size(); ++i) {
        const double w = kTwoPi * kTones[i].cyclesPerSample * t + kTones[i].phase;
        l += kTones[i].amplitude * std::cos(w);
        r += kTones[i].amplitude * gainR[i] * std::cos(w + shiftR[i]);
      }
      left[t] = static_cast<float>(fade * l);
      right[t] = static_cast<float>(fade * r);
    }
    VocoderOptions all;
    all.linked = all.finePeaks = all.attacks = true;
    VocoderOptions noAttacks = all;
    noAttacks.attacks = false;
    const auto got = runTogether(c.n, c.in, c.out, left, &right, all);
    EXPECT_EQ(got, runTogether(c.n, c.in, c.out, left, &right, noAttacks));

    auto want = ReferenceVocoder(c.n, c.in, c.out, false).runLinked(left, right);
    for (size_t ch = 0; ch < 2; ++ch) {
      want[ch].erase(want[ch].begin(), want[ch].begin() + static_cast<long>(c.n / c.in * c.out));
      ASSERT_EQ(want[ch].size(), got[ch].size());
      const StreamError e = compare(got[ch], want[ch]);
      EXPECT_LT(e.max, 2e-5) << "channel " << ch;
      EXPECT_LT(e.rms, 2e-6) << "channel " << ch;
      std::printf("  winSize %d, channel %zu: max %.2g rms %.2g\n", c.n, ch, e.max, e.rms);
    }

    // The last 8 winSize output samples, well past the fade-in, Hann-weighted.
    const size_t length = 8 * static_cast<size_t>(c.n), from = got[0].size() - length;
    for (size_t i = 0; i < kTones.size(); ++i) {
      cd sum[2];
      for (size_t t = 0; t < length; ++t) {
        const double weight = 0.5 - 0.5 * std::cos(kTwoPi * t / length);
        const cd turn = std::polar(weight, -kTwoPi * kTones[i].cyclesPerSample * t);
        for (int ch = 0; ch < 2; ++ch) sum[ch] += static_cast<double>(got[ch][from + t]) * turn;
      }
      const cd ratio = sum[1] / sum[0];
      EXPECT_NEAR(std::abs(ratio), gainR[i], 1e-5 * gainR[i]) << "partial " << i;
      EXPECT_NEAR(wrap(std::arg(ratio) - shiftR[i]), 0.0, 1e-5) << "partial " << i;
    }
  }
}

// With every option off the channels go their own ways: fed together they give the
// samples they give fed one by one, and the analyser takes each channel's frames in
// turn as it did then (in stereo the right channel's pushes average into the newest
// places), so that its bands are the same too.
TEST(VocoderTogether, WithoutOptionsTogetherIsChannelByChannel) {
  const std::vector<float> left = multiTone(40 * 256, kTones, 1024);
  const std::vector<float> right = support::randomFloats(left.size(), 9, 0.3f);
  SpectrumAnalyser analysers[2];
  Vocoder vocoders[2];
  std::vector<float> out[2][2];
  for (int way = 0; way < 2; ++way) {
    analysers[way].init(44100, 2);
    vocoders[way].connect(nullptr, &analysers[way]);
    vocoders[way].init(1024, 256);
  }
  const int block = 5 * 256 + 100, stepOut = 200;
  std::vector<float> l(8 * stepOut), r(8 * stepOut);
  for (size_t at = 0; at + block <= left.size(); at += block) {
    const int frames = vocoders[0].framesDue(block, 0);
    vocoders[0].processTogether(left.data() + at, right.data() + at, block, l.data(), r.data(),
                                stepOut, VocoderOptions{});
    out[0][0].insert(out[0][0].end(), l.begin(), l.begin() + frames * stepOut);
    out[0][1].insert(out[0][1].end(), r.begin(), r.begin() + frames * stepOut);
    vocoders[1].process(left.data() + at, block, l.data(), stepOut, 0);
    vocoders[1].process(right.data() + at, block, r.data(), stepOut, 1);
    out[1][0].insert(out[1][0].end(), l.begin(), l.begin() + frames * stepOut);
    out[1][1].insert(out[1][1].end(), r.begin(), r.begin() + frames * stepOut);
  }
  EXPECT_EQ(out[0][0], out[1][0]);
  EXPECT_EQ(out[0][1], out[1][1]);
  float bands[2][spectrumBandCount];
  for (int way = 0; way < 2; ++way) analysers[way].copy(bands[way], spectrumBandCount);
  EXPECT_GT(bands[0][30], 0.0f) << "the analyser ran";
  EXPECT_EQ(0, std::memcmp(bands[0], bands[1], sizeof(bands[0])));
}

}  // namespace

// A stereo stream of two equal channels gives, in each, what the same channel gives on
// its own, whatever refinements run: the channels share nothing they should not.
TEST(VocoderTogether, EqualChannelsMatchOneChannelAlone) {
  const std::vector<float> x = multiTone(24 * 1024, kTones, 1024);
  for (int which = 0; which < 3; ++which) {
    VocoderOptions options;
    options.finePeaks = which == 1;
    options.attacks = which == 2;
    for (int out : {512, 160}) {
      const auto stereo = runTogether(1024, 256, out, x, &x, options);
      const auto mono = runTogether(1024, 256, out, x, nullptr, options);
      SCOPED_TRACE(::testing::Message() << "options " << which << ", stepOut " << out);
      EXPECT_EQ(stereo[0], mono[0]);
      EXPECT_EQ(stereo[1], mono[0]);
    }
  }
}

// After copyChannel(0, 1) the right channel carries on exactly as the left, wherever
// the history window stood, so that channels fed the same from there on give the
// same samples (the mono fold relies on it), fed apart or together.
TEST(VocoderTogether, ACopiedChannelCarriesOnAsItsSource) {
  const std::vector<float> left = multiTone(12 * 1024, kTones, 1024);
  const std::vector<float> right = support::randomFloats(left.size(), 5, 0.3f);
  VocoderOptions linked;
  linked.linked = true;
  for (int hops = 1; hops <= 20; hops += 3) {  // the copy at several places of the history
    for (bool together : {false, true}) {
      Vocoder v;
      v.init(1024, 256);
      std::vector<float> outL(8 * 1024), outR(8 * 1024);
      const int before = hops * 256;
      if (together) {
        v.processTogether(left.data(), right.data(), before, outL.data(), outR.data(), 300, linked);
      } else {
        v.process(left.data(), before, outL.data(), 300, 0);
        v.process(right.data(), before, outR.data(), 300, 1);
      }
      v.copyChannel(0, 1);
      const float* rest = left.data() + before;
      const int n = 16 * 256;
      if (together) {
        v.processTogether(rest, rest, n, outL.data(), outR.data(), 300, linked);
      } else {
        v.process(rest, n, outL.data(), 300, 0);
        v.process(rest, n, outR.data(), 300, 1);
      }
      outL.resize(n / 256 * 300);
      outR.resize(n / 256 * 300);
      EXPECT_EQ(outL, outR) << "copied after " << hops << " hops, together " << together;
    }
  }
}

// ---- Vocoders side by side ----

// Each Vocoder sizes its buffers from its frame: an engine at 4096-sample frames (its
// vocoder the largest part) stays far below the 1.6 MB that fixed 100000-float
// histories and accumulators took per stream.
TEST(VocoderInstances, BuffersFollowTheFrameSize) {
  Vocoder small, large;
  EXPECT_EQ(small.bytes(), 0u);
  small.init(256, 64);
  large.init(4096, 512);
  EXPECT_GT(small.bytes(), 0u);
  EXPECT_LT(small.bytes(), 64u * 1024);
  EXPECT_LT(large.bytes(), 1024u * 1024);
  large.init(256, 64);
  EXPECT_EQ(large.bytes(), small.bytes()) << "a new set-up must not keep the larger buffers";
}

// Two Vocoders of different frame sizes on two threads at once give exactly what each
// gives alone.
TEST(VocoderInstances, TwoThreadsGiveWhatEachGivesAlone) {
  const std::vector<float> x = multiTone(60 * 512, kTones, 2048);
  struct Stream {
    int n, in, out;
  };
  const Stream streams[2] = {{2048, 512, 640}, {1024, 128, 100}};
  auto run = [&](Vocoder& v, const Stream& s) {
    v.init(s.n, s.in);
    return runChunked(v, x, 3 * s.in + 1, s.out);
  };
  std::vector<float> alone[2];
  for (int i = 0; i < 2; ++i) {
    Vocoder v;
    alone[i] = run(v, streams[i]);
  }
  Vocoder vocoders[2];
  std::vector<float> together[2];
  std::thread other([&] { together[1] = run(vocoders[1], streams[1]); });
  together[0] = run(vocoders[0], streams[0]);
  other.join();
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(together[i].size(), alone[i].size()) << "stream " << i;
    EXPECT_EQ(0, std::memcmp(together[i].data(), alone[i].data(), alone[i].size() * sizeof(float)))
        << "stream " << i;
  }
}
