// dsp: the block driver. One Engine is one stream: it owns every module the stream
// runs (voice filters, equaliser, vocoder with its FFT and attack keeper, analyser,
// level keeper), its settings and its work buffers, and two engines share no mutable
// byte, so a host may run as many as it likes, each on its own thread. The raw
// NativeInterface drives one default engine (dsp_default_engine(), reached through
// the dsp_*() functions below); NativeEngine drives engines of its own
// (dsp_jni.cpp). The JNI entry points reach the Java arrays, check arguments and
// call plain C++ here, so that tests, fuzz targets and benchmarks run without a JVM;
// the vector conversions and output stage live in dsp_simd.cpp.
//
// init() sets every module up for one stream format (allocates; never while a block
// is processed). process() turns one block of 16-bit PCM, mono or interleaved
// stereo, into the requested number of frames in place: conversion to float,
// balance or mono remix, voice removal, time-scaling per channel, overlap
// normalisation and output gain, peak measurement, soft limit, clamp, quantisation.
// The engine's own output stage (setOutputStage(), processStage()) replaces that last
// part with an overlap correction from the frames really laid, a gliding gain and the
// key change, before the same soft limit.
// It runs on the audio thread: no lock, no trigonometry per sample, and no
// allocation except that the work buffers grow when a block needs more room than
// any block before it (the first block allocates them).
//
// Settings written by a control thread are relaxed atomics and take effect no later
// than the next block.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include "cpu.h"
#include "eq.h"
#include "formants.h"
#include "iirfilter.h"
#include "levelkeeper.h"
#include "resampler.h"
#include "spectrum.h"
#include "vocoder.h"

enum DspStatus {
  DSP_OK = 0,
  DSP_NOT_INITIALIZED,  // process() before a successful init()
  DSP_OUT_OF_MEMORY,    // the work buffers could not grow for this block, or it is
                        // longer than 2^28 frames in or out
};

// Checks a stream format. Returns true when init() accepts it; otherwise writes a
// message naming the first bad argument and its allowed range into msg.
// frameSize: power of two 4..4096; overSampling: 1..frameSize; sampleRate: >= 4 Hz.
bool dsp_check_init(int frameSize, int overSampling, int sampleRate, char* msg, size_t msgSize);

// Calls that must not overlap on one engine: init() rewrites every module that a block
// reads, and two blocks at once would share the work buffers and each channel's state.
// The JNI entry points admit one such call per engine at a time: admit() admits the
// caller and returns DSP_CALL_NONE when no other call is under way; otherwise it admits
// nothing and returns the kind of call under way, which the caller refuses. release()
// ends the admitted call. One compare-and-set and one store, so the audio thread never
// waits. The engine's own functions do not check: tests, benchmarks and fuzz targets
// call them from one thread.
enum DspCall { DSP_CALL_NONE, DSP_CALL_PROCESS, DSP_CALL_INIT };

// The driver's code paths for the conversions around the vocoder (the values of
// CpuPath), chosen for every engine of the process: DSP_PATH_REFERENCE runs plain
// loops; DSP_PATH_BASELINE (128-bit vectors: SSSE3 on x86-64, NEON on aarch64) and
// DSP_PATH_AVX2 convert the 16-bit input (and split stereo into its channels) and
// normalise, limit and quantise the output a vector at a time. All three give the
// same bits.
// DSP_PATH_BEST stands for the fastest path the CPU runs.
enum DspPath { DSP_PATH_REFERENCE, DSP_PATH_BASELINE, DSP_PATH_AVX2, DSP_PATH_BEST };

// Use this path in every later block (for tests and benchmarks; not during a block).
// Returns false, changing nothing, when the CPU cannot run it. Without a call, the
// first init() selects DSP_PATH_BEST.
bool dsp_select_path(DspPath path);

// The path in use: DSP_PATH_REFERENCE, DSP_PATH_BASELINE or DSP_PATH_AVX2.
DspPath dsp_path();

// The instruction set the path in use runs on: "scalar", "SSSE3", "AVX2" or
// "NEON" (see cpu_path_target()).
const char* dsp_path_target();

// How the module's vector kernels are written (see cpu.h).
constexpr CpuKernels dspKernels = CPU_KERNELS_PORTABLE;

class Engine {
 public:
  Engine();
  ~Engine();
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  // Sets every module up for the format; the arguments must pass dsp_check_init().
  // channels: 1 = mono, any other value = interleaved stereo. The voice filters and
  // the equaliser table are set up by the first call only (a loaded filter and the
  // table survive a change of format).
  void init(int frameSize, int overSampling, int sampleRate, int channels);
  bool initialized() const { return initialized_; }

  DspCall admit(DspCall call);
  void release();

  // 1 for a mono stream, 2 for stereo (as interleaved in the host's array).
  int channelCount() const { return channels_ == 1 ? 1 : 2; }
  int frameSize() const { return frameSize_; }

  // Processes one block in place: samples holds samplesIn frames on entry and
  // samplesOut frames on return, so it has room for the larger of the two (times two
  // in stereo). samplesIn <= 0 or samplesOut < 0 writes nothing and sets the peak to 0.
  DspStatus process(short* samples, int samplesIn, int samplesOut);

  // Synthesis hop for a block of samplesIn frames in and samplesOut frames out:
  // frameSize / overSampling * samplesOut / samplesIn, clamped to 1..frameSize.
  // Requires a successful init() and samplesIn > 0.
  int stepOut(int samplesIn, int samplesOut) const;

  // Peak absolute level of the last block, before the limiter (1.0 = full scale).
  // Never NaN or negative; finite while the pre-amplifier is finite (a finite peak
  // past the float range reads as FLT_MAX). Any thread.
  float maxLevel() const;

  // Control settings; any thread.
  void setPreamp(float preamp);  // linear gain
  void setPanning(int panningActive, int monoActive,
                  int panningLevel);  // level 0..100, 50 = unchanged
  // Voice removal: each channel less amount x the opposite channel through the voice
  // filter (voiceFilters().load()). Where the filter's result is not finite or lies
  // past 2^26 full scales (NaN, infinite or huge coefficients, an unstable design),
  // that sample of the channel passes unfiltered until the host replaces the filter.
  void setVoiceRemovalEnabled(bool enabled);
  void setVoiceRemovalAmount(float amount);  // weight of the filtered opposite channel

  // Refinements beyond the plain phase vocoder, each off until switched on, taking
  // effect from the next block (see vocoder.h and the modules named):
  // - linked stereo: the two channels share their peaks and phase turns, so that every
  //   bin keeps the phase difference the input had between left and right (a centred
  //   sound stays exactly centred, L = -R stays so); a stream fed mono ignores it;
  // - attacks: attacks keep their edge at any stretch (attacks.h);
  // - fine peaks: a peak need only stand above its next bin on each side, so that
  //   partials two bins apart (low notes) keep their own phases;
  // - level keeping: the mid and the side of the output are kept at the input's level
  //   (levelkeeper.h).
  // Switching one while a stream plays may turn the phases of its bins at once for one
  // frame; the output stays continuous in level.
  void setLinkedStereo(bool enabled);
  void setAttacks(bool enabled);
  void setFinePeaks(bool enabled);
  void setLevelKeeping(bool enabled);

  // Lean maths, off until switched on (a processor's engine turns it on; the raw
  // interface never does): on the fast paths the vocoder's frames take the real-input
  // transforms of half the size (realfft.h), the analyser correlates in float
  // (spectrum.h) and the level keeper sums its energies in four running sums
  // (levelkeeper.h), for the same sound within float rounding and a good share less work.
  // Any thread; from the next block.
  void setLean(bool enabled);

  // Formants kept through the key change (formants.h): off (the initial state), the
  // key change moves the spectral envelope with the pitch; on, each vocoder frame is
  // reshaped so that after the key change of setPitchRatio() the envelope stands where
  // it stood in the input. A switch fades in or out over two frame lengths. Any thread;
  // from the next block.
  void setFormantsKept(bool kept);

  // The analyser as a tap on the output (on) instead of fed frame by frame inside the
  // vocoder (off, the initial state): it then takes every 4th frame of the stream
  // whatever the block and hop sizes, both channels folded frame by frame, after the
  // mono fold's hand-over. Takes effect from the next block. Any thread.
  void setSpectrumTap(bool enabled);

  // Equaliser gains (linear, one per bin): copies equaliser().size() values from
  // levels, each clamped to +-1e6 (+120 dB), NaN taken as 0. Control thread (allocates
  // a copy); nothing before the first init().
  void setEqBands(const float* levels);

  // The modules a control thread reaches directly: the voice filters' coefficients,
  // the equaliser's switch and size, the analyser's switch and bands.
  IirFilters& voiceFilters() { return voiceFilters_; }
  Equaliser& equaliser() { return equaliser_; }
  SpectrumAnalyser& spectrum() { return spectrum_; }
  // The vocoder (tests and benchmarks).
  Vocoder& vocoder() { return vocoder_; }

  // The engine's own output stage, off until switched on (any thread; from the next
  // block). Off, process() ends with the raw stage: divide by frameSize / (2 stepOut),
  // pre-amplifier, peak, soft limit, truncation to 16 bits. On, process() ends instead
  // with, per output frame:
  // 1. the overlap correction: each sample divided by frameSize / 2 x the tone gain the
  //    vocoder hands out beside it (the frames really laid there), so that a steady
  //    tone of amplitude A leaves at A whatever the hops were; the factor is capped at
  //    64 times the one of a steady hop (3 / (4 stepOut) of tone gain), where few
  //    frames overlap yet (the start of a stream);
  // 2. the key change (processStage() only, see setPitchRatio());
  // 3. the gain of setGain() (the pre-amplifier is the raw stage's and not applied);
  // 4. peak measurement, the raw stage's soft limiter and one conversion to 16 bits,
  //    rounded to nearest.
  // Frames past those the vocoder wrote in the block leave silent. Level keeping, when
  // on, applies before the stage, as before the raw one. The stage's buffers are
  // allocated by the first block that runs it.
  void setOutputStage(bool on);

  // Gain of the output stage, linear (initially 1; NaN taken as 0, clamped to +-1e6).
  // The first block of a stream takes it at once; afterwards each new value is reached
  // by a smooth glide over rampFrames() output frames (20 ms at the stream rate) from
  // the gain applied when it arrives, frame k of the glide at from + (to - from) x
  // s(t), t = (k + 1) / rampFrames(), s(t) = t^2 (3 - 2 t). Any thread; from the next
  // block.
  void setGain(float linear);
  int rampFrames() const { return rampFrames_; }

  // Key change of processStage(): ratio input frames per output frame (0.25 .. 4), so a
  // tone's frequency comes out times ratio and the stream's length divided by it (the
  // ratio is the pitch factor; the vocoder stretches by it beforehand). While the ratio
  // is 1 and has never been anything else in the stream the frames pass unconverted;
  // once converted, the stream stays in the converter until finishStage() or init(), so
  // that a return to 1 runs on without a jump. Returns false, changing nothing, for a
  // ratio out of range or before the first init(). Control thread (allocates the
  // converter's filter), also while init() runs on another.
  bool setPitchRatio(double ratio);

  // One block through the output stage with the key change: samplesIn frames of 16-bit
  // input (interleaved in stereo), synthesised at hop stepOut (1..frameSize), limited and
  // quantised into out, which has room for outCapacity frames, at least
  // stageRoom(samplesIn, stepOut). Of the block's vocoder frames, the first `skip` are
  // dropped and at most `keep` after them go on to the key change (a stream's latency
  // and its end, cut before the converter so that they count vocoder frames). Returns
  // the frames written, or -1 (nothing of the stream taken, peak 0) before init(), for
  // an argument out of range, too little room or when the buffers cannot grow. *peak (if
  // not null) and maxLevel() receive the peak before the limiter of the frames written.
  // Runs the stage whether or not it is switched on for process().
  int processStage(const short* samples, int samplesIn, int stepOut, short* out, int outCapacity,
                   float* peak, int skip = 0, int keep = INT32_MAX);

  // Room in frames that processStage() needs for a block of samplesIn frames at hop
  // stepOut, at any ratio setPitchRatio() accepts; -1 before init() or for arguments out
  // of range. Audio thread, before the block (it depends on the vocoder's position).
  int stageRoom(int samplesIn, int stepOut) const;

  // Ends the stream of processStage(): writes the frames the converter still holds
  // through the rest of the stage into out (room outCapacity frames, at least
  // stageRoom(0, 1)) and readies it for a new stream. Returns the frames written (0 when
  // the stream never went through the converter), or -1 for too little room.
  int finishStage(short* out, int outCapacity);

  // Native memory this engine holds, in bytes (its own buffers; the tables shared by
  // every engine of a frame size or rate are not counted).
  size_t bytes() const;

 private:
  bool ensureWorkBuffers(int samplesIn, int64_t needOut);
  bool ensureStageBuffers();
  DspStatus synthesise(const short* samples, int samplesIn, int step, int samplesOut, bool stage,
                       int* written);
  void correctOverlap(int frames, int written, int step);
  double limitStage(const float* in, int frames, short* out);
  void runVocoder(int samplesIn, int step, bool mono);
  void fadeRightToLeft(bool folding, int samplesOut);

  // Stream format, written only by init(), which never overlaps a block.
  int frameSize_ = 0;
  int overSampling_ = 0;
  int sampleRate_ = 0;
  int channels_ = 0;
  bool initialized_ = false;

  // Settings written by a control thread, read once per block.
  std::atomic<float> preamp_{1.0f};
  std::atomic<int> panningActive_{0};
  std::atomic<int> monoActive_{0};
  std::atomic<int> panningLevel_{0};
  std::atomic<bool> voiceRemovalEnabled_{false};
  std::atomic<float> voiceRemovalAmount_{0.0f};
  std::atomic<bool> linkedStereo_{false};
  std::atomic<bool> attacksKept_{false};
  std::atomic<bool> finePeaks_{false};
  std::atomic<bool> levelKept_{false};
  std::atomic<bool> lean_{false};
  std::atomic<bool> formantsKept_{false};
  std::atomic<bool> spectrumTap_{false};
  std::atomic<bool> outputStage_{false};
  std::atomic<float> gain_{1.0f};

  // Whether the last stereo block ran the voice-removal filters, and with which amount
  // it ended (audio thread only).
  bool voiceRemovalRunning_ = false;
  double voiceRemovalAmountApplied_ = 0.0;

  // The mono fold of the last stereo block, and how far the right channel's output has
  // faded over to the left one's since the fold came on (audio thread only).
  bool foldRunning_ = false;
  int foldFadeDone_ = 0;

  // The call admitted by admit(), DSP_CALL_NONE while none is under way.
  std::atomic<int> callUnderWay_{DSP_CALL_NONE};

  // Result of the last block, read by a control thread.
  std::atomic<double> maxLevelAcum_{0.0};

  // Work buffers: created by the first block (4x its samplesIn for input, 8x for
  // output), grown only when a later block needs more room.
  std::unique_ptr<float[]> inLeft_, inRight_, outLeft_, outRight_;
  std::unique_ptr<float[]> outTone_;  // the vocoder's tone gain beside each output frame
  int64_t inCapacity_ = 0;
  int64_t outCapacity_ = 0;

  // The output stage: its gain glide (audio thread; init() starts a stream afresh), the
  // key change's converter (made by init()) and its buffers of interleaved frames, the
  // overlap-corrected vocoder output (outCapacity_ frames) and the converted frames
  // (room for outCapacity_ frames in at the lowest ratio).
  int rampFrames_ = 1;
  bool stageStarted_ = false;
  double gainNow_ = 1.0, gainFrom_ = 1.0, gainTo_ = 1.0;
  int gainDone_ = 0;  // frames of the glide done; rampFrames_ when none is under way
  std::unique_ptr<Resampler> resampler_;
  std::mutex resamplerTurn_;  // init() replacing resampler_ against setPitchRatio()
  std::unique_ptr<float[]> stageIn_, stageOut_;
  int64_t stageInFrames_ = 0;
  int64_t stageOutFrames_ = 0;

  IirFilters voiceFilters_;
  Equaliser equaliser_;
  SpectrumAnalyser spectrum_;
  Vocoder vocoder_;
  FormantKeeper formants_;
  LevelKeeper levelKeeper_;
};

// The raw NativeInterface's stream: one engine for the process, made on first use.
Engine& dsp_default_engine();

// The default engine's calls, as the raw interface makes them.
inline void dsp_init(int frameSize, int overSampling, int sampleRate, int channels) {
  dsp_default_engine().init(frameSize, overSampling, sampleRate, channels);
}
inline bool dsp_is_initialized() { return dsp_default_engine().initialized(); }
inline DspCall dsp_admit(DspCall call) { return dsp_default_engine().admit(call); }
inline void dsp_release() { dsp_default_engine().release(); }
inline int dsp_channel_count() { return dsp_default_engine().channelCount(); }
inline DspStatus dsp_process(short* samples, int samplesIn, int samplesOut) {
  return dsp_default_engine().process(samples, samplesIn, samplesOut);
}
inline int dsp_step_out(int samplesIn, int samplesOut) {
  return dsp_default_engine().stepOut(samplesIn, samplesOut);
}
inline float dsp_get_max_level() { return dsp_default_engine().maxLevel(); }
inline void dsp_set_preamp(float preamp) { dsp_default_engine().setPreamp(preamp); }
inline void dsp_set_panning(int panningActive, int monoActive, int panningLevel) {
  dsp_default_engine().setPanning(panningActive, monoActive, panningLevel);
}
inline void dsp_set_voice_removal_enabled(bool enabled) {
  dsp_default_engine().setVoiceRemovalEnabled(enabled);
}
inline void dsp_set_voice_removal_amount(float amount) {
  dsp_default_engine().setVoiceRemovalAmount(amount);
}
inline void dsp_set_linked_stereo(bool enabled) { dsp_default_engine().setLinkedStereo(enabled); }
inline void dsp_set_attacks(bool enabled) { dsp_default_engine().setAttacks(enabled); }
inline void dsp_set_fine_peaks(bool enabled) { dsp_default_engine().setFinePeaks(enabled); }
inline void dsp_set_level_keeping(bool enabled) { dsp_default_engine().setLevelKeeping(enabled); }
inline void dsp_set_eq_bands(const float* levels) { dsp_default_engine().setEqBands(levels); }
