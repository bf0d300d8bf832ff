// testing: the modules' internals that only the tests (and the benchmarks of single
// steps) reach: set-up tables, per-channel state and the vocoder's vector maths.
// The driver and the host never include it; each module includes it only so that the
// compiler checks these declarations against its definitions. The modules' own
// headers publish what the driver and the host use.
#pragma once

#include <atomic>
#include <vector>

#include "fft.h"
#include "iirfilter.h"
#include "spectrum.h"

// ---- fft ----

// The tables that every Fft of one size N shares: N, log2 N, the bit-reversal swap
// pairs (float indices p < q) and the twiddles of each stage and direction (pur,
// pui for sign +1; purInv, puiInv for every other sign), twiddle j of stage k at
// (2 << k) + 2j of the 2N floats of each table.
struct FftTables {
  int size = 0;
  int log2Size = 0;
  std::vector<int> bitSwapPos;
  std::vector<float> pur;
  std::vector<float> pui;
  std::vector<float> purInv;
  std::vector<float> puiInv;
};

// The tables for n (a power of two, 2 <= n <= 4096), built by the first call for n
// on any thread and the same object at every later call.
const FftTables& fft_tables(int n);

// ---- vocoder ----
// (The per-frame steps and the state of a Vocoder are its public members; see vocoder.h.)

// Wrap a phase into [-pi, pi] by whole turns (odd multiples of pi map to -pi when
// positive and +pi when negative).
float princarg(double phase);

// The vocoder's own vector maths on n doubles, as the fastest path that has them runs
// them (AVX2 on x86-64, NEON on aarch64): angle[i] = atan2(y[i], x[i]), and sine[i],
// cosine[i] of x[i]. Return false, computing nothing, when no path of this CPU has
// them (an x86-64 CPU without AVX2 and FMA).
bool vocoder_vector_atan2(const double* y, const double* x, double* angle, int n);
bool vocoder_vector_sincos(const double* x, double* sine, double* cosine, int n);

// ---- spectrum ----

// The coefficient tables of one analyser rate (the stream's rate / 4), shared by
// every analyser of that rate. Index = history position, 0 the oldest sample.
struct SpectrumCoefficients {
  int rate = 0;
  float sin[spectrumBandCount][spectrumHistorySize];  // -sin of the band phase
  float cos[spectrumBandCount][spectrumHistorySize];  // cos of the band phase
  // The lean analysis' tables, bands innermost (one vector holds consecutive bands),
  // each value in double rounded once to float: the real and imaginary parts of
  // exp(-i w c) for c < 64 (within a block) and of exp(-i w 64 a) for a < 64 (a
  // block's start), w the band's step per decimated sample.
  alignas(32) float leanInner[spectrumLeanBlock][2][spectrumBandCount];
  alignas(32) float leanTurn[spectrumHistorySize / spectrumLeanBlock][2][spectrumBandCount];
};

// The tests' view of an analyser's state.
struct SpectrumProbe {
  // The band values themselves (72 floats, band 0 lowest), not a copy.
  static float* bands(SpectrumAnalyser& a) { return a.bands_; }
  // Stream samples counted since the last analysis.
  static long long counted(const SpectrumAnalyser& a) { return a.samplesIn_; }
  // The history, oldest first, and its replacement.
  static std::vector<float> history(const SpectrumAnalyser& a) {
    std::vector<float> h(spectrumHistorySize);
    for (int i = 0; i < spectrumHistorySize; ++i) {
      h[i] = a.history_[(a.oldest_ + i) % spectrumHistorySize];
    }
    return h;
  }
  static void setHistory(SpectrumAnalyser& a, const std::vector<float>& h) {
    for (int i = 0; i < spectrumHistorySize; ++i) {
      a.history_[(a.oldest_ + i) % spectrumHistorySize] = h[i];
    }
    a.ringNext_ = 0;  // the lean analysis' block sums are stale
  }
  // The shared tables the analyser uses; null before init().
  static const SpectrumCoefficients* coefficients(const SpectrumAnalyser& a) {
    return a.coefficients_;
  }
};

// ---- iirfilter ----

// Load one record: copy the coefficients and start an all-zero history. Not
// synchronised: IirFilters::load() wraps it in the hand-over.
void iir_init_filter(iirFilter& filter, const double* ca, const double* cb, int sizeA, int sizeB);

// An object's records and its hand-over flags.
struct IirFiltersTesting {
  static iirFilter& record(IirFilters& filters, int channel) {
    return channel == 0 ? filters.left_ : filters.right_;
  }
  // 1 while load() runs.
  static std::atomic<int>& setupFlag(IirFilters& filters) { return filters.inSetup_; }
  // 1 while that channel's step runs.
  static std::atomic<int>& processFlag(IirFilters& filters, int channel) {
    return filters.inProcess_[channel == 0 ? 0 : 1];
  }
};
