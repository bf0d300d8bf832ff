// dsp: the block driver. The JNI entry points of quenlab.hopwarbler.NativeInterface
// (dsp_jni.cpp) reach the Java arrays, check arguments and call the driver declared
// here (dsp.cpp), which works on plain buffers so that tests, fuzz targets and
// benchmarks can run it without a JVM; its x86-64 conversions and output stage live
// in dsp_x86.cpp.
//
// dsp_init() sets every engine up for one stream format (allocates; never while a
// block is processed). dsp_process() turns one block of 16-bit PCM, mono or
// interleaved stereo, into the requested number of frames in place: conversion to
// float, balance or mono remix, voice removal, time-scaling per channel, overlap
// normalisation and output gain, peak measurement, soft limit, clamp, quantisation.
// It runs on the audio thread: no lock, no trigonometry per sample, and no
// allocation except that the work buffers grow when a block needs more room than
// any block before it (the first block allocates them).
//
// Settings written by the control thread are relaxed atomics and take effect no
// later than the next block.
#pragma once

#include <cstddef>

enum DspStatus {
  DSP_OK = 0,
  DSP_NOT_INITIALIZED,  // dsp_process() before a successful dsp_init()
  DSP_OUT_OF_MEMORY,    // the work buffers could not grow for this block, or it is
                        // longer than 2^28 frames in or out
};

// Checks a stream format. Returns true when dsp_init() accepts it; otherwise writes
// a message naming the first bad argument and its allowed range into msg.
// frameSize: power of two 4..4096; overSampling: 1..frameSize; sampleRate: >= 4 Hz.
bool dsp_check_init(int frameSize, int overSampling, int sampleRate, char* msg, size_t msgSize);

// Sets every engine up for the format; the arguments must pass dsp_check_init().
// channels: 1 = mono, any other value = interleaved stereo.
void dsp_init(int frameSize, int overSampling, int sampleRate, int channels);

bool dsp_is_initialized();

// Calls that must not overlap: dsp_init() rewrites every engine that a block reads, and
// two blocks at once would share the work buffers and each channel's state. The JNI
// entry points admit one such call at a time. dsp_admit() admits the caller and returns
// DSP_CALL_NONE when no other call is under way; otherwise it admits nothing and returns
// the kind of call under way (DSP_CALL_PROCESS or DSP_CALL_INIT), which the caller
// refuses. dsp_release() ends the admitted call. One compare-and-set and one store, so
// the audio thread never waits. The driver's own functions do not check: the tests,
// benchmarks and fuzz targets call them from one thread.
enum DspCall { DSP_CALL_NONE, DSP_CALL_PROCESS, DSP_CALL_INIT };
DspCall dsp_admit(DspCall call);
void dsp_release();

// 1 for a mono stream, 2 for stereo (as interleaved in the host's array).
int dsp_channel_count();

// Processes one block in place: samples holds samplesIn frames on entry and
// samplesOut frames on return, so it has room for the larger of the two (times two
// in stereo). samplesIn <= 0 or samplesOut < 0 writes nothing and sets the peak to 0.
DspStatus dsp_process(short* samples, int samplesIn, int samplesOut);

// The driver's code paths for the conversions around the vocoder (the values of
// CpuPath): DSP_PATH_REFERENCE runs plain loops; DSP_PATH_BASELINE converts the 16-bit
// input (and splits stereo into its channels) four frames at a time with SSE2;
// DSP_PATH_AVX2 also normalises, limits and quantises the output four samples at a
// time. All three give the same bits. DSP_PATH_BEST stands for the fastest path the
// CPU runs.
enum DspPath { DSP_PATH_REFERENCE, DSP_PATH_BASELINE, DSP_PATH_AVX2, DSP_PATH_BEST };

// Use this path in every later block (for tests and benchmarks; not during a block).
// Returns false, changing nothing, when the CPU cannot run it. Without a call,
// dsp_init() selects DSP_PATH_BEST.
bool dsp_select_path(DspPath path);

// The path in use: DSP_PATH_REFERENCE, DSP_PATH_BASELINE or DSP_PATH_AVX2.
DspPath dsp_path();

// Synthesis hop the driver uses for a block of samplesIn frames in and samplesOut
// frames out: frameSize / overSampling * samplesOut / samplesIn, clamped to
// 1..frameSize. Requires a successful dsp_init() and samplesIn > 0.
int dsp_step_out(int samplesIn, int samplesOut);

// Peak absolute level of the last block, before the limiter (1.0 = full scale).
// Never NaN or negative; finite while the pre-amplifier is finite (a finite peak
// past the float range reads as FLT_MAX).
float dsp_get_max_level();

// Control settings.
void dsp_set_preamp(float preamp);  // linear gain
void dsp_set_panning(int panningActive, int monoActive,
                     int panningLevel);  // level 0..100, 50 = unchanged
// Voice removal: each channel less amount x the opposite channel through the
// filter of iir_init_filters(). Where the filter's result is not finite or lies
// past 2^26 full scales (NaN, infinite or huge coefficients, an unstable design),
// that sample of the channel passes unfiltered until the host replaces the filter.
void dsp_set_voice_removal_enabled(bool enabled);
void dsp_set_voice_removal_amount(float amount);  // weight of the filtered opposite channel

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
void dsp_set_linked_stereo(bool enabled);
void dsp_set_attacks(bool enabled);
void dsp_set_fine_peaks(bool enabled);
void dsp_set_level_keeping(bool enabled);

// Equaliser gains (linear, one per bin): copies eq_size() values from levels into
// the equaliser, each clamped to +-1e6 (+120 dB), NaN taken as 0. Control thread
// (allocates a copy); nothing before the first dsp_init().
void dsp_set_eq_bands(const float* levels);
