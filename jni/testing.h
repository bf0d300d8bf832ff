// testing: the modules' internals that only the tests (and the benchmarks of single
// steps) reach: set-up tables, per-channel state and the vocoder's per-frame steps.
// The driver and the host never include it; each module includes it only so that the
// compiler checks these declarations against its definitions. The modules' own
// headers publish what the driver and the host use.
#pragma once

#include <atomic>
#include <vector>

#include "fft.h"
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

// Stream geometry, shared by both channels: frame size, its half, analysis hop, and
// the synthesis hop of the running call.
extern int winSize;
extern int winHalf;
extern int stepIn;
extern int stepOut;

// Tables shared by both channels: the analysis window, the synthesis window (with the
// inverse transform's 1/N and the one-sided spectrum's 2), and the phase each bin's
// centre frequency advances over one analysis hop.
extern float* window;
extern float* windowOut;
extern float* omega;

// One channel of the vocoder: its buffers, allocated by vocoder_init(), and where it
// stands in the stream.
struct VocoderChannel {
  float* input = nullptr;      // input history, vocoderBufferSize floats
  float* wave = nullptr;       // overlap-add accumulator, vocoderBufferSize floats
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
extern VocoderChannel vocoderChannels[2];

// Wrap a phase into [-pi, pi] by whole turns (odd multiples of pi map to -pi when
// positive and +pi when negative).
float princarg(double phase);

// The per-frame steps, which vocoder_process_frame() runs in this order on the
// channel's state. The fast paths compute only the lower half of the forward
// transform in analyze(), and run their own resynthesis and overlap-add in place of
// synthesize() and overlapAdd(), which always lay out the whole inverse transform
// and read its real parts from it; both give the same bits.
void resetPhases();
void vocoder_process_frame(const float* input, float* output, float stretchFactor, int channel);
void applyWindow(const float* input, int channel);
void analyze(int channel);
int findPeaks(int channel);
void phaseLock(int channel, int nPeaks, float stretchFactor);
void synthesize(int channel);
void overlapAdd(float* output, int channel);

// The AVX2 path's vector maths on n doubles: angle[i] = atan2(y[i], x[i]), and
// sine[i], cosine[i] of x[i]. Return false, computing nothing, when the CPU lacks
// AVX2 or FMA (always off x86-64).
bool vocoder_avx2_atan2(const double* y, const double* x, double* angle, int n);
bool vocoder_avx2_sincos(const double* x, double* sine, double* cosine, int n);

// ---- spectrum ----

// The coefficient tables of one analyser rate (the stream's rate / 4), shared by
// every analyser of that rate. Index = history position, 0 the oldest sample.
struct SpectrumCoefficients {
  int rate = 0;
  float sin[spectrumBandCount][spectrumHistorySize];  // -sin of the band phase
  float cos[spectrumBandCount][spectrumHistorySize];  // cos of the band phase
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
  }
  // The shared tables the analyser uses; null before init().
  static const SpectrumCoefficients* coefficients(const SpectrumAnalyser& a) {
    return a.coefficients_;
  }
};

// Transitional, with the shims of spectrum.h: the module-wide analyser's band values
// themselves and its count.
float* spectrum_get();
long long spectrum_counted();

// ---- eq ----

extern float* eqBands;  // the gains, eq_size() of them
extern std::atomic<int> nBands;

// ---- iirfilter ----

struct iirFilter {
  int n1;        // past inputs kept: sizeB - 1
  int n2;        // past outputs kept: sizeA - 1
  double* a;     // sizeA feedback coefficients; a[0] is not read
  double* b;     // sizeB feed-forward coefficients
  double* buf1;  // ring of the last n1 inputs
  double* buf2;  // ring of the last n2 outputs
  int pos1;      // next write position in buf1
  int pos2;      // next write position in buf2
};

// Load one record: copy the coefficients and start an all-zero history. Not
// synchronised: iir_init_filters() wraps it in the hand-over.
void iir_init_filter(iirFilter& filter, const double* ca, const double* cb, int sizeA, int sizeB);

// The records and the hand-over flags.
extern iirFilter iirLeft;
extern iirFilter iirRight;
extern std::atomic<int> inFilterSetup;       // 1 while iir_init_filters() runs
extern std::atomic<int> inFilterProcess[2];  // 1 while that channel's step runs
