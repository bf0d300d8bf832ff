#include "signals.h"

#include <random>

namespace support {

std::vector<float> randomFloats(size_t n, uint32_t seed, float scale) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<float> dist(-scale, scale);
  std::vector<float> v(n);
  for (float& x : v) x = dist(gen);
  return v;
}

}  // namespace support
