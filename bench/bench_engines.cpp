// Many streams at once: k engines on k threads, each streaming 20 s of the stereo
// piece at 4096-sample frames with 16 hops (the default preset's format at 44.1 kHz)
// and every refinement on, at speed 0.8, in blocks of one analysis hop. Reported:
// xRT = seconds of audio in, summed over the threads, per second of wall-clock time,
// so that k = 2 against k = 1 is the gain from a second core; bytes = the native
// memory of one engine after its stream.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <vector>

#include "dsp.h"
#include "music.h"

namespace {

constexpr int frameSize = 4096;
constexpr int overSampling = 16;
constexpr int hop = frameSize / overSampling;
constexpr int stepOut = hop * 5 / 4;  // speed 0.8
constexpr int seconds = 20;

void BM_EnginesOnThreads(benchmark::State& state) {
  const int frames = std::min(music_frames(), seconds * music_rate()) / hop * hop;
  const short* pcm = music_pcm();
  std::vector<short> block(2 * stepOut);
  size_t bytes = 0;
  for (auto _ : state) {
    state.PauseTiming();
    Engine engine;
    engine.init(frameSize, overSampling, music_rate(), 2);
    engine.setLinkedStereo(true);
    engine.setAttacks(true);
    engine.setFinePeaks(true);
    engine.setLevelKeeping(true);
    state.ResumeTiming();
    for (int at = 0; at < frames; at += hop) {
      std::copy_n(pcm + 2 * at, 2 * hop, block.begin());
      engine.process(block.data(), hop, stepOut);
    }
    benchmark::DoNotOptimize(block.data());
    bytes = engine.bytes();
  }
  state.counters["xRT"] = benchmark::Counter(
      static_cast<double>(frames) / music_rate(),
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kAvgThreads);
  state.counters["bytes"] =
      benchmark::Counter(static_cast<double>(bytes), benchmark::Counter::kAvgThreads);
}

BENCHMARK(BM_EnginesOnThreads)
    ->Threads(1)
    ->Threads(2)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
