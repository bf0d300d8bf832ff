// libFuzzer target: drives the library below the JNI layer with a sequence of
// calls decoded from the input, the way a host (or a hostile one) would make
// them, on up to three engines at once, and checks after every call what must
// hold whatever the arguments were.
//
// Engines: 0 is the raw interface's default engine; 1 and 2 are engines of the
// input's own, made as NativeEngine makes them (an Engine whose equaliser is sized
// for the largest frame, then init() with a format of their own) the first time an
// operation selects them, and released when the input ends or an operation remakes
// them. Every operation targets the selected engine, 0 at the start.
//
// Input: a format header, then operations until the bytes run out. Each
// operation is one opcode byte and its arguments; an argument that runs past the
// end reads as 0. Numbers come either from a table of telling values (0, limits,
// NaN, infinities, subnormals, typical coefficients) or as raw bits:
//
//   header         frameSize exponent, overSampling, sample-rate index, channels
//                  (the default engine's format; the same four bytes give the
//                  format of an engine made by 224..239)
//   0 init         mode byte; even: the structured header form, odd: four raw
//                  int32 arguments. Only formats that dsp_check_init() accepts
//                  reach init(), as in the JNI layer.
//   1 process      samplesIn, samplesOut (counts up to 20000, or 0, -1, INT_MIN,
//                  or past the longest block taken: 2^28 + 1, INT_MAX), content
//                  kind and its parameters
//   2 preamp       float          3 panning      int active, int mono, int level
//   4 voice on/off byte           5 voice amount float
//   6 spectrum on  int            7 eq on        int
//   8 filter       sizeA, sizeB (1..16), then sizeA + sizeB doubles
//   9 eq gains     setEqBands(); mode byte; even: one float for every band, odd: one
//                  float per band (cycling over at most 16 decoded values)
//   10 spectrum    int count for spectrum().copy()
//   11 level       maxLevel()
//   (any other opcode below 224 is taken modulo 12)
//   224..231       select engine (opcode - 224) % 3; an engine not made yet is made
//                  with the format in the next four bytes
//   232..239       release engine 1 + opcode % 2 (if made) and make it anew with the
//                  format in the next four bytes; the selection stays
//   240..255       the refinements: the opcode's low four bits switch linked stereo,
//                  attacks, fine peaks and level keeping
//
// What must hold on every engine (any failure aborts, and libFuzzer keeps the input):
// - no sanitizer report, no crash, no read or write outside the arrays passed;
// - process() hands the caller's floating-point mode (flush-to-zero,
//   denormals-are-zero, rounding, exception flags) back as it found it;
// - a block longer than 2^28 frames is refused (DSP_OUT_OF_MEMORY) before its
//   samples are touched; an engine without a successful init() refuses every block
//   (DSP_NOT_INITIALIZED);
// - every 16-bit output sample lies in -32767..32767: a non-finite value inside
//   the library still leaves as a defined sample;
// - the peak level is never NaN or negative, and is finite when the block was
//   processed with a finite pre-amplifier (a finite gain times finite samples has
//   a finite peak; an infinite gain may honestly report an infinite one);
// - the spectrum's bands are finite and non-negative at every copy, whatever the
//   audio, filter, gains or settings were, and spectrum().copy() writes exactly
//   min(count, 72) of them;
// - loading a filter leaves both records with the new coefficients and an empty
//   history, so a NaN or an overflowed state never outlives the next filter;
// - independence: when an engine of the input's own goes (remade, or at the end),
//   a fresh engine given the same calls alone, with nothing else interleaved, returns
//   the same samples, levels and bands bit for bit, so engines share no state that
//   one stream's calls could change under another's;
// - recovery: after the sequence, with sane settings and a stable filter, a
//   quarter-scale tone comes out with a finite peak level of at most 1 once the
//   vocoder's window has been refilled, on the same stream, without init().
//
// Every input starts from the same state as far as the library allows (the default
// engine lives for the process: its equaliser's table size comes from the first
// init(), its work buffers only grow): the default engine's settings at their
// defaults, flat gains, a zero filter, and an init() with the header's format. A
// per-input budget of vocoder frames keeps each run short; operations past it are
// decoded and skipped. Calls on an engine of the input's own are charged twice, the
// second time for their replay on a fresh engine.
#include <algorithm>
#include <cfloat>
#include <cinttypes>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "dsp.h"
#include "eq.h"
#include "fft.h"
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

constexpr int maxFrames = 1 << 28;  // the longest block process() takes
constexpr int engineCount = 3;      // the default engine and two of the input's own

// FUZZ_DSP_TRACE=1 prints every decoded call, to read a failing input.
const bool tracing = std::getenv("FUZZ_DSP_TRACE") != nullptr;
#define TRACE(...)                                  \
  do {                                              \
    if (tracing) std::fprintf(stderr, __VA_ARGS__); \
  } while (0)

// FNV-1a over the bytes of what a call returned: a replay must give the same value.
class Digest {
 public:
  template <typename T>
  void add(const T* values, size_t count) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(values);
    for (size_t i = 0; i < sizeof(T) * count; i++) {
      hash_ = (hash_ ^ bytes[i]) * 0x100000001b3ull;
    }
  }
  template <typename T>
  void add(const T& value) {
    add(&value, 1);
  }
  uint64_t value() const { return hash_; }

 private:
  uint64_t hash_ = 0xcbf29ce484222325ull;
};

// What the harness knows of one engine's settings.
struct Shadow {
  int frameSize = 0;
  int overSampling = 0;
  int sampleRate = 0;
  float preamp = 1.0f;
  float blockPreamp = 1.0f;  // the pre-amplifier in force for the last block
};

struct Stream;
// One call on an engine, made again on a fresh engine by the independence check:
// returns a digest of what the engine gave back (0 for a setting).
using Call = std::function<uint64_t(Stream&)>;

// One engine and what the harness keeps of it.
struct Stream {
  const char* name = "";
  Engine* engine = nullptr;
  std::unique_ptr<Engine> owned;  // the engine when it is one of the input's own
  Shadow shadow;
  // The calls made on an engine of the input's own since it was made, each with the
  // digest it returned.
  std::vector<std::pair<Call, uint64_t>> calls;
};

std::unique_ptr<Engine> makeEngine() {
  // As NativeEngine's create: the equaliser sized for the largest frame, before init().
  auto engine = std::make_unique<Engine>();
  engine->equaliser().init(fftMaxSize / 2);
  return engine;
}

// Frame-samples of vocoder and analyser work for one block of samplesIn frames.
// A block that writes nothing (samplesIn <= 0 or samplesOut < 0) costs nothing:
// the driver returns before the vocoder sees it, whatever the other count.
long long blockCost(const Stream& s, int samplesIn, int samplesOut) {
  Engine& engine = *s.engine;
  if (!engine.initialized() || samplesIn <= 0 || samplesOut < 0 || samplesIn > maxFrames) {
    return 1;
  }
  const long long frames = static_cast<long long>(engine.vocoder().framesDue(samplesIn, 0)) + 1;
  const int step = engine.stepOut(samplesIn, samplesOut);
  // An analysis (2 x 72 x 4096 multiply-adds) runs at most once per pushed frame, and
  // only when the pushes add up to an analysis period.
  const long long period = s.shadow.sampleRate / 32 + 1;
  const long long analysesPerFrame = step >= period ? 1 : 0;
  const long long analyses = analysesPerFrame ? frames : (frames * step) / period + 1;
  const long long perChannel = frames * s.shadow.frameSize * 8 + analyses * 2 * 72 * 4096 / 8;
  return (engine.channelCount() * perChannel) + samplesIn;
}

long long initCost() { return 72 * 4096 / 2; }

float checkLevel(const Stream& s) {
  const float level = s.engine->maxLevel();
  if (std::isnan(level)) fail("maxLevel() is NaN");
  if (level < 0) fail("maxLevel() is negative");
  if (std::isfinite(s.shadow.blockPreamp) && !std::isfinite(level)) {
    std::fprintf(stderr, "fuzz_dsp: %s: level %g with preamp %g\n", s.name, level,
                 s.shadow.blockPreamp);
    fail("maxLevel() is infinite with a finite pre-amplifier");
  }
  return level;
}

// Copies count bands and checks them; returns their digest.
uint64_t checkSpectrum(Engine& engine, int count) {
  constexpr float sentinel = -12345.0f;
  std::vector<float> dest(spectrumBandCount + 8, sentinel);
  engine.spectrum().copy(dest.data(), count);
  const int n = count < 0 ? 0 : (count < spectrumBandCount ? count : spectrumBandCount);
  for (int i = 0; i < static_cast<int>(dest.size()); i++) {
    const float v = dest[i];
    if (i >= n) {
      if (v != sentinel) fail("spectrum().copy() wrote past min(count, 72)");
      continue;
    }
    if (!std::isfinite(v) || v < 0) {
      std::fprintf(stderr, "fuzz_dsp: band %d = %g\n", i, v);
      fail("spectrum band not finite and non-negative");
    }
  }
  Digest digest;
  digest.add(dest.data(), n);
  return digest.value();
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

void loadFilter(Engine& engine, const std::vector<double>& a, const std::vector<double>& b) {
  const int sizeA = static_cast<int>(a.size());
  const int sizeB = static_cast<int>(b.size());
  IirFilters& filters = engine.voiceFilters();
  filters.load(a.data(), b.data(), sizeA, sizeB);
  for (int channel = 0; channel < 2; channel++) {
    checkFilterRecord(IirFiltersTesting::record(filters, channel), a.data(), b.data(), sizeA,
                      sizeB);
  }
}

void setFlatGains(Engine& engine) {
  const std::vector<float> flat(std::max(engine.equaliser().size(), 1), 1.0f);
  engine.setEqBands(flat.data());
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

// Runs one block on the stream's engine and checks it; returns the digest of its
// output samples and peak level. samples holds exactly the room the contract asks for.
uint64_t runBlock(Stream& s, std::vector<short> samples, int samplesIn, int samplesOut) {
  Engine& engine = *s.engine;
  const bool writes = samplesIn > 0 && samplesOut >= 0;
  s.shadow.blockPreamp = s.shadow.preamp;
#if defined(__SSE__)
  const unsigned int callerMode = _mm_getcsr();
#endif
  if (engine.process(samples.data(), samplesIn, samplesOut) != DSP_OK) fail("process() failed");
#if defined(__SSE__)
  if (_mm_getcsr() != callerMode) fail("process() left the caller's floating-point mode changed");
#endif
  const float level = checkLevel(s);
  TRACE("%s: process(%d, %d): level %g\n", s.name, samplesIn, samplesOut, level);
  const int written = writes ? samplesOut * engine.channelCount() : 0;
  for (int i = 0; i < written; i++) {
    if (samples[i] < -32767) fail("output sample -32768");
  }
  Digest digest;
  digest.add(samples.data(), written);
  digest.add(level);
  return digest.value();
}

class Harness {
 public:
  Harness(const uint8_t* data, size_t size) : in_(data, size) {
    streams_[0].name = "default";
    streams_[0].engine = &dsp_default_engine();
    streams_[1].name = "engine 1";
    streams_[2].name = "engine 2";
  }

  void run() {
    Stream& first = streams_[0];
    structuredInit(first);
    if (first.shadow.frameSize == 0) return;
    resetSettings(*first.engine);

    while (!in_.empty()) step(in_.u8());

    for (Stream& s : streams_) {
      if (s.engine == nullptr) continue;
      checkLevel(s);
      checkSpectrum(*s.engine, spectrumBandCount);
      if (s.owned) checkAlone(s);
      if (s.engine->initialized()) checkRecovery(s);
    }
  }

 private:
  // Takes the cost of a call on s from the budget, twice on an engine of the input's
  // own (its replay by checkAlone()); false, taking nothing, past the budget.
  bool charge(const Stream& s, long long cost) {
    const long long total = s.owned ? 2 * cost : cost;
    if (total > budget_) return false;
    budget_ -= total;
    return true;
  }

  // Makes the call on s, and records it when s is one of the input's own.
  void call(Stream& s, Call f) {
    const uint64_t digest = f(s);
    if (s.owned) s.calls.emplace_back(std::move(f), digest);
  }

  void step(int op) {
    Stream& s = streams_[selected_];
    if (op >= 240) {
      call(s, [op](Stream& t) {
        TRACE("%s: refinements linked %d attacks %d fine %d level %d\n", t.name, op & 1,
              op >> 1 & 1, op >> 2 & 1, op >> 3 & 1);
        Engine& engine = *t.engine;
        engine.setLinkedStereo(op & 1);
        engine.setAttacks(op >> 1 & 1);
        engine.setFinePeaks(op >> 2 & 1);
        engine.setLevelKeeping(op >> 3 & 1);
        return uint64_t{0};
      });
      return;
    }
    if (op >= 224) {
      const int k = op - 224;
      if (k < 8) {
        selected_ = k % engineCount;
        if (streams_[selected_].engine == nullptr) make(streams_[selected_]);
        TRACE("select %s\n", streams_[selected_].name);
      } else {
        make(streams_[1 + k % 2]);
      }
      return;
    }
    switch (op % 12) {
      case 0:
        if (in_.u8() % 2 == 0) {
          structuredInit(s);
        } else {
          const int f = in_.rawInt();
          const int o = in_.rawInt();
          const int r = in_.rawInt();
          const int c = in_.rawInt();
          tryInit(s, f, o, r, c);
        }
        break;
      case 1:
        process(s);
        break;
      case 2: {
        const float preamp = in_.anyFloat();
        call(s, [preamp](Stream& t) {
          TRACE("%s: setPreamp(%g)\n", t.name, preamp);
          t.shadow.preamp = preamp;
          t.engine->setPreamp(preamp);
          return uint64_t{0};
        });
        break;
      }
      case 3: {
        const int active = in_.anyInt();
        const int mono = in_.anyInt();
        const int level = in_.anyInt();
        call(s, [=](Stream& t) {
          TRACE("%s: setPanning(%d, %d, %d)\n", t.name, active, mono, level);
          t.engine->setPanning(active, mono, level);
          return uint64_t{0};
        });
        break;
      }
      case 4: {
        const bool on = in_.u8() % 2 != 0;
        call(s, [on](Stream& t) {
          TRACE("%s: setVoiceRemovalEnabled(%d)\n", t.name, on);
          t.engine->setVoiceRemovalEnabled(on);
          return uint64_t{0};
        });
        break;
      }
      case 5: {
        const float amount = in_.anyFloat();
        call(s, [amount](Stream& t) {
          TRACE("%s: setVoiceRemovalAmount(%g)\n", t.name, amount);
          t.engine->setVoiceRemovalAmount(amount);
          return uint64_t{0};
        });
        break;
      }
      case 6: {
        const int on = in_.anyInt();
        call(s, [on](Stream& t) {
          TRACE("%s: spectrum().setEnabled(%d)\n", t.name, on);
          t.engine->spectrum().setEnabled(on != 0);
          return uint64_t{0};
        });
        break;
      }
      case 7: {
        const int on = in_.anyInt();
        call(s, [on](Stream& t) {
          TRACE("%s: equaliser().enable(%d)\n", t.name, on);
          t.engine->equaliser().enable(on);
          return uint64_t{0};
        });
        break;
      }
      case 8:
        filter(s);
        break;
      case 9:
        gains(s);
        break;
      case 10: {
        const int count = in_.anyInt();
        call(s, [count](Stream& t) {
          TRACE("%s: spectrum().copy(%d)\n", t.name, count);
          return checkSpectrum(*t.engine, count);
        });
        break;
      }
      default:
        call(s, [](Stream& t) {
          Digest digest;
          digest.add(checkLevel(t));
          return digest.value();
        });
        break;
    }
  }

  // Releases the stream's engine, if any, and makes a fresh one with the format read
  // from the input.
  void make(Stream& s) {
    if (s.owned) checkAlone(s);
    s.owned.reset();
    s.owned = makeEngine();
    s.engine = s.owned.get();
    s.shadow = Shadow{};
    s.calls.clear();
    TRACE("%s: made\n", s.name);
    structuredInit(s);
  }

  void tryInit(Stream& s, int frameSize, int overSampling, int sampleRate, int channels) {
    char msg[160];
    if (!dsp_check_init(frameSize, overSampling, sampleRate, msg, sizeof msg)) return;
    if (!charge(s, initCost())) return;
    call(s, [=](Stream& t) {
      TRACE("%s: init(%d, %d, %d, %d)\n", t.name, frameSize, overSampling, sampleRate, channels);
      t.engine->init(frameSize, overSampling, sampleRate, channels);
      t.shadow.frameSize = frameSize;
      t.shadow.overSampling = overSampling;
      t.shadow.sampleRate = sampleRate;
      return uint64_t{0};
    });
  }

  void structuredInit(Stream& s) {
    static const int rates[] = {4,     8,     31,    32,    100,   8000,
                                11025, 22050, 44100, 48000, 96000, INT_MAX};
    static const int channelCounts[] = {2, 1, 0, 3, -1};
    const int frameSize = 4 << (in_.u8() % 11);
    const int overSampling = 1 + in_.u8() % frameSize;
    const int sampleRate = rates[in_.u8() % (sizeof rates / sizeof rates[0])];
    const int channels = channelCounts[in_.u8() % (sizeof channelCounts / sizeof channelCounts[0])];
    tryInit(s, frameSize, overSampling, sampleRate, channels);
  }

  void process(Stream& s) {
    const int samplesIn = in_.count();
    const int samplesOut = in_.count();
    Engine& engine = *s.engine;
    if (!engine.initialized()) {
      if (!charge(s, 1)) return;
      call(s, [=](Stream& t) {
        TRACE("%s: process(%d, %d) before init(): expect a refusal\n", t.name, samplesIn,
              samplesOut);
        std::vector<short> small(16);
        if (t.engine->process(small.data(), samplesIn, samplesOut) != DSP_NOT_INITIALIZED) {
          fail("a block was taken before a successful init()");
        }
        return uint64_t{0};
      });
      return;
    }
    if (samplesIn > 0 && samplesOut >= 0 && (samplesIn > maxFrames || samplesOut > maxFrames)) {
      // Refused before the samples are touched: a small array stands in for the
      // gigabytes the contract would ask for, so that any access shows up.
      call(s, [=](Stream& t) {
        TRACE("%s: process(%d, %d): expect a refusal\n", t.name, samplesIn, samplesOut);
        std::vector<short> small(16);
        if (t.engine->process(small.data(), samplesIn, samplesOut) != DSP_OUT_OF_MEMORY) {
          fail("a block longer than 2^28 frames was not refused");
        }
        return uint64_t{0};
      });
      return;
    }
    // Exactly the room the contract asks for, so that AddressSanitizer sees any
    // access past it; none for a block that writes nothing (samplesIn <= 0 or
    // samplesOut < 0), whatever the other count says.
    const int perFrame = engine.channelCount();
    const bool writes = samplesIn > 0 && samplesOut >= 0;
    const int frames = writes ? std::max(samplesIn, samplesOut) : 0;
    std::vector<short> block(static_cast<size_t>(frames) * perFrame + (frames == 0 ? 1 : 0));
    fillBlock(in_, block, writes ? samplesIn * perFrame : 0);
    if (!charge(s, blockCost(s, samplesIn, samplesOut))) {
      TRACE("%s: process(%d, %d) skipped: over budget\n", s.name, samplesIn, samplesOut);
      return;
    }
    call(s, [=, block = std::move(block)](Stream& t) {
      return runBlock(t, block, samplesIn, samplesOut);
    });
  }

  void filter(Stream& s) {
    const int sizeA = 1 + in_.u8() % 16;
    const int sizeB = 1 + in_.u8() % 16;
    std::vector<double> a(sizeA);
    std::vector<double> b(sizeB);
    for (double& c : a) c = in_.anyDouble();
    for (double& c : b) c = in_.anyDouble();
    call(s, [a = std::move(a), b = std::move(b)](Stream& t) {
      TRACE("%s: voiceFilters().load(a[%zu] = {%g, ...}, b[%zu] = {%g, ...})\n", t.name, a.size(),
            a[0], b.size(), b[0]);
      loadFilter(*t.engine, a, b);
      return uint64_t{0};
    });
  }

  void gains(Stream& s) {
    std::vector<float> g(std::max(s.engine->equaliser().size(), 1));
    if (in_.u8() % 2 == 0) {
      const float v = in_.anyFloat();
      for (float& x : g) x = v;
    } else {
      float values[16];
      const int distinct = 1 + in_.u8() % 16;
      for (int i = 0; i < distinct; i++) values[i] = in_.anyFloat();
      for (size_t i = 0; i < g.size(); i++) g[i] = values[i % distinct];
    }
    call(s, [g = std::move(g)](Stream& t) {
      TRACE("%s: setEqBands({%g, ...})\n", t.name, g[0]);
      t.engine->setEqBands(g.data());
      return uint64_t{0};
    });
  }

  // Engines share no state that one stream's calls could change under another's: a
  // fresh engine given this engine's calls alone gives back the same samples, levels
  // and bands bit for bit (the budget holds their cost already).
  void checkAlone(Stream& s) {
    call(s, [](Stream& t) {
      Digest digest;
      digest.add(checkLevel(t));
      digest.add(checkSpectrum(*t.engine, spectrumBandCount));
      return digest.value();
    });
    TRACE("%s: its %zu calls again on a fresh engine\n", s.name, s.calls.size());
    Stream alone;
    alone.name = "alone";
    alone.owned = makeEngine();
    alone.engine = alone.owned.get();
    for (size_t i = 0; i < s.calls.size(); i++) {
      if (s.calls[i].first(alone) != s.calls[i].second) {
        std::fprintf(stderr, "fuzz_dsp: %s: call %zu of %zu differs alone\n", s.name, i + 1,
                     s.calls.size());
        fail("an engine alone does not give what it gave beside the others");
      }
    }
  }

  // A sane stream after whatever came before: a quarter-scale tone through a stable
  // filter with unity settings must come out finite and within full scale once
  // the vocoder's window has been refilled.
  void checkRecovery(Stream& s) {
    Engine& engine = *s.engine;
    const int frameSize = s.shadow.frameSize;
    const int hop = frameSize / s.shadow.overSampling;
    const int perFrame = engine.channelCount();
    engine.setPreamp(1.0f);
    s.shadow.preamp = 1.0f;
    engine.setPanning(0, 0, 50);
    engine.spectrum().setEnabled(false);  // frozen: its bands were checked all along
    engine.equaliser().enable(0);
    loadFilter(engine, {1.0, -0.5}, {0.25});
    engine.setVoiceRemovalEnabled(true);
    engine.setVoiceRemovalAmount(1.0f);

    // Complete the partly filled frame first, so that every later block is a whole
    // number of hops and its output is entirely fresh.
    const int inStart = frameSize - hop;
    const int inIndex = engine.vocoder().channels[0].inIndex;
    const int filled = inIndex == 0 ? 0 : inIndex - inStart;
    const int align = filled == 0 ? 0 : hop - filled;
    const int block = 2 * hop;
    const int blocks = (2 * frameSize + block - 1) / block + 1;
    long long cost = align > 0 ? blockCost(s, align, align) : 0;
    cost += blocks * blockCost(s, block, block);
    if (cost > budget_) return;
    budget_ -= cost;

    std::vector<short> samples(static_cast<size_t>(std::max(block, align)) * perFrame);
    int t = 0;
    auto run = [&](int frames) {
      for (int i = 0; i < frames; i++, t++) {
        const short v = static_cast<short>(8192 * std::sin(6.283185307179586 * t / 37.0));
        for (int c = 0; c < perFrame; c++) samples[i * perFrame + c] = v;
      }
      s.shadow.blockPreamp = 1.0f;
      if (engine.process(samples.data(), frames, frames) != DSP_OK) fail("process() failed");
    };
    if (align > 0) run(align);
    for (int k = 0; k < blocks; k++) run(block);
    const float level = engine.maxLevel();
    if (!(level >= 0.0f && level <= 1.0f)) {
      std::fprintf(stderr,
                   "fuzz_dsp: %s: level %g after recovery (frameSize %d, overSampling %d)\n",
                   s.name, level, frameSize, s.shadow.overSampling);
      fail("no recovery: a sane stream after the sequence is not within full scale");
    }
    checkSpectrum(engine, spectrumBandCount);
  }

  // The default engine as the previous input left it, back to its defaults.
  static void resetSettings(Engine& engine) {
    engine.setPreamp(1.0f);
    engine.setPanning(0, 0, 0);
    engine.setVoiceRemovalEnabled(false);
    engine.setVoiceRemovalAmount(0.0f);
    engine.setLinkedStereo(false);
    engine.setAttacks(false);
    engine.setFinePeaks(false);
    engine.setLevelKeeping(false);
    engine.spectrum().setEnabled(true);
    engine.equaliser().enable(0);
    setFlatGains(engine);
    loadFilter(engine, {1.0}, {0.0});
    // A block that writes nothing: the peak level of the previous input's last block
    // goes, so that no check here reads it against this input's pre-amplifier.
    engine.process(nullptr, 0, 0);
  }

  Reader in_;
  long long budget_ = 1LL << 22;  // remaining frame-samples of vocoder work for this input
  Stream streams_[engineCount];
  int selected_ = 0;  // the engine the operations target
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Once per process, before any init(): a block is refused, not processed.
  short block[4] = {1, 2, 3, 4};
  if (dsp_process(block, 2, 2) != DSP_NOT_INITIALIZED) fail("dsp_process() before dsp_init()");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Harness harness(data, size);
  harness.run();
  return 0;
}
