// Measures shared by the native tests, the benchmarks and the ARM check: distances in
// units in the last place, agreement of two runs, and a DFT in double.
#pragma once

#include <complex>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace support {

// Distance in units in the last place: the values mapped in order onto integers (both
// zeros onto 0); NaN only matches NaN, and is INT64_MAX away from anything else.
int64_t ulps(float a, float b);
int64_t ulps(double a, double b);

// How far apart two float arrays are: the largest distance in ulps, and how many
// values differ at all.
struct Agreement {
  int64_t worst = 0;
  size_t differing = 0;
};
Agreement compareFloats(const float* got, const float* want, size_t n);

// How far apart two runs of 16-bit samples are.
struct SampleAgreement {
  size_t count = 0;      // samples compared
  size_t identical = 0;  // of them equal
  size_t withinOne = 0;  // of them at most 1 LSB apart
  int worst = 0;         // largest difference, in LSB
};
SampleAgreement compareSamples(const short* got, const short* want, size_t n);

// X[k] = sum_n x[n] e^(sign 2 pi i nk / N) in double with an exact twiddle table, of
// the interleaved complex buffer (N = buffer.size() / 2).
std::vector<std::complex<double>> directDft(const std::vector<float>& buffer, int sign);

// The complex amplitude at `cyclesPerSample` of x[0 .. n - 1] (every `stride`-th value
// from x[0]) under a Hann window, scaled so that a sinusoid of amplitude A reads |A|:
// sum x w e^(-2 pi i f t) / (sum w / 2), in double.
std::complex<double> windowedTone(const float* x, size_t n, double cyclesPerSample,
                                  size_t stride = 1);

}  // namespace support
