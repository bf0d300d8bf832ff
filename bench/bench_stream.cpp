// Whole-stream benchmarks: the 60 s stereo piece through our driver and through
// the two libraries a user would otherwise pick, at the same stretch ratios, on
// one core, in blocks of 1024 frames.
//
// Ratio convention, for all three: ratio = output duration / input duration, so
// 1.25 makes the piece 1.25 x longer (slower) and 0.8 shorter (faster).
// - ours: dsp_process(samples, 1024, 1024 / 512 * stepOut) with stepOut =
//   trunc(512 x ratio), the hop-aligned block the host would send: at 2048 / 4 the
//   analysis hop is 512, so stepOut is 640 (exactly 1.25) or 409 (0.798828...);
// - Rubber Band: setTimeRatio-style time ratio (stretched / original duration), the
//   same effective ratio stepOut / 512 as ours;
// - SoundTouch: setTempo(1 / ratio), since its tempo is the playback speed.
//
// Ours takes the host's interleaved 16-bit PCM (the conversion to and from float is
// part of the measured driver); the peers take the same samples as floats (planar
// for Rubber Band, interleaved for SoundTouch), converted before timing. Each run
// builds a fresh engine outside the timed region and streams the whole piece.
//
// Reported: xRT = seconds of audio in per second of processing (CPU time of the
// process, so that other work on the machine does not count),
// per_frame = seconds per vocoder frame of one channel (ours only), out_ratio =
// output frames / input frames as a check of the convention.
#include <SoundTouch.h>
#include <benchmark/benchmark.h>
#include <rubberband/RubberBandStretcher.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "dsp.h"
#include "fft.h"
#include "vocoder.h"
#if HOPWARBLER_BENCH_SPECTRUM
#include "spectrum.h"
#include "testing.h"
#endif

#include "music.h"
#include "paths.h"

namespace {

constexpr int blockFrames = 1024;
constexpr int frameSize = 2048;
constexpr int overSampling = 4;
constexpr int hop = frameSize / overSampling;

int stepOutFor(double ratio) { return static_cast<int>(std::trunc(hop * ratio)); }
double effectiveRatio(double ratio) { return static_cast<double>(stepOutFor(ratio)) / hop; }

// The piece cut to whole blocks, in the three layouts.
struct Stream {
  int blocks = 0;
  int frames = 0;
  double seconds = 0;
  const short* pcm = nullptr;      // interleaved 16-bit
  std::vector<float> left, right;  // planar float
  std::vector<float> interleaved;  // interleaved float

  Stream() {
    blocks = music_frames() / blockFrames;
    frames = blocks * blockFrames;
    seconds = static_cast<double>(frames) / music_rate();
    pcm = music_pcm();
    left.resize(frames);
    right.resize(frames);
    interleaved.resize(2 * static_cast<size_t>(frames));
    for (int i = 0; i < frames; i++) {
      left[i] = pcm[2 * i] / 32768.0f;
      right[i] = pcm[2 * i + 1] / 32768.0f;
      interleaved[2 * i] = left[i];
      interleaved[2 * i + 1] = right[i];
    }
  }
};

const Stream& stream() {
  static const Stream s;
  return s;
}

void setStreamCounters(benchmark::State& state, const Stream& s, long long outFrames) {
  state.counters["xRT"] =
      benchmark::Counter(s.seconds, benchmark::Counter::kIsIterationInvariantRate);
  state.counters["out_ratio"] = static_cast<double>(outFrames) / s.frames;
}

// Runs the piece through dsp_process(); returns the output frames.
long long runDriver(const Stream& s, int blocks, int blockOut, std::vector<short>& block) {
  long long out = 0;
  for (int b = 0; b < blocks; b++) {
    std::memcpy(block.data(), s.pcm + 2 * static_cast<size_t>(b) * blockFrames,
                sizeof(short) * 2 * blockFrames);
    dsp_process(block.data(), blockFrames, blockOut);
    benchmark::DoNotOptimize(block.data());
    out += blockOut;
  }
  return out;
}

void benchOurs(benchmark::State& state, double ratio, bool analyser) {
  const Stream& s = stream();
  const int blockOut = blockFrames / hop * stepOutFor(ratio);
  std::vector<short> block(2 * std::max(blockFrames, blockOut));
#if HOPWARBLER_BENCH_SPECTRUM
  dsp_default_engine().spectrum().setEnabled(analyser);
#else
  (void)analyser;
#endif
  long long out = 0;
  for (auto _ : state) {
    state.PauseTiming();
    dsp_init(frameSize, overSampling, music_rate(), 2);
    state.ResumeTiming();
    out = runDriver(s, s.blocks, blockOut, block);
  }
  setStreamCounters(state, s, out);
  // Every 512 frames in completes one frame per channel.
  const double channelFrames = 2.0 * s.frames / hop;
  state.counters["per_frame"] = benchmark::Counter(
      channelFrames, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void benchRubberBand(benchmark::State& state, double ratio, bool finer) {
  using RubberBand::RubberBandStretcher;
  const Stream& s = stream();
  const RubberBandStretcher::Options options =
      RubberBandStretcher::OptionProcessRealTime | RubberBandStretcher::OptionThreadingNever |
      (finer ? RubberBandStretcher::OptionEngineFiner : RubberBandStretcher::OptionEngineFaster);
  const int capacity = 16 * blockFrames;
  std::vector<float> outLeft(capacity), outRight(capacity);
  float* out[2] = {outLeft.data(), outRight.data()};
  long long produced = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto rb =
        std::make_unique<RubberBandStretcher>(music_rate(), 2, options, effectiveRatio(ratio), 1.0);
    rb->setMaxProcessSize(blockFrames);
    produced = 0;
    state.ResumeTiming();
    for (int b = 0; b < s.blocks; b++) {
      const float* in[2] = {s.left.data() + static_cast<size_t>(b) * blockFrames,
                            s.right.data() + static_cast<size_t>(b) * blockFrames};
      rb->process(in, blockFrames, false);
      int available;
      while ((available = rb->available()) > 0) {
        const size_t n = rb->retrieve(out, std::min(available, capacity));
        produced += static_cast<long long>(n);
      }
      benchmark::DoNotOptimize(outLeft.data());
    }
    state.PauseTiming();
    rb.reset();
    state.ResumeTiming();
  }
  setStreamCounters(state, s, produced);
}

void benchSoundTouch(benchmark::State& state, double ratio) {
  const Stream& s = stream();
  const int capacity = 16 * blockFrames;
  std::vector<float> out(2 * capacity);
  long long produced = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto st = std::make_unique<soundtouch::SoundTouch>();
    st->setSampleRate(music_rate());
    st->setChannels(2);
    st->setTempo(1.0 / effectiveRatio(ratio));
    produced = 0;
    state.ResumeTiming();
    for (int b = 0; b < s.blocks; b++) {
      st->putSamples(s.interleaved.data() + 2 * static_cast<size_t>(b) * blockFrames, blockFrames);
      unsigned n;
      while ((n = st->receiveSamples(out.data(), capacity)) > 0) produced += n;
      benchmark::DoNotOptimize(out.data());
    }
    state.PauseTiming();
    st.reset();
    state.ResumeTiming();
  }
  setStreamCounters(state, s, produced);
}

// One iteration streams the whole piece; three repetitions, reported by their
// median (and mean and spread).
template <class Fn>
void add(const std::string& name, Fn fn) {
  benchmark::RegisterBenchmark(name.c_str(), fn)
      ->MeasureProcessCPUTime()
      ->Unit(benchmark::kMillisecond)
      ->Iterations(1)
      ->Repetitions(3)
      ->ReportAggregatesOnly(true);
}

}  // namespace

// benchOurs() with every module on the reference path (plain loops, scalar libm)
// or the baseline path (SSSE3 or NEON), then back on the best one.
void benchOursOnPath(benchmark::State& state, double ratio, bool reference) {
  support::selectAllPaths(reference ? CPU_PATH_REFERENCE : CPU_PATH_BASELINE);
  benchOurs(state, ratio, false);
  support::selectAllPaths(CPU_PATH_BEST);
}

void register_stream_benchmarks() {
  for (const double ratio : {1.25, 0.8}) {
    const std::string r = ratio == 1.25 ? "1.25" : "0.8";
    add("stream/ours/" + r + "/analyser:off",
        [ratio](benchmark::State& s) { benchOurs(s, ratio, false); });
#if HOPWARBLER_BENCH_SPECTRUM
    add("stream/ours/" + r + "/analyser:on",
        [ratio](benchmark::State& s) { benchOurs(s, ratio, true); });
#endif
    add("stream/rubberband-faster/" + r,
        [ratio](benchmark::State& s) { benchRubberBand(s, ratio, false); });
    add("stream/rubberband-finer/" + r,
        [ratio](benchmark::State& s) { benchRubberBand(s, ratio, true); });
    add("stream/soundtouch/" + r, [ratio](benchmark::State& s) { benchSoundTouch(s, ratio); });
  }
  add("path/reference/stream/1.25/analyser:off",
      [](benchmark::State& s) { benchOursOnPath(s, 1.25, true); });
  add("path/baseline/stream/1.25/analyser:off",
      [](benchmark::State& s) { benchOursOnPath(s, 1.25, false); });
}
