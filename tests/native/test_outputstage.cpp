// The engine's own output stage (Engine::setOutputStage, setGain, setPitchRatio,
// processStage), measured on steady tones against values worked out here: the level
// through changes of hop, the gain's glide, the key change's frequency and length, and
// the soft limiter's curve.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <thread>
#include <vector>

#include "dsp.h"

namespace {

// 1024-sample frames, hop 256, at 32768 Hz: a tone of 1024 Hz sits on bin 32 and has a
// period of 32 samples, so windows of whole periods measure its amplitude exactly.
constexpr int kFrame = 1024, kOver = 4, kHop = kFrame / kOver, kRate = 32768;
constexpr int kPeriod = 32, kBlockIn = 4 * kHop;

// blocks x kBlockIn frames of a sine of `amplitude` (full scale 1), on every channel.
std::vector<short> tone(int blocks, double amplitude, int channels) {
  std::vector<short> out(static_cast<size_t>(blocks) * kBlockIn * channels);
  for (size_t i = 0; i < out.size(); ++i) {
    const double phase = 2 * M_PI * static_cast<double>(i / channels) / kPeriod;
    out[i] = static_cast<short>(std::lround(amplitude * 32768 * std::sin(phase)));
  }
  return out;
}

// Amplitudes (full scale 1) of the mono samples, window by window of `period`.
std::vector<double> amplitudes(const std::vector<short>& s, size_t from, int period) {
  std::vector<double> out;
  for (size_t at = from; at + period <= s.size(); at += period) {
    double sum = 0;
    for (int i = 0; i < period; ++i) sum += static_cast<double>(s[at + i]) * s[at + i];
    out.push_back(std::sqrt(2 * sum / period) / 32767);
  }
  return out;
}

double decibels(double ratio) { return 20 * std::log10(ratio); }

// Runs blocks through processStage() at hop `step`, then drains the stream.
std::vector<short> runStage(Engine& e, const std::vector<short>& in, int channels, int step) {
  std::vector<short> out, block;
  const int blocks = static_cast<int>(in.size() / channels / kBlockIn);
  for (int b = 0; b < blocks; ++b) {
    const int room = e.stageRoom(kBlockIn, step);
    EXPECT_GT(room, 0);
    block.assign(static_cast<size_t>(room) * channels, 0);
    const int made = e.processStage(in.data() + static_cast<size_t>(b) * kBlockIn * channels,
                                    kBlockIn, step, block.data(), room, nullptr);
    EXPECT_GE(made, 0);
    out.insert(out.end(), block.begin(), block.begin() + made * channels);
  }
  block.assign(static_cast<size_t>(e.stageRoom(0, 1)) * channels, 0);
  const int tail = e.finishStage(block.data(), e.stageRoom(0, 1));
  EXPECT_GE(tail, 0);
  out.insert(out.end(), block.begin(), block.begin() + tail * channels);
  return out;
}

// Speeds 0.5 and 2 block by block: the raw stage's level jumps with the overlap of the
// frames laid at the other hop; the engine's stage keeps the tone's amplitude.
TEST(OutputStage, SteadyToneKeepsItsLevelThroughChangesOfHop) {
  const double amplitude = 0.5;
  const int blocks = 24;
  const std::vector<short> in = tone(blocks, amplitude, 1);
  double rawLow = 1e9, rawHigh = 0, stageLow = 1e9, stageHigh = 0;
  for (const bool own : {false, true}) {
    Engine e;
    e.init(kFrame, kOver, kRate, 1);
    e.setOutputStage(own);
    std::vector<short> out, block;
    for (int b = 0; b < blocks; ++b) {
      const int samplesOut = 4 * (b % 2 == 0 ? kHop / 2 : 2 * kHop);
      block.assign(std::max(kBlockIn, samplesOut), 0);
      std::copy_n(in.begin() + b * kBlockIn, kBlockIn, block.begin());
      ASSERT_EQ(e.process(block.data(), kBlockIn, samplesOut), DSP_OK);
      out.insert(out.end(), block.begin(), block.begin() + samplesOut);
    }
    // From the fifth block on, the frames overlap fully; the windows run across every
    // change of hop.
    for (double a : amplitudes(out, 2 * 4 * (kHop / 2 + 2 * kHop), kPeriod)) {
      (own ? stageLow : rawLow) = std::min(own ? stageLow : rawLow, a);
      (own ? stageHigh : rawHigh) = std::max(own ? stageHigh : rawHigh, a);
    }
  }
  const double expected = amplitude * 32767 / 32768;
  EXPECT_LT(std::fabs(decibels(stageLow / expected)), 0.01);
  EXPECT_LT(std::fabs(decibels(stageHigh / expected)), 0.01);
  EXPECT_GT(decibels(rawHigh / rawLow), 1.0);
}

// setGain() mid-stream: the next block's frames glide from 1 to 0.25 in 20 ms, frame k
// of the glide at 1 - 0.75 s(t), t = (k + 1) / 655, s(t) = 3 t^2 - 2 t^3, measured
// against the same stream at gain 1.
TEST(OutputStage, GainGlidesOverTwentyMilliseconds) {
  const int blocks = 8, changeAt = 4;
  const std::vector<short> in = tone(blocks, 0.9, 1);
  std::vector<short> plain, glided;
  for (const bool change : {false, true}) {
    Engine e;
    e.init(kFrame, kOver, kRate, 1);
    std::vector<short> out, block(e.stageRoom(kBlockIn, kHop));
    for (int b = 0; b < blocks; ++b) {
      if (change && b == changeAt) e.setGain(0.25f);
      const int made = e.processStage(in.data() + b * kBlockIn, kBlockIn, kHop, block.data(),
                                      static_cast<int>(block.size()), nullptr);
      ASSERT_EQ(made, kBlockIn);
      out.insert(out.end(), block.begin(), block.begin() + made);
    }
    (change ? glided : plain) = out;
  }
  const int ramp = 655;  // 20 ms at 32768 Hz
  int checked = 0;
  for (size_t i = 0; i < plain.size(); ++i) {
    if (std::abs(plain[i]) < 0.4 * 32767) continue;
    const int k = static_cast<int>(i) - changeAt * kBlockIn;
    const double t = (k + 1.0) / ramp;
    const double gain = k < 0 ? 1.0 : k < ramp ? 1.0 - 0.75 * (3 * t * t - 2 * t * t * t) : 0.25;
    ASSERT_NEAR(static_cast<double>(glided[i]) / plain[i], gain, 2e-4) << "frame " << i;
    ++checked;
  }
  EXPECT_GT(checked, 3000);
}

// The latency and the end of a stream, cut before the key change: with `skip` and `keep`
// the stage gives exactly the frames [skip, skip + keep) of the block it gives whole,
// and a ratio set afterwards sees only those.
TEST(OutputStage, SkipAndKeepCutTheVocoderFrames) {
  const std::vector<short> in = tone(2, 0.5, 2);
  std::vector<short> whole, cut;
  for (const bool cutting : {false, true}) {
    Engine e;
    e.init(kFrame, kOver, kRate, 2);
    std::vector<short> block(static_cast<size_t>(e.stageRoom(kBlockIn, kHop)) * 2);
    std::vector<short>& out = cutting ? cut : whole;
    for (int b = 0; b < 2; ++b) {
      const int made = e.processStage(in.data() + static_cast<size_t>(b) * kBlockIn * 2, kBlockIn,
                                      kHop, block.data(), static_cast<int>(block.size() / 2),
                                      nullptr, cutting ? 100 : 0, cutting ? 300 : INT32_MAX);
      ASSERT_EQ(made, cutting ? 300 : kBlockIn);
      out.insert(out.end(), block.begin(), block.begin() + made * 2);
    }
  }
  for (int b = 0; b < 2; ++b) {
    for (int i = 0; i < 300 * 2; ++i) {
      ASSERT_EQ(cut[b * 600 + i], whole[(b * kBlockIn + 100) * 2 + i]) << "block " << b;
    }
  }
}

// Zero crossings (rising, interpolated) per second over the samples of channel 0.
double frequency(const std::vector<short>& s, int channels, size_t from, size_t to) {
  double first = -1, last = -1;
  int crossings = 0;
  for (size_t i = from + 1; i < to; ++i) {
    const double a = s[(i - 1) * channels], b = s[i * channels];
    if (a < 0 && b >= 0) {
      const double at = static_cast<double>(i - 1) + a / (a - b);
      if (first < 0) first = at;
      last = at;
      ++crossings;
    }
  }
  return (crossings - 1) / (last - first) * kRate;
}

// A key change by ratio r (the pitch factor): frequencies come out times r and the
// stream, drained, is round(frames / r) long; the stage keeps the level and both
// channels alike.
TEST(OutputStage, KeyChangeScalesFrequencyAndLength) {
  const int blocks = 40;  // 40960 frames: 32768 at ratio 1.25
  const double ratio = 1.25;
  const std::vector<short> in = tone(blocks, 0.5, 2);
  Engine e;
  EXPECT_FALSE(e.setPitchRatio(ratio));  // no converter before init()
  e.init(kFrame, kOver, kRate, 2);
  EXPECT_FALSE(e.setPitchRatio(5.0));
  ASSERT_TRUE(e.setPitchRatio(ratio));
  const std::vector<short> out = runStage(e, in, 2, kHop);
  const size_t frames = out.size() / 2;
  EXPECT_EQ(frames, static_cast<size_t>(blocks * kBlockIn / ratio));
  EXPECT_NEAR(frequency(out, 2, frames / 4, frames * 3 / 4), 1024 * ratio, 0.05);
  std::vector<short> left(frames / 2);
  for (size_t i = 0; i < left.size(); ++i) {
    left[i] = out[2 * (frames / 4 + i)];
    ASSERT_EQ(out[2 * (frames / 4 + i)], out[2 * (frames / 4 + i) + 1]);
  }
  // 128 samples hold five whole periods of 1280 Hz at 32768 Hz.
  for (double a : amplitudes(left, 0, 128)) EXPECT_NEAR(decibels(a / 0.5), 0, 0.01);
}

// A key change set mid-stream takes over from the unconverted frames without a gap or
// a click: no window of whole periods loses level, and no step between two samples is
// steeper than the faster tone's.
TEST(OutputStage, KeyChangeMidStreamRunsOn) {
  const int blocks = 20;
  const std::vector<short> in = tone(blocks, 0.5, 1);
  Engine e;
  e.init(kFrame, kOver, kRate, 1);
  std::vector<short> out, block(e.stageRoom(kBlockIn, kHop));
  for (int b = 0; b < blocks; ++b) {
    if (b == 10) {
      ASSERT_TRUE(e.setPitchRatio(1.25));
    }
    const int made = e.processStage(in.data() + b * kBlockIn, kBlockIn, kHop, block.data(),
                                    static_cast<int>(block.size()), nullptr);
    ASSERT_GE(made, 0);
    out.insert(out.end(), block.begin(), block.begin() + made);
  }
  // Windows of 128 samples hold whole periods at 1024 Hz and at 1280 Hz.
  for (double a : amplitudes(out, 2 * kFrame, 128)) EXPECT_NEAR(decibels(a / 0.5), 0, 0.05);
  const double steepest = 0.5 * 32767 * 2 * M_PI * 1280 / kRate;
  for (size_t i = 2 * kFrame + 1; i < out.size(); ++i) {
    ASSERT_LE(std::abs(out[i] - out[i - 1]), steepest + 2) << "frame " << i;
  }
}

// The soft limiter of the raw stage: a level of 0.95 passes, above it the curve
// v (1 + (|v| - 0.95) k) bends it (k -0.25 mono, -0.125 stereo), and past the turning
// point (2.475 in mono) the sample rails at full scale. The peak is read before it.
TEST(OutputStage, LimiterFollowsTheRawCurve) {
  struct Case {
    int channels;
    float gain;  // on a tone of 0.5
    double expectedPeak;
  };
  const Case cases[] = {{1, 1.9f, 0.95},
                        {1, 2.0f, 1.0 * (1 + 0.05 * -0.25)},
                        {2, 2.0f, 1.0 * (1 + 0.05 * -0.125)},
                        {1, 6.0f, 1.0}};
  // One engine for all: each init() starts a stream afresh in its channel count, which
  // takes its gain at once.
  Engine e;
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.channels << " channels, gain " << c.gain);
    const std::vector<short> in = tone(8, 0.5, c.channels);
    e.init(kFrame, kOver, kRate, c.channels);
    e.setGain(c.gain);
    const std::vector<short> out = runStage(e, in, c.channels, kHop);
    // Past the first frame, where the stream's silent start still shapes the tone.
    const int peak = *std::max_element(out.begin() + 2 * kFrame * c.channels, out.end());
    EXPECT_NEAR(peak, c.expectedPeak * 32767, 2.0);
    EXPECT_NEAR(e.maxLevel(), 0.5 * c.gain, 1e-3);
  }
}

// The stage's settings from a control thread while the audio thread runs blocks (for
// ThreadSanitizer), blocks of processStage() and process() taking turns: every block
// still fits its room and the stream stays in range.
TEST(OutputStage, SettingsFromAnotherThread) {
  const std::vector<short> in = tone(1, 0.5, 2);
  Engine e;
  e.init(kFrame, kOver, kRate, 2);
  std::atomic<bool> done{false};
  std::thread control([&] {
    const double ratios[] = {1.25, 0.8, 1.0};
    for (int i = 0; !done.load(); ++i) {
      e.setGain(i % 2 == 0 ? 0.5f : 1.5f);
      e.setPitchRatio(ratios[i % 3]);
      e.setOutputStage(i % 2 == 0);
      e.setFormantsKept(i % 3 != 0);
      std::this_thread::yield();
    }
  });
  std::vector<short> out(static_cast<size_t>(e.stageRoom(kBlockIn, kHop)) * 2);
  for (int b = 0; b < 200; ++b) {
    if (b % 2 == 1) {  // process(), which runs the stage while it is switched on
      std::copy(in.begin(), in.end(), out.begin());
      ASSERT_EQ(e.process(out.data(), kBlockIn, kBlockIn), DSP_OK);
      continue;
    }
    float peak = -1;
    const int room = e.stageRoom(kBlockIn, kHop);
    ASSERT_LE(static_cast<size_t>(room) * 2, out.size());
    ASSERT_GE(e.processStage(in.data(), kBlockIn, kHop, out.data(), room, &peak), 0);
    EXPECT_TRUE(peak >= 0 && peak < 4);
  }
  done.store(true);
  control.join();
}

}  // namespace
