// The lean maths: the real-input transforms against the complex ones at every size and
// path, and the vocoder, the analyser and the engine with it switched on against the
// same with it off.

#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <limits>
#include <random>
#include <vector>

#include "cpu.h"
#include "dsp.h"
#include "fft.h"
#include "leanbins.h"
#include "levelkeeper.h"
#include "paths.h"
#include "realfft.h"
#include "spectrum.h"
#include "testing.h"
#include "vocoder.h"

namespace {

std::vector<FftPath> fftPaths() {
  std::vector<FftPath> paths;
  for (FftPath path : {FFT_PATH_REFERENCE, FFT_PATH_BASELINE, FFT_PATH_AVX2}) {
    if (cpu_resolve_path(path, fftKernels) >= 0) paths.push_back(path);
  }
  return paths;
}

std::vector<float> noise(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> value(-1.0f, 1.0f);
  std::vector<float> v(n);
  for (float& x : v) x = value(rng);
  return v;
}

// The exact transforms in double: bins 0 .. n/2 - 1 of the forward transform of n real
// samples, and the real parts of the unscaled inverse of a one-sided spectrum (n/2 bins).
struct Turns {
  std::vector<double> cos, sin;  // of 2 pi j / n, j < n
  explicit Turns(size_t n) : cos(n), sin(n) {
    for (size_t j = 0; j < n; j++) {
      cos[j] = std::cos(2 * M_PI * static_cast<double>(j) / n);
      sin[j] = std::sin(2 * M_PI * static_cast<double>(j) / n);
    }
  }
};

std::vector<double> exactForward(const std::vector<float>& x) {
  const size_t n = x.size();
  const Turns t(n);
  std::vector<double> bins(n);
  for (size_t k = 0; k < n / 2; k++) {
    double re = 0, im = 0;
    for (size_t i = 0; i < n; i++) {
      re += x[i] * t.cos[(k * i) % n];
      im -= x[i] * t.sin[(k * i) % n];
    }
    bins[2 * k] = re;
    bins[2 * k + 1] = im;
  }
  return bins;
}

std::vector<double> exactInverseReal(const std::vector<float>& lower) {
  const size_t n = lower.size();
  const Turns t(n);
  std::vector<double> out(n);
  for (size_t i = 0; i < n; i++) {
    double sum = 0;
    for (size_t k = 0; k < n / 2; k++) {
      sum += lower[2 * k] * t.cos[(k * i) % n] - lower[2 * k + 1] * t.sin[(k * i) % n];
    }
    out[i] = sum;
  }
  return out;
}

// The largest difference over the first n values.
double worst(const float* got, const std::vector<double>& want, int n) {
  double w = 0.0;
  for (int i = 0; i < n; i++) w = std::max(w, std::fabs(got[i] - want[i]));
  return w;
}

}  // namespace

// Forward: bins 0 .. N/2 - 1 of N real samples; inverse: the real parts of a one-sided
// spectrum's inverse, bin 0's imaginary part ignored. Each no further from the exact
// transform in double than the complex transforms they stand in for (which round every
// stage to float), at every size from 4 to 4096 (the small ones take the plain pass
// alone, the large ones the vector kernels and the rest) and on every path.
TEST(RealFft, AsCloseToTheExactTransformsAsTheComplexOnes) {
  for (int n = 4; n <= 4096; n *= 2) {
    const std::vector<float> samples = noise(n, 7 + n);
    const std::vector<double> spectrum = exactForward(samples);
    const std::vector<float> lower = noise(n, 99 + n);
    const std::vector<double> wave = exactInverseReal(lower);
    for (FftPath path : fftPaths()) {
      ASSERT_TRUE(fft_select_path(path));
      Fft full;
      full.init(n);
      RealFft real;
      real.init(n);
      ASSERT_EQ(n, real.size());
      // Float rounding of a sum of n unit values, at the least.
      const double floor = 1e-6 * std::sqrt(static_cast<double>(n));

      std::vector<float> complexFrame(2 * n, 0.0f);
      for (int i = 0; i < n; i++) complexFrame[2 * i] = samples[i];
      full.forwardLower(complexFrame.data());
      std::vector<float> lean = samples;
      real.forwardLower(lean.data());
      EXPECT_LE(worst(lean.data(), spectrum, n), worst(complexFrame.data(), spectrum, n) + floor)
          << "forward, N " << n << ", path " << path;
      EXPECT_EQ(0.0f, lean[1]) << "bin 0 is real, N " << n;

      std::vector<float> want(2 * n);
      full.inverseOneSidedReal(lower.data(), want.data());
      std::vector<float> got(n, 5.0f);
      real.inverseOneSidedReal(lower.data(), got.data());
      EXPECT_LE(worst(got.data(), wave, n), worst(want.data(), wave, n) + floor)
          << "inverse, N " << n << ", path " << path;
    }
  }
  fft_select_path(FFT_PATH_BEST);
}

// The relative distance ||got - want|| / ||want|| over the first n values.
double relativeError(const float* got, const std::vector<double>& want, int n) {
  double error = 0.0, norm = 0.0;
  for (int i = 0; i < n; i++) {
    error += (got[i] - want[i]) * (got[i] - want[i]);
    norm += want[i] * want[i];
  }
  return std::sqrt(error / norm);
}

// The real-input transforms, whose half-size transform runs in float, against the
// exact transform in double, on noise, a sine between bins and one on a bin, at every
// size and path: a radix-2 transform in float with exact twiddles adds a relative error
// of a few float epsilons per stage at worst, so the spectrum stays within 2 eps log2 N
// of the exact one (a wrong twiddle, a misplaced row or a swapped part is off by order
// one). A round trip, forward then inverse, gives (N x[i] + X[0] - X[N/2] (-1)^i) / 2:
// the inverse reads bins 0 .. N/2 - 1 alone, bin 0 counted once and the Nyquist bin not.
TEST(RealFft, FloatTransformsWithinLog2NEpsilonsOfTheExactOnes) {
  constexpr double eps = 0x1p-23;
  for (int n = 4; n <= 4096; n *= 2) {
    std::vector<std::vector<float>> inputs = {noise(n, 3 + n), std::vector<float>(n),
                                              std::vector<float>(n)};
    for (int i = 0; i < n; i++) {
      inputs[1][i] = static_cast<float>(0.8 * std::sin(2 * M_PI * 0.1377 * i + 0.3));
      inputs[2][i] = static_cast<float>(std::cos(2 * M_PI * (n / 8) * i / n));
    }
    const double bound = 2 * eps * std::log2(n);
    for (size_t which = 0; which < inputs.size(); which++) {
      const std::vector<float>& x = inputs[which];
      const std::vector<double> exact = exactForward(x);
      double dc = 0.0, nyquist = 0.0;
      for (int i = 0; i < n; i++) {
        dc += x[i];
        nyquist += i % 2 == 0 ? x[i] : -x[i];
      }
      std::vector<double> wave(n);
      for (int i = 0; i < n; i++) wave[i] = (n * x[i] + dc - (i % 2 == 0 ? nyquist : -nyquist)) / 2;
      for (FftPath path : fftPaths()) {
        ASSERT_TRUE(fft_select_path(path));
        RealFft real;
        real.init(n);
        std::vector<float> spectrum = x;
        real.forwardLower(spectrum.data());
        EXPECT_LE(relativeError(spectrum.data(), exact, n), bound)
            << "forward, N " << n << ", input " << which << ", path " << path;
        std::vector<float> back(n);
        real.inverseOneSidedReal(spectrum.data(), back.data());
        EXPECT_LE(relativeError(back.data(), wave, n), 2 * bound)
            << "round trip, N " << n << ", input " << which << ", path " << path;
      }
    }
  }
  fft_select_path(FFT_PATH_BEST);
}

TEST(RealFft, RefusesSizesItCannotSplit) {
  for (int n : {0, 2, 6, 8192}) {
    RealFft real;
    real.init(n);
    EXPECT_EQ(0, real.size()) << n;
    std::vector<float> buffer(16, 3.0f);
    real.forwardLower(buffer.data());
    EXPECT_EQ(3.0f, buffer[0]) << "an unset transform leaves the buffer, N " << n;
  }
}

// The float passes over the bins against atan2, sqrt, sin and cos in double, on every
// path that has them: bins on the axes, at zero (either sign), tiny and large, and
// random ones; phases across the whole circle, their ends included.
TEST(LeanBins, WithinFloatRoundingOfTheDoubleMaths) {
  std::vector<float> bins = {1,     0,     -1, 0, 0, 1,     0,     -1,     -1,
                             -0.0f, -1,    0,  0, 0, -0.0f, -0.0f, 1e-20f, 3e-20f,
                             3000,  -4000, -2, 2, 2, -2,    1e-3f, -7};
  std::vector<float> more = noise(2 * 1000, 17);
  for (size_t i = 0; i < more.size(); i++) more[i] *= i % 3 == 0 ? 2000.0f : 1.0f;
  bins.insert(bins.end(), more.begin(), more.end());
  const int n = static_cast<int>(bins.size() / 2);
  std::vector<float> psi = noise(n, 18);
  for (float& p : psi) p *= static_cast<float>(M_PI);
  psi[0] = static_cast<float>(M_PI);
  psi[1] = static_cast<float>(-M_PI);
  psi[2] = 0.0f;
  psi[3] = static_cast<float>(M_PI / 4);
  int paths = 0;
  for (CpuPath path : {CPU_PATH_BASELINE, CPU_PATH_AVX2}) {
    const LeanBinKernels* kernels = lean_bin_kernels(path);
    if (kernels == nullptr || cpu_resolve_path(path, vocoderKernels) < 0) continue;
    paths++;
    std::vector<float> mag(n, -1.0f), phi(n, 9.0f);
    const int done = kernels->binPass(bins.data(), mag.data(), phi.data(), n);
    EXPECT_GE(done, n - 16);
    for (int k = 0; k < done; k++) {
      const double re = bins[2 * k], im = bins[2 * k + 1];
      const double m = std::sqrt(re * re + im * im);
      EXPECT_NEAR(mag[k], m, 1e-6 * m + 1e-30) << "bin " << k << ", path " << path;
      double error = std::fabs(phi[k] - std::atan2(im, re));
      if (m > 0) {
        EXPECT_LT(std::min(error, 2 * M_PI - error), 1e-6) << "bin " << k;
      }
      EXPECT_LE(std::fabs(phi[k]), static_cast<float>(M_PI)) << "bin " << k;
    }
    const std::vector<float> gains = noise(n, 19);
    for (const float* g : {static_cast<const float*>(nullptr), gains.data()}) {
      std::vector<float> spectrum(2 * n, 9.0f);
      const int built = kernels->rebuild(mag.data(), psi.data(), g, spectrum.data(), n);
      EXPECT_GE(built, n - 16);
      for (int k = 0; k < built; k++) {
        const double m = double{mag[k]} * (g != nullptr ? g[k] : 1.0f);
        EXPECT_NEAR(spectrum[2 * k], m * std::cos(psi[k]), 1e-6 * std::fabs(m) + 1e-30)
            << "bin " << k << ", path " << path;
        EXPECT_NEAR(spectrum[2 * k + 1], m * std::sin(psi[k]), 1e-6 * std::fabs(m) + 1e-30)
            << "bin " << k << ", path " << path;
      }
    }
  }
  if (HOPWARBLER_X86) {
    EXPECT_GT(paths, 0);
  }
}

// The synthesis phases turned and rebuilt in one float pass, and the float
// overlap-add, against the same in double: phases that wrap either way, turns out to
// several pi (an attack may set any), a NaN turn restarting from 0.
TEST(LeanBins, TurnRebuildAndOverlapWithinFloatRounding) {
  const int n = 1003;
  std::vector<float> mag = noise(n, 21), phi = noise(n, 22), turn = noise(n, 23);
  for (int k = 0; k < n; k++) {
    phi[k] *= static_cast<float>(M_PI);
    turn[k] *= static_cast<float>(k % 5 == 0 ? 3 * M_PI : M_PI);
  }
  phi[0] = turn[0] = static_cast<float>(M_PI);
  phi[1] = turn[1] = static_cast<float>(-M_PI);
  turn[2] = std::numeric_limits<float>::quiet_NaN();
  const std::vector<float> wave = noise(n, 24), real = noise(n, 25), window = noise(n, 26);
  for (CpuPath path : {CPU_PATH_BASELINE, CPU_PATH_AVX2}) {
    const LeanBinKernels* kernels = lean_bin_kernels(path);
    if (kernels == nullptr || cpu_resolve_path(path, vocoderKernels) < 0) continue;
    std::vector<float> psi(n, 9.0f), spectrum(2 * n, 9.0f);
    const int done = kernels->turnRebuild(mag.data(), phi.data(), turn.data(), nullptr, psi.data(),
                                          spectrum.data(), n);
    EXPECT_GE(done, n - 16);
    EXPECT_EQ(0.0f, psi[2]) << "a NaN turn restarts from 0";
    for (int k = 0; k < done; k++) {
      if (k == 2) continue;
      const double want = std::remainder(double{phi[k]} + turn[k], 2 * M_PI);
      const double error = std::remainder(psi[k] - want, 2 * M_PI);
      EXPECT_LT(std::fabs(error), 1e-6) << "bin " << k << ", path " << path;
      EXPECT_LE(std::fabs(psi[k]), M_PI + 1e-6) << "bin " << k;
      EXPECT_NEAR(spectrum[2 * k], mag[k] * std::cos(want), 1e-6) << "bin " << k;
      EXPECT_NEAR(spectrum[2 * k + 1], mag[k] * std::sin(want), 1e-6) << "bin " << k;
    }
    std::vector<float> out(n, 9.0f);
    const int laid = kernels->accumulate(wave.data(), real.data(), window.data(), out.data(), 3, n);
    EXPECT_GE(laid, n - 16);
    for (int i = 3; i < laid; i++) {
      const double want = wave[i] + double{real[i]} * window[i];
      EXPECT_NEAR(out[i - 3], want, 2.5e-7) << "sample " << i << ", path " << path;
    }
  }
}

// The vector fine peak search and valley placement give exactly what the scalar rule
// gives (the plain vocoder's bits depend on it), on magnitudes full of ties, zeros of
// either sign, NaN, infinities and runs of the largest float, at lengths with a tail.
TEST(LeanBins, FinePeaksAndValleysAsTheScalarRule) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  const float kinds[] = {-0.0f, 0.0f, 1.0f, 1.0f, 2.0f, 3.0f, nan, inf, FLT_MAX, 0.5f, 2.0f};
  for (CpuPath path : {CPU_PATH_BASELINE, CPU_PATH_AVX2}) {
    const LeanBinKernels* kernels = lean_bin_kernels(path);
    if (kernels == nullptr || cpu_resolve_path(path, vocoderKernels) < 0) continue;
    for (int n : {1, 2, 7, 8, 9, 64, 1021, 1024}) {
      for (unsigned seed = 1; seed <= 6; seed++) {
        std::mt19937 gen(seed * 100 + n);
        std::uniform_int_distribution<int> pick(0, 10);
        std::uniform_real_distribution<float> value(0.0f, 1.0f);
        std::vector<float> mag(n + 24, FLT_MIN);
        for (int k = 0; k < n; k++) mag[k] = seed % 2 == 0 ? kinds[pick(gen)] : value(gen);
        mag[n] = FLT_MIN;
        std::vector<int> want;
        for (int b = 0; b < n; b++) {
          const float left = b > 0 ? mag[b - 1] : FLT_MIN;
          if (mag[b] > left && mag[b] > mag[b + 1]) want.push_back(b);
        }
        std::vector<int> peaks(n + 16, -1);
        const int count = kernels->finePeaks(mag.data(), n, peaks.data());
        peaks.resize(count);
        ASSERT_EQ(want, peaks) << "n " << n << ", seed " << seed << ", path " << path;
        std::vector<int> valleys(count + 1, -1), wantValleys(count + 1, -1);
        for (int p = 1; p < count; p++) {
          float least = FLT_MAX;
          wantValleys[p] = 0;
          for (int j = peaks[p - 1]; j < peaks[p]; j++) {
            if (mag[j] < least) least = mag[j], wantValleys[p] = j;
          }
        }
        kernels->valleys(mag.data(), peaks.data(), valleys.data(), count);
        EXPECT_EQ(wantValleys, valleys) << "n " << n << ", seed " << seed << ", path " << path;
      }
    }
  }
}

// A stereo stream through the vocoder with every refinement on, lean and not, at a
// quickening and a slowing hop: the two differ by less than -80 dB, where a wrongly
// laid frame (a transposed window, a lost bin) would leave a difference as loud as
// the sound. (Rounding can turn a peak of noise, so the two do not agree sample for
// sample to float rounding everywhere.) On each fast path: their float kernels differ.
TEST(LeanVocoder, DiffersByLessThanMinus80Decibels) {
  constexpr int win = 2048, hop = 512, blocks = 60;
  for (CpuPath path : {CPU_PATH_BASELINE, CPU_PATH_AVX2}) {
    if (cpu_resolve_path(path, vocoderKernels) != path) continue;
    ASSERT_TRUE(support::selectAllPaths(path));
    const std::vector<float> left = noise(static_cast<size_t>(blocks) * hop, 1);
    std::vector<float> right = noise(static_cast<size_t>(blocks) * hop, 2);
    for (size_t i = 0; i < right.size(); i++) right[i] = 0.5f * right[i] + 0.5f * left[i];
    for (int step : {409, 1024}) {
      std::vector<float> out[2][2];
      for (int lean = 0; lean < 2; lean++) {
        Vocoder v;
        v.init(win, hop);
        VocoderOptions options;
        options.linked = options.finePeaks = options.attacks = true;
        options.lean = lean == 1;
        std::vector<float> l(step), r(step);
        for (int b = 0; b < blocks; b++) {
          v.processTogether(left.data() + b * hop, right.data() + b * hop, hop, l.data(), r.data(),
                            step, options);
          const int frames = b >= win / hop - 1 ? step : 0;
          out[lean][0].insert(out[lean][0].end(), l.begin(), l.begin() + frames);
          out[lean][1].insert(out[lean][1].end(), r.begin(), r.begin() + frames);
        }
      }
      for (int ch = 0; ch < 2; ch++) {
        ASSERT_EQ(out[0][ch].size(), out[1][ch].size());
        double error = 0.0, energy = 0.0;
        for (size_t i = 0; i < out[0][ch].size(); i++) {
          const double d = double{out[0][ch][i]} - out[1][ch][i];
          error += d * d;
          energy += double{out[0][ch][i]} * out[0][ch][i];
        }
        EXPECT_GT(energy, 0.0) << "the stream carries sound";
        EXPECT_LT(error / energy, 1e-8)
            << "step " << step << ", channel " << ch << ", path " << path;
        std::printf("  path %d, step %d, channel %d: %.1f dB\n", path, step, ch,
                    10 * std::log10(error / energy));
      }
    }
    support::selectAllPaths(CPU_PATH_BEST);
  }
}

// The analyser's bands in float against double, for a chord of three notes and noise.
TEST(LeanSpectrum, BandsAgreeWithTheDoubleSums) {
  constexpr int rate = 44100, frames = rate;
  std::vector<float> signal = noise(frames, 3);
  for (int i = 0; i < frames; i++) {
    signal[i] = 0.05f * signal[i] + 0.3f * std::sin(2 * M_PI * 220.0 * i / rate) +
                0.2f * std::sin(2 * M_PI * 277.18 * i / rate) +
                0.1f * std::sin(2 * M_PI * 1318.5 * i / rate);
  }
  float bands[2][spectrumBandCount];
  for (int lean = 0; lean < 2; lean++) {
    SpectrumAnalyser a;
    a.init(rate, 1);
    a.setLean(lean == 1);
    a.tap(signal.data(), nullptr, frames);
    a.copy(bands[lean], spectrumBandCount);
  }
  for (int b = 0; b < spectrumBandCount; b++) {
    EXPECT_NEAR(bands[0][b], bands[1][b], 1e-6 + 1e-5 * bands[0][b]) << "band " << b;
  }
  EXPECT_GT(bands[0][33], 0.05f) << "A3's band holds its tone";
}

// The exact analysis of a history (oldest first) in double: the Hann-windowed
// correlation magnitude of each band, scaled by 1 / 4096. The bands' frequencies are
// the analyser's, 440 Hz times the semitone ratio in float.
std::vector<double> exactMagnitudes(const std::vector<float>& history, int rate) {
  std::vector<double> m(spectrumBandCount);
  for (int b = 0; b < spectrumBandCount; b++) {
    const float hz = 440.0f * static_cast<float>(std::pow(2.0, (b - 45) / 12.0));
    const double w = 2 * M_PI * hz / (rate / 4);
    double re = 0, im = 0;
    for (int i = 0; i < spectrumHistorySize; i++) {
      const double x = (0.5 - 0.5 * std::cos(2 * M_PI * i / 4096)) * history[i];
      re += x * std::cos(w * i);
      im -= x * std::sin(w * i);
    }
    m[b] = std::hypot(re, im) / 4096;
  }
  return m;
}

// The lean analysis at every analysis of a stream, against the exact one applied to the
// history it saw (smoothed from the analyser's own previous values): a chord over noise, then noise
// alone, in stereo, fed by taps of uneven length (so that the analyses fall at every
// place within the 64-sample blocks) and, at 48 kHz, by pushes. Lean is switched on after the first
// analyses (the block sums then come from the history as it stands) and briefly off and
// on again. Every band of every lean analysis stays within 2e-6 of the largest exact band
// (the plain analysis, whose tables take the phase in float, within 4e-5).
TEST(LeanSpectrum, EveryAnalysisFollowsTheExactOne) {
  for (const SpectrumPath path : {SPECTRUM_PATH_BASELINE, SPECTRUM_PATH_AVX2}) {
    if (!spectrum_select_path(path)) continue;
    for (const int rate : {44100, 48000}) {
      const bool pushed = rate == 48000;
      const int frames = rate * 3 / 4;
      std::vector<float> left = noise(frames, 5), right = noise(frames, 6);
      for (int i = 0; i < frames; i++) {
        const double t = double(i) / rate;
        const float chord = i < frames / 2 ? 0.3f * std::sin(2 * M_PI * 220.0 * t) +
                                                 0.2f * std::sin(2 * M_PI * 311.1 * t) +
                                                 0.1f * std::sin(2 * M_PI * 1500.0 * t)
                                           : 0.0f;
        left[i] = 0.02f * left[i] + chord;
        right[i] = 0.05f * right[i] + chord;
      }
      SpectrumAnalyser a;
      a.init(rate, 2);
      std::mt19937 rng(7);
      int analyses = 0, done = 0, pushes = 0;
      while (done < frames) {
        const bool lean = analyses >= 3 && analyses != 9;
        a.setLean(lean);
        // Pushes are hops of 512 frames (128 decimated samples); taps run up to the
        // next analysis at most.
        int n = pushed ? 512 : std::uniform_int_distribution<int>(1, 700)(rng);
        n = std::min(n, frames - done);
        if (!pushed) n = std::min<long long>(n, rate / 32 - SpectrumProbe::counted(a));
        const long long before = SpectrumProbe::counted(a);
        const std::vector<float> previous(SpectrumProbe::bands(a),
                                          SpectrumProbe::bands(a) + spectrumBandCount);
        if (pushed) {
          // Now and then the right channel alone: it averages into samples already
          // taken, whose blocks may have been summed.
          if (++pushes % 5 != 0) a.push(left.data() + done, n, 0);
          a.push(right.data() + done, n, 1);
        } else {
          a.tap(left.data() + done, right.data() + done, n);
        }
        done += n;
        if (SpectrumProbe::counted(a) >= before + n) continue;  // no analysis
        if (!lean) {
          analyses++;
          continue;
        }
        const std::vector<double> exact = exactMagnitudes(SpectrumProbe::history(a), rate);
        const double largest = *std::max_element(exact.begin(), exact.end());
        for (int b = 0; b < spectrumBandCount; b++) {
          const double expected = double{0.2f} * previous[b] + exact[b];
          const double error = std::abs(SpectrumProbe::bands(a)[b] - expected);
          ASSERT_LE(error, 2e-6 * largest) << "path " << path << ", rate " << rate << ", analysis "
                                           << analyses << ", band " << b;
        }
        analyses++;
      }
      EXPECT_GE(analyses, 20);
    }
  }
  spectrum_select_path(SPECTRUM_PATH_BEST);
}

// The engine's switch reaches the vocoder: a stream with it on differs from one with it
// off, by no more than the rounding of the 16-bit samples.
TEST(LeanEngine, SwitchReachesTheVocoder) {
  constexpr int frameSize = 2048, over = 4, rate = 44100, hop = frameSize / over, hops = 40;
  std::vector<short> pcm(2 * hop * hops);
  std::mt19937 rng(5);
  std::uniform_int_distribution<int> sample(-12000, 12000);
  for (short& s : pcm) s = static_cast<short>(sample(rng));
  auto run = [&](bool lean) {
    Engine e;
    e.init(frameSize, over, rate, 2);
    e.setLinkedStereo(true);
    e.setLean(lean);
    std::vector<short> out;
    std::vector<short> block(2 * frameSize);
    for (int h = 0; h < hops; h++) {
      std::copy(pcm.begin() + 2 * h * hop, pcm.begin() + 2 * (h + 1) * hop, block.begin());
      e.process(block.data(), hop, 640);
      out.insert(out.end(), block.begin(), block.begin() + 2 * 640);
    }
    return out;
  };
  const std::vector<short> plain = run(false);
  const std::vector<short> lean = run(true);
  int differ = 0, worst = 0;
  for (size_t i = 0; i < plain.size(); i++) {
    differ += plain[i] != lean[i];
    worst = std::max(worst, std::abs(plain[i] - lean[i]));
  }
  EXPECT_LE(worst, 2) << "within rounding of the 16-bit samples";
  EXPECT_GT(differ, 0) << "the switch reaches the transforms";
}

// The level keeper's lean sums (four running sums) against the exact ones (one), on
// noise whose mid and side the keeper lifts by different gains: the energies agree to
// within a few units of double rounding, so every output sample agrees to within 1e-9
// of full scale (far below a 16-bit step), and the gains do move.
TEST(LeanLevelKeeper, WithinRoundingOfTheExactSums) {
  constexpr int rate = 44100, in = 512, out = 611, blocks = 400;
  std::mt19937 rng(9);
  std::normal_distribution<float> value(0.0f, 0.1f);
  LevelKeeper exact, lean;
  exact.init(rate, 1536, 2048);
  lean.init(rate, 1536, 2048);
  std::vector<float> inL(in), inR(in), outL(out), outR(out), tone(out, 0.75f / 1024 * 611 / 512);
  double worst = 0.0, moved = 0.0;
  for (int b = 0; b < blocks; b++) {
    for (int i = 0; i < in; i++) inL[i] = value(rng), inR[i] = value(rng);
    std::vector<float> l(out), r(out);
    for (int i = 0; i < out; i++) {
      const float m = value(rng) * 0.6f, s = value(rng) * 0.4f;  // weaker, the side more so
      l[i] = m + s;
      r[i] = m - s;
    }
    outL = l, outR = r;
    exact.apply(inL.data(), inR.data(), in, 1.0, outL.data(), outR.data(), tone.data(), out, 1024.0,
                false);
    std::vector<float> leanL = l, leanR = r;
    lean.apply(inL.data(), inR.data(), in, 1.0, leanL.data(), leanR.data(), tone.data(), out,
               1024.0, true);
    for (int i = 0; i < out; i++) {
      worst = std::max({worst, std::fabs(static_cast<double>(leanL[i]) - outL[i]),
                        std::fabs(static_cast<double>(leanR[i]) - outR[i])});
      moved = std::max(moved, std::fabs(static_cast<double>(outL[i]) - l[i]));
    }
  }
  EXPECT_LE(worst, 1e-9);
  EXPECT_GT(moved, 1e-3) << "the gains moved";
}
