// iirfilter: the voice-removal band filter. An IirFilters object owns a direct-form
// IIR filter in double precision with one record per stereo channel, and the
// hand-over that lets the control thread replace the coefficients while the audio
// thread is filtering. Each stream's engine has its own; objects share nothing.
//
// step() computes y[n] = sum_{k>=0} b[k] x[n-k] - sum_{k>=1} a[k] y[n-k]. a[0] is never
// read and taken as 1, so the caller passes a normalised design. Input and output are
// on the integer sample range (+-32768): the filter neither scales nor limits. A
// record that has never received coefficients passes its input through.
//
// Threads and cost:
// - step() runs on the audio thread inside the block driver: no lock, no allocation,
//   no trigonometry; sizeA + sizeB - 1 multiply-adds per sample plus three
//   sequentially consistent flag operations (raise busy mark, test the setup flag,
//   clear the mark).
// - load() may run on several control threads at once; they take turns. Each raises
//   the object's setup flag with a compare-and-set, waiting (yielding) while another
//   thread's replacement holds it (from then on steps pass their input through
//   unchanged), busy-waits until the step in progress on channel 0 has finished,
//   reloads the left record, does the same for channel 1 and the right record, and
//   lowers the flag. Both records get the same coefficients and restart from an empty
//   history; the last replacement wins. The waits have no timeout: the step lasts at
//   most one sample, another thread's replacement one allocation and copy.
// - Allocation happens only in iir_init_filter() (frees and reallocates the record's
//   four arrays), so only on the control thread; the destructor frees the arrays.
// - init() zeroes both records on its first call (from the stream set-up), taking
//   its turn with the replacements like one of them; later calls do nothing, so a
//   loaded filter survives a change of stream format.
// - The record layout is here because the object holds two; iir_init_filter() and the
//   accessors to the records and the hand-over flags are in testing.h, for the tests.
//
// Denormals: a decaying output tail would reach subnormal doubles. The step adds no
// per-sample guard; the driver runs the audio path with flush-to-zero and
// denormals-are-zero set around each block.
#pragma once

#include <atomic>

// One channel's filter: its coefficients and the rings of its past inputs and outputs.
struct iirFilter {
  int n1 = 0;              // past inputs kept: sizeB - 1
  int n2 = 0;              // past outputs kept: sizeA - 1
  double* a = nullptr;     // sizeA feedback coefficients; a[0] is not read
  double* b = nullptr;     // sizeB feed-forward coefficients
  double* buf1 = nullptr;  // ring of the last n1 inputs
  double* buf2 = nullptr;  // ring of the last n2 outputs
  int pos1 = 0;            // next write position in buf1
  int pos2 = 0;            // next write position in buf2
};

class IirFilters {
 public:
  IirFilters() = default;
  IirFilters(const IirFilters&) = delete;
  IirFilters& operator=(const IirFilters&) = delete;
  ~IirFilters();

  // First call only: both records empty (no coefficients, no history).
  void init();

  // Replace the coefficients of both channels with ca[0..sizeA) and cb[0..sizeB)
  // (sizeA >= 1, sizeB >= 1; the JNI layer checks the sizes against the arrays).
  // Control threads; waits for another thread's replacement and for a running step of
  // each channel to finish.
  void load(const double* ca, const double* cb, int sizeA, int sizeB);

  // Filter one sample of channel 0 (left record) or 1 (right record; any non-zero
  // value). Returns inputValue unchanged while a replacement is under way or before
  // the record has coefficients.
  double step(int channel, double inputValue);

  // Empty the history of one channel's record, keeping its coefficients. Audio
  // thread; the driver calls it when voice removal is switched on, so that the
  // filter does not resume from samples of a stretch of the stream it never saw.
  void clearHistory(int channel);

 private:
  friend struct IirFiltersTesting;

  void beginSetup();

  iirFilter left_{};
  iirFilter right_{};
  std::atomic<int> inSetup_{0};          // 1 while a load() or the first init() runs
  std::atomic<int> inProcess_[2]{0, 0};  // 1 while that channel's step runs
  bool initialized_ = false;
};
