// The block driver without a JVM: format checks, remix, gains and latency, soft
// limiter and clamp, peak level, invalid blocks, hop clamping, growing work
// buffers with stale frames, and the equaliser gains.
//
// The library's state is process-wide, and the equaliser table keeps the size
// that the process's first dsp_init() gives it. A global environment therefore
// makes that first call, dsp_init(2048, ...), before any test runs (1024 gains),
// whether ctest runs the tests one per process or the binary runs them all; the
// tests that re-initialise with other frame sizes rely on that. Every test starts
// from default settings (see DriverTest::SetUp).

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cfloat>
#include <climits>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "cpu.h"
#include "dsp.h"
#include "eq.h"
#include "fft.h"
#include "iirfilter.h"
#include "paths.h"
#include "spectrum.h"
#include "testing.h"
#include "vocoder.h"

namespace {

constexpr double kTwoPi = 6.283185307179586;
constexpr int kFrame = 2048;
constexpr int kOver = 4;
constexpr int kHop = kFrame / kOver;
constexpr int kLatency = kFrame - kHop;
constexpr int kRate = 44100;

// What the process looked like around its first dsp_init().
struct FirstInitState {
  bool initializedBefore = true;
  DspStatus statusBefore = DSP_OK;
  bool blockUntouchedBefore = false;
  float peakBefore = -1.0f;
  int eqSizeAfter = -1;
  bool gainsAllOneAfter = false;
} firstInit;

class FirstInit : public ::testing::Environment {
 public:
  void SetUp() override {
    firstInit.initializedBefore = dsp_is_initialized();
    short block[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    firstInit.statusBefore = dsp_process(block, 4, 4);
    firstInit.blockUntouchedBefore = block[0] == 1 && block[7] == 8;
    firstInit.peakBefore = dsp_get_max_level();
    dsp_init(kFrame, kOver, kRate, 2);
    firstInit.eqSizeAfter = dsp_default_engine().equaliser().size();
    firstInit.gainsAllOneAfter = dsp_default_engine().equaliser().size() > 0;
    for (int k = 0; k < dsp_default_engine().equaliser().size(); ++k) {
      firstInit.gainsAllOneAfter =
          firstInit.gainsAllOneAfter && dsp_default_engine().equaliser().gain(k) == 1.0f;
    }
  }
};
const auto* const firstInitEnvironment = ::testing::AddGlobalTestEnvironment(new FirstInit);

struct Block {
  int in, out;
};

std::vector<Block> repeat(Block b, int times) { return std::vector<Block>(times, b); }

std::vector<Block> concat(std::initializer_list<std::vector<Block>> parts) {
  std::vector<Block> all;
  for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

// Feeds input (channels interleaved, sum of the blocks' in frames) block by block
// and returns the concatenated output; peaks receives dsp_get_max_level() per block.
std::vector<short> runBlocks(const std::vector<short>& input, int channels,
                             const std::vector<Block>& blocks,
                             std::vector<float>* peaks = nullptr) {
  std::vector<short> output, buffer;
  size_t at = 0;
  for (const Block& b : blocks) {
    buffer.assign(static_cast<size_t>(std::max(b.in, b.out)) * channels, 0);
    std::copy_n(input.begin() + at, static_cast<size_t>(b.in) * channels, buffer.begin());
    at += static_cast<size_t>(b.in) * channels;
    EXPECT_EQ(dsp_process(buffer.data(), b.in, b.out), DSP_OK);
    output.insert(output.end(), buffer.begin(),
                  buffer.begin() + static_cast<size_t>(b.out) * channels);
    if (peaks) peaks->push_back(dsp_get_max_level());
  }
  return output;
}

std::vector<short> interleave(const std::vector<short>& left, const std::vector<short>& right) {
  std::vector<short> both(2 * left.size());
  for (size_t i = 0; i < left.size(); ++i) {
    both[2 * i] = left[i];
    both[2 * i + 1] = right[i];
  }
  return both;
}

std::vector<short> channelOf(const std::vector<short>& interleaved, int channel, int channels) {
  std::vector<short> one;
  for (size_t i = channel; i < interleaved.size(); i += channels) one.push_back(interleaved[i]);
  return one;
}

std::vector<short> constant(size_t frames, short value) {
  return std::vector<short>(frames, value);
}

// Sum of tones, each given as (cycles per frame of frameSize samples, amplitude).
std::vector<short> tones(size_t frames, const std::vector<std::pair<double, double>>& parts,
                         int frameSize = kFrame) {
  std::vector<short> x(frames);
  for (size_t t = 0; t < frames; ++t) {
    double v = 0.0;
    for (size_t i = 0; i < parts.size(); ++i) {
      v += parts[i].second * std::cos(kTwoPi * parts[i].first * t / frameSize + 0.7 * i + 0.2);
    }
    x[t] = static_cast<short>(std::lround(v));
  }
  return x;
}

// Amplitude of the component at cyclesPerFrame / frameSize cycles per sample, over
// samples [from, from + length) (a whole number of its periods).
double amplitudeAt(const std::vector<short>& y, double cyclesPerFrame, size_t from, size_t length,
                   int frameSize = kFrame) {
  std::complex<double> sum = 0.0;
  for (size_t t = from; t < from + length; ++t) {
    sum += static_cast<double>(y[t]) * std::polar(1.0, -kTwoPi * cyclesPerFrame * t / frameSize);
  }
  return 2.0 * std::abs(sum) / static_cast<double>(length);
}

// Output value of a sample the vocoder hands back with the given gain (after the
// driver's overlap normalisation), below the limiter: input s enters as s / 32768
// and leaves as trunc(v * 32767).
double passedThrough(double s, double gain) { return gain * s / 32768.0 * 32767.0; }

class DriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dsp_select_path(DSP_PATH_BEST);
    dsp_set_preamp(1.0f);
    dsp_set_panning(0, 0, 50);
    dsp_set_voice_removal_enabled(false);
    dsp_set_voice_removal_amount(0.0f);
    dsp_default_engine().equaliser().enable(0);
    std::vector<float> ones(std::max(dsp_default_engine().equaliser().size(), 1), 1.0f);
    dsp_default_engine().equaliser().setBands(ones.data());
  }
};

TEST_F(DriverTest, StateAroundTheFirstInit) {
  EXPECT_FALSE(firstInit.initializedBefore);
  EXPECT_EQ(firstInit.statusBefore, DSP_NOT_INITIALIZED);
  EXPECT_TRUE(firstInit.blockUntouchedBefore);
  EXPECT_EQ(firstInit.peakBefore, 0.0f);
  EXPECT_EQ(firstInit.eqSizeAfter, kFrame / 2);
  EXPECT_TRUE(firstInit.gainsAllOneAfter);
  EXPECT_TRUE(dsp_is_initialized());
}

TEST_F(DriverTest, CheckInitNamesTheFirstBadArgument) {
  struct Case {
    int frameSize, overSampling, sampleRate;
    const char* bad;  // nullptr: accepted
  };
  const Case cases[] = {
      {2048, 4, 44100, nullptr},
      {4, 1, 4, nullptr},
      {4, 4, 4, nullptr},
      {4096, 4096, 8000, nullptr},
      {0, 4, 44100, "frameSize"},
      {2, 1, 44100, "frameSize"},
      {3, 1, 44100, "frameSize"},
      {1000, 4, 44100, "frameSize"},
      {8192, 4, 44100, "frameSize"},
      {-4, 1, 44100, "frameSize"},
      {INT_MIN, 1, 44100, "frameSize"},
      {3, 0, 0, "frameSize"},
      {2048, 0, 44100, "overSampling"},
      {2048, -1, 44100, "overSampling"},
      {2048, 2049, 44100, "overSampling"},
      {2048, 4, 3, "sampleRate"},
      {2048, 4, 0, "sampleRate"},
      {2048, 4, -44100, "sampleRate"},
  };
  for (const Case& c : cases) {
    char msg[256] = "";
    const bool ok = dsp_check_init(c.frameSize, c.overSampling, c.sampleRate, msg, sizeof msg);
    SCOPED_TRACE(::testing::Message() << c.frameSize << ", " << c.overSampling << ", "
                                      << c.sampleRate << ": \"" << msg << "\"");
    EXPECT_EQ(ok, c.bad == nullptr);
    if (c.bad) {
      EXPECT_NE(std::string(msg).find(c.bad), std::string::npos);
    }
  }
  char small[16];
  std::memset(small, 'x', sizeof small);
  EXPECT_FALSE(dsp_check_init(3, 4, 44100, small, 8));
  EXPECT_EQ(std::string(small + 8, small + 16), "xxxxxxxx") << "wrote past msgSize";
  EXPECT_NE(std::memchr(small, 0, 8), nullptr) << "message not terminated";
}

TEST_F(DriverTest, RejectedFormatLeavesTheStreamAlone) {
  const std::vector<short> x =
      interleave(tones(8 * kHop, {{37.3, 5000}}), tones(8 * kHop, {{90.6, 3000}}));
  dsp_init(kFrame, kOver, kRate, 2);
  const std::vector<short> straight = runBlocks(x, 2, repeat({kHop, kHop}, 8));
  dsp_init(kFrame, kOver, kRate, 2);
  std::vector<short> first =
      runBlocks(std::vector<short>(x.begin(), x.begin() + 8 * kHop), 2, repeat({kHop, kHop}, 4));
  char msg[128];
  EXPECT_FALSE(dsp_check_init(1000, 4, kRate, msg, sizeof msg));
  EXPECT_FALSE(dsp_check_init(kFrame, 0, kRate, msg, sizeof msg));
  const std::vector<short> second =
      runBlocks(std::vector<short>(x.begin() + 8 * kHop, x.end()), 2, repeat({kHop, kHop}, 4));
  first.insert(first.end(), second.begin(), second.end());
  EXPECT_EQ(first, straight);
  EXPECT_TRUE(dsp_is_initialized());
}

// With overSampling 4 and stepOut = stepIn a steady tone comes back at 0.75 and a
// constant at 1.25 of its input, frameSize - frameSize / 4 frames late.
TEST_F(DriverTest, GainsAndLatencyAtRatioOne) {
  struct Case {
    const char* what;
    int channels;
    std::vector<short> input;  // one channel; stereo feeds its negative on the right
    double gain;
  };
  const Case cases[] = {
      {"mono constant", 1, constant(12 * kHop, 8000), 1.25},
      {"mono tone", 1, tones(12 * kHop, {{32, 10000}}), 0.75},
      {"stereo constant", 2, constant(12 * kHop, -12000), 1.25},
      {"stereo tone", 2, tones(12 * kHop, {{101, 9000}}), 0.75},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    dsp_init(kFrame, kOver, kRate, c.channels);
    std::vector<short> negated(c.input.size());
    for (size_t i = 0; i < negated.size(); ++i) negated[i] = static_cast<short>(-c.input[i]);
    const std::vector<short> in = c.channels == 1 ? c.input : interleave(c.input, negated);
    const std::vector<short> y = runBlocks(in, c.channels, repeat({kHop, kHop}, 12));
    for (int ch = 0; ch < c.channels; ++ch) {
      const std::vector<short> out = channelOf(y, ch, c.channels);
      const std::vector<short>& src = ch == 0 ? c.input : negated;
      double worst = 0.0;
      for (size_t t = 2 * kFrame; t < out.size(); ++t) {
        worst = std::max(worst, std::abs(out[t] - passedThrough(src[t - kLatency], c.gain)));
      }
      EXPECT_LE(worst, 2.0) << "channel " << ch;
    }
  }
}

// Away from ratio 1 the vocoder's overlap gain is frameSize / (2 stepOut) times the
// window's mean square, which the driver's normalisation turns back into 0.75 for
// any hop; the tone keeps its frequency (no energy moves to frequency x ratio, where
// resampling would put it). At 3.2 or 5 overlaps the squared windows do not add up
// to a constant, so the level ripples within each hop, but that ripple only adds
// side bands at multiples of the hop rate: the tone itself stays at 0.75 (measured
// within 0.02 %; the bound is 0.2 %).
TEST_F(DriverTest, StretchedToneKeepsItsLevelAndPitch) {
  const double cycles = 40, amplitude = 8000;
  for (int out : {640, 410}) {
    SCOPED_TRACE(::testing::Message() << "stepOut " << out);
    dsp_init(kFrame, kOver, kRate, 1);
    const std::vector<short> x = tones(40 * kHop, {{cycles, amplitude}});
    const std::vector<short> y = runBlocks(x, 1, repeat({kHop, out}, 40));
    ASSERT_EQ(y.size(), 40u * out);
    const size_t from = 3 * kFrame, length = 4 * kFrame;  // 160 whole cycles
    const double ratio = out / static_cast<double>(kHop);
    EXPECT_NEAR(amplitudeAt(y, cycles, from, length), 0.75 * amplitude, 0.002 * 0.75 * amplitude);
    EXPECT_LT(amplitudeAt(y, cycles / ratio, from, length), 0.01 * amplitude);
    EXPECT_LT(amplitudeAt(y, cycles * ratio, from, length), 0.01 * amplitude);
  }
}

// Balance and mono fold of constant L = 6000 and R = -10000, checked after the
// vocoder's 1.25 constant gain.
TEST_F(DriverTest, BalanceAndMonoRemix) {
  const double l = 6000, r = -10000;
  struct Case {
    int active, mono, level;
    double wantLeft, wantRight;
  };
  const Case cases[] = {
      {1, 0, 0, r, r},
      {1, 0, 25, 0.5 * l + 0.5 * r, r},
      {1, 0, 50, l, r},
      {1, 0, 75, l, 0.5 * l + 0.5 * r},
      {1, 0, 100, l, l},
      {1, 0, 120, l, 1.4 * l - 0.4 * r},
      {1, 0, -20, -0.4 * l + 1.4 * r, r},
      {1, 1, 0, 0.5 * (l + r), 0.5 * (l + r)},
      {1, 1, 100, 0.5 * (l + r), 0.5 * (l + r)},
      {0, 1, 0, l, r},  // remix off: level and mono fold have no effect
  };
  const std::vector<short> in = interleave(constant(10 * kHop, 6000), constant(10 * kHop, -10000));
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message()
                 << "active=" << c.active << " mono=" << c.mono << " level=" << c.level);
    dsp_init(kFrame, kOver, kRate, 2);
    dsp_set_panning(c.active, c.mono, c.level);
    const std::vector<short> y = runBlocks(in, 2, repeat({kHop, kHop}, 10));
    for (size_t t = 2 * kFrame; t < y.size() / 2; ++t) {
      ASSERT_NEAR(y[2 * t], passedThrough(c.wantLeft, 1.25), 2.0) << "left, frame " << t;
      ASSERT_NEAR(y[2 * t + 1], passedThrough(c.wantRight, 1.25), 2.0) << "right, frame " << t;
    }
  }
}

TEST_F(DriverTest, MonoStreamIgnoresTheRemix) {
  const std::vector<short> x = tones(8 * kHop, {{37.3, 5000}, {120.2, 4000}});
  dsp_init(kFrame, kOver, kRate, 1);
  const std::vector<short> plain = runBlocks(x, 1, repeat({kHop, kHop}, 8));
  dsp_init(kFrame, kOver, kRate, 1);
  dsp_set_panning(1, 0, 0);
  EXPECT_EQ(runBlocks(x, 1, repeat({kHop, kHop}, 8)), plain);
  dsp_init(kFrame, kOver, kRate, 1);
  dsp_set_panning(1, 1, 100);
  EXPECT_EQ(runBlocks(x, 1, repeat({kHop, kHop}, 8)), plain);
}

// Expected output for a level a = |v| of sign s: unchanged below 0.95, then
// v (1 + (a - 0.95) k) up to the turning point (0.95 - 1/k) / 2 of that curve and
// full scale with the sample's own sign beyond it; clamped to +-32767.
double limited(double sign, double a, double k) {
  const double turning = (0.95 - 1.0 / k) / 2.0;
  if (a > turning) return sign * 32767.0;
  double v = sign * a;
  if (a >= 0.95) v *= 1.0 + (a - 0.95) * k;
  if (v > 1.0) return 32767.0;
  if (v < -1.0) return -32767.0;
  return std::trunc(v * 32767.0);
}

// A constant of 0.25 full scale comes back at 0.3125 after the vocoder; the
// pre-amplifier then sets the level a that reaches the limiter. In stereo the
// right channel carries the negated constant.
TEST_F(DriverTest, SoftLimiterAndClamp) {
  const double levels[] = {0.5, 0.9, 0.95, 0.96, 0.99, 1.0,  1.01, 2.0,
                           3.0, 4.0, 4.4,  5.0,  8.5,  10.0, 100.0};
  struct Mode {
    const char* what;
    int channels;
    short value;
    double k;
  };
  for (const Mode m : {Mode{"mono", 1, 8192, -0.25}, Mode{"mono negative", 1, -8192, -0.25},
                       Mode{"stereo", 2, 8192, -0.125}}) {
    for (double a : levels) {
      SCOPED_TRACE(::testing::Message() << m.what << ", level " << a);
      dsp_init(kFrame, kOver, kRate, m.channels);
      dsp_set_preamp(static_cast<float>(a / 0.3125));
      const std::vector<short> one = constant(8 * kHop, m.value);
      const std::vector<short> other = constant(8 * kHop, static_cast<short>(-m.value));
      const std::vector<short> in = m.channels == 1 ? one : interleave(one, other);
      std::vector<float> peaks;
      const std::vector<short> y = runBlocks(in, m.channels, repeat({kHop, kHop}, 8), &peaks);
      EXPECT_NEAR(peaks.back(), a, 1e-4 * a) << "peak before limiting";
      const double sign = m.value > 0 ? 1.0 : -1.0;
      for (size_t t = y.size() - kHop * m.channels; t < y.size(); ++t) {
        const double s = (m.channels == 2 && t % 2 == 1) ? -sign : sign;
        ASSERT_NEAR(y[t], limited(s, a, m.k), 2.0) << "sample " << t;
      }
    }
  }
}

TEST_F(DriverTest, FullScaleNeverLeavesAsMinus32768) {
  std::mt19937 gen(11);
  std::uniform_int_distribution<int> dist(-32768, 32767);
  std::vector<short> noise(8 * kHop);
  for (short& v : noise) v = static_cast<short>(dist(gen));
  struct Case {
    const char* what;
    std::vector<short> input;
    float preamp;
    int steady;  // expected steady value, 0 for none
  };
  const Case cases[] = {
      {"constant -32768", constant(8 * kHop, -32768), 1.0f, -32767},
      {"constant 32767", constant(8 * kHop, 32767), 1.0f, 32767},
      {"loud noise (seed 11)", noise, 4.0f, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    dsp_init(kFrame, kOver, kRate, 1);
    dsp_set_preamp(c.preamp);
    const std::vector<short> y = runBlocks(c.input, 1, repeat({kHop, kHop}, 8));
    EXPECT_EQ(std::count(y.begin(), y.end(), static_cast<short>(-32768)), 0);
    if (c.steady) {
      for (size_t t = y.size() - kHop; t < y.size(); ++t) ASSERT_EQ(y[t], c.steady) << t;
    }
  }
}

TEST_F(DriverTest, NaNPreampGivesSilence) {
  dsp_init(kFrame, kOver, kRate, 2);
  dsp_set_preamp(std::numeric_limits<float>::quiet_NaN());
  const std::vector<short> x = tones(6 * kHop, {{37.3, 12000}});
  const std::vector<short> y = runBlocks(interleave(x, x), 2, repeat({kHop, kHop}, 6));
  EXPECT_EQ(std::count(y.begin(), y.end(), static_cast<short>(0)), static_cast<long>(y.size()));
}

// The peak is the largest |v| of the block before the limiter, so below 0.95 the
// loudest output sample is that peak quantised.
TEST_F(DriverTest, PeakLevelOfTheLastBlock) {
  dsp_init(kFrame, kOver, kRate, 2);
  const std::vector<short> x = tones(8 * kHop, {{37.3, 9000}, {90.1, 5000}});
  std::vector<short> right(x.size());
  for (size_t i = 0; i < x.size(); ++i) right[i] = static_cast<short>(x[i] / 2);
  std::vector<float> peaks;
  const std::vector<short> y = runBlocks(interleave(x, right), 2, repeat({kHop, kHop}, 8), &peaks);
  for (size_t b = 0; b < peaks.size(); ++b) {
    int loudest = 0;
    for (size_t t = b * 2 * kHop; t < (b + 1) * 2 * kHop; ++t)
      loudest = std::max(loudest, std::abs(y[t]));
    EXPECT_NEAR(peaks[b] * 32767.0, loudest, 1.0) << "block " << b;
  }
  EXPECT_GT(peaks.back(), 0.2f);
  // Seven silent blocks flush the four overlapping frames of the last one.
  const std::vector<short> silence =
      runBlocks(std::vector<short>(2 * 7 * kHop, 0), 2, repeat({kHop, kHop}, 7), &peaks);
  EXPECT_EQ(peaks.back(), 0.0f) << "after silence";
  EXPECT_EQ(std::count(silence.end() - 2 * kHop, silence.end(), static_cast<short>(0)), 2 * kHop);
}

TEST_F(DriverTest, InvalidBlocksWriteNothingAndClearThePeak) {
  const Block invalid[] = {{0, kHop}, {-5, kHop}, {kHop, -1}, {kHop, 0}, {-1, -1}, {INT_MIN, 0}};
  for (const Block b : invalid) {
    SCOPED_TRACE(::testing::Message() << "samplesIn=" << b.in << " samplesOut=" << b.out);
    dsp_init(kFrame, kOver, kRate, 2);
    runBlocks(interleave(tones(4 * kHop, {{37.3, 9000}}), tones(4 * kHop, {{37.3, 9000}})), 2,
              repeat({kHop, kHop}, 4));
    ASSERT_GT(dsp_get_max_level(), 0.0f);
    std::vector<short> buffer(4 * kHop, 1234);
    dsp_process(buffer.data(), b.in, b.out);
    EXPECT_EQ(std::count(buffer.begin(), buffer.end(), static_cast<short>(1234)),
              static_cast<long>(buffer.size()));
    EXPECT_EQ(dsp_get_max_level(), 0.0f);
  }
}

TEST_F(DriverTest, StepOutIsClampedToOneFrame) {
  dsp_init(kFrame, kOver, kRate, 2);
  struct Case {
    int in, out, want;
  };
  const Case cases[] = {
      {512, 512, 512}, {512, 640, 640}, {512, 410, 410},    {4096, 8192, 1024},
      {3, 1, 170},     {1000, 1, 1},    {4096, 1, 1},       {1, 4, 2048},
      {1, 5, 2048},    {1, 10, 2048},   {7, 1000000, 2048}, {1000000, 7, 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(dsp_step_out(c.in, c.out), c.want) << c.in << " -> " << c.out;
  }
}

// A block of k hops in and k x s frames out gives the hop s back for every hop
// length, also those that are not a power of two (a floating-point quotient
// formed first comes out one short for many of them, e.g. hop 682 and s 29).
TEST_F(DriverTest, StepOutIsExactForEveryHop) {
  for (int over : {3, 5, 6, 7, 12}) {
    dsp_init(kFrame, over, kRate, 2);
    const int hop = kFrame / over;
    for (int k : {1, 2, 3, 5}) {
      for (int s = 1; s <= kFrame; ++s) {
        ASSERT_EQ(dsp_step_out(k * hop, k * s), s) << "hop " << hop << ", " << k << " hops";
      }
    }
  }
}

// Blocks whose ratio gives a hop of 0 or more than a frame still process, and
// nothing is written past the samplesOut frames the host asked for.
TEST_F(DriverTest, ExtremeRatiosStayInsideTheBlock) {
  dsp_init(kFrame, kOver, kRate, 2);
  const Block blocks[] = {{64, 1024}, {4096, 1}, {1, 64}, {8192, 3}, {2, 4096}, {4096, 4096}};
  std::mt19937 gen(2);
  std::uniform_int_distribution<int> dist(-20000, 20000);
  for (const Block b : blocks) {
    SCOPED_TRACE(::testing::Message() << b.in << " -> " << b.out);
    const size_t used = 2 * static_cast<size_t>(std::max(b.in, b.out));
    std::vector<short> buffer(used + 64, 4321);
    for (size_t i = 0; i < 2 * static_cast<size_t>(b.in); ++i)
      buffer[i] = static_cast<short>(dist(gen));
    EXPECT_EQ(dsp_process(buffer.data(), b.in, b.out), DSP_OK);
    EXPECT_EQ(std::count(buffer.begin() + used, buffer.end(), static_cast<short>(4321)), 64);
    EXPECT_TRUE(std::isfinite(dsp_get_max_level()));
  }
}

// What the driver hands out when blocks are not whole hops, modelled from a
// reference run in which every block yields exactly one fresh frame: each block
// converts its first samplesOut frames from the output buffers, where the vocoder
// has just written the frames the block completed (stepOut samples each, from the
// start) and where everything else is what earlier blocks left there. Samples the
// stream has not written yet hold whatever the process left (zeros in a fresh
// process) and are not compared.
void expectStaleFrameModel(const std::vector<Block>& blocks) {
  const int out = 640;  // every block has ratio 1.25
  dsp_init(kFrame, kOver, kRate, 2);
  int totalIn = 0;
  for (const Block& b : blocks) {
    ASSERT_EQ(dsp_step_out(b.in, b.out), out) << b.in << " -> " << b.out;
    totalIn += b.in;
  }
  const int frames = totalIn / kHop + 1;
  const std::vector<short> left =
      tones(static_cast<size_t>(frames) * kHop, {{23.3, 7000}, {61.7, 4000}});
  const std::vector<short> right =
      tones(static_cast<size_t>(frames) * kHop, {{140.2, 6000}, {11.6, 3000}});
  const std::vector<short> in = interleave(left, right);

  dsp_init(kFrame, kOver, kRate, 2);
  const std::vector<short> got = runBlocks(in, 2, blocks);
  dsp_init(kFrame, kOver, kRate, 2);
  const std::vector<short> reference = runBlocks(in, 2, repeat({kHop, out}, frames));

  constexpr int unknown = INT_MIN;
  std::vector<int> model(2 * 16384, unknown);  // interleaved like the host array
  int pending = 0, frame = 0, compared = 0;
  size_t at = 0;
  for (size_t i = 0; i < blocks.size(); ++i) {
    const Block& b = blocks[i];
    const int completed = (pending + b.in) / kHop;
    pending = (pending + b.in) % kHop;
    for (int f = 0; f < completed; ++f, ++frame) {
      for (int s = 0; s < 2 * out; ++s) model[2 * f * out + s] = reference[2 * frame * out + s];
    }
    for (int s = 0; s < 2 * b.out; ++s, ++at) {
      if (model[s] == unknown) continue;
      ++compared;
      ASSERT_EQ(got[at], model[s])
          << "block " << i << " (" << b.in << " -> " << b.out << "), sample " << s;
    }
  }
  EXPECT_GT(compared, 2 * 10000);
}

// The first block fixes nothing: a tiny one, then one of 8192 frames, then blocks
// smaller than the hop, whole hops and large blocks again.
TEST_F(DriverTest, WorkBuffersGrowForLargerBlocks) {
  expectStaleFrameModel(concat({{{64, 80}, {8192, 10240}},
                                repeat({100, 125}, 40),
                                {{1536, 1920}},
                                repeat({448, 560}, 3),
                                {{8192, 10240}, {512, 640}, {4096, 5120}}}));
}

// Blocks smaller than the hop from the first one on: the frame a block completes
// hands out a whole hop of 640 samples, far more than the block's 80.
TEST_F(DriverTest, WorkBuffersHoldAFrameForTinyBlocks) {
  expectStaleFrameModel(
      concat({repeat({64, 80}, 100), repeat({8, 10}, 200), repeat({1000, 1250}, 12)}));
}

TEST_F(DriverTest, EqualiserSwitchIsZeroOrOne) {
  for (const auto& [value, want] :
       {std::pair{0, 0}, {1, 1}, {2, 1}, {-1, 1}, {INT_MIN, 1}, {INT_MAX, 1}, {0, 0}}) {
    dsp_default_engine().equaliser().enable(value);
    EXPECT_EQ(dsp_default_engine().equaliser().isEnabled(), want) << value;
  }
}

TEST_F(DriverTest, EqualiserWithUnitGainsChangesNothing) {
  const std::vector<short> x = interleave(tones(10 * kHop, {{37.3, 9000}, {300.6, 3000}}),
                                          tones(10 * kHop, {{90.1, 5000}, {700.2, 2000}}));
  dsp_init(kFrame, kOver, kRate, 2);
  const std::vector<short> off = runBlocks(x, 2, repeat({kHop, 5 * kHop / 4}, 10));
  dsp_init(kFrame, kOver, kRate, 2);
  dsp_default_engine().equaliser().enable(1);
  const std::vector<short> on = runBlocks(x, 2, repeat({kHop, 5 * kHop / 4}, 10));
  EXPECT_EQ(on, off);
}

// Two tones on whole bins 40 and 100 of the 2048-point frame. The Hann window
// spreads each over its bin and the two neighbours: the centre bin carries the
// window's constant half, the neighbours its cosine half. Silencing all three bins
// removes the tone; silencing the centre bin alone leaves the neighbours, whose
// overlap-add gives one third of the usual 1.5 (0.25 instead of 0.75 after the
// driver's normalisation).
TEST_F(DriverTest, EqualiserGainsActOnTheirBins) {
  const double a1 = 6000, a2 = 4000;
  struct Case {
    const char* what;
    std::vector<std::pair<int, float>> gains;
    double want1, want2;  // output amplitude / input amplitude
  };
  const Case cases[] = {
      {"no change", {}, 0.75, 0.75},
      {"bins 39..41 silenced", {{39, 0.0f}, {40, 0.0f}, {41, 0.0f}}, 0.0, 0.75},
      {"bin 40 silenced", {{40, 0.0f}}, 0.25, 0.75},
      {"bins 38 and 42 silenced", {{38, 0.0f}, {42, 0.0f}}, 0.75, 0.75},
      {"bins 99..101 doubled", {{99, 2.0f}, {100, 2.0f}, {101, 2.0f}}, 0.75, 1.5},
  };
  const std::vector<short> x = tones(16 * kHop, {{40, a1}, {100, a2}});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<float> gains(dsp_default_engine().equaliser().size(), 1.0f);
    for (const auto& [bin, g] : c.gains) gains[bin] = g;
    dsp_default_engine().equaliser().setBands(gains.data());
    dsp_default_engine().equaliser().enable(1);
    dsp_init(kFrame, kOver, kRate, 1);
    const std::vector<short> y = runBlocks(x, 1, repeat({kHop, kHop}, 16));
    const size_t from = 2 * kFrame, length = 2 * kFrame;
    EXPECT_NEAR(amplitudeAt(y, 40, from, length), c.want1 * a1, 2.0);
    EXPECT_NEAR(amplitudeAt(y, 100, from, length), c.want2 * a2, 2.0);
  }
}

// The table keeps the 1024 gains of the first dsp_init(2048, ...). A later frame of
// 4096 has 2048 bins: those past the table get gain 1.0.
TEST_F(DriverTest, EqualiserTableKeepsItsFirstSize) {
  for (int frame : {4096, 512, 64, 2048}) {
    dsp_init(frame, 4, kRate, 1);
    EXPECT_EQ(dsp_default_engine().equaliser().size(), 1024) << "after dsp_init(" << frame << ")";
  }
  const int frame = 4096, hop = frame / 4;
  const double low = 300, high = 1500, amplitude = 5000;  // bins of the 4096-point frame
  for (double bin : {low, high}) {
    SCOPED_TRACE(::testing::Message() << "tone on bin " << bin << " of " << frame);
    const std::vector<short> x = tones(12 * hop, {{bin, amplitude}}, frame);
    std::vector<float> halves(dsp_default_engine().equaliser().size(), 0.5f);
    dsp_default_engine().equaliser().setBands(halves.data());
    double measured[2];
    for (int on : {0, 1}) {
      dsp_default_engine().equaliser().enable(on);
      dsp_init(frame, 4, kRate, 1);
      const std::vector<short> y = runBlocks(x, 1, repeat({hop, hop}, 12));
      measured[on] = amplitudeAt(y, bin, 2 * frame, frame, frame);
    }
    EXPECT_NEAR(measured[0], 0.75 * amplitude, 2.0);
    EXPECT_NEAR(measured[1], (bin < 1024 ? 0.5 : 1.0) * measured[0], 2.0);
  }
}

}  // namespace

// The control thread changes every setting, reloads the voice-removal filter,
// writes the equaliser gains and copies the spectrum while the audio thread
// processes a stream. Under ThreadSanitizer this shows the hand-overs are free of
// data races; in any build the output stays finite and inside full scale.
TEST_F(DriverTest, ControlThreadRacesTheAudioThread) {
  dsp_init(kFrame, kOver, kRate, 2);
  const std::vector<short> input = interleave(tones(kHop * 64, {{10, 9000}, {37, 4000}}),
                                              tones(kHop * 64, {{10, 9000}, {53, 3000}}));
  std::atomic<bool> done{false};
  std::thread control([&] {
    const double lowPass[2][3] = {{1.0, -0.5, 0.0}, {1.0, -1.2, 0.5}};
    const double gains[3] = {0.25, 0.5, 0.25};
    std::vector<float> bands(dsp_default_engine().equaliser().size(), 1.0f);
    float spectrum[72];
    for (int round = 0; !done.load(); ++round) {
      dsp_set_preamp(round % 2 ? 1.5f : 0.5f);
      dsp_set_panning(round % 3 != 0, round % 5 == 0, round % 101);
      dsp_set_voice_removal_enabled(round % 4 != 0);
      dsp_set_voice_removal_amount(static_cast<float>(round % 3) * 0.5f);
      dsp_default_engine().voiceFilters().load(lowPass[round % 2], gains, round % 2 ? 3 : 2, 3);
      bands[round % bands.size()] = static_cast<float>(round % 7) * 0.3f;
      dsp_default_engine().equaliser().setBands(bands.data());
      dsp_default_engine().equaliser().enable(round % 2);
      dsp_default_engine().spectrum().setEnabled(round % 3 != 1);
      dsp_default_engine().spectrum().copy(spectrum, 72);
      (void)dsp_get_max_level();
    }
  });
  std::vector<short> block(2 * 2 * kHop);
  for (int b = 0; b < 64; ++b) {
    std::copy_n(input.begin() + 2 * kHop * b, 2 * kHop, block.begin());
    const int out = (b % 3 + 1) * kHop / 2;
    ASSERT_EQ(dsp_process(block.data(), kHop, out), DSP_OK);
    for (int i = 0; i < 2 * out; ++i) ASSERT_NE(block[i], SHRT_MIN) << "block " << b;
    ASSERT_TRUE(std::isfinite(dsp_get_max_level()));
  }
  done.store(true);
  control.join();
  dsp_default_engine().spectrum().setEnabled(true);
}

// dsp_admit() lets one set-up or block in at a time and names the call under way to
// the one it refuses. Then an audio thread processing back to back and a control
// thread setting up new formats, each admitted as the JNI entry points do: under the
// sanitizers neither reads what the other rewrites.
TEST_F(DriverTest, SetUpsAndBlocksAreAdmittedOneAtATime) {
  struct Step {
    bool admit;  // admit `call`, or release the call admitted
    DspCall call;
    DspCall underWay;  // what dsp_admit() returns
  };
  const Step steps[] = {
      {true, DSP_CALL_PROCESS, DSP_CALL_NONE},    {true, DSP_CALL_INIT, DSP_CALL_PROCESS},
      {true, DSP_CALL_PROCESS, DSP_CALL_PROCESS}, {false, DSP_CALL_NONE, DSP_CALL_NONE},
      {true, DSP_CALL_INIT, DSP_CALL_NONE},       {true, DSP_CALL_PROCESS, DSP_CALL_INIT},
      {true, DSP_CALL_INIT, DSP_CALL_INIT},       {false, DSP_CALL_NONE, DSP_CALL_NONE},
  };
  int i = 0;
  for (const Step& step : steps) {
    if (step.admit) {
      EXPECT_EQ(dsp_admit(step.call), step.underWay) << "step " << i;
    } else {
      dsp_release();
    }
    ++i;
  }

  std::atomic<bool> done{false};
  int setUps = 0;
  std::thread control([&] {
    const int formats[3][4] = {{kFrame, kOver, kRate, 2}, {512, 2, 8000, 1}, {4096, 8, 48000, 2}};
    while (setUps < 12) {
      if (dsp_admit(DSP_CALL_INIT) != DSP_CALL_NONE) {
        std::this_thread::yield();
        continue;
      }
      const int* f = formats[setUps % 3];
      dsp_init(f[0], f[1], f[2], f[3]);
      dsp_release();
      ++setUps;
      std::this_thread::yield();
    }
    done.store(true);
  });
  std::vector<short> block(2 * kHop, 1000);
  long blocks = 0;
  while (!done.load()) {
    if (dsp_admit(DSP_CALL_PROCESS) != DSP_CALL_NONE) continue;
    EXPECT_EQ(dsp_process(block.data(), kHop / 2, kHop / 2), DSP_OK);
    dsp_release();
    ++blocks;
    std::this_thread::yield();  // as an audio thread waits for its next buffer
  }
  control.join();
  EXPECT_EQ(dsp_admit(DSP_CALL_INIT), DSP_CALL_NONE);
  dsp_init(kFrame, kOver, kRate, 2);
  dsp_release();
  std::printf("admission: %d set-ups, %ld blocks\n", setUps, blocks);
}

// Voice removal switched off and on again starts its filters from silence: a
// stream that is silent since it was switched off stays silent, instead of the
// filters replaying the tone they held when they were stopped.
TEST_F(DriverTest, VoiceRemovalRestartsItsFiltersWhenSwitchedOn) {
  dsp_init(kFrame, kOver, kRate, 2);
  const double a[3] = {1.0, -1.98, 0.99};  // a narrow resonance that rings for long
  const double b[3] = {0.01, 0.0, -0.01};
  dsp_default_engine().voiceFilters().load(a, b, 3, 3);
  dsp_set_voice_removal_amount(1.0f);
  dsp_set_voice_removal_enabled(true);
  const int frames = 32 * kHop;
  runBlocks(interleave(constant(frames, 0), tones(frames, {{47, 12000}})), 2,
            repeat({kHop, kHop}, 32));
  dsp_set_voice_removal_enabled(false);
  const std::vector<short> silence(2 * frames, 0);
  runBlocks(silence, 2, repeat({kHop, kHop}, 32));
  dsp_set_voice_removal_enabled(true);
  const std::vector<short> out = runBlocks(silence, 2, repeat({kHop, kHop}, 32));
  EXPECT_EQ(*std::max_element(out.begin(), out.end()), 0);
  EXPECT_EQ(*std::min_element(out.begin(), out.end()), 0);
}

// A new voice-removal amount glides in over the block, from the amount the last
// block ended with: with a filter that passes its input (so the left side is
// L - amount R), a jump of the amount from 0.2 to 1 between two blocks of one hop
// leaves the left output as smooth as the steady stream around it; taken as a
// step, the amount made the sample-to-sample curvature jump to 40 times its steady
// value.
TEST_F(DriverTest, VoiceAmountGlidesInOverTheBlock) {
  dsp_init(kFrame, kOver, kRate, 2);
  const double passA[1] = {1.0}, passB[1] = {1.0};
  dsp_default_engine().voiceFilters().load(passA, passB, 1, 1);
  dsp_set_voice_removal_enabled(true);
  const int hops = 48, frames = hops * kHop;
  const std::vector<short> input =
      interleave(tones(frames, {{20, 8000}}), tones(frames, {{31, 8000}}));
  std::vector<short> output, buffer(2 * kHop);
  for (int h = 0; h < hops; ++h) {
    dsp_set_voice_removal_amount(h < hops / 2 ? 0.2f : 1.0f);
    std::copy_n(input.begin() + 2 * h * kHop, 2 * kHop, buffer.begin());
    ASSERT_EQ(dsp_process(buffer.data(), kHop, kHop), DSP_OK);
    output.insert(output.end(), buffer.begin(), buffer.end());
  }
  const std::vector<short> left = channelOf(output, 0, 2);
  // Largest |y[n] - 2 y[n-1] + y[n-2]| in [from, to).
  auto curvature = [&](size_t from, size_t to) {
    double most = 0.0;
    for (size_t n = from; n < to; ++n) {
      most = std::max(most, std::fabs(left[n] - 2.0 * left[n - 1] + left[n - 2]));
    }
    return most;
  };
  const size_t change = static_cast<size_t>(hops / 2) * kHop + kLatency;
  const double steady = std::max(curvature(change - 4 * kFrame, change - kFrame),
                                 curvature(change + 2 * kFrame, change + 4 * kFrame));
  EXPECT_LT(curvature(change - kFrame, change + 2 * kFrame), 1.5 * steady);
}

// The mono fold switched on mid-stream at a stretch other than 1, with different
// tones on the two sides: once a frame of output has passed, the two channels are
// the same samples. The right channel fades over to the left one's without a jump
// of its own: it bends no more than the left channel, which the switch of the
// input alone moves.
TEST_F(DriverTest, FoldSwitchedOnMidStreamMakesTheChannelsOne) {
  // The same with the channels linked, attacks and level kept: the two channels then
  // share their turns and the level gains, and still become one.
  for (bool refined : {false, true}) {
    SCOPED_TRACE(refined ? "refined" : "plain");
    dsp_set_linked_stereo(refined);
    dsp_set_attacks(refined);
    dsp_set_level_keeping(refined);
    dsp_init(kFrame, kOver, kRate, 2);
    const int stepOut = kHop * 9 / 8, hops = 60, frames = hops * kHop;
    const std::vector<short> input =
        // The same note on both sides, 0.7 rad apart (tones() turns its second part by 0.7).
        interleave(tones(frames, {{20, 8000}}), tones(frames, {{20, 0}, {20, 6000}}));
    std::vector<short> output, buffer(2 * stepOut);
    for (int h = 0; h < hops; ++h) {
      dsp_set_panning(h >= 20 && h < 40 ? 1 : 0, h >= 20 && h < 40 ? 1 : 0, 50);
      std::copy_n(input.begin() + 2 * h * kHop, 2 * kHop, buffer.begin());
      ASSERT_EQ(dsp_process(buffer.data(), kHop, stepOut), DSP_OK);
      output.insert(output.end(), buffer.begin(), buffer.end());
    }
    const std::vector<short> left = channelOf(output, 0, 2), right = channelOf(output, 1, 2);
    const size_t on = 20 * static_cast<size_t>(stepOut), off = 40 * static_cast<size_t>(stepOut);
    for (size_t n = on + kFrame; n < off; ++n) ASSERT_EQ(left[n], right[n]) << "frame " << n;
    auto curvature = [](const std::vector<short>& y, size_t from, size_t to) {
      double most = 0.0;
      for (size_t n = from; n < to; ++n)
        most = std::max(most, std::fabs(y[n] - 2.0 * y[n - 1] + y[n - 2]));
      return most;
    };
    EXPECT_LE(curvature(right, on, on + 2 * kFrame), curvature(left, on, on + 2 * kFrame) + 2.0);
  }
  dsp_set_linked_stereo(false);
  dsp_set_attacks(false);
  dsp_set_level_keeping(false);
}

// The refinements, switched on and off again before a stream, leave it exactly as if
// they had never been touched.
TEST_F(DriverTest, RefinementsSwitchedOffChangeNothing) {
  const int frames = 40 * kHop;
  const std::vector<short> input =
      interleave(tones(frames, {{20, 8000}, {47, 3000}}), tones(frames, {{20, 5000}, {33, 6000}}));
  auto run = [&] {
    dsp_init(kFrame, kOver, kRate, 2);
    std::vector<short> output, buffer(2 * 2 * kHop);
    for (int h = 0; h < 40; ++h) {
      std::copy_n(input.begin() + 2 * h * kHop, 2 * kHop, buffer.begin());
      dsp_process(buffer.data(), kHop, kHop * 3 / 2);
      output.insert(output.end(), buffer.begin(), buffer.begin() + 2 * (kHop * 3 / 2));
    }
    return output;
  };
  const std::vector<short> untouched = run();
  for (void (*set)(bool) :
       {dsp_set_linked_stereo, dsp_set_attacks, dsp_set_fine_peaks, dsp_set_level_keeping}) {
    set(true);
  }
  const std::vector<short> refined = run();
  for (void (*set)(bool) :
       {dsp_set_linked_stereo, dsp_set_attacks, dsp_set_fine_peaks, dsp_set_level_keeping}) {
    set(false);
  }
  EXPECT_NE(refined, untouched);
  EXPECT_EQ(run(), untouched);
}

// The driver's code paths give the same bits and the same peak in every regime of
// the output stage: plain, limited, past the limiter's turning point, clamped,
// with a negative, infinite or NaN gain, with the remix on (which the fast paths
// convert with the plain loop), and for blocks that leave frames over after the
// last whole vector of output frames (two or four).
TEST_F(DriverTest, EveryPathGivesTheSameBitsAndPeak) {
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  struct Case {
    const char* what;
    int channels;
    float preamp;
    bool remix;
  };
  const Case cases[] = {
      {"mono", 1, 1.0f, false},
      {"mono limited", 1, 3.3f, false},
      {"mono past the turning point", 1, 40.0f, false},
      {"mono negative gain", 1, -6.0f, false},
      {"mono infinite gain", 1, inf, false},
      {"stereo", 2, 1.0f, false},
      {"stereo limited", 2, 3.3f, false},
      {"stereo past the turning point", 2, 60.0f, false},
      {"stereo negative infinite gain", 2, -inf, false},
      {"stereo NaN gain", 2, nan, false},
      {"stereo remix", 2, 2.0f, true},
  };
  // Whole hops in and whole output hops out, so that every output frame is fresh
  // (the work buffers keep stale frames across streams); 637, 822, 5, 639 and 1
  // frames out leave 1 to 7 frames over.
  const std::vector<Block> blocks =
      concat({repeat({kHop, kHop}, 3),
              {{kHop, 637}, {2 * kHop, 822}, {kHop, 5}, {3 * kHop, 639}, {kHop, 1}},
              repeat({kHop, 640}, 3)});
  size_t frames = 0;
  for (const Block& b : blocks) frames += b.in;
  std::vector<short> left = tones(frames, {{37.3, 20000}, {151.7, 9000}});
  const std::vector<short> right = tones(frames, {{23.9, 15000}, {301.1, 12000}});
  for (size_t t = 0; t < frames; t += 97) left[t] = -32768;
  const DspPath paths[] = {DSP_PATH_REFERENCE, DSP_PATH_BASELINE, DSP_PATH_AVX2};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::vector<short> input = c.channels == 1 ? left : interleave(left, right);
    std::vector<short> want;
    std::vector<float> wantPeaks;
    for (const DspPath path : paths) {
      if (!dsp_select_path(path)) continue;  // no AVX2 on this CPU
      SCOPED_TRACE(::testing::Message() << "path " << path);
      dsp_init(kFrame, kOver, kRate, c.channels);
      dsp_set_preamp(c.preamp);
      dsp_set_panning(c.remix ? 1 : 0, 0, 30);
      std::vector<float> peaks;
      const std::vector<short> got = runBlocks(input, c.channels, blocks, &peaks);
      if (path == DSP_PATH_REFERENCE) {
        want = got;
        wantPeaks = peaks;
        const auto loud = std::count_if(got.begin(), got.end(), [](short v) { return v != 0; });
        EXPECT_GT(loud, std::isnan(c.preamp) ? -1 : static_cast<long>(got.size() / 2));
        continue;
      }
      ASSERT_EQ(got.size(), want.size());
      const auto first = std::mismatch(got.begin(), got.end(), want.begin());
      EXPECT_TRUE(first.first == got.end()) << "sample " << (first.first - got.begin()) << ": "
                                            << *first.first << " instead of " << *first.second;
      ASSERT_EQ(peaks.size(), wantPeaks.size());
      for (size_t b = 0; b < peaks.size(); ++b) {
        EXPECT_EQ(peaks[b], wantPeaks[b]) << "peak of block " << b;
      }
    }
  }
}

// Every module resolves a path request alike (one CPU check for each kind of
// kernels), and refuses, keeping the path it had, a path this CPU cannot run: the
// AVX2 path off x86-64 or without its extensions, the baseline path of hand-written
// x86-64 kernels off x86-64.
TEST_F(DriverTest, EveryModuleResolvesAPathRequestAlike) {
  for (const int request : {CPU_PATH_REFERENCE, CPU_PATH_BASELINE, CPU_PATH_AVX2, CPU_PATH_BEST}) {
    SCOPED_TRACE(::testing::Message() << "request " << request);
    ASSERT_TRUE(support::selectAllPaths(CPU_PATH_REFERENCE));
    const auto check = [request](const char* name, CpuKernels kernels, auto select, auto path) {
      SCOPED_TRACE(name);
      const int resolved = cpu_resolve_path(request, kernels);
      EXPECT_EQ(select(static_cast<decltype(path())>(request)), resolved >= 0);
      EXPECT_EQ(path(), resolved >= 0 ? resolved : CPU_PATH_REFERENCE);
    };
    check("fft", fftKernels, fft_select_path, fft_path);
    check("vocoder", vocoderKernels, vocoder_select_path, vocoder_path);
    check("spectrum", spectrumKernels, spectrum_select_path, spectrum_path);
    check("dsp", dspKernels, dsp_select_path, dsp_path);
  }
  EXPECT_EQ(cpu_resolve_path(CPU_PATH_BEST + 1), -1);
  EXPECT_EQ(cpu_resolve_path(-1), -1);
  support::selectAllPaths(CPU_PATH_BEST);
}

// A block runs with denormals flushed and hands the caller back its own mode, on
// every CPU the guard knows (x86-64: MXCSR, aarch64: FPCR).
TEST_F(DriverTest, BlocksFlushDenormalsAndRestoreTheCallersMode) {
  volatile float smallest = FLT_MIN;
  ASSERT_GT(smallest / 4.0f, 0.0f) << "the test's own thread flushes denormals";
  {
    DenormalGuard guard;
    EXPECT_EQ(smallest / 4.0f, 0.0f);
  }
  dsp_init(kFrame, kOver, kRate, 2);
  std::vector<short> block(2 * kHop, 1000);
  ASSERT_EQ(dsp_process(block.data(), kHop, kHop), DSP_OK);
  EXPECT_GT(smallest / 4.0f, 0.0f);
}
