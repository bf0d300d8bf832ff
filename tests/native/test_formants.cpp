// Formants kept through the key change (Engine::setFormantsKept): on a synthetic vowel
// whose envelope is known, the harmonics' amplitudes after a key change follow the
// envelope at their new frequencies when kept and do not when shifted; switching while
// playing gives no click; switched off, the engine returns to its old samples.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <vector>

#include "dsp.h"
#include "formants.h"

namespace {

constexpr int kFrame = 2048, kOver = 4, kHop = kFrame / kOver, kRate = 44100;
constexpr int kBlockIn = 4 * kHop;

// An /a/-like envelope: a source falling 6 dB an octave through three resonators.
double envelope(double f) {
  const double formants[3][2] = {{700, 130}, {1220, 90}, {2600, 160}};
  double e = 1.0 / std::max(f, 100.0);
  for (const auto& r : formants) {
    const double x = f / r[0];
    e /= std::sqrt((1 - x * x) * (1 - x * x) +
                   (f * r[1] / (r[0] * r[0])) * (f * r[1] / (r[0] * r[0])));
  }
  return e;
}

// Frames of the vowel at fundamental f0 (mono), harmonics up to 8 kHz, peak about 0.5.
std::vector<short> vowel(double f0, int frames) {
  std::vector<double> v(frames, 0.0);
  for (int h = 1; h * f0 < 8000; ++h) {
    const double a = envelope(h * f0);
    const double phase = 0.7 * h * h;  // spread phases keep the peak low
    for (int i = 0; i < frames; ++i) v[i] += a * std::sin(2 * M_PI * h * f0 * i / kRate + phase);
  }
  double peak = 0;
  for (double x : v) peak = std::max(peak, std::fabs(x));
  std::vector<short> out(frames);
  for (int i = 0; i < frames; ++i)
    out[i] = static_cast<short>(std::lround(0.5 * 32767 * v[i] / peak));
  return out;
}

// Runs the samples through the key change at hop stepOut (ratio stepOut / kHop), with
// `kept(block)` choosing the switch before each block.
template <typename Kept>
std::vector<short> keyChange(const std::vector<short>& in, int stepOut, Kept kept) {
  Engine e;
  e.init(kFrame, kOver, kRate, 1);
  EXPECT_TRUE(e.setPitchRatio(static_cast<double>(stepOut) / kHop));
  std::vector<short> out, block;
  for (size_t b = 0; (b + 1) * kBlockIn <= in.size(); ++b) {
    e.setFormantsKept(kept(b));
    const int room = e.stageRoom(kBlockIn, stepOut);
    block.assign(room, 0);
    const int made =
        e.processStage(in.data() + b * kBlockIn, kBlockIn, stepOut, block.data(), room, nullptr);
    EXPECT_GE(made, 0);
    out.insert(out.end(), block.begin(), block.begin() + std::max(made, 0));
  }
  return out;
}

// Amplitude of frequency f in samples [from, from + n) under a Hann window.
double amplitude(const std::vector<short>& s, size_t from, int n, double f) {
  std::complex<double> sum = 0;
  double weights = 0;
  for (int i = 0; i < n; ++i) {
    const double w = 0.5 - 0.5 * std::cos(2 * M_PI * i / n);
    sum += w * static_cast<double>(s[from + i]) * std::polar(1.0, -2 * M_PI * f * i / kRate);
    weights += w;
  }
  return 2 * std::abs(sum) / weights;
}

// RMS in dB of the output's harmonics (fundamental f0 x ratio, up to 5 kHz) against the
// envelope at their frequencies, after removing the mean difference (the level).
double envelopeError(const std::vector<short>& out, double f0, double ratio) {
  std::vector<double> diff;
  for (int h = 1; h * f0 * ratio < 4000 && h * f0 < 4000; ++h) {
    const double f = h * f0 * ratio;
    diff.push_back(20 * std::log10(amplitude(out, out.size() / 3, 8192, f) / envelope(f)));
  }
  double mean = 0;
  for (double d : diff) mean += d / diff.size();
  double sq = 0;
  for (double d : diff) sq += (d - mean) * (d - mean) / diff.size();
  return std::sqrt(sq);
}

TEST(Formants, KeptEnvelopeFollowsTheVowelShiftedDoesNot) {
  for (const double f0 : {110.0, 220.0, 330.0}) {
    const std::vector<short> in = vowel(f0, 40 * kBlockIn);
    for (const int stepOut : {406, 645, 767}) {  // -4, +4 and +7 semitones
      const double ratio = static_cast<double>(stepOut) / kHop;
      const double kept =
          envelopeError(keyChange(in, stepOut, [](size_t) { return true; }), f0, ratio);
      const double shifted =
          envelopeError(keyChange(in, stepOut, [](size_t) { return false; }), f0, ratio);
      EXPECT_LT(kept, 3.5) << "f0 " << f0 << " ratio " << ratio;
      EXPECT_GT(shifted, 8.0) << "f0 " << f0 << " ratio " << ratio;
    }
  }
}

// Energy of the second difference (where a click's broadband burst shows) in windows of
// 256 samples.
std::vector<double> roughness(const std::vector<short>& s) {
  std::vector<double> out;
  for (size_t at = 2; at + 256 <= s.size(); at += 256) {
    double e = 0;
    for (size_t i = at; i < at + 256; ++i) {
      const double d = static_cast<double>(s[i]) - 2.0 * s[i - 1] + s[i - 2];
      e += d * d;
    }
    out.push_back(e);
  }
  return out;
}

TEST(Formants, SwitchingWhilePlayingMakesNoClick) {
  const std::vector<short> in = vowel(150.0, 40 * kBlockIn);
  const std::vector<short> out = keyChange(in, 645, [](size_t b) { return b >= 12 && b < 26; });
  const std::vector<double> r = roughness(out);
  // Steady before the switch on, while on, after the switch off: a window around each
  // switch rises no more than 2 dB over the larger of the steady states on its sides.
  const size_t perBlock = kBlockIn / 256;  // the key change keeps the length
  auto most = [&](size_t from, size_t to) {
    return *std::max_element(r.begin() + from, r.begin() + to);
  };
  const double steady =
      std::max({most(4 * perBlock, 11 * perBlock), most(18 * perBlock, 25 * perBlock),
                most(32 * perBlock, r.size())});
  for (size_t i = 4 * perBlock; i < r.size(); ++i) {
    ASSERT_LE(r[i], steady * 1.6) << "window " << i;
  }
}

TEST(Formants, SwitchedOffGivesTheOldSamples) {
  const std::vector<short> in = vowel(150.0, 30 * kBlockIn);
  const std::vector<short> never = keyChange(in, 645, [](size_t) { return false; });
  const std::vector<short> once = keyChange(in, 645, [](size_t b) { return b >= 5 && b < 10; });
  ASSERT_EQ(never.size(), once.size());
  EXPECT_NE(never, once);
  // From three frames after the fade out (two frames long, from block 10) on, bit for
  // bit: the last reshaped frame has left the overlap and the converter.
  const size_t from = 10 * kBlockIn + 5 * kFrame;
  EXPECT_TRUE(std::equal(never.begin() + from, never.end(), once.begin() + from));
  // At no key change (ratio 1) keeping changes nothing.
  const std::vector<short> plain = keyChange(in, kHop, [](size_t) { return false; });
  EXPECT_EQ(plain, keyChange(in, kHop, [](size_t) { return true; }));
}

// Linked stereo with the right channel at half the left's: both channels take the same gain
// per bin, so the output keeps the ratio (to the 16-bit rounding), and the envelope read
// from both is the vowel's.
TEST(Formants, StereoChannelsKeepTheirRelation) {
  const std::vector<short> mono = vowel(150.0, 20 * kBlockIn);
  std::vector<short> in(2 * mono.size());
  for (size_t i = 0; i < mono.size(); ++i) {
    in[2 * i] = mono[i];
    in[2 * i + 1] = static_cast<short>(mono[i] / 2);
  }
  Engine e;
  e.init(kFrame, kOver, kRate, 2);
  e.setLinkedStereo(true);
  e.setFormantsKept(true);
  ASSERT_TRUE(e.setPitchRatio(645.0 / kHop));
  std::vector<short> block, left;
  double worst = 0, loudest = 0;
  for (size_t b = 0; b < 20; ++b) {
    const int room = e.stageRoom(kBlockIn, 645);
    block.assign(2 * room, 0);
    const int made =
        e.processStage(in.data() + 2 * b * kBlockIn, kBlockIn, 645, block.data(), room, nullptr);
    ASSERT_GE(made, 0);
    for (int i = 0; i < made; ++i) {
      worst = std::max(worst, std::fabs(block[2 * i] / 2.0 - block[2 * i + 1]));
      loudest = std::max(loudest, std::fabs(static_cast<double>(block[2 * i])));
      left.push_back(block[2 * i]);
    }
  }
  EXPECT_GT(loudest, 5000);
  EXPECT_LE(worst, 2.0);
  EXPECT_LT(envelopeError(left, 150.0, 645.0 / kHop), 3.5);
}

// Both channels go through one transform and are parted after it: with the right channel
// the left one delayed (their sum would be combed), the gains are those of the left alone.
TEST(Formants, StereoEnvelopeIsTheChannelsParted) {
  const std::vector<short> v = vowel(150.0, 2 * kFrame);
  std::vector<float> left(kFrame), right(kFrame);
  for (int i = 0; i < kFrame; ++i) {
    left[i] = v[kFrame / 2 + i];
    right[i] = v[kFrame / 2 + i - 37];
  }
  FormantKeeper mono, stereo;
  std::vector<float> alone(kFrame / 2), both(kFrame / 2), other(kFrame / 2);
  for (FormantKeeper* f : {&mono, &stereo}) {
    f->init(kFrame, kHop, kRate);
    f->setTarget(true, 1.26);
  }
  for (int frame = 0; frame < 4 * kOver; ++frame) {  // past the fade in
    std::fill(alone.begin(), alone.end(), 1.0f);
    std::fill(both.begin(), both.end(), 1.0f);
    std::fill(other.begin(), other.end(), 1.0f);
    mono.apply(alone.data(), nullptr, left.data(), nullptr);
    stereo.apply(both.data(), other.data(), left.data(), right.data());
  }
  double worst = 0, widest = 0;
  for (int k = 1; k < kFrame / 2; ++k) {
    ASSERT_EQ(both[k], other[k]);
    worst = std::max(worst, std::fabs(20.0 * std::log10(both[k] / alone[k])));
    widest = std::max(widest, std::fabs(20.0 * std::log10(alone[k])));
  }
  EXPECT_GT(widest, 10.0);  // the gains do reshape
  EXPECT_LT(worst, 1.0);
}

}  // namespace
