// The level keeping through the driver: a steady tone keeps every sample, noise comes
// back at the input's level where the stretch would lose 1 to 3 dB of it, and the side
// keeps its share of the image; and the keeper's gains stay within their range.

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "dsp.h"
#include "levelkeeper.h"
#include "signals.h"

namespace {

constexpr double kTwoPi = 6.283185307179586;
constexpr int kRate = 44100;
constexpr int kFrame = 2048;
constexpr int kHops = 16;
constexpr int kHop = kFrame / kHops;

struct Options {
  bool keep = false;
  bool linked = false;
};

// An interleaved stream of `channels` through the driver hop by hop at synthesis hop `out`.
std::vector<short> stretch(const std::vector<short>& x, int channels, int out, Options o) {
  dsp_set_level_keeping(o.keep);
  dsp_set_linked_stereo(o.linked);
  dsp_init(kFrame, kHops, kRate, channels);
  std::vector<short> y;
  std::vector<short> block(channels * std::max(kHop, out));
  for (size_t at = 0; at + kHop * channels <= x.size(); at += kHop * channels) {
    std::copy(x.begin() + at, x.begin() + at + kHop * channels, block.begin());
    dsp_process(block.data(), kHop, out);
    y.insert(y.end(), block.begin(), block.begin() + out * channels);
  }
  dsp_set_level_keeping(false);
  dsp_set_linked_stereo(false);
  return y;
}

// Mid and side energy per frame of an interleaved stereo stream from frame `from` on.
void midSide(const std::vector<short>& x, size_t from, double* mid, double* side) {
  *mid = *side = 0.0;
  for (size_t i = 2 * from; i + 1 < x.size(); i += 2) {
    const double m = 0.5 * (x[i] + x[i + 1]), s = 0.5 * (x[i] - x[i + 1]);
    *mid += m * m;
    *side += s * s;
  }
  const double frames = x.size() / 2.0 - from;
  *mid /= frames;
  *side /= frames;
}

std::vector<short> toShorts(const std::vector<float>& x) {
  std::vector<short> y(x.size());
  for (size_t i = 0; i < x.size(); ++i) y[i] = static_cast<short>(std::lround(x[i] * 32767.0));
  return y;
}

TEST(LevelKeeping, ASteadyToneKeepsEverySample) {
  std::vector<float> tone(4 * kRate);
  for (size_t t = 0; t < tone.size(); ++t) {
    tone[t] = static_cast<float>(0.2 * std::sin(kTwoPi * 220.0 / kRate * t) +
                                 0.1 * std::sin(kTwoPi * 660.0 / kRate * t + 1.0));
  }
  const std::vector<short> x = toShorts(tone);
  for (int out : {256, 64}) {
    EXPECT_EQ(stretch(x, 1, out, {true}), stretch(x, 1, out, {false})) << "synthesis hop " << out;
  }
}

// Independent noise in the two channels and a centred tone: the stretch loses more of
// the noise than of the tone, so the level drops and the side (all noise) loses more
// than the mid; kept, both come back to the input's level times the driver's tone
// gain of 0.75.
TEST(LevelKeeping, NoiseAndTheSideComeBackToTheInputsLevel) {
  const size_t frames = 5 * kRate;
  const std::vector<float> left = support::randomFloats(frames, 11, 0.3f);
  const std::vector<float> right = support::randomFloats(frames, 12, 0.3f);
  std::vector<float> mixed(2 * frames);
  for (size_t t = 0; t < frames; ++t) {
    const float tone = static_cast<float>(0.2 * std::sin(kTwoPi * 330.0 / kRate * t));
    mixed[2 * t] = left[t] + tone;
    mixed[2 * t + 1] = right[t] + tone;
  }
  const std::vector<short> x = toShorts(mixed);
  double inMid, inSide;
  midSide(x, 0, &inMid, &inSide);
  for (int out : {256, 64}) {
    const size_t settled = 2 * kRate;  // the gains move at most 10 dB per second
    double keptMid, keptSide, plainMid, plainSide;
    midSide(stretch(x, 2, out, {true, true}), settled, &keptMid, &keptSide);
    midSide(stretch(x, 2, out, {false, true}), settled, &plainMid, &plainSide);
    const double tone = 20.0 * std::log10(0.75);
    const auto db = [](double a, double b) { return 10.0 * std::log10(a / b); };
    SCOPED_TRACE(::testing::Message()
                 << "synthesis hop " << out << ": mid " << db(plainMid, inMid) << " dB, side "
                 << db(plainSide, inSide) << " dB unkept; kept " << db(keptMid, inMid) << " and "
                 << db(keptSide, inSide) << " dB");
    EXPECT_LT(db(plainSide, inSide), tone - 0.5);
    EXPECT_NEAR(db(keptMid, inMid), tone, 0.3);
    EXPECT_NEAR(db(keptSide, inSide), tone, 0.3);
  }
}

// Whatever the output does, the gains stay within -3 .. +3.5 dB: an output 20 dB
// weaker than a tone would be is raised by 3.5 dB and no more.
TEST(LevelKeeping, GainsStayWithinTheirRange) {
  LevelKeeper keeper;
  keeper.init(kRate, 0, 0);
  std::vector<float> in(kHop, 0.5f), out(kHop), toneGain(kHop, 1.0f);
  for (int block = 0; block < 10 * kRate / kHop; ++block) {
    for (float& v : out) v = 0.05f;  // a tenth of the input's level
    keeper.apply(in.data(), nullptr, kHop, 1.0, out.data(), nullptr, toneGain.data(), kHop, 1.0);
  }
  // (It settles within the 0.05 dB dead band of the limit.)
  EXPECT_NEAR(20.0 * std::log10(out[kHop - 1] / 0.05), 3.5, 0.06);
}

}  // namespace
