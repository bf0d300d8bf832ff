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
// The envelope: each harmonic's peak anchors it, and it runs straight in log magnitude
// from peak to peak, which reads a sparse voice's envelope between its harmonics better
// than a cepstral smoothing does. It is read from the middle of the frame (the longest
// power of two of samples within 50 ms, 46 ms at 44.1 kHz), so that it follows speech: the
// magnitudes of those samples under a Hann window, both channels in one transform. A bin
// is an anchor where it is the largest within 40 Hz either side, placed and levelled by
// a parabola through its log magnitude and its neighbours', unless it stands more than
// 20 dB below the line between the anchors either side (a sidelobe, or noise between two
// widely spaced harmonics). Below the first anchor and above the last the envelope holds
// their level. The envelope is renewed once a quarter of those samples has passed (every
// other frame at 44.1 kHz and the default 16 hops) and in every frame of a fade; the gains
// per bin are kept between renewals and changes of the key.
//
// Switching: setTarget() gives the wanted state each block; the envelope shift fades in
// and out over two frame lengths (the log gains scaled by a blend that moves one step a
// frame), so switching while playing gives no click. While off and faded out, the
// vocoder does not call it at all and its output stays bit for bit what it was.
// Gains are capped at +-40 dB so that a lowered key does not lift the noise above a
// voice's bandwidth without bound.
//
// A FormantKeeper belongs to one stream. init() allocates (set-up only); apply() runs
// per frame on the audio thread: no allocation, no lock, no trigonometry (one transform
// of the envelope's samples, a log per anchor, an exp per stretch between anchors).
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
  // two channels by the same gain per bin, and moves the fade one frame on. inLeft and
  // inRight (null for one channel) are the frame's winSize input samples, unwindowed.
  void apply(float* magLeft, float* magRight, const float* inLeft, const float* inRight);

  size_t bytes() const;

 private:
  void shortSpectrum(const float* inLeft, const float* inRight);
  void estimate();
  void gains();

  int winSize_ = 0;
  int winHalf_ = 0;
  int length_ = 0;           // samples of the frame's middle the envelope is read from
  int reach_ = 1;            // how far a peak must stand out either side (bins of length_)
  int blendFrames_ = 1;      // frames of a fade
  int renewFrames_ = 1;      // frames between renewals of the envelope
  int sinceRenewed_ = 0;     // frames since the last
  double gainBlend_ = -1.0;  // the blend and ratio gain_ stands for
  double gainRatio_ = 0.0;
  bool keep_ = false;
  double ratio_ = 1.0;
  double blend_ = 0.0;  // 0 = shifted (no gain), 1 = kept

  std::vector<float> window_;     // length_: the Hann window of the envelope's samples
  std::vector<float> buffer_;     // 2 length_: the transform
  std::vector<float> spectrum_;   // length_ / 2 + 1: the summed magnitudes
  std::vector<float> rising_;     // running maxima from each block's start
  std::vector<float> falling_;    // running maxima from each block's end
  std::vector<float> anchorAt_;   // the anchors' places (bins of length_)
  std::vector<float> anchorLog_;  // and log magnitudes
  std::vector<float> envelope_;   // winHalf_: the envelope (raised to the blend) per bin
  std::vector<float> gain_;       // winHalf_: the gain per bin
  Fft fft_;                       // length_ complex points
};
