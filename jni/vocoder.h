// vocoder: phase vocoder with peak-locked phases, one stream of two channels.
//
// vocoder_process() appends one channel's samples (full scale +-1.0) to that
// channel's input history. Every time winSize samples have gathered it windows the
// frame, transforms it, measures magnitudes and phases, finds the spectral peaks,
// advances each peak's phase at the stretch factor laid / stepIn, where laid is the
// hop that separates the frame from the previous one (the stepOut of the previous
// frame; the call's own for the first frame of a stream), and turns the bins of its
// region by the same angle, resynthesises a one-sided spectrum (with the equaliser
// gains when they are on), transforms back, overlap-adds at stepOut and hands out
// stepOut samples. A change of stepOut keeps the phase memory of both channels;
// only vocoder_init() clears it. A fresh stream starts with winSize - stepIn
// samples of latency; the overlap-add gain is winSize / (2 stepOut) for tones.
//
// Called by the driver: vocoder_init() from dsp_init() (allocates; not on the
// audio thread), vocoder_process() per block and channel on the audio thread (no
// allocation, no lock; per frame two FFTs and winHalf sqrt/atan2/sincos).
// Code paths (see cpu.h): vocoder.cpp holds the algorithm, its reference path (plain
// loops, scalar libm) and the fast paths' order of steps; vocoder_x86.cpp the
// per-bin passes of the baseline path (SSE2) and the AVX2 path, chosen at run time,
// and vocoder_maths_x86.h their vector maths. For atan2, sin and cos in double
// precision the baseline path calls glibc's vector maths (libmvec), the AVX2 path
// inlines its own (a fused sincos); both are within a few units of the last place of
// scalar libm in double, so after the rounding to float the stored magnitudes, phases
// and bins are, in practice, the same bits. Every other step computes exactly what
// the reference computes. On the fast paths a frame transforms only what it reads
// (the lower half of the forward spectrum, the real parts of the inverse), and the
// analysis window moves through the history, which is shifted back only when it
// reaches the buffer's end. The per-frame steps and the state live in testing.h.
// Limits the caller keeps: winSize a power of two 4..4096, 1 <= stepIn <= winSize,
// 1 <= stepOut <= winSize, channel 0 or 1, and an output buffer with room for
// stepOut samples per frame the call completes (see vocoder_frames_due()).
#pragma once

constexpr int vocoderBufferSize = 100000;  // floats in each input history and accumulator

// Start a new stream with frames of pWinSize samples taken every step samples.
void vocoder_init(int pWinSize, int step);

// Feed inSize samples of one channel; write stepOut samples per completed frame
// to outputBuffer, from outputBuffer[0] on.
void vocoder_process(const float* inputBuffer, int inSize, float* outputBuffer, int pStepOut,
                     int channel);

// Number of frames the next vocoder_process() call of this channel completes when it
// is given inSize samples.
int vocoder_frames_due(int inSize, int channel);

// Makes channel `to` carry on exactly as channel `from` will: its input history,
// overlap-add accumulator, phase memory and position. Copies about four frames of
// floats; allocates nothing.
void vocoder_copy_channel(int from, int to);

// What the vocoder does beyond the plain peak-locked phases; all off in a stream fed
// through vocoder_process().
struct VocoderOptions {
  // Stereo: both channels share their peaks (found on the summed magnitudes) and the
  // turn of each peak's region (from the louder channel at the peak), so that every
  // bin keeps the phase difference between left and right that the input had.
  bool linked = false;
  // A peak only needs to stand above the next bin on each side (instead of the next
  // two), so that partials two bins apart keep their own regions.
  bool finePeaks = false;
  // Attacks come out as sharp as they went in (see attacks.h).
  bool attacks = false;
};

// Feeds inSize samples of each channel (right and outputRight null in mono) and
// writes stepOut samples per completed frame of each channel, like vocoder_process()
// for each channel, but analyses every frame of both channels before it synthesises
// either, with the options. Hands each frame to the analyser, left then right.
void vocoder_process_together(const float* inputLeft, const float* inputRight, int inSize,
                              float* outputLeft, float* outputRight, int pStepOut,
                              const VocoderOptions& options);

// From the next call on, writes beside every output sample, at the same index of out,
// the gain at which a steady tone of amplitude A leaves the vocoder there, over
// A x winSize / 2: the overlap of the windows of the frames laid over it, as they were
// really laid (changes of stepOut included). Null stops it.
void vocoder_hand_out_tone_gain(float* out);

// The energy of the frames synthesised since the last call, summed over their bins,
// before and after the equaliser's gains (both 0 while the equaliser is off or no tone
// gain is handed out); returns whether there was any, and starts counting afresh.
bool vocoder_take_equaliser_energy(double* before, double* after);

// The code paths (the values of CpuPath); VOCODER_PATH_BEST stands for the fastest
// path the CPU runs.
enum VocoderPath {
  VOCODER_PATH_REFERENCE,
  VOCODER_PATH_BASELINE,
  VOCODER_PATH_AVX2,
  VOCODER_PATH_BEST
};

// Use this path in every later frame (for tests and benchmarks; not while a frame
// runs). Returns false, changing nothing, when the CPU cannot run it. Without a
// call, vocoder_init() selects VOCODER_PATH_BEST. The transforms follow
// fft_select_path(), which is separate.
bool vocoder_select_path(VocoderPath path);

// The path in use: VOCODER_PATH_REFERENCE, VOCODER_PATH_BASELINE or VOCODER_PATH_AVX2.
VocoderPath vocoder_path();
