#include "measures.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace support {

int64_t ulps(float a, float b) {
  if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b) ? 0 : INT64_MAX;
  auto ordered = [](float f) {
    int32_t i;
    std::memcpy(&i, &f, sizeof i);
    return i < 0 ? -static_cast<int64_t>(i & 0x7fffffff) : static_cast<int64_t>(i);
  };
  return std::llabs(ordered(a) - ordered(b));
}

int64_t ulps(double a, double b) {
  if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b) ? 0 : INT64_MAX;
  auto ordered = [](double d) {
    int64_t i;
    std::memcpy(&i, &d, sizeof i);
    return i < 0 ? -(i & INT64_MAX) : i;
  };
  const int64_t oa = ordered(a);
  const int64_t ob = ordered(b);
  return oa > ob ? oa - ob : ob - oa;
}

Agreement compareFloats(const float* got, const float* want, size_t n) {
  Agreement a;
  for (size_t i = 0; i < n; ++i) {
    const int64_t d = ulps(got[i], want[i]);
    a.worst = std::max(a.worst, d);
    a.differing += d != 0;
  }
  return a;
}

SampleAgreement compareSamples(const short* got, const short* want, size_t n) {
  SampleAgreement a;
  a.count = n;
  for (size_t i = 0; i < n; ++i) {
    const int d = std::abs(got[i] - want[i]);
    a.identical += d == 0;
    a.withinOne += d <= 1;
    a.worst = std::max(a.worst, d);
  }
  return a;
}

std::vector<std::complex<double>> directDft(const std::vector<float>& buffer, int sign) {
  using cd = std::complex<double>;
  constexpr double pi = 3.141592653589793;
  const int n = static_cast<int>(buffer.size() / 2);
  std::vector<cd> twiddle(n);
  for (int m = 0; m < n; ++m) twiddle[m] = std::polar(1.0, sign * 2.0 * pi * m / n);
  std::vector<cd> out(n);
  for (int k = 0; k < n; ++k) {
    cd sum = 0.0;
    for (int t = 0; t < n; ++t) {
      const int64_t m = (static_cast<int64_t>(t) * k) % n;
      sum += cd(buffer[2 * t], buffer[2 * t + 1]) * twiddle[m];
    }
    out[k] = sum;
  }
  return out;
}

std::complex<double> windowedTone(const float* x, size_t n, double cyclesPerSample, size_t stride) {
  constexpr double twoPi = 6.283185307179586;
  std::complex<double> sum = 0.0;
  double weight = 0.0;
  for (size_t t = 0; t < n; ++t) {
    const double w = 0.5 - 0.5 * std::cos(twoPi * t / n);
    sum += x[t * stride] * w * std::polar(1.0, -twoPi * cyclesPerSample * t);
    weight += w;
  }
  return sum / (weight / 2.0);
}

}  // namespace support
