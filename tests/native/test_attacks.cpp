// Attacks through the driver with the attack handling on: a burst comes out as narrow
// as it went in at every stretch, and a steady tone under the attacks keeps its level.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "attacks.h"
#include "dsp.h"
#include "fft.h"
#include "measures.h"
#include "signals.h"

namespace {

constexpr double kTwoPi = 6.283185307179586;
constexpr int kRate = 44100;
constexpr int kFrame = 2048;
constexpr int kHops = 16;
constexpr int kHop = kFrame / kHops;

// A mono stream through the driver hop by hop at synthesis hop `out`, as floats.
std::vector<float> stretch(const std::vector<float>& x, int out, bool attacks) {
  dsp_set_attacks(attacks);
  dsp_init(kFrame, kHops, kRate, 1);
  std::vector<float> y;
  std::vector<short> block(std::max(kHop, out));
  for (size_t at = 0; at + kHop <= x.size(); at += kHop) {
    for (int i = 0; i < kHop; ++i) block[i] = static_cast<short>(std::lround(x[at + i] * 32767.0));
    dsp_process(block.data(), kHop, out);
    for (int i = 0; i < out; ++i) y.push_back(block[i] / 32767.0f);
  }
  dsp_set_attacks(false);
  return y;
}

// Noise bursts of 2 ms every 0.4 s, in silence, each starting at another place of the
// hop grid.
std::vector<float> bursts(size_t frames, std::vector<size_t>* onsets) {
  std::vector<float> x(frames, 0.0f);
  const std::vector<float> noise = support::randomFloats(frames, 3, 0.5f);
  for (size_t at = kRate / 4; at + 4 * kFrame < frames; at += kRate * 2 / 5 + 37) {
    onsets->push_back(at);
    for (size_t i = 0; i < 88; ++i) x[at + i] = noise[at + i];
  }
  return x;
}

// Width in ms of the span where the 64-sample energy average stays within 30 dB of its
// peak, in the output around the place where input frame `onset` should come out.
double widthMs(const std::vector<float>& y, size_t onset, double stretchFactor) {
  const double latency = (kFrame / kHop - 1) * stretchFactor * kHop;
  const long centre = std::lround(onset * stretchFactor + latency);
  const long from = std::max(0L, centre - kRate / 10),
             to = std::min<long>(y.size(), centre + kRate / 10);
  std::vector<double> energy(to - from, 0.0);
  double running = 0.0, peak = 0.0;
  for (long n = from; n < to; ++n) {
    running += static_cast<double>(y[n]) * y[n];
    if (n - 64 >= from) running -= static_cast<double>(y[n - 64]) * y[n - 64];
    energy[n - from] = running;
    peak = std::max(peak, running);
  }
  long first = -1, last = -1;
  for (long i = 0; i < to - from; ++i) {
    if (energy[i] >= peak * 1e-3) {
      if (first < 0) first = i;
      last = i;
    }
  }
  return (last - first + 1) * 1000.0 / kRate;
}

TEST(Attacks, ABurstKeepsItsWidthAtEveryStretch) {
  std::vector<size_t> onsets;
  const std::vector<float> x = bursts(3 * kRate, &onsets);
  for (int out : {256, 64}) {
    const double s = static_cast<double>(out) / kHop;
    const std::vector<float> kept = stretch(x, out, true);
    const std::vector<float> plain = stretch(x, out, false);
    double worstKept = 0.0, worstPlain = 0.0;
    for (size_t onset : onsets) {
      worstKept = std::max(worstKept, widthMs(kept, onset, s));
      worstPlain = std::max(worstPlain, widthMs(plain, onset, s));
    }
    SCOPED_TRACE(::testing::Message()
                 << "stretch " << s << ": widest burst " << worstKept
                 << " ms, without the attack handling " << worstPlain << " ms");
    // The input's burst reads 3.5 ms (2 ms and the 64-sample average).
    EXPECT_LT(worstKept, 6.0);
    EXPECT_GT(worstPlain, 2.0 * worstKept);
  }
}

// Bursts high-passed (a second difference of noise: nothing near 220 Hz) over a steady
// 220 Hz tone: the tone's bins do not rise with the bursts, keep their phases, and the
// tone comes out at one level throughout, without a dip or a click at the attacks.
TEST(Attacks, ASteadyToneUnderTheAttacksKeepsItsLevel) {
  std::vector<size_t> onsets;
  std::vector<float> x = bursts(4 * kRate, &onsets);
  std::vector<float> high(x.size(), 0.0f);
  for (size_t t = 2; t < x.size(); ++t) high[t] = 0.25f * (x[t] - 2 * x[t - 1] + x[t - 2]);
  for (size_t t = 0; t < x.size(); ++t) {
    high[t] += static_cast<float>(0.3 * std::sin(kTwoPi * 220.0 / kRate * t));
  }
  for (int out : {256, 64}) {
    const std::vector<float> y = stretch(high, out, true);
    const double f = 220.0 / kRate;
    double least = 1e9, most = 0.0;
    // From two frames of output on: the tone itself starts as an attack.
    const size_t settled = 2 * static_cast<size_t>(kFrame / kHop) * out;
    for (size_t at = settled; at + 4096 < y.size() - settled; at += 1024) {
      const double a = std::abs(support::windowedTone(y.data() + at, 4096, f));
      least = std::min(least, a);
      most = std::max(most, a);
    }
    EXPECT_LT(20.0 * std::log10(most / least), 0.5) << "synthesis hop " << out;
  }
}

}  // namespace

namespace {

// Attacks frame after frame over two channels of bursts in quiet noise, each frame's
// magnitudes from a Hann-windowed transform. carry: the serials of consecutive frames
// follow on, so that the block energies carry over; otherwise every frame starts afresh.
// Returns every frame's magnitudes and turns after the call.
std::vector<float> keepAttacks(const std::vector<float>& x, bool carry) {
  constexpr int half = kFrame / 2, hop = 512;
  Attacks attacks;
  attacks.init(kFrame, hop);
  Fft fft;
  fft.init(kFrame);
  std::vector<float> buffer(2 * kFrame), summed(half), mags[2], turn(half), psi(half, 0.5f),
      phi0(half, 0.25f), omega(half);
  for (int k = 0; k < half; ++k) omega[k] = static_cast<float>(kTwoPi * k * hop / kFrame);
  std::vector<float> trace;
  for (size_t f = 0; (f + 1) * hop + kFrame <= x.size() / 2; ++f) {
    std::vector<float> history[2];
    std::fill(summed.begin(), summed.end(), 0.0f);
    for (int ch = 0; ch < 2; ++ch) {
      history[ch].resize(kFrame);
      for (int i = 0; i < kFrame; ++i) {
        history[ch][i] = x[2 * (f * hop + i) + ch];
        const double w = 0.5 - 0.5 * std::cos(kTwoPi * i / kFrame);
        buffer[2 * i] = static_cast<float>(history[ch][i] * w);
        buffer[2 * i + 1] = 0.0f;
      }
      fft.process(buffer.data(), -1);
      mags[ch].resize(half);
      for (int k = 0; k < half; ++k) {
        mags[ch][k] = std::hypot(buffer[2 * k], buffer[2 * k + 1]);
        summed[k] += mags[ch][k];
      }
    }
    std::fill(turn.begin(), turn.end(), 0.0f);
    AttackFrame frame;
    frame.channels = 2;
    frame.summed = summed.data();
    frame.omega = omega.data();
    frame.stretch = 1.25;
    frame.serial = carry ? static_cast<long>(f) : 2 * static_cast<long>(f);
    for (int ch = 0; ch < 2; ++ch) {
      frame.history[ch] = history[ch].data();
      frame.mags[ch] = mags[ch].data();
      frame.rotation[ch] = turn.data();
      frame.psi[ch] = psi.data();
      frame.phi0[ch] = phi0.data();
    }
    attacks.frame(frame);
    trace.insert(trace.end(), mags[0].begin(), mags[0].end());
    trace.insert(trace.end(), turn.begin(), turn.end());
  }
  return trace;
}

}  // namespace

// The energies of the detection blocks that a frame shares with the one before carry
// over: the attacks found, and every magnitude and turn, are those of frames that work
// out all their blocks afresh.
TEST(Attacks, CarriedEnergiesFindTheSameAttacks) {
  std::vector<size_t> onsets;
  const std::vector<float> burst = bursts(kRate, &onsets);
  const std::vector<float> floor = support::randomFloats(2 * kRate, 8, 0.01f);
  std::vector<float> x(2 * kRate);
  for (size_t i = 0; i < x.size(); ++i) x[i] = burst[i / 2] * (i % 2 ? 0.5f : 1.0f) + floor[i];
  const std::vector<float> carried = keepAttacks(x, true);
  const std::vector<float> afresh = keepAttacks(x, false);
  ASSERT_EQ(carried.size(), afresh.size());
  EXPECT_EQ(0, std::memcmp(carried.data(), afresh.data(), sizeof(float) * carried.size()));
  size_t turned = 0;
  for (size_t i = kFrame / 2; i < afresh.size(); i += kFrame) {
    for (size_t k = 0; k < kFrame / 2; ++k) turned += afresh[i + k] != 0.0f;
  }
  EXPECT_GT(turned, 0u) << "attacks were found and their bins turned";
}
