// The vectorised code paths against the reference path (plain loops, scalar libm):
// the FFT to within one unit in the last place of every stored float at every size,
// the vocoder's frame steps on awkward frames, the analyser's band values to within
// one ulp, and the whole driver to within 1 LSB of the 16-bit output for 99.9 % of
// the samples, each on the baseline (SSSE3 or NEON) and the AVX2 path; and the
// vocoder's own atan2 and sincos (the AVX2 path's, NEON's on aarch64) against scalar
// libm, in double ulps and after rounding to float.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <limits>
#include <random>
#include <vector>

#include "cpu.h"
#include "dsp.h"
#include "eq.h"
#include "fft.h"
#include "measures.h"
#include "music.h"
#include "paths.h"
#include "signals.h"
#include "spectrum.h"
#include "testing.h"
#include "vocoder.h"

namespace {

constexpr double kTwoPi = 6.283185307179586;

enum class Path { Reference, Baseline, Avx2 };  // the values of CpuPath

const char* nameOf(Path p) { return support::pathName(static_cast<CpuPath>(p)); }

void selectPath(Path p) {
  ASSERT_TRUE(support::selectAllPaths(static_cast<CpuPath>(p))) << nameOf(p);
}

class FastPath : public ::testing::TestWithParam<Path> {
 protected:
  void SetUp() override {
    // Modules without this path run their reference path (selectAllPaths()).
    if (cpu_resolve_path(static_cast<int>(GetParam())) < 0) {
      GTEST_SKIP() << "no " << nameOf(GetParam()) << " path on this CPU";
    }
  }
  void TearDown() override {
    support::selectAllPaths(CPU_PATH_BEST);
    dsp_default_engine().equaliser().enable(0);
  }
};

INSTANTIATE_TEST_SUITE_P(Paths, FastPath, ::testing::Values(Path::Baseline, Path::Avx2),
                         [](const auto& info) { return std::string(nameOf(info.param)); });

// Which instruction set each module runs by default, written to the test's log and
// its XML properties (the aarch64 check shows it). Every module's kernels are one
// portable source: where the CPU has a vector path (x86-64 with SSSE3, every aarch64
// CPU), every module runs vector kernels.
TEST(CodePaths, EveryPortableModuleRunsVectorKernels) {
  ASSERT_TRUE(support::selectAllPaths(CPU_PATH_BEST));
  const std::string paths = support::describePaths();
  std::printf("code paths: %s\n", paths.c_str());
  RecordProperty("paths", paths);
  const int best = cpu_resolve_path(CPU_PATH_BEST);
#if defined(__aarch64__)
  EXPECT_EQ(best, CPU_PATH_BASELINE) << "every aarch64 CPU has NEON";
#endif
  const auto expect = [best](const char* name, CpuKernels kernels, const char* target) {
    EXPECT_STREQ(target, cpu_path_target(best, kernels)) << name;
    if (best != CPU_PATH_REFERENCE) {
      EXPECT_STRNE(target, "scalar") << name;
    }
  };
  expect("dsp", dspKernels, dsp_path_target());
  expect("fft", fftKernels, fft_path_target());
  expect("spectrum", spectrumKernels, spectrum_path_target());
  expect("vocoder", vocoderKernels, vocoder_path_target());
}

// Every size, both directions, and the one-sided inverse (bins N/2 .. N - 1 zero),
// whose lower half starts with signed zeros.
TEST_P(FastPath, FftAgreesAtEverySize) {
  for (int n = 2; n <= 4096; n *= 2) {
    Fft fft;
    fft.init(n);
    for (int sign : {-1, 1, 0}) {
      const uint32_t seed = 17u * n + static_cast<uint32_t>(sign + 1);
      SCOPED_TRACE(::testing::Message() << "N=" << n << " sign=" << sign << " seed=" << seed);
      std::vector<float> input = support::randomFloats(2 * n, seed);
      if (sign == 0) {
        std::fill(input.begin() + n, input.end(), 0.0f);
        input[0] = input[1] = -0.0f;
      }
      std::vector<float> want = input;
      std::vector<float> got(2 * n, 9.0f);
      selectPath(Path::Reference);
      fft.process(want.data(), sign == 0 ? 1 : sign);
      selectPath(GetParam());
      if (sign == 0) {
        fft.inverseOneSided(input.data(), got.data());
      } else {
        got = input;
        fft.process(got.data(), sign);
      }
      const support::Agreement a = support::compareFloats(got.data(), want.data(), got.size());
      EXPECT_LE(a.worst, 1) << a.differing << " of " << got.size() << " floats differ";
    }
  }
}

// One frame of 1024 at a stretch of 1.25 through every step, on frames chosen to
// reach the special cases: music-like, silence (signed zeros everywhere), a lone
// click, one frame holding a NaN (the peak regions then do not tile the bins and
// the phase locking takes its general loop), and music with the equaliser on.
TEST_P(FastPath, FrameStepsAgreeOnAwkwardFrames) {
  const int n = 1024;
  struct Case {
    const char* name;
    std::vector<float> frame;
    bool equaliser;
  };
  std::vector<float> music(n);
  for (int i = 0; i < n; ++i) {
    music[i] = static_cast<float>(0.3 * std::sin(kTwoPi * 0.0213 * i) +
                                  0.2 * std::sin(kTwoPi * 0.0581 * i + 1.0) +
                                  0.1 * std::sin(kTwoPi * 0.1377 * i + 2.0));
  }
  std::vector<float> click(n, 0.0f);
  click[300] = 0.9f;
  std::vector<float> broken = music;
  broken[517] = std::numeric_limits<float>::quiet_NaN();
  const Case cases[] = {{"music", music, false},
                        {"silence", std::vector<float>(n, 0.0f), false},
                        {"click", click, false},
                        {"NaN", broken, false},
                        {"equaliser", music, true}};
  dsp_default_engine().equaliser().init(n / 2);
  std::vector<float> gains(std::max(dsp_default_engine().equaliser().size(), 1));
  for (size_t k = 0; k < gains.size(); ++k) gains[k] = 0.5f + 0.01f * static_cast<float>(k % 97);
  dsp_default_engine().equaliser().setBands(gains.data());

  struct State {
    std::vector<float> mags, phis, psis, spectrum, wave, output;
    std::vector<int> peaks;
  };
  // Step by step, or through Vocoder::processFrame(), whose fast paths compute only
  // the parts of the transforms that the frame reads (the inverse transform is
  // then not kept, and not compared).
  auto runFrames = [&](const Case& c, Path path, bool wholeFrames) {
    selectPath(path);
    Vocoder v;
    v.init(n, n / 4);
    v.stepOut = 320;
    dsp_default_engine().equaliser().enable(c.equaliser ? 1 : 0);
    State s;
    // Two frames, so that the second sees the phases the first left.
    for (int frame = 0; frame < 2; ++frame) {
      s.output.assign(320, 0.0f);
      if (wholeFrames) {
        v.processFrame(c.frame.data(), s.output.data(), 1.25f, 0);
        continue;
      }
      v.applyWindow(c.frame.data(), 0);
      v.analyze(0);
      const int nPeaks = v.findPeaks(0);
      v.phaseLock(0, nPeaks, 1.25f);
      v.synthesize(0);
      s.spectrum.assign(v.channels[0].fftBuffer, v.channels[0].fftBuffer + 2 * n);
      v.overlapAdd(s.output.data(), 0);
      s.peaks.assign(v.channels[0].peakBins, v.channels[0].peakBins + nPeaks);
      s.peaks.insert(s.peaks.end(), v.channels[0].valleyBins,
                     v.channels[0].valleyBins + nPeaks + 1);
    }
    s.mags.assign(v.channels[0].mag, v.channels[0].mag + n / 2);
    s.phis.assign(v.channels[0].phi, v.channels[0].phi + n / 2);
    s.psis.assign(v.channels[0].psi, v.channels[0].psi + n / 2);
    s.wave.assign(v.channels[0].wave, v.channels[0].wave + n);
    return s;
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const State want = runFrames(c, Path::Reference, false);
    const State got = runFrames(c, GetParam(), false);
    EXPECT_EQ(got.peaks, want.peaks);
    const State whole = runFrames(c, GetParam(), true);
    struct Part {
      const char* name;
      const std::vector<float>& got;
      const std::vector<float>& want;
    };
    for (const Part& p :
         {Part{"mags", got.mags, want.mags}, Part{"phis", got.phis, want.phis},
          Part{"psis", got.psis, want.psis}, Part{"inverse transform", got.spectrum, want.spectrum},
          Part{"accumulator", got.wave, want.wave}, Part{"output", got.output, want.output},
          Part{"whole frames: psis", whole.psis, want.psis},
          Part{"whole frames: accumulator", whole.wave, want.wave},
          Part{"whole frames: output", whole.output, want.output}}) {
      const support::Agreement a =
          support::compareFloats(p.got.data(), p.want.data(), p.got.size());
      EXPECT_LE(a.worst, 1) << p.name << ": " << a.differing << " of " << p.got.size() << " differ";
    }
  }
}

// Magnitudes at the top of the float range make the valley search find no bin
// below the largest float, so a region starts at bin 0 again: the regions no
// longer follow each other and the fast phase locking must take the general loop.
// Peaks and valleys on spectra made to trip a vectorised search: plateaus of
// equal magnitudes (the first bin of least magnitude is the valley), -0 beside +0,
// NaN, infinities and the largest float inside regions, regions of every length
// from 3 to 40 bins, and a region where nothing is below the largest float.
// The fast paths keep the analysis window at a moving place in the history and
// move the history back only when the buffer's end is near: at 4096 / 2 that
// happens every 7 frames. Blocks of uneven length, some ending mid-frame, give
// the same stream as the reference's shift on every frame.
TEST_P(FastPath, HistoryWrapsWithoutChangingTheStream) {
  const int n = 4096;
  const int hop = n / 2;
  const std::vector<float> input = support::randomFloats(160 * hop, 11, 0.5f);
  auto stream = [&](Path path) {
    selectPath(path);
    Vocoder v;
    v.init(n, hop);
    std::vector<float> out;
    std::vector<float> block(8 * n);
    size_t at = 0;
    for (int k = 0; at < input.size(); k++) {
      const int size = std::min<int>(static_cast<int>(input.size() - at), 700 + (k * 977) % 5000);
      const int frames = v.framesDue(size, 0);
      v.process(input.data() + at, size, block.data(), hop, 0);
      out.insert(out.end(), block.begin(), block.begin() + frames * hop);
      at += static_cast<size_t>(size);
    }
    return out;
  };
  const std::vector<float> want = stream(Path::Reference);
  const std::vector<float> got = stream(GetParam());
  ASSERT_EQ(got.size(), want.size());
  EXPECT_EQ(support::compareFloats(got.data(), want.data(), got.size()).worst, 0);
}

TEST_P(FastPath, ValleysOnTiesZerosAndNaN) {
  const int n = 512;
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  auto scan = [&](Path path, uint32_t seed) {
    selectPath(path);
    Vocoder v;
    v.init(n, n / 4);
    std::mt19937 gen(seed);
    std::uniform_int_distribution<int> pick(0, 9);
    int b = 0;
    for (int len = 3; b + len + 3 <= n / 2; len = 3 + (len + 7) % 38) {
      v.channels[0].mag[b] = 100.0f;  // a peak: everything else stays below 50
      v.channels[0].mag[b + 1] = v.channels[0].mag[b + 2] = 40.0f;
      for (int j = 3; j < len; j++) {
        const float kinds[] = {-0.0f, 0.0f, 1.0f, 1.0f, 2.0f, nan, inf, FLT_MAX, 0.5f, 1.0f};
        v.channels[0].mag[b + j] = kinds[pick(gen)];
      }
      b += len;
    }
    for (; b < n / 2; b++) v.channels[0].mag[b] = 1.0f;
    std::fill(v.channels[0].mag + 10, v.channels[0].mag + 14,
              FLT_MAX);  // no bin below the largest float
    const int nPeaks = v.findPeaks(0);
    std::vector<int> out(v.channels[0].peakBins, v.channels[0].peakBins + nPeaks);
    out.insert(out.end(), v.channels[0].valleyBins, v.channels[0].valleyBins + nPeaks);
    return out;
  };
  for (uint32_t seed = 1; seed <= 20; seed++) {
    EXPECT_EQ(scan(GetParam(), seed), scan(Path::Reference, seed)) << "seed " << seed;
  }
}

TEST_P(FastPath, PhaseLockOnRegionsThatDoNotTile) {
  const int n = 256;
  const float inf = std::numeric_limits<float>::infinity();
  auto lock = [&](Path path) {
    selectPath(path);
    Vocoder v;
    v.init(n, n / 4);
    const std::vector<float> m = support::randomFloats(n, 5, 1.0f),
                             a = support::randomFloats(n, 6, 3.1f),
                             b = support::randomFloats(n, 7, 3.1f),
                             c = support::randomFloats(n, 8, 3.1f);
    for (int k = 0; k < n; ++k) {
      v.channels[0].mag[k] = std::fabs(m[k]);
      v.channels[0].phi[k] = a[k];
      v.channels[0].phi0[k] = b[k];
      v.channels[0].psi[k] = c[k];
    }
    const float pattern[] = {0.0f, 0.5f, inf, FLT_MAX, FLT_MAX, inf, 0.5f, 0.25f};
    std::copy(std::begin(pattern), std::end(pattern), v.channels[0].mag + 60);
    const int nPeaks = v.findPeaks(0);
    v.phaseLock(0, nPeaks, 0.8f);
    std::vector<float> out(v.channels[0].psi, v.channels[0].psi + n / 2);
    for (int p = 0; p <= nPeaks; ++p)
      out.push_back(static_cast<float>(v.channels[0].valleyBins[p]));
    return out;
  };
  const std::vector<float> want = lock(Path::Reference);
  const std::vector<float> got = lock(GetParam());
  ASSERT_EQ(got.size(), want.size());
  const bool untiled = std::is_sorted(want.begin() + n / 2, want.end()) == false;
  EXPECT_TRUE(untiled) << "the pattern no longer makes a region restart at bin 0";
  EXPECT_EQ(support::compareFloats(got.data(), want.data(), got.size()).worst, 0);
}

// The piece through dsp_process() at 2048 / 4 in hop-aligned blocks of 1024 frames
// with stepOut output frames per hop, the analyser on.
std::vector<short> runDriver(const std::vector<short>& pcm, int stepOut, Path path) {
  selectPath(path);
  dsp_default_engine().spectrum().setEnabled(true);
  dsp_init(2048, 4, 44100, 2);
  const int blockIn = 1024;
  const int blockOut = blockIn / 512 * stepOut;
  const int blocks = static_cast<int>(pcm.size() / 2 / blockIn);
  std::vector<short> out;
  std::vector<short> block(2 * std::max(blockIn, blockOut));
  for (int b = 0; b < blocks; ++b) {
    std::copy(pcm.begin() + 2 * b * blockIn, pcm.begin() + 2 * (b + 1) * blockIn, block.begin());
    EXPECT_EQ(dsp_process(block.data(), blockIn, blockOut), DSP_OK);
    out.insert(out.end(), block.begin(), block.begin() + 2 * blockOut);
  }
  return out;
}

TEST_P(FastPath, DriverAgreesWithinOneLsb) {
  const std::vector<short> pcm = music_render(44100, 4 * 44100);
  for (const int stepOut : {640, 409, 512}) {  // ratios 1.25, 0.8 (0.7988) and 1
    SCOPED_TRACE(::testing::Message() << "stepOut=" << stepOut);
    const std::vector<short> want = runDriver(pcm, stepOut, Path::Reference);
    const std::vector<short> got = runDriver(pcm, stepOut, GetParam());
    ASSERT_EQ(got.size(), want.size());
    const support::SampleAgreement a = support::compareSamples(got.data(), want.data(), got.size());
    double energy = 0.0;
    for (const short v : want) energy += static_cast<double>(v) * v;
    ASSERT_GT(std::sqrt(energy / want.size()), 1000.0) << "the piece came out silent";
    const double share = static_cast<double>(a.withinOne) / a.count;
    EXPECT_GE(share, 0.999) << "worst " << a.worst << " LSB";
    std::printf("  %s, stepOut %d: %.4f %% identical, %.4f %% within 1 LSB, worst %d LSB\n",
                nameOf(GetParam()), stepOut, 100.0 * a.identical / a.count, 100.0 * share, a.worst);
  }
}

struct MathsAgreement {
  int64_t worst = 0;       // in double ulps, over the arguments the kernel covers
  size_t floatDiffer = 0;  // results whose float rounding differs from libm's
  size_t count = 0;
  void add(double got, double want) {
    worst = std::max(worst, support::ulps(got, want));
    floatDiffer += support::ulps(static_cast<float>(got), static_cast<float>(want)) != 0;
    count++;
  }
};

// The AVX2 path's own atan2 against scalar libm: random parts over the whole
// exponent range and the float values a frame gives, and the awkward ones: signed
// zeros, the axes and diagonals, both sides of the tan(pi / 8) octant split,
// denormal, tiny and huge parts. Infinities and NaN must give exactly what libm
// gives.
TEST(FastPathMaths, Atan2AgreesWithLibm) {
  if (!vocoder_vector_atan2(nullptr, nullptr, nullptr, 0)) GTEST_SKIP() << "no own vector maths";
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double denormal = std::numeric_limits<double>::denorm_min();
  const double parts[] = {0.0,
                          -0.0,
                          1.0,
                          -1.0,
                          0.5,
                          0.41421356237309503,
                          0.41421356237309509,
                          3.0,
                          denormal,
                          -denormal,
                          1e-310,
                          DBL_MIN,
                          1e-300,
                          1e300,
                          -1e300,
                          DBL_MAX,
                          -DBL_MAX,
                          FLT_MAX,
                          FLT_MIN,
                          1.4e-45,
                          3.1415926535897931,
                          1e-20};
  std::vector<double> y, x;
  for (double a : parts) {
    for (double b : parts) {
      y.push_back(a);
      x.push_back(b);
    }
  }
  const uint32_t seed = 2024;
  std::mt19937_64 gen(seed);
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  std::uniform_int_distribution<int> exponent(-1070, 1020);
  for (int i = 0; i < 200000; ++i) {
    const double a = unit(gen);
    const double b = unit(gen);
    switch (i % 4) {
      case 0:  // near the split between the two octant halves
        y.push_back(a);
        x.push_back(a / 0.41421356237309503 * (1.0 + 1e-9 * unit(gen)));
        break;
      case 1:  // independent magnitudes
        y.push_back(std::ldexp(a, exponent(gen)));
        x.push_back(std::ldexp(b, exponent(gen)));
        break;
      case 2:  // bins of a float spectrum
        y.push_back(static_cast<float>(a * 100.0));
        x.push_back(static_cast<float>(b * 100.0));
        break;
      default:
        y.push_back(a);
        x.push_back(b);
    }
  }
  std::vector<double> got(y.size());
  ASSERT_TRUE(vocoder_vector_atan2(y.data(), x.data(), got.data(), static_cast<int>(y.size())));
  MathsAgreement a;
  for (size_t i = 0; i < y.size(); ++i) {
    const double want = std::atan2(y[i], x[i]);
    ASSERT_EQ(std::signbit(got[i]), std::signbit(want))
        << "atan2(" << y[i] << ", " << x[i] << ") = " << got[i] << ", libm " << want << ", seed "
        << seed;
    a.add(got[i], want);
  }
  for (double n : {inf, -inf, nan, 1.0, 0.0}) {
    for (double m : {inf, -inf, nan, -1.0, -0.0}) {
      double angle = 0.0;
      ASSERT_TRUE(vocoder_vector_atan2(&n, &m, &angle, 1));
      EXPECT_EQ(support::ulps(angle, std::atan2(n, m)), 0) << "atan2(" << n << ", " << m << ")";
    }
  }
  EXPECT_LE(a.worst, 1);
  EXPECT_LE(a.floatDiffer, a.count / 100000) << "rounded to float";
  std::printf("  atan2: worst %lld ulp in double, %zu of %zu floats differ from libm's\n",
              static_cast<long long>(a.worst), a.floatDiffer, a.count);
}

// The AVX2 path's own sincos against scalar libm over the phases a frame passes
// (|x| <= 3.2, as doubles and as floats), at the quadrant boundaries and at pi
// exactly, and beyond that range, where it must give what libm gives.
TEST(FastPathMaths, SinCosAgreesWithLibm) {
  if (!vocoder_vector_atan2(nullptr, nullptr, nullptr, 0)) GTEST_SKIP() << "no own vector maths";
  std::vector<double> x = {0.0,
                           -0.0,
                           std::numeric_limits<double>::denorm_min(),
                           -1e-310,
                           1e-200,
                           3.141592653589793,
                           -3.141592653589793,
                           static_cast<float>(3.141592653589793),
                           -static_cast<float>(3.141592653589793),
                           8.0,
                           -8.0,
                           std::nextafter(8.0, 9.0),
                           12.5,
                           1e6,
                           1e300,
                           std::numeric_limits<double>::infinity(),
                           -std::numeric_limits<double>::infinity(),
                           std::numeric_limits<double>::quiet_NaN()};
  for (int k = -5; k <= 5; ++k) {  // multiples of pi / 4 and their neighbours
    const double at = k * 0.7853981633974483;
    for (double d : {at, std::nextafter(at, -10.0), std::nextafter(at, 10.0)}) x.push_back(d);
  }
  const uint32_t seed = 7;
  std::mt19937_64 gen(seed);
  std::uniform_real_distribution<double> phase(-3.2, 3.2);
  for (int i = 0; i < 200000; ++i) {
    const double p = phase(gen);
    x.push_back(i % 2 == 0 ? p : static_cast<float>(p));
  }
  std::vector<double> sine(x.size());
  std::vector<double> cosine(x.size());
  ASSERT_TRUE(
      vocoder_vector_sincos(x.data(), sine.data(), cosine.data(), static_cast<int>(x.size())));
  MathsAgreement s;
  MathsAgreement c;
  for (size_t i = 0; i < x.size(); ++i) {
    double wantSine;
    double wantCosine;
    sincos(x[i], &wantSine, &wantCosine);
    if (!(std::fabs(x[i]) <= 8.0)) {  // beyond the kernel: libm's own results
      EXPECT_EQ(support::ulps(sine[i], wantSine), 0) << "sin(" << x[i] << ")";
      EXPECT_EQ(support::ulps(cosine[i], wantCosine), 0) << "cos(" << x[i] << ")";
      continue;
    }
    ASSERT_EQ(std::signbit(sine[i]), std::signbit(wantSine))
        << "sin(" << x[i] << ") = " << sine[i] << ", libm " << wantSine << ", seed " << seed;
    s.add(sine[i], wantSine);
    c.add(cosine[i], wantCosine);
  }
  EXPECT_LE(s.worst, 1);
  EXPECT_LE(c.worst, 1);
  EXPECT_LE(s.floatDiffer + c.floatDiffer, s.count / 100000) << "rounded to float";
  std::printf("  sin: worst %lld ulp, %zu of %zu floats differ; cos: worst %lld ulp, %zu differ\n",
              static_cast<long long>(s.worst), s.floatDiffer, s.count,
              static_cast<long long>(c.worst), c.floatDiffer);
}

TEST_P(FastPath, AnalyserBandsAgreeWithinOneUlp) {
  const std::vector<short> pcm = music_render(44100, 2 * 44100);
  std::vector<float> mono(pcm.size() / 2);
  for (size_t i = 0; i < mono.size(); ++i) mono[i] = pcm[2 * i] / 32768.0f;
  auto bandsAfterEachPush = [&](Path path) {
    selectPath(path);
    SpectrumAnalyser analyser;  // a fresh one: both paths analyse at the same pushes
    analyser.init(44100, 1);
    std::vector<float> all;
    for (size_t at = 0; at + 640 <= mono.size(); at += 640) {
      analyser.push(mono.data() + at, 640, 0);
      const float* bands = SpectrumProbe::bands(analyser);
      all.insert(all.end(), bands, bands + spectrumBandCount);
    }
    return all;
  };
  const std::vector<float> want = bandsAfterEachPush(Path::Reference);
  const std::vector<float> got = bandsAfterEachPush(GetParam());
  ASSERT_EQ(got.size(), want.size());
  const support::Agreement a = support::compareFloats(got.data(), want.data(), got.size());
  EXPECT_LE(a.worst, 1) << a.differing << " of " << got.size() << " band values differ";
  std::printf("  %s: %zu of %zu band values differ by an ulp\n", nameOf(GetParam()), a.differing,
              got.size());
}

}  // namespace

namespace {

// The engine's own stage with level keeping (mono and stereo, a gain glide mid-stream,
// blocks whose frame counts leave every vector tail) on the driver's path `p`, the
// vocoder and the rest on the best path: the peak and every output sample.
std::vector<float> runStage(const std::vector<short>& pcm, int channels, Path p) {
  EXPECT_TRUE(dsp_select_path(static_cast<DspPath>(p)));
  Engine e;
  e.init(2048, 4, 44100, channels);
  e.setLevelKeeping(true);
  e.setAttacks(true);
  std::vector<float> out;
  std::vector<short> in, block;
  const int frames = static_cast<int>(pcm.size() / 2);
  int n = 0;
  for (int at = 0; at + 512 <= frames; at += 512, n++) {
    if (n == 30) e.setGain(0.25f);
    if (n == 50) e.setGain(4.0f);  // past the limiter's knee
    const int step = 509 + (n % 7) * 61;
    in.resize(static_cast<size_t>(512) * channels);
    for (int i = 0; i < 512; i++) {
      for (int c = 0; c < channels; c++) in[channels * i + c] = pcm[2 * (at + i) + c];
    }
    const int room = e.stageRoom(512, step);
    block.resize(static_cast<size_t>(room) * channels);
    float peak = 0.0f;
    const int made = e.processStage(in.data(), 512, step, block.data(), room, &peak);
    out.push_back(peak);
    out.insert(out.end(), block.begin(), block.begin() + made * channels);
  }
  dsp_select_path(DSP_PATH_BEST);
  return out;
}

}  // namespace

// The output stage's and the level keeper's kernels do the scalar code's operations in
// its order: the same bits on every path.
TEST_P(FastPath, OutputStageAndLevelKeepingGiveTheSameBits) {
  const std::vector<short> pcm = music_render(44100, 3 * 44100);
  for (const int channels : {1, 2}) {
    SCOPED_TRACE(::testing::Message() << "channels=" << channels);
    const std::vector<float> want = runStage(pcm, channels, Path::Reference);
    const std::vector<float> got = runStage(pcm, channels, GetParam());
    ASSERT_EQ(got.size(), want.size());
    EXPECT_EQ(0, std::memcmp(got.data(), want.data(), sizeof(float) * got.size()));
  }
}
