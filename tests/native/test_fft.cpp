// The complex FFT against a direct DFT in double, its bit-reversal swap list, the
// exact arithmetic of its twiddle tables and butterflies, and the tables shared
// between objects and threads.

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "cpu.h"
#include "fft.h"
#include "measures.h"
#include "signals.h"
#include "testing.h"

namespace {

using cd = std::complex<double>;

constexpr double kPi = 3.141592653589793;
constexpr double kFloatEps = 1.0 / (1 << 24);  // half an ulp of 1.0f, relative

std::vector<int> powersOfTwo(int from, int to) {
  std::vector<int> sizes;
  for (int n = from; n <= to; n *= 2) sizes.push_back(n);
  return sizes;
}

int log2Of(int n) {
  int bits = 0;
  while ((1 << bits) < n) ++bits;
  return bits;
}

double rmsOf(const std::vector<float>& buffer) {
  double sum = 0.0;
  for (float v : buffer) sum += static_cast<double>(v) * v;
  return std::sqrt(sum / (buffer.size() / 2));
}

// Largest error over all bins, relative to the RMS an output bin has for this
// input (sqrt(N) times the input's RMS).
double maxRelativeError(const std::vector<float>& got, const std::vector<cd>& want,
                        double inputRms) {
  const int n = static_cast<int>(want.size());
  double worst = 0.0;
  for (int k = 0; k < n; ++k) {
    worst = std::max(worst, std::abs(cd(got[2 * k], got[2 * k + 1]) - want[k]));
  }
  return worst / (inputRms * std::sqrt(static_cast<double>(n)));
}

// Error bound for an N-point transform, relative as in maxRelativeError(). Every
// stage rounds each value once (a few eps over log2 N stages). The twiddles come
// from a recurrence whose single-precision rotation factor has a modulus off by up
// to half an ulp of 1.0 (2^-25); over the 2^k steps of stage k that drift reaches
// 2^k * 2^-25, and summed over all stages it stays below N * 2^-25 = eps * N / 2.
// For N = 4096 this allows 1.2e-4; the transform measures about 6e-5 there.
double tolerance(int n) { return kFloatEps * (2.0 * log2Of(n) + n / 2.0); }

TEST(Fft, MatchesDirectDftForEveryPowerOfTwo) {
  for (int n : powersOfTwo(2, 4096)) {
    Fft fft;
    fft.init(n);
    for (int sign : {-1, 1}) {
      const uint32_t seed = 1000u * n + (sign > 0 ? 1 : 0);
      SCOPED_TRACE(::testing::Message() << "N=" << n << " sign=" << sign << " seed=" << seed);
      std::vector<float> buffer = support::randomFloats(2 * static_cast<size_t>(n), seed);
      const std::vector<cd> want = support::directDft(buffer, sign);
      const double rms = rmsOf(buffer);
      fft.process(buffer.data(), sign);
      EXPECT_LT(maxRelativeError(buffer, want, rms), tolerance(n));
    }
  }
}

TEST(Fft, UnitImpulseGivesAllOnesExactly) {
  for (int n : powersOfTwo(2, 4096)) {
    Fft fft;
    fft.init(n);
    for (int sign : {-1, 1}) {
      SCOPED_TRACE(::testing::Message() << "N=" << n << " sign=" << sign);
      std::vector<float> buffer(2 * n, 0.0f);
      buffer[0] = 1.0f;
      fft.process(buffer.data(), sign);
      int wrong = 0;
      for (int k = 0; k < n; ++k) wrong += buffer[2 * k] != 1.0f || buffer[2 * k + 1] != 0.0f;
      EXPECT_EQ(wrong, 0);
    }
  }
}

TEST(Fft, ForwardThenInverseGivesNTimesInput) {
  for (int n : powersOfTwo(2, 4096)) {
    const uint32_t seed = 7u * n;
    SCOPED_TRACE(::testing::Message() << "N=" << n << " seed=" << seed);
    Fft fft;
    fft.init(n);
    const std::vector<float> input = support::randomFloats(2 * static_cast<size_t>(n), seed);
    std::vector<float> buffer = input;
    fft.process(buffer.data(), -1);
    fft.process(buffer.data(), 1);
    double worst = 0.0;
    for (size_t i = 0; i < buffer.size(); ++i) {
      worst = std::max(worst, std::abs(buffer[i] - static_cast<double>(n) * input[i]));
    }
    // Two transforms, each within tolerance() of the exact result relative to
    // sqrt(N) * rms; the round trip scales that by sqrt(N) once more.
    EXPECT_LT(worst / (n * rmsOf(input)), 2.0 * tolerance(n));
  }
}

TEST(Fft, EverySignOtherThanPlusOneIsTheForwardTransform) {
  for (int n : {2, 16, 1024}) {
    Fft fft;
    fft.init(n);
    const uint32_t seed = 31u * n;
    SCOPED_TRACE(::testing::Message() << "N=" << n << " seed=" << seed);
    const std::vector<float> input = support::randomFloats(2 * static_cast<size_t>(n), seed);
    std::vector<float> forward = input;
    fft.process(forward.data(), -1);
    for (int sign : {0, 2, -5, -1000}) {
      std::vector<float> buffer = input;
      fft.process(buffer.data(), sign);
      EXPECT_EQ(0, std::memcmp(buffer.data(), forward.data(), buffer.size() * sizeof(float)))
          << "sign=" << sign;
    }
  }
}

TEST(Fft, SmallerSizeAfterLargerOneTransformsCorrectlyAndOtherSizesAreRefused) {
  Fft fft;
  EXPECT_EQ(fft.size(), 0);
  fft.init(4096);
  fft.init(1024);
  EXPECT_EQ(fft.size(), 1024);
  Fft unset;
  for (int n : {0, -4, 1, 3, 1000, 8192}) {
    unset.init(n);
    EXPECT_EQ(unset.size(), 0) << "N=" << n;
  }
  std::vector<float> untouched = {1.0f, 2.0f, 3.0f, 4.0f};
  unset.process(untouched.data(), -1);
  EXPECT_EQ(untouched, std::vector<float>({1.0f, 2.0f, 3.0f, 4.0f}));
  for (int sign : {-1, 1}) {
    const uint32_t seed = 4242u + sign;
    SCOPED_TRACE(::testing::Message() << "sign=" << sign << " seed=" << seed);
    std::vector<float> buffer = support::randomFloats(2 * 1024, seed);
    const std::vector<cd> want = support::directDft(buffer, sign);
    const double rms = rmsOf(buffer);
    fft.process(buffer.data(), sign);
    EXPECT_LT(maxRelativeError(buffer, want, rms), tolerance(1024));
  }
}

std::vector<int> swapList(int n) { return fft_tables(n).bitSwapPos; }

TEST(FftSwapList, KnownSmallSizes) {
  struct Case {
    int n;
    std::vector<int> pairs;
  };
  const Case cases[] = {
      {2, {}},
      {4, {2, 4}},
      {8, {2, 8, 6, 12}},
      {16, {2, 16, 4, 8, 6, 24, 10, 20, 14, 28, 22, 26}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(swapList(c.n), c.pairs) << "N=" << c.n;
    EXPECT_EQ(fft_tables(c.n).log2Size, log2Of(c.n)) << "N=" << c.n;
    EXPECT_EQ(fft_tables(c.n).size, c.n) << "N=" << c.n;
  }
}

// Every complex index c that is smaller than its log2(N)-bit reversal r appears
// exactly once, as the float pair (2c, 2r), in ascending order of c.
TEST(FftSwapList, ListsEachBitReversalPairOnceInOrder) {
  for (int n : powersOfTwo(2, 4096)) {
    const int bits = log2Of(n);
    std::vector<int> want;
    for (int c = 0; c < n; ++c) {
      int r = 0;
      for (int b = 0; b < bits; ++b) r |= ((c >> b) & 1) << (bits - 1 - b);
      if (c < r) {
        want.push_back(2 * c);
        want.push_back(2 * r);
      }
    }
    EXPECT_EQ(swapList(n), want) << "N=" << n;
    EXPECT_EQ(fft_tables(n).log2Size, bits) << "N=" << n;
  }
  EXPECT_EQ(swapList(4096).size(), 4032u);  // 2016 pairs
  EXPECT_EQ(fft_tables(4096).log2Size, 12);
}

// The twiddles of stage k come from rotating (1, 0) step by step by the
// single-precision pair (cos theta, +-sin theta), theta = pi / 2^k as a float,
// the running value carried at a 64-bit mantissa and rounded only when stored.
// Twiddles computed directly, or a recurrence carried in float or double, differ
// from these in the last bits, and the vocoder amplifies such differences away
// from ratio 1; so the tables are compared bit for bit.
TEST(FftTwiddles, FollowTheExtendedPrecisionRecurrence) {
  const FftTables& tables = fft_tables(4096);
  for (int k = 0; k < 12; ++k) {
    float wr = 1.0f, wi = 0.0f;
    if (k > 0) sincosf(static_cast<float>(kPi / (1 << k)), &wi, &wr);
    struct Table {
      const float* re;
      const float* im;
      float step;
    };
    const float* pur = tables.pur.data();
    for (const Table& t : {Table{pur, tables.pui.data(), wi},
                           Table{tables.purInv.data(), tables.puiInv.data(), -wi}}) {
      long double ur = 1.0L, ui = 0.0L;
      int wrong = 0, first = -1;
      for (int j = 0; j < (2 << k); j += 2) {
        const int at = (2 << k) + j;
        if (t.re[at] != static_cast<float>(ur) || t.im[at] != static_cast<float>(ui)) {
          if (first < 0) first = j / 2;
          ++wrong;
        }
        const long double next = ur * wr - ui * t.step;
        ui = ur * t.step + ui * wr;
        ur = next;
      }
      EXPECT_EQ(wrong, 0) << "stage " << k << (t.re == pur ? " sign +1" : " sign -1")
                          << ", first wrong twiddle " << first;
    }
  }
}

// Butterflies form their products and sums in double and round to float only when
// they store a value. Run on the module's own (separately verified) tables, this
// plain transform must give the same bits; single-precision butterflies do not.
void butterflyReference(float* b, int n, int sign) {
  const int bits = log2Of(n);
  for (int c = 0; c < n; ++c) {
    int r = 0;
    for (int i = 0; i < bits; ++i) r |= ((c >> i) & 1) << (bits - 1 - i);
    if (c < r) {
      std::swap(b[2 * c], b[2 * r]);
      std::swap(b[2 * c + 1], b[2 * r + 1]);
    }
  }
  const FftTables& t = fft_tables(n);
  const float* tr = (sign == 1 ? t.pur : t.purInv).data();
  const float* ti = (sign == 1 ? t.pui : t.puiInv).data();
  for (int k = 0; k < bits; ++k) {
    const int half = 2 << k;  // floats between the two inputs of a butterfly
    for (int j = 0; j < half; j += 2) {
      const double ur = tr[half + j], ui = ti[half + j];
      for (int p1 = j; p1 < 2 * n; p1 += 2 * half) {
        const int p2 = p1 + half;
        const double re = static_cast<double>(b[p2]) * ur - static_cast<double>(b[p2 + 1]) * ui;
        const double im = static_cast<double>(b[p2]) * ui + static_cast<double>(b[p2 + 1]) * ur;
        const double r1 = b[p1], i1 = b[p1 + 1];
        b[p2] = static_cast<float>(r1 - re);
        b[p2 + 1] = static_cast<float>(i1 - im);
        b[p1] = static_cast<float>(r1 + re);
        b[p1 + 1] = static_cast<float>(i1 + im);
      }
    }
  }
}

TEST(FftButterflies, RoundOnlyWhenStoring) {
  for (int n : powersOfTwo(2, 4096)) {
    Fft fft;
    fft.init(n);
    for (int sign : {-1, 1}) {
      const uint32_t seed = 99u * n + (sign > 0 ? 1 : 0);
      SCOPED_TRACE(::testing::Message() << "N=" << n << " sign=" << sign << " seed=" << seed);
      std::vector<float> got = support::randomFloats(2 * static_cast<size_t>(n), seed);
      std::vector<float> want = got;
      fft.process(got.data(), sign);
      butterflyReference(want.data(), n, sign);
      int differ = 0;
      for (size_t i = 0; i < got.size(); ++i) differ += got[i] != want[i];
      EXPECT_EQ(differ, 0);
    }
  }
}

// The first use of a size builds its tables; every later one, on any thread, gets
// the same object. Two objects of different sizes transforming at once on two
// threads give exactly what each gives alone (a ThreadSanitizer build checks that
// they share nothing but read-only tables).
TEST(Fft, ObjectsShareTablesAndRunOnThreadsAtOnce) {
  const FftTables* seen[4] = {};
  std::thread first([&] { seen[0] = &fft_tables(512); });
  std::thread second([&] { seen[1] = &fft_tables(512); });
  first.join();
  second.join();
  seen[2] = &fft_tables(64);
  seen[3] = &fft_tables(512);
  EXPECT_EQ(seen[0], seen[1]);
  EXPECT_EQ(seen[0], seen[3]);
  EXPECT_NE(seen[0], seen[2]);

  struct Run {
    int n;
    std::vector<float> input;
    std::vector<float> alone;
    std::vector<float> together;
  };
  // Forward, inverse and the vocoder's two half transforms, many times over.
  auto work = [](Run& run, std::vector<float>& out) {
    Fft fft;
    fft.init(run.n);
    std::vector<float> buffer = run.input;
    std::vector<float> lower(2 * run.n);
    for (int round = 0; round < 40; ++round) {
      fft.process(buffer.data(), -1);
      fft.forwardLower(lower.data());
      fft.inverseOneSided(buffer.data(), lower.data());
      fft.inverseOneSidedReal(lower.data(), buffer.data());
      for (float& x : buffer) x *= 1.0f / run.n;
    }
    out = buffer;
  };
  Run runs[2] = {{4096, support::randomFloats(2 * 4096, 11), {}, {}},
                 {256, support::randomFloats(2 * 256, 12), {}, {}}};
  for (Run& run : runs) work(run, run.alone);
  std::thread a([&] { work(runs[0], runs[0].together); });
  std::thread b([&] { work(runs[1], runs[1].together); });
  a.join();
  b.join();
  for (const Run& run : runs) {
    EXPECT_EQ(0, std::memcmp(run.alone.data(), run.together.data(), sizeof(float) * 2 * run.n))
        << "N " << run.n;
  }
}

}  // namespace

// Every code path (plain reference loops, the vectorised baseline and the AVX2
// path) computes the same bits, in both directions and at every size; so does
// the one-sided inverse against the full inverse of a zero-padded copy, and the
// transforms that keep only the lower bins or only the real parts. Besides
// random complex values, the inputs include what the vocoder hands over: real
// frames (every imaginary part +0) with runs of -0 and +0 samples, and silences,
// where only the signs of zeros can tell the paths apart.
TEST(FftPaths, EveryPathGivesTheSameBits) {
  std::mt19937 rng(20261208);
  std::uniform_real_distribution<float> value(-1.0f, 1.0f);
  std::vector<FftPath> paths;
  for (FftPath path : {FFT_PATH_REFERENCE, FFT_PATH_BASELINE, FFT_PATH_AVX2}) {
    if (cpu_resolve_path(path, fftKernels) >= 0) paths.push_back(path);
  }
  for (int n = 2; n <= 4096; n *= 2) {
    Fft fft;
    fft.init(n);
    std::vector<float> input(2 * n);
    for (float& x : input) x = value(rng);
    std::vector<float> realFrame(2 * n, 0.0f);
    for (int i = 0; i < n; i++) {
      // -0, +0, a value, its negation; the same kind in both halves, so that the
      // first stage also meets -0 paired with -0.
      const int run = ((i % std::max(1, n / 2)) / 3) % 4;
      realFrame[2 * i] = run == 0 ? -0.0f : run == 1 ? 0.0f : run == 2 ? value(rng) : -value(rng);
    }
    // Silence as -0 samples (imaginary parts +0), and as -0 throughout: a +0 that
    // a path forms by mistake anywhere on bin 0's way shows there.
    std::vector<float> silence(2 * n, 0.0f);
    for (int i = 0; i < n; i++) silence[2 * i] = -0.0f;
    std::vector<float> negativeZeros(2 * n, -0.0f);
    for (const std::vector<float>* frame : {&realFrame, &silence, &negativeZeros, &input}) {
      for (FftPath path : paths) {
        ASSERT_TRUE(fft_select_path(path));
        std::vector<float> forward = *frame;
        fft.process(forward.data(), -1);
        std::vector<float> reference = *frame;
        ASSERT_TRUE(fft_select_path(FFT_PATH_REFERENCE));
        fft.process(reference.data(), -1);
        ASSERT_EQ(0, std::memcmp(forward.data(), reference.data(), sizeof(float) * 2 * n))
            << "forward, N " << n << ", path " << path;
        ASSERT_TRUE(fft_select_path(path));
        std::vector<float> lower = *frame;
        fft.forwardLower(lower.data());
        ASSERT_EQ(0, std::memcmp(lower.data(), reference.data(), sizeof(float) * n))
            << "lower half, N " << n << ", path " << path;
      }
    }
    for (int sign : {-1, 1}) {
      std::vector<float> reference;
      for (FftPath path : paths) {
        ASSERT_TRUE(fft_select_path(path));
        std::vector<float> buffer = input;
        fft.process(buffer.data(), sign);
        if (reference.empty()) reference = buffer;
        ASSERT_EQ(0, std::memcmp(buffer.data(), reference.data(), sizeof(float) * 2 * n))
            << "N " << n << ", sign " << sign << ", path " << path;
      }
    }
    for (FftPath path : paths) {
      ASSERT_TRUE(fft_select_path(path));
      std::vector<float> padded = input;
      std::fill(padded.begin() + n, padded.end(), 0.0f);
      fft.process(padded.data(), 1);
      std::vector<float> oneSided(2 * n);
      fft.inverseOneSided(input.data(), oneSided.data());
      ASSERT_EQ(0, std::memcmp(padded.data(), oneSided.data(), sizeof(float) * 2 * n))
          << "one-sided, N " << n << ", path " << path;
      std::vector<float> real(2 * n, 9.0f);
      fft.inverseOneSidedReal(input.data(), real.data());
      for (int i = 0; i < n; i++) {
        ASSERT_EQ(std::bit_cast<uint32_t>(padded[2 * i]), std::bit_cast<uint32_t>(real[i]))
            << "real part " << i << ", N " << n << ", path " << path;
      }
    }
  }
  fft_select_path(FFT_PATH_BEST);
}
