// The note-band analyser: band frequencies, tone responses against a direct DFT in
// double precision, smoothing, the decimating push, the analysis counting, the
// stereo fold, the frozen state while disabled, copies taken during analyses, the
// tap's independence of how the stream is cut, and analysers on several threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "spectrum.h"
#include "testing.h"

namespace {

constexpr double kPi = 3.141592653589793;
constexpr int kRate = 44100;
constexpr int kPeriod = 1378;  // 44100 / 4 / 8: stream samples between analyses

double bandHz(int band) { return 440.0 * std::pow(2.0, (band - 45) / 12.0); }

std::vector<float> bandsOf(SpectrumAnalyser& a) {
  const float* b = SpectrumProbe::bands(a);
  return std::vector<float>(b, b + 72);
}

// A sine of amplitude amp at hz, stream samples [start, start + count).
std::vector<float> tone(double hz, double amp, long start, int count, double phase = 0.3) {
  std::vector<float> x(count);
  for (int i = 0; i < count; ++i) {
    x[i] = static_cast<float>(amp * std::sin(2.0 * kPi * hz * (start + i) / kRate + phase));
  }
  return x;
}

// Magnitude of every band for a history of decimated tone samples, computed
// directly: periodic Hann window, exact complex exponentials, all in double.
std::vector<double> directBands(double hz, double amp, double phase = 0.3) {
  std::vector<double> out(72);
  for (int b = 0; b < 72; ++b) {
    std::complex<double> acc = 0.0;
    for (int m = 0; m < 4096; ++m) {
      const double x = amp * std::sin(2.0 * kPi * hz * (4.0 * m) / kRate + phase);
      const double w = 0.5 - 0.5 * std::cos(2.0 * kPi * m / 4096.0);
      acc += w * x * std::polar(1.0, -2.0 * kPi * bandHz(b) * m / (kRate / 4));
    }
    out[b] = std::abs(acc) / 4096.0;
  }
  return out;
}

class Spectrum : public testing::Test {
 protected:
  void SetUp() override { reset(kRate, 1); }

  // A fresh analyser for (rate, channels): no samples counted yet.
  void reset(int rate, int channels) {
    analyser = std::make_unique<SpectrumAnalyser>();
    analyser->init(rate, channels);
  }
  void init(int rate, int channels) { analyser->init(rate, channels); }
  void feed(const float* x, int size, int channel) { analyser->push(x, size, channel); }
  long long pending() const { return SpectrumProbe::counted(*analyser); }
  float* values() { return SpectrumProbe::bands(*analyser); }
  std::vector<float> bands() { return bandsOf(*analyser); }
  std::vector<float> history() const { return SpectrumProbe::history(*analyser); }
  void setHistory(const std::vector<float>& h) { SpectrumProbe::setHistory(*analyser, h); }
  const SpectrumCoefficients& coefficients() const {
    return *SpectrumProbe::coefficients(*analyser);
  }

  std::unique_ptr<SpectrumAnalyser> analyser;
};

TEST_F(Spectrum, BandFrequenciesFollowTheQuarterRate) {
  struct Case {
    int streamRate, analyserRate;
  };
  for (Case c : {Case{44100, 11025}, Case{48000, 12000}, Case{22050, 5512}}) {
    SCOPED_TRACE(testing::Message() << "rate=" << c.streamRate);
    init(c.streamRate, 1);
    for (int b = 0; b < 72; ++b) {
      // The phase step between neighbouring history positions gives the frequency.
      const double step = std::atan2(-coefficients().sin[b][1], coefficients().cos[b][1]);
      EXPECT_NEAR(step * c.analyserRate / (2.0 * kPi), bandHz(b), 2e-3) << "band " << b;
      EXPECT_EQ(coefficients().cos[b][0], 1.0f);
      EXPECT_EQ(coefficients().sin[b][0], 0.0f);
      // The oldest-to-newest phase ramp holds across the whole row.
      const double last = 2.0 * kPi * bandHz(b) * 4095 / c.analyserRate;
      EXPECT_NEAR(coefficients().cos[b][4095], std::cos(last), 1.5e-3) << "band " << b;
      EXPECT_NEAR(coefficients().sin[b][4095], -std::sin(last), 1.5e-3) << "band " << b;
    }
    const double c1 = std::atan2(-coefficients().sin[0][1], coefficients().cos[0][1]) *
                      c.analyserRate / (2 * kPi);
    const double a4 = std::atan2(-coefficients().sin[45][1], coefficients().cos[45][1]) *
                      c.analyserRate / (2 * kPi);
    const double b6 = std::atan2(-coefficients().sin[71][1], coefficients().cos[71][1]) *
                      c.analyserRate / (2 * kPi);
    EXPECT_NEAR(c1, 32.703, 2e-3);
    EXPECT_NEAR(a4, 440.0, 2e-3);
    EXPECT_NEAR(b6, 1975.53, 5e-3);
  }
  EXPECT_EQ(SpectrumAnalyser::size(), 72);
}

TEST_F(Spectrum, ToneResponseMatchesDirectDft) {
  const double amp = 0.5;
  for (int band : {0, 45, 71}) {
    SCOPED_TRACE(testing::Message() << "tone on band " << band);
    reset(kRate, 1);
    // One push fills the whole history and runs one analysis from zero band values.
    const std::vector<float> x = tone(bandHz(band), amp, 0, 4 * 4096);
    feed(x.data(), static_cast<int>(x.size()), 0);
    const std::vector<double> want = directBands(bandHz(band), amp);
    for (int b = 0; b < 72; ++b) EXPECT_NEAR(values()[b], want[b], 1e-5 * amp) << b;
    EXPECT_NEAR(values()[band], amp / 4, 1e-5 * amp);
    if (band == 45) {
      EXPECT_LT(values()[44], 1e-3 * values()[45]);
      EXPECT_LT(values()[46], 1e-3 * values()[45]);
    }
    if (band == 0) {
      const double ratio = values()[1] / values()[0];
      EXPECT_NEAR(ratio, want[1] / want[0], 1e-3);
      EXPECT_NEAR(ratio, 0.70, 0.02);
      std::printf("band 1 / band 0 for a tone on band 0: %.4f\n", ratio);
    }
  }
}

TEST_F(Spectrum, SteadyToneSettlesAtFiveQuartersOfEachAnalysis) {
  const double amp = 0.8;
  std::vector<float> before = bands();
  long start = 0;
  int analyses = 0;
  for (int push = 0; push < 160; ++push, start += 512) {
    const std::vector<float> x = tone(440.0, amp, start, 512);
    const long long counted = pending();
    feed(x.data(), 512, 0);
    if (pending() > counted) continue;  // no analysis in this push
    ++analyses;
    // Once the history holds only the tone, each analysis adds A / 4.
    if (start >= 4 * 4096) {
      EXPECT_NEAR(values()[45] - 0.2f * before[45], amp / 4, 1e-4 * amp) << push;
    }
    before = bands();
  }
  EXPECT_GT(analyses, 50);
  EXPECT_NEAR(values()[45], 0.3125 * amp, 1e-4 * amp);
}

TEST_F(Spectrum, AnalysesEveryThirtySecondOfASecond) {
  // Mono pushes of 512 at 44100 Hz: analyses at the 3rd, 6th, 9th and 11th pushes.
  const long long counts[11] = {512, 1024, 158, 670, 1182, 316, 828, 1340, 474, 986, 120};
  for (int push = 0; push < 11; ++push) {
    const std::vector<float> x = tone(440.0, 0.5, 512L * push, 512);
    const std::vector<float> previous = bands();
    feed(x.data(), 512, 0);
    EXPECT_EQ(pending(), counts[push]) << "push " << push + 1;
    const bool analysed = push == 2 || push == 5 || push == 8 || push == 10;
    EXPECT_EQ(bands() != previous, analysed) << "push " << push + 1;
  }

  // One push of three periods analyses once; the surplus makes the next two pushes
  // analyse whatever their size, and then the count is spent.
  reset(kRate, 1);
  std::vector<float> x(3 * kPeriod, 0.25f);
  feed(x.data(), 3 * kPeriod, 0);
  EXPECT_EQ(pending(), 2 * kPeriod);
  for (long long left : {kPeriod + 1, 2, 3}) {
    std::vector<float> previous = bands();
    feed(x.data(), 1, 0);
    EXPECT_EQ(pending(), left);
    EXPECT_EQ(bands() != previous, left != 3);
  }

  // 48000 Hz: 1500 samples between analyses.
  reset(48000, 1);
  feed(x.data(), 1499, 0);
  EXPECT_EQ(pending(), 1499);
  feed(x.data(), 1, 0);
  EXPECT_EQ(pending(), 0);
}

TEST_F(Spectrum, PushStoresEveryFourthSample) {
  struct Case {
    int channels, channel, size;
    bool counted;
  };
  const Case cases[] = {
      {1, 0, 1, true},   {1, 0, 2, true},     {1, 1, 3, true},      {2, 0, 2, false},
      {2, 1, 3, true},   {1, 0, 4, true},     {1, 0, 17, true},     {1, 1, 17, true},
      {2, 0, 17, false}, {1, 0, 16392, true}, {2, 0, 16392, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << "channels=" << c.channels << " channel=" << c.channel << " size=" << c.size);
    reset(kRate, c.channels);
    std::vector<float> want(4096), x(c.size);
    for (int p = 0; p < 4096; ++p) want[p] = -1.0f - p;
    setHistory(want);
    for (int i = 0; i < c.size; ++i) x[i] = 1.0f + i;
    feed(x.data(), c.size, c.channel);

    // Shift out n = min(size / 4, 4096) and append samples 0, 4, 8, ...
    const int n = std::min(c.size / 4, 4096);
    want.erase(want.begin(), want.begin() + n);
    for (int i = 0; i < n; ++i) want.push_back(x[4 * i]);
    EXPECT_EQ(history(), want);
    const long long count = c.size < kPeriod ? c.size : c.size - kPeriod;
    EXPECT_EQ(pending(), c.counted ? count : 0);
  }
}

TEST_F(Spectrum, StereoStoresLeftThenAveragesRight) {
  reset(kRate, 2);
  std::vector<float> before(4096);
  for (int p = 0; p < 4096; ++p) before[p] = 100.0f + p;
  setHistory(before);
  auto frame = [](float first) {
    std::vector<float> x(8);
    for (int i = 0; i < 8; ++i) x[i] = first + i;  // decimated: first, first + 4
    return x;
  };
  // A block of two frames: both left pushes, then both right pushes.
  feed(frame(1).data(), 8, 0);
  feed(frame(10).data(), 8, 0);
  EXPECT_EQ(pending(), 0);
  feed(frame(20).data(), 8, 1);
  EXPECT_EQ(pending(), 8);
  feed(frame(30).data(), 8, 1);
  EXPECT_EQ(pending(), 16);

  std::vector<float> want = history();
  want.resize(4092);
  for (int p = 0; p < 4092; ++p) ASSERT_EQ(want[p], 104.0f + p) << p;
  // The first left frame, then the second averaged with both right frames in turn.
  want.insert(want.end(), {1.0f, 5.0f, ((10 + 20) / 2.0f + 30) / 2, ((14 + 24) / 2.0f + 34) / 2});
  EXPECT_EQ(history(), want);

  // A channel count that is neither mono nor stereo averages every push in place.
  reset(kRate, 3);
  setHistory(std::vector<float>(4096, 2.0f));
  feed(frame(10).data(), 8, 0);
  EXPECT_EQ(history()[4093], 2.0f);
  EXPECT_EQ(history()[4094], 6.0f);
  EXPECT_EQ(history()[4095], 8.0f);
  EXPECT_EQ(pending(), 8);
}

TEST_F(Spectrum, DisabledPushesAndTapsChangeNothing) {
  for (int push = 0; push < 3; ++push) {
    const std::vector<float> x = tone(220.0, 0.5, 512L * push, 512);
    feed(x.data(), 512, 0);
  }
  ASSERT_EQ(pending(), 158);
  ASSERT_GT(values()[33], 0.0f);
  const std::vector<float> h = history(), v = bands();

  analyser->setEnabled(false);
  const std::vector<float> loud = tone(440.0, 0.9, 0, 4 * 4096);
  for (int push = 0; push < 8; ++push) feed(loud.data(), 4 * 4096, push % 2);
  analyser->tap(loud.data(), loud.data(), 4 * 4096);
  EXPECT_EQ(history(), h);
  EXPECT_EQ(bands(), v);
  EXPECT_EQ(pending(), 158);

  // Enabling again carries on from the frozen count.
  analyser->setEnabled(true);
  feed(loud.data(), 1220, 0);
  EXPECT_EQ(pending(), 0);
  EXPECT_NE(bands(), v);
}

TEST_F(Spectrum, InitClearsHistoryAndBandsButKeepsTheCount) {
  const std::vector<float> x = tone(440.0, 0.5, 0, 4 * 4096);
  feed(x.data(), 4 * 4096, 0);
  feed(x.data(), 1000, 0);
  const long long counted = pending();
  ASSERT_GT(values()[45], 0.0f);

  float* address = values();
  init(48000, 2);
  EXPECT_EQ(history(), std::vector<float>(4096, 0.0f));
  EXPECT_EQ(bands(), std::vector<float>(72, 0.0f));
  EXPECT_EQ(pending(), counted);
  EXPECT_EQ(values(), address);
  EXPECT_EQ(SpectrumAnalyser::size(), 72);
}

TEST_F(Spectrum, CopyTakesAtMostTheBands) {
  for (int b = 0; b < 72; ++b) values()[b] = 0.5f + b;
  for (int count : {-5, 0, 1, 71, 72, 100}) {
    SCOPED_TRACE(testing::Message() << "count=" << count);
    std::vector<float> dest(100, -7.0f);
    analyser->copy(dest.data(), count);
    for (int i = 0; i < 100; ++i) {
      EXPECT_EQ(dest[i], i < std::min(count, 72) ? 0.5f + i : -7.0f) << i;
    }
  }
}

// A reader copying the bands while the audio thread analyses sees only whole values
// from one analysis or another (a ThreadSanitizer build checks that no access races).
TEST_F(Spectrum, CopiesDuringAnalysesSeeWholeValues) {
  const double amp = 0.5;
  std::atomic<bool> done{false};
  std::thread audio([&] {
    for (int push = 0; push < 60; ++push) {
      const std::vector<float> x = tone(440.0, amp, 512L * push, 512);
      feed(x.data(), 512, 0);
    }
    done.store(true);
  });
  long copies = 0, bad = 0;
  float dest[72];
  while (!done.load()) {
    analyser->copy(dest, 72);
    ++copies;
    for (float v : dest) bad += !(v >= 0.0f && v <= 1.25 * amp);
  }
  audio.join();
  EXPECT_EQ(bad, 0) << "of " << copies << " copies";
}

// The state a tap leaves: bands, history and count, compared bit for bit.
struct TapState {
  std::vector<float> bands, history;
  long long pending;
  bool operator==(const TapState&) const = default;
};

TapState stateOf(SpectrumAnalyser& a) {
  return {bandsOf(a), SpectrumProbe::history(a), SpectrumProbe::counted(a)};
}

// A stream through tap() in calls of the given lengths, cycled (right may be empty).
TapState tapInCalls(int rate, const std::vector<float>& left, const std::vector<float>& right,
                    const std::vector<int>& calls, bool lean = false) {
  SpectrumAnalyser a;
  a.init(rate, right.empty() ? 1 : 2);
  a.setLean(lean);
  const int frames = static_cast<int>(left.size());
  for (int at = 0, c = 0; at < frames; c = (c + 1) % static_cast<int>(calls.size())) {
    const int n = std::min(calls[c], frames - at);
    a.tap(left.data() + at, right.empty() ? nullptr : right.data() + at, n);
    at += n;
  }
  return stateOf(a);
}

// Bands, history and count do not depend on how the stream is cut into taps, with the
// plain analysis and with the lean one (whose block sums are taken at the analyses).
TEST(SpectrumTap, GivesTheSameBitsHoweverTheStreamIsCut) {
  const int frames = kRate + 3;  // 32 analyses and a part of one
  const std::vector<float> left = tone(440.0, 0.6, 0, frames);
  const std::vector<float> right = tone(261.63, 0.3, 0, frames, 1.1);
  for (bool lean : {false, true}) {
    for (bool stereo : {false, true}) {
      const std::vector<float> r = stereo ? right : std::vector<float>();
      const TapState whole = tapInCalls(kRate, left, r, {frames}, lean);
      EXPECT_GT(whole.bands[45], 0.05f);
      EXPECT_EQ(whole.bands[36] > 0.02f, stereo);  // C4, from the right channel alone
      for (const std::vector<int>& calls :
           std::vector<std::vector<int>>{{1}, {7}, {64}, {513}, {1, 0, 7, 64, 513, 2}}) {
        EXPECT_TRUE(tapInCalls(kRate, left, r, calls, lean) == whole)
            << (stereo ? "stereo" : "mono") << (lean ? ", lean" : "") << ", calls of " << calls[0]
            << " first";
      }
    }
  }
}

// With the calls a push handles correctly (4 frames, where every boundary falls on a
// taken frame's call), push and tap analyse the same histories at the same points.
TEST(SpectrumTap, MatchesPushOfFourFrameHops) {
  const int frames = kRate;
  const std::vector<float> left = tone(440.0, 0.8, 0, frames);
  const std::vector<float> right = tone(523.25, 0.4, 0, frames);
  for (int channels : {1, 2}) {
    SCOPED_TRACE(testing::Message() << "channels=" << channels);
    SpectrumAnalyser pushed;
    pushed.init(kRate, channels);
    for (int at = 0; at < frames; at += 4) {
      pushed.push(left.data() + at, 4, 0);
      if (channels == 2) pushed.push(right.data() + at, 4, 1);
    }
    const TapState tapped =
        tapInCalls(kRate, left, channels == 2 ? right : std::vector<float>(), {513});
    EXPECT_TRUE(stateOf(pushed) == tapped);
    if (channels == 1) {
      EXPECT_NEAR(tapped.bands[45], 0.3125 * 0.8, 1e-4);
    }
  }
}

// Analysers of one rate share one set of tables; analysers of two rates set up and
// fed at once on two threads give exactly what each gives alone (a ThreadSanitizer
// build checks that they share nothing but the read-only tables and the cache).
TEST(SpectrumAnalysers, ShareTablesPerRateAndRunOnThreadsAtOnce) {
  SpectrumAnalyser first, second, other;
  first.init(kRate, 2);
  second.init(kRate + 1, 1);  // the same analyser rate, 11025
  other.init(48000, 1);
  EXPECT_EQ(SpectrumProbe::coefficients(first), SpectrumProbe::coefficients(second));
  EXPECT_NE(SpectrumProbe::coefficients(first), SpectrumProbe::coefficients(other));
  EXPECT_EQ(SpectrumProbe::coefficients(other)->rate, 12000);

  const std::vector<float> left = tone(440.0, 0.6, 0, kRate);
  const std::vector<float> right = tone(330.0, 0.5, 0, kRate);
  auto run = [&](int rate, bool stereo) {
    return tapInCalls(rate, left, stereo ? right : std::vector<float>(), {480});
  };
  // Together first, so that the two threads also build their rates' tables at once.
  TapState togetherA, togetherB;
  std::thread a([&] { togetherA = run(24000, true); });
  std::thread b([&] { togetherB = run(32000, false); });
  a.join();
  b.join();
  const TapState aloneA = run(24000, true), aloneB = run(32000, false);
  EXPECT_TRUE(togetherA == aloneA);
  EXPECT_TRUE(togetherB == aloneB);
}

}  // namespace
