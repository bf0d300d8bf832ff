// Denormal benchmarks: the CPU time per block of loud music against the time per
// block of the digital silence that follows it, voice removal on.
//
// When music stops, the voice-removal filter's recursion, the vocoder's overlap-add
// and the analyser's history decay towards zero through the subnormal range, where
// each floating-point operation can cost a hundred cycles or more. A block of
// silence must cost no more than 1.2 x a block of music.
//
// Each run streams 10 s of the test piece and then 20 s of zeros, in blocks of 1024
// stereo frames at 44.1 kHz (2048 / 4, ratio 1, analyser on), and times every
// block on the thread's CPU clock. Reported per block, in microseconds:
// music_us (mean over the music), silence_us (mean over the silence) and
// worst_us (the most expensive run of 8 consecutive blocks of silence, about
// 0.19 s: where the decay crosses the subnormal range); ratio = worst_us /
// music_us, the figure held against 1.2; mean_ratio = silence_us / music_us.
//
// Two filters: the voice band 300 .. 3400 Hz and a narrow 900 .. 1100 Hz band
// whose poles lie close to the unit circle, so that its tail is long. Two paths:
// - driver: dsp_process(), which runs each block with flush-to-zero and
//   denormals-are-zero set;
// - unguarded: the same chain (conversion, filter, vocoder with its analyser)
//   called directly with the caller's default floating-point mode, to show what
//   the guard prevents. The output stage (gain, limiter, quantisation) is left out.
// Both start each run from the default mode, flush-to-zero and denormals-are-zero
// cleared, as on a host's audio thread.
#include <benchmark/benchmark.h>
#include <time.h>
#include <xmmintrin.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "dsp.h"
#include "iirfilter.h"
#include "music.h"
#include "vocoder.h"

namespace {

constexpr int blockFrames = 1024;
constexpr int frameSize = 2048;
constexpr int overSampling = 4;
constexpr int hop = frameSize / overSampling;
constexpr int musicSeconds = 10;
constexpr int silenceSeconds = 20;
constexpr int worstWindow = 8;                // blocks
constexpr unsigned int flushToZero = 0x8000;  // MXCSR bits
constexpr unsigned int denormalsAreZero = 0x0040;

struct Band {
  double lowHz;
  double highHz;
};

// Second-order Butterworth band-pass by the bilinear transform with pre-warped
// edges, normalised to a[0] = 1: the design a host sends for voice removal.
void bandPass(const Band& band, double rate, double a[3], double b[3]) {
  const double pi = 3.141592653589793;
  const double wLow = std::tan(pi * band.lowHz / rate);
  const double wHigh = std::tan(pi * band.highHz / rate);
  const double bandwidth = wHigh - wLow;
  const double centreSquared = wLow * wHigh;
  const double a0 = 1 + bandwidth + centreSquared;
  a[0] = 1.0;
  a[1] = 2 * (centreSquared - 1) / a0;
  a[2] = (1 - bandwidth + centreSquared) / a0;
  b[0] = bandwidth / a0;
  b[1] = 0.0;
  b[2] = -bandwidth / a0;
}

double threadSeconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec + ts.tv_nsec * 1e-9;
}

// The driver's input chain without its floating-point guard: conversion, voice
// removal with amount 1, and the vocoder (which feeds the analyser) per channel.
struct Unguarded {
  std::vector<float> inLeft = std::vector<float>(blockFrames);
  std::vector<float> inRight = std::vector<float>(blockFrames);
  std::vector<float> outLeft = std::vector<float>(2 * blockFrames);
  std::vector<float> outRight = std::vector<float>(2 * blockFrames);

  void process(const short* pcm) {
    for (int i = 0; i < blockFrames; i++) {
      const double left = pcm[2 * i];
      const double right = pcm[2 * i + 1];
      inLeft[i] =
          static_cast<float>((left - dsp_default_engine().voiceFilters().step(0, right)) / 32768.0);
      inRight[i] =
          static_cast<float>((right - dsp_default_engine().voiceFilters().step(1, left)) / 32768.0);
    }
    dsp_default_engine().vocoder().process(inLeft.data(), blockFrames, outLeft.data(), hop, 0);
    dsp_default_engine().vocoder().process(inRight.data(), blockFrames, outRight.data(), hop, 1);
    benchmark::DoNotOptimize(outRight.data());
  }
};

void benchDecay(benchmark::State& state, Band band, bool guarded) {
  const int rate = music_rate();
  const int blocksPerSecond = rate / blockFrames;
  const int musicBlocks = std::min(musicSeconds * blocksPerSecond, music_frames() / blockFrames);
  const int silenceBlocks = silenceSeconds * blocksPerSecond;
  std::vector<short> block(2 * blockFrames);
  std::vector<double> seconds(musicBlocks + silenceBlocks);
  double a[3];
  double b[3];
  bandPass(band, rate, a, b);
  Unguarded unguarded;

  double musicUs = 0;
  double silenceUs = 0;
  double worstUs = 0;
  // A host's audio thread runs with the default mode (subnormals computed in full);
  // the benchmark process may not (one of the linked libraries sets flush-to-zero
  // and denormals-are-zero at load), so clear both for the run and restore them.
  const unsigned int callerMode = _mm_getcsr();
  _mm_setcsr(callerMode & ~(flushToZero | denormalsAreZero));
  for (auto _ : state) {
    dsp_init(frameSize, overSampling, rate, 2);
    dsp_default_engine().voiceFilters().load(a, b, 3, 3);
    dsp_set_voice_removal_enabled(true);
    dsp_set_voice_removal_amount(1.0f);
    for (int k = 0; k < musicBlocks + silenceBlocks; k++) {
      if (k < musicBlocks) {
        std::memcpy(block.data(), music_pcm() + 2 * static_cast<size_t>(k) * blockFrames,
                    sizeof(short) * block.size());
      } else {
        std::fill(block.begin(), block.end(), 0);
      }
      const double start = threadSeconds();
      if (guarded) {
        dsp_process(block.data(), blockFrames, blockFrames);
      } else {
        unguarded.process(block.data());
      }
      seconds[k] = threadSeconds() - start;
      benchmark::DoNotOptimize(block.data());
    }
    double music = 0;
    for (int k = 0; k < musicBlocks; k++) music += seconds[k];
    double silence = 0;
    double worst = 0;
    double window = 0;
    for (int k = musicBlocks; k < musicBlocks + silenceBlocks; k++) {
      silence += seconds[k];
      window += seconds[k];
      if (k - musicBlocks >= worstWindow) window -= seconds[k - worstWindow];
      if (k - musicBlocks >= worstWindow - 1) worst = std::max(worst, window);
    }
    musicUs = music / musicBlocks * 1e6;
    silenceUs = silence / silenceBlocks * 1e6;
    worstUs = worst / worstWindow * 1e6;
  }
  _mm_setcsr(callerMode);
  dsp_set_voice_removal_enabled(false);
  state.counters["music_us"] = musicUs;
  state.counters["silence_us"] = silenceUs;
  state.counters["worst_us"] = worstUs;
  state.counters["ratio"] = worstUs / musicUs;
  state.counters["mean_ratio"] = silenceUs / musicUs;
}

struct Registration {
  Registration() {
    const struct {
      const char* name;
      Band band;
    } bands[] = {{"voice-band", {300.0, 3400.0}}, {"narrow-band", {900.0, 1100.0}}};
    for (const auto& b : bands) {
      for (const bool guarded : {true, false}) {
        const std::string name =
            std::string("denormals/") + (guarded ? "driver/" : "unguarded/") + b.name;
        const Band band = b.band;
        benchmark::RegisterBenchmark(
            name.c_str(), [band, guarded](benchmark::State& s) { benchDecay(s, band, guarded); })
            ->Unit(benchmark::kMillisecond)
            ->Iterations(1)
            ->Repetitions(3)
            ->ReportAggregatesOnly(true);
      }
    }
  }
} registration;

}  // namespace
