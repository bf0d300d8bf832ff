// Benchmarks of the library's inner pieces beside what the machine can do:
// - the FFT at 256 .. 4096 points in both directions, beside FFTW3f planned with
//   FFTW_MEASURE on the same in-place interleaved buffer, and the lean path's
//   real-input transforms of as many real points;
// - one vocoder frame at 2048 / 4 on a frame of music, after dsp_init() and two
//   seconds of the driver so that the phase memory is that of a running stream,
//   and its analysis steps alone (window, transform and bin pass, peaks, phase
//   locking; the resynthesis and overlap-add run only inside the frame);
// - one stereo frame with every refinement on, as Processor's engines run it, lean
//   and exact;
// - the floor for that frame: FFTW's forward and inverse 2048-point transforms and
//   the bin pass (square root, arctangent, sine and cosine of 1024 bins in double)
//   vectorised with glibc's libmvec, together and in parts, plus the same bin pass
//   with scalar libm for comparison;
// - the FFT's conversion floor at 2048: only the float/double conversions that
//   rounding every stage to float costs (floor_conversions.cpp);
// - one analysis of the spectrum analyser (when the analyser is built in), and one
//   tap of the lean analysis as Processor's engines feed it;
// - the FFT at 2048, one frame and one analysis on the reference path (plain loops,
//   scalar libm) and the baseline path (SSSE3 or NEON), beside the default (AVX2 when the
//   CPU has it), to show what the vectorised paths gain in the same run.
#include <benchmark/benchmark.h>
#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cpu.h"
#include "dsp.h"
#include "fft.h"
#include "realfft.h"
#include "testing.h"
#include "vocoder.h"
#if HOPWARBLER_BENCH_SPECTRUM
#include "spectrum.h"
#endif

#include "music.h"
#include "paths.h"
// floor_binpass.cpp (AVX2 + FMA only)
void floor_analyse(const float* spectrum, float* mag, float* phi, int n);
void floor_synthesise(const float* mag, const float* psi, float* spectrum, int n);
// floor_conversions.cpp (AVX2 only)
void floor_conversions(float* buffer, int n, int stages);

namespace {

constexpr int frameSize = 2048;
constexpr int overSampling = 4;
constexpr int hop = frameSize / overSampling;
constexpr int frameStepOut = 640;  // ratio 1.25
constexpr float frameStretch = 1.25f;
constexpr int frameOffset = 2 * 44100;  // the benchmarked frame starts 2 s into the piece

// Channel 0 of the piece as floats at full scale +-1.
std::vector<float> leftChannel(int from, int count) {
  std::vector<float> out(count);
  const short* pcm = music_pcm();
  for (int i = 0; i < count; i++) out[i] = pcm[2 * (from + i)] / 32768.0f;
  return out;
}

// ---- FFT ----

// Complex noise of magnitude below 2^-20 (fixed seed). A transform multiplies the
// largest magnitude by at most N = 2^12, so eight transforms in a row on the same
// buffer stay below 2^76: the benchmarks restore the input only every eighth
// iteration, which keeps the copy out of the measured time but the data finite.
std::vector<float> fftInput(int n) {
  std::vector<float> v(2 * n);
  uint32_t state = 2024u;
  for (float& x : v) {
    state = state * 1664525u + 1013904223u;
    x = static_cast<float>(static_cast<int32_t>(state)) * 0x1p-51f;
  }
  return v;
}

void setFftCounters(benchmark::State& state, int n) {
  // The customary FFT rate: 5 N log2 N flops per transform.
  state.counters["flops"] =
      benchmark::Counter(5.0 * n * std::log2(n), benchmark::Counter::kIsIterationInvariantRate);
}

void benchOurFft(benchmark::State& state, int n, int sign) {
  Fft fft;
  fft.init(n);
  const std::vector<float> input = fftInput(n);
  std::vector<float> buffer(input);
  unsigned k = 0;
  for (auto _ : state) {
    if ((++k & 7u) == 0) std::memcpy(buffer.data(), input.data(), sizeof(float) * 2 * n);
    fft.process(buffer.data(), sign);
    benchmark::ClobberMemory();
  }
  setFftCounters(state, n);
}

// The lean path's real-input transforms of n points: the forward one on n real
// samples, the inverse one of a one-sided spectrum (n/2 bins) out of place.
void benchRealFft(benchmark::State& state, int n, int sign) {
  RealFft fft;
  fft.init(n);
  const std::vector<float> input = fftInput(n);
  std::vector<float> buffer(input.begin(), input.begin() + n);
  unsigned k = 0;
  for (auto _ : state) {
    if (sign == 1) {
      fft.inverseOneSidedReal(input.data(), buffer.data());
    } else {
      if ((++k & 7u) == 0) std::memcpy(buffer.data(), input.data(), sizeof(float) * n);
      fft.forwardLower(buffer.data());
    }
    benchmark::ClobberMemory();
  }
  setFftCounters(state, n / 2);
}

void benchFftw(benchmark::State& state, int n, int sign) {
  fftwf_complex* buffer = fftwf_alloc_complex(n);
  // Planning with FFTW_MEASURE overwrites the buffer, so it is filled afterwards.
  fftwf_plan plan =
      fftwf_plan_dft_1d(n, buffer, buffer, sign == 1 ? FFTW_BACKWARD : FFTW_FORWARD, FFTW_MEASURE);
  const std::vector<float> input = fftInput(n);
  std::memcpy(buffer, input.data(), sizeof(float) * 2 * n);
  unsigned k = 0;
  for (auto _ : state) {
    if ((++k & 7u) == 0) std::memcpy(buffer, input.data(), sizeof(float) * 2 * n);
    fftwf_execute(plan);
    benchmark::ClobberMemory();
  }
  fftwf_destroy_plan(plan);
  fftwf_free(buffer);
  setFftCounters(state, n);
}

// The conversions alone of log2 N - 1 rounding stages (the first runs in float).
void benchConversionFloor(benchmark::State& state, int n) {
  if (!cpu_has_avx2()) {
    state.SkipWithError("no AVX2");
    return;
  }
  std::vector<float> buffer = fftInput(n);
  const int stages = static_cast<int>(std::log2(n)) - 1;
  for (auto _ : state) {
    floor_conversions(buffer.data(), n, stages);
    benchmark::ClobberMemory();
  }
}

// ---- One vocoder frame ----

// Sets the library up for a stereo stream at 2048 / 4 and runs two seconds of the
// piece through the driver at ratio 1.25, so that the vocoder's phase memory, output
// hop and overlap-add buffer are those of a stream in progress. The analyser, when
// built in, is switched off: these benchmarks time the frame alone.
void warmUpStream() {
#if HOPWARBLER_BENCH_SPECTRUM
  dsp_default_engine().spectrum().setEnabled(false);
#endif
  dsp_init(frameSize, overSampling, music_rate(), 2);
  const int blockIn = 1024;
  const int blockOut = blockIn / hop * frameStepOut;
  std::vector<short> block(2 * blockOut);
  const short* pcm = music_pcm();
  for (int start = 0; start + blockIn <= frameOffset; start += blockIn) {
    std::memcpy(block.data(), pcm + 2 * start, sizeof(short) * 2 * blockIn);
    dsp_process(block.data(), blockIn, blockOut);
  }
}

struct FrameData {
  std::vector<float> input = leftChannel(frameOffset, frameSize);
  std::vector<float> output = std::vector<float>(frameSize);
};

void setFrameCounters(benchmark::State& state) {
  state.counters["frames"] = benchmark::Counter(1.0, benchmark::Counter::kIsIterationInvariantRate);
}

void benchFrame(benchmark::State& state) {
  warmUpStream();
  Vocoder& v = dsp_default_engine().vocoder();  // the driver's, mid-stream
  FrameData d;
  for (auto _ : state) {
    v.processFrame(d.input.data(), d.output.data(), frameStretch, 0);
    benchmark::ClobberMemory();
  }
  setFrameCounters(state);
}

enum class Step { Window, WindowAnalyze, FindPeaks, PhaseLock };

// Times one step of the frame on the state that a full frame leaves. Each step
// can repeat on its own state except analyze(), which transforms the frame buffer
// in place and so runs after a fresh applyWindow() every time.
void benchStep(benchmark::State& state, Step step) {
  warmUpStream();
  Vocoder& v = dsp_default_engine().vocoder();  // the driver's, mid-stream
  FrameData d;
  v.processFrame(d.input.data(), d.output.data(), frameStretch, 0);
  v.applyWindow(d.input.data(), 0);
  v.analyze(0);
  const int nPeaks = v.findPeaks(0);
  for (auto _ : state) {
    switch (step) {
      case Step::Window:
        v.applyWindow(d.input.data(), 0);
        break;
      case Step::WindowAnalyze:
        v.applyWindow(d.input.data(), 0);
        v.analyze(0);
        break;
      case Step::FindPeaks:
        benchmark::DoNotOptimize(v.findPeaks(0));
        break;
      case Step::PhaseLock:
        v.phaseLock(0, nPeaks, frameStretch);
        break;
    }
    benchmark::ClobberMemory();
  }
  state.counters["peaks"] = nPeaks;
}

// ---- The floor ----

// The bin pass with scalar libm calls, compiled for baseline x86-64.
void scalarBinPass(const float* spectrum, float* mag, float* phi, float* rebuilt, int n) {
  for (int k = 0; k < n; k++) {
    const double re = spectrum[2 * k];
    const double im = spectrum[2 * k + 1];
    mag[k] = static_cast<float>(std::sqrt(re * re + im * im));
    phi[k] = static_cast<float>(std::atan2(im, re));
  }
  for (int k = 0; k < n; k++) {
    double s;
    double c;
    sincos(static_cast<double>(phi[k]), &s, &c);
    rebuilt[2 * k] = static_cast<float>(mag[k] * c);
    rebuilt[2 * k + 1] = static_cast<float>(mag[k] * s);
  }
}

// What one frame needs at the least, done the fastest known way: FFTW's forward
// transform of the windowed frame, the vectorised magnitude and phase of its 1024
// bins, a spectrum rebuilt from them with the vectorised sine and cosine (the
// phases standing in for the locked ones), FFTW's inverse transform. Out of place,
// so that the input stays the same frame every iteration.
struct FloorData {
  fftwf_complex* frame = fftwf_alloc_complex(frameSize);
  fftwf_complex* spectrum = fftwf_alloc_complex(frameSize);
  fftwf_complex* rebuilt = fftwf_alloc_complex(frameSize);
  fftwf_complex* output = fftwf_alloc_complex(frameSize);
  std::vector<float> mag = std::vector<float>(frameSize / 2);
  std::vector<float> phi = std::vector<float>(frameSize / 2);
  fftwf_plan forward = fftwf_plan_dft_1d(frameSize, frame, spectrum, FFTW_FORWARD, FFTW_MEASURE);
  fftwf_plan inverse = fftwf_plan_dft_1d(frameSize, rebuilt, output, FFTW_BACKWARD, FFTW_MEASURE);

  FloorData() {
    const std::vector<float> in = leftChannel(frameOffset, frameSize);
    for (int i = 0; i < frameSize; i++) {
      frame[i][0] =
          static_cast<float>(in[i] * (0.5 - 0.5 * std::cos(6.283185307179586 * i / frameSize)));
      frame[i][1] = 0.0f;
    }
    std::memset(rebuilt, 0, sizeof(fftwf_complex) * frameSize);
    fftwf_execute(forward);
    scalarBinPass(&spectrum[0][0], mag.data(), phi.data(), &rebuilt[0][0], frameSize / 2);
  }
  ~FloorData() {
    fftwf_destroy_plan(forward);
    fftwf_destroy_plan(inverse);
    fftwf_free(frame);
    fftwf_free(spectrum);
    fftwf_free(rebuilt);
    fftwf_free(output);
  }
};

// False unless the vectorised bin pass gives what the scalar one gives, to within
// a few units of float rounding: a floor that computes something else is no floor.
bool vectorBinPassAgrees(const FloorData& d) {
  const int n = frameSize / 2;
  std::vector<float> mag(n), phi(n), rebuilt(2 * n), vMag(n), vPhi(n), vRebuilt(2 * n);
  const float* spectrum = &d.spectrum[0][0];
  scalarBinPass(spectrum, mag.data(), phi.data(), rebuilt.data(), n);
  floor_analyse(spectrum, vMag.data(), vPhi.data(), n);
  floor_synthesise(vMag.data(), vPhi.data(), vRebuilt.data(), n);
  float peak = 0.0f;
  for (const float m : mag) peak = std::max(peak, m);
  for (int k = 0; k < n; k++) {
    if (std::fabs(mag[k] - vMag[k]) > 1e-6f * peak) return false;
    if (mag[k] > 1e-3f * peak && std::fabs(phi[k] - vPhi[k]) > 1e-5f) return false;
    if (std::fabs(rebuilt[2 * k] - vRebuilt[2 * k]) > 1e-5f * peak) return false;
    if (std::fabs(rebuilt[2 * k + 1] - vRebuilt[2 * k + 1]) > 1e-5f * peak) return false;
  }
  return true;
}

// The floor's bin pass runs only where it exists and agrees with scalar libm.
bool floorReady(benchmark::State& state, FloorData& d) {
  if (!cpu_has_avx2()) {
    state.SkipWithError("the vectorised bin pass needs AVX2 and FMA");
    return false;
  }
  if (!vectorBinPassAgrees(d)) {
    state.SkipWithError("the vectorised bin pass disagrees with scalar libm");
    return false;
  }
  return true;
}

void benchFloor(benchmark::State& state) {
  FloorData d;
  if (!floorReady(state, d)) return;
  for (auto _ : state) {
    fftwf_execute(d.forward);
    floor_analyse(&d.spectrum[0][0], d.mag.data(), d.phi.data(), frameSize / 2);
    floor_synthesise(d.mag.data(), d.phi.data(), &d.rebuilt[0][0], frameSize / 2);
    fftwf_execute(d.inverse);
    benchmark::ClobberMemory();
  }
  setFrameCounters(state);
}

void benchFloorTransforms(benchmark::State& state) {
  FloorData d;
  for (auto _ : state) {
    fftwf_execute(d.forward);
    fftwf_execute(d.inverse);
    benchmark::ClobberMemory();
  }
}

void benchFloorBinPass(benchmark::State& state) {
  FloorData d;
  if (!floorReady(state, d)) return;
  for (auto _ : state) {
    floor_analyse(&d.spectrum[0][0], d.mag.data(), d.phi.data(), frameSize / 2);
    floor_synthesise(d.mag.data(), d.phi.data(), &d.rebuilt[0][0], frameSize / 2);
    benchmark::ClobberMemory();
  }
}

void benchScalarBinPass(benchmark::State& state) {
  FloorData d;
  for (auto _ : state) {
    scalarBinPass(&d.spectrum[0][0], d.mag.data(), d.phi.data(), &d.rebuilt[0][0], frameSize / 2);
    benchmark::ClobberMemory();
  }
}

// ---- Spectrum analyser ----

#if HOPWARBLER_BENCH_SPECTRUM
// One push that runs exactly one analysis: a mono analyser at 44100 Hz analyses
// every 44100 / 4 / 8 = 1378 pushed samples, and a push of that many samples adds
// one period to the count and takes one off, so every push analyses once and the
// count stays where it was (which the benchmark checks).
void benchSpectrumAnalysis(benchmark::State& state) {
  const int rate = music_rate();
  const int period = rate / 4 / 8;
  const auto analyser = std::make_unique<SpectrumAnalyser>();
  analyser->init(rate, 1);
  const int chunks = 16;
  const std::vector<float> mono = leftChannel(frameOffset, chunks * period);
  for (int c = 0; c < chunks; c++) analyser->push(mono.data() + c * period, period, 0);
  const long long counted = SpectrumProbe::counted(*analyser);
  int c = 0;
  for (auto _ : state) {
    analyser->push(mono.data() + c * period, period, 0);
    c = (c + 1) % chunks;
    benchmark::ClobberMemory();
  }
  if (SpectrumProbe::counted(*analyser) != counted) {
    state.SkipWithError("a push of one analysis period changed the count: not one analysis each");
  }
}

// The lean analysis as Processor's engines run it: a tap of a 32nd of a second of
// stereo frames (1378 at 44100 Hz), which takes every 4th frame and analyses once.
void benchSpectrumLeanTap(benchmark::State& state) {
  const int rate = music_rate();
  const int period = rate / 32;
  const auto analyser = std::make_unique<SpectrumAnalyser>();
  analyser->init(rate, 2);
  analyser->setLean(true);
  const int chunks = 16;
  const std::vector<float> left = leftChannel(frameOffset, chunks * period);
  const std::vector<float> right = leftChannel(frameOffset + 7, chunks * period);
  for (int c = 0; c < chunks; c++) {
    analyser->tap(left.data() + c * period, right.data() + c * period, period);
  }
  const long long counted = SpectrumProbe::counted(*analyser);
  int c = 0;
  for (auto _ : state) {
    analyser->tap(left.data() + c * period, right.data() + c * period, period);
    c = (c + 1) % chunks;
    benchmark::ClobberMemory();
  }
  if (SpectrumProbe::counted(*analyser) != counted) {
    state.SkipWithError("a tap of one analysis period changed the count: not one analysis each");
  }
}
#endif

// One stereo frame of the vocoder as Processor's engines run it at 2048 / 4 and speed
// 1.25: both channels, every refinement on (linked stereo, fine peaks, attacks), lean
// or exact, mid-stream in a stretch of music that it runs through in a loop.
void benchRefinedFrame(benchmark::State& state, bool lean) {
  constexpr int frames = 400;
  const std::vector<float> left = leftChannel(frameOffset, frames * hop);
  const std::vector<float> right = leftChannel(frameOffset + 7, frames * hop);
  Vocoder v;
  v.init(frameSize, hop);
  VocoderOptions options;
  options.linked = options.finePeaks = options.attacks = true;
  options.lean = lean;
  std::vector<float> outL(frameStepOut), outR(frameStepOut);
  int f = 0;
  auto frame = [&] {
    v.processTogether(left.data() + f * hop, right.data() + f * hop, hop, outL.data(), outR.data(),
                      frameStepOut, options);
    f = (f + 1) % frames;
  };
  for (int i = 0; i < 2 * frames; i++) frame();
  for (auto _ : state) {
    frame();
    benchmark::ClobberMemory();
  }
}

template <class Fn>
void add(const char* name, Fn fn) {
  benchmark::RegisterBenchmark(name, fn)->MinTime(0.3);
}

// Runs a benchmark with every module on one code path, then back on the best one.
enum class Path { Reference, Baseline };

template <class Fn>
auto onPath(Path path, Fn fn) {
  return [path, fn](benchmark::State& state) {
    support::selectAllPaths(path == Path::Reference ? CPU_PATH_REFERENCE : CPU_PATH_BASELINE);
    fn(state);
    support::selectAllPaths(CPU_PATH_BEST);
  };
}

}  // namespace

void register_kernel_benchmarks() {
  static const int sizes[] = {256, 1024, 2048, 4096};
  for (const int n : sizes) {
    for (const int sign : {-1, 1}) {
      const char* dir = sign == 1 ? "inverse" : "forward";
      const std::string ours = "fft/ours/" + std::string(dir) + "/" + std::to_string(n);
      const std::string fftw = "fft/fftw/" + std::string(dir) + "/" + std::to_string(n);
      add(ours.c_str(), [n, sign](benchmark::State& s) { benchOurFft(s, n, sign); });
      add(fftw.c_str(), [n, sign](benchmark::State& s) { benchFftw(s, n, sign); });
      const std::string real = "fft/real/" + std::string(dir) + "/" + std::to_string(n);
      add(real.c_str(), [n, sign](benchmark::State& s) { benchRealFft(s, n, sign); });
    }
  }
  add("fft/conversion-floor/2048", [](benchmark::State& s) { benchConversionFloor(s, 2048); });
  add("frame/ours/2048", benchFrame);
  add("frame/step/applyWindow", [](benchmark::State& s) { benchStep(s, Step::Window); });
  add("frame/step/applyWindow+analyze",
      [](benchmark::State& s) { benchStep(s, Step::WindowAnalyze); });
  add("frame/step/findPeaks", [](benchmark::State& s) { benchStep(s, Step::FindPeaks); });
  add("frame/step/phaseLock", [](benchmark::State& s) { benchStep(s, Step::PhaseLock); });
  add("frame/refined-stereo/exact", [](benchmark::State& s) { benchRefinedFrame(s, false); });
  add("frame/refined-stereo/lean", [](benchmark::State& s) { benchRefinedFrame(s, true); });
  add("floor/2048", benchFloor);
  add("floor/fftw-forward+inverse/2048", benchFloorTransforms);
  add("floor/binpass-libmvec/1024", benchFloorBinPass);
  add("floor/binpass-scalar/1024", benchScalarBinPass);
#if HOPWARBLER_BENCH_SPECTRUM
  add("spectrum/analysis", benchSpectrumAnalysis);
  add("spectrum/lean-tap", benchSpectrumLeanTap);
#endif
  for (const Path path : {Path::Reference, Path::Baseline}) {
    const std::string p = path == Path::Reference ? "reference" : "baseline";
    add(("path/" + p + "/fft/forward/2048").c_str(),
        onPath(path, [](benchmark::State& s) { benchOurFft(s, 2048, -1); }));
    add(("path/" + p + "/fft/real/forward/2048").c_str(),
        onPath(path, [](benchmark::State& s) { benchRealFft(s, 2048, -1); }));
    add(("path/" + p + "/frame/2048").c_str(), onPath(path, benchFrame));
#if HOPWARBLER_BENCH_SPECTRUM
    add(("path/" + p + "/spectrum/analysis").c_str(), onPath(path, benchSpectrumAnalysis));
    add(("path/" + p + "/spectrum/lean-tap").c_str(), onPath(path, benchSpectrumLeanTap));
#endif
  }
}
