// levelkeeper: keeps the stretched sound as loud as the input, and its stereo image
// as wide.
//
// The vocoder passes a steady tone at the gain the overlap of its frames gives it, which
// the driver's normalisation undoes: the overlapping frames of a tone add in phase.
// Noise, reverberation and the decay of hits add partly out of phase once the frames
// are laid at another hop, so they come out up to 2 or 3 dB weaker; and since the side
// signal (L - R) / 2 of most recordings holds more of them than the mid (L + R) / 2,
// the image also narrows. This module measures the energy of the mid and of the side
// of the input (delayed by the stream's latency) and of the vocoder's output (on the
// input's scale: divided by the gain the overlap of the frames really laid gives a
// tone, changes of hop included), each averaged over about half a second, and brings
// each of the two back to the input's level: a gain for the mid and one for the side,
// each from -3 to +3.5 dB. It judges only while the input's level stays within 6 dB of
// its recent mean (the frames blur a swell, a fade or a lone note in time, which is no
// loss to make up for). A steady tone keeps exactly its level: a gain moves only when
// it is more than 0.05 dB off, and then at most 10 dB per second, so that it never
// modulates a tone.
//
// A LevelKeeper object owns the input's energies on their way through the latency, the
// smoothed levels and the gains; each stream's engine has its own. apply() is called by
// the driver once per block on the audio thread, after the vocoder and before the
// output stage: no allocation, no lock. Nothing allocates: the object holds all its
// state in place (about 25 kB), and copying it copies that state. Its per-frame loops
// run on the driver's vector kernels (dsp_simd.h), on the driver's code path.
#pragma once

class LevelKeeper {
 public:
  // Sets the keeper up for a stream: its rate in Hz, its latency in input frames
  // (winSize - stepIn), and how many input frames past the latency to let through
  // before judging the levels (a frame: until then the output builds up from fewer
  // overlapping frames). The gains start at 0 dB.
  void init(int sampleRate, int latencyFrames, int warmUpFrames);

  // Measures one block and applies the gains to its output in place. in: the block's
  // input per channel (after the remix; right is null in mono), inFrames long, whose
  // energy counts inputShaping times (what the equaliser does to it on purpose); out: the
  // vocoder's output per channel, outFrames long, on its own scale: a steady tone of
  // amplitude A leaves it at A x toneGain[i] x toneScale at frame i (the overlap of the
  // frames laid there; vocoder_hand_out_tone_gain()). lean: the energies are summed in
  // four running sums instead of one (the same within rounding, a good share faster).
  void apply(const float* inLeft, const float* inRight, int inFrames, double inputShaping,
             float* outLeft, float* outRight, const float* toneGain, int outFrames,
             double toneScale, bool lean = false);

 private:
  // Input blocks on their way through the latency: frames and energies of mid and side.
  struct Pending {
    long frames;
    double mid;
    double side;
  };
  static constexpr int maxPending = 1024;

  void push(long frames, double mid, double side);
  Pending popThrough();

  Pending pending_[maxPending] = {};
  int pendingFirst_ = 0;
  int pendingCount_ = 0;
  long pendingFrames_ = 0;

  int rate_ = 44100;
  long latency_ = 0;
  long warmUp_ = 0;                // input frames through the latency before the levels are judged
  double inMid_ = 0, inSide_ = 0;  // smoothed mean energies per sample
  double inNow_ = 0;               // the input's mean energy over the last few tens of ms
  double outMid_ = 0, outSide_ = 0;
  double wantMid_ = 1, wantSide_ = 1;  // the smoothed gains that would match the levels
  double gainMid_ = 1, gainSide_ = 1;  // the gains applied at the end of the last block
};
