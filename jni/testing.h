// testing: the modules' internals that only the tests (and the benchmarks of single
// steps) reach: set-up tables, per-channel state and the vocoder's vector maths.
// The driver and the host never include it; each module includes it only so that the
// compiler checks these declarations against its definitions. The modules' own
// headers publish what the driver and the host use.
#pragma once

#include <atomic>

#include "fft.h"
#include "iirfilter.h"
#include "spectrum.h"

// ---- fft ----

// The set-up tables of fft_init(): 2N, log2 N, the bit-reversal swap pairs (float
// indices p < q) and the twiddles of each stage, twiddle j of stage k at
// k * fftStageStride + 2j.
extern int doubleFrameSize;
extern int logFrame;
extern int bitSwapPos[fftMaxSize];
extern int bitSwapLen;
extern float pur[fftMaxStages * fftStageStride];
extern float pui[fftMaxStages * fftStageStride];
extern float pur_inv[fftMaxStages * fftStageStride];
extern float pui_inv[fftMaxStages * fftStageStride];

// ---- vocoder ----
// (The per-frame steps and the state of a Vocoder are its public members; see vocoder.h.)

// Wrap a phase into [-pi, pi] by whole turns (odd multiples of pi map to -pi when
// positive and +pi when negative).
float princarg(double phase);

// The AVX2 path's vector maths on n doubles: angle[i] = atan2(y[i], x[i]), and
// sine[i], cosine[i] of x[i]. Return false, computing nothing, when the CPU lacks
// AVX2 or FMA (always off x86-64).
bool vocoder_avx2_atan2(const double* y, const double* x, double* angle, int n);
bool vocoder_avx2_sincos(const double* x, double* sine, double* cosine, int n);

// ---- spectrum ----

// The band values themselves (72 floats, band 0 lowest), not a copy.
float* spectrum_get();

// Stream samples counted since the last analysis.
long long spectrum_counted();

// The analyser's tables. Index = history position, 0 the oldest sample.
extern float spectrum_samples[spectrumHistorySize];
extern float spectrum_buffer[2 * spectrumHistorySize];
extern float coeff_sin[spectrumBandCount][spectrumHistorySize];  // -sin of the band phase
extern float coeff_cos[spectrumBandCount][spectrumHistorySize];  // cos of the band phase
extern float spectrum_values[spectrumBandCount];

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

// Transitional: the filter pair behind iir_init_filters() and iir_step(), whose records
// the fuzz target checks. Goes once the engine owns the module.
IirFilters& iir_shared();
