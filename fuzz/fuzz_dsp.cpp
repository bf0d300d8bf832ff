// libFuzzer target: drives the library below the JNI layer with a sequence of
// calls decoded from the input, the way a host (or a hostile one) would make
// them, and checks after every call what must hold whatever the arguments were.
//
// Input: a format header, then operations until the bytes run out. Each
// operation is one opcode byte and its arguments; an argument that runs past the
// end reads as 0. Numbers come either from a table of telling values (0, limits,
// NaN, infinities, subnormals, typical coefficients) or as raw bits:
//
//   header         frameSize exponent, overSampling, sample-rate index, channels
//   0 init         mode byte; even: the structured header form, odd: four raw
//                  int32 arguments. Only formats that dsp_check_init() accepts
//                  reach dsp_init(), as in the JNI layer.
//   1 process      samplesIn, samplesOut (counts up to 20000, or 0, -1, INT_MIN,
//                  or past the longest block taken: 2^28 + 1, INT_MAX), content
//                  kind and its parameters
//   2 preamp       float          3 panning      int active, int mono, int level
//   4 voice on/off byte           5 voice amount float
//   6 spectrum on  int            7 eq on        int
//   8 filter       sizeA, sizeB (1..16), then sizeA + sizeB doubles
//   9 eq gains     dsp_set_eq_bands(); mode byte; even: one float for every band, odd: one float
//   per
//                  band (cycling over at most 16 decoded values)
//   10 spectrum    int count for dsp_default_engine().spectrum().copy()
//   11 level       dsp_get_max_level()
//   240..255       the refinements: the opcode's low four bits switch linked stereo,
//                  attacks, fine peaks and level keeping (read before the modulo above)
//
// What must hold (any failure aborts, and libFuzzer keeps the input):
// - no sanitizer report, no crash, no read or write outside the arrays passed;
// - dsp_process() hands the caller's floating-point mode (flush-to-zero,
//   denormals-are-zero, rounding, exception flags) back as it found it;
// - a block longer than 2^28 frames is refused (DSP_OUT_OF_MEMORY) before its
//   samples are touched;
// - every 16-bit output sample lies in -32767..32767: a non-finite value inside
//   the library still leaves as a defined sample;
// - the peak level is never NaN or negative, and is finite when the block was
//   processed with a finite pre-amplifier (a finite gain times finite samples has
//   a finite peak; an infinite gain may honestly report an infinite one);
// - the spectrum's bands are finite and non-negative at every copy, whatever the
//   audio, filter, gains or settings were, and dsp_default_engine().spectrum().copy() writes exactly
//   min(count, 72) of them;
// - loading a filter leaves both records with the new coefficients and an empty
//   history, so a NaN or an overflowed state never outlives the next filter;
// - recovery: after the sequence, with sane settings and a stable filter, a
//   quarter-scale tone comes out with a finite peak level of at most 1 once the
//   vocoder's window has been refilled, on the same stream, without dsp_init().
//
// Every input starts from the same state as far as the library allows (it keeps
// process-wide state: the equaliser's table size from the first dsp_init(), the
// grown work buffers): settings at their defaults, flat gains, a zero filter, and
// a dsp_init() with the header's format. A per-input budget of vocoder frames
// keeps each run short; operations past it are decoded and skipped.
#include <algorithm>
#include <cfloat>
#include <cinttypes>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "dsp.h"
#include "eq.h"
#include "iirfilter.h"
#include "spectrum.h"
#include "testing.h"
#include "vocoder.h"

#if defined(__SSE__)
#include <xmmintrin.h>
#endif

namespace {

class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool empty() const { return pos_ >= size_; }
  uint8_t u8() { return pos_ < size_ ? data_[pos_++] : 0; }
  uint16_t u16() { return static_cast<uint16_t>(u8() | (u8() << 8)); }
  uint32_t u32() { return u16() | (static_cast<uint32_t>(u16()) << 16); }
  uint64_t u64() { return u32() | (static_cast<uint64_t>(u32()) << 32); }

  int32_t rawInt() { return static_cast<int32_t>(u32()); }

  float anyFloat() {
    static const float table[] = {
        0.0f,   -0.0f,   1.0f,     -1.0f,    0.5f,      2.0f,  0.001f, 100.0f,  1e4f,   1e30f,
        -1e30f, FLT_MAX, -FLT_MAX, INFINITY, -INFINITY, NAN,   -NAN,   FLT_MIN, 1e-45f, 1e-40f,
        0.95f,  1.05f,   10.0f,    32768.0f, -0.5f,     0.25f, 1e-7f,  3e38f,   -2.0f,  1e10f};
    const uint8_t b = u8();
    if (b < 0x80) return table[b % (sizeof table / sizeof table[0])];
    const uint32_t bits = u32();
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
  }

  double anyDouble() {
    static const double table[] = {
        0.0,      -0.0,   1.0,     -1.0,     0.5,      -0.5,      0.9,     -0.9, -1.9,
        1.9,      0.99,   -1.99,   2.0,      -2.0,     1e-3,      1e3,     1e30, -1e30,
        1e300,    -1e300, DBL_MAX, -DBL_MAX, INFINITY, -INFINITY, NAN,     -NAN, DBL_MIN,
        4.9e-324, 1e-310, 1e10,    0.01,     1.0001,   -1.0001,   32768.0, 0.25, 0.75};
    const uint8_t b = u8();
    if (b < 0x80) return table[b % (sizeof table / sizeof table[0])];
    const uint64_t bits = u64();
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
  }

  int anyInt() {
    static const int table[] = {0,   1,   2,   25,  49,      50,      51,          75,
                                100, 101, 120, -1,  -50,     INT_MIN, INT_MAX,     INT_MIN + 1,
                                -20, 200, 7,   -99, 1000000, -49,     INT_MAX - 50};
    const uint8_t b = u8();
    if (b < 0x80) return table[b % (sizeof table / sizeof table[0])];
    return rawInt();
  }

  // A block length: mostly 0..20000, sometimes a value the host must not pass,
  // or one past the longest block the driver takes (2^28 frames).
  int count() {
    const uint8_t b = u8();
    if (b < 0x08) {
      static const int table[] = {0, -1, INT_MIN, -20000, 1, 2, 3, 4};
      return table[b];
    }
    const uint16_t v = u16();
    if (v == 0xffff) return INT_MAX;
    if (v == 0xfffe) return (1 << 28) + 1;
    return v % 20001;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "fuzz_dsp: %s\n", what);
  std::fflush(stderr);
  std::abort();
}

// What the harness knows of the library's settings.
struct Shadow {
  int frameSize = 0;
  int overSampling = 0;
  int sampleRate = 0;
  int channels = 0;
  float preamp = 1.0f;
  float blockPreamp = 1.0f;  // the pre-amplifier in force for the last block
  long long budget = 0;      // remaining frame-samples of vocoder work for this input
};

Shadow shadow;

constexpr int maxFrames = 1 << 28;  // the longest block dsp_process() takes

// FUZZ_DSP_TRACE=1 prints every decoded call, to read a failing input.
const bool tracing = std::getenv("FUZZ_DSP_TRACE") != nullptr;
#define TRACE(...)                                  \
  do {                                              \
    if (tracing) std::fprintf(stderr, __VA_ARGS__); \
  } while (0)

// Frame-samples of vocoder and analyser work for one block of samplesIn frames.
// A block that writes nothing (samplesIn <= 0 or samplesOut < 0) costs nothing:
// the driver returns before the vocoder sees it, whatever the other count.
long long blockCost(int samplesIn, int samplesOut) {
  if (samplesIn <= 0 || samplesOut < 0 || samplesIn > maxFrames) return 1;
  const long long frames = static_cast<long long>(dsp_default_engine().vocoder().framesDue(samplesIn, 0)) + 1;
  const int step = dsp_step_out(samplesIn, samplesOut);
  // An analysis (2 x 72 x 4096 multiply-adds) runs at most once per pushed frame, and
  // only when the pushes add up to an analysis period.
  const long long period = shadow.sampleRate / 32 + 1;
  const long long analysesPerFrame = step >= period ? 1 : 0;
  const long long analyses = analysesPerFrame ? frames : (frames * step) / period + 1;
  const long long perChannel = frames * shadow.frameSize * 8 + analyses * 2 * 72 * 4096 / 8;
  return (dsp_channel_count() * perChannel) + samplesIn;
}

long long initCost() { return 72 * 4096 / 2; }

void checkLevel() {
  const float level = dsp_get_max_level();
  if (std::isnan(level)) fail("dsp_get_max_level() is NaN");
  if (level < 0) fail("dsp_get_max_level() is negative");
  if (std::isfinite(shadow.blockPreamp) && !std::isfinite(level)) {
    std::fprintf(stderr, "fuzz_dsp: level %g with preamp %g\n", level, shadow.blockPreamp);
    fail("dsp_get_max_level() is infinite with a finite pre-amplifier");
  }
}

void checkSpectrum(int count) {
  constexpr float sentinel = -12345.0f;
  std::vector<float> dest(spectrumBandCount + 8, sentinel);
  dsp_default_engine().spectrum().copy(dest.data(), count);
  const int n = count < 0 ? 0 : (count < spectrumBandCount ? count : spectrumBandCount);
  for (int i = 0; i < static_cast<int>(dest.size()); i++) {
    const float v = dest[i];
    if (i >= n) {
      if (v != sentinel) fail("dsp_default_engine().spectrum().copy() wrote past min(count, 72)");
      continue;
    }
    if (!std::isfinite(v) || v < 0) {
      std::fprintf(stderr, "fuzz_dsp: band %d = %g\n", i, v);
      fail("spectrum band not finite and non-negative");
    }
  }
}

void checkFilterRecord(const iirFilter& f, const double* ca, const double* cb, int sizeA,
                       int sizeB) {
  if (f.n1 != sizeB - 1 || f.n2 != sizeA - 1 || f.pos1 != 0 || f.pos2 != 0) {
    fail("filter record sizes or positions wrong after loading");
  }
  if (std::memcmp(f.a, ca, sizeof(double) * sizeA) != 0 ||
      std::memcmp(f.b, cb, sizeof(double) * sizeB) != 0) {
    fail("filter coefficients not copied");
  }
  for (int i = 0; i < f.n1; i++) {
    if (f.buf1[i] != 0.0) fail("filter input history not cleared by loading");
  }
  for (int i = 0; i < f.n2; i++) {
    if (f.buf2[i] != 0.0) fail("filter output history not cleared by loading");
  }
}

void loadFilter(const std::vector<double>& a, const std::vector<double>& b) {
  const int sizeA = static_cast<int>(a.size());
  const int sizeB = static_cast<int>(b.size());
  dsp_default_engine().voiceFilters().load(a.data(), b.data(), sizeA, sizeB);
  checkFilterRecord(IirFiltersTesting::record(dsp_default_engine().voiceFilters(), 0), a.data(), b.data(), sizeA, sizeB);
  checkFilterRecord(IirFiltersTesting::record(dsp_default_engine().voiceFilters(), 1), a.data(), b.data(), sizeA, sizeB);
}

void setFlatGains() {
  std::vector<float> flat(dsp_default_engine().equaliser().size() > 0 ? dsp_default_engine().equaliser().size() : 1, 1.0f);
  dsp_set_eq_bands(flat.data());
}

bool tryInit(int frameSize, int overSampling, int sampleRate, int channels) {
  char msg[160];
  if (!dsp_check_init(frameSize, overSampling, sampleRate, msg, sizeof msg)) return false;
  if (shadow.budget < initCost()) return false;
  shadow.budget -= initCost();
  TRACE("dsp_init(%d, %d, %d, %d)\n", frameSize, overSampling, sampleRate, channels);
  dsp_init(frameSize, overSampling, sampleRate, channels);
  shadow.frameSize = frameSize;
  shadow.overSampling = overSampling;
  shadow.sampleRate = sampleRate;
  shadow.channels = channels;
  return true;
}

void structuredInit(Reader& in) {
  static const int rates[] = {4, 8, 31, 32, 100, 8000, 11025, 22050, 44100, 48000, 96000, INT_MAX};
  static const int channelCounts[] = {2, 1, 0, 3, -1};
  const int frameSize = 4 << (in.u8() % 11);
  const int overSampling = 1 + in.u8() % frameSize;
  const int sampleRate = rates[in.u8() % (sizeof rates / sizeof rates[0])];
  const int channels = channelCounts[in.u8() % (sizeof channelCounts / sizeof channelCounts[0])];
  tryInit(frameSize, overSampling, sampleRate, channels);
}

// Fills a block of frames x channels samples as the content byte says.
void fillBlock(Reader& in, std::vector<short>& block, int samples) {
  const uint8_t kind = in.u8() % 8;
  const int amplitude = in.u16() % 32769;
  const int period = 2 + in.u16() % 2000;
  uint32_t noise = 0x9e3779b9u ^ in.u32();
  for (int i = 0; i < samples; i++) {
    int v = 0;
    switch (kind) {
      case 0:  // silence
        break;
      case 1:  // square wave at full scale, both extremes
        v = (i / period) % 2 ? -32768 : 32767;
        break;
      case 2:  // sine
        v = static_cast<int>(amplitude * std::sin(6.283185307179586 * i / period));
        break;
      case 3:  // constant at the most negative value
        v = -32768;
        break;
      case 4:  // noise at full scale
        noise ^= noise << 13;
        noise ^= noise >> 17;
        noise ^= noise << 5;
        v = static_cast<int16_t>(noise & 0xffff);
        break;
      case 5:  // impulse
        v = i == 0 ? 32767 : 0;
        break;
      case 6:  // DC
        v = amplitude - 16384;
        break;
      default:  // raw bytes from the input
        v = static_cast<int16_t>(in.u16());
        break;
    }
    block[i] = static_cast<short>(v < -32768 ? -32768 : (v > 32767 ? 32767 : v));
  }
}

void process(Reader& in) {
  const int samplesIn = in.count();
  const int samplesOut = in.count();
  const int perFrame = dsp_channel_count();
  if (samplesIn > 0 && samplesOut >= 0 && (samplesIn > maxFrames || samplesOut > maxFrames)) {
    // Refused before the samples are touched: a small array stands in for the
    // gigabytes the contract would ask for, so that any access shows up.
    std::vector<short> small(16);
    TRACE("dsp_process(%d, %d): expect a refusal\n", samplesIn, samplesOut);
    if (dsp_process(small.data(), samplesIn, samplesOut) != DSP_OUT_OF_MEMORY) {
      fail("a block longer than 2^28 frames was not refused");
    }
    return;
  }
  // Exactly the room the contract asks for, so that AddressSanitizer sees any
  // access past it; none for a block that writes nothing (samplesIn <= 0 or
  // samplesOut < 0), whatever the other count says.
  const bool writes = samplesIn > 0 && samplesOut >= 0;
  const int frames = writes ? std::max(samplesIn, samplesOut) : 0;
  std::vector<short> block(static_cast<size_t>(frames) * perFrame + (frames == 0 ? 1 : 0));
  fillBlock(in, block, writes ? samplesIn * perFrame : 0);
  const long long cost = blockCost(samplesIn, samplesOut);
  if (cost > shadow.budget) {
    TRACE("dsp_process(%d, %d) skipped: over budget\n", samplesIn, samplesOut);
    return;
  }
  shadow.budget -= cost;
  shadow.blockPreamp = shadow.preamp;
#if defined(__SSE__)
  const unsigned int callerMode = _mm_getcsr();
#endif
  if (dsp_process(block.data(), samplesIn, samplesOut) != DSP_OK) fail("dsp_process() failed");
#if defined(__SSE__)
  if (_mm_getcsr() != callerMode)
    fail("dsp_process() left the caller's floating-point mode changed");
#endif
  TRACE("dsp_process(%d, %d): level %g\n", samplesIn, samplesOut, dsp_get_max_level());
  if (writes) {
    for (int i = 0; i < samplesOut * perFrame; i++) {
      if (block[i] < -32767) fail("output sample -32768");
    }
  }
  checkLevel();
}

void filter(Reader& in) {
  const int sizeA = 1 + in.u8() % 16;
  const int sizeB = 1 + in.u8() % 16;
  std::vector<double> a(sizeA);
  std::vector<double> b(sizeB);
  for (double& c : a) c = in.anyDouble();
  for (double& c : b) c = in.anyDouble();
  TRACE("dsp_default_engine().voiceFilters().load(a[%d] = {%g, ...}, b[%d] = {%g, ...})\n", sizeA, a[0], sizeB, b[0]);
  loadFilter(a, b);
}

void gains(Reader& in) {
  const int n = dsp_default_engine().equaliser().size();
  std::vector<float> g(n > 0 ? n : 1);
  if (in.u8() % 2 == 0) {
    const float v = in.anyFloat();
    for (float& x : g) x = v;
  } else {
    float values[16];
    const int distinct = 1 + in.u8() % 16;
    for (int i = 0; i < distinct; i++) values[i] = in.anyFloat();
    for (size_t i = 0; i < g.size(); i++) g[i] = values[i % distinct];
  }
  TRACE("dsp_set_eq_bands({%g, ...})\n", g[0]);
  dsp_set_eq_bands(g.data());
}

// A sane stream after whatever came before: a quarter-scale tone through a stable
// filter with unity settings must come out finite and within full scale once
// the vocoder's window has been refilled.
void checkRecovery() {
  const int frameSize = shadow.frameSize;
  const int hop = frameSize / shadow.overSampling;
  const int perFrame = dsp_channel_count();
  dsp_set_preamp(1.0f);
  shadow.preamp = 1.0f;
  dsp_set_panning(0, 0, 50);
  dsp_default_engine().spectrum().setEnabled(false);  // frozen: its bands were checked all along
  dsp_default_engine().equaliser().enable(0);
  loadFilter({1.0, -0.5}, {0.25});
  dsp_set_voice_removal_enabled(true);
  dsp_set_voice_removal_amount(1.0f);

  // Complete the partly filled frame first, so that every later block is a whole
  // number of hops and its output is entirely fresh.
  const int inStart = frameSize - hop;
  const int inIndex = dsp_default_engine().vocoder().channels[0].inIndex;
  const int filled = inIndex == 0 ? 0 : inIndex - inStart;
  const int align = filled == 0 ? 0 : hop - filled;
  const int block = 2 * hop;
  const int blocks = (2 * frameSize + block - 1) / block + 1;
  long long cost = align > 0 ? blockCost(align, align) : 0;
  cost += blocks * blockCost(block, block);
  if (cost > shadow.budget) return;
  shadow.budget -= cost;

  std::vector<short> samples(static_cast<size_t>(std::max(block, align)) * perFrame);
  int t = 0;
  auto run = [&](int frames) {
    for (int i = 0; i < frames; i++, t++) {
      const short v = static_cast<short>(8192 * std::sin(6.283185307179586 * t / 37.0));
      for (int c = 0; c < perFrame; c++) samples[i * perFrame + c] = v;
    }
    shadow.blockPreamp = 1.0f;
    if (dsp_process(samples.data(), frames, frames) != DSP_OK) fail("dsp_process() failed");
  };
  if (align > 0) run(align);
  for (int k = 0; k < blocks; k++) run(block);
  const float level = dsp_get_max_level();
  if (!(level >= 0.0f && level <= 1.0f)) {
    std::fprintf(stderr, "fuzz_dsp: level %g after recovery (frameSize %d, overSampling %d)\n",
                 level, frameSize, shadow.overSampling);
    fail("no recovery: a sane stream after the sequence is not within full scale");
  }
  checkSpectrum(spectrumBandCount);
}

void resetSettings() {
  dsp_set_preamp(1.0f);
  shadow.preamp = 1.0f;
  dsp_set_panning(0, 0, 0);
  dsp_set_voice_removal_enabled(false);
  dsp_set_voice_removal_amount(0.0f);
  dsp_set_linked_stereo(false);
  dsp_set_attacks(false);
  dsp_set_fine_peaks(false);
  dsp_set_level_keeping(false);
  dsp_default_engine().spectrum().setEnabled(true);
  dsp_default_engine().equaliser().enable(0);
  setFlatGains();
  loadFilter({1.0}, {0.0});
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Once per process, before any dsp_init(): a block is refused, not processed.
  short block[4] = {1, 2, 3, 4};
  if (dsp_process(block, 2, 2) != DSP_NOT_INITIALIZED) fail("dsp_process() before dsp_init()");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Reader in(data, size);
  shadow.budget = 1LL << 22;
  structuredInit(in);
  if (shadow.frameSize == 0) return 0;
  resetSettings();

  while (!in.empty()) {
    const int op = in.u8();
    if (op >= 240) {
      TRACE("refinements linked %d attacks %d fine %d level %d\n", op & 1, op >> 1 & 1, op >> 2 & 1,
            op >> 3 & 1);
      dsp_set_linked_stereo(op & 1);
      dsp_set_attacks(op >> 1 & 1);
      dsp_set_fine_peaks(op >> 2 & 1);
      dsp_set_level_keeping(op >> 3 & 1);
      continue;
    }
    switch (op % 12) {
      case 0:
        if (in.u8() % 2 == 0) {
          structuredInit(in);
        } else {
          const int f = in.rawInt();
          const int o = in.rawInt();
          const int r = in.rawInt();
          const int c = in.rawInt();
          tryInit(f, o, r, c);
        }
        break;
      case 1:
        process(in);
        break;
      case 2:
        shadow.preamp = in.anyFloat();
        TRACE("dsp_set_preamp(%g)\n", shadow.preamp);
        dsp_set_preamp(shadow.preamp);
        break;
      case 3: {
        const int active = in.anyInt();
        const int mono = in.anyInt();
        const int level = in.anyInt();
        TRACE("dsp_set_panning(%d, %d, %d)\n", active, mono, level);
        dsp_set_panning(active, mono, level);
        break;
      }
      case 4: {
        const bool on = in.u8() % 2 != 0;
        TRACE("dsp_set_voice_removal_enabled(%d)\n", on);
        dsp_set_voice_removal_enabled(on);
        break;
      }
      case 5: {
        const float amount = in.anyFloat();
        TRACE("dsp_set_voice_removal_amount(%g)\n", amount);
        dsp_set_voice_removal_amount(amount);
        break;
      }
      case 6: {
        const int on = in.anyInt();
        TRACE("spectrum().setEnabled(%d)\n", on);
        dsp_default_engine().spectrum().setEnabled(on != 0);
        break;
      }
      case 7: {
        const int on = in.anyInt();
        TRACE("dsp_default_engine().equaliser().enable(%d)\n", on);
        dsp_default_engine().equaliser().enable(on);
        break;
      }
      case 8:
        filter(in);
        break;
      case 9:
        gains(in);
        break;
      case 10:
        checkSpectrum(in.anyInt());
        break;
      default:
        checkLevel();
        break;
    }
  }
  checkLevel();
  checkSpectrum(spectrumBandCount);
  checkRecovery();
  return 0;
}
