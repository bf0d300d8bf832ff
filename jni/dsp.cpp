#include "dsp.h"

#include <immintrin.h>
#include <jni.h>

#include <algorithm>
#include <atomic>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "eq.h"
#include "iirfilter.h"
#include "spectrum.h"
#include "vocoder.h"

namespace {

// Stream format, written only by dsp_init(), which never overlaps a block.
int frameSize = 0;
int overSampling = 0;
int sampleRate = 0;
int channels = 0;
bool initialized = false;

// Settings written by the control thread, read once per block.
std::atomic<float> preamp{1.0f};
std::atomic<int> panningActive{0};
std::atomic<int> monoActive{0};
std::atomic<int> panningLevel{0};
std::atomic<bool> voiceRemovalEnabled{false};
std::atomic<float> voiceRemovalAmount{0.0f};

// Whether the last stereo block ran the voice-removal filters, and with which
// amount it ended (audio thread only).
bool voiceRemovalRunning = false;
double voiceRemovalAmountApplied = 0.0;

// The mono fold of the last stereo block, and how far the right channel's output
// has faded over to the left one's since the fold came on (audio thread only).
bool foldRunning = false;
int foldFadeDone = 0;

// Result of the last block, read by the control thread.
std::atomic<double> maxLevelAcum{0.0};

// Work buffers: created by the first block (4x its samplesIn for input, 8x for
// output), grown only when a later block needs more room.
float* in_left = nullptr;
float* in_right = nullptr;
float* out_left = nullptr;
float* out_right = nullptr;
int64_t inCapacity = 0;
int64_t outCapacity = 0;

constexpr float inputScale = 1.0f / 32768.0f;
constexpr double limitThreshold = 0.95;

// Largest magnitude (in full scales) a voice-removal result may hand the vocoder.
// Far above any real signal (the most extreme balance setting reaches 2^25.4), and
// small enough that no frame, even with every equaliser gain at its maximum, can
// overflow a float in the transforms, the overlap-add or the analyser.
constexpr double maxVocoderInput = 67108864.0;  // 2^26

// Equaliser gains are clamped to +-maxEqGain (+120 dB); a gain that is not a
// number mutes its bin. An infinite or NaN gain would turn a whole frame, its
// overlapping neighbours and the analyser's smoothed bands into NaN.
constexpr float maxEqGain = 1e6f;

// Longest block taken, in frames in or out: 2^28, over 100 minutes at 44.1 kHz.
// A longer one is refused as out of memory: its work buffers alone would take
// 8 GiB or more, and the vocoder's frame count and the interleaved indexes would
// come near the int range.
constexpr int maxBlockFrames = 1 << 28;

// Sets flush-to-zero and denormals-are-zero for one block, so that decaying
// filter and overlap tails never run at denormal speed, and restores the
// caller's mode afterwards.
class DenormalGuard {
 public:
  DenormalGuard() : saved_(_mm_getcsr()) { _mm_setcsr(saved_ | 0x8040); }
  ~DenormalGuard() { _mm_setcsr(saved_); }

 private:
  unsigned int saved_;
};

int activePath = -1;  // a DspPath other than DSP_PATH_BEST; -1 until chosen

bool cpuHasAvx2() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
}

// Replaces *buffer with a zeroed array of newSize floats that starts with the
// first oldSize values of the old one.
bool growBuffer(float** buffer, int64_t oldSize, int64_t newSize) {
  float* grown = new (std::nothrow) float[newSize]();
  if (grown == nullptr) return false;
  if (*buffer != nullptr) std::memcpy(grown, *buffer, sizeof(float) * oldSize);
  delete[] * buffer;
  *buffer = grown;
  return true;
}

bool ensureWorkBuffers(int samplesIn, int64_t needOut) {
  int64_t needIn = samplesIn;
  if (in_left == nullptr) {
    // First block: room for blocks of up to 4x its frames in and 8x out.
    needIn = 4 * static_cast<int64_t>(samplesIn);
    needOut = std::max<int64_t>(needOut, 8 * static_cast<int64_t>(samplesIn));
  }
  if (needIn > inCapacity) {
    if (!growBuffer(&in_left, inCapacity, needIn) || !growBuffer(&in_right, inCapacity, needIn)) {
      return false;
    }
    inCapacity = needIn;
  }
  if (needOut > outCapacity) {
    if (!growBuffer(&out_left, outCapacity, needOut) ||
        !growBuffer(&out_right, outCapacity, needOut)) {
      return false;
    }
    outCapacity = needOut;
  }
  return true;
}

// Output gain, soft limit above 0.95 and quantisation of one sample. The
// limiter's curve v (1 + (a - 0.95) k) turns back at a = (0.95 - 1/k) / 2;
// beyond that point the sample leaves at full scale with its own sign instead
// of folding over to the opposite sign.
inline short limitAndQuantise(double v, double a, double k, double turningPoint) {
  if (a >= limitThreshold) {
    if (a > turningPoint) {
      v = v < 0 ? -1.0 : 1.0;
    } else {
      v = v * (1.0 + (a - limitThreshold) * k);
    }
  }
  if (v < -1.0) return -32767;
  if (v > 1.0) return 32767;
  if (!(v == v)) return 0;
  return static_cast<short>(v * 32767.0);
}

// What the output stage of one block applies to every vocoder sample.
struct OutputStage {
  double norm;  // overlap gain frameSize / (2 stepOut), a float widened
  double gain;  // the pre-amplifier
  double k;     // limiter slope: -0.25 in mono, -0.125 in stereo
  double turningPoint;
};

// Frames [from, to) of the output: normalised, amplified, limited and quantised
// into samples. Returns the block peak, starting from peak.
double quantiseFrames(short* samples, int from, int to, bool mono, const OutputStage& st,
                      double peak) {
  for (int i = from; i < to; i++) {
    const double v = st.gain * (out_left[i] / st.norm);
    const double a = std::fabs(v);
    if (a > peak) peak = a;
    if (mono) {
      samples[i] = limitAndQuantise(v, a, st.k, st.turningPoint);
      continue;
    }
    const double vr = st.gain * (out_right[i] / st.norm);
    const double ar = std::fabs(vr);
    if (ar > peak) peak = ar;
    samples[2 * i] = limitAndQuantise(v, a, st.k, st.turningPoint);
    samples[2 * i + 1] = limitAndQuantise(vr, ar, st.k, st.turningPoint);
  }
  return peak;
}

// The output stage's constants, four lanes each.
struct OutputStageAvx2 {
  __m256d norm, gain, k, turningPoint;
};

// limitAndQuantise() on four samples o: the same operations in the same order, so
// the same bits. The limited value and the rail are formed for every lane and
// blended in where the level calls for them; clamping to +-1 before the scaling
// gives -32767 and 32767 exactly, and NaN leaves as 0. *peak takes the lane-wise
// maximum of the levels, which a NaN level leaves unchanged as the scalar
// comparison does.
__attribute__((target("avx2"), always_inline)) inline __m128i quantiseAvx2(
    __m128 o, const OutputStageAvx2& st, __m256d* peak) {
  const __m256d one = _mm256_set1_pd(1.0);
  const __m256d minusOne = _mm256_set1_pd(-1.0);
  const __m256d threshold = _mm256_set1_pd(limitThreshold);
  const __m256d magnitudeBits = _mm256_castsi256_pd(_mm256_set1_epi64x(0x7fffffffffffffff));
  __m256d v = _mm256_mul_pd(st.gain, _mm256_div_pd(_mm256_cvtps_pd(o), st.norm));
  const __m256d a = _mm256_and_pd(v, magnitudeBits);
  *peak = _mm256_max_pd(a, *peak);
  const __m256d curve =
      _mm256_mul_pd(v, _mm256_add_pd(one, _mm256_mul_pd(_mm256_sub_pd(a, threshold), st.k)));
  const __m256d rail =
      _mm256_blendv_pd(one, minusOne, _mm256_cmp_pd(v, _mm256_setzero_pd(), _CMP_LT_OQ));
  const __m256d limited =
      _mm256_blendv_pd(curve, rail, _mm256_cmp_pd(a, st.turningPoint, _CMP_GT_OQ));
  v = _mm256_blendv_pd(v, limited, _mm256_cmp_pd(a, threshold, _CMP_GE_OQ));
  const __m256d isNumber = _mm256_cmp_pd(v, v, _CMP_ORD_Q);
  v = _mm256_and_pd(_mm256_min_pd(_mm256_max_pd(v, minusOne), one), isNumber);
  return _mm256_cvttpd_epi32(_mm256_mul_pd(v, _mm256_set1_pd(32767.0)));
}

// quantiseFrames() from frame 0 in steps of four (stereo) or eight (mono) frames.
// Returns the number of frames done; *peak receives their peak.
__attribute__((target("avx2"))) int quantiseFramesAvx2(short* samples, int count, bool mono,
                                                       const OutputStage& stage, double* peak) {
  const OutputStageAvx2 st{_mm256_set1_pd(stage.norm), _mm256_set1_pd(stage.gain),
                           _mm256_set1_pd(stage.k), _mm256_set1_pd(stage.turningPoint)};
  __m256d peaks = _mm256_setzero_pd();
  int i = 0;
  if (mono) {
    for (; i + 8 <= count; i += 8) {
      const __m128i first = quantiseAvx2(_mm_loadu_ps(out_left + i), st, &peaks);
      const __m128i second = quantiseAvx2(_mm_loadu_ps(out_left + i + 4), st, &peaks);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(samples + i), _mm_packs_epi32(first, second));
    }
  } else {
    for (; i + 4 <= count; i += 4) {
      const __m128i left = quantiseAvx2(_mm_loadu_ps(out_left + i), st, &peaks);
      const __m128i right = quantiseAvx2(_mm_loadu_ps(out_right + i), st, &peaks);
      // L0 R0 L1 R1 | L2 R2 L3 R3, each within +-32767, so the packing never saturates.
      const __m128i frames =
          _mm_packs_epi32(_mm_unpacklo_epi32(left, right), _mm_unpackhi_epi32(left, right));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(samples + 2 * i), frames);
    }
  }
  const __m128d halves = _mm_max_pd(_mm256_castpd256_pd128(peaks), _mm256_extractf128_pd(peaks, 1));
  *peak = _mm_cvtsd_f64(_mm_max_sd(halves, _mm_unpackhi_pd(halves, halves)));
  return i;
}

// Mono input on the vocoder's scale, eight samples at a time (SSE2).
void convertMono(const short* samples, float* out, int count) {
  const __m128 scale = _mm_set1_ps(inputScale);
  int i = 0;
  for (; i + 8 <= count; i += 8) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(samples + i));
    const __m128i low = _mm_srai_epi32(_mm_unpacklo_epi16(v, v), 16);
    const __m128i high = _mm_srai_epi32(_mm_unpackhi_epi16(v, v), 16);
    _mm_storeu_ps(out + i, _mm_mul_ps(_mm_cvtepi32_ps(low), scale));
    _mm_storeu_ps(out + i + 4, _mm_mul_ps(_mm_cvtepi32_ps(high), scale));
  }
  for (; i < count; i++) out[i] = samples[i] * inputScale;
}

// Interleaved stereo input split into its channels on the vocoder's scale, four
// frames at a time (SSE2): each 32-bit lane holds one frame, left in its low half.
void convertStereo(const short* samples, float* left, float* right, int frames) {
  const __m128 scale = _mm_set1_ps(inputScale);
  int i = 0;
  for (; i + 4 <= frames; i += 4) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(samples + 2 * i));
    const __m128i l = _mm_srai_epi32(_mm_slli_epi32(v, 16), 16);
    const __m128i r = _mm_srai_epi32(v, 16);
    _mm_storeu_ps(left + i, _mm_mul_ps(_mm_cvtepi32_ps(l), scale));
    _mm_storeu_ps(right + i, _mm_mul_ps(_mm_cvtepi32_ps(r), scale));
  }
  for (; i < frames; i++) {
    left[i] = samples[2 * i] * inputScale;
    right[i] = samples[2 * i + 1] * inputScale;
  }
}

// One channel less the filtered opposite channel, on the vocoder's scale. A filter
// fed NaN, infinite or huge coefficients (or an unstable design) yields NaN,
// infinities or values past any audio range, and keeps doing so until the host
// replaces it; such a result is not passed on: the channel goes through as if
// voice removal were off, so the vocoder and the analyser only ever see finite
// samples of bounded size.
inline float removeFiltered(float own, double filteredOpposite, double amount) {
  const double v = (own - filteredOpposite * amount) * inputScale;
  if (!(std::fabs(v) <= maxVocoderInput)) return own * inputScale;
  return static_cast<float>(v);
}

}  // namespace

bool dsp_check_init(int pFrameSize, int pOverSampling, int pSampleRate, char* msg, size_t msgSize) {
  if (pFrameSize < 4 || pFrameSize > 4096 || (pFrameSize & (pFrameSize - 1)) != 0) {
    std::snprintf(msg, msgSize, "frameSize must be a power of two from 4 to 4096, got %d",
                  pFrameSize);
    return false;
  }
  if (pOverSampling < 1 || pOverSampling > pFrameSize) {
    std::snprintf(msg, msgSize, "overSampling must be from 1 to frameSize (%d), got %d", pFrameSize,
                  pOverSampling);
    return false;
  }
  if (pSampleRate < 4) {
    std::snprintf(msg, msgSize, "sampleRate must be at least 4 Hz, got %d", pSampleRate);
    return false;
  }
  return true;
}

// Once the mono fold comes on, both channels' vocoders get the same input, but
// each carries on from its own history and synthesis phases, so their outputs
// would stay apart for good. Over one frame of output the right channel fades to
// the left one's; then the left channel's vocoder state is copied over, and from
// there on both compute the same samples. When the fold goes off, the channels
// part from that shared state without a jump.
static void fadeRightToLeft(bool folding, int samplesOut) {
  if (!folding) {
    foldRunning = false;
    return;
  }
  if (!foldRunning) foldFadeDone = 0;
  foldRunning = true;
  if (foldFadeDone >= frameSize) return;
  for (int i = 0; i < samplesOut; i++) {
    const float t = std::min(1.0f, static_cast<float>(foldFadeDone + i + 1) / frameSize);
    out_right[i] += (out_left[i] - out_right[i]) * t;
  }
  foldFadeDone += samplesOut;
  if (foldFadeDone >= frameSize) vocoder_copy_channel(0, 1);
}

void dsp_init(int pFrameSize, int pOverSampling, int pSampleRate, int pChannels) {
  if (activePath < 0) dsp_select_path(DSP_PATH_BEST);
  channels = pChannels;
  overSampling = pOverSampling;
  sampleRate = pSampleRate;
  frameSize = pFrameSize;
  iir_init();
  voiceRemovalRunning = false;
  foldRunning = false;
  foldFadeDone = 0;
  // The analyser folds any channel count but 1 as stereo, as the driver does.
  spectrum_init(sampleRate, channels == 1 ? 1 : 2);
  eq_init(frameSize / 2);
  vocoder_init(frameSize, frameSize / overSampling);
  initialized = true;
}

bool dsp_is_initialized() { return initialized; }

int dsp_channel_count() { return channels == 1 ? 1 : 2; }

int dsp_step_out(int samplesIn, int samplesOut) {
  // hop x samplesOut / samplesIn truncated, in exact integer arithmetic: a block of
  // k hops in and k x s frames out gives s back for every hop length, where a
  // quotient rounded to floating point first could come out one short.
  const int64_t hop = frameSize / overSampling;
  const int64_t step = samplesOut > 0 ? hop * samplesOut / samplesIn : 0;
  return static_cast<int>(std::clamp<int64_t>(step, 1, frameSize));
}

DspStatus dsp_process(short* samples, int samplesIn, int samplesOut) {
  if (!initialized) return DSP_NOT_INITIALIZED;
  if (samplesIn <= 0 || samplesOut < 0) {
    maxLevelAcum.store(0.0, std::memory_order_relaxed);
    return DSP_OK;
  }
  if (samplesIn > maxBlockFrames || samplesOut > maxBlockFrames) return DSP_OUT_OF_MEMORY;
  const bool mono = channels == 1;
  const int step = dsp_step_out(samplesIn, samplesOut);
  int framesDue = vocoder_frames_due(samplesIn, 0);
  if (!mono) framesDue = std::max(framesDue, vocoder_frames_due(samplesIn, 1));
  if (!ensureWorkBuffers(samplesIn,
                         std::max<int64_t>(samplesOut, static_cast<int64_t>(framesDue) * step))) {
    return DSP_OUT_OF_MEMORY;
  }
  DenormalGuard denormalGuard;

  const bool plainLoops = activePath == DSP_PATH_REFERENCE;
  if (mono) {
    if (plainLoops) {
      for (int i = 0; i < samplesIn; i++) in_left[i] = samples[i] * inputScale;
    } else {
      convertMono(samples, in_left, samplesIn);
    }
    vocoder_process(in_left, samplesIn, out_left, step, 0);
  } else {
    // Levels outside 0..100 are used as they come, so the differences are formed in
    // double: 50 - p overflows an int for p near INT_MIN.
    const double p = panningLevel.load(std::memory_order_relaxed);
    const float leftFromLeft = static_cast<float>(std::min(p, 50.0) / 50.0);
    const float leftFromRight = p < 50 ? static_cast<float>((50.0 - p) / 50.0) : 0.0f;
    const float rightFromLeft = p < 50 ? 0.0f : static_cast<float>((p - 50.0) / 50.0);
    const float rightFromRight = p < 50 ? 1.0f : static_cast<float>((100.0 - p) / 50.0);
    const bool remix = panningActive.load(std::memory_order_relaxed) != 0;
    const bool fold = monoActive.load(std::memory_order_relaxed) != 0;
    const double amount = voiceRemovalAmount.load(std::memory_order_relaxed);
    const bool removeVoice = voiceRemovalEnabled.load(std::memory_order_relaxed) && amount > 0;
    if (removeVoice && !voiceRemovalRunning) {
      // The filters only run while voice removal is on: start them afresh rather
      // than from what they held when it was last switched off.
      iir_clear_history(0);
      iir_clear_history(1);
    }
    // Between two blocks that both remove the voice, a new amount glides in over
    // the block, from the amount the last block ended with to the new one at its
    // last frame, so that the host can move the amount without a click. The first
    // block after switching on uses its amount throughout.
    const double amountFrom =
        voiceRemovalRunning && removeVoice ? voiceRemovalAmountApplied : amount;
    const double amountStep = (amount - amountFrom) / samplesIn;
    voiceRemovalRunning = removeVoice;
    voiceRemovalAmountApplied = amount;
    if (!remix && !removeVoice && !plainLoops) {
      convertStereo(samples, in_left, in_right, samplesIn);
    } else {
      for (int i = 0; i < samplesIn; i++) {
        float left = samples[2 * i];
        float right = samples[2 * i + 1];
        if (remix) {
          if (fold) {
            left = right = static_cast<float>((static_cast<double>(left) + right) * 0.5);
          } else {
            const float newLeft = static_cast<float>(static_cast<double>(left) * leftFromLeft +
                                                     static_cast<double>(right) * leftFromRight);
            const float newRight = static_cast<float>(static_cast<double>(left) * rightFromLeft +
                                                      static_cast<double>(right) * rightFromRight);
            left = newLeft;
            right = newRight;
          }
        }
        if (removeVoice) {
          // Each side loses the band-filtered opposite side, which cancels what
          // the two share (the centre voice) within the filter's band.
          const double frameAmount = amountFrom + amountStep * (i + 1);
          const double filteredRight = iir_step(0, right);
          in_left[i] = removeFiltered(left, filteredRight, frameAmount);
          const double filteredLeft = iir_step(1, left);
          in_right[i] = removeFiltered(right, filteredLeft, frameAmount);
        } else {
          in_left[i] = left * inputScale;
          in_right[i] = right * inputScale;
        }
      }
    }
    vocoder_process(in_left, samplesIn, out_left, step, 0);
    vocoder_process(in_right, samplesIn, out_right, step, 1);
    fadeRightToLeft(remix && fold, samplesOut);
  }

  const float norm = static_cast<float>(frameSize) / static_cast<float>(2 * step);
  const double k = mono ? -0.25 : -0.125;
  const OutputStage stage{norm, preamp.load(std::memory_order_relaxed), k,
                          (limitThreshold - 1.0 / k) / 2.0};
  double peak = 0.0;
  int done = 0;
  if (activePath == DSP_PATH_AVX2) {
    done = quantiseFramesAvx2(samples, samplesOut, mono, stage, &peak);
  }
  peak = quantiseFrames(samples, done, samplesOut, mono, stage, peak);
  maxLevelAcum.store(peak, std::memory_order_relaxed);
  return DSP_OK;
}

bool dsp_select_path(DspPath path) {
  if (path == DSP_PATH_BEST) path = cpuHasAvx2() ? DSP_PATH_AVX2 : DSP_PATH_BASELINE;
  if (path < DSP_PATH_REFERENCE || path > DSP_PATH_AVX2) return false;
  if (path == DSP_PATH_AVX2 && !cpuHasAvx2()) return false;
  activePath = path;
  return true;
}

DspPath dsp_path() {
  if (activePath < 0) dsp_select_path(DSP_PATH_BEST);
  return static_cast<DspPath>(activePath);
}

float dsp_get_max_level() {
  // A finite peak beyond the float range (a huge pre-amplifier) reads as the largest
  // float rather than an out-of-range conversion; an infinite one stays infinite.
  const double peak = maxLevelAcum.load(std::memory_order_relaxed);
  if (peak > FLT_MAX && std::isfinite(peak)) return FLT_MAX;
  return static_cast<float>(peak);
}

void dsp_set_preamp(float value) { preamp.store(value, std::memory_order_relaxed); }

void dsp_set_panning(int active, int mono, int level) {
  panningActive.store(active, std::memory_order_relaxed);
  monoActive.store(mono, std::memory_order_relaxed);
  panningLevel.store(level, std::memory_order_relaxed);
}

void dsp_set_voice_removal_enabled(bool enabled) {
  voiceRemovalEnabled.store(enabled, std::memory_order_relaxed);
}

void dsp_set_voice_removal_amount(float amount) {
  voiceRemovalAmount.store(amount, std::memory_order_relaxed);
}

void dsp_set_eq_bands(const float* levels) {
  const int bands = eq_size();
  if (bands <= 0) return;
  std::vector<float> gains(levels, levels + bands);
  for (float& g : gains) {
    if (std::isnan(g)) {
      g = 0.0f;
    } else {
      g = std::clamp(g, -maxEqGain, maxEqGain);
    }
  }
  eq_setbands(gains.data());
}

// JNI entry points of quenlab.hopwarbler.NativeInterface. They check what the
// Java side passes, reach the arrays, and call the driver above.
namespace {

void throwJava(JNIEnv* env, const char* className, const char* message) {
  jclass cls = env->FindClass(className);
  if (cls != nullptr) env->ThrowNew(cls, message);
}

}  // namespace

extern "C" {

JNIEXPORT void JNICALL Java_quenlab_hopwarbler_NativeInterface_dspInit(
    JNIEnv* env, jobject, jint jFrameSize, jint jOverSampling, jint jSampleRate, jint jChannels) {
  char msg[160];
  if (!dsp_check_init(jFrameSize, jOverSampling, jSampleRate, msg, sizeof msg)) {
    throwJava(env, "java/lang/IllegalArgumentException", msg);
    return;
  }
  dsp_init(jFrameSize, jOverSampling, jSampleRate, jChannels);
}

JNIEXPORT void JNICALL Java_quenlab_hopwarbler_NativeInterface_dspProcess(
    JNIEnv* env, jobject, jshortArray samples, jint samplesIn, jint samplesOut,
    jfloat /*pitchShiftAmount*/) {
  if (samples == nullptr) {
    throwJava(env, "java/lang/NullPointerException", "samples is null");
    return;
  }
  if (!dsp_is_initialized()) {
    throwJava(env, "java/lang/IllegalStateException",
              "dspProcess called before a successful dspInit");
    return;
  }
  if (samplesIn <= 0 || samplesOut < 0) {
    dsp_process(nullptr, samplesIn, samplesOut);
    return;
  }
  const int64_t perFrame = dsp_channel_count();
  const int64_t needed = std::max<int64_t>(samplesIn, samplesOut) * perFrame;
  const jsize length = env->GetArrayLength(samples);
  if (needed > length) {
    char msg[200];
    std::snprintf(msg, sizeof msg,
                  "samples holds %d values but samplesIn %d / samplesOut %d need %lld "
                  "(%lld per frame)",
                  static_cast<int>(length), samplesIn, samplesOut, static_cast<long long>(needed),
                  static_cast<long long>(perFrame));
    throwJava(env, "java/lang/IllegalArgumentException", msg);
    return;
  }
  jshort* elements = env->GetShortArrayElements(samples, nullptr);
  if (elements == nullptr) return;  // the JVM has thrown OutOfMemoryError
  const DspStatus status = dsp_process(elements, samplesIn, samplesOut);
  if (status == DSP_OUT_OF_MEMORY) {
    env->ReleaseShortArrayElements(samples, elements, JNI_ABORT);
    throwJava(env, "java/lang/OutOfMemoryError", "hopwarbler: work buffers could not grow");
    return;
  }
  env->ReleaseShortArrayElements(samples, elements, 0);
}

JNIEXPORT void JNICALL Java_quenlab_hopwarbler_NativeInterface_dspVoiceRemovalEnable(JNIEnv*,
                                                                                     jobject,
                                                                                     jint enabled) {
  dsp_set_voice_removal_enabled(enabled != 0);
}

JNIEXPORT void JNICALL
Java_quenlab_hopwarbler_NativeInterface_dspVoiceRemovalAmount(JNIEnv*, jobject, jfloat amount) {
  dsp_set_voice_removal_amount(amount);
}

JNIEXPORT void JNICALL Java_quenlab_hopwarbler_NativeInterface_dspVoiceRemovalFilter(
    JNIEnv* env, jobject, jdoubleArray coeffA, jdoubleArray coeffB, jint sizeA, jint sizeB) {
  if (coeffA == nullptr || coeffB == nullptr) {
    throwJava(env, "java/lang/NullPointerException",
              coeffA == nullptr ? "coeffA is null" : "coeffB is null");
    return;
  }
  const jsize lengthA = env->GetArrayLength(coeffA);
  const jsize lengthB = env->GetArrayLength(coeffB);
  if (sizeA < 1 || sizeA > lengthA || sizeB < 1 || sizeB > lengthB) {
    char msg[200];
    std::snprintf(msg, sizeof msg,
                  "sizeA must be from 1 to coeffA.length (%d) and sizeB from 1 to "
                  "coeffB.length (%d), got sizeA %d, sizeB %d",
                  static_cast<int>(lengthA), static_cast<int>(lengthB), sizeA, sizeB);
    throwJava(env, "java/lang/IllegalArgumentException", msg);
    return;
  }
  jdouble* a = env->GetDoubleArrayElements(coeffA, nullptr);
  if (a == nullptr) return;
  jdouble* b = env->GetDoubleArrayElements(coeffB, nullptr);
  if (b == nullptr) {
    env->ReleaseDoubleArrayElements(coeffA, a, JNI_ABORT);
    return;
  }
  iir_init_filters(a, b, sizeA, sizeB);
  env->ReleaseDoubleArrayElements(coeffB, b, 0);
  env->ReleaseDoubleArrayElements(coeffA, a, 0);
}

JNIEXPORT void JNICALL Java_quenlab_hopwarbler_NativeInterface_dspSetPreamp(JNIEnv*, jobject,
                                                                            jfloat jpreamp) {
  dsp_set_preamp(jpreamp);
}

JNIEXPORT void JNICALL Java_quenlab_hopwarbler_NativeInterface_dspPanning(JNIEnv*, jobject,
                                                                          jint jPanningActive,
                                                                          jint jMonoActive,
                                                                          jint jPanningLevel) {
  dsp_set_panning(jPanningActive, jMonoActive, jPanningLevel);
}

JNIEXPORT void JNICALL Java_quenlab_hopwarbler_NativeInterface_dspSpectrumEnable(JNIEnv*, jobject,
                                                                                 jint enabled) {
  spectrum_enabled.store(enabled, std::memory_order_relaxed);
}

JNIEXPORT void JNICALL Java_quenlab_hopwarbler_NativeInterface_dspGetSpectrum(JNIEnv* env, jobject,
                                                                              jfloatArray jSpectrum,
                                                                              jint jSize) {
  if (jSpectrum == nullptr) {
    throwJava(env, "java/lang/NullPointerException", "jSpectrum is null");
    return;
  }
  const int count = std::min(jSize, static_cast<jint>(spectrum_size()));
  if (count <= 0) return;
  const jsize length = env->GetArrayLength(jSpectrum);
  if (count > length) {
    char msg[160];
    std::snprintf(msg, sizeof msg, "jSpectrum holds %d values but jSize %d needs %d",
                  static_cast<int>(length), jSize, count);
    throwJava(env, "java/lang/IllegalArgumentException", msg);
    return;
  }
  jfloat* elements = env->GetFloatArrayElements(jSpectrum, nullptr);
  if (elements == nullptr) return;
  spectrum_copy(elements, count);
  env->ReleaseFloatArrayElements(jSpectrum, elements, 0);
}

JNIEXPORT jfloat JNICALL Java_quenlab_hopwarbler_NativeInterface_dspGetMaxLevel(JNIEnv*, jobject) {
  return dsp_get_max_level();
}

JNIEXPORT void JNICALL Java_quenlab_hopwarbler_NativeInterface_dspEQEnable(JNIEnv*, jobject,
                                                                           jint enabled) {
  eq_enable(enabled);
}

JNIEXPORT void JNICALL Java_quenlab_hopwarbler_NativeInterface_dspEQSetBands(JNIEnv* env, jobject,
                                                                             jfloatArray levels) {
  if (levels == nullptr) {
    throwJava(env, "java/lang/NullPointerException", "levels is null");
    return;
  }
  const int bands = eq_size();
  if (bands <= 0) return;
  const jsize length = env->GetArrayLength(levels);
  if (length < bands) {
    char msg[160];
    std::snprintf(msg, sizeof msg, "levels holds %d values but the equaliser has %d bands",
                  static_cast<int>(length), bands);
    throwJava(env, "java/lang/IllegalArgumentException", msg);
    return;
  }
  jfloat* elements = env->GetFloatArrayElements(levels, nullptr);
  if (elements == nullptr) return;
  dsp_set_eq_bands(elements);
  env->ReleaseFloatArrayElements(levels, elements, 0);
}

}  // extern "C"
