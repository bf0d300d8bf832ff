// spectrum: the 72-band note analyser behind the host's spectrum display.
//
// The bands are the semitones from C1 (32.703 Hz, band 0) to B6 (1975.53 Hz, band
// 71), tuned to A4 = 440 Hz (band 45). A SpectrumAnalyser keeps the newest 4096
// samples of its stream decimated by 4 (no anti-alias filter; stereo is folded to
// the mean of the two channels) and, each time a 32nd of a second of stream samples
// has come in, correlates the Hann-windowed history with a complex sinusoid at each
// band's frequency. Each band value is 0.2 x its previous value plus the new
// magnitude, so a steady sine of amplitude A settles at 0.3125 A (A / 4 per
// analysis).
//
// Two ways in:
// - tap(left, right, frames) takes the stream in calls of any length: it takes every
//   4th frame of the stream itself and analyses at each 32nd of a second of stream
//   frames, wherever that falls in a call, so that the bands do not depend on how
//   the stream is cut into calls.
// - push(samples, size, channel), the raw interface's, takes samples[0], samples[4],
//   ... of each call and analyses at most once per call, at its end, when enough has
//   been counted: its callers hand over one hop per call, hops a multiple of 4. In
//   stereo the channel-0 push only stores; the channel-1 push averages into the
//   newest positions, counts and may analyse.
// An analyser is fed through one of them, not both.
//
// Threads and cost:
// - init() runs at set-up, never during a push or tap. The sine and cosine tables
//   (2 x 72 x 4096 floats, 2.3 MB, 2 x 72 x 4096 sincosf to build) depend only on the
//   rate: analysers of one rate share one read-only copy, so that many streams at one
//   rate do not each carry (and build) their own. The copy of a rate is built by the
//   first init() at that rate and kept for the life of the process, in a small cache
//   under a mutex that only init() takes. The Hann window is one table built once for
//   all. Precondition: sampleFreq >= 4, since
//   the analyser's rate sampleFreq / 4 divides the band phases.
// - push() and tap() run on the audio thread: no lock, no allocation; the history,
//   the band values and the scratch of the analysis live in the object. About 32
//   analyses per second of stream, each costing 2 x 72 x 4096 multiply-adds (and, on
//   the reference path, 4096 cosines for the window): about 35 to 40 us with AVX2
//   (four bands per pass over the history), bound by converting each of the 2 x 72 x
//   4096 coefficients to double and by reading the 2.3 MB of tables. The lean
//   analysis (setLean()) costs about 6 us with AVX2 (44.1 kHz, fed by tap()): two
//   thirds correlating the 5 or 6 blocks completed since the last analysis, a quarter
//   weighing the ring's 64. The first part grows with the samples taken between two
//   analyses: the first analysis after init() sums all 64 blocks, about ten times the
//   work. The ring adds 108 KiB to the object.
// - The analysis has a reference path (plain loops, spectrum.cpp) and two vector
//   paths (spectrum_simd.cpp), baseline (SSSE3 on x86-64, NEON on aarch64) and AVX2
//   (chosen at run time, for the whole process), which sum the same exact products in
//   double, two (four) lanes at a time, so only the order of the additions differs. The Hann window
//   is a table of the same cosines.
// - copy() may run on any thread at any time: each band is read and written as a
//   relaxed atomic, so a copy taken during an analysis can mix bands of the new
//   analysis with bands of the previous one, but never a torn value.
// - setEnabled() is called from the control thread and read at each push or tap
//   (relaxed). While disabled, pushes and taps change nothing: history, counter,
//   decimation phase and band values stay frozen, and enabling resumes from them.
#pragma once

#include <atomic>

#include "cpu.h"

constexpr int spectrumBandCount = 72;
constexpr int spectrumHistorySize = 4096;  // decimated samples analysed
constexpr int spectrumLeanBlock = 64;      // the lean analysis' blocks of the history

struct SpectrumCoefficients;  // the tables of one rate, shared (testing.h)
struct SpectrumKernels;       // the vector kernels of one path (spectrum_simd.h)

class SpectrumAnalyser {
 public:
  // Set up for a stream of sampleFreq Hz (>= 4) and sampleChannels channels (1 = mono,
  // 2 = stereo; any other count folds every push into the history by averaging).
  // Clears the history, the band values and the tap's decimation phase; the count of
  // stream samples carries over. Not on the audio thread.
  void init(int sampleFreq, int sampleChannels);

  // Take size (>= 0) stream samples of one channel: samples[0], samples[4], ... below
  // 4 x min(size / 4, 4096) are read. Runs the analysis when enough has been pushed.
  // Nothing before init().
  void push(const float* samples, int size, int channel);

  // Take the next frames (>= 0) frames of the stream: left[i] alone, or the mean of
  // left[i] and right[i] when right is not null. Every 4th frame of the stream goes
  // into the history, and an analysis runs each time a 32nd of a second of frames
  // has come in. Nothing before init().
  void tap(const float* left, const float* right, int frames);

  // Copy min(count, 72) band values into dest; nothing when count <= 0. Any thread.
  void copy(float* dest, int count) const;

  // True: pushes and taps are taken (the initial state). Any thread.
  void setEnabled(bool on) { enabled_.store(on, std::memory_order_relaxed); }
  bool enabled() const { return enabled_.load(std::memory_order_relaxed); }

  // Lean analysis (off initially), on the vector paths; the reference path ignores it.
  // The Hann window is 0.5 - 0.5 cos(theta n), theta = 2 pi / 4096, so on a block of
  // 64 samples that starts at position o of the analysed history it is
  // hann(o) + (hann(o) - 0.5)(cos(theta c) - 1) + 0.5 sin(theta o) sin(theta c) at the
  // block's element c: three weights per block times three block-local shapes. Each
  // block of the history (64 stream-aligned decimated samples) is correlated in float
  // once, when an analysis first finds it complete, with each band's sinusoid times
  // 1, cos(theta c) - 1 and sin(theta c); the 6 sums per band are kept in a ring of
  // 64 blocks. An analysis then correlates only the blocks completed since the last
  // one, weighs and turns the ring's sums by each block's place in the history, and
  // adds the at most 64 samples at the two ends of the history that no complete
  // block covers (the analyses fall every 32nd of a second, at 44.1 kHz every 344 or
  // 345 decimated samples, not on block edges), windowed and correlated directly.
  // That is about a quarter of the plain analysis' multiply-adds, in float, from
  // tables of 72 KB, no sums across vector lanes. The bands agree with the
  // exact analysis in double to within 2e-6 of the largest band (tested; the plain
  // analysis, whose tables take the phase in float, to within 4e-5). Any thread; from
  // the next analysis.
  void setLean(bool on) { lean_.store(on, std::memory_order_relaxed); }

  // Number of bands: always 72.
  static constexpr int size() { return spectrumBandCount; }

 private:
  friend struct SpectrumProbe;  // the tests' view of the state (testing.h)

  void analyse();
  void analyseReference();
  void analyseFast(const SpectrumKernels& kernels);
  void analyseLean(const SpectrumKernels& kernels);
  void updateBand(int band, float magnitude);

  std::atomic<bool> enabled_{true};
  std::atomic<bool> lean_{false};
  const SpectrumCoefficients* coefficients_ = nullptr;  // the shared tables of the rate
  const double* hann_ = nullptr;                        // the shared window table
  int channels_ = 0;
  int sampleRate_ = 0;       // the analyser's rate: the stream's rate / 4
  int analysisSamples_ = 0;  // stream samples between two analyses: sampleRate_ / 8
  // Counted stream samples. A push may count more than one period and only one is
  // taken off per push, so with long pushes the count keeps growing: 64 bits keep
  // that from overflowing in any realistic run.
  long long samplesIn_ = 0;
  int tapSkip_ = 0;  // stream frames the tap passes over before it takes the next one
  // The fast paths run the bands in ascending and descending order by turns, so
  // that an analysis starts on the coefficient rows that the previous one read last
  // and that are most likely still in the cache (the two tables, 2.3 MB, are larger
  // than a core's L2).
  bool descending_ = false;
  // The history as a ring: position oldest_ holds the oldest sample, the others
  // follow it round the ring.
  int oldest_ = 0;
  float history_[spectrumHistorySize] = {};
  // Decimated samples taken into the history since init(), plus the 4096 zeros it
  // starts with: the newest sample's index is taken_ - 1, and the history position of
  // index t is t mod 4096 (so oldest_ is taken_ mod 4096).
  long long taken_ = spectrumHistorySize;
  // The lean analysis' ring: the sums of block m (samples 64 m to 64 m + 63) in slot
  // m mod 64, the slot of the block's place in the history. Per slot, for the history
  // times 1, cos(theta c) - 1 and sin(theta c), the real and imaginary sums of the 72
  // bands. Blocks below ringNext_ are up to date.
  long long ringNext_ = 0;
  alignas(32) float ring_[spectrumHistorySize / spectrumLeanBlock][3][2][spectrumBandCount] = {};
  // The windowed history of an analysis, each value rounded to float.
  alignas(32) double windowed_[spectrumHistorySize] = {};
  // The band values, read and written through std::atomic_ref.
  alignas(std::atomic_ref<float>::required_alignment) float bands_[spectrumBandCount] = {};
};

// The analysis' code paths (the values of CpuPath); SPECTRUM_PATH_BEST stands for the
// fastest path the CPU runs.
enum SpectrumPath {
  SPECTRUM_PATH_REFERENCE,
  SPECTRUM_PATH_BASELINE,
  SPECTRUM_PATH_AVX2,
  SPECTRUM_PATH_BEST
};

// Use this path in every later analysis of every analyser: the choice is process-wide
// (for tests and benchmarks; not during a push). Returns false, changing nothing,
// when the CPU cannot run it. Without a call, the first init() selects
// SPECTRUM_PATH_BEST.
bool spectrum_select_path(SpectrumPath path);

// The path in use: SPECTRUM_PATH_REFERENCE, SPECTRUM_PATH_BASELINE or SPECTRUM_PATH_AVX2.
SpectrumPath spectrum_path();

// The instruction set the path in use runs on: "scalar", "SSSE3", "AVX2" or
// "NEON" (see cpu_path_target()).
const char* spectrum_path_target();

// How the module's vector kernels are written (see cpu.h).
constexpr CpuKernels spectrumKernels = CPU_KERNELS_PORTABLE;
