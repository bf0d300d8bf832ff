// The key change's converter: ten seconds of stereo at 44.1 kHz in blocks of 512 frames
// at the ratios of a few key changes (an octave down and up, a semitone up, none) and at
// the extremes. xRT = seconds of audio in per second of CPU time of the thread; the
// cost grows with the kernel's span, 144 taps up to ratio 1 and 2 x ceil(72 x ratio)
// above. A ratio on a table row (0.5, 1, 2) takes the stereo sums without the
// coefficient interpolation.
#include <benchmark/benchmark.h>

#include <vector>

#include "resampler.h"
#include "signals.h"

namespace {

constexpr int kRate = 44100;
constexpr int kSeconds = 10;
constexpr int kBlock = 512;

void benchResampler(benchmark::State& state) {
  const double ratio = static_cast<double>(state.range(0)) / 1000;
  const auto input = support::randomFloats(2 * static_cast<size_t>(kRate) * kSeconds, 1, 0.5f);
  auto resampler = Resampler::create(2, ratio);
  const int capacity = Resampler::maxOutputFrames(kBlock, ratio);
  std::vector<float> out(2 * static_cast<size_t>(capacity));
  for (auto _ : state) {
    for (int at = 0; at + kBlock <= kRate * kSeconds; at += kBlock) {
      resampler->process(input.data() + 2 * static_cast<size_t>(at), kBlock, out.data(), capacity);
      benchmark::DoNotOptimize(out.data());
    }
    resampler->finish(out.data(), capacity);
  }
  state.counters["xRT"] =
      benchmark::Counter(kSeconds, benchmark::Counter::kIsIterationInvariantRate);
}

}  // namespace

// Ratios in thousandths: 0.25, an octave up (0.5), a semitone down and up, none, an
// octave down (2) and 4.
BENCHMARK(benchResampler)
    ->Arg(250)
    ->Arg(500)
    ->Arg(944)
    ->Arg(1000)
    ->Arg(1059)
    ->Arg(2000)
    ->Arg(4000)
    ->Unit(benchmark::kMillisecond);
