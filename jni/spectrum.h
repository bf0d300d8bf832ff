// spectrum: the 72-band note analyser behind the host's spectrum display.
//
// The bands are the semitones from C1 (32.703 Hz, band 0) to B6 (1975.53 Hz, band
// 71), tuned to A4 = 440 Hz (band 45). The vocoder pushes every run of output
// samples it produces for a channel. The analyser keeps the newest 4096 of them
// decimated by 4 (every 4th sample of each push, no anti-alias filter; stereo is
// folded to the mean of the two channels) and, each time a 32nd of a second of
// stream samples has been pushed, correlates the Hann-windowed history with a complex
// sinusoid at each band's frequency. Each band value is 0.2 x its previous value plus
// the new magnitude, so a steady sine of amplitude A settles at 0.3125 A (A / 4 per
// analysis). In stereo the channel-0 push only stores; the channel-1 push averages
// into the newest positions, counts and may analyse.
//
// Threads and cost:
// - spectrum_init() runs in dsp_init(), never during a push: it rewrites the tables
//   in place (2 x 72 x 4096 sincosf). It allocates nothing: all state is fixed-size.
//   Precondition: sampleFreq >= 4 (the driver checks it), since the analyser's rate
//   sampleFreq / 4 divides the band phases.
// - spectrum_push() runs on the audio thread: no lock, no allocation. At most one
//   analysis per push (about 32 per second of output), costing 2 x 72 x 4096 multiply-adds
//   (and, on the reference path, 4096 cosines for the window): about 35 to 40 us with
//   AVX2 (four bands per pass over the history), bound by converting each of the
//   2 x 72 x 4096 coefficients to double and by reading the 2.3 MB of tables.
// - The analysis has a reference path (plain loops, spectrum.cpp) and two x86-64
//   paths (spectrum_x86.cpp), baseline (SSE2) and AVX2 (chosen at run time), which sum
//   the same exact products in double, four (two) lanes at a time, so only the order
//   of the additions differs. The Hann window is a table of the same cosines, built
//   once at set-up.
// - spectrum_copy() may run on any thread at any time: each band is read and
//   written as a relaxed atomic, so a copy taken during an analysis can mix bands of
//   the new analysis with bands of the previous one, but never a torn value.
// - spectrum_enabled is written by the control thread and read at each push
//   (relaxed). While it is 0 pushes change nothing: history, counter and band values
//   stay frozen, and enabling resumes from them.
#pragma once

#include <atomic>

constexpr int spectrumBandCount = 72;
constexpr int spectrumHistorySize = 4096;  // decimated samples analysed

// Set up for a stream of sampleFreq Hz (>= 4) and sampleChannels channels (1 = mono,
// 2 = stereo; any other count folds every push into the history by averaging).
// Clears the history and the band values; the count of pushed samples carries over.
void spectrum_init(int sampleFreq, int sampleChannels);

// Take size (>= 0) stream samples of one channel: samples[0], samples[4], ... below
// 4 x min(size / 4, 4096) are read. Runs the analysis when enough has been pushed.
void spectrum_push(const float* samples, int size, int channel);

// The analysis' code paths (the values of CpuPath); SPECTRUM_PATH_BEST stands for the
// fastest path the CPU runs.
enum SpectrumPath {
  SPECTRUM_PATH_REFERENCE,
  SPECTRUM_PATH_BASELINE,
  SPECTRUM_PATH_AVX2,
  SPECTRUM_PATH_BEST
};

// Use this path in every later analysis (for tests and benchmarks; not during a
// push). Returns false, changing nothing, when the CPU cannot run it. Without a call,
// spectrum_init() selects SPECTRUM_PATH_BEST.
bool spectrum_select_path(SpectrumPath path);

// The path in use: SPECTRUM_PATH_REFERENCE, SPECTRUM_PATH_BASELINE or SPECTRUM_PATH_AVX2.
SpectrumPath spectrum_path();

// Number of bands: always 72.
int spectrum_size();

// Copy min(count, 72) band values into dest; nothing when count <= 0.
void spectrum_copy(float* dest, int count);

// Non-zero: pushes are taken (the initial state). Relaxed loads and stores.
extern std::atomic<int> spectrum_enabled;
