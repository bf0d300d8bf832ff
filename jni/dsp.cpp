#include "dsp.h"

#include <algorithm>
#include <atomic>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "cpu.h"
#include "dsp_simd.h"
#include "eq.h"
#include "iirfilter.h"
#include "levelkeeper.h"
#include "spectrum.h"
#include "vocoder.h"

namespace {

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

CodePath activePath(dspKernels);  // the driver's code path

// Replaces *buffer with a zeroed array of newSize floats that starts with the
// first oldSize values of the old one.
bool growBuffer(std::unique_ptr<float[]>* buffer, int64_t oldSize, int64_t newSize) {
  std::unique_ptr<float[]> grown(new (std::nothrow) float[newSize]());
  if (grown == nullptr) return false;
  if (*buffer != nullptr) std::memcpy(grown.get(), buffer->get(), sizeof(float) * oldSize);
  *buffer = std::move(grown);
  return true;
}

// Largest overlap correction of the engine's output stage, in times the correction of
// a steady hop: where few frames overlap yet, at the start of a stream.
constexpr double maxOverlapCorrection = 64.0;

// Largest magnitude of the output stage's gain (+120 dB).
constexpr float maxStageGain = 1e6f;

// The soft limiter's slope, gentler in stereo, and the level where its curve turns back.
inline double limiterSlope(bool mono) { return mono ? -0.25 : -0.125; }
inline double limiterTurningPoint(double k) { return (dspLimitThreshold - 1.0 / k) / 2.0; }

// The soft limit of one sample v of level a = |v|, shared by both output stages. The
// curve v (1 + (a - 0.95) k) turns back at a = (0.95 - 1/k) / 2; beyond that point
// the sample leaves at full scale with its own sign instead of folding over to the
// opposite sign.
inline double softLimit(double v, double a, double k, double turningPoint) {
  if (a >= dspLimitThreshold) {
    if (a > turningPoint) return v < 0 ? -1.0 : 1.0;
    return v * (1.0 + (a - dspLimitThreshold) * k);
  }
  return v;
}

// The raw stage's soft limit and quantisation (truncating) of one sample.
inline short limitAndQuantise(double v, double a, double k, double turningPoint) {
  v = softLimit(v, a, k, turningPoint);
  if (v < -1.0) return -32767;
  if (v > 1.0) return 32767;
  if (!(v == v)) return 0;
  return static_cast<short>(v * 32767.0);
}

// The engine's stage: the soft limit and quantisation rounded to nearest.
inline short limitAndRound(double v, double a, double k, double turningPoint) {
  v = softLimit(v, a, k, turningPoint);
  if (v < -1.0) return -32767;
  if (v > 1.0) return 32767;
  if (!(v == v)) return 0;
  const double s = v * 32767.0;
  return static_cast<short>(s < 0 ? s - 0.5 : s + 0.5);
}

// Replaces *buffer with a zeroed array of newSize floats (nothing kept).
bool freshBuffer(std::unique_ptr<float[]>* buffer, int64_t newSize) {
  std::unique_ptr<float[]> fresh(new (std::nothrow) float[newSize]());
  if (fresh == nullptr) return false;
  *buffer = std::move(fresh);
  return true;
}

// Frames [from, to) of the output: normalised, amplified, limited and quantised
// into samples. Returns the block peak, starting from peak.
double quantiseFrames(short* samples, const float* outLeft, const float* outRight, int from, int to,
                      bool mono, const DspOutputStage& st, double peak) {
  for (int i = from; i < to; i++) {
    const double v = st.gain * (outLeft[i] / st.norm);
    const double a = std::fabs(v);
    if (a > peak) peak = a;
    if (mono) {
      samples[i] = limitAndQuantise(v, a, st.k, st.turningPoint);
      continue;
    }
    const double vr = st.gain * (outRight[i] / st.norm);
    const double ar = std::fabs(vr);
    if (ar > peak) peak = ar;
    samples[2 * i] = limitAndQuantise(v, a, st.k, st.turningPoint);
    samples[2 * i + 1] = limitAndQuantise(vr, ar, st.k, st.turningPoint);
  }
  return peak;
}

// The engine's stage over count samples at one gain (no glide under way): gain, peak,
// soft limit and rounding into out, whole vectors first. Returns the peak, starting
// from peak.
double limitSteady(const float* in, int count, const DspStageLimit& st, short* out, double peak) {
  int i = 0;
  if (const DspKernels* kernels = dsp_simd_kernels(activePath.get())) {
    double vectorPeak = 0.0;
    i = kernels->limitRound(out, in, count, st, &vectorPeak);
    if (vectorPeak > peak) peak = vectorPeak;
  }
  for (; i < count; i++) {
    const double v = st.gain * in[i];
    const double a = std::fabs(v);
    if (a > peak) peak = a;
    out[i] = limitAndRound(v, a, st.k, st.turningPoint);
  }
  return peak;
}

// Mono input on the vocoder's scale; the vector paths convert whole vectors first.
void convertMono(const DspKernels* kernels, const short* samples, float* out, int count) {
  int i = 0;
  if (kernels) i = kernels->convertMono(samples, out, count);
  for (; i < count; i++) out[i] = samples[i] * dspInputScale;
}

// Interleaved stereo input split into its channels on the vocoder's scale; the
// vector paths convert whole vectors of frames first.
void convertStereo(const DspKernels* kernels, const short* samples, float* left, float* right,
                   int frames) {
  int i = 0;
  if (kernels) i = kernels->convertStereo(samples, left, right, frames);
  for (; i < frames; i++) {
    left[i] = samples[2 * i] * dspInputScale;
    right[i] = samples[2 * i + 1] * dspInputScale;
  }
}

// One channel less the filtered opposite channel, on the vocoder's scale. A filter
// fed NaN, infinite or huge coefficients (or an unstable design) yields NaN,
// infinities or values past any audio range, and keeps doing so until the host
// replaces it; such a result is not passed on: the channel goes through as if
// voice removal were off, so the vocoder and the analyser only ever see finite
// samples of bounded size.
inline float removeFiltered(float own, double filteredOpposite, double amount) {
  const double v = (own - filteredOpposite * amount) * dspInputScale;
  if (!(std::fabs(v) <= maxVocoderInput)) return own * dspInputScale;
  return static_cast<float>(v);
}

}  // namespace

// The vocoder over the block's converted input, with the refinements switched on (none
// unless the host turns them on).
void Engine::runVocoder(int samplesIn, int step, bool mono) {
  VocoderOptions options;
  options.linked = linkedStereo_.load(std::memory_order_relaxed);
  options.attacks = attacksKept_.load(std::memory_order_relaxed);
  options.finePeaks = finePeaks_.load(std::memory_order_relaxed);
  options.lean = lean_.load(std::memory_order_relaxed);
  const double ratio = resampler_ != nullptr ? resampler_->ratio() : 1.0;
  formants_.setTarget(formantsKept_.load(std::memory_order_relaxed), ratio);
  if (formants_.active()) options.formants = &formants_;
  vocoder_.processTogether(inLeft_.get(), mono ? nullptr : inRight_.get(), samplesIn,
                           outLeft_.get(), mono ? nullptr : outRight_.get(), step, options);
}

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
void Engine::fadeRightToLeft(bool folding, int samplesOut) {
  if (!folding) {
    foldRunning_ = false;
    return;
  }
  if (!foldRunning_) foldFadeDone_ = 0;
  foldRunning_ = true;
  if (foldFadeDone_ >= frameSize_) return;
  float* left = outLeft_.get();
  float* right = outRight_.get();
  for (int i = 0; i < samplesOut; i++) {
    const float t = std::min(1.0f, static_cast<float>(foldFadeDone_ + i + 1) / frameSize_);
    right[i] += (left[i] - right[i]) * t;
  }
  foldFadeDone_ += samplesOut;
  if (foldFadeDone_ >= frameSize_) vocoder_.copyChannel(0, 1);
}

Engine::Engine() { vocoder_.connect(&equaliser_, &spectrum_); }
Engine::~Engine() = default;

Engine& dsp_default_engine() {
  static Engine engine;
  return engine;
}

void Engine::init(int pFrameSize, int pOverSampling, int pSampleRate, int pChannels) {
  channels_ = pChannels;
  overSampling_ = pOverSampling;
  sampleRate_ = pSampleRate;
  frameSize_ = pFrameSize;
  voiceFilters_.init();
  voiceRemovalRunning_ = false;
  foldRunning_ = false;
  foldFadeDone_ = 0;
  // The analyser folds any channel count but 1 as stereo, as the driver does.
  spectrum_.init(sampleRate_, channels_ == 1 ? 1 : 2);
  equaliser_.init(frameSize_ / 2);
  vocoder_.init(frameSize_, frameSize_ / overSampling_);
  formants_.init(frameSize_, frameSize_ / overSampling_, sampleRate_);
  levelKeeper_.init(sampleRate_, frameSize_ - frameSize_ / overSampling_, frameSize_);
  rampFrames_ =
      static_cast<int>(std::clamp<int64_t>(std::llround(0.02 * sampleRate_), 1, maxBlockFrames));
  stageStarted_ = false;
  const int channels = channelCount();
  const std::lock_guard<std::mutex> turn(resamplerTurn_);
  if (resampler_ == nullptr || resampler_->channels() != channels) {
    const double ratio = resampler_ != nullptr ? resampler_->ratio() : 1.0;
    resampler_ = Resampler::create(channels, ratio);
    // The stage's buffers hold interleaved frames of the old channel count.
    stageIn_.reset();
    stageOut_.reset();
    stageInFrames_ = stageOutFrames_ = 0;
  } else {
    resampler_->reset();
  }
  initialized_ = true;
}

// Acquire and release order the writes of an admitted call before whatever the next
// admitted call reads, whichever thread makes it.
DspCall Engine::admit(DspCall call) {
  int underWay = DSP_CALL_NONE;
  if (callUnderWay_.compare_exchange_strong(underWay, call, std::memory_order_acquire,
                                            std::memory_order_relaxed)) {
    return DSP_CALL_NONE;
  }
  return static_cast<DspCall>(underWay);
}

void Engine::release() { callUnderWay_.store(DSP_CALL_NONE, std::memory_order_release); }

int Engine::stepOut(int samplesIn, int samplesOut) const {
  // hop x samplesOut / samplesIn truncated, in exact integer arithmetic: a block of
  // k hops in and k x s frames out gives s back for every hop length, where a
  // quotient rounded to floating point first could come out one short.
  const int64_t hop = frameSize_ / overSampling_;
  const int64_t step = samplesOut > 0 ? hop * samplesOut / samplesIn : 0;
  return static_cast<int>(std::clamp<int64_t>(step, 1, frameSize_));
}

bool Engine::ensureWorkBuffers(int samplesIn, int64_t needOut) {
  int64_t needIn = samplesIn;
  if (inLeft_ == nullptr) {
    // First block: room for blocks of up to 4x its frames in and 8x out.
    needIn = 4 * static_cast<int64_t>(samplesIn);
    needOut = std::max<int64_t>(needOut, 8 * static_cast<int64_t>(samplesIn));
  }
  if (needIn > inCapacity_) {
    if (!growBuffer(&inLeft_, inCapacity_, needIn) || !growBuffer(&inRight_, inCapacity_, needIn)) {
      return false;
    }
    inCapacity_ = needIn;
  }
  if (needOut > outCapacity_) {
    if (!growBuffer(&outLeft_, outCapacity_, needOut) ||
        !growBuffer(&outRight_, outCapacity_, needOut) ||
        !growBuffer(&outTone_, outCapacity_, needOut)) {
      return false;
    }
    outCapacity_ = needOut;
  }
  return true;
}

// Everything before the output stage: the block's samplesIn frames converted, remixed,
// filtered and run through the vocoder at hop step into outLeft_ / outRight_ (with the
// tone gain beside them in outTone_ when level keeping or the stage asks for it), and
// level kept. *written receives the frames this block's vocoder calls wrote, up to
// samplesOut.
DspStatus Engine::synthesise(const short* samples, int samplesIn, int step, int samplesOut,
                             bool stage, int* written) {
  const bool mono = channels_ == 1;
  // Both channels go through the vocoder from the left one's place in the stream.
  const int framesDue = vocoder_.framesDue(samplesIn, 0);
  if (!ensureWorkBuffers(samplesIn,
                         std::max<int64_t>(samplesOut, static_cast<int64_t>(framesDue) * step))) {
    return DSP_OUT_OF_MEMORY;
  }
  if (stage && !ensureStageBuffers()) return DSP_OUT_OF_MEMORY;
  float* const inLeft = inLeft_.get();
  float* const inRight = inRight_.get();
  float* const outLeft = outLeft_.get();
  float* const outRight = outRight_.get();
  const bool keepLevel = levelKept_.load(std::memory_order_relaxed);
  vocoder_.handOutToneGain(keepLevel || stage ? outTone_.get() : nullptr);
  const bool tap = spectrumTap_.load(std::memory_order_relaxed);
  vocoder_.connect(&equaliser_, tap ? nullptr : &spectrum_);

  const DspKernels* const kernels = dsp_simd_kernels(activePath.get());
  const bool plainLoops = kernels == nullptr;
  if (mono) {
    if (plainLoops) {
      for (int i = 0; i < samplesIn; i++) inLeft[i] = samples[i] * dspInputScale;
    } else {
      convertMono(kernels, samples, inLeft, samplesIn);
    }
    runVocoder(samplesIn, step, true);
  } else {
    // Levels outside 0..100 are used as they come, so the differences are formed in
    // double: 50 - p overflows an int for p near INT_MIN.
    const double p = panningLevel_.load(std::memory_order_relaxed);
    const float leftFromLeft = static_cast<float>(std::min(p, 50.0) / 50.0);
    const float leftFromRight = p < 50 ? static_cast<float>((50.0 - p) / 50.0) : 0.0f;
    const float rightFromLeft = p < 50 ? 0.0f : static_cast<float>((p - 50.0) / 50.0);
    const float rightFromRight = p < 50 ? 1.0f : static_cast<float>((100.0 - p) / 50.0);
    const bool remix = panningActive_.load(std::memory_order_relaxed) != 0;
    const bool fold = monoActive_.load(std::memory_order_relaxed) != 0;
    const double amount = voiceRemovalAmount_.load(std::memory_order_relaxed);
    const bool removeVoice = voiceRemovalEnabled_.load(std::memory_order_relaxed) && amount > 0;
    if (removeVoice && !voiceRemovalRunning_) {
      // The filters only run while voice removal is on: start them afresh rather
      // than from what they held when it was last switched off.
      voiceFilters_.clearHistory(0);
      voiceFilters_.clearHistory(1);
    }
    // Between two blocks that both remove the voice, a new amount glides in over
    // the block, from the amount the last block ended with to the new one at its
    // last frame, so that the host can move the amount without a click. The first
    // block after switching on uses its amount throughout.
    const double amountFrom =
        voiceRemovalRunning_ && removeVoice ? voiceRemovalAmountApplied_ : amount;
    const double amountStep = (amount - amountFrom) / samplesIn;
    voiceRemovalRunning_ = removeVoice;
    voiceRemovalAmountApplied_ = amount;
    if (!remix && !removeVoice && !plainLoops) {
      convertStereo(kernels, samples, inLeft, inRight, samplesIn);
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
          const double filteredRight = voiceFilters_.step(0, right);
          inLeft[i] = removeFiltered(left, filteredRight, frameAmount);
          const double filteredLeft = voiceFilters_.step(1, left);
          inRight[i] = removeFiltered(right, filteredLeft, frameAmount);
        } else {
          inLeft[i] = left * dspInputScale;
          inRight[i] = right * dspInputScale;
        }
      }
    }
    runVocoder(samplesIn, step, false);
    fadeRightToLeft(remix && fold, samplesOut);
  }

  // Only the frames this block's vocoder calls wrote: any past them are the buffers'
  // earlier contents, already measured and shown.
  const int done =
      static_cast<int>(std::min<int64_t>(samplesOut, static_cast<int64_t>(framesDue) * step));
  if (tap) spectrum_.tap(outLeft, mono ? nullptr : outRight, done);
  if (keepLevel) {
    // The equaliser shapes the output on purpose: judge the input as it shapes it.
    double before, after;
    const double shaping = vocoder_.takeEqualiserEnergy(&before, &after) ? after / before : 1.0;
    levelKeeper_.apply(inLeft, mono ? nullptr : inRight, samplesIn, shaping, outLeft,
                       mono ? nullptr : outRight, outTone_.get(), done, frameSize_ / 2.0,
                       lean_.load(std::memory_order_relaxed));
  } else if (stage) {
    // Level keeping counts the equaliser's energy; without it, it is dropped here so
    // that it cannot pile up for a later switch-on.
    double before, after;
    vocoder_.takeEqualiserEnergy(&before, &after);
  }
  *written = done;
  return DSP_OK;
}

DspStatus Engine::process(short* samples, int samplesIn, int samplesOut) {
  if (!initialized_) return DSP_NOT_INITIALIZED;
  if (samplesIn <= 0 || samplesOut < 0) {
    maxLevelAcum_.store(0.0, std::memory_order_relaxed);
    return DSP_OK;
  }
  if (samplesIn > maxBlockFrames || samplesOut > maxBlockFrames) return DSP_OUT_OF_MEMORY;
  const bool mono = channels_ == 1;
  const int step = stepOut(samplesIn, samplesOut);
  const bool ownStage = outputStage_.load(std::memory_order_relaxed);
  DenormalGuard denormalGuard;
  int written = 0;
  const DspStatus status = synthesise(samples, samplesIn, step, samplesOut, ownStage, &written);
  if (status != DSP_OK) return status;
  if (ownStage) {
    correctOverlap(samplesOut, written, step);
    maxLevelAcum_.store(limitStage(stageIn_.get(), samplesOut, samples), std::memory_order_relaxed);
    return DSP_OK;
  }
  const float norm = static_cast<float>(frameSize_) / static_cast<float>(2 * step);
  const float* const outLeft = outLeft_.get();
  const float* const outRight = outRight_.get();
  const double k = limiterSlope(mono);
  const DspOutputStage stage{norm, preamp_.load(std::memory_order_relaxed), k,
                             limiterTurningPoint(k)};
  double peak = 0.0;
  int done = 0;
  if (const DspKernels* kernels = dsp_simd_kernels(activePath.get())) {
    done = kernels->quantise(samples, outLeft, outRight, samplesOut, mono, stage, &peak);
  }
  peak = quantiseFrames(samples, outLeft, outRight, done, samplesOut, mono, stage, peak);
  maxLevelAcum_.store(peak, std::memory_order_relaxed);
  return DSP_OK;
}

bool Engine::ensureStageBuffers() {
  const int channels = channelCount();
  if (outCapacity_ > stageInFrames_) {
    if (!freshBuffer(&stageIn_, outCapacity_ * channels)) return false;
    stageInFrames_ = outCapacity_;
  }
  // Converted frames: the most a block of outCapacity_ vocoder frames gives at the
  // lowest ratio.
  const int64_t room = Resampler::maxOutputFrames(
      static_cast<int>(std::min<int64_t>(outCapacity_, maxBlockFrames)), Resampler::kMinRatio);
  if (room < 0) return false;
  if (room > stageOutFrames_) {
    if (!freshBuffer(&stageOut_, room * channels)) return false;
    stageOutFrames_ = room;
  }
  return true;
}

// The vocoder's frames [0, frames) into stageIn_, interleaved, each divided by the
// weight the frames laid over it give a steady tone (winSize / 2 x its tone gain), the
// factor capped at maxOverlapCorrection times a steady hop's 8 step / (3 winSize).
// Frames from `written` on, which this block's vocoder did not reach, are silent.
void Engine::correctOverlap(int frames, int written, int step) {
  const bool mono = channels_ == 1;
  const double scale = frameSize_ / 2.0;
  const double cap = maxOverlapCorrection * 8.0 * step / (3.0 * frameSize_);
  const float* const left = outLeft_.get();
  const float* const right = outRight_.get();
  const float* const tone = outTone_.get();
  float* const dst = stageIn_.get();
  int i = 0;
  if (const DspKernels* kernels = dsp_simd_kernels(activePath.get())) {
    i = kernels->correctOverlap(dst, left, right, tone, written, mono, scale, cap);
  }
  for (; i < written; i++) {
    const double weight = tone[i] * scale;
    const double factor = weight * cap > 1.0 ? 1.0 / weight : cap;
    if (mono) {
      dst[i] = static_cast<float>(left[i] * factor);
    } else {
      dst[2 * i] = static_cast<float>(left[i] * factor);
      dst[2 * i + 1] = static_cast<float>(right[i] * factor);
    }
  }
  const int channels = mono ? 1 : 2;
  std::fill(dst + static_cast<int64_t>(written) * channels,
            dst + static_cast<int64_t>(frames) * channels, 0.0f);
}

// The end of the engine's stage over `frames` interleaved frames: the gain (gliding to
// a new value over rampFrames_), peak, soft limit and rounding into out. Returns the
// peak.
double Engine::limitStage(const float* in, int frames, short* out) {
  const bool mono = channels_ == 1;
  const int channels = mono ? 1 : 2;
  const double target = gain_.load(std::memory_order_relaxed);
  if (!stageStarted_) {
    stageStarted_ = true;
    gainNow_ = gainFrom_ = gainTo_ = target;
    gainDone_ = rampFrames_;
  } else if (target != gainTo_) {
    gainFrom_ = gainNow_;
    gainTo_ = target;
    gainDone_ = 0;
  }
  const double k = limiterSlope(mono);
  const double turningPoint = limiterTurningPoint(k);
  double peak = 0.0;
  const int64_t samples = static_cast<int64_t>(frames) * channels;
  for (int64_t i = 0; i < samples; i += channels) {
    // No glide under way: the rest at one gain.
    if (gainDone_ >= rampFrames_) {
      return limitSteady(in + i, static_cast<int>(samples - i), {gainNow_, k, turningPoint},
                         out + i, peak);
    }
    gainDone_++;
    // A smooth step, t^2 (3 - 2 t): it leaves and reaches its ends flat, so that the
    // change has no corner to splash above the music.
    const double t = static_cast<double>(gainDone_) / rampFrames_;
    gainNow_ = gainDone_ == rampFrames_ ? gainTo_
                                        : gainFrom_ + (gainTo_ - gainFrom_) * t * t * (3 - 2 * t);
    for (int c = 0; c < channels; c++) {
      const double v = gainNow_ * in[i + c];
      const double a = std::fabs(v);
      if (a > peak) peak = a;
      out[i + c] = limitAndRound(v, a, k, turningPoint);
    }
  }
  return peak;
}

int Engine::stageRoom(int samplesIn, int step) const {
  if (!initialized_ || samplesIn < 0 || samplesIn > maxBlockFrames || step < 1 ||
      step > frameSize_) {
    return -1;
  }
  const int64_t frames =
      samplesIn > 0 ? static_cast<int64_t>(vocoder_.framesDue(samplesIn, 0)) * step : 0;
  if (frames > maxBlockFrames) return -1;
  return Resampler::maxOutputFrames(static_cast<int>(frames), Resampler::kMinRatio);
}

int Engine::processStage(const short* samples, int samplesIn, int step, short* out, int outCapacity,
                         float* peak, int skip, int keep) {
  if (peak != nullptr) *peak = 0.0f;
  const int room = stageRoom(samplesIn, step);
  if (room < 0 || samplesIn <= 0 || outCapacity < room || resampler_ == nullptr || skip < 0 ||
      keep < 0) {
    return -1;
  }
  const int frames = vocoder_.framesDue(samplesIn, 0) * step;
  DenormalGuard denormalGuard;
  int written = 0;
  if (synthesise(samples, samplesIn, step, frames, true, &written) != DSP_OK) return -1;
  correctOverlap(frames, written, step);
  const int from = std::min(skip, frames);
  const int kept = std::min(keep, frames - from);
  const float* const keptIn = stageIn_.get() + static_cast<int64_t>(from) * channelCount();
  // The key change: unconverted until the ratio first leaves 1, converted from then on.
  const float* stageOut = keptIn;
  int made = kept;
  if (resampler_->ratio() != 1.0 || resampler_->engaged()) {
    made = resampler_->process(keptIn, kept, stageOut_.get(), static_cast<int>(stageOutFrames_));
    if (made < 0) return -1;  // not reached: the room is sized for the lowest ratio
    stageOut = stageOut_.get();
  } else {
    resampler_->pass(keptIn, kept);
  }
  const double level = limitStage(stageOut, made, out);
  maxLevelAcum_.store(level, std::memory_order_relaxed);
  if (peak != nullptr) *peak = static_cast<float>(std::min<double>(level, FLT_MAX));
  return made;
}

int Engine::finishStage(short* out, int outCapacity) {
  if (!initialized_ || stageOut_ == nullptr || resampler_ == nullptr) return 0;
  const int room = Resampler::maxOutputFrames(0, Resampler::kMinRatio);
  if (outCapacity < room) return -1;
  DenormalGuard denormalGuard;
  const int made = resampler_->finish(stageOut_.get(), static_cast<int>(stageOutFrames_));
  if (made <= 0) return 0;
  maxLevelAcum_.store(limitStage(stageOut_.get(), made, out), std::memory_order_relaxed);
  return made;
}

bool dsp_select_path(DspPath path) { return activePath.select(path); }

DspPath dsp_path() { return static_cast<DspPath>(activePath.get()); }

const char* dsp_path_target() { return activePath.target(); }

float Engine::maxLevel() const {
  // A finite peak beyond the float range (a huge pre-amplifier) reads as the largest
  // float rather than an out-of-range conversion; an infinite one stays infinite.
  const double peak = maxLevelAcum_.load(std::memory_order_relaxed);
  if (peak > FLT_MAX && std::isfinite(peak)) return FLT_MAX;
  return static_cast<float>(peak);
}

void Engine::setPreamp(float value) { preamp_.store(value, std::memory_order_relaxed); }

void Engine::setPanning(int active, int mono, int level) {
  panningActive_.store(active, std::memory_order_relaxed);
  monoActive_.store(mono, std::memory_order_relaxed);
  panningLevel_.store(level, std::memory_order_relaxed);
}

void Engine::setVoiceRemovalEnabled(bool enabled) {
  voiceRemovalEnabled_.store(enabled, std::memory_order_relaxed);
}

void Engine::setVoiceRemovalAmount(float amount) {
  voiceRemovalAmount_.store(amount, std::memory_order_relaxed);
}

void Engine::setLinkedStereo(bool enabled) {
  linkedStereo_.store(enabled, std::memory_order_relaxed);
}

void Engine::setAttacks(bool enabled) { attacksKept_.store(enabled, std::memory_order_relaxed); }

void Engine::setFormantsKept(bool kept) { formantsKept_.store(kept, std::memory_order_relaxed); }

void Engine::setFinePeaks(bool enabled) { finePeaks_.store(enabled, std::memory_order_relaxed); }

void Engine::setLevelKeeping(bool enabled) { levelKept_.store(enabled, std::memory_order_relaxed); }

void Engine::setLean(bool enabled) {
  lean_.store(enabled, std::memory_order_relaxed);
  spectrum_.setLean(enabled);
}

void Engine::setOutputStage(bool on) { outputStage_.store(on, std::memory_order_relaxed); }

void Engine::setGain(float linear) {
  const float gain = std::isnan(linear) ? 0.0f : std::clamp(linear, -maxStageGain, maxStageGain);
  gain_.store(gain, std::memory_order_relaxed);
}

bool Engine::setPitchRatio(double ratio) {
  const std::lock_guard<std::mutex> turn(resamplerTurn_);
  return resampler_ != nullptr && resampler_->setRatio(ratio);
}

void Engine::setSpectrumTap(bool enabled) {
  spectrumTap_.store(enabled, std::memory_order_relaxed);
}

void Engine::setEqBands(const float* levels) {
  const int bands = equaliser_.size();
  if (bands <= 0) return;
  std::vector<float> gains(levels, levels + bands);
  for (float& g : gains) {
    if (std::isnan(g)) {
      g = 0.0f;
    } else {
      g = std::clamp(g, -maxEqGain, maxEqGain);
    }
  }
  equaliser_.setBands(gains.data());
}

size_t Engine::bytes() const {
  return sizeof(Engine) + vocoder_.bytes() + formants_.bytes() +
         sizeof(float) * static_cast<size_t>(2 * inCapacity_ + 3 * outCapacity_) +
         sizeof(float) * static_cast<size_t>(channelCount() * (stageInFrames_ + stageOutFrames_)) +
         sizeof(float) * static_cast<size_t>(equaliser_.size());
}
