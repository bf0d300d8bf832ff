// The key change's converter against independent calculations: tones measured with a DFT
// in double, the windowed sinc evaluated directly in double at the positions the ratios
// give, stream lengths from the ratio, and the same output however the input is cut.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <complex>
#include <cstring>
#include <thread>
#include <vector>

#include "measures.h"
#include "resampler.h"
#include "signals.h"

namespace {

constexpr double kPi = 3.141592653589793;

// A sine of `cycles` per frame, the same on every channel but for a quarter turn per
// channel.
std::vector<float> sine(int frames, int channels, double cycles, double amplitude) {
  std::vector<float> x(static_cast<size_t>(frames) * channels);
  for (int n = 0; n < frames; n++) {
    for (int c = 0; c < channels; c++) {
      x[n * channels + c] =
          static_cast<float>(amplitude * std::sin(2 * kPi * cycles * n + c * kPi / 2));
    }
  }
  return x;
}

// The converter's output for `in` fed `chunk` frames per call, finish() included.
std::vector<float> convert(Resampler& r, const std::vector<float>& in, int chunk) {
  const int ch = r.channels();
  const int frames = static_cast<int>(in.size()) / ch;
  std::vector<float> out;
  std::vector<float> room(static_cast<size_t>(Resampler::maxOutputFrames(chunk, r.ratio())) * ch);
  const int capacity = static_cast<int>(room.size()) / ch;
  for (int done = 0; done < frames; done += chunk) {
    const int take = std::min(chunk, frames - done);
    const int made =
        r.process(in.data() + static_cast<size_t>(done) * ch, take, room.data(), capacity);
    EXPECT_GE(made, 0);
    out.insert(out.end(), room.begin(), room.begin() + made * ch);
  }
  const int tail = r.finish(room.data(), capacity);
  EXPECT_GE(tail, 0);
  out.insert(out.end(), room.begin(), room.begin() + tail * ch);
  return out;
}

// The band-limited value of channel c of x at input position `position`, with the kernel
// of `ratio` evaluated in double: 2 fc sinc(2 fc t) times a Kaiser window of half span
// `half`, fc = 0.475 cycles per frame of the lower rate.
double ideal(const std::vector<float>& x, int channels, int c, double position, double ratio) {
  const double stretch = std::max(1.0, ratio);
  const int half = static_cast<int>(std::ceil(72 * stretch));
  const double fc = 0.475 / stretch;
  const double beta = 0.1102 * (110 - 8.7);
  const int frames = static_cast<int>(x.size()) / channels;
  double sum = 0;
  for (int n = std::max(0, static_cast<int>(position) - half);
       n <= std::min(frames - 1, static_cast<int>(position) + half); n++) {
    const double t = n - position;
    const double u = t / half;
    if (u * u >= 1) continue;
    const double w =
        std::cyl_bessel_i(0.0, beta * std::sqrt(1 - u * u)) / std::cyl_bessel_i(0.0, beta);
    const double s = t == 0 ? 1 : std::sin(2 * kPi * fc * t) / (2 * kPi * fc * t);
    sum += x[n * channels + c] * 2 * fc * s * w;
  }
  return sum;
}

// |X[k]| / (N / 2) for every bin of the real signal x (one channel of `channels`), by
// the support DFT in double.
std::vector<double> amplitudes(const std::vector<float>& x, int channels, size_t from, int n) {
  std::vector<float> complexBuffer(2 * n, 0.0f);
  for (int t = 0; t < n; t++) complexBuffer[2 * t] = x[(from + t) * channels];
  const auto spectrum = support::directDft(complexBuffer, -1);
  std::vector<double> a(n / 2 + 1);
  for (int k = 0; k <= n / 2; k++) a[k] = std::abs(spectrum[k]) / (n / 2.0);
  return a;
}

double db(double ratio) { return 20 * std::log10(ratio); }

TEST(Resampler, ToneComesOutAtTheFrequencyTimesTheRatioWithNothingElse) {
  // The output window holds a whole number of cycles, so the tone falls on one bin and
  // every other bin shows what the converter added: images, aliases, filter errors.
  constexpr int kWindow = 2048;
  for (double ratio : {0.25, 0.6, 1.0, 1.37, 2.0, 4.0}) {
    // Output frequencies across the passband, 0.9 of the lower Nyquist frequency.
    const double edge = 0.45 * std::min(1.0, ratio);
    for (double share : {0.02, 0.3, 0.6, 0.97}) {
      SCOPED_TRACE(testing::Message() << "ratio " << ratio << ", " << share << " of the passband");
      const int bin = std::max(1, static_cast<int>(share * edge * kWindow));
      const double outCycles = static_cast<double>(bin) / kWindow;
      const int half = static_cast<int>(std::ceil(72 * std::max(1.0, ratio)));
      const int start = static_cast<int>(std::ceil(half / ratio)) + 1;  // past the start-up
      const int frames = static_cast<int>(std::ceil((start + kWindow) * ratio)) + half + 2;
      auto r = Resampler::create(1, ratio);
      const auto out = convert(*r, sine(frames, 1, outCycles / ratio, 0.5), 4096);
      const auto a = amplitudes(out, 1, start, kWindow);
      EXPECT_NEAR(db(a[bin] / 0.5), 0.0, 0.001);  // passband ripple
      double spur = 0;
      for (int k = 0; k <= kWindow / 2; k++) {
        if (k != bin) spur = std::max(spur, a[k]);
      }
      EXPECT_LT(db(spur / a[bin]), -110.0);
    }
  }
}

TEST(Resampler, StopsWhatWouldAliasWhenDownsampling) {
  // Input tones at 1.1 and 1.9 times the output's Nyquist frequency.
  for (double ratio : {1.5, 2.0, 4.0}) {
    for (double outCycles : {0.55, 0.95}) {
      SCOPED_TRACE(testing::Message() << "ratio " << ratio << ", " << outCycles);
      const int frames = 20000;
      auto r = Resampler::create(1, ratio);
      const auto out = convert(*r, sine(frames, 1, outCycles / ratio, 1.0), 1000);
      const int skip = static_cast<int>(std::ceil(288 / ratio)) + 1;
      float peak = 0;
      for (size_t m = skip; m + skip < out.size(); m++) peak = std::max(peak, std::abs(out[m]));
      EXPECT_LT(db(peak), -110.0);
    }
  }
}

TEST(Resampler, MatchesTheWindowedSincEvaluatedInDouble) {
  // Output frame m is the input's band-limited value at m x ratio, or, after frames that
  // were passed unconverted, at their end plus m x ratio. Ratios on a table row (0.5,
  // 1) and between rows, in mono and stereo (whose on-row sums are separate code).
  for (int channels : {1, 2}) {
    for (double ratio : {0.5, 0.77, 1.0, 2.5}) {
      for (int passed : {0, 150}) {
        SCOPED_TRACE(testing::Message() << channels << " channels, ratio " << ratio << ", "
                                        << passed << " frames passed");
        const int frames = 500;
        const auto x = support::randomFloats(static_cast<size_t>(frames) * channels, 7, 0.5f);
        auto r = Resampler::create(channels, ratio);
        r->pass(x.data(), passed);
        EXPECT_FALSE(r->engaged());
        const std::vector<float> rest(x.begin() + passed * channels, x.end());
        const auto out = convert(*r, rest, frames);
        double worst = 0;
        for (size_t m = 0; m < out.size() / channels; m++) {
          for (int c = 0; c < channels; c++) {
            const double want = ideal(x, channels, c, passed + m * ratio, ratio);
            worst = std::max(worst, std::abs(out[m * channels + c] - want));
          }
        }
        EXPECT_LT(worst, 1e-5);
      }
    }
  }
}

TEST(Resampler, StreamLengthIsTheInputOverTheRatio) {
  for (double ratio : {0.25, 0.7, 1.0, 1.5, 3.3, 4.0}) {
    for (int frames : {1, 3, 100, 1023, 4097}) {
      auto r = Resampler::create(2, ratio);
      const auto out = convert(*r, support::randomFloats(2 * frames, 3), 64);
      // The frames whose span [m r - r / 2, m r + r / 2) ends by the input's end.
      const auto want = static_cast<size_t>(std::floor(frames / ratio + 0.5));
      EXPECT_EQ(out.size() / 2, want) << frames << " frames at " << ratio;
    }
  }
}

TEST(Resampler, OutputDoesNotDependOnHowTheInputIsCut) {
  const auto x = support::randomFloats(2 * 5000, 11);
  for (double ratio : {0.63, 1.0, 2.0, 3.7, 4.0}) {
    auto r = Resampler::create(2, ratio);
    const auto whole = convert(*r, x, 5000);
    for (int chunk : {1, 7, 64, 1000}) {
      const auto cut = convert(*r, x, chunk);  // finish() left it ready for a new stream
      ASSERT_EQ(cut.size(), whole.size()) << chunk << " frames per call at " << ratio;
      EXPECT_EQ(std::memcmp(cut.data(), whole.data(), sizeof(float) * cut.size()), 0)
          << chunk << " frames per call at " << ratio;
    }
  }
}

// The largest step between neighbouring samples of each channel.
float largestStep(const std::vector<float>& y, int channels) {
  float step = 0;
  for (size_t i = channels; i < y.size(); i++)
    step = std::max(step, std::abs(y[i] - y[i - channels]));
  return step;
}

TEST(Resampler, RatioChangeRunsOnFromThePositionReached) {
  // Each output frame steps on from the one before by the ratio it was made at, and the
  // output is the input's band-limited value there: no jump where the ratio changes.
  const int frames = 3000;
  const double cycles = 0.01;
  const auto x = sine(frames, 2, cycles, 0.8);
  const double ratios[] = {1.0, 0.5, 2.0, 1.3, 0.25, 4.0, 0.9};
  auto r = Resampler::create(2, ratios[0]);
  std::vector<float> out;
  std::vector<double> positions, madeAt;
  double position = 0;
  std::vector<float> room(2 * Resampler::maxOutputFrames(400, Resampler::kMinRatio));
  for (int block = 0; block * 400 < frames; block++) {
    const double ratio = ratios[block % 7];
    ASSERT_TRUE(r->setRatio(ratio));
    const int take = std::min(400, frames - block * 400);
    const int made = r->process(x.data() + block * 800, take, room.data(), room.size() / 2);
    ASSERT_GE(made, 0);
    out.insert(out.end(), room.begin(), room.begin() + 2 * made);
    for (int m = 0; m < made; m++, position += ratio) {
      positions.push_back(position);
      madeAt.push_back(ratio);
    }
  }
  double worst = 0;
  for (size_t m = 0; m < positions.size(); m++) {
    for (int c = 0; c < 2; c++) {
      worst = std::max(worst, std::abs(out[2 * m + c] - ideal(x, 2, c, positions[m], madeAt[m])));
    }
  }
  EXPECT_LT(worst, 1e-5);
  // The sine's own largest step at the highest output frequency, 4 x cycles.
  const double ownStep = 2 * 0.8 * std::sin(kPi * cycles * 4.0);
  const std::vector<float> steady(out.begin() + 2 * 300, out.end());  // past the onset's ringing
  EXPECT_LE(largestStep(steady, 2), ownStep * 1.001);
}

TEST(Resampler, RatioSetOnAnotherThreadIsTakenUpWithoutAJump) {
  const double cycles = 0.01;
  auto r = Resampler::create(1, 1.0);
  std::atomic<bool> done{false};
  std::thread control([&] {
    const double ratios[] = {0.5, 2.0, 1.3, 0.25, 4.0, 0.9, 3.0};
    for (int i = 0; !done.load(); i++) ASSERT_TRUE(r->setRatio(ratios[i % 7]));
  });
  // A sine fed block by block; the room is sized for the lowest ratio since the ratio
  // may change between any two calls.
  const auto x = sine(400 * 64, 1, cycles, 0.8);
  std::vector<float> room(Resampler::maxOutputFrames(64, Resampler::kMinRatio));
  std::vector<float> out;
  int refused = 0;
  for (int block = 0; block < 400; block++) {
    const int made = r->process(x.data() + block * 64, 64, room.data(), room.size());
    refused += made < 0;
    out.insert(out.end(), room.begin(), room.begin() + std::max(made, 0));
  }
  done = true;
  control.join();
  EXPECT_EQ(refused, 0);
  const std::vector<float> steady(out.begin() + 300, out.end());  // past the onset's ringing
  EXPECT_LE(largestStep(steady, 1), 2 * 0.8 * std::sin(kPi * cycles * 4.0) * 1.001);
}

TEST(Resampler, ContractAtTheEdges) {
  EXPECT_EQ(Resampler::create(3, 1.0), nullptr);
  EXPECT_EQ(Resampler::create(1, 0.2), nullptr);
  EXPECT_EQ(Resampler::create(1, NAN), nullptr);
  EXPECT_EQ(Resampler::maxOutputFrames(-1, 1.0), -1);
  EXPECT_EQ(Resampler::maxOutputFrames(1 << 30, 0.25), -1);

  auto r = Resampler::create(2, 2.0);
  EXPECT_EQ(r->delayFrames(), 144);
  EXPECT_FALSE(r->setRatio(4.5));
  EXPECT_EQ(r->ratio(), 2.0);
  ASSERT_TRUE(r->setRatio(0.5));
  EXPECT_EQ(r->delayFrames(), 72);
  ASSERT_TRUE(r->setRatio(2.0));  // the filter built for 2 again
  EXPECT_EQ(r->delayFrames(), 144);
  ASSERT_TRUE(r->setRatio(2.7));
  EXPECT_EQ(r->delayFrames(), 195);

  // Too little room: refused, nothing taken; the stream then runs as if it never came.
  const auto x = support::randomFloats(2 * 700, 5);
  const int need = Resampler::maxOutputFrames(700, 2.7);
  std::vector<float> room(2 * need);
  EXPECT_EQ(r->process(x.data(), 700, room.data(), need - 1), -1);
  EXPECT_FALSE(r->engaged());
  EXPECT_EQ(r->finish(room.data(), need), 0);  // never went through process()
  const int made = r->process(x.data(), 700, room.data(), need);
  EXPECT_TRUE(r->engaged());
  auto fresh = Resampler::create(2, 2.7);
  std::vector<float> want(2 * need);
  ASSERT_EQ(fresh->process(x.data(), 700, want.data(), need), made);
  EXPECT_EQ(std::memcmp(room.data(), want.data(), sizeof(float) * 2 * made), 0);
  EXPECT_EQ(r->finish(room.data(), Resampler::maxOutputFrames(0, 2.7) - 1), -1);
  EXPECT_TRUE(r->engaged());
  EXPECT_GT(r->finish(room.data(), need), 0);
  EXPECT_FALSE(r->engaged());
}

}  // namespace
