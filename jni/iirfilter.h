// iirfilter: the voice-removal band filter. A direct-form IIR filter in double
// precision with one record per stereo channel, and the hand-over that lets the
// control thread replace the coefficients while the audio thread is filtering.
//
// iir_step() computes y[n] = sum_{k>=0} b[k] x[n-k] - sum_{k>=1} a[k] y[n-k]. a[0] is
// never read and taken as 1, so the caller passes a normalised design. Input and
// output are on the integer sample range (+-32768): the filter neither scales nor
// limits. A record that has never received coefficients passes its input through.
//
// Threads and cost:
// - iir_step() runs on the audio thread inside the block driver: no lock, no
//   allocation, no trigonometry; sizeA + sizeB - 1 multiply-adds per sample plus
//   three sequentially consistent flag operations (raise busy mark, test the setup
//   flag, clear the mark).
// - iir_init_filters() may run on several control threads at once; they take turns.
//   Each raises inFilterSetup with a compare-and-set, waiting (yielding) while another
//   thread's replacement holds it (from then on steps pass their input through
//   unchanged), busy-waits until the step in progress on channel 0 has finished,
//   reloads iirLeft, does the same for channel 1 and iirRight, and lowers the flag.
//   Both records get the same coefficients and restart from an empty history; the
//   last replacement wins. The waits have no timeout: the step lasts at most one
//   sample, another thread's replacement one allocation and copy.
// - Allocation happens only in iir_init_filter() (frees and reallocates the record's
//   four arrays), so only on the control thread.
// - iir_init() zeroes both records on its first call (from dsp_init()), taking its
//   turn with the replacements like one of them; later calls do nothing, so a loaded
//   filter survives a change of stream format.
// - The records (iirLeft, iirRight), the hand-over flags and iir_init_filter() are
//   internal: testing.h declares them for the tests.
//
// Denormals: a decaying output tail would reach subnormal doubles. The step adds no
// per-sample guard; the driver runs the audio path with flush-to-zero and
// denormals-are-zero set around each block.
#pragma once

// First call only: both records empty (no coefficients, no history).
void iir_init();

// Replace the coefficients of both channels with ca[0..sizeA) and cb[0..sizeB)
// (sizeA >= 1, sizeB >= 1; the JNI layer checks the sizes against the arrays).
// Control threads; waits for another thread's replacement and for a running step of
// each channel to finish.
void iir_init_filters(const double* ca, const double* cb, int sizeA, int sizeB);

// Filter one sample of channel 0 (iirLeft) or 1 (iirRight; any non-zero value).
// Returns inputValue unchanged while a replacement is under way or before the
// record has coefficients.
double iir_step(int channel, double inputValue);

// Empty the history of one channel's record, keeping its coefficients. Audio
// thread; the driver calls it when voice removal is switched on, so that the
// filter does not resume from samples of a stretch of the stream it never saw.
void iir_clear_history(int channel);
