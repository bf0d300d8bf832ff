// levelkeeper: keeps the stretched sound as loud as the input, and its stereo image
// as wide.
//
// The driver's overlap normalisation is exact for steady tones, whose overlapping
// frames add in phase. Noise, reverberation and the decay of hits add partly out of
// phase once the frames are laid at another hop, so they come out up to 2 or 3 dB
// weaker; and since the side signal (L - R) / 2 of most recordings holds more of them
// than the mid (L + R) / 2, the image also narrows. This module measures the energy
// of the mid and of the side of the input and of the vocoder's output over about a
// second (the input delayed by the stream's latency), and brings each of the two back
// to the input's level: a gain for the mid and one for the side, each from -3 to
// +3.5 dB. A steady tone keeps exactly its level: a gain moves only when it is more
// than 0.05 dB off, and then at most 6 dB per second, so that it never modulates a
// tone.
//
// Called by the driver once per block on the audio thread, after the vocoder and
// before the output stage: no allocation, no lock. level_init() allocates nothing.
#pragma once

// Sets the keeper up for a stream: its rate in Hz, its latency in input frames
// (winSize - stepIn), and how many input frames past the latency to let through
// before judging the levels (a frame: until then the output builds up from fewer
// overlapping frames). The gains start at 0 dB.
void level_init(int sampleRate, int latencyFrames, int warmUpFrames);

// Measures one block and applies the gains to its output in place. in: the block's
// input per channel (after the remix; right is null in mono), inFrames long; out: the
// vocoder's output per channel, outFrames long, on the vocoder's scale, which the
// driver divides by outputNorm.
void level_apply(const float* inLeft, const float* inRight, int inFrames, float* outLeft,
                 float* outRight, int outFrames, double outputNorm);
