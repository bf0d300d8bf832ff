// The tests' and benchmarks' music: a deterministic stereo piece with chords, drum
// hits and a centre-panned melody (see music.cpp), peaking at -3 dBFS.
#pragma once

#include <vector>

// frames frames of the piece at rate Hz, interleaved stereo 16-bit. The level is set
// by the peak of what is rendered, so pieces of different lengths differ in scale.
std::vector<short> music_render(int rate, int frames);

// The benchmarks' piece: 60 s at 44.1 kHz, rendered on the first call and kept.
const short* music_pcm();  // interleaved stereo, music_frames() frames
int music_frames();
int music_rate();
