// The voice-removal filter against direct calculations: closed-form impulse
// responses, a plain difference equation on arrays, the frequency response of a
// biquad, channel independence, the coefficient hand-over under real threads and the
// independence of two filter objects.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <complex>
#include <cstdio>
#include <random>
#include <thread>
#include <vector>

#include "iirfilter.h"
#include "testing.h"

namespace {

constexpr double kPi = 3.141592653589793;

void load(IirFilters& filters, const std::vector<double>& a, const std::vector<double>& b) {
  filters.init();
  filters.load(a.data(), b.data(), static_cast<int>(a.size()), static_cast<int>(b.size()));
}

std::vector<double> run(IirFilters& filters, int channel, const std::vector<double>& x) {
  std::vector<double> y;
  for (double v : x) y.push_back(filters.step(channel, v));
  return y;
}

// y[n] = sum b[k] x[n-k] - sum_{k>=1} a[k] y[n-k] on plain arrays.
std::vector<double> direct(const std::vector<double>& a, const std::vector<double>& b,
                           const std::vector<double>& x) {
  std::vector<double> y(x.size());
  for (size_t n = 0; n < x.size(); ++n) {
    double acc = 0.0;
    for (size_t k = 0; k < b.size() && k <= n; ++k) acc += b[k] * x[n - k];
    for (size_t k = 1; k < a.size() && k <= n; ++k) acc -= a[k] * y[n - k];
    y[n] = acc;
  }
  return y;
}

std::vector<double> impulse(int length, double height = 1.0) {
  std::vector<double> x(length, 0.0);
  x[0] = height;
  return x;
}

TEST(IirFilter, ImpulseResponsesInClosedForm) {
  IirFilters filters;
  const double r = 0.9, th = 0.3;
  struct Case {
    const char* name;
    std::vector<double> a, b;
    double (*h)(int n);  // expected response to a unit impulse
  };
  const Case cases[] = {
      {"gain only", {1.0}, {0.75}, [](int n) { return n == 0 ? 0.75 : 0.0; }},
      {"unit gain, a[0] ignored", {7.0}, {1.0}, [](int n) { return n == 0 ? 1.0 : 0.0; }},
      {"first-order feedback", {1.0, -0.5}, {1.0}, [](int n) { return std::pow(0.5, n); }},
      {"a[0] is taken as 1", {5.0, -0.5}, {1.0}, [](int n) { return std::pow(0.5, n); }},
      {"FIR taps in order",
       {1.0},
       {1.0, 2.0, 3.0, 4.0},
       [](int n) { return n < 4 ? n + 1.0 : 0.0; }},
      // Poles at r e^(+-j th): h[n] = r^n sin((n + 1) th) / sin(th).
      {"resonator",
       {1.0, -2.0 * r * std::cos(th), r * r},
       {1.0},
       [](int n) { return std::pow(0.9, n) * std::sin((n + 1) * 0.3) / std::sin(0.3); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    load(filters, c.a, c.b);
    for (int channel = 0; channel < 2; ++channel) {
      const std::vector<double> y = run(filters, channel, impulse(40));
      for (int n = 0; n < 40; ++n) EXPECT_NEAR(y[n], c.h(n), 1e-12) << "n=" << n;
    }
  }
}

TEST(IirFilter, MatchesDifferenceEquationForMixedOrders) {
  IirFilters filters;
  const unsigned seed = 20240611;
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> sample(-32768.0, 32767.0);
  std::uniform_real_distribution<double> coeff(-0.3, 0.3);
  for (int sizeA : {1, 2, 3, 5}) {
    for (int sizeB : {1, 2, 4, 7}) {
      SCOPED_TRACE(testing::Message()
                   << "seed=" << seed << " sizeA=" << sizeA << " sizeB=" << sizeB);
      // Small feedback coefficients keep every pole inside the unit circle.
      std::vector<double> a(sizeA), b(sizeB), x(300);
      a[0] = 1.0;
      for (int k = 1; k < sizeA; ++k) a[k] = coeff(rng) / (sizeA - 1);
      for (double& v : b) v = coeff(rng) * 3.0;
      for (double& v : x) v = sample(rng);
      load(filters, a, b);
      const std::vector<double> y = run(filters, 0, x), want = direct(a, b, x);
      for (size_t n = 0; n < x.size(); ++n) {
        ASSERT_NEAR(y[n], want[n], 1e-9 * (1.0 + std::fabs(want[n]))) << "n=" << n;
      }
    }
  }
}

TEST(IirFilter, BiquadBandPassSteadyStateMatchesFrequencyResponse) {
  IirFilters filters;
  // Band-pass biquad, 0 dB at its centre f0, Q 0.7, at 44100 Hz.
  const double fs = 44100.0, f0 = 1000.0, q = 0.7;
  const double w0 = 2.0 * kPi * f0 / fs, alpha = std::sin(w0) / (2.0 * q), a0 = 1.0 + alpha;
  const std::vector<double> b = {alpha / a0, 0.0, -alpha / a0};
  const std::vector<double> a = {1.0, -2.0 * std::cos(w0) / a0, (1.0 - alpha) / a0};
  auto response = [&](double w) {
    const std::complex<double> z1 = std::polar(1.0, -w), z2 = z1 * z1;
    return (b[0] + b[1] * z1 + b[2] * z2) / (1.0 + a[1] * z1 + a[2] * z2);
  };
  ASSERT_NEAR(std::abs(response(w0)), 1.0, 1e-12);

  const double amp = 10000.0;
  for (double f : {0.0, 60.0, 200.0, 1000.0, 3000.0, 12000.0, 22050.0}) {
    SCOPED_TRACE(testing::Message() << "f=" << f);
    load(filters, a, b);
    const double w = 2.0 * kPi * f / fs;
    // Skip the transient (pole radius about 0.9), then fit c cos(wn) + s sin(wn).
    const int settle = 3000, fit = 4000;
    double cc = 0, ss = 0, cs = 0, yc = 0, ys = 0;
    for (int n = 0; n < settle + fit; ++n) {
      const double y = filters.step(0, amp * std::cos(w * n));
      if (n < settle) continue;
      const double cw = std::cos(w * n), sw = std::sin(w * n);
      cc += cw * cw, ss += sw * sw, cs += cw * sw, yc += y * cw, ys += y * sw;
    }
    std::complex<double> got;
    if (ss < 1e-9 * cc) {  // DC and Nyquist: the sine term vanishes
      got = yc / cc / amp;
    } else {
      const double det = cc * ss - cs * cs;
      // y = Re(H e^(jwn)) amp = amp (Re H cos - Im H sin)
      got = std::complex<double>((yc * ss - ys * cs) / det, -(ys * cc - yc * cs) / det) / amp;
    }
    EXPECT_NEAR(std::abs(got - response(w)), 0.0, 1e-9);
  }
}

TEST(IirFilter, ChannelHistoriesNeverMix) {
  IirFilters filters;
  const std::vector<double> a = {1.0, -0.6, 0.2}, b = {0.5, 0.25, -0.125};
  load(filters, a, b);
  const std::vector<double> xl = {1000, -2000, 3000, 0, 0, 500, -700, 0, 0, 0};
  const std::vector<double> xr = {-30000, 7, 0, 0, 12000, 0, 0, 0, 1, 2};

  // Stepping only channel 0 leaves channel 1's record as it was.
  const iirFilter& right = IirFiltersTesting::record(filters, 1);
  const int pos1 = right.pos1, pos2 = right.pos2;
  run(filters, 0, xl);
  EXPECT_EQ(right.pos1, pos1);
  EXPECT_EQ(right.pos2, pos2);
  for (int k = 0; k < right.n1; ++k) EXPECT_EQ(right.buf1[k], 0.0);
  for (int k = 0; k < right.n2; ++k) EXPECT_EQ(right.buf2[k], 0.0);
  EXPECT_EQ(run(filters, 1, impulse(5)), direct(a, b, impulse(5)));

  // Interleaved steps give each channel its own response.
  load(filters, a, b);
  const std::vector<double> wantL = direct(a, b, xl), wantR = direct(a, b, xr);
  for (size_t n = 0; n < xl.size(); ++n) {
    EXPECT_NEAR(filters.step(0, xl[n]), wantL[n], 1e-9) << "n=" << n;
    EXPECT_NEAR(filters.step(1, xr[n]), wantR[n], 1e-9) << "n=" << n;
  }
}

TEST(IirFilter, PassesThroughWithoutCoefficientsAndDuringReplacement) {
  // Records that never received coefficients, before and after init().
  IirFilters filters;
  for (int round = 0; round < 2; ++round) {
    for (double x : {0.0, 1.5, -32768.0, 32767.0}) {
      EXPECT_EQ(filters.step(0, x), x);
      EXPECT_EQ(filters.step(1, x), x);
    }
    filters.init();
  }

  // With the setup flag up, steps return their input and leave the history alone.
  load(filters, {1.0, -0.5}, {1.0});
  IirFiltersTesting::setupFlag(filters).store(1);
  for (double x : {3.0, -4.0, 1e4}) {
    EXPECT_EQ(filters.step(0, x), x);
    EXPECT_EQ(filters.step(1, x), x);
  }
  IirFiltersTesting::setupFlag(filters).store(0);
  EXPECT_EQ(run(filters, 0, impulse(4)), (std::vector<double>{1.0, 0.5, 0.25, 0.125}));
  EXPECT_EQ(IirFiltersTesting::processFlag(filters, 0).load(), 0);
  EXPECT_EQ(IirFiltersTesting::processFlag(filters, 1).load(), 0);
}

TEST(IirFilter, ReplacementRestartsHistoriesAndLaterInitKeepsThem) {
  IirFilters filters;
  load(filters, {1.0, -0.5}, {1.0});
  run(filters, 0, {100.0, 200.0});
  run(filters, 1, {-50.0});
  load(filters, {1.0, -0.5}, {1.0});
  filters.init();  // a later format change keeps the loaded filter
  for (int channel = 0; channel < 2; ++channel) {
    EXPECT_EQ(run(filters, channel, impulse(3, 8.0)), (std::vector<double>{8.0, 4.0, 2.0}));
  }
}

// The control thread cycles through three filters while the audio thread steps
// both channels. Each is b = {k, 0, ...} with zero feedback, so it outputs exactly
// k x whatever its history, and the pass-through gives x: every output identifies
// the record it came from. The three differ in length, so that a step reading a
// record half-replaced would also read past its arrays (which a sanitizer sees). The
// control thread publishes how many replacements have completed; a step that saw
// the same count g before and after itself may only use filter g, filter g + 1
// (being loaded) or the pass-through, never a stale or a torn record.
TEST(IirFilter, HandOverUnderRealThreads) {
  IirFilters filters;
  const double gains[3] = {2.0, 3.0, 5.0};
  const std::vector<double> shapesA[3] = {{1.0}, {1.0, 0.0}, {1.0, 0.0, 0.0}};
  const std::vector<double> shapesB[3] = {{1.0}, {1.0, 0.0}, {1.0, 0.0, 0.0, 0.0}};
  auto loadFilter = [&](int g) {
    std::vector<double> b = shapesB[g % 3];
    b[0] = gains[g % 3];
    const std::vector<double>& a = shapesA[g % 3];
    filters.load(a.data(), b.data(), static_cast<int>(a.size()), static_cast<int>(b.size()));
  };
  filters.init();
  loadFilter(0);

  constexpr int kReplacements = 400;
  std::atomic<int> completed{0};
  std::atomic<long> steps{0};
  std::atomic<bool> done{false};
  long violations = 0, passed = 0, seen[3] = {0, 0, 0};
  double badX = 0, badY = 0;
  int badG = -1;

  std::thread audio([&] {
    for (long i = 0; !done.load(); ++i) {
      for (int channel = 0; channel < 2; ++channel) {
        const double x = 1.0 + static_cast<double>((i * 2 + channel) % 977);
        const int before = completed.load();
        const double y = filters.step(channel, x);
        const int after = completed.load();
        bool ok = y == x;
        if (ok) ++passed;
        for (int g = before; g <= after + 1 && !ok; ++g) {
          if (y == gains[g % 3] * x) ok = true, ++seen[g % 3];
        }
        if (!ok && violations++ == 0) badX = x, badY = y, badG = before;
      }
      steps.fetch_add(1);
    }
  });

  for (int g = 1; g <= kReplacements; ++g) {
    loadFilter(g);
    completed.store(g);
    // Let the audio thread run a full step pair with the new filter before the next.
    const long target = steps.load() + 2;
    while (steps.load() < target) std::this_thread::yield();
  }
  done.store(true);
  audio.join();

  EXPECT_EQ(violations, 0) << "first: x=" << badX << " y=" << badY << " after " << badG
                           << " replacements";
  for (long count : seen) EXPECT_GT(count, 0);
  std::printf("hand-over: %ld passed through, gains seen %ld/%ld/%ld\n", passed, seen[0], seen[1],
              seen[2]);
  EXPECT_EQ(filters.step(0, 7.0), gains[kReplacements % 3] * 7.0);
  EXPECT_EQ(filters.step(1, 7.0), gains[kReplacements % 3] * 7.0);
}

// Three control threads replace the filter at once, each with its own, while the
// audio thread steps both channels: they take turns (a sanitizer sees any array
// freed twice or read while rewritten), and both records end with the filter of one
// and the same replacement, whole.
TEST(IirFilter, ControlThreadsReplacingAtOnceTakeTurns) {
  IirFilters filters;
  const double gains[3] = {2.0, 3.0, 5.0};
  const int sizes[3] = {1, 4, 9};
  filters.init();
  std::atomic<bool> done{false};
  std::thread audio([&] {
    for (long i = 0; !done.load(); ++i) filters.step(static_cast<int>(i % 2), 1.0);
  });
  std::vector<std::thread> control;
  std::atomic<int> ready{0};
  for (int t = 0; t < 3; ++t) {
    control.emplace_back([&, t] {
      std::vector<double> a(sizes[t], 0.0), b(sizes[t], 0.0);
      a[0] = 1.0;
      b[0] = gains[t];
      ready.fetch_add(1);
      while (ready.load() < 3) std::this_thread::yield();  // all three start together
      for (int round = 0; round < 2000; ++round)
        filters.load(a.data(), b.data(), sizes[t], sizes[t]);
    });
  }
  for (std::thread& c : control) c.join();
  done.store(true);
  audio.join();
  const iirFilter& left = IirFiltersTesting::record(filters, 0);
  const iirFilter& right = IirFiltersTesting::record(filters, 1);
  const int last = left.n1 == 0 ? 0 : left.n1 == 3 ? 1 : 2;
  for (const iirFilter* f : {&left, &right}) {
    EXPECT_EQ(f->n1, sizes[last] - 1);
    EXPECT_EQ(f->n2, sizes[last] - 1);
    EXPECT_EQ(f->b[0], gains[last]);
  }
  EXPECT_EQ(run(filters, 0, impulse(12)), run(filters, 1, impulse(12)));
  EXPECT_EQ(IirFiltersTesting::setupFlag(filters).load(), 0);
}

// Two objects filter on two threads while a control thread keeps reloading one of
// them: the other gives, bit for bit, what it gives alone (shared records or hand-over
// flags would restart its history or let it pass samples through). The reloads follow
// one another until its input is done, each stretch of which waits for one more.
TEST(IirFilter, ObjectsAreIndependentAcrossThreads) {
  const std::vector<double> a = {1.0, -1.6, 0.81}, b = {0.2, 0.1, -0.05};
  constexpr int kStretches = 50, kStretch = 400;
  std::vector<double> x(kStretches * kStretch);
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> sample(-32768.0, 32767.0);
  for (double& v : x) v = sample(rng);

  IirFilters alone;
  load(alone, a, b);
  const std::vector<double> wantLeft = run(alone, 0, x), wantRight = run(alone, 1, x);

  IirFilters steady, reloaded;
  load(steady, a, b);
  load(reloaded, {1.0, -0.5}, {2.0});
  std::atomic<int> reloads{0};
  std::atomic<int> progress{0};
  std::atomic<bool> done{false};
  std::vector<double> gotLeft, gotRight;
  std::thread steadyThread([&] {
    for (int at = 0; at < static_cast<int>(x.size()); ++at) {
      while (reloads.load() < at / kStretch) std::this_thread::yield();
      gotLeft.push_back(steady.step(0, x[at]));
      gotRight.push_back(steady.step(1, x[at]));
      progress.store(at + 1);
    }
  });
  std::thread reloadedThread([&] {
    for (long i = 0; !done.load(); ++i) reloaded.step(static_cast<int>(i % 2), 1000.0);
  });
  const std::vector<double> shapes[2][2] = {{{1.0, -0.5}, {2.0}}, {{1.0}, {3.0, 1.0, 0.5}}};
  int round = 0;
  for (; progress.load() < static_cast<int>(x.size()); ++round) {
    const auto& shape = shapes[round % 2];
    reloaded.load(shape[0].data(), shape[1].data(), static_cast<int>(shape[0].size()),
                  static_cast<int>(shape[1].size()));
    reloads.store(round + 1);
  }
  steadyThread.join();
  done.store(true);
  reloadedThread.join();

  EXPECT_EQ(gotLeft, wantLeft);
  EXPECT_EQ(gotRight, wantRight);
  reloaded.clearHistory(0);  // the last reload's filter, without the thread's samples
  EXPECT_EQ(run(reloaded, 0, impulse(3)), round % 2 == 1 ? (std::vector<double>{2.0, 1.0, 0.5})
                                                         : (std::vector<double>{3.0, 1.0, 0.5}));
}

}  // namespace
