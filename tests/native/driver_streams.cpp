// driver_streams: runs a fixed set of streams through the block driver and writes
// the 16-bit output, so that two builds (x86-64 and aarch64, or two code paths) can
// be compared sample by sample. scripts/check-arm64.sh runs it on both and compares.
//
//   driver_streams input FILE           the input: 12 s of the test piece, raw
//                                       interleaved stereo 16-bit at 44.1 kHz
//   driver_streams run IN OUT [PATH]    every stream over IN, the output samples of all
//                                       of them one after the other into OUT; PATH is
//                                       reference, baseline, avx2 or best (default)
//   driver_streams compare A B          A against B: exit 0 when both hold the same
//                                       number of samples and none is more than 1 LSB
//                                       apart
//   driver_streams work WHAT UNITS [PATH]
//                                       UNITS units of one module's work on every
//                                       module's PATH, for counting what it executes
//                                       (scripts/vector-share.sh): WHAT is fft (a forward
//                                       and an inverse transform of 2048 points),
//                                       vocoder (a mono frame of 2048 at a hop of 512),
//                                       spectrum (one analysis) or driver (a stereo block
//                                       of 1024 frames through dsp_process at 2048/4)
//
// The input is made once, by one build, and read by both: the piece is synthesised
// with libm, whose last bits may differ between machines. The streams cover mono and
// stereo, frame sizes from 256 to 4096 with 4 to 16 hops per frame, slower, faster
// and changing speeds, voice removal, the equaliser, balance, the mono fold and the
// limiter, in blocks of even and uneven lengths.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "dsp.h"
#include "eq.h"
#include "fft.h"
#include "iirfilter.h"
#include "measures.h"
#include "music.h"
#include "paths.h"
#include "spectrum.h"
#include "vocoder.h"

namespace {

constexpr int rate = 44100;
constexpr int inputSeconds = 12;
constexpr int streamFrames = 3 * rate;  // input frames per stream

// Voice removal's band-pass, 200 .. 3000 Hz at 44.1 kHz (second order), as literals
// so that both machines filter with the same coefficients.
const double bandA[] = {1.0, -1.656957414692967, 0.6670994350250569};
const double bandB[] = {0.16645028248747154, 0.0, -0.16645028248747154};

struct Stream {
  const char* name;
  int frameSize;
  int overSampling;
  int channels;
  // Frames in and out of block b.
  int (*blockIn)(int b);
  int (*blockOut)(int b, int in);
  // Settings before block b (all blocks see the defaults unless set here).
  void (*controls)(int b);
};

void defaults() {
  dsp_set_preamp(1.0f);
  dsp_set_panning(0, 0, 50);
  dsp_set_voice_removal_enabled(false);
  dsp_set_voice_removal_amount(0.0f);
  dsp_default_engine().equaliser().enable(0);
}

void noChange(int) {}

const Stream streams[] = {
    {"stereo 2048/4, 1.25 x longer", 2048, 4, 2, [](int) { return 1024; },
     [](int, int in) { return in * 5 / 4; }, noChange},
    {"stereo 2048/16, 0.8 x, uneven blocks", 2048, 16, 2,
     [](int b) { return 300 + (b * 577) % 1500; }, [](int, int in) { return in * 4 / 5; },
     noChange},
    {"mono 1024/8, ratio 1", 1024, 8, 1, [](int b) { return 441 + (b % 3) * 100; },
     [](int, int in) { return in; }, noChange},
    {"stereo 2048/8, voice removal and equaliser", 2048, 8, 2, [](int) { return 512; },
     [](int b, int in) { return in + (b % 5) * 16; },
     [](int b) {
       if (b != 0) return;
       dsp_default_engine().voiceFilters().load(bandA, bandB, 3, 3);
       dsp_set_voice_removal_enabled(true);
       dsp_set_voice_removal_amount(0.9f);
       std::vector<float> gains(static_cast<size_t>(dsp_default_engine().equaliser().size()));
       for (size_t k = 0; k < gains.size(); ++k)
         gains[k] = 0.25f + 0.02f * static_cast<float>(k % 61);
       dsp_set_eq_bands(gains.data());
       dsp_default_engine().equaliser().enable(1);
     }},
    {"stereo 4096/4, balance, then the mono fold, loud", 4096, 4, 2, [](int) { return 2048; },
     [](int, int in) { return in * 3 / 2; },
     [](int b) {
       dsp_set_preamp(3.0f);
       dsp_set_panning(1, b >= 20 ? 1 : 0, 30);
     }},
    {"stereo 256/4, the speed changing every block", 256, 4, 2, [](int) { return 256; },
     [](int b, int in) { return in * (2 + b % 7) / 4; }, noChange},
};

std::vector<short> readSamples(const char* path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<short> samples(bytes.size() / sizeof(short));
  std::memcpy(samples.data(), bytes.data(), samples.size() * sizeof(short));
  return samples;
}

bool writeSamples(const char* path, const std::vector<short>& samples) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(samples.data()),
            static_cast<std::streamsize>(samples.size() * sizeof(short)));
  return static_cast<bool>(out);
}

// One stream over the first streamFrames frames of the input (its left channel for a
// mono stream); the output samples are appended to out.
void runStream(const Stream& s, const std::vector<short>& input, std::vector<short>& out) {
  dsp_default_engine().spectrum().setEnabled(true);
  dsp_init(s.frameSize, s.overSampling, rate, s.channels);
  defaults();
  const size_t before = out.size();
  std::vector<short> block;
  int at = 0;
  for (int b = 0; at < streamFrames; ++b) {
    const int in = std::min(s.blockIn(b), streamFrames - at);
    const int outFrames = s.blockOut(b, in);
    s.controls(b);
    block.assign(static_cast<size_t>(std::max(in, outFrames)) * s.channels, 0);
    for (int i = 0; i < in; ++i) {
      for (int c = 0; c < s.channels; ++c) block[i * s.channels + c] = input[2 * (at + i) + c];
    }
    dsp_process(block.data(), in, outFrames);
    out.insert(out.end(), block.begin(), block.begin() + static_cast<long>(outFrames) * s.channels);
    at += in;
  }
  std::printf("  %-48s %9zu samples\n", s.name, out.size() - before);
}

int run(const char* inPath, const char* outPath, const std::string& path) {
  const CpuPath cpuPath = path == "reference"  ? CPU_PATH_REFERENCE
                          : path == "baseline" ? CPU_PATH_BASELINE
                          : path == "avx2"     ? CPU_PATH_AVX2
                                               : CPU_PATH_BEST;
  if (!support::selectAllPaths(cpuPath)) {
    std::fprintf(stderr, "driver_streams: no %s path on this CPU\n", path.c_str());
    return 2;
  }
  const std::vector<short> input = readSamples(inPath);
  if (input.size() < 2 * static_cast<size_t>(streamFrames)) {
    std::fprintf(stderr, "driver_streams: %s holds %zu samples, fewer than %d\n", inPath,
                 input.size(), 2 * streamFrames);
    return 1;
  }
  std::printf("driver_streams: the %s path\n", support::pathName(static_cast<CpuPath>(dsp_path())));
  std::vector<short> out;
  for (const Stream& s : streams) runStream(s, input, out);
  if (!writeSamples(outPath, out)) {
    std::fprintf(stderr, "driver_streams: cannot write %s\n", outPath);
    return 1;
  }
  return 0;
}

int compare(const char* pathA, const char* pathB) {
  const std::vector<short> a = readSamples(pathA);
  const std::vector<short> b = readSamples(pathB);
  if (a.empty() || a.size() != b.size()) {
    std::printf("driver_streams: %s holds %zu samples, %s %zu\n", pathA, a.size(), pathB, b.size());
    return 1;
  }
  const support::SampleAgreement g = support::compareSamples(a.data(), b.data(), a.size());
  std::printf("driver_streams: %zu samples, %zu identical, %zu within 1 LSB, worst %d LSB\n",
              g.count, g.identical, g.withinOne, g.worst);
  return g.worst <= 1 ? 0 : 1;
}

// A cheap stand-in for music, the same whatever the unit count: two tones by the
// rotation recurrence and a little noise, so that setting it up costs the same
// instructions in every run and the difference between two counts is the work alone.
std::vector<float> workSignal(int frames) {
  std::vector<float> x(frames);
  double c1 = 1.0, s1 = 0.0, c2 = 1.0, s2 = 0.0;
  const double w1 = 2.0 * 3.141592653589793 * 220.0 / rate;
  const double w2 = 2.0 * 3.141592653589793 * 1375.0 / rate;
  const double cw1 = std::cos(w1), sw1 = std::sin(w1), cw2 = std::cos(w2), sw2 = std::sin(w2);
  unsigned noise = 1;
  for (int i = 0; i < frames; ++i) {
    noise = noise * 1664525u + 1013904223u;
    x[i] = static_cast<float>(0.4 * s1 + 0.2 * s2 +
                              0.01 * (static_cast<int>(noise >> 8) * 0x1p-23 - 1.0));
    const double n1 = c1 * cw1 - s1 * sw1;
    s1 = s1 * cw1 + c1 * sw1;
    c1 = n1;
    const double n2 = c2 * cw2 - s2 * sw2;
    s2 = s2 * cw2 + c2 * sw2;
    c2 = n2;
  }
  return x;
}

int work(const std::string& what, int units, const std::string& path) {
  const CpuPath cpuPath = path == "reference"  ? CPU_PATH_REFERENCE
                          : path == "baseline" ? CPU_PATH_BASELINE
                          : path == "avx2"     ? CPU_PATH_AVX2
                                               : CPU_PATH_BEST;
  constexpr int maxUnits = 64;
  if (units < 0 || units > maxUnits || !support::selectAllPaths(cpuPath)) return 2;
  const std::vector<float> signal = workSignal((maxUnits + 4) * 2048);
  float check = 0.0f;
  if (what == "fft") {
    Fft fft;
    fft.init(2048);
    std::vector<float> buffer(signal.begin(), signal.begin() + 4096);
    for (int u = 0; u < units; ++u) {
      fft.process(buffer.data(), -1);
      fft.process(buffer.data(), 1);
      for (float& v : buffer) v *= 1.0f / 2048.0f;
    }
    check = buffer[5];
  } else if (what == "vocoder") {
    auto vocoder = std::make_unique<Vocoder>();
    vocoder->init(2048, 512);
    std::vector<float> out((maxUnits + 8) * 640);
    // The first frame is due after 2048 samples; each one after it after 512 more.
    const int samples = units == 0 ? 0 : 2048 + (units - 1) * 512;
    vocoder->process(signal.data(), samples, out.data(), 640, 0);
    check = out[100];
  } else if (what == "spectrum") {
    SpectrumAnalyser analyser;
    analyser.init(rate, 1);
    // An analysis each 32nd of a second: 1378.125 frames.
    analyser.tap(signal.data(), nullptr, units * rate / 32);
    float bands[72];
    analyser.copy(bands, 72);
    check = bands[40];
  } else if (what == "driver") {
    dsp_init(2048, 4, rate, 2);
    defaults();
    std::vector<short> block(2 * 1300);
    for (int u = 0; u < units; ++u) {
      for (int i = 0; i < 1024; ++i) {
        block[2 * i] = block[2 * i + 1] = static_cast<short>(20000.0f * signal[u * 1024 + i]);
      }
      dsp_process(block.data(), 1024, 1280);
    }
    check = block[7];
  } else {
    return 2;
  }
  std::printf("driver_streams: %d units of %s on the %s path (%g)\n", units, what.c_str(),
              path.c_str(), check);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "input" && argc == 3) {
    return writeSamples(argv[2], music_render(rate, inputSeconds * rate)) ? 0 : 1;
  }
  if (mode == "run" && (argc == 4 || argc == 5))
    return run(argv[2], argv[3], argc == 5 ? argv[4] : "best");
  if (mode == "compare" && argc == 4) return compare(argv[2], argv[3]);
  if (mode == "work" && (argc == 4 || argc == 5)) {
    return work(argv[2], std::atoi(argv[3]), argc == 5 ? argv[4] : "best");
  }
  std::fprintf(stderr,
               "usage: driver_streams input FILE | run IN OUT [reference|baseline|avx2|best] | "
               "compare A B | work fft|vocoder|spectrum|driver UNITS [PATH]\n");
  return 2;
}
