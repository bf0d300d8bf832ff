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
//
// The input is made once, by one build, and read by both: the piece is synthesised
// with libm, whose last bits may differ between machines. The streams cover mono and
// stereo, frame sizes from 256 to 4096 with 4 to 16 hops per frame, slower, faster
// and changing speeds, voice removal, the equaliser, balance, the mono fold and the
// limiter, in blocks of even and uneven lengths.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "dsp.h"
#include "eq.h"
#include "iirfilter.h"
#include "measures.h"
#include "music.h"
#include "paths.h"
#include "spectrum.h"

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

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "input" && argc == 3) {
    return writeSamples(argv[2], music_render(rate, inputSeconds * rate)) ? 0 : 1;
  }
  if (mode == "run" && (argc == 4 || argc == 5))
    return run(argv[2], argv[3], argc == 5 ? argv[4] : "best");
  if (mode == "compare" && argc == 4) return compare(argv[2], argv[3]);
  std::fprintf(stderr,
               "usage: driver_streams input FILE | run IN OUT [reference|baseline|avx2|best] | "
               "compare A B\n");
  return 2;
}
