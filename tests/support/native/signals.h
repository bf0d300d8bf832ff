// Signal makers shared by the native tests and the benchmarks (the music piece is in
// music.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace support {

// n floats uniform in [-scale, scale), reproducible from the seed (std::mt19937).
std::vector<float> randomFloats(size_t n, uint32_t seed, float scale = 1.0f);

}  // namespace support
