// Benchmarks of the per-frame work around the transforms that a processor's engine
// runs with every refinement on:
// - stage/attacks: one frame of the attack detector and keeper (Attacks::frame) at
//   2048 / 4 on stereo music, frame after frame through four seconds of the piece;
// - stage/levelkeeper/exact and /lean: one hop of the level keeper (640 frames out for
//   512 in), its sums exact or lean;
// - stage/engine/SPEED: the whole engine as a processor drives it at the fast preset
//   (2048 / 4, lean maths, linked stereo, attacks, fine peaks, level keeping, the
//   analyser as a tap, the engine's own output stage, one analysis hop per call) over
//   ten seconds of the piece at speeds 0.8 and 2.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "attacks.h"
#include "dsp.h"
#include "fft.h"
#include "levelkeeper.h"
#include "music.h"

namespace {

constexpr int frameSize = 2048;
constexpr int hop = 512;
constexpr int half = frameSize / 2;

// The frames of the piece as Attacks sees them: both channels' input, their summed
// magnitudes (Hann window), and synthesis state to turn.
struct AttackFrames {
  static constexpr int count = 4 * 44100 / hop;
  std::vector<float> left, right;           // from 2 s into the piece
  std::vector<float> summed;                // count x half
  std::vector<float> mags[2], rotation[2];  // working copies, half each
  std::vector<float> psi, phi0, omega;

  AttackFrames() {
    const int samples = count * hop + frameSize;
    const short* pcm = music_pcm() + 2 * 2 * 44100;
    left.resize(samples);
    right.resize(samples);
    for (int i = 0; i < samples; i++) {
      left[i] = pcm[2 * i] / 32768.0f;
      right[i] = pcm[2 * i + 1] / 32768.0f;
    }
    Fft fft;
    fft.init(frameSize);
    std::vector<float> buffer(2 * frameSize);
    summed.assign(static_cast<size_t>(count) * half, 0.0f);
    for (int f = 0; f < count; f++) {
      for (const std::vector<float>* ch : {&left, &right}) {
        for (int i = 0; i < frameSize; i++) {
          const float w = 0.5f - 0.5f * std::cos(2 * M_PI * i / frameSize);
          buffer[2 * i] = (*ch)[f * hop + i] * w;
          buffer[2 * i + 1] = 0.0f;
        }
        fft.process(buffer.data(), -1);
        for (int k = 0; k < half; k++) {
          summed[static_cast<size_t>(f) * half + k] += std::hypot(buffer[2 * k], buffer[2 * k + 1]);
        }
      }
    }
    for (int ch = 0; ch < 2; ch++) {
      mags[ch].assign(half, 1.0f);
      rotation[ch].assign(half, 0.0f);
    }
    psi.assign(half, 0.5f);
    phi0.assign(half, 0.25f);
    omega.resize(half);
    for (int k = 0; k < half; k++) omega[k] = static_cast<float>(2 * M_PI * k * hop / frameSize);
  }
};

void benchAttacks(benchmark::State& state) {
  AttackFrames d;
  Attacks attacks;
  attacks.init(frameSize, hop);
  int f = 0;
  for (auto _ : state) {
    AttackFrame frame;
    frame.channels = 2;
    frame.history[0] = d.left.data() + f * hop;
    frame.history[1] = d.right.data() + f * hop;
    frame.summed = d.summed.data() + static_cast<size_t>(f) * half;
    for (int ch = 0; ch < 2; ch++) {
      frame.mags[ch] = d.mags[ch].data();
      frame.rotation[ch] = d.rotation[0].data();  // linked: one turn for both
      frame.psi[ch] = d.psi.data();
      frame.phi0[ch] = d.phi0.data();
    }
    frame.omega = d.omega.data();
    frame.stretch = 1.25;
    frame.serial = f;
    attacks.frame(frame);
    benchmark::ClobberMemory();
    if (++f == AttackFrames::count) {
      f = 0;
      attacks.clear();
    }
  }
  state.counters["frames"] = benchmark::Counter(1.0, benchmark::Counter::kIsIterationInvariantRate);
}

void benchLevelKeeper(benchmark::State& state, bool lean) {
  constexpr int in = hop, out = 640;
  const short* pcm = music_pcm() + 2 * 2 * 44100;
  std::vector<float> inL(in), inR(in), outL(out), outR(out), tone(out, 0.75f / hop * 2);
  for (int i = 0; i < in; i++) {
    inL[i] = pcm[2 * i] / 32768.0f;
    inR[i] = pcm[2 * i + 1] / 32768.0f;
  }
  LevelKeeper keeper;
  keeper.init(44100, frameSize - hop, frameSize);
  int round = 0;
  for (auto _ : state) {
    // The output a little weaker than the input (and more so on the side), so that the
    // gains move and are applied.
    for (int i = 0; i < out; i++) {
      const short* p = pcm + 2 * (i + (round % 64) * hop);
      outL[i] = p[0] / 32768.0f * 0.75f * 0.8f;
      outR[i] = p[1] / 32768.0f * 0.75f * 0.7f;
    }
    keeper.apply(inL.data(), inR.data(), in, 1.0, outL.data(), outR.data(), tone.data(), out,
                 frameSize / 2.0, lean);
    round++;
    benchmark::ClobberMemory();
  }
  state.counters["hops"] = benchmark::Counter(1.0, benchmark::Counter::kIsIterationInvariantRate);
}

void benchEngine(benchmark::State& state, double speed) {
  constexpr int seconds = 10;
  const int frames = seconds * 44100;
  const short* pcm = music_pcm();
  const int step = static_cast<int>(std::lround(hop / speed));
  Engine engine;
  std::vector<short> out;
  for (auto _ : state) {
    state.PauseTiming();
    engine.init(frameSize, frameSize / hop, 44100, 2);
    engine.setLean(true);
    engine.setLinkedStereo(true);
    engine.setAttacks(true);
    engine.setFinePeaks(true);
    engine.setLevelKeeping(true);
    engine.spectrum().setEnabled(true);
    engine.setSpectrumTap(true);
    engine.setOutputStage(true);
    state.ResumeTiming();
    for (int at = 0; at + hop <= frames; at += hop) {
      const int room = engine.stageRoom(hop, step);
      if (static_cast<int>(out.size()) < 2 * room) out.resize(2 * room);
      engine.processStage(pcm + 2 * at, hop, step, out.data(), room, nullptr);
    }
    benchmark::ClobberMemory();
  }
  state.counters["xRT"] =
      benchmark::Counter(seconds, benchmark::Counter::kIsIterationInvariantRate);
}

}  // namespace

void register_stage_benchmarks() {
  benchmark::RegisterBenchmark("stage/attacks", benchAttacks)->MinTime(0.3);
  for (const bool lean : {false, true}) {
    benchmark::RegisterBenchmark(lean ? "stage/levelkeeper/lean" : "stage/levelkeeper/exact",
                                 [lean](benchmark::State& s) { benchLevelKeeper(s, lean); })
        ->MinTime(0.3);
  }
  for (const double speed : {0.8, 2.0}) {
    const std::string name = "stage/engine/" + std::string(speed < 1 ? "0.8" : "2");
    benchmark::RegisterBenchmark(name.c_str(), [speed](benchmark::State& s) {
      benchEngine(s, speed);
    })->MinTime(1.0);
  }
}
