// The benchmarks' test piece: 60 s of deterministic stereo music-like audio (chords,
// drum hits, a centre-panned melody) at 44.1 kHz, made once in memory.
#pragma once

const short* music_pcm();  // interleaved stereo, music_frames() frames
int music_frames();
int music_rate();
