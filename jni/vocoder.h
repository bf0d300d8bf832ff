// vocoder: phase vocoder with peak-locked phases, one stream of two channels.
//
// processTogether() appends each channel's samples (full scale +-1.0) to that
// channel's input history. Every time winSize samples have gathered it windows the
// frame of each channel, transforms it, measures magnitudes and phases, finds the
// spectral peaks, advances each peak's phase at the stretch factor laid / stepIn,
// where laid is the hop that separates the frame from the previous one (the stepOut
// of the previous frame; the call's own for the first frame of a stream), and turns
// the bins of its region by the same angle, resynthesises a one-sided spectrum (with
// the equaliser gains when they are on), transforms back, overlap-adds at stepOut and
// hands out stepOut samples. The refinements (VocoderOptions) change how the peaks
// and the turns are found; with all of them off each channel goes its own way, and
// process(), which feeds one channel, gives the same samples. A change of stepOut
// keeps the phase memory of both channels; only init() clears it. A fresh stream
// starts with winSize - stepIn samples of latency; the overlap-add gain is
// winSize / (2 stepOut) for tones.
//
// A Vocoder is one stream's vocoder: init() (allocates; not on the audio thread)
// sets it up, processTogether() runs per block on the audio thread (no allocation, no
// lock; per frame and channel two FFTs and winHalf sqrt/atan2/sincos). Separate
// Vocoders share nothing but the code path and read-only tables, so they may run
// on separate threads at once.
// Code paths (see cpu.h): vocoder.cpp holds the algorithm, its reference path (plain
// loops, scalar libm) and the fast paths' order of steps; vocoder_simd.cpp (one
// Highway source) the per-bin passes of the baseline path (SSSE3 on x86-64, NEON on
// aarch64) and the AVX2 path, chosen at run time, with their vector maths. For atan2,
// sin and cos in double precision the x86-64 baseline path calls glibc's vector maths
// (libmvec), the AVX2 and NEON paths inline our own (a fused sincos; the same
// operations, so the same bits, on both); all are within a few units of the last place of
// scalar libm in double, so after the rounding to float the stored magnitudes, phases
// and bins are, in practice, the same bits. Every other step computes exactly what
// the reference computes. On the fast paths a frame transforms only what it reads
// (the lower half of the forward spectrum, the real parts of the inverse), and the
// analysis window moves through the history, which is shifted back only when it
// reaches the buffer's end.
// Limits the caller keeps: winSize a power of two 4..4096, 1 <= stepIn <= winSize,
// 1 <= stepOut <= winSize, channel 0 or 1, and an output buffer with room for
// stepOut samples per frame the call completes (see framesDue()).
#pragma once

#include <cstddef>
#include <vector>

#include "attacks.h"
#include "cpu.h"
#include "eq.h"
#include "fft.h"
#include "formants.h"
#include "realfft.h"
#include "spectrum.h"

// What the vocoder does beyond the plain peak-locked phases; all off is the plain
// vocoder (process() always runs it).
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
  // Reshapes each frame's magnitudes after its phases are set (formants.h); null for
  // none. Both channels of a frame go to it together.
  FormantKeeper* formants = nullptr;
  // On the fast paths, the frames go through the real-input transforms of half the size
  // (realfft.h) instead of the complex ones, and the passes over the bins run in float
  // (leanbins.h): a little under half the transforms' work and about half the passes',
  // the same spectra within float rounding. The reference path ignores it.
  bool lean = false;
};

// One channel of a Vocoder: views into the buffers its Vocoder owns (set by init()),
// and where the channel stands in the stream.
struct VocoderChannel {
  float* input = nullptr;      // input history, Vocoder::historySize floats
  float* wave = nullptr;       // overlap-add accumulator, winSize floats
  float* fftBuffer = nullptr;  // the frame's transform, 2 winSize floats
  float* mag = nullptr;        // magnitudes of bins 0 .. winHalf - 1, then two guard bins
  float* phi = nullptr;        // their phases
  float* phi0 = nullptr;       // the previous frame's phases
  float* psi = nullptr;        // synthesis phases
  int* peakBins = nullptr;     // the frame's peaks, in order
  int* valleyBins = nullptr;   // where each peak's region starts; one past the last ends it
  int inIndex = 0;             // samples of the frame gathered so far; 0 on a fresh stream
  int laidStepOut = 0;         // the hop by which the last frame moved the accumulator on
  int historyStart = 0;        // where the analysis window starts in input (fast paths)
};

class Vocoder {
 public:
  Vocoder() = default;
  // The channels point into the Vocoder's own buffers, which a copy would share and a
  // move would leave the moved-from Vocoder pointing into: neither is offered.
  Vocoder(const Vocoder&) = delete;
  Vocoder& operator=(const Vocoder&) = delete;

  // Start a new stream with frames of winSize samples taken every step samples.
  // Allocates; also sets up the transform and the attack keeping for that frame size.
  void init(int winSize, int step);

  // Feeds inSize samples of each channel (inR and outR null in mono) and writes
  // stepOut samples per completed frame of each channel to outL and outR, from [0] on.
  // Both channels carry on from the left one's place in the stream, so they must
  // stand at the same place (as they do when always fed alike). Analyses every frame of both
  // channels before it synthesises either, with the options. Hands the frames to the analyser: with
  // all options off all of the left channel's, then all of the right's, as process() for each
  // channel in turn would; with any option on each frame, left then right.
  void processTogether(const float* inL, const float* inR, int inSize, float* outL, float* outR,
                       int stepOut, const VocoderOptions& options);

  // processTogether() for one channel alone, with all options off: its own place in the
  // stream, the other channel untouched (for the tests of the plain vocoder).
  void process(const float* in, int inSize, float* out, int stepOut, int channel);

  // Number of frames the next call completes for this channel when it is given inSize
  // samples.
  int framesDue(int inSize, int channel) const;

  // Makes channel `to` carry on exactly as channel `from` will: its input history,
  // overlap-add accumulator, phase memory and position. Copies about four frames of
  // floats; allocates nothing.
  void copyChannel(int from, int to);

  // From the next call on, writes beside every output sample, at the same index of out,
  // the gain at which a steady tone of amplitude A leaves the vocoder there, over
  // A x winSize / 2: the overlap of the windows of the frames laid over it, as they were
  // really laid (changes of stepOut included). Null stops it.
  void handOutToneGain(float* out) { toneGainOut = out; }

  // The energy of the frames synthesised since the last call, summed over their bins,
  // before and after the equaliser's gains (both 0 while the equaliser is off or no tone
  // gain is handed out); returns whether there was any, and starts counting afresh.
  bool takeEqualiserEnergy(double* before, double* after);

  // The equaliser whose gains the synthesis applies while it is switched on, and the
  // analyser every synthesised frame is pushed to; either may be null (no equaliser,
  // no analyser). Set up before the first frame, never while one runs.
  void connect(const Equaliser* gains, SpectrumAnalyser* frames) {
    equaliser = gains;
    analyser = frames;
  }

  // Bytes of the buffers this Vocoder holds (0 before init()).
  size_t bytes() const;

  // ---- For the tests and the benchmarks of single steps ----
  // The per-frame steps, which processFrame() runs in this order on the channel's
  // state, and the state they read and write. The fast paths compute only the lower
  // half of the forward transform in analyze(), and run their own resynthesis and
  // overlap-add in place of synthesize() and overlapAdd(), which always lay out the
  // whole inverse transform and read its real parts from it; both give the same bits.
  void resetPhases();
  void processFrame(const float* input, float* output, float stretchFactor, int channel);
  void applyWindow(const float* input, int channel);
  void analyze(int channel);
  int findPeaks(int channel);
  void phaseLock(int channel, int nPeaks, float stretchFactor);
  void synthesize(int channel);
  void overlapAdd(float* output, int channel);

  // Stream geometry, shared by both channels: frame size, its half, analysis hop, and
  // the synthesis hop of the running call; floats in each channel's input history.
  int winSize = 0;
  int winHalf = 0;
  int stepIn = 0;
  int stepOut = 0;
  int historySize = 0;

  // Tables shared by both channels: the analysis window, the synthesis window (with the
  // inverse transform's 1/N and the one-sided spectrum's 2), and the phase each bin's
  // centre frequency advances over one analysis hop.
  std::vector<float> window;
  std::vector<float> windowOut;
  std::vector<float> omega;

  // The two channels; both exist even for a mono stream.
  VocoderChannel channels[2];

  // The transform and the attack keeping of this stream, set up by init().
  Fft fft;
  RealFft realFft;
  Attacks attacks;

 private:
  // Frames analysed by run(), moved on by two more whenever a channel's history or
  // phases change otherwise (copyChannel(), resetPhases()): the attack keeping carries
  // its block energies over only from the frame just before (AttackFrame::serial).
  long frameSerial = 0;

  bool equaliserOn() const { return equaliser != nullptr && equaliser->isEnabled() != 0; }
  void layOverlap(int outIndex);
  template <typename Gain>
  void measureEqualiser(const float* mag, Gain gain);
  void run(int first, int count, const float* const* inputs, float* const* outputs, int inSize,
           int pStepOut, const VocoderOptions& options);
  void resynthesize(float* output, int channel);
  float peakRotation(const float* phi, const float* phi0, const float* psi, int peak,
                     float stretchFactor) const;
  void phaseLockReference(VocoderChannel& c, int nPeaks, float stretchFactor) const;
  int findPeaksReference(const float* mag, int* peaks) const;
  void binPass(int channel);
  int findPeaksFast(const float* mag, int* peaks) const;
  int findFinePeaks(const float* mag, int* peaks) const;
  void placeValleys(const float* mag, const int* peaks, int* valleys, int nPeaks) const;
  int peaksOf(float* mag, int* peaks, int* valleys, bool fine);
  void phaseLockFast(VocoderChannel& c, int nPeaks, float stretchFactor);
  void resynthesizeFast(float* output, int channel);
  void phaseLockRefined(int nChannels, const VocoderOptions& options, float stretchFactor,
                        int start);
  void peakRotations(const VocoderChannel& c, const int* peaks, int n, float stretchFactor,
                     float* rotation) const;
  template <typename From>
  void regionTurns(const int* peaks, const int* valleys, int nPeaks, float stretchFactor,
                   const VocoderChannel& own, From from, float* turn);
  void turnBins(VocoderChannel& c, const float* turn) const;

  // Each channel's buffers, which its views point into (see init()).
  std::vector<float> channelFloats[2];
  std::vector<int> channelInts[2];

  // Work space of the fast paths, 2 x winSize floats and some slack: the one-sided
  // spectrum that the resynthesis hands to the inverse transform in the first winSize,
  // the per-bin rotation of phaseLock() or the equaliser gains in the rest. The slack
  // takes the whole-vector stores that run past the last region.
  std::vector<float> work;

  // The overlap of the frames as laid: the sum, at each output sample, of the analysis
  // window times the synthesis window of every frame laid over it, accumulated and
  // handed out as the output is (channel 0's frames; both channels lay theirs alike).
  // A steady tone of amplitude A leaves the vocoder at A x winSize / 2 x this, whatever
  // the hops were, which the level keeping relies on. Handed out to toneGainOut while
  // the driver asks for it.
  std::vector<float> overlap;
  float* toneGainOut = nullptr;

  // The engine's equaliser and analyser (connect()); null for none.
  const Equaliser* equaliser = nullptr;
  SpectrumAnalyser* analyser = nullptr;

  // Work space of the refinements: each channel's turn per bin (one array serves both
  // when they are linked; slack for the region fill's whole-vector stores), the
  // magnitudes summed over the channels (with the two guard bins and the slack of the
  // vector valley search), and the turn of each peak. regionTurns()'s peaks sorted by
  // the channel whose rotation they take (winHalf for each channel's peaks, then as
  // many for their places among all peaks) and those rotations (winHalf).
  std::vector<float> turns[2];
  std::vector<float> summed;
  std::vector<float> peakTurns;
  std::vector<int> channelPeaks;
  std::vector<float> channelTurns;

  // The synthesised frames' energy before and after the equaliser's gains, since the
  // driver last took it (takeEqualiserEnergy()); measured only while the driver asks
  // for the tone gain, that is while it keeps the level.
  double eqEnergyBefore = 0.0;
  double eqEnergyAfter = 0.0;

  bool initialized = false;
  // The running call's frames take the real-input transforms (VocoderOptions::lean).
  bool lean = false;
  // On the lean path, each channel's turns per bin that its rebuild still has to apply
  // to the analysis phases (phaseLockRefined() leaves them to it); null otherwise.
  const float* pendingTurn[2] = {nullptr, nullptr};
};

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
// call, the first Vocoder::init() selects VOCODER_PATH_BEST. Any thread. The transforms follow
// fft_select_path(), which is separate.
bool vocoder_select_path(VocoderPath path);

// The path in use: VOCODER_PATH_REFERENCE, VOCODER_PATH_BASELINE or VOCODER_PATH_AVX2.
VocoderPath vocoder_path();

// The instruction set the path in use runs on: "scalar", "SSSE3", "AVX2" or
// "NEON" (see cpu_path_target()).
const char* vocoder_path_target();

// How the module's vector kernels are written (see cpu.h).
constexpr CpuKernels vocoderKernels = CPU_KERNELS_PORTABLE;
