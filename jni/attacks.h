// attacks: keeps drum hits, plucks and other attacks as sharp through a stretch as
// they went in.
//
// A phase vocoder lays every frame that holds an attack at its own place, so an
// attack that lies in sixteen overlapping frames comes out as sixteen copies spread
// over a frame's length. This module finds attacks in the input and tells the
// vocoder, bin by bin, how to lay the frames that hold one so that every copy lands
// on the same output sample, the one the attack's input time maps to:
//
// - Detection: each frame looks at the input that is new in it (its last stepIn
//   samples, all channels together) in blocks of 32 samples; a block whose energy of
//   the first difference (the high end, where an attack's edge lies) is more than
//   eight times the mean of the preceding 2048 samples' blocks marks an attack at that
//   sample. Up to eight attacks are followed at a time, each until it has left the
//   frame.
// - The attack's bins: the bins whose magnitude (summed over the channels) rose by
//   more than 3 dB over the spectrum of a quarter of a frame before the attack, and
//   stand within 60 dB of the frame's strongest bin. A bin joins the newest attack
//   for which it rose; bins of steady partials do not rise and keep their phases.
// - Where it belongs in an output frame: the vocoder lays each frame's centre where
//   the stream's time map puts it, so an attack at `position` in the analysis frame
//   belongs at winSize / 2 + (position - winSize / 2) x stretch.
// - In the first frame that can place it there, its bins restart from the analysis
//   phases, turned by the delay that moves it there; every later frame turns them on
//   by the frame's own advance (stretch - 1) x omega, so the attack keeps its place
//   until it has left the frame.
// - A slowed frame lays less input than it analyses: while the attack would land past
//   the end of the output frame (not yet placeable), or once it could only land before
//   its start, its bins are brought back to the magnitude they had before the attack,
//   since those frames would only lay echoes of it.
//
// An Attacks object owns the attacks under way, each bin's part in them, and the
// spectra and block energies of the last frames; each stream's vocoder has its own.
// frame() is called by the vocoder once per frame (both channels together) on the
// audio thread: no allocation, no lock, no trigonometry (the turns are phase wraps).
// init() allocates (set-up only); clear() does not. Memory: about 11 frames of floats,
// freed with the object. Copying an object copies its state.
#pragma once

#include <vector>

// One frame's bins: its input and spectra, and what the vocoder is about to
// synthesise from them, which Attacks::frame() changes where an attack lies.
struct AttackFrame {
  const float* history[2];  // the frame's winSize input samples, per channel
  int channels;             // 1 or 2
  const float* summed;      // magnitudes of bins 0 .. winSize / 2 - 1 summed over the channels
  float* mags[2];           // per channel: magnitudes to synthesise (attenuated here)
  float* rotation[2];       // per channel: the turn of each bin (set here for attack bins);
                            // the same array twice when the channels turn together
  const float* psi[2];      // per channel: the previous frame's synthesis phases
  const float* phi0[2];     // per channel: the previous frame's analysis phases
  const float* omega;       // nominal phase advance of each bin over stepIn
  double stretch;           // the frame's stretch factor, its hop over stepIn
  // The vocoder's count of frames: one more than at the last call when the history is
  // that of the last call moved on by stepIn (and its channels the same), so that the
  // energies of the blocks the two share carry over.
  long serial;
};

class Attacks {
 public:
  // Sets the object up for frames of winSize samples taken every stepIn samples, and
  // forgets every attack.
  void init(int winSize, int stepIn);

  // Forgets every attack and the spectra of the last frames (a new stream).
  void clear();

  // Finds the attacks that the frame's newest samples start, and sets the magnitudes
  // and turns of the bins of every attack under way.
  void frame(const AttackFrame& frame);

 private:
  static constexpr int maxAttacks = 8;

  struct Attack {
    bool active = false;
    double position = 0;        // where the attack lies in the current frame, in samples
    long serial = 0;            // order of detection: a bin joins the newest attack it rose for
    std::vector<float> before;  // summed magnitudes a quarter of a frame before it
  };

  double placeIn(double position, double stretch) const;
  void blockEnergies(const AttackFrame& f, const int* from, int n);
  int findOnset(const AttackFrame& f);
  void shapeAttackBins(const AttackFrame& f, const float* earlier);

  int winSize_ = 0;
  int winHalf_ = 0;
  int stepIn_ = 0;
  int lagFrames_ = 1;  // frames between a spectrum and the one it is compared with
  long frameCount_ = 0;
  long serials_ = 0;
  Attack attacks_[maxAttacks];
  std::vector<signed char> binState_;
  std::vector<signed char> binOwner_;  // index into attacks_, or -1
  std::vector<float> recent_;          // the last lagFrames_ summed spectra, a ring
  // The energy of each detection block, by its first sample's place in the stream, once
  // worked out: findOnset() compares every new block with the same earlier ones, and a
  // frame shares most of its blocks with the last one. The place of sample p of the frame
  // is origin_ + p; entry (origin_ + p) & ringMask_ holds the block starting there if its tag
  // is that place (ringMask_ + 1: the power of two from winSize_ up).
  std::vector<double> energyAt_;
  std::vector<long> energyTag_;
  std::vector<int> due_;  // blocks of the frame whose energy is to be worked out
  int ringMask_ = 0;
  long origin_ = 0;
  long lastSerial_ = -2;
  int lastChannels_ = 0;
};
