// formants: keeps a voice's spectral envelope in place through a key change.
//
// The key change stretches the vocoder's output by the pitch factor p and the output
// stage resamples it by p, so a component at frequency f in a vocoder frame leaves at
// f x p: the harmonics move with the key, and so does the envelope (a raised voice
// sounds small and nasal, a lowered one hollow). Each frame this module estimates the
// frame's envelope E and multiplies the magnitude of bin k by E(k p) / E(k), so that
// after the resampling the envelope stands where it stood in the input while the
// harmonics still move. Phases are untouched; in stereo both channels take the same
// gain per bin (from their summed magnitudes), so their phase and level relation stays.
//
// The envelope: the frame's log magnitudes, taken as the largest of every `decimation`
// bins (about 43 Hz apart, which keeps the harmonics' peaks), are smoothed by a true
// envelope estimate: cepstral liftering repeated with the log spectrum raised to the
// last estimate wherever it stood below, so that the estimate rests on the harmonics'
// peaks rather than running through the valleys between them. The lifter keeps the
// quefrencies below a third of the period of the frame's fundamental, found as the
// cepstrum's highest peak between 1 and 12.5 ms: fine enough for a low voice's formants,
// smooth enough to pass over a high voice's widely spaced harmonics. A frame with no
// clear fundamental keeps those below 1.5 ms.
//
// Switching: setTarget() gives the wanted state each block; the envelope shift fades in
// and out over two frame lengths (the log gains scaled by a blend that moves one step a
// frame), so switching while playing gives no click. While off and faded out, the
// vocoder does not call it at all and its output stays bit for bit what it was.
// Gains are capped at +-40 dB so that a lowered key does not lift the noise above a
// voice's bandwidth without bound.
//
// A FormantKeeper belongs to one stream. init() allocates (set-up only); apply() runs
// per frame on the audio thread: no allocation, no lock, no trigonometry (a log and an
// exp per envelope point, two transforms of 2 x points per round of the estimate, at
// most 20 rounds).
#pragma once

#include <cstddef>
#include <vector>

#include "fft.h"

class FormantKeeper {
 public:
  // For frames of winSize samples taken every step samples at sampleRate Hz. Allocates;
  // clears the fade (a new stream starts with formants shifted).
  void init(int winSize, int step, int sampleRate);

  // The wanted state from the next frame on: keep (or not) the envelope through a key
  // change of pitch factor `ratio` (a tone leaves at its frequency times ratio). Audio
  // thread, between frames.
  void setTarget(bool keep, double ratio);

  // Whether the next frame needs apply(): keeping, or still fading out.
  bool active() const { return keep_ || blend_ > 0.0; }

  // Reshapes the magnitudes of the frame just analysed (winHalf bins each) of one or
  // two channels by the same gain per bin, and moves the fade one frame on.
  void apply(float* magLeft, float* magRight);

  size_t bytes() const;

 private:
  void estimate(const float* magLeft, const float* magRight);
  float envelopeAt(double point) const;
  int orderFor(const float* cepstrum) const;

  int winHalf_ = 0;
  int sampleRate_ = 0;
  int decimation_ = 1;
  int points_ = 0;       // envelope points, 0 .. points_ - 1
  int order_ = 0;        // cepstral coefficients kept
  int blendFrames_ = 1;  // frames of a fade
  bool keep_ = false;
  double ratio_ = 1.0;
  double blend_ = 0.0;  // 0 = shifted (no gain), 1 = kept

  std::vector<float> logSpectrum_;  // points_ log magnitudes of the frame
  std::vector<float> envelope_;     // points_: the log envelope, then its gain form
  std::vector<float> buffer_;  // the cepstrum's transform (4 points_), then the raised spectrum
  Fft fft_;                    // 2 points_ complex points
};
